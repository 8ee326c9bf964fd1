// The headline figures: brindle-check, mpop and the minimal pipelined client side by side, each
// against the same private Dovecot on loopback (the integration tests' harness) through the
// latency proxy, at the round-trip times and mailbox sizes of --rows.
//
// Each mailbox is written straight into the maildir, then read once by the minimal client so that
// Dovecot's index and cache exist, and saved with them; before every timed run of every client the
// saved state is put back, so each client meets the same mailbox and the same warm index.
//
// brindle-check runs a real check with the keyword rule (the junk, 5 % of the mail, is deleted),
// of a server it has seen before: one untimed check per mailbox leaves its server memories, then
// the mailbox is put back and its verdicts, quarantine and log are removed before each timed run,
// so every message is new to it. mpop downloads everything (keep on, only_new off, pipelining on)
// into a throwaway mbox. The minimal client runs in this process (MinimalClient.h).
//
// Reported: medians over --runs runs of the wall time (the two programs from spawn to exit, the
// minimal client from connect to close), round trips counted from the proxy's trace
// (LatencyProxy.h), brindle-check's start-up (spawn to the proxy's accept) and its peak resident
// memory.
#include "CheckrunCommon.h"
#include "LatencyProxy.h"
#include "MinimalClient.h"
#include "platform/AppFolder.h"
#include "settings/SettingsStore.h"
#include "tests/dovecot/DovecotServer.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

