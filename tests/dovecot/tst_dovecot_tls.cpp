// The mail library against a Dovecot that offers TLS (STLS on one port, TLS from the start on
// another) with a self-signed certificate for 127.0.0.1, on the mailbox "alice" of that server.
#include "DovecotServer.h"
#include "mailcheck/MailLibrary.h"
#include "mailcheck/NMail.h"

#include <QFile>
#include <QSslCertificate>
#include <QTest>

using brindle::MailFields;
using brindle::MailFields;
using brindle::MailLibrary;
using brindle::NMailLibrary;
using brindle::NMailOptions;
using brindle::kNMailOptionFieldBuffer;
using brindle::kNMailDefaultFieldBuffer;

namespace {

const QString kUser = QString::fromLatin1(kAlice.user);
const QString kPassword = QString::fromLatin1(kAlice.password);
// Dovecot's log process writes a session's last line shortly after the session ends.
constexpr int kLogWaitMs = 10000;

} // namespace

class TestDovecotTls : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();
    void cleanupTestCase();

    void serverOffersStls();
    void certificateRefused_data();
    void certificateRefused();
    void trustedCertificateCarriesSession_data();
    void trustedCertificateCarriesSession();

private:
    QString stlsHost() const { return QStringLiteral("127.0.0.1:%1").arg(m_server.port()); }
    QString implicitHost() const { return QStringLiteral("pop3s://127.0.0.1:%1").arg(m_server.tlsPort()); }
    // Waits until the server has logged the end of a connection after the given log offset, and
    // returns what it logged. Empty when the server saw no connection.
    QByteArray sessionLog(qint64 from) const;

    DovecotServer m_server;
    QList<QSslCertificate> m_certificate;
    std::unique_ptr<NMailLibrary> m_library;
    // The library of one test: trusting the test's CA or only the system's.
    NMailLibrary& library(bool trustTestCa) {
        NMailOptions options;
        if (trustTestCa)
            options.extraTrustedCas = m_certificate;
        m_library = std::make_unique<NMailLibrary>(options);
        m_library->NMailSetOption(kNMailOptionFieldBuffer, kNMailDefaultFieldBuffer);
        return *m_library;
    }
};

void TestDovecotTls::initTestCase() {
    QString error;
    QVERIFY2(m_server.start(&error, DovecotServer::Kind::Tls), qPrintable(error));
    QFile pem(m_server.certificatePath());
    QVERIFY2(pem.open(QIODevice::ReadOnly), qPrintable(pem.fileName()));
    m_certificate = QSslCertificate::fromData(pem.readAll(), QSsl::Pem);
    QCOMPARE(m_certificate.size(), 1);
}

void TestDovecotTls::init() {
    QString error;
    QVERIFY2(m_server.reset(kUser, &error), qPrintable(error));
}

void TestDovecotTls::cleanup() {
    m_library.reset();
}

void TestDovecotTls::cleanupTestCase() {
}

QByteArray TestDovecotTls::sessionLog(qint64 from) const {
    QByteArray text;
    // Either the session ended or the bound ran out: the callers judge what was logged.
    static_cast<void>(QTest::qWaitFor(
        [&] {
            text = m_server.log(from);
            return text.contains("Disconnected");
        },
        kLogWaitMs));
    return text;
}

void TestDovecotTls::serverOffersStls() {
    Pop3Session session;
    QString error;
    QByteArray reply;
    QList<QByteArray> capabilities;
    QVERIFY2(session.open(m_server.port(), &error), qPrintable(error));
    QVERIFY2(session.readLine(&reply, &error), qPrintable(error));
    QVERIFY2(session.command("CAPA", &reply, &error), qPrintable(error));
    QVERIFY2(session.multiLine(&capabilities, &error), qPrintable(error));
    session.quit(&error);
    QVERIFY(capabilities.contains("STLS"));
    // The server would take the password in plain text, so keeping it off the wire is up to the
    // client.
    Pop3Probe probe(m_server.port());
    QCOMPARE(probe.count(kAlice.user, kAlice.password), kKnownMessageCount);
}

