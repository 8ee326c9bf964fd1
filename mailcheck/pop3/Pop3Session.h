#pragma once
#include "mailcheck/pop3/Pop3Reply.h"
#include "mailcheck/pop3/Pop3Transport.h"

#include <deque>
#include <memory>
#include <optional>
#include <QByteArray>
#include <QEventLoop>
#include <QList>
#include <QMap>
#include <QObject>
#include <QSet>
#include <QString>

namespace brindle {

// How long a silent server is waited for before the call fails. A check runs on the GUI thread,
// which keeps running meanwhile, so these only bound how long a dead server keeps a check open.
inline constexpr int kPop3DefaultConnectTimeoutMs = 30 * 1000;
inline constexpr int kPop3DefaultReplyTimeoutMs = 60 * 1000;

// More messages than this in one mailbox is taken as a broken STAT, not a real mailbox.
inline constexpr int kPop3MaxMessages = 1000000;

// Read-ahead with PIPELINING (RFC 2449 6.6): a pipelining client must not let the server's replies
// back up while it is still sending. Our writes never block (the socket queues them) and every wait
// reads, so the window is about memory: at most 100 commands (some 1.5 KB of command text, far
// below any socket buffer, so a server that reads only between replies cannot stall on them), an
// estimated 256 KiB of headers in flight and 2 MiB read ahead, or whole messages within the body
// budget below, however large the mailbox. A window of 100 keeps a 20 ms line busy at some 5,000
// small messages a second.
inline constexpr int kPop3MaxPipelinedCommands = 100;
inline constexpr qsizetype kPop3MaxPipelinedReplyBytes = 256 * 1024; // estimated, see headerEstimate
inline constexpr qsizetype kPop3HeaderEstimateBytes = 8 * 1024;
inline constexpr qsizetype kPop3MaxReadAheadBytes = 2 * 1024 * 1024;

// Whole messages fetched ahead once the caller reads bodies: as many as the command window holds,
// within a byte budget counted by their listed sizes (replies in flight plus those not yet taken).
// A message fetched ahead may exceed its listed size by the slack only.
inline constexpr qsizetype kPop3MaxBodyReadAheadBytes = 8 * 1024 * 1024;
inline constexpr qsizetype kPop3BodyReadAheadSlackBytes = 64 * 1024;
// Once the caller reads bodies, a message's header comes with its whole text (one command instead
// of TOP and RETR), except for messages listed larger than this: a huge attachment that the
// subject alone condemns is not downloaded for nothing.
inline constexpr qsizetype kPop3WholeForHeaderMaxBytes = 1024 * 1024;

inline constexpr quint16 kPop3Port = 110;
inline constexpr quint16 kPop3sPort = 995;

struct Pop3ServerAddress {
    QString host; // without brackets for IPv6 literals
    quint16 port = kPop3Port;
    bool implicitTls = false;
};
// "host", "host:port", "[v6]", "[v6]:port", "pop3://host[:port]", "pop3s://host[:port]".
// Port 995 means implicit TLS. On failure returns nullopt and sets *error to a readable text.
std::optional<Pop3ServerAddress> parsePop3Address(const QString& text, QString* error);

// The APOP digest (RFC 1939 7): lower-case hex MD5 of the timestamp and the password.
QByteArray apopDigest(const QByteArray& timestamp, const QByteArray& password);
// The <...@...> timestamp in a greeting, or empty.
QByteArray apopTimestampOf(const QByteArray& greetingText);

struct Pop3SessionOptions {
    int connectTimeoutMs = kPop3DefaultConnectTimeoutMs;
    int replyTimeoutMs = kPop3DefaultReplyTimeoutMs;
    QList<QSslCertificate> extraTrustedCas;
    Pop3TransportFactory transportFactory; // empty: SocketTransport
};

struct Pop3SessionStats {
    int commands = 0;   // command lines sent
    int roundTrips = 0; // times the client had to wait for the server
    qint64 bytesSent = 0;
    qint64 bytesReceived = 0;
    int reconnects = 0; // recoveries from a server that garbled pipelined replies
};

// One POP3 session (RFC 1939, CAPA RFC 2449, STLS RFC 2595). Calls block their caller but wait
// in a local event loop, so the caller's events keep running. Failure texts are Japanese and
// never contain the password.
class Pop3Session : public QObject {
public:
    explicit Pop3Session(Pop3SessionOptions options = {});
    ~Pop3Session() override;