namespace brindle::bench {

namespace {

const QString kUser = kBob.user;

// The tests' Dovecot, but started and stopped here (there is no CTest fixture), and its mailbox
// filled with a generated maildir or saved with its index.
class BenchDovecot : public DovecotServer {
public:
    bool launch(const QString& workDir, QString* error) {
        m_work = workDir;
        return harness({QStringLiteral("start"), workDir}, error) && useWorkDir(workDir, false, error);
    }
    void stop() {
        QString ignored;
        if (!m_work.isEmpty())
            harness({QStringLiteral("stop"), m_work}, &ignored);
    }
    // The user's maildir becomes a copy of folder (cur/, new/, tmp/, perhaps index files), or folder
    // a copy of it. No session of the user may be open.
    bool fill(const QString& user, const QString& folder, QString* error) {
        return harness({QStringLiteral("fill"), m_work, user, folder}, error);
    }
    bool save(const QString& user, const QString& folder, QString* error) {
        return harness({QStringLiteral("save"), m_work, user, folder}, error);
    }

private:
    QString m_work;
};

struct RowSpec {
    int rttMs = 0;
    int messages = 0;
};

struct Sample {
    double seconds = 0;
    int trips = 0;
    double megabytes = 0; // from the server, as the proxy saw it
    double startupMs = -1;
    long peakKb = 0;
    QString note;
};

double median(std::vector<double> v) {
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

// A newsletter: the same news as text and as HTML, 10 to 30 KB.
QByteArray newsletterMail(int i, QRandomGenerator& rng) {
    static const QString items[] = {
        QStringLiteral(u"今月の新商品のご案内です。詳しくは当社ウェブサイトをご覧ください。"),
        QStringLiteral(u"会員様限定のキャンペーンを実施中です。ぜひご利用ください。"),
        QStringLiteral(u"イベント開催のお知らせ：来月十五日に東京会場にて説明会を行います。"),
    };
    QString text,
        html = QStringLiteral("<html><head><style>p{margin:0 0 8px 0;color:#333}</style></head><body>");
    const int n = 30 + rng.bounded(60);
    for (int k = 0; k < n; ++k) {
        const QString& item = items[rng.bounded(3)];
        text += item + QStringLiteral("\r\n");
        html += QStringLiteral(
                    "<p style=\"font-family:sans-serif;font-size:14px\"><a href=\"https://news.example.jp/"
                    "item/%1\">")
                    .arg(k) +
                item + QStringLiteral("</a></p>\r\n");
    }
    html += QStringLiteral("</body></html>\r\n");
    return "From: news@shop" + QByteArray::number(i % 37) +
           ".example.jp\r\nTo: you@example.jp\r\nSubject: =?UTF-8?B?" +
           QStringLiteral(u"ニュースレター 第%1号").arg(i).toUtf8().toBase64() +
           "?=\r\nMIME-Version: 1.0\r\nContent-Type: multipart/alternative; boundary=alt\r\n\r\n"
           "--alt\r\nContent-Type: text/plain; charset=UTF-8\r\nContent-Transfer-Encoding: 8bit\r\n\r\n" +
           text.toUtf8() +
           "\r\n--alt\r\nContent-Type: text/html; charset=UTF-8\r\nContent-Transfer-Encoding: 8bit\r\n\r\n" +
           html.toUtf8() + "--alt--\r\n";
}

// A letter with a document attached: 25 to 115 KB.
QByteArray attachmentMail(int i, QRandomGenerator& rng) {
    QByteArray raw(16 * 1024 + rng.bounded(64 * 1024), '\0');
    for (char& c : raw)
        c = char(rng.bounded(256));
    const QByteArray b64 = raw.toBase64();
    QByteArray lines;
    for (qsizetype k = 0; k < b64.size(); k += 76)
        lines += b64.mid(k, 76) + "\r\n";
    QByteArray letter = wantedMail(i, rng);
    const qsizetype bodyAt = letter.indexOf("\r\n\r\n") + 4;
    const qsizetype typeAt = letter.indexOf("Content-Type: text/plain");
    QByteArray head = letter.left(typeAt) + "Content-Type: multipart/mixed; boundary=mix\r\n\r\n";
    return head + "--mix\r\n" + letter.mid(typeAt, bodyAt - typeAt) + letter.mid(bodyAt) +
           "--mix\r\nContent-Type: application/pdf\r\nContent-Transfer-Encoding: base64\r\n"
           "Content-Disposition: attachment; filename=\"document-" +
           QByteArray::number(i) + ".pdf\"\r\n\r\n" + lines + "--mix--\r\n";
}

struct Mailbox {
    int messages = 0;
    int junk = 0;
    qint64 bytes = 0; // as POP3 sends them (CRLF)
};

// Writes the maildir: file names as Dovecot's own delivery makes them, with the sizes (S= on disk,
// W= with CRLF), in server order.
Mailbox writeMaildir(const QString& folder, int messages) {
    Mailbox box;
    QDir().mkpath(folder + QStringLiteral("/new"));
    QDir().mkpath(folder + QStringLiteral("/tmp"));
    QDir().mkpath(folder + QStringLiteral("/cur"));
    QRandomGenerator rng(7);
    for (int i = 1; i <= messages; ++i) {
        const bool junk = i % 20 == 7; // 5 %
        const int kind = rng.bounded(100);
        QByteArray mail = junk        ? junkMail(i)
                          : kind < 55 ? wantedMail(i, rng)
                          : kind < 85 ? newsletterMail(i, rng)
                                      : attachmentMail(i, rng);
        box.bytes += mail.size();
        mail.replace("\r\n", "\n");
        box.junk += junk;
        const qint64 crlfSize = mail.size() + mail.count('\n');
        QFile f(QStringLiteral("%1/cur/%2.M%3P1.bench,S=%4,W=%5:2,")
                    .arg(folder)
                    .arg(1800000000 + i)
                    .arg(i)
                    .arg(mail.size())
                    .arg(crlfSize));
        if (f.open(QIODevice::WriteOnly))
            f.write(mail);
    }
    box.messages = messages;
    return box;
}

struct Bench {
    QString check;
    QString dir;       // the bench's temporary folder, also brindle-check's application folder
    QString data;      // ★MailData
    QString learnDir;  // --learning: a second application folder, the same but for LEARNING=1
    QString learnData; // and its ★MailData, whose learned store stays between runs
    int setAside = 0;  // quarantines moved aside so far
    QString serverDir; // Dovecot's work folder, the mailboxes and their snapshots
    BenchDovecot dovecot;
    LatencyProxy proxy;

    bool restore(const QString& snapshot) {
        QString error;
        if (!dovecot.fill(kUser, snapshot, &error)) {
            std::fprintf(stderr, "%s\n", qPrintable(error));
            return false;
        }
        for (const QString& folder : {data, learnData}) {
            if (folder.isEmpty())
                continue;
            // Moved aside, not deleted: files deleted moments before make ext4 scan past their inodes
            // when the next check creates its copies, a cost of this bench's clean-up that no user's
            // check meets (a quarantine keeps its copies for weeks). Deleted with the bench's folder.
            const QString aside = dir + QStringLiteral("/set-aside");
            QDir().mkpath(aside);
            QDir().rename(folder + QStringLiteral("/quarantine"),
                          aside + QStringLiteral("/quarantine-%1").arg(++setAside));
            for (const char* name : {"deleted.log", "deleted.log.1", "verdicts.txt", "pending-deletions.txt"})
                QFile::remove(folder + u'/' + QLatin1String(name));
        }
        return true;
    }

    QString traceFile; // --trace: every connection's events, appended
    QString traceLabel;

    void count(Sample& s) {
        for (const ConnectionTrace& t : proxy.takeTraces()) {
            if (!traceFile.isEmpty()) {
                QFile f(traceFile);
                if (f.open(QIODevice::Append)) {
                    f.write(QStringLiteral("# %1: %2 round trips\n")
                                .arg(traceLabel)
                                .arg(countRoundTrips(t))
                                .toUtf8());
                    for (const TraceEvent& e : t.events)
                        f.write(QStringLiteral("%1 %2 %3 owed %4\n")
                                    .arg(std::chrono::duration<double, std::milli>(e.at - t.accepted).count(),
                                         0, 'f', 3)
                                    .arg(QLatin1String(e.toServer ? "c>s" : "s>c"))
                                    .arg(e.bytes)
                                    .arg(e.owedReplies)
                                    .toUtf8());
                }
            }
            s.trips += countRoundTrips(t);
            if (s.startupMs < 0)
                s.startupMs =
                    std::chrono::duration<double, std::milli>(t.accepted.time_since_epoch()).count();
            for (const TraceEvent& e : t.events)
                s.megabytes += e.toServer ? 0 : e.bytes / 1e6;
        }
    }

    Sample brindle(bool learning = false) {
        const QString folder = learning ? learnDir : dir;
        const ChildResult r =
            runChild(check, {QStringLiteral("--app-folder"), folder}, folder + QStringLiteral("/out.txt"));
        Sample s;
        s.seconds = r.seconds;
        s.peakKb = r.maxRssKb;
        s.note = QStringLiteral("exit %1: %2").arg(r.exitCode).arg(r.lastLine);
        count(s);
        if (s.startupMs >= 0)
            s.startupMs -= std::chrono::duration<double, std::milli>(r.spawned.time_since_epoch()).count();
        return s;
    }

    Sample mpop() {
        const QString config = dir + QStringLiteral("/mpoprc");
        QFile::remove(dir + QStringLiteral("/mbox"));
        QFile::remove(dir + QStringLiteral("/uidls"));
        QFile c(config);
        c.open(QIODevice::WriteOnly | QIODevice::Truncate);
        c.write(QStringLiteral("account bench\nhost 127.0.0.1\nport %1\ntls off\nauth user\nuser %2\n"
                               "password %3\nkeep on\nonly_new off\npipelining on\ndelivery mbox %4\n"
                               "uidls_file %5\n")
                    .arg(proxy.port())
                    .arg(kUser, kBob.password, dir + QStringLiteral("/mbox"), dir + QStringLiteral("/uidls"))
                    .toUtf8());
        c.close();
        c.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
        const ChildResult r = runChild(QStringLiteral("/usr/bin/mpop"), {"-C", config, "-q", "bench"},
                                       dir + QStringLiteral("/mpop.txt"));
        Sample s;
        s.seconds = r.seconds;
        s.note = QStringLiteral("exit %1 %2").arg(r.exitCode).arg(r.lastLine);
        count(s);
        s.startupMs = -1;
        return s;
    }

    Sample minimal() {
        const MinimalResult r =
            runMinimalClient(proxy.port(), kUser.toStdString(), kBob.password.toStdString());
        Sample s;
        s.seconds = r.seconds;
        s.note = QString::fromStdString(r.ok ? "ok" : r.error);
        count(s);
        s.startupMs = -1;
        return s;
    }
};

} // namespace

int dovecotBench(const QStringList& args) {
    std::vector<RowSpec> rows{{1, 2000}, {20, 2000}, {20, 4000}, {100, 1000}};
    int runs = 3; // a full run takes about four minutes
    int keywordCount = 1000;
    QString traceFile;
    bool learning = false;
    QString folderBase;
    QString check = QStringLiteral(BRINDLE_CHECK);
    for (int i = 1; i < args.size(); ++i) {
        const bool hasValue = i + 1 < args.size();
        if (args[i] == "--server" && hasValue) {
            ++i;
        } else if (args[i] == "--rows" && hasValue) {
            rows.clear();
            for (const QString& r : args[++i].split(u','))
                rows.push_back({r.section(u':', 0, 0).toInt(), r.section(u':', 1).toInt()});
        } else if (args[i] == "--runs" && hasValue) {
            runs = std::max(1, args[++i].toInt());
        } else if (args[i] == "--keywords" && hasValue) {
            keywordCount = args[++i].toInt();
        } else if (args[i] == "--check" && hasValue) {
            check = args[++i];
        } else if (args[i] == "--trace" && hasValue) {
            traceFile = args[++i];
        } else if (args[i] == "--folder" && hasValue) {
            folderBase = args[++i];
        } else if (args[i] == "--learning") {
            learning = true;
        } else if (args[i] == "--write-mail" && hasValue) {
            // The mailbox of 2,000 and the training mail of --learning, as files for bench/learn to
            // weigh the learned judgement's cost on (bench_learn --check-cost DIR); no server.
            const QString to = args[++i];
            writeMaildir(to + QStringLiteral("/box"), 2000);
            QRandomGenerator rng(7);
            for (const char* kind : {"junk", "wanted"}) {
                QDir().mkpath(to + QStringLiteral("/train/") + QLatin1String(kind));
                for (int k = 0; k < 100; ++k) {
                    QFile f(to + QStringLiteral("/train/%1/%2.eml").arg(QLatin1String(kind)).arg(k));
                    if (!f.open(QIODevice::WriteOnly))
                        return 1;
                    f.write(kind[0] == 'j' ? junkMail(100000 + k) : wantedMail(100000 + k, rng));
                }
            }
            return 0;
        } else {
            std::fprintf(stderr,
                         "usage: bench_checkrun --server dovecot [--rows RTT:MESSAGES,...] [--runs N] "
                         "[--keywords N] [--check PATH] [--trace FILE] [--learning] [--folder DIR] | "
                         "--write-mail DIR\n");
            return 1;
        }
    }
    std::printf("command: %s\n", qPrintable(args.join(u' ')));

    // brindle-check's application folder, on the file system --folder names: its quarantine copies
    // and records are real writes, and their cost is the disk's. (An ext4 without a journal, as on
    // some virtual machines, scans past every inode freed in the last seconds when it makes a file;
    // on a machine where other work deletes many files that is most of a check's system time.)
    QTemporaryDir tmp(folderBase.isEmpty() ? QDir::tempPath() + QStringLiteral("/bench_checkrun-XXXXXX")
                                           : folderBase + QStringLiteral("/bench_checkrun-XXXXXX"));
    // The server's side (its mail store, the generated mailboxes and their snapshots) lives in memory
    // where the machine has /dev/shm: a real server is another machine, and putting back thousands of
    // maildir files before every run would otherwise leave this disk's inode allocator scanning
    // their freshly freed inodes when the check creates its quarantine copies (ext4 skips inodes
    // deleted moments ago), a cost no user's check meets.
    QTemporaryDir serverTmp(QDir(QStringLiteral("/dev/shm")).exists()
                                ? QStringLiteral("/dev/shm/bench_dovecot-XXXXXX")
                                : QDir::tempPath() + QStringLiteral("/bench_dovecot-XXXXXX"));
    Bench b;
    b.check = check;
    b.traceFile = traceFile;
    if (!traceFile.isEmpty())
        QFile::remove(traceFile);
    b.dir = tmp.path();
    b.data = b.dir + QStringLiteral(u"/★MailData");
    QDir(b.dir).mkdir(QStringLiteral(u"★MailData"));
    QString error;
    b.serverDir = serverTmp.path();
    if (!b.dovecot.launch(b.serverDir + QStringLiteral("/dovecot-work"), &error)) {
        std::fprintf(stderr, "%s\n", qPrintable(error));
        return 1;
    }
    struct StopDovecot {
        BenchDovecot& d;
        ~StopDovecot() { d.stop(); }
    } stopDovecot{b.dovecot};
    if (!b.proxy.start(b.dovecot.port())) {
        std::fprintf(stderr, "the latency proxy could not listen\n");
        return 1;
    }
    auto setUpFolder = [&](const QString& folder) {
        setApplicationFolder(folder);
        AccountFile().saveAccount(kUser, kBob.password);
        GeneralSettingsFile().write("NAME2", "50000");
        GeneralSettingsFile().write("NUMBER6", "1"); // the keyword rule
        writeKeywordFile(keywordCount);
        ServerSettings server;
        server.pop3Server = QStringLiteral("127.0.0.1:%1").arg(b.proxy.port());
        saveServerSettings(server);
    };
    if (learning) {
        // The same check with the learned judgement on, its store trained through brindle-check on
        // 100 junk and 100 wanted mails of the kinds the mailbox holds (not the mailbox's own).
        b.learnDir = b.dir + QStringLiteral("/learning");
        b.learnData = b.learnDir + QStringLiteral(u"/★MailData");
        QDir().mkpath(b.learnData);
        setUpFolder(b.learnDir);
        GeneralSettingsFile().write("LEARNING", "1");
        QRandomGenerator rng(7);
        for (const char* kind : {"junk", "wanted"}) {
            QDir().mkpath(b.learnDir + QStringLiteral("/train/") + QLatin1String(kind));
            for (int i = 0; i < 100; ++i) {
                QFile f(b.learnDir + QStringLiteral("/train/%1/%2.eml").arg(QLatin1String(kind)).arg(i));
                if (!f.open(QIODevice::WriteOnly))
                    return 1;
                f.write(kind[0] == 'j' ? junkMail(100000 + i) : wantedMail(100000 + i, rng));
            }
        }
        const ChildResult t =
            runChild(check,
                     {"--app-folder", b.learnDir, "--learn-junk", b.learnDir + "/train/junk",
                      "--learn-wanted", b.learnDir + "/train/wanted"},
                     b.learnDir + "/train.txt");
        std::printf("learning on in a second folder: trained in %.2f s: %s\n", t.seconds,
                    qPrintable(t.lastLine));
    }
    setUpFolder(b.dir);

    std::printf("Dovecot on 127.0.0.1:%u behind the latency proxy on %u; brindle-check: %s; %d keywords, the "
                "keyword rule; medians of %d runs\n\n",
                b.dovecot.port(), b.proxy.port(), qPrintable(check), keywordCount, runs);
    std::printf(
        "| RTT | messages | MB | Brindle | mpop | minimal | Brindle ÷ minimal | Brindle ÷ mpop | round trips "
        "B / mpop / min | Brindle start-up, median (least) | Brindle peak "
        "|\n|---|---|---|---|---|---|---|---|---|---|---|\n");
    std::fflush(stdout);
    std::map<int, Mailbox> boxes;
    std::map<int, QString> snapshots;
    QStringList notes, learningRows;
    for (const RowSpec& row : rows) {
        if (!snapshots.count(row.messages)) {
            const QString gen = b.serverDir + QStringLiteral("/gen");
            QDir(gen).removeRecursively();
            boxes[row.messages] = writeMaildir(gen, row.messages);
            const QString snapshot = b.serverDir + QStringLiteral("/mailbox-%1").arg(row.messages);
            b.proxy.setRttMs(0);
            if (!b.dovecot.fill(kUser, gen, &error) || !b.minimal().note.startsWith(u"ok") ||
                !b.dovecot.save(kUser, snapshot, &error)) {
                std::fprintf(stderr, "could not prepare the mailbox: %s\n", qPrintable(error));
                return 1;
            }
            QDir(gen).removeRecursively();
            snapshots[row.messages] = snapshot;
            // The check that makes the server one seen before; untimed.
            const Sample first = b.brindle();
            notes << QStringLiteral("first check of %1 messages: %2").arg(row.messages).arg(first.note);
            if (learning) {
                if (!b.restore(snapshot))
                    return 1;
                notes << QStringLiteral("first check of %1 messages, learning: %2")
                             .arg(row.messages)
                             .arg(b.brindle(true).note);
            }
        }
        const QString& snapshot = snapshots[row.messages];
        b.proxy.setRttMs(row.rttMs);
        std::vector<double> times[4], trips[4], startup;
        double megabytes[4] = {};
        long peakKb = 0;
        for (int run = 0; run < runs; ++run) {
            for (int who = 0; who < (learning ? 4 : 3); ++who) {
                if (!b.restore(snapshot))
                    return 1;
                b.traceLabel = QStringLiteral("%1 ms, %2 messages, client %3, run %4")
                                   .arg(row.rttMs)
                                   .arg(row.messages)
                                   .arg(who)
                                   .arg(run + 1);
                const Sample s = who == 0   ? b.brindle()
                                 : who == 1 ? b.mpop()
                                 : who == 2 ? b.minimal()
                                            : b.brindle(true);
                times[who].push_back(s.seconds);
                trips[who].push_back(s.trips);
                megabytes[who] = s.megabytes;
                if (who == 0) {
                    startup.push_back(s.startupMs);
                    peakKb = std::max(peakKb, s.peakKb);
                }
                if (run == 0)
                    notes << QStringLiteral("%1 ms, %2 messages, %3: %4")
                                 .arg(row.rttMs)
                                 .arg(row.messages)
                                 .arg(QLatin1String(who == 0   ? "brindle-check"
                                                    : who == 1 ? "mpop"
                                                    : who == 2 ? "minimal"
                                                               : "brindle-check, learning"))
                                 .arg(s.note);
            }
        }
        const double brindle = median(times[0]), mpop = median(times[1]), minimal = median(times[2]);
        std::printf("| %d ms | %d | %.0f | %.2f s | %.2f s | %.2f s | %.2f | %.2f | %.0f / %.0f / %.0f | "
                    "%.1f (%.1f) ms | "
                    "%.1f MB |\n",
                    row.rttMs, row.messages, boxes[row.messages].bytes / 1e6, brindle, mpop, minimal,
                    brindle / minimal, brindle / mpop, median(trips[0]), median(trips[1]), median(trips[2]),
                    median(startup), *std::min_element(startup.begin(), startup.end()), peakKb / 1024.0);
        if (learning)
            learningRows << QStringLiteral("| %1 ms | %2 | %3 s | %4 s | %5 |")
                                .arg(row.rttMs)
                                .arg(row.messages)
                                .arg(brindle, 0, 'f', 2)
                                .arg(median(times[3]), 0, 'f', 2)
                                .arg(median(times[3]) / brindle, 0, 'f', 2);
        std::fflush(stdout);
        // Each client must have downloaded the mailbox, or its time means nothing.
        for (int who = 1; who < 3; ++who)
            if (megabytes[who] < boxes[row.messages].bytes / 1e6)
                notes << QStringLiteral("warning: client %1 read only %2 MB").arg(who).arg(megabytes[who]);
    }
    std::printf("\n");
    if (learning) {
        std::printf("| RTT | messages | Brindle | Brindle, learning | ratio |\n|---|---|---|---|---|\n");
        for (const QString& r : learningRows)
            std::printf("%s\n", qPrintable(r));
        std::printf("\n");
    }
    for (const auto& [count, box] : boxes)
        std::printf(
            "mailbox of %d messages: %.1f MB, %.1f KB on average, %d junk (deleted by the keyword rule)\n",
            count, box.bytes / 1e6, box.bytes / 1e3 / count, box.junk);
    for (const QString& n : notes)
        std::printf("%s\n", qPrintable(n.left(200)));
    return 0;
}

} // namespace brindle::bench
