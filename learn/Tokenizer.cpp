#include "learn/Tokenizer.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <functional>
#include <initializer_list>
#include <limits>
#include <optional>
#include <string_view>
#include <vector>

#include "keywords/KeywordFile.h"
#include "mailcheck/mime/MimeDecode.h"

#include <QHashFunctions>
#include <QRegularExpression>
#include <QSet>

#if defined(__GNUC__) && defined(__x86_64__)
#include <immintrin.h>
#elif defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace brindle::learn {

namespace {

// normalisedText's text into out, and true; false when that is the text itself (cut to its first
// kMaxTextChars characters), out left as it is.
bool normalise(QStringView text, QString& out);
// stripTags' text into out.
void stripTagsInto(QStringView html, QString& out);

// Where c is first in text at or after from, or -1: QStringView::indexOf without the call into the
// library, eight characters a step where there is SSE2. HTML has a tag every few characters, and the
// searches between them are short: the library's call cost more than its search.
inline qsizetype indexOfChar(QStringView text, char16_t c, qsizetype from) {
    const char16_t* d = text.utf16();
    const qsizetype n = text.size();
    qsizetype i = from;
#ifdef __SSE2__
    const __m128i needle = _mm_set1_epi16(short(c));
    for (; i + 8 <= n; i += 8) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(d + i));
        if (const unsigned m = unsigned(_mm_movemask_epi8(_mm_cmpeq_epi16(v, needle))))
            return i + std::countr_zero(m) / 2;
    }
#endif
    for (; i < n; ++i) {
        if (d[i] == c)
            return i;
    }
    return -1;
}

// A text buffer kept by this thread between messages, so that each message's copies of its body
// (the text without tags, the body without anchors) reuse one allocation. Taken for the time of one
// use (a use within it takes a fresh one) and given back unless it grew past kMaxKeptScratchChars.
constexpr qsizetype kMaxKeptScratchChars = 256 * 1024;
class Scratch {
public:
    Scratch() : m_text(std::move(kept())) { m_text.resize(0); }
    ~Scratch() {
        if (m_text.capacity() <= kMaxKeptScratchChars)
            kept() = std::move(m_text);
    }
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;
    QString& text() { return m_text; }

private:
    static QString& kept() {
        thread_local QString buffer;
        return buffer;
    }
    QString m_text;
};

constexpr quint64 kFnvBasis = 14695981039346656037ull;
// LearnStore::tokenHash's FNV-1a, continued from h over text.
quint64 fnv1a(quint64 h, QStringView text) {
    for (QChar c : text) {
        h = (h ^ (c.unicode() & 0xFF)) * 1099511628211ull;
        h = (h ^ (c.unicode() >> 8)) * 1099511628211ull;
    }
    return h;
}

// Distinct tokens in the order met, up to the cap, each hashed as it is made. A token is looked up
// by its hash in a table of its own, so that one met again (most of a message's character pairs)
// costs neither a string nor a copy; texts that share a hash are told apart by comparing them. The
// texts of the tokens kept go one after another into one buffer.
class Sink {
public:
    Sink() : m_slots(kInitialSlots, 0) {
        m_texts.reserve(kInitialChars);
        m_hashes.reserve(kInitialSlots / 2);
        m_ends.reserve(kInitialSlots / 2);
    }
    bool full() const { return qsizetype(m_hashes.size()) >= kMaxTokensPerMessage; }
    void add(QStringView token) { add(kFnvBasis, QStringView(), token); }
    // The token prefix + part, without making it first.
    void add(QStringView prefix, QStringView part) { add(fnv1a(kFnvBasis, prefix), prefix, part); }
    // The token prefix + part, prefixHash being fnv1a(kFnvBasis, prefix).
    void add(quint64 prefixHash, QStringView prefix, QStringView part) {
        if (full())
            return;
        const quint64 h = fnv1a(prefixHash, part);
        const qsizetype size = prefix.size() + part.size();
        const std::size_t mask = m_slots.size() - 1;
        std::size_t i = h & mask;
        for (; m_slots[i] != 0; i = (i + 1) & mask) {
            const std::size_t at = m_slots[i] - 1;
            if (m_hashes[at] != qint64(h))
                continue;
            const qsizetype from = at == 0 ? 0 : m_ends[at - 1];
            const QChar* t = m_texts.constData() + from;
            if (m_ends[at] - from == size && std::equal(prefix.begin(), prefix.end(), t) &&
                std::equal(part.begin(), part.end(), t + prefix.size()))
                return;
        }
        m_texts.append(prefix).append(part);
        m_hashes.push_back(qint64(h));
        m_ends.push_back(m_texts.size());
        m_slots[i] = qint32(m_hashes.size());
        if (m_hashes.size() * 2 > m_slots.size())
            grow();
    }
    TokenList take() { return TokenList(std::move(m_hashes), std::move(m_texts), std::move(m_ends)); }

private:
    static constexpr std::size_t kInitialSlots = 256; // a power of two, at most half full
    static constexpr qsizetype kInitialChars = 1024;
    void grow() {
        std::vector<qint32> slots(m_slots.size() * 2, 0);
        for (std::size_t at = 0; at < m_hashes.size(); ++at) {
            std::size_t i = quint64(m_hashes[at]) & (slots.size() - 1);
            while (slots[i] != 0)
                i = (i + 1) & (slots.size() - 1);
            slots[i] = qint32(at + 1);
        }
        m_slots = std::move(slots);
    }
    std::vector<qint64> m_hashes;  // of the tokens, in order
    QString m_texts;               // their texts, one after another
    std::vector<qsizetype> m_ends; // where each ends in m_texts
    std::vector<qint32> m_slots;   // 1 + an index into m_hashes; 0: empty
};

