#include "ui/StartupTrace.h"

#include <cstdio>
#include <cstdlib>
#include <QElapsedTimer>
#include <QFile>
#include <QString>
#include <unistd.h>

namespace brindle {

namespace {

QElapsedTimer& clock() {
    static QElapsedTimer c;
    return c;
}

// Milliseconds since the process began, from the kernel's records; -1 when unknown.
double processAgeMs() {
    QFile stat(QStringLiteral("/proc/self/stat"));
    QFile uptime(QStringLiteral("/proc/uptime"));
    if (!stat.open(QIODevice::ReadOnly) || !uptime.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray s = stat.readAll();
    const qsizetype close = s.lastIndexOf(')');
    if (close < 0)
        return -1;
    const QList<QByteArray> fields = s.mid(close + 2).split(' ');
    // Field 22 of the record (starttime) is the 20th after the command name.
    if (fields.size() < 20)
        return -1;
    const double startTicks = fields.at(19).toDouble();
    const double up = uptime.readAll().split(' ').value(0).toDouble();
    return (up - startTicks / double(sysconf(_SC_CLK_TCK))) * 1000.0;
}

long residentKb() {
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLong();
    }
    return -1;
}

} // namespace

void markStartup() {
    clock().start();
}

void reportFirstPaint() {
    if (!std::getenv("BRINDLE_STARTUP_TRACE") || !clock().isValid())
        return;
    std::fprintf(stderr, "brindle: first paint %lld ms after main, %.0f ms after process start, RSS %ld KB\n",
                 static_cast<long long>(clock().elapsed()), processAgeMs(), residentKb());
}

} // namespace brindle
