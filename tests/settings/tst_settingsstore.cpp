#include "platform/Profile.h"
#include "settings/SettingsStore.h"
#include "support/FileSizeLimit.h"
#include "support/Rows.h"
#include "support/TestFiles.h"

#include <QTest>

using namespace brindle;
using namespace brindle::testing;
using brindle::test::indexRows;

namespace {

// The four values as "pop3|smtp|mail|apop".
QString text(const ServerSettings& s) {
    return QStringList{s.pop3Server, s.smtpServer, s.mailAddress, QString::number(s.useApop)}.join(u'|');
}

// The file, and the four values read as text() gives them.
const std::tuple<const char*, QByteArray, QString> kLoads[]{
    {"mixed line ends", "SMTP=s\nPOP3=p\rMAIL=m\r\nAPOP=1", u"p|s|m|1"_qs},
    {"any order", "APOP=1\r\nMAIL=m\r\nPOP3=p\r\n", u"p||m|1"_qs},
    {"value kept as written", "POP3= p \r\n", u" p |||0"_qs},
    {"cut at 100 characters, not bytes",
     "POP3=" + QByteArray(150, 'x') + "\r\nMAIL=" + QByteArray(120, '\x82').replace('\x82', "\x82\xa0"),
     QString(100, u'x') + u"||"_qs + QString(100, u'あ') + u"|0"_qs},
    {"lower case, indented names", "pop3=p\r\n SMTP=s\r\n", u"|||0"_qs},
    {"empty later line wins", "POP3=first\r\nPOP3=\r\n", u"|||0"_qs},
    {"other lines skipped", "[EXEINI]\r\n\r\n; x\r\nPOP\r\nPOP3=p\r\n", u"p|||0"_qs},
    {"broken multibyte", "SMTP=\x82\r\nPOP3=p\r\n", u"p|\uFFFD||0"_qs},
    {"APOP too large", "APOP=99999", u"|||32767"_qs},
    {"APOP too small", "APOP=-1e30", u"|||-32768"_qs},
};

// Paths NAME cannot hold (not in code page 932, a line break, over 255 bytes) read back whole; an
// older version sees no mail program. Whether NAME holds the path itself.
const std::tuple<const char*, QString, bool> kMailerPaths[]{
    {"code page 932, ℃", u"/home/u/メール℃/mailer"_qs, true},
    {"blank around", u" /opt/m "_qs, true},
    {"é", u"/home/u/Café/mailer"_qs, false},
    {"WAVE DASH", u"/home/u/〜/m"_qs, false},
    {"percent and é", u"/home/u/100%25 é /m"_qs, false},
    {"line break", u"/home/u/a\nb"_qs, false},
    {"300 bytes", u"/"_qs + QString(299, u'x'), false},
};

// The lines of ★MailData/ini.ini after its section head (empty: no file), and the path read.
const QByteArray kNotSet = "NAME=\x96\xa2\x90\xdd\x92\xe8\r\n";
const std::tuple<const char*, QByteArray, QString> kMailerFiles[]{
    {"older file", "NAME=/usr/bin/m\r\n", u"/usr/bin/m"_qs},
    {"no file", {}, u"未設定"_qs},
    {"ours", kNotSet + "NAME_UTF8=/Caf%C3%A9\r\n", u"/Café"_qs},
    {"older version chose later", "NAME=/usr/bin/m\r\nNAME_UTF8=/Caf%C3%A9\r\n", u"/usr/bin/m"_qs},
    {"NAME gone", "NAME_UTF8=/Caf%C3%A9\r\n", u"未設定"_qs},
    {"not UTF-8", kNotSet + "NAME_UTF8=/Caf%E9\r\n", u"未設定"_qs},
    {"not percent-encoded", kNotSet + "NAME_UTF8=/\x82\xa0\r\n", u"未設定"_qs},
    {"empty", kNotSet + "NAME_UTF8=\r\n", u"未設定"_qs},
};

} // namespace

class TestSettingsStore : public QObject {
    Q_OBJECT
private:
    std::unique_ptr<brindle::testing::TempAppFolder> m_dir;

private Q_SLOTS:
    void init() { QVERIFY(brindle::testing::renewFolder(m_dir)); }

