#pragma once
#include "mailcheck/CheckHost.h"
#include "mailcheck/CheckWords.h"
#include "mailcheck/KeywordMatcher.h"
#include "mailcheck/MailLibrary.h"
#include "settings/SettingsStore.h"

#include <functional>
#include <optional>
#include <QString>
#include <QStringList>
#include <QStringView>
#include <vector>

namespace brindle {

// The work file the size rule writes and measures ("0.txt") in the probe folder.
QString sizeProbeFilePath(const QString& probeFolder);

// Where a rule found the text that decided, as a selection in one of the main window's boxes.
struct TextHit {
    CheckHost::Field field = CheckHost::Field::Body;
    int start = 0; // 0-based, in the box's own text
    int length = 0;
};

// What the keyword rule decided for one message.
struct KeywordVerdict {
    qsizetype record = -1; // the deciding record, -1 when the message stays
    QString keyword;       // its trimmed, folded text
    QString word;          // RuleWord
    TextHit hit;
    bool bodyFetched = false;
};

// The keyword rule's decision: the first record that occurs in any of the subject (trimmed), the
// address (trimmed) or the body decides; within one record the subject comes before the address and
// the address before the body. The body is asked for (fetchBody) only when some record before the
// subject's and address's best one takes part; fetchBody returns nothing when it could not be had,
// and the subject and address then decide alone. The body is searched as folded without being
// folded first: decodeMessage's body, already folded, is neither copied nor folded again.
KeywordVerdict judgeByKeywords(const KeywordMatcher& matcher, const QString& subjectBox,
                               const QString& addressBox,
                               const std::function<std::optional<QString>()>& fetchBody);

// The closing HTML tag, "</HTML>" before "</html>"; nothing for any other spelling.
struct HtmlVerdict {
    QString word;
    TextHit hit;
};
std::optional<HtmlVerdict> findHtmlClosingTag(QStringView body);

// The first table character that occurs in the body, as the place of its first occurrence; nothing
// when the body holds none of them.
std::optional<TextHit> findHiragana(QStringView body);

// The probe file's content: the header, CR LF, the body, CR LF, in code page 932.
QByteArray sizeProbeContent(QStringView header, QStringView body);
// Its length without writing it.
qint64 sizeProbeLength(QStringView header, QStringView body);
// Writes the probe file and measures it on disk; nothing when it could not be written or measured.
std::optional<qint64> writeSizeProbe(const QString& path, QStringView header, QStringView body);

// The most the size rule can measure for a message the server lists at `listed` bytes, when the mail
// library fills fields of at most fieldBuffer bytes. The rule measures the probe file and adds the
// attachments' bytes; the probe is the header field (at most fieldBuffer - 1 bytes in code page 932,
// NUL excluded), CR LF, the body and CR LF. The body is decoded from the text parts, and decoding
// shrinks text (transfer encodings, multi-byte charsets into code page 932); with the attachments
// as they stand, body and attachments stay within the listed size. So the measure is at most
// listed + fieldBuffer + 3. Were a charset ever to grow, a message kept by its listing is only a
// junk mail missed, never a wanted one deleted.
qint64 sizeMeasureBound(qint64 listed, int fieldBuffer);

// What the listed size alone settles of the size rule's verdict, before anything is fetched: Keep
// when the largest probe it allows (sizeMeasureBound) stays below the limit, else Undecided. The
// listing never catches: the measure is the probe (header and decoded text), which can be smaller
// than the listed size, and a caught message is fetched for its copy anyway.
enum class ListedSizeVerdict { Undecided, Keep };
ListedSizeVerdict sizeVerdictFromListing(qint64 listed, double limit, int fieldBuffer);

// The limit of the size rule from the text of its box: a positive number, or nothing when the text
// does not hold one (the first-run text, empty, 0, negative, letters).
std::optional<double> sizeLimitFrom(QStringView text);

// What a rule needs from the run that calls it.
class RuleContext {
public:
    virtual ~RuleContext() = default;
    virtual CheckHost& host() = 0;
    // The fields the status call gave for the message being judged.
    virtual const MailFields& fields() const = 0;
    // FetchBody: puts the body into the body box. False when the body could not be fetched.
    virtual Task<bool> fetchBody(int n) = 0;
    // The body text of the last successful fetchBody (the body box's text).
    virtual const QString& body() const = 0;
    // The size the server lists for the message, or negative.
    virtual Task<qint64> serverSize(int n) = 0;
    // Message n is junk by the rule word (and, for the keyword rule, the deciding keyword).
    virtual Task<void> deleteCaught(int n, QString word, QString keyword = {}) = 0;
    // The keyword list of this run (read once per run).
    virtual const KeywordMatcher& keywords() = 0;
    // The size rule's limit as the check started; nothing when it holds no usable number.
    virtual std::optional<double> sizeLimit() const = 0;
    // Tells the user, once per run, that the size rule has no usable limit.
    virtual Task<void> sizeLimitMissing() = 0;
    // The size rule's work file.
    virtual QString sizeProbePath() const = 0;
};

// One deletion rule.
class SpamRule {
public:
    virtual ~SpamRule() = default;
    // Judges message n; calls deleteCaught when the message is junk.
    virtual Task<void> judge(int n, RuleContext& context) = 0;
    // True when the rule starts from the header fields alone (the status call). The other rules
    // fetch the whole message, which brings the same fields, so the status call would only cost a
    // round trip.
    virtual bool judgesHeaderFirst() const { return false; }
    // The rule's number as ini.ini stores it under NUMBER6.
    virtual int storedNumber() const = 0;
};

class KeywordRule final : public SpamRule {
public:
    Task<void> judge(int n, RuleContext& context) override;
    int storedNumber() const override { return 1; }
    bool judgesHeaderFirst() const override { return true; }
};

class HtmlRule final : public SpamRule {
public:
    Task<void> judge(int n, RuleContext& context) override;
    int storedNumber() const override { return 6; }
};

class SizeRule final : public SpamRule {
public:
    Task<void> judge(int n, RuleContext& context) override;
    int storedNumber() const override { return 4; }
};

class NoHiraganaRule final : public SpamRule {
public:
    Task<void> judge(int n, RuleContext& context) override;
    int storedNumber() const override { return 5; }
};

// The rule of the stored choice; nullptr for none. The rules hold no state, so the pointers are to
// static objects.
SpamRule* ruleFor(DeletionRule rule);

} // namespace brindle
