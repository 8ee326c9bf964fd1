#pragma once
#include "mailcheck/pop3/Pop3Error.h"
#include "mailcheck/pop3/Pop3Reply.h"
#include "mailcheck/pop3/Pop3Transport.h"
#include "mailcheck/Task.h"

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <QByteArray>
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
// A reply must also be complete within the reply time-out plus the time its expected size takes at
// this rate, however steadily its bytes come: a server that sends a byte now and then cannot hold a
// check for minutes. 8 KiB/s is a slow modem's pace; any link a mailbox is read over is faster.
inline constexpr qint64 kPop3MinReplyBytesPerSecond = 8 * 1024;
// What a reply of each listing is expected to carry per message, for its deadline: "n size" and
// "n unique-id" lines (RFC 1939 7: an id is at most 70 characters).
inline constexpr qsizetype kPop3ListLineBytes = 24;
inline constexpr qsizetype kPop3UidlLineBytes = 84;
// A whole session ends after this long, whatever the server does, so that the checks to come are
// not stalled behind it. A mailbox of thousands of messages on a slow link takes minutes, not half
// an hour; the next check goes on from where this one stopped (verdicts remembered, deletions
// pending).
inline constexpr int kPop3DefaultSessionLimitMs = 30 * 60 * 1000;

// More messages than this in one mailbox is taken as a broken STAT, not a real mailbox.
inline constexpr int kPop3MaxMessages = 1000000;

// What has come is taken from the socket in pieces of this size, each parsed before the next, so that
// a reply past its wire budget (Pop3Reply.h) is cut within one piece of it, however fast it comes.
inline constexpr qint64 kPop3ReadChunkBytes = 16 * 1024;
// Bytes that come while no reply is awaited are kept for the next one, up to a status line's worth;
// more is a server talking past its turn, and the connection is dropped.
inline constexpr qsizetype kPop3MaxUnsolicitedBytes = kPop3MaxStatusReplyBytes;

// Read-ahead with PIPELINING (RFC 2449 6.6): a pipelining client must not let the server's replies
// back up while it is still sending. Our writes never block (the socket queues them) and every wait
// reads, so TCP's flow control paces the server, and the only bound needed is one of memory.
//
// From the first fetch on, the fetches the plan needs go out at once, as far as a window of bytes
// reaches: each counts its listed size (a header asked for alone, its estimate) plus
// kPop3FetchCostBytes, while its reply is under way and while it waits in the cache to be taken. As
// the caller takes messages and replies come, the window is refilled; there is no slow start and no
// count of commands. kPop3WindowBytes:
// - holds twice the bandwidth-delay product of a 100 ms link at 320 Mbit/s, so that the server never
//   runs dry behind the client on any link a mailbox is read over;
// - bounds what is fetched ahead and not yet taken, 8 MiB, whatever the mailbox holds: a mailbox of
//   tiny messages fills it by the cost per fetch (some 32,000 fetches at most), one of large ones by
//   their sizes.
// A message larger than the window (only whole messages over kPop3MaxBodyReadAheadBytes) is never
// fetched ahead: it is asked for when the caller wants it, and its reply is cut at its byte budget
// (Pop3Reply.h), so that a huge message costs at most its own budget, once.
inline constexpr qsizetype kPop3WindowBytes = 8 * 1024 * 1024;
// With the window open (Pop3SessionOptions::openWindow: nobody waits on each DELE's answer), the
// fetches go out as far as this much listed size, the whole of any real mailbox, and the replies pace
// themselves: the session stops taking bytes off the socket while kPop3WindowBytes of replies wait
// in the cache and the caller has what it waits for, so the socket's bounded buffer fills and TCP's
// flow control holds the server back until the caller takes a message. The bound on memory stays
// twice kPop3WindowBytes of replies (taken in order, the cache passes kPop3WindowBytes by one reply at
// most; replies read past twice that on the way to one behind them are dropped and asked for again) plus the
// bookkeeping of the fetches under way, kPop3FetchCostBytes each, which this bound caps. 256 MiB is a mailbox
// of 13,000 ordinary messages, or the bandwidth-delay product of a 100 ms link at 20 Gbit/s.
inline constexpr qsizetype kPop3OpenWindowBytes = 256 * 1024 * 1024;
// What one fetch costs beyond its message: its command line, its reply's status line and the cache's
// bookkeeping (a map node, the reply and its buffers).
inline constexpr qsizetype kPop3FetchCostBytes = 256;
// A header asked for alone (TOP n 0) is counted at this size while it is under way.
inline constexpr qsizetype kPop3HeaderEstimateBytes = 8 * 1024;

