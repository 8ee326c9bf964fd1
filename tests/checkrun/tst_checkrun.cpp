// Whole passes against an in-memory mail library: the run's steps, each rule, and the faults mended.
#include "mailcheck/CheckInputs.h"
#include "mailcheck/DeletionRules.h"
#include "mailcheck/MailCheckRun.h"
#include "platform/Cp932.h"
#include "settings/SettingsStore.h"
#include "support/FakeHost.h"
#include "support/FakeMailLibrary.h"
#include "support/TestFiles.h"

#include <QFile>
#include <QTest>

using namespace brindle;
using namespace Qt::StringLiterals;
using namespace brindle::testing;
using Field = CheckHost::Field;
using Rule = CheckHost::RuleSwitch;
using Status = CheckOutcome::Status;

class TestCheckRun : public QObject {
    Q_OBJECT

    std::unique_ptr<TempAppFolder> folder;
    FakeHost host;
    FakeMailLibrary lib;
    ProgramValues values;
    CheckInputs inputs;
    std::function<void(MailCheckRun&)> beforeRun;

    CheckOutcome runCheck(MailCheckRun::StartKind kind = MailCheckRun::StartKind::ByHand,
                          bool dryRun = false) {
        MailCheckRun run(host, lib, values, inputs);
        run.setStartKind(kind);
        run.setDryRun(dryRun);
        if (beforeRun)
            beforeRun(run);
        return run.run();
    }
    QStringList words() const { return host.announced(); }
    void setKeywords(const QStringList& keywords) { inputs.keywords = keywords; }
    void setAccount(const QString& id, const QString& password) { inputs.account = {id, password}; }

private Q_SLOTS:
    void init() {
        folder.reset(); // the old folder goes before the new one is made the application folder
        folder = std::make_unique<TempAppFolder>();
        QVERIFY(folder->isValid());
        host = FakeHost{};
        lib = FakeMailLibrary{};
        values = ProgramValues{};
        inputs = CheckInputs{};
        inputs.probeFolder = folder->path(u"添付フォルダ"_s);
        beforeRun = nullptr;
        setAccount(QStringLiteral("user"), QStringLiteral("secret"));
        values.server.pop3Server = QStringLiteral("127.0.0.1:1110");
        host.fields[Field::Text1] = QStringLiteral(u"未設定");
    }

    void deletionDoesNotShiftNumbers() {
        setKeywords({QStringLiteral("win")});
        lib.add("you win", "a@x", "b");
        lib.add("we win", "b@x", "c");
        lib.add("hello", "c@x", "d");
        host.rules = {Rule::Option1};
        host.noticeBoard = true;
        QStringList counterDuringBox;
        host.duringBox = [&] { counterDuringBox << host.fields.value(Field::Text14); };
        const CheckOutcome o = runCheck();
        QCOMPARE(lib.statusCalls, (QList<int>{1, 2, 3}));
        QCOMPARE(lib.deleteCalls, (QList<int>{1, 2}));
        QCOMPARE(words(), (QStringList{u"1:件名"_s, u"2:件名"_s}));
        QCOMPARE(o.status, Status::Done);
        QCOMPARE(o.deleted, 2);
        QCOMPARE(o.newMailCount, 1);
        QCOMPARE(lib.closeCalls, 1);
        // The counter was visible while the announcement was open, and is emptied at the end.
        QCOMPARE(counterDuringBox, (QStringList{"1", "2"}));
        QVERIFY(host.fields.value(Field::Text14).isEmpty());
        QVERIFY(host.fields.value(Field::Text4).isEmpty());
    }

