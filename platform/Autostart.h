#pragma once
#include <QByteArray>
#include <QString>

namespace brindle {

// Starting at login, the freedesktop.org way: a desktop entry in the user's autostart folder,
// $XDG_CONFIG_HOME/autostart (~/.config/autostart), that starts the program into the tray.
QString autostartEntryPath(); // ".../autostart/brindle.desktop"
bool autostartEnabled();
// The entry that starts `program` with --tray.
QByteArray autostartEntry(const QString& program);
// Writes (atomically) or removes the entry. False when that failed.
bool setAutostart(bool enabled, const QString& program);

} // namespace brindle
