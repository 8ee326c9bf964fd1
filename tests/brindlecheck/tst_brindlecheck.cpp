// brindle-check as scripts see it: exit codes, output lines, and what reaches the server.
#include "keywords/KeywordFile.h"
#include "mailcheck/pop3/Pop3Trust.h"
#include "settings/SettingsStore.h"
#include "support/ProgramRun.h"
#include "support/Rows.h"
#include "support/TestFiles.h"
#include "tools/fakepop3/FakePop3Server.h"

#include <QCryptographicHash>
#include <QDir>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

using namespace brindle;
using brindle::test::indexRows;
using namespace brindle::fake;
using namespace brindle::testing;
using namespace Qt::StringLiterals;

const std::tuple<const char*, QStringList, bool, bool, QString> kUsage[]{
    {"unknown option", {"--frobnicate"}, true, true, "--frobnicate"},
    {"no server", {}, false, true, "POP3"},
    {"no account", {}, true, false, "account"},
    {"no application folder", {}, false, false, ""},
};

const QString kCaught = u"1\t件名\tjunk offer"_s;
const QStringList kKept{kCaught + "\tkept", "messages: 2, deleted: 0, new: 2"};
// Fault; lines printed, a part of stderr seen once (or nothing), exit status, messages left.
using Outcome = std::tuple<const char*, QString, QStringList, QString, int, int>;
const Outcome kOutcomes[]{
    Outcome("copy failure", "copy", kKept, "", 5, 2),
    Outcome("copy failure, QUIT lost", "copy+quit", kKept, "", 4, 2),
    Outcome("resumed deletion", "resume", {kCaught, "messages: 2, deleted: 1, new: 1"}, "", 0, 1),
    Outcome("RETR refused, dry run", "RETR", {"messages: 2, deleted: 0, new: 2, unjudged: 2"},
            "unjudged: message 2: ", 0, 2),
    Outcome("header line over the limit", "header", {kCaught, "messages: 3, deleted: 1, new: 2, unjudged: 1"},
            "unjudged: message 3: ", 0, 2),
    Outcome("no connection", "closed", {}, u"接続できませんでした"_s, 2, 2),
    Outcome("login refused", "login", {}, u"ログインできませんでした"_s, 3, 2),
    Outcome("garbage answers the login", "garbage", {}, "PIPELINING", 2, 2),
    Outcome("lost at QUIT", "quit", kKept, u"接続が切れたため"_s, 4, 2),
    // The pipelined login is garbled; the next run goes one command at a time.
    Outcome("garbled pipelining", "garble", {}, "PIPELINING", 2, 2),
    Outcome("DELE refused: told, not counted", "dele", kKept, u"削除を受け付けませんでした"_s, 0, 2),
    // What is no POP3 is a failed connection, never a refused login.
    Outcome("malformed greeting", "greeting", {}, u"POP3 の形式ではありません"_s, 2, 2),
    Outcome("malformed LIST", "LIST", {}, "PIPELINING", 2, 2),
    Outcome("APOP, no timestamp: a refused login", "apop", {}, u"APOP に対応していません"_s, 3, 2),
};

using L = QList<QStringList>;
const std::tuple<const char*, L, QString, int> kLearnSteps[]{
    {"folder, a non-mail file skipped", L{{"--learn-junk", "f"}}, "learned: junk 3, wanted 0, skipped 1", 0},
    {"both at once", L{{"--learn-junk", "a.eml", "--learn-wanted", "b.mbox", "x.bin"}},
     "learned: junk 1, wanted 3, skipped 1", 0},
    {"nothing but no mail", L{{"--learn-junk", "x.bin"}}, "learned: junk 0, wanted 0, skipped 1", 1},
    {"twice counts once", L{{"--learn-junk", "a.eml"}, {"--learn-junk", "a.eml", "f/1.eml"}},
     "learned: junk 1, wanted 0, skipped 0, already learned 1", 0},
    {"forget", L{{"--learn-junk", "a.eml"}, {"--forget", "a.eml"}}, "forgotten: 1", 0},
    {"forget the mbox's unquoted message", L{{"--learn-wanted", "b.mbox"}, {"--forget", "c.eml"}},
     "forgotten: 1", 0},
    {"forget what was never learned", L{{"--forget", "a.eml"}}, "forgotten: 0", 1},
};

class TestBrindleCheck : public QObject {
    Q_OBJECT

