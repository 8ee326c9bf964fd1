// Start-up from the settings files, interval counting and every way out of the program.
#include "UiTestSupport.h"

#include "keywords/KeywordFile.h"
#include "ui/MainForm.h"
#include "ui/MsgForm.h"
#include "ui/SetForm.h"

#include <QAction>
#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>

using namespace brindle;
using namespace brindle::test;

class StartupTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void emptyFiles();
    void fullSet();
    void ruleFromStoredNumber_data();
    void ruleFromStoredNumber();
    void slideshowPeriod_data();
    void slideshowPeriod();
    void tickCountsSixtyOneSecondMinutes();
    void trigger_data();
    void trigger();
    void exitSavesEverything_data();
    void exitSavesEverything();
    void exitDuringCheckKeepsAnnouncedDeletionsOnly();
    void noticeBoardShowsCountOfLatestCheck();
    void checkWithoutAccountShowsSettings();
};

void StartupTest::emptyFiles() {
    UiFixture fx;
    MainForm& main = fx.start();

    QCOMPARE(main.Text1->text(), QStringLiteral("未設定"));
    QCOMPARE(main.Text11->text(), QStringLiteral("未設定"));
    QCOMPARE(main.Text10->text(), QStringLiteral("GetPPSErr"));
    for (QRadioButton* o : {main.Option1, main.Option4, main.Option5, main.Option6})
        QVERIFY(!o->isChecked());
    QVERIFY(forms::isSetFormLoaded());
    SetForm* set = forms::setForm();
    QVERIFY(set->isVisible()); // no server: the settings window is shown
    QVERIFY(!set->Check1->isChecked());
    QVERIFY(!set->Check2->isChecked());
    QVERIFY(!set->Option1->isChecked());
    QVERIFY(!set->Option2->isChecked());
    QCOMPARE(set->Text2->text(), QStringLiteral("0"));
    QCOMPARE(main.Text7->text(), QStringLiteral("0"));
    QVERIFY(!main.Check1->isChecked());
    QVERIFY(!main.Timer3->isActive());
    QVERIFY(!main.Timer7->isActive());
    QVERIFY(main.Command12->isHidden());
    QCOMPARE(fx.lib.log, (QStringList{QStringLiteral("init"), QStringLiteral("option 1 8192")}));
    QVERIFY(fx.boxes.asked.isEmpty());
}

void StartupTest::fullSet() {
    UiFixture fx;
    fx.writeFile(QStringLiteral("kestro.ini"),
                 "SMTP=smtp.example.org\r\nPOP3=127.0.0.1\r\nMAIL=me@example.org\r\nAPOP=1\r\n");
    fx.writeIni("NAME=/opt/mail/mailer\r\nNAME2=5000\r\nNUMBER=1\r\nNUMBER2=3\r\nNUMBER4=1\r\n"
                "NUMBER5=2\r\nNUMBER6=4\r\nNUMBER7=10\r\n");
    MainForm& main = fx.start();

    QCOMPARE(programValues().server.pop3Server, QStringLiteral("127.0.0.1"));
    QCOMPARE(programValues().server.useApop, std::int16_t(1));
    QCOMPARE(main.Text1->text(), QStringLiteral("/opt/mail/mailer"));
    QCOMPARE(main.Text11->text(), QStringLiteral("mailer"));
    QCOMPARE(main.Text10->text(), QStringLiteral("5000"));
    QVERIFY(main.Option4->isChecked());
    QVERIFY(main.Text10->isEnabled());
    QVERIFY(forms::isSetFormLoaded());
    SetForm* set = forms::setForm();
    QVERIFY(!set->isVisible()); // a server is set: the settings window stays hidden
    QVERIFY(set->Check1->isChecked());
    QVERIFY(set->Check2->isChecked());
    QVERIFY(set->Option2->isChecked());
    QVERIFY(!set->Option1->isChecked());
    QCOMPARE(set->Text2->text(), QStringLiteral("3"));
    QCOMPARE(main.Text7->text(), QStringLiteral("3"));
    QVERIFY(main.Check1->isChecked());
    QVERIFY(main.Timer3->isActive());
    QCOMPARE(main.Timer3->interval(), 1000);
    main.refreshIndicator();
    QCOMPARE(main.Check1->text(), QStringLiteral("インターバルメールチェック ON"));
    QCOMPARE(main.Timer7->interval(), 10000);
    QVERIFY(main.Timer7->isActive());
    QVERIFY(main.Command12->isHidden());
}

