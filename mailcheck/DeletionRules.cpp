#include "mailcheck/DeletionRules.h"

#include "mailcheck/MailCheckRun.h"
#include "mailcheck/mime/MimeDecode.h"
#include "platform/AppFolder.h"
#include "platform/Cp932.h"
#include "platform/NumberText.h"

#include <algorithm>
#include <array>
#include <deque>
#include <QFile>
#include <QFileInfo>
#include <unordered_map>

namespace brindle {

using Field = CheckHost::Field;

QString sizeProbeFilePath() {
    return appPath(QStringLiteral(u"\\添付フォルダ\\0.txt"));
}

qsizetype leadingSpaceCount(QStringView text) {
    qsizetype i = 0;
    while (i < text.size() && text[i] == u' ') {
        ++i;
    }
    return i;
}

QString trimSpaces(QStringView text) {
    qsizetype begin = leadingSpaceCount(text);
    qsizetype end = text.size();
    while (end > begin && text[end - 1] == u' ') {
        --end;
    }
    return text.mid(begin, end - begin).toString();
}

// ---------------------------------------------------------------------------------------------
// KeywordMatcher

KeywordMatcher::KeywordMatcher(const QStringList& records) {
    m_keywords.reserve(records.size());
    for (const QString& record : records) {
        m_keywords.append(foldJapaneseVariants(trimSpaces(record)));
    }

    // The trie, with edges in a hash keyed by (state, unit) while it grows.
    std::unordered_map<quint64, int> edges;
    std::vector<int> best(1, -1);
    m_rootNext.assign(0x10000, 0);
    for (qsizetype r = 0; r < m_keywords.size(); ++r) {
        const QString& k = m_keywords.at(r);
        if (k.isEmpty()) {
            continue;
        }
        if (m_firstActive < 0) {
            m_firstActive = r;
        }
        int state = 0;
        for (QChar qc : k) {
            const char16_t c = qc.unicode();
            int next;
            if (state == 0) {
                next = m_rootNext[c];
                if (next == 0) {
                    next = static_cast<int>(best.size());
                    best.push_back(-1);
                    m_rootNext[c] = next;
                }
            } else {
                const quint64 key = (static_cast<quint64>(state) << 16) | c;
                auto it = edges.find(key);
                if (it == edges.end()) {
                    next = static_cast<int>(best.size());
                    best.push_back(-1);
                    edges.emplace(key, next);
                } else {
                    next = it->second;
                }
            }
            state = next;
        }
        // Records come in file order, so the first one to end here is the earliest.
        if (best[state] < 0) {
            best[state] = static_cast<int>(r);
        }
    }

    // Edges of the other states as sorted runs.
    struct Edge {
        int from;
        char16_t c;
        int to;
    };
    std::vector<Edge> flat;
    flat.reserve(edges.size());
    for (const auto& [key, to] : edges) {
        flat.push_back({static_cast<int>(key >> 16), static_cast<char16_t>(key & 0xFFFF), to});
    }
    std::sort(flat.begin(), flat.end(),
              [](const Edge& a, const Edge& b) { return a.from != b.from ? a.from < b.from : a.c < b.c; });
    m_nodes.assign(best.size(), Node{});
    m_edgeChars.resize(flat.size());
    m_edgeTargets.resize(flat.size());
    for (std::size_t i = 0; i < flat.size(); ++i) {
        m_edgeChars[i] = flat[i].c;
        m_edgeTargets[i] = flat[i].to;
        Node& n = m_nodes[flat[i].from];
        if (n.edgeEnd == n.edgeBegin) {
            n.edgeBegin = static_cast<quint32>(i);
        }
        n.edgeEnd = static_cast<quint32>(i + 1);
    }
    for (std::size_t s = 0; s < best.size(); ++s) {
        m_nodes[s].best = best[s];
    }

    // Failure links breadth first, so that a state's failure target is complete before the state.
    std::deque<int> queue;
    for (int c = 0; c < 0x10000; ++c) {
        if (const int t = m_rootNext[c]; t != 0) {
            m_nodes[t].fail = 0;
            queue.push_back(t);
        }
    }
    while (!queue.empty()) {
        const int u = queue.front();
        queue.pop_front();
        for (quint32 i = m_nodes[u].edgeBegin; i < m_nodes[u].edgeEnd; ++i) {
            const int v = m_edgeTargets[i];
            const int f = step(m_nodes[u].fail, m_edgeChars[i]);
            m_nodes[v].fail = f;
            const int inherited = m_nodes[f].best;
            if (inherited >= 0 && (m_nodes[v].best < 0 || inherited < m_nodes[v].best)) {
                m_nodes[v].best = inherited;
            }
            queue.push_back(v);
        }
    }
}

int KeywordMatcher::child(int state, char16_t c) const {
    const Node& n = m_nodes[state];
    const char16_t* const chars = m_edgeChars.data();
    // Most states have a handful of edges: a straight scan beats the branches of a binary search.
    if (n.edgeEnd - n.edgeBegin <= 8) {
        for (quint32 i = n.edgeBegin; i < n.edgeEnd; ++i) {
            if (chars[i] == c) {
                return m_edgeTargets[i];
            }
        }
        return -1;
    }
    const char16_t* const begin = chars + n.edgeBegin;
    const char16_t* const end = chars + n.edgeEnd;
    const char16_t* const it = std::lower_bound(begin, end, c);
    if (it == end || *it != c) {
        return -1;
    }
    return m_edgeTargets[static_cast<std::size_t>(it - chars)];
}

int KeywordMatcher::step(int state, char16_t c) const {
    for (;;) {
        if (state == 0) {
            return m_rootNext[c];
        }
        if (const int t = child(state, c); t >= 0) {
            return t;
        }
        state = m_nodes[state].fail;
    }
}

qsizetype KeywordMatcher::earliestRecordIn(QStringView foldedText, qsizetype before) const {
    if (m_firstActive < 0) {
        return -1;
    }
    int found = -1;
    int state = 0;
    for (QChar qc : foldedText) {
        state = step(state, qc.unicode());
        const int b = m_nodes[state].best;
        if (b >= 0 && (found < 0 || b < found)) {
            found = b;
            if (found == m_firstActive) {
                break; // nothing can come earlier
            }
        }
    }
    if (before >= 0 && found >= before) {
        return -1;
    }
    return found;
}

// ---------------------------------------------------------------------------------------------
// The rules' decisions

KeywordVerdict judgeByKeywords(const KeywordMatcher& matcher, const QString& subjectBox,
                               const QString& addressBox,
                               const std::function<std::optional<QString>()>& fetchBody) {
    KeywordVerdict v;
    if (matcher.firstActiveRecord() < 0) {
        return v;
    }
    const QString subject = foldJapaneseVariants(trimSpaces(subjectBox));
    const QString address = foldJapaneseVariants(trimSpaces(addressBox));
    const qsizetype s = matcher.earliestRecordIn(subject);
    const qsizetype a = matcher.earliestRecordIn(address);
    const qsizetype sa = (s < 0) ? a : (a < 0 ? s : std::min(s, a));

    // A record before the subject's and address's best one is tried against the body; only then is
    // the body needed.
    if (sa != matcher.firstActiveRecord()) {
        v.bodyFetched = true;
        if (const std::optional<QString> body = fetchBody()) {
            const QString folded = foldJapaneseVariants(*body);
            const qsizetype b = matcher.earliestRecordIn(folded, sa);
            if (b >= 0) {
                v.record = b;
                v.keyword = matcher.keyword(b);
                v.word = QString::fromUtf16(RuleWord::Body);
                v.hit = {Field::Text6, static_cast<int>(folded.indexOf(v.keyword)),
                         static_cast<int>(v.keyword.size())};
                return v;
            }
        }
    }
    if (sa < 0) {
        return v;
    }
    v.record = sa;
    v.keyword = matcher.keyword(sa);
    const bool inSubject = (s == sa);
    const QString& folded = inSubject ? subject : address;
    const QString& box = inSubject ? subjectBox : addressBox;
    v.word = QString::fromUtf16(inSubject ? RuleWord::Subject : RuleWord::Address);
    // The search ran on the trimmed text; the selection is in the box's own text.
    v.hit = {inSubject ? Field::Text4 : Field::Text5,
             static_cast<int>(leadingSpaceCount(box) + folded.indexOf(v.keyword)),
             static_cast<int>(v.keyword.size())};
    return v;
}

std::optional<HtmlVerdict> findHtmlClosingTag(QStringView body) {
    static constexpr char16_t upper[] = u"</HTML>";
    static constexpr char16_t lower[] = u"</html>";
    for (const auto& [tag, word] :
         {std::pair{upper, RuleWord::HtmlUpper}, std::pair{lower, RuleWord::HtmlLower}}) {
        const QStringView t(tag);
        const qsizetype at = body.indexOf(t);
        if (at >= 0) {
            return HtmlVerdict{QString::fromUtf16(word),
                               TextHit{Field::Text6, static_cast<int>(at), static_cast<int>(t.size())}};
        }
    }
    return std::nullopt;
}

std::optional<TextHit> findHiragana(QStringView body) {
    constexpr char16_t first = 0x3041; // ぁ
    constexpr char16_t last = 0x3096;
    constexpr qsizetype tableSize = std::size(kHiraganaTable) - 1;
    // Code point -> place in the table, -1 for hiragana outside it.
    static const std::array<int, last - first + 1> place = [] {
        std::array<int, last - first + 1> p{};
        p.fill(-1);
        for (qsizetype i = 0; i < tableSize; ++i) {
            p[kHiraganaTable[i] - first] = static_cast<int>(i);
        }
        return p;
    }();
    std::array<qsizetype, tableSize> firstAt{};
    firstAt.fill(-1);
    for (qsizetype i = 0; i < body.size(); ++i) {
        const char16_t c = body[i].unicode();
        if (c < first || c > last) {
            continue;
        }
        const int p = place[c - first];
        if (p < 0 || firstAt[p] >= 0) {
            continue;
        }
        firstAt[p] = i;
        if (p == 0) {
            break; // the first character of the table wins whatever follows
        }
    }
    for (qsizetype at : firstAt) {
        if (at >= 0) {
            return TextHit{Field::Text6, static_cast<int>(at), 1};
        }
    }
    return std::nullopt;
}

QByteArray sizeProbeContent(QStringView header, QStringView body) {
    QByteArray out = toCp932(header);
    out += "\r\n";
    out += toCp932(body);
    out += "\r\n";
    return out;
}

qint64 sizeProbeLength(QStringView header, QStringView body) {
    return cp932Length(header) + cp932Length(body) + 4;
}

std::optional<qint64> writeSizeProbe(const QString& path, QStringView header, QStringView body) {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        return std::nullopt;
    }
    const QByteArray content = sizeProbeContent(header, body);
    const bool written = file.write(content) == content.size();
    file.close();
    if (!written || file.error() != QFileDevice::NoError) {
        return std::nullopt;
    }
    const QFileInfo info(path);
    if (!info.exists()) {
        return std::nullopt;
    }
    return info.size();
}

