// The POP3 client behind the mail library, against the in-process fake server.
#include "tools/fakepop3/FakePop3Server.h"
#include "mailcheck/NMail.h"

#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

using namespace brindle;
using namespace brindle::fake;

namespace {

const QString kUser = QStringLiteral("user");
const QString kPassword = QStringLiteral("s3cret-pw");

QByteArray makeMessage(int i, int bodyBytes = 40) {
    QByteArray m = "From: Sender " + QByteArray::number(i) + " <sender" + QByteArray::number(i) +
                   "@example.jp>\r\nSubject: message " + QByteArray::number(i) +
                   "\r\nDate: Sun, 6 Dec 2026 10:00:00 +0900\r\n\r\n";
    m += ".a line that starts with a dot\r\n";
    while (m.size() < bodyBytes)
        m += "body text of message " + QByteArray::number(i) + "\r\n";
    return m;
}

QList<QByteArray> makeMailbox(int count, int bodyBytes = 40) {
    QList<QByteArray> box;
    for (int i = 1; i <= count; ++i)
        box.append(makeMessage(i, bodyBytes));
    return box;
}

FakePop3Options basicOptions(int count = 3) {
    FakePop3Options o;
    o.messages = makeMailbox(count);
    o.users = {{kUser.toLatin1(), kPassword.toLatin1()}};
    return o;
}

// What one check-shaped session saw.
struct Session {
    int handle = -1;
    int count = 0;
    QStringList subjects;
    QList<qint64> sizes;
    QList<QString> bodies;
    int closeResult = 1;
    QStringList failures; // NMailGetMessage after each failed call
};

// Connect, log in, read every header, fetch sizes and bodies, delete `remove`, close: the
// calls a check makes. Stops at the first failure but still closes, as the check does.
Session runSession(const QString& server, const QList<int>& remove, bool apop = false,
                   bool fetchBodies = true) {
    MailLibrary& lib = nmail();
    Session s;
    s.handle = lib.NMailPop3Connect(server);
    if (s.handle < 0) {
        s.failures << lib.NMailGetMessage();
        return s;
    }
    s.count = lib.NMailPop3Authenticate(s.handle, kUser, kPassword, apop ? -1 : 0);
    if (s.count < 0)
        s.failures << lib.NMailGetMessage();
    for (int n = 1; n <= s.count && s.failures.isEmpty(); ++n) {
        MailFields f;
        if (lib.NMailPop3GetMailStatus(s.handle, n, f) != 0) {
            s.failures << lib.NMailGetMessage();
            break;
        }
        s.subjects << f.subject;
        if (fetchBodies) {
            const qint64 size = lib.NMailPop3GetMailSize(s.handle, n);
            QString body;
            if (size < 0 || lib.NMailPop3GetMail(s.handle, n, f, body) != 0) {
                s.failures << lib.NMailGetMessage();
                break;
            }
            s.sizes << size;
            s.bodies << body;
        }
        if (remove.contains(n) && lib.NMailPop3DeleteMail(s.handle, n) != 0) {
            s.failures << lib.NMailGetMessage();
            break;
        }
    }
    s.closeResult = lib.NMailPop3Close(s.handle);
    if (s.closeResult != 0)
        s.failures << lib.NMailGetMessage();
    return s;
}

} // namespace

class TestPop3Client : public QObject {
    Q_OBJECT
    QTemporaryDir m_certDir;
    TestCertificates m_certs;

private Q_SLOTS:
    void initTestCase() {
        QVERIFY(m_certDir.isValid());
        m_certs = makeTestCertificates(m_certDir.path());
    }

    void init() {
        setPop3Timeouts(5000, 5000);
        setExtraTrustedCertificates({});
    }

    void scriptedUserPass() {
        FakePop3Options o;
        o.script = {{"", "+OK ready\r\n"},     {"CAPA", "-ERR unknown command\r\n"},
                    {"USER user", "+OK\r\n"},  {"PASS s3cret-pw", "+OK logged in\r\n"},
                    {"STAT", "+OK 2 320\r\n"}, {"QUIT", "+OK bye\r\n"}};
        FakePop3Server server(o);
        QVERIFY(server.start());
        MailLibrary& lib = nmail();
        const int h = lib.NMailPop3Connect(server.address());
        QVERIFY(h >= 0);
        QCOMPARE(lib.NMailPop3Authenticate(h, kUser, kPassword, 0), 2);
        QCOMPARE(lib.NMailPop3Close(h), 0);
        QCOMPARE(server.received(0), QByteArray("CAPA\r\nUSER user\r\nPASS s3cret-pw\r\nSTAT\r\nQUIT\r\n"));
        QVERIFY2(server.scriptMismatches().isEmpty(), qPrintable(server.scriptMismatches().join('\n')));
    }