    std::unique_ptr<TempAppFolder> dir;

    // A folder with the server (APOP if told), the account user/secret, the rule, the keyword "junk".
    void makeFolder(const QString& server, bool account = true, const QString& rule = "1",
                    bool apop = false) {
        QVERIFY(renewFolder(dir));
        ServerSettings s;
        s.pop3Server = server;
        s.useApop = apop;
        QVERIFY(server.isEmpty() || saveServerSettings(s));
        QVERIFY(!account || AccountFile().saveAccount("user", "secret"));
        QVERIFY(GeneralSettingsFile().write("NUMBER6", rule));
        QVERIFY(writeFile(keywordFilePath(), encodeKeywordRecord("junk")));
    }
    ProgramRun runCheck(const QStringList& extra = {}) {
        return runProgram(QStringLiteral(BRINDLE_CHECK),
                          QStringList{"--app-folder", dir ? dir->path() : QString("/nonexistent")} + extra);
    }
    // The junk subject's terminal escapes: every output line checked for it shows them gone.
    static FakePop3Options options() {
        FakePop3Options o;
        for (const QByteArray subject : {"\x1b[2Jjunk \x1b]0;owned\x07offer", "hi"})
            o.messages << "From: a@example.com\r\nSubject: " + subject + "\r\n\r\nbody\r\n";
        o.users = {{"user", "secret"}};
        return o;
    }

private Q_SLOTS:
    void usageAndSettings_data() { indexRows(kUsage); }
    void usageAndSettings() {
        QFETCH(int, row);
        const auto& [name, args, server, account, complaint] = kUsage[row];
        makeFolder(server ? "127.0.0.1:1" : QString(), account);
        if (complaint.isEmpty())
            dir.reset();
        const ProgramRun r = runCheck(args);
        QCOMPARE(r.exitCode, 1);
        QVERIFY(r.lines.isEmpty());
        QVERIFY2(!r.errors.isEmpty() && r.errors.contains(complaint), qPrintable(r.errors));
    }

    // Over a second, a terminal is told the message at; a pipe gets nothing but the lines.
    void progressOnATerminalOnly() {
        FakePop3Options o = options();
        for (int i = 0; i < 20; ++i)
            o.messages << "From: b@example.com\r\nSubject: hello\r\n\r\nbody\r\n";
        o.pipelining = false;
        o.replyDelayMs = 40; // some 60 commands: over a second
        FakePop3Server server(o);
        QVERIFY(server.start());
        makeFolder(server.address());
        const ProgramRun piped = runCheck({"--dry-run"});
        QCOMPARE(piped.exitCode, 0);
        QVERIFY2(!piped.errors.contains("message "), qPrintable(piped.errors));
        const QString command =
            QStringLiteral("'%1' --app-folder '%2'").arg(QStringLiteral(BRINDLE_CHECK), dir->path());
        const ProgramRun terminal = runProgram("script", {"-qec", command, "/dev/null"});
        QCOMPARE(terminal.exitCode, 0);
        QVERIFY2(terminal.lines.join('\n').contains("message 22 of 22"),
                 qPrintable(terminal.lines.join('\n')));
    }

