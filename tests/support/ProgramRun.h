#pragma once
// Command-line programs as scripts see them, and a loopback port nobody listens on.
#include <QProcess>
#include <QStringList>
#include <QTcpServer>

namespace brindle::testing {

// A loopback port that was free a moment ago: a connection to it is refused at once.
inline quint16 closedLoopbackPort() {
    QTcpServer probe;
    return probe.listen(QHostAddress::LocalHost, 0) ? probe.serverPort() : 0;
}

struct ProgramRun {
    int exitCode = -1; // -1: crashed or did not finish
    QStringList lines; // standard output, one entry per non-empty line, CR removed
    QString errors;    // standard error, or why the run has no exit code
};

// Runs a program to its end. The bound only keeps a hung program from blocking the test run.
inline ProgramRun runProgram(const QString& program, const QStringList& args, int timeoutMs = 60000) {
    ProgramRun r;
    QProcess p;
    p.start(program, args);
    if (!p.waitForFinished(timeoutMs)) {
        p.kill();
        p.waitForFinished(timeoutMs);
        r.errors = program + QStringLiteral(" did not finish");
        return r;
    }
    r.errors = QString::fromUtf8(p.readAllStandardError());
    if (p.exitStatus() == QProcess::NormalExit)
        r.exitCode = p.exitCode();
    for (const QString& line : QString::fromUtf8(p.readAllStandardOutput()).split(u'\n', Qt::SkipEmptyParts))
        r.lines.append(line.endsWith(u'\r') ? line.chopped(1) : line);
    return r;
}

} // namespace brindle::testing
