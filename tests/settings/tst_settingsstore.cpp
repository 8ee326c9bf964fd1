#include "settings/SettingsStore.h"
#include "support/FileSizeLimit.h"
#include "support/TestFiles.h"

#include <QTest>
#include <sys/stat.h>

using namespace brindle;
using brindle::testing::readFile;
using brindle::testing::writeFile;

Q_DECLARE_METATYPE(brindle::ServerSettings)

namespace {

unsigned modeOf(const QString& path) {
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return 0xFFFF;
    return st.st_mode & 07777;
}

ServerSettings server(const QString& pop3, const QString& smtp, const QString& mail, std::int16_t apop) {
    ServerSettings s;
    s.pop3Server = pop3;
    s.smtpServer = smtp;
    s.mailAddress = mail;
    s.useApop = apop;
    return s;
}

} // namespace

class TestSettingsStore : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void init();
    void pathsResolveUnderTheApplicationFolder();
    void save();
    void load_data();
    void load();
    void loadKeepsValuesTheFileLacks();
    void saveFailures();
    void generalFileWithoutDataFolder();
    void accountFile();

private:
    std::unique_ptr<brindle::testing::TempAppFolder> m_dir;
    QString m_data; // the data folder
};

void TestSettingsStore::init() {
    m_dir.reset();
    m_dir = std::make_unique<brindle::testing::TempAppFolder>();
    QVERIFY(m_dir->isValid());
    m_data = m_dir->dataFolder();
}

void TestSettingsStore::pathsResolveUnderTheApplicationFolder() {
    QCOMPARE(serverSettingsPath(), m_dir->path(u"kestro.ini"_qs));
    QCOMPARE(generalSettingsPath(), m_data + u"/ini.ini"_qs);
    QCOMPARE(accountSettingsPath(), m_data + u"/iniIdPass.ini"_qs);
    // Files that exist under another letter case are found.
    QVERIFY(writeFile(m_data + u"/INI.INI"_qs, "[EXEINI]\r\nNUMBER=1\r\n"));
    QCOMPARE(generalSettingsPath(), m_data + u"/INI.INI"_qs);
    QCOMPARE(GeneralSettingsFile().readInt(u"NUMBER"_qs), 1);
}

void TestSettingsStore::save() {
    // Always the four lines, even with nothing set (the dialog's own round trip is in the ui tests).
    QVERIFY(saveServerSettings(ServerSettings{}));
    QCOMPARE(readFile(serverSettingsPath()), QByteArray("SMTP=\r\nPOP3=\r\nMAIL=\r\nAPOP=0\r\n"));
    const QString path = m_dir->path(u"kestro.ini"_qs);
    QVERIFY(writeFile(path, "stale content that must go\r\n\r\n\r\n\r\n\r\n"));
    QVERIFY(saveServerSettings(server(u"pop.example.jp"_qs, u"smtp.example.jp"_qs, u"太郎@example.jp"_qs, 1),
                               path));
    QCOMPARE(readFile(path), QByteArray("SMTP=smtp.example.jp\r\nPOP3=pop.example.jp\r\nMAIL=\x91\xbe\x98\x59"
                                        "@example.jp\r\nAPOP=1\r\n"));
    // A line break in a value cannot add a line to the file.
    QVERIFY(saveServerSettings(server(u"a\r\nAPOP=1"_qs, {}, {}, 0), path));
    QCOMPARE(readFile(path), QByteArray("SMTP=\r\nPOP3=a  APOP=1\r\nMAIL=\r\nAPOP=0\r\n"));
}

void TestSettingsStore::load_data() {
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<ServerSettings>("expected");
    const QString v100 = QString(100, u'x');
    QTest::newRow("as saved") << QByteArray("SMTP=s\r\nPOP3=p\r\nMAIL=m\r\nAPOP=1\r\n")
                              << server(u"p"_qs, u"s"_qs, u"m"_qs, 1);
    QTest::newRow("LF only") << QByteArray("SMTP=s\nPOP3=p\nMAIL=m\nAPOP=1\n")
                             << server(u"p"_qs, u"s"_qs, u"m"_qs, 1);
    QTest::newRow("CR only") << QByteArray("SMTP=s\rPOP3=p\rMAIL=m\rAPOP=1\r")
                             << server(u"p"_qs, u"s"_qs, u"m"_qs, 1);
    QTest::newRow("no final line end") << QByteArray("POP3=p") << server(u"p"_qs, {}, {}, 0);
    QTest::newRow("any order") << QByteArray("APOP=1\r\nMAIL=m\r\nPOP3=p\r\n")
                               << server(u"p"_qs, {}, u"m"_qs, 1);
    QTest::newRow("value kept as written") << QByteArray("POP3= p \r\n") << server(u" p "_qs, {}, {}, 0);
    QTest::newRow("100-character cut") << "POP3=" + QByteArray(150, 'x') + "\r\n" << server(v100, {}, {}, 0);
    QTest::newRow("100 full-width characters")
        << "MAIL=" + QByteArray(120, '\x82').replace('\x82', "\x82\xa0") + "\r\n"
        << server({}, {}, QString(100, u'あ'), 0);
    QTest::newRow("lower case prefix ignored") << QByteArray("pop3=p\r\n") << server({}, {}, {}, 0);
    QTest::newRow("leading blank ignored") << QByteArray(" POP3=p\r\n") << server({}, {}, {}, 0);
    QTest::newRow("later line wins") << QByteArray("POP3=first\r\nPOP3=second\r\n")
                                     << server(u"second"_qs, {}, {}, 0);
    QTest::newRow("empty later line wins") << QByteArray("POP3=first\r\nPOP3=\r\n") << server({}, {}, {}, 0);
    QTest::newRow("other lines skipped")
        << QByteArray("[EXEINI]\r\n\r\n; x\r\nPOP\r\nPOP3=p\r\n") << server(u"p"_qs, {}, {}, 0);
    QTest::newRow("code page 932") << QByteArray("MAIL=\x82\xa0@x\r\n") << server({}, {}, u"あ@x"_qs, 0);
    QTest::newRow("broken multibyte keeps next line")
        << QByteArray("SMTP=\x82\r\nPOP3=p\r\n") << server(u"p"_qs, u"\uFFFD"_qs, {}, 0);
    QTest::newRow("APOP 2.5 to even") << QByteArray("APOP=2.5") << server({}, {}, {}, 2);
    QTest::newRow("APOP not a number") << QByteArray("APOP=yes") << server({}, {}, {}, 0);
    QTest::newRow("APOP blanks ignored") << QByteArray("APOP= 1") << server({}, {}, {}, 1);
    QTest::newRow("APOP too large") << QByteArray("APOP=99999") << server({}, {}, {}, 32767);
    QTest::newRow("APOP too small") << QByteArray("APOP=-1e30") << server({}, {}, {}, -32768);
}

