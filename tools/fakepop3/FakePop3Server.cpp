#include "tools/fakepop3/FakePop3Server.h"

#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QMutex>
#include <QMutexLocker>
#include <QPointer>
#include <QProcess>
#include <QSet>
#include <QSslConfiguration>
#include <QSslSocket>
#include <QTcpServer>
#include <QThread>
#include <QTimer>

namespace brindle::fake {

namespace {

QByteArray dotStuff(const QByteArray& text) {
    QByteArray out;
    out.reserve(text.size() + 64);
    qsizetype start = 0;
    while (start < text.size()) {
        qsizetype end = text.indexOf('\n', start);
        qsizetype next = end < 0 ? text.size() : end + 1;
        QByteArray line = text.mid(start, next - start);
        if (line.startsWith('.'))
            out.append('.');
        out.append(line);
        start = next;
    }
    if (!out.isEmpty() && !out.endsWith("\r\n"))
        out.append("\r\n");
    return out;
}

QByteArray headerOf(const QByteArray& message) {
    qsizetype end = message.indexOf("\r\n\r\n");
    if (end < 0)
        return message;
    return message.left(end + 2);
}

} // namespace

// Shared between the worker's thread and the test's thread.
struct SharedState {
    mutable QMutex mutex;
    QList<QByteArray> mailbox;
    QList<QByteArray> received;
    QList<QByteArray> receivedInClear;
    QList<int> deletedAtQuit;
    QStringList scriptMismatches;
    FakePop3Stats stats;
};

class FakePop3Worker;

class FakeConnection : public QObject {
public:
    FakeConnection(FakePop3Worker* worker, int index, QSslSocket* socket);
    void begin();

private:
    struct Pending {
        QByteArray line;
        qint64 dueMs;
        bool garble;
    };
    void onReadyRead();
    void maybeStartTls();
    void processDue();
    void handle(const QByteArray& line, bool garble);
    void handleScripted(const QByteArray& line);
    void send(const QByteArray& bytes);
    void pumpChunks();
    void drop();
    void startFlood();
    void pumpFlood();
    bool loggedIn() const { return m_state == State::Transaction; }
    QByteArray capaReply() const;

