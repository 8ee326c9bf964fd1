#include "keywords/AllowList.h"

#include "platform/AppFolder.h"
#include "platform/AtomicFile.h"

#include <QFile>
#include <QSet>

namespace brindle {

namespace {

// The file's lines as text, or nullopt when it exists but cannot be read (or is too large).
std::optional<QStringList> readLines(const QString& path) {
    QFile file(path);
    if (!file.exists())
        return QStringList{};
    if (file.size() > kAllowListMaxFileBytes || !file.open(QIODevice::ReadOnly))
        return std::nullopt;
    QString text = QString::fromUtf8(file.readAll());
    if (text.startsWith(QChar(0xFEFF)))
        text.remove(0, 1); // a byte order mark some editors write
    text.replace(QStringLiteral("\r\n"), QStringLiteral("\n")).replace(u'\r', u'\n');
    QStringList lines = text.split(u'\n');
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    return lines;
}

bool writeLines(const QString& path, const QStringList& lines) {
    QByteArray data;
    for (const QString& line : lines)
        data += line.toUtf8() + '\n';
    return writeFileAtomically(path, data);
}

} // namespace

QString allowListPath() {
    return appPath(QStringLiteral(u"\\★MailData\\allow.txt"));
}

std::optional<QString> normalizeAllowEntry(const QString& text) {
    QString entry = text.normalized(QString::NormalizationForm_KC).trimmed().toLower();
    if (entry.isEmpty() || entry.size() > kAllowEntryMaxChars || entry.startsWith(u'#'))
        return std::nullopt;
    const qsizetype at = entry.indexOf(u'@');
    if (at < 0 || entry.indexOf(u'@', at + 1) >= 0)
        return std::nullopt;
    for (QChar c : entry) {
        if (c.isSpace() || c.category() == QChar::Other_Control || c == u'<' || c == u'>' || c == u',')
            return std::nullopt;
    }
    const QStringView domain = QStringView(entry).sliced(at + 1);
    if (domain.isEmpty() || domain.startsWith(u'.') || domain.endsWith(u'.') || domain.contains(u".."))
        return std::nullopt;
    return entry;
}

QStringList readAllowList(const QString& path) {
    QStringList entries;
    QSet<QString> seen;
    for (const QString& line : readLines(path).value_or(QStringList{})) {
        const std::optional<QString> entry = normalizeAllowEntry(line);
        if (entry && !seen.contains(*entry)) {
            seen.insert(*entry);
            entries.append(*entry);
        }
    }
    return entries;
}

bool allowListMatches(const QStringList& entries, const QString& address) {
    const std::optional<QString> sender = normalizeAllowEntry(address);
    if (!sender || sender->startsWith(u'@'))
        return false;
    const QStringView domain = QStringView(*sender).sliced(sender->indexOf(u'@') + 1);
    for (const QString& entry : entries) {
        if (!entry.startsWith(u'@')) {
            if (entry == *sender)
                return true;
            continue;
        }
        const QStringView allowed = QStringView(entry).sliced(1);
        if (domain == allowed ||
            (domain.endsWith(allowed) && domain.at(domain.size() - allowed.size() - 1) == u'.'))
            return true;
    }
    return false;
}

bool addToAllowList(const QString& entry, const QString& path) {
    const std::optional<QString> normalized = normalizeAllowEntry(entry);
    if (!normalized)
        return false;
    std::optional<QStringList> lines = readLines(path);
    if (!lines)
        return false; // never replace a file that could not be read
    for (const QString& line : *lines) {
        if (normalizeAllowEntry(line) == normalized)
            return true;
    }
    lines->append(*normalized);
    return writeLines(path, *lines);
}

bool removeFromAllowList(const QString& entry, const QString& path) {
    const std::optional<QString> normalized = normalizeAllowEntry(entry);
    std::optional<QStringList> lines = readLines(path);
    if (!lines)
        return false;
    const qsizetype before = lines->size();
    lines->removeIf(
        [&](const QString& line) { return normalized && normalizeAllowEntry(line) == normalized; });
    return lines->size() == before || writeLines(path, *lines);
}

} // namespace brindle
