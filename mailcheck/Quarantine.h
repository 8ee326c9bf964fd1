#pragma once
// The way back from every deletion, all in the data folder:
//   quarantine/<YYYY-MM-DD>/<HHMMSS>-<n>-<UIDL>.eml  the raw text of each deleted message
//   deleted.log (and deleted.log.1)                  one line per deletion
//   pending-deletions.txt                            deletions sent, not yet known to have taken effect
// Nothing here knows POP3: the check run decides when each is written.
#include "platform/AtomicFile.h"

#include <memory>
#include <optional>
#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>

namespace brindle {

// A message larger than this (by the server's listed size) is kept as its header and first lines
// only: a copy of every deleted 100 MB attachment would fill the disk in a few checks.
inline constexpr qint64 kQuarantineWholeMaxBytes = 20LL * 1024 * 1024;
// How many body lines such a partial copy keeps after the header.
inline constexpr int kQuarantinePartialLines = 200;
// The deletion log is rotated to deleted.log.1 once it reaches this size.
inline constexpr qint64 kDeletionLogRotateBytes = 1024 * 1024;
// The longest UIDL taken into a file name or a record (RFC 1939 7: at most 70 characters). A longer
// one is no UIDL: such a message is handled as on a server without UIDL.
inline constexpr qsizetype kUidlMaxChars = 70;
// Log and pending lines are read back at most this long each; a longer line is damage and skipped.
inline constexpr qsizetype kDeletionRecordMaxChars = 16 * 1024;
// The pending file is at most one record per caught message of one check; past this it is not read.
inline constexpr qint64 kPendingFileMaxBytes = 16LL * 1024 * 1024;
// Each text field of a record is cut to this many characters (subjects can be kilobytes long).
inline constexpr qsizetype kDeletionFieldMaxChars = 1000;

// How long copies are kept, stored in ini.ini as QUARANTINE_DAYS and QUARANTINE_MB.
inline constexpr int kQuarantineDefaultDays = 30;
inline constexpr int kQuarantineDefaultMegabytes = 500;
struct QuarantineLimits {
    int retentionDays = kQuarantineDefaultDays;
    qint64 capBytes = qint64(kQuarantineDefaultMegabytes) * 1024 * 1024;
};
// The limits from ini.ini ("★MailData\\ini.ini", section EXEINI); missing, non-numeric or
// non-positive values give the defaults.
QuarantineLimits readQuarantineLimits();

// One deletion, as the log keeps it.
struct DeletionRecord {
    QDateTime when;   // local time of the judgement
    QString ruleWord; // one of RuleWord (CheckWords.h)
    QString keyword; // the deciding keyword; empty for the other rules
    QString sender;  // the From address
    QString subject;
    qint64 size = -1;         // the size the server listed
    QString uidl;             // empty when the server has none (or gave this one to several messages)
    QString copyPath;         // the quarantine copy, relative to the data folder, '/'-separated
    bool partialCopy = false; // the copy holds the header and first lines only
};

// One tab-separated line (no line end): time (ISO 8601, local with offset), rule word, keyword,
// sender, subject, size, UIDL, copy path, and "partial" when the copy is partial. Each text field
// goes through sanitizeServerText, so that `cat` or `tail -f` on the log shows it as the screen does:
// no escape sequences, controls or bidirectional formatting, tabs and line breaks as blanks, at most
// kDeletionFieldMaxChars characters. A field already clean is written unchanged; a UIDL that is not
// is written as none.
QString formatDeletionRecord(const DeletionRecord& record);
// nullopt for a line that is not such a record.
std::optional<DeletionRecord> parseDeletionRecord(QStringView line);

// The records of deleted.log.1 and deleted.log, oldest first; damaged lines are skipped.
QList<DeletionRecord> readDeletionLog(const QString& dataFolder);
// Appends the records and syncs the log to disk; rotates first when the log has reached
// kDeletionLogRotateBytes. False when the log could not be written.
bool appendDeletionLog(const QString& dataFolder, const QList<DeletionRecord>& records);

// Deletions sent during a check on one server and account, kept until the server's +OK to QUIT
// shows they took effect. Only messages with a UIDL are listed: a number names another message
// once the mailbox has changed.
struct PendingDeletions {
    QString server;
    QString account;
    QList<DeletionRecord> records;
};
QString pendingDeletionsPath(const QString& dataFolder);
// nullopt when there is no pending file or it is damaged (then it names nothing to delete).
std::optional<PendingDeletions> readPendingDeletions(const QString& dataFolder);
// Atomic and synced. An empty record list removes the file.
bool writePendingDeletions(const QString& dataFolder, const PendingDeletions& pending);

// The copies of deleted messages.
class Quarantine {
public:
    Quarantine(QString dataFolder, QuarantineLimits limits);

    // Writes the raw text (as RETR gives it, dot-unstuffed, CR LF) durably: the copy and its folder
    // entry are on disk before this returns. Returns the path relative to the data folder, or
    // nullopt when the copy could not be written.
    // With synced false nothing waits for the disk: syncCopies() must succeed before any of the
    // copies so written counts as kept.
    std::optional<QString> keep(const QByteArray& raw, int number, const QString& uidl, const QDateTime& when,
                                bool synced = true);
    // Puts every copy written unsynced on disk. False when it failed.
    bool syncCopies();
    // Removes copies older than the retention time, then the oldest copies until the rest fit the
    // cap, and date folders left empty. Returns how many copies were removed.
    int prune(const QDateTime& now);

    QString folder() const; // <data folder>/quarantine
    QString absolutePath(const QString& copyPath) const;

private:
    QString m_dataFolder;
    QuarantineLimits m_limits;
    // Written with synced false: the copies go to the syncer as they are written; the folders that
    // hold their entries are synced by syncCopies().
    std::shared_ptr<FileSyncer> m_syncer;
    QSet<QString> m_unsyncedFolders;
};

// The part of a UIDL that may go into a file name: letters, digits, '.', '_' and '-' kept, every
// other character written as '_'; "nouidl" for an empty one.
QString fileSafeUidl(const QString& uidl);

// Writes the messages to one mbox file (the "mboxrd" form: "From " separator lines, ">From " lines
// quoted once more), which mail programs import. False when a copy could not be read or the file
// not written; the file is then not left half written.
bool exportMbox(const QStringList& copyFiles, const QString& mboxPath);

} // namespace brindle
