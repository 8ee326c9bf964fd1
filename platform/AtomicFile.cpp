#include "platform/AtomicFile.h"

#include "platform/PrivateFolder.h"

#include <fcntl.h>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <unistd.h>

namespace brindle {

namespace {

// What a file written at `path` is made with: the user's alone in a private folder, else what QFile
// gives a new file (0666 less the umask).
QFileDevice::Permissions creationPermissions(bool inPrivateFolder) {
    if (inPrivateFolder)
        return kPrivateFilePermissions;
    return QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup |
           QFileDevice::WriteGroup | QFileDevice::ReadOther | QFileDevice::WriteOther;
}

} // namespace

bool writeFileAtomically(const QString& path, const QByteArray& data,
                         std::optional<QFileDevice::Permissions> permissions) {
    if (!permissions && isPrivatePath(path))
        permissions = kPrivateFilePermissions;
    QSaveFile file(path);
    // Unbuffered, so that a short write (a full disk) shows in write()'s result. QSaveFile::commit()
    // alone does not notice a failed final flush and would put a truncated file in place.
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
        return false;
    if (permissions && !file.setPermissions(*permissions)) {
        file.cancelWriting();
        return false;
    }
    if (file.write(data) != data.size() || !file.flush() || file.error() != QFileDevice::NoError) {
        file.cancelWriting();
        return false;
    }
    return file.commit();
}

bool writeFileUnsynced(const QString& path, const QByteArray& data) {
    const QString temporary = path + QStringLiteral(".part");
    const bool inPrivateFolder = isPrivatePath(path);
    QFile file(temporary);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered,
                   creationPermissions(inPrivateFolder)))
        return false;
    // A part left over by a crash keeps the mode it was made with.
    if (inPrivateFolder && !file.setPermissions(kPrivateFilePermissions)) {
        file.close();
        QFile::remove(temporary);
        return false;
    }
    const bool written = file.write(data) == data.size() && file.error() == QFileDevice::NoError;
    // Writeback starts now, without waiting for it: by the time a FileSyncer asks, the data is mostly
    // on disk already, and one journal commit then covers every file written since the last.
    if (written)
        ::sync_file_range(file.handle(), 0, 0, SYNC_FILE_RANGE_WRITE);
    file.close();
    if (!written ||
        ::rename(QFile::encodeName(temporary).constData(), QFile::encodeName(path).constData()) != 0) {
        QFile::remove(temporary);
        return false;
    }
    return true;
}

bool syncFolder(const QString& folder) {
    const int fd = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool ok = ::fsync(fd) == 0;
    ::close(fd);
    return ok;
}

bool writeFileDurably(const QString& path, const QByteArray& data) {
    return writeFileAtomically(path, data) && syncFolder(QFileInfo(path).absolutePath());
}

bool appendFileSynced(const QString& path, const QByteArray& data) {
    const bool existed = QFileInfo::exists(path);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered,
                   creationPermissions(isPrivatePath(path))))
        return false;
    if (file.write(data) != data.size() || ::fsync(file.handle()) != 0)
        return false;
    file.close();
    return existed || syncFolder(QFileInfo(path).absolutePath());
}

FileSyncer::FileSyncer() : m_thread([this] { run(); }) {}

FileSyncer::~FileSyncer() {
    {
        std::lock_guard lock(m_mutex);
        m_stop = true;
    }
    m_wake.notify_one();
    m_thread.join();
}

void FileSyncer::add(const QString& path) {
    {
        std::lock_guard lock(m_mutex);
        m_queue.push_back(QFile::encodeName(path));
    }
    m_wake.notify_one();
}

bool FileSyncer::wait() {
    std::unique_lock lock(m_mutex);
    m_idle.wait(lock, [this] { return m_queue.empty() && !m_syncing; });
    return !std::exchange(m_failed, false);
}

void FileSyncer::run() {
    std::unique_lock lock(m_mutex);
    while (true) {
        m_wake.wait(lock, [this] { return m_stop || !m_queue.empty(); });
        if (m_queue.empty())
            return; // stopped, and nothing is left to sync
        const QByteArray path = std::move(m_queue.front());
        m_queue.pop_front();
        m_syncing = true;
        lock.unlock();
        const int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC);
        const bool ok = fd >= 0 && ::fsync(fd) == 0;
        if (fd >= 0)
            ::close(fd);
        lock.lock();
        m_syncing = false;
        m_failed = m_failed || !ok;
        if (m_queue.empty())
            m_idle.notify_all();
    }
}

} // namespace brindle
