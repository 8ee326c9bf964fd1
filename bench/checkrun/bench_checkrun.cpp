// Whole checks as brindle-check runs them, against the in-process POP3 server with a round-trip
// delay: 1,000 messages, 5% junk, 1,000 keywords, each rule in turn, with and without PIPELINING;
// mpop downloading the same mailbox through the same delay; and the cost of matching 10,000 keywords
// against a 100 KB body. brindle-check, which nobody watches, takes each DELE's answer while it
// judges the next messages; the windows wait for it (their box per deletion waits for the user).
//
// Usage: bench_checkrun [--messages N] [--keywords N] [--delay-ms N] [--no-mpop] [--matching-only]
//                       [--rule 1|6|4|5] [--pipelining on|off]
#include "keywords/KeywordFile.h"
#include "mailcheck/DeletionRules.h"
#include "mailcheck/mime/MimeDecode.h"
#include "platform/AppFolder.h"
#include "settings/SettingsStore.h"
#include "tools/fakepop3/FakePop3Server.h"

#include <cstdio>
#include <ctime>
#include <fcntl.h>
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
#include <sys/wait.h>

extern char** environ;

using namespace brindle;
using namespace brindle::fake;

namespace {

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

struct ChildResult {
    double seconds = 0;
    long maxRssKb = 0;
    int exitCode = -1;
    QString lastLine;
};

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
    pid_t pid = 0;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) {
        posix_spawn_file_actions_destroy(&actions);
        return r;
    }
    posix_spawn_file_actions_destroy(&actions);
    // The peak resident size of the child's own address space. ru_maxrss of wait4 would carry this
    // process's size into the child through exec, so the kernel's high-water mark is sampled instead.
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
        const pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid || done < 0) {
            break;
        }
        QThread::msleep(5);
    }
    r.seconds = timer.nsecsElapsed() / 1e9;
    r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    QFile f(outPath);
    if (f.open(QIODevice::ReadOnly)) {
        const QList<QByteArray> lines = f.readAll().trimmed().split('\n');
        r.lastLine = QString::fromUtf8(lines.isEmpty() ? QByteArray() : lines.last());
    }
    return r;
}

