#pragma once
// An in-process POP3 server for the protocol tests, the benchmarks and the demo.
//
// It runs on a thread of its own with its own event loop, so it answers whatever the client does on
// the calling thread (block, spin a local event loop, show a modal box). It listens on 127.0.0.1 on
// a free port (port()), serves one shared mailbox and applies deletions only when a session ends
// with QUIT, as RFC 1939 asks.
//
// Typical use:
//     FakePop3Options o;
//     o.messages = {"Subject: a\r\n\r\nbody\r\n"};
//     o.users = {{"user", "pass"}};
//     FakePop3Server server(o);
//     server.start();                 // false when it could not listen
//     ... connect to "127.0.0.1:" + QString::number(server.port()) ...
//     server.received(0);             // every byte the first client sent
//     server.deletedAtQuit();         // message numbers the last QUIT removed
//
// Faults are switched on in FakePop3Options; a command is named by its keyword ("RETR", "DELE").
// The scripted mode (FakePop3Options::script) replaces the POP3 logic by a fixed conversation.
#include <memory>
#include <QByteArray>
#include <QList>
#include <QMap>
#include <QSslCertificate>
#include <QSslKey>
#include <QString>
#include <QStringList>

namespace brindle::fake {

// One step of a scripted conversation: wait for the line `expect` (without its CR LF), then send
// `reply` exactly as given. A first step with an empty `expect` is the greeting, sent on connect.
struct ScriptStep {
    QByteArray expect;
    QByteArray reply;
};

// A flood (FakePop3Options::floodAt) ends after this many bytes unless told otherwise: far more than
// any client should read, and still an end, so that a client that never stops reading does not keep
// a test running.
inline constexpr qint64 kFakeFloodMaxBytes = qint64(1) << 30;

struct FakePop3Options {
    // The mailbox: raw messages with CR LF line ends, not dot-stuffed (the server stuffs them).
    QList<QByteArray> messages;
    // Accounts; empty accepts any name and password.
    QMap<QByteArray, QByteArray> users;
    // The APOP timestamp put into the greeting; empty: a greeting without one (APOP is refused).
    QByteArray apopTimestamp = "<1896.697170952@dbc.mtview.ca.us>";

    bool pipelining = true;   // CAPA lists PIPELINING
    bool capaRefused = false; // CAPA answers -ERR
    bool capaGarbage = false; // CAPA answers with a line that is no POP3 reply

    enum class Tls { None, Implicit, StartTls };
    Tls tls = Tls::None;
    QSslCertificate certificate; // the server's certificate and key when tls is not None
    QSslKey privateKey;
    QByteArray stlsInjection;  // plain bytes sent right behind the +OK to STLS (must be discarded)
    bool stlsRefused = false;  // CAPA lists STLS, and STLS answers -ERR
    bool cutHandshake = false; // the TLS handshake (STLS or from the start) ends at the client's first bytes

    // Every reply waits this long after its command arrived: a round-trip time for benchmarks.
    int replyDelayMs = 0;
    // 0: each reply in one write; n: replies go out n bytes per write, one write per event-loop turn,
    // or one every writeEveryMs (a server that trickles).
    int writeChunkBytes = 0;
    int writeEveryMs = 0;
    // >= 0: STAT announces this many messages whatever the mailbox holds.
    qint64 announcedCount = -1;

