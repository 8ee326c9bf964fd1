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

QString sizeProbeFilePath(const QString& probeFolder) {
    return resolvePath(probeFolder, QStringLiteral(u"\\0.txt"));
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
            // The matcher reads the body as folded: no folded copy of a long text for every message.
            const qsizetype b = matcher.earliestRecordIn(*body, sa);
            if (b >= 0) {
                v.record = b;
                v.keyword = matcher.keyword(b);
                v.word = QString::fromUtf16(RuleWord::Body);
                // The span covers invisible characters inside the word, as the matcher read them.
                const TextSpan at = KeywordMatcher::locate(*body, v.keyword);
                v.hit = {Field::Body, static_cast<int>(at.start), static_cast<int>(at.length)};
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
    const TextSpan at = KeywordMatcher::locate(folded, v.keyword);
    v.hit = {inSubject ? Field::Subject : Field::Sender, static_cast<int>(leadingSpaceCount(box) + at.start),
             static_cast<int>(at.length)};
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
                               TextHit{Field::Body, static_cast<int>(at), static_cast<int>(t.size())}};
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
            return TextHit{Field::Body, static_cast<int>(at), 1};
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
    // Rewritten in place and cut to its new length afterwards: a file emptied and then written
    // again is flushed to disk on close by ext4 (its guard against empty files after a crash),
    // which costs milliseconds per message measured.
    if (!file.open(QIODevice::ReadWrite, QFile::ReadOwner | QFile::WriteOwner)) {
        return std::nullopt;
    }
    const QByteArray content = sizeProbeContent(header, body);
    const bool written = file.write(content) == content.size() && file.resize(content.size());
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

qint64 sizeMeasureBound(qint64 listed, int fieldBuffer) {
    return listed + fieldBuffer + 3;
}

ListedSizeVerdict sizeVerdictFromListing(qint64 listed, double limit, int fieldBuffer) {
    if (double(sizeMeasureBound(listed, fieldBuffer)) < limit)
        return ListedSizeVerdict::Keep;
    return ListedSizeVerdict::Undecided;
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

Task<void> KeywordRule::judge(int n, RuleContext& context) {
    CheckHost& host = context.host();
    const QString subject = CutAtNul(context.fields().subject);
    const QString address = CutAtNul(context.fields().fromAddress);
    host.setText(Field::Subject, subject);
    host.setText(Field::Sender, address);
    const KeywordMatcher& matcher = context.keywords();
    // The body is fetched (a wait for the server) only where the keywords before the subject's and
    // address's best one ask for it; the decision is then made with it.
    std::optional<QString> body;
    const bool wanted =
        judgeByKeywords(matcher, subject, address, [] { return std::optional<QString>(); }).bodyFetched;
    if (wanted) {
        const auto fetched = co_await context.fetchBody(n);
        if (fetched)
            body = context.body();
    }
    const KeywordVerdict v = judgeByKeywords(matcher, subject, address, [&] { return body; });
    if (v.record < 0) {
        if (matcher.recordCount() > 0) {
            host.setText(Field::Keyword, matcher.keyword(matcher.recordCount() - 1));
        }
        co_return;
    }
    host.setText(Field::Keyword, v.keyword);
    host.highlight(v.hit.field, v.hit.start, v.hit.length);
    co_await context.deleteCaught(n, v.word, v.keyword);
}

Task<void> HtmlRule::judge(int n, RuleContext& context) {
    const auto fetched = co_await context.fetchBody(n);
    if (!fetched) {
        co_return;
    }
    if (const auto v = findHtmlClosingTag(context.body())) {
        context.host().highlight(v->hit.field, v->hit.start, v->hit.length);
        co_await context.deleteCaught(n, v->word);
    }
}

Task<void> SizeRule::judge(int n, RuleContext& context) {
    CheckHost& host = context.host();
    const std::optional<double> limit = context.sizeLimit();
    if (!limit) {
        // Every message would reach a limit of 0: delete nothing rather than everything.
        co_await context.sizeLimitMissing();
        co_return;
    }
    const auto fetched = co_await context.fetchBody(n);
    if (!fetched) {
        co_return;
    }
    const QString header = CutAtNul(context.fields().header);
    const QString path = context.sizeProbePath();
    host.setText(Field::SizeProbePath, path);
    // Without the work folder the same bytes are counted in memory.
    const std::optional<qint64> measured = writeSizeProbe(path, header, context.body());
    // The probe holds the text a reader sees; the attachments, which it leaves out, count as they
    // stand in the message.
    const qint64 size =
        (measured ? *measured : sizeProbeLength(header, context.body())) + context.fields().leftOutBytes;
    host.setText(Field::MeasuredSize, QString::number(size));
    if (static_cast<double>(size) >= *limit) {
        co_await context.deleteCaught(n, QString::fromUtf16(RuleWord::Size));
    }
}

Task<void> NoHiraganaRule::judge(int n, RuleContext& context) {
    const auto fetched = co_await context.fetchBody(n);
    if (!fetched) {
        co_return;
    }
    if (const auto hit = findHiragana(context.body())) {
        context.host().highlight(hit->field, hit->start, hit->length);
        co_return;
    }
    co_await context.deleteCaught(n, QString::fromUtf16(RuleWord::Hiragana));
}

SpamRule* ruleFor(DeletionRule rule) {
    static KeywordRule keyword;
    static HtmlRule html;
    static SizeRule size;
    static NoHiraganaRule hiragana;
    switch (rule) {
    case DeletionRule::Keyword:
        return &keyword;
    case DeletionRule::Html:
        return &html;
    case DeletionRule::Size:
        return &size;
    case DeletionRule::NoHiragana:
        return &hiragana;
    case DeletionRule::None:
        break;
    }
    return nullptr;
}

} // namespace brindle