    void scriptedApopRfcExample() {
        FakePop3Options o;
        o.script = {
            {"", "+OK POP3 server ready <1896.697170952@dbc.mtview.ca.us>\r\n"},
            {"CAPA", "+OK\r\nUSER\r\nTOP\r\n.\r\n"},
            {"APOP mrose c4c9334bac560ecc979e58001b3e22fb", "+OK mrose's maildrop has 2 messages\r\n"},
            {"STAT", "+OK 2 320\r\n"},
            {"QUIT", "+OK dewey POP3 server signing off\r\n"}};
        FakePop3Server server(o);
        QVERIFY(server.start());
        MailLibrary& lib = nmail();
        const int h = lib.NMailPop3Connect(server.address());
        QVERIFY(h >= 0);
        QCOMPARE(lib.NMailPop3Authenticate(h, QStringLiteral("mrose"), QStringLiteral("tanstaaf"), -1), 2);
        QCOMPARE(lib.NMailPop3Close(h), 0);
        QCOMPARE(server.received(0),
                 QByteArray("CAPA\r\nAPOP mrose c4c9334bac560ecc979e58001b3e22fb\r\nSTAT\r\nQUIT\r\n"));
    }

    void apopWithoutTimestampIsRefusedCleanly() {
        FakePop3Options o = basicOptions();
        o.apopTimestamp.clear();
        FakePop3Server server(o);
        QVERIFY(server.start());
        MailLibrary& lib = nmail();
        const int h = lib.NMailPop3Connect(server.address());
        QVERIFY(h >= 0);
        QVERIFY(lib.NMailPop3Authenticate(h, kUser, kPassword, -1) < 0);
        const QString why = lib.NMailGetMessage();
        QVERIFY(why.contains(QStringLiteral("APOP")));
        QCOMPARE(lib.NMailPop3Close(h), 0);
        // Neither the password nor a digest went out.
        QCOMPARE(server.received(0), QByteArray("CAPA\r\nQUIT\r\n"));
    }

    void capaRefusedOrGarbled_data() {
        QTest::addColumn<bool>("garbage");
        QTest::newRow("-ERR") << false;
        QTest::newRow("garbage") << true;
    }
    void capaRefusedOrGarbled() {
        QFETCH(bool, garbage);
        FakePop3Options o = basicOptions();
        o.capaRefused = !garbage;
        o.capaGarbage = garbage;
        FakePop3Server server(o);
        QVERIFY(server.start());
        const Session s = runSession(server.address(), {2});
        QVERIFY2(s.failures.isEmpty(), qPrintable(s.failures.join('\n')));
        QCOMPARE(s.subjects, QStringList({"message 1", "message 2", "message 3"}));
        QCOMPARE(server.deletedAtQuit(), QList<int>({2}));
        // Without CAPA there is no pipelining: one command at a time. Once bodies are read, each
        // header comes with its message.
        const FakePop3Stats st = server.stats();
        QCOMPARE(st.roundTrips, st.commands);
        QCOMPARE(st.commandCounts.value("TOP"), 1);
        QCOMPARE(st.commandCounts.value("RETR"), 3);
    }

    void fullSessionAndDeletionAtQuit() {
        FakePop3Options o = basicOptions(5);
        FakePop3Server server(o);
        QVERIFY(server.start());
        const Session s = runSession(server.address(), {1, 4});
        QVERIFY2(s.failures.isEmpty(), qPrintable(s.failures.join('\n')));
        QCOMPARE(s.count, 5);
        QCOMPARE(s.subjects.size(), 5);
        QCOMPARE(s.subjects[3], QStringLiteral("message 4"));
        for (int i = 0; i < 5; ++i) {
            QCOMPARE(s.sizes[i], qint64(o.messages[i].size()));
            QVERIFY2(s.bodies[i].contains(QStringLiteral(".a line that starts with a dot")),
                     qPrintable(s.bodies[i]));
            QVERIFY(!s.bodies[i].contains(QStringLiteral("..a line")));
        }
        QCOMPARE(s.closeResult, 0);
        QCOMPARE(server.deletedAtQuit(), QList<int>({1, 4}));
        const QList<QByteArray> left = server.mailbox();
        QCOMPARE(left.size(), 3);
        QCOMPARE(left[0], o.messages[1]);
        const FakePop3Stats st = server.stats();
        QCOMPARE(st.commandCounts.value("LIST"), 1); // sizes come from one LIST
        QCOMPARE(st.commandCounts.value("RETR"), 5);
        QCOMPARE(st.commandCounts.value("DELE"), 2);
    }

