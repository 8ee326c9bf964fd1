#pragma once
#include "learn/Classifier.h"
#include "mailcheck/CheckHost.h"
#include "mailcheck/CheckInputs.h"
#include "mailcheck/MailLibrary.h"
#include "settings/SettingsStore.h"

#include <functional>
#include <optional>
#include <QList>
#include <QString>

namespace brindle {

// A message a rule caught.
struct CaughtMessage {
    int number = 0;
    QString ruleWord;
    QString subject;
    bool deleted = false; // the server accepted DELE and the deletion took effect (never in a dry run)
    QString keyword;      // the deciding keyword (keyword rule only)
    QString sender;       // the From address
    qint64 size = -1;     // as the server lists it
    QString uidl;         // empty when the server has none, or gave it to several messages
    QString copyPath;     // the quarantine copy, relative to the data folder; empty: none was made
    // Caught by an earlier check, whose QUIT was lost, and deleted again by this one by its UIDL: the
    // texts are that check's record of it.
    bool resumed = false;
    bool copyFailed = false;  // kept on the server because its quarantine copy could not be written
    double learnedScore = -1; // the learned judgement's indicator 0..1; -1 when it did not judge
};

// What one pass did, for callers that report it (brindle-check, the tests).
struct CheckOutcome {
    enum class Status {
        NotStarted,     // another check was running: this start was refused quietly
        NoServer,       // no POP3 server configured
        NoConnection,   // the connection failed, also when it was lost during the login
        AccountMissing, // ID or password empty: SetForm was shown
        LoginRefused,   // the server refused the login
        Done,           // the pass ran and its deletions took effect
        DeletionsLost,  // the connection was lost before the deletions took effect
    };
    Status status = Status::NotStarted;
    int mailCount = 0;        // messages at login (negative on a refused login)
    int deleted = 0;          // deletions the server accepted
    int newMailCount = 0;     // mailCount - deleted
    MailError failure;        // why, for NoConnection, LoginRefused, DeletionsLost
    int refusedDeletions = 0; // caught messages whose DELE the server refused
    // The server garbled its replies to pipelined commands: the pass stopped, and the checks to come
    // should go one command at a time (rememberOutcome keeps that).
    bool pipeliningGarbled = false;
    bool stopped = false; // requestStop() ended the pass early
    // Caught messages kept on the server because their quarantine copy could not be written.
    int copyFailures = 0;
    // Deletions left pending by an earlier check whose QUIT was lost, sent again by UIDL.
    int resumedDeletions = 0;
    // Messages not fetched at all: remembered as judged by an earlier check under the same rule and
    // lists ("keep"; in a dry run also "caught"), or decided by their listed size alone (the size
    // rule: kept, or in a dry run caught).
    int remembered = 0;
    int decidedByListedSize = 0;
    // In the order of their numbers; they are among the new mail.
    QList<UnjudgedMessage> unjudged;
    // The server's TLS as the check left it (CheckInputs::trust plus what it learnt: TLS seen, a
    // certificate pinned or the plain-text agreement given by the user); trustLearnt when it changed.
    Pop3Trust trust;
    bool trustLearnt = false;
    // The account the pass logged in with (CheckInputs::account), set once it was connected: the
    // windows keep it as the account of this run unless the user confirmed one.
    std::optional<StoredAccount> account;
    using Caught = CaughtMessage;
    // The resumed deletions first, then in the order of the pass (in a dry run, of the numbers).
    QList<Caught> caught;

    // One message as a preview (or brindle-check --explain) reports it. Its texts are sanitized.
    struct MessageReport {
        int number = 0;
        QString uidl;
        QString date;
        QString sender;
        QString subject;
        qint64 size = -1; // size as listed
        enum class Verdict { Keep, Caught, Allowed, MarkedWanted, Unjudged } verdict = Verdict::Keep;
        // For Caught: the rule word (the keyword rule's field words or one of the others, RuleWord).
        QString ruleWord;
        QString keyword;          // the deciding keyword (keyword rule)
        double learnedScore = -1; // the learned judgement's indicator 0..1; -1 when it did not judge
        // The tokens that weighed most in the learned judgement, strongest first (reportMessages).
        QList<learn::WeighedToken> reasons;
        QByteArray text; // a preview: the raw text it read (header and first previewLines lines,
                         // dot-unstuffed, CR LF), from which the windows learn a user's mark
    };
    QList<MessageReport> messages; // a preview: every message in number order; a check: empty
    int learnedJunk = 0,
        learnedWanted = 0; // what the store held (0 when learning is off or the store unusable)
    // Non-empty when learning was on but the store could not be used (damaged, locked, read-only,
    // full): the check ran with the selected rule alone; already sanitized text.
    QString learningProblem;
};

// The size of the field buffers the check hands the mail library (NUL included).
inline constexpr int kCheckFieldBufferBytes = 8192;

// The characters before the first NUL; the whole text when there is none.
QString CutAtNul(const QString& text);

// One pass over the mailbox. The windows, brindle-check and the tests each supply a CheckHost.
class MailCheckRun {
public:
    // Who asked for the pass. A pass started by hand tells the user why it could not connect; a pass
    // of the interval timer stays quiet then, as nobody is waiting for it.
    enum class StartKind { ByHand, Interval };

    MailCheckRun(CheckHost& host, MailLibrary& library, CheckInputs inputs);
    ~MailCheckRun();
    MailCheckRun(const MailCheckRun&) = delete;
    MailCheckRun& operator=(const MailCheckRun&) = delete;
    // The whole pass, to be awaited. A start while another pass is under way with the same host
    // (from a window, while the first one waits) is refused quietly and returns Status::NotStarted.
    // Used errors, in the outcome: Status::NoConnection with failure (any kind of the library's
    // connect and login but LoginRefused), Status::LoginRefused with failure (LoginRefused),
    // Status::DeletionsLost with failure (the kinds of NMailPop3Close); each unjudged message with its
    // failure; learningProblem. The host is told of them as CheckNotices as they happen.
    Task<CheckOutcome> run();
    // Starts the pass from the event loop's side: it runs up to its first wait, and finished is
    // called once with its outcome when it has ended (before start returns when it never waited).
    // finished may destroy this run. Destroying the run while it waits ends the pass where it is:
    // nothing of it is resumed.
    void start(std::function<void(const CheckOutcome&)> finished);
    // Ends the pass under way at its next step (the program is ending): no further connection,
    // login, fetch or deletion starts, while the connection is still closed properly, so that the
    // deletions already made and announced take effect. Also before run(): the pass then does nothing.
    void requestStop() { m_stopRequested = true; }
    bool stopRequested() const { return m_stopRequested; }
    // When true, every message is judged but nothing is deleted (brindle-check --dry-run).
    void setDryRun(bool dryRun) { m_dryRun = dryRun; }
    void setStartKind(StartKind kind) { m_startKind = kind; }

private:
    CheckHost& m_host;
    MailLibrary& m_library;
    CheckInputs m_inputs;
    bool m_stopRequested = false;
    bool m_dryRun = false;
    StartKind m_startKind = StartKind::ByHand;
    Task<CheckOutcome> m_task; // the pass start() runs
};

} // namespace brindle
