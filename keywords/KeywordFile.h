#pragma once
#include <cstdint>
#include <QString>
#include <QStringList>
#include <QStringView>

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

// Characters that show nothing and that junk puts inside its words so that they escape exact
// matching: the format characters (zero-width spaces and joiners, word joiner, invisible operators,
// BOM, soft hyphen, bidi marks, tag characters), the variation selectors and U+034F. Case, width and
// every visible character are left as they are.
bool isInvisibleCharacter(char32_t c);
// How many UTF-16 units of an invisible character begin at text[i] (2 for one outside the BMP), or
// 0 when the character there shows.
qsizetype invisibleLengthAt(QStringView text, qsizetype i);
// The text without its invisible characters; the same text, shared, when it holds none.
QString removeInvisibleCharacters(const QString& text);

// The 204 bytes of a record (exposed for tests and tools). Invisible characters are dropped: a
// keyword is registered as it shows.
QByteArray encodeKeywordRecord(const QString& text, std::int16_t inUse = 1);

} // namespace brindle