    void messageNumbersStayAfterDeletion() {
        FakePop3Server server(basicOptions(3));
        QVERIFY(server.start());
        MailLibrary& lib = nmail();
        const int h = lib.NMailPop3Connect(server.address());
        QCOMPARE(lib.NMailPop3Authenticate(h, kUser, kPassword, 0), 3);
        QCOMPARE(lib.NMailPop3DeleteMail(h, 1), 0);
        MailFields f;
        QCOMPARE(lib.NMailPop3GetMailStatus(h, 2, f), 0);
        QCOMPARE(f.subject, QStringLiteral("message 2"));
        QVERIFY(lib.NMailPop3GetMailStatus(h, 1, f) < 0); // deleted
        QVERIFY(lib.NMailPop3GetMailStatus(h, 4, f) < 0); // beyond the count
        QVERIFY(!lib.NMailGetMessage().isEmpty());
        // Nothing is deleted before QUIT.
        QCOMPARE(server.mailbox().size(), 3);
        QCOMPARE(lib.NMailPop3Close(h), 0);
        QCOMPARE(server.mailbox().size(), 2);
    }

    void bodyFetchedOnceHoweverOftenAsked() {
        FakePop3Server server(basicOptions(2));
        QVERIFY(server.start());
        MailLibrary& lib = nmail();
        const int h = lib.NMailPop3Connect(server.address());
        QCOMPARE(lib.NMailPop3Authenticate(h, kUser, kPassword, 0), 2);
        QString first;
        for (int round = 0; round < 5; ++round) {
            MailFields f;
            QString body;
            QVERIFY(lib.NMailPop3GetMailSize(h, 1) > 0);
            QCOMPARE(lib.NMailPop3GetMail(h, 1, f, body), 0);
            QCOMPARE(f.subject, QStringLiteral("message 1"));
            QCOMPARE(f.fromAddress, QStringLiteral("sender1@example.jp"));
            if (round == 0)
                first = body;
            QCOMPARE(body, first);
            QCOMPARE(lib.NMailPop3GetMailStatus(h, 1, f), 0);
        }
        QCOMPARE(lib.NMailPop3Close(h), 0);
        // Message 2 may have been fetched ahead, but message 1 went over the wire once.
        QCOMPARE(server.received(0).count("RETR 1\r\n"), 1);
        QCOMPARE(server.stats().commandCounts.value("LIST"), 1);
    }

    void droppedAtEveryStep_data() {
        QTest::addColumn<int>("step");
        // CAPA USER PASS STAT, TOP LIST RETR DELE for message 1, RETR DELE for message 2, QUIT.
        for (int step = 1; step <= 11; ++step)
            QTest::addRow("command %d", step) << step;
    }
    void droppedAtEveryStep() {
        QFETCH(int, step);
        FakePop3Options o = basicOptions(2);
        o.pipelining = false;
        o.dropAfterCommands = step;
        FakePop3Server server(o);
        QVERIFY(server.start());
        const Session s = runSession(server.address(), {1, 2});
        QVERIFY(s.closeResult != 0);
        QVERIFY(!s.failures.isEmpty());
        for (const QString& f : s.failures) {
            QVERIFY(!f.trimmed().isEmpty());
            QVERIFY2(!f.contains(kPassword), qPrintable(f));
        }
        QCOMPARE(server.mailbox().size(), 2); // nothing deleted without QUIT
        QVERIFY(server.deletedAtQuit().isEmpty());
    }

