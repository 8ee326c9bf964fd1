#pragma once
#include <QString>

namespace brindle {

// The folder that holds the program, without a trailing separator. Defaults to the folder of the
// running executable; brindle-check --app-folder and the tests point it elsewhere.
QString applicationFolder();
void setApplicationFolder(const QString& folder);

// base + a tail written with backslashes ("\\★MailData\\ini.ini"). Each component is matched without
// regard to letter case against what exists on disk; a component that does not exist keeps the
// spelling given. The result uses the platform separator.
QString resolvePath(const QString& base, const QString& tail);

// resolvePath(applicationFolder(), tail)
QString appPath(const QString& tail);

} // namespace brindle
