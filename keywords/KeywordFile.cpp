#include "keywords/KeywordFile.h"

#include "platform/AppFolder.h"
#include "platform/Cp932.h"

#include <cstdio>
#include <fcntl.h>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <unistd.h>

namespace brindle {

namespace {

// Records are read in batches of this many: a whole file of tens of thousands of keywords is never
// held twice in memory, and reads stay large enough to be cheap.
constexpr qint64 kRecordsPerRead = 1024;

constexpr qint64 kInUseOffset = 2;

bool isCp932LeadByte(unsigned char b) {
    return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC);
}

// The file exists afterwards (created empty when it was missing and its folder exists).
bool ensureFile(const QString& path) {
    const QFileInfo info(path);
    if (info.exists())
        return info.isFile();
    if (!info.absoluteDir().exists())
        return false;
    QFile file(path);
    if (file.open(QIODevice::WriteOnly | QIODevice::NewOnly))
        return true;
    return QFileInfo(path).isFile(); // made by someone else in between
}

bool isLive(const char* record) {
    return record[kInUseOffset] != 0 || record[kInUseOffset + 1] != 0;
}

// Makes the directory entry of a renamed file durable; the data itself was synced before.
void syncFolder(const QString& folder) {
    const int fd = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
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

QByteArray encodeKeywordRecord(const QString& text, std::int16_t inUse) {
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

    // The new list is written beside the file and renamed over it, so that the file holds either the
    // old list or the new one whole, whatever happens in between.
    const QString folder = info.absolutePath();
    const QString tempPath = resolvePath(folder, QStringLiteral("\\KSTDATA50.TMP"));
    QFile temp(tempPath);
    if (!temp.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    temp.setPermissions(source.permissions());

    bool ok = true;
    bool changed = false;
    for (;;) {
        const QByteArray chunk = source.read(kRecordsPerRead * kKeywordRecordSize);
        if (source.error() != QFileDevice::NoError) {
            ok = false;
            break;
        }
        const qsizetype whole = chunk.size() / kKeywordRecordSize;
        if (chunk.size() != whole * kKeywordRecordSize)
            changed = true; // an incomplete tail is dropped too
        QByteArray kept;
        kept.reserve(chunk.size());
        for (qsizetype i = 0; i < whole; ++i) {
            const char* record = chunk.constData() + i * kKeywordRecordSize;
            if (isLive(record))
                kept.append(record, kKeywordRecordSize);
            else
                changed = true;
        }
        if (temp.write(kept) != kept.size()) {
            ok = false;
            break;
        }
        if (chunk.size() < kRecordsPerRead * kKeywordRecordSize)
            break;
    }
    source.close();
    ok = ok && temp.flush() && ::fsync(temp.handle()) == 0;
    temp.close();
    ok = ok && temp.error() == QFileDevice::NoError;
    if (!ok || !changed) {
        // Nothing to drop: the file stays as it is, byte for byte.
        QFile::remove(tempPath);
        return ok;
    }
    if (::rename(QFile::encodeName(tempPath).constData(), QFile::encodeName(path).constData()) != 0) {
        QFile::remove(tempPath);
        return false;
    }
    syncFolder(folder);
    return true;
}

} // namespace brindle
