// Whole passes against an in-memory mail library: each rule, the steps around the judging, stopping.
#include "mailcheck/CheckInputs.h"
#include "mailcheck/DeletionRules.h"
#include "mailcheck/MailCheckRun.h"
#include "mailcheck/Quarantine.h"
#include "platform/Cp932.h"
#include "support/FakeHost.h"
#include "support/FakeMailLibrary.h"
#include "support/Rows.h"
#include "support/RunTask.h"
#include "support/TestFiles.h"

#include <QTest>

using namespace brindle;
using namespace Qt::StringLiterals;
using namespace brindle::testing;
using brindle::test::indexRows;
using Field = CheckHost::Field;
using Rule = CheckHost::RuleSwitch;
using Status = CheckOutcome::Status;
using Kind = MailCheckRun::StartKind;

namespace {

// A body of this many bytes in code page 932.
QString bodyOfBytes(int bytes) {
    return QString(bytes / 2, QChar(u'漢')) + QString(bytes % 2, QChar(u'a'));
}

namespace rows {
const QList<Rule> kw{Rule::Keyword}, html{Rule::Html}, size{Rule::Size}, kana{Rule::NoHiragana};
const QList<Rule> all{Rule::NoHiragana, Rule::Html, Rule::Keyword};
const QString subj = u"件名"_s, addr = u"アドレス"_s, body = u"本文"_s, big = u"ファイルサイズ"_s;
const QString hira = u"ひらがな"_s, both = "</HTML> no hiragana";
// Rules, keywords, subject, from, body, listed size (-1: own), limit; the word deleted under (empty:
// kept), the text lit up (empty: none). The size probe is 21 header bytes, the body and two CR LF.
const std::tuple<const char*, QList<Rule>, QStringList, QString, QString, QString, qint64, QString, QString,
                 QString>
    kRuleCases[]{
        {"keyword: record order", kw, {"in body", "hi"}, "hi", "", "is in body", -1, "", body, "in body"},
        {"keyword: address", kw, {"@bad.jp"}, "hi", "me@bad.jp", "", -1, "", addr, "@bad.jp"},
        {"keyword: leading spaces", kw, {"deal"}, "   big deal", "", "", -1, "", subj, "deal"},
        {"keyword: blank records only", kw, {"   "}, "subject", "a@b", "body", -1, "", "", ""},
        {"html: lower", html, {}, "s", "", "<html>x</html>", -1, "", "html", "</html>"},
        {"html: upper wins", html, {}, "s", "", "</html></HTML>", -1, "", "HTML", "</HTML>"},
        {"html: mixed case kept", html, {}, "s", "", "<Html>x</Html>", -1, "", "", ""},
        {"html: opening tag only kept", html, {}, "s", "", "<html><body>x", -1, "", "", ""},
        {"size: blanks and fraction", size, {}, "s", "a@b", bodyOfBytes(976), 10, " 1 000.5", big, ""},
        {"size: the listed size alone does not catch", size, {}, "s", "a@b", "x", 5 << 20, "1000000", "", ""},
        {"no hiragana: voiced and small only", kana, {}, "s", "", u"ガイドがっ"_s, -1, "", hira, ""},
        {"no hiragana: single n", kana, {}, "s", "", u"漢字ん"_s, -1, "", "", u"ん"_s},
        {"no hiragana: table order", kana, {}, "s", "", u"をxあ"_s, -1, "", "", u"あ"_s},
        {"keyword rule judges first", all, {"zzz"}, "s", "", both, -1, "", "", ""},
        {"html before no hiragana", all.mid(0, 2), {}, "s", "", both, -1, "", "HTML", ""},
        {"no rule", {}, {}, "s", "", both, -1, "", "", ""},
    };
} // namespace rows
using rows::kRuleCases;

// The fault, how the login fails, how the pass started; the status, the boxes shown, QUITs still sent.
using Login = Pop3ErrorKind;
const std::tuple<const char*, QString, Login, Kind, Status, qsizetype, qsizetype> kEnds[]{
    {"no server", "server", Login::None, Kind::ByHand, Status::NoServer, 0, 0},
    {"cannot connect, by hand", "connect", Login::None, Kind::ByHand, Status::NoConnection, 1, 0},
    {"cannot connect, timer", "connect", Login::None, Kind::Interval, Status::NoConnection, 0, 0},
    {"login refused", "", Login::LoginRefused, Kind::Interval, Status::LoginRefused, 1, 1},
    {"lost during the login", "", Login::ConnectionLost, Kind::Interval, Status::NoConnection, 1, 1},
    {"silent during the login", "", Login::TimedOut, Kind::Interval, Status::NoConnection, 1, 1},
    {"no account", "account", Login::None, Kind::ByHand, Status::AccountMissing, 0, 1},
};

// A server, the subjects ("junk" is caught), hang-up asked, board closing itself; hang-ups, boards.
const std::tuple<const char*, bool, QStringList, bool, bool, int, QStringList> kAfter[]{
    {"remaining mail shown", true, {"hi", "junk", "hi"}, true, false, 0, {"2"}},
    {"board closed after a second", true, {"hi"}, false, true, 0, {"1"}},
    {"all deleted: no board, no hang-up", true, {"junk", "junk"}, true, false, 0, {}},
    {"empty mailbox hangs up", true, {}, true, false, 1, {}},
    {"no server hangs up at once", false, {}, true, false, 1, {}},
};

// The mail program set, whether it starts; the commands started and the boxes shown.
const std::tuple<const char*, QString, bool, QStringList, qsizetype> kMailers[]{
    {"not set", QString::fromUtf16(kNotSetText), true, {}, 1},
    {"trimmed", "  /usr/bin/mailer -x ", true, {"/usr/bin/mailer -x"}, 0},
    {"cannot start", "/nowhere", false, {"/nowhere"}, 1},
};

const std::pair<const char*, Rule> kEachRule[]{{"keyword", Rule::Keyword},
                                               {"html", Rule::Html},
                                               {"size", Rule::Size},
                                               {"no hiragana", Rule::NoHiragana}};

// The rules and pipelining set; the plan the library is told.
const std::tuple<const char*, QList<Rule>, bool, MailPlan> kPlans[]{
    {"keyword", {Rule::Keyword}, true, MailPlan::HeadersFirst},
    {"html, one at a time", {Rule::Html}, false, MailPlan::WholeMessages},
    {"size", {Rule::Size}, true, MailPlan::WholeMessages},
    {"no hiragana", {Rule::NoHiragana}, true, MailPlan::WholeMessages},
    {"no rule", {}, true, MailPlan::SizesOnly},
};

} // namespace

