#include "platform/Iconv.h"

#include <algorithm>
#include <cerrno>
#include <deque>
#include <iconv.h>
#include <mutex>
#include <QtEndian>
#include <span>
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

// ---------------------------------------------------------------------------------------------
// IconvTable

namespace {

// The longest character a table holds: code page 932 takes two bytes, EUC-JP three.
constexpr int kMaxTableCharBytes = 3;

// What iconv makes of exactly these bytes as the whole input: the one character they are, or
// kUnreadable (it refuses them), or kLonger (they begin a longer character). Nothing for any other
// answer (several characters, one outside the BMP, a character that needs fewer bytes): the charset
// is then not one a table can hold.
std::optional<char16_t> readAlone(iconv_t cd, const unsigned char* bytes, int n) {
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    char16_t units[8];
    char* in = reinterpret_cast<char*>(const_cast<unsigned char*>(bytes));
    std::size_t inLeft = std::size_t(n);
    char* outp = reinterpret_cast<char*>(units);
    std::size_t outLeft = sizeof units;
    const std::size_t r = iconv(cd, &in, &inLeft, &outp, &outLeft);
    const int err = errno;
    if (r != std::size_t(-1))
        iconv(cd, nullptr, nullptr, &outp, &outLeft);
    const std::size_t written = std::size_t(outp - reinterpret_cast<char*>(units)) / 2;
    if (r != std::size_t(-1)) {
        if (inLeft != 0 || written != 1 || units[0] == IconvTable::kUnreadable ||
            units[0] == IconvTable::kLonger || QChar::isSurrogate(units[0]))
            return std::nullopt;
        return units[0];
    }
    if (inLeft != std::size_t(n) || written != 0)
        return std::nullopt;
    if (err == EILSEQ)
        return IconvTable::kUnreadable;
    if (err == EINVAL)
        return IconvTable::kLonger;
    return std::nullopt;
}

} // namespace

std::unique_ptr<IconvTable> IconvTable::derive(const QByteArray& charset) {
    iconv_t cd = iconv_open(kUtf16Native, charset.constData());
    if (cd == invalidConverter())
        return nullptr;
    auto table = std::unique_ptr<IconvTable>(new IconvTable);
    // Fills a row for the bytes after `prefix`; false when iconv's answers do not fit a table.
    // The first row has no prefix: an empty span, copied without touching its (null) data.
    auto fillRow = [&](std::span<const unsigned char> prefix, char16_t* entries, int* rows) {
        unsigned char bytes[kMaxTableCharBytes];
        const int length = int(prefix.size());
        std::ranges::copy(prefix, bytes);
        for (int b = 0; b < 256; ++b) {
            bytes[length] = static_cast<unsigned char>(b);
            const std::optional<char16_t> e = readAlone(cd, bytes, length + 1);
            if (!e || (*e == kLonger && length + 1 == kMaxTableCharBytes))
                return false;
            entries[b] = *e;
            rows[b] = -1;
        }
        return true;
    };
    bool ok = fillRow({}, table->m_first.data(), table->m_firstRow.data());
    for (int b = 0; ok && b < 0x80; ++b)
        ok = table->m_first[b] == b;
    // Rows of second bytes, then rows of third bytes for the second bytes that need one.
    for (int b = 0; ok && b < 256; ++b) {
        if (table->m_first[b] != kLonger)
            continue;
        const int row = int(table->m_rows.size() / 256);
        table->m_firstRow[b] = row;
        table->m_rows.resize(table->m_rows.size() + 256);
        table->m_nextRows.resize(table->m_rows.size());
        const unsigned char prefix[] = {static_cast<unsigned char>(b)};
        ok = fillRow(prefix, &table->m_rows[std::size_t(row) * 256],
                     &table->m_nextRows[std::size_t(row) * 256]);
        for (int c = 0; ok && c < 256; ++c) {
            if (table->m_rows[std::size_t(row) * 256 + c] != kLonger)
                continue;
            const int third = int(table->m_rows.size() / 256);
            table->m_nextRows[std::size_t(row) * 256 + c] = third;
            table->m_rows.resize(table->m_rows.size() + 256);
            table->m_nextRows.resize(table->m_rows.size());
            const unsigned char two[] = {static_cast<unsigned char>(b), static_cast<unsigned char>(c)};
            ok = fillRow(two, &table->m_rows[std::size_t(third) * 256],
                         &table->m_nextRows[std::size_t(third) * 256]);
        }
    }
    iconv_close(cd);
    if (!ok)
        return nullptr;
    return table;
}

