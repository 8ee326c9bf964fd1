// Start-up from the settings files and every way out of the program, checked on the file's bytes.
#include "UiTestSupport.h"

#include "ambience/MediaPlayerDevice.h"
#include "ambience/MusicMonitor.h"
#include "ambience/PictureBox.h"
#include "ui/ControlMap.h"

using namespace brindle;
using namespace brindle::test;

namespace {

QString checkedRule(MainForm& main) {
    for (const char* name : {"Option1", "Option4", "Option5", "Option6"})
        if (control<QRadioButton>(main, name)->isChecked())
            return QString::fromLatin1(name);
    return QString();
}

class RecordingDevice : public MediaControl {
public:
    QString send(const QString& command) override { return sent << command, QString(); }
    QStringList sent;
};

// BGM line; the menu that switches it (empty: none); on at the end and at the next start.
const std::tuple<const char*, QByteArray, QString, bool> kMusic[]{
    {"no key: on", "", "", true},
    {"on, off in the File menu", "BGM=1\r\n", "mfile", false},
    {"off, on in the tray menu", "BGM=0\r\n", "mnuPopup", true},
};

// Exit (menu entry; empty: close box); rule stored, option at start, option chosen (empty: none), rule
// saved. Stored: 1 keyword, 6 html, 4 size, 5 no hiragana; else none.
const std::tuple<const char*, QString, QByteArray, QString, QString, QByteArray> kExits[]{
    {"close box, 1 to 5", "", "1", "Option1", "Option5", "5"},
    {"File menu, 6 to 4", "mend", "6", "Option6", "Option4", "4"},
    {"tray menu, 4 to 6", "mnu_Popup2", "4", "Option4", "Option6", "6"},
    {"2: none, saved empty", "", "2", "", "", ""},
};

} // namespace

class StartupTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    // Each field and rule of the check has a place of its own in the window, and comes back from it.
    void controlMapRoundTrips() {
        using F = CheckHost::Field;
        using R = CheckHost::RuleSwitch;
        UiFixture fx;
        MainForm& main = fx.start();
        QSet<QString> places;
        for (F f : {F::MailerCommand, F::Keyword, F::Subject, F::Sender, F::Body, F::SizeLimit,
                    F::SizeProbePath, F::MeasuredSize, F::DeletionCount}) {
            const FieldPlace* p = placeOf(f);
            QVERIFY(p && p->field == f && !p->box != !p->member);
            QVERIFY(!p->box || main.findChild<QLineEdit*>(QLatin1String(p->box)));
            places << (p->box ? QLatin1String(p->box)
                              : QString::number(quintptr(&(main.working().*p->member))));
        }
        for (R r : {R::Keyword, R::Html, R::Size, R::NoHiragana}) {
            const RulePlace* p = placeOf(r);
            QVERIFY(p && p->rule == r && placeOf(p->deletionRule) == p);
            QVERIFY(main.findChild<QRadioButton*>(QLatin1String(p->option)));
            places << QLatin1String(p->option);
        }
        QCOMPARE(places.size(), 13); // no two share a place
    }

    void firstRun_data() {
        QTest::addColumn<bool>("serverSet");
        QTest::newRow("no server: the settings window opens") << false;
        QTest::newRow("a server: it stays hidden") << true;
    }
    void firstRun() {
        QFETCH(bool, serverSet);
        UiFixture fx;
        if (serverSet)
            fx.writeServerAndAccount();
        MainForm& main = fx.start();
        QVERIFY(main.windows().isSetFormLoaded());
        QCOMPARE(main.windows().setForm()->isVisible(), !serverSet);
        QCOMPARE(main.working().mailerCommand, QString::fromUtf16(kNotSetText));
        QCOMPARE(control<QLineEdit>(main, "Text10")->text(), QString::fromUtf16(kSizeUnsetText));
        QCOMPARE(checkedRule(main), QString());
        QVERIFY(!control<QTimer>(main, "Timer3")->isActive()); // no interval
        QVERIFY(!control<QTimer>(main, "Timer7")->isActive()); // no slideshow: the built-in picture stays
        QCOMPARE(control<PictureBox>(main, "picMain")->picture().size(), QSize(160, 160));
        QVERIFY(!main.windowIcon().availableSizes().isEmpty());
        QCOMPARE(fx.lib.log, (QStringList{QStringLiteral("init"), QStringLiteral("option 1 8192")}));
        QVERIFY(fx.boxes.asked.isEmpty());
    }

    // The music follows BGM at every start; either menu's entry switches it and stores the choice.
    void musicSwitch_data() { indexRows(kMusic); }
    void musicSwitch() {
        QFETCH(int, row);
        const auto& [name, stored, menu, on] = kMusic[row];
        UiFixture fx;
        fx.write(UiFixture::ini(), "[EXEINI]\r\n" + stored);
        QVERIFY(QDir(fx.dir.path()).mkdir(QStringLiteral(u"音楽データ")));
        fx.write(QStringLiteral(u"音楽データ/") + kOwnMusic, "OggS");
        const QString play = QStringLiteral("play bgm from 0");
        RecordingDevice first, second;
        MainForm& main = fx.start(&first);
        const bool wasOn = !stored.contains('0');
        QCOMPARE(control<QAction>(main, "mbgm")->isChecked(), wasOn);
        QCOMPARE(first.sent.contains(play), wasOn);
        if (!menu.isEmpty()) {
            first.sent.clear();
            for (QAction* a : main.findChild<QMenu*>(menu)->actions())
                if (a->text() == QLatin1String("BGM"))
                    a->trigger(); // found: the music below changes
            QCOMPARE(first.sent.contains(play), on);
            QCOMPARE(first.sent.contains(QStringLiteral("close bgm")), !on);
        }
        MainForm& again = fx.start(&second);
        QCOMPARE(control<QAction>(again, "mbgm")->isChecked(), on);
        QCOMPARE(second.sent.contains(play), on);
        QVERIFY(!on || second.sent.first().startsWith(QStringLiteral("open \"")));
    }

    void storedValuesSurviveEveryExit_data() { indexRows(kExits); }
    void storedValuesSurviveEveryExit() {
        QFETCH(int, row);
        const auto& [name, exitBy, storedRule, loadedRule, chosenRule, savedRule] = kExits[row];
        UiFixture fx;
        fx.writeServerAndAccount();
        fx.write(UiFixture::ini(),
                 "[EXEINI]\r\nNAME=/opt/mail/mailer\r\nNAME2=5000\r\nNUMBER=1\r\nNUMBER2=3\r\n"
                 "NUMBER4=1\r\nNUMBER5=2\r\nNUMBER6=" +
                     storedRule + "\r\nNUMBER7=10\r\n");
        {
            MainForm& main = fx.start();
            QCOMPARE(main.working().mailerCommand, QStringLiteral("/opt/mail/mailer"));
            QCOMPARE(control<QLineEdit>(main, "Text11")->text(), QStringLiteral("mailer"));
            QCOMPARE(control<QLineEdit>(main, "Text10")->text(), QStringLiteral("5000"));
            QCOMPARE(checkedRule(main), loadedRule);
            SetForm* set = main.windows().setForm();
            QVERIFY(set->Check1->isChecked() && set->Check2->isChecked() && set->Option2->isChecked());
            QCOMPARE(control<QLineEdit>(main, "Text7")->text(), QStringLiteral("3"));
            QVERIFY(control<QCheckBox>(main, "Check1")->isChecked() &&
                    control<QTimer>(main, "Timer3")->isActive());
            QTimer* slides = control<QTimer>(main, "Timer7");
            QCOMPARE(slides->interval(), 10000);
            QVERIFY(slides->isActive() && control<QPushButton>(main, "Command12")->isHidden());

            fx.services.chooseFile = [](QWidget*, const QString&) { return u"/usr/bin/other"_qs; };
            fx.boxes.answers = {MsgResult::Yes};
            control<QPushButton>(main, "Command7")->click();
            if (!chosenRule.isEmpty())
                main.findChild<QRadioButton*>(chosenRule)->setChecked(true);
            control<QLineEdit>(main, "Text10")->setText(QStringLiteral("20000"));
            control<QLineEdit>(main, "Text15")->setText(QStringLiteral("7"));
            set->Check1->setChecked(false);
            set->Option1->setChecked(true);
            set->Text2->setText(QStringLiteral("4"));
            if (exitBy.isEmpty())
                main.close();
            else
                main.findChild<QAction*>(exitBy)->trigger();
            QVERIFY(main.hasEnded());
            QCOMPARE(fx.endRunCalls, 1);
            QCOMPARE(fx.lib.log.last(), QStringLiteral("end"));
        }
        QCOMPARE(fx.dir.read(UiFixture::ini()),
                 "[EXEINI]\r\nNAME=/usr/bin/other\r\nNAME2=20000\r\nNUMBER=0\r\nNUMBER2=4\r\nNUMBER4=1\r\n"
                 "NUMBER5=1\r\nNUMBER6=" +
                     savedRule + "\r\nNUMBER7=7\r\n");

        MainForm& again = fx.start(); // the choices that differ from the first start's come back
        QCOMPARE(checkedRule(again), chosenRule.isEmpty() ? loadedRule : chosenRule);
        QVERIFY(!again.windows().setForm()->Check1->isChecked() &&
                again.windows().setForm()->Option1->isChecked());
    }
};

QTEST_MAIN(StartupTest)
#include "tst_startup.moc"
