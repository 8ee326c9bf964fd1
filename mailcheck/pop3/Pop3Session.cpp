#include "mailcheck/pop3/Pop3Session.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <QHash>

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QPointer>
#include <QStringDecoder>
#include <QTimer>

namespace brindle {

namespace {

// The offending part of a server address quoted back, and of a port.
constexpr int kAddressQuoteChars = 100;
constexpr int kPortQuoteChars = 20;

// The header block of a whole message: up to and including the line end before the blank line.
// One pass over the line ends, stopping at the first blank line (CR LF CR LF or LF LF): searching
// for both forms whole would read every message of CR LF lines to its end for the LF LF form.
QByteArray headerOf(const QByteArray& message) {
    const char* s = message.constData();
    const qsizetype n = message.size();
    for (qsizetype i = 0; i < n;) {
        const void* at = std::memchr(s + i, '\n', size_t(n - i));
        if (at == nullptr)
            break;
        i = static_cast<const char*>(at) - s;
        if (i + 1 < n && (s[i + 1] == '\n' ||
                          (i > 0 && s[i - 1] == '\r' && s[i + 1] == '\r' && i + 2 < n && s[i + 2] == '\n')))
            return message.left(i + 1);
        ++i;
    }
    return message;
}

// The message count of a STAT reply, or -1.
qint64 statCount(const Pop3Reply& r) {
    bool ok = false;
    const qint64 count = r.text.trimmed().split(' ').value(0).toLongLong(&ok);
    return r.ok && ok && count >= 0 && count <= kPop3MaxMessages ? count : -1;
}

} // namespace

std::optional<Pop3ServerAddress> parsePop3Address(const QString& text, Pop3AddressError* error) {
    auto failWith = [&](Pop3AddressError::Problem problem,
                        const QString& part = {}) -> std::optional<Pop3ServerAddress> {
        if (error)
            *error = {problem, part};
        return std::nullopt;
    };
    const QString quoted = text.left(kAddressQuoteChars);
    QString t = text.trimmed();
    Pop3ServerAddress a;
    quint16 defaultPort = kPop3Port;
    if (t.startsWith(QLatin1String("pop3s://"), Qt::CaseInsensitive)) {
        a.implicitTls = true;
        defaultPort = kPop3sPort;
        t = t.mid(8);
    } else if (t.startsWith(QLatin1String("pop3://"), Qt::CaseInsensitive)) {
        t = t.mid(7);
    } else if (t.contains(QLatin1String("://"))) {
        return failWith(Pop3AddressError::Problem::BadForm, quoted);
    }
    while (t.endsWith(QLatin1Char('/')))
        t.chop(1);
    if (t.isEmpty())
        return failWith(Pop3AddressError::Problem::Missing);

    QString portText;
    if (t.startsWith(QLatin1Char('['))) {
        const qsizetype close = t.indexOf(QLatin1Char(']'));
        if (close < 0)
            return failWith(Pop3AddressError::Problem::BadForm, quoted);
        a.host = t.mid(1, close - 1);
        const QString rest = t.mid(close + 1);
        if (rest.startsWith(QLatin1Char(':')))
            portText = rest.mid(1);
        else if (!rest.isEmpty())
            return failWith(Pop3AddressError::Problem::BadForm, quoted);
        if (a.host.isEmpty())
            return failWith(Pop3AddressError::Problem::BadForm, quoted);
    } else if (t.count(QLatin1Char(':')) == 1) {
        const qsizetype colon = t.indexOf(QLatin1Char(':'));
        a.host = t.left(colon);
        portText = t.mid(colon + 1);
    } else {
        a.host = t; // a name, or an IPv6 literal without brackets and port
    }
    for (QChar c : std::as_const(a.host)) {
        if (c.isSpace() || c.unicode() < 0x20 || c == QLatin1Char('/') || c == QLatin1Char('@'))
            return failWith(Pop3AddressError::Problem::BadHost, quoted);
    }
    if (a.host.isEmpty())
        return failWith(Pop3AddressError::Problem::BadHost, quoted);
    a.port = defaultPort;
    if (!portText.isNull()) {
        bool ok = false;
        const uint port = portText.toUInt(&ok);
        if (!ok || port == 0 || port > 65535)
            return failWith(Pop3AddressError::Problem::BadPort, portText.left(kPortQuoteChars));
        a.port = quint16(port);
    }
    if (a.port == kPop3sPort)
        a.implicitTls = true;
    return a;
}

QByteArray apopDigest(const QByteArray& timestamp, const QByteArray& password) {
    return QCryptographicHash::hash(timestamp + password, QCryptographicHash::Md5).toHex();
}

QByteArray apopTimestampOf(const QByteArray& greetingText) {
    const qsizetype open = greetingText.indexOf('<');
    if (open < 0)
        return {};
    const qsizetype close = greetingText.indexOf('>', open);
    if (close < 0)
        return {};
    const QByteArray ts = greetingText.mid(open, close - open + 1);
    if (!ts.contains('@') || ts.indexOf('<', 1) >= 0)
        return {};
    for (char c : ts)
        if (uchar(c) <= 0x20 || uchar(c) >= 0x7f)
            return {};
    return ts;
}

namespace {

// The clock of a session left to itself.
class SystemClock final : public Pop3Clock {
public:
    explicit SystemClock(std::function<void()> wake) {
        m_elapsed.start();
        m_timer.setSingleShot(true);
        QObject::connect(&m_timer, &QTimer::timeout, std::move(wake));
    }
    qint64 nowNs() const override { return m_elapsed.nsecsElapsed(); }
    void start(int ms) override { m_timer.start(ms); }
    void stop() override { m_timer.stop(); }

private:
    QElapsedTimer m_elapsed;
    QTimer m_timer;
};

} // namespace

Pop3Session::Pop3Session(Pop3SessionOptions options) : m_options(std::move(options)) {
    auto wake = [this] { this->wake(); };
    m_clock = m_options.clockFactory ? m_options.clockFactory(wake) : std::make_unique<SystemClock>(wake);
}

Pop3Session::~Pop3Session() {
    // A handle left open until the program's static objects go: the sockets are past use then.
    if (m_transport && !QCoreApplication::instance()) {
        (void)m_transport.release();
        return;
    }
    if (m_transport) {
        m_transport->disconnect(this);
        m_transport->close();
    }
}

bool Pop3Session::encrypted() const {
    return m_transport && m_transport->isEncrypted();
}

void Pop3Session::fail(Pop3ErrorKind kind, const QString& detail) {
    m_error = {kind, detail.left(kPop3MaxErrorDetailChars), false};
}

QString Pop3Session::serverText(const QByteArray& text) const {
    // Japanese servers answer in UTF-8 or in Shift_JIS; whichever decodes cleanly is taken.
    const QByteArray head = text.left(kPop3MaxErrorDetailChars * 4);
    QStringDecoder utf8(QStringDecoder::Utf8);
    QString s = utf8(head);
    if (utf8.hasError())
        s = m_options.legacyText ? m_options.legacyText(head) : QString::fromLatin1(head);
    // Controls become blanks, except ESC: the mail library removes escape sequences whole, which it
    // can only do while their introducer is still there.
    for (QChar& c : s)
        if ((c.unicode() < 0x20 && c.unicode() != 0x1b) || c.unicode() == 0x7f)
            c = QLatin1Char(' ');
    return s.trimmed().left(kPop3MaxErrorDetailChars);
}

void Pop3Session::breakSession(Pop3ErrorKind kind, const QString& detail) {
    if (m_broken)
        return;
    m_broken = true;
    fail(kind, detail);
    m_inFlight.clear();
    m_inFlightFetchBytes = 0;
    if (m_transport)
        m_transport->close();
}

Task<bool> Pop3Session::open(Pop3ServerAddress address) {
    m_address = address;
    m_openedNs = m_clock->nowNs();
    m_transport =
        m_options.transportFactory ? m_options.transportFactory() : std::make_unique<SocketTransport>();
    connect(m_transport.get(), &Pop3Transport::activity, this, &Pop3Session::onActivity);
    // Connecting and the greeting are one round trip, a TLS handshake from the start another.
    m_stats.roundTrips += address.implicitTls ? 2 : 1;
    const bool ok = co_await greetAndUpgrade();
    // Whatever broke before the server let us in, we never got a usable connection.
    if (!ok && m_error.kind == Pop3ErrorKind::ConnectionLost)
        m_error.kind = Pop3ErrorKind::CannotConnect;
    co_return ok;
}

namespace {
bool tlsKind(Pop3ErrorKind kind) {
    return kind == Pop3ErrorKind::TlsRefused || kind == Pop3ErrorKind::CertificateUnknown ||
           kind == Pop3ErrorKind::CertificateChanged;
}
} // namespace

CertificateCheck Pop3Session::certificateCheck() const {
    return m_transport ? m_transport->certificateCheck() : CertificateCheck();
}

Task<bool> Pop3Session::waitForTransport(int timeoutMs) {
    Pop3Transport* t = m_transport.get();
    return waitUntil([t] { return t->isReady() || t->hasFailed(); }, timeoutMs, false);
}

Task<bool> Pop3Session::greetAndUpgrade() {
    Pop3Transport* t = m_transport.get();
    t->setPinnedCertificate(m_options.trust.pinnedSha256);
    m_tlsOffered = m_address.implicitTls;
    t->open(m_address.host, m_address.port, m_address.implicitTls);
    const bool settled = co_await waitForTransport(m_options.connectTimeoutMs);
    if (!settled || t->hasFailed()) {
        const Pop3Error why = t->failure();
        if (!settled) {
            breakSession(Pop3ErrorKind::TimedOut);
            m_error.wait = m_waitExpired;
        } else {
            breakSession(tlsKind(why.kind) ? why.kind : Pop3ErrorKind::CannotConnect, why.detail);
        }
        co_return false;
    }

    const int greetingId = send(Kind::Greeting, 0, {});
    if (earlyLoginAllowed()) {
        m_capaDeferred = true;
        m_early = sendLoginFlight(m_options.earlyLogin->user, m_options.earlyLogin->password, false,
                                  m_options.trust.known.utf8);
    }
    auto greeting = co_await waitFor(greetingId);
    if (!greeting)
        co_return false;
    if (!greeting->ok) {
        breakSession(Pop3ErrorKind::CannotConnect, serverText(greeting->text));
        co_return false;
    }
    m_timestamp = apopTimestampOf(greeting->text);
    if (m_early)
        co_return true;
    if (!t->isEncrypted() && capaWithLogin()) {
        m_capaDeferred = true;
        co_return true;
    }
    const auto capaRead = co_await readCapabilities();
    if (!capaRead)
        co_return false;
    if (t->isEncrypted())
        co_return true;

    if (!m_capabilities.contains("STLS")) {
        // RFC 8314: a server once seen with TLS keeps it. Its absence now is a stripped capability
        // list or another server in its place, so nothing more is said to it.
        if (m_options.trust.tlsSeen) {
            breakSession(Pop3ErrorKind::TlsDowngraded);
            co_return false;
        }
        co_return true;
    }
    m_tlsOffered = true;
    auto r = co_await execute(Kind::Stls, "STLS");
    if (!r)
        co_return false;
    if (!r->ok) {
        // Offered and then refused: going on in plain would be a downgrade of the server's own.
        breakSession(Pop3ErrorKind::TlsRefused, QStringLiteral("STLS: ") + serverText(r->text));
        co_return false;
    }
    // RFC 2595 4: whatever came before the handshake is not trusted.
    m_in.clear();
    ++m_stats.roundTrips;
    t->startTls(m_address.host);
    const bool done = co_await waitForTransport(m_options.connectTimeoutMs);
    if (!done || t->hasFailed()) {
        const Pop3Error why = t->failure();
        breakSession(!done               ? Pop3ErrorKind::TimedOut
                     : tlsKind(why.kind) ? why.kind
                                         : Pop3ErrorKind::TlsRefused,
                     why.detail);
        if (!done)
            m_error.wait = m_waitExpired;
        co_return false;
    }
    m_in.clear();
    m_capabilities.clear();
    co_return co_await readCapabilities();
}

Task<bool> Pop3Session::readCapabilities() {
    auto r = co_await execute(Kind::Capa, "CAPA", true, kPop3MaxCapaBytes);
    if (!r)
        co_return false;
    takeCapabilities(*r);
    co_return true;
}

void Pop3Session::takeCapabilities(const Pop3Reply& reply) {
    m_capabilities.clear();
    m_capaRead = true;
    if (!reply.ok)
        return;
    for (const QByteArray& line : reply.body.split('\n')) {
        const QList<QByteArray> words = line.trimmed().split(' ');
        const QByteArray word = words.value(0).toUpper();
        if (!word.isEmpty())
            m_capabilities.insert(word);
        // Courier's login process hands the connection to another process after the login and
        // drops whatever it had read beyond it (RFC 2449 IMPLEMENTATION names the server).
        if (word == "IMPLEMENTATION" && line.toLower().contains("courier"))
            m_loginApart = true;
    }
}

// A plain connection to a server remembered to pipeline, offering no TLS: CAPA needs no round trip
// of its own. It still goes first, and its reply is read before anything else is relied on.
bool Pop3Session::earlyLoginAllowed() const {
    // A server on a loopback address gets the password in clear without the user's agreement:
    // nothing crosses a network.
    const bool onThisMachine = m_transport->peerIsLoopback();
    return m_options.earlyLogin && !m_address.implicitTls && !m_transport->isEncrypted() && capaWithLogin() &&
           !m_options.trust.known.loginApart && (m_options.trust.plainAgreed || onThisMachine);
}

bool Pop3Session::capaWithLogin() const {
    const Pop3Known& k = m_options.trust.known;
    return m_options.pipelining && k.seen && k.pipelining && !k.stls && !k.garbled &&
           !m_options.trust.tlsSeen;
}

Pop3Known Pop3Session::learnt() const {
    Pop3Known k = m_options.trust.known;
    if (m_capaRead) {
        k.seen = true;
        k.pipelining = m_capabilities.contains("PIPELINING");
        k.top = m_capabilities.contains("TOP");
        k.uidl = m_capabilities.contains("UIDL");
        k.utf8 = m_capabilities.contains("UTF8");
        k.stls = m_tlsOffered && !m_address.implicitTls;
    }
    k.loginApart = k.loginApart || m_loginApart;
    k.garbled = k.garbled || m_error.pipeliningGarbled;
    return k;
}

int Pop3Session::send(Kind kind, int n, const QByteArray& line, bool multiLine, qsizetype limit,
                      qsizetype expected) {
    if (m_inFlight.empty()) {
        m_frontSinceNs = m_clock->nowNs();
        // Nothing under way: this command's reply costs a whole round trip (the greeting's was
        // counted with the connection).
        if (kind != Kind::Greeting)
            ++m_stats.roundTrips;
    }
    Command c{kind, n, m_nextId++, multiLine, limit, expected, !m_inFlight.empty()};
    if (kind == Kind::Top || kind == Kind::Retr) {
        m_inFlightFetchBytes += expected + kPop3FetchCostBytes;
        m_stats.peakWindowBytes = qMax<qint64>(m_stats.peakWindowBytes, m_inFlightFetchBytes + m_cachedBytes);
    }
    if (kind != Kind::Greeting) {
        const QByteArray bytes = line + "\r\n";
        m_transport->write(bytes);
        ++m_stats.commands;
        m_stats.bytesSent += bytes.size();
    }
    m_inFlight.push_back(c);
    m_stats.peakInFlight = qMax(m_stats.peakInFlight, int(m_inFlight.size()));
    processBuffer();
    checkTransport();
    return c.id;
}

void Pop3Session::checkTransport() {
    if (m_broken || !m_transport->hasFailed() || m_inFlight.empty())
        return;
    const Pop3Error why = m_transport->failure();
    breakSession(why.kind == Pop3ErrorKind::TlsRefused ? why.kind : Pop3ErrorKind::ConnectionLost,
                 why.detail);
}

void Pop3Session::onActivity() {
    if (!m_transport)
        return;
    // The call under way goes on from the event loop once this has been read.
    ++m_activity;
    wake();
    // Nothing more is read once the session broke: a flood stays in the socket until it is gone.
    while (!m_broken) {
        // With the window open the replies pace themselves: once the caller has what it waits for
        // and the cache is full, the rest stays in the socket until the caller takes a message.
        if (m_options.openWindow && m_cachedBytes >= kPop3WindowBytes &&
            (m_waitDone == nullptr || (*m_waitDone)()))
            break;
        const QByteArray data = m_transport->read(kPop3ReadChunkBytes);
        if (data.isEmpty())
            break;
        m_stats.bytesReceived += data.size();
        m_in.append(data);
        processBuffer();
    }
    if (m_broken)
        return;
    checkTransport();
    // Replies taken off the window make room: refill it while our caller waits (also for a DELE
    // or a LIST), so that the server never runs dry behind a single reply.
    if (m_waiting)
        pump();
}

void Pop3Session::dropFlood(const QString& detail) {
    // Broken first: what the socket reports as it goes is a consequence, not the cause.
    breakSession(Pop3ErrorKind::ProtocolError, detail);
    if (m_transport)
        m_transport->abort();
}

qsizetype Pop3Session::wireBudget(const Command& c) const {
    if (!c.multiLine)
        return kPop3MaxStatusReplyBytes;
    // A listed size counts up to the largest message read at all: a server listing a message at
    // petabytes gets no larger budget for it.
    const qint64 listed = m_sizesRead ? m_sizes.value(c.n, -1) : -1;
    const qsizetype message =
        listed >= 0 ? qsizetype(qMin<qint64>(listed, kPop3MaxMessageBytes)) : kPop3MaxMessageBytes;
    switch (c.kind) {
    case Kind::List:
    case Kind::Uidl:
        return m_statCount >= 0 ? qsizetype(m_statCount) * kPop3MaxListingLineBytes + kPop3ReplyMarginBytes
                                : pop3WireBudget(kPop3MaxListingBytes);
    case Kind::Retr:
        return pop3WireBudget(message);
    case Kind::Top:
    case Kind::TopLines:
        return pop3WireBudget(qMin(message, c.limit));
    default:
        return pop3WireBudget(c.limit);
    }
}

void Pop3Session::processBuffer() {
    while (!m_inFlight.empty() && !m_broken) {
        const Command& front = m_inFlight.front();
        if (m_parser.idle())
            m_parser.expect(front.multiLine, front.limit, wireBudget(front));
        const auto r = m_parser.feed(m_in);
        if (r == Pop3ReplyParser::Result::NeedMore)
            return;
        const Command c = front;
        const bool othersBehind = m_inFlight.size() > 1;
        m_inFlight.pop_front();
        if (c.kind == Kind::Top || c.kind == Kind::Retr)
            m_inFlightFetchBytes -= c.expected + kPop3FetchCostBytes;
        m_frontSinceNs = m_clock->nowNs(); // the next reply's time starts now
        if (r == Pop3ReplyParser::Result::Malformed && m_parser.overBudget()) {
            // Nothing of it is used and nothing more is read: no DELE can follow.
            dropFlood(m_parser.error());
            return;
        }
        if (r == Pop3ReplyParser::Result::Malformed) {
            if (c.kind == Kind::Capa && !othersBehind) {
                // Some servers answer CAPA with nonsense; carry on without capabilities. (Behind it
                // in one flight, the replies to come cannot be told from the nonsense.)
                m_parser.take();
                m_in.clear();
                deliver(c, Pop3Reply{});
                continue;
            }
            breakSession(Pop3ErrorKind::ProtocolError, m_parser.error());
            // Nonsense in answer to commands sent together (the last of them included): this
            // server cannot pipeline. Nothing is sent again: the caller ends the check.
            m_error.pipeliningGarbled = m_pipelining && (c.behindOthers || othersBehind);
            return;
        }
        deliver(c, m_parser.take());
    }
    if (!m_broken && m_inFlight.empty() && m_in.size() > kPop3MaxUnsolicitedBytes)
        dropFlood(QStringLiteral("%1 bytes sent unasked").arg(m_in.size()));
}

void Pop3Session::deliver(const Command& c, Pop3Reply reply) {
    if (c.kind == Kind::Stat)
        m_statCount = statCount(reply);
    if (c.kind != Kind::Top && c.kind != Kind::Retr) {
        m_done.insert(c.id, std::move(reply));
        return;
    }
    const auto it = m_cache.find(c.n);
    if (c.kind == Kind::Top && !reply.ok && !reply.tooLarge)
        m_topRefused = true;
    if (it == m_cache.end())
        return; // the caller has gone past this message
    Entry& e = it->second;
    if (m_options.openWindow && c.n != m_awaited &&
        m_cachedBytes + reply.body.size() > 2 * kPop3WindowBytes && !e.top && !e.whole) {
        // Read past a full cache on the way to a reply behind it (taking messages in order, the cache
        // passes kPop3WindowBytes by one reply at most): not kept, asked for again later.
        eraseCached(it, std::next(it));
        m_aheadNext = qMin(m_aheadNext, c.n);
        return;
    }
    if (c.kind == Kind::Top) {
        e.topAsked = false;
    } else {
        e.retrAsked = false;
        e.wholeLimit = c.limit;
    }
    setCached(e, c.kind == Kind::Retr, std::move(reply));
}

qsizetype Pop3Session::entryBytes(const Entry& e) {
    return (e.top ? e.top->body.size() + kPop3FetchCostBytes : 0) +
           (e.whole ? e.whole->body.size() + kPop3FetchCostBytes : 0);
}

void Pop3Session::setCached(Entry& e, bool whole, std::optional<Pop3Reply> reply) {
    m_cachedBytes -= entryBytes(e);
    (whole ? e.whole : e.top) = std::move(reply);
    m_cachedBytes += entryBytes(e);
    m_stats.peakWindowBytes = qMax<qint64>(m_stats.peakWindowBytes, m_inFlightFetchBytes + m_cachedBytes);
    m_stats.peakCachedBytes = qMax<qint64>(m_stats.peakCachedBytes, m_cachedBytes);
}

void Pop3Session::eraseCached(std::map<int, Entry>::iterator from, std::map<int, Entry>::iterator to) {
    for (auto it = from; it != to; ++it)
        m_cachedBytes -= entryBytes(it->second);
    m_cache.erase(from, to);
}

qint64 Pop3Session::frontDeadlineNs() const {
    const Command& c = m_inFlight.front();
    qint64 bytes = c.expected;
    if (c.kind == Kind::List)
        bytes = qint64(qMax(m_count, 0)) * kPop3ListLineBytes;
    else if (c.kind == Kind::Uidl)
        bytes = qint64(qMax(m_count, 0)) * kPop3UidlLineBytes;
    const qint64 ms = m_options.replyTimeoutMs + bytes * 1000 / kPop3MinReplyBytesPerSecond;
    return m_frontSinceNs + ms * 1000000;
}

struct Pop3Session::Suspend {
    Pop3Session& s;
    WakeToken token;
    bool await_ready() const noexcept { return false; }
    void await_suspend(std::coroutine_handle<> h) {
        token = std::make_shared<std::coroutine_handle<>>(h);
        s.m_waiter = token;
    }
    void await_resume() const noexcept {}
};

void Pop3Session::wake() {
    // Resumed from the event loop, never from inside the socket's signal: the call may close the
    // socket, or end the session.
    if (m_waiter.expired())
        return;
    postWake(std::exchange(m_waiter, {}));
}

// A wait under way: waitUntil's (done null), or what waitForReply's caller waits for (done set).
struct Pop3Session::WaitScope {
    QPointer<Pop3Session> s;
    const std::function<bool()>* outerDone = nullptr;
    bool reply;
    WaitScope(Pop3Session& session, const std::function<bool()>* done) : s(&session), reply(done != nullptr) {
        if (reply)
            outerDone = std::exchange(session.m_waitDone, done);
        else
            session.m_waiting = true;
    }
    ~WaitScope() {
        if (!s)
            return;
        if (reply)
            s->m_waitDone = outerDone;
        else {
            s->m_waiting = false;
            s->m_clock->stop();
        }
    }
    WaitScope(const WaitScope&) = delete;
    WaitScope& operator=(const WaitScope&) = delete;
};

Task<bool> Pop3Session::waitUntil(std::function<bool()> done, int timeoutMs, bool forReplies) {
    m_waitExpired = Pop3Wait::Silence;
    if (done() || !m_transport || m_aborted)
        co_return done();
    if (m_waiting) { // one call at a time: a second one fails without disturbing the first
        fail(Pop3ErrorKind::CommandRefused, QStringLiteral("another call is under way"));
        co_return false;
    }
    // Undone however the wait ends, also when its frame is destroyed while suspended (the caller
    // went away): the session is then free for the next call.
    const WaitScope scope(*this, nullptr);
    qint64 silenceEndNs = m_clock->nowNs() + qint64(timeoutMs) * 1000000;
    quint64 seen = m_activity;
    while (!done() && !m_aborted && m_transport) {
        const qint64 now = m_clock->nowNs();
        // A slow but living server is not cut off for silence; its replies' deadlines still hold.
        if (forReplies && m_activity != seen)
            silenceEndNs = now + qint64(timeoutMs) * 1000000;
        seen = m_activity;
        qint64 leftNs = silenceEndNs - now;
        Pop3Wait limit = Pop3Wait::Silence;
        const qint64 sessionLeftNs = m_openedNs + qint64(m_options.sessionLimitMs) * 1000000 - now;
        if (sessionLeftNs < leftNs) {
            leftNs = sessionLeftNs;
            limit = Pop3Wait::Session;
        }
        if (forReplies && !m_inFlight.empty() && frontDeadlineNs() - now < leftNs) {
            leftNs = frontDeadlineNs() - now;
            limit = Pop3Wait::Trickle;
        }
        if (leftNs <= 0) {
            m_waitExpired = limit;
            break;
        }
        // A coarse timer may fire a little early: the call then waits again for what remains.
        m_clock->start(
            int(std::clamp<qint64>((leftNs + 999999) / 1000000, 1, std::numeric_limits<int>::max())));
        co_await Suspend{*this, {}};
        m_clock->stop();
    }
    co_return done();
}

Task<bool> Pop3Session::waitForReply(std::function<bool()> done) {
    // What came while the cache was full is still in the socket, and no signal will say so again.
    const WaitScope scope(*this, &done);
    if (m_options.openWindow && !done())
        onActivity();
    // (No co_await inside && or ||: g++ 12 cannot compile it beside temporaries.)
    bool got = done();
    if (!got)
        got = co_await waitUntil([&] { return done() || m_broken; }, m_options.replyTimeoutMs, true);
    if (done())
        co_return true;
    if (!got && !m_broken) {
        breakSession(Pop3ErrorKind::TimedOut);
        m_error.wait = m_waitExpired;
    }
    co_return false;
}

void Pop3Session::abort() {
    m_aborted = true;
    breakSession(Pop3ErrorKind::ConnectionLost, QStringLiteral("closed by the program"));
    wake();
}

Task<std::optional<Pop3Reply>> Pop3Session::waitFor(int id) {
    const bool got = co_await waitForReply([this, id] { return m_done.contains(id); });
    if (!got)
        co_return std::nullopt;
    co_return m_done.take(id);
}

Task<std::optional<Pop3Reply>> Pop3Session::execute(Kind kind, QByteArray line, bool multiLine,
                                                    qsizetype limit) {
    if (m_broken)
        co_return std::nullopt;
    co_return co_await waitFor(send(kind, 0, line, multiLine, limit));
}

Task<int> Pop3Session::login(QByteArray user, QByteArray password, bool apop) {
    if (m_broken)
        co_return -1;
    if (m_loggedIn) {
        fail(Pop3ErrorKind::LoginRefused);
        co_return -1;
    }
    if (apop && m_timestamp.isEmpty()) {
        // The server offers no APOP login: for the user, a login refused, to be set otherwise.
        fail(Pop3ErrorKind::LoginRefused, QStringLiteral("the greeting has no APOP timestamp"));
        co_return -1;
    }
    // APOP sends a digest, never the password: it needs no agreement.
    const bool onThisMachine = m_transport->peerIsLoopback();
    if (!apop && !encrypted() && !m_options.trust.plainAgreed && !onThisMachine) {
        fail(Pop3ErrorKind::PlainLoginRefused);
        co_return -1;
    }
    const bool utf8 = m_capaDeferred ? m_options.trust.known.utf8 : m_capabilities.contains("UTF8");
    m_pipelining = m_options.pipelining && !m_options.trust.known.garbled &&
                   (m_capaDeferred || m_capabilities.contains("PIPELINING"));
    if (m_early) {
        // The flight went before the greeting, with the credentials given then.
        if (apop || user != m_options.earlyLogin->user || password != m_options.earlyLogin->password) {
            breakSession(Pop3ErrorKind::LoginRefused, QStringLiteral("another login went out already"));
            co_return -1;
        }
        const auto loggedIn = co_await collectLogin(*std::exchange(m_early, std::nullopt));
        if (!loggedIn)
            co_return -1;
        m_loggedIn = true;
        co_return m_count;
    }
    if (m_pipelining) {
        const auto loggedIn = co_await collectLogin(sendLoginFlight(user, password, apop, utf8));
        if (!loggedIn)
            co_return -1;
        m_loggedIn = true;
        co_return m_count;
    }
    std::optional<Pop3Reply> r;
    // A refused UTF8 leaves the session as it was (ASCII mode): nothing to act on.
    if (utf8) {
        const auto utf8Reply = co_await execute(Kind::Utf8, "UTF8");
        if (!utf8Reply)
            co_return -1;
    }
    if (apop) {
        r = co_await execute(Kind::Apop, "APOP " + user + ' ' + apopDigest(m_timestamp, password));
    } else {
        r = co_await execute(Kind::User, "USER " + user);
        if (r && r->ok)
            r = co_await execute(Kind::Pass, "PASS " + password);
    }
    if (!r)
        co_return -1;
    if (!r->ok) {
        fail(Pop3ErrorKind::LoginRefused, serverText(r->text));
        co_return -1;
    }
    const auto stat = co_await execute(Kind::Stat, "STAT");
    if (!takeStat(stat))
        co_return -1;
    m_loggedIn = true;
    co_return m_count;
}

// Two flights: UTF8 and the login; then STAT and the listings the check will read. Nothing of the
// TRANSACTION state goes out before the login is answered unless the server is known to keep it: some
// servers (Courier) hand the connection to another process at that point, and what was sent behind
// the login is lost. With CAPA deferred (a server seen before) CAPA leads the first flight, and the
// listings join it unless the server is remembered to lose them.
Pop3Session::LoginFlight Pop3Session::sendLoginFlight(const QByteArray& user, const QByteArray& password,
                                                      bool apop, bool utf8) {
    m_loginApart = m_loginApart || m_options.trust.known.loginApart;
    LoginFlight f;
    f.capa = m_capaDeferred ? send(Kind::Capa, 0, "CAPA", true, kPop3MaxCapaBytes) : 0;
    f.utf8 = utf8 ? send(Kind::Utf8, 0, "UTF8") : 0;
    if (apop) {
        f.login << send(Kind::Apop, 0, "APOP " + user + ' ' + apopDigest(m_timestamp, password));
    } else {
        f.login << send(Kind::User, 0, "USER " + user);
        f.login << send(Kind::Pass, 0, "PASS " + password);
    }
    if (m_capaDeferred && !m_loginApart)
        sendListings(f);
    return f;
}

void Pop3Session::sendListings(LoginFlight& f) {
    f.stat = send(Kind::Stat, 0, "STAT");
    f.list =
        m_options.plan == MailPlan::SizesOnly ? 0 : send(Kind::List, 0, "LIST", true, kPop3MaxListingBytes);
    f.uidl = m_options.readUidls ? send(Kind::Uidl, 0, "UIDL", true, kPop3MaxListingBytes) : 0;
}

Task<bool> Pop3Session::collectLogin(LoginFlight f) {
    if (f.capa != 0) {
        const std::optional<Pop3Reply> capa = co_await waitFor(f.capa);
        if (!capa)
            co_return false;
        takeCapabilities(*capa);
        // The server changed since it was remembered. What went out is answered in order all the
        // same (RFC 1939 needs no PIPELINING for that); only what follows goes one at a time. A
        // server that now offers STLS got the login in clear as before (the user agreed to that, or
        // it is on this machine or APOP); learnt() tells the check, and the next check upgrades.
        if (!m_capabilities.contains("PIPELINING"))
            m_pipelining = false;
        if (m_capabilities.contains("STLS"))
            m_tlsOffered = true;
    }
    if (f.utf8 != 0) {
        const auto utf8Reply = co_await waitFor(f.utf8);
        if (!utf8Reply)
            co_return false;
    }
    for (int id : f.login) {
        const std::optional<Pop3Reply> r = co_await waitFor(id);
        if (!r)
            co_return false;
        if (!r->ok) {
            fail(Pop3ErrorKind::LoginRefused, serverText(r->text));
            co_return false;
        }
    }
    const bool behindLogin = f.stat != 0;
    if (f.stat == 0)
        sendListings(f);
    const auto stat = co_await waitFor(f.stat);
    if (!takeStat(stat)) {
        // No answer to what went behind the login: a server that drops it without saying so gets
        // the listings after the login from the next check on.
        if (behindLogin && m_error.kind == Pop3ErrorKind::TimedOut)
            m_loginApart = true;
        co_return false;
    }
    if (f.list != 0) {
        const std::optional<Pop3Reply> r = co_await waitFor(f.list);
        if (!r)
            co_return false;
        // A refused LIST is asked again, and reported, when a size is wanted.
        if (r->ok && !r->tooLarge && !takeSizes(*r))
            co_return false;
    }
    if (f.uidl != 0) {
        const std::optional<Pop3Reply> r = co_await waitFor(f.uidl);
        if (!r)
            co_return false;
        takeUidls(*r);
    }
    co_return true;
}

bool Pop3Session::takeStat(const std::optional<Pop3Reply>& r) {
    if (!r)
        return false;
    const qint64 count = statCount(*r);
    if (count < 0) {
        fail(Pop3ErrorKind::ProtocolError, serverText(r->text));
        return false;
    }
    m_count = int(count);
    return true;
}

bool Pop3Session::usableFor(int n) {
    if (m_broken)
        return false;
    if (m_quitting) {
        fail(Pop3ErrorKind::CommandRefused, QStringLiteral("the session is ending"));
        return false;
    }
    if (!m_loggedIn || n < 1 || n > m_count || m_deleted.contains(n)) {
        fail(Pop3ErrorKind::CommandRefused, QStringLiteral("no message %1").arg(n));
        return false;
    }
    return true;
}

Task<bool> Pop3Session::ensureSizes() {
    if (m_sizesRead)
        co_return true;
    const int id = send(Kind::List, 0, "LIST", true, kPop3MaxListingBytes);
    pump();
    auto r = co_await waitFor(id);
    if (!r)
        co_return false;
    if (!r->ok || r->tooLarge) {
        fail(Pop3ErrorKind::CommandRefused, serverText(r->text));
        co_return false;
    }
    co_return takeSizes(*r);
}

bool Pop3Session::takeSizes(const Pop3Reply& reply) {
    QList<qint64> sizes(m_count + 1, -1);
    qsizetype pos = 0;
    const QByteArray& body = reply.body;
    while (pos < body.size()) {
        qsizetype eol = body.indexOf('\n', pos);
        if (eol < 0)
            eol = body.size();
        QByteArrayView line = QByteArrayView(body).sliced(pos, eol - pos).trimmed();
        pos = eol + 1;
        if (line.isEmpty())
            continue;
        const qsizetype space = line.indexOf(' ');
        bool okN = false, okS = false;
        const qint64 n = space < 0 ? 0 : line.first(space).toLongLong(&okN);
        QByteArrayView rest = space < 0 ? QByteArrayView() : line.sliced(space + 1).trimmed();
        const qsizetype end = rest.indexOf(' ');
        const qint64 size = (end < 0 ? rest : rest.first(end)).toLongLong(&okS);
        if (!okN || !okS || n < 1 || size < 0) {
            fail(Pop3ErrorKind::ProtocolError,
                 QString::fromLatin1(line.first(qMin<qsizetype>(line.size(), 80))));
            return false;
        }
        if (n <= m_count) // mail that arrived after login is not ours to judge
            sizes[n] = size;
    }
    m_sizes = std::move(sizes);
    m_sizesRead = true;
    return true;
}

Task<bool> Pop3Session::ensureUidls() {
    if (m_uidlsRead)
        co_return true;
    std::optional<Pop3Reply> r = co_await execute(Kind::Uidl, "UIDL", true, kPop3MaxListingBytes);
    if (!r)
        co_return false;
    takeUidls(*r);
    co_return true;
}

void Pop3Session::takeUidls(const Pop3Reply& reply) {
    m_uidls = QList<QByteArray>(m_count + 1);
    m_uidlsRead = true;
    if (!reply.ok || reply.tooLarge)
        return; // UIDL is optional: every message is without one
    QHash<QByteArray, int> uses;
    for (const QByteArray& whole : reply.body.split('\n')) {
        const QByteArrayView line = QByteArrayView(whole).trimmed();
        const qsizetype space = line.indexOf(' ');
        bool ok = false;
        const qint64 n = space < 0 ? 0 : line.first(space).toLongLong(&ok);
        const QByteArrayView id = space < 0 ? QByteArrayView() : line.sliced(space + 1).trimmed();
        // RFC 1939 7: 1 to 70 characters in 0x21..0x7E. Anything else names nothing.
        const bool valid = ok && n >= 1 && n <= m_count && !id.isEmpty() && id.size() <= kPop3MaxUidlBytes &&
                           std::all_of(id.begin(), id.end(), [](char c) { return c > 0x20 && c < 0x7F; });
        if (!valid)
            continue;
        m_uidls[n] = id.toByteArray();
        ++uses[m_uidls[n]];
    }
    for (QByteArray& id : m_uidls) {
        if (!id.isEmpty() && uses.value(id) > 1)
            id.clear();
    }
}

Task<std::optional<QByteArray>> Pop3Session::uidl(int n) {
    if (!usableFor(n))
        co_return std::nullopt;
    const auto listed = co_await ensureUidls();
    if (!listed)
        co_return std::nullopt;
    co_return m_uidls.value(n);
}

Task<std::optional<QByteArray>> Pop3Session::top(int n, int lines) {
    if (!usableFor(n))
        co_return std::nullopt;
    const qsizetype limit =
        qMin(kPop3MaxMessageBytes, kPop3MaxHeaderBytes + qsizetype(qMax(lines, 0)) * kPop3MaxLineBytes);
    const std::optional<Pop3Reply> r = co_await waitFor(
        send(Kind::TopLines, n, "TOP " + QByteArray::number(n) + ' ' + QByteArray::number(qMax(lines, 0)),
             true, limit));
    if (!r)
        co_return std::nullopt;
    if (!r->ok || r->tooLarge) {
        fail(Pop3ErrorKind::CommandRefused,
             r->ok ? QStringLiteral("reply over %1 bytes").arg(limit) : serverText(r->text));
        co_return std::nullopt;
    }
    co_return r->body;
}

Task<qint64> Pop3Session::size(int n) {
    if (!usableFor(n))
        co_return -1;
    const auto listed = co_await ensureSizes();
    if (!listed)
        co_return -1;
    const qint64 s = m_sizes.value(n, -1);
    if (s < 0)
        fail(Pop3ErrorKind::ProtocolError, QStringLiteral("LIST lacks message %1").arg(n));
    co_return s;
}

void Pop3Session::moveTo(int n) {
    // What the caller has gone past is not asked for again: it no longer counts against the
    // budgets. Replies still under way for it are dropped when they come.
    eraseCached(m_cache.begin(), m_cache.lower_bound(n));
    m_aheadNext = qMax(m_aheadNext, n + 1);
    // What the caller took makes room in the window: refilled now, so that the server is sent more
    // before the cache runs dry, not after. (A message not asked for yet is asked first, by the caller.)
    const auto it = m_cache.find(n);
    if (it != m_cache.end() &&
        (it->second.top || it->second.whole || it->second.topAsked || it->second.retrAsked))
        pump();
}

qsizetype Pop3Session::headerEstimate(int n) const {
    const qint64 size = m_sizesRead ? m_sizes.value(n, -1) : -1;
    return size >= 0 ? qMin<qsizetype>(size, kPop3HeaderEstimateBytes) : kPop3HeaderEstimateBytes;
}

void Pop3Session::sendTop(int n) {
    m_cache[n].topAsked = true;
    send(Kind::Top, n, "TOP " + QByteArray::number(n) + " 0", true, kPop3MaxHeaderBytes, headerEstimate(n));
}

void Pop3Session::sendRetr(int n, qsizetype limit) {
    m_cache[n].retrAsked = true;
    send(Kind::Retr, n, "RETR " + QByteArray::number(n), true, limit, qMax<qint64>(0, m_sizes.value(n, 0)));
}

bool Pop3Session::readAheadOne(int m) {
    if (m_deleted.contains(m) || m_deleUnanswered.contains(m) || m_skipped.contains(m) || m_cache.count(m))
        return true;
    const qint64 size = m_sizes.value(m, -1);
    if (size < 0)
        return true;
    const bool whole = m_options.plan == MailPlan::WholeMessages ? size <= kPop3MaxBodyReadAheadBytes
                                                                 : size <= kPop3WholeForHeaderMaxBytes;
    if (!whole && (m_options.plan == MailPlan::WholeMessages || m_topRefused))
        return true; // fetched when it is asked for
    const qsizetype cost = (whole ? qsizetype(size) : headerEstimate(m)) + kPop3FetchCostBytes;
    // An empty window takes any fetch (a whole message is at most the window's size). Open, it
    // counts the fetches under way only: the cache is bounded by reading no further.
    const qsizetype used = m_options.openWindow ? m_inFlightFetchBytes : m_inFlightFetchBytes + m_cachedBytes;
    if (used > 0 && used + cost > (m_options.openWindow ? kPop3OpenWindowBytes : kPop3WindowBytes))
        return false;
    if (whole)
        sendRetr(m, qsizetype(size) + kPop3BodyReadAheadSlackBytes);
    else
        sendTop(m);
    return true;
}

void Pop3Session::pump() {
    // The one read-ahead loop: the next messages in order, each asked for as the plan needs it, as
    // far as the window reaches.
    if (m_pumping || !m_pipelining || m_broken || !m_loggedIn || m_quitting || !m_sizesRead ||
        m_options.plan == MailPlan::SizesOnly)
        return;
    m_pumping = true;
    int m = m_aheadNext;
    for (; m <= m_count && !m_broken; ++m) {
        if (!readAheadOne(m))
            break;
    }
    m_aheadNext = m;
    m_pumping = false;
}

Task<std::optional<QByteArray>> Pop3Session::header(int n) {
    if (!usableFor(n))
        co_return std::nullopt;
    moveTo(n);
    m_awaited = n;
    if (m_options.plan != MailPlan::SizesOnly) {
        const auto listed = co_await ensureSizes();
        if (!listed)
            co_return std::nullopt;
    }
    Entry& e = m_cache[n];
    while (true) {
        if (e.top && e.top->ok && !e.top->tooLarge)
            co_return e.top->body;
        if (e.whole && e.whole->ok && !e.whole->tooLarge)
            co_return headerOf(e.whole->body);
        if (e.top && e.top->tooLarge) {
            fail(Pop3ErrorKind::CommandRefused,
                 QStringLiteral("header over %1 KiB").arg(kPop3MaxHeaderBytes / 1024));
            co_return std::nullopt;
        }
        if (e.whole && (!e.whole->ok || e.wholeLimit >= kPop3MaxMessageBytes)) {
            fail(Pop3ErrorKind::CommandRefused,
                 e.whole->ok ? QStringLiteral("message over %1 MiB").arg(kPop3MaxMessageBytes >> 20)
                             : serverText(e.whole->text));
            co_return std::nullopt;
        }
        setCached(e, true, std::nullopt);  // read ahead under a limit it went past: asked for again below
        setCached(e, false, std::nullopt); // refused: TOP is optional, the header then comes whole
        if (!e.topAsked && !e.retrAsked) {
            const qint64 listed = m_sizes.value(n, -1);
            // A message the caller skipped is wanted for its header alone.
            if (m_topRefused ||
                (m_options.plan == MailPlan::WholeMessages && listed >= 0 && !m_skipped.contains(n)) ||
                (m_options.plan == MailPlan::HeadersFirst && listed >= 0 &&
                 listed <= kPop3WholeForHeaderMaxBytes))
                sendRetr(n, kPop3MaxMessageBytes);
            else
                sendTop(n);
        }
        pump();
        const bool got = co_await waitForReply([&] { return e.top || e.whole; });
        if (!got)
            co_return std::nullopt;
    }
}

Task<std::optional<QByteArray>> Pop3Session::message(int n) {
    if (!usableFor(n))
        co_return std::nullopt;
    if (m_sizesRead && m_sizes.value(n, -1) > kPop3MaxMessageBytes) {
        fail(Pop3ErrorKind::CommandRefused,
             QStringLiteral("message over %1 MiB").arg(kPop3MaxMessageBytes >> 20));
        co_return std::nullopt;
    }
    moveTo(n);
    m_awaited = n;
    if (m_pipelining && m_options.plan != MailPlan::SizesOnly) {
        const auto listed = co_await ensureSizes();
        if (!listed)
            co_return std::nullopt;
    }
    Entry& e = m_cache[n];
    while (true) {
        if (e.whole && e.whole->tooLarge && e.wholeLimit < kPop3MaxMessageBytes) {
            setCached(e, true, std::nullopt); // larger than listed: asked for again without the limit
        } else if (e.whole) {
            if (e.whole->ok && !e.whole->tooLarge)
                co_return e.whole->body;
            fail(Pop3ErrorKind::CommandRefused,
                 e.whole->ok ? QStringLiteral("message over %1 MiB").arg(kPop3MaxMessageBytes >> 20)
                             : serverText(e.whole->text));
            co_return std::nullopt;
        }
        if (!e.retrAsked)
            sendRetr(n, kPop3MaxMessageBytes);
        pump();
        const bool got = co_await waitForReply([&] { return e.whole.has_value(); });
        if (!got)
            co_return std::nullopt;
    }
}

Task<bool> Pop3Session::remove(int n) {
    if (!usableFor(n))
        co_return false;
    // With PIPELINING the window is refilled right behind the DELE: its reply comes after those
    // already under way, and the server keeps sending while we wait for it.
    const int id = send(Kind::Dele, n, "DELE " + QByteArray::number(n));
    pump();
    auto r = co_await waitFor(id);
    co_return r&& finishRemove(n, *r);
}

bool Pop3Session::finishRemove(int n, const Pop3Reply& reply) {
    if (!reply.ok) {
        fail(Pop3ErrorKind::CommandRefused, serverText(reply.text));
        return false;
    }
    m_deleted.insert(n);
    const auto it = m_cache.find(n);
    if (it != m_cache.end())
        eraseCached(it, std::next(it));
    return true;
}

bool Pop3Session::removeNoWait(int n) {
    if (m_deleUnanswered.contains(n))
        return true;
    if (!usableFor(n))
        return false;
    m_deleUnanswered.insert(n, send(Kind::Dele, n, "DELE " + QByteArray::number(n)));
    pump();
    return !m_broken;
}

Task<int> Pop3Session::removeResult(int n, bool wait) {
    const auto it = m_deleUnanswered.constFind(n);
    if (it == m_deleUnanswered.cend()) {
        fail(Pop3ErrorKind::CommandRefused, QStringLiteral("no DELE %1 under way").arg(n));
        co_return -1;
    }
    const int id = *it;
    if (!m_done.contains(id) && !m_broken && !wait)
        co_return 1;
    m_deleUnanswered.remove(n);
    std::optional<Pop3Reply> r;
    if (m_done.contains(id))
        r = m_done.take(id);
    else
        r = co_await waitFor(id);
    co_return r&& finishRemove(n, *r) ? 0 : -1;
}

bool Pop3Session::sendQuit() {
    if (!m_transport || m_broken)
        return false;
    if (m_quitId == 0) {
        m_quitting = true; // nothing may follow QUIT
        m_quitId = send(Kind::Quit, 0, "QUIT");
    }
    return !m_broken;
}

Task<bool> Pop3Session::quit() {
    if (!sendQuit())
        co_return false;
    auto r = co_await waitFor(m_quitId);
    m_transport->close();
    if (!r)
        co_return false;
    if (!r->ok) {
        fail(Pop3ErrorKind::CommandRefused, serverText(r->text));
        co_return false;
    }
    m_broken = true; // the session is over
    co_return true;
}

} // namespace brindle