void StartupTest::ruleFromStoredNumber_data() {
    QTest::addColumn<QByteArray>("stored");
    QTest::addColumn<QString>("selected");
    QTest::newRow("1 keyword") << QByteArray("1") << QStringLiteral("Option1");
    QTest::newRow("6 html") << QByteArray("6") << QStringLiteral("Option6");
    QTest::newRow("4 size") << QByteArray("4") << QStringLiteral("Option4");
    QTest::newRow("5 no hiragana") << QByteArray("5") << QStringLiteral("Option5");
    QTest::newRow("2 none") << QByteArray("2") << QString();
    QTest::newRow("3 none") << QByteArray("3") << QString();
    QTest::newRow("empty none") << QByteArray("") << QString();
}

void StartupTest::ruleFromStoredNumber() {
    QFETCH(QByteArray, stored);
    QFETCH(QString, selected);
    UiFixture fx;
    fx.writeIni("NUMBER6=" + stored + "\r\n");
    MainForm& main = fx.start();
    QStringList checked;
    for (QRadioButton* o : {main.Option1, main.Option4, main.Option5, main.Option6}) {
        if (o->isChecked())
            checked << o->objectName();
    }
    QCOMPARE(checked, selected.isEmpty() ? QStringList() : QStringList{selected});
}

void StartupTest::slideshowPeriod_data() {
    QTest::addColumn<QByteArray>("stored");
    QTest::addColumn<int>("interval"); // 0: stopped
    QTest::newRow("10 s") << QByteArray("10") << 10000;
    QTest::newRow("65 s") << QByteArray("65") << 65000;
    QTest::newRow("above 65 s is used") << QByteArray("70") << 70000;
    QTest::newRow("negative stops") << QByteArray("-3") << 0;
    QTest::newRow("zero stops") << QByteArray("0") << 0;
    QTest::newRow("fraction reads whole") << QByteArray("1.5") << 1000;
}

void StartupTest::slideshowPeriod() {
    QFETCH(QByteArray, stored);
    QFETCH(int, interval);
    UiFixture fx;
    fx.writeIni("NUMBER7=" + stored + "\r\n");
    MainForm& main = fx.start();
    QCOMPARE(main.Timer7->isActive(), interval > 0);
    if (interval > 0)
        QCOMPARE(main.Timer7->interval(), interval);
}

void StartupTest::tickCountsSixtyOneSecondMinutes() {
    UiFixture fx;
    MainForm& main = fx.start();
    for (int i = 0; i < 60; ++i)
        main.tick();
    QCOMPARE(main.Text9->text(), QStringLiteral("60"));
    QVERIFY(main.Text8->text().isEmpty());
    main.tick(); // the 61st tick completes the minute
    QCOMPARE(main.Text9->text(), QStringLiteral("0"));
    QCOMPARE(main.Text8->text(), QStringLiteral("1"));
}

void StartupTest::trigger_data() {
    QTest::addColumn<QByteArray>("stored"); // the interval in minutes
    QTest::addColumn<QString>("counted");   // minutes counted so far
    QTest::addColumn<QString>("lowered");   // typed into the settings window; empty: left alone
    QTest::addColumn<bool>("checks");
    QTest::newRow("interval reached") << QByteArray("2") << "2" << QString() << true;
    QTest::newRow("interval not reached") << QByteArray("2") << "1" << QString() << false;
    QTest::newRow("interval lowered below the count") << QByteArray("5") << "3"
                                                      << "2" << true;
}

void StartupTest::trigger() {
    QFETCH(QByteArray, stored);
    QFETCH(QString, counted);
    QFETCH(QString, lowered);
    QFETCH(bool, checks);
    UiFixture fx;
    fx.writeServer();
    fx.writeIni("NUMBER2=" + stored + "\r\n");
    fx.writeAccount();
    MainForm& main = fx.start();
    main.Text8->setText(counted);
    if (!lowered.isEmpty())
        forms::setForm()->Text2->setText(lowered);
    fx.lib.log.clear();
    main.trigger();
    QCOMPARE(fx.lib.log.contains(QStringLiteral("connect 127.0.0.1")), checks);
    QCOMPARE(fx.lib.log.contains(QStringLiteral("login user")), checks);
    QCOMPARE(main.Text8->text(), checks ? QStringLiteral("0") : counted);
}

void StartupTest::exitSavesEverything_data() {
    QTest::addColumn<QString>("path");
    QTest::newRow("close box") << QStringLiteral("close");
    QTest::newRow("File menu 終了") << QStringLiteral("mend");
    QTest::newRow("tray menu 終了") << QStringLiteral("tray");
}