    void silentServerTimesOut_data() {
        QTest::addColumn<QByteArray>("command");
        for (const char* c : {"CAPA", "PASS", "STAT", "TOP", "LIST", "RETR", "DELE", "QUIT"})
            QTest::newRow(c) << QByteArray(c);
    }
    void silentServerTimesOut() {
        QFETCH(QByteArray, command);
        setPop3Timeouts(300, 300);
        FakePop3Options o = basicOptions(2);
        o.silentAtCommand = command;
        FakePop3Server server(o);
        QVERIFY(server.start());
        const Session s = runSession(server.address(), {1});
        QVERIFY(s.closeResult != 0);
        QVERIFY(!s.failures.isEmpty());
        QVERIFY2(s.failures.join(' ').contains(QStringLiteral("応答")), qPrintable(s.failures.join('\n')));
        QCOMPARE(server.mailbox().size(), 2);
    }

    void silentGreeting() {
        setPop3Timeouts(300, 300);
        FakePop3Options o;
        o.script = {{"CAPA", "+OK\r\n.\r\n"}}; // no greeting step: the server says nothing
        FakePop3Server server(o);
        QVERIFY(server.start());
        MailLibrary& lib = nmail();
        QCOMPARE(lib.NMailPop3Connect(server.address()), -1);
        QVERIFY(lib.NMailGetMessage().contains(QStringLiteral("応答")));
        QVERIFY(server.received(0).isEmpty());
    }

    void brokenReplies_data() {
        QTest::addColumn<QByteArray>("command");
        QTest::addColumn<int>("fault");
        for (const char* c : {"USER", "PASS", "STAT", "TOP", "LIST", "RETR", "DELE", "QUIT"}) {
            QTest::addRow("garbage at %s", c) << QByteArray(c) << 0;
            QTest::addRow("oversized at %s", c) << QByteArray(c) << 1;
            QTest::addRow("dropped at %s", c) << QByteArray(c) << 2;
        }
    }
    void brokenReplies() {
        QFETCH(QByteArray, command);
        QFETCH(int, fault);
        FakePop3Options o = basicOptions(2);
        o.pipelining = false;
        (fault == 0 ? o.garbageAtCommand : fault == 1 ? o.oversizedAtCommand : o.dropAtCommand) = command;
        FakePop3Server server(o);
        QVERIFY(server.start());
        const Session s = runSession(server.address(), {1});
        QVERIFY(!s.failures.isEmpty());
        QVERIFY(s.closeResult != 0);
        for (const QString& f : s.failures)
            QVERIFY2(!f.trimmed().isEmpty() && f.size() < 300, qPrintable(f));
        QCOMPARE(server.mailbox().size(), 2);
    }

    void passwordNeverInFailureTexts() {
        FakePop3Options o;
        o.script = {{"", "+OK ready\r\n"},
                    {"CAPA", "-ERR\r\n"},
                    {"USER user", "+OK\r\n"},
                    {"PASS s3cret-pw",
                     "-ERR [AUTH] password s3cret-pw is wrong for user \x83\x65\x83\x58\x83\x67\r\n"},
                    {"QUIT", "+OK\r\n"}};
        FakePop3Server server(o);
        QVERIFY(server.start());
        MailLibrary& lib = nmail();
        const int h = lib.NMailPop3Connect(server.address());
        QVERIFY(lib.NMailPop3Authenticate(h, kUser, kPassword, 0) < 0);
        const QString why = lib.NMailGetMessage();
        QVERIFY2(!why.contains(kPassword), qPrintable(why));
        // The server's reason is kept, here in Shift_JIS.
        QVERIFY2(why.contains(QStringLiteral("is wrong for user テスト")), qPrintable(why));
        QCOMPARE(lib.NMailPop3Close(h), 0);
    }

    void refusedLogin() {
        FakePop3Options o = basicOptions(1);
        o.refuseLogin = true;
        FakePop3Server server(o);
        QVERIFY(server.start());
        for (bool apop : {false, true}) {
            const Session s = runSession(server.address(), {}, apop);
            QVERIFY(s.count < 0);
            QCOMPARE(s.failures.size(), 1);
            QVERIFY(s.failures[0].contains(QStringLiteral("ログイン")));
            QCOMPARE(s.closeResult, 0);
        }
    }

    void refusedDeleAndDropAtQuit() {
        {
            FakePop3Options o = basicOptions(2);
            o.refuseDele = true;
            FakePop3Server server(o);
            QVERIFY(server.start());
            const Session s = runSession(server.address(), {1});
            QCOMPARE(s.failures.size(), 1);
            QCOMPARE(server.mailbox().size(), 2);
        }
        {
            FakePop3Options o = basicOptions(2);
            o.dropAtQuit = true;
            FakePop3Server server(o);
            QVERIFY(server.start());
            const Session s = runSession(server.address(), {1, 2});
            QVERIFY(s.closeResult < 0); // the deletions did not take effect, and Close says so
            QCOMPARE(server.mailbox().size(), 2);
        }
    }

