#include "settings/SettingsStore.h"
#include "support/FileSizeLimit.h"
#include "support/TestFiles.h"

#include <QTest>
#include <sys/stat.h>

using namespace brindle;
using brindle::testing::readFile;
using brindle::testing::writeFile;

namespace {

unsigned modeOf(const QString& path) {
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return 0xFFFF;
    return st.st_mode & 07777;
}

// The four values as "pop3|smtp|mail|apop".
QString text(const ServerSettings& s) {
    return QStringList{s.pop3Server, s.smtpServer, s.mailAddress, QString::number(s.useApop)}.join(u'|');
}

} // namespace

class TestSettingsStore : public QObject {
    Q_OBJECT
private:
    std::unique_ptr<brindle::testing::TempAppFolder> m_dir;

private Q_SLOTS:
    void init() {
        m_dir.reset();
        m_dir = std::make_unique<brindle::testing::TempAppFolder>();
        QVERIFY(m_dir->isValid());
    }

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

    void load_data() {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<QString>("expected");
        QTest::newRow("mixed line ends") << QByteArray("SMTP=s\nPOP3=p\rMAIL=m\r\nAPOP=1") << u"p|s|m|1"_qs;
        QTest::newRow("any order") << QByteArray("APOP=1\r\nMAIL=m\r\nPOP3=p\r\n") << u"p||m|1"_qs;
        QTest::newRow("value kept as written") << QByteArray("POP3= p \r\n") << u" p |||0"_qs;
        QTest::newRow("cut at 100 characters, not bytes")
            << "POP3=" + QByteArray(150, 'x') +
                   "\r\nMAIL=" + QByteArray(120, '\x82').replace('\x82', "\x82\xa0")
            << QString(100, u'x') + u"||"_qs + QString(100, u'あ') + u"|0"_qs;
        QTest::newRow("lower case, indented names") << QByteArray("pop3=p\r\n SMTP=s\r\n") << u"|||0"_qs;
        QTest::newRow("empty later line wins") << QByteArray("POP3=first\r\nPOP3=\r\n") << u"|||0"_qs;
        QTest::newRow("other lines skipped")
            << QByteArray("[EXEINI]\r\n\r\n; x\r\nPOP\r\nPOP3=p\r\n") << u"p|||0"_qs;
        QTest::newRow("broken multibyte") << QByteArray("SMTP=\x82\r\nPOP3=p\r\n") << u"p|\uFFFD||0"_qs;
        QTest::newRow("APOP too large") << QByteArray("APOP=99999") << u"|||32767"_qs;
        QTest::newRow("APOP too small") << QByteArray("APOP=-1e30") << u"|||-32768"_qs;
    }

    void load() {
        QFETCH(QByteArray, file);
        QFETCH(QString, expected);
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
        QVERIFY(QFile::remove(serverSettingsPath()));
        QVERIFY(!loadServerSettings(s));
        QCOMPARE(text(s), u"new|smtp|mail|1"_qs);
        QVERIFY(!QFile::exists(serverSettingsPath()));
    }

    void saveFailures() {
        QVERIFY(!saveServerSettings(ServerSettings{}, m_dir->path(u"missing/kestro.ini"_qs)));
        const QByteArray before = "SMTP=\r\nPOP3=old\r\nMAIL=\r\nAPOP=0\r\n";
        QVERIFY(writeFile(serverSettingsPath(), before));
        {
            brindle::testing::FileSizeLimit limit(static_cast<rlim_t>(before.size()));
            QVERIFY(limit.active());
            QVERIFY(!saveServerSettings(ServerSettings{QString(200, u'p'), {}, {}, 0}));
        }
        QCOMPARE(readFile(serverSettingsPath()), before);
        QCOMPARE(QDir(m_dir->path()).entryList(QDir::Files), QStringList{u"kestro.ini"_qs});
    }

    void accountFile() {
        const AccountFile account;
        const QString path = m_dir->path(u"★MailData/iniIdPass.ini"_qs);
        QCOMPARE(account.read().id, QString());
        QVERIFY(account.saveAccount(u"user"_qs, u"p@ss word"_qs));
        QCOMPARE(readFile(path), QByteArray("[EXEINI]\r\nNAME=user\r\nNAME2=p@ss word\r\nNAME3=1\r\n"));
        QCOMPARE(modeOf(path), 0600u);
        QCOMPARE(account.read().password, u"p@ss word"_qs);
        // A file made elsewhere with wider permissions is narrowed by the next rewrite, and marking the
        // account not saved keeps the stored one.
        QVERIFY(QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                                QFileDevice::ReadGroup | QFileDevice::ReadOther));
        QVERIFY(account.markNotSaved());
        QCOMPARE(modeOf(path), 0600u);
        QCOMPARE(readFile(path), QByteArray("[EXEINI]\r\nNAME=user\r\nNAME2=p@ss word\r\nNAME3=0\r\n"));
        QCOMPARE(account.read().id, u"user"_qs);
        QVERIFY(QFile::remove(path));
        QVERIFY(account.markNotSaved());
        QCOMPARE(modeOf(path), 0600u);
    }
};

QTEST_GUILESS_MAIN(TestSettingsStore)
#include "tst_settingsstore.moc"
