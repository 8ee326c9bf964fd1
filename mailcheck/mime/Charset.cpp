#include "mailcheck/mime/Charset.h"

#include "platform/Cp932.h"
#include "platform/Iconv.h"

#include <utility>

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

Resolved resolveLabel(QByteArrayView rawLabel) {
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

const QByteArray& nameEucJp() {
    static const QByteArray n("EUC-JP-MS");
    return n;
}
// glibc's EUC-JP-MS passes the bytes 0x80-0x8D through as C1 controls; no Japanese text holds
// them, so for the strict reading they mean "not EUC-JP".
std::optional<QString> eucJpStrict(QByteArrayView bytes) {
    auto s = iconvDecode(nameEucJp(), bytes, true, eucJpLength);
    if (s)
        for (QChar c : *s)
            if (c.unicode() >= 0x80 && c.unicode() <= 0x9F)
                return std::nullopt;
    return s;
}

const QByteArray& nameUtf8() {
    static const QByteArray n("UTF-8");
    return n;
}

bool hasHighBytes(QByteArrayView b) {
    for (char c : b)
        if (static_cast<unsigned char>(c) >= 0x80)
            return true;
    return false;
}

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

QString decodeIso2022Jp(QByteArrayView bytes, bool strict, bool* ok) {
    Iso2022JpDecoder d;
    d.feed(bytes);
    auto r = d.finish(strict);
    *ok = r.has_value();
    return r ? *r : QString();
}

} // namespace

void Iso2022JpDecoder::invalid() {
    m_clean = false;
    // 0x80 is never valid in code page 932 and never a lead byte: it reads as one U+FFFD.
    m_sjis += '\x80';
}