// Whole messages fetched ahead: up to the window's size. A message fetched ahead may exceed its
// listed size by the slack only; past that it is asked for again when it is wanted.
inline constexpr qsizetype kPop3MaxBodyReadAheadBytes = kPop3WindowBytes;
inline constexpr qsizetype kPop3BodyReadAheadSlackBytes = 64 * 1024;
// When the header comes first, a message listed up to this size is read ahead whole (the header is
// taken from its text, and the body is there when the header did not decide); a larger one gets
// its header alone, so that a huge attachment the subject condemns is not downloaded for nothing.
inline constexpr qsizetype kPop3WholeForHeaderMaxBytes = 1024 * 1024;

inline constexpr quint16 kPop3Port = 110;
inline constexpr quint16 kPop3sPort = 995;

struct Pop3ServerAddress {
    QString host; // without brackets for IPv6 literals
    quint16 port = kPop3Port;
    bool implicitTls = false;
};
struct Pop3AddressError {
    enum class Problem { Missing, BadForm, BadHost, BadPort };
    Problem problem = Problem::Missing;
    QString part; // the offending text, bounded
};
// "host", "host:port", "[v6]", "[v6]:port", "pop3://host[:port]", "pop3s://host[:port]".
// Port 995 means implicit TLS. On failure returns nullopt and says why in *error.
std::optional<Pop3ServerAddress> parsePop3Address(const QString& text, Pop3AddressError* error = nullptr);

// The APOP digest (RFC 1939 7): lower-case hex MD5 of the timestamp and the password.
QByteArray apopDigest(const QByteArray& timestamp, const QByteArray& password);
// The <...@...> timestamp in a greeting, or empty.
QByteArray apopTimestampOf(const QByteArray& greetingText);

// A USER/PASS login as it goes on the wire (no CR, LF or NUL).
struct Pop3Credentials {
    QByteArray user;
    QByteArray password;
};

// The time the session measures its limits by, and the one timer its waits end on.
class Pop3Clock {
public:
    virtual ~Pop3Clock() = default;
    // Nanoseconds from a fixed point; never goes back.
    virtual qint64 nowNs() const = 0;
    // The wake given to the factory is called once, ms from now; start() again replaces that call,
    // stop() cancels it.
    virtual void start(int ms) = 0;
    virtual void stop() = 0;
};
using Pop3ClockFactory = std::function<std::unique_ptr<Pop3Clock>(std::function<void()> wake)>;

struct Pop3SessionOptions {
    int connectTimeoutMs = kPop3DefaultConnectTimeoutMs; // connecting and each TLS handshake, in all
    int replyTimeoutMs = kPop3DefaultReplyTimeoutMs;     // silence before a reply, and its deadline's base
    int sessionLimitMs = kPop3DefaultSessionLimitMs;
    // What is remembered of this server: TLS seen, the pinned certificate, the plain-text agreement.
    Pop3Trust trust;
    // The fetch window opens to kPop3OpenWindowBytes: for a caller that takes the answers to its
    // DELEs late (removeNoWait), as an answer waited for at once would come behind every fetch.
    bool openWindow = false;
    // The login login() will be asked to make, known before the connection: to a server remembered
    // to pipeline and to keep what comes behind PASS, on a plain connection whose clear login is
    // allowed (agreed, or this machine), the whole first flight (CAPA, UTF8, USER, PASS, STAT, LIST,
    // UIDL) goes out as soon as the connection stands, before the greeting: it comes back with the
    // greeting, a round trip sooner. login() with other credentials then fails.
    std::optional<Pop3Credentials> earlyLogin;
    Pop3TransportFactory transportFactory; // empty: SocketTransport
    Pop3ClockFactory clockFactory;         // empty: the monotonic clock and a QTimer
    MailPlan plan = MailPlan::HeadersFirst;
    bool pipelining = true; // false: one command at a time even where the server offers PIPELINING
    // With PIPELINING, UIDL is asked for together with STAT right after the login (the caller will
    // want it).
    bool readUidls = false;
    // Server words that are not UTF-8 are decoded by this (the program's code page); empty: Latin-1.
    std::function<QString(QByteArrayView)> legacyText;
};

