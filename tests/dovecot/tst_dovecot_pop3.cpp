// The mail library against Dovecot: logins, dot-stuffing, deletion at QUIT, TLS, the account kept safe.
#include "DovecotServer.h"
#include "mailcheck/NMail.h"
#include "platform/Cp932.h"
#include "support/Rows.h"
#include "support/RunTask.h"
#include "support/TestTransport.h"
#include "ui/texts/CheckTexts.h"

#include <QCryptographicHash>
#include <QFile>
#include <QTest>

using brindle::testing::runTask;
using namespace brindle;
using namespace Qt::StringLiterals;
using brindle::test::indexRows;

namespace {

constexpr int kUserPass = 0;
constexpr int kApop = -1;
// Bounds the wait for Dovecot's log of a connection's end (it comes a moment after the end).
constexpr int kLogWaitMs = 10000;

// Where (STLS, TLS from the start, that as "localhost", the server without TLS), the CA trusted, the
// pin (0 none, 1 the server's certificate, 2 another one), TLS seen before; the failure.
enum Where { Stls, Implicit, Localhost, Plain };
using K = Pop3ErrorKind;
const std::tuple<const char*, Where, bool, int, bool, K> kTls[]{
    {"STLS", Stls, true, 0, false, K::None},
    {"TLS from the start", Implicit, true, 0, false, K::None},
    // A self-signed certificate is the user's to trust; pinned, it carries the session.
    {"STLS, untrusted", Stls, false, 0, false, K::CertificateUnknown},
    {"TLS from the start, untrusted", Implicit, false, 0, false, K::CertificateUnknown},
    {"STLS, pinned", Stls, false, 1, true, K::None},
    {"TLS from the start, pinned", Implicit, false, 1, false, K::None},
    {"another certificate pinned", Stls, false, 2, true, K::CertificateChanged},
    // Trusted, but issued to 127.0.0.1 only: reaching the same server as "localhost" must fail.
    {"trusted, for another host", Localhost, true, 0, false, K::TlsRefused},
    // The server without TLS, as a proxy that strips STLS would show it; then without agreement.
    {"TLS seen, none now", Plain, false, 0, true, K::TlsDowngraded},
    {"no TLS, not agreed", Plain, false, 0, false, K::PlainLoginRefused},
};

// Connects and logs in; the number of messages, or -1 (the library says why).
int login(MailLibrary& lib, const QString& host, const QString& user, const QString& password, int apopFlag,
          int* handle) {
    *handle = runTask(lib.NMailPop3Connect(host));
    return *handle < 0 ? -1 : runTask(lib.NMailPop3Authenticate(*handle, user, password, apopFlag));
}

} // namespace

class TestDovecotPop3 : public QObject {
    Q_OBJECT
    DovecotServer m_plain, m_tls;
    QList<QSslCertificate> m_ca;

private Q_SLOTS:
    void initTestCase() {
        QString error;
        QVERIFY2(m_plain.start(DovecotServer::Kind::Plain, &error), qPrintable(error));
        QVERIFY2(m_tls.start(DovecotServer::Kind::Tls, &error), qPrintable(error));
        QFile pem(m_tls.certificatePath());
        QVERIFY2(pem.open(QIODevice::ReadOnly), qPrintable(pem.fileName()));
        m_ca = QSslCertificate::fromData(pem.readAll(), QSsl::Pem);
        QCOMPARE(m_ca.size(), 1);
    }