    void save() {
        // Always the four lines, even with nothing set, over whatever the file held.
        QVERIFY(m_dir->write(u"kestro.ini"_qs, "stale content that must go\r\n\r\n\r\n\r\n\r\n"));
        QVERIFY(saveServerSettings(ServerSettings{}));
        QCOMPARE(m_dir->read(u"kestro.ini"_qs), QByteArray("SMTP=\r\nPOP3=\r\nMAIL=\r\nAPOP=0\r\n"));
        QVERIFY(saveServerSettings(
            ServerSettings{u"pop.example.jp"_qs, u"smtp.example.jp"_qs, u"太郎@example.jp"_qs, 1}));
        QCOMPARE(m_dir->read(u"kestro.ini"_qs),
                 QByteArray("SMTP=smtp.example.jp\r\nPOP3=pop.example.jp\r\nMAIL="
                            "\x91\xbe\x98\x59@example.jp\r\nAPOP=1\r\n"));
        // A line break in a value cannot add a line to the file.
        QVERIFY(saveServerSettings(ServerSettings{u"a\r\nAPOP=1"_qs, {}, {}, 0}));
        QCOMPARE(m_dir->read(u"kestro.ini"_qs), QByteArray("SMTP=\r\nPOP3=a  APOP=1\r\nMAIL=\r\nAPOP=0\r\n"));
    }

    void load_data() { indexRows(kLoads); }
    void load() {
        QFETCH(int, row);
        const auto& [name, file, expected] = kLoads[row];
        QVERIFY(m_dir->write(u"kestro.ini"_qs, file));
        ServerSettings s;
        QVERIFY(loadServerSettings(s));
        QCOMPARE(text(s), expected);
    }

    void loadKeepsValuesTheFileLacks() {
        QVERIFY(writeFile(serverSettingsPath(), "POP3=new\r\n"));
        ServerSettings s{u"old"_qs, u"smtp"_qs, u"mail"_qs, 1};
        QVERIFY(loadServerSettings(s));
        QCOMPARE(text(s), u"new|smtp|mail|1"_qs);
        // Without the file nothing changes, and no file is made.
        QVERIFY(QFile::remove(serverSettingsPath()) && !loadServerSettings(s));
        QCOMPARE(text(s), u"new|smtp|mail|1"_qs);
        QVERIFY(!QFile::exists(serverSettingsPath()));
    }

    void saveFailures() {
        QVERIFY(!saveServerSettings(ServerSettings{}, m_dir->path(u"missing/kestro.ini"_qs)));
        const QByteArray before = "SMTP=\r\nPOP3=old\r\nMAIL=\r\nAPOP=0\r\n";
        QVERIFY(writeFile(serverSettingsPath(), before));
        {
            brindle::testing::FileSizeLimit limit(static_cast<rlim_t>(before.size()));
            QVERIFY(limit.active() && !saveServerSettings(ServerSettings{QString(200, u'p'), {}, {}, 0}));
        }
        QCOMPARE(readFile(serverSettingsPath()), before);
        QCOMPARE(QDir(m_dir->path()).entryList(QDir::Files), QStringList{u"kestro.ini"_qs});
    }

    void mailerPath_data() { indexRows(kMailerPaths); }
    void mailerPath() {
        QFETCH(int, row);
        const auto& [name, path, plain] = kMailerPaths[row];
        const GeneralSettingsFile general;
        const auto oldView = [&] {
            return getProfileString(u"EXEINI"_qs, u"NAME"_qs, {}, general.path()).value;
        };
        QVERIFY(general.writeMailerPath(path));
        QCOMPARE(general.readMailerPath(), path);
        QCOMPARE(oldView(), plain ? path : u"未設定"_qs);
        // An older version writes back what it read and keeps the path; choosing a mail program wins.
        QVERIFY(writeProfileString(u"EXEINI"_qs, u"NAME"_qs, oldView(), general.path()));
        QCOMPARE(general.readMailerPath(), path);
        QVERIFY(writeProfileString(u"EXEINI"_qs, u"NAME"_qs, u"/usr/bin/old"_qs, general.path()));
        QCOMPARE(general.readMailerPath(), u"/usr/bin/old"_qs);
        // Set again, and then unset: no stale path comes back.
        QVERIFY(general.writeMailerPath(path) && general.writeMailerPath(u"未設定"_qs));
        QCOMPARE(general.readMailerPath(), u"未設定"_qs);
    }

