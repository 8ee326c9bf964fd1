// The slideshow's timing and order and the music monitor, without a display.
#include "ambience/MusicMonitor.h"
#include "ambience/Slideshow.h"

#include <QStringList>
#include <QTest>
#include <QTimer>

using namespace brindle;

namespace {

class ScriptedDevice : public MediaControl {
public:
    QString send(const QString& command) override {
        sent << command;
        return command == QLatin1String("status bgm mode") ? mode : QString();
    }
    QString mode;
    QStringList sent;
};

} // namespace

class AmbienceTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void slidePeriod_data() {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<int>("intervalMs"); // 0: the slideshow stands still
        QTest::newRow("fraction") << "1.5" << 1500;
        QTest::newRow("above the 16-bit timer range is kept") << "70" << 70000;
        QTest::newRow("blanks and trailing text") << " 7 s" << 7000;
        QTest::newRow("zero stops") << "0" << 0;
        QTest::newRow("letters stop") << "abc" << 0;
        QTest::newRow("beyond a day is a day") << "1e12" << 86400000;
    }
    void slidePeriod() {
        QFETCH(QString, typed);
        QFETCH(int, intervalMs);
        QCOMPARE(Slideshow::intervalMs(typed), intervalMs);
    }

    void slidesCycleThroughAllSixteen() {
        Slideshow show;
        QCOMPARE(show.current(), 0);
        QList<int> shown;
        for (int i = 0; i < 18; ++i)
            shown << show.advance();
        QCOMPARE(shown, (QList<int>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 1, 2}));
    }

    void musicTick_data() {
        QTest::addColumn<QString>("mode");
        QTest::addColumn<bool>("intervalOn");
        QTest::addColumn<QStringList>("sent");
        QTest::addColumn<bool>("keepsWatching");
        const QString status = QStringLiteral("status bgm mode");
        QTest::newRow("playing: only asked") << "playing" << false << QStringList{status} << true;
        QTest::newRow("ended, interval on: restarted")
            << "stopped" << true << QStringList{status, QStringLiteral("play bgm from 0")} << true;
        QTest::newRow("ended, interval off: released for good")
            << "stopped" << false
            << QStringList{status, QStringLiteral("stop bgm"), QStringLiteral("close bgm")} << false;
    }
    void musicTick() {
        QFETCH(QString, mode);
        QFETCH(bool, intervalOn);
        QFETCH(QStringList, sent);
        QFETCH(bool, keepsWatching);
        ScriptedDevice dev;
        dev.mode = mode;
        MusicMonitor m(dev, [=] { return intervalOn; });
        m.timer()->start();
        m.tick();
        QCOMPARE(dev.sent, sent);
        QCOMPARE(m.timer()->isActive(), keepsWatching);
    }
};

QTEST_GUILESS_MAIN(AmbienceTest)
#include "tst_ambience.moc"
