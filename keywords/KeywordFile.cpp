#include "keywords/KeywordFile.h"

#include "platform/AppFolder.h"
#include "platform/AtomicFile.h"
#include "platform/Cp932.h"

#include <cstdio>
#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace brindle {

namespace {

// Records are read in batches of this many: a whole file of tens of thousands of keywords is never
// held twice in memory, and reads stay large enough to be cheap.
constexpr qint64 kRecordsPerRead = 1024;

constexpr qint64 kInUseOffset = 2;

// The file exists afterwards (created empty when it was missing and its folder exists).
bool ensureFile(const QString& path) {
    const QFileInfo info(path);
    if (info.exists())
        return info.isFile();
    if (!info.absoluteDir().exists())
        return false;
    QFile file(path);
    if (file.open(QIODevice::WriteOnly | QIODevice::NewOnly, QFile::ReadOwner | QFile::WriteOwner))
        return true;
    return QFileInfo(path).isFile(); // made by someone else in between
}

bool isLive(const char* record) {
    return record[kInUseOffset] != 0 || record[kInUseOffset + 1] != 0;
}

} // namespace

// The data folder is spelled two ways in the program ("★MailData" for the settings, "★MAilData" for
// the keywords) and the file two ways too; they are meant as one folder and one file. Everything is
// resolved from the settings' spelling of the folder and one spelling of the file, so that even a disk
// that holds several case variants side by side gives one keyword file that all operations share.
QString keywordFilePath() {
    return appPath(QStringLiteral("\\★MailData\\Kstdata50.data"));
}

QString keywordAppendPath() {
    return keywordFilePath();
}

QString keywordTempPath() {
    return appPath(QStringLiteral("\\★MailData\\KSTDATA50.TMP"));
}

bool isInvisibleCharacter(char32_t c) {
    // Latin-1 before the soft hyphen, and the kana and kanji between the invisible operators and
    // the variation selectors, hold no format character: most text is decided without a lookup.
    if (c < 0xAD || (c > 0x206F && c < 0xFE00))
        return false;
    if (c == 0x034F || (c >= 0xFE00 && c <= 0xFE0F) || (c >= 0xE0100 && c <= 0xE01EF))
        return true;
    return QChar::category(c) == QChar::Other_Format;
}

qsizetype invisibleLengthAt(QStringView text, qsizetype i) {
    const char16_t c = text[i].unicode();
    if (c < 0xAD || (c > 0x206F && c < 0xD800))
        return 0;
    if (QChar::isHighSurrogate(c)) {
        if (i + 1 < text.size() && QChar::isLowSurrogate(text[i + 1].unicode()))
            return isInvisibleCharacter(QChar::surrogateToUcs4(c, text[i + 1].unicode())) ? 2 : 0;
        return 0;
    }
    return isInvisibleCharacter(c) ? 1 : 0;
}

QString removeInvisibleCharacters(const QString& text) {
    qsizetype i = 0;
    while (i < text.size() && invisibleLengthAt(text, i) == 0)
        ++i;
    if (i == text.size())
        return text;
    QString out;
    out.reserve(text.size());
    out.append(QStringView(text).first(i));
    while (i < text.size()) {
        if (const qsizetype n = invisibleLengthAt(text, i); n > 0) {
            i += n;
        } else {
            out.append(text[i]);
            ++i;
        }
    }
    return out;
}

QByteArray encodeKeywordRecord(const QString& rawText, std::int16_t inUse) {
    const QString text = removeInvisibleCharacters(rawText);
    QByteArray record(kKeywordRecordSize, ' ');
    record[0] = '\r';
    record[1] = '\n';
    const auto u = static_cast<std::uint16_t>(inUse);
    record[2] = static_cast<char>(u & 0xFF);
    record[3] = static_cast<char>(u >> 8);

    const QByteArray bytes = toCp932(text);
    // Keep whole characters only: a two-byte character that would not fit is dropped entirely rather
    // than leaving its lead byte, which would swallow the fill space after it on reading.
    qsizetype kept = 0;
    while (kept < bytes.size()) {
        const qsizetype step = isCp932LeadByte(static_cast<unsigned char>(bytes[kept])) ? 2 : 1;
        if (kept + step > kKeywordTextBytes)
            break;
        kept += step;
    }
    kept = std::min(kept, bytes.size());
    std::copy(bytes.cbegin(), bytes.cbegin() + kept, record.begin() + 4);
    return record;
}

