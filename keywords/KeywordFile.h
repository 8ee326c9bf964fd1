#pragma once
#include <cstdint>
#include <QString>
#include <QStringList>

namespace brindle {

inline constexpr int kKeywordRecordSize = 204;
inline constexpr int kKeywordTextBytes = 200;

struct KeywordRecord {
    std::int16_t inUse = 1;
    QString keyword; // 200 characters' worth: the text followed by its fill spaces, as read back
};

// Paths under the application folder (resolved without regard to case). "\\★MAilData\\Kstdata50.data"
// (reading, marking, compacting) and "\\★MAilData\\kstdata50.data" (appending) name one file; both
// functions return the same path, in the folder the settings files use, even when the disk holds
// several case variants of the names side by side.
QString keywordFilePath();
QString keywordAppendPath();
QString keywordTempPath(); // "\\★MAilData\\KSTDATA50.TMP", beside the keyword file

// Every whole record's keyword text, in file order, fill spaces included. A missing file is created
// empty (when its folder exists) and reads as no records.
QStringList ReadKeywords(const QString& path = keywordFilePath());

// Appends a live record after the last whole record. False when the file could not be written.
bool AppendKeyword(const QString& text, const QString& path = keywordAppendPath());

// Sets InUse of record n (1-based) to 0. False for a number outside the file or a write failure.
bool MarkKeywordDeleted(qint64 n, const QString& path = keywordFilePath());

// Drops the records whose InUse is 0; atomic: afterwards the file holds the old or the new list.
bool CompactKeywordFile(const QString& path = keywordFilePath());

// The 204 bytes of a record (exposed for tests and tools).
QByteArray encodeKeywordRecord(const QString& text, std::int16_t inUse = 1);

} // namespace brindle
