#pragma once
#include <optional>
#include <QByteArray>
#include <QFileDevice>
#include <QString>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

namespace brindle {

// Replaces the file at `path` with `data` so that, whatever happens, the path afterwards holds either
// the old content or the new content whole: the data goes to a new file beside it, is synced to disk,
// and is renamed over the old one. With `permissions`, the new file has exactly those before it takes
// the old one's place; otherwise it keeps the old file's permissions, except that in a private folder
// (PrivateFolder.h) it is the user's alone. False when anything failed, in which case the old file is
// untouched.
bool writeFileAtomically(const QString& path, const QByteArray& data,
                         std::optional<QFileDevice::Permissions> permissions = std::nullopt);

// As writeFileAtomically, and the folder entry of the new file is synced too, so that the file is on
// disk under its name when this returns (a power cut cannot undo the rename).
bool writeFileDurably(const QString& path, const QByteArray& data);

// The writers below make a new file in a private folder (PrivateFolder.h) the user's alone.

// Appends the data to the file (made when missing) and syncs it to disk. False when anything
// failed; a failed append may leave part of the data at the end of the file.
bool appendFileSynced(const QString& path, const QByteArray& data);

// As writeFileAtomically, but nothing is synced: the file is whole or absent after a crash of the
// program, and may be lost in a power cut until it is synced (FileSyncer) and so is its folder.
bool writeFileUnsynced(const QString& path, const QByteArray& data);

// Syncs a folder's entries to disk (a rename or removal inside it). False when it failed.
bool syncFolder(const QString& folder);

// Syncs files on a thread of its own as they are handed to it (each already written whole, as by
// writeFileUnsynced), so that wait() at the end waits for the last few only, not for them all.
class FileSyncer {
public:
    FileSyncer();
    ~FileSyncer(); // waits for what was handed over, then ends the thread
    FileSyncer(const FileSyncer&) = delete;
    FileSyncer& operator=(const FileSyncer&) = delete;

    void add(const QString& path);
    // Waits until every file handed over so far is on disk. False when any of them could not be
    // synced since the last wait.
    bool wait();

private:
    void run();

    std::mutex m_mutex;
    std::condition_variable m_wake; // a file handed over, or the end
    std::condition_variable m_idle; // the queue ran dry
    std::deque<QByteArray> m_queue; // encoded paths
    bool m_syncing = false;
    bool m_failed = false;
    bool m_stop = false;
    std::thread m_thread; // last: it starts once the rest stands
};

} // namespace brindle