    void logins_data() {
        QTest::addColumn<QString>("user");
        QTest::addColumn<QString>("password");
        QTest::addColumn<int>("apopFlag");
        QTest::addColumn<bool>("accepted");
        // The settings hold the password as typed: blanks and signs go out unchanged.
        for (const auto& [name, apop] : {std::pair{"USER/PASS", kUserPass}, std::pair{"APOP", kApop}}) {
            QTest::addRow("%s", name) << kAlice.user << kAlice.password << apop << true;
            QTest::addRow("%s, blanks and signs", name) << kDave.user << kDave.password << apop << true;
            QTest::addRow("%s, wrong password", name) << kAlice.user << kBob.password << apop << false;
        }
    }
    void logins() {
        QFETCH(QString, user);
        QFETCH(QString, password);
        QFETCH(int, apopFlag);
        QFETCH(bool, accepted);
        NMailLibrary lib;
        int h = -1;
        const int count = login(lib, m_plain.hostAndPort(), user, password, apopFlag, &h);
        QVERIFY2(h >= 0, qPrintable(failureSentence(lib.NMailGetError())));
        QCOMPARE(count, accepted ? kKnownMessageCount : -1);
        if (!accepted) {
            QCOMPARE(lib.NMailGetError().kind, Pop3ErrorKind::LoginRefused);
            QVERIFY(!failureSentence(lib.NMailGetError()).contains(password));
        }
        QCOMPARE(runTask(lib.NMailPop3Close(h)), 0);
    }

    // Through the server's dot-stuffing: a subject longer than the caller's buffer, cut there at a
    // whole character (the large message whole is read in tls). The subjects in other charsets are
    // judged in tst_dovecot_check.
    void longSubjectThroughTheServer() {
        NMailLibrary lib;
        int h = -1;
        QCOMPARE(login(lib, m_plain.hostAndPort(), kDave.user, kDave.password, kUserPass, &h),
                 kKnownMessageCount);
        MailFields f;
        QCOMPARE(runTask(lib.NMailPop3GetMailStatus(h, 6, f)), 0);
        QVERIFY2(f.subject.startsWith(u"長い件名の試験です"_s), qPrintable(f.subject));
        QVERIFY(cp932Length(f.subject) < kNMailDefaultFieldBuffer && f.subject.size() > 4000);
        QCOMPARE(runTask(lib.NMailPop3Close(h)), 0);
    }

    // A second check of the server, with what the first learnt of it, sends CAPA with the login and
    // the listings: two round trips fewer (CAPA alone, the listings after the login), the same mail.
    void secondCheckRoundTrips() {
        NMailLibrary lib;
        lib.NMailSetOption(kNMailOptionPlan, int(MailPlan::WholeMessages));
        lib.NMailSetOption(kNMailOptionUidls, 1);
        QList<int> roundTrips;
        QStringList bodies[2];
        for (QStringList& read : bodies) {
            Pop3Trust trust;
            trust.known = lib.NMailGetSecurity().known;
            lib.NMailSetServerTrust(trust);
            int h = -1;
            QCOMPARE(login(lib, m_plain.hostAndPort(), kDave.user, kDave.password, kUserPass, &h),
                     kKnownMessageCount);
            for (int n = 1; n <= kKnownMessageCount; ++n) {
                MailFields f;
                QString body;
                QCOMPARE(runTask(lib.NMailPop3GetMail(h, n, f, body)), 0);
                read << f.subject + body;
            }
            QCOMPARE(runTask(lib.NMailPop3Close(h)), 0);
            roundTrips << lib.lastSessionStats().roundTrips;
        }
        QCOMPARE(bodies[1], bodies[0]);
        QCOMPARE(roundTrips[1], roundTrips[0] - 2);
    }

    void deletionTakesEffectOnlyAtQuit() {
        const QString user = kAlice.user;
        QString error;
        QVERIFY2(m_plain.reset(user, &error), qPrintable(error));
        const QList<QByteArray> known = m_plain.storedMessages(user);
        QCOMPARE(known.size(), kKnownMessageCount);
        NMailLibrary lib;
        int h = -1;
        QCOMPARE(login(lib, m_plain.hostAndPort(), user, kAlice.password, kUserPass, &h), kKnownMessageCount);
        for (int n : {2, 4, 6}) {
            const int r = runTask(lib.NMailPop3DeleteMailNoWait(h, n));
            QVERIFY(r == 0 || (r == 1 && runTask(lib.NMailPop3DeleteResult(h, n, true)) == 0));
        }
        // Numbers do not shift, and the server still holds every message while the session lasts.
        MailFields f;
        QCOMPARE(runTask(lib.NMailPop3GetMailStatus(h, 3, f)), 0);
        QCOMPARE(f.subject, QStringLiteral("来週の打ち合わせについて"));
        QCOMPARE(runTask(lib.NMailPop3GetMailStatus(h, 5, f)), 0);
        QCOMPARE(f.subject, QStringLiteral("セール情報"));
        QCOMPARE(m_plain.storedMessages(user), known);
        QCOMPARE(runTask(lib.NMailPop3Close(h)), 0);
        QTRY_COMPARE(m_plain.storedMessages(user),
                     (QList<QByteArray>{known[0], known[2], known[4], known[6]}));
    }

