#include "mailcheck/mime/Charset.h"

#include "platform/Cp932.h"
#include "platform/Iconv.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <QtEndian>
#include <utility>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace brindle {

namespace {

// A charset label comes from the mail itself; longer names or other characters name nothing real,
// and keeping to this alphabet keeps path-like names ("//", "/") away from iconv_open.
constexpr qsizetype kMaxLabelLength = 40;

enum class Family { Unknown, Iso2022Jp, Cp932, EucJp, Utf8, Ascii, Other };

struct Resolved {
    Family family = Family::Unknown;
    QByteArray iconvName; // for Other
};

bool anyOf(const QByteArray& s, std::initializer_list<const char*> names) {
    for (const char* n : names)
        if (s == n)
            return true;
    return false;
}

Resolved readLabel(QByteArrayView rawLabel) {
    QByteArray label = rawLabel.toByteArray().trimmed();
    // Quotes left over from sloppy parameter writing; RFC 2231 / 2184 language suffix ("*ja").
    while (label.startsWith('"') || label.startsWith('\''))
        label.remove(0, 1);
    while (label.endsWith('"') || label.endsWith('\''))
        label.chop(1);
    if (qsizetype star = label.indexOf('*'); star >= 0)
        label.truncate(star);
    label = label.trimmed().toLower();
    if (label.isEmpty() || label.size() > kMaxLabelLength)
        return {};
    for (char c : label) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_' ||
                        c == '.' || c == ':' || c == '+';
        if (!ok)
            return {};
    }
    if (label.startsWith("iso-2022-jp") || anyOf(label, {"csiso2022jp", "cp50220", "cp50221", "cp50222",
                                                         "jis", "x-jis", "iso2022jp", "iso-2022-jp-ms"}))
        return {Family::Iso2022Jp, {}};
    if (anyOf(label, {"shift_jis", "shift-jis", "sjis", "x-sjis", "ms_kanji", "csshiftjis", "windows-31j",
                      "cp932", "ms932", "x-ms-cp932", "sjis-win", "sjis-open", "x-sjis-open",
                      "shift_jisx0213", "shift_jis-2004", "ibm-943", "ibm943", "windows-932", "shiftjis"}))
        return {Family::Cp932, {}};
    if (anyOf(label, {"euc-jp", "eucjp", "x-euc-jp", "x-euc", "cseucpkdfmtjapanese", "euc-jp-ms", "eucjp-ms",
                      "x-eucjp-open", "eucjp-open", "eucjp-win", "euc-jisx0213", "euc-jis-2004", "ujis"}))
        return {Family::EucJp, {}};
    if (anyOf(label, {"utf-8", "utf8", "x-utf-8", "unicode-1-1-utf-8", "x-unicode20utf8"}))
        return {Family::Utf8, {}};
    if (anyOf(label,
              {"us-ascii", "ascii", "ansi_x3.4-1968", "iso646-us", "us", "cp367", "csascii", "iso-ir-6"}))
        return {Family::Ascii, {}};
    // Names mailers use for the wider charset they really mean.
    if (anyOf(label, {"gb2312", "gbk", "x-gbk", "cp936", "euc-cn", "csgb2312", "gb_2312-80", "x-euc-cn"}))
        return {Family::Other, "GB18030"};
    if (anyOf(label,
              {"ks_c_5601-1987", "euc-kr", "ksc5601", "ks_c_5601", "cseuckr", "x-windows-949", "ksc_5601"}))
        return {Family::Other, "CP949"};
    // Labels that say "I don't know".
    if (anyOf(label, {"unknown", "x-unknown", "unknown-8bit", "default", "8bit", "7bit", "binary", "charset",
                      "x-user-defined", "none"}))
        return {};
    return {Family::Other, label.toUpper()};
}

