#pragma once
// What the program keeps of the user's mail lies in two folders of the application folder: the data
// folder "★MailData" (quarantine copies, the deletion log, settings, passwords) and "添付フォルダ"
// (the size probe, a message's text). On a shared machine they are the user's alone: folders 0700 and
// files 0600, made so when the program makes them and narrowed at start-up when found wider. Nothing
// outside them is touched, and the process umask stays as it is (the programs we start inherit it).
#include <QFileDevice>
#include <QString>
#include <QStringList>

namespace brindle {

// A file made in a private folder: read and write for its owner alone.
inline constexpr QFileDevice::Permissions kPrivateFilePermissions{QFileDevice::ReadOwner |
                                                                  QFileDevice::WriteOwner};

// The private folders of the application folder in use, whether they exist or not.
QStringList privateFolders();
// The path is one of the private folders or lies below one.
bool isPrivatePath(const QString& path);

// Makes the folder and its missing parents, as QDir::mkpath does. Each folder it makes that is a
// private folder or lies below one is made 0700 from the start. False when the folder is missing
// afterwards.
bool makeFolderPath(const QString& folder);

// Takes the group's and others' access away from the private folders and everything below them.
// Symbolic links below them are left alone, and so is what they point to. False when something found
// wider could not be narrowed.
bool narrowPrivateFolders();

} // namespace brindle
