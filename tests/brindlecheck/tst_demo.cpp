// The demo as ./run shows it; each rule must keep catching the sample mails the demo is about.
#include "settings/SettingsStore.h"
#include "support/ProgramRun.h"
#include "support/TestFiles.h"

#include <QProcess>
#include <QTest>

using namespace Qt::StringLiterals;
using namespace brindle::testing;

class TestDemo : public QObject {
    Q_OBJECT

    QProcess server;
    TempAppFolder folder;

private Q_SLOTS:
    void initTestCase() {
        QVERIFY(folder.isValid());
        const QString settings = QStringLiteral(DEMO_ASSETS "/appfolder-settings/");
        for (const QString& file :
             {u"★MailData/ini.ini"_s, u"★MailData/iniIdPass.ini"_s, u"★MailData/Kstdata50.data"_s})
            QVERIFY(folder.write(file, readFile(settings + file)));
        server.start(QStringLiteral(DEMO_POP3D),
                     {"--mails", QStringLiteral(DEMO_ASSETS "/mails"), "--seconds", "120"});
        QVERIFY(server.waitForStarted());
        QByteArray port;
        while (port.isEmpty() && server.waitForReadyRead(10000)) {
            while (server.canReadLine()) {
                if (const QByteArray line = server.readLine().trimmed(); line.startsWith("port: "))
                    port = line.mid(6);
            }
        }
        QVERIFY(!port.isEmpty());
        brindle::ServerSettings s;
        s.pop3Server = QStringLiteral("127.0.0.1:") + QString::fromLatin1(port);
        QVERIFY(brindle::saveServerSettings(s));
    }
    void cleanupTestCase() {
        server.terminate(); // SIGTERM: the server stops at once
        QVERIFY(server.waitForFinished(10000));
    }

    void eachRule_data() {
        QTest::addColumn<QString>("rule");
        QTest::addColumn<QStringList>("caught");
        // 11 mails in file-name order; the large one is made by the demo script only.
        QTest::newRow("keyword") << "1"
                                 << QStringList{u"2\t件名"_s, u"3\t本文"_s, u"5\tアドレス"_s, u"6\t件名"_s};
        QTest::newRow("html") << "6" << QStringList{"8\tHTML", "9\thtml"};
        QTest::newRow("size") << "4" << QStringList{};
        QTest::newRow("no hiragana") << "5"
                                     << QStringList{u"6\tひらがな"_s, u"7\tひらがな"_s, u"8\tひらがな"_s,
                                                    u"10\tひらがな"_s};
    }
    void eachRule() {
        QFETCH(QString, rule);
        QVERIFY(brindle::GeneralSettingsFile().write("NUMBER6", rule));
        const ProgramRun r =
            runProgram(QStringLiteral(BRINDLE_CHECK), {"--app-folder", folder.path(), "--dry-run"});
        QVERIFY2(r.exitCode == 0 && !r.lines.isEmpty(), qPrintable(r.errors));
        QCOMPARE(r.lines.last(), "messages: 11, deleted: 0, new: 11");
        QStringList got;
        for (qsizetype i = 0; i + 1 < r.lines.size(); ++i)
            got << r.lines[i].section(u'\t', 0, 1);
        QTEST(got, "caught");
    }
};

QTEST_GUILESS_MAIN(TestDemo)
#include "tst_demo.moc"