// The same label comes again and again: for every part, twice per decoding, and for every encoded
// word of a header. The last answer is kept per thread.
Resolved resolveLabel(QByteArrayView rawLabel) {
    thread_local QByteArray lastLabel;
    thread_local Resolved last;
    if (rawLabel.isEmpty() || rawLabel != lastLabel) {
        last = readLabel(rawLabel);
        lastLabel = rawLabel.toByteArray();
    }
    return last;
}

// How many bytes one unreadable character takes, so that lenient decoding skips whole characters.
qsizetype oneByte(const unsigned char*, qsizetype) {
    return 1;
}

qsizetype eucJpLength(const unsigned char* p, qsizetype left) {
    if (left < 2)
        return 1;
    auto high = [](unsigned char c) { return c >= 0xA1 && c <= 0xFE; };
    const unsigned char b = p[0];
    if (b == 0x8E)
        return high(p[1]) ? 2 : 1;
    if (b == 0x8F)
        return left >= 3 && high(p[1]) && high(p[2]) ? 3 : 1;
    if (high(b))
        return high(p[1]) ? 2 : 1;
    return 1;
}

bool isFolding(Folding folding) {
    return folding == Folding::JapaneseVariants;
}

// For text that did not come through a folding decoder.
QString folded(QString text, Folding folding) {
    return isFolding(folding) ? foldJapaneseVariants(std::move(text)) : text;
}
std::optional<QString> folded(std::optional<QString> text, Folding folding) {
    if (text && isFolding(folding))
        *text = foldJapaneseVariants(std::move(*text));
    return text;
}

char16_t foldRemap(char16_t c) {
    return foldJapaneseVariant(c);
}

// Room for the text of n bytes: no charset here reads one byte as more than one UTF-16 unit, nor
// four bytes as more than two.
QString textRoom(qsizetype n) {
    return QString(n, Qt::Uninitialized);
}
void finishRoom(QString& text, qsizetype used) {
    text.resize(used);
    // Two-byte text fills half the room; give the rest back.
    if (text.capacity() - used > used / 4 + 64)
        text.squeeze();
}

bool hasHighBytes(QByteArrayView b) {
    const auto* p = reinterpret_cast<const unsigned char*>(b.data());
    const qsizetype n = b.size();
    qsizetype i = 0;
    for (; i + 8 <= n; i += 8) {
        quint64 block;
        std::memcpy(&block, p + i, 8);
        if (block & 0x8080808080808080ULL)
            return true;
    }
    for (; i < n; ++i)
        if (p[i] >= 0x80)
            return true;
    return false;
}

// ---------------------------------------------------------------------------------------------
// EUC-JP

const QByteArray& nameEucJp() {
    static const QByteArray n("EUC-JP-MS");
    return n;
}

// glibc's EUC-JP-MS passes the bytes 0x80-0x8D and 0x90-0x9F through as C1 controls; no Japanese
// text holds them, so for the strict reading they mean "not EUC-JP".
bool isC1(char16_t c) {
    return c >= 0x80 && c <= 0x9F;
}
char16_t refuseC1(char16_t c) {
    return isC1(c) ? IconvTable::kUnreadable : c;
}
char16_t refuseC1Folded(char16_t c) {
    return isC1(c) ? IconvTable::kUnreadable : foldJapaneseVariant(c);
}

std::optional<QString> eucJpText(QByteArrayView bytes, bool strict, Folding folding) {
    static const IconvTable* const tables[2][2] = {
        {IconvTable::get(nameEucJp()), IconvTable::get(nameEucJp(), foldRemap)},
        {IconvTable::get(nameEucJp(), refuseC1), IconvTable::get(nameEucJp(), refuseC1Folded)}};
    if (const IconvTable* t = tables[strict][isFolding(folding)])
        return t->decode(bytes, strict, eucJpLength);
    auto s = iconvDecode(nameEucJp(), bytes, strict, eucJpLength);
    if (s && strict)
        for (QChar c : *s)
            if (isC1(c.unicode()))
                return std::nullopt;
    return folded(std::move(s), folding);
}

// ---------------------------------------------------------------------------------------------
// Code page 932

