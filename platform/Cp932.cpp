#include "platform/Cp932.h"

#include <algorithm>
#include <cerrno>
#include <iconv.h>
#include <QtEndian>

namespace brindle {

namespace {

#if Q_BYTE_ORDER == Q_LITTLE_ENDIAN
constexpr char kUtf16Name[] = "UTF-16LE";
#else
constexpr char kUtf16Name[] = "UTF-16BE";
#endif
constexpr char kCp932Name[] = "CP932";

// One conversion descriptor per direction and thread: opening one costs far more than converting a
// keyword, and the keyword file is decoded record by record.
class Converter {
public:
    Converter(const char* to, const char* from) : m_cd(iconv_open(to, from)) {}
    ~Converter() {
        if (valid())
            iconv_close(m_cd);
    }
    Converter(const Converter&) = delete;
    Converter& operator=(const Converter&) = delete;

    bool valid() const { return m_cd != reinterpret_cast<iconv_t>(-1); }
    void reset() { iconv(m_cd, nullptr, nullptr, nullptr, nullptr); }

    // Converts as much as it can; returns errno of the stop (0 when everything was converted).
    int convert(const char*& in, size_t& inLeft, char*& out, size_t& outLeft) {
        const size_t r = iconv(m_cd, const_cast<char**>(&in), &inLeft, &out, &outLeft);
        return r == static_cast<size_t>(-1) ? errno : 0;
    }

private:
    iconv_t m_cd;
};

Converter& encoder() {
    thread_local Converter c(kCp932Name, kUtf16Name);
    return c;
}

Converter& decoder() {
    thread_local Converter c(kUtf16Name, kCp932Name);
    return c;
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

} // namespace

QByteArray toCp932(QStringView text) {
    if (isAscii(text)) {
        QByteArray out(text.size(), Qt::Uninitialized);
        for (qsizetype i = 0; i < text.size(); ++i)
            out[i] = static_cast<char>(text[i].unicode());
        return out;
    }
    Converter& cd = encoder();
    QByteArray out;
    if (!cd.valid()) {
        // Without the converter only the ASCII part can be kept.
        for (QChar c : text)
            out.append(c.unicode() < 0x80 ? static_cast<char>(c.unicode()) : '?');
        return out;
    }
    cd.reset();
    // Two bytes per character at most, plus room for the shift state flush.
    out.resize(text.size() * 2 + 16);
    const char* in = reinterpret_cast<const char*>(text.data());
    size_t inLeft = static_cast<size_t>(text.size()) * 2;
    char* o = out.data();
    size_t outLeft = static_cast<size_t>(out.size());
    while (inLeft > 0) {
        const int err = cd.convert(in, inLeft, o, outLeft);
        if (err == 0)
            break;
        if (err == E2BIG) {
            const qsizetype used = o - out.data();
            out.resize(out.size() * 2);
            o = out.data() + used;
            outLeft = static_cast<size_t>(out.size() - used);
            continue;
        }
        // A character the code page cannot hold (or a lone surrogate) becomes one "?"; a surrogate
        // pair is one character, so it is skipped whole.
        if (outLeft < 1) {
            const qsizetype used = o - out.data();
            out.resize(out.size() + 16);
            o = out.data() + used;
            outLeft = static_cast<size_t>(out.size() - used);
        }
        *o++ = '?';
        --outLeft;
        const auto unit = [&](size_t at) { return QChar(qFromUnaligned<char16_t>(in + at * 2)); };
        size_t skip = 1;
        if (inLeft >= 4 && unit(0).isHighSurrogate() && unit(1).isLowSurrogate())
            skip = 2;
        skip = std::min(skip * 2, inLeft);
        in += skip;
        inLeft -= skip;
        cd.reset();
    }
    out.resize(o - out.data());
    return out;
}

QString fromCp932(QByteArrayView bytes) {
    if (isAscii(bytes))
        return QString::fromLatin1(bytes);
    Converter& cd = decoder();
    if (!cd.valid()) {
        QString out;
        for (char b : bytes)
            out.append(static_cast<unsigned char>(b) < 0x80 ? QChar(b) : QChar(QChar::ReplacementCharacter));
        return out;
    }
    cd.reset();
    // Every byte yields at most one UTF-16 unit.
    QString out(bytes.size() + 1, Qt::Uninitialized);
    const char* in = bytes.data();
    size_t inLeft = static_cast<size_t>(bytes.size());
    char* o = reinterpret_cast<char*>(out.data());
    size_t outLeft = static_cast<size_t>(out.size()) * 2;
    while (inLeft > 0) {
        const int err = cd.convert(in, inLeft, o, outLeft);
        if (err == 0)
            break;
        if (err == E2BIG) {
            // Cannot happen with one unit per byte; stop rather than loop.
            break;
        }
        // An invalid or truncated sequence: one replacement character for its first byte, then go on
        // with the next byte, which may well start a valid character (a stray lead byte before ASCII).
        qToUnaligned<char16_t>(QChar::ReplacementCharacter, o);
        o += 2;
        outLeft -= 2;
        ++in;
        --inLeft;
        cd.reset();
    }
    out.resize((o - reinterpret_cast<char*>(out.data())) / 2);
    return out;
}

bool cp932CanEncode(QStringView text) {
    return fromCp932(toCp932(text)) == text;
}

qsizetype cp932Length(QStringView text) {
    return toCp932(text).size();
}

} // namespace brindle
