// The demo as ./run shows it: demo-pop3d serving the sample mails, brindle-check on the demo
// settings. Guards the samples: each rule must keep catching the mails the demo is about.
#include "support/ProgramRun.h"
#include "support/TestFiles.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;

class TestDemo : public QObject {
    Q_OBJECT

    QProcess server;
    QTemporaryDir folder;
    quint16 port = 0;

    static bool copyTree(const QString& from, const QString& to) {
        QDirIterator it(from, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString path = it.next();
            const QString target = to + u'/' + QDir(from).relativeFilePath(path);
            QDir().mkpath(QFileInfo(target).path());
            if (!QFile::copy(path, target)) {
                return false;
            }
        }
        return true;
    }

    QStringList check(const QByteArray& rule) {
        const QString ini = folder.path() + u"/★MailData/ini.ini"_s;
        QByteArray text = brindle::testing::readFile(ini);
        const qsizetype at = text.indexOf("NUMBER6=");
        if (at < 0 || !brindle::testing::writeFile(
                          ini, text.replace(at, text.indexOf('\r', at) - at, "NUMBER6=" + rule))) {
            return {};
        }
        const auto r = brindle::testing::runProgram(QStringLiteral(BRINDLE_CHECK),
                                                    {"--app-folder", folder.path(), "--dry-run"});
        return r.exitCode == 0 ? r.lines : QStringList{QStringLiteral("failed: ") + r.errors};
    }

private Q_SLOTS:
    void initTestCase() {
        QVERIFY(copyTree(QStringLiteral(DEMO_ASSETS "/appfolder-settings"), folder.path()));
        QDir(folder.path()).mkdir(u"添付フォルダ"_s);
        server.start(QStringLiteral(DEMO_POP3D),
                     {"--mails", QStringLiteral(DEMO_ASSETS "/mails"), "--seconds", "120"});
        QVERIFY(server.waitForStarted());
        while (port == 0 && server.waitForReadyRead(10000)) {
            while (server.canReadLine()) {
                const QByteArray line = server.readLine().trimmed();
                if (line.startsWith("port: ")) {
                    port = line.mid(6).toUShort();
                }
            }
        }
        QVERIFY(port != 0);
        QFile kestro(folder.path() + "/kestro.ini");
        QVERIFY(kestro.open(QIODevice::WriteOnly | QIODevice::Truncate));
        kestro.write("SMTP=\r\nPOP3=127.0.0.1:" + QByteArray::number(port) + "\r\nMAIL=\r\nAPOP=0\r\n");
    }
    void cleanupTestCase() {
        server.terminate(); // SIGTERM: the server stops at once
        QVERIFY(server.waitForFinished(10000));
    }

    void eachRule_data() {
        QTest::addColumn<QByteArray>("rule");
        QTest::addColumn<QStringList>("caught");
        // 11 mails in file-name order; the large one is made by the demo script only.
        QTest::newRow("keyword") << QByteArray("1")
                                 << QStringList{u"2\t件名"_s, u"3\t本文"_s, u"5\tアドレス"_s, u"6\t件名"_s};
        QTest::newRow("html") << QByteArray("6") << QStringList{"8\tHTML", "9\thtml"};
        QTest::newRow("size") << QByteArray("4") << QStringList{};
        QTest::newRow("no hiragana") << QByteArray("5")
                                     << QStringList{u"6\tひらがな"_s, u"7\tひらがな"_s, u"8\tひらがな"_s,
                                                    u"10\tひらがな"_s};
    }
    void eachRule() {
        QFETCH(QByteArray, rule);
        QFETCH(QStringList, caught);
        const QStringList lines = check(rule);
        QVERIFY2(!lines.isEmpty(), "no output");
        QCOMPARE(lines.last(), "messages: 11, deleted: 0, new: 11");
        QStringList got;
        for (qsizetype i = 0; i + 1 < lines.size(); ++i) {
            got << lines[i].section(u'\t', 0, 1);
        }
        QCOMPARE(got, caught);
    }
};

QTEST_GUILESS_MAIN(TestDemo)
#include "tst_demo.moc"
