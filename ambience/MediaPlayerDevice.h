#pragma once
#include "ambience/MusicMonitor.h"

#include <QObject>
#include <QString>
#include <QStringList>

class QMediaPlayer;

namespace brindle {

// The music folder of the application folder, and the piece that comes with the program in it.
inline const QString kMusicFolder = QStringLiteral(u"\\音楽データ");
inline const QString kOwnMusic = QStringLiteral("brindle-bgm.wav");

// The file to play among the names of the music folder's files: the user's own piece (ogg, mp3, flac
// or wav, the first by name when there are several) in place of ours; ours when there is no other;
// empty when there is no music at all.
QString chooseMusic(QStringList names);
// The full path of chooseMusic over the files of `folder`; empty when it holds no music.
QString musicIn(const QString& folder);

// The music device "bgm" played through Qt Multimedia. It understands the command strings of the
// music monitor and the open command that puts a file behind the alias:
//   open <file> alias bgm    (the file may be quoted)
//   play bgm [from <ms>]     stop bgm    pause bgm    close bgm
//   status bgm mode          "playing", "paused" or "stopped"; empty when no device is open
// A file that is missing or cannot be decoded leaves no device open: the music is silent, and the
// monitor, which sees no device, does not try the broken file again and again.
class MediaPlayerDevice : public QObject, public MediaControl {
    Q_OBJECT
public:
    explicit MediaPlayerDevice(QObject* parent = nullptr);
    ~MediaPlayerDevice() override;

    // Opens the file as the device, replacing any that was open; false when there is no such file.
    bool open(const QString& path);
    QString send(const QString& command) override;
    bool isOpen() const { return m_player != nullptr; }

private:
    void close();

    QMediaPlayer* m_player = nullptr;
    qint64 m_pendingPosition = -1; // a "play from" that waits for the piece to load; -1: none
};

} // namespace brindle
