#pragma once
#include "mailcheck/pop3/Pop3Error.h"
#include "mailcheck/pop3/Pop3Trust.h"

#include <functional>
#include <memory>
#include <QByteArray>
#include <QList>
#include <QObject>
#include <QSslCertificate>
#include <QString>

class QSslSocket;
class QTcpSocket;

namespace brindle {

// The byte stream under the POP3 client. Everything is asynchronous: the session goes on from the
// event loop at each activity(), so the caller's windows keep running.
class Pop3Transport : public QObject {
    Q_OBJECT
public:
    ~Pop3Transport() override = default;

    // Starts connecting; with implicitTls the TLS handshake follows at once (RFC 8314).
    virtual void open(const QString& host, quint16 port, bool implicitTls) = 0;
    // Connected and, when TLS was asked for, encrypted with a verified certificate.
    virtual bool isReady() const = 0;
    virtual bool isEncrypted() const = 0;
    // Closed or failed; failure() then says why: TlsRefused for the handshake and the certificate,
    // ConnectionLost for anything else (the session names it by what it was doing).
    virtual bool hasFailed() const = 0;
    virtual Pop3Error failure() const = 0;
    // Upgrades a plain connection (STLS). Discards every byte received so far and not yet read,
    // so nothing the server sent in plain can pass for protected data.
    virtual void startTls(const QString& host) = 0;
    virtual void write(const QByteArray& bytes) = 0;
    // At most maxBytes of what has come; empty when nothing has.
    virtual QByteArray read(qint64 maxBytes) = 0;
    // Ends the connection politely: what was written still goes out.
    virtual void close() = 0;
    // Ends the connection at once: nothing more is read or written.
    virtual void abort() = 0;
    // Before open(): a certificate the system does not vouch for is still accepted when it is this
    // one (its SHA-256), whatever name and dates it bears; empty: none is.
    virtual void setPinnedCertificate(const QByteArray& sha256) = 0;
    // What the handshake found of the server's certificate. A refused one is failure() with
    // CertificateUnknown (the user may pin it), CertificateChanged (another one is pinned) or
    // TlsRefused (nothing makes it acceptable).
    virtual CertificateCheck certificateCheck() const = 0;
    // The server is this machine (a loopback address): nothing passes over a network, so the password
    // may go to it in clear without the user's agreement.
    virtual bool peerIsLoopback() const = 0;

Q_SIGNALS:
    // Something changed: connected, encrypted, data arrived, closed, failed.
    void activity();
};

// The default transport: a TCP socket, TLS 1.2 or later, verified against the system's trust store
// (plus extraCas, which a test's transport factory gives) and the host name. There is no way to
// switch verification off; the one exception is the pinned certificate, which the user accepted for
// this server by its fingerprint.
// The TLS backend (a Qt plugin, OpenSSL, its configuration and the trust store: milliseconds) is
// loaded only when TLS is asked for: a plain connection never loads it, and STLS hands the
// connected socket over to a TLS socket.
class SocketTransport final : public Pop3Transport {
    Q_OBJECT
public:
    explicit SocketTransport(QList<QSslCertificate> extraCas = {});
    ~SocketTransport() override;

    void open(const QString& host, quint16 port, bool implicitTls) override;
    bool isReady() const override;
    bool isEncrypted() const override;
    bool hasFailed() const override;
    Pop3Error failure() const override;
    void startTls(const QString& host) override;
    void write(const QByteArray& bytes) override;
    QByteArray read(qint64 maxBytes) override;
    void close() override;
    void abort() override;
    void setPinnedCertificate(const QByteArray& sha256) override { m_pin = sha256; }
    CertificateCheck certificateCheck() const override { return m_check; }
    bool peerIsLoopback() const override;

private:
    void fail(Pop3ErrorKind kind, const QString& text);
    void judgeCertificate(const QList<QSslError>& errors);
    Pop3ErrorKind lostKind() const;
    void watch(QTcpSocket* socket);
    QSslSocket* makeTlsSocket();

    QList<QSslCertificate> m_extraCas;
    QTcpSocket* m_socket;        // the connection, plain or TLS
    QSslSocket* m_tls = nullptr; // m_socket once TLS was asked for
    QByteArray m_pin;
    CertificateCheck m_check;
    bool m_wantTls = false;
    bool m_tcpConnected = false;
    bool m_failed = false;
    Pop3Error m_failure;
};

using Pop3TransportFactory = std::function<std::unique_ptr<Pop3Transport>()>;

} // namespace brindle
