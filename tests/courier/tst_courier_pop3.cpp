// Against Courier: a raw Shift_JIS header reaches us whole once UTF8 is on (RFC 6856); DELE at QUIT.
#include "mailcheck/NMail.h"
#include "support/RunTask.h"
#include "support/TestFiles.h"
#include "ui/texts/CheckTexts.h"

#include <QDir>
#include <QProcess>
#include <QTest>

using brindle::testing::readFile;
using brindle::testing::runTask;
using namespace brindle;
using namespace Qt::StringLiterals;

#ifndef BRINDLE_COURIER_HARNESS
#error "BRINDLE_COURIER_HARNESS must name courier-harness.sh"
#endif

class TestCourierPop3 : public QObject {
    Q_OBJECT
    QString m_work; // the fixture's folder
    QString m_server;
    QString m_maildir;

private Q_SLOTS:
    void initTestCase() {
        m_work = qEnvironmentVariable("BRINDLE_COURIER_DIR");
        const QString dir = QString::fromLocal8Bit(readFile(m_work + u"/server-dir"_s).trimmed());
        const QByteArray port = readFile(dir + u"/port"_s).trimmed();
        QVERIFY2(!dir.isEmpty() && !port.isEmpty(),
                 qPrintable(u"no Courier server for \"%1\": run the test through ctest, which starts it "
                            u"(see courier_start; is Courier installed?)"_s.arg(m_work)));
        m_server = u"127.0.0.1:"_s + QString::fromLatin1(port);
        m_maildir = dir + u"/mail/carol"_s;
    }

    void rawShiftJisHeader_data() {
        QTest::addColumn<bool>("pipelining");
        QTest::newRow("pipelined") << true;
        QTest::newRow("one command at a time") << false;
    }
    void rawShiftJisHeader() {
        QFETCH(bool, pipelining);
        QCOMPARE(QProcess::execute(QStringLiteral(BRINDLE_COURIER_HARNESS), {u"reset"_s, m_work}), 0);

        NMailLibrary lib;
        lib.NMailSetOption(kNMailOptionPipelining, pipelining ? 1 : 0);
        lib.NMailSetOption(kNMailOptionPlan, int(MailPlan::WholeMessages));
        const int h = runTask(lib.NMailPop3Connect(m_server));
        QVERIFY2(h >= 0, qPrintable(failureSentence(lib.NMailGetError())));
        QCOMPARE(runTask(lib.NMailPop3Authenticate(h, u"carol"_s, u"Carol-pw.3"_s, 0)), 2);
        MailFields f;
        QString body;
        QCOMPARE(runTask(lib.NMailPop3GetMail(h, 1, f, body)), 0);
        QCOMPARE(f.subject, u"テストの件名です"_s);
        QCOMPARE(body.trimmed(), u"本文：こんにちは"_s);
        QCOMPARE(runTask(lib.NMailPop3GetMailStatus(h, 2, f)), 0);
        QCOMPARE(f.subject, u"plain ascii"_s);
        QCOMPARE(runTask(lib.NMailPop3DeleteMail(h, 2)), 0);
        QCOMPARE(runTask(lib.NMailPop3Close(h)), 0);
        QTRY_COMPARE(QDir(m_maildir + u"/cur"_s).entryList(QDir::Files).size() +
                         QDir(m_maildir + u"/new"_s).entryList(QDir::Files).size(),
                     1);
    }

    // Courier drops what comes behind the login: a second check, with what the first learnt, still
    // sends the listings after the login is answered (and saves CAPA's own round trip).
    void secondCheckRoundTrips() {
        QCOMPARE(QProcess::execute(QStringLiteral(BRINDLE_COURIER_HARNESS), {u"reset"_s, m_work}), 0);
        NMailOptions options;
        options.replyTimeoutMs = 5000;
        NMailLibrary lib(options);
        lib.NMailSetOption(kNMailOptionPlan, int(MailPlan::WholeMessages));
        QList<int> roundTrips;
        for (int check = 0; check < 2; ++check) {
            Pop3Trust trust;
            trust.known = lib.NMailGetSecurity().known;
            lib.NMailSetServerTrust(trust);
            const int h = runTask(lib.NMailPop3Connect(m_server));
            QCOMPARE(runTask(lib.NMailPop3Authenticate(h, u"carol"_s, u"Carol-pw.3"_s, 0)), 2);
            MailFields f;
            QString body;
            // Read backwards, each fetch waits alone: the count does not hang on timing.
            QCOMPARE(runTask(lib.NMailPop3GetMail(h, 2, f, body)), 0);
            QCOMPARE(runTask(lib.NMailPop3GetMail(h, 1, f, body)), 0);
            QCOMPARE(f.subject, u"テストの件名です"_s);
            QCOMPARE(runTask(lib.NMailPop3Close(h)), 0);
            QVERIFY(lib.NMailGetSecurity().known.loginApart);
            roundTrips << lib.lastSessionStats().roundTrips;
        }
        QCOMPARE(roundTrips[1], roundTrips[0] - 1);
    }
};

QTEST_GUILESS_MAIN(TestCourierPop3)
#include "tst_courier_pop3.moc"