struct Pop3SessionStats {
    int commands = 0; // command lines sent
    // Times the client waited a whole round trip for the server: connecting with the greeting, each
    // TLS handshake, and each write made while no reply was under way (the link had gone idle).
    int roundTrips = 0;
    qint64 bytesSent = 0;
    qint64 bytesReceived = 0;
    // The most the read-ahead window held at once (kPop3WindowBytes counts it), and the most
    // commands whose replies were under way at once.
    qint64 peakWindowBytes = 0;
    qint64 peakCachedBytes = 0; // replies come and not yet taken
    int peakInFlight = 0;
};

// One POP3 session (RFC 1939, CAPA RFC 2449, STLS RFC 2595, UTF8 RFC 6856). The calls that wait for the
// server are coroutines: they suspend until the socket's signals or the session's timer resume them
// from the event loop, so nothing waits inside an event loop of its own. One such call at a time;
// its Task destroyed while it waits unhooks it from the session. A failed call leaves error(); once
// the connection is unusable every later call fails and error() keeps the first cause.
// "Used errors" names the kinds of Pop3ErrorKind each call fails with; every call after open() may
// also fail with TimedOut (any Pop3Wait), ProtocolError and ConnectionLost.
//
// Fetched messages are kept in one cache by number: replies read ahead for the plan, and the
// message the caller is on, until the caller asks for a later one.
class Pop3Session : public QObject {
public:
    explicit Pop3Session(Pop3SessionOptions options = {});
    ~Pop3Session() override;

    // Connects, reads the greeting and the capabilities (unless login() sends CAPA with the login, see
    // there), and upgrades to TLS when offered. Refuses,
    // before anything else is sent, a server whose TLS was seen (options().trust) and that offers
    // none now (TlsDowngraded), one whose STLS fails (TlsRefused), and a certificate that is neither
    // verified nor pinned (CertificateUnknown, CertificateChanged, TlsRefused).
    // Used errors: CannotConnect, TimedOut, TlsDowngraded, TlsRefused, CertificateUnknown,
    // CertificateChanged, ProtocolError, ConnectionLost.
    Task<bool> open(Pop3ServerAddress address);
    // The server offered TLS on this connection (TLS from the start, or STLS in its capabilities),
    // whether or not it came about.
    bool tlsOffered() const { return m_tlsOffered; }
    // The server's certificate as the handshake found it (null before any handshake).
    CertificateCheck certificateCheck() const;
    // The APOP timestamp of the greeting; empty when the server offers none.
    QByteArray apopTimestamp() const { return m_timestamp; }
    // Logs in (APOP or USER/PASS) and returns the number of messages, or -1. The caller has made
    // sure that neither contains CR, LF or NUL. With PIPELINING the login goes out in one flight, and
    // STAT, LIST (unless the plan is SizesOnly) and UIDL (with readUidls) in the next; UTF8 goes
    // before the login where the server announces it (RFC 6856: in the AUTHORIZATION state), so that
    // mail comes as it was written. A plain connection to a server remembered with PIPELINING
    // (options().trust.known) puts CAPA, UTF8, the login and the listings into one flight (open()
    // then sent nothing); a server remembered to lose what comes behind the login gets CAPA, UTF8
    // and the login, then the listings. The CAPA reply is still read: a server that no longer
    // pipelines is sent one command at a time from then on, and learnt() says what changed.
    // USER/PASS without TLS needs the user's agreement (PlainLoginRefused, and nothing is sent; the
    // session stays usable) unless the server is on this machine.
    // Used errors: LoginRefused, PlainLoginRefused, ProtocolError (a bad STAT, LIST or UIDL listing).
    Task<int> login(QByteArray user, QByteArray password, bool apop);
    // The header block of message n, from TOP n 0 or from the whole text, dot-unstuffed.
    // Used errors, here and in size(), message(), top() and uidl(): CommandRefused (the server's -ERR,
    // or a message the session cannot ask for: not logged in, no such number, deleted, too large).
    Task<std::optional<QByteArray>> header(int n);
    // The size of message n from the session's one LIST, or -1.
    Task<qint64> size(int n);
    // The whole message n (RETR n), dot-unstuffed.
    Task<std::optional<QByteArray>> message(int n);
    // The header of message n and its first body lines (TOP n lines), dot-unstuffed.
    Task<std::optional<QByteArray>> top(int n, int lines);
    // The UIDL of message n from the session's one UIDL listing (RFC 1939 7). Empty when the server
    // has no UIDL, when the one it gives is malformed, and when it gives the same one to several
    // messages (such a UIDL names no message). nullopt on failure.
    Task<std::optional<QByteArray>> uidl(int n);
    // The caller will not ask for message n: the read-ahead leaves it out.
    void skip(int n) { m_skipped.insert(n); }
    // DELE n: true when the server accepted it.
    // Used errors, here and in removeNoWait() and removeResult(): CommandRefused.
    Task<bool> remove(int n);
    // DELE n without waiting for the answer (meant for PIPELINING, where later commands go out
    // behind it); false when it could not be sent. removeResult() takes the answer.
    bool removeNoWait(int n);
    bool removePending(int n) const { return m_deleUnanswered.contains(n); }
    // The answer to removeNoWait(n): 0 accepted, -1 refused or failed, 1 not come yet (only when
    // wait is false).
    Task<int> removeResult(int n, bool wait);
    // Ends the session at once, also while a call of this session waits (it then fails, resumed
    // from the event loop).
    void abort();
    // Sends QUIT now, behind the DELEs still unanswered, without waiting; removeResult() still takes
    // their answers and quit() then QUIT's. Nothing else may be asked for afterwards.
    bool sendQuit();
    // Sends QUIT (unless sendQuit did): true only when the server acknowledged it, so that the
    // deletions took effect.
    // Used errors, here and in sendQuit(): CommandRefused (QUIT refused), and ConnectionLost after
    // abort().
    Task<bool> quit();
    // What this session found of the server: its CAPA as read now (or as remembered, when none was
    // read), and the quirks remembered or learnt.
    Pop3Known learnt() const;