    // Connects, reads the greeting and the capabilities, and upgrades to TLS when offered.
    bool open(const QString& serverText);
    // Logs in (APOP or USER/PASS) and returns the number of messages, or -1.
    int login(const QString& user, const QString& password, bool apop);
    // The header block of message n (TOP n 0), dot-unstuffed.
    std::optional<QByteArray> header(int n);
    // True when the header of message n is best taken from message(n): the caller has been reading
    // whole messages, this one is already coming whole or is small enough, and no TOP for it is
    // under way. May read the size list.
    bool headerComesWithMessage(int n);
    // The size of message n from the session's one LIST, or -1.
    qint64 size(int n);
    // The whole message n (RETR n), dot-unstuffed.
    std::optional<QByteArray> message(int n);
    bool remove(int n);
    // DELE n without waiting for the answer (meant for PIPELINING, where later commands go out
    // behind it); false when it could not be sent. removeResult() takes the answer.
    bool removeNoWait(int n);
    // The answer to removeNoWait(n): 0 accepted, -1 refused or failed (errorText says why), 1 not
    // come yet (only when wait is false).
    int removeResult(int n, bool wait);
    // Ends the session at once, also from inside a wait of this session (which then fails).
    void abort();
    // The server refused TOP: headers must come from the whole message.
    bool topRefused() const { return m_topRefused; }
    // Sends QUIT: true only when the server acknowledged it, so that the deletions took effect.
    bool quit();

    int messageCount() const { return m_count; }
    bool pipelining() const { return m_pipelining; }
    bool encrypted() const;
    QString errorText() const { return m_error; }
    Pop3SessionStats stats() const { return m_stats; }

private:
    enum class Kind { Greeting, Capa, Stls, User, Pass, Apop, Stat, List, Top, Retr, Dele, Quit };
    struct Command {
        Kind kind;
        int n = 0;
        int id = 0;
        bool multiLine = false;
        qsizetype limit = 0;
        qsizetype estimate = 0;
    };

    bool connectTransport();
    bool readCapabilities();
    bool authenticate();
    int send(Kind kind, int n, const QByteArray& line, bool multiLine, qsizetype limit,
             qsizetype estimate = 0);
    std::optional<Pop3Reply> execute(Kind kind, int n, const QByteArray& line, bool multiLine = false,
                                     qsizetype limit = 0, const std::function<void()>& afterSend = {});
    std::optional<Pop3Reply> waitFor(int id);
    bool waitUntil(const std::function<bool()>& done, int timeoutMs);
    void onActivity();
    void processBuffer();
    QString scrub(QString text) const;
    void fail(const QString& text);
    bool canRecover() const;
    bool usable();
    qsizetype headerEstimate(int n) const;
    void sendTop(int n);
    void forgetHeadersBefore(int n);
    void sendRetr(int n, qsizetype limit);
    void readAheadWhole(int from);
    void pump();
    qsizetype bodyBytesAhead() const;
    void deliver(const Command& c, Pop3Reply reply);
    void readAhead(int from);
    bool ensureSizes();
    bool recover();
    void breakSession(const QString& text);
    bool checkNumber(int n);
    bool finishRemove(int n, const Pop3Reply& reply);
    QString serverText(const QByteArray& text) const;
    qsizetype outstandingEstimate() const;

    Pop3SessionOptions m_options;
    Pop3ServerAddress m_address;
    std::unique_ptr<Pop3Transport> m_transport;
    QByteArray m_in;
    Pop3ReplyParser m_parser;
    std::deque<Command> m_inFlight;
    QMap<int, Pop3Reply> m_done; // finished replies by command id, until collected
    int m_nextId = 1;

    QByteArray m_timestamp;
    QSet<QByteArray> m_capabilities;
    bool m_capaSeen = false;
    bool m_pipelining = false;
    bool m_pipeliningGarbled = false; // set when a pipelined reply was not a POP3 reply
    bool m_broken = false;
    bool m_loggedIn = false;
    QString m_error;

    QByteArray m_user;
    QByteArray m_password;
    bool m_apop = false;
    QString m_passwordText; // kept only to keep it out of failure texts
    bool m_recovering = false;
    bool m_aborted = false;
    bool m_topRefused = false;
    QEventLoop* m_loop = nullptr; // the wait in progress, for abort()

    int m_count = -1;
    QList<qint64> m_sizes; // index n, -1 unknown; filled by the one LIST
    bool m_sizesRead = false;
    QSet<int> m_deleted;
    QMap<int, int> m_deleUnanswered; // message -> id of its DELE sent by removeNoWait

    // Headers read ahead: number -> header; failures -> readable text.
    QMap<int, QByteArray> m_headers;
    QMap<int, QString> m_headerFailures;
    qsizetype m_headerBytes = 0;
    QSet<int> m_topInFlight;
    int m_readAheadNext = 1;

    // Whole messages: replies by number (also those fetched ahead), RETR in flight with limits.
    QMap<int, Pop3Reply> m_bodies;
    QMap<int, qsizetype> m_retrInFlight;
    QMap<int, qsizetype> m_bodyLimit;
    bool m_wholeMessages = false; // the caller has asked for a whole message
    int m_wholeAheadNext = 1;

    // Read-ahead starts at this message (0: none, e.g. once QUIT is under way). It is topped up
    // by every call and whenever a reply arrives during a wait, so the window stays full.
    int m_pumpFrom = 0;
    bool m_pumping = false;

    Pop3SessionStats m_stats;
};

} // namespace brindle
