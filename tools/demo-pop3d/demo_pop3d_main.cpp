// demo-pop3d: a small POP3 server for the demo mailbox. Serves the .eml files of a folder, in name
// order, on 127.0.0.1; prints "port: N" once it listens; stops on SIGINT/SIGTERM or after a bounded
// time, so that a forgotten demo never keeps a port open for long.
#include "tools/fakepop3/FakePop3Server.h"

#include <atomic>
#include <csignal>
#include <cstdio>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTimer>

using namespace brindle::fake;

namespace {

std::atomic<bool> g_stop{false};

void onSignal(int) {
    g_stop = true;
}

// A demo mail larger than this is refused: the folder is ours, but a stray file should not eat memory.
constexpr qint64 kMaxMailBytes = 64 * 1024 * 1024;
// The longest a demo server may run.
constexpr int kMaxSeconds = 24 * 60 * 60;

// POP3 wants CR LF; files edited by hand may have bare LF.
QByteArray withCrLf(const QByteArray& in) {
    QByteArray out;
    out.reserve(in.size() + in.size() / 40);
    for (qsizetype i = 0; i < in.size(); ++i) {
        if (in[i] == '\n' && (i == 0 || in[i - 1] != '\r')) {
            out += '\r';
        }
        out += in[i];
    }
    return out;
}

int usage() {
    std::fputs("Usage: demo-pop3d --mails DIR [--user NAME] [--pass WORD] [--seconds N] [--delay-ms N]\n"
               "Serves the .eml files of DIR over POP3 on 127.0.0.1 (a free port, printed as\n"
               "\"port: N\"). Deletions made by a client take effect at its QUIT, for the life of the\n"
               "server only; the files are never changed. Stops on SIGINT or SIGTERM, or after N\n"
               "seconds (default 600).\n",
               stderr);
    return 1;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QString mails;
    QByteArray user = "demo";
    QByteArray pass = "demo";
    int seconds = 600;
    int delayMs = 0;
    const QStringList args = app.arguments();
    for (int i = 1; i < args.size(); ++i) {
        const QString& a = args[i];
        const bool hasValue = i + 1 < args.size();
        if (a == "--mails" && hasValue) {
            mails = args[++i];
        } else if (a == "--user" && hasValue) {
            user = args[++i].toUtf8();
        } else if (a == "--pass" && hasValue) {
            pass = args[++i].toUtf8();
        } else if (a == "--seconds" && hasValue) {
            seconds = args[++i].toInt();
        } else if (a == "--delay-ms" && hasValue) {
            delayMs = args[++i].toInt();
        } else {
            return usage();
        }
    }
    if (mails.isEmpty() || seconds <= 0 || seconds > kMaxSeconds || delayMs < 0) {
        return usage();
    }

    FakePop3Options options;
    options.users = {{user, pass}};
    options.replyDelayMs = delayMs;
    const QDir dir(mails);
    const QStringList names = dir.entryList({"*.eml"}, QDir::Files, QDir::Name);
    for (const QString& name : names) {
        QFile f(dir.filePath(name));
        if (f.size() > kMaxMailBytes || !f.open(QIODevice::ReadOnly)) {
            std::fprintf(stderr, "demo-pop3d: skipped %s\n", qPrintable(name));
            continue;
        }
        options.messages.append(withCrLf(f.readAll()));
    }

    FakePop3Server server(options);
    if (!server.start()) {
        std::fputs("demo-pop3d: could not listen on 127.0.0.1\n", stderr);
        return 2;
    }
    std::printf("port: %u\nmessages: %lld\n", unsigned(server.port()),
                static_cast<long long>(options.messages.size()));
    std::fflush(stdout);

    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &app, [&] {
        if (g_stop) {
            app.quit();
        }
    });
    poll.start(100);
    QTimer::singleShot(seconds * 1000, &app, &QCoreApplication::quit);
    return app.exec();
}