    void serverWithoutTop() {
        FakePop3Options o = basicOptions(4);
        o.refusedCommand = "TOP";
        FakePop3Server server(o);
        QVERIFY(server.start());
        const Session s = runSession(server.address(), {2});
        QVERIFY2(s.failures.isEmpty(), qPrintable(s.failures.join('\n')));
        QCOMPARE(s.subjects, QStringList({"message 1", "message 2", "message 3", "message 4"}));
        QCOMPARE(server.deletedAtQuit(), QList<int>({2}));
        // Once refused, TOP is not tried again; every message came whole, once.
        const QByteArray sent = server.received(0);
        QVERIFY(sent.lastIndexOf("TOP ") < sent.indexOf("RETR "));
        QCOMPARE(server.stats().commandCounts.value("RETR"), 4);
    }

    void closedWhileWaiting_data() {
        QTest::addColumn<bool>("endAll");
        QTest::newRow("NMailPop3Close") << false;
        QTest::newRow("NMailEndWinSock") << true;
    }
    void closedWhileWaiting() {
        // The main window may close while a check waits for a silent server: the waiting call
        // must return (failed), not crash or hang.
        QFETCH(bool, endAll);
        setPop3Timeouts(60000, 60000);
        FakePop3Options o = basicOptions(2);
        o.silentAtCommand = "TOP";
        FakePop3Server server(o);
        QVERIFY(server.start());
        MailLibrary& lib = nmail();
        const int h = lib.NMailPop3Connect(server.address());
        QCOMPARE(lib.NMailPop3Authenticate(h, kUser, kPassword, 0), 2);
        int nestedSize = 0;
        int nestedClose = 0;
        QTimer::singleShot(0, [&] {
            nestedSize = int(lib.NMailPop3GetMailSize(h, 1)); // the handle is busy
            if (endAll)
                lib.NMailEndWinSock();
            else
                nestedClose = lib.NMailPop3Close(h);
        });
        QElapsedTimer t;
        t.start();
        MailFields f;
        QVERIFY(lib.NMailPop3GetMailStatus(h, 1, f) < 0);
        QVERIFY(t.elapsed() < 30000);
        QVERIFY(nestedSize < 0);
        QVERIFY(nestedClose < 0 || endAll);
        QVERIFY(lib.NMailPop3Close(h) < 0); // gone
        QVERIFY(!server.received(0).contains("QUIT"));
        QCOMPARE(server.mailbox().size(), 2);
    }

    void ipv6Literal() {
        FakePop3Options o = basicOptions(2);
        o.ipv6 = true;
        FakePop3Server server(o);
        if (!server.start())
            QSKIP("no IPv6 loopback here");
        for (const QString& address : {server.address(), QStringLiteral("pop3://") + server.address()}) {
            const Session s = runSession(address, {});
            QVERIFY2(s.failures.isEmpty(), qPrintable(s.failures.join('\n')));
            QCOMPARE(s.count, 2);
        }
    }

    void unknownServer() {
        MailLibrary& lib = nmail();
        QCOMPARE(lib.NMailPop3Connect(QStringLiteral("127.0.0.1:1")), -1);
        QVERIFY(!lib.NMailGetMessage().isEmpty());
        QCOMPARE(lib.NMailPop3Connect(QStringLiteral("bad host name")), -1);
        QVERIFY(!lib.NMailGetMessage().isEmpty());
        QVERIFY(lib.NMailPop3Close(12345) < 0);
    }

    void pipelinedRepliesSplitAtEveryByte() {
        FakePop3Options o = basicOptions(12);
        o.writeChunkBytes = 1;
        FakePop3Server server(o);
        QVERIFY(server.start());
        const Session s = runSession(server.address(), {3, 12}, false, false);
        QVERIFY2(s.failures.isEmpty(), qPrintable(s.failures.join('\n')));
        QCOMPARE(s.subjects.size(), 12);
        for (int i = 0; i < 12; ++i)
            QCOMPARE(s.subjects[i], QStringLiteral("message %1").arg(i + 1));
        QCOMPARE(server.deletedAtQuit(), QList<int>({3, 12}));
        // The headers were read ahead: far fewer waits than commands.
        const FakePop3Stats st = server.stats();
        QCOMPARE(st.commandCounts.value("TOP"), 12);
        QVERIFY2(st.roundTrips < 10, qPrintable(QString::number(st.roundTrips)));
    }