    void keywordRule_data() {
        QTest::addColumn<QStringList>("keywords");
        QTest::addColumn<QString>("subject");
        QTest::addColumn<QString>("address");
        QTest::addColumn<QString>("body");
        QTest::addColumn<QString>("word"); // empty: kept
        QTest::addColumn<QString>("selected");
        QTest::addColumn<int>("fetches");

        // How records, fields, blanks and folding decide is pinned against a plain reference in the rules
        // test; these rows are what the run adds: the fetch, the field lit up, and the mended blank record.
        const QString none;
        QTest::newRow("record order beats field order")
            << QStringList{u"本文だけ"_s, u"件名"_s} << u"件名あり"_s << "a@b" << u"ここに本文だけある"_s
            << u"本文"_s << u"本文だけ"_s << 1;
        QTest::newRow("address") << QStringList{"@bad.example"} << "hi"
                                 << "me@bad.example" << none << u"アドレス"_s << "@bad.example" << 0;
        QTest::newRow("only blank keywords: body never fetched") << QStringList{"   "} << "subject"
                                                                 << "a@b"
                                                                 << "body" << none << none << 0;
        QTest::newRow("leading spaces in subject")
            << QStringList{"deal"} << "   big deal" << none << none << u"件名"_s << "deal" << 0;
        QTest::newRow("no records") << QStringList{} << "anything" << none << "body" << none << none << 0;
    }
    void keywordRule() {
        QFETCH(QStringList, keywords);
        QFETCH(QString, subject);
        QFETCH(QString, address);
        QFETCH(QString, body);
        QFETCH(QString, word);
        QFETCH(QString, selected);
        QFETCH(int, fetches);
        setKeywords(keywords);
        lib.add(subject, address, body);
        host.rules = {Rule::Option1};
        const CheckOutcome o = runCheck();
        QCOMPARE(lib.fetchCalls.size(), fetches);
        if (word.isEmpty()) {
            QVERIFY(lib.deleteCalls.isEmpty());
            QCOMPARE(o.newMailCount, 1);
            return;
        }
        QCOMPARE(words(), QStringList{"1:" + word});
        QCOMPARE(host.highlights.size(), 1);
        QCOMPARE(host.highlights[0].selected, selected);
        const Field expected = word == u"件名"_s       ? Field::Text4
                               : word == u"アドレス"_s ? Field::Text5
                                                       : Field::Text6;
        QCOMPARE(host.highlights[0].field, expected);
    }

    void htmlRule_data() {
        QTest::addColumn<QString>("body");
        QTest::addColumn<QString>("word");
        QTest::addColumn<int>("start");
        QTest::newRow("upper") << u"<HTML>x</HTML>"_s << "HTML" << 7;
        QTest::newRow("lower") << u"<html>x</html>"_s << "html" << 7;
        QTest::newRow("upper wins") << u"</html></HTML>"_s << "HTML" << 7;
        QTest::newRow("mixed case kept") << u"<Html>x</Html>"_s << QString() << -1;
        QTest::newRow("opening tag only kept") << u"<html><body>x"_s << QString() << -1;
    }
    void htmlRule() {
        QFETCH(QString, body);
        QFETCH(QString, word);
        QFETCH(int, start);
        lib.add("s", "a@b", body);
        host.rules = {Rule::Option6};
        runCheck();
        if (word.isEmpty()) {
            QVERIFY(lib.deleteCalls.isEmpty());
            return;
        }
        QCOMPARE(words(), QStringList{"1:" + word});
        QCOMPARE(host.highlights.at(0).start, start);
        QCOMPARE(host.highlights.at(0).length, 7);
    }

    void sizeRule_data() {
        QTest::addColumn<QString>("limit");
        QTest::addColumn<int>("bodyBytes");
        QTest::addColumn<qint64>("serverSize");
        QTest::addColumn<bool>("probeFolder");
        QTest::addColumn<bool>("deleted");
        // The header text below is "Subject: s\r\nFrom: a@b" (21 bytes); the probe adds 4 bytes.
        QTest::newRow("exactly the limit") << "1000" << 975 << qint64(10) << true << true;
        QTest::newRow("one byte under") << "1000" << 974 << qint64(10) << true << false;
        QTest::newRow("limit with blanks and fraction") << " 1 000.5" << 976 << qint64(10) << true << true;
        QTest::newRow("server size counts the attachment")
            << "1000000" << 10 << qint64(5 * 1024 * 1024) << true << true;
        QTest::newRow("no probe folder: counted in memory") << "1000" << 975 << qint64(10) << false << true;
        QTest::newRow("no probe folder, under") << "1000" << 974 << qint64(10) << false << false;
    }
    void sizeRule() {
        QFETCH(QString, limit);
        QFETCH(int, bodyBytes);
        QFETCH(qint64, serverSize);
        QFETCH(bool, probeFolder);
        QFETCH(bool, deleted);
        if (!probeFolder) {
            QVERIFY(QDir(inputs.probeFolder).removeRecursively());
        }
        // Half full-width: two bytes each in code page 932.
        const QString body = QString(bodyBytes / 2, QChar(u'漢')) + QString(bodyBytes % 2, QChar(u'a'));
        lib.add("s", "a@b", body, serverSize);
        host.rules = {Rule::Option4};
        host.fields[Field::Text10] = limit;
        runCheck();
        QCOMPARE(!lib.deleteCalls.isEmpty(), deleted);
        QCOMPARE(host.fields.value(Field::Text12), sizeProbeFilePath(inputs.probeFolder));
        QCOMPARE(host.fields.value(Field::Text13).toLongLong(),
                 std::max<qint64>(21 + 4 + bodyBytes, serverSize));
        if (probeFolder) {
            QFile probe(sizeProbeFilePath(inputs.probeFolder));
            QVERIFY(probe.open(QIODevice::ReadOnly));
            QCOMPARE(probe.readAll(), "Subject: s\r\nFrom: a@b\r\n" + toCp932(body) + "\r\n");
        }
        QVERIFY(host.otherBoxes().isEmpty());
    }

