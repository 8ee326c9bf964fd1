// The music device played into no sound device: piece end, broken files, piece choice; the slideshow.
#include "ambience/MediaPlayerDevice.h"
#include "ambience/Slideshow.h"
#include "support/Rows.h"
#include "support/TestFiles.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

using namespace brindle;
using brindle::test::indexRows;

namespace {

using L = QStringList;
// The user's folder, the installation's data folder ("-": none, a portable copy), the piece chosen:
// "user/<name>", "installed/<name>"; empty: silence.
const QString kOurs = kOwnMusic;
const std::tuple<const char*, L, L, QString> kPieces[]{
    {"the user's own wins", {"mine.mp3"}, {kOurs}, "user/mine.mp3"},
    {"the installation's", {}, {kOurs}, "installed/" + kOurs},
    {"earlier copy gives way", {kEarlierMusic}, {kOurs}, "installed/" + kOurs},
    {"installation without music", {kEarlierMusic}, {"readme.txt"}, ""},
    {"portable, the user's wins, first by name", {"b.ogg", kOurs, "A.Flac", "c.mp3"}, {"-"}, "user/A.Flac"},
    {"portable, not music is passed over", {"cover.jpg", "readme.txt", kOurs}, {"-"}, "user/" + kOurs},
    {"portable, ours in other letters is still ours", {"BRINDLE-BGM.OGG"}, {"-"}, "user/BRINDLE-BGM.OGG"},
    {"portable, the earlier version's copy passed over", {"Brindle-BGM.wav", kOurs}, {"-"}, "user/" + kOurs},
};

} // namespace

class TestMediaPlayer : public QObject {
    Q_OBJECT
    QTemporaryDir m_dir;
    const QString kStatus = QStringLiteral("status bgm mode");

private Q_SLOTS:
    void pieceOfTheFolders_data() { indexRows(kPieces); }
    void pieceOfTheFolders() {
        QFETCH(int, row);
        const auto& [name, user, installed, chosen] = kPieces[row];
        const QString music = QStringLiteral(u"/音楽データ/");
        QTemporaryDir dir;
        for (const auto& [folder, names] : {std::pair{"user", user}, std::pair{"installed", installed}}) {
            QVERIFY(QDir(dir.path()).mkpath(folder + music));
            for (const QString& name : names)
                QVERIFY(brindle::testing::writeFile(dir.filePath(folder + music + name), {}));
        }
        const bool portable = installed == QStringList{"-"};
        QCOMPARE(musicIn(dir.filePath("user"), portable ? QString() : dir.filePath("installed")),
                 chosen.isEmpty() ? QString() : dir.filePath(QString(chosen).replace(u'/', music)));
    }

    void pieceEndsAndPlaysAgainWhileIntervalCheckingIsOn() {
        MediaPlayerDevice device;
        device.send(QStringLiteral("open \"%1\" alias bgm").arg(BRINDLE_MUSIC_FILE));
        // The last half second of the piece that comes with the program.
        device.send(QStringLiteral("play bgm from 163500"));
        QCOMPARE(device.send(kStatus), QStringLiteral("playing"));
        QTRY_COMPARE_WITH_TIMEOUT(device.send(kStatus), QStringLiteral("stopped"), 20000);
        bool intervalOn = true;
        MusicMonitor monitor(device, [&] { return intervalOn; });
        monitor.timer()->start();
        monitor.tick();
        QCOMPARE(device.send(kStatus), QStringLiteral("playing"));
        device.send(QStringLiteral("play bgm from 163500"));
        intervalOn = false;
        QTRY_VERIFY_WITH_TIMEOUT(!monitor.timer()->isActive(), 20000);
        QCOMPARE(device.send(kStatus), QString()); // released
    }

    void brokenFileIsSilent_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("bytes"); // empty: no such file
        QTest::newRow("missing") << "gone.wav" << QByteArray();
        QTest::newRow("garbage") << "noise.wav" << QByteArray(20000, '\x5a');
        QTest::newRow("no sound at all")
            << "empty.wav"
            << QByteArray::fromHex("524946462400000057415645666d7420100000000100010040"
                                   "1f0000803e0000020010006461746100000000");
    }
    void brokenFileIsSilent() {
        QFETCH(QString, name);
        QFETCH(QByteArray, bytes);
        QVERIFY(bytes.isEmpty() || brindle::testing::writeFile(m_dir.filePath(name), bytes));
        MediaPlayerDevice device;
        device.open(m_dir.filePath(name));
        device.send(QStringLiteral("play bgm from 0"));
        MusicMonitor monitor(device, [] { return true; });
        monitor.timer()->start();
        QTRY_VERIFY_WITH_TIMEOUT(!device.isOpen(), 20000);
        // No device is left for the monitor to start again and again.
        QCOMPARE(device.send(kStatus), QString());
    }

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
        QTEST(Slideshow::intervalMs(typed), "intervalMs");
    }

    void slidesCycleThroughAllSixteen() {
        Slideshow show;
        QCOMPARE(show.current(), 0);
        QList<int> shown;
        for (int i = 0; i < 18; ++i)
            shown << show.advance();
        QCOMPARE(shown, (QList<int>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 1, 2}));
    }
};

QTEST_MAIN(TestMediaPlayer)
#include "tst_mediaplayer.moc"
