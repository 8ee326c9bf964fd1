#pragma once
#include <functional>
#include <QObject>
#include <QString>

class QTimer;

namespace brindle {

// The media device the background music plays on, addressed by command strings ("status bgm mode",
// "play bgm from 0", "stop bgm", "close bgm"). Only the status query's answer is used.
class MediaControl {
public:
    virtual ~MediaControl() = default;
    virtual QString send(const QString& command) = 0;
};

// No music device is opened on this platform: the status query answers with nothing, so the
// monitor never acts.
class NoMediaDevice : public MediaControl {
public:
    QString send(const QString&) override { return QString(); }
};

// Watches the music device ten times a second: a piece that has ended starts again while interval
// checking is on; otherwise the device is stopped and released and the watching ends for the run.
class MusicMonitor : public QObject {
    Q_OBJECT
public:
    MusicMonitor(MediaControl& device, std::function<bool()> intervalCheckingOn, QObject* parent = nullptr);
    QTimer* timer() const { return m_timer; }
    void tick();
    // Opens the piece on the device, plays it from the start and watches it again.
    void play(const QString& piece);
    // Stops and releases the device; the watching ends until the next play.
    void stop();

private:
    MediaControl& m_device;
    std::function<bool()> m_intervalOn;
    QTimer* m_timer;
};

} // namespace brindle