// What the tokens need to know of a character of the Basic Multilingual Plane, from one table built
// on first use (the Unicode lookups of QChar, made once per character instead of once per use).
enum CharClass : quint8 { kJapanese = 1, kLetterOrNumber = 2 };
quint8 slowClassOf(char32_t c) {
    bool japanese = false;
    if (c == 0x30FC || c == 0x3005) { // ー and 々 are of no script of their own
        japanese = true;
    } else if (c >= 0x2E80) { // below the CJK radicals: no kanji or kana
        switch (QChar::script(c)) {
        case QChar::Script_Han:
        case QChar::Script_Hiragana:
        case QChar::Script_Katakana:
            japanese = true;
            break;
        default:
            break;
        }
    }
    return (japanese ? kJapanese : 0) | (QChar::isLetterOrNumber(c) ? kLetterOrNumber : 0);
}
quint8 classOf(char32_t c) {
    static const std::vector<quint8> bmp = [] {
        std::vector<quint8> table(0x10000);
        for (char32_t u = 0; u < 0x10000; ++u)
            table[u] = slowClassOf(u);
        return table;
    }();
    return c < 0x10000 ? bmp[c] : slowClassOf(c);
}
bool isJapanese(char32_t c) {
    return isCommonJapanese(c) || (c >= 0x2E80 && (classOf(c) & kJapanese) != 0);
}
bool isLetterOrNumber(char32_t c) {
    return c < 0x80 ? QChar::isLetterOrNumber(c) : (classOf(c) & kLetterOrNumber) != 0;
}

// What NFKC makes of a character of the blocks Japanese mail takes its symbols and width forms from
// (punctuation to dingbats, CJK symbols and compatibility, full- and half-width forms), where that
// holds whatever stands beside it: the character decomposes into characters that are starters,
// compose with nothing before them and not with each other (NFKD equals NFKC), and none is removed
// as invisible. Such a character is mapped here without NFKC; a null string: not such a character.
class CompatMap {
public:
    CompatMap() : m_map(kSlots) {
        for (char32_t c = 0; c < 0x10000; ++c) {
            const qsizetype at = slot(char16_t(c));
            if (at < 0 || isInvisibleCharacter(c))
                continue;
            const QString alone{QChar(char16_t(c))};
            QString kc = alone.normalized(QString::NormalizationForm_KC);
            if (kc.isEmpty() || kc != alone.normalized(QString::NormalizationForm_KD))
                continue;
            // The starters that compose with one before them (Indic vowel signs, Hangul vowels and
            // final consonants) all lie between U+0900 and U+1CFF.
            if (std::all_of(kc.begin(), kc.end(), [](QChar k) {
                    return k.combiningClass() == 0 && !k.isSurrogate() &&
                           (k.unicode() < 0x900 || k.unicode() >= 0x1D00);
                }))
                m_map[at] = std::move(kc);
        }
    }
    // The character's NFKC, or nullptr when it is not mapped here.
    const QString* find(char16_t c) const {
        const qsizetype at = slot(c);
        return at < 0 || m_map[at].isNull() ? nullptr : &m_map[at];
    }

private:
    static constexpr qsizetype kSlots = 0x800 + 0x400 + 0xF0;
    static qsizetype slot(char16_t c) {
        if (c >= 0x2000 && c < 0x2800)
            return c - 0x2000;
        if (c >= 0x3000 && c < 0x3400)
            return 0x800 + (c - 0x3000);
        if (c >= 0xFF00 && c < 0xFFF0)
            return 0xC00 + (c - 0xFF00);
        return -1;
    }
    std::vector<QString> m_map;
};
const CompatMap& compatMap() {
    static const CompatMap map;
    return map;
}

// The tokens of one line of text: its runs of letters end at its end.
void lineTokens(QStringView view, const QString& prefix, quint64 prefixHash, Sink& sink, QString& lower) {
    const qsizetype n = view.size();
    // The code point at i, and how many UTF-16 units it takes.
    const auto at = [&](qsizetype i, qsizetype& units) -> char32_t {
        const QChar c = view[i];
        if (c.isHighSurrogate() && i + 1 < n && view[i + 1].isLowSurrogate()) {
            units = 2;
            return QChar::surrogateToUcs4(c, view[i + 1]);
        }
        units = 1;
        return c.unicode();
    };
    const auto emit = [&](QStringView part) { sink.add(prefixHash, prefix, part); };
    qsizetype i = 0;
    while (i < n && !sink.full()) {
        qsizetype units = 0;
        const char32_t c = at(i, units);
        if (isJapanese(c)) {
            // Character pairs over the run; a lone character stands for itself.
            qsizetype first = i, next = i + units;
            bool lone = true;
            while (next < n && !sink.full()) {
                qsizetype nextUnits = 0;
                if (!isJapanese(at(next, nextUnits)))
                    break;
                lone = false;
                emit(view.sliced(first, next + nextUnits - first));
                first = next;
                next += nextUnits;
            }
            if (lone)
                emit(view.sliced(i, units));
            i = next;
        } else if (isLetterOrNumber(c)) {
            qsizetype j = i + units;
            while (j < n) {
                qsizetype nextUnits = 0;
                const char32_t d = at(j, nextUnits);
                if (!isLetterOrNumber(d) || isJapanese(d))
                    break;
                j += nextUnits;
            }
            const QStringView run = view.sliced(i, j - i);
            if (run.size() <= kMaxWordLength &&
                std::all_of(run.begin(), run.end(), [](QChar c) { return c.unicode() < 0x80; })) {
                // An ASCII word, lower-cased straight into the token (the usual case).
                if (run.size() >= 2) {
                    lower.resize(run.size());
                    for (qsizetype k = 0; k < run.size(); ++k) {
                        const char16_t c = run[k].unicode();
                        lower[k] = c >= u'A' && c <= u'Z' ? QChar(c + 0x20) : QChar(c);
                    }
                    emit(lower);
                }
                i = j;
                continue;
            }
            const QString word = run.toString().toLower();
            if (word.size() > kMaxWordLength)
                sink.add(prefix + u"skip:"_qs + word.front() + QString::number(word.size() / 10 * 10));
            else if (word.size() >= 2)
                emit(word);
            i = j;
        } else {
            i += units;
        }
    }
}