std::optional<QString> cp932Text(QByteArrayView bytes, bool strict, Folding folding) {
    if (!isFolding(folding))
        return strict ? fromCp932Strict(bytes) : std::optional<QString>(fromCp932(bytes));
    static const IconvTable* const table = cp932Table(foldRemap);
    if (table && hasHighBytes(bytes))
        return table->decode(bytes, strict, cp932UnreadableLength);
    return folded(strict ? fromCp932Strict(bytes) : std::optional<QString>(fromCp932(bytes)), folding);
}

// ---------------------------------------------------------------------------------------------
// UTF-8

const QByteArray& nameUtf8() {
    static const QByteArray n("UTF-8");
    return n;
}

bool isContinuation(unsigned char c) {
    return (c & 0xC0) == 0x80;
}

// widenAscii sixteen bytes at a time where the processor has the vectors for it (every x86-64 has).
// Each block is widened whole and the pointers move past its ASCII start only: the units after it
// are written over by what follows, within the room the caller has (one unit per byte read).
void widenAsciiRun(const unsigned char* p, qsizetype n, qsizetype& i, char16_t*& w) {
#if defined(__SSE2__)
    const __m128i zero = _mm_setzero_si128();
    while (i + 16 <= n) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(w), _mm_unpacklo_epi8(v, zero));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(w + 8), _mm_unpackhi_epi8(v, zero));
        if (const int high = _mm_movemask_epi8(v); high != 0) {
            const int ascii = __builtin_ctz(static_cast<unsigned>(high));
            i += ascii;
            w += ascii;
            return;
        }
        i += 16;
        w += 16;
    }
#endif
    widenAscii(p, n, i, w);
}

// The longest start of p that iconv reads as UTF-8 without a fault (shortest forms only, no
// surrogates, nothing above U+10FFFF), written to out; returns the bytes read and sets *written.
// out has room for n units.
template <bool Fold>
qsizetype utf8Prefix(const unsigned char* p, qsizetype n, char16_t* out, qsizetype* written) {
    char16_t* w = out;
    qsizetype i = 0;
    while (i < n) {
        const unsigned char b = p[i];
        if (b < 0x80) {
            widenAsciiRun(p, n, i, w);
            continue;
        }
        // Kana and kanji first: three bytes each, most of Japanese text.
        if ((b & 0xF0) == 0xE0) {
            // A run of them, each read with one load and one test of its three bytes' high bits.
            const qsizetype runStart = i;
            while (i + 4 <= n) {
                const quint32 v = qFromLittleEndian<quint32>(p + i);
                if ((v & 0xC0C0F0) != 0x8080E0)
                    break;
                const char16_t c = char16_t((v & 0x0F) << 12 | (v & 0x3F00) >> 2 | (v & 0x3F0000) >> 16);
                if (c < 0x800 || (c >= 0xD800 && c <= 0xDFFF))
                    break;
                *w++ = Fold ? foldJapaneseVariant(c) : c;
                i += 3;
            }
            if (i != runStart)
                continue;
            if (i + 2 >= n || !isContinuation(p[i + 1]) || !isContinuation(p[i + 2]))
                break;
            const char16_t c = char16_t((b & 0x0F) << 12 | (p[i + 1] & 0x3F) << 6 | (p[i + 2] & 0x3F));
            if (c < 0x800 || (c >= 0xD800 && c <= 0xDFFF))
                break;
            *w++ = Fold ? foldJapaneseVariant(c) : c;
            i += 3;
            continue;
        }
        if (b >= 0xC2 && b <= 0xDF) {
            if (i + 1 >= n || !isContinuation(p[i + 1]))
                break;
            const char16_t c = char16_t((b & 0x1F) << 6 | (p[i + 1] & 0x3F));
            *w++ = Fold ? foldJapaneseVariant(c) : c;
            i += 2;
            continue;
        }
        if (b < 0xF0 || b > 0xF4 || i + 3 >= n || !isContinuation(p[i + 1]) || !isContinuation(p[i + 2]) ||
            !isContinuation(p[i + 3]))
            break;
        const char32_t c = char32_t(b & 0x07) << 18 | char32_t(p[i + 1] & 0x3F) << 12 |
                           char32_t(p[i + 2] & 0x3F) << 6 | (p[i + 3] & 0x3F);
        if (c < 0x10000 || c > 0x10FFFF)
            break;
        *w++ = QChar::highSurrogate(c);
        *w++ = QChar::lowSurrogate(c);
        i += 4;
    }
    *written = w - out;
    return i;
}