    void sizeLimitNotSet_data() {
        QTest::addColumn<QString>("limit");
        // How each text reads as a limit is pinned in the rules test; these are the run's two ways in.
        QTest::newRow("first run") << "GetPPSErr";
        QTest::newRow("zero") << "0";
    }
    void sizeLimitNotSet() {
        QFETCH(QString, limit);
        for (int i = 0; i < 3; ++i) {
            lib.add("s", "a@b", "big body", 1 << 20);
        }
        host.rules = {Rule::Option4};
        host.fields[Field::Text10] = limit;
        const CheckOutcome o = runCheck();
        QVERIFY(lib.deleteCalls.isEmpty());
        QCOMPARE(o.newMailCount, 3);
        QCOMPARE(host.boxes.size(), 1); // once per pass, not per message
        QVERIFY(host.boxes[0].text.contains(u"バイト以上で削除"_s));
        // Told again on the next pass.
        runCheck();
        QCOMPARE(host.boxes.size(), 2);
    }

    void noHiraganaRule_data() {
        QTest::addColumn<QString>("body");
        QTest::addColumn<bool>("deleted");
        QTest::addColumn<int>("start");
        QTest::newRow("voiced and small only") << u"ガイドがっ"_s << true << -1;
        QTest::newRow("single n") << u"漢字ん"_s << false << 2;
        QTest::newRow("katakana and kanji") << u"カタカナ漢字"_s << true << -1;
        QTest::newRow("table order, not text order") << u"をxあ"_s << false << 2;
        QTest::newRow("english") << "Cheap watches" << true << -1;
    }
    void noHiraganaRule() {
        QFETCH(QString, body);
        QFETCH(bool, deleted);
        QFETCH(int, start);
        lib.add("s", "a@b", body);
        host.rules = {Rule::Option5};
        runCheck();
        QCOMPARE(!lib.deleteCalls.isEmpty(), deleted);
        if (deleted) {
            QCOMPARE(words(), QStringList{u"1:ひらがな"_s});
        } else {
            QCOMPARE(host.highlights.size(), 1);
            QCOMPARE(host.highlights[0].start, start);
            QCOMPARE(host.highlights[0].length, 1);
        }
    }

    void libraryFailuresKeepMessages() {
        lib.add("s", "a@b", u"カタカナ"_s);
        lib.fetchFails = {1};
        host.rules = {Rule::Option5};
        runCheck();
        QVERIFY(lib.deleteCalls.isEmpty()); // an unfetchable body is no evidence

        init();
        setKeywords({"junk"});
        lib.add("junk", "", "");
        lib.add("junk", "", "");
        lib.statusFails = {1};
        host.rules = {Rule::Option1};
        runCheck();
        QCOMPARE(lib.deleteCalls, QList<int>{2});
    }

    void ruleOrderAndNoRule() {
        setKeywords({"zzz"});
        lib.add("s", "a@b", "</HTML> no hiragana");
        host.rules = {Rule::Option5, Rule::Option6, Rule::Option1};
        runCheck();
        QVERIFY(lib.deleteCalls.isEmpty()); // the keyword rule judges, and keeps it

        init();
        lib.add("s", "a@b", "</HTML> no hiragana");
        host.rules = {Rule::Option5, Rule::Option6};
        runCheck();
        QCOMPARE(words(), QStringList{"1:HTML"});

        init();
        lib.add("s", "a@b", "</HTML> no hiragana");
        host.rules = {};
        host.noticeBoard = true;
        const CheckOutcome o = runCheck();
        QVERIFY(lib.deleteCalls.isEmpty());
        QCOMPARE(o.newMailCount, 1);
        QCOMPARE(host.noticeBoards.size(), 1);
    }

