#include "mailcheck/pop3/Pop3Session.h"

#include "platform/Cp932.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QPointer>
#include <QStringDecoder>
#include <QTimer>

namespace brindle {

namespace {

// CAPA and single-line replies: a generous bound for a capability list.
constexpr qsizetype kCapaLimitBytes = 64 * 1024;
// A server's own words shown to the user: enough for a reason, not a flood.
constexpr int kServerTextChars = 200;

QByteArray commandBytes(const QString& text) {
    return cp932CanEncode(text) ? toCp932(text) : text.toUtf8();
}

} // namespace

std::optional<Pop3ServerAddress> parsePop3Address(const QString& text, QString* error) {
    auto failWith = [&](const QString& why) -> std::optional<Pop3ServerAddress> {
        if (error)
            *error = why;
        return std::nullopt;
    };
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
        return failWith(QStringLiteral("POP3 サーバーの書き方が正しくありません（%1）").arg(text.left(100)));
    }
    while (t.endsWith(QLatin1Char('/')))
        t.chop(1);
    if (t.isEmpty())
        return failWith(QStringLiteral("POP3 サーバーが設定されていません"));

    QString portText;
    if (t.startsWith(QLatin1Char('['))) {
        const qsizetype close = t.indexOf(QLatin1Char(']'));
        if (close < 0)
            return failWith(
                QStringLiteral("POP3 サーバーの書き方が正しくありません（%1）").arg(text.left(100)));
        a.host = t.mid(1, close - 1);
        const QString rest = t.mid(close + 1);
        if (rest.startsWith(QLatin1Char(':')))
            portText = rest.mid(1);
        else if (!rest.isEmpty())
            return failWith(
                QStringLiteral("POP3 サーバーの書き方が正しくありません（%1）").arg(text.left(100)));
        if (a.host.isEmpty())
            return failWith(
                QStringLiteral("POP3 サーバーの書き方が正しくありません（%1）").arg(text.left(100)));
    } else if (t.count(QLatin1Char(':')) == 1) {
        const qsizetype colon = t.indexOf(QLatin1Char(':'));
        a.host = t.left(colon);
        portText = t.mid(colon + 1);
    } else {
        a.host = t; // a name, or an IPv6 literal without brackets and port
    }
    for (QChar c : std::as_const(a.host)) {
        if (c.isSpace() || c.unicode() < 0x20 || c == QLatin1Char('/') || c == QLatin1Char('@'))
            return failWith(QStringLiteral("POP3 サーバー名が正しくありません（%1）").arg(text.left(100)));
    }
    if (a.host.isEmpty())
        return failWith(QStringLiteral("POP3 サーバー名が正しくありません（%1）").arg(text.left(100)));
    a.port = defaultPort;
    if (!portText.isNull()) {
        bool ok = false;
        const uint port = portText.toUInt(&ok);
        if (!ok || port == 0 || port > 65535)
            return failWith(QStringLiteral("ポート番号が正しくありません（%1）").arg(portText.left(20)));
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

Pop3Session::Pop3Session(Pop3SessionOptions options) : m_options(std::move(options)) {}

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

QString Pop3Session::scrub(QString text) const {
    if (!m_passwordText.isEmpty())
        text.replace(m_passwordText, QStringLiteral("***"));
    return text;
}

void Pop3Session::fail(const QString& text) {
    m_error = scrub(text);
}

QString Pop3Session::serverText(const QByteArray& text) const {
    // Japanese servers answer in UTF-8 or in Shift_JIS; whichever decodes cleanly is taken.
    const QByteArray head = text.left(kServerTextChars * 4);
    QStringDecoder utf8(QStringDecoder::Utf8);
    QString s = utf8(head);
    if (utf8.hasError())
        s = fromCp932(head);
    for (QChar& c : s)
        if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            c = QLatin1Char(' ');
    s = s.trimmed().left(kServerTextChars);
    return scrub(s.isEmpty() ? QStringLiteral("理由の説明なし") : s);
}

void Pop3Session::breakSession(const QString& text) {
    if (m_broken)
        return;
    m_broken = true;
    fail(text);
    m_inFlight.clear();
    m_topInFlight.clear();
    m_retrInFlight.clear();
    if (m_transport)
        m_transport->close();
}

bool Pop3Session::open(const QString& serverText) {
    QString why;
    auto address = parsePop3Address(serverText, &why);
    if (!address) {
        m_broken = true;
        fail(why);
        return false;
    }
    m_address = *address;
    return connectTransport();
}

bool Pop3Session::connectTransport() {
    if (m_transport) {
        m_transport->disconnect(this);
        m_transport->close();
        m_transport.release()->deleteLater(); // may be inside its own signal
    }
    m_in.clear();
    m_inFlight.clear();
    m_done.clear();
    m_topInFlight.clear();
    m_retrInFlight.clear();
    m_parser = Pop3ReplyParser();
    m_capabilities.clear();
    m_broken = false;
    m_loggedIn = false;
    m_error.clear();

    m_transport = m_options.transportFactory ? m_options.transportFactory()
                                             : std::make_unique<SocketTransport>(m_options.extraTrustedCas);
    connect(m_transport.get(), &Pop3Transport::activity, this, &Pop3Session::onActivity);
    m_transport->open(m_address.host, m_address.port, m_address.implicitTls);
    Pop3Transport* t = m_transport.get();
    const bool settled =
        waitUntil([t] { return t->isReady() || t->hasFailed(); }, m_options.connectTimeoutMs);
    if (!settled || t->hasFailed()) {
        const QString reason =
            settled ? t->failureText()
                    : QStringLiteral("%1 秒以内に応答がありません").arg(m_options.connectTimeoutMs / 1000.0);
        breakSession(QStringLiteral("%1 に接続できません（%2）").arg(m_address.host, reason));
        return false;
    }

    const int greetingId = send(Kind::Greeting, 0, {}, false, 0);
    auto greeting = waitFor(greetingId);
    if (!greeting)
        return false;
    if (!greeting->ok) {
        breakSession(QStringLiteral("サーバーが接続を断りました（%1）").arg(serverText(greeting->text)));
        return false;
    }
    m_timestamp = apopTimestampOf(greeting->text);
    if (!readCapabilities())
        return false;

    if (!m_transport->isEncrypted() && m_capabilities.contains("STLS")) {
        auto r = execute(Kind::Stls, 0, "STLS");
        if (!r)
            return false;
        if (r->ok) {
            // RFC 2595 4: whatever came before the handshake is not trusted.
            m_in.clear();
            m_transport->startTls(m_address.host);
            const bool done =
                waitUntil([t] { return t->isReady() || t->hasFailed(); }, m_options.connectTimeoutMs);
            if (!done || t->hasFailed()) {
                const QString reason = done ? t->failureText() : QStringLiteral("時間切れ");
                breakSession(
                    QStringLiteral("%1 と暗号化通信を始められません（%2）").arg(m_address.host, reason));
                return false;
            }
            m_in.clear();
            m_capabilities.clear();
            if (!readCapabilities())
                return false;
        }
    }
    return true;
}

bool Pop3Session::readCapabilities() {
    auto r = execute(Kind::Capa, 0, "CAPA", true, kCapaLimitBytes);
    if (!r)
        return false;
    m_capaSeen = r->ok;
    if (r->ok) {
        for (const QByteArray& line : r->body.split('\n')) {
            const QByteArray word = line.trimmed().split(' ').value(0).toUpper();
            if (!word.isEmpty())
                m_capabilities.insert(word);
        }
    }
    return true;
}

int Pop3Session::send(Kind kind, int n, const QByteArray& line, bool multiLine, qsizetype limit,
                      qsizetype estimate) {
    Command c{kind, n, m_nextId++, multiLine, limit, estimate};
    if (kind != Kind::Greeting) {
        const QByteArray bytes = line + "\r\n";
        m_transport->write(bytes);
        ++m_stats.commands;
        m_stats.bytesSent += bytes.size();
    }
    m_inFlight.push_back(c);
    if (kind == Kind::Top)
        m_topInFlight.insert(n);
    processBuffer();
    if (!m_broken && m_transport->hasFailed() && !m_inFlight.empty())
        breakSession(QStringLiteral("接続が切れました（%1）").arg(m_transport->failureText()));
    return c.id;
}

void Pop3Session::onActivity() {
    if (!m_transport)
        return;
    const QByteArray data = m_transport->readAll();
    m_stats.bytesReceived += data.size();
    if (m_broken)
        return;
    m_in.append(data);
    processBuffer();
    if (!m_broken && m_transport->hasFailed() && !m_inFlight.empty())
        breakSession(QStringLiteral("接続が切れました（%1）").arg(m_transport->failureText()));
    // Replies taken off the window make room: refill it while our caller waits (also for a DELE
    // or a LIST), so that the server never runs dry behind a single reply.
    if (m_loop)
        pump();
}

void Pop3Session::processBuffer() {
    while (!m_inFlight.empty() && !m_broken) {
        const Command& front = m_inFlight.front();
        if (m_parser.idle())
            m_parser.expect(front.multiLine, front.limit);
        const auto r = m_parser.feed(m_in);
        if (r == Pop3ReplyParser::Result::NeedMore)
            return;
        Command c = front;
        m_inFlight.pop_front();
        if (r == Pop3ReplyParser::Result::Malformed) {
            if (c.kind == Kind::Capa) {
                // Some servers answer CAPA with nonsense; carry on without capabilities.
                m_parser.take();
                m_in.clear();
                Pop3Reply refused;
                refused.text = "unusable CAPA reply";
                deliver(c, std::move(refused));
                continue;
            }
            if (m_pipelining)
                m_pipeliningGarbled = true;
            breakSession(QStringLiteral("サーバーの応答が POP3 の形式ではありません"));
            return;
        }
        deliver(c, m_parser.take());
    }
}

void Pop3Session::deliver(const Command& c, Pop3Reply reply) {
    if (c.kind == Kind::Retr) {
        m_bodyLimit.insert(c.n, m_retrInFlight.take(c.n));
        m_bodies.insert(c.n, std::move(reply));
        return;
    }
    if (c.kind != Kind::Top) {
        m_done.insert(c.id, std::move(reply));
        return;
    }
    m_topInFlight.remove(c.n);
    if (reply.ok && !reply.tooLarge) {
        m_headerBytes += reply.body.size();
        m_headers.insert(c.n, std::move(reply.body));
    } else if (reply.tooLarge) {
        m_headerFailures.insert(c.n, QStringLiteral("メッセージ %1 のヘッダーが大きすぎます").arg(c.n));
    } else {
        m_topRefused = true; // TOP is optional (RFC 1939 7): the caller falls back to RETR
        m_headerFailures.insert(c.n, QStringLiteral("メッセージ %1 のヘッダーを読めません（%2）")
                                         .arg(c.n)
                                         .arg(serverText(reply.text)));
    }
}

bool Pop3Session::waitUntil(const std::function<bool()>& done, int timeoutMs) {
    if (done() || !m_transport || m_aborted)
        return done();
    ++m_stats.roundTrips;
    QEventLoop loop;
    QTimer timer;
    timer.setSingleShot(true);
    QDeadlineTimer deadline(timeoutMs);
    QObject::connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
    // Any progress restarts the clock: a slow but living server is not cut off.
    QPointer<Pop3Transport> transport = m_transport.get();
    QMetaObject::Connection progress = QObject::connect(transport, &Pop3Transport::activity, &loop, [&] {
        deadline.setRemainingTime(timeoutMs);
        loop.quit();
    });
    QEventLoop* outer = std::exchange(m_loop, &loop);
    while (!done() && !m_aborted && transport && !deadline.hasExpired()) {
        // A coarse timer may fire a little early: wait again for what remains.
        timer.start(int(qMax<qint64>(1, deadline.remainingTime())));
        // After the application was told to quit, event loops refuse to run (-1): give up
        // rather than spin.
        if (loop.exec() < 0) {
            abort();
            break;
        }
    }
    m_loop = outer;
    QObject::disconnect(progress);
    return done();
}

void Pop3Session::abort() {
    m_aborted = true;
    breakSession(QStringLiteral("接続を中断しました"));
    if (m_loop)
        m_loop->quit();
}

std::optional<Pop3Reply> Pop3Session::waitFor(int id) {
    const bool got = waitUntil([&] { return m_done.contains(id) || m_broken; }, m_options.replyTimeoutMs);
    if (m_done.contains(id))
        return m_done.take(id);
    if (!got)
        breakSession(
            QStringLiteral("サーバーが %1 秒以内に応答しません").arg(m_options.replyTimeoutMs / 1000.0));
    return std::nullopt;
}

bool Pop3Session::canRecover() const {
    return m_pipeliningGarbled && m_loggedIn && !m_recovering && !m_aborted && m_stats.reconnects == 0;
}

std::optional<Pop3Reply> Pop3Session::execute(Kind kind, int n, const QByteArray& line, bool multiLine,
                                              qsizetype limit, const std::function<void()>& afterSend) {
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (m_broken) {
            if (attempt == 0 && canRecover() && recover())
                continue;
            return std::nullopt;
        }
        const int id = send(kind, n, line, multiLine, limit);
        if (afterSend)
            afterSend();
        if (auto r = waitFor(id))
            return r;
        if (!(attempt == 0 && canRecover() && recover()))
            return std::nullopt;
    }
    return std::nullopt;
}

bool Pop3Session::recover() {
    // The server said PIPELINING but garbled replies to pipelined commands. Nothing of the broken
    // session took effect (no QUIT), so a fresh session in lock-step redoes the deletions.
    m_recovering = true;
    ++m_stats.reconnects;
    m_pipelining = false;
    const int oldCount = m_count;
    const bool hadSizes = m_sizesRead;
    const QList<qint64> oldSizes = m_sizes;
    bool ok = connectTransport() && authenticate();
    if (ok && m_count < oldCount) {
        breakSession(QStringLiteral("接続し直したところメールボックスが変わっていたため、続けられません"));
        ok = false;
    }
    if (ok) {
        m_count = oldCount; // the caller numbers by the first login
        if (hadSizes) {
            m_sizesRead = false;
            if (!ensureSizes()) {
                ok = false;
            } else {
                for (int i = 1; i <= oldCount && ok; ++i) {
                    if (oldSizes.value(i, -1) != m_sizes.value(i, -1)) {
                        breakSession(QStringLiteral(
                            "接続し直したところメールボックスが変わっていたため、続けられません"));
                        ok = false;
                    }
                }
            }
        }
    }
    if (ok) {
        for (int n : QList<int>(m_deleted.begin(), m_deleted.end())) {
            auto r = execute(Kind::Dele, n, "DELE " + QByteArray::number(n));
            if (!r || !r->ok) {
                if (r)
                    breakSession(QStringLiteral("接続し直した後、メッセージ %1 を削除できません").arg(n));
                ok = false;
                break;
            }
        }
    }
    if (ok) {
        // DELEs whose answers were lost with the old session: asked again, the answers kept for
        // removeResult under their old ids.
        for (auto it = m_deleUnanswered.begin(); it != m_deleUnanswered.end() && ok; ++it) {
            auto r = execute(Kind::Dele, it.key(), "DELE " + QByteArray::number(it.key()));
            if (r)
                m_done.insert(it.value(), std::move(*r));
            else
                ok = false;
        }
    }
    m_recovering = false;
    return ok;
}

bool Pop3Session::authenticate() {
    std::optional<Pop3Reply> r;
    if (m_apop) {
        if (m_timestamp.isEmpty()) {
            fail(
                QStringLiteral("このサーバーは APOP に対応していません（挨拶にタイムスタンプがありません）"));
            return false;
        }
        r = execute(Kind::Apop, 0, "APOP " + m_user + ' ' + apopDigest(m_timestamp, m_password));
    } else {
        r = execute(Kind::User, 0, "USER " + m_user);
        if (!r)
            return false;
        if (!r->ok) {
            fail(QStringLiteral("ユーザー名が受け付けられませんでした（%1）").arg(serverText(r->text)));
            return false;
        }
        r = execute(Kind::Pass, 0, "PASS " + m_password);
    }
    if (!r)
        return false;
    if (!r->ok) {
        fail(QStringLiteral("ログインできませんでした（%1）").arg(serverText(r->text)));
        return false;
    }
    r = execute(Kind::Stat, 0, "STAT");
    if (!r)
        return false;
    const QList<QByteArray> parts = r->text.trimmed().split(' ');
    bool ok = false;
    const qint64 count = parts.value(0).toLongLong(&ok);
    if (!r->ok || !ok || count < 0 || count > kPop3MaxMessages) {
        fail(QStringLiteral("メッセージの数を読めません（%1）").arg(serverText(r->text)));
        return false;
    }
    m_count = int(count);
    m_loggedIn = true;
    m_pipelining = m_capabilities.contains("PIPELINING") && !m_pipeliningGarbled;
    return true;
}

int Pop3Session::login(const QString& user, const QString& password, bool apop) {
    if (m_broken)
        return -1;
    if (m_loggedIn) {
        fail(QStringLiteral("すでにログインしています"));
        return -1;
    }
    m_passwordText = password;
    auto unsafe = [](const QString& s) {
        return s.contains(QLatin1Char('\r')) || s.contains(QLatin1Char('\n')) || s.contains(QChar(0));
    };
    if (user.isEmpty() || password.isEmpty() || unsafe(user) || unsafe(password) ||
        (apop && user.contains(QLatin1Char(' ')))) {
        fail(QStringLiteral("ユーザー名かパスワードに使えない文字があります"));
        return -1;
    }
    m_user = commandBytes(user);
    m_password = commandBytes(password);
    m_apop = apop;
    if (!authenticate())
        return -1;
    return m_count;
}

bool Pop3Session::usable() {
    return !m_broken || (canRecover() && recover());
}

bool Pop3Session::checkNumber(int n) {
    if (!usable())
        return false;
    if (!m_loggedIn) {
        fail(QStringLiteral("ログインしていません"));
        return false;
    }
    if (n < 1 || n > m_count) {
        fail(QStringLiteral("メッセージ %1 はありません").arg(n));
        return false;
    }
    if (m_deleted.contains(n)) {
        fail(QStringLiteral("メッセージ %1 は削除済みです").arg(n));
        return false;
    }
    return true;
}

qsizetype Pop3Session::outstandingEstimate() const {
    qsizetype total = 0;
    for (const Command& c : m_inFlight)
        total += c.estimate;
    return total;
}

qsizetype Pop3Session::headerEstimate(int n) const {
    const qint64 size = m_sizesRead ? m_sizes.value(n, -1) : -1;
    return size >= 0 ? qMin<qsizetype>(size, kPop3HeaderEstimateBytes) : kPop3HeaderEstimateBytes;
}

void Pop3Session::sendTop(int n) {
    send(Kind::Top, n, "TOP " + QByteArray::number(n) + " 0", true, kPop3MaxHeaderBytes, headerEstimate(n));
}

void Pop3Session::readAhead(int from) {
    if (!m_pipelining || m_broken || m_topRefused)
        return;
    int next = qMax(from, m_readAheadNext);
    while (next <= m_count && int(m_inFlight.size()) < kPop3MaxPipelinedCommands &&
           outstandingEstimate() + headerEstimate(next) <= kPop3MaxPipelinedReplyBytes &&
           m_headerBytes < kPop3MaxReadAheadBytes) {
        if (!m_deleted.contains(next) && !m_headers.contains(next) && !m_topInFlight.contains(next) &&
            !m_headerFailures.contains(next))
            sendTop(next);
        ++next;
    }
    m_readAheadNext = next;
}

void Pop3Session::forgetHeadersBefore(int n) {
    while (!m_headers.isEmpty() && m_headers.firstKey() < n) {
        m_headerBytes -= m_headers.first().size();
        m_headers.erase(m_headers.begin());
    }
    while (!m_headerFailures.isEmpty() && m_headerFailures.firstKey() < n)
        m_headerFailures.erase(m_headerFailures.begin());
}

std::optional<QByteArray> Pop3Session::header(int n) {
    if (!checkNumber(n))
        return std::nullopt;
    forgetHeadersBefore(n);
    m_pumpFrom = n + 1;
    if (m_topRefused && !m_headers.contains(n)) {
        fail(QStringLiteral("このサーバーは TOP に対応していません"));
        return std::nullopt;
    }
    if (!m_headers.contains(n) && !m_headerFailures.contains(n) && !m_topInFlight.contains(n))
        sendTop(n);
    pump();
    const bool got =
        waitUntil([&] { return m_headers.contains(n) || m_headerFailures.contains(n) || m_broken; },
                  m_options.replyTimeoutMs);
    if (m_headers.contains(n)) {
        QByteArray h = m_headers.take(n);
        m_headerBytes -= h.size();
        pump();
        return h;
    }
    if (m_headerFailures.contains(n)) {
        fail(m_headerFailures.take(n));
        return std::nullopt;
    }
    if (!got)
        breakSession(
            QStringLiteral("サーバーが %1 秒以内に応答しません").arg(m_options.replyTimeoutMs / 1000.0));
    if (canRecover() && recover())
        return header(n);
    return std::nullopt;
}

bool Pop3Session::ensureSizes() {
    if (m_sizesRead)
        return true;
    auto r = execute(Kind::List, 0, "LIST", true, kPop3MaxListingBytes);
    if (!r)
        return false;
    if (!r->ok || r->tooLarge) {
        fail(QStringLiteral("メッセージの大きさの一覧を読めません（%1）").arg(serverText(r->text)));
        return false;
    }
    QList<qint64> sizes(m_count + 1, -1);
    qsizetype pos = 0;
    const QByteArray& body = r->body;
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
            fail(QStringLiteral("メッセージの大きさの一覧が正しくありません"));
            return false;
        }
        if (n <= m_count) // mail that arrived after login is not ours to judge
            sizes[n] = size;
    }
    m_sizes = std::move(sizes);
    m_sizesRead = true;
    return true;
}

