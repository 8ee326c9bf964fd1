// Whole checks as brindle-check runs them, against the in-process POP3 server with a round-trip
// delay: a mailbox of 4,000 messages (5% junk caught by every rule), 1,000 keywords, each rule in
// turn, at 1, 20 and 100 ms. Each rule gets a first check of the mailbox and a second check of the
// mailbox as the first left it (what an interval check sees when no mail came), each beside mpop
// downloading the same mailbox through the same delay: everything, pipelined, then only what its
// UIDL file does not know. With --matching-only, the cost of matching 10,000 keywords against a
// 100 KB body instead.
//
// The fake server's figures are for fault injection and for comparing builds; against other
// clients, the Dovecot mode gives the headline figures (see DovecotBench.cpp).
//
// Usage: bench_checkrun [--server fake] [--messages N] [--keywords N] [--delays 1,20,100] [--rule 1|6|4|5]
//                       [--pipelining on|off] [--check PATH] [--no-mpop] [--matching-only]
//        bench_checkrun --server dovecot [--rows 1:2000,20:2000,20:4000,100:1000] [--runs N] ...
// --check runs another build of brindle-check (an older one, for a before-and-after table).
#include "CheckrunCommon.h"
#include "keywords/KeywordFile.h"
#include "mailcheck/DeletionRules.h"
#include "mailcheck/mime/MimeDecode.h"
#include "platform/AppFolder.h"
#include "settings/SettingsStore.h"
#include "tools/fakepop3/FakePop3Server.h"

#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QThread>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

using namespace brindle;
using namespace brindle::fake;