    // Faults.
    bool refuseLogin = false;      // PASS and APOP are answered -ERR
    int dropAfterCommands = -1;    // close, without answering, when the Nth command (1-based) arrives
    QByteArray dropAtCommand;      // close, without answering, when this command arrives
    QByteArray silentAtCommand;    // stop answering from this command on (connection stays open)
    QByteArray garbageAtCommand;   // answer this command with a line that is no POP3 reply
    QByteArray oversizedAtCommand; // answer this command with a 200 KB line
    bool garblePipelined = false;  // commands that arrive together: all but the first get garbage
    bool refuseDele = false;       // DELE answers -ERR
    QByteArray refusedCommand;     // this command always answers -ERR (e.g. "TOP", which is optional)
    bool dropAtQuit = false;       // QUIT closes the connection without answering or deleting
    bool quitAnswerLost = false;   // QUIT deletes, then closes the connection without answering
    // A hostile server: the reply to this command ("RETR", "TOP", "LIST", "UIDL", "CAPA", "STAT"...,
    // or "GREETING" for the greeting) never ends. "+OK" and data lines, or with floodWithoutLineEnd
    // one line that never ends. It stops after floodMaxBytes, or when the client goes.
    QByteArray floodAt;
    bool floodWithoutLineEnd = false;
    qint64 floodMaxBytes = kFakeFloodMaxBytes;
    // The faults above apply to the first this many connections only; -1: to every connection.
    int faultyConnections = -1;

    // What UIDL gives: a unique id per message, -ERR (the command is optional), or one id shared
    // by every message (as some servers do).
    enum class Uidl { Unique, Refused, AllSame };
    Uidl uidl = Uidl::Unique;

    // Listen on ::1 instead of 127.0.0.1 (address() is then "[::1]:<port>").
    bool ipv6 = false;

    // Non-empty: scripted mode; the POP3 logic above is not used.
    QList<ScriptStep> script;
};

struct FakePop3Stats {
    int connections = 0;
    int commands = 0;   // command lines received
    int roundTrips = 0; // times commands arrived while every earlier reply had been sent
    qint64 bytesIn = 0;
    qint64 bytesOut = 0;
    QMap<QByteArray, int> commandCounts; // by keyword, upper case ("TOP", "RETR")
};

class FakePop3Worker;
struct SharedState;

class FakePop3Server {
public:
    explicit FakePop3Server(FakePop3Options options);
    ~FakePop3Server();
    FakePop3Server(const FakePop3Server&) = delete;
    FakePop3Server& operator=(const FakePop3Server&) = delete;

    // Starts the thread and listens on 127.0.0.1. False when listening failed.
    bool start();
    quint16 port() const { return m_port; }
    // "127.0.0.1:<port>" (or "[::1]:<port>"), the server text for the client.
    QString address() const;

    // Thread-safe accessors; connections are numbered from 0 in the order they were accepted.
    int connectionCount() const;
    QByteArray received(int connection) const;
    QList<QByteArray> receivedLines(int connection) const;
    // What the client sent before TLS was on: what anyone on the path could read.
    QByteArray receivedInClear(int connection) const;
    // Message numbers (1-based, of that session) removed by the last session that ended with QUIT.
    QList<int> deletedAtQuit() const;
    // The mailbox as it is now.
    QList<QByteArray> mailbox() const;
    // Replaces the mailbox for the sessions that log in afterwards (another client took mail, or
    // new mail came).
    void setMailbox(const QList<QByteArray>& messages);
    // Differences between a scripted conversation and what the client sent.
    QStringList scriptMismatches() const;
    FakePop3Stats stats() const;
    void resetStats();

private:
    FakePop3Options m_options;
    std::unique_ptr<class QThread> m_thread;
    std::shared_ptr<SharedState> m_state;
    FakePop3Worker* m_worker = nullptr;
    quint16 m_port = 0;
};

// Generates, with the openssl command, a CA and server certificates signed by it into `dir`.
// The "good" certificate names localhost and 127.0.0.1; the "wrong" one names wrong.invalid only;
// the "expired" one names localhost and 127.0.0.1 and was valid in January 2020 only.
struct TestCertificates {
    QSslCertificate ca;
    QSslCertificate good;
    QSslKey goodKey;
    QSslCertificate wrongHost;
    QSslKey wrongHostKey;
    QSslCertificate expired;
    QSslKey expiredKey;
    QString error; // empty on success
};
TestCertificates makeTestCertificates(const QString& dir);

} // namespace brindle::fake
