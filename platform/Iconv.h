#pragma once
// The program's one wrapper of iconv: converters opened once per thread and charset, decoding to
// UTF-16 with a caller's rule for what one unreadable character spans, and encoding from UTF-16
// with a replacement byte; and tables that iconv fills once, through which the charsets mail uses
// most decode at memory speed with exactly iconv's results.
#include <array>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <QByteArray>
#include <QString>
#include <vector>

namespace brindle {

// How many bytes the unreadable character at p (of `left` bytes, left >= 1) takes, so that lenient
// decoding skips it whole and the characters after it stay in step.
using UnreadableLength = std::function<qsizetype(const unsigned char* p, qsizetype left)>;

// Decodes bytes in the charset iconv knows by `charset`. strict: nullopt on the first invalid or
// truncated sequence; otherwise every unreadable character becomes one U+FFFD and a truncated
// sequence at the end one more. nullopt also when iconv does not know the charset.
std::optional<QString> iconvDecode(const QByteArray& charset, QByteArrayView bytes, bool strict,
                                   const UnreadableLength& unreadable);

// Encodes text into `charset`; a character it cannot hold (or a lone surrogate) becomes the one
// byte `replacement`, a surrogate pair being one character. Without a converter for the charset
// only the ASCII part is kept, the rest replaced.
QByteArray iconvEncode(const QByteArray& charset, QStringView text, char replacement);

// Widens the run of ASCII bytes at p[i] (of n) to UTF-16 at w, eight bytes at a time, moving both
// past it. The one loop every decoder here runs over ASCII.
inline void widenAscii(const unsigned char* p, qsizetype n, qsizetype& i, char16_t*& w) {
    while (i + 8 <= n) {
        quint64 block;
        std::memcpy(&block, p + i, 8);
        if (block & 0x8080808080808080ULL)
            break;
        for (int k = 0; k < 8; ++k)
            w[k] = p[i + k];
        w += 8;
        i += 8;
    }
    while (i < n && p[i] < 0x80)
        *w++ = p[i++];
}

// A stateless charset of one to three bytes a character (code page 932, EUC-JP) as iconv reads it,
// held as tables: the first byte's entry is a character, "unreadable", or the row of the second
// byte, and so on. Filled once by asking iconv about every byte sequence that can start a character,
// so decoding through the table gives exactly iconvDecode's text, U+FFFD placement included.
class IconvTable {
public:
    // Entries that are not a UTF-16 unit. No legacy charset maps to these two noncharacters; a
    // charset that does cannot be held as a table.
    static constexpr char16_t kUnreadable = 0xFFFF;
    static constexpr char16_t kLonger = 0xFFFE; // the character goes on in the next byte

    // A change applied to every character of the table (folding variants, refusing some as
    // kUnreadable); nullptr for none.
    using Remap = char16_t (*)(char16_t);

    // The table iconv gives for the charset, remapped; nullptr when iconv lacks the charset or reads
    // it otherwise than as a stateless charset of at most three bytes a character whose ASCII bytes
    // are ASCII. Built at the first call per charset and remap and kept for the process's life, so
    // only for the program's own charset names, never for a name from a mail. Thread-safe.
    static const IconvTable* get(const QByteArray& charset, Remap remap = nullptr);

    // The entry of a first byte, and of a byte after `row` (the row of an entry that was kLonger).
    char16_t first(unsigned char b) const { return m_first[b]; }
    int firstRow(unsigned char b) const { return m_firstRow[b]; }
    char16_t next(int row, unsigned char b) const { return m_rows[std::size_t(row) * 256 + b]; }
    int nextRow(int row, unsigned char b) const { return m_nextRows[std::size_t(row) * 256 + b]; }

    // iconvDecode's reading of bytes, written to out, which has room for bytes.size() units (no
    // character takes less than one byte). Returns the number of units written; -1 when strict and
    // some character is unreadable or cut off at the end.
    qsizetype decode(QByteArrayView bytes, char16_t* out, bool strict,
                     const UnreadableLength& unreadable) const;
    // The same as a string.
    std::optional<QString> decode(QByteArrayView bytes, bool strict,
                                  const UnreadableLength& unreadable) const;

private:
    IconvTable() = default;
    static std::unique_ptr<IconvTable> derive(const QByteArray& charset);

    std::array<char16_t, 256> m_first{};
    std::array<int, 256> m_firstRow{};
    std::vector<char16_t> m_rows; // 256 entries a row
    std::vector<int> m_nextRows;  // the row an entry of m_rows continues in, for kLonger
};

// The other way for a charset of one or two bytes a character (code page 932): the bytes iconv writes
// for each UTF-16 unit alone, so that encoding through the table gives exactly iconvEncode's bytes.
class IconvEncodeTable {
public:
    // A unit iconv cannot write (and every surrogate: iconvEncode writes a pair or a lone one as one
    // replacement byte).
    static constexpr quint16 kNone = 0xFFFF;

    // The table of the charset, or nullptr when iconv lacks it or writes more than two bytes, or
    // 0xFF 0xFF, for some unit. Built at the first call per charset and kept for the process's life
    // (the program's own charset names only). Thread-safe.
    static const IconvEncodeTable* get(const QByteArray& charset);

    // The unit's bytes: b for one byte, lead << 8 | trail for two, or kNone.
    quint16 code(char16_t unit) const { return m_codes[unit]; }

private:
    std::vector<quint16> m_codes; // by unit
};

} // namespace brindle
