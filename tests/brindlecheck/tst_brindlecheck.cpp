// brindle-check as scripts see it: exit codes, output lines, and what reaches the server.
#include "fakepop3/FakePop3Server.h"
#include "keywords/KeywordFile.h"
#include "platform/AppFolder.h"
#include "settings/SettingsStore.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>

using namespace brindle;
using namespace brindle::fake;
using namespace Qt::StringLiterals;

namespace {

struct Result {
    int exitCode = -1;
    QStringList out;
    QString err;
};

QByteArray mail(const QByteArray& subject, const QByteArray& body) {
    return "From: someone@example.com\r\nSubject: " + subject +
           "\r\nMIME-Version: 1.0\r\n"
           "Content-Type: text/plain; charset=UTF-8\r\nContent-Transfer-Encoding: 8bit\r\n\r\n" +
           body + "\r\n";
}

} // namespace

class TestBrindleCheck : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> dir;

    // An application folder with the given server, account, rule and keywords.
    void makeFolder(const QString& server, const QString& id = "user", const QString& password = "secret",
                    const QString& rule = "1", const QStringList& keywords = {"junk"}) {
        dir = std::make_unique<QTemporaryDir>();
        QDir(dir->path()).mkdir(u"★MailData"_s);
        QDir(dir->path()).mkdir(u"添付フォルダ"_s);
        setApplicationFolder(dir->path());
        if (!server.isNull()) {
            ServerSettings s;
            s.pop3Server = server;
            QVERIFY(saveServerSettings(s));
        }
        if (!id.isEmpty()) {
            QVERIFY(AccountFile().saveAccount(id, password));
        }
        QVERIFY(GeneralSettingsFile().write("NUMBER6", rule));
        QFile f(keywordFilePath());
        QVERIFY(f.open(QIODevice::WriteOnly));
        for (const QString& k : keywords) {
            f.write(encodeKeywordRecord(k));
        }
    }

    Result runCheck(const QStringList& extra = {}) {
        QProcess p;
        QStringList args{"--app-folder", dir ? dir->path() : QString("/nonexistent")};
        args += extra;
        p.start(QStringLiteral(BRINDLE_CHECK), args);
        if (!p.waitForFinished(60000)) {
            p.kill();
            p.waitForFinished();
            return {};
        }
        Result r;
        r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
        r.out = QString::fromUtf8(p.readAllStandardOutput()).split(u'\n', Qt::SkipEmptyParts);
        r.err = QString::fromUtf8(p.readAllStandardError());
        return r;
    }

    static FakePop3Options options(QList<QByteArray> messages) {
        FakePop3Options o;
        o.messages = std::move(messages);
        o.users = {{"user", "secret"}};
        return o;
    }

