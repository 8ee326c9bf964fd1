#pragma once
#include <QString>
#include <QStringList>

namespace brindle {

struct CommandLine {
    QString program;
    QStringList arguments;
};

// Splits a command line the way a user who typed or picked it means it: a line that names an existing
// file ("/opt/My Mailer/mailer") is that program, even with spaces and no quotes; otherwise the
// shortest leading run of words that names an existing file is the program and the rest are its
// arguments; otherwise it is split like a shell would (quotes group words). Empty program when the
// line is blank.
CommandLine splitCommandLine(const QString& commandLine);

// Starts the program of a command line without waiting for it. False when it could not be started.
bool startDetached(const QString& commandLine);

} // namespace brindle