std::optional<QString> utf8Text(QByteArrayView bytes, bool strict, Folding folding) {
    QString text = textRoom(bytes.size());
    qsizetype used = 0;
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    auto* out = reinterpret_cast<char16_t*>(text.data());
    const qsizetype read = isFolding(folding) ? utf8Prefix<true>(p, bytes.size(), out, &used)
                                              : utf8Prefix<false>(p, bytes.size(), out, &used);
    finishRoom(text, used);
    if (read == bytes.size())
        return text;
    if (strict)
        return std::nullopt;
    // The decoder holds no state between characters, so from the first fault on iconv reads the rest
    // exactly as it would have read it within the whole text.
    std::optional<QString> rest = iconvDecode(nameUtf8(), bytes.sliced(read), false, oneByte);
    if (!rest)
        return std::nullopt;
    return text + folded(std::move(*rest), folding);
}

// ---------------------------------------------------------------------------------------------

bool hasJisEscape(QByteArrayView b) {
    for (qsizetype i = 0; i + 2 < b.size(); ++i) {
        if (b[i] != '\x1b')
            continue;
        const char c1 = b[i + 1], c2 = b[i + 2];
        if ((c1 == '$' && (c2 == 'B' || c2 == '@' || c2 == '(')) || (c1 == '(' && c2 == 'I'))
            return true;
    }
    return false;
}

struct Score {
    int japanese = 0;
    bool suspicious = false;
};

// Folding changes no code point counted here.
Score score(const QString& s) {
    Score sc;
    for (QChar ch : s) {
        const char16_t u = ch.unicode();
        if ((u >= 0x3040 && u <= 0x30FF) || (u >= 0x4E00 && u <= 0x9FFF))
            ++sc.japanese;
        else if ((u >= 0xFF61 && u <= 0xFF9F) || (u >= 0xE000 && u <= 0xF8FF))
            sc.suspicious = true;
    }
    return sc;
}

std::optional<QString> iso2022JpText(QByteArrayView bytes, bool strict, Folding folding) {
    Iso2022JpDecoder d(folding);
    if (strict)
        d.stopAtFirstFault();
    d.feed(bytes);
    return d.finish(strict);
}

} // namespace

// ---------------------------------------------------------------------------------------------
// ISO-2022-JP

// The characters of ISO-2022-JP as code page 932 reads the Shift_JIS bytes each stands for.
struct JisReading {
    // The 94 x 94 pairs of a two-byte set (first byte 0x21-0x7E, second byte 0x21-0x7E), each the
    // one character code page 932 reads for its Shift_JIS pair, or kUnreadable.
    std::array<char16_t, 94 * 94> pairs;
    // Half-width katakana, bytes 0x21-0x5F: code page 932 at 0xA1-0xDF.
    std::array<char16_t, 0x5F - 0x20> kana;
    // What a fault reads as: code page 932's reading of the byte 0x80, which holds no character.
    char16_t fault;
    // Without a code page 932 table (iconv lacks it, or reads it otherwise than as one or two bytes
    // a character) every byte above 0x7F reads as U+FFFD by itself, as fromCp932 then reads them; a
    // pair stands for two bytes, the second of which may be ASCII.
    bool byteWise;
};