    void garbledPipeliningFallsBack_data() {
        QTest::addColumn<bool>("bodies");
        QTest::addColumn<bool>("noWait");
        QTest::newRow("headers") << false << false;
        QTest::newRow("headers and bodies") << true << false;
        QTest::newRow("headers, DELE answer taken later") << false << true;
        QTest::newRow("headers and bodies, DELE answer taken later") << true << true;
    }
    void garbledPipeliningFallsBack() {
        // The server lists PIPELINING but garbles every reply to commands that arrive together.
        QFETCH(bool, bodies);
        QFETCH(bool, noWait);
        FakePop3Options o = basicOptions(10);
        o.messages = makeMailbox(10, 400);
        o.garblePipelined = true;
        FakePop3Server server(o);
        QVERIFY(server.start());
        MailLibrary& lib = nmail();
        const int h = lib.NMailPop3Connect(server.address());
        QCOMPARE(lib.NMailPop3Authenticate(h, kUser, kPassword, 0), 10);
        MailFields f;
        // A deletion before the garbling shows up must survive the fall-back.
        if (noWait)
            QCOMPARE(lib.NMailPop3DeleteMailNoWait(h, 1), 1);
        else
            QCOMPARE(lib.NMailPop3DeleteMail(h, 1), 0);
        for (int n = 2; n <= 10; ++n) {
            QVERIFY2(lib.NMailPop3GetMailStatus(h, n, f) == 0, qPrintable(lib.NMailGetMessage()));
            QCOMPARE(f.subject, QStringLiteral("message %1").arg(n));
            if (bodies) {
                QString body;
                QVERIFY(lib.NMailPop3GetMailSize(h, n) > 0);
                QVERIFY2(lib.NMailPop3GetMail(h, n, f, body) == 0, qPrintable(lib.NMailGetMessage()));
                QVERIFY2(body.startsWith(QStringLiteral(".a line that starts with a dot")), qPrintable(body));
            }
            if (n == 5)
                QCOMPARE(lib.NMailPop3DeleteMail(h, n), 0);
        }
        if (noWait) // its answer was lost with the first session: asked again, and taken now
            QVERIFY2(lib.NMailPop3DeleteResult(h, 1, true) == 0, qPrintable(lib.NMailGetMessage()));
        QCOMPARE(lib.NMailPop3Close(h), 0);
        QCOMPARE(server.connectionCount(), 2);
        QCOMPARE(server.deletedAtQuit(), QList<int>({1, 5}));
        QCOMPARE(server.mailbox().size(), 8);
        // The second session redid the deletion first, then went on one command at a time.
        const QList<QByteArray> second = server.receivedLines(1);
        QCOMPARE(second.value(4), QByteArray("DELE 1"));
    }

    void tls_data() {
        QTest::addColumn<bool>("implicit");
        QTest::addColumn<bool>("wrongHost");
        QTest::newRow("STLS") << false << false;
        QTest::newRow("implicit") << true << false;
        QTest::newRow("STLS wrong host") << false << true;
        QTest::newRow("implicit wrong host") << true << true;
    }
    void tls() {
        QFETCH(bool, implicit);
        QFETCH(bool, wrongHost);
        const TestCertificates& certs = m_certs;
        if (!certs.error.isEmpty())
            QSKIP(qPrintable(certs.error));
        setExtraTrustedCertificates({certs.ca});
        FakePop3Options o = basicOptions(2);
        o.tls = implicit ? FakePop3Options::Tls::Implicit : FakePop3Options::Tls::StartTls;
        o.certificate = wrongHost ? certs.wrongHost : certs.good;
        o.privateKey = wrongHost ? certs.wrongHostKey : certs.goodKey;
        o.stlsInjection = "+OK injected before the handshake\r\n";
        FakePop3Server server(o);
        QVERIFY(server.start());
        const QString address = (implicit ? QStringLiteral("pop3s://") : QString()) + server.address();
        const Session s = runSession(address, {2});
        if (wrongHost) {
            QCOMPARE(s.handle, -1);
            QCOMPARE(s.failures.size(), 1);
            QVERIFY2(s.failures[0].contains(QStringLiteral("証明書")), qPrintable(s.failures[0]));
            // Nothing went out in plain after the failed upgrade.
            QCOMPARE(server.received(0), implicit ? QByteArray() : QByteArray("CAPA\r\nSTLS\r\n"));
            QCOMPARE(server.mailbox().size(), 2);
            return;
        }
        QVERIFY2(s.failures.isEmpty(), qPrintable(s.failures.join('\n')));
        QCOMPARE(s.subjects.size(), 2);
        QCOMPARE(server.deletedAtQuit(), QList<int>({2}));
        if (!implicit)
            QVERIFY(server.received(0).startsWith("CAPA\r\nSTLS\r\nCAPA\r\nUSER user\r\n"));
    }