    void refusedLogin() {
        lib.add("s", "a@b", "x");
        lib.loginRefused = true;
        host.noticeBoard = true;
        host.hangUpAsked = true;
        const CheckOutcome o = runCheck(MailCheckRun::StartKind::Interval);
        QCOMPARE(o.status, Status::LoginRefused);
        QVERIFY(o.mailCount < 0);
        QCOMPARE(host.boxes.size(), 1);
        QCOMPARE(host.boxes[0].caption, u"エラー"_s);
        QCOMPARE(host.boxes[0].text, lib.failureText); // cut at the NUL
        QVERIFY(host.noticeBoards.isEmpty());
        QCOMPARE(host.hangUps, 0);
        QCOMPARE(lib.closeCalls, 1);
        QVERIFY(lib.statusCalls.isEmpty());
    }

    // What follows the judging: the notice board, its closing, and hanging up the line.
    void afterTheCheck_data() {
        QTest::addColumn<bool>("server");
        QTest::addColumn<QStringList>("subjects"); // "junk" is caught
        QTest::addColumn<bool>("hangUpAsked");
        QTest::addColumn<bool>("autoClose");
        QTest::addColumn<int>("hangUps");
        QTest::addColumn<QString>("board"); // the count shown; empty: no board
        QTest::addColumn<QList<int>>("waits");
        QTest::addColumn<int>("unloads");
        QTest::newRow("remaining mail shown")
            << true << QStringList{"hello", "junk", "hi"} << true << false << 0 << "2" << QList<int>{} << 0;
        QTest::newRow("board closed after a second")
            << true << QStringList{"hello"} << false << true << 0 << "1" << QList<int>{1000} << 1;
        QTest::newRow("all deleted: no board, no hang-up")
            << true << QStringList{"junk", "junk"} << true << false << 0 << "" << QList<int>{} << 0;
        QTest::newRow("empty mailbox hangs up")
            << true << QStringList{} << true << false << 1 << "" << QList<int>{} << 0;
        QTest::newRow("empty mailbox, hang-up not asked")
            << true << QStringList{} << false << false << 0 << "" << QList<int>{} << 0;
        QTest::newRow("no server hangs up at once")
            << false << QStringList{} << true << false << 1 << "" << QList<int>{} << 0;
    }
    void afterTheCheck() {
        QFETCH(bool, server);
        QFETCH(QStringList, subjects);
        QFETCH(bool, hangUpAsked);
        QFETCH(bool, autoClose);
        QFETCH(int, hangUps);
        QFETCH(QString, board);
        QFETCH(QList<int>, waits);
        QFETCH(int, unloads);
        setKeywords({"junk"});
        for (const QString& subject : subjects) {
            lib.add(subject, "", "");
        }
        if (!server) {
            values.server.pop3Server.clear();
        }
        host.rules = {Rule::Option1};
        host.noticeBoard = true;
        host.hangUpAsked = hangUpAsked;
        host.autoClose = autoClose;
        const CheckOutcome o = runCheck();
        QCOMPARE(o.status, server ? Status::Done : Status::NoServer);
        if (server) {
            QCOMPARE(o.newMailCount, subjects.size() - subjects.count("junk"));
        }
        QCOMPARE(host.hangUps, hangUps);
        QCOMPARE(host.noticeBoards.size(), board.isEmpty() ? 0 : 1);
        if (!board.isEmpty()) {
            QCOMPARE(host.noticeBoards[0].first, u"新着メールがあります。"_s);
            QCOMPARE(host.noticeBoards[0].second, board);
        }
        QCOMPARE(host.waits, waits);
        QCOMPARE(host.unloads, unloads);
        QCOMPARE(lib.closeCalls, server ? 1 : 0);
        QCOMPARE(lib.connectedTo.isEmpty(), !server);
        QVERIFY(host.otherBoxes().isEmpty());
    }

    void mailer_data() {
        QTest::addColumn<QString>("command");
        QTest::addColumn<bool>("starts");
        QTest::addColumn<QString>("started");
        QTest::addColumn<QString>("box");
        QTest::newRow("not set") << u"未設定"_s << true << "" << u"起動するメーラーが設定されていません。"_s;
        QTest::newRow("trimmed") << "  /usr/bin/mailer -x " << true << "/usr/bin/mailer -x"
                                 << "";
        QTest::newRow("cannot start")
            << "/nowhere" << false << "/nowhere" << u"メーラーを起動できませんでした。\n/nowhere"_s;
    }
    void mailer() {
        QFETCH(QString, command);
        QFETCH(bool, starts);
        QFETCH(QString, started);
        QFETCH(QString, box);
        lib.add("hello", "", "");
        host.mailer = true;
        host.mailerStarts = starts;
        host.fields[Field::Text1] = command;
        runCheck();
        QCOMPARE(host.mailerCommands, started.isEmpty() ? QStringList{} : QStringList{started});
        QCOMPARE(host.boxes.size(), box.isEmpty() ? 0 : 1);
        if (!box.isEmpty()) {
            QCOMPARE(host.boxes[0].text, box);
        }
    }

