#pragma once
// The socket transport as tests build it through the session's transport factory: it trusts the
// tests' own CA, and it may report the server on this machine as one elsewhere, so that the session
// holds it to the rules of any remote server (the plain-text agreement).
#include "mailcheck/NMail.h"
#include "mailcheck/pop3/Pop3Transport.h"

namespace brindle::testing {

class TestTransport final : public Pop3Transport {
public:
    TestTransport(QList<QSslCertificate> extraCas, bool elsewhere)
        : m_socket(std::move(extraCas)), m_elsewhere(elsewhere) {
        connect(&m_socket, &Pop3Transport::activity, this, &Pop3Transport::activity);
    }
    void open(const QString& host, quint16 port, bool tls) override { m_socket.open(host, port, tls); }
    bool isReady() const override { return m_socket.isReady(); }
    bool isEncrypted() const override { return m_socket.isEncrypted(); }
    bool hasFailed() const override { return m_socket.hasFailed(); }
    Pop3Error failure() const override { return m_socket.failure(); }
    void startTls(const QString& host) override { m_socket.startTls(host); }
    void write(const QByteArray& bytes) override { m_socket.write(bytes); }
    QByteArray read(qint64 maxBytes) override { return m_socket.read(maxBytes); }
    void close() override { m_socket.close(); }
    void abort() override { m_socket.abort(); }
    void setPinnedCertificate(const QByteArray& sha256) override { m_socket.setPinnedCertificate(sha256); }
    CertificateCheck certificateCheck() const override { return m_socket.certificateCheck(); }
    bool peerIsLoopback() const override { return !m_elsewhere && m_socket.peerIsLoopback(); }

private:
    SocketTransport m_socket;
    bool m_elsewhere;
};

// Options whose sessions connect through TestTransport.
inline NMailOptions withTestTransport(NMailOptions options, QList<QSslCertificate> extraCas, bool elsewhere) {
    options.transportFactory = [extraCas, elsewhere] {
        return std::make_unique<TestTransport>(extraCas, elsewhere);
    };
    return options;
}

} // namespace brindle::testing