void StartupTest::exitSavesEverything() {
    QFETCH(QString, path);
    UiFixture fx;
    fx.writeServer();
    {
        MainForm& main = fx.start();
        main.Text1->setText(QStringLiteral("/usr/bin/mailer"));
        main.Option5->setChecked(true);
        main.Text10->setText(QStringLiteral("20000"));
        main.Text15->setText(QStringLiteral("7"));
        SetForm* set = forms::setForm();
        set->Check1->setChecked(true);
        set->Check2->setChecked(true);
        set->Option1->setChecked(true);
        set->Text2->setText(QStringLiteral("4"));

        if (path == QLatin1String("close"))
            main.close();
        else if (path == QLatin1String("mend"))
            main.mend->trigger();
        else
            main.mnuPopup2->trigger();

        QVERIFY(main.hasEnded());
        QCOMPARE(fx.endRunCalls, 1);
        QCOMPARE(fx.lib.log.last(), QStringLiteral("end"));
    }
    QCOMPARE(fx.general("NAME"), QStringLiteral("/usr/bin/mailer"));
    QCOMPARE(fx.general("NUMBER6"), QStringLiteral("5"));
    QCOMPARE(fx.general("NAME2"), QStringLiteral("20000"));
    QCOMPARE(fx.general("NUMBER7"), QStringLiteral("7"));
    QCOMPARE(fx.general("NUMBER"), QStringLiteral("1"));
    QCOMPARE(fx.general("NUMBER2"), QStringLiteral("4"));
    QCOMPARE(fx.general("NUMBER4"), QStringLiteral("1"));
    QCOMPARE(fx.general("NUMBER5"), QStringLiteral("1"));

    // The next start comes back as the user left it.
    UiFixture::flushDeletes();
    MainForm& again = fx.start();
    QCOMPARE(again.Text1->text(), QStringLiteral("/usr/bin/mailer"));
    QVERIFY(again.Option5->isChecked());
    QCOMPARE(again.Text10->text(), QStringLiteral("20000"));
    QCOMPARE(again.Timer7->interval(), 7000);
    QVERIFY(forms::setForm()->Check1->isChecked());
    QCOMPARE(again.Text7->text(), QStringLiteral("4"));
}

void StartupTest::exitDuringCheckKeepsAnnouncedDeletionsOnly() {
    UiFixture fx;
    fx.writeServer();
    fx.writeIni("NUMBER6=1\r\nNAME2=1000\r\n");
    fx.writeAccount();
    QVERIFY(AppendKeyword(QStringLiteral("spam")));
    fx.lib.setSubjects({QStringLiteral("spam one"), QStringLiteral("spam two"), QStringLiteral("hello")});
    MainForm& main = fx.start();
    main.Text10->setText(QStringLiteral("2000"));
    fx.lib.log.clear();

    // The user closes the main window while the first deletion is being announced.
    int boxesWhileRunning = 0;
    fx.boxes.onShow = [&](const AskedBox&) {
        if (++boxesWhileRunning == 1)
            main.close();
    };
    main.Command6->click();

    QCOMPARE(boxesWhileRunning, 1);
    QVERIFY(fx.lib.log.contains(QStringLiteral("dele 1")));
    QVERIFY(!fx.lib.log.contains(QStringLiteral("dele 2")));
    const qsizetype quit = fx.lib.log.indexOf(QStringLiteral("quit"));
    QVERIFY(quit > fx.lib.log.indexOf(QStringLiteral("dele 1")));
    QCOMPARE(fx.lib.log.count(QStringLiteral("quit")), 1);
    QCOMPARE(fx.lib.log.last(), QStringLiteral("end"));
    QVERIFY(main.hasEnded());
    QCOMPARE(fx.endRunCalls, 1);
    QCOMPARE(fx.general("NAME2"), QStringLiteral("2000"));
}

void StartupTest::noticeBoardShowsCountOfLatestCheck() {
    UiFixture fx;
    fx.writeServer();
    fx.writeIni("NUMBER5=1\r\n");
    fx.writeAccount();
    fx.lib.setSubjects({QStringLiteral("a"), QStringLiteral("b"), QStringLiteral("c")});
    MainForm& main = fx.start();
    main.Command6->click();
    QVERIFY(forms::isMsgFormLoaded());
    MsgForm* board = forms::msgForm();
    QVERIFY(board->isVisible());
    QCOMPARE(board->Text1->text(), QStringLiteral("新着メールがあります。"));
    QCOMPARE(board->Text2->text(), QStringLiteral("3"));
    fx.lib.setSubjects({QStringLiteral("a"), QStringLiteral("b")});
    main.mcheck->trigger();
    QCOMPARE(forms::msgForm(), board); // the same board, refilled
    QCOMPARE(board->Text2->text(), QStringLiteral("2"));
    QVERIFY(fx.boxes.asked.isEmpty());
}

void StartupTest::checkWithoutAccountShowsSettings() {
    UiFixture fx;
    fx.writeServer();
    fx.lib.setSubjects({QStringLiteral("a")});
    MainForm& main = fx.start();
    QVERIFY(!forms::setForm()->isVisible());
    main.Command6->click();
    QVERIFY(forms::setForm()->isVisible());
    QVERIFY(fx.lib.logins.isEmpty());
}

QTEST_MAIN(StartupTest)
#include "tst_startup.moc"