    void refusedDeletionNotCounted() {
        setKeywords({"junk"});
        lib.add("junk 1", "", "");
        lib.add("junk 2", "", "");
        lib.deleteRefused = {1};
        host.rules = {Rule::Option1};
        host.noticeBoard = true;
        const CheckOutcome o = runCheck();
        QCOMPARE(o.deleted, 1);
        QCOMPARE(o.refusedDeletions, 1);
        QCOMPARE(words(), QStringList{u"2:件名"_s}); // the refused one is not announced
        const auto other = host.otherBoxes();
        QCOMPARE(other.size(), 1);
        QVERIFY(other[0].text.contains(lib.failureText));
        QCOMPARE(host.noticeBoards.at(0).second, "1");
        QCOMPARE(o.caught.size(), 2);
        QVERIFY(!o.caught[0].deleted);
        QVERIFY(o.caught[1].deleted);
    }

    void lostConnectionBeforeQuit() {
        setKeywords({"junk"});
        lib.add("junk", "", "");
        lib.add("hello", "", "");
        lib.closeFails = true;
        host.rules = {Rule::Option1};
        host.noticeBoard = true;
        const CheckOutcome o = runCheck(MailCheckRun::StartKind::Interval);
        QCOMPARE(o.status, Status::DeletionsLost);
        QCOMPARE(o.deleted, 0);
        QCOMPARE(o.newMailCount, 2);
        const auto other = host.otherBoxes();
        QCOMPARE(other.size(), 1);
        QCOMPARE(other[0].caption, u"エラー"_s);
        QVERIFY(other[0].text.contains(u"削除されていません"_s));
        QCOMPARE(host.noticeBoards.at(0).second, "2");
        QVERIFY(!o.caught.at(0).deleted);
    }

    void secondStartRefusedWhileRunning() {
        setKeywords({"junk"});
        lib.add("junk", "", "");
        lib.add("hello", "", "");
        host.rules = {Rule::Option1};
        QList<CheckOutcome> nested;
        int callsAtNestedStart = -1;
        host.duringBox = [&] {
            QVERIFY(MailCheckRun::current() != nullptr);
            callsAtNestedStart = lib.calls;
            nested << runCheck(MailCheckRun::StartKind::Interval);
            nested << runCheck(MailCheckRun::StartKind::ByHand);
            QCOMPARE(lib.calls, callsAtNestedStart); // nothing reached the library
        };
        const CheckOutcome o = runCheck();
        QCOMPARE(o.status, Status::Done);
        QCOMPARE(nested.size(), 2);
        QCOMPARE(nested[0].status, Status::NotStarted);
        QCOMPARE(nested[1].status, Status::NotStarted);
        QVERIFY(MailCheckRun::current() == nullptr);
        host.duringBox = nullptr;
        QCOMPARE(runCheck().status, Status::Done); // free again afterwards
    }

    void account() {
        // Stored account, read afresh for each check.
        QVERIFY(AccountFile().saveAccount("user", "secret"));
        QCOMPARE(readCheckInputs(values).account.id, "user");
        QVERIFY(AccountFile().saveAccount("other", "pw2"));
        inputs = readCheckInputs(values);
        QCOMPARE(inputs.account.password, "pw2");
        lib.add("s", "", "");
        runCheck();
        QCOMPARE(lib.logins.size(), 1);
        QCOMPARE(lib.logins[0], std::make_tuple(QString("other"), QString("pw2"), 0));
        QCOMPARE(host.accountBoxes, (QPair<QString, QString>{"other", "pw2"}));

        // Confirmed in the account window in this run, not saved: that one is used, with APOP.
        values.accountConfirmed = true;
        values.accountId = "typed";
        values.accountPassword = "typedpw";
        values.server.useApop = 1;
        inputs = readCheckInputs(values);
        runCheck();
        QCOMPARE(lib.logins.size(), 2);
        QCOMPARE(lib.logins[1], std::make_tuple(QString("typed"), QString("typedpw"), -1));
    }