    enum class State { Authorization, Transaction, Closed };
    FakePop3Worker* m_worker;
    FakePop3Options m_o; // the server's, without the faults once they no longer apply
    SharedState& m_shared;
    int m_index;
    QSslSocket* m_socket;
    QByteArray m_in;
    QList<Pending> m_pending;
    QTimer m_delayTimer;
    QTimer m_chunkTimer;
    QByteArray m_chunkOut;
    QElapsedTimer m_clock;
    State m_state = State::Authorization;
    bool m_silent = false;
    bool m_startTlsAfterWrite = false;
    bool m_tlsActive = false;
    bool m_cutting = false; // the next bytes are the client's handshake: the connection ends there
    QByteArray m_user;
    QList<QByteArray> m_box; // this session's snapshot
    QSet<int> m_deleted;
    int m_commands = 0;
    int m_scriptIndex = 0;
    qint64 m_floodLeft = 0; // bytes of the flood still to go
};

class FakePop3Worker : public QTcpServer {
public:
    FakePop3Worker(const FakePop3Options& options, SharedState& shared)
        : m_options(options), m_shared(shared) {}
    const FakePop3Options& options() const { return m_options; }
    SharedState& shared() { return m_shared; }

protected:
    void incomingConnection(qintptr descriptor) override {
        auto* socket = new QSslSocket(this);
        if (!socket->setSocketDescriptor(descriptor)) {
            delete socket;
            return;
        }
        socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        int index;
        {
            QMutexLocker lock(&m_shared.mutex);
            index = m_shared.received.size();
            m_shared.received.append(QByteArray());
            m_shared.receivedInClear.append(QByteArray());
            ++m_shared.stats.connections;
        }
        auto* c = new FakeConnection(this, index, socket);
        c->setParent(socket);
        c->begin();
    }

private:
    const FakePop3Options& m_options;
    SharedState& m_shared;
};

FakeConnection::FakeConnection(FakePop3Worker* worker, int index, QSslSocket* socket)
    : m_worker(worker), m_o(worker->options()), m_shared(worker->shared()), m_index(index), m_socket(socket) {
    if (m_o.faultyConnections >= 0 && index >= m_o.faultyConnections) {
        const FakePop3Options clean;
        m_o.refuseLogin = clean.refuseLogin;
        m_o.dropAfterCommands = clean.dropAfterCommands;
        m_o.dropAtCommand = m_o.silentAtCommand = m_o.garbageAtCommand = m_o.oversizedAtCommand = {};
        m_o.garblePipelined = m_o.refuseDele = m_o.dropAtQuit = m_o.quitAnswerLost = false;
        m_o.refusedCommand = m_o.floodAt = {};
    }
    m_clock.start();
    m_delayTimer.setSingleShot(true);
    QObject::connect(&m_delayTimer, &QTimer::timeout, this, [this] { processDue(); });
    m_chunkTimer.setInterval(m_o.writeEveryMs);
    QObject::connect(&m_chunkTimer, &QTimer::timeout, this, [this] { pumpChunks(); });
    QObject::connect(m_socket, &QSslSocket::readyRead, this, [this] { onReadyRead(); });
    QObject::connect(m_socket, &QSslSocket::disconnected, m_socket, &QObject::deleteLater);
    QObject::connect(m_socket, &QSslSocket::bytesWritten, this, [this] {
        maybeStartTls();
        pumpFlood();
    });
    QObject::connect(m_socket, &QSslSocket::encrypted, this, [this] {
        m_tlsActive = true;
        if (m_o.tls == FakePop3Options::Tls::Implicit)
            begin();
    });
    QObject::connect(m_socket, &QSslSocket::sslErrors, this, [] {});
    QObject::connect(m_socket, &QSslSocket::errorOccurred, this, [this](QAbstractSocket::SocketError) {
        if (m_socket->state() != QAbstractSocket::ConnectedState)
            m_socket->deleteLater();
    });
    if (m_o.tls != FakePop3Options::Tls::None) {
        m_socket->setLocalCertificate(m_o.certificate);
        m_socket->setPrivateKey(m_o.privateKey);
        m_socket->setPeerVerifyMode(QSslSocket::VerifyNone);
    }
}

// The plain reply to STLS must be out before the handshake starts.
void FakeConnection::maybeStartTls() {
    if (m_startTlsAfterWrite && m_socket->bytesToWrite() == 0 && m_chunkOut.isEmpty()) {
        m_startTlsAfterWrite = false;
        m_in.clear(); // commands sent before the handshake do not count
        if (m_o.cutHandshake)
            m_cutting = true;
        else
            m_socket->startServerEncryption();
    }
}

void FakeConnection::begin() {
    if (m_o.tls == FakePop3Options::Tls::Implicit && !m_tlsActive) {
        if (m_o.cutHandshake)
            m_cutting = true;
        else
            m_socket->startServerEncryption();
        return;
    }
    if (!m_o.script.isEmpty()) {
        if (m_o.script.first().expect.isEmpty()) {
            send(m_o.script.first().reply);
            m_scriptIndex = 1;
        }
        return;
    }
    {
        QMutexLocker lock(&m_shared.mutex);
        m_box = m_shared.mailbox;
    }
    if (m_o.floodAt == "GREETING") {
        startFlood();
        return;
    }
    QByteArray greeting = "+OK fake POP3 server ready";
    if (!m_o.apopTimestamp.isEmpty())
        greeting += ' ' + m_o.apopTimestamp;
    send(greeting + "\r\n");
}

void FakeConnection::onReadyRead() {
    QByteArray data = m_socket->readAll();
    {
        QMutexLocker lock(&m_shared.mutex);
        m_shared.received[m_index].append(data);
        if (!m_tlsActive)
            m_shared.receivedInClear[m_index].append(data);
        m_shared.stats.bytesIn += data.size();
    }
    if (m_cutting) {
        drop();
        return;
    }
    if (m_state == State::Closed || m_startTlsAfterWrite)
        return;
    m_in.append(data);
    int arrived = 0;
    bool idle = m_pending.isEmpty() && m_chunkOut.isEmpty();
    qsizetype eol;
    while ((eol = m_in.indexOf('\n')) >= 0) {
        QByteArray line = m_in.left(eol);
        m_in.remove(0, eol + 1);
        if (line.endsWith('\r'))
            line.chop(1);
        bool garble = m_o.garblePipelined && arrived > 0;
        m_pending.append({line, m_clock.elapsed() + m_o.replyDelayMs, garble});
        ++arrived;
    }
    if (arrived > 0) {
        QMutexLocker lock(&m_shared.mutex);
        if (idle)
            ++m_shared.stats.roundTrips;
    }
    processDue();
}

void FakeConnection::processDue() {
    while (!m_pending.isEmpty() && m_state != State::Closed) {
        const qint64 wait = m_pending.first().dueMs - m_clock.elapsed();
        if (wait > 0) {
            m_delayTimer.start(int(wait));
            return;
        }
        Pending p = m_pending.takeFirst();
        if (!m_o.script.isEmpty())
            handleScripted(p.line);
        else
            handle(p.line, p.garble);
        if (m_startTlsAfterWrite) {
            m_pending.clear();
            return;
        }
    }
}

void FakeConnection::handleScripted(const QByteArray& line) {
    {
        QMutexLocker lock(&m_shared.mutex);
        ++m_shared.stats.commands;
        if (m_scriptIndex >= m_o.script.size())
            m_shared.scriptMismatches.append(QStringLiteral("unexpected line after the script: ") +
                                             QString::fromLatin1(line));
        else if (m_o.script[m_scriptIndex].expect != line)
            m_shared.scriptMismatches.append(
                QStringLiteral("step %1: expected \"%2\", got \"%3\"")
                    .arg(m_scriptIndex)
                    .arg(QString::fromLatin1(m_o.script[m_scriptIndex].expect), QString::fromLatin1(line)));
    }
    if (m_scriptIndex >= m_o.script.size()) {
        drop();
        return;
    }
    send(m_o.script[m_scriptIndex].reply);
    ++m_scriptIndex;
}

QByteArray FakeConnection::capaReply() const {
    QByteArray r = "+OK capability list follows\r\nTOP\r\nUSER\r\nUIDL\r\nRESP-CODES\r\n";
    if (m_o.pipelining)
        r += "PIPELINING\r\n";
    if (m_o.tls == FakePop3Options::Tls::StartTls && !m_tlsActive && m_state == State::Authorization)
        r += "STLS\r\n";
    if (!m_o.apopTimestamp.isEmpty())
        r += "IMPLEMENTATION fake\r\n";
    return r + ".\r\n";
}

void FakeConnection::handle(const QByteArray& line, bool garble) {
    ++m_commands;
    const qsizetype space = line.indexOf(' ');
    const QByteArray keyword = (space < 0 ? line : line.left(space)).toUpper();
    const QList<QByteArray> args = space < 0 ? QList<QByteArray>() : line.mid(space + 1).split(' ');
    {
        QMutexLocker lock(&m_shared.mutex);
        ++m_shared.stats.commands;
        ++m_shared.stats.commandCounts[keyword];
    }
    if (m_silent)
        return;
    if (m_commands == m_o.dropAfterCommands ||
        (!m_o.dropAtCommand.isEmpty() && keyword == m_o.dropAtCommand) ||
        (keyword == "QUIT" && m_o.dropAtQuit)) {
        drop();
        return;
    }
    if (!m_o.silentAtCommand.isEmpty() && keyword == m_o.silentAtCommand) {
        m_silent = true;
        return;
    }
    if (garble || (!m_o.garbageAtCommand.isEmpty() && keyword == m_o.garbageAtCommand)) {
        send("what?? 4 8 15 16 23 42\r\n");
        return;
    }
    if (!m_o.refusedCommand.isEmpty() && keyword == m_o.refusedCommand) {
        send("-ERR " + keyword + " is not supported here\r\n");
        return;
    }
    if (!m_o.floodAt.isEmpty() && keyword == m_o.floodAt) {
        startFlood();
        return;
    }
    if (!m_o.oversizedAtCommand.isEmpty() && keyword == m_o.oversizedAtCommand) {
        send("+OK " + QByteArray(200 * 1024, 'x') + "\r\n");
        return;
    }

    auto messageNumber = [&](int index, bool& ok) -> int {
        ok = false;
        if (args.size() <= index)
            return 0;
        int n = args[index].toInt(&ok);
        ok = ok && n >= 1 && n <= m_box.size() && !m_deleted.contains(n);
        return n;
    };
    auto liveCount = [&] { return int(m_box.size() - m_deleted.size()); };
    auto liveOctets = [&] {
        qint64 total = 0;
        for (int i = 0; i < m_box.size(); ++i)
            if (!m_deleted.contains(i + 1))
                total += m_box[i].size();
        return total;
    };

    if (keyword == "CAPA") {
        if (m_o.capaRefused)
            send("-ERR no capabilities here\r\n");
        else if (m_o.capaGarbage)
            send("%%% capa? %%%\r\n");
        else
            send(capaReply());
        return;
    }
    if (keyword == "QUIT") {
        if (m_state == State::Transaction) {
            QList<int> deleted(m_deleted.begin(), m_deleted.end());
            std::sort(deleted.begin(), deleted.end());
            QMutexLocker lock(&m_shared.mutex);
            // Remove from the shared mailbox by content: another session may have changed it.
            for (int i = deleted.size() - 1; i >= 0; --i)
                m_shared.mailbox.removeOne(m_box[deleted[i] - 1]);
            m_shared.deletedAtQuit = deleted;
        }
        if (!m_o.quitAnswerLost)
            send("+OK bye\r\n");
        m_state = State::Closed;
        if (m_o.quitAnswerLost) {
            drop();
            return;
        }
        QTimer::singleShot(0, m_socket, [s = QPointer<QSslSocket>(m_socket), this] {
            if (s && m_chunkOut.isEmpty())
                s->disconnectFromHost();
        });
        return;
    }
    if (keyword == "NOOP") {
        send(m_state == State::Transaction ? "+OK\r\n" : "-ERR not logged in\r\n");
        return;
    }
    if (m_state == State::Authorization) {
        if (keyword == "STLS") {
            if (m_o.tls != FakePop3Options::Tls::StartTls || m_tlsActive || m_o.stlsRefused) {
                send("-ERR STLS not available\r\n");
                return;
            }
            send("+OK begin TLS negotiation\r\n" + m_o.stlsInjection);
            m_startTlsAfterWrite = true;
            QTimer::singleShot(0, this, [this] { maybeStartTls(); });
            return;
        }
        auto accepted = [&](const QByteArray& user, const QByteArray& password, bool apop,
                            const QByteArray& digest) {
            if (m_o.refuseLogin)
                return false;
            if (m_o.users.isEmpty())
                return true;
            auto it = m_o.users.constFind(user);
            if (it == m_o.users.constEnd())
                return false;
            if (!apop)
                return *it == password;
            QByteArray expected =
                QCryptographicHash::hash(m_o.apopTimestamp + *it, QCryptographicHash::Md5).toHex();
            return expected == digest;
        };
        if (keyword == "USER") {
            m_user = args.value(0);
            send("+OK send PASS\r\n");
            return;
        }
        if (keyword == "PASS") {
            QByteArray password = space < 0 ? QByteArray() : line.mid(space + 1);
            if (m_user.isEmpty() || !accepted(m_user, password, false, {})) {
                send("-ERR [AUTH] invalid user name or password\r\n");
                return;
            }
            m_state = State::Transaction;
            send("+OK maildrop locked and ready\r\n");
            return;
        }
        if (keyword == "APOP") {
            if (m_o.apopTimestamp.isEmpty() || args.size() != 2 || !accepted(args[0], {}, true, args[1])) {
                send("-ERR [AUTH] permission denied\r\n");
                return;
            }
            m_state = State::Transaction;
            send("+OK maildrop locked and ready\r\n");
            return;
        }
        send("-ERR not logged in\r\n");
        return;
    }

    bool ok = false;
    if (keyword == "STAT") {
        const qint64 count = m_o.announcedCount >= 0 ? m_o.announcedCount : liveCount();
        send("+OK " + QByteArray::number(count) + ' ' + QByteArray::number(liveOctets()) + "\r\n");
    } else if (keyword == "UIDL" && m_o.uidl == FakePop3Options::Uidl::Refused) {
        send("-ERR unknown command\r\n");
    } else if (keyword == "LIST" || keyword == "UIDL") {
        auto value = [&](int n) {
            if (keyword == "UIDL" && m_o.uidl == FakePop3Options::Uidl::AllSame)
                return QByteArray("same-for-all");
            return keyword == "LIST"
                       ? QByteArray::number(m_box[n - 1].size())
                       : QCryptographicHash::hash(m_box[n - 1], QCryptographicHash::Md5).toHex().left(16);
        };
        if (!args.isEmpty()) {
            int n = messageNumber(0, ok);
            send(ok ? "+OK " + QByteArray::number(n) + ' ' + value(n) + "\r\n" : "-ERR no such message\r\n");
            return;
        }
        QByteArray r = "+OK " + QByteArray::number(liveCount()) + " messages\r\n";
        for (int n = 1; n <= m_box.size(); ++n)
            if (!m_deleted.contains(n))
                r += QByteArray::number(n) + ' ' + value(n) + "\r\n";
        send(r + ".\r\n");
    } else if (keyword == "TOP") {
        int n = messageNumber(0, ok);
        bool linesOk = false;
        int lines = args.value(1).toInt(&linesOk);
        if (!ok || !linesOk || lines < 0) {
            send("-ERR no such message\r\n");
            return;
        }
        QByteArray text = headerOf(m_box[n - 1]);
        if (lines > 0) {
            QByteArray body = m_box[n - 1].mid(text.size() + 2);
            text += "\r\n" + body.split('\n').mid(0, lines).join('\n');
        }
        send("+OK top of message follows\r\n" + dotStuff(text) + ".\r\n");
    } else if (keyword == "RETR") {
        int n = messageNumber(0, ok);
        if (!ok) {
            send("-ERR no such message\r\n");
            return;
        }
        send("+OK " + QByteArray::number(m_box[n - 1].size()) + " octets\r\n" + dotStuff(m_box[n - 1]) +
             ".\r\n");
    } else if (keyword == "DELE") {
        int n = messageNumber(0, ok);
        if (!ok || m_o.refuseDele) {
            send("-ERR cannot delete that message\r\n");
            return;
        }
        m_deleted.insert(n);
        send("+OK message " + QByteArray::number(n) + " deleted\r\n");
    } else if (keyword == "RSET") {
        m_deleted.clear();
        send("+OK\r\n");
    } else {
        send("-ERR unknown command\r\n");
    }
}

void FakeConnection::send(const QByteArray& bytes) {
    {
        QMutexLocker lock(&m_shared.mutex);
        m_shared.stats.bytesOut += bytes.size();
    }
    if (m_socket->state() != QAbstractSocket::ConnectedState)
        return; // the client has gone
    if (m_o.writeChunkBytes <= 0 && m_chunkOut.isEmpty()) {
        m_socket->write(bytes);
        m_socket->flush();
        return;
    }
    m_chunkOut.append(bytes);
    if (!m_chunkTimer.isActive())
        m_chunkTimer.start();
}

void FakeConnection::pumpChunks() {
    if (m_chunkOut.isEmpty() || !m_socket->isOpen()) {
        m_chunkTimer.stop();
        if (m_state == State::Closed && m_socket->isOpen())
            m_socket->disconnectFromHost();
        return;
    }
    const qsizetype n = qMin<qsizetype>(qMax(1, m_o.writeChunkBytes), m_chunkOut.size());
    m_socket->write(m_chunkOut.left(n));
    m_socket->flush();
    m_chunkOut.remove(0, n);
}

void FakeConnection::startFlood() {
    const QByteArray head = m_o.floodWithoutLineEnd ? "+OK " : "+OK here it comes\r\n";
    send(head);
    m_floodLeft = qMax<qint64>(0, m_o.floodMaxBytes - head.size());
    pumpFlood();
}

// Keeps a few writes queued as the client reads, never the whole flood in memory.
void FakeConnection::pumpFlood() {
    constexpr qint64 kQueued = 1024 * 1024;
    static const QByteArray lines = QByteArray(78, 'x').append("\r\n").repeated(800);
    static const QByteArray endless(64 * 1024, 'x');
    const QByteArray& chunk = m_o.floodWithoutLineEnd ? endless : lines;
    while (m_floodLeft > 0 && m_socket->state() == QAbstractSocket::ConnectedState &&
           m_socket->bytesToWrite() < kQueued) {
        const qint64 n = qMin<qint64>(m_floodLeft, chunk.size());
        m_socket->write(chunk.constData(), n);
        m_floodLeft -= n;
        QMutexLocker lock(&m_shared.mutex);
        m_shared.stats.bytesOut += n;
    }
}

void FakeConnection::drop() {
    m_state = State::Closed;
    m_pending.clear();
    m_chunkOut.clear();
    m_socket->abort();
    m_socket->deleteLater();
}

FakePop3Server::FakePop3Server(FakePop3Options options)
    : m_options(std::move(options)), m_state(std::make_shared<SharedState>()) {
    m_state->mailbox = m_options.messages;
}

bool FakePop3Server::start() {
    auto shared = m_state;
    m_thread = std::make_unique<QThread>();
    m_worker = new FakePop3Worker(m_options, *shared);
    m_worker->moveToThread(m_thread.get());
    QObject::connect(m_thread.get(), &QThread::finished, m_worker, &QObject::deleteLater);
    m_thread->start();
    bool listening = false;
    QMetaObject::invokeMethod(
        m_worker,
        [this, &listening] {
            listening =
                m_worker->listen(m_options.ipv6 ? QHostAddress::LocalHostIPv6 : QHostAddress::LocalHost, 0);
            m_port = m_worker->serverPort();
        },
        Qt::BlockingQueuedConnection);
    return listening;
}

FakePop3Server::~FakePop3Server() {
    if (m_thread) {
        QMetaObject::invokeMethod(
            m_worker,
            [this] {
                m_worker->close();
                const auto sockets = m_worker->findChildren<QSslSocket*>();
                for (QSslSocket* s : sockets)
                    s->abort();
            },
            Qt::BlockingQueuedConnection);
        m_thread->quit();
        m_thread->wait();
    }
}

QString FakePop3Server::address() const {
    return (m_options.ipv6 ? QStringLiteral("[::1]:%1") : QStringLiteral("127.0.0.1:%1")).arg(m_port);
}

int FakePop3Server::connectionCount() const {
    auto& s = m_state;
    QMutexLocker lock(&s->mutex);
    return int(s->received.size());
}

QByteArray FakePop3Server::received(int connection) const {
    auto& s = m_state;
    QMutexLocker lock(&s->mutex);
    return s->received.value(connection);
}

QByteArray FakePop3Server::receivedInClear(int connection) const {
    auto& s = m_state;
    QMutexLocker lock(&s->mutex);
    return s->receivedInClear.value(connection);
}

QList<QByteArray> FakePop3Server::receivedLines(int connection) const {
    QList<QByteArray> lines = received(connection).split('\n');
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    for (QByteArray& l : lines)
        if (l.endsWith('\r'))
            l.chop(1);
    return lines;
}

QList<int> FakePop3Server::deletedAtQuit() const {
    auto& s = m_state;
    QMutexLocker lock(&s->mutex);
    return s->deletedAtQuit;
}

QList<QByteArray> FakePop3Server::mailbox() const {
    auto& s = m_state;
    QMutexLocker lock(&s->mutex);
    return s->mailbox;
}

void FakePop3Server::setMailbox(const QList<QByteArray>& messages) {
    auto& s = m_state;
    QMutexLocker lock(&s->mutex);
    s->mailbox = messages;
}

QStringList FakePop3Server::scriptMismatches() const {
    auto& s = m_state;
    QMutexLocker lock(&s->mutex);
    return s->scriptMismatches;
}

FakePop3Stats FakePop3Server::stats() const {
    auto& s = m_state;
    QMutexLocker lock(&s->mutex);
    return s->stats;
}

void FakePop3Server::resetStats() {
    auto& s = m_state;
    QMutexLocker lock(&s->mutex);
    s->stats = FakePop3Stats();
}

TestCertificates makeTestCertificates(const QString& dir) {
    TestCertificates out;
    auto run = [&](const QStringList& args) {
        QProcess p;
        p.setWorkingDirectory(dir);
        p.start(QStringLiteral("openssl"), args);
        if (!p.waitForFinished(60000) || p.exitCode() != 0) {
            out.error = QStringLiteral("openssl %1 failed: %2")
                            .arg(args.join(' '), QString::fromLocal8Bit(p.readAllStandardError()));
            return false;
        }
        return true;
    };
    auto file = [&](const QString& name, const QByteArray& text) {
        QFile f(QDir(dir).filePath(name));
        return f.open(QIODevice::WriteOnly) && f.write(text) == text.size();
    };
    auto read = [&](const QString& name) {
        QFile f(QDir(dir).filePath(name));
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    };
    if (!run({"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "ca.key", "-out", "ca.pem", "-days",
              "2", "-subj", "/CN=Brindle Test CA", "-addext", "basicConstraints=critical,CA:TRUE", "-addext",
              "keyUsage=critical,keyCertSign,cRLSign"}))
        return out;
    auto leaf = [&](const QString& name, const QByteArray& san) {
        if (!file(name + ".ext", "subjectAltName=" + san +
                                     "\nbasicConstraints=CA:FALSE\n"
                                     "extendedKeyUsage=serverAuth\n"))
            return false;
        return run({"req", "-newkey", "rsa:2048", "-nodes", "-keyout", name + ".key", "-out", name + ".csr",
                    "-subj", "/CN=" + name}) &&
               run({"x509", "-req", "-in", name + ".csr", "-CA", "ca.pem", "-CAkey", "ca.key",
                    "-CAcreateserial", "-out", name + ".pem", "-days", "2", "-extfile", name + ".ext"});
    };
    if (!leaf("good", "DNS:localhost,IP:127.0.0.1,IP:::1") || !leaf("wrong", "DNS:wrong.invalid"))
        return out;
    // "openssl x509" signs from now on only; "openssl ca" takes dates in the past.
    if (!file("expired.ext", "subjectAltName=DNS:localhost,IP:127.0.0.1\nbasicConstraints=CA:FALSE\n") ||
        !file("index.txt", "") || !file("serial.txt", "1000\n") ||
        !file("ca.cnf",
              "[ca]\ndefault_ca = test\n[test]\ndatabase = index.txt\nnew_certs_dir = .\n"
              "serial = serial.txt\ndefault_md = sha256\npolicy = any\n[any]\ncommonName = supplied\n") ||
        !run({"req", "-newkey", "rsa:2048", "-nodes", "-keyout", "expired.key", "-out", "expired.csr",
              "-subj", "/CN=expired"}) ||
        !run({"ca", "-batch", "-config", "ca.cnf", "-cert", "ca.pem", "-keyfile", "ca.key", "-in",
              "expired.csr", "-out", "expired.pem", "-notext", "-startdate", "20200101000000Z", "-enddate",
              "20200201000000Z", "-extfile", "expired.ext"}))
        return out;
    out.ca = QSslCertificate(read("ca.pem"));
    out.good = QSslCertificate(read("good.pem"));
    out.goodKey = QSslKey(read("good.key"), QSsl::Rsa);
    out.wrongHost = QSslCertificate(read("wrong.pem"));
    out.wrongHostKey = QSslKey(read("wrong.key"), QSsl::Rsa);
    out.expired = QSslCertificate(read("expired.pem"));
    out.expiredKey = QSslKey(read("expired.key"), QSsl::Rsa);
    if (out.ca.isNull() || out.good.isNull() || out.goodKey.isNull() || out.wrongHost.isNull() ||
        out.expired.isNull())
        out.error = QStringLiteral("could not read the generated certificates");
    return out;
}

} // namespace brindle::fake