    void untrustedCertificateFails() {
        const TestCertificates& certs = m_certs;
        if (!certs.error.isEmpty())
            QSKIP(qPrintable(certs.error));
        FakePop3Options o = basicOptions(1);
        o.tls = FakePop3Options::Tls::Implicit;
        o.certificate = certs.good;
        o.privateKey = certs.goodKey;
        FakePop3Server server(o);
        QVERIFY(server.start());
        // Our CA is not added: the system store does not know it.
        const Session s = runSession(QStringLiteral("pop3s://") + server.address(), {});
        QCOMPARE(s.handle, -1);
        QVERIFY(s.failures.value(0).contains(QStringLiteral("証明書")));
    }

    void pipelinedDeletionInTheMiddle_data() {
        QTest::addColumn<bool>("refused");
        QTest::newRow("accepted") << false;
        QTest::newRow("refused") << true;
    }
    void pipelinedDeletionInTheMiddle() {
        // A rule that reads bodies catches message 2 and goes on without waiting for the answer.
        QFETCH(bool, refused);
        FakePop3Options o = basicOptions(4);
        o.refuseDele = refused;
        FakePop3Server server(o);
        QVERIFY(server.start());
        MailLibrary& lib = nmail();
        const int h = lib.NMailPop3Connect(server.address());
        QCOMPARE(lib.NMailPop3Authenticate(h, kUser, kPassword, 0), 4);
        QStringList subjects;
        for (int n = 1; n <= 4; ++n) {
            MailFields f;
            QString body;
            QVERIFY(lib.NMailPop3GetMailSize(h, n) > 0);
            QCOMPARE(lib.NMailPop3GetMail(h, n, f, body), 0);
            subjects << f.subject;
            if (n == 2) {
                QCOMPARE(lib.NMailPop3DeleteMailNoWait(h, 2), 1);
                QCOMPARE(lib.NMailPop3DeleteResult(h, 2, false), 1); // nothing read since
            }
        }
        const int result = lib.NMailPop3DeleteResult(h, 2, true);
        if (refused) {
            QVERIFY(result < 0);
            QVERIFY2(lib.NMailGetMessage().contains(QStringLiteral("削除できません")),
                     qPrintable(lib.NMailGetMessage()));
            // Refused while pipelined, and refused when asked in lock-step.
            QVERIFY(lib.NMailPop3DeleteMail(h, 3) < 0);
        } else {
            QCOMPARE(result, 0);
            QVERIFY(lib.NMailPop3DeleteResult(h, 2, true) < 0); // taken once
        }
        QCOMPARE(lib.NMailPop3Close(h), 0);
        QCOMPARE(subjects, QStringList({"message 1", "message 2", "message 3", "message 4"}));
        // The sizes, then message 1 and the rest read ahead at once; the DELE went out behind
        // them, before messages 3 and 4 were taken.
        QByteArray expected = "CAPA\r\nUSER user\r\nPASS s3cret-pw\r\nSTAT\r\nLIST\r\nRETR 1\r\nRETR 2\r\n"
                              "RETR 3\r\nRETR 4\r\nDELE 2\r\n";
        if (refused)
            expected += "DELE 3\r\n";
        QCOMPARE(server.received(0), expected + "QUIT\r\n");
        QCOMPARE(server.deletedAtQuit(), refused ? QList<int>() : QList<int>({2}));
        QCOMPARE(server.mailbox().size(), refused ? 4 : 3);
    }