// The lines of one text met so far, as views of it: an open-addressing table of their hashes, the
// views kept beside them to tell apart lines that share a hash.
class LineSet {
public:
    LineSet() : m_slots(kInitialSlots) {}
    // Whether line is new, noting it if so.
    bool insert(QStringView line) {
        const quint64 h = hashOf(line);
        std::size_t mask = m_slots.size() - 1;
        std::size_t i = h & mask;
        for (; m_slots[i].data != nullptr; i = (i + 1) & mask) {
            const Slot& s = m_slots[i];
            if (s.hash == h && s.size == line.size() && std::equal(line.begin(), line.end(), s.data))
                return false;
        }
        m_slots[i] = {h, line.data(), line.size()};
        if (++m_count * 2 > m_slots.size())
            grow();
        return true;
    }

private:
    struct Slot {
        quint64 hash = 0;
        const QChar* data = nullptr; // nullptr: empty
        qsizetype size = 0;
    };
    static constexpr std::size_t kInitialSlots = 16; // a power of two, at most half full
    // Qt's hash of strings, with the process's random seed: no text can be made to fill one chain of
    // the table.
    quint64 hashOf(QStringView line) const { return qHash(line, m_seed); }
    void grow() {
        std::vector<Slot> slots(m_slots.size() * 2);
        for (const Slot& s : m_slots) {
            if (s.data == nullptr)
                continue;
            std::size_t i = s.hash & (slots.size() - 1);
            while (slots[i].data != nullptr)
                i = (i + 1) & (slots.size() - 1);
            slots[i] = s;
        }
        m_slots = std::move(slots);
    }
    std::vector<Slot> m_slots;
    std::size_t m_count = 0;
    std::size_t m_seed = QHashSeed::globalSeed();
};

void textTokens(QStringView raw, const QString& prefix, Sink& sink) {
    raw = raw.left(kMaxTextChars);
    const quint64 prefixHash = fnv1a(kFnvBasis, prefix);
    QString lower, normalised; // buffers for all the lines
    // Mail repeats its lines (a newsletter's text and HTML, quoted replies, signatures): a line met
    // before in the text gives no token it did not give then, and is passed over unread. A line
    // end composes with nothing and NFKC makes none, so each line is normalised alone.
    std::optional<LineSet> lines; // none for a text of one line (a subject, a name, an address)
    for (qsizetype i = 0; i < raw.size() && !sink.full();) {
        qsizetype end = indexOfChar(raw, u'\n', i);
        if (end < 0)
            end = raw.size();
        const QStringView line = raw.sliced(i, end - i);
        const bool alone = i == 0 && end == raw.size();
        if (!alone && !lines)
            lines.emplace();
        if (alone || lines->insert(line))
            lineTokens(normalise(line, normalised) ? QStringView(normalised) : line, prefix, prefixHash, sink,
                       lower);
        i = end + 1;
    }
}

QString tldOf(QStringView host) {
    const qsizetype dot = host.lastIndexOf(u'.');
    return dot < 0 ? QString() : host.mid(dot + 1).toString();
}

// A host as written in a link or an address, lower-cased, without user, port or trailing dot, and
// of letters, digits, dots and hyphens only: tokens are shown to the user when a verdict is explained.
QString cleanHost(QStringView host) {
    QString h;
    for (QChar c : host.left(kMaxHostChars)) {
        if (c.isLetterOrNumber() || c == u'.' || c == u'-' || c == u'@' || c == u':')
            h += c.toLower();
    }
    if (const qsizetype at = h.lastIndexOf(u'@'); at >= 0)
        h = h.mid(at + 1);
    if (const qsizetype colon = h.indexOf(u':'); colon >= 0)
        h.truncate(colon);
    while (h.endsWith(u'.'))
        h.chop(1);
    return h;
}

// The header fields the tokens read, from one pass over the decoded header block: each field's
// value with its continuation lines joined, and the values of a field given more than once one
// line each.
struct HeaderFields {
    QString from;
    QString authenticationResults;
};
HeaderFields headerFields(QStringView header) {
    HeaderFields fields;
    const std::pair<QStringView, QString*> wanted[] = {
        {u"From", &fields.from}, {u"Authentication-Results", &fields.authenticationResults}};
    QString* in = nullptr; // the value the line before belongs to
    for (qsizetype at = 0; at <= header.size();) {
        qsizetype end = indexOfChar(header, u'\n', at);
        if (end < 0)
            end = header.size();
        QStringView line = header.sliced(at, end - at);
        at = end + 1;
        if (line.endsWith(u'\r'))
            line.chop(1);
        if (in != nullptr && (line.startsWith(u' ') || line.startsWith(u'\t'))) {
            in->append(u' ').append(line.trimmed());
            continue;
        }
        if (in != nullptr)
            in->append(u'\n');
        in = nullptr;
        for (const auto& [name, value] : wanted) {
            if (line.size() > name.size() && line[name.size()] == u':' &&
                line.first(name.size()).compare(name, Qt::CaseInsensitive) == 0) {
                in = value;
                in->append(line.sliced(name.size() + 1).trimmed());
                break;
            }
        }
    }
    return fields;
}

