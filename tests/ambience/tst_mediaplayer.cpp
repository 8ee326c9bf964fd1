// The music device on Qt Multimedia, played into no sound device: a short piece made here, missing and
// broken files, and the choice of the piece in the music folder.
#include "ambience/MediaPlayerDevice.h"

#include <cmath>
#include <QApplication>
#include <QFile>
#include <QTemporaryDir>
#include <QtEndian>
#include <QTest>
#include <QTimer>

using namespace brindle;

namespace {

const QString kStatus = QStringLiteral("status bgm mode");

// Passes every command on to the device and keeps it.
class Recorder : public MediaControl {
public:
    explicit Recorder(MediaControl& device) : m_device(device) {}
    QString send(const QString& command) override {
        sent << command;
        return m_device.send(command);
    }
    QStringList sent;

private:
    MediaControl& m_device;
};

// A mono 16-bit WAV file of a soft 440 Hz tone at 8 kHz.
QByteArray toneWav(double seconds) {
    const int rate = 8000;
    const auto frames = static_cast<quint32>(seconds * rate);
    QByteArray data(static_cast<qsizetype>(frames) * 2, Qt::Uninitialized);
    for (quint32 i = 0; i < frames; ++i)
        qToLittleEndian(static_cast<qint16>(8000 * std::sin(2 * M_PI * 440 * i / rate)), data.data() + 2 * i);
    QByteArray head(44, '\0');
    auto put32 = [&](int at, quint32 v) { qToLittleEndian(v, head.data() + at); };
    auto put16 = [&](int at, quint16 v) { qToLittleEndian(v, head.data() + at); };
    head.replace(0, 4, "RIFF").replace(8, 8, "WAVEfmt ").replace(36, 4, "data");
    put32(4, 36 + data.size());
    put32(16, 16);
    put16(20, 1); // PCM
    put16(22, 1); // mono
    put32(24, rate);
    put32(28, rate * 2);
    put16(32, 2);
    put16(34, 16);
    put32(40, data.size());
    return head + data;
}

} // namespace

class TestMediaPlayer : public QObject {
    Q_OBJECT
    QTemporaryDir m_dir;

    QString write(const QString& name, const QByteArray& bytes) {
        QFile f(m_dir.filePath(name));
        [&] { QVERIFY(f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size()); }();
        return f.fileName();
    }

private Q_SLOTS:
    void choice_data() {
        QTest::addColumn<QStringList>("names");
        QTest::addColumn<QString>("chosen");
        QTest::newRow("ours alone") << QStringList{kOwnMusic, "readme.txt"} << kOwnMusic;
        QTest::newRow("the user's wins, first by name")
            << QStringList{"b.ogg", kOwnMusic, "A.Flac", "c.mp3"} << "A.Flac";
        QTest::newRow("not music is passed over") << QStringList{"cover.jpg", kOwnMusic} << kOwnMusic;
        QTest::newRow("ours in other letters is still ours") << QStringList{"BRINDLE-BGM.WAV"} << kOwnMusic;
        QTest::newRow("no music") << QStringList{"notes.txt"} << QString();
    }
    void choice() {
        QFETCH(QStringList, names);
        QTEST(chooseMusic(names), "chosen");
    }

    void pieceEndsAndPlaysAgainWhileIntervalCheckingIsOn() {
        MediaPlayerDevice device;
        QCOMPARE(device.send(kStatus), QString());
        const QString piece = write("tone.wav", toneWav(0.5));
        device.send(QStringLiteral("open \"%1\" alias bgm").arg(piece));
        QVERIFY(device.isOpen());
        device.send(QStringLiteral("play bgm from 0"));
        QCOMPARE(device.send(kStatus), QStringLiteral("playing"));
        QTRY_COMPARE_WITH_TIMEOUT(device.send(kStatus), QStringLiteral("stopped"), 20000);

        bool intervalOn = true;
        Recorder rec(device);
        MusicMonitor monitor(rec, [&] { return intervalOn; });
        monitor.timer()->start();
        monitor.tick();
        QCOMPARE(rec.sent, (QStringList{kStatus, QStringLiteral("play bgm from 0")}));
        QCOMPARE(device.send(kStatus), QStringLiteral("playing"));

        intervalOn = false;
        QTRY_VERIFY_WITH_TIMEOUT(!monitor.timer()->isActive(), 20000);
        QCOMPARE(rec.sent.mid(rec.sent.size() - 2), (QStringList{"stop bgm", "close bgm"}));
        QCOMPARE(device.send(kStatus), QString());
    }

    void brokenFileIsSilent_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("missing") << "gone.wav" << QByteArray();
        QTest::newRow("garbage") << "my song.wav" << QByteArray(20000, '\x5a');
        QTest::newRow("cut-off header") << "short.ogg" << QByteArray("OggS\0\x02", 6);
    }
    void brokenFileIsSilent() {
        QFETCH(QString, name);
        QFETCH(QByteArray, bytes);
        const QString path = bytes.isEmpty() ? m_dir.filePath(name) : write(name, bytes);
        MediaPlayerDevice device;
        Recorder rec(device);
        MusicMonitor monitor(rec, [] { return true; });
        device.send(QStringLiteral("open \"%1\" alias bgm").arg(path));
        device.send(QStringLiteral("play bgm from 0"));
        monitor.timer()->start();
        QTRY_VERIFY_WITH_TIMEOUT(!device.isOpen(), 20000);
        // Nothing left to start again: the monitor only asks.
        rec.sent.clear();
        for (int i = 0; i < 5; ++i)
            monitor.tick();
        QCOMPARE(rec.sent, QStringList(5, kStatus));
    }
};

int main(int argc, char** argv) {
    // No sound server is asked, nor started on demand: the media framework falls back to a sink that
    // discards the sound at the pace of the clock, so the pieces play and end as they would aloud.
    qputenv("PULSE_SERVER", "unix:/nonexistent");
    qputenv("JACK_NO_START_SERVER", "1");
    qputenv("GST_PLUGIN_FEATURE_RANK",
            "pulsesink:NONE,jackaudiosink:NONE,alsasink:NONE,osssink:NONE,oss4sink:NONE");
    QApplication app(argc, argv);
    TestMediaPlayer test;
    return QTest::qExec(&test, argc, argv);
}
#include "tst_mediaplayer.moc"
