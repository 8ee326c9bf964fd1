#include "ambience/MediaPlayerDevice.h"

#include "platform/AppFolder.h"

#include <algorithm>
#include <QAudioOutput>
#include <QDir>
#include <QFileInfo>
#include <QMediaPlayer>
#include <QRegularExpression>
#include <QUrl>

namespace brindle {

namespace {

const QStringList kMusicSuffixes{QStringLiteral("ogg"), QStringLiteral("mp3"), QStringLiteral("flac"),
                                 QStringLiteral("wav")};

bool isMusic(const QString& name) {
    return kMusicSuffixes.contains(QFileInfo(name).suffix(), Qt::CaseInsensitive);
}

} // namespace

QString chooseMusic(QStringList names) {
    // By name without regard to case, then exactly, so that the choice does not depend on the order
    // in which the file system lists the folder.
    std::sort(names.begin(), names.end(), [](const QString& a, const QString& b) {
        const int c = a.compare(b, Qt::CaseInsensitive);
        return c != 0 ? c < 0 : a < b;
    });
    bool oursThere = false;
    for (const QString& name : std::as_const(names)) {
        if (name.compare(kOwnMusic, Qt::CaseInsensitive) == 0)
            oursThere = true;
        else if (isMusic(name) && name.compare(kEarlierMusic, Qt::CaseInsensitive) != 0)
            return name;
    }
    return oursThere ? kOwnMusic : QString();
}

namespace {

// The full path of chooseMusic over the files of `folder`; empty when it holds no music.
QString musicInFolder(const QString& folder) {
    QDir dir(folder);
    const QStringList names = dir.entryList(QDir::Files | QDir::Readable, QDir::Name);
    const QString chosen = chooseMusic(names);
    if (chosen.isEmpty())
        return QString();
    // Ours is listed under its own spelling when the file system has it differently.
    const auto it = std::find_if(names.cbegin(), names.cend(), [&](const QString& n) {
        return n.compare(chosen, Qt::CaseInsensitive) == 0;
    });
    return dir.filePath(it != names.cend() ? *it : chosen);
}

bool isOurs(const QString& path) {
    return QFileInfo(path).fileName().compare(kOwnMusic, Qt::CaseInsensitive) == 0;
}

} // namespace

QString musicIn(const QString& appFolder, const QString& installedFolder) {
    const QString user = musicInFolder(resolvePath(appFolder, kMusicFolder));
    if (!user.isEmpty() && !isOurs(user))
        return user;
    if (!installedFolder.isEmpty()) {
        const QString installed = musicInFolder(resolvePath(installedFolder, kMusicFolder));
        if (isOurs(installed))
            return installed;
    }
    return user;
}

MediaPlayerDevice::MediaPlayerDevice(QObject* parent) : QObject(parent) {}

MediaPlayerDevice::~MediaPlayerDevice() {
    close();
}

bool MediaPlayerDevice::open(const QString& path) {
    close();
    const QFileInfo file(path);
    if (!file.isFile() || !file.isReadable())
        return false;
    m_player = new QMediaPlayer(this);
    m_player->setAudioOutput(new QAudioOutput(m_player));
    // A file that cannot be decoded, or a sound device that cannot be used, closes the device: the
    // music is silent from then on, as though it had never been opened. So does a piece that ends
    // without having lasted at all, which the monitor would otherwise start again ten times a second.
    connect(m_player, &QMediaPlayer::errorOccurred, this, [this] { close(); });
    connect(m_player, &QMediaPlayer::mediaStatusChanged, this, [this](QMediaPlayer::MediaStatus s) {
        if (s == QMediaPlayer::InvalidMedia || (s == QMediaPlayer::EndOfMedia && m_player->duration() <= 0))
            close();
    });
    connect(m_player, &QMediaPlayer::seekableChanged, this, [this](bool seekable) {
        if (seekable && m_pendingPosition >= 0) {
            m_player->setPosition(m_pendingPosition);
            m_pendingPosition = -1;
        }
    });
    m_player->setSource(QUrl::fromLocalFile(file.absoluteFilePath()));
    return true;
}

void MediaPlayerDevice::close() {
    if (!m_player)
        return;
    QMediaPlayer* player = m_player;
    m_player = nullptr;
    m_pendingPosition = -1;
    player->disconnect(this);
    player->stop();
    // The player may be the sender of the signal that is closing it.
    player->deleteLater();
}

QString MediaPlayerDevice::send(const QString& command) {
    static const QRegularExpression openCommand(
        QStringLiteral("^open\\s+(?:\"([^\"]*)\"|(\\S+))\\s+alias\\s+bgm$"),
        QRegularExpression::CaseInsensitiveOption);
    static const QRegularExpression playCommand(QStringLiteral("^play\\s+bgm(?:\\s+from\\s+(\\d+))?$"),
                                                QRegularExpression::CaseInsensitiveOption);
    const QString line = command.trimmed();
    const QRegularExpressionMatch opening = openCommand.match(line);
    if (opening.hasMatch()) {
        open(opening.captured(1).isEmpty() ? opening.captured(2) : opening.captured(1));
        return QString();
    }
    if (!m_player)
        return QString();
    const QString words = line.simplified().toLower();
    if (words == QLatin1String("status bgm mode")) {
        switch (m_player->playbackState()) {
        case QMediaPlayer::PlayingState:
            return QStringLiteral("playing");
        case QMediaPlayer::PausedState:
            return QStringLiteral("paused");
        case QMediaPlayer::StoppedState:
            break;
        }
        return QStringLiteral("stopped");
    }
    const QRegularExpressionMatch playing = playCommand.match(words);
    if (playing.hasMatch()) {
        if (playing.hasCaptured(1)) {
            // The player ignores a position until it can seek in the piece: a play that follows the
            // open at once moves to the position as soon as it can.
            const qint64 position = playing.captured(1).toLongLong();
            if (!m_player->isSeekable())
                m_pendingPosition = position;
            else
                m_player->setPosition(position);
        }
        m_player->play();
    } else if (words == QLatin1String("stop bgm")) {
        m_player->stop();
    } else if (words == QLatin1String("pause bgm")) {
        m_player->pause();
    } else if (words == QLatin1String("close bgm")) {
        close();
    }
    return QString();
}

} // namespace brindle