// Whether the text may show a domain: whether it holds a dot, or a character NFKC may make one.
bool mayShowDomain(QStringView text) {
    const CompatMap& map = compatMap();
    for (QChar q : text) {
        const char16_t c = q.unicode();
        if (isNfkcPlain(c)) {
            if (c == u'.')
                return true;
        } else if (const QString* mapped = map.find(c); mapped == nullptr || mapped->contains(u'.')) {
            return true;
        }
    }
    return false;
}

void linkTokens(const QString& body, Sink& sink) {
    // A newsletter links one host many times: its tokens are made once. And once the mismatch is
    // noted (or the tokens are full), the other anchors' texts need not be read.
    std::vector<QStringView> seen;
    bool mismatchNoted = false;
    forEachLink(body, [&](QStringView link, QStringView shown, bool anchor) {
        QString host;
        if (std::find(seen.begin(), seen.end(), link) == seen.end()) {
            seen.push_back(link);
            host = cleanHost(link);
            sink.add(u"url:", siteOf(host));
            if (const QString tld = tldOf(host); !tld.isEmpty())
                sink.add(u"tld:link:", tld);
        }
        // What an anchor shows is only compared with its target.
        if (anchor && !mismatchNoted && !sink.full() && mayShowDomain(shown)) {
            // Kept while its domain is read: a view of a temporary would dangle.
            const QString shownText = normalisedText(stripTags(shown));
            if (const QStringView d = firstDomain(shownText); !d.isEmpty()) {
                if (host.isNull())
                    host = cleanHost(link);
                if (siteOf(cleanHost(d)) != siteOf(host)) {
                    sink.add(u"sig:link-mismatch"_qs);
                    mismatchNoted = true;
                }
            }
        }
    });
}

void senderTokens(const DecodedMessage& m, const QString& from, Sink& sink) {
    const QString address = cleanHost(m.head.fromAddress);
    const QString tld = tldOf(address);
    if (!tld.isEmpty())
        sink.add(u"tld:from:", tld);
    const qsizetype lt = from.indexOf(u'<');
    if (lt > 0) {
        const QString name = normalisedText(QStringView(from).first(lt));
        if (const QStringView d = firstDomain(name); !d.isEmpty()) {
            if (siteOf(cleanHost(d)) != siteOf(address))
                sink.add(u"sig:name-domain"_qs);
        }
        textTokens(QStringView(from).first(lt), u"n:"_qs, sink);
    }
    // The address apart from the name: junk borrows a brand's name, seldom its domain.
    textTokens(m.head.fromAddress, u"f:"_qs, sink);
    if (address.contains(u'.'))
        sink.add(u"from:", siteOf(address));
}

void authTokens(const QString& results, Sink& sink) {
    if (results.isEmpty())
        return; // most mail: no Authentication-Results, nothing to match
    static const QRegularExpression outcome(u"\\b(spf|dkim|dmarc)\\s*=\\s*([a-z]{1,16})"_qs,
                                            QRegularExpression::CaseInsensitiveOption);
    for (auto it = outcome.globalMatch(results); it.hasNext();) {
        const QRegularExpressionMatch r = it.next();
        sink.add(u"auth:"_qs + r.captured(1).toLower() + u'=' + r.captured(2).toLower());
    }
}

char lowered(char c) {
    return c >= 'A' && c <= 'Z' ? char(c + 0x20) : c;
}
bool isSpace(char c) { // \s of a regular expression: ASCII white space
    return c == ' ' || (c >= '\t' && c <= '\r');
}
bool isLowerLetter(char c) {
    return c >= 'a' && c <= 'z';
}
bool isDigit(char c) {
    return c >= '0' && c <= '9';
}
// Whether raw at i starts with word (lower-case letters and signs), in any case.
bool startsWith(QByteArrayView raw, qsizetype i, std::string_view word) {
    if (raw.size() - i < qsizetype(word.size()))
        return false;
    for (std::size_t k = 0; k < word.size(); ++k) {
        if (lowered(raw[i + qsizetype(k)]) != word[k])
            return false;
    }
    return true;
}
qsizetype skipWhile(QByteArrayView raw, qsizetype i, bool (*in)(char)) {
    while (i < raw.size() && in(lowered(raw[i])))
        ++i;
    return i;
}
QString loweredText(QByteArrayView raw, qsizetype from, qsizetype to) {
    QString text(to - from, Qt::Uninitialized);
    for (qsizetype i = from; i < to; ++i)
        text[i - from] = QLatin1Char(lowered(raw[i]));
    return text;
}