namespace brindle::bench {

const QString kJunkKeyword = QStringLiteral(u"未承認広告");

QByteArray wantedMail(int i, QRandomGenerator& rng) {
    static const QString lines[] = {
        QStringLiteral(u"お世話になっております。来週の打ち合わせの件でご連絡しました。"),
        QStringLiteral(u"資料を添付しましたので、ご確認のほどよろしくお願いいたします。"),
        QStringLiteral(u"先日はありがとうございました。とても楽しい時間でした。"),
        QStringLiteral(u"The quarterly report is attached; comments welcome by Friday."),
    };
    QString body;
    const int n = 20 + rng.bounded(40);
    for (int k = 0; k < n; ++k) {
        body += lines[rng.bounded(4)] + QStringLiteral("\r\n");
    }
    return "From: friend" + QByteArray::number(i) +
           "@example.jp\r\nTo: you@example.jp\r\nSubject: =?UTF-8?B?" +
           QStringLiteral(u"ご連絡 %1").arg(i).toUtf8().toBase64() +
           "?=\r\nMIME-Version: 1.0\r\nContent-Type: text/plain; charset=UTF-8\r\n"
           "Content-Transfer-Encoding: 8bit\r\n\r\n" +
           body.toUtf8() + "\r\n";
}

// Caught by every rule: a keyword in the body only, an HTML part, a 60 KB attachment, no hiragana.
QByteArray junkMail(int i) {
    static const QByteArray attachment = [] {
        QByteArray raw(45 * 1024, '\0');
        for (qsizetype k = 0; k < raw.size(); ++k) {
            raw[k] = char(k * 7919 % 251);
        }
        const QByteArray b64 = raw.toBase64();
        QByteArray out;
        for (qsizetype k = 0; k < b64.size(); k += 76) {
            out += b64.mid(k, 76) + "\r\n";
        }
        return out;
    }();
    const QByteArray text = QStringLiteral(u"本日特価！%1 限定商品大量入荷。").arg(kJunkKeyword).toUtf8();
    return "From: shop" + QByteArray::number(i) +
           "@bargain.example\r\nTo: you@example.jp\r\nSubject: =?UTF-8?B?" +
           QStringLiteral(u"特価情報").toUtf8().toBase64() +
           "?=\r\nMIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=b\r\n\r\n"
           "--b\r\nContent-Type: text/plain; charset=UTF-8\r\nContent-Transfer-Encoding: 8bit\r\n\r\n" +
           text +
           "\r\n--b\r\nContent-Type: text/html; charset=UTF-8\r\nContent-Transfer-Encoding: 8bit\r\n\r\n"
           "<html><body>" +
           text +
           "</body></html>\r\n--b\r\nContent-Type: application/octet-stream\r\n"
           "Content-Transfer-Encoding: base64\r\nContent-Disposition: attachment; filename=a.bin\r\n\r\n" +
           attachment + "--b--\r\n";
}

// Runs a program and waits for it; wait4 gives the peak memory of that child alone.
ChildResult runChild(const QString& program, const QStringList& args, const QString& outPath) {
    QList<QByteArray> storage{program.toLocal8Bit()};
    for (const QString& a : args) {
        storage << a.toLocal8Bit();
    }
    std::vector<char*> argv;
    for (QByteArray& s : storage) {
        argv.push_back(s.data());
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    const QByteArray out = outPath.toLocal8Bit();
    posix_spawn_file_actions_addopen(&actions, 1, out.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    ChildResult r;
    QElapsedTimer timer;
    timer.start();
    r.spawned = std::chrono::steady_clock::now();
    pid_t pid = 0;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) {
        posix_spawn_file_actions_destroy(&actions);
        return r;
    }
    posix_spawn_file_actions_destroy(&actions);
    // The peak resident size of the child's own address space. ru_maxrss of wait4 would carry this
    // process's size into the child through exec, so the kernel's high-water mark is sampled instead.
    // Its exit wakes the wait at once (pidfd), so the sampling adds nothing to the measured time.
    const int pidFd = int(syscall(SYS_pidfd_open, pid, 0));
    int status = 0;
    const QString statusPath = QStringLiteral("/proc/%1/status").arg(pid);
    for (;;) {
        QFile f(statusPath);
        if (f.open(QIODevice::ReadOnly)) {
            for (const QByteArray& line : f.readAll().split('\n')) {
                if (line.startsWith("VmHWM:")) {
                    r.maxRssKb = std::max(r.maxRssKb, line.mid(6).trimmed().split(' ').value(0).toLong());
                }
            }
        }
        struct rusage usage {};
        const pid_t done = wait4(pid, &status, WNOHANG, &usage);
        if (done == pid) {
            r.cpuSeconds = usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
                           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
            break;
        }
        if (done < 0) {
            break;
        }
        if (pidFd >= 0) {
            pollfd pfd{pidFd, POLLIN, 0};
            poll(&pfd, 1, 5);
        } else {
            QThread::msleep(5);
        }
    }
    r.seconds = timer.nsecsElapsed() / 1e9;
    if (pidFd >= 0)
        close(pidFd);
    r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    QFile f(outPath);
    if (f.open(QIODevice::ReadOnly)) {
        const QList<QByteArray> lines = f.readAll().trimmed().split('\n');
        r.lastLine = QString::fromUtf8(lines.isEmpty() ? QByteArray() : lines.last());
    }
    return r;
}

void writeKeywordFile(int count) {
    QFile f(keywordFilePath());
    f.open(QIODevice::WriteOnly);
    for (int i = 1; i < count; ++i) {
        f.write(encodeKeywordRecord(QStringLiteral("bench-keyword-%1").arg(i, 4, 10, QChar(u'0'))));
    }
    f.write(encodeKeywordRecord(kJunkKeyword)); // the last record: every other one is tried first
}

} // namespace brindle::bench

namespace {

using namespace brindle::bench;

struct Row {
    ChildResult run;
    FakePop3Stats server;
};

void printHeading() {
    std::printf("%-6s %-24s %-6s %8s %8s %6s %9s %8s  %s\n", "delay", "who", "check", "time", "cpu", "trips",
                "MB in", "peak MB", "last line");
}

void printRow(int delayMs, const char* who, const char* which, const Row& r) {
    std::printf("%-6s %-24s %-6s %7.2fs %7.2fs %6d %9.3f %8.1f  exit %d %s\n",
                qPrintable(QStringLiteral("%1 ms").arg(delayMs)), who, which, r.run.seconds, r.run.cpuSeconds,
                r.server.roundTrips, r.server.bytesOut / 1e6, r.run.maxRssKb / 1024.0, r.run.exitCode,
                qPrintable(r.run.lastLine));
    std::fflush(stdout);
}

struct MatchingCase {
    const char* name;
    QStringList records;
    QString body;
};

void measureMatching(const MatchingCase& m) {
    const QString subject = m.body.left(40);
    const QString address = QStringLiteral("someone@example.com");
    QElapsedTimer t;
    t.start();
    const KeywordMatcher matcher(m.records);
    const double buildMs = t.nsecsElapsed() / 1e6;

    constexpr int rounds = 20;
    const std::clock_t cpuStart = std::clock();
    qsizetype found = 0;
    for (int i = 0; i < rounds; ++i) {
        found +=
            judgeByKeywords(matcher, subject, address, [&] { return std::optional<QString>(m.body); }).record;
    }
    const double judgeCpuMs = (std::clock() - cpuStart) * 1000.0 / CLOCKS_PER_SEC / rounds;

    // The plain loop over records for comparison: every keyword searched in the whole body.
    t.restart();
    qsizetype naiveHits = 0;
    const QString foldedBody = foldJapaneseVariants(m.body);
    for (const QString& r : m.records) {
        naiveHits += foldedBody.indexOf(foldJapaneseVariants(trimSpaces(r))) >= 0;
    }
    const double naiveMs = t.nsecsElapsed() / 1e6;
    std::printf(
        "matching (%s): %lld keywords, body of %lld characters: automaton built in %.1f ms; one message "
        "judged in %.2f ms CPU; the plain loop over records takes %.0f ms (found: %s)\n",
        m.name, static_cast<long long>(m.records.size()), static_cast<long long>(m.body.size()), buildMs,
        judgeCpuMs, naiveMs, found / rounds >= 0 ? "yes" : "no");
    Q_UNUSED(naiveHits);
    std::fflush(stdout);
}

void matchingCost() {
    QRandomGenerator rng(42);
    auto randomText = [&](QStringView alphabet, int length) {
        QString s;
        s.reserve(length);
        for (int i = 0; i < length; ++i) {
            s += alphabet[rng.bounded(int(alphabet.size()))];
        }
        return s;
    };
    // Worst case: keywords and text over one small alphabet, so that the text keeps running into
    // partial keywords.
    const QString small =
        QStringLiteral(u"あいうえおかきくけこさしすせそアイウエオ漢字無料特価abcdefghijklmnop0123456789");
    MatchingCase dense{"dense, 62 characters", {}, randomText(small, 100 * 1024)};
    for (int i = 0; i < 10000; ++i) {
        dense.records << randomText(small, 6 + rng.bounded(6)) + QString(40, u' ');
    }
    measureMatching(dense);

    // Mail-like: sentences of an ordinary letter, keywords of kanji and katakana words, the one
    // that occurs last in the list.
    static const QString sentences[] = {
        QStringLiteral(u"お世話になっております。来週の打ち合わせの件でご連絡しました。"),
        QStringLiteral(u"資料を添付しましたので、ご確認のほどよろしくお願いいたします。"),
        QStringLiteral(u"Thank you for your order; it will ship within three business days. "),
    };
    MatchingCase mail{"mail-like", {}, {}};
    while (mail.body.size() < 100 * 1024) {
        mail.body += sentences[rng.bounded(3)];
    }
    mail.body += QStringLiteral(u"未承認広告");
    QString cjk;
    for (char16_t c = 0x4E00; c < 0x5400; ++c) {
        cjk += QChar(c);
    }
    cjk += QStringLiteral(
        u"アイウエオカキクケコサシスセソタチツテトナニヌネノハヒフヘホマミムメモヤユヨラリルレロワン");
    for (int i = 0; i < 9999; ++i) {
        mail.records << randomText(cjk, 2 + rng.bounded(4));
    }
    mail.records << QStringLiteral(u"未承認広告");
    measureMatching(mail);
}

} // namespace

// Runs mpop against the server: with uidls from an earlier run it fetches only what is new.
Row runMpop(FakePop3Server& server, const QString& dir, const QString& out, bool onlyNew) {
    const QString config = dir + "/mpoprc";
    const QString mbox = dir + "/mbox";
    QFile::remove(mbox);
    QFile c(config);
    c.open(QIODevice::WriteOnly | QIODevice::Truncate);
    c.write(QStringLiteral("account bench\nhost 127.0.0.1\nport %1\ntls off\nauth user\nuser bench\n"
                           "password bench\nkeep on\nonly_new on\ndelivery mbox %2\nuidls_file %3\n")
                .arg(server.port())
                .arg(mbox, dir + "/uidls")
                .toUtf8());
    c.close();
    c.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    if (!onlyNew)
        QFile::remove(dir + "/uidls");
    server.resetStats();
    Row r;
    r.run = runChild(QStringLiteral("/usr/bin/mpop"), {"-C", config, "-q", "bench"}, out);
    r.server = server.stats();
    return r;
}

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (const qsizetype at = app.arguments().indexOf(QStringLiteral("--server"));
        at > 0 && app.arguments().value(at + 1) == QLatin1String("dovecot"))
        return dovecotBench(app.arguments());
    int messages = 4000;
    int keywordCount = 1000;
    QList<int> delays{1, 20, 100};
    bool mpop = true;
    bool matchingOnly = false;
    QString onlyRule;
    bool pipelining = true;
    bool learning = false; // LEARNING=1, with a store trained on 100 junk and 100 wanted mails
    QString check = QStringLiteral(BRINDLE_CHECK);
    const QStringList args = app.arguments();
    for (int i = 1; i < args.size(); ++i) {
        const bool hasValue = i + 1 < args.size();
        if (args[i] == "--messages" && hasValue) {
            messages = args[++i].toInt();
        } else if (args[i] == "--keywords" && hasValue) {
            keywordCount = args[++i].toInt();
        } else if (args[i] == "--delays" && hasValue) {
            delays.clear();
            for (const QString& d : args[++i].split(u','))
                delays << d.toInt();
        } else if (args[i] == "--learning") {
            learning = true;
        } else if (args[i] == "--no-mpop") {
            mpop = false;
        } else if (args[i] == "--matching-only") {
            matchingOnly = true;
        } else if (args[i] == "--rule" && hasValue) {
            onlyRule = args[++i];
        } else if (args[i] == "--pipelining" && hasValue) {
            pipelining = args[++i] == QLatin1String("on");
        } else if (args[i] == "--check" && hasValue) {
            check = args[++i];
        } else if (args[i] == "--server" && hasValue && args[i + 1] == QLatin1String("fake")) {
            ++i;
        } else {
            std::fprintf(stderr, "usage: bench_checkrun --server dovecot [--help] | [--server fake] "
                                 "[--messages N] [--keywords N] [--delays 1,20,100] "
                                 "[--rule 1|6|4|5] [--pipelining on|off] [--check PATH] [--no-mpop] "
                                 "[--matching-only] [--learning]\n");
            return 1;
        }
    }
    if (matchingOnly) {
        matchingCost();
        return 0;
    }