namespace {

// The Shift_JIS pair of a JIS pair.
std::pair<unsigned char, unsigned char> shiftJisPair(int j1, int j2) {
    const int s1 = ((j1 + 1) >> 1) + (j1 <= 0x5E ? 0x70 : 0xB0);
    const int s2 = j2 + ((j1 & 1) ? (j2 >= 0x60 ? 0x20 : 0x1F) : 0x7E);
    return {static_cast<unsigned char>(s1), static_cast<unsigned char>(s2)};
}

enum class Escape { TwoByte, Ascii, Katakana, Revision, OtherTwoByte, Other };

// What the escape sequence whose bytes after ESC are s (intermediates and final) designates.
Escape escape(const unsigned char* s, qsizetype length) {
    if (length == 2) {
        const char a = char(s[0]), b = char(s[1]);
        if (a == '$' && (b == '@' || b == 'B'))
            return Escape::TwoByte;
        if (a == '(' && (b == 'B' || b == 'J' || b == 'H'))
            return Escape::Ascii;
        if (a == '(' && b == 'I')
            return Escape::Katakana;
        if (a == '&' && b == '@')
            return Escape::Revision;
    } else if (length == 3 && s[0] == '$' && s[1] == '(' &&
               (s[2] == 'B' || s[2] == '@' || s[2] == 'Q' || s[2] == 'O')) {
        return Escape::TwoByte; // JIS X 0208 and JIS X 0213 plane 1 by their longer names
    }
    return length >= 2 && s[0] == '$' ? Escape::OtherTwoByte : Escape::Other;
}

std::unique_ptr<JisReading> makeJisReading(const IconvTable* cp) {
    auto r = std::make_unique<JisReading>();
    auto unit = [](char16_t e) { return e == IconvTable::kUnreadable ? u'\uFFFD' : e; };
    // Reading each pair alone is reading the stream only when every Shift_JIS first byte of a pair
    // starts a two-byte character, and no byte written alone starts one.
    bool usable = cp != nullptr;
    for (int b = 0x80; usable && b <= 0xDF; ++b)
        usable = (b > 0x80 && b < 0xA1) || cp->first(static_cast<unsigned char>(b)) != IconvTable::kLonger;
    for (int j1 = 0x21; usable && j1 <= 0x7E; ++j1) {
        for (int j2 = 0x21; usable && j2 <= 0x7E; ++j2) {
            const auto [s1, s2] = shiftJisPair(j1, j2);
            usable =
                cp->first(s1) == IconvTable::kLonger && cp->next(cp->firstRow(s1), s2) != IconvTable::kLonger;
            if (usable)
                r->pairs[std::size_t((j1 - 0x21) * 94 + (j2 - 0x21))] = cp->next(cp->firstRow(s1), s2);
        }
    }
    r->byteWise = !usable;
    if (r->byteWise) {
        r->pairs.fill(IconvTable::kUnreadable);
        r->kana.fill(IconvTable::kUnreadable);
        r->fault = u'\uFFFD';
        return r;
    }
    for (int b = 0x21; b <= 0x5F; ++b)
        r->kana[std::size_t(b - 0x21)] = cp->first(static_cast<unsigned char>(b + 0x80));
    r->fault = unit(cp->first(0x80));
    return r;
}

const JisReading* jisReading(Folding folding) {
    static const std::unique_ptr<JisReading> plain = makeJisReading(cp932Table());
    static const std::unique_ptr<JisReading> foldedReading = makeJisReading(cp932Table(foldRemap));
    return isFolding(folding) ? foldedReading.get() : plain.get();
}

} // namespace

Iso2022JpDecoder::Iso2022JpDecoder(Folding folding) : m_reading(jisReading(folding)) {}

char16_t* Iso2022JpDecoder::room(qsizetype units) {
    if (m_text.size() - m_used < units)
        m_text.resize(std::max(m_used + units, m_text.size() * 2));
    return reinterpret_cast<char16_t*>(m_text.data()) + m_used;
}