void printServerLine(const char* what, const char* pipelining, const ChildResult& r, const FakePop3Stats& s) {
    std::printf("%-22s %-4s %8.2f s %7d cmds %6d trips %9.2f MB in %7.1f MB peak  exit %d  %s\n", what,
                pipelining, r.seconds, s.commands, s.roundTrips, s.bytesOut / 1e6, r.maxRssKb / 1024.0,
                r.exitCode, qPrintable(r.lastLine));
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

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    int messages = 1000;
    int keywordCount = 1000;
    int delayMs = 20;
    bool mpop = true;
    bool matchingOnly = false;
    QString onlyRule;       // empty: every rule
    QString onlyPipelining; // empty: with and without
    const QStringList args = app.arguments();
    for (int i = 1; i < args.size(); ++i) {
        if (args[i] == "--messages" && i + 1 < args.size()) {
            messages = args[++i].toInt();
        } else if (args[i] == "--keywords" && i + 1 < args.size()) {
            keywordCount = args[++i].toInt();
        } else if (args[i] == "--delay-ms" && i + 1 < args.size()) {
            delayMs = args[++i].toInt();
        } else if (args[i] == "--no-mpop") {
            mpop = false;
        } else if (args[i] == "--matching-only") {
            matchingOnly = true;
        } else if (args[i] == "--rule" && i + 1 < args.size()) {
            onlyRule = args[++i];
        } else if (args[i] == "--pipelining" && i + 1 < args.size()) {
            onlyPipelining = args[++i];
        } else {
            std::fprintf(stderr,
                         "usage: bench_checkrun [--messages N] [--keywords N] [--delay-ms N] [--no-mpop] "
                         "[--matching-only] [--rule 1|6|4|5] [--pipelining on|off]\n");
            return 1;
        }
    }

    if (onlyRule.isEmpty() && onlyPipelining.isEmpty()) {
        matchingCost();
    }
    if (matchingOnly) {
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
    std::printf("mailbox: %d messages (%d junk), %.2f MB; %d keywords; reply delay %d ms\n", messages, junk,
                mailboxBytes / 1e6, keywordCount, delayMs);

    QTemporaryDir dir;
    QDir(dir.path()).mkdir(QStringLiteral(u"★MailData"));
    QDir(dir.path()).mkdir(QStringLiteral(u"添付フォルダ"));
    setApplicationFolder(dir.path());
    AccountFile().saveAccount("bench", "bench");
    GeneralSettingsFile().write("NAME2", "50000");
    {
        QFile f(keywordFilePath());
        f.open(QIODevice::WriteOnly);
        for (int i = 1; i < keywordCount; ++i) {
            f.write(encodeKeywordRecord(QStringLiteral("bench-keyword-%1").arg(i, 4, 10, QChar(u'0'))));
        }
        f.write(encodeKeywordRecord(kJunkKeyword)); // the last record: every other one is tried first
    }

    const QString check = QStringLiteral(BRINDLE_CHECK);
    const QString out = dir.filePath("out.txt");
    const struct {
        const char* name;
        const char* number;
    } rules[] = {{"keyword rule", "1"}, {"HTML rule", "6"}, {"size rule", "4"}, {"no-hiragana rule", "5"}};
    for (bool pipelining : {true, false}) {
        if (!onlyPipelining.isEmpty() && (onlyPipelining == QLatin1String("on")) != pipelining) {
            continue;
        }
        const char* p = pipelining ? "pipe" : "one";
        // The check and mpop face the same mailbox behind the same delay.
        FakePop3Options o;
        o.messages = mailbox;
        o.users = {{"bench", "bench"}};
        o.pipelining = pipelining;
        o.replyDelayMs = delayMs;
        for (const auto& rule : rules) {
            if (!onlyRule.isEmpty() && onlyRule != QLatin1String(rule.number)) {
                continue;
            }
            FakePop3Server server(o);
            if (!server.start()) {
                std::fprintf(stderr, "could not start the server\n");
                return 1;
            }
            ServerSettings s;
            s.pop3Server = server.address();
            saveServerSettings(s);
            GeneralSettingsFile().write("NUMBER6", rule.number);
            const ChildResult r = runChild(check, {"--app-folder", dir.path()}, out);
            printServerLine(rule.name, p, r, server.stats());
            // What the way back cost on disk; cleared so that every run starts alike.
            QDir quarantine(dir.filePath(QStringLiteral(u"★MailData/quarantine")));
            qint64 kept = 0;
            int copies = 0;
            for (QDirIterator it(quarantine.path(), {QStringLiteral("*.eml")}, QDir::Files,
                                 QDirIterator::Subdirectories);
                 it.hasNext(); ++copies)
                kept += QFileInfo(it.next()).size();
            std::printf("%-22s        quarantine: %d copies, %.1f KB; log %.1f KB\n", "", copies, kept / 1e3,
                        QFileInfo(dir.filePath(QStringLiteral(u"★MailData/deleted.log"))).size() / 1e3);
            quarantine.removeRecursively();
            QFile::remove(dir.filePath(QStringLiteral(u"★MailData/deleted.log")));
        }
        if (mpop) {
            FakePop3Server server(o);
            if (!server.start()) {
                return 1;
            }
            const QString config = dir.filePath("mpoprc");
            const QString mbox = dir.filePath("mbox");
            QFile::remove(mbox);
            QFile c(config);
            c.open(QIODevice::WriteOnly | QIODevice::Truncate);
            c.write(QStringLiteral("account bench\nhost 127.0.0.1\nport %1\ntls off\nauth user\nuser bench\n"
                                   "password bench\nkeep on\nonly_new off\ndelivery mbox %2\n"
                                   "uidls_file %3\n")
                        .arg(server.port())
                        .arg(mbox, dir.filePath("uidls"))
                        .toUtf8());
            c.close();
            c.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
            const ChildResult r = runChild(QStringLiteral("/usr/bin/mpop"),
                                           {"-C", config, "--only-new=off", "-q", "bench"}, out);
            printServerLine("mpop (download only)", p, r, server.stats());
        }
    }
    return 0;
}