void TestDovecotTls::certificateRefused_data() {
    QTest::addColumn<QString>("host");
    QTest::addColumn<bool>("trusted");
    QTest::newRow("STLS, untrusted") << stlsHost() << false;
    QTest::newRow("TLS from the start, untrusted") << implicitHost() << false;
    // Trusted, but issued to 127.0.0.1 only: reaching the same server as "localhost" must fail.
    QTest::newRow("trusted, for another host")
        << QStringLiteral("pop3s://localhost:%1").arg(m_server.tlsPort()) << true;
}

void TestDovecotTls::certificateRefused() {
    QFETCH(QString, host);
    QFETCH(bool, trusted);
    MailLibrary& lib = library(trusted);
    const qint64 logStart = m_server.logSize();
    const int handle = lib.NMailPop3Connect(host);
    int count = -1;
    if (handle != -1) {
        count = lib.NMailPop3Authenticate(handle, kUser, kPassword, 0);
        lib.NMailPop3Close(handle);
    }
    QVERIFY2(count < 0, "a session over a certificate that does not prove the server went through");
    const QString why = lib.NMailGetMessage();
    QVERIFY(!why.trimmed().isEmpty());
    QVERIFY(!why.contains(kPassword));

    const QByteArray log = sessionLog(logStart);
    if (trusted && !log.contains("rip=127.0.0.1"))
        QSKIP("\"localhost\" does not lead to 127.0.0.1 here");
    QVERIFY2(log.contains("rip=127.0.0.1"), "the server saw no connection");
    // The account never reached the server, neither by TLS nor by falling back to plain text.
    QVERIFY2(!log.contains("user=<alice>"), log.constData());
}

void TestDovecotTls::trustedCertificateCarriesSession_data() {
    QTest::addColumn<QString>("host");
    QTest::newRow("STLS") << stlsHost();
    QTest::newRow("TLS from the start") << implicitHost();
}

void TestDovecotTls::trustedCertificateCarriesSession() {
    QFETCH(QString, host);
    MailLibrary& lib = library(true);
    const qint64 logStart = m_server.logSize();
    const int handle = lib.NMailPop3Connect(host);
    QVERIFY2(handle != -1, qPrintable(lib.NMailGetMessage()));
    const int count = lib.NMailPop3Authenticate(handle, kUser, kPassword, 0);
    if (count < 0)
        lib.NMailPop3Close(handle);
    QVERIFY2(count == kKnownMessageCount, qPrintable(lib.NMailGetMessage()));

    // The large message crosses many TLS records.
    MailFields fields;
    QString body;
    const int fetched = lib.NMailPop3GetMail(handle, kKnownMessageCount, fields, body);
    const int deleted = lib.NMailPop3DeleteMail(handle, 2);
    QCOMPARE(lib.NMailPop3Close(handle), 0);
    QVERIFY(fetched >= 0);
    QCOMPARE(fields.subject, QStringLiteral("Monthly archive"));
    QVERIFY(body.contains(QStringLiteral("archive line 04000:")));
    QVERIFY(body.contains(QStringLiteral("end of archive")));
    QCOMPARE(deleted, 0);

    const QByteArray log = sessionLog(logStart);
    const qsizetype login = log.indexOf("Login: user=<alice>");
    QVERIFY2(login >= 0, log.constData());
    QVERIFY2(log.mid(login, log.indexOf('\n', login) - login).contains("TLS"), log.constData());
    Pop3Probe probe(m_server.port());
    QCOMPARE(probe.count(kAlice.user, kAlice.password), kKnownMessageCount - 1);
}

QTEST_GUILESS_MAIN(TestDovecotTls)
#include "tst_dovecot_tls.moc"