void TestSettingsStore::load() {
    QFETCH(QByteArray, file);
    QFETCH(ServerSettings, expected);
    QVERIFY(writeFile(serverSettingsPath(), file));
    ServerSettings s;
    QVERIFY(loadServerSettings(s));
    QCOMPARE(s.pop3Server, expected.pop3Server);
    QCOMPARE(s.smtpServer, expected.smtpServer);
    QCOMPARE(s.mailAddress, expected.mailAddress);
    QCOMPARE(s.useApop, expected.useApop);
}

void TestSettingsStore::loadKeepsValuesTheFileLacks() {
    QVERIFY(writeFile(serverSettingsPath(), "POP3=new\r\n"));
    ServerSettings s = server(u"old"_qs, u"smtp"_qs, u"mail"_qs, 1);
    QVERIFY(loadServerSettings(s));
    QCOMPARE(s.pop3Server, u"new"_qs);
    QCOMPARE(s.smtpServer, u"smtp"_qs);
    QCOMPARE(s.mailAddress, u"mail"_qs);
    QCOMPARE(s.useApop, std::int16_t(1));
    // Without the file nothing changes, and no file is made.
    QVERIFY(QFile::remove(serverSettingsPath()));
    QVERIFY(!loadServerSettings(s));
    QCOMPARE(s.pop3Server, u"new"_qs);
    QVERIFY(!QFile::exists(serverSettingsPath()));
}

void TestSettingsStore::saveFailures() {
    QVERIFY(!saveServerSettings(ServerSettings{}, m_dir->path(u"missing/kestro.ini"_qs)));
    const QByteArray before = "SMTP=\r\nPOP3=old\r\nMAIL=\r\nAPOP=0\r\n";
    QVERIFY(writeFile(serverSettingsPath(), before));
    {
        brindle::testing::FileSizeLimit limit(static_cast<rlim_t>(before.size()));
        QVERIFY(limit.active());
        QVERIFY(!saveServerSettings(server(QString(200, u'p'), {}, {}, 0)));
    }
    QCOMPARE(readFile(serverSettingsPath()), before);
    QCOMPARE(QDir(m_dir->path()).entryList(QDir::Files), QStringList{u"kestro.ini"_qs});
}

void TestSettingsStore::generalFileWithoutDataFolder() {
    // How values read and write is pinned in the profile test, and through the windows in the ui tests.
    const GeneralSettingsFile general;
    QCOMPARE(general.path(), generalSettingsPath());
    QVERIFY(general.write(u"NAME"_qs, u"x"_qs));
    QVERIFY(QDir(m_data).removeRecursively());
    QCOMPARE(general.readText(u"NAME"_qs, u"未設定"_qs), u"未設定"_qs);
    QVERIFY(!general.write(u"NAME"_qs, u"x"_qs));
    QVERIFY(!QDir(m_data).exists());
}

void TestSettingsStore::accountFile() {
    const AccountFile account;
    QCOMPARE(account.path(), accountSettingsPath());
    QCOMPARE(account.read().id, QString());
    QVERIFY(account.saveAccount(u"user"_qs, u"p@ss word"_qs));
    QCOMPARE(readFile(account.path()), QByteArray("[EXEINI]\r\nNAME=user\r\nNAME2=p@ss word\r\nNAME3=1\r\n"));
    QCOMPARE(modeOf(account.path()), 0600u);
    QCOMPARE(account.read().password, u"p@ss word"_qs);

    // A file made elsewhere with wider permissions is narrowed by the next rewrite, and marking the
    // account not saved keeps the stored one.
    QVERIFY(QFile::setPermissions(account.path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                                      QFileDevice::ReadGroup | QFileDevice::ReadOther));
    QCOMPARE(modeOf(account.path()), 0644u);
    QVERIFY(account.markNotSaved());
    QCOMPARE(modeOf(account.path()), 0600u);
    QCOMPARE(readFile(account.path()), QByteArray("[EXEINI]\r\nNAME=user\r\nNAME2=p@ss word\r\nNAME3=0\r\n"));
    QCOMPARE(account.read().id, u"user"_qs);
    QVERIFY(QFile::remove(account.path()));
    QVERIFY(account.markNotSaved());
    QCOMPARE(modeOf(account.path()), 0600u);

    // The file format trims values: a password ending in a blank loses it.
    QVERIFY(account.saveAccount(u"user"_qs, u"secret "_qs));
    QCOMPARE(account.read().password, u"secret"_qs);
}

QTEST_GUILESS_MAIN(TestSettingsStore)
#include "tst_settingsstore.moc"