    void mailerPathFromFile_data() { indexRows(kMailerFiles); }
    void mailerPathFromFile() {
        QFETCH(int, row);
        const auto& [name, file, path] = kMailerFiles[row];
        if (!file.isEmpty())
            QVERIFY(m_dir->write(u"★MailData/ini.ini"_qs, "[EXEINI]\r\n" + file));
        QCOMPARE(GeneralSettingsFile().readMailerPath(), path);
    }

    // The account's and the server's refusal (a part; empty: accepted); the server file refuses too.
    void unstorableValues_data() {
        QTest::addColumn<QString>("value");
        QTest::addColumn<QString>("account");
        QTest::addColumn<QString>("server");
        QTest::newRow("℃ and kana") << u"℃メール"_qs << QString() << QString();
        for (const QString& c : {u"é"_qs, u"😀"_qs, u"한"_qs, u"〜"_qs}) {
            const char32_t code = QStringView(c).toUcs4().front();
            const QString shown =
                u"「%1」(U+%2)"_qs.arg(c, QString::number(uint(code), 16).toUpper().rightJustified(4, u'0'));
            QTest::newRow(qPrintable(shown)) << u"ab"_qs + c + u"cd"_qs << shown << shown;
        }
        QTest::newRow("no-break space shown by its code")
            << u"a\u00a0b"_qs << u"文字 U+00A0 が"_qs << u"文字 U+00A0 が"_qs;
        QTest::newRow("101 characters") << QString(101, u'h') << QString() << u"100文字まで"_qs;
        QTest::newRow("256 bytes") << QString(128, u'あ') << u"半角で255文字"_qs << u"100文字まで"_qs;
    }
    void unstorableValues() {
        QFETCH(QString, value);
        QFETCH(QString, account);
        QFETCH(QString, server);
        for (const auto& [field, want, got] :
             {std::tuple{u"ID"_qs, account, profileValueRefusal(u"ID"_qs, value)},
              {u"POP3サーバー名"_qs, server, serverValueRefusal(u"POP3サーバー名"_qs, value)}}) {
            QCOMPARE(got.isEmpty(), want.isEmpty());
            QVERIFY2(want.isEmpty() || (got.startsWith(field) && got.contains(want)), qPrintable(got));
        }
        // The rows whose message names a character: never written as "?".
        const bool holds = !server.contains(u"U+");
        const QByteArray before = "SMTP=\r\nPOP3=old\r\nMAIL=\r\nAPOP=0\r\n";
        QVERIFY(writeFile(serverSettingsPath(), before));
        for (int field = 0; field < 3; ++field) {
            ServerSettings s;
            (field == 0 ? s.smtpServer : field == 1 ? s.pop3Server : s.mailAddress) = value;
            QCOMPARE(saveServerSettings(s), holds);
            if (!holds)
                QCOMPARE(readFile(serverSettingsPath()), before);
        }
    }

    void accountFile() {
        const AccountFile account;
        const QString path = m_dir->path(u"★MailData/iniIdPass.ini"_qs);
        QCOMPARE(account.read().id, QString());
        QVERIFY(account.saveAccount(u"user"_qs, u"p@ss word"_qs));
        QCOMPARE(readFile(path), QByteArray("[EXEINI]\r\nNAME=user\r\nNAME2=p@ss word\r\nNAME3=1\r\n"));
        QCOMPARE(modeOf(path), 0600);
        QCOMPARE(account.read().password, u"p@ss word"_qs);
        // A wider file is narrowed by the next rewrite; marking not saved keeps the stored account.
        QVERIFY(QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                                QFileDevice::ReadGroup | QFileDevice::ReadOther));
        QVERIFY(account.markNotSaved());
        QCOMPARE(modeOf(path), 0600);
        QCOMPARE(readFile(path), QByteArray("[EXEINI]\r\nNAME=user\r\nNAME2=p@ss word\r\nNAME3=0\r\n"));
        QCOMPARE(account.read().id, u"user"_qs);
        QVERIFY(QFile::remove(path) && account.markNotSaved());
        QCOMPARE(modeOf(path), 0600);
    }
};

QTEST_GUILESS_MAIN(TestSettingsStore)
#include "tst_settingsstore.moc"