    bool aborted() const { return m_aborted; }
    bool broken() const { return m_broken; }
    bool loggedIn() const { return m_loggedIn; }
    int messageCount() const { return m_count; }
    bool isDeleted(int n) const { return m_deleted.contains(n); }
    bool pipelining() const { return m_pipelining; }
    bool encrypted() const;
    const Pop3Error& error() const { return m_error; }
    Pop3SessionStats stats() const { return m_stats; }

private:
    enum class Kind {
        Greeting,
        Capa,
        Stls,
        Utf8,
        User,
        Pass,
        Apop,
        Stat,
        List,
        Uidl,
        Top,
        TopLines,
        Retr,
        Dele,
        Quit
    };
    struct Command {
        Kind kind;
        int n = 0;
        int id = 0;
        bool multiLine = false;
        qsizetype limit = 0;
        qsizetype expected = 0;    // reply bytes counted against the read-ahead budgets meanwhile
        bool behindOthers = false; // sent while earlier replies were still to come
    };
    // What is known of one message. A TOP or RETR is in flight while its flag is set.
    struct Entry {
        std::optional<Pop3Reply> top;
        std::optional<Pop3Reply> whole;
        qsizetype wholeLimit = 0; // the limit the RETR of `whole` ran under
        bool topAsked = false;
        bool retrAsked = false;
    };

