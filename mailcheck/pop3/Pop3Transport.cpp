#include "mailcheck/pop3/Pop3Transport.h"

#include <QSslConfiguration>
#include <QSslSocket>

namespace brindle {

namespace {
// Large enough for many pipelined headers per read, small enough to bound a fast server's lead.
constexpr qint64 kReadBufferBytes = 512 * 1024;
} // namespace

SocketTransport::SocketTransport(QList<QSslCertificate> extraCas) : m_socket(new QSslSocket(this)) {
    QSslConfiguration conf = QSslConfiguration::defaultConfiguration();
    conf.setProtocol(QSsl::TlsV1_2OrLater);
    conf.setPeerVerifyMode(QSslSocket::VerifyPeer);
    if (!extraCas.isEmpty())
        conf.addCaCertificates(extraCas);
    m_socket->setSslConfiguration(conf);
    // Bounds what sits unread in the socket: the client reads as it parses.
    m_socket->setReadBufferSize(kReadBufferBytes);

    auto notify = [this] { Q_EMIT activity(); };
    connect(m_socket, &QSslSocket::connected, this, notify);
    connect(m_socket, &QSslSocket::encrypted, this, notify);
    connect(m_socket, &QSslSocket::readyRead, this, notify);
    connect(m_socket, &QSslSocket::sslErrors, this, [this](const QList<QSslError>& errors) {
        QStringList texts;
        for (const QSslError& e : errors)
            texts << e.errorString();
        // Not ignored: the socket aborts the handshake after this signal.
        fail(Pop3ErrorKind::TlsRefused, texts.join(QStringLiteral("; ")));
    });
    connect(m_socket, &QSslSocket::errorOccurred, this, [this](QAbstractSocket::SocketError e) {
        const bool tls = e == QAbstractSocket::SslHandshakeFailedError ||
                         e == QAbstractSocket::SslInternalError ||
                         e == QAbstractSocket::SslInvalidUserDataError;
        fail(tls ? Pop3ErrorKind::TlsRefused : Pop3ErrorKind::ConnectionLost, m_socket->errorString());
    });
    connect(m_socket, &QSslSocket::disconnected, this, [this] {
        fail(Pop3ErrorKind::ConnectionLost, QStringLiteral("the server closed the connection"));
    });
}

SocketTransport::~SocketTransport() {
    m_socket->disconnect(this);
    m_socket->abort();
}

void SocketTransport::fail(Pop3ErrorKind kind, const QString& text) {
    if (!m_failed) // the first reason is the real one; later ones are consequences
        m_failure = {kind, text.left(kPop3MaxErrorDetailChars)};
    m_failed = true;
    Q_EMIT activity();
}

void SocketTransport::open(const QString& host, quint16 port, bool implicitTls) {
    m_wantTls = implicitTls;
    if (implicitTls)
        m_socket->connectToHostEncrypted(host, port);
    else
        m_socket->connectToHost(host, port);
}

bool SocketTransport::isReady() const {
    return !m_failed && m_socket->state() == QAbstractSocket::ConnectedState &&
           (!m_wantTls || m_socket->isEncrypted());
}

bool SocketTransport::isEncrypted() const {
    return m_socket->isEncrypted();
}

bool SocketTransport::hasFailed() const {
    return m_failed;
}

Pop3Error SocketTransport::failure() const {
    return m_failure;
}

void SocketTransport::startTls(const QString& host) {
    m_socket->readAll();
    m_wantTls = true;
    m_socket->setPeerVerifyName(host);
    m_socket->startClientEncryption();
}

void SocketTransport::write(const QByteArray& bytes) {
    if (!m_failed && m_socket->state() == QAbstractSocket::ConnectedState)
        m_socket->write(bytes);
}

QByteArray SocketTransport::readAll() {
    if (m_wantTls && !m_socket->isEncrypted())
        return {};
    return m_socket->readAll();
}

void SocketTransport::close() {
    if (m_socket->state() != QAbstractSocket::UnconnectedState)
        m_socket->disconnectFromHost();
}

} // namespace brindle
