#pragma once
// What earlier checks judged, so that a message left on the server is not downloaded and judged
// again at every check. One file in the data folder, "verdicts.txt", UTF-8:
//   # comment lines
//   @<server>\t<account>\t<judgement>      a section: server and account percent-encoded,
//   <uidl>                                  the judgement digest in hex, then one UIDL a line
//   !<uidl>\t<rule>\t<keyword>\t<sender>\t<subject>
//                                           for each "keep", and a line per catch, its fields
//                                           sanitized and percent-encoded
// A catch line holds tabs, which no UIDL does: a reader that knows only "keep" lines passes over it.
// Catches serve dry runs only, which report them without fetching; a real check judges them again,
// since it needs the message for its copy anyway.
// A message is remembered only by a UIDL that the server gave to it alone, and only under the
// judgement it was judged by: another rule, keyword list, allow list or size limit is another
// judgement, and every message is judged again.
#include <optional>
#include <QByteArray>
#include <QByteArrayView>
#include <QHash>
#include <QSet>
#include <QString>
#include <QStringList>

namespace brindle {

// A file larger than this is not read (every message is judged again): a million UIDLs of the
// longest form (RFC 1939 7: 70 characters) with their line ends, which is the most messages a
// mailbox may hold (kPop3MaxMessages).
inline constexpr qint64 kVerdictFileMaxBytes = 72LL * 1024 * 1024;
// The sections kept for other servers and accounts: a user who switches between a few accounts
// keeps their memory; a file that has seen many is not allowed to grow with them.
inline constexpr int kVerdictMaxSections = 8;
// A remembered catch's texts are cut to this many characters: as many as brindle-check shows of a
// subject, which a sender may make kilobytes long.
inline constexpr qsizetype kVerdictTextMaxChars = 300;

// A message judged caught: what a dry run reports of it without fetching it.
struct RememberedCatch {
    QString ruleWord;
    QString keyword; // the keyword rule's deciding keyword, else empty
    QString sender;
    QString subject;
    bool operator==(const RememberedCatch&) const = default;
};

// "<data folder>/verdicts.txt".
QString verdictMemoryPath(const QString& dataFolder);

// What the verdicts of a check depend on: the rule (its ini.ini number), the keyword records in
// order, the allow list, the size limit's text, whether the learned judgement is on, and the version
// of the judging itself (raised when a change of the decoding or the rules can change a verdict).
// Hex SHA-256.
// What was learned is not part of it: a message kept under learning stays kept until it leaves the
// server, or the rule, the lists or the learning switch change. Otherwise every mark and every
// message learned would have the next check fetch the whole mailbox again; what is learned judges
// the new mail, and the preview (which reads every message) shows the rest under the store as it is.
QByteArray judgementDigest(int ruleNumber, const QStringList& keywords, const QStringList& allowList,
                           const QString& sizeLimit, bool learning = false);

// What one check knows of the verdicts for one server, account and judgement. It reads and writes
// no file: the check's store (CheckMemories) hands it the file's text and writes back what it makes.
class VerdictMemory {
public:
    VerdictMemory(QString server, QString account, QByteArray judgement);

    // Takes what the file's text (at most kVerdictFileMaxBytes; empty when there is no file) holds
    // for this server, account and judgement. A damaged text, or a section under another judgement,
    // remembers nothing.
    void load(QByteArrayView fileText);
    bool remembersKeep(const QString& uidl) const { return !uidl.isEmpty() && m_remembered.contains(uidl); }
    // The catch remembered for the UIDL, or nothing.
    std::optional<RememberedCatch> rememberedCatch(const QString& uidl) const;
    // A message of this check judged "keep", or remembered and still on the server.
    void keep(const QString& uidl);
    // A message of this check judged caught and left on the server (a dry run, or a failed
    // deletion), or remembered so and still there. Its texts are sanitized and cut here.
    void caught(const QString& uidl, const RememberedCatch& verdict);
    // False when this check found exactly what was remembered: the file need not be written.
    bool changed() const;
    // True when this check has nothing to remember (no keep, no catch).
    bool holdsNothing() const { return m_kept.isEmpty() && m_caught.isEmpty(); }
    // The file's new text: this server and account's section replaced by this check's keeps and
    // catches, so that messages no longer on the server are forgotten; the other sections stay
    // (at most kVerdictMaxSections in all).
    QByteArray mergedInto(QByteArrayView fileText) const;

    int rememberedCount() const { return int(m_remembered.size()); }
    int keptCount() const { return int(m_kept.size()); }

private:
    struct Section {
        QString server;
        QString account;
        QByteArray judgement;
        QStringList uidls;
        QList<std::pair<QString, RememberedCatch>> catches; // by UIDL, in the order of the check
    };
    static QList<Section> readSections(QByteArrayView all);

    QString m_server;
    QString m_account;
    QByteArray m_judgement;
    QSet<QString> m_remembered;
    QHash<QString, RememberedCatch> m_rememberedCatches;
    QList<std::pair<QString, RememberedCatch>> m_caught; // this check's, without repeats
    QHash<QString, RememberedCatch> m_caughtByUidl;
    bool m_sectionFound = false; // the file holds this server and account under this judgement
    QStringList m_kept;          // in the order of the check, without repeats
    QSet<QString> m_keptSet;
};

} // namespace brindle
