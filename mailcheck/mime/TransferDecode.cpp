#include "mailcheck/mime/TransferDecode.h"

namespace brindle {

namespace {

int base64Value(unsigned char c) {
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 26;
    if (c >= '0' && c <= '9')
        return c - '0' + 52;
    if (c == '+')
        return 62;
    if (c == '/')
        return 63;
    return -1;
}

int hexValue(unsigned char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

} // namespace

QByteArray decodeBase64Lenient(QByteArrayView text) {
    // Four characters give three bytes; a dangling group of two or three gives one or two.
    QByteArray out(text.size() / 4 * 3 + 3, Qt::Uninitialized);
    char* w = out.data();
    quint32 acc = 0;
    int count = 0;
    auto flushPartial = [&] {
        // Two characters carry one byte, three carry two; a lone character carries nothing.
        if (count == 2) {
            *w++ = char((acc >> 4) & 0xFF);
        } else if (count == 3) {
            *w++ = char((acc >> 10) & 0xFF);
            *w++ = char((acc >> 2) & 0xFF);
        }
        acc = 0;
        count = 0;
    };
    for (char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (c == '=') {
            flushPartial();
            continue;
        }
        const int v = base64Value(c);
        if (v < 0)
            continue;
        acc = (acc << 6) | quint32(v);
        if (++count == 4) {
            w[0] = char((acc >> 16) & 0xFF);
            w[1] = char((acc >> 8) & 0xFF);
            w[2] = char(acc & 0xFF);
            w += 3;
            acc = 0;
            count = 0;
        }
    }
    flushPartial();
    out.truncate(w - out.constData());
    return out;
}

QByteArray decodeQuotedPrintable(QByteArrayView text, bool underscoreIsSpace) {
    // No escape or soft break writes more bytes than it reads.
    QByteArray out(text.size(), Qt::Uninitialized);
    char* w = out.data();
    const qsizetype n = text.size();
    for (qsizetype i = 0; i < n; ++i) {
        const char c = text[i];
        if (c == '_' && underscoreIsSpace) {
            *w++ = ' ';
            continue;
        }
        if (c != '=') {
            *w++ = c;
            continue;
        }
        if (i + 2 < n && hexValue(text[i + 1]) >= 0 && hexValue(text[i + 2]) >= 0) {
            *w++ = char(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2]));
            i += 2;
            continue;
        }
        // Soft line break: "=", optional blanks, then CR LF, LF or the end of the text.
        qsizetype j = i + 1;
        while (j < n && (text[j] == ' ' || text[j] == '\t'))
            ++j;
        if (j >= n) {
            i = j;
            continue;
        }
        if (text[j] == '\r' && j + 1 < n && text[j + 1] == '\n') {
            i = j + 1;
            continue;
        }
        if (text[j] == '\n' || text[j] == '\r') {
            i = j;
            continue;
        }
        *w++ = c; // not an escape: keep it as written
    }
    out.truncate(w - out.constData());
    return out;
}

} // namespace brindle
