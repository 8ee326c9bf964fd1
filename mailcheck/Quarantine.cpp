#include "mailcheck/Quarantine.h"

#include "mailcheck/ServerText.h"
#include "platform/AppFolder.h"
#include "platform/AtomicFile.h"
#include "platform/PrivateFolder.h"
#include "platform/Profile.h"

#include <algorithm>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <QSaveFile>

namespace brindle {

namespace {

const QString kLogName = QStringLiteral("deleted.log");
const QString kOldLogName = QStringLiteral("deleted.log.1");
const QString kPendingName = QStringLiteral("pending-deletions.txt");
const QString kQuarantineName = QStringLiteral("quarantine");
const QString kPartialMark = QStringLiteral("partial");
// The pending file's first line, so that another file put in its place is never taken for it.
const QString kPendingMagic = QStringLiteral("brindle pending deletions 1");
constexpr int kRecordFields = 8; // the ninth, "partial", is optional

// The text without the blanks (Unicode space separators) at its ends, which the sanitizer trims.
QStringView withoutEndBlanks(QStringView text) {
    const auto blank = [](QChar c) { return c.category() == QChar::Separator_Space; };
    while (!text.isEmpty() && blank(text.front()))
        text = text.sliced(1);
    while (!text.isEmpty() && blank(text.back()))
        text.chop(1);
    return text;
}

// A field of a record, made fit for a terminal as the screen's text is: escape sequences, controls
// and bidirectional formatting taken out, tabs and line breaks as blanks (so the field stays one
// field of one line), cut to kDeletionFieldMaxChars. A value the sanitizer finds clean is kept as it
// is, its end blanks included, so that records read back as they were written before.
QString oneLine(const QString& text) {
    QString clean = sanitizeServerText(text, QString(), kDeletionFieldMaxChars);
    if (text.size() <= kDeletionFieldMaxChars && clean == withoutEndBlanks(text))
        return text;
    return clean;
}

// A UIDL is a word of printable ASCII (the session takes no other). One that a cleaning would change
// is written as none, never as another message's UIDL.
QString cleanUidl(const QString& uidl) {
    return oneLine(uidl) == uidl && !uidl.contains(u' ') ? uidl : QString();
}

// The file's lines, each at most kDeletionRecordMaxChars long (longer ones are dropped, and so is a
// last line without its line end), or nullopt when the file is missing, unreadable or larger than
// maxBytes. *dropped tells whether any line was dropped.
std::optional<QStringList> readRecordLines(const QString& path, qint64 maxBytes, bool* dropped = nullptr) {
    QFile file(path);
    if (!file.exists() || file.size() > maxBytes || !file.open(QIODevice::ReadOnly))
        return std::nullopt;
    QStringList lines;
    while (!file.atEnd()) {
        const QByteArray line = file.readLine(kDeletionRecordMaxChars * 4 + 2);
        if (!line.endsWith('\n')) {
            if (dropped)
                *dropped = true;
            // Too long (or the last line, cut by a crash mid-append): skip to the next line end.
            while (!file.atEnd() && !file.readLine(64 * 1024).endsWith('\n')) {
            }
            continue;
        }
        lines.append(QString::fromUtf8(line.chopped(line.endsWith("\r\n") ? 2 : 1)));
    }
    return lines;
}

QString dataPath(const QString& dataFolder, const QString& name) {
    return dataFolder + u'/' + name;
}

} // namespace

QuarantineLimits readQuarantineLimits() {
    QuarantineLimits limits;
    const QString ini = appPath(QStringLiteral(u"\\★MailData\\ini.ini"));
    const QString section = QStringLiteral("EXEINI");
    const int days = getProfileInt(section, QStringLiteral("QUARANTINE_DAYS"), kQuarantineDefaultDays, ini);
    const int megabytes =
        getProfileInt(section, QStringLiteral("QUARANTINE_MB"), kQuarantineDefaultMegabytes, ini);
    if (days > 0)
        limits.retentionDays = days;
    if (megabytes > 0)
        limits.capBytes = qint64(megabytes) * 1024 * 1024;
    return limits;
}

QString formatDeletionRecord(const DeletionRecord& r) {
    QStringList fields{r.when.toOffsetFromUtc(r.when.offsetFromUtc()).toString(Qt::ISODate),
                       oneLine(r.ruleWord),
                       oneLine(r.keyword),
                       oneLine(r.sender),
                       oneLine(r.subject),
                       QString::number(r.size),
                       cleanUidl(r.uidl),
                       oneLine(r.copyPath)};
    if (r.partialCopy)
        fields.append(kPartialMark);
    return fields.join(u'\t');
}

std::optional<DeletionRecord> parseDeletionRecord(QStringView line) {
    if (line.size() > kDeletionRecordMaxChars)
        return std::nullopt;
    const QList<QStringView> f = line.split(u'\t');
    if (f.size() != kRecordFields && !(f.size() == kRecordFields + 1 && f.last() == kPartialMark))
        return std::nullopt;
    DeletionRecord r;
    r.when = QDateTime::fromString(f[0].toString(), Qt::ISODate);
    bool sizeOk = false;
    r.size = f[5].toLongLong(&sizeOk);
    if (!r.when.isValid() || !sizeOk || r.size < -1 || f[6].size() > kUidlMaxChars)
        return std::nullopt;
    r.when = r.when.toLocalTime();
    r.ruleWord = f[1].toString();
    r.keyword = f[2].toString();
    r.sender = f[3].toString();
    r.subject = f[4].toString();
    r.uidl = f[6].toString();
    r.copyPath = f[7].toString();
    // A copy path always lies inside the quarantine: a damaged or edited log cannot point elsewhere.
    if (!r.copyPath.isEmpty() && (!r.copyPath.startsWith(kQuarantineName + u'/') ||
                                  r.copyPath.contains(u"..") || r.copyPath.contains(u'\\')))
        return std::nullopt;
    r.partialCopy = f.size() == kRecordFields + 1;
    return r;
}

QList<DeletionRecord> readDeletionLog(const QString& dataFolder) {
    QList<DeletionRecord> records;
    for (const QString& name : {kOldLogName, kLogName}) {
        // Each file is at most one rotation size plus the records of one check.
        for (const QString& line : readRecordLines(dataPath(dataFolder, name), 64 * kDeletionLogRotateBytes)
                                       .value_or(QStringList{})) {
            if (std::optional<DeletionRecord> r = parseDeletionRecord(line))
                records.append(*r);
        }
    }
    return records;
}

bool appendDeletionLog(const QString& dataFolder, const QList<DeletionRecord>& records) {
    if (records.isEmpty())
        return true;
    const QString log = dataPath(dataFolder, kLogName);
    if (QFileInfo(log).size() >= kDeletionLogRotateBytes) {
        const QString old = dataPath(dataFolder, kOldLogName);
        QFile::remove(old);
        if (!QFile::rename(log, old))
            return false;
        syncFolder(dataFolder);
    }
    QByteArray data;
    for (const DeletionRecord& r : records)
        data += formatDeletionRecord(r).toUtf8() + '\n';
    return appendFileSynced(log, data);
}

QString pendingDeletionsPath(const QString& dataFolder) {
    return dataPath(dataFolder, kPendingName);
}

std::optional<PendingDeletions> readPendingDeletions(const QString& dataFolder) {
    bool dropped = false;
    const std::optional<QStringList> lines =
        readRecordLines(pendingDeletionsPath(dataFolder), kPendingFileMaxBytes, &dropped);
    if (!lines || dropped || lines->size() < 3 || lines->at(0) != kPendingMagic ||
        !lines->at(1).startsWith(u"server\t") || !lines->at(2).startsWith(u"account\t"))
        return std::nullopt;
    PendingDeletions p;
    p.server = lines->at(1).mid(7);
    p.account = lines->at(2).mid(8);
    for (qsizetype i = 3; i < lines->size(); ++i) {
        std::optional<DeletionRecord> r = parseDeletionRecord(lines->at(i));
        if (!r || r->uidl.isEmpty())
            return std::nullopt; // written whole or not at all: any damage means it is not ours
        p.records.append(*r);
    }
    return p;
}

bool writePendingDeletions(const QString& dataFolder, const PendingDeletions& pending) {
    const QString path = pendingDeletionsPath(dataFolder);
    if (pending.records.isEmpty())
        return !QFile::exists(path) || (QFile::remove(path) && syncFolder(dataFolder));
    QByteArray data = kPendingMagic.toUtf8() + '\n';
    data += "server\t" + oneLine(pending.server).toUtf8() + '\n';
    data += "account\t" + oneLine(pending.account).toUtf8() + '\n';
    for (const DeletionRecord& r : pending.records)
        data += formatDeletionRecord(r).toUtf8() + '\n';
    return writeFileDurably(path, data);
}

QString fileSafeUidl(const QString& uidl) {
    if (uidl.isEmpty())
        return QStringLiteral("nouidl");
    QString safe = uidl.left(kUidlMaxChars);
    for (QChar& c : safe) {
        const char16_t u = c.unicode();
        const bool keep = (u >= u'a' && u <= u'z') || (u >= u'A' && u <= u'Z') || (u >= u'0' && u <= u'9') ||
                          u == u'.' || u == u'_' || u == u'-';
        if (!keep)
            c = u'_';
    }
    if (safe.startsWith(u'.'))
        safe[0] = u'_'; // never a hidden file, never ".."
    return safe;
}

Quarantine::Quarantine(QString dataFolder, QuarantineLimits limits)
    : m_dataFolder(std::move(dataFolder)), m_limits(limits) {}

QString Quarantine::folder() const {
    return dataPath(m_dataFolder, kQuarantineName);
}

QString Quarantine::absolutePath(const QString& copyPath) const {
    return dataPath(m_dataFolder, copyPath);
}

std::optional<QString> Quarantine::keep(const QByteArray& raw, int number, const QString& uidl,
                                        const QDateTime& when, bool synced) {
    if (m_dataFolder.isEmpty() || !QFileInfo(m_dataFolder).isDir())
        return std::nullopt;
    const QString day = when.toString(QStringLiteral("yyyy-MM-dd"));
    const QString dayFolder = kQuarantineName + u'/' + day;
    const bool madeFolder = !QFileInfo::exists(absolutePath(dayFolder));
    if (!makeFolderPath(absolutePath(dayFolder)))
        return std::nullopt;
    if (madeFolder) {
        if (synced && !(syncFolder(folder()) && syncFolder(m_dataFolder)))
            return std::nullopt;
        if (!synced) {
            m_unsyncedFolders.insert(folder());
            m_unsyncedFolders.insert(m_dataFolder);
        }
    }
    const QString stem =
        when.toString(QStringLiteral("HHmmss")) + u'-' + QString::number(number) + u'-' + fileSafeUidl(uidl);
    QString name = stem + QStringLiteral(".eml");
    for (int i = 2; QFileInfo::exists(absolutePath(dayFolder + u'/' + name)); ++i)
        name = stem + u'-' + QString::number(i) + QStringLiteral(".eml"); // the same message again
    const QString copyPath = dayFolder + u'/' + name;
    if (!(synced ? writeFileDurably(absolutePath(copyPath), raw)
                 : writeFileUnsynced(absolutePath(copyPath), raw)))
        return std::nullopt;
    if (!synced) {
        // Synced meanwhile, while the check goes on; syncCopies() waits for the last ones.
        if (!m_syncer)
            m_syncer = std::make_shared<FileSyncer>();
        m_syncer->add(absolutePath(copyPath));
        m_unsyncedFolders.insert(absolutePath(dayFolder));
    }
    return copyPath;
}

bool Quarantine::syncCopies() {
    // Only what this quarantine wrote is waited for, never the rest of the file system; a failure
    // keeps the folders, and nothing counts.
    if (m_syncer && !m_syncer->wait())
        return false;
    for (const QString& folder : std::as_const(m_unsyncedFolders)) {
        if (!syncFolder(folder))
            return false;
    }
    m_unsyncedFolders.clear();
    return true;
}

int Quarantine::prune(const QDateTime& now) {
    struct Copy {
        QString path;
        QDateTime time;
        qint64 size;
    };
    QList<Copy> copies;
    QDirIterator it(folder(), {QStringLiteral("*.eml")}, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QFileInfo info(it.next());
        copies.append({info.absoluteFilePath(), info.lastModified(), info.size()});
    }
    std::sort(copies.begin(), copies.end(), [](const Copy& a, const Copy& b) { return a.time < b.time; });
    qint64 total = 0;
    for (const Copy& c : copies)
        total += c.size;
    const QDateTime oldest = now.addDays(-m_limits.retentionDays);
    int removed = 0;
    for (const Copy& c : copies) {
        if (c.time >= oldest && total <= m_limits.capBytes)
            break; // the rest are newer and fit
        if (QFile::remove(c.path)) {
            total -= c.size;
            ++removed;
        }
    }
    // Date folders left empty go too.
    const QStringList days = QDir(folder()).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString& day : days)
        QDir(folder()).rmdir(day); // fails, harmlessly, while the folder still holds copies
    return removed;
}

