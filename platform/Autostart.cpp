#include "platform/Autostart.h"

#include "platform/AtomicFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace brindle {

namespace {

// A desktop entry's Exec argument: quoted, the characters the quoting reserves escaped with a
// backslash, and every backslash then doubled once more for the file's string escapes.
QString quotedExecArgument(const QString& argument) {
    QString out = QStringLiteral("\"");
    for (QChar c : argument) {
        if (c == u'\\')
            out += QStringLiteral("\\\\\\\\");
        else if (c == u'"' || c == u'`' || c == u'$')
            out += QStringLiteral("\\\\") + c;
        else
            out += c;
    }
    return out + u'"';
}

} // namespace

QString autostartEntryPath() {
    QString config = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (config.isEmpty() || !QDir::isAbsolutePath(config))
        config = QDir::homePath() + QStringLiteral("/.config");
    return config + QStringLiteral("/autostart/brindle.desktop");
}

bool autostartEnabled() {
    return QFileInfo::exists(autostartEntryPath());
}

QByteArray autostartEntry(const QString& program) {
    // "%" would start a field code: doubled, it stands for itself.
    QString exec = quotedExecArgument(program);
    exec.replace(u'%', QStringLiteral("%%"));
    return QStringLiteral("[Desktop Entry]\n"
                          "Type=Application\n"
                          "Name=Brindle\n"
                          "Name[ja]=迷惑メール撃退ツール\n"
                          "Comment=Keeps junk mail out of your POP3 mailbox\n"
                          "Comment[ja]=POP3サーバーの迷惑メールを自動で削除します\n"
                          "Exec=%1 --tray\n"
                          "Icon=brindle\n"
                          "Terminal=false\n"
                          "X-GNOME-Autostart-enabled=true\n")
        .arg(exec)
        .toUtf8();
}

bool setAutostart(bool enabled, const QString& program) {
    const QString path = autostartEntryPath();
    if (!enabled)
        return !QFileInfo::exists(path) || QFile::remove(path);
    return QDir().mkpath(QFileInfo(path).absolutePath()) &&
           writeFileAtomically(path, autostartEntry(program));
}

} // namespace brindle
