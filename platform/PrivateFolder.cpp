#include "platform/PrivateFolder.h"

#include "platform/AppFolder.h"

#include <algorithm>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <sys/stat.h>

namespace brindle {

namespace {

constexpr mode_t kPrivateFolderMode = S_IRWXU;
// The bits a private file or folder never has.
constexpr mode_t kOthersBits = S_IRWXG | S_IRWXO;

QString cleanAbsolute(const QString& path) {
    return QDir::cleanPath(QFileInfo(path).absoluteFilePath());
}

// Removes the group's and others' bits; symbolic links are not followed. False when it failed.
bool narrow(const QString& path) {
    const QByteArray name = QFile::encodeName(path);
    struct stat st {};
    if (::lstat(name.constData(), &st) != 0)
        return false;
    if (S_ISLNK(st.st_mode) || (st.st_mode & kOthersBits) == 0)
        return true;
    return ::chmod(name.constData(), st.st_mode & 07777 & ~kOthersBits) == 0;
}

// `path` (clean and absolute) is one of the folders or lies below one.
bool within(const QStringList& folders, const QString& path) {
    return std::any_of(folders.cbegin(), folders.cend(),
                       [&](const QString& f) { return path == f || path.startsWith(f + u'/'); });
}

} // namespace

QStringList privateFolders() {
    return {cleanAbsolute(appPath(QStringLiteral(u"\\★MailData"))),
            cleanAbsolute(appPath(QStringLiteral(u"\\添付フォルダ")))};
}

bool isPrivatePath(const QString& path) {
    return within(privateFolders(), cleanAbsolute(path));
}

bool makeFolderPath(const QString& folder) {
    const QString target = cleanAbsolute(folder);
    if (QFileInfo(target).isDir())
        return true;
    const QStringList privates = privateFolders();
    // Each missing component in turn, so that none is ever wider than it should be.
    QString path;
    for (const QString& part : target.split(u'/', Qt::SkipEmptyParts)) {
        path += u'/' + part;
        if (QFileInfo(path).isDir())
            continue;
        const mode_t mode = within(privates, path) ? kPrivateFolderMode : mode_t(0777);
        if (::mkdir(QFile::encodeName(path).constData(), mode) != 0 && !QFileInfo(path).isDir())
            return false;
    }
    return QFileInfo(target).isDir();
}

bool narrowPrivateFolders() {
    bool ok = true;
    for (const QString& folder : privateFolders()) {
        if (!QFileInfo(folder).isDir())
            continue;
        // The folder itself may be a link the user made to where the data is kept: that is narrowed.
        const QString real = QFileInfo(folder).canonicalFilePath();
        ok = narrow(real) && ok;
        QDirIterator it(real, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                        QDirIterator::Subdirectories);
        while (it.hasNext())
            ok = narrow(it.next()) && ok;
    }
    return ok;
}

} // namespace brindle