class TestCheckRun : public QObject {
    Q_OBJECT

    std::unique_ptr<TempAppFolder> folder;
    FakeHost host;
    FakeMailLibrary lib;
    ProgramValues values;
    CheckInputs inputs;
    std::function<void(MailCheckRun&)> beforeRun;

    CheckOutcome runCheck(Kind kind = Kind::ByHand) {
        MailCheckRun run(host, lib, inputs);
        run.setStartKind(kind);
        if (beforeRun)
            beforeRun(run);
        return runTask(run.run());
    }
    void junkMailbox(int count) {
        inputs.keywords = {"junk"};
        host.rules = {Rule::Keyword};
        for (int i = 0; i < count; ++i)
            lib.add("junk", "", "");
    }

private Q_SLOTS:
    void init() {
        QVERIFY(renewFolder(folder));
        host = FakeHost{};
        lib = FakeMailLibrary{};
        values = ProgramValues{};
        values.server.pop3Server = "127.0.0.1:1110";
        inputs = CheckInputs{};
        inputs.server = values.server;
        inputs.account = {"user", "secret"};
        inputs.probeFolder = folder->path(u"添付フォルダ"_s);
        inputs.dataFolder = folder->dataFolder();
        beforeRun = nullptr;
        host.fields[Field::MailerCommand] = QString::fromUtf16(kNotSetText);
    }

    // One message judged by the selected rules.
    void rules_data() { indexRows(kRuleCases); }
    void rules() {
        QFETCH(int, row);
        const auto& [name, rules, keywords, subject, from, body, size, limit, word, selected] =
            kRuleCases[row];
        host.rules = QSet<Rule>(rules.begin(), rules.end());
        inputs.keywords = keywords;
        host.fields[Field::SizeLimit] = limit;
        lib.add(subject, from, body, size);
        const CheckOutcome o = runCheck();
        QCOMPARE(host.announcements, word.isEmpty() ? QStringList{} : QStringList{"1:" + word});
        QCOMPARE(lib.numbers("dele"), word.isEmpty() ? QList<int>{} : QList<int>{1});
        QCOMPARE(o.newMailCount, word.isEmpty() ? 1 : 0);
        QVERIFY(selected.isEmpty() ||
                (host.highlights.size() == 1 && host.highlights[0].selected == selected));
        QVERIFY(host.boxes.isEmpty());
    }

