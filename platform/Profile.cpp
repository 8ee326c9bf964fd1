#include "platform/Profile.h"

#include "platform/AtomicFile.h"
#include "platform/Cp932.h"

#include <limits>
#include <QFile>
#include <QFileInfo>

namespace brindle {

namespace {

bool isBlank(char c) {
    return c == ' ' || c == '\t';
}

QByteArrayView trimBlanks(QByteArrayView text) {
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && isBlank(text[begin]))
        ++begin;
    while (end > begin && isBlank(text[end - 1]))
        --end;
    return text.sliced(begin, end - begin);
}

// The first `limit` bytes of text, shortened by one when the cut would keep the lead byte of a
// two-byte character without its second byte.
QByteArrayView cutOnCharacter(QByteArrayView text, qsizetype limit) {
    if (text.size() <= limit)
        return text;
    qsizetype i = 0;
    while (i < limit) {
        const qsizetype step = isCp932LeadByte(static_cast<unsigned char>(text[i])) ? 2 : 1;
        if (i + step > limit)
            break;
        i += step;
    }
    return text.first(i);
}

bool sameName(QByteArrayView stored, const QString& wanted) {
    return fromCp932(stored).compare(wanted, Qt::CaseInsensitive) == 0;
}

// The section name of a "[name]" line; nullopt for other lines. A "[" line without "]" is no header and
// leaves the section it stands in unchanged.
std::optional<QByteArrayView> sectionOf(QByteArrayView line) {
    const QByteArrayView t = trimBlanks(line);
    if (!t.startsWith('['))
        return std::nullopt;
    const qsizetype close = t.lastIndexOf(']');
    if (close < 0)
        return std::nullopt;
    return trimBlanks(t.sliced(1, close - 1));
}

QByteArrayView keyOf(QByteArrayView line) {
    const qsizetype eq = line.indexOf('=');
    return trimBlanks(eq < 0 ? line : line.first(eq));
}

QByteArrayView valueOf(QByteArrayView line) {
    const qsizetype eq = line.indexOf('=');
    if (eq < 0)
        return {};
    QByteArrayView v = trimBlanks(line.sliced(eq + 1));
    if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
        v = v.sliced(1, v.size() - 2);
    return v;
}

enum class Load { Ok, Missing, Unusable };

// Reads the file whole. Unusable: it exists but cannot be read, or is too big to be a settings file.
Load loadFile(const QString& path, QByteArray& data) {
    data.clear();
    const QFileInfo info(path);
    if (!info.exists())
        return Load::Missing;
    if (!info.isFile() || info.size() > kMaxProfileFileBytes)
        return Load::Unusable;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return Load::Unusable;
    data = file.read(kMaxProfileFileBytes + 1);
    if (data.size() > kMaxProfileFileBytes || file.error() != QFileDevice::NoError)
        return Load::Unusable;
    return Load::Ok;
}

struct Found {
    qsizetype keyLine = -1;    // the line of the key, -1 when absent
    qsizetype sectionEnd = -1; // the last non-blank line of the first matching section, -1 when none
};

Found find(const QList<QByteArray>& lines, const QString& section, const QString& key) {
    Found f;
    bool inSection = false;
    bool firstSectionOpen = false; // still inside the first section of that name
    for (qsizetype i = 0; i < lines.size(); ++i) {
        const QByteArrayView line = lines[i];
        if (const auto name = sectionOf(line)) {
            inSection = sameName(*name, section);
            if (inSection && f.sectionEnd < 0) {
                f.sectionEnd = i;
                firstSectionOpen = true;
            } else {
                firstSectionOpen = false;
            }
            continue;
        }
        if (!inSection)
            continue;
        if (firstSectionOpen && !trimBlanks(line).isEmpty())
            f.sectionEnd = i;
        if (f.keyLine < 0 && line.contains('=') && sameName(keyOf(line), key))
            f.keyLine = i;
    }
    return f;
}

// The stored value as a read sees it, or nullopt when the key is absent.
std::optional<QByteArray> readRaw(const QString& section, const QString& key, const QString& path,
                                  int valueBytes = kProfileValueBytes) {
    QByteArray data;
    if (loadFile(path, data) != Load::Ok)
        return std::nullopt;
    const QList<QByteArray> lines = splitLines(data);
    const Found f = find(lines, section, key);
    if (f.keyLine < 0)
        return std::nullopt;
    return cutOnCharacter(valueOf(lines[f.keyLine]), valueBytes).toByteArray();
}

bool isQuote(QChar c) {
    return c == u'"' || c == u'\'';
}

// Whether a read would change the value: it trims blanks around it and drops one pair of enclosing
// quotes.
bool readAltersValue(const QString& v) {
    if (v.isEmpty())
        return false;
    if (v.front() == u' ' || v.front() == u'\t' || v.back() == u' ' || v.back() == u'\t')
        return true;
    return v.size() >= 2 && isQuote(v.front()) && v.back() == v.front();
}

QByteArray encodeValue(const QString& value) {
    // A line break inside a value would split it into lines the next read takes for other keys.
    QString v = value;
    v.replace(u'\r', u' ').replace(u'\n', u' ');
    // A value the read would change goes inside one more pair of quotes, which the read drops, so that
    // it comes back as given. Every other value is written as it is, as it always was.
    if (readAltersValue(v))
        v = u'"' + v + u'"';
    return toCp932(v);
}

} // namespace