    Task<bool> greetAndUpgrade();
    Task<bool> readCapabilities();
    void takeCapabilities(const Pop3Reply& reply);
    bool capaWithLogin() const;
    int send(Kind kind, int n, const QByteArray& line, bool multiLine = false, qsizetype limit = 0,
             qsizetype expected = 0);
    Task<std::optional<Pop3Reply>> execute(Kind kind, QByteArray line, bool multiLine = false,
                                           qsizetype limit = 0);
    Task<std::optional<Pop3Reply>> waitFor(int id);
    // Waits until done(), or until a limit passes: with forReplies, the silence time-out (restarted by
    // every byte) and the deadline of the reply under way; otherwise timeoutMs in all. The session's
    // own limit always. m_waitExpired then says which.
    Task<bool> waitUntil(std::function<bool()> done, int timeoutMs, bool forReplies);
    Task<bool> waitForTransport(int timeoutMs);
    qint64 frontDeadlineNs() const;
    Task<bool> waitForReply(std::function<bool()> done);
    // Suspends the call under way until the socket, the timer or abort() wakes it.
    struct Suspend;
    struct WaitScope;
    void wake();
    void onActivity();
    void processBuffer();
    void checkTransport();
    void deliver(const Command& c, Pop3Reply reply);
    qsizetype wireBudget(const Command& c) const;
    void dropFlood(const QString& detail);
    void fail(Pop3ErrorKind kind, const QString& detail = {});
    void breakSession(Pop3ErrorKind kind, const QString& detail = {});
    QString serverText(const QByteArray& text) const;
    bool usableFor(int n);
    Task<bool> ensureSizes();
    bool takeSizes(const Pop3Reply& reply);
    Task<bool> ensureUidls();
    void takeUidls(const Pop3Reply& reply);
    // The ids of one login flight's commands (0: not sent).
    struct LoginFlight {
        int capa = 0;
        int utf8 = 0;
        QList<int> login;
        int stat = 0, list = 0, uidl = 0;
    };
    LoginFlight sendLoginFlight(const QByteArray& user, const QByteArray& password, bool apop, bool utf8);
    void sendListings(LoginFlight& f);
    Task<bool> collectLogin(LoginFlight f);
    bool earlyLoginAllowed() const;
    bool takeStat(const std::optional<Pop3Reply>& reply);
    static qsizetype entryBytes(const Entry& e);
    void setCached(Entry& e, bool whole, std::optional<Pop3Reply> reply);
    void eraseCached(std::map<int, Entry>::iterator from, std::map<int, Entry>::iterator to);
    void moveTo(int n);
    void sendTop(int n);
    void sendRetr(int n, qsizetype limit);
    qsizetype headerEstimate(int n) const;
    bool readAheadOne(int m);
    void pump();
    bool finishRemove(int n, const Pop3Reply& reply);

    Pop3SessionOptions m_options;
    Pop3ServerAddress m_address;
    std::unique_ptr<Pop3Transport> m_transport;
    QByteArray m_in;
    Pop3ReplyParser m_parser;
    std::deque<Command> m_inFlight;
    QMap<int, Pop3Reply> m_done; // finished replies of other commands by id, until collected
    int m_nextId = 1;

    QByteArray m_timestamp;
    QSet<QByteArray> m_capabilities;
    bool m_capaRead = false;     // a CAPA reply came (m_capabilities is the server's now)
    bool m_capaDeferred = false; // CAPA goes out with the login (a server seen before)
    bool m_loginApart = false;   // nothing goes out behind the login (Courier)
    bool m_pipelining = false;
    bool m_broken = false;
    bool m_loggedIn = false;
    bool m_aborted = false;
    bool m_quitting = false;
    bool m_topRefused = false; // TOP is optional (RFC 1939 7): headers then come from RETR
    bool m_tlsOffered = false;
    Pop3Wait m_waitExpired = Pop3Wait::Silence;
    qint64 m_frontSinceNs = 0; // when the client began to wait for the reply at the front
    Pop3Error m_error;
    // The call waiting for the server, held weakly (its frame owns it), with the clock whose timer
    // ends its limits and the count of the socket's signals, which restart its silence time-out.
    std::weak_ptr<std::coroutine_handle<>> m_waiter;
    bool m_waiting = false;
    std::unique_ptr<Pop3Clock> m_clock;
    qint64 m_openedNs = 0; // when open() began: the session's limit counts from there
    quint64 m_activity = 0;

    int m_count = -1;
    qint64 m_statCount = -1; // STAT's count as soon as its reply came: it sizes the listings' budgets
    QList<qint64> m_sizes;   // index n, -1 unknown; filled by the one LIST
    bool m_sizesRead = false;
    QList<QByteArray> m_uidls; // index n; empty: none; filled by the one UIDL
    bool m_uidlsRead = false;
    QSet<int> m_deleted;
    QSet<int> m_skipped;             // messages the caller will not ask for
    int m_quitId = 0;                // the QUIT sent, 0 before
    QMap<int, int> m_deleUnanswered; // message -> id of its DELE sent by removeNoWait

    std::map<int, Entry> m_cache; // the one place fetched messages are kept
    int m_aheadNext = 1;          // the next message the read-ahead considers
    bool m_pumping = false;
    // The window in use: fetches under way (their counted bytes) and replies waiting in the cache.
    qsizetype m_inFlightFetchBytes = 0;
    qsizetype m_cachedBytes = 0;
    std::optional<LoginFlight> m_early;                // the login flight sent before the greeting
    int m_awaited = 0;                                 // the message whose reply the caller waits for
    const std::function<bool()>* m_waitDone = nullptr; // what the caller waits for, while it does

    Pop3SessionStats m_stats;
};

} // namespace brindle