private Q_SLOTS:
    void help() {
        QProcess p;
        p.start(QStringLiteral(BRINDLE_CHECK), {"--help"});
        QVERIFY(p.waitForFinished(30000));
        QCOMPARE(p.exitCode(), 0);
        const QString text = QString::fromUtf8(p.readAllStandardOutput());
        QVERIFY(text.contains("--dry-run"));
        QVERIFY(text.contains("Exit status"));
    }

    void usageAndSettings_data() {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<bool>("server");
        QTest::addColumn<bool>("account");
        QTest::addColumn<QString>("complaint");
        QTest::newRow("unknown option") << QStringList{"--frobnicate"} << true << true << "--frobnicate";
        QTest::newRow("no server") << QStringList{} << false << true << "POP3";
        QTest::newRow("no account") << QStringList{} << true << false << "account";
    }
    void usageAndSettings() {
        QFETCH(QStringList, args);
        QFETCH(bool, server);
        QFETCH(bool, account);
        QFETCH(QString, complaint);
        makeFolder(server ? "127.0.0.1:1" : QString(), account ? "user" : "");
        const Result r = runCheck(args);
        QCOMPARE(r.exitCode, 1);
        QVERIFY(r.out.isEmpty());
        QVERIFY2(r.err.contains(complaint), qPrintable(r.err));
    }

    void missingFolder() {
        dir.reset();
        QCOMPARE(runCheck().exitCode, 1);
    }

    void catchesAndDeletes() {
        FakePop3Server server(
            options({mail("junk offer", "x"), mail("hello", "junk inside"), mail("hi", "fine")}));
        QVERIFY(server.start());
        makeFolder(server.address());
        const Result r = runCheck();
        QCOMPARE(r.exitCode, 0);
        QCOMPARE(r.out, (QStringList{u"1\t件名\tjunk offer"_s, u"2\t本文\thello"_s,
                                     "messages: 3, deleted: 2, new: 1"}));
        QCOMPARE(server.deletedAtQuit(), (QList<int>{1, 2}));
        QCOMPARE(server.mailbox().size(), 1);
    }

    void dryRunDeletesNothing() {
        FakePop3Server server(options({mail("junk offer", "x"), mail("hi", "fine")}));
        QVERIFY(server.start());
        makeFolder(server.address());
        const Result r = runCheck({"--dry-run"});
        QCOMPARE(r.exitCode, 0);
        QCOMPARE(r.out, (QStringList{u"1\t件名\tjunk offer"_s, "messages: 2, deleted: 0, new: 2"}));
        QCOMPARE(server.stats().commandCounts.value("DELE"), 0);
        QCOMPARE(server.mailbox().size(), 2);
    }

    void noRuleDeletesNothing() {
        FakePop3Server server(options({mail("junk offer", "x")}));
        QVERIFY(server.start());
        makeFolder(server.address(), "user", "secret", "0");
        const Result r = runCheck();
        QCOMPARE(r.exitCode, 0);
        QCOMPARE(r.out, QStringList{"messages: 1, deleted: 0, new: 1"});
        QVERIFY(r.err.contains("NUMBER6"));
        QCOMPARE(server.mailbox().size(), 1);
    }

    void sizeLimitNotSet() {
        FakePop3Server server(options({mail("a", QByteArray(5000, 'x'))}));
        QVERIFY(server.start());
        makeFolder(server.address(), "user", "secret", "4");
        const Result r = runCheck();
        QCOMPARE(r.exitCode, 0);
        QCOMPARE(r.out, QStringList{"messages: 1, deleted: 0, new: 1"});
        QVERIFY(r.err.contains(u"バイト以上で削除"_s));

        GeneralSettingsFile().write("NAME2", "1000");
        const Result again = runCheck();
        QCOMPARE(again.out, (QStringList{u"1\tファイルサイズ\ta"_s, "messages: 1, deleted: 1, new: 0"}));
    }

    void failures_data() {
        QTest::addColumn<QString>("fault");
        QTest::addColumn<int>("exitCode");
        QTest::newRow("no connection") << "closed" << 2;
        QTest::newRow("login refused") << "login" << 3;
        QTest::newRow("lost at QUIT") << "quit" << 4;
    }
    void failures() {
        QFETCH(QString, fault);
        QFETCH(int, exitCode);
        FakePop3Options o = options({mail("junk", "x")});
        o.refuseLogin = fault == "login";
        o.dropAtQuit = fault == "quit";
        FakePop3Server server(o);
        QVERIFY(server.start());
        QString address = server.address();
        if (fault == "closed") {
            QTcpServer probe;
            QVERIFY(probe.listen(QHostAddress::LocalHost));
            address = QStringLiteral("127.0.0.1:%1").arg(probe.serverPort());
        }
        makeFolder(address);
        const Result r = runCheck();
        QCOMPARE(r.exitCode, exitCode);
        QVERIFY(!r.err.isEmpty());
        QVERIFY(!r.err.contains("secret"));
        if (fault == "quit") {
            QCOMPARE(server.mailbox().size(), 1);
            QVERIFY(r.out.last().startsWith("messages: 1, deleted: 0"));
        }
    }
};

QTEST_GUILESS_MAIN(TestBrindleCheck)
#include "tst_brindlecheck.moc"