// Aligned to a cache line: its inner loops ran 10 % slower (bench/mimedecode) when code added before
// it in this file moved them; a fixed alignment keeps their speed from depending on that code.
__attribute__((aligned(64))) void Iso2022JpDecoder::feed(QByteArrayView bytes) {
    if (m_stopAtFault && !m_clean)
        return;
    const JisReading& reading = *m_reading;
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    const qsizetype n = bytes.size();
    // Each byte gives at most one unit, a pending lead byte one more.
    char16_t* const start = room(n + 1);
    char16_t* w = start;
    auto invalid = [&] {
        m_clean = false;
        *w++ = reading.fault;
    };
    auto pair = [&](int j1, int j2) {
        const char16_t u = reading.pairs[std::size_t((j1 - 0x21) * 94 + (j2 - 0x21))];
        if (u != IconvTable::kUnreadable) {
            *w++ = u;
            return;
        }
        m_clean = false;
        *w++ = u'\uFFFD';
        if (reading.byteWise) {
            const unsigned char s2 = shiftJisPair(j1, j2).second;
            *w++ = s2 < 0x80 ? char16_t(s2) : u'\uFFFD';
        }
    };
    for (qsizetype i = 0; i < n; ++i) {
        if (m_stopAtFault && !m_clean)
            break;
        // The bulk of the text: whole pairs in two-byte mode, and ASCII, at which only an escape,
        // a shift or an 8-bit byte stops.
        if (m_lead < 0 && !m_shiftedOut) {
            if (m_mode == Mode::TwoByte) {
                while (i + 1 < n && unsigned(p[i] - 0x21) < 94 && unsigned(p[i + 1] - 0x21) < 94) {
                    const char16_t u = reading.pairs[std::size_t((p[i] - 0x21) * 94 + (p[i + 1] - 0x21))];
                    if (u == IconvTable::kUnreadable)
                        break;
                    *w++ = u;
                    i += 2;
                }
            } else if (m_mode == Mode::Ascii) {
                while (i < n && p[i] < 0x80 && p[i] != 0x1B && p[i] != 0x0E && p[i] != 0x0F)
                    *w++ = p[i++];
            }
            if (i >= n)
                break;
        }
        const unsigned char b = p[i];
        if (b == 0x1B) {
            if (m_lead >= 0) {
                invalid();
                m_lead = -1;
            }
            // ESC, intermediates 0x20-0x2F, final 0x30-0x7E.
            qsizetype j = i + 1;
            while (j < n && p[j] >= 0x20 && p[j] <= 0x2F)
                ++j;
            if (j >= n || p[j] < 0x30 || p[j] > 0x7E) {
                m_clean = false; // a broken escape: drop the ESC, read on
                continue;
            }
            switch (escape(p + i + 1, j - i)) {
            case Escape::TwoByte:
                m_mode = Mode::TwoByte;
                break;
            case Escape::Ascii:
                m_mode = Mode::Ascii;
                break;
            case Escape::Katakana:
                m_mode = Mode::Katakana;
                break;
            case Escape::Revision:
                break; // announces the 1990 revision before ESC $ B: nothing to do
            case Escape::OtherTwoByte:
                m_mode = Mode::Unsupported; // JIS X 0212, GB 2312, KS C 5601 ...: pairs we cannot map
                m_clean = false;
                break;
            case Escape::Other:
                m_clean = false; // single shifts and G2 sets of ISO-2022-JP-2
                break;
            }
            i = j;
            continue;
        }
        if (b == 0x0E) {
            m_shiftedOut = true;
            continue;
        }
        if (b == 0x0F) {
            m_shiftedOut = false;
            continue;
        }
        if (b >= 0x80) {
            if (m_lead >= 0) {
                invalid();
                m_lead = -1;
            }
            invalid();
            continue;
        }
        if (b < 0x21 || b == 0x7F) {
            if (m_lead >= 0) {
                invalid();
                m_lead = -1;
            }
            *w++ = b;
            continue;
        }
        const Mode mode = m_shiftedOut ? Mode::Katakana : m_mode;
        switch (mode) {
        case Mode::Ascii:
            *w++ = b;
            break;
        case Mode::Katakana:
            if (b <= 0x5F && reading.kana[b - 0x21] != IconvTable::kUnreadable) {
                *w++ = reading.kana[b - 0x21];
            } else if (b <= 0x5F) {
                m_clean = false;
                *w++ = u'\uFFFD';
            } else {
                invalid();
            }
            break;
        case Mode::TwoByte:
        case Mode::Unsupported:
            if (m_lead < 0) {
                m_lead = b;
                break;
            }
            if (mode == Mode::Unsupported)
                invalid();
            else
                pair(m_lead, b);
            m_lead = -1;
            break;
        }
    }
    m_used += w - start;
}