    // requestStop before the pass, or from a box the pass shows: no further connection, fetch or
    // deletion starts, and the connection is still closed, so the deletions made take effect.
    void stopRequest() {
        setKeywords({"junk"});
        lib.add("junk", "", "");
        lib.add("junk", "", "");
        lib.add("junk", "", "");
        host.rules = {Rule::Option1};
        beforeRun = [](MailCheckRun& run) { run.requestStop(); };
        CheckOutcome o = runCheck();
        QVERIFY(lib.connectedTo.isEmpty());
        QVERIFY(o.deleted == 0);

        beforeRun = nullptr;
        host.duringBox = [&] { MailCheckRun::current()->requestStop(); };
        o = runCheck();
        QVERIFY(o.stopped);
        QCOMPARE(lib.deleteCalls, QList<int>{1});
        QCOMPARE(o.deleted, 1);
        QCOMPARE(lib.closeCalls, 1);
        QCOMPARE(lib.log.last(), "quit");
    }

    // What the run tells the library before it connects: what the rule will read, and whether to
    // pipeline.
    void planForRule_data() {
        QTest::addColumn<QList<Rule>>("rules");
        QTest::addColumn<bool>("pipelining");
        QTest::addColumn<QStringList>("options");
        QTest::newRow("keyword") << QList<Rule>{Rule::Option1} << true << QStringList{"option 2 0", "option 3 1"};
        QTest::newRow("html, one at a time")
            << QList<Rule>{Rule::Option6} << false << QStringList{"option 2 1", "option 3 0"};
        QTest::newRow("size") << QList<Rule>{Rule::Option4} << true << QStringList{"option 2 1", "option 3 1"};
        QTest::newRow("no hiragana") << QList<Rule>{Rule::Option5} << true
                                     << QStringList{"option 2 1", "option 3 1"};
        QTest::newRow("no rule") << QList<Rule>{} << true << QStringList{"option 2 2", "option 3 1"};
    }
    void planForRule() {
        QFETCH(QList<Rule>, rules);
        QFETCH(bool, pipelining);
        QFETCH(QStringList, options);
        host.rules = QSet<Rule>(rules.begin(), rules.end());
        inputs.pipelining = pipelining;
        lib.add("s", "", "");
        runCheck();
        QCOMPARE(lib.log.mid(0, 3), options + QStringList{"connect 127.0.0.1:1110"});
    }

    // Garbled pipelined replies: the pass stops at once, says why, and reports it for remembering.
    void garbledPipelining() {
        setKeywords({"junk"});
        for (int i = 0; i < 4; ++i)
            lib.add("junk", "", "");
        lib.garbledFrom = 2;
        host.rules = {Rule::Option1};
        const CheckOutcome o = runCheck(MailCheckRun::StartKind::Interval);
        QVERIFY(o.pipeliningGarbled);
        QCOMPARE(lib.deleteCalls, QList<int>{1});
        QCOMPARE(lib.statusCalls, (QList<int>{1, 2}));
        QCOMPARE(host.otherBoxes().size(), 1);
        QCOMPARE(lib.closeCalls, 1);

        // Remembered per server in the data folder; another server is not affected.
        QVERIFY(rememberOutcome(values, o));
        QVERIFY(!readCheckInputs(values).pipelining);
        values.server.pop3Server = "[::1]:110";
        QVERIFY(readCheckInputs(values).pipelining);
    }

    void accountMissing() {
        setAccount("", "");
        lib.add("s", "", "");
        const CheckOutcome o = runCheck();
        QCOMPARE(o.status, Status::AccountMissing);
        QCOMPARE(host.setFormShown, 1);
        QVERIFY(lib.logins.isEmpty());
        QCOMPARE(lib.closeCalls, 1);
    }

    void connectionFailure() {
        lib.connectFails = true;
        CheckOutcome o = runCheck(MailCheckRun::StartKind::ByHand);
        QCOMPARE(o.status, Status::NoConnection);
        QCOMPARE(host.boxes.size(), 1);
        QCOMPARE(host.boxes[0].caption, u"エラー"_s);
        QVERIFY(host.boxes[0].text.contains(lib.failureText));
        QCOMPARE(lib.closeCalls, 0);

        host.boxes.clear();
        o = runCheck(MailCheckRun::StartKind::Interval);
        QCOMPARE(o.status, Status::NoConnection);
        QVERIFY(host.boxes.isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestCheckRun)
#include "tst_checkrun.moc"
