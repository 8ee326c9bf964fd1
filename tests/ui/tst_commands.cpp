// The main window's commands and timers: interval, quitting mid-check, mail program, unwritable files.
#include "UiTestSupport.h"

using namespace brindle;
using namespace brindle::test;

namespace {

using F = UiFixture;
using M = MainForm;

// Checks started, DELEs, QUITs, minutes counted, keyword records, mail program, whether it ended.
struct Result {
    int connects = 0;
    QList<int> deletes = {};
    int quits = 0;
    int minutes = 0;
    int keywordRecords = 0;
    QString mailer = QString::fromUtf16(kNotSetText);
    bool ended = false;
};

struct Row {
    const char* name;
    std::function<void(F&, M&)> act;
    Result expected;
};

// Sets the interval and counts minutes: the 61st second tick makes a minute.
void countTowards(M& main, const char* interval, int minutes) {
    main.windows().setForm()->Text2->setText(QString::fromLatin1(interval));
    for (int tick = 0; tick < minutes * 61; ++tick)
        main.tick();
}

// Two "spam" messages and one other, keyword rule; `onBox` runs at the first deletion's box.
void checkSpam(F& fx, M& main, std::function<void()> onBox) {
    GekitaiForm* g = fx.windows().gekitaiForm();
    g->Text1->setText(QStringLiteral("spam"));
    g->Command1->click();
    fx.boxes.asked.clear();
    control<QRadioButton>(main, "Option1")->setChecked(true);
    fx.lib.setSubjects({QStringLiteral("spam one"), QStringLiteral("spam two"), QStringLiteral("hello")});
    fx.boxes.onShow = [&fx, onBox] {
        if (fx.boxes.asked.size() == 1)
            onBox();
    };
    control<QPushButton>(main, "Command6")->click();
    untilCheckEnds(main);
}

// The mail program chosen and confirmed first, then `chosen` answered with `answer`.
void chooseMailer(F& fx, M& main, const QString& chosen, MsgResult answer) {
    QStringList offered{QStringLiteral("/usr/bin/mailer"), chosen};
    fx.services.chooseFile = [offered](QWidget*, const QString&) mutable { return offered.takeFirst(); };
    fx.boxes.answers = {MsgResult::Yes, answer};
    for (int i = 0; i < 2; ++i)
        control<QPushButton>(main, "Command7")->click();
}

const QString kMailer = QStringLiteral("/usr/bin/mailer"), kOther = QStringLiteral("/opt/other");

const QList<Row> kRows{
    {"interval reached: a check, the count restarts",
     [](F&, M& m) { countTowards(m, "2", 2), m.trigger(); },
     {.connects = 1, .quits = 1, .minutes = 0}},
    {"interval lowered below the count: a check",
     [](F&, M& m) { countTowards(m, "2", 3), m.trigger(); },
     {.connects = 1, .quits = 1, .minutes = 0}},
    {"interval not reached: no check",
     [](F&, M& m) { countTowards(m, "2", 1), m.trigger(); },
     {.minutes = 1}},
    {"interval reached during a check: no second check",
     [](F& fx, M& m) { checkSpam(fx, m, [&m] { countTowards(m, "1", 1), m.trigger(); }); },
     {.connects = 1, .deletes = {1, 2}, .quits = 1, .minutes = 1, .keywordRecords = 1}},
    {"quitting during a check: no more DELE, QUIT still sent",
     [](F& fx, M& m) { checkSpam(fx, m, [&m] { m.close(); }); },
     {.connects = 1, .deletes = {1}, .quits = 1, .keywordRecords = 1, .ended = true}},
    {"mail program chosen and confirmed",
     [](F& fx, M& m) { chooseMailer(fx, m, kOther, MsgResult::Yes); },
     {.mailer = kOther}},
    {"mail program choice cancelled keeps the previous one",
     [](F& fx, M& m) { chooseMailer(fx, m, QString(), MsgResult::Yes); },
     {.mailer = kMailer}},
    {"mail program answered no keeps the previous one",
     [](F& fx, M& m) { chooseMailer(fx, m, kOther, MsgResult::No); },
     {.mailer = kMailer}},
};

// The controls that change what a check reads; `during`: made while the check runs.
struct Input {
    const char* name;
    std::function<QObject*(M&)> get;
    bool during = false;
};
const QList<Input> kInputs{
    {"rule options", [](M& m) { return control<QObject>(m, "Option4"); }},
    {"size limit", [](M& m) { return control<QObject>(m, "Text10"); }},
    {"mail program", [](M& m) { return control<QObject>(m, "Command7"); }},
    {"keyword button", [](M& m) { return control<QObject>(m, "Command8"); }},
    {"keyword menu entry", [](M& m) { return control<QObject>(m, "mspam"); }},
    {"allow list menu entry", [](M& m) { return control<QObject>(m, "mallow"); }},
    {"learning switch", [](M& m) { return control<QObject>(m, "mlearn"); }},
    {"keyword editor's entry", [](M& m) { return m.windows().gekitaiForm()->Text1; }},
    {"keyword editor's 削除", [](M& m) { return m.windows().gekitaiForm()->Command2; }},
    {"allow list's 登録", [](M& m) { return m.windows().openAllowList()->Command1; }},
    {"allow list's 削除, opened during the check", [](M& m) { return m.windows().openAllowList()->Command2; },
     true},
    {"deleted mail's allow button", [](M& m) { return m.windows().openDeletedLog()->AllowCommand; }},
};

} // namespace

class CommandsTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void command_data() { indexRows(kRows); }
    void command() {
        QFETCH(int, row);
        UiFixture fx;
        MainForm& main = fx.startWithServer();
        fx.lib.log.clear();
        kRows[row].act(fx, main);
        const Result& want = kRows[row].expected;
        QCOMPARE(fx.lib.log.filter(u"connect "_qs).size(), want.connects);
        QCOMPARE(fx.lib.numbers(u"dele"_qs), want.deletes);
        QCOMPARE(fx.lib.log.count(QStringLiteral("quit")), want.quits);
        QCOMPARE(main.working().minutes, want.minutes);
        QCOMPARE(fx.dir.read(QStringLiteral(u"★MailData/Kstdata50.data")).size(),
                 want.keywordRecords * kKeywordRecordSize);
        QCOMPARE(main.working().mailerCommand, want.mailer);
        QCOMPARE(main.hasEnded(), want.ended);
        if (want.ended) // the library closed after the QUIT, once
            QCOMPARE(fx.lib.log.mid(fx.lib.log.indexOf(u"quit"_qs)), (QStringList{u"quit"_qs, u"end"_qs}));
    }

    // What a check reads cannot change under it: the controls wait for its end.
    void inputsWaitForTheCheck_data() { indexRows(kInputs); }
    void inputsWaitForTheCheck() {
        QFETCH(int, row);
        UiFixture fx;
        MainForm& main = fx.startWithServer();
        QObject* input = kInputs[row].during ? nullptr : kInputs[row].get(main);
        bool during = true;
        checkSpam(fx, main, [&] {
            if (!input)
                input = kInputs[row].get(main);
            during = input->property("enabled").toBool();
        });
        QCOMPARE(fx.boxes.asked.size(), 2); // both deletions announced
        QVERIFY(!during);
        QVERIFY(input->property("enabled").toBool());
    }

    // A settings file that cannot be written (a folder there) is told; the values stay in effect.
    void unwritableSettingsAreTold_data() {
        QTest::addColumn<QString>("file");
        QTest::addColumn<QString>("told");
        QTest::newRow("server") << "kestro.ini" << QStringLiteral("サーバー設定を保存できませんでした。");
        QTest::newRow("account") << QStringLiteral(u"★MailData/iniIdPass.ini")
                                 << QStringLiteral("ID・パスワードの設定を保存できませんでした。");
    }
    void unwritableSettingsAreTold() {
        QFETCH(QString, file);
        QFETCH(QString, told);
        const bool account = file.contains(u"IdPass");
        UiFixture fx;
        QVERIFY(QDir(fx.dir.path()).mkpath(file));
        if (account) {
            confirmAccount(fx.windows(), QStringLiteral("taro"), QStringLiteral("secret"), true);
            QVERIFY(fx.values().accountConfirmed);
        } else {
            fx.windows().optionForm()->Pop3Text->setText(QStringLiteral("taro"));
            fx.windows().optionForm()->OkCommand->click();
        }
        QCOMPARE(account ? fx.values().accountId : fx.values().server.pop3Server, u"taro"_qs);
        QCOMPARE(fx.boxes.asked.size(), 1);
        QVERIFY2(fx.boxes.asked[0].startsWith(told), qPrintable(fx.boxes.asked[0]));
    }
};

QTEST_MAIN(CommandsTest)
#include "tst_commands.moc"
