#include "learn/Tokenizer.h"

#include <algorithm>
#include <string_view>
#include <vector>

#include "keywords/KeywordFile.h"
#include "mailcheck/mime/MimeDecode.h"

#include <QRegularExpression>
#include <QSet>

namespace brindle::learn {

namespace {

quint64 fnv1a(quint64 h, QStringView text) {
    for (QChar c : text) {
        h = (h ^ (c.unicode() & 0xFF)) * 1099511628211ull;
        h = (h ^ (c.unicode() >> 8)) * 1099511628211ull;
    }
    return h;
}

// Distinct tokens in the order met, up to the cap. A token is looked up by a hash of its text in a
// table of its own, so that one met again (most of a message's character pairs) costs no string;
// texts that share a hash are told apart by comparing them.
class Sink {
public:
    Sink() : m_slots(kInitialSlots, 0) {}
    bool full() const { return m_list.size() >= kMaxTokensPerMessage; }
    void add(const QString& token) { add(QStringView(), token); }
    // The token prefix + part.
    void add(QStringView prefix, QStringView part) {
        if (full())
            return;
        const quint64 h = fnv1a(fnv1a(14695981039346656037ull, prefix), part);
        std::size_t i = h & (m_slots.size() - 1);
        for (; m_slots[i] != 0; i = (i + 1) & (m_slots.size() - 1)) {
            const qsizetype at = m_slots[i] - 1;
            const QString& t = m_list[at];
            if (m_hashes[at] == h && t.size() == prefix.size() + part.size() &&
                QStringView(t).first(prefix.size()) == prefix && QStringView(t).sliced(prefix.size()) == part)
                return;
        }
        QString token;
        token.reserve(prefix.size() + part.size());
        token.append(prefix).append(part);
        m_list.append(std::move(token));
        m_hashes.push_back(h);
        m_slots[i] = qint32(m_list.size());
        if (std::size_t(m_list.size()) * 2 > m_slots.size())
            grow();
    }
    QStringList take() { return std::move(m_list); }

private:
    static constexpr std::size_t kInitialSlots = 1024; // a power of two, at most half full
    void grow() {
        std::vector<qint32> slots(m_slots.size() * 2, 0);
        for (qsizetype at = 0; at < m_list.size(); ++at) {
            std::size_t i = m_hashes[at] & (slots.size() - 1);
            while (slots[i] != 0)
                i = (i + 1) & (slots.size() - 1);
            slots[i] = qint32(at + 1);
        }
        m_slots = std::move(slots);
    }
    QStringList m_list;
    std::vector<quint64> m_hashes; // of m_list's tokens
    std::vector<qint32> m_slots;   // 1 + an index into m_list; 0: empty
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

QString normalised(QStringView text) {
    text = text.left(kMaxTextChars);
    // Most mail is ASCII, kana and common kanji only: NFKC leaves it as it is, and it has no
    // invisible characters, so the table lookups of both are skipped.
    if (std::all_of(text.begin(), text.end(), [](QChar c) { return isNfkcPlain(c.unicode()); }))
        return text.toString();
    return removeInvisibleCharacters(text.toString()).normalized(QString::NormalizationForm_KC);
}

void textTokens(QStringView raw, const QString& prefix, Sink& sink) {
    const QString text = normalised(raw);
    const QStringView view(text);
    const qsizetype n = text.size();
    // The code point at i, and how many UTF-16 units it takes.
    const auto at = [&](qsizetype i, qsizetype& units) -> char32_t {
        const QChar c = text[i];
        if (c.isHighSurrogate() && i + 1 < n && text[i + 1].isLowSurrogate()) {
            units = 2;
            return QChar::surrogateToUcs4(c, text[i + 1]);
        }
        units = 1;
        return c.unicode();
    };
    const auto emit = [&](QStringView part) { sink.add(prefix, part); };
    QString lower; // an ASCII word lower-cased, one buffer for all
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

// One header field of the decoded header block, its continuation lines joined.
QString headerField(const QString& header, QStringView name) {
    const QStringList lines = header.split(u'\n');
    QString value;
    bool in = false;
    for (QString line : lines) {
        if (line.endsWith(u'\r'))
            line.chop(1);
        if (in && (line.startsWith(u' ') || line.startsWith(u'\t'))) {
            value += u' ' + line.trimmed();
            continue;
        }
        if (in)
            value += u'\n';
        in = line.size() > name.size() && line.at(name.size()) == u':' &&
             QStringView(line).first(name.size()).compare(name, Qt::CaseInsensitive) == 0;
        if (in)
            value += line.mid(name.size() + 1).trimmed();
    }
    return value;
}

QString stripTags(const QString& html) {
    static const QRegularExpression tags(u"<(?:style|script)[^>]*>.*?</(?:style|script)>|<[^>]*>"_qs,
                                         QRegularExpression::CaseInsensitiveOption |
                                             QRegularExpression::DotMatchesEverythingOption);
    static const QRegularExpression entities(u"&(?:nbsp|amp|lt|gt|quot|#\\d+|#x[0-9a-f]+);"_qs,
                                             QRegularExpression::CaseInsensitiveOption);
    QString text = html;
    text.replace(tags, u" "_qs);
    text.replace(entities, u" "_qs);
    return text;
}

void linkTokens(const QString& body, Sink& sink) {
    static const QRegularExpression anchor(
        u"<a\\s[^>]*href\\s*=\\s*[\"']?\\s*https?://([^/\"'\\s>?#]+)[^>]*>(.*?)</a>"_qs,
        QRegularExpression::CaseInsensitiveOption | QRegularExpression::DotMatchesEverythingOption);
    static const QRegularExpression bare(u"https?://([^/\"'\\s<>?#]+)"_qs,
                                         QRegularExpression::CaseInsensitiveOption);
    static const QRegularExpression domain(u"(?:[a-z0-9-]+\\.)+[a-z]{2,}"_qs,
                                           QRegularExpression::CaseInsensitiveOption);
    qsizetype links = 0;
    auto addHost = [&](const QString& host) {
        sink.add(u"url:"_qs + siteOf(host));
        if (const QString tld = tldOf(host); !tld.isEmpty())
            sink.add(u"tld:link:"_qs + tld);
    };
    // The anchors' targets; what they show is only compared with them.
    QString rest;
    qsizetype restFrom = 0;
    for (auto it = anchor.globalMatch(body); it.hasNext() && links < kMaxLinks; ++links) {
        const QRegularExpressionMatch m = it.next();
        rest += QStringView(body).sliced(restFrom, m.capturedStart() - restFrom);
        restFrom = m.capturedEnd();
        const QString targetHost = cleanHost(m.captured(1));
        addHost(targetHost);
        const QString target = siteOf(targetHost);
        const QString shown = normalised(stripTags(m.captured(2)));
        if (const QRegularExpressionMatch d = domain.match(shown); d.hasMatch()) {
            if (siteOf(cleanHost(d.captured(0))) != target)
                sink.add(u"sig:link-mismatch"_qs);
        }
    }
    rest += QStringView(body).sliced(restFrom);
    for (auto it = bare.globalMatch(rest); it.hasNext() && links < kMaxLinks; ++links)
        addHost(cleanHost(it.next().captured(1)));
}

void senderTokens(const DecodedMessage& m, Sink& sink) {
    const QString address = cleanHost(m.head.fromAddress);
    const QString tld = tldOf(address);
    if (!tld.isEmpty())
        sink.add(u"tld:from:"_qs + tld);
    const QString from = headerField(m.head.header, u"From");
    const qsizetype lt = from.indexOf(u'<');
    if (lt > 0) {
        static const QRegularExpression domain(u"(?:[a-z0-9-]+\\.)+[a-z]{2,}"_qs,
                                               QRegularExpression::CaseInsensitiveOption);
        const QString name = normalised(QStringView(from).first(lt));
        if (const QRegularExpressionMatch d = domain.match(name); d.hasMatch()) {
            if (siteOf(cleanHost(d.captured(0))) != siteOf(address))
                sink.add(u"sig:name-domain"_qs);
        }
        textTokens(QStringView(from).first(lt), u"n:"_qs, sink);
    }
    // The address apart from the name: junk borrows a brand's name, seldom its domain.
    textTokens(m.head.fromAddress, u"f:"_qs, sink);
    if (address.contains(u'.'))
        sink.add(u"from:"_qs + siteOf(address));
}

void authTokens(const DecodedMessage& m, Sink& sink) {
    static const QRegularExpression outcome(u"\\b(spf|dkim|dmarc)\\s*=\\s*([a-z]{1,16})"_qs,
                                            QRegularExpression::CaseInsensitiveOption);
    const QString results = headerField(m.head.header, u"Authentication-Results");
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
    for (qsizetype i = 0; i < raw.size(); ++i) {
        const char c = lowered(raw[i]);
        if (c == 'c' && i >= charsetFrom && startsWith(raw, i, "charset")) {
            qsizetype j = skipWhile(raw, i + 7, isSpace);
            if (j < raw.size() && raw[j] == '=') {
                j = skipWhile(raw, j + 1, isSpace);
                if (j < raw.size() && raw[j] == '"')
                    ++j;
                qsizetype end = j;
                while (end < raw.size() && end - j < 40 && charsetChar(lowered(raw[end])))
                    ++end;
                if (end > j) {
                    sink.add(u"charset:"_qs + loweredText(raw, j, end));
                    charsetFrom = end;
                }
            }
        }
        if (c == 'c' && i >= typeFrom && (i == 0 || raw[i - 1] == '\n') &&
            startsWith(raw, i, "content-type:")) {
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

QString siteOf(QStringView host) {
    const QList<QStringView> labels = host.split(u'.', Qt::SkipEmptyParts);
    if (labels.size() <= 2)
        return host.toString();
    // Second-level names under a country (example.co.jp, example.com.cn) keep one label more.
    static const QSet<QString> second{u"co"_qs,  u"ne"_qs,  u"or"_qs,  u"ac"_qs, u"go"_qs,
                                      u"ed"_qs,  u"lg"_qs,  u"gr"_qs,  u"ad"_qs, u"com"_qs,
                                      u"net"_qs, u"org"_qs, u"gov"_qs, u"edu"_qs};
    const qsizetype keep =
        labels.at(labels.size() - 1).size() == 2 && second.contains(labels.at(labels.size() - 2).toString())
            ? 3
            : 2;
    QStringList kept;
    for (qsizetype i = labels.size() - keep; i < labels.size(); ++i)
        kept << labels.at(i).toString();
    return kept.join(u'.');
}

QStringList tokenize(QByteArrayView rawMessage) {
    return tokenize(decodeMessage(rawMessage), rawMessage);
}

QStringList tokenize(const DecodedMessage& m, QByteArrayView rawMessage) {
    Sink sink;
    // The signals and headers first: the cap cuts the body's tail, never them.
    shapeTokens(rawMessage, sink);
    authTokens(m, sink);
    senderTokens(m, sink);
    textTokens(m.head.subject, u"s:"_qs, sink);
    const QString body = m.body.left(kMaxTextChars);
    linkTokens(body, sink);
    textTokens(body.contains(u'<') ? stripTags(body) : body, QString(), sink);
    return sink.take();
}

} // namespace brindle::learn
