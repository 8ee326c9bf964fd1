#include "platform/Cp932.h"

#include "platform/Iconv.h"

namespace brindle {

namespace {

const QByteArray& cp932Name() {
    static const QByteArray name("CP932");
    return name;
}

bool isAscii(QStringView text) {
    for (QChar c : text) {
        if (c.unicode() >= 0x80)
            return false;
    }
    return true;
}

bool isAscii(QByteArrayView bytes) {
    for (char b : bytes) {
        if (static_cast<unsigned char>(b) >= 0x80)
            return false;
    }
    return true;
}

qsizetype unreadableLength(const unsigned char* p, qsizetype left) {
    return left >= 2 && isCp932LeadByte(p[0]) && isCp932TrailByte(p[1]) ? 2 : 1;
}

} // namespace

bool isCp932LeadByte(unsigned char b) {
    return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC);
}

bool isCp932TrailByte(unsigned char b) {
    return (b >= 0x40 && b <= 0x7E) || (b >= 0x80 && b <= 0xFC);
}

QByteArray toCp932(QStringView text) {
    if (isAscii(text)) {
        QByteArray out(text.size(), Qt::Uninitialized);
        for (qsizetype i = 0; i < text.size(); ++i)
            out[i] = static_cast<char>(text[i].unicode());
        return out;
    }
    return iconvEncode(cp932Name(), text, '?');
}

QString fromCp932(QByteArrayView bytes) {
    if (isAscii(bytes))
        return QString::fromLatin1(bytes);
    if (auto text = iconvDecode(cp932Name(), bytes, false, unreadableLength))
        return *text;
    // Without the converter only the ASCII part can be read.
    QString out;
    for (char b : bytes)
        out.append(static_cast<unsigned char>(b) < 0x80 ? QChar(b) : QChar(QChar::ReplacementCharacter));
    return out;
}

std::optional<QString> fromCp932Strict(QByteArrayView bytes) {
    if (isAscii(bytes))
        return QString::fromLatin1(bytes);
    return iconvDecode(cp932Name(), bytes, true, unreadableLength);
}

bool cp932CanEncode(QStringView text) {
    return fromCp932(toCp932(text)) == text;
}

qsizetype cp932Length(QStringView text) {
    return toCp932(text).size();
}

QString cutToCp932Bytes(const QString& text, qsizetype maxBytes) {
    if (maxBytes <= 0)
        return {};
    if (text.size() * 2 <= maxBytes || cp932Length(text) <= maxBytes)
        return text;
    // Every character takes at least one byte, and one character at most two UTF-16 units (an emoji,
    // one "?" byte, is a surrogate pair).
    qsizetype lo = 0, hi = qMin(text.size(), maxBytes * 2);
    while (lo < hi) {
        const qsizetype mid = (lo + hi + 1) / 2;
        if (cp932Length(QStringView(text).left(mid)) <= maxBytes)
            lo = mid;
        else
            hi = mid - 1;
    }
    if (lo > 0 && text.at(lo - 1).isHighSurrogate())
        --lo;
    return text.left(lo);
}

} // namespace brindle
