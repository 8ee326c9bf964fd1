#pragma once
#include <QString>

namespace brindle {

// The application folder, without a trailing separator: the settings, the data folder, and the
// pictures, help pages and music of a portable copy or of the user's own (dataFilePath). By default it is the
// program's own folder when that holds a data folder the user may write to (a portable copy such as
// dist/Brindle), and otherwise the user's own folder (userApplicationFolder). brindle-check --app-folder and
// the tests point it elsewhere.
QString applicationFolder();
void setApplicationFolder(const QString& folder);

// The program's own folder may serve as the application folder: it holds the data folder
// "★MailData" and the user may write to both. A program installed for the whole system (under /usr)
// has no data folder beside it, so not even root writes its settings there.
bool isPortableApplicationFolder(const QString& folder);
// $XDG_DATA_HOME/Brindle, or ~/.local/share/Brindle when XDG_DATA_HOME is not set or not absolute.
QString userApplicationFolder();
// The installation's read-only data folder (the help, the pictures and the music of a program
// installed for the whole system, "<datadir>/brindle", compiled in) when the application folder in
// use is the user's own; empty for a portable or overridden folder, which holds its own data.
QString installedDataFolder();
// A data file below the application folder, the tail written as for appPath ("\\画像データ\\1.jpg"):
// the user's own copy when there is one, else the installation's (in `installedFolder`, when that is
// not empty and has it). The help is the installation's alone: a page there wins over any copy in the
// user's folder, so that an upgrade shows its own help at once. A user's file that is byte for byte
// the installation's is an untouched copy (an earlier version copied the data into every user's
// folder) and gives way to the installation's, so that it is no longer used.
QString dataFilePath(const QString& tail, const QString& installedFolder = installedDataFolder());
// Makes the user's application folder when it is the one in use: the data folder and "添付フォルダ"
// (the help, the pictures and the music stay in the installation's data folder). Makes nothing for a
// portable or overridden folder. In every case the data folder and "添付フォルダ" are then narrowed to
// the user alone (narrowPrivateFolders). False when the folder could not be made.
bool prepareApplicationFolder();

// base + a tail written with backslashes ("\\★MailData\\ini.ini"). Each component is matched without
// regard to letter case against what exists on disk; a component that does not exist keeps the
// spelling given. The result uses the platform separator.
QString resolvePath(const QString& base, const QString& tail);

// resolvePath(applicationFolder(), tail)
QString appPath(const QString& tail);

} // namespace brindle
