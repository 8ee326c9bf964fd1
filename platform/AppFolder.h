#pragma once
#include <QString>

namespace brindle {

// The application folder, without a trailing separator: the settings, the data folder, the pictures,
// the help pages and the music. By default it is the program's own folder when that holds a data
// folder the user may write to (a portable copy such as dist/Brindle), and otherwise the user's own
// folder (userApplicationFolder). brindle-check --app-folder and the tests point it elsewhere.
QString applicationFolder();
void setApplicationFolder(const QString& folder);

// The program's own folder may serve as the application folder: it holds the data folder
// "★MailData" and the user may write to both. A program installed for the whole system (under /usr)
// has no data folder beside it, so not even root writes its settings there.
bool isPortableApplicationFolder(const QString& folder);
// $XDG_DATA_HOME/Brindle, or ~/.local/share/Brindle when XDG_DATA_HOME is not set or not absolute.
QString userApplicationFolder();
// What an installation for the whole system gives each new user folder: the pictures, the help pages
// and the music, in "<prefix>/share/brindle" beside the program's "<prefix>/bin".
QString installedTemplateFolder();
// Makes the user's application folder when it is the one in use: the data folder, "添付フォルダ",
// and the template's folders and files, each copied where it is missing (what the user has is never
// replaced). Makes nothing for a portable or overridden folder. In every case the data folder and
// "添付フォルダ" are then narrowed to the user alone (narrowPrivateFolders). False when the folder
// could not be made.
bool prepareApplicationFolder(const QString& templateFolder = installedTemplateFolder());

// base + a tail written with backslashes ("\\★MailData\\ini.ini"). Each component is matched without
// regard to letter case against what exists on disk; a component that does not exist keeps the
// spelling given. The result uses the platform separator.
QString resolvePath(const QString& base, const QString& tail);

// resolvePath(applicationFolder(), tail)
QString appPath(const QString& tail);

} // namespace brindle