    // Exit 2 until the agreeing option is given, kept per server; TLS once seen is never given up. The
    // TLS backend loads for STLS only (Qt names each plugin it loads on stderr).
    void tlsAgreements() {
        qputenv("QT_DEBUG_PLUGINS", "1");
        const auto quiet = qScopeGuard([] { qunsetenv("QT_DEBUG_PLUGINS"); });
        QTemporaryDir certDir;
        const TestCertificates certs = makeTestCertificates(certDir.path());
        if (!certs.error.isEmpty())
            QSKIP(qPrintable(certs.error));
        FakePop3Options o = options();
        o.tls = FakePop3Options::Tls::StartTls; // a certificate of a CA the system does not know
        o.certificate = certs.good;
        o.privateKey = certs.goodKey;
        FakePop3Server server(o);
        QVERIFY(server.start());
        makeFolder(server.address());
        const ProgramRun refused = runCheck();
        QCOMPARE(refused.exitCode, 2);
        const QString fingerprint = fingerprintText(certs.good.digest(QCryptographicHash::Sha256));
        QVERIFY2(refused.errors.contains("--accept-certificate " + fingerprint), qPrintable(refused.errors));
        QVERIFY(refused.errors.contains("QTlsBackend"));
        QCOMPARE(runCheck({"--accept-certificate", fingerprint.toLower().remove(':')}).exitCode, 0);
        QCOMPARE(runCheck().exitCode, 0); // pinned
        QCOMPARE(server.mailbox().size(), 1);
        const QByteArray memory = dir->read(u"★MailData/tls.ini"_s);
        QVERIFY2(memory.contains("tls-seen = yes\npinned-sha256 = " + fingerprint.toLatin1()),
                 memory.constData());

        // The same server answering without STLS: refused before anything is said to it.
        FakePop3Server plain(options());
        QVERIFY(plain.start());
        makeFolder(plain.address());
        QVERIFY(dir->write(u"★MailData/tls.ini"_s, "[" + plain.address().toLatin1() + "]\ntls-seen = yes\n"));
        const ProgramRun downgraded = runCheck({"--allow-plain"});
        QCOMPARE(downgraded.exitCode, 2);
        QVERIFY2(downgraded.errors.contains(u"以前は暗号化"_s), qPrintable(downgraded.errors));
        QVERIFY2(!downgraded.errors.contains("QTlsBackend"), qPrintable(downgraded.errors));
        QCOMPARE(plain.received(0), QByteArray("CAPA\r\n"));
        QVERIFY(dir->read(u"★MailData/tls.ini"_s).contains("plain-agreed = yes"));
        QCOMPARE(runCheck({"--accept-certificate", "12:34"}).exitCode, 1);
    }

    // Output, exit status and what is left on the server per fault; the password never appears.
    void outcomes_data() { indexRows(kOutcomes); }
    void outcomes() {
        QFETCH(int, row);
        const auto& [name, fault, lines, errors, exitCode, left] = kOutcomes[row];
        FakePop3Options o = options();
        o.dropAtQuit = fault == "copy+quit" || fault == "resume" || fault == "quit";
        o.faultyConnections = fault == "resume" ? 1 : -1;
        o.refuseLogin = fault == "login";
        o.garbageAtCommand = fault == "garbage" ? "PASS" : fault == "LIST" ? "LIST" : "";
        o.refusedCommand = fault == "RETR" ? "RETR" : "";
        o.garblePipelined = fault == "garble";
        o.refuseDele = fault == "dele";
        if (fault == "apop")
            o.apopTimestamp.clear();
        if (fault == "greeting")
            o.script = {{"", "POP3 here, sort of\r\n"}};
        if (fault == "header")
            o.messages << "From: b@example.com\r\nX-Long: " + QByteArray(70000, 'x') + "\r\n\r\nbody\r\n";
        FakePop3Server server(o);
        QVERIFY(server.start());
        makeFolder(fault == "closed" ? u"127.0.0.1:%1"_s.arg(closedLoopbackPort()) : server.address(), true,
                   "1", fault == "apop");
        if (fault.startsWith("copy")) // no quarantine folder can be made where a file stands
            QVERIFY(writeFile(dir->path(u"★MailData/quarantine"_s), "x"));
        if (fault == "resume")
            QCOMPARE(runCheck().exitCode, 4);
        const ProgramRun r = runCheck(fault == "RETR" ? QStringList{"--dry-run"} : QStringList{});
        QCOMPARE(r.lines, lines);
        QVERIFY2(r.errors.contains(errors) && (errors.isEmpty() || r.errors.count(errors) == 1),
                 qPrintable(r.errors));
        QVERIFY(!r.errors.contains("secret"));
        QCOMPARE(r.exitCode, exitCode);
        QCOMPARE(server.mailbox().size(), left);
        if (fault == "garble") {
            QCOMPARE(runCheck().exitCode, 0);
            QCOMPARE(server.mailbox().size(), 1);
        }
    }
    // Learning never connects; one run per step, the last counts. a.eml; b.mbox (3 messages, the second
    // quoted); c.eml (it unquoted); f/ (2 .eml, sub/ 1, notes.txt no mail); x.bin (no mail).
    void learnFromFiles_data() { indexRows(kLearnSteps); }
    void learnFromFiles() {
        QFETCH(int, row);
        const auto& [name, steps, summary, exitCode] = kLearnSteps[row];
        makeFolder(u"127.0.0.1:%1"_s.arg(closedLoopbackPort()));
        const QString t = dir->path(u"t"_s);
        QVERIFY(QDir().mkpath(t + u"/f/sub"_s));
        const QByteArray second =
            "From: b@example.jp\r\nSubject: two\r\n\r\nFrom here on\r\n>From quoted\r\n";
        QByteArray quoted = second;
        quoted.replace("\r\nFrom here", "\r\n>From here").replace(">From quoted", ">>From quoted");
        const auto eml = [](int i) {
            return "From: a@example.jp\r\nSubject: note " + QByteArray::number(i) + "\r\n\r\nhello\r\n";
        };
        QVERIFY(writeFile(t + u"/a.eml"_s, eml(0)) && writeFile(t + u"/c.eml"_s, second));
        QVERIFY(
            writeFile(t + u"/b.mbox"_s, "From a@example.jp Mon Jan  1 00:00:00 2024\r\n" + eml(5) +
                                            "\r\nFrom b@example.jp Mon Jan  1 00:00:00 2024\r\n" + quoted +
                                            "\r\nFrom c@example.jp Mon Jan  1 00:00:00 2024\r\n" + eml(6)));
        QVERIFY(writeFile(t + u"/f/1.eml"_s, eml(1)) && writeFile(t + u"/f/2.eml"_s, eml(2)) &&
                writeFile(t + u"/f/sub/3.eml"_s, eml(3)));
        QVERIFY(writeFile(t + u"/f/notes.txt"_s, "shopping list\n\x1b[31m") &&
                writeFile(t + u"/x.bin"_s, QByteArray(100, '\0')));
        ProgramRun r;
        for (QStringList step : steps) {
            for (QString& a : step)
                if (!a.startsWith(u"--"_s))
                    a = t + u'/' + a;
            r = runCheck(step);
        }
        QCOMPARE(r.lines.value(0), summary);
        QCOMPARE(r.exitCode, exitCode);
        QVERIFY(!r.errors.contains(u'\x1b'));
        QCOMPARE(r.errors.contains(u"skipped"_s),
                 !r.lines.value(0).contains(u"skipped 0"_s) && r.lines.value(0).contains(u"skipped"_s));
    }