    QRandomGenerator rng(7);
    QList<QByteArray> mailbox;
    int junk = 0;
    qint64 mailboxBytes = 0;
    for (int i = 1; i <= messages; ++i) {
        const bool isJunk = i % 20 == 7; // 5%
        junk += isJunk;
        mailbox << (isJunk ? junkMail(i) : wantedMail(i, rng));
        mailboxBytes += mailbox.last().size();
    }
    std::printf("mailbox: %d messages (%d junk), %.2f MB; %d keywords; %s; brindle-check: %s\n", messages,
                junk, mailboxBytes / 1e6, keywordCount, pipelining ? "PIPELINING offered" : "no PIPELINING",
                qPrintable(check));

    QTemporaryDir dir;
    const QString data = dir.filePath(QStringLiteral(u"★MailData"));
    QDir(dir.path()).mkdir(QStringLiteral(u"★MailData"));
    QDir(dir.path()).mkdir(QStringLiteral(u"添付フォルダ"));
    setApplicationFolder(dir.path());
    AccountFile().saveAccount("bench", "bench");
    GeneralSettingsFile().write("NAME2", "50000");
    writeKeywordFile(keywordCount);
    if (learning) {
        // Trained through brindle-check as a user would; the mails are the mailbox's kinds, not its own.
        QDir(dir.path()).mkpath("train/junk");
        QDir(dir.path()).mkpath("train/wanted");
        for (int i = 0; i < 100; ++i) {
            QFile j(dir.filePath(QStringLiteral("train/junk/%1.eml").arg(i)));
            QFile w(dir.filePath(QStringLiteral("train/wanted/%1.eml").arg(i)));
            if (!j.open(QIODevice::WriteOnly) || !w.open(QIODevice::WriteOnly))
                return 1;
            j.write(junkMail(messages + 1 + i));
            w.write(wantedMail(messages + 1 + i, rng));
        }
        const ChildResult t =
            runChild(check,
                     {"--app-folder", dir.path(), "--learn-junk", dir.filePath("train/junk"),
                      "--learn-wanted", dir.filePath("train/wanted")},
                     dir.filePath("train.txt"));
        GeneralSettingsFile().write("LEARNING", "1");
        std::printf("learning on: trained in %.2f s: %s\n", t.seconds, qPrintable(t.lastLine));
    }
    // Everything a check leaves in the data folder, so that each rule's first check starts afresh.
    auto clearDataFolder = [&] {
        QDir(data + "/quarantine").removeRecursively();
        for (const char* name : {"deleted.log", "deleted.log.1", "verdicts.txt", "pending-deletions.txt"})
            QFile::remove(data + '/' + name);
    };