void Iso2022JpDecoder::feed(QByteArrayView bytes) {
    m_sjis.reserve(m_sjis.size() + bytes.size());
    const qsizetype n = bytes.size();
    for (qsizetype i = 0; i < n; ++i) {
        const unsigned char b = static_cast<unsigned char>(bytes[i]);
        if (b == 0x1B) {
            if (m_lead >= 0) {
                invalid();
                m_lead = -1;
            }
            // ESC, intermediates 0x20-0x2F, final 0x30-0x7E.
            qsizetype j = i + 1;
            while (j < n && static_cast<unsigned char>(bytes[j]) >= 0x20 &&
                   static_cast<unsigned char>(bytes[j]) <= 0x2F)
                ++j;
            if (j >= n || static_cast<unsigned char>(bytes[j]) < 0x30 ||
                static_cast<unsigned char>(bytes[j]) > 0x7E) {
                m_clean = false; // a broken escape: drop the ESC, read on
                continue;
            }
            const QByteArrayView seq = bytes.sliced(i + 1, j - i);
            if (seq == "$@" || seq == "$B" || seq == "$(B" || seq == "$(@" || seq == "$(Q" || seq == "$(O") {
                m_mode = Mode::TwoByte;
            } else if (seq == "(B" || seq == "(J" || seq == "(H") {
                m_mode = Mode::Ascii;
            } else if (seq == "(I") {
                m_mode = Mode::Katakana;
            } else if (seq == "&@") {
                // Announces the 1990 revision before ESC $ B: nothing to do.
            } else if (seq.size() >= 2 && seq[0] == '$') {
                m_mode = Mode::Unsupported; // JIS X 0212, GB 2312, KS C 5601 ...: pairs we cannot map
                m_clean = false;
            } else {
                m_clean = false; // single shifts and G2 sets of ISO-2022-JP-2
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
            m_sjis += char(b);
            continue;
        }
        const Mode mode = m_shiftedOut ? Mode::Katakana : m_mode;
        switch (mode) {
        case Mode::Ascii:
            m_sjis += char(b);
            break;
        case Mode::Katakana:
            if (b <= 0x5F)
                m_sjis += char(b + 0x80);
            else
                invalid();
            break;
        case Mode::TwoByte:
        case Mode::Unsupported:
            if (m_lead < 0) {
                m_lead = b;
                break;
            }
            if (mode == Mode::Unsupported) {
                invalid();
            } else {
                // JIS row/cell pair to its Shift_JIS pair.
                const int j1 = m_lead, j2 = b;
                const int s1 = ((j1 + 1) >> 1) + (j1 <= 0x5E ? 0x70 : 0xB0);
                const int s2 = j2 + ((j1 & 1) ? (j2 >= 0x60 ? 0x20 : 0x1F) : 0x7E);
                m_sjis += char(s1);
                m_sjis += char(s2);
            }
            m_lead = -1;
            break;
        }
    }
}

void Iso2022JpDecoder::endOfWord() {
    if (m_lead >= 0 && (m_mode == Mode::TwoByte || m_mode == Mode::Unsupported))
        return;
    m_mode = Mode::Ascii;
    m_shiftedOut = false;
}

std::optional<QString> Iso2022JpDecoder::finish(bool strict) {
    if (m_lead >= 0)
        invalid();
    const bool clean = m_clean;
    const QByteArray sjis = std::exchange(m_sjis, {});
    m_mode = Mode::Ascii;
    m_shiftedOut = false;
    m_lead = -1;
    m_clean = true;
    if (strict && !clean)
        return std::nullopt;
    if (!hasHighBytes(sjis))
        return QString::fromLatin1(sjis);
    if (strict)
        return fromCp932Strict(sjis);
    return fromCp932(sjis);
}

CharsetGuess guessCharset(QByteArrayView bytes) {
    bool high = false, esc = false;
    for (char c : bytes) {
        const auto u = static_cast<unsigned char>(c);
        high |= u >= 0x80;
        esc |= u == 0x1B;
    }
    if (esc && hasJisEscape(bytes)) {
        bool ok = false;
        return {GuessedCharset::Iso2022Jp, decodeIso2022Jp(bytes, false, &ok)};
    }
    if (!high)
        return {GuessedCharset::Ascii, QString::fromLatin1(bytes)};
    if (auto u = iconvDecode(nameUtf8(), bytes, true, oneByte))
        return {GuessedCharset::Utf8, *u};
    // EUC-JP first matters: code page 932 accepts most EUC-JP bytes as half-width kana.
    auto euc = eucJpStrict(bytes);
    auto sjis = fromCp932Strict(bytes);
    if (euc && sjis) {
        const Score e = score(*euc), s = score(*sjis);
        const bool eucWins = e.suspicious != s.suspicious ? !e.suspicious : e.japanese > s.japanese;
        return eucWins ? CharsetGuess{GuessedCharset::EucJp, *euc}
                       : CharsetGuess{GuessedCharset::Cp932, *sjis};
    }
    if (euc)
        return {GuessedCharset::EucJp, *euc};
    if (sjis)
        return {GuessedCharset::Cp932, *sjis};
    return {GuessedCharset::Cp932Damaged, fromCp932(bytes)};
}

QString decodeGuessed(QByteArrayView bytes, GuessedCharset charset) {
    switch (charset) {
    case GuessedCharset::Ascii:
        break;
    case GuessedCharset::Iso2022Jp: {
        bool ok = false;
        return decodeIso2022Jp(bytes, false, &ok);
    }
    case GuessedCharset::Utf8:
        if (hasHighBytes(bytes))
            return iconvDecode(nameUtf8(), bytes, false, oneByte).value_or(QString());
        break;
    case GuessedCharset::EucJp:
        if (hasHighBytes(bytes))
            return iconvDecode(nameEucJp(), bytes, false, eucJpLength).value_or(QString());
        break;
    case GuessedCharset::Cp932:
    case GuessedCharset::Cp932Damaged:
        return fromCp932(bytes);
    }
    if (hasHighBytes(bytes))
        return decodeUndeclaredText(bytes);
    return QString::fromLatin1(bytes);
}

std::optional<QString> decodeCharsetStrict(QByteArrayView bytes, QByteArrayView label) {
    const Resolved r = resolveLabel(label);
    if (r.family == Family::Unknown)
        return std::nullopt;
    if (r.family == Family::Iso2022Jp) {
        bool ok = false;
        QString s = decodeIso2022Jp(bytes, true, &ok);
        if (!ok)
            return std::nullopt;
        return s;
    }
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
        return fromCp932Strict(bytes);
    case Family::EucJp:
        return eucJpStrict(bytes);
    case Family::Utf8:
        return iconvDecode(nameUtf8(), bytes, true, oneByte);
    case Family::Other: {
        auto s = iconvDecode(r.iconvName, bytes, true, oneByte);
        // Stateful charsets (UTF-7, ISO-2022-KR ...) can swallow bytes whole; text that reads as
        // nothing at all was not written in that charset.
        if (s && s->isEmpty() && !bytes.isEmpty())
            return std::nullopt;
        return s;
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

bool sameCharsetLabel(QByteArrayView a, QByteArrayView b) {
    auto base = [](QByteArrayView l) {
        const qsizetype star = l.indexOf('*');
        return (star >= 0 ? l.first(star) : l).trimmed();
    };
    return base(a).compare(base(b), Qt::CaseInsensitive) == 0;
}

QString decodeCharset(QByteArrayView bytes, QByteArrayView label) {
    if (auto s = decodeCharsetStrict(bytes, label))
        return *s;
    // A stray broken byte in long text that is otherwise valid in its declared charset: the
    // declaration is true and detection would only find a wrong charset that happens to accept
    // every byte (code page 932 accepts most UTF-8 and EUC-JP). A lie shows as many errors.
    std::optional<QString> lenient;
    switch (resolveLabel(label).family) {
    case Family::Utf8:
        lenient = iconvDecode(nameUtf8(), bytes, false, oneByte);
        break;
    case Family::EucJp:
        lenient = iconvDecode(nameEucJp(), bytes, false, eucJpLength);
        break;
    case Family::Cp932:
        lenient = fromCp932(bytes);
        break;
    default:
        break;
    }
    if (lenient) {
        const qsizetype bad = lenient->count(QChar(0xFFFD));
        if (bad <= qMax<qsizetype>(1, lenient->size() / 100) && bad * 2 < lenient->size())
            return *lenient;
    }
    return decodeUndeclaredText(bytes);
}

} // namespace brindle