const IconvTable* IconvTable::get(const QByteArray& charset, Remap remap) {
    struct Entry {
        QByteArray charset;
        Remap remap;
        std::unique_ptr<IconvTable> table; // null when the charset cannot be a table
        const IconvTable* shared;          // the table to use: this one, or the plain one it equals
    };
    static std::mutex mutex;
    static std::deque<Entry> entries; // never moves an entry
    const std::lock_guard<std::mutex> lock(mutex);
    auto find = [&](Remap r) -> Entry* {
        for (Entry& e : entries)
            if (e.remap == r && e.charset == charset)
                return &e;
        return nullptr;
    };
    if (const Entry* e = find(remap))
        return e->shared;
    const Entry* plain = find(nullptr);
    if (!plain) {
        std::unique_ptr<IconvTable> t = derive(charset);
        const IconvTable* p = t.get();
        entries.push_back({charset, nullptr, std::move(t), p});
        plain = &entries.back();
    }
    if (!remap || !plain->shared)
        return plain->shared;
    auto copy = std::unique_ptr<IconvTable>(new IconvTable(*plain->shared));
    bool changed = false;
    auto apply = [&](char16_t& e) {
        if (e == kUnreadable || e == kLonger)
            return;
        const char16_t r = remap(e);
        Q_ASSERT(r != kLonger);
        changed = changed || r != e;
        e = r;
    };
    std::for_each(copy->m_first.begin(), copy->m_first.end(), apply);
    std::for_each(copy->m_rows.begin(), copy->m_rows.end(), apply);
    const IconvTable* plainTable = plain->shared;
    if (!changed)
        copy.reset();
    const IconvTable* p = copy ? copy.get() : plainTable;
    entries.push_back({charset, remap, std::move(copy), p});
    return p;
}

qsizetype IconvTable::decode(QByteArrayView bytes, char16_t* out, bool strict,
                             const UnreadableLength& unreadable) const {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    const qsizetype n = bytes.size();
    // Kept in registers: the stores to out could otherwise be taken to change them.
    const char16_t* const first = m_first.data();
    const int* const firstRow = m_firstRow.data();
    const char16_t* const rows = m_rows.data();
    char16_t* w = out;
    qsizetype i = 0;
    while (i < n) {
        const unsigned char b = p[i];
        if (b < 0x80) {
            // ASCII is ASCII in every table.
            widenAscii(p, n, i, w);
            continue;
        }
        // The character's entry and length; kLonger left in u means the text ends inside it.
        char16_t u;
        int length;
        if (const int row = firstRow[b]; row >= 0 && i + 1 < n) {
            const std::size_t at = std::size_t(row) * 256 + p[i + 1];
            u = rows[at];
            length = 2;
            if (u == kLonger && i + 2 < n) {
                u = rows[std::size_t(m_nextRows[at]) * 256 + p[i + 2]];
                length = 3;
            }
        } else {
            u = first[b];
            length = 1;
        }
        if (u < kLonger) {
            *w++ = u;
            i += length;
            continue;
        }
        if (strict)
            return -1;
        *w++ = u'\uFFFD';
        if (u == kLonger)
            break; // iconvDecode gives one U+FFFD for a character cut off by the end
        // iconv stops here, and iconvDecode skips the unreadable character whole.
        i += std::clamp<qsizetype>(unreadable(p + i, n - i), 1, n - i);
    }
    return w - out;
}

std::optional<QString> IconvTable::decode(QByteArrayView bytes, bool strict,
                                          const UnreadableLength& unreadable) const {
    QString text(bytes.size(), Qt::Uninitialized);
    const qsizetype used = decode(bytes, reinterpret_cast<char16_t*>(text.data()), strict, unreadable);
    if (used < 0)
        return std::nullopt;
    text.resize(used);
    // Two-byte text fills half the room; give the rest back.
    if (text.capacity() - used > used / 4 + 64)
        text.squeeze();
    return text;
}

// ---------------------------------------------------------------------------------------------
// IconvEncodeTable

const IconvEncodeTable* IconvEncodeTable::get(const QByteArray& charset) {
    static std::mutex mutex;
    static std::deque<std::pair<QByteArray, std::unique_ptr<IconvEncodeTable>>> tables;
    const std::lock_guard<std::mutex> lock(mutex);
    for (const auto& [name, table] : tables)
        if (name == charset)
            return table.get();
    auto table = std::make_unique<IconvEncodeTable>();
    iconv_t cd = iconv_open(charset.constData(), kUtf16Native);
    if (cd == invalidConverter()) {
        table.reset();
    } else {
        table->m_codes.assign(0x10000, kNone);
        for (char32_t u = 0; u < 0x10000 && table; ++u) {
            if (QChar::isSurrogate(u))
                continue;
            iconv(cd, nullptr, nullptr, nullptr, nullptr);
            const char16_t unit = char16_t(u);
            char* in = reinterpret_cast<char*>(const_cast<char16_t*>(&unit));
            std::size_t inLeft = 2;
            unsigned char bytes[8];
            char* outp = reinterpret_cast<char*>(bytes);
            std::size_t outLeft = sizeof bytes;
            if (iconv(cd, &in, &inLeft, &outp, &outLeft) == std::size_t(-1))
                continue; // a unit it cannot hold
            iconv(cd, nullptr, nullptr, &outp, &outLeft);
            const std::size_t written = sizeof bytes - outLeft;
            if (written == 1)
                table->m_codes[u] = bytes[0];
            else if (written == 2 && !(bytes[0] == 0xFF && bytes[1] == 0xFF))
                table->m_codes[u] = quint16(bytes[0] << 8 | bytes[1]);
            else
                table.reset();
        }
        iconv_close(cd);
    }
    tables.emplace_back(charset, std::move(table));
    return tables.back().second.get();
}

} // namespace brindle
