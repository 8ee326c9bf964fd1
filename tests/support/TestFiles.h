#pragma once
// Files and folders the tests stand on: byte-exact file access and a throw-away application folder.
#include "platform/AppFolder.h"

#include <memory>
#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <sys/stat.h>

namespace brindle::testing {

// The file's bytes; empty when it cannot be read.
inline QByteArray readFile(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// Replaces the file by these bytes; false when any of them could not be written.
[[nodiscard]] inline bool writeFile(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size();
}

// The permission bits as stored (root sees them as any user), a link not followed; -1: missing.
inline int modeOf(const QString& path) {
    struct stat st {};
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0 ? int(st.st_mode & 07777) : -1;
}

// The application folder for the fixture's life: temporary, with "★MailData" and "添付フォルダ".
class TempAppFolder {
public:
    TempAppFolder() {
        QDir root(m_dir.path());
        m_ok = m_dir.isValid() && root.mkdir(QStringLiteral(u"★MailData")) &&
               root.mkdir(QStringLiteral(u"添付フォルダ"));
        setApplicationFolder(m_dir.path());
    }
    ~TempAppFolder() { setApplicationFolder(QString()); }
    TempAppFolder(const TempAppFolder&) = delete;
    TempAppFolder& operator=(const TempAppFolder&) = delete;

    bool isValid() const { return m_ok; }
    QString path() const { return m_dir.path(); }
    // A path below the folder, '/'-separated: "★MailData/ini.ini".
    QString path(const QString& relative) const { return m_dir.path() + u'/' + relative; }
    QString dataFolder() const { return path(QStringLiteral(u"★MailData")); }
    QByteArray read(const QString& relative) const { return readFile(path(relative)); }
    [[nodiscard]] bool write(const QString& relative, const QByteArray& bytes) const {
        return writeFile(path(relative), bytes);
    }

private:
    QTemporaryDir m_dir;
    bool m_ok = false;
};

// A fresh one in place of the old, which goes first: it must not be the application folder then.
[[nodiscard]] inline bool renewFolder(std::unique_ptr<TempAppFolder>& folder) {
    folder.reset();
    folder = std::make_unique<TempAppFolder>();
    return folder->isValid();
}

} // namespace brindle::testing