ProfileString getProfileString(const QString& section, const QString& key, const QString& defaultValue,
                               const QString& path, int valueBytes) {
    ProfileString r;
    const auto raw = readRaw(section, key, path, valueBytes);
    if (!raw || raw->isEmpty()) {
        r.value = defaultValue;
        return r;
    }
    r.value = fromCp932(*raw);
    r.count = static_cast<int>(raw->size());
    return r;
}

int getProfileInt(const QString& section, const QString& key, int defaultValue, const QString& path) {
    const auto raw = readRaw(section, key, path);
    if (!raw || raw->isEmpty())
        return defaultValue;
    const QByteArray& v = *raw;
    qsizetype i = 0;
    bool negative = false;
    if (i < v.size() && (v[i] == '-' || v[i] == '+')) {
        negative = v[i] == '-';
        ++i;
    }
    qint64 n = 0;
    constexpr qint64 kCap = qint64(std::numeric_limits<int>::max()) + 1;
    for (; i < v.size() && v[i] >= '0' && v[i] <= '9'; ++i)
        n = std::min(kCap, n * 10 + (v[i] - '0'));
    if (negative)
        n = -n;
    return static_cast<int>(
        std::clamp<qint64>(n, std::numeric_limits<int>::min(), std::numeric_limits<int>::max()));
}

bool writeProfileString(const QString& section, const QString& key, const QString& value,
                        const QString& path) {
    return writeProfileStrings(section, {{key, value}}, path);
}

bool writeProfileStrings(const QString& section, const ProfileEntries& entries, const QString& path,
                         std::optional<QFileDevice::Permissions> permissions) {
    if (!cp932CanEncode(section))
        return false;
    for (const auto& [key, value] : entries) {
        if (!cp932CanEncode(key) || !cp932CanEncode(value))
            return false;
    }
    QByteArray data;
    if (loadFile(path, data) == Load::Unusable)
        return false;
    QList<QByteArray> lines = splitLines(data);
    for (const auto& [key, value] : entries) {
        const Found f = find(lines, section, key);
        if (f.keyLine >= 0) {
            // Keep the stored spelling of the key.
            const QByteArray& old = lines[f.keyLine];
            lines[f.keyLine] = keyOf(old).toByteArray() + '=' + encodeValue(value);
        } else {
            const QByteArray line = toCp932(key) + '=' + encodeValue(value);
            if (f.sectionEnd >= 0) {
                lines.insert(f.sectionEnd + 1, line);
            } else {
                lines.append('[' + toCp932(section) + ']');
                lines.append(line);
            }
        }
    }
    QByteArray out;
    for (const QByteArray& line : std::as_const(lines))
        out += line + "\r\n";

    return writeFileAtomically(path, out, permissions);
}

QList<QByteArray> splitLines(const QByteArray& data) {
    QList<QByteArray> lines;
    qsizetype start = 0;
    const qsizetype n = data.size();
    for (qsizetype i = 0; i < n; ++i) {
        const char c = data[i];
        if (c != '\r' && c != '\n')
            continue;
        lines.append(data.sliced(start, i - start));
        if (c == '\r' && i + 1 < n && data[i + 1] == '\n')
            ++i;
        start = i + 1;
    }
    if (start < n)
        lines.append(data.sliced(start));
    return lines;
}

} // namespace brindle
