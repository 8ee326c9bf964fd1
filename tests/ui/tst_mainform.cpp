// The main window's commands: one window per kind, window modes, the mail program choice, the tray
// tip, the slideshow and the working fields.
#include "UiTestSupport.h"

#include "ui/GekitaiForm.h"
#include "ui/MainForm.h"
#include "ui/SetForm.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimer>

using namespace brindle;
using namespace brindle::test;

class MainFormTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void openingTwiceGivesOneWindow_data();
    void openingTwiceGivesOneWindow();
    void topmostThenSmallModeTwice();
    void smallThenMediumMode();
    void workingFieldsNeverVisible();
    void chooseMailerSetsPathAndName();
    void chooseMailerCancelledOrAnsweredNoKeepsChoice();
    void trayTipText_data();
    void trayTipText();
    void indicatorFollowsIntervalBox();
    void slideshowCyclesAllSixteen();
    void sizeProbePath();
    void editedPeriodShowsApplyButton();
    void trayEventsAndPopupMenu();
};

namespace {

template <typename T> int topLevelCount() {
    int n = 0;
    for (QWidget* w : QApplication::topLevelWidgets()) {
        auto* f = qobject_cast<T*>(w);
        if (f && !f->isUnloaded())
            ++n;
    }
    return n;
}

} // namespace

void MainFormTest::openingTwiceGivesOneWindow_data() {
    QTest::addColumn<QString>("command");
    QTest::newRow("設定 button") << QStringLiteral("Command9");
    QTest::newRow("設定 menu") << QStringLiteral("mset");
    QTest::newRow("keyword button") << QStringLiteral("Command8");
    QTest::newRow("keyword menu") << QStringLiteral("mspam");
}

void MainFormTest::openingTwiceGivesOneWindow() {
    QFETCH(QString, command);
    UiFixture fx;
    fx.writeServer();
    MainForm& main = fx.start();
    auto fire = [&] {
        if (auto* b = main.findChild<QPushButton*>(command))
            b->click();
        else
            main.findChild<QAction*>(command)->trigger();
    };
    fire();
    fire();
    if (command == QLatin1String("Command9") || command == QLatin1String("mset")) {
        QCOMPARE(topLevelCount<SetForm>(), 1);
        QVERIFY(forms::setForm()->isVisible());
    } else {
        QCOMPARE(topLevelCount<GekitaiForm>(), 1);
        QVERIFY(forms::gekitaiForm()->isVisible());
    }
}

void MainFormTest::topmostThenSmallModeTwice() {
    UiFixture fx;
    MainForm& main = fx.start();
    main.show();
    const QSize normal = main.size();
    main.Command10->click();
    QCOMPARE(main.Command10->text(), QStringLiteral("前面表示解除"));
    QVERIFY(main.windowFlags().testFlag(Qt::WindowStaysOnTopHint));
    main.Command13->click();
    QCOMPARE(main.Command13->text(), QStringLiteral("サイズ復帰"));
    QVERIFY(main.width() < normal.width());
    main.Command13->click();
    QCOMPARE(main.Command13->text(), QStringLiteral("小画面"));
    QCOMPARE(main.size(), normal);
    QVERIFY(!main.windowFlags().testFlag(Qt::WindowStaysOnTopHint));
    QCOMPARE(main.Command10->text(), QStringLiteral("前面表示解除")); // its own counter decides
    main.Command10->click();
    QCOMPARE(main.Command10->text(), QStringLiteral("常に前面表示"));
    QVERIFY(!main.windowFlags().testFlag(Qt::WindowStaysOnTopHint));
    main.mzenmen->trigger();
    QVERIFY(main.windowFlags().testFlag(Qt::WindowStaysOnTopHint));
    QCOMPARE(main.Command10->text(), QStringLiteral("常に前面表示"));
}

void MainFormTest::smallThenMediumMode() {
    UiFixture fx;
    MainForm& main = fx.start();
    main.show();
    const QSize normal = main.size();
    main.Command13->click();
    const QSize small = main.size();
    main.Command2->click();
    const QSize medium = main.size();
    QVERIFY(small.width() < medium.width() && medium.width() < normal.width());
    QCOMPARE(main.Command13->text(), QStringLiteral("サイズ復帰"));
    QCOMPARE(main.Command2->text(), QStringLiteral("サイズ復帰"));
    main.Command13->click();
    QCOMPARE(main.size(), normal);
    QCOMPARE(main.Command13->text(), QStringLiteral("小画面"));
    main.Command2->click();
    QCOMPARE(main.size(), normal);
    QCOMPARE(main.Command2->text(), QStringLiteral("中画面"));
}

void MainFormTest::workingFieldsNeverVisible() {
    UiFixture fx;
    MainForm& main = fx.start();
    main.show();
    const QList<QWidget*> hidden{main.Text1,  main.Text2,    main.Text3,   main.Text4,  main.Text5,
                                 main.Text6,  main.Text8,    main.Text9,   main.Text12, main.Text13,
                                 main.Text14, main.Command1, main.Command5};
    auto checkAll = [&] {
        const QRect shown = main.centralWidget()->rect().intersected(
            QRect(main.centralWidget()->mapFrom(&main, QPoint(0, 0)), main.size()));
        for (QWidget* w : hidden)
            QVERIFY2(!shown.intersects(w->geometry()), qPrintable(w->objectName()));
    };
    checkAll();
    main.Command2->click();
    checkAll();
    main.Command2->click();
    main.Command13->click();
    checkAll();
}

