#pragma once
#include "mailcheck/pop3/Pop3Trust.h"
#include "mailcheck/Quarantine.h"
#include "settings/SettingsStore.h"

#include <optional>
#include <QString>
#include <QStringList>

namespace brindle {

struct CheckOutcome;
class CheckHost;

// The settings the user can change in the main window, as they stood when the check started: the
// check judges every message by these, whatever is edited while it runs.
struct CheckSettings {
    DeletionRule rule = DeletionRule::None;
    QString sizeLimit;     // the size rule's limit as its box held it
    QString mailerCommand; // the mail program's command line
};

// The rule switches (the first selected of Option1, Option6, Option4, Option5), the size limit and
// the mail program's command line of the host.
CheckSettings checkSettingsFrom(const CheckHost& host);

// What one check works on, read by its caller (the windows or brindle-check) and handed over, so that
// the check itself never reads a file.
struct CheckInputs {
    StoredAccount account;  // the account to log in with
    QStringList keywords;   // the keyword list as ReadKeywords gives it
    QString probeFolder;    // folder of the size rule's work file ("添付フォルダ"); may be missing
    bool pipelining = true; // false once this server was found to garble pipelined replies
    QStringList allowList;  // normalized entries (readAllowList): senders no rule deletes
    // The data folder, where quarantine copies, the deletion log and pending deletions go. Empty:
    // there is nowhere to keep a copy, so nothing is deleted (a dry run still judges).
    QString dataFolder;
    QuarantineLimits quarantineLimits;
    // What earlier checks learnt of the server's TLS (tls.ini).
    Pop3Trust trust;
    // Empty: the check takes them from its host as it starts (MailCheckRun::run).
    std::optional<CheckSettings> settings;
};

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