void Iso2022JpDecoder::endOfWord() {
    if (m_lead >= 0 && (m_mode == Mode::TwoByte || m_mode == Mode::Unsupported))
        return;
    m_mode = Mode::Ascii;
    m_shiftedOut = false;
}

std::optional<QString> Iso2022JpDecoder::finish(bool strict) {
    if (m_lead >= 0) {
        m_clean = false;
        *room(1) = m_reading->fault;
        ++m_used;
    }
    const bool clean = m_clean;
    QString text = std::exchange(m_text, {});
    finishRoom(text, m_used);
    m_mode = Mode::Ascii;
    m_shiftedOut = false;
    m_lead = -1;
    m_clean = true;
    m_used = 0;
    if (strict && !clean)
        return std::nullopt;
    return text;
}

QString foldJapaneseVariants(QString text) {
    const qsizetype n = text.size();
    const char16_t* data = reinterpret_cast<const char16_t*>(text.constData());
    qsizetype i = 0;
    while (i < n && foldJapaneseVariant(data[i]) == data[i])
        ++i;
    if (i == n)
        return text;
    char16_t* w = reinterpret_cast<char16_t*>(text.data());
    for (; i < n; ++i)
        w[i] = foldJapaneseVariant(w[i]);
    return text;
}

CharsetGuess guessCharset(QByteArrayView bytes, Folding folding) {
    const bool high = hasHighBytes(bytes);
    const bool esc = bytes.contains('\x1b');
    if (esc && hasJisEscape(bytes))
        return {GuessedCharset::Iso2022Jp, *iso2022JpText(bytes, false, folding)};
    if (!high)
        return {GuessedCharset::Ascii, QString::fromLatin1(bytes)};
    if (auto u = utf8Text(bytes, true, folding))
        return {GuessedCharset::Utf8, std::move(*u)};
    // EUC-JP first matters: code page 932 accepts most EUC-JP bytes as half-width kana.
    auto euc = eucJpText(bytes, true, folding);
    auto sjis = cp932Text(bytes, true, folding);
    if (euc && sjis) {
        const Score e = score(*euc), s = score(*sjis);
        const bool eucWins = e.suspicious != s.suspicious ? !e.suspicious : e.japanese > s.japanese;
        return eucWins ? CharsetGuess{GuessedCharset::EucJp, std::move(*euc)}
                       : CharsetGuess{GuessedCharset::Cp932, std::move(*sjis)};
    }
    if (euc)
        return {GuessedCharset::EucJp, std::move(*euc)};
    if (sjis)
        return {GuessedCharset::Cp932, std::move(*sjis)};
    return {GuessedCharset::Cp932Damaged, *cp932Text(bytes, false, folding)};
}

QString decodeGuessed(QByteArrayView bytes, GuessedCharset charset) {
    switch (charset) {
    case GuessedCharset::Ascii:
        break;
    case GuessedCharset::Iso2022Jp:
        return *iso2022JpText(bytes, false, Folding::None);
    case GuessedCharset::Utf8:
        if (hasHighBytes(bytes))
            return utf8Text(bytes, false, Folding::None).value_or(QString());
        break;
    case GuessedCharset::EucJp:
        if (hasHighBytes(bytes))
            return eucJpText(bytes, false, Folding::None).value_or(QString());
        break;
    case GuessedCharset::Cp932:
    case GuessedCharset::Cp932Damaged:
        return fromCp932(bytes);
    }
    if (hasHighBytes(bytes))
        return decodeUndeclaredText(bytes);
    return QString::fromLatin1(bytes);
}