qint64 Pop3Session::size(int n) {
    if (!checkNumber(n) || !ensureSizes())
        return -1;
    const qint64 s = m_sizes.value(n, -1);
    if (s < 0)
        fail(QStringLiteral("メッセージ %1 の大きさがわかりません").arg(n));
    return s;
}

qsizetype Pop3Session::bodyBytesAhead() const {
    qsizetype total = 0;
    for (auto it = m_bodies.cbegin(); it != m_bodies.cend(); ++it)
        total += it->body.size();
    for (auto it = m_retrInFlight.cbegin(); it != m_retrInFlight.cend(); ++it)
        total += qMax<qint64>(0, m_sizes.value(it.key(), 0));
    return total;
}

void Pop3Session::sendRetr(int n, qsizetype limit) {
    m_retrInFlight.insert(n, limit);
    send(Kind::Retr, n, "RETR " + QByteArray::number(n), true, limit);
}

void Pop3Session::pump() {
    if (m_pumping || !m_pipelining || m_broken || !m_loggedIn || m_recovering || m_pumpFrom < 1)
        return;
    m_pumping = true;
    if (m_wholeMessages)
        readAheadWhole(m_pumpFrom);
    else
        readAhead(m_pumpFrom);
    m_pumping = false;
}

void Pop3Session::readAheadWhole(int from) {
    // The caller reads whole messages, so the next ones are asked for whole as far as the window
    // and the byte budget reach; their headers come from the same text. A message too large to
    // fetch on spec is left to the caller, who may want only its header (or, with a rule that reads
    // bodies only, no header at all).
    if (!m_sizesRead)
        return;
    qsizetype used = bodyBytesAhead();
    int m = qMax(from, m_wholeAheadNext);
    for (; m <= m_count && int(m_inFlight.size()) < kPop3MaxPipelinedCommands; ++m) {
        if (m_deleted.contains(m) || m_bodies.contains(m) || m_retrInFlight.contains(m))
            continue;
        const qint64 size = m_sizes.value(m, -1);
        if (size < 0 || size > kPop3WholeForHeaderMaxBytes)
            continue;
        if (used + size > kPop3MaxBodyReadAheadBytes)
            break;
        sendRetr(m, qsizetype(size) + kPop3BodyReadAheadSlackBytes);
        used += size;
    }
    m_wholeAheadNext = m;
}

