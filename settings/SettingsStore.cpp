#include "settings/SettingsStore.h"

#include "platform/AppFolder.h"
#include "platform/AtomicFile.h"
#include "platform/Cp932.h"
#include "platform/NumberText.h"
#include "platform/Profile.h"

#include <limits>
#include <QFile>
#include <QFileInfo>

namespace brindle {

namespace {

// The server file is four short lines. Only this much of it is read, so that a huge or runaway file
// cannot exhaust memory at start-up; real settings lie far inside it.
constexpr qint64 kMaxServerFileBytes = 64 * 1024;

// Characters of a server-file value kept at load (characters 6 to 105 of the line).
constexpr qsizetype kServerValueChars = 100;

// The password lives in this file as plain text: only its owner may read it.
constexpr QFileDevice::Permissions kOwnerOnly = QFileDevice::ReadOwner | QFileDevice::WriteOwner;

const QString kSection = QString::fromUtf16(kIniSection);

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

ProgramValues& programValues() {
    static ProgramValues values;
    return values;
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

bool musicSwitchedOn(const GeneralSettingsFile& file) {
    return file.readText(QStringLiteral("BGM"), QStringLiteral("1")).trimmed() != QLatin1String("0");
}

bool switchMusic(bool on, const GeneralSettingsFile& file) {
    return file.write(QStringLiteral("BGM"), on ? QStringLiteral("1") : QStringLiteral("0"));
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

} // namespace brindle