// Where the next place a charset or a content type may start is in raw, at or after i, or
// raw.size(): a C followed by an H or first in its line (and any C in the last bytes). An
// attachment's bytes are passed over 32 or 16 at a time, without a branch per C.
#ifdef __SSE2__
// The candidates among the 16 bytes at i (1 <= i, i + 17 <= raw.size()), a bit each.
inline unsigned shapeStarts16(const char* d) {
    const auto at = [](const char* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); };
    const __m128i caseBit = _mm_set1_epi8(0x20);
    const __m128i cs = _mm_cmpeq_epi8(_mm_or_si128(at(d), caseBit), _mm_set1_epi8('c'));
    const __m128i hsAfter = _mm_cmpeq_epi8(_mm_or_si128(at(d + 1), caseBit), _mm_set1_epi8('h'));
    const __m128i lfsBefore = _mm_cmpeq_epi8(at(d - 1), _mm_set1_epi8('\n'));
    return unsigned(_mm_movemask_epi8(_mm_and_si128(cs, _mm_or_si128(hsAfter, lfsBefore))));
}
#endif
#if defined(__GNUC__) && defined(__x86_64__)
// The same for 32 bytes, with the AVX2 most processors since 2013 have.
__attribute__((target("avx2"))) qsizetype nextShapeStartAvx2(const char* d, qsizetype i, qsizetype size) {
    const __m256i caseBit = _mm256_set1_epi8(0x20), c = _mm256_set1_epi8('c'), h = _mm256_set1_epi8('h'),
                  lf = _mm256_set1_epi8('\n');
    for (; i + 33 <= size; i += 32) {
        const __m256i here = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(d + i));
        const __m256i after = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(d + i + 1));
        const __m256i before = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(d + i - 1));
        const __m256i cs = _mm256_cmpeq_epi8(_mm256_or_si256(here, caseBit), c);
        const __m256i hsAfter = _mm256_cmpeq_epi8(_mm256_or_si256(after, caseBit), h);
        const __m256i lfsBefore = _mm256_cmpeq_epi8(before, lf);
        if (const unsigned start =
                unsigned(_mm256_movemask_epi8(_mm256_and_si256(cs, _mm256_or_si256(hsAfter, lfsBefore)))))
            return i + std::countr_zero(start);
    }
    return i;
}
#endif
qsizetype nextShapeStart(QByteArrayView raw, qsizetype i) {
    const char* d = raw.data();
    if (i == 0 && !raw.isEmpty() && (d[0] | 0x20) == 'c')
        return 0;
    i = std::max<qsizetype>(i, 1);
#if defined(__GNUC__) && defined(__x86_64__)
    static const bool avx2 = __builtin_cpu_supports("avx2");
    if (avx2) {
        i = nextShapeStartAvx2(d, i, raw.size());
        if (i + 33 <= raw.size())
            return i;
    }
#endif
#ifdef __SSE2__
    for (; i + 17 <= raw.size(); i += 16) {
        if (const unsigned start = shapeStarts16(d + i))
            return i + std::countr_zero(start);
    }
#endif
    for (; i < raw.size(); ++i) {
        if ((d[i] | 0x20) == 'c')
            return i;
    }
    return i;
}

// The charsets declared and whether the message has no plain-text part, read from the raw bytes (the
// decoded message no longer tells), in any case: 'charset *= *"?([a-z0-9_.:-]{1,40})' anywhere, and
// '^content-type: *([a-z]+/[a-z0-9.+-]+)' at the start of a line, read left to right as a regular
// expression finds them, spaces being ASCII white space. Read by hand: one pass over the bytes
// instead of a lower-cased copy for the expressions.
void shapeTokens(QByteArrayView raw, Sink& sink) {
    raw = raw.first(std::min(raw.size(), kMaxRawScanBytes));
    const auto charsetChar = [](char c) {
        return isLowerLetter(c) || isDigit(c) || c == '_' || c == '.' || c == ':' || c == '-';
    };
    const auto subtypeChar = [](char c) {
        return isLowerLetter(c) || isDigit(c) || c == '.' || c == '+' || c == '-';
    };
    bool html = false, plain = false, typed = false;
    qsizetype charsetFrom = 0, typeFrom = 0; // where the next match of each may start
    for (qsizetype i = nextShapeStart(raw, 0); i < raw.size(); i = nextShapeStart(raw, i + 1)) {
        if (i >= charsetFrom && startsWith(raw, i, "charset")) {
            qsizetype j = skipWhile(raw, i + 7, isSpace);
            if (j < raw.size() && raw[j] == '=') {
                j = skipWhile(raw, j + 1, isSpace);
                if (j < raw.size() && raw[j] == '"')
                    ++j;
                qsizetype end = j;
                while (end < raw.size() && end - j < 40 && charsetChar(lowered(raw[end])))
                    ++end;
                if (end > j) {
                    sink.add(u"charset:", loweredText(raw, j, end));
                    charsetFrom = end;
                }
            }
        }
        if (i >= typeFrom && (i == 0 || raw[i - 1] == '\n') && startsWith(raw, i, "content-type:")) {
            const qsizetype type = skipWhile(raw, i + 13, isSpace);
            const qsizetype slash = skipWhile(raw, type, isLowerLetter);
            if (slash > type && slash < raw.size() && raw[slash] == '/') {
                qsizetype end = slash + 1;
                while (end < raw.size() && subtypeChar(lowered(raw[end])))
                    ++end;
                if (end > slash + 1) {
                    const QString t = loweredText(raw, type, end);
                    typed = true;
                    html = html || t == u"text/html";
                    plain = plain || t == u"text/plain";
                    typeFrom = end;
                }
            }
        }
    }
    if (typed && html && !plain)
        sink.add(u"sig:html-only"_qs);
}

} // namespace