void MainFormTest::chooseMailerSetsPathAndName() {
    UiFixture fx;
    MainForm& main = fx.start();
    uiServices().chooseFile = [](QWidget*, const QString&) {
        return QStringLiteral("/opt/Mailer/mailer.bin");
    };
    fx.boxes.answers = {MsgResult::Yes};
    main.Command7->click();
    QCOMPARE(main.Text1->text(), QStringLiteral("/opt/Mailer/mailer.bin"));
    QCOMPARE(main.Text11->text(), QStringLiteral("mailer.bin"));
    QCOMPARE(fx.boxes.asked.size(), 1);
    QVERIFY(fx.boxes.asked[0].text.endsWith(
        QStringLiteral("が起動するメーラーとして設定されました。これで良いですか？")));
    QVERIFY(fx.boxes.asked[0].text.contains(QStringLiteral("mailer.bin")));
    QCOMPARE(fx.boxes.asked[0].buttons, MsgButtons::YesNo);
    QCOMPARE(fx.boxes.asked[0].icon, MsgIcon::Question);
    QCOMPARE(fx.boxes.asked[0].caption, QStringLiteral("確認"));
}

void MainFormTest::chooseMailerCancelledOrAnsweredNoKeepsChoice() {
    UiFixture fx;
    fx.writeIni("NAME=/usr/bin/mailer\r\n");
    MainForm& main = fx.start();
    QString offered;
    uiServices().chooseFile = [&](QWidget*, const QString& current) {
        offered = current;
        return QString();
    };
    main.Command7->click();
    QCOMPARE(offered, QStringLiteral("/usr/bin/mailer"));
    QVERIFY(fx.boxes.asked.isEmpty());
    QCOMPARE(main.Text1->text(), QStringLiteral("/usr/bin/mailer"));
    QCOMPARE(main.Text11->text(), QStringLiteral("mailer"));

    uiServices().chooseFile = [](QWidget*, const QString&) { return QStringLiteral("/opt/other"); };
    fx.boxes.answers = {MsgResult::No};
    main.Command7->click();
    QCOMPARE(fx.boxes.asked.size(), 1);
    QCOMPARE(main.Text1->text(), QStringLiteral("/usr/bin/mailer"));
    QCOMPARE(main.Text11->text(), QStringLiteral("mailer"));
}

void MainFormTest::trayTipText_data() {
    QTest::addColumn<QDateTime>("when");
    QTest::addColumn<QString>("tip");
    QTest::newRow("morning") << QDateTime(QDate(2026, 12, 6), QTime(9, 5, 7))
                             << QStringLiteral("2026/12/06 9:05:07");
    QTest::newRow("evening") << QDateTime(QDate(2024, 1, 15), QTime(18, 0, 0))
                             << QStringLiteral("2024/01/15 18:00:00");
    QTest::newRow("midnight") << QDateTime(QDate(2026, 12, 6), QTime(0, 0, 0))
                              << QStringLiteral("2026/12/06");
}

void MainFormTest::trayTipText() {
    QFETCH(QDateTime, when);
    QFETCH(QString, tip);
    QCOMPARE(MainForm::generalDateText(when), tip);
}

void MainFormTest::indicatorFollowsIntervalBox() {
    UiFixture fx;
    MainForm& main = fx.start();
    main.refreshIndicator();
    QCOMPARE(main.Check1->text(), QStringLiteral("インターバルメールチェック OFF"));
    forms::setForm()->Text2->setText(QStringLiteral("3"));
    main.refreshIndicator();
    QCOMPARE(main.Check1->text(), QStringLiteral("インターバルメールチェック ON"));
}

void MainFormTest::slideshowCyclesAllSixteen() {
    UiFixture fx;
    MainForm& main = fx.start();
    QList<int> shown;
    for (int i = 0; i < 18; ++i) {
        main.slideTick();
        shown << main.slideCounter();
    }
    QCOMPARE(shown, (QList<int>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 1, 2}));
}

void MainFormTest::sizeProbePath() {
    UiFixture fx;
    MainForm& main = fx.start();
    main.Command5->click();
    QCOMPARE(QDir::cleanPath(main.Text12->text()),
             QDir::cleanPath(fx.path(QStringLiteral("添付フォルダ/0.txt"))));
}

void MainFormTest::editedPeriodShowsApplyButton() {
    UiFixture fx;
    MainForm& main = fx.start();
    QVERIFY(main.Command12->isHidden());
    main.Text15->setText(QStringLiteral("0.5"));
    QVERIFY(!main.Command12->isHidden());
    QVERIFY(!main.Timer7->isActive()); // not applied yet
    main.Command12->click();
    QVERIFY(main.Command12->isHidden());
    QCOMPARE(main.Timer7->interval(), 500);
    QVERIFY(main.Timer7->isActive());
}

void MainFormTest::trayEventsAndPopupMenu() {
    UiFixture fx;
    MainForm& main = fx.start();
    main.trayEvent(0);
    QCOMPARE(fx.boxes.asked.size(), 1);
    QCOMPARE(fx.boxes.asked[0].text, QStringLiteral("Clicked!"));
    QCOMPARE(fx.boxes.asked[0].icon, MsgIcon::Exclamation);
    main.trayEvent(5);
    QCOMPARE(fx.boxes.asked.size(), 1);
    main.hide();
    main.mnuPopup0->trigger(); // "メイン画面を表示"
    QVERIFY(main.isVisible());
    QVERIFY(!main.hasEnded());
    QCOMPARE(main.mnuPopup->actions().size(), 3);
    QCOMPARE(main.mnuPopup->actions().at(1)->isSeparator(), true);
}

QTEST_MAIN(MainFormTest)
#include "tst_mainform.moc"