bool Pop3Session::headerComesWithMessage(int n) {
    if (!m_wholeMessages || m_broken || n < 1 || n > m_count || m_deleted.contains(n))
        return false;
    if (m_bodies.contains(n) || m_retrInFlight.contains(n))
        return true;
    if (m_headers.contains(n) || m_topInFlight.contains(n) || m_headerFailures.contains(n))
        return false;
    if (!ensureSizes())
        return false; // header() then says what went wrong
    const qint64 size = m_sizes.value(n, -1);
    return size >= 0 && size <= kPop3WholeForHeaderMaxBytes;
}

std::optional<QByteArray> Pop3Session::message(int n) {
    if (!checkNumber(n))
        return std::nullopt;
    if (m_sizesRead && m_sizes.value(n, -1) > kPop3MaxMessageBytes) {
        fail(QStringLiteral("メッセージ %1 は大きすぎるため読みません").arg(n));
        return std::nullopt;
    }
    while (!m_bodies.isEmpty() && m_bodies.firstKey() < n)
        m_bodies.erase(m_bodies.begin());
    while (!m_bodyLimit.isEmpty() && m_bodyLimit.firstKey() < n)
        m_bodyLimit.erase(m_bodyLimit.begin());
    forgetHeadersBefore(n);
    m_wholeMessages = true;
    m_pumpFrom = n + 1;
    if (!m_bodies.contains(n) && !m_retrInFlight.contains(n))
        sendRetr(n, kPop3MaxMessageBytes);
    if (m_pipelining && ensureSizes())
        pump();
    while (true) {
        const bool got =
            waitUntil([&] { return m_bodies.contains(n) || m_broken; }, m_options.replyTimeoutMs);
        if (!m_bodies.contains(n)) {
            if (!got)
                breakSession(QStringLiteral("サーバーが %1 秒以内に応答しません")
                                 .arg(m_options.replyTimeoutMs / 1000.0));
            if (canRecover() && recover())
                return message(n);
            return std::nullopt;
        }
        Pop3Reply r = m_bodies.take(n);
        if (r.tooLarge && m_bodyLimit.value(n, kPop3MaxMessageBytes) < kPop3MaxMessageBytes) {
            // Fetched ahead with a limit from its listed size, and the server sent more: fetch it
            // again without that limit.
            m_bodyLimit.remove(n);
            sendRetr(n, kPop3MaxMessageBytes);
            continue;
        }
        m_bodyLimit.remove(n);
        pump(); // its bytes no longer count against the read-ahead budget
        if (r.tooLarge) {
            fail(QStringLiteral("メッセージ %1 は大きすぎるため読みません").arg(n));
            return std::nullopt;
        }
        if (!r.ok) {
            fail(QStringLiteral("メッセージ %1 を読めません（%2）").arg(n).arg(serverText(r.text)));
            return std::nullopt;
        }
        return std::move(r.body);
    }
}