namespace {

// A character as the regular expressions that read HTML before this scanner compared ASCII letters
// without regard to case: upper case lowered, and ſ (U+017F) and the Kelvin sign, which Unicode case
// folding makes an s and a k, read as those.
char16_t folded(QChar q) {
    const char16_t c = q.unicode();
    if (c >= u'A' && c <= u'Z')
        return c + 0x20;
    return c == 0x17F ? u's' : c == 0x212A ? u'k' : c;
}
// Whether text at i starts with word (lower case), in any case.
bool startsWithFolded(QStringView text, qsizetype i, std::u16string_view word) {
    if (text.size() - i < qsizetype(word.size()))
        return false;
    for (std::size_t k = 0; k < word.size(); ++k) {
        if (folded(text[i + qsizetype(k)]) != word[k])
            return false;
    }
    return true;
}
bool isSpace(QChar c) { // \s of a regular expression: ASCII white space
    return c == u' ' || (c >= u'\t' && c <= u'\r');
}
bool isAsciiDigit(char16_t c) {
    return c >= u'0' && c <= u'9';
}

// Where the first of words (lower case, in any case) starts at or after from, or -1. One that
// found none answers the later, further searches at once: a message of many unclosed elements
// is read once, not once per element.
class NextOf {
public:
    NextOf(QStringView text, std::initializer_list<std::u16string_view> words)
        : m_text(text), m_words(words) {}
    qsizetype from(qsizetype i) {
        if (i >= m_none)
            return -1;
        for (qsizetype at = indexOfChar(m_text, u'<', i); at >= 0; at = indexOfChar(m_text, u'<', at + 1)) {
            for (std::u16string_view w : m_words) {
                if (startsWithFolded(m_text, at, w))
                    return at;
            }
        }
        m_none = i;
        return -1;
    }

private:
    QStringView m_text;
    // A copy: the list handed to the constructor ends with the statement that made this object.
    std::vector<std::u16string_view> m_words;
    qsizetype m_none = std::numeric_limits<qsizetype>::max();
};

// The end of the character reference (&nbsp; &amp; &lt; &gt; &quot; &#NN; &#xHH;) at text[at] == '&',
// or -1.
qsizetype entityEnd(QStringView text, qsizetype at) {
    for (std::u16string_view name : {u"nbsp", u"amp", u"lt", u"gt", u"quot"}) {
        const qsizetype semi = at + 1 + qsizetype(name.size());
        if (startsWithFolded(text, at + 1, name) && semi < text.size() && text[semi] == u';')
            return semi + 1;
    }
    if (at + 2 >= text.size() || text[at + 1] != u'#')
        return -1;
    qsizetype j = at + 2;
    while (j < text.size() && isAsciiDigit(text[j].unicode()))
        ++j;
    if (j > at + 2)
        return j < text.size() && text[j] == u';' ? j + 1 : -1;
    if (folded(text[at + 2]) != u'x')
        return -1;
    for (j = at + 3; j < text.size(); ++j) {
        const char16_t c = folded(text[j]);
        if (!isAsciiDigit(c) && !(c >= u'a' && c <= u'f'))
            break;
    }
    return j > at + 3 && j < text.size() && text[j] == u';' ? j + 1 : -1;
}

// The host of 'https?://HOST' at text[at], HOST being the characters up to '/', a quote, white
// space, '>', '?', '#' (and '<' when stopAtLt), in any case; empty when there is none.
QStringView linkHostAt(QStringView text, qsizetype at, bool stopAtLt) {
    if (at >= text.size() || folded(text[at]) != u'h' || !startsWithFolded(text, at, u"http"))
        return {};
    qsizetype j = at + 4;
    if (j < text.size() && folded(text[j]) == u's')
        ++j;
    if (!startsWithFolded(text, j, u"://"))
        return {};
    j += 3;
    qsizetype end = j;
    while (end < text.size()) {
        const QChar c = text[end];
        if (c == u'/' || c == u'"' || c == u'\'' || isSpace(c) || c == u'>' || c == u'?' || c == u'#' ||
            (stopAtLt && c == u'<'))
            break;
        ++end;
    }
    return text.sliced(j, end - j);
}

// The target host of the anchor tag text[lt..gt]: the last 'href *= *["']? *https?://HOST' in it.
// The last place at or before h, and at or after low, of an H in any case (folded(c) == 'h' only for
// those two), or low - 1; eight characters a step where there is SSE2.
qsizetype lastHAtOrBefore(QStringView text, qsizetype h, qsizetype low) {
    const char16_t* d = text.utf16();
#ifdef __SSE2__
    const __m128i caseBit = _mm_set1_epi16(0x20), lowerH = _mm_set1_epi16(u'h');
    for (; h - 7 >= low; h -= 8) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(d + h - 7));
        if (const unsigned m = unsigned(_mm_movemask_epi8(_mm_cmpeq_epi16(_mm_or_si128(v, caseBit), lowerH))))
            return h - 7 + (31 - std::countl_zero(m)) / 2;
    }
#endif
    for (; h >= low; --h) {
        if ((d[h] | 0x20) == u'h')
            return h;
    }
    return low - 1;
}

QStringView anchorHost(QStringView text, qsizetype lt, qsizetype gt) {
    for (qsizetype h = lastHAtOrBefore(text, gt - 4, lt + 3); h >= lt + 3;
         h = lastHAtOrBefore(text, h - 1, lt + 3)) {
        if (!startsWithFolded(text, h, u"href"))
            continue;
        qsizetype j = h + 4;
        while (j < gt && isSpace(text[j]))
            ++j;
        if (j >= gt || text[j] != u'=')
            continue;
        ++j;
        while (j < gt && isSpace(text[j]))
            ++j;
        if (j < gt && (text[j] == u'"' || text[j] == u'\''))
            ++j;
        while (j < gt && isSpace(text[j]))
            ++j;
        if (const QStringView host = linkHostAt(text.first(gt), j, false); !host.isEmpty())
            return host;
    }
    return {};
}

} // namespace

