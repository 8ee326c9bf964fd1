#include "platform/NumberText.h"

#include <charconv>
#include <cmath>
#include <limits>
#include <string>

namespace brindle {

namespace {

bool isBlank(QChar c) {
    return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n';
}

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

} // namespace

double leadingNumber(QStringView text) {
    // The digits may be separated by blanks ("1 000"), so gather the candidate characters first. Only
    // ASCII can belong to a number; the first other character ends the candidate.
    std::string s;
    s.reserve(static_cast<size_t>(std::min<qsizetype>(text.size(), 64)));
    for (QChar c : text) {
        if (isBlank(c))
            continue;
        if (c.unicode() >= 0x80)
            break;
        s.push_back(static_cast<char>(c.unicode()));
    }

    size_t i = 0;
    const size_t n = s.size();
    bool negative = false;
    if (i < n && (s[i] == '+' || s[i] == '-')) {
        negative = s[i] == '-';
        ++i;
    }
    const size_t mantissaStart = i;
    size_t digits = 0;
    while (i < n && isDigit(s[i])) {
        ++i;
        ++digits;
    }
    if (i < n && s[i] == '.') {
        ++i;
        while (i < n && isDigit(s[i])) {
            ++i;
            ++digits;
        }
    }
    if (digits == 0)
        return 0.0;
    size_t end = i;
    bool negativeExponent = false;
    if (i < n && (s[i] == 'e' || s[i] == 'E')) {
        size_t j = i + 1;
        if (j < n && (s[j] == '+' || s[j] == '-')) {
            negativeExponent = s[j] == '-';
            ++j;
        }
        const size_t expDigits = j;
        while (j < n && isDigit(s[j]))
            ++j;
        if (j > expDigits)
            end = j; // an exponent counts only with at least one digit
        else
            negativeExponent = false;
    }

    double value = 0.0;
    const char* first = s.data() + mantissaStart;
    const char* last = s.data() + end;
    // from_chars is locale independent, unlike strtod; the sign was taken off above because it does
    // not accept "+".
    const auto [ptr, ec] = std::from_chars(first, last, value, std::chars_format::general);
    if (ec == std::errc::result_out_of_range) {
        // Keep results finite: callers convert them to whole numbers and clamp.
        value = negativeExponent ? 0.0 : std::numeric_limits<double>::max();
    } else if (ec != std::errc() || ptr == first) {
        value = 0.0;
    }
    return negative ? -value : value;
}

QString shortestDecimal(double value) {
    if (value == 0.0)
        return QStringLiteral("0"); // also for -0
    char buf[64];
    const auto [ptr, ec] = std::to_chars(buf, buf + sizeof buf, value);
    if (ec != std::errc())
        return QString::number(value, 'g', 17);
    return QString::fromLatin1(buf, ptr - buf);
}

double roundHalfEven(double value) {
    if (!std::isfinite(value))
        return value;
    const double lower = std::floor(value);
    const double diff = value - lower;
    if (diff < 0.5)
        return lower;
    if (diff > 0.5)
        return lower + 1.0;
    return std::fmod(lower, 2.0) == 0.0 ? lower : lower + 1.0;
}

} // namespace brindle