    void tls_data() { indexRows(kTls); }
    void tls() {
        QFETCH(int, row);
        const auto& [name, where, trusted, pin, tlsSeen, kind] = kTls[row];
        const QString hosts[] = {u"127.0.0.1:%1"_s.arg(m_tls.port()),
                                 u"pop3s://127.0.0.1:%1"_s.arg(m_tls.tlsPort()),
                                 u"pop3s://localhost:%1"_s.arg(m_tls.tlsPort()), m_plain.hostAndPort()};
        const QString host = hosts[where];
        const bool works = kind == Pop3ErrorKind::None;
        DovecotServer& server = where == Plain ? m_plain : m_tls;
        const QString user = kAlice.user;
        QString error;
        QVERIFY2(server.reset(user, &error), qPrintable(error));
        // As if the server were elsewhere.
        NMailLibrary lib(testing::TestTransport::in({}, trusted ? m_ca : QList<QSslCertificate>{}, true));
        Pop3Trust trust;
        trust.tlsSeen = tlsSeen;
        if (pin != 0)
            trust.pinnedSha256 =
                pin == 1 ? m_ca[0].digest(QCryptographicHash::Sha256) : QByteArray(32, '\x42');
        lib.NMailSetServerTrust(trust);
        const qint64 logStart = server.log().size();
        int h = -1;
        const int count = login(lib, host, user, kAlice.password, kUserPass, &h);
        MailFields f;
        QString body;
        // The large message crosses many TLS records.
        const bool fetched = count > 0 && runTask(lib.NMailPop3GetMail(h, kKnownMessageCount, f, body)) == 0;
        const bool deleted = count > 0 && runTask(lib.NMailPop3DeleteMail(h, 2)) == 0;
        const bool closed = h >= 0 && runTask(lib.NMailPop3Close(h)) == 0;
        QCOMPARE(lib.NMailGetError().kind, kind);

        // Dovecot's log process writes a session's last line shortly after the session ends.
        QByteArray log;
        static_cast<void>(QTest::qWaitFor(
            [&] { return (log = server.log(logStart)).contains("Disconnected"); }, kLogWaitMs));
        if (!works && trusted && !log.contains("rip=127.0.0.1"))
            QSKIP("\"localhost\" does not lead to 127.0.0.1 here");
        QVERIFY2(log.contains("rip=127.0.0.1"), "the server saw no connection");
        if (!works) {
            QCOMPARE(count, -1);
            // The account never reached the server, neither by TLS nor by falling back to plain text.
            QVERIFY2(!log.contains("user=<alice>"), log.constData());
            QCOMPARE(server.storedMessages(user).size(), kKnownMessageCount);
            return;
        }
        QCOMPARE(count, kKnownMessageCount);
        QVERIFY(fetched && deleted && closed);
        // A lone "." inside the message does not end it early, and no stuffing dot remains.
        QVERIFY(body.contains(u"0123456789\r\n.dot-leading line\r\n.\r\n..\r\narchive line 02001:"_s));
        QVERIFY(body.contains(u"archive line 00001:"_s) && body.contains(u"archive line 04000:"_s));
        QVERIFY(body.endsWith(u"end of archive\r\n"));
        const qsizetype at = log.indexOf("Login: user=<alice>");
        QVERIFY2(at >= 0 && log.mid(at, log.indexOf('\n', at) - at).contains("TLS"), log.constData());
        QTRY_COMPARE(m_tls.storedMessages(user).size(), kKnownMessageCount - 1);
        QCOMPARE(lib.NMailGetSecurity().certificate.pinned, pin == 1);
    }
};

QTEST_GUILESS_MAIN(TestDovecotPop3)
#include "tst_dovecot_pop3.moc"