// Text with tags, style and script elements and the character references above each made one space.
// A tag runs from '<' to the next '>'; an element opened by a tag whose name starts with "style" or
// "script" runs to the first "</style>" or "</script>" after that tag, or is a tag alone when none
// follows. References are read in the text between tags.
QString stripTags(QStringView html) {
    QString out;
    stripTagsInto(html, out);
    return out;
}

namespace {

void stripTagsInto(QStringView html, QString& out) {
    // Written in place: each tag, element and reference is at least one character, and becomes one,
    // so the text never grows.
    out.resize(html.size());
    char16_t* const start = reinterpret_cast<char16_t*>(out.data());
    char16_t* w = start;
    const auto copy = [&](qsizetype from, qsizetype to) {
        std::memcpy(w, html.utf16() + from, std::size_t(to - from) * sizeof(char16_t));
        w += to - from;
    };
    const auto appendText = [&](qsizetype from, qsizetype to) {
        const QStringView text = html.first(to);
        for (qsizetype amp = indexOfChar(text, u'&', from); amp >= 0; amp = indexOfChar(text, u'&', from)) {
            const qsizetype end = entityEnd(text, amp);
            if (end < 0) {
                copy(from, amp + 1);
                from = amp + 1;
                continue;
            }
            copy(from, amp);
            *w++ = u' ';
            from = end;
        }
        copy(from, to);
    };
    NextOf closing(html, {u"</style>", u"</script>"});
    qsizetype from = 0;
    for (qsizetype lt = indexOfChar(html, u'<', 0); lt >= 0; lt = indexOfChar(html, u'<', from)) {
        const qsizetype gt = indexOfChar(html, u'>', lt + 1);
        if (gt < 0)
            break; // no tag closes after here
        qsizetype end = gt + 1;
        if (startsWithFolded(html, lt + 1, u"style") || startsWithFolded(html, lt + 1, u"script")) {
            if (const qsizetype close = closing.from(gt + 1); close >= 0)
                end = close + (folded(html[close + 3]) == u't' ? 8 : 9);
        }
        appendText(from, lt);
        *w++ = u' ';
        from = end;
    }
    appendText(from, html.size());
    out.resize(w - start);
}

} // namespace

// The first domain-like run in text, as '(?:[a-z0-9-]+\.)+[a-z]{2,}' in any case finds it: labels
// each followed by a dot, as many as can be, then two or more letters.
QStringView firstDomain(QStringView text) {
    const auto letter = [](QChar q) {
        const char16_t c = folded(q);
        return c >= u'a' && c <= u'z';
    };
    const auto labelChar = [&](QChar q) { return letter(q) || isAsciiDigit(q.unicode()) || q == u'-'; };
    qsizetype i = 0;
    while (i < text.size()) {
        if (!labelChar(text[i])) {
            ++i;
            continue;
        }
        qsizetype j = i, end = -1;
        for (;;) {
            qsizetype run = j;
            while (run < text.size() && labelChar(text[run]))
                ++run;
            if (run == j || run >= text.size() || text[run] != u'.') {
                j = run;
                break;
            }
            qsizetype tail = run + 1;
            while (tail < text.size() && letter(text[tail]))
                ++tail;
            if (tail - (run + 1) >= 2)
                end = tail;
            j = run + 1;
        }
        if (end >= 0)
            return text.sliced(i, end - i);
        // A start later in the same chain of labels has the same labels after it, or fewer.
        i = std::max(j, i + 1);
    }
    return {};
}

void forEachLink(const QString& body, const std::function<void(QStringView, QStringView, bool)>& link) {
    // The anchors: '<a' and white space, a tag holding an http(s) href, the text up to the first
    // "</a>".
    const QStringView view(body);
    std::optional<NextOf> closing; // made at the first anchor
    qsizetype links = 0;
    Scratch restBuffer;
    QString& rest = restBuffer.text(); // the body without the anchors taken
    qsizetype restFrom = 0;
    for (qsizetype lt = indexOfChar(view, u'<', 0); lt >= 0 && links < kMaxLinks;
         lt = indexOfChar(view, u'<', lt + 1)) {
        if (lt + 2 >= view.size() || folded(view[lt + 1]) != u'a' || !isSpace(view[lt + 2]))
            continue;
        const qsizetype gt = indexOfChar(view, u'>', lt + 3);
        if (gt < 0)
            break;
        const QStringView host = anchorHost(view, lt, gt);
        if (host.isEmpty())
            continue;
        if (!closing)
            closing.emplace(view, std::initializer_list<std::u16string_view>{u"</a>"});
        const qsizetype close = closing->from(gt + 1);
        if (close < 0)
            continue;
        ++links;
        if (restFrom == 0)
            rest.reserve(body.size());
        rest += view.sliced(restFrom, lt - restFrom);
        restFrom = close + 4;
        link(host, view.sliced(gt + 1, close - gt - 1), true);
        lt = restFrom - 1;
    }
    QStringView text = view; // the body itself when no anchor was taken
    if (restFrom > 0) {
        rest += view.sliced(restFrom);
        text = rest;
    }
    // Bare links in the rest, from the left, none starting in the one before: each is found by the
    // colon of its "http://" or "https://", 4 or 5 characters after its start.
    qsizetype from = 0; // where the next may start
    for (qsizetype colon = indexOfChar(text, u':', 4); colon >= 0 && links < kMaxLinks;
         colon = indexOfChar(text, u':', std::max(colon + 1, from + 4))) {
        for (const qsizetype start : {colon - 5, colon - 4}) {
            if (start < from)
                continue;
            if (const QStringView host = linkHostAt(text, start, true); !host.isEmpty()) {
                link(host, {}, false);
                ++links;
                from = host.data() - text.data() + host.size();
                break;
            }
        }
    }
}