std::optional<double> sizeLimitFrom(QStringView text) {
    const double limit = leadingNumber(text);
    if (!(limit > 0)) { // also refuses NaN
        return std::nullopt;
    }
    return limit;
}

// ---------------------------------------------------------------------------------------------
// The rules

void KeywordRule::judge(int n, RuleContext& context) {
    CheckHost& host = context.host();
    const QString subject = CutAtNul(context.fields().subject);
    const QString address = CutAtNul(context.fields().fromAddress);
    host.setText(Field::Text4, subject);
    host.setText(Field::Text5, address);
    const KeywordMatcher& matcher = context.keywords();
    const KeywordVerdict v = judgeByKeywords(matcher, subject, address, [&]() -> std::optional<QString> {
        if (context.fetchBody(n)) {
            return context.body();
        }
        return std::nullopt;
    });
    if (v.record < 0) {
        if (matcher.recordCount() > 0) {
            host.setText(Field::Text3, matcher.keyword(matcher.recordCount() - 1));
        }
        return;
    }
    host.setText(Field::Text3, v.keyword);
    host.highlight(v.hit.field, v.hit.start, v.hit.length);
    context.deleteCaught(n, v.word);
}

void HtmlRule::judge(int n, RuleContext& context) {
    if (!context.fetchBody(n)) {
        return;
    }
    if (const auto v = findHtmlClosingTag(context.body())) {
        context.host().highlight(v->hit.field, v->hit.start, v->hit.length);
        context.deleteCaught(n, v->word);
    }
}