    // --explain: a dry run whose # lines give each message's learned score and weightiest tokens.
    void explain() {
        FakePop3Options o = options();
        o.messages << "From: x@shop.example\r\nSubject: "
                      "アカウント停止のお知らせ\r\n\r\nhttp://login.example.xyz 確認\r\n";
        FakePop3Server server(o);
        QVERIFY(server.start());
        makeFolder(server.address());
        const QString t = dir->path(u"t"_s);
        QVERIFY(QDir().mkpath(t + u"/j"_s) && QDir().mkpath(t + u"/w"_s));
        for (int i = 0; i < 20; ++i) {
            const QByteArray n = QByteArray::number(i);
            QVERIFY(writeFile(t + u"/j/"_s + QString::number(i),
                              "From: s" + n + "@shop.example\r\nSubject: アカウント停止 " + n +
                                  "\r\n\r\nhttp://login.example.xyz 確認 " + n + "\r\n") &&
                    writeFile(t + u"/w/"_s + QString::number(i),
                              "From: f" + n + "@home.example\r\nSubject: lunch " + n +
                                  "\r\n\r\nsee you at noon " + n + "\r\n"));
        }
        QCOMPARE(runCheck({"--learn-junk", t + u"/j"_s, "--learn-wanted", t + u"/w"_s}).exitCode, 0);
        const ProgramRun r = runCheck({"--explain"});
        QCOMPARE(r.exitCode, 0);
        QCOMPARE(server.mailbox().size(), 3); // nothing deleted
        QVERIFY2(r.lines.contains(u"# learned: junk 20, wanted 20"_s), qPrintable(r.lines.join(u'\n')));
        const QStringList explained = r.lines.filter(QRegularExpression(u"^# \\d "_s));
        QCOMPARE(explained.size(), 3);
        QVERIFY2(QRegularExpression(u"^# 3 score (0\\.99\\d|1\\.000) junk: s?:?\\S+ 0\\.\\d\\d, "_s)
                     .match(explained[2])
                     .hasMatch(),
                 qPrintable(explained[2]));
        QVERIFY(r.lines.contains(u"1\t件名\tjunk offer"_s));
        for (const QString& line : r.lines)
            QVERIFY(line.startsWith(u'#') || !line.contains(u"score"_s));
    }
};

QTEST_GUILESS_MAIN(TestBrindleCheck)
#include "tst_brindlecheck.moc"
