// The Dovecot instance that the integration tests stand on: if these fail, the failures of the
// other Dovecot tests say nothing about the program.
#include "DovecotServer.h"

#include <QTest>

class TestDovecotServer : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void greetingOffersApop();
    void knownMailboxMatchesServerListing();
    void apopLoginChecksPassword();
    void quitCommitsDeletionAndResetRestores();
    void kickDropsSessionWithoutDeleting();

private:
    DovecotServer m_server;
};

void TestDovecotServer::initTestCase() {
    QString error;
    QVERIFY2(m_server.start(&error), qPrintable(error));
    QVERIFY2(m_server.reset(QString::fromLatin1(kCarol.user), &error), qPrintable(error));
}

void TestDovecotServer::greetingOffersApop() {
    Pop3Probe probe(m_server.port());
    const QByteArray greeting = probe.greeting();
    QVERIFY2(greeting.startsWith("+OK"), qPrintable(probe.lastError()));
    QVERIFY2(greeting.contains('<') && greeting.contains('@') && greeting.endsWith('>'),
             greeting.constData());
}

void TestDovecotServer::knownMailboxMatchesServerListing() {
    Pop3Probe probe(m_server.port());
    const QList<qint64> listed = probe.sizes(kCarol.user, kCarol.password);
    QVERIFY2(!listed.isEmpty(), qPrintable(probe.lastError()));
    const QList<QByteArray> stored = m_server.storedMessages(QString::fromLatin1(kCarol.user));
    QCOMPARE(listed.size(), kKnownMessageCount);
    QCOMPARE(stored.size(), kKnownMessageCount);
    for (int i = 0; i < stored.size(); ++i)
        QCOMPARE(listed[i], DovecotServer::networkSize(stored[i]));
    // The large message must exceed every fixed 8192-byte buffer by far.
    QVERIFY(listed.last() > 30 * 8192);
}

void TestDovecotServer::apopLoginChecksPassword() {
    Pop3Probe probe(m_server.port());
    QVERIFY2(probe.apopLogin(kCarol.user, kCarol.password), qPrintable(probe.lastError()));
    QVERIFY(!probe.apopLogin(kCarol.user, "Carol-pw.4"));
    QVERIFY(!probe.apopLogin(kCarol.user, kAlice.password));
}

void TestDovecotServer::quitCommitsDeletionAndResetRestores() {
    const QString user = QString::fromLatin1(kCarol.user);
    Pop3Session session;
    QString error;
    QByteArray reply;
    QVERIFY2(session.open(m_server.port(), &error), qPrintable(error));
    QVERIFY2(session.login(kCarol.user, kCarol.password, &error), qPrintable(error));
    QVERIFY2(session.command("DELE 2", &reply, &error), qPrintable(error));
    QVERIFY2(session.quit(&error), qPrintable(error));

    Pop3Probe probe(m_server.port());
    QCOMPARE(probe.count(kCarol.user, kCarol.password), kKnownMessageCount - 1);
    QVERIFY2(m_server.reset(user, &error), qPrintable(error));
    QCOMPARE(probe.count(kCarol.user, kCarol.password), kKnownMessageCount);
}

void TestDovecotServer::kickDropsSessionWithoutDeleting() {
    Pop3Session session;
    QString error;
    QByteArray reply;
    QVERIFY2(session.open(m_server.port(), &error), qPrintable(error));
    QVERIFY2(session.login(kCarol.user, kCarol.password, &error), qPrintable(error));
    QVERIFY2(session.command("DELE 1", &reply, &error), qPrintable(error));
    QVERIFY2(m_server.kick(QString::fromLatin1(kCarol.user), &error), qPrintable(error));
    QVERIFY(!session.quit(&error));

    Pop3Probe probe(m_server.port());
    QCOMPARE(probe.count(kCarol.user, kCarol.password), kKnownMessageCount);
}

QTEST_GUILESS_MAIN(TestDovecotServer)
#include "tst_dovecot_server.moc"