bool Pop3Session::remove(int n) {
    if (!checkNumber(n))
        return false;
    m_pumpFrom = n + 1;
    // With PIPELINING the window is refilled right behind the DELE: its reply comes after those
    // already under way, and the server keeps sending while we wait for it.
    auto r = execute(Kind::Dele, n, "DELE " + QByteArray::number(n), false, 0, [this] { pump(); });
    return r && finishRemove(n, *r);
}

bool Pop3Session::finishRemove(int n, const Pop3Reply& reply) {
    if (!reply.ok) {
        fail(QStringLiteral("メッセージ %1 を削除できません（%2）").arg(n).arg(serverText(reply.text)));
        return false;
    }
    m_deleted.insert(n);
    if (m_headers.contains(n))
        m_headerBytes -= m_headers.take(n).size();
    m_bodies.remove(n);
    m_bodyLimit.remove(n);
    return true;
}

bool Pop3Session::removeNoWait(int n) {
    if (m_deleUnanswered.contains(n))
        return true;
    if (!checkNumber(n))
        return false;
    m_pumpFrom = n + 1;
    m_deleUnanswered.insert(n, send(Kind::Dele, n, "DELE " + QByteArray::number(n), false, 0));
    pump();
    return true;
}

int Pop3Session::removeResult(int n, bool wait) {
    const auto it = m_deleUnanswered.constFind(n);
    if (it == m_deleUnanswered.cend()) {
        fail(QStringLiteral("メッセージ %1 の削除は頼まれていません").arg(n));
        return -1;
    }
    const int id = *it;
    bool got = m_done.contains(id);
    if (!got && !m_broken) {
        if (!wait)
            return 1;
        got = waitUntil([&] { return m_done.contains(id) || m_broken; }, m_options.replyTimeoutMs);
    }
    m_deleUnanswered.remove(n);
    if (m_done.contains(id))
        return finishRemove(n, m_done.take(id)) ? 0 : -1;
    if (!got && !m_broken)
        breakSession(
            QStringLiteral("サーバーが %1 秒以内に応答しません").arg(m_options.replyTimeoutMs / 1000.0));
    // A server that garbled pipelined replies: the fresh session redoes the other unanswered
    // DELEs, and this one here.
    if (canRecover() && recover()) {
        if (auto r = execute(Kind::Dele, n, "DELE " + QByteArray::number(n)))
            return finishRemove(n, *r) ? 0 : -1;
    }
    return -1;
}

bool Pop3Session::quit() {
    if (!m_transport || !usable())
        return false;
    m_pumpFrom = 0; // nothing may follow QUIT
    auto r = execute(Kind::Quit, 0, "QUIT");
    if (m_transport)
        m_transport->close();
    if (!r)
        return false;
    if (!r->ok) {
        fail(QStringLiteral("サーバーが終了を受け付けませんでした（%1）").arg(serverText(r->text)));
        return false;
    }
    m_broken = true; // the session is over; later calls fail with this text
    m_error = QStringLiteral("接続は終了しています");
    return true;
}

} // namespace brindle
