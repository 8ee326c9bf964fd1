// Whole passes through the real mail library against the in-process POP3 server: what reaches the
// server, what it deletes, and Japanese mail in every charset judged by the same keywords. The run's
// failure paths are pinned against the in-memory library (tst_checkrun) and the library's against
// the servers (pop3, dovecot); here only what needs both layers at once.
#include "mailcheck/CheckInputs.h"
#include "mailcheck/MailCheckRun.h"
#include "mailcheck/NMail.h"
#include "tools/fakepop3/FakePop3Server.h"
#include "settings/SettingsStore.h"
#include "support/FakeHost.h"
#include "support/TestFiles.h"

#include <QTest>

using namespace brindle;
using namespace brindle::fake;
using namespace brindle::testing;
using namespace Qt::StringLiterals;
using Field = CheckHost::Field;
using Rule = CheckHost::RuleSwitch;
using Status = CheckOutcome::Status;

namespace {

QByteArray mail(const QByteArray& subjectLine, const QByteArray& body,
                const QByteArray& contentType = "text/plain; charset=us-ascii",
                const QByteArray& from = "sender@example.com", const QByteArray& transfer = "7bit") {
    return "From: " + from + "\r\nTo: user@example.com\r\nSubject: " + subjectLine +
           "\r\nDate: Sun, 6 Dec 2026 10:00:00 +0900\r\nMIME-Version: 1.0\r\nContent-Type: " + contentType +
           "\r\nContent-Transfer-Encoding: " + transfer + "\r\n\r\n" + body + "\r\n";
}

// 無料 ("free of charge") and １～５ in each charset.
struct Charset {
    const char* name;
    QByteArray free;
    QByteArray oneToFive;
    QByteArray transfer;
};
const Charset kCharsets[] = {
    {"ISO-2022-JP", "\x1b$BL5NA\x1b(B", "\x1b$B#1!A#5\x1b(B", "7bit"},
    {"Shift_JIS", "\x96\xb3\x97\xbf", "\x82\x50\x81\x60\x82\x54", "8bit"},
    {"EUC-JP", "\xcc\xb5\xce\xc1", "\xa3\xb1\xa1\xc1\xa3\xb5", "8bit"},
    {"UTF-8", "\xe7\x84\xa1\xe6\x96\x99", "\xef\xbc\x91\xe3\x80\x9c\xef\xbc\x95", "8bit"},
};

QByteArray encodedWord(const Charset& c, const QByteArray& text) {
    return "=?" + QByteArray(c.name) + "?B?" + text.toBase64() + "?=";
}

} // namespace

class TestCheckRunPop3 : public QObject {
    Q_OBJECT

    std::unique_ptr<TempAppFolder> folder;
    FakeHost host;
    ProgramValues values;
    QStringList keywords;
    NMailLibrary library;

