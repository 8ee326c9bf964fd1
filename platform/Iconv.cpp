#include "platform/Iconv.h"

#include <algorithm>
#include <cerrno>
#include <iconv.h>
#include <QtEndian>
#include <utility>
#include <vector>

namespace brindle {

namespace {

// iconv reads and writes QString's own code units.
#if Q_BYTE_ORDER == Q_LITTLE_ENDIAN
constexpr char kUtf16Native[] = "UTF-16LE";
#else
constexpr char kUtf16Native[] = "UTF-16BE";
#endif

// Distinct converters kept open per thread: the program uses a handful, and a hostile message that
// names many charsets must not make it hold hundreds open.
constexpr std::size_t kMaxOpenConverters = 16;

iconv_t invalidConverter() {
    return reinterpret_cast<iconv_t>(-1);
}

// Open converters by direction and charset, kept for the thread's life: opening one costs far more
// than converting a keyword or a typical part.
class ConverterCache {
public:
    ConverterCache() = default;
    ConverterCache(const ConverterCache&) = delete;
    ConverterCache& operator=(const ConverterCache&) = delete;
    ~ConverterCache() {
        for (auto& entry : m_entries)
            if (entry.cd != invalidConverter())
                iconv_close(entry.cd);
    }

    iconv_t get(const QByteArray& charset, bool toUtf16) {
        for (const Entry& e : m_entries)
            if (e.toUtf16 == toUtf16 && e.charset == charset)
                return e.cd;
        if (m_entries.size() >= kMaxOpenConverters) {
            // Keep the first few (the Japanese ones, opened early and used constantly).
            if (m_entries.back().cd != invalidConverter())
                iconv_close(m_entries.back().cd);
            m_entries.pop_back();
        }
        iconv_t cd = toUtf16 ? iconv_open(kUtf16Native, charset.constData())
                             : iconv_open(charset.constData(), kUtf16Native);
        m_entries.push_back({charset, toUtf16, cd});
        return cd;
    }

private:
    struct Entry {
        QByteArray charset;
        bool toUtf16;
        iconv_t cd;
    };
    std::vector<Entry> m_entries;
};

iconv_t converter(const QByteArray& charset, bool toUtf16) {
    thread_local ConverterCache cache;
    return cache.get(charset, toUtf16);
}

} // namespace

std::optional<QString> iconvDecode(const QByteArray& charset, QByteArrayView bytes, bool strict,
                                   const UnreadableLength& unreadable) {
    iconv_t cd = converter(charset, true);
    if (cd == invalidConverter())
        return std::nullopt;
    iconv(cd, nullptr, nullptr, nullptr, nullptr);

    QString out;
    out.resize(bytes.size() + 16);
    std::size_t used = 0; // bytes of out written
    auto room = [&](std::size_t need) {
        if (std::size_t(out.size()) * 2 - used < need)
            out.resize(out.size() * 2 + qsizetype(need));
    };
    char* in = const_cast<char*>(bytes.data());
    std::size_t inLeft = std::size_t(bytes.size());
    while (inLeft > 0) {
        char* outBase = reinterpret_cast<char*>(out.data());
        char* outp = outBase + used;
        std::size_t outLeft = std::size_t(out.size()) * 2 - used;
        const std::size_t r = iconv(cd, &in, &inLeft, &outp, &outLeft);
        const int err = errno;
        used = std::size_t(outp - outBase);
        if (r != std::size_t(-1))
            continue;
        if (err == E2BIG) {
            room(64);
            continue;
        }
        if (strict)
            return std::nullopt;
        std::size_t skip = inLeft;
        if (err != EINVAL) {
            skip = std::size_t(unreadable(reinterpret_cast<const unsigned char*>(in), qsizetype(inLeft)));
            skip = std::clamp<std::size_t>(skip, 1, inLeft);
        }
        room(4);
        reinterpret_cast<char16_t*>(out.data())[used / 2] = u'\uFFFD';
        used += 2;
        in += skip;
        inLeft -= skip;
    }
    // A stateful converter may still hold output.
    while (true) {
        char* outBase = reinterpret_cast<char*>(out.data());
        char* outp = outBase + used;
        std::size_t outLeft = std::size_t(out.size()) * 2 - used;
        const std::size_t r = iconv(cd, nullptr, nullptr, &outp, &outLeft);
        const int err = errno;
        used = std::size_t(outp - outBase);
        if (r == std::size_t(-1) && err == E2BIG) {
            room(64);
            continue;
        }
        break;
    }
    out.resize(qsizetype(used / 2));
    return out;
}

QByteArray iconvEncode(const QByteArray& charset, QStringView text, char replacement) {
    QByteArray out;
    iconv_t cd = converter(charset, false);
    if (cd == invalidConverter()) {
        for (QChar c : text)
            out.append(c.unicode() < 0x80 ? static_cast<char>(c.unicode()) : replacement);
        return out;
    }
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    out.resize(text.size() * 2 + 16);
    char* in = const_cast<char*>(reinterpret_cast<const char*>(text.data()));
    std::size_t inLeft = std::size_t(text.size()) * 2;
    std::size_t used = 0;
    auto room = [&](std::size_t need) {
        if (std::size_t(out.size()) - used < need)
            out.resize(out.size() * 2 + qsizetype(need));
    };
    while (inLeft > 0) {
        char* outp = out.data() + used;
        std::size_t outLeft = std::size_t(out.size()) - used;
        const std::size_t r = iconv(cd, &in, &inLeft, &outp, &outLeft);
        const int err = errno;
        used = std::size_t(outp - out.data());
        if (r != std::size_t(-1))
            continue;
        if (err == E2BIG) {
            room(64);
            continue;
        }
        room(1);
        out[qsizetype(used++)] = replacement;
        const auto unit = [&](std::size_t at) { return QChar(qFromUnaligned<char16_t>(in + at * 2)); };
        std::size_t skip = 2;
        if (inLeft >= 4 && unit(0).isHighSurrogate() && unit(1).isLowSurrogate())
            skip = 4;
        skip = std::min(skip, inLeft);
        in += skip;
        inLeft -= skip;
        iconv(cd, nullptr, nullptr, nullptr, nullptr);
    }
    while (true) {
        char* outp = out.data() + used;
        std::size_t outLeft = std::size_t(out.size()) - used;
        const std::size_t r = iconv(cd, nullptr, nullptr, &outp, &outLeft);
        const int err = errno;
        used = std::size_t(outp - out.data());
        if (r == std::size_t(-1) && err == E2BIG) {
            room(64);
            continue;
        }
        break;
    }
    out.resize(qsizetype(used));
    return out;
}

} // namespace brindle