QStringList ReadKeywords(const QString& path) {
    QStringList keywords;
    if (!ensureFile(path))
        return keywords;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return keywords;
    for (;;) {
        const QByteArray chunk = file.read(kRecordsPerRead * kKeywordRecordSize);
        const qsizetype whole = chunk.size() / kKeywordRecordSize;
        for (qsizetype i = 0; i < whole; ++i) {
            const char* record = chunk.constData() + i * kKeywordRecordSize;
            keywords.append(fromCp932(QByteArrayView(record + 4, kKeywordTextBytes)));
        }
        // A short read means the end of the file; an incomplete last record is not a keyword.
        if (chunk.size() < kRecordsPerRead * kKeywordRecordSize)
            break;
    }
    return keywords;
}

bool AppendKeyword(const QString& text, const QString& path) {
    if (!ensureFile(path))
        return false;
    QFile file(path);
    if (!file.open(QIODevice::ReadWrite))
        return false;
    // After the last whole record: an incomplete tail left by damage is cut off, so the new record
    // lands on a record boundary and no garbage record appears between.
    const qint64 size = file.size();
    const qint64 offset = size - size % kKeywordRecordSize;
    if (offset != size && !file.resize(offset))
        return false;
    const QByteArray record = encodeKeywordRecord(text, 1);
    if (!file.seek(offset) || file.write(record) != record.size() || !file.flush())
        return false;
    file.close();
    return file.error() == QFileDevice::NoError;
}

bool MarkKeywordDeleted(qint64 n, const QString& path) {
    if (n < 1 || !QFileInfo(path).isFile())
        return false;
    QFile file(path);
    if (!file.open(QIODevice::ReadWrite))
        return false;
    if (n > file.size() / kKeywordRecordSize)
        return false;
    static const char zero[2] = {0, 0};
    if (!file.seek((n - 1) * kKeywordRecordSize + kInUseOffset) || file.write(zero, 2) != 2 || !file.flush())
        return false;
    file.close();
    return file.error() == QFileDevice::NoError;
}

bool CompactKeywordFile(const QString& path) {
    const QFileInfo info(path);
    if (!info.exists())
        return ensureFile(path);
    QFile source(path);
    if (!source.open(QIODevice::ReadOnly))
        return false;

    // The new list replaces the file atomically: the file holds either the old list or the new one
    // whole, whatever happens in between.
    bool changed = false;
    QByteArray kept;
    for (;;) {
        const QByteArray chunk = source.read(kRecordsPerRead * kKeywordRecordSize);
        if (source.error() != QFileDevice::NoError)
            return false;
        const qsizetype whole = chunk.size() / kKeywordRecordSize;
        if (chunk.size() != whole * kKeywordRecordSize)
            changed = true; // an incomplete tail is dropped too
        for (qsizetype i = 0; i < whole; ++i) {
            const char* record = chunk.constData() + i * kKeywordRecordSize;
            if (isLive(record))
                kept.append(record, kKeywordRecordSize);
            else
                changed = true;
        }
        if (chunk.size() < kRecordsPerRead * kKeywordRecordSize)
            break;
    }
    source.close();
    // Nothing to drop: the file stays as it is, byte for byte.
    const bool ok = !changed || writeFileAtomically(path, kept);
    // The platform's write keeps its own temporary file; a copy left by an interrupted compaction of
    // earlier versions goes.
    QFile::remove(resolvePath(info.absolutePath(), QStringLiteral("\\KSTDATA50.TMP")));
    return ok;
}

} // namespace brindle
