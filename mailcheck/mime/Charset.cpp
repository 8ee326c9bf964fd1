#include "mailcheck/mime/Charset.h"

#include <cerrno>
#include <iconv.h>
#include <QtEndian>
#include <utility>
#include <vector>

namespace brindle {

namespace {

// iconv writes QString's own code units.
#if Q_BYTE_ORDER == Q_LITTLE_ENDIAN
constexpr const char* kUtf16Native = "UTF-16LE";
#else
constexpr const char* kUtf16Native = "UTF-16BE";
#endif

// A charset label comes from the mail itself; longer names or other characters name nothing real,
// and keeping to this alphabet keeps path-like names ("//", "/") away from iconv_open.
constexpr qsizetype kMaxLabelLength = 40;
// Distinct charsets kept open per thread; a message names only a few, a hostile one names many.
constexpr std::size_t kMaxOpenConverters = 16;

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

// Open converters, one per charset name, kept for the thread's life: opening one costs more than
// decoding a typical part.
class ConverterCache {
public:
    ~ConverterCache() {
        for (auto& [name, cd] : entries_)
            if (cd != invalid())
                iconv_close(cd);
    }
    static iconv_t invalid() { return reinterpret_cast<iconv_t>(-1); }

    iconv_t get(const QByteArray& name) {
        for (auto& [n, cd] : entries_)
            if (n == name)
                return cd;
        if (entries_.size() >= kMaxOpenConverters) {
            // Keep the first few (the Japanese ones, opened early and used constantly).
            auto& [n, cd] = entries_.back();
            if (cd != invalid())
                iconv_close(cd);
            entries_.pop_back();
        }
        iconv_t cd = iconv_open(kUtf16Native, name.constData());
        entries_.emplace_back(name, cd);
        return cd;
    }

private:
    std::vector<std::pair<QByteArray, iconv_t>> entries_;
};

iconv_t converter(const QByteArray& name) {
    thread_local ConverterCache cache;
    return cache.get(name);
}

// How many bytes one unreadable character takes, so that lenient decoding skips whole characters.
enum class SkipRule { OneByte, Cp932, EucJp };

qsizetype skipLength(const unsigned char* p, std::size_t left, SkipRule rule) {
    if (left < 2)
        return 1;
    const unsigned char b = p[0];
    switch (rule) {
    case SkipRule::Cp932: {
        const bool lead = (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC);
        const unsigned char t = p[1];
        const bool trail = (t >= 0x40 && t <= 0x7E) || (t >= 0x80 && t <= 0xFC);
        return lead && trail ? 2 : 1;
    }
    case SkipRule::EucJp: {
        auto high = [](unsigned char c) { return c >= 0xA1 && c <= 0xFE; };
        if (b == 0x8E)
            return high(p[1]) ? 2 : 1;
        if (b == 0x8F)
            return left >= 3 && high(p[1]) && high(p[2]) ? 3 : 1;
        if (high(b))
            return high(p[1]) ? 2 : 1;
        return 1;
    }
    case SkipRule::OneByte:
        break;
    }
    return 1;
}

// Decodes with iconv. strict: nullopt on the first invalid or truncated sequence; otherwise each
// unreadable character becomes U+FFFD.
std::optional<QString> iconvDecode(const QByteArray& charsetName, QByteArrayView bytes, bool strict,
                                   SkipRule rule) {
    iconv_t cd = converter(charsetName);
    if (cd == ConverterCache::invalid())
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
        const std::size_t skip =
            err == EINVAL ? inLeft
                          : std::size_t(skipLength(reinterpret_cast<unsigned char*>(in), inLeft, rule));
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

const QByteArray& nameCp932() {
    static const QByteArray n("CP932");
    return n;
}
const QByteArray& nameEucJp() {
    static const QByteArray n("EUC-JP-MS");
    return n;
}
// glibc's EUC-JP-MS passes the bytes 0x80-0x8D through as C1 controls; no Japanese text holds
// them, so for the strict reading they mean "not EUC-JP".
std::optional<QString> eucJpStrict(QByteArrayView bytes) {
    auto s = iconvDecode(nameEucJp(), bytes, true, SkipRule::EucJp);
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
    clean_ = false;
    // 0x80 is never valid in code page 932 and never a lead byte: it reads as one U+FFFD.
    sjis_ += '\x80';
}

void Iso2022JpDecoder::feed(QByteArrayView bytes) {
    sjis_.reserve(sjis_.size() + bytes.size());
    const qsizetype n = bytes.size();
    for (qsizetype i = 0; i < n; ++i) {
        const unsigned char b = static_cast<unsigned char>(bytes[i]);
        if (b == 0x1B) {
            if (lead_ >= 0) {
                invalid();
                lead_ = -1;
            }
            // ESC, intermediates 0x20-0x2F, final 0x30-0x7E.
            qsizetype j = i + 1;
            while (j < n && static_cast<unsigned char>(bytes[j]) >= 0x20 &&
                   static_cast<unsigned char>(bytes[j]) <= 0x2F)
                ++j;
            if (j >= n || static_cast<unsigned char>(bytes[j]) < 0x30 ||
                static_cast<unsigned char>(bytes[j]) > 0x7E) {
                clean_ = false; // a broken escape: drop the ESC, read on
                continue;
            }
            const QByteArrayView seq = bytes.sliced(i + 1, j - i);
            if (seq == "$@" || seq == "$B" || seq == "$(B" || seq == "$(@" || seq == "$(Q" || seq == "$(O") {
                mode_ = Mode::TwoByte;
            } else if (seq == "(B" || seq == "(J" || seq == "(H") {
                mode_ = Mode::Ascii;
            } else if (seq == "(I") {
                mode_ = Mode::Katakana;
            } else if (seq == "&@") {
                // Announces the 1990 revision before ESC $ B: nothing to do.
            } else if (seq.size() >= 2 && seq[0] == '$') {
                mode_ = Mode::Unsupported; // JIS X 0212, GB 2312, KS C 5601 ...: pairs we cannot map
                clean_ = false;
            } else {
                clean_ = false; // single shifts and G2 sets of ISO-2022-JP-2
            }
            i = j;
            continue;
        }
        if (b == 0x0E) {
            shiftedOut_ = true;
            continue;
        }
        if (b == 0x0F) {
            shiftedOut_ = false;
            continue;
        }
        if (b >= 0x80) {
            if (lead_ >= 0) {
                invalid();
                lead_ = -1;
            }
            invalid();
            continue;
        }
        if (b < 0x21 || b == 0x7F) {
            if (lead_ >= 0) {
                invalid();
                lead_ = -1;
            }
            sjis_ += char(b);
            continue;
        }
        const Mode mode = shiftedOut_ ? Mode::Katakana : mode_;
        switch (mode) {
        case Mode::Ascii:
            sjis_ += char(b);
            break;
        case Mode::Katakana:
            if (b <= 0x5F)
                sjis_ += char(b + 0x80);
            else
                invalid();
            break;
        case Mode::TwoByte:
        case Mode::Unsupported:
            if (lead_ < 0) {
                lead_ = b;
                break;
            }
            if (mode == Mode::Unsupported) {
                invalid();
            } else {
                // JIS row/cell pair to its Shift_JIS pair.
                const int j1 = lead_, j2 = b;
                const int s1 = ((j1 + 1) >> 1) + (j1 <= 0x5E ? 0x70 : 0xB0);
                const int s2 = j2 + ((j1 & 1) ? (j2 >= 0x60 ? 0x20 : 0x1F) : 0x7E);
                sjis_ += char(s1);
                sjis_ += char(s2);
            }
            lead_ = -1;
            break;
        }
    }
}

void Iso2022JpDecoder::endOfWord() {
    if (lead_ >= 0 && (mode_ == Mode::TwoByte || mode_ == Mode::Unsupported))
        return;
    mode_ = Mode::Ascii;
    shiftedOut_ = false;
}

std::optional<QString> Iso2022JpDecoder::finish(bool strict) {
    if (lead_ >= 0)
        invalid();
    const bool clean = clean_;
    const QByteArray sjis = std::exchange(sjis_, {});
    mode_ = Mode::Ascii;
    shiftedOut_ = false;
    lead_ = -1;
    clean_ = true;
    if (strict && !clean)
        return std::nullopt;
    if (!hasHighBytes(sjis))
        return QString::fromLatin1(sjis);
    if (strict)
        return iconvDecode(nameCp932(), sjis, true, SkipRule::Cp932);
    return decodeCp932Lenient(sjis);
}

QString decodeCp932Lenient(QByteArrayView bytes) {
    if (!hasHighBytes(bytes))
        return QString::fromLatin1(bytes);
    return iconvDecode(nameCp932(), bytes, false, SkipRule::Cp932).value_or(QString());
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
    if (auto u = iconvDecode(nameUtf8(), bytes, true, SkipRule::OneByte))
        return {GuessedCharset::Utf8, *u};
    // EUC-JP first matters: code page 932 accepts most EUC-JP bytes as half-width kana.
    auto euc = eucJpStrict(bytes);
    auto sjis = iconvDecode(nameCp932(), bytes, true, SkipRule::Cp932);
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
    return {GuessedCharset::Cp932Damaged, decodeCp932Lenient(bytes)};
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
            return iconvDecode(nameUtf8(), bytes, false, SkipRule::OneByte).value_or(QString());
        break;
    case GuessedCharset::EucJp:
        if (hasHighBytes(bytes))
            return iconvDecode(nameEucJp(), bytes, false, SkipRule::EucJp).value_or(QString());
        break;
    case GuessedCharset::Cp932:
    case GuessedCharset::Cp932Damaged:
        return decodeCp932Lenient(bytes);
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
        return iconvDecode(nameCp932(), bytes, true, SkipRule::Cp932);
    case Family::EucJp:
        return eucJpStrict(bytes);
    case Family::Utf8:
        return iconvDecode(nameUtf8(), bytes, true, SkipRule::OneByte);
    case Family::Other: {
        auto s = iconvDecode(r.iconvName, bytes, true, SkipRule::OneByte);
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
        lenient = iconvDecode(nameUtf8(), bytes, false, SkipRule::OneByte);
        break;
    case Family::EucJp:
        lenient = iconvDecode(nameEucJp(), bytes, false, SkipRule::EucJp);
        break;
    case Family::Cp932:
        lenient = decodeCp932Lenient(bytes);
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
