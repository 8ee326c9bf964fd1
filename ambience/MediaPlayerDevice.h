#pragma once
#include "ambience/MusicMonitor.h"

#include <QObject>
#include <QString>
#include <QStringList>

class QMediaPlayer;

namespace brindle {

// The music folder of the application folder, and the piece that comes with the program in it.
inline const QString kMusicFolder = QStringLiteral(u"\\音楽データ");
inline const QString kOwnMusic = QStringLiteral("brindle-bgm.ogg");
// The piece as an earlier version copied it into every user's music folder: passed over, never taken
// for the user's own (the installation's piece replaces it).
inline const QString kEarlierMusic = QStringLiteral("brindle-bgm.wav");

// The file to play among the names of the music folder's files: the user's own piece (ogg, mp3, flac
// or wav, the first by name when there are several) in place of ours; ours when there is no other;
// empty when there is no music at all.
QString chooseMusic(QStringList names);
// The piece to play for the application folder `appFolder`: the user's own in its music folder, else
// ours from the installation's data folder `installedFolder` (when not empty), else ours in the
// application folder (a portable copy); empty when there is no music at all.
QString musicIn(const QString& appFolder, const QString& installedFolder);

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