void SizeRule::judge(int n, RuleContext& context) {
    CheckHost& host = context.host();
    const std::optional<double> limit = sizeLimitFrom(host.text(Field::Text10));
    if (!limit) {
        // Every message would reach a limit of 0: delete nothing rather than everything.
        context.sizeLimitMissing();
        return;
    }
    if (!context.fetchBody(n)) {
        return;
    }
    const QString header = CutAtNul(context.fields().header);
    const QString path = sizeProbeFilePath();
    host.setText(Field::Text12, path);
    // Without the work folder the same bytes are counted in memory.
    const std::optional<qint64> measured = writeSizeProbe(path, header, context.body());
    qint64 size = measured ? *measured : sizeProbeLength(header, context.body());
    // The decoded text leaves attachments out; the server's size counts them.
    size = std::max(size, context.serverSize(n));
    host.setText(Field::Text13, QString::number(size));
    if (static_cast<double>(size) >= *limit) {
        context.deleteCaught(n, QString::fromUtf16(RuleWord::Size));
    }
}

void NoHiraganaRule::judge(int n, RuleContext& context) {
    if (!context.fetchBody(n)) {
        return;
    }
    if (const auto hit = findHiragana(context.body())) {
        context.host().highlight(hit->field, hit->start, hit->length);
        return;
    }
    context.deleteCaught(n, QString::fromUtf16(RuleWord::Hiragana));
}

SpamRule* selectedRule(const CheckHost& host) {
    static KeywordRule keyword;
    static HtmlRule html;
    static SizeRule size;
    static NoHiraganaRule hiragana;
    using S = CheckHost::RuleSwitch;
    if (host.ruleSelected(S::Option1)) {
        return &keyword;
    }
    if (host.ruleSelected(S::Option6)) {
        return &html;
    }
    if (host.ruleSelected(S::Option4)) {
        return &size;
    }
    if (host.ruleSelected(S::Option5)) {
        return &hiragana;
    }
    return nullptr;
}

} // namespace brindle
