#include "mailcheck/pop3/Pop3Transport.h"

#include <fcntl.h>
#include <QCryptographicHash>
#include <QSslConfiguration>
#include <QSslSocket>
#include <QTcpSocket>
#include <unistd.h>

namespace brindle {

namespace {
// Large enough for many pipelined headers per read, small enough to bound a fast server's lead.
constexpr qint64 kReadBufferBytes = 512 * 1024;

// Sorts what the TLS layer found wrong by what may be done about it.
CertificateCheck classify(const QList<QSslError>& errors, const QSslCertificate& peer) {
    CertificateCheck check;
    check.certificate = peer;
    for (const QSslError& e : errors) {
        switch (e.error()) {
        case QSslError::SelfSignedCertificate:
        case QSslError::SelfSignedCertificateInChain:
        case QSslError::UnableToGetIssuerCertificate:
        case QSslError::UnableToGetLocalIssuerCertificate:
        case QSslError::UnableToVerifyFirstCertificate:
        case QSslError::CertificateUntrusted:
            check.untrusted = true;
            break;
        case QSslError::HostNameMismatch:
            check.wrongName = true;
            break;
        case QSslError::CertificateExpired:
        case QSslError::CertificateNotYetValid:
            check.outOfDate = true;
            break;
        default:
            check.otherFault = true;
            break;
        }
    }
    return check;
}
} // namespace

SocketTransport::SocketTransport(QList<QSslCertificate> extraCas)
    : m_extraCas(std::move(extraCas)), m_socket(new QTcpSocket(this)) {
    watch(m_socket);
}

SocketTransport::~SocketTransport() {
    m_socket->disconnect(this);
    m_socket->abort();
}

void SocketTransport::watch(QTcpSocket* socket) {
    // Bounds what sits unread in the socket: the client reads as it parses.
    socket->setReadBufferSize(kReadBufferBytes);
    connect(socket, &QTcpSocket::connected, this, [this] {
        m_tcpConnected = true;
        Q_EMIT activity();
    });
    connect(socket, &QTcpSocket::readyRead, this, [this] { Q_EMIT activity(); });
    connect(socket, &QTcpSocket::errorOccurred, this, [this](QAbstractSocket::SocketError e) {
        const bool tls = e == QAbstractSocket::SslHandshakeFailedError ||
                         e == QAbstractSocket::SslInternalError ||
                         e == QAbstractSocket::SslInvalidUserDataError;
        fail(tls ? Pop3ErrorKind::TlsRefused : lostKind(), m_socket->errorString());
    });
    connect(socket, &QTcpSocket::disconnected, this,
            [this] { fail(lostKind(), QStringLiteral("the server closed the connection")); });
}

QSslSocket* SocketTransport::makeTlsSocket() {
    auto* tls = new QSslSocket(this);
    QSslConfiguration conf = QSslConfiguration::defaultConfiguration();
    conf.setProtocol(QSsl::TlsV1_2OrLater);
    conf.setPeerVerifyMode(QSslSocket::VerifyPeer);
    if (!m_extraCas.isEmpty())
        conf.addCaCertificates(m_extraCas);
    tls->setSslConfiguration(conf);
    watch(tls);
    connect(tls, &QSslSocket::encrypted, this, [this] {
        if (m_check.certificate.isNull())
            m_check.certificate = m_tls->peerCertificate();
        Q_EMIT activity();
    });
    connect(tls, &QSslSocket::sslErrors, this, &SocketTransport::judgeCertificate);
    return tls;
}

void SocketTransport::fail(Pop3ErrorKind kind, const QString& text) {
    if (!m_failed) // the first reason is the real one; later ones are consequences
        m_failure = {kind, text.left(kPop3MaxErrorDetailChars)};
    m_failed = true;
    Q_EMIT activity();
}

void SocketTransport::judgeCertificate(const QList<QSslError>& errors) {
    m_check = classify(errors, m_tls->peerCertificate());
    const bool isPinned = !m_pin.isEmpty() && m_check.certificate.digest(QCryptographicHash::Sha256) == m_pin;
    if (isPinned && !m_check.otherFault) {
        // The user trusted this very certificate for this server: its issuer, names and dates
        // add nothing to that, and nobody without its key can present it.
        m_check.pinned = true;
        m_tls->ignoreSslErrors(errors);
        return;
    }
    QStringList texts;
    for (const QSslError& e : errors)
        texts << e.errorString();
    Pop3ErrorKind kind = Pop3ErrorKind::TlsRefused;
    if (!m_check.otherFault && m_check.untrusted)
        kind = !m_pin.isEmpty()     ? Pop3ErrorKind::CertificateChanged
               : !m_check.outOfDate ? Pop3ErrorKind::CertificateUnknown
                                    : Pop3ErrorKind::TlsRefused; // an expired one is not taken on
    // Not ignored: the socket aborts the handshake after this signal.
    fail(kind, texts.join(QStringLiteral("; ")));
}

// A connection that ends while its handshake is under way is a failed handshake.
Pop3ErrorKind SocketTransport::lostKind() const {
    return m_wantTls && m_tcpConnected && !isEncrypted() ? Pop3ErrorKind::TlsRefused
                                                         : Pop3ErrorKind::ConnectionLost;
}

bool SocketTransport::peerIsLoopback() const {
    return m_socket->peerAddress().isLoopback();
}

void SocketTransport::open(const QString& host, quint16 port, bool implicitTls) {
    m_wantTls = implicitTls;
    if (implicitTls) {
        m_socket->disconnect(this);
        delete m_socket; // never connected
        m_socket = m_tls = makeTlsSocket();
        m_tls->connectToHostEncrypted(host, port);
    } else {
        m_socket->connectToHost(host, port);
    }
}

bool SocketTransport::isReady() const {
    return !m_failed && m_socket->state() == QAbstractSocket::ConnectedState && (!m_wantTls || isEncrypted());
}

bool SocketTransport::isEncrypted() const {
    return m_tls && m_tls->isEncrypted();
}

bool SocketTransport::hasFailed() const {
    return m_failed;
}

Pop3Error SocketTransport::failure() const {
    return m_failure;
}

void SocketTransport::startTls(const QString& host) {
    m_wantTls = true;
    if (m_tls) { // TLS already (a second STLS): the socket refuses, and the session fails
        m_tls->readAll();
        m_tls->startClientEncryption();
        return;
    }
    // The plain socket hands its connection to a TLS socket: what it received and was not read is
    // dropped with it, and what comes later is the handshake's. The command's reply has come, so
    // nothing written waits; flush() sends anything that still did.
    QTcpSocket* plain = m_socket;
    plain->flush();
    const int fd = plain->state() == QAbstractSocket::ConnectedState
                       ? ::fcntl(static_cast<int>(plain->socketDescriptor()), F_DUPFD_CLOEXEC, 0)
                       : -1;
    plain->disconnect(this);
    plain->abort(); // closes its descriptor and stops reading at once; the copy keeps the connection
    plain->deleteLater();
    m_socket = m_tls = makeTlsSocket();
    if (fd < 0 || !m_tls->setSocketDescriptor(fd)) {
        if (fd >= 0)
            ::close(fd);
        fail(lostKind(), QStringLiteral("the connection could not be handed to TLS"));
        return;
    }
    m_tls->setPeerVerifyName(host);
    m_tls->startClientEncryption();
}

void SocketTransport::write(const QByteArray& bytes) {
    if (!m_failed && m_socket->state() == QAbstractSocket::ConnectedState)
        m_socket->write(bytes);
}

QByteArray SocketTransport::read(qint64 maxBytes) {
    if ((m_wantTls && !isEncrypted()) || !m_socket->isReadable())
        return {};
    return m_socket->read(maxBytes);
}

void SocketTransport::close() {
    if (m_socket->state() != QAbstractSocket::UnconnectedState)
        m_socket->disconnectFromHost();
}

void SocketTransport::abort() {
    if (m_socket->state() != QAbstractSocket::UnconnectedState)
        m_socket->abort();
}

} // namespace brindle