std::optional<QString> decodeCharsetStrict(QByteArrayView bytes, QByteArrayView label, Folding folding) {
    const Resolved r = resolveLabel(label);
    if (r.family == Family::Unknown)
        return std::nullopt;
    if (r.family == Family::Iso2022Jp)
        return iso2022JpText(bytes, true, folding);
    if (r.family != Family::Other && !hasHighBytes(bytes)) {
        // JIS text under an ASCII-compatible label is a lie the detection sees through.
        if (hasJisEscape(bytes))
            return std::nullopt;
        return QString::fromLatin1(bytes);
    }
    switch (r.family) {
    case Family::Ascii:
        return std::nullopt; // 8-bit bytes under US-ASCII
    case Family::Cp932:
        return cp932Text(bytes, true, folding);
    case Family::EucJp:
        return eucJpText(bytes, true, folding);
    case Family::Utf8:
        return utf8Text(bytes, true, folding);
    case Family::Other: {
        auto s = iconvDecode(r.iconvName, bytes, true, oneByte);
        // Stateful charsets (UTF-7, ISO-2022-KR ...) can swallow bytes whole; text that reads as
        // nothing at all was not written in that charset.
        if (s && s->isEmpty() && !bytes.isEmpty())
            return std::nullopt;
        return folded(std::move(s), folding);
    }
    case Family::Unknown:
    case Family::Iso2022Jp:
        break;
    }
    return std::nullopt;
}

QString decodeCharsetPieces(const QList<QByteArray>& pieces, QByteArrayView label) {
    if (pieces.size() == 1)
        return decodeCharset(pieces.front(), label);
    QByteArray joined;
    for (const QByteArray& p : pieces)
        joined += p;
    if (resolveLabel(label).family == Family::Iso2022Jp) {
        Iso2022JpDecoder d;
        d.stopAtFirstFault();
        for (const QByteArray& p : pieces) {
            d.feed(p);
            d.endOfWord();
        }
        if (auto s = d.finish(true))
            return *s;
        return decodeUndeclaredText(joined);
    }
    return decodeCharset(joined, label);
}

bool mayDecodeNulWithoutNulByte(QByteArrayView label) {
    return resolveLabel(label).family == Family::Other;
}

bool sameCharsetLabel(QByteArrayView a, QByteArrayView b) {
    auto base = [](QByteArrayView l) {
        const qsizetype star = l.indexOf('*');
        return (star >= 0 ? l.first(star) : l).trimmed();
    };
    return base(a).compare(base(b), Qt::CaseInsensitive) == 0;
}

QString decodeCharset(QByteArrayView bytes, QByteArrayView label, Folding folding) {
    if (auto s = decodeCharsetStrict(bytes, label, folding))
        return std::move(*s);
    // A stray broken byte in long text that is otherwise valid in its declared charset: the
    // declaration is true and detection would only find a wrong charset that happens to accept
    // every byte (code page 932 accepts most UTF-8 and EUC-JP). A lie shows as many errors.
    std::optional<QString> lenient;
    switch (resolveLabel(label).family) {
    case Family::Utf8:
        lenient = utf8Text(bytes, false, folding);
        break;
    case Family::EucJp:
        lenient = eucJpText(bytes, false, folding);
        break;
    case Family::Cp932:
        lenient = cp932Text(bytes, false, folding);
        break;
    default:
        break;
    }
    if (lenient) {
        const qsizetype bad = lenient->count(QChar(0xFFFD));
        if (bad <= qMax<qsizetype>(1, lenient->size() / 100) && bad * 2 < lenient->size())
            return std::move(*lenient);
    }
    return decodeUndeclaredText(bytes, folding);
}

} // namespace brindle
