#pragma once
// The socket transport trusting the tests' CA; "elsewhere" holds a loopback server to remote rules.
#include "mailcheck/NMail.h"

namespace brindle::testing {

class TestTransport final : public Pop3Transport {
public:
    TestTransport(QList<QSslCertificate> cas, bool elsewhere) : m_s(std::move(cas)), m_elsewhere(elsewhere) {
        connect(&m_s, &Pop3Transport::activity, this, &Pop3Transport::activity);
    }
    static NMailOptions in(NMailOptions o, const QList<QSslCertificate>& cas, bool elsewhere) {
        o.transportFactory = [cas, elsewhere] { return std::make_unique<TestTransport>(cas, elsewhere); };
        return o;
    }
    void open(const QString& host, quint16 port, bool tls) override { m_s.open(host, port, tls); }
    bool isReady() const override { return m_s.isReady(); }
    bool isEncrypted() const override { return m_s.isEncrypted(); }
    bool hasFailed() const override { return m_s.hasFailed(); }
    Pop3Error failure() const override { return m_s.failure(); }
    void startTls(const QString& host) override { m_s.startTls(host); }
    void write(const QByteArray& bytes) override { m_s.write(bytes); }
    QByteArray read(qint64 maxBytes) override { return m_s.read(maxBytes); }
    void close() override { m_s.close(); }
    void abort() override { m_s.abort(); }
    void setPinnedCertificate(const QByteArray& sha256) override { m_s.setPinnedCertificate(sha256); }
    CertificateCheck certificateCheck() const override { return m_s.certificateCheck(); }
    bool peerIsLoopback() const override { return !m_elsewhere && m_s.peerIsLoopback(); }

private:
    SocketTransport m_s;
    bool m_elsewhere;
};

} // namespace brindle::testing
