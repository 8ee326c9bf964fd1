// The background-music monitor.
#include "ambience/MusicMonitor.h"

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

class MusicTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void playingSendsOnlyStatus();
    void endedPieceRestartsWhileIntervalOn();
    void endedPieceReleasedForGoodWhenIntervalOff();
    void noDeviceDoesNothing();
};

void MusicTest::playingSendsOnlyStatus() {
    ScriptedDevice dev;
    dev.mode = QStringLiteral("playing");
    MusicMonitor m(dev, [] { return false; });
    m.timer()->start();
    m.tick();
    QCOMPARE(dev.sent, QStringList{QStringLiteral("status bgm mode")});
    QVERIFY(m.timer()->isActive());
}

void MusicTest::endedPieceRestartsWhileIntervalOn() {
    ScriptedDevice dev;
    dev.mode = QStringLiteral("stopped");
    MusicMonitor m(dev, [] { return true; });
    m.timer()->start();
    m.tick();
    QCOMPARE(dev.sent, (QStringList{QStringLiteral("status bgm mode"), QStringLiteral("play bgm from 0")}));
    QVERIFY(m.timer()->isActive());
    QCOMPARE(m.timer()->interval(), 100);
}

void MusicTest::endedPieceReleasedForGoodWhenIntervalOff() {
    ScriptedDevice dev;
    dev.mode = QStringLiteral("stopped");
    MusicMonitor m(dev, [] { return false; });
    m.timer()->start();
    m.tick();
    QCOMPARE(dev.sent, (QStringList{QStringLiteral("status bgm mode"), QStringLiteral("stop bgm"),
                                    QStringLiteral("close bgm")}));
    QVERIFY(!m.timer()->isActive());
}

void MusicTest::noDeviceDoesNothing() {
    NoMediaDevice none;
    MusicMonitor m(none, [] { return false; });
    m.timer()->start();
    m.tick();
    QVERIFY(m.timer()->isActive());
}

QTEST_MAIN(MusicTest)
#include "tst_music.moc"
