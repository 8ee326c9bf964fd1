#include "platform/AppFolder.h"

#include "platform/PrivateFolder.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMutex>
#include <QMutexLocker>

namespace brindle {

namespace {

QMutex g_folderMutex;
QString g_folderOverride; // empty: not overridden

QString executableFolder() {
    if (QCoreApplication::instance())
        return QCoreApplication::applicationDirPath();
    // Without an application object (a tool or test before QCoreApplication exists) the kernel still
    // knows where the executable lies.
    const QFileInfo exe(QStringLiteral("/proc/self/exe"));
    const QString target = exe.canonicalFilePath();
    if (!target.isEmpty())
        return QFileInfo(target).absolutePath();
    return QDir::currentPath();
}

// The folder names of the application folder that a new user folder needs from the start.
const QString kDataFolderName = QStringLiteral(u"★MailData");
const QString kAttachmentFolderName = QStringLiteral(u"添付フォルダ");

QString withoutTrailingSeparator(QString folder) {
    while (folder.size() > 1 && (folder.endsWith(u'/') || folder.endsWith(u'\\')))
        folder.chop(1);
    return folder;
}

// The entry of `folder` whose name equals `name` without regard to case; `name` itself when there is
// none. An entry spelled exactly as asked wins over its case variants.
QString matchEntry(const QString& folder, const QString& name) {
    const QString dirPath = folder.isEmpty() ? QStringLiteral("/") : folder;
    if (QFileInfo::exists(dirPath + u'/' + name))
        return name;
    QDir dir(dirPath);
    if (!dir.exists())
        return name;
    // Sorted by name so that the choice among several case variants does not depend on the order in
    // which the file system lists them.
    const QStringList entries =
        dir.entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
    for (const QString& entry : entries) {
        if (entry.compare(name, Qt::CaseInsensitive) == 0)
            return entry;
    }
    return name;
}

} // namespace

QString applicationFolder() {
    {
        QMutexLocker lock(&g_folderMutex);
        if (!g_folderOverride.isEmpty())
            return g_folderOverride;
    }
    const QString own = withoutTrailingSeparator(executableFolder());
    return isPortableApplicationFolder(own) ? own : userApplicationFolder();
}

bool isPortableApplicationFolder(const QString& folder) {
    const QFileInfo own(folder);
    const QFileInfo data(folder + u'/' + kDataFolderName);
    return own.isDir() && own.isWritable() && data.isDir() && data.isWritable();
}

QString userApplicationFolder() {
    QString base = qEnvironmentVariable("XDG_DATA_HOME");
    if (base.isEmpty() || !QDir::isAbsolutePath(base))
        base = QDir::homePath() + QStringLiteral("/.local/share");
    return withoutTrailingSeparator(base) + QStringLiteral("/Brindle");
}

namespace {

// The user's own application folder is the one in use: neither a portable folder nor one given by
// setApplicationFolder.
bool isUserApplicationFolderInUse() {
    {
        QMutexLocker lock(&g_folderMutex);
        if (!g_folderOverride.isEmpty())
            return false;
    }
    return applicationFolder() == userApplicationFolder();
}

} // namespace

QString installedDataFolder() {
    const QString folder = QStringLiteral(BRINDLE_INSTALLED_DATA_DIR);
    return folder.isEmpty() || !isUserApplicationFolderInUse() ? QString() : folder;
}

namespace {

// The folders of the data that only the installation provides: the help.
const QStringList kInstalledOnly{QStringLiteral("help")};
// A file compared byte for byte with the installation's is read in pieces of this size, so that a
// large file (a piece of music) is never held whole.
constexpr qint64 kCompareChunk = 64 * 1024;

bool sameContent(const QString& a, const QString& b) {
    QFile fa(a);
    QFile fb(b);
    if (fa.size() != fb.size() || !fa.open(QIODevice::ReadOnly) || !fb.open(QIODevice::ReadOnly))
        return false;
    while (!fa.atEnd()) {
        const QByteArray pa = fa.read(kCompareChunk);
        if (pa.isEmpty() || pa != fb.read(kCompareChunk))
            return false;
    }
    return true;
}

} // namespace

QString dataFilePath(const QString& tail, const QString& installedFolder) {
    const QString user = appPath(tail);
    if (installedFolder.isEmpty())
        return user;
    const QString installed = resolvePath(installedFolder, tail);
    if (!QFileInfo(installed).isFile())
        return user;
    QString top = tail;
    top.replace(u'\\', u'/');
    top = top.section(u'/', 0, 0, QString::SectionSkipEmpty);
    if (kInstalledOnly.contains(top, Qt::CaseInsensitive) || !QFileInfo(user).isFile() ||
        sameContent(user, installed))
        return installed;
    return user;
}

bool prepareApplicationFolder() {
    bool ok = true;
    if (isUserApplicationFolderInUse()) {
        const QString folder = applicationFolder();
        ok = makeFolderPath(folder + u'/' + kDataFolderName) &&
             makeFolderPath(folder + u'/' + kAttachmentFolderName);
    }
    // Whatever made them wider (an older version, an unpacked archive), the folders are the user's
    // alone from here on. What cannot be narrowed is not the user's to change and does not keep the
    // program from starting.
    narrowPrivateFolders();
    return ok;
}

void setApplicationFolder(const QString& folder) {
    QMutexLocker lock(&g_folderMutex);
    g_folderOverride = folder.isEmpty() ? QString() : withoutTrailingSeparator(folder);
}

QString resolvePath(const QString& base, const QString& tail) {
    QString result = withoutTrailingSeparator(base);
    if (result == u"/")
        result.clear();
    bool onDisk = true; // false once a component does not exist: nothing below it can be matched
    QString normalised = tail;
    normalised.replace(u'\\', u'/');
    const QStringList parts = normalised.split(u'/', Qt::SkipEmptyParts);
    for (const QString& part : parts) {
        QString name = part;
        if (onDisk && part != u"." && part != u"..") {
            name = matchEntry(result, part);
            onDisk = QFileInfo::exists(result + u'/' + name);
        }
        result += u'/' + name;
    }
    if (result.isEmpty())
        result = QStringLiteral("/");
    return result;
}

QString appPath(const QString& tail) {
    return resolvePath(applicationFolder(), tail);
}

} // namespace brindle
