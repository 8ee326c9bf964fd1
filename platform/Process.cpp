#include "platform/Process.h"

#include <QFileInfo>
#include <QProcess>

namespace brindle {

namespace {

bool isFile(const QString& path) {
    return QFileInfo(path).isFile();
}

} // namespace

CommandLine splitCommandLine(const QString& commandLine) {
    const QString line = commandLine.trimmed();
    if (line.isEmpty())
        return {};
    if (isFile(line))
        return {line, {}};
    if (!line.startsWith(u'"') && !line.startsWith(u'\'')) {
        for (qsizetype space = line.indexOf(u' '); space > 0; space = line.indexOf(u' ', space + 1)) {
            const QString candidate = line.first(space);
            if (isFile(candidate))
                return {candidate, QProcess::splitCommand(line.sliced(space + 1))};
        }
    }
    QStringList words = QProcess::splitCommand(line);
    if (words.isEmpty())
        return {};
    CommandLine result;
    result.program = words.takeFirst();
    result.arguments = words;
    return result;
}

bool startDetached(const QString& commandLine) {
    const CommandLine cmd = splitCommandLine(commandLine);
    if (cmd.program.isEmpty())
        return false;
    return QProcess::startDetached(cmd.program, cmd.arguments);
}

} // namespace brindle