    // The size rule measures a probe file in the probe folder, or counts in memory without one.
    void sizeProbe() {
        for (const bool probeFolder : {true, false}) {
            init();
            if (!probeFolder)
                QVERIFY(QDir(inputs.probeFolder).removeRecursively());
            lib.add("s", "a@b", bodyOfBytes(975), 10);
            host.rules = {Rule::Size};
            host.fields[Field::SizeLimit] = "1000";
            runCheck();
            QVERIFY(host.fields.value(Field::MeasuredSize) == "1000" && lib.numbers("dele") == QList<int>{1});
            const QString probe = sizeProbeFilePath(inputs.probeFolder);
            QCOMPARE(host.fields.value(Field::SizeProbePath), probe);
            QCOMPARE(readFile(probe), probeFolder
                                          ? "Subject: s\r\nFrom: a@b\r\n" + toCp932(bodyOfBytes(975)) + "\r\n"
                                          : QByteArray());
        }
    }

    // No limit (first run, zero, negative, empty): nothing deleted, told once a pass.
    void sizeLimitNotSetToldOncePerPass() {
        for (const QString& limit : {QString::fromUtf16(kSizeUnsetText), u"0"_s, u"-1"_s, QString()}) {
            init();
            for (int i = 0; i < 3; ++i)
                lib.add("s", "a@b", "big body", 1 << 20);
            host.rules = {Rule::Size};
            host.fields[Field::SizeLimit] = limit;
            QCOMPARE(runCheck().newMailCount, 3);
            QCOMPARE(host.boxes.size(), 1);
            runCheck();
            QCOMPARE(host.boxes.size(), 2);
            QVERIFY(lib.numbers("dele").isEmpty());
        }
    }

    void libraryFailuresKeepMessages() {
        lib.add("s", "a@b", u"カタカナ"_s);
        lib.fetchFails = {1};
        host.rules = {Rule::NoHiragana};
        lib.failureText = "refused\x1b[2J";
        QCOMPARE(runCheck().unjudged.size(), 1);
        QVERIFY(lib.numbers("dele").isEmpty()); // an unfetchable body is no evidence
        // Told once, sanitized, without what follows a NUL.
        QCOMPARE(host.unjudged, (QList<std::pair<int, QString>>{{1, "refused"}}));

        init();
        junkMailbox(2);
        lib.statusFails = {1};
        QVERIFY(runCheck().unjudged.value(0).number == 1 && lib.numbers("dele") == QList<int>{2});
    }

    void endsBeforeJudging_data() { indexRows(kEnds); }
    void endsBeforeJudging() {
        QFETCH(int, row);
        const auto& [name, fault, login, kind, status, boxes, quits] = kEnds[row];
        lib.add("s", "a@b", "x");
        if (fault == "server")
            inputs.server.pop3Server.clear();
        if (fault == "account")
            inputs.account = {};
        lib.connectFails = fault == "connect";
        lib.loginFails = login;
        host.noticeBoard = true;
        const CheckOutcome o = runCheck(kind);
        QVERIFY(o.status == status && host.boxes.size() == boxes && lib.log.count("quit") == quits);
        for (const QString& box : host.boxes)
            QVERIFY(box.contains(lib.failureText) && !box.contains("after NUL"));
        QVERIFY(host.setFormShown == (fault == "account") && lib.logins.size() == (login != Login::None));
        QVERIFY(lib.numbers("status").isEmpty() && host.noticeBoards.isEmpty());
    }

    // A run destroyed while it waits for its box ends there: the host is free, nothing is resumed.
    void destroyedWhileWaiting() {
        junkMailbox(2);
        host.boxesLater = true;
        bool finished = false;
        auto run = std::make_unique<MailCheckRun>(host, lib, inputs);
        run->start([&](const CheckOutcome&) { finished = true; });
        QCOMPARE(host.runningCheck(), run.get());
        run.reset();
        QCOMPARE(host.runningCheck(), nullptr);
        QCoreApplication::processEvents();
        QVERIFY(!finished && host.announcements.isEmpty());
        QCOMPARE(lib.numbers("dele"), QList<int>{1}); // the announcement of the first was awaited
    }

