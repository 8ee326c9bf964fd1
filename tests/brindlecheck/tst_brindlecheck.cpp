// brindle-check as scripts see it: exit codes, output lines, and what reaches the server. Deleting,
// refused logins and every rule against a real server are in tests/dovecot.
#include "tools/fakepop3/FakePop3Server.h"
#include "platform/AppFolder.h"
#include "settings/SettingsStore.h"
#include "support/KeywordFileWriter.h"
#include "support/ProgramRun.h"
#include "support/TestFiles.h"

#include <QTest>

using namespace brindle;
using namespace brindle::fake;
using namespace brindle::testing;
using namespace Qt::StringLiterals;

namespace {

QByteArray mail(const QByteArray& subject, const QByteArray& body) {
    return "From: someone@example.com\r\nSubject: " + subject +
           "\r\nMIME-Version: 1.0\r\n"
           "Content-Type: text/plain; charset=UTF-8\r\nContent-Transfer-Encoding: 8bit\r\n\r\n" +
           body + "\r\n";
}

} // namespace

class TestBrindleCheck : public QObject {
    Q_OBJECT

    std::unique_ptr<TempAppFolder> dir;

    // An application folder with the given server, account, rule and keywords.
    void makeFolder(const QString& server, const QString& id = "user", const QString& password = "secret",
                    const QString& rule = "1", const QStringList& keywords = {"junk"}) {
        dir.reset();
        dir = std::make_unique<TempAppFolder>();
        QVERIFY(dir->isValid());
        if (!server.isNull()) {
            ServerSettings s;
            s.pop3Server = server;
            QVERIFY(saveServerSettings(s));
        }
        if (!id.isEmpty()) {
            QVERIFY(AccountFile().saveAccount(id, password));
        }
        QVERIFY(GeneralSettingsFile().write("NUMBER6", rule));
        QVERIFY(writeKeywords(keywords));
    }

    ProgramRun runCheck(const QStringList& extra = {}) {
        return runProgram(QStringLiteral(BRINDLE_CHECK),
                          QStringList{"--app-folder", dir ? dir->path() : QString("/nonexistent")} + extra);
    }

    static FakePop3Options options(QList<QByteArray> messages) {
        FakePop3Options o;
        o.messages = std::move(messages);
        o.users = {{"user", "secret"}};
        return o;
    }

private Q_SLOTS:
    void help() {
        const ProgramRun r = runProgram(QStringLiteral(BRINDLE_CHECK), {"--help"});
        QCOMPARE(r.exitCode, 0);
        QVERIFY(r.lines.join(u'\n').contains("--dry-run"));
        QVERIFY(r.lines.join(u'\n').contains("Exit status"));
    }

    void usageAndSettings_data() {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<bool>("server");
        QTest::addColumn<bool>("account");
        QTest::addColumn<QString>("complaint");
        QTest::newRow("unknown option") << QStringList{"--frobnicate"} << true << true << "--frobnicate";
        QTest::newRow("no server") << QStringList{} << false << true << "POP3";
        QTest::newRow("no account") << QStringList{} << true << false << "account";
        QTest::newRow("no application folder") << QStringList{} << false << false << "";
    }
    void usageAndSettings() {
        QFETCH(QStringList, args);
        QFETCH(bool, server);
        QFETCH(bool, account);
        QFETCH(QString, complaint);
        makeFolder(server ? "127.0.0.1:1" : QString(), account ? "user" : "");
        if (complaint.isEmpty()) {
            dir.reset();
        }
        const ProgramRun r = runCheck(args);
        QCOMPARE(r.exitCode, 1);
        QVERIFY(r.lines.isEmpty());
        QVERIFY2(!r.errors.isEmpty() && r.errors.contains(complaint), qPrintable(r.errors));
    }

    void dryRunDeletesNothing() {
        FakePop3Server server(options({mail("junk offer", "x"), mail("hi", "fine")}));
        QVERIFY(server.start());
        makeFolder(server.address());
        const ProgramRun r = runCheck({"--dry-run"});
        QCOMPARE(r.exitCode, 0);
        QCOMPARE(r.lines, (QStringList{u"1\t件名\tjunk offer"_s, "messages: 2, deleted: 0, new: 2"}));
        QCOMPARE(server.stats().commandCounts.value("DELE"), 0);
        QCOMPARE(server.mailbox().size(), 2);
    }

    void noRuleDeletesNothing() {
        FakePop3Server server(options({mail("junk offer", "x")}));
        QVERIFY(server.start());
        makeFolder(server.address(), "user", "secret", "0");
        const ProgramRun r = runCheck();
        QCOMPARE(r.exitCode, 0);
        QCOMPARE(r.lines, QStringList{"messages: 1, deleted: 0, new: 1"});
        QVERIFY(r.errors.contains("NUMBER6"));
        QCOMPARE(server.mailbox().size(), 1);
    }

    void sizeLimitNotSet() {
        FakePop3Server server(options({mail("a", QByteArray(5000, 'x'))}));
        QVERIFY(server.start());
        makeFolder(server.address(), "user", "secret", "4");
        const ProgramRun r = runCheck();
        QCOMPARE(r.exitCode, 0);
        QCOMPARE(r.lines, QStringList{"messages: 1, deleted: 0, new: 1"});
        QVERIFY(r.errors.contains(u"バイト以上で削除"_s));

        GeneralSettingsFile().write("NAME2", "1000");
        const ProgramRun again = runCheck();
        QCOMPARE(again.lines, (QStringList{u"1\tファイルサイズ\ta"_s, "messages: 1, deleted: 1, new: 0"}));
    }

    void failures_data() {
        QTest::addColumn<QString>("fault");
        QTest::addColumn<int>("exitCode");
        QTest::newRow("no connection") << "closed" << 2;
        QTest::newRow("login refused") << "login" << 3;
        QTest::newRow("lost during the login") << "PASS" << 2;
        QTest::newRow("lost at QUIT") << "quit" << 4;
    }
    void failures() {
        QFETCH(QString, fault);
        QFETCH(int, exitCode);
        FakePop3Options o = options({mail("junk", "x")});
        o.dropAtQuit = fault == "quit";
        o.refuseLogin = fault == "login";
        if (fault == "PASS")
            o.dropAtCommand = "PASS";
        FakePop3Server server(o);
        QVERIFY(server.start());
        QString address = server.address();
        if (fault == "closed") {
            address = QStringLiteral("127.0.0.1:%1").arg(closedLoopbackPort());
        }
        makeFolder(address);
        const ProgramRun r = runCheck();
        QCOMPARE(r.exitCode, exitCode);
        QVERIFY(!r.errors.isEmpty());
        QVERIFY(!r.errors.contains("secret"));
        if (fault != "closed") {
            QCOMPARE(server.mailbox().size(), 1);
        }
        if (fault == "quit") {
            QVERIFY(r.lines.last().startsWith("messages: 1, deleted: 0"));
        }
    }
};

QTEST_GUILESS_MAIN(TestBrindleCheck)
#include "tst_brindlecheck.moc"
