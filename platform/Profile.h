#pragma once
#include <QString>

namespace brindle {

// INI ("profile") access with the behaviour the settings files rely on: section and key names
// compared without regard to case, values trimmed of surrounding blanks with one pair of enclosing
// quotes dropped, at most 255 bytes of a value seen, files in code page 932.

struct ProfileString {
    QString value; // the value read, or the caller's default when count is 0
    int count = 0; // bytes of the stored value seen (0 for missing or empty)
};

ProfileString getProfileString(const QString& section, const QString& key, const QString& defaultValue,
                               const QString& path);

// The whole number at the start of the value; defaultValue when the key, file or folder is missing;
// 0 when the value does not start with a number.
int getProfileInt(const QString& section, const QString& key, int defaultValue, const QString& path);

// Creates the file and the section when missing, keeps every other key and line. The file is
// replaced atomically. Returns false when the file could not be written (the old file stays).
bool writeProfileString(const QString& section, const QString& key, const QString& value,
                        const QString& path);

} // namespace brindle