bool exportMbox(const QStringList& copyFiles, const QString& mboxPath) {
    QSaveFile out(mboxPath);
    if (!out.open(QIODevice::WriteOnly))
        return false;
    for (const QString& path : copyFiles) {
        QFile in(path);
        if (!in.open(QIODevice::ReadOnly)) {
            out.cancelWriting();
            return false;
        }
        const QDateTime when = QFileInfo(in).lastModified().toUTC();
        QByteArray mbox = "From MAILER-DAEMON " +
                          QLocale::c().toString(when, QStringLiteral("ddd MMM d HH:mm:ss yyyy")).toLatin1() +
                          '\n';
        while (!in.atEnd()) {
            QByteArray line = in.readLine();
            if (line.endsWith("\r\n"))
                line.replace(line.size() - 2, 2, "\n");
            // mboxrd: a line that is "From " behind any number of '>' gets one '>' more.
            qsizetype i = 0;
            while (i < line.size() && line[i] == '>')
                ++i;
            if (line.mid(i).startsWith("From "))
                line.prepend('>');
            mbox += line;
        }
        if (!mbox.endsWith('\n'))
            mbox += '\n';
        mbox += '\n';
        if (out.write(mbox) != mbox.size()) {
            out.cancelWriting();
            return false;
        }
    }
    return out.commit();
}

} // namespace brindle
