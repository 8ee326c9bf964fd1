#pragma once
#include <optional>
#include <QByteArray>
#include <QFileDevice>
#include <QString>
#include <QStringList>

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
// program, and may be lost in a power cut until syncFiles has been called for it and its folder.
bool writeFileUnsynced(const QString& path, const QByteArray& data);

// Syncs the files written unsynced, then the folders that hold their entries (and those of folders
// made for them): one wait for many writes. Only these files are waited for, never the rest of the
// file system, which may hold much unrelated unwritten data. False when any failed.
bool syncFiles(const QStringList& files, const QStringList& folders);

// Syncs a folder's entries to disk (a rename or removal inside it). False when it failed.
bool syncFolder(const QString& folder);

} // namespace brindle