    void afterTheCheck_data() { indexRows(kAfter); }
    void afterTheCheck() {
        QFETCH(int, row);
        const auto& [name, server, subjects, hangUpAsked, autoClose, hangUps, boards] = kAfter[row];
        junkMailbox(0);
        for (const QString& subject : subjects)
            lib.add(subject, "", "");
        if (!server)
            inputs.server.pop3Server.clear();
        host.noticeBoard = true;
        host.hangUpAsked = hangUpAsked;
        host.autoClose = autoClose;
        runCheck();
        QVERIFY(host.hangUps == hangUps && host.noticeBoards == boards);
        QVERIFY(host.waits == (autoClose ? QList<int>{1000} : QList<int>{}) &&
                host.unloads == int(autoClose));
        QCOMPARE(lib.log.count("quit"), server ? 1 : 0);
        QVERIFY(host.boxes.isEmpty());
    }

    void mailer_data() { indexRows(kMailers); }
    void mailer() {
        QFETCH(int, row);
        const auto& [name, command, starts, started, boxes] = kMailers[row];
        lib.add("hello", "", "");
        host.mailer = true;
        host.mailerStarts = starts;
        host.fields[Field::MailerCommand] = command;
        runCheck();
        QVERIFY(host.mailerCommands == started && host.boxes.size() == boxes);
    }

    // The rule, size limit and mail program are taken at the start: edits made while it runs wait.
    void settingsTakenAtStart_data() {
        QTest::addColumn<int>("edit");
        int edit = 0;
        for (const char* name : {"size limit raised", "rule switched", "mail program changed"})
            QTest::newRow(name) << edit++;
    }
    void settingsTakenAtStart() {
        QFETCH(int, edit);
        host.rules = {Rule::Size};
        host.fields[Field::SizeLimit] = "1000";
        host.fields[Field::MailerCommand] = "/usr/bin/mailer";
        host.mailer = true;
        for (int i = 0; i < 3; ++i)
            lib.add("big", "", bodyOfBytes(2000), 500); // the listing leaves it to the measure
        lib.add("small", "", "x");
        host.duringProgress = [&](int n) {
            if (n == 1 && edit == 1)
                host.rules = {Rule::Html};
            else if (n == 1)
                host.fields[edit ? Field::MailerCommand : Field::SizeLimit] =
                    edit ? "/usr/bin/other" : "100000";
        };
        QVERIFY(runCheck().deleted == 3 && host.mailerCommands == QStringList{"/usr/bin/mailer"});
    }

    // A refused DELE and a connection lost before QUIT: only what took effect is counted and shown.
    void deletionsThatDidNotTakeEffect() {
        junkMailbox(2);
        lib.deleteRefused = {1};
        host.noticeBoard = true;
        CheckOutcome o = runCheck();
        QVERIFY(o.deleted == 1 && o.refusedDeletions == 1);
        QVERIFY(host.announcements == QStringList{u"2:件名"_s} && host.boxes.size() == 1);
        QCOMPARE(host.noticeBoards, QStringList{"1"});
        QVERIFY(o.caught.size() == 2 && !o.caught[0].deleted && o.caught[1].deleted);

        init();
        junkMailbox(1);
        lib.add("hello", "", "");
        lib.closeFails = true;
        host.noticeBoard = true;
        o = runCheck(Kind::Interval);
        QVERIFY(o.status == Status::DeletionsLost && o.deleted == 0 && host.boxes.size() == 1);
        QCOMPARE(host.noticeBoards, QStringList{"2"});
        QVERIFY(!o.caught.at(0).deleted);
    }

    // A sender on the allow list is not judged, under every rule, and counts as new mail.
    void allowListWinsOverEveryRule_data() { indexRows(kEachRule); }
    void allowListWinsOverEveryRule() {
        QFETCH(int, row);
        const Rule rule = kEachRule[row].second;
        inputs.keywords = {"junk"};
        inputs.allowList = {"@friends.example"};
        host.rules = {rule};
        host.fields[Field::SizeLimit] = "1";
        lib.add("junk", "Mother@Mail.Friends.Example", "<html>junk</html>"); // every rule would catch it
        lib.add("junk", "spam@example.com", "<html>junk</html>");
        const CheckOutcome o = runCheck();
        QVERIFY(lib.numbers("dele") == QList<int>{2} && o.newMailCount == 1);
        QVERIFY(!lib.log.contains("fetch 1") && !lib.log.contains("raw 1"));
    }

