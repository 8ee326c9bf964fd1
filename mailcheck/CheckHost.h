#pragma once
#include "mailcheck/MailError.h"
#include "mailcheck/Task.h"
#include "platform/MessageBox.h"
#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QSslCertificate>
#include <QString>

namespace brindle {

class MailCheckRun;
class RunningGuard;

// Something the run tells the user, as facts: the windows and brindle-check put it into words
// (ui/texts/CheckTexts.h) with its buttons, icon and caption.
struct CheckNotice {
    enum class Kind {
        Deleted,          // number, ruleWord: the server deleted a caught message
        PinnedOutOfDate,  // server, validFrom, validUntil: connected under a pinned certificate whose
                          // dates have passed
        NoConnection,     // error: the connection failed
        LoginFailed,      // error: the login failed (error.pipeliningGarbled: from the next check on,
                          // one command at a time)
        CopyFailed,       // number, path (the data folder; empty: the usual one): kept on the server
        LogNotWritten,    // the deletion log could not be written
        DeletionRefused,  // number, ruleWord, error: the server refused a DELE
        RepliesGarbled,   // the server garbled its replies: the check stopped
        DeletionsLost,    // count, error: the connection broke before the deletions took effect
        ConnectionLost,   // error: the connection broke after the login, with no deletion to lose
        NoMailer,         // new mail, and no mail program is set
        MailerFailed,     // path: the mail program's command line, which did not start
        SizeLimitMissing, // the size rule has no limit to delete by
    };
    Kind kind = Kind::Deleted;
    int number = 0; // the message
    int count = 0;  // the deletions lost
    QString ruleWord;
    QString server; // as the program remembers it: "host:port"
    QDateTime validFrom, validUntil;
    QString path;
    MailError error;
};

// A message that could not be judged (it could not be fetched or read): it stays, and counts as new.
struct UnjudgedMessage {
    int number = 0;
    MailError error; // the mail library's failure on it
};
// The reason of an unjudged message is one line among many: said in words, it is cut this short.
inline constexpr qsizetype kUnjudgedReasonMaxChars = 120;

// The narrow seam between the check run and the windows. The GUI implements it with its controls;
// brindle-check and the tests implement it with plain fields.
class CheckHost {
public:
    virtual ~CheckHost() = default;

    // The values the run reads from the main window and writes back while it judges. Some are shown
    // to the user; the others are working state the window keeps out of sight.
    enum class Field {
        MailerCommand, // the mail program's command line (read only)
        Keyword,       // the keyword being tried
        Subject,       // the current message's subject
        Sender,        // its sender's address
        Body,          // its body
        SizeLimit,     // the size rule's limit as the user typed it (read only)
        SizeProbePath, // the work file the size rule measures
        MeasuredSize,  // the size it measured
        DeletionCount, // messages deleted so far in this check
    };
    virtual QString text(Field f) const = 0;
    virtual void setText(Field f, const QString& value) = 0;
    // Selects [start, start + length) in the box, to show the text that decided.
    virtual void highlight(Field f, int start, int length) = 0;

    // The deletion rules the user picks from, one at a time, in the main window's frame of rules.
    enum class RuleSwitch { Keyword, Html, Size, NoHiragana };
    virtual bool ruleSelected(RuleSwitch s) const = 0;

    // The settings window's choices (reading them loads that window hidden in the GUI).
    virtual bool noticeBoardChosen() const = 0;    // new mail: show the notice board
    virtual bool mailerChosen() const = 0;         // new mail: start the mail program
    virtual bool autoCloseNoticeBoard() const = 0; // the notice board closes after a second
    virtual bool hangUpAfterCheck() const = 0;     // an empty mailbox: hang up after the check

    // IdPassForm's two boxes (loads the window hidden in the GUI).
    virtual void setAccountBoxes(const QString& id, const QString& password) = 0;

    // Effects.
    // Tells the user the notice (a message box in the windows) and returns the answer.
    virtual MsgResult tell(const CheckNotice& notice) = 0;
    virtual void showSetForm() = 0;
    // Shows the notice board with the count of new mail (not modal).
    virtual void showNoticeBoard(int newMail) = 0;
    virtual void unloadNoticeBoard() = 0;
    // Starts the mail program without waiting; false when it could not be started.
    virtual bool startMailer(const QString& commandLine) = 0;
    // Hangs up the dial-up connection.
    virtual void hangUp() = 0;
    // The run goes on after the given time (the notice board's second); meanwhile the program runs.
    virtual Task<void> pause(int milliseconds) { co_await afterMilliseconds(milliseconds); }
    // Announces a message the server deleted, by its rule word: a one-word box with an OK button
    // under the application's title, which the user closes. Hosts without a user may override it.
    virtual void announceDeletion(int number, const QString& ruleWord) {
        CheckNotice notice;
        notice.number = number;
        notice.ruleWord = ruleWord;
        tell(notice);
    }
    // True when nobody watches the run message by message (no boxes, no fields on screen): a
    // deletion may then be counted and announced a little later, while the next messages are
    // judged, so that the run need not wait for each DELE's answer. The order stays the same.
    virtual bool deletionsMayBeAnnouncedLate() const { return false; }
    // A question of trust, put before anything secret goes to the server: whether the password may
    // go to it in clear, or whether to trust a certificate that the system does not vouch for. True
    // means yes. A host nobody can answer says no (the default), and the check then ends unconnected.
    // The host words the question from its facts.
    struct TrustQuestion {
        enum class Kind { PlainLogin, Certificate, ChangedCertificate };
        Kind kind = Kind::PlainLogin;
        QString server;     // as the program remembers it: "host:port"
        QByteArray sha256;  // the certificate's, for the certificate questions
        bool byHand = true; // false: an interval check, which nobody may be watching
        QSslCertificate certificate; // the server's, for the certificate questions
        bool wrongName = false;      // Certificate: it was issued for other names than the server's
        QByteArray pinnedSha256;     // ChangedCertificate: the certificate trusted until now
    };
    virtual bool askTrust(const TrustQuestion& question) {
        Q_UNUSED(question);
        return false;
    }
    // What the run waits for from the user. The run awaits these; a host that answers at once keeps
    // them, and they call the plain ones above. The windows show each box from the event loop,
    // between the run's steps, and resume the run with the answer.
    virtual Task<MsgResult> showNotice(CheckNotice notice) { co_return tell(notice); }
    virtual Task<void> showDeletion(int number, QString ruleWord) {
        announceDeletion(number, ruleWord);
        co_return;
    }
    virtual Task<bool> putTrustQuestion(TrustQuestion question) { co_return askTrust(question); }
    // Once per check, at its end, when some messages could not be judged: their numbers and
    // failures, in number order. Hosts that list them otherwise ignore it.
    virtual void tellUnjudged(const QList<UnjudgedMessage>& messages) { Q_UNUSED(messages); }
    // The check is at message n of total (1-based), before judging it.
    virtual void progress(int n, int total) {
        Q_UNUSED(n);
        Q_UNUSED(total);
    }

    // The pass under way with this host, or nullptr: a second pass started meanwhile (from a box the
    // first one shows) is refused, and the host's owner stops the one under way through it.
    MailCheckRun* runningCheck() const { return m_running; }

private:
    friend class RunningGuard;
    MailCheckRun* m_running = nullptr;
};

} // namespace brindle
