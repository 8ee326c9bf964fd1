#pragma once
#include <optional>
#include <QByteArray>
#include <QFileDevice>
#include <QList>
#include <QPair>
#include <QString>

namespace brindle {

// INI ("profile") access with the behaviour the settings files rely on: section and key names
// compared without regard to case, values trimmed of surrounding blanks with one pair of enclosing
// quotes dropped, at most 255 bytes of a value seen, files in code page 932.

// Settings files are a few hundred bytes. A file beyond this size is not one of ours (or is damaged
// beyond use): it is not parsed, every key reads as absent, and writes to it fail so that it is never
// replaced by a rewrite of something we could not read.
inline constexpr qint64 kMaxProfileFileBytes = 4 * 1024 * 1024;

// Bytes of a stored value that a read sees (a 256-byte buffer with its terminating NUL).
inline constexpr int kProfileValueBytes = 255;

struct ProfileString {
    QString value; // the value read, or the caller's default when count is 0
    int count = 0; // bytes of the stored value seen (0 for missing or empty)
};

// valueBytes: bytes of the stored value seen; only a key no older version reads may take more than
// the usual kProfileValueBytes.
ProfileString getProfileString(const QString& section, const QString& key, const QString& defaultValue,
                               const QString& path, int valueBytes = kProfileValueBytes);

// The whole number at the start of the value; defaultValue when the key, file or folder is missing;
// 0 when the value does not start with a number.
int getProfileInt(const QString& section, const QString& key, int defaultValue, const QString& path);

// Creates the file and the section when missing, keeps every other key and line. The file is
// replaced atomically. Returns false when the file could not be written (the old file stays).
// A value with blanks around it, or enclosed in a pair of quotes, is written inside one more pair of
// quotes, so that the read gives every value back unchanged (line breaks become blanks).
// A section, key or value with a character code page 932 lacks is never written as "?": the write
// fails and the file stays as it was.
bool writeProfileString(const QString& section, const QString& key, const QString& value,
                        const QString& path);

// Several keys of one section in one atomic rewrite. With `permissions`, the file gets exactly those
// permissions before it becomes visible under its name (for files that hold secrets).
// The lines of a text file; CR LF, a lone CR and a lone LF each end a line, and a last line without
// an end counts too.
QList<QByteArray> splitLines(const QByteArray& data);

using ProfileEntries = QList<QPair<QString, QString>>;
bool writeProfileStrings(const QString& section, const ProfileEntries& entries, const QString& path,
                         std::optional<QFileDevice::Permissions> permissions = std::nullopt);

} // namespace brindle
