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
    void tick_data();
    void tick();
    void noDeviceDoesNothing();
};

void MusicTest::tick_data() {
    QTest::addColumn<QString>("mode");
    QTest::addColumn<bool>("intervalOn");
    QTest::addColumn<QStringList>("sent");
    QTest::addColumn<bool>("keepsWatching");
    const QString status = QStringLiteral("status bgm mode");
    QTest::newRow("playing: only asked") << "playing" << false << QStringList{status} << true;
    QTest::newRow("ended, interval on: restarted")
        << "stopped" << true << QStringList{status, QStringLiteral("play bgm from 0")} << true;
    QTest::newRow("ended, interval off: released for good")
        << "stopped" << false << QStringList{status, QStringLiteral("stop bgm"), QStringLiteral("close bgm")}
        << false;
}

void MusicTest::tick() {
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
    if (keepsWatching)
        QCOMPARE(m.timer()->interval(), 100);
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