    const QString out = dir.filePath("out.txt");
    const struct {
        const char* name;
        const char* number;
    } rules[] = {{"keyword rule", "1"}, {"HTML rule", "6"}, {"size rule", "4"}, {"no-hiragana rule", "5"}};
    FakePop3Options o;
    o.messages = mailbox;
    o.users = {{"bench", "bench"}};
    o.pipelining = pipelining;
    std::printf("The fake server is for fault injection and for comparing builds of brindle-check; it is no\n"
                "real server, and its times are no headline figures against other clients (for those:\n"
                "--server dovecot).\n");
    printHeading();
    for (int delayMs : delays) {
        o.replyDelayMs = delayMs;
        Row mpopFirst, mpopSecond;
        if (mpop) {
            FakePop3Server server(o);
            if (!server.start())
                return 1;
            mpopFirst = runMpop(server, dir.path(), out, false);
            printRow(delayMs, "mpop (download)", "first", mpopFirst);
            mpopSecond = runMpop(server, dir.path(), out, true);
            printRow(delayMs, "mpop (download)", "second", mpopSecond);
        }
        for (const auto& rule : rules) {
            if (!onlyRule.isEmpty() && onlyRule != QLatin1String(rule.number))
                continue;
            FakePop3Server server(o);
            if (!server.start()) {
                std::fprintf(stderr, "could not start the server\n");
                return 1;
            }
            ServerSettings s;
            s.pop3Server = server.address();
            saveServerSettings(s);
            GeneralSettingsFile().write("NUMBER6", rule.number);
            clearDataFolder();
            for (const char* which : {"first", "second"}) {
                server.resetStats();
                Row r;
                r.run = runChild(check, {"--app-folder", dir.path()}, out);
                r.server = server.stats();
                const bool first = which[0] == 'f';
                printRow(delayMs, rule.name, which, r);
                if (!first)
                    continue;
                // What the way back cost on disk.
                qint64 kept = 0;
                int copies = 0;
                for (QDirIterator it(data + "/quarantine", {QStringLiteral("*.eml")}, QDir::Files,
                                     QDirIterator::Subdirectories);
                     it.hasNext(); ++copies)
                    kept += QFileInfo(it.next()).size();
                std::printf("%-6s %-24s        quarantine: %d copies, %.1f KB; log %.1f KB\n", "", "", copies,
                            kept / 1e3, QFileInfo(data + "/deleted.log").size() / 1e3);
            }
        }
    }
    return 0;
}
