#include "settings/SettingsStore.h"

#include "platform/AppFolder.h"
#include "platform/AtomicFile.h"
#include "platform/Cp932.h"
#include "platform/NumberText.h"
#include "platform/Profile.h"

#include <limits>
#include <QFile>
#include <QFileInfo>
#include <QStringDecoder>

namespace brindle {

namespace {

// The server file is four short lines. Only this much of it is read, so that a huge or runaway file
// cannot exhaust memory at start-up; real settings lie far inside it.
constexpr qint64 kMaxServerFileBytes = 64 * 1024;

// The password lives in this file as plain text: only its owner may read it.
constexpr QFileDevice::Permissions kOwnerOnly = QFileDevice::ReadOwner | QFileDevice::WriteOwner;

const QString kSection = QString::fromUtf16(kIniSection);

// The mail program: NAME holds its path in code page 932, as it always did and as older versions read
// it. A path NAME cannot hold (a character code page 932 lacks, a line break, or longer than a read of
// NAME gives back) is stored percent-encoded as UTF-8 under kMailerUtf8Key, and NAME then holds
// kNotSetText, which an older version takes for "no mail program" instead of a wrong path. The new key
// counts only while NAME still holds kNotSetText: a mail program an older version chose later wins.
const QString kMailerKey = QStringLiteral("NAME");
const QString kMailerUtf8Key = QStringLiteral("NAME_UTF8");

// Bytes of the encoded path a read sees: a path is at most 4096 bytes of UTF-8 (PATH_MAX), and
// percent-encoding makes each byte at most three.
constexpr int kMailerUtf8Bytes = 3 * 4096;

bool holdsAsPlainName(const QString& path) {
    return !path.contains(u'\r') && !path.contains(u'\n') && cp932CanEncode(path) &&
           cp932Length(path) <= kProfileValueBytes;
}

// The first character (one code point) of text that code page 932 lacks; empty when there is none.
QString firstUnstorableCharacter(const QString& text) {
    for (qsizetype i = 0; i < text.size();) {
        const qsizetype n =
            text[i].isHighSurrogate() && i + 1 < text.size() && text[i + 1].isLowSurrogate() ? 2 : 1;
        const QStringView c = QStringView(text).sliced(i, n);
        if (!cp932CanEncode(c))
            return c.toString();
        i += n;
    }
    return {};
}

// The character as the user can recognise it: itself when it shows as something (not a blank, a
// format control or a lone combining mark), always with its code point.
QString describeCharacter(const QString& c) {
    const char32_t code = c.size() == 2 ? QChar::surrogateToUcs4(c[0], c[1]) : c[0].unicode();
    const QString point = QStringLiteral("U+%1").arg(uint(code), 4, 16, QChar(u'0')).toUpper();
    if (!QChar::isPrint(code) || QChar::isSpace(code) || QChar::isMark(code))
        return point;
    return QStringLiteral("「%1」(%2)").arg(c, point);
}

QString unstorableCharacterRefusal(const QString& field, const QString& value) {
    const QString c = firstUnstorableCharacter(value);
    if (c.isEmpty())
        return {};
    return QStringLiteral("%1に、設定ファイルに保存できない文字 %2 が含まれています。\n"
                          "この文字を使わずに入力してください。")
        .arg(field, describeCharacter(c));
}

std::int16_t toInt16(double v) {
    const double r = roundHalfEven(v);
    if (r <= std::numeric_limits<std::int16_t>::min())
        return std::numeric_limits<std::int16_t>::min();
    if (r >= std::numeric_limits<std::int16_t>::max())
        return std::numeric_limits<std::int16_t>::max();
    return static_cast<std::int16_t>(r);
}

// A value is one line of the file; a line break inside it would break the file's four-line form.
QString oneLine(const QString& value) {
    QString v = value;
    v.replace(u'\r', u' ').replace(u'\n', u' ');
    return v;
}

} // namespace

QString generalSettingsPath() {
    return appPath(QStringLiteral("\\★MailData\\ini.ini"));
}

QString accountSettingsPath() {
    return appPath(QStringLiteral("\\★MailData\\iniIdPass.ini"));
}

QString serverSettingsPath() {
    return appPath(QStringLiteral("\\kestro.ini"));
}

bool loadServerSettings(ServerSettings& into, const QString& path) {
    QFile file(path);
    if (!QFileInfo(path).isFile() || !file.open(QIODevice::ReadOnly))
        return false;
    const QByteArray data = file.read(kMaxServerFileBytes);
    for (const QByteArray& raw : splitLines(data)) {
        const QString line = fromCp932(raw);
        const QStringView prefix = QStringView(line).first(std::min<qsizetype>(5, line.size()));
        const QString value = line.mid(5, kServerValueChars);
        if (prefix == u"SMTP=")
            into.smtpServer = value;
        else if (prefix == u"POP3=")
            into.pop3Server = value;
        else if (prefix == u"MAIL=")
            into.mailAddress = value;
        else if (prefix == u"APOP=")
            into.useApop = toInt16(leadingNumber(value));
    }
    return true;
}

bool saveServerSettings(const ServerSettings& s, const QString& path) {
    for (const QString* v : {&s.smtpServer, &s.pop3Server, &s.mailAddress}) {
        if (!cp932CanEncode(*v))
            return false;
    }
    const QString text = QStringLiteral("SMTP=") + oneLine(s.smtpServer) + QStringLiteral("\r\nPOP3=") +
                         oneLine(s.pop3Server) + QStringLiteral("\r\nMAIL=") + oneLine(s.mailAddress) +
                         QStringLiteral("\r\nAPOP=") + QString::number(s.useApop) + QStringLiteral("\r\n");
    const QByteArray bytes = toCp932(text);
    return writeFileAtomically(path, bytes);
}

GeneralSettingsFile::GeneralSettingsFile(QString path) : m_path(std::move(path)) {}

QString GeneralSettingsFile::readText(const QString& key, const QString& defaultValue) const {
    return getProfileString(kSection, key, defaultValue, m_path).value;
}

int GeneralSettingsFile::readInt(const QString& key) const {
    return getProfileInt(kSection, key, 0, m_path);
}

bool GeneralSettingsFile::write(const QString& key, const QString& value) const {
    return writeProfileString(kSection, key, value, m_path);
}

QString GeneralSettingsFile::readMailerPath() const {
    const QString notSet = QString::fromUtf16(kNotSetText);
    const ProfileString name = getProfileString(kSection, kMailerKey, notSet, m_path);
    if (name.count == 0 || name.value != notSet)
        return name.value;
    const ProfileString encoded = getProfileString(kSection, kMailerUtf8Key, {}, m_path, kMailerUtf8Bytes);
    for (QChar c : encoded.value) {
        if (c.unicode() <= u' ' || c.unicode() >= 0x7F)
            return notSet; // not what we write
    }
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString path = utf8(QByteArray::fromPercentEncoding(encoded.value.toLatin1()));
    return utf8.hasError() || path.isEmpty() ? notSet : path;
}

bool GeneralSettingsFile::writeMailerPath(const QString& path) const {
    ProfileEntries entries;
    if (holdsAsPlainName(path)) {
        entries.append({kMailerKey, path});
        // A stale encoded path goes, so that it cannot come back with a later kNotSetText.
        if (getProfileString(kSection, kMailerUtf8Key, {}, m_path, kMailerUtf8Bytes).count > 0)
            entries.append({kMailerUtf8Key, QString()});
    } else {
        const QByteArray encoded = path.toUtf8().toPercentEncoding("/");
        if (encoded.size() > kMailerUtf8Bytes)
            return false;
        entries.append({kMailerKey, QString::fromUtf16(kNotSetText)});
        entries.append({kMailerUtf8Key, QString::fromLatin1(encoded)});
    }
    return writeProfileStrings(kSection, entries, m_path);
}

bool musicSwitchedOn(const GeneralSettingsFile& file) {
    return file.readText(QStringLiteral("BGM"), QStringLiteral("1")).trimmed() != QLatin1String("0");
}

bool switchMusic(bool on, const GeneralSettingsFile& file) {
    return file.write(QStringLiteral("BGM"), on ? QStringLiteral("1") : QStringLiteral("0"));
}

bool learningSwitchedOn(const GeneralSettingsFile& file) {
    return file.readText(QString::fromUtf16(kLearningKey), QStringLiteral("0")).trimmed() ==
           QLatin1String("1");
}

bool switchLearning(bool on, const GeneralSettingsFile& file) {
    return file.write(QString::fromUtf16(kLearningKey), on ? QStringLiteral("1") : QStringLiteral("0"));
}

AccountFile::AccountFile(QString path) : m_path(std::move(path)) {}

StoredAccount AccountFile::read() const {
    StoredAccount a;
    a.id = getProfileString(kSection, QStringLiteral("NAME"), QString(), m_path).value;
    a.password = getProfileString(kSection, QStringLiteral("NAME2"), QString(), m_path).value;
    return a;
}

bool AccountFile::saveAccount(const QString& id, const QString& password) const {
    // One rewrite for the three keys, so the file never holds a new ID with an old password.
    return writeProfileStrings(kSection,
                               {{QStringLiteral("NAME"), id},
                                {QStringLiteral("NAME2"), password},
                                {QStringLiteral("NAME3"), QStringLiteral("1")}},
                               m_path, kOwnerOnly);
}

bool AccountFile::markNotSaved() const {
    return writeProfileStrings(kSection, {{QStringLiteral("NAME3"), QStringLiteral("0")}}, m_path,
                               kOwnerOnly);
}

DeletionRule deletionRuleFromNumber6(int number6) {
    switch (number6) {
    case 1:
        return DeletionRule::Keyword;
    case 6:
        return DeletionRule::Html;
    case 4:
        return DeletionRule::Size;
    case 5:
        return DeletionRule::NoHiragana;
    default:
        return DeletionRule::None;
    }
}

int number6FromDeletionRule(DeletionRule rule) {
    switch (rule) {
    case DeletionRule::Keyword:
        return 1;
    case DeletionRule::Html:
        return 6;
    case DeletionRule::Size:
        return 4;
    case DeletionRule::NoHiragana:
        return 5;
    case DeletionRule::None:
        break;
    }
    return 0;
}

QString profileValueRefusal(const QString& field, const QString& value) {
    const QString refusal = unstorableCharacterRefusal(field, value);
    if (!refusal.isEmpty() || cp932Length(value) <= kProfileValueBytes)
        return refusal;
    return QStringLiteral("%1が長すぎます。\n設定ファイルには半角で%2文字（全角で%3文字）まで保存できます。")
        .arg(field)
        .arg(kProfileValueBytes)
        .arg(kProfileValueBytes / 2);
}

QString serverValueRefusal(const QString& field, const QString& value) {
    const QString refusal = unstorableCharacterRefusal(field, value);
    if (!refusal.isEmpty() || value.size() <= kServerValueChars)
        return refusal;
    return QStringLiteral("%1が長すぎます。\n設定ファイルには%2文字まで保存できます。")
        .arg(field)
        .arg(kServerValueChars);
}

} // namespace brindle