QString normalisedText(QStringView text) {
    QString out;
    return normalise(text, out) ? out : text.left(kMaxTextChars).toString();
}

namespace {

bool normalise(QStringView text, QString& out) {
    text = text.left(kMaxTextChars);
    // Most mail is ASCII, kana and common kanji only: NFKC leaves it as it is, and it has no
    // invisible characters, so the table lookups of both are skipped.
    qsizetype i = 0;
    while (i < text.size() && isNfkcPlain(text[i].unicode()))
        ++i;
    if (i == text.size())
        return false;
    // The rest character by character: plain characters as they are, the mapped ones from the map,
    // and each stretch of other characters, with the character before it (which a combining mark
    // composes with), through removeInvisibleCharacters and NFKC. A stretch ends before a plain or
    // mapped character: such a character neither composes with what precedes it nor lets a mark
    // move past it, so the pieces give what NFKC gives the whole.
    const CompatMap& map = compatMap();
    const auto fast = [&](char16_t c) { return isNfkcPlain(c) || map.find(c) != nullptr; };
    out.clear();
    out.reserve(text.size());
    out.append(text.first(i > 0 ? i - 1 : 0));
    i = i > 0 ? i - 1 : 0;
    while (i < text.size()) {
        // Plain characters a run at a time: all as they are, but for the last when a slow
        // character follows.
        qsizetype plainEnd = i;
        while (plainEnd < text.size() && isNfkcPlain(text[plainEnd].unicode()))
            ++plainEnd;
        if (plainEnd > i) {
            const qsizetype take =
                plainEnd < text.size() && !fast(text[plainEnd].unicode()) ? plainEnd - 1 : plainEnd;
            out.append(text.sliced(i, take - i));
            i = take;
            if (i == plainEnd)
                continue;
        }
        const char16_t c = text[i].unicode();
        const bool beforeSlow = i + 1 < text.size() && !fast(text[i + 1].unicode());
        if (!beforeSlow && isNfkcPlain(c)) {
            out.append(QChar(c));
            ++i;
            continue;
        }
        if (const QString* mapped = beforeSlow ? nullptr : map.find(c)) {
            out.append(*mapped);
            ++i;
            continue;
        }
        qsizetype end = i + 1;
        while (end < text.size() && !fast(text[end].unicode()))
            ++end;
        out.append(removeInvisibleCharacters(text.sliced(i, end - i).toString())
                       .normalized(QString::NormalizationForm_KC));
        i = end;
    }
    return true;
}

} // namespace

QString siteOf(QStringView host) {
    // The last three labels (the pieces between dots, empty ones passed over), last first.
    QStringView labels[3];
    int count = 0;
    for (qsizetype end = host.size(); end > 0 && count < 3;) {
        const qsizetype dot = host.first(end).lastIndexOf(u'.');
        if (end - dot - 1 > 0)
            labels[count++] = host.sliced(dot + 1, end - dot - 1);
        end = dot < 0 ? 0 : dot;
    }
    if (count <= 2)
        return host.toString();
    // Second-level names under a country (example.co.jp, example.com.cn) keep one label more.
    static constexpr std::u16string_view second[] = {u"co", u"ne", u"or",  u"ac",  u"go",  u"ed",  u"lg",
                                                     u"gr", u"ad", u"com", u"net", u"org", u"gov", u"edu"};
    const std::u16string_view secondLabel(labels[1].utf16(), std::size_t(labels[1].size()));
    const int keep = labels[0].size() == 2 &&
                             std::find(std::begin(second), std::end(second), secondLabel) != std::end(second)
                         ? 3
                         : 2;
    QString site;
    site.reserve(labels[0].size() + labels[1].size() + labels[2].size() + 2);
    for (int i = keep - 1; i >= 0; --i) {
        site.append(labels[i]);
        if (i > 0)
            site.append(u'.');
    }
    return site;
}

QString TokenList::text(qsizetype i) const {
    const qsizetype from = i == 0 ? 0 : m_ends[i - 1];
    return m_texts.sliced(from, m_ends[i] - from);
}

QStringList TokenList::texts() const {
    QStringList list;
    list.reserve(size());
    for (qsizetype i = 0; i < size(); ++i)
        list << text(i);
    return list;
}

QStringList tokenize(QByteArrayView rawMessage) {
    return tokenList(rawMessage).texts();
}

QStringList tokenize(const DecodedMessage& m, QByteArrayView rawMessage) {
    return tokenList(m, rawMessage).texts();
}

TokenList tokenList(QByteArrayView rawMessage) {
    return tokenList(decodeMessage(rawMessage), rawMessage);
}

TokenList tokenList(const DecodedMessage& m, QByteArrayView rawMessage) {
    Sink sink;
    // The signals and headers first: the cap cuts the body's tail, never them.
    shapeTokens(rawMessage, sink);
    const HeaderFields fields = headerFields(m.head.header);
    authTokens(fields.authenticationResults, sink);
    senderTokens(m, fields.from, sink);
    textTokens(m.head.subject, u"s:"_qs, sink);
    const QString body = m.body.left(kMaxTextChars);
    linkTokens(body, sink);
    if (indexOfChar(body, u'<', 0) >= 0) {
        Scratch stripped;
        stripTagsInto(body, stripped.text());
        textTokens(stripped.text(), QString(), sink);
    } else {
        textTokens(body, QString(), sink);
    }
    return sink.take();
}

} // namespace brindle::learn