    // One check as the windows run it: inputs read from the application folder, what was learnt
    // remembered there.
    CheckOutcome check(FakePop3Server& server) {
        values.server.pop3Server = server.address();
        CheckInputs inputs = readCheckInputs(values);
        inputs.keywords = keywords;
        MailCheckRun run(host, library, values, std::move(inputs));
        const CheckOutcome outcome = run.run();
        rememberOutcome(values, outcome);
        return outcome;
    }
    static FakePop3Options options(QList<QByteArray> messages) {
        FakePop3Options o;
        o.messages = std::move(messages);
        o.users = {{"user", "secret"}};
        return o;
    }
    QStringList words() const { return host.announced(); }
    void setKeywords(const QStringList& list) { keywords = list; }

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
        keywords.clear();
    }

    void sameKeywordInEveryCharset_data() {
        QTest::addColumn<int>("charset");
        for (int i = 0; i < int(std::size(kCharsets)); ++i) {
            QTest::newRow(kCharsets[i].name) << i;
        }
    }
    void sameKeywordInEveryCharset() {
        QFETCH(int, charset);
        const Charset& c = kCharsets[charset];
        const QByteArray type = "text/plain; charset=" + QByteArray(c.name);
        FakePop3Server server(options({
            mail(encodedWord(c, c.free), "nothing here", type, "a@example.com", c.transfer),
            mail("plain", "offer " + c.free + " today", type, "b@example.com", c.transfer),
            mail("plain", "prize " + c.oneToFive + " winners", type, "c@example.com", c.transfer),
            mail("plain", "nothing to see", type, "d@example.com", c.transfer),
        }));
        QVERIFY(server.start());
        setKeywords({u"無料"_s, u"１～５"_s});
        host.rules = {Rule::Option1};
        const CheckOutcome o = check(server);
        QCOMPARE(o.status, Status::Done);
        QCOMPARE(words(), (QStringList{u"1:件名"_s, u"2:本文"_s, u"3:本文"_s}));
        QCOMPARE(server.deletedAtQuit(), (QList<int>{1, 2, 3}));
        QCOMPARE(server.mailbox().size(), 1);
        QCOMPARE(o.newMailCount, 1);
    }

    void deletionKeepsNumbersAndFetchesOnce() {
        QList<QByteArray> messages;
        for (int i = 1; i <= 5; ++i) {
            messages << mail(i % 2 ? "cheap watches" : "lunch?", "see you at noon " + QByteArray::number(i));
        }
        FakePop3Server server(options(messages));
        QVERIFY(server.start());
        QStringList keywords;
        for (int i = 0; i < 200; ++i) {
            keywords << QStringLiteral("never-%1").arg(i);
        }
        keywords << "watches";
        setKeywords(keywords);
        host.rules = {Rule::Option1};
        host.noticeBoard = true;
        const CheckOutcome o = check(server);
        QCOMPARE(server.deletedAtQuit(), (QList<int>{1, 3, 5}));
        QCOMPARE(host.noticeBoards.at(0).second, "2");
        // 200 keywords miss the subject: each message's text still crosses the wire at most once.
        QVERIFY(server.stats().commandCounts.value("RETR") <= 5);
        QCOMPARE(o.deleted, 3);
    }

    void lateAnnouncementsCountOnlyAcceptedDeletions_data() {
        QTest::addColumn<bool>("pipelining");
        QTest::addColumn<bool>("refused");
        QTest::newRow("pipelining") << true << false;
        QTest::newRow("pipelining, DELE refused") << true << true;
        QTest::newRow("one at a time") << false << false;
    }
    void lateAnnouncementsCountOnlyAcceptedDeletions() {
        // Without anyone watching, the run goes on while the DELE is answered; what it counts
        // and announces, and in which order, is still what the server accepted.
        QFETCH(bool, pipelining);
        QFETCH(bool, refused);
        QList<QByteArray> messages;
        for (int i = 1; i <= 6; ++i) {
            messages << mail("note " + QByteArray::number(i), i % 3 == 1 ? "buy cheap watches" : "lunch?");
        }
        FakePop3Options o = options(messages);
        o.pipelining = pipelining;
        o.refuseDele = refused;
        FakePop3Server server(o);
        QVERIFY(server.start());
        setKeywords({"watches"});
        host.rules = {Rule::Option1};
        host.announceLate = true;
        const CheckOutcome out = check(server);
        QCOMPARE(out.status, Status::Done);
        QCOMPARE(out.caught.size(), 2);
        QCOMPARE(out.caught[0].number, 1);
        QCOMPARE(out.caught[1].number, 4);
        if (refused) {
            QCOMPARE(out.deleted, 0);
            QCOMPARE(out.refusedDeletions, 2);
            QVERIFY(words().isEmpty());
            QCOMPARE(host.otherBoxes().size(), 2);
            QVERIFY(!out.caught[0].deleted && !out.caught[1].deleted);
            QCOMPARE(server.mailbox().size(), 6);
        } else {
            QCOMPARE(out.deleted, 2);
            QCOMPARE(words(), (QStringList{u"1:本文"_s, u"4:本文"_s}));
            QVERIFY(out.caught[0].deleted && out.caught[1].deleted);
            QCOMPARE(server.deletedAtQuit(), (QList<int>{1, 4}));
        }
        QCOMPARE(out.newMailCount, 6 - out.deleted);
    }

    // A server that garbles pipelined replies: the check stops without deleting anything by a guessed
    // number, the server is remembered, and the next check, one command at a time, does the work.
    void garbledPipeliningStopsAndIsRemembered() {
        QList<QByteArray> messages;
        for (int i = 1; i <= 4; ++i)
            messages << mail(i % 2 ? "cheap watches" : "lunch?", "hello");
        FakePop3Options o = options(messages);
        o.garblePipelined = true;
        FakePop3Server server(o);
        QVERIFY(server.start());
        setKeywords({"watches"});
        host.rules = {Rule::Option1};
        host.announceLate = true;
        CheckOutcome out = check(server);
        QVERIFY(out.pipeliningGarbled);
        QCOMPARE(out.deleted, 0);
        QCOMPARE(server.mailbox().size(), 4);
        QVERIFY(!host.otherBoxes().isEmpty()); // the user is told why
        QVERIFY(!readCheckInputs(values).pipelining);

        host = FakeHost{};
        host.rules = {Rule::Option1};
        out = check(server);
        QCOMPARE(out.status, Status::Done);
        QVERIFY(!out.pipeliningGarbled);
        QCOMPARE(server.deletedAtQuit(), (QList<int>{1, 3}));
    }

    // Only the server's refusal is a refused login: a connection that breaks under PASS is a failed
    // connection (brindle-check exits 2 for it, 3 for a refusal).
    void loginFailureKinds_data() {
        QTest::addColumn<bool>("refuse");
        QTest::addColumn<int>("status");
        QTest::newRow("refused") << true << int(Status::LoginRefused);
        QTest::newRow("dropped under PASS") << false << int(Status::NoConnection);
    }
    void loginFailureKinds() {
        QFETCH(bool, refuse);
        QFETCH(int, status);
        FakePop3Options o = options({mail("a", "b")});
        o.refuseLogin = refuse;
        if (!refuse)
            o.dropAtCommand = "PASS";
        FakePop3Server server(o);
        QVERIFY(server.start());
        values.server.useApop = 0;
        QCOMPARE(int(check(server).status), status);
        QCOMPARE(server.mailbox().size(), 1);
    }

    void htmlPartAndLargeAttachment() {
        const QByteArray html =
            mail("news", "<html><body>hello</body></html>", "text/html; charset=us-ascii");
        const QByteArray attachment = QByteArray(1024 * 1024, 'A').toBase64();
        QByteArray multipart =
            "--b\r\nContent-Type: text/plain; charset=us-ascii\r\n\r\nsee attached\r\n"
            "--b\r\nContent-Type: application/octet-stream\r\nContent-Transfer-Encoding: base64\r\n"
            "Content-Disposition: attachment; filename=big.bin\r\n\r\n";
        for (qsizetype i = 0; i < attachment.size(); i += 76) {
            multipart += attachment.mid(i, 76) + "\r\n";
        }
        multipart += "--b--";
        const QByteArray big = mail("big", multipart, "multipart/mixed; boundary=b");
        FakePop3Server server(options({html, big}));
        QVERIFY(server.start());

        host.rules = {Rule::Option6};
        check(server);
        QCOMPARE(words(), QStringList{"1:html"});

        host = FakeHost{};
        host.rules = {Rule::Option4};
        host.fields[Field::Text10] = "1000000";
        check(server);
        // Only the server's size sees the attachment: the decoded text is a few hundred bytes.
        QCOMPARE(words(), QStringList{u"1:ファイルサイズ"_s});
        QVERIFY(host.fields.value(Field::Text13).toLongLong() >= 1000000);
    }
};

QTEST_GUILESS_MAIN(TestCheckRunPop3)
#include "tst_checkrun_pop3.moc"
