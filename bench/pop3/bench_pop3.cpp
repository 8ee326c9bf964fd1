// Runs the calls of one mail check (connect, log in, every header and size, delete every tenth
// message by default, close) against the in-process fake server with a simulated round-trip time, with and
// without PIPELINING, and prints time, round trips, commands, bytes and peak memory.
//
//   bench_pop3 [--messages 1000] [--min-kb 5] [--max-kb 50] [--delay-ms 20] [--delete-every 10]
//              [--bodies] [--flood COMMAND [--flood-mb 1024]]
//
// --bodies also fetches every message whole, as the keyword and HTML rules do.
// --flood makes the server answer COMMAND (RETR, TOP, LIST, UIDL, CAPA, STAT, GREETING...) with a
// reply that runs to --flood-mb MiB: the table then shows how much of it the client read before it
// stopped, and the server's count of what it sent.
#include "mailcheck/NMail.h"
#include "tests/support/RunTask.h"
#include "tools/fakepop3/FakePop3Server.h"

#include <cstdio>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QRandomGenerator>
#include <sys/resource.h>

using brindle::testing::runTask;
using namespace brindle;
using namespace brindle::fake;

namespace {

long maxRssKb() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_maxrss;
}

QList<QByteArray> mailbox(int count, int minKb, int maxKb) {
    QRandomGenerator rng(4711);
    QList<QByteArray> box;
    box.reserve(count);
    for (int i = 1; i <= count; ++i) {
        const int size = 1024 * (minKb + int(rng.bounded(maxKb - minKb + 1)));
        QByteArray m =
            "Received: from relay.example.jp by mx.example.jp; Sun, 6 Dec 2026 10:00:00 +0900\r\n"
            "From: Sender <sender" +
            QByteArray::number(i) +
            "@example.jp>\r\nTo: user@example.jp\r\nSubject: =?ISO-2022-JP?B?GyRCJDMkcyRLJEEkTxsoQg==?= " +
            QByteArray::number(i) + "\r\nDate: Sun, 6 Dec 2026 10:00:00 +0900\r\nMessage-ID: <" +
            QByteArray::number(i) +
            "@example.jp>\r\nMIME-Version: 1.0\r\nContent-Type: text/plain; charset=us-ascii\r\n\r\n";
        const QByteArray line =
            "The quick brown fox jumps over the lazy dog, line of message " + QByteArray::number(i) + ".\r\n";
        while (m.size() < size)
            m += line;
        box.append(m);
    }
    return box;
}

struct Result {
    qint64 ms = 0;
    int count = 0;
    int deleted = 0;
    Pop3SessionStats client;
    FakePop3Stats server;
    long rssBeforeKb = 0;
    long rssAfterKb = 0;
    bool ok = true;
};

Result run(const QList<QByteArray>& box, bool pipelining, int delayMs, int deleteEvery, bool bodies,
           const QByteArray& flood, qint64 floodBytes) {
    FakePop3Options o;
    o.floodAt = flood;
    o.floodMaxBytes = floodBytes;
    o.messages = box;
    o.users = {{"user", "pass"}};
    o.pipelining = pipelining;
    o.replyDelayMs = delayMs;
    FakePop3Server server(o);
    Result r;
    if (!server.start()) {
        r.ok = false;
        return r;
    }
    r.rssBeforeKb = maxRssKb();
    NMailLibrary lib;
    lib.NMailSetOption(kNMailOptionPlan, int(bodies ? MailPlan::WholeMessages : MailPlan::HeadersFirst));
    QElapsedTimer t;
    t.start();
    const int h = runTask(lib.NMailPop3Connect(server.address()));
    r.count =
        h < 0 ? -1 : runTask(lib.NMailPop3Authenticate(h, QStringLiteral("user"), QStringLiteral("pass"), 0));
    for (int n = 1; n <= r.count; ++n) {
        MailFields f;
        if (runTask(lib.NMailPop3GetMailStatus(h, n, f)) != 0 || runTask(lib.NMailPop3GetMailSize(h, n)) < 0)
            r.ok = false;
        if (bodies) {
            QString body;
            if (runTask(lib.NMailPop3GetMail(h, n, f, body)) != 0)
                r.ok = false;
        }
        if (deleteEvery > 0 && n % deleteEvery == 0) {
            if (runTask(lib.NMailPop3DeleteMail(h, n)) == 0)
                ++r.deleted;
            else
                r.ok = false;
        }
    }
    if (h < 0 || runTask(lib.NMailPop3Close(h)) != 0)
        r.ok = false;
    r.ms = t.elapsed();
    r.rssAfterKb = maxRssKb();
    r.client = lib.lastSessionStats();
    r.server = server.stats();
    if (!r.ok)
        std::fprintf(stderr, "failure: %s\n", qPrintable(lib.NMailGetError().detail));
    return r;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCommandLineParser p;
    p.addHelpOption();
    p.addOption({"messages", "Messages in the mailbox.", "n", "1000"});
    p.addOption({"min-kb", "Smallest message in KiB.", "kb", "5"});
    p.addOption({"max-kb", "Largest message in KiB.", "kb", "50"});
    p.addOption({"delay-ms", "Simulated round-trip time.", "ms", "20"});
    p.addOption({"delete-every", "Delete every nth message (0: none).", "n", "10"});
    p.addOption({"bodies", "Also fetch every message whole."});
    p.addOption({"flood", "The reply to this command never ends.", "command"});
    p.addOption({"flood-mb", "How long the endless reply runs in MiB.", "mb", "1024"});
    p.process(app);
    const int count = p.value("messages").toInt();
    const int minKb = qMax(1, p.value("min-kb").toInt());
    const int maxKb = qMax(minKb, p.value("max-kb").toInt());
    const int delay = qMax(0, p.value("delay-ms").toInt());
    const bool bodies = p.isSet("bodies");
    const int deleteEvery = qMax(0, p.value("delete-every").toInt());
    const QByteArray flood = p.value("flood").toUpper().toLatin1();
    const qint64 floodBytes = qMax<qint64>(1, p.value("flood-mb").toLongLong()) << 20;

    const QList<QByteArray> box = mailbox(count, minKb, maxKb);
    qint64 total = 0;
    for (const QByteArray& m : box)
        total += m.size();
    std::printf("mailbox: %d messages, %.1f MiB; round-trip delay %d ms; %s\n", count, total / 1048576.0,
                delay, bodies ? "headers, sizes and bodies" : "headers and sizes");
    if (!flood.isEmpty())
        std::printf("the server floods at %s with up to %lld MiB\n", flood.constData(),
                    (long long)(floodBytes >> 20));
    std::printf("%-14s %9s %11s %11s %9s %12s %12s %12s %11s %11s %5s\n", "mode", "wall ms", "client RTs",
                "server RTs", "commands", "bytes sent", "bytes recv", "server sent", "deleted", "maxrss KiB",
                "ok");
    for (bool pipelining : {true, false}) {
        const Result r = run(box, pipelining, delay, deleteEvery, bodies, flood, floodBytes);
        std::printf("%-14s %9lld %11d %11d %9d %12lld %12lld %12lld %11d %5ld->%-5ld %5s\n",
                    pipelining ? "PIPELINING" : "lock-step", (long long)r.ms, r.client.roundTrips,
                    r.server.roundTrips, r.client.commands, (long long)r.client.bytesSent,
                    (long long)r.client.bytesReceived, (long long)r.server.bytesOut, r.deleted, r.rssBeforeKb,
                    r.rssAfterKb, r.ok ? "yes" : "NO");
    }
    return 0;
}