    // A message too large to keep whole keeps its header and first lines, and the log says so.
    void largeMessageKeepsItsBeginning() {
        lib.add("s", "a@b", "x", kQuarantineWholeMaxBytes + 1);
        host.rules = {Rule::Size};
        host.fields[Field::SizeLimit] = "1";
        QCOMPARE(runCheck().deleted, 1);
        QVERIFY(lib.log.contains("top 1") && !lib.log.contains("raw 1"));
        QVERIFY(readDeletionLog(inputs.dataFolder).value(0).partialCopy);
    }

    // A run started from inside another (a window's events run during its boxes) does not start.
    void nestedRunRefused() {
        junkMailbox(1);
        host.duringBox = [&] { QCOMPARE(runCheck(Kind::Interval).status, Status::NotStarted); };
        QVERIFY(runCheck().status == Status::Done && lib.log.count("connect 127.0.0.1:1110") == 1);
    }

    void accountFromTheInputs() { // the stored account, read afresh for each check
        QVERIFY(AccountFile().saveAccount("user", "secret") && AccountFile().saveAccount("other", "pw2"));
        inputs = readCheckInputs(values);
        lib.add("s", "", "");
        runCheck();
        QCOMPARE(lib.logins.value(0), std::make_tuple(QString("other"), QString("pw2"), 0));
        QCOMPARE(host.accountBoxes, (QPair<QString, QString>{"other", "pw2"}));

        // Confirmed in the account window in this run, not saved: that one is used, with APOP.
        values.accountConfirmed = true, values.accountId = "typed", values.accountPassword = "typedpw";
        values.server.useApop = 1;
        inputs = readCheckInputs(values);
        runCheck();
        QCOMPARE(lib.logins.value(1), std::make_tuple(QString("typed"), QString("typedpw"), -1));
    }

    // requestStop before the pass or from its box: nothing further starts, and QUIT is still sent.
    void stopRequest() {
        junkMailbox(3);
        beforeRun = [](MailCheckRun& run) { run.requestStop(); };
        QCOMPARE(runCheck().deleted, 0);
        QVERIFY(lib.log.filter("connect").isEmpty());

        beforeRun = nullptr;
        host.duringBox = [this] { host.runningCheck()->requestStop(); };
        const CheckOutcome o = runCheck();
        QVERIFY(o.stopped && o.deleted == 1);
        QVERIFY(lib.numbers("status") == QList<int>{1} && lib.numbers("dele") == QList<int>{1});
        QCOMPARE(lib.log.last(), "quit");
    }

    // Before connecting, the run tells the library the plan, pipelining, UIDLs, its field buffer (the
    // size rule's bound relies on it) and whether the fetch window may open.
    void planForRule_data() { indexRows(kPlans); }
    void planForRule() {
        QFETCH(int, row);
        const auto& [name, rules, pipelining, plan] = kPlans[row];
        host.rules = QSet<Rule>(rules.begin(), rules.end());
        inputs.pipelining = pipelining;
        host.lateAnnouncements = row % 2 == 1; // the window opens only where no DELE is waited for
        lib.add("s", "", "");
        runCheck();
        const QStringList before = lib.log.mid(0, lib.log.indexOf("connect 127.0.0.1:1110"));
        const auto option = [](int option, int value) { return u"option %1 %2"_s.arg(option).arg(value); };
        QCOMPARE(before,
                 (QStringList{option(kNMailOptionPlan, int(plan)), option(kNMailOptionPipelining, pipelining),
                              option(kNMailOptionUidls, 1), // for the quarantine
                              option(kNMailOptionFieldBuffer, kCheckFieldBufferBytes),
                              option(kNMailOptionOpenWindow, row % 2)}));
    }

    // Garbled pipelined replies stop the pass at once; that server (no other) is remembered.
    void garbledPipeliningStopsAndIsRemembered() {
        junkMailbox(4);
        lib.garbledFrom = 2;
        const CheckOutcome o = runCheck(Kind::Interval);
        QVERIFY(o.pipeliningGarbled);
        QVERIFY(lib.numbers("status") == (QList<int>{1, 2}) && lib.numbers("dele") == QList<int>{1});
        QVERIFY(host.boxes.size() == 1 && lib.log.last() == "quit");

        QVERIFY(readCheckInputs(values).pipelining && rememberOutcome(values, o));
        QVERIFY(!readCheckInputs(values).pipelining);
        values.server.pop3Server = "[::1]:110";
        QVERIFY(readCheckInputs(values).pipelining);
    }
};

QTEST_GUILESS_MAIN(TestCheckRun)
#include "tst_checkrun.moc"
