#pragma once
#include "mailcheck/pop3/Pop3Trust.h"
#include "mailcheck/Quarantine.h"
#include "settings/SettingsStore.h"

#include <functional>
#include <memory>
#include <optional>
#include <QDateTime>
#include <QSet>
#include <QString>
#include <QStringList>

namespace brindle {

struct CheckOutcome;
class CheckHost;
class CheckMemories;

// The settings the user can change in the main window, as they stood when the check started: the
// check judges every message by these, whatever is edited while it runs.
struct CheckSettings {
    DeletionRule rule = DeletionRule::None;
    QString sizeLimit;     // the size rule's limit as its box held it
    QString mailerCommand; // the mail program's command line
};

// The host's rule (the first selected of keyword, HTML, size, no hiragana), size limit and mail
// program's command line.
CheckSettings checkSettingsFrom(const CheckHost& host);

// What one check works on, read by its caller (the windows or brindle-check) and handed over, so that
// the check itself never reads a file.
struct CheckInputs {
    ServerSettings server;  // the server as the program values hold it (kestro.ini)
    StoredAccount account;  // the account to log in with
    QStringList keywords;   // the keyword list as ReadKeywords gives it
    QString probeFolder;    // folder of the size rule's work file (kProbeFolderPath); may be missing
    bool pipelining = true; // false once this server was found to garble pipelined replies
    QStringList allowList;  // normalized entries (readAllowList): senders no rule deletes
    // The data folder, where quarantine copies, the deletion log and pending deletions go. Empty:
    // there is nowhere to keep a copy, so nothing is deleted (a dry run still judges).
    QString dataFolder;
    QuarantineLimits quarantineLimits;
    // The check's wall clock: the moment its deletions are logged and copied under, and the age the
    // quarantine's retention counts from. Empty: the system clock.
    std::function<QDateTime()> clock;
    // Where the pending deletions and the verdicts of earlier checks are kept (used only with a data
    // folder). Empty: the files of dataFolder (checkMemoriesOf).
    std::shared_ptr<CheckMemories> memories;
    // What earlier checks learnt of the server's TLS (tls.ini).
    Pop3Trust trust;
    // Empty: the check takes them from its host as it starts (MailCheckRun::run).
    std::optional<CheckSettings> settings;
    // The learned judgement (LEARNING=1 in ini.ini): judge again what the selected rule keeps.
    struct Learning {
        bool enabled = false;
        QString storePath; // ★MailData/learned.sqlite (learn::LearnStore::defaultPath())
    } learning;
    // The user's marks from the mailbox preview, by UIDL. A message marked junk is deleted as caught
    // with the rule word RuleWord::MarkedJunk (copy, log, pending deletions, as any catch); one marked wanted
    // is deleted by no rule (as an allowed sender). Marks name UIDLs, never message numbers.
    struct Marks {
        QSet<QString> junk;
        QSet<QString> wanted;
    } marks;
    // Set: only the messages with these UIDLs are judged (and fetched); every other message is left
    // alone unread and counts as new mail. The preview's command that deletes uses this with the caught and
    // marked rows.
    std::optional<QSet<QString>> onlyUidls;
    // >= 0: a preview. Nothing is deleted and no box is shown; each message is read with TOP
    // previewLines (RETR where TOP is refused), judged by the allow list, the selected rule and the
    // learned judgement, and reported in CheckOutcome::messages. A preview never records "keep"
    // verdicts in the verdict memory (a partial text can mislead), but uses remembered verdicts
    // (reading the header alone) for speed.
    int previewLines = -1;
    // A check (not only a preview) reports every message it judged in CheckOutcome::messages, with
    // the learned judgement's weightiest tokens (brindle-check --explain).
    bool reportMessages = false;
};

// The inputs' memories: CheckInputs::memories when set, else the files of the data folder; none
// without a data folder.
std::shared_ptr<CheckMemories> checkMemoriesOf(const CheckInputs& inputs);

// The file, in the data folder, where the program remembers what it learnt about each server.
QString serverMemoryPath(); // "\\★MailData\\servers.ini"

// Reads the inputs of the next check: the account confirmed in the account window in this run when
// there is one, else the stored account read afresh (an edit of the file between checks is seen);
// the keyword file; the probe folder; what is remembered of the configured server.
CheckInputs readCheckInputs(const ProgramValues& values);
// The same, with the host's settings taken now (checkSettingsFrom).
CheckInputs readCheckInputs(const ProgramValues& values, const CheckHost& host);

// Keeps what a check learnt about its server for the checks to come (servers.ini, tls.ini). False when it
// could not be written (the next check then tries the same way again).
bool rememberOutcome(const ProgramValues& values, const CheckOutcome& outcome);

} // namespace brindle
