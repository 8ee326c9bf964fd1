// Trust questions through a whole check against a "remote" in-process server: asked, wire, tls.ini.
#include "mailcheck/TlsMemory.h"
#include "support/Rows.h"
#include "support/ServerCheck.h"
#include "support/TestTransport.h"

#include <QCryptographicHash>
#include <QTest>

using namespace brindle;
using brindle::test::indexRows;
using namespace brindle::fake;
using namespace brindle::testing;
using namespace Qt::StringLiterals;
using Tls = FakePop3Options::Tls;
using Question = CheckHost::TrustQuestion::Kind;
using Status = CheckOutcome::Status;

const QList<Question> kPlain{Question::PlainLogin}, kCert{Question::Certificate},
    kChanged{Question::ChangedCertificate};
// known: in tls.ini: 0 nothing, 1 TLS seen, 2 another certificate pinned; boxes: "エラー" boxes.
const std::tuple<const char*, Tls, int, bool, bool, QList<Question>, Status, int> kQuestions[]{
    {"no TLS, agreed", Tls::None, 0, true, true, kPlain, Status::Done, 0},
    {"no TLS, refused", Tls::None, 0, true, false, kPlain, Status::NoConnection, 1},
    {"no TLS, refused, interval", Tls::None, 0, false, false, kPlain, Status::NoConnection, 0},
    {"certificate trusted", Tls::StartTls, 0, true, true, kCert, Status::Done, 0},
    {"certificate refused", Tls::Implicit, 0, true, false, kCert, Status::NoConnection, 1},
    {"changed certificate trusted", Tls::StartTls, 2, true, true, kChanged, Status::Done, 0},
    // A refusal of ours is no question, and is told whoever started the check.
    {"TLS given up, interval", Tls::None, 1, false, true, {}, Status::NoConnection, 1},
};

class TestTrust : public QObject {
    Q_OBJECT
    QTemporaryDir m_certDir;
    TestCertificates m_certs;
    std::unique_ptr<TempAppFolder> m_folder;

private Q_SLOTS:
    void initTestCase() { m_certs = makeTestCertificates(m_certDir.path()); }

    void questions_data() { indexRows(kQuestions); }
    void questions() {
        QFETCH(int, row);
        const auto& [name, tls, known, byHand, yes, asked, status, boxes] = kQuestions[row];
        if (!m_certs.error.isEmpty())
            QSKIP(qPrintable(m_certs.error));
        QVERIFY(freshFolder(m_folder));
        FakePop3Options o;
        o.messages = {"Subject: junk\r\n\r\nbody\r\n", "Subject: hello\r\n\r\nbody\r\n"};
        o.tls = tls;
        o.certificate = m_certs.good; // of a CA the library is not told of
        o.privateKey = m_certs.goodKey;
        FakePop3Server server(o);
        QVERIFY(server.start());
        ProgramValues values;
        values.server.pop3Server = (tls == Tls::Implicit ? "pop3s://" : "") + server.address();
        const QString key = serverTrustKey(values.server.pop3Server);
        Pop3Trust before;
        before.tlsSeen = known == 1;
        if (known == 2)
            before.pinnedSha256 = m_certs.wrongHost.digest(QCryptographicHash::Sha256);
        QVERIFY(known == 0 || rememberTrust(tlsMemoryPath(), key, before));

        NMailLibrary library(testing::TestTransport::in({}, {}, true));
        CheckInputs inputs = readCheckInputs(values);
        inputs.account = {"user", "secret"};
        inputs.keywords = {"junk"};
        FakeHost host;
        host.rules = {CheckHost::RuleSwitch::Keyword};
        host.trusting = yes;
        MailCheckRun run(host, library, std::move(inputs));
        run.setStartKind(byHand ? MailCheckRun::StartKind::ByHand : MailCheckRun::StartKind::Interval);
        const CheckOutcome outcome = runTask(run.run());
        QVERIFY(rememberOutcome(values, outcome));

        QCOMPARE(outcome.status, status);
        QList<Question> kinds;
        for (const CheckHost::TrustQuestion& q : std::as_const(host.questions)) {
            kinds << q.kind;
            // Of what they are asked to trust, the user sees the fingerprint and the names.
            const QString text = trustQuestionBox(q).text;
            QVERIFY(q.server == key &&
                    (q.kind == Question::PlainLogin ||
                     (text.contains(fingerprintText(q.sha256)) && text.contains(u"localhost"))));
        }
        QVERIFY(kinds == asked && host.boxes.size() == boxes);
        const Pop3Trust after = trustFor(tlsMemoryPath(), key);
        QCOMPARE(after.tlsSeen, tls != Tls::None || known == 1);
        QCOMPARE(after.plainAgreed, tls == Tls::None && yes && !asked.isEmpty());
        QCOMPARE(after.pinnedSha256 == m_certs.good.digest(QCryptographicHash::Sha256),
                 tls != Tls::None && yes);
        QVERIFY(tls == Tls::None && yes ? true : !server.receivedInClear(0).contains("PASS "));
        // Trusted, the check runs on a second connection and deletes; refused, nothing changes.
        QCOMPARE(server.mailbox().size(), status == Status::Done ? 1 : 2);
        QCOMPARE(server.connectionCount(), status == Status::Done ? 2 : 1);
    }

    // The file keeps what was learnt, merged with what another program wrote meanwhile.
    void memoryFile() {
        QVERIFY(freshFolder(m_folder));
        const QString path = tlsMemoryPath();
        Pop3Trust seen, agreed, pin;
        seen.tlsSeen = agreed.plainAgreed = true;
        pin.pinnedSha256 = QByteArray(32, '\x5a');
        QVERIFY(rememberTrust(path, "Mail.Example:110", seen) &&
                rememberTrust(path, serverTrustKey("pop3s://[::1]"), pin) &&
                rememberTrust(path, "mail.example:110", agreed));
        const QList<TlsMemoryEntry> entries = readTlsMemory(path);
        QCOMPARE(entries.size(), 2);
        QVERIFY(entries[0].key == "mail.example:110" && entries[0].trust.tlsSeen &&
                entries[0].trust.plainAgreed && entries[1].key == "[::1]:995" && entries[1].trust == pin);
        QVERIFY(writeFile(path, QByteArray(kTlsMemoryMaxBytes + 1, '#')));
        QVERIFY(readTlsMemory(path).isEmpty() && !rememberTrust(path, "mail.example:110", seen));
    }
};

QTEST_GUILESS_MAIN(TestTrust)
#include "tst_trust.moc"
