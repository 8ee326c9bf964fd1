// Whole passes through the real mail library against the in-process POP3 server, for what needs both
// layers at once: deletions answered while the run goes on, and a server that garbles pipelined
// replies. Judging across charsets against a real server is in tests/dovecot.
#include "mailcheck/CheckInputs.h"
#include "mailcheck/MailCheckRun.h"
#include "mailcheck/NMail.h"
#include "support/FakeHost.h"
#include "support/TestFiles.h"
#include "tools/fakepop3/FakePop3Server.h"

#include <QTest>

using namespace brindle;
using namespace brindle::fake;
using namespace brindle::testing;
using namespace Qt::StringLiterals;
using Status = CheckOutcome::Status;

class TestCheckRunPop3 : public QObject {
    Q_OBJECT

    std::unique_ptr<TempAppFolder> folder;
    FakeHost host;
    ProgramValues values;
    NMailLibrary library;

    // One check as the windows run it: inputs read from the application folder, what was learnt
    // remembered there. Messages whose subject holds "watches" are caught.
    CheckOutcome check(FakePop3Server& server) {
        values.server.pop3Server = server.address();
        CheckInputs inputs = readCheckInputs(values);
        inputs.keywords = {"watches"};
        host.rules = {CheckHost::RuleSwitch::Option1};
        host.announceLate = true;
        MailCheckRun run(host, library, values, std::move(inputs));
        const CheckOutcome outcome = run.run();
        rememberOutcome(values, outcome);
        return outcome;
    }
    // Messages 1, 4, 7, ... are caught.
    static FakePop3Options mailbox(int count) {
        FakePop3Options o;
        for (int i = 1; i <= count; ++i) {
            o.messages << "From: a@example.com\r\nSubject: " +
                              QByteArray(i % 3 == 1 ? "cheap watches" : "lunch?") + "\r\n\r\nhello\r\n";
        }
        o.users = {{"user", "secret"}};
        return o;
    }

private Q_SLOTS:
    void initTestCase() {
        QVERIFY(library.NMailInitializeWinSock());
        library.NMailSetOption(kNMailOptionFieldBuffer, kNMailDefaultFieldBuffer);
    }
    void init() {
        folder.reset();
        folder = std::make_unique<TempAppFolder>();
        QVERIFY(folder->isValid());
        QVERIFY(AccountFile().saveAccount("user", "secret"));
        host = FakeHost{};
        values = ProgramValues{};
    }

    // Nobody watching: the run goes on while each DELE is answered; what it counts and announces,
    // and in which order, is still what the server accepted.
    void lateAnnouncementsCountOnlyAcceptedDeletions_data() {
        QTest::addColumn<bool>("pipelining");
        QTest::addColumn<bool>("refused");
        QTest::newRow("pipelining") << true << false;
        QTest::newRow("pipelining, DELE refused") << true << true;
        QTest::newRow("one at a time") << false << false;
    }
    void lateAnnouncementsCountOnlyAcceptedDeletions() {
        QFETCH(bool, pipelining);
        QFETCH(bool, refused);
        FakePop3Options o = mailbox(6);
        o.pipelining = pipelining;
        o.refuseDele = refused;
        FakePop3Server server(o);
        QVERIFY(server.start());
        const CheckOutcome out = check(server);
        QCOMPARE(out.status, Status::Done);
        QCOMPARE(out.caught.size(), 2);
        QCOMPARE(out.caught[0].number, 1);
        QCOMPARE(out.caught[1].number, 4);
        QCOMPARE(out.caught[0].deleted && out.caught[1].deleted, !refused);
        QCOMPARE(out.deleted, refused ? 0 : 2);
        QCOMPARE(out.refusedDeletions, refused ? 2 : 0);
        QCOMPARE(host.announcements, (refused ? QStringList{} : QStringList{u"1:件名"_s, u"4:件名"_s}));
        QCOMPARE(host.boxes.size(), refused ? 2 : 0);
        QCOMPARE(server.deletedAtQuit(), (refused ? QList<int>{} : QList<int>{1, 4}));
    }

    // A server that garbles pipelined replies: the check stops without deleting anything by a guessed
    // number, the server is remembered, and the next check, one command at a time, does the work.
    void garbledPipeliningStopsAndIsRemembered() {
        FakePop3Options o = mailbox(4);
        o.garblePipelined = true;
        FakePop3Server server(o);
        QVERIFY(server.start());
        CheckOutcome out = check(server);
        QVERIFY(out.pipeliningGarbled);
        QCOMPARE(out.deleted, 0);
        QCOMPARE(server.mailbox().size(), 4);
        QCOMPARE(host.boxes.size(), 1); // the user is told why
        QVERIFY(!readCheckInputs(values).pipelining);

        host = FakeHost{};
        out = check(server);
        QCOMPARE(out.status, Status::Done);
        QVERIFY(!out.pipeliningGarbled);
        QCOMPARE(server.deletedAtQuit(), (QList<int>{1, 4}));
    }
};

QTEST_GUILESS_MAIN(TestCheckRunPop3)
#include "tst_checkrun_pop3.moc"