    void headersComeWithWholeMessagesOnceBodiesAreRead_data() {
        QTest::addColumn<bool>("pipelining");
        QTest::newRow("pipelining") << true;
        QTest::newRow("one at a time") << false;
    }
    void headersComeWithWholeMessagesOnceBodiesAreRead() {
        // Bodies have been read (message 1): each header comes with its whole message, one
        // command per message. Message 3 is listed above the threshold and is judged by its
        // header alone, which still comes by TOP.
        QFETCH(bool, pipelining);
        FakePop3Options o = basicOptions(5);
        o.pipelining = pipelining;
        o.messages[2] = makeMessage(3, int(kPop3WholeForHeaderMaxBytes) + 1000);
        FakePop3Server server(o);
        QVERIFY(server.start());
        MailLibrary& lib = nmail();
        const int h = lib.NMailPop3Connect(server.address());
        QCOMPARE(lib.NMailPop3Authenticate(h, kUser, kPassword, 0), 5);
        for (int n = 1; n <= 5; ++n) {
            MailFields f;
            QString body;
            if (n == 1) {
                QVERIFY(lib.NMailPop3GetMailSize(h, n) > 0);
                QCOMPARE(lib.NMailPop3GetMail(h, n, f, body), 0);
            }
            QVERIFY2(lib.NMailPop3GetMailStatus(h, n, f) == 0, qPrintable(lib.NMailGetMessage()));
            QCOMPARE(f.subject, QStringLiteral("message %1").arg(n));
            QCOMPARE(f.fromAddress, QStringLiteral("sender%1@example.jp").arg(n));
            if (n == 3)
                continue;
            QVERIFY(lib.NMailPop3GetMailSize(h, n) > 0);
            QCOMPARE(lib.NMailPop3GetMail(h, n, f, body), 0);
            QVERIFY(body.startsWith(QStringLiteral(".a line that starts with a dot")));
            if (n == 4)
                QCOMPARE(lib.NMailPop3DeleteMail(h, 4), 0);
        }
        QCOMPARE(lib.NMailPop3Close(h), 0);
        QCOMPARE(server.deletedAtQuit(), QList<int>({4}));
        const QByteArray login = "CAPA\r\nUSER user\r\nPASS s3cret-pw\r\nSTAT\r\nLIST\r\n";
        if (pipelining) {
            // The small messages were read ahead whole with message 1.
            QCOMPARE(server.received(0), login + "RETR 1\r\nRETR 2\r\nRETR 4\r\nRETR 5\r\nTOP 3 0\r\n"
                                                 "DELE 4\r\nQUIT\r\n");
        } else {
            QCOMPARE(server.received(0), login + "RETR 1\r\nRETR 2\r\nTOP 3 0\r\nRETR 4\r\nDELE 4\r\n"
                                                 "RETR 5\r\nQUIT\r\n");
            const FakePop3Stats st = server.stats();
            QCOMPARE(st.roundTrips, st.commands);
        }
    }

    void withoutPipeliningKeywordRuleOneCommandPerMessage() {
        // Header first, then the body when the header did not decide: only the first message
        // costs a TOP (bodies were not known to be wanted yet).
        FakePop3Options o = basicOptions(3);
        o.pipelining = false;
        FakePop3Server server(o);
        QVERIFY(server.start());
        const Session s = runSession(server.address(), {2});
        QVERIFY2(s.failures.isEmpty(), qPrintable(s.failures.join('\n')));
        QCOMPARE(s.subjects, QStringList({"message 1", "message 2", "message 3"}));
        QCOMPARE(server.received(0), QByteArray("CAPA\r\nUSER user\r\nPASS s3cret-pw\r\nSTAT\r\nTOP 1 0\r\n"
                                                "LIST\r\nRETR 1\r\nRETR 2\r\nDELE 2\r\nRETR 3\r\nQUIT\r\n"));
        QCOMPARE(server.deletedAtQuit(), QList<int>({2}));
    }

    void withoutPipeliningOneCommandPerMessage() {
        FakePop3Options o = basicOptions(20);
        o.pipelining = false;
        FakePop3Server server(o);
        QVERIFY(server.start());
        const Session s = runSession(server.address(), {4, 7}, false, false);
        QVERIFY(s.failures.isEmpty());
        const FakePop3Stats st = server.stats();
        // CAPA USER PASS STAT, a TOP per message, two DELE, QUIT.
        QCOMPARE(st.commands, 4 + 20 + 2 + 1);
        QCOMPARE(st.roundTrips, st.commands);
    }
};

QTEST_GUILESS_MAIN(TestPop3Client)
#include "tst_pop3_client.moc"
