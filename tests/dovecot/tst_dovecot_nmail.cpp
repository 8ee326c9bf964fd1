// The program's mail library against a real POP3 server (Dovecot), on the mailbox "alice": what only
// a real server shows. Logins, decoding and the rules through a real server are pinned by
// tst_dovecot_check (brindle-check, which runs on this library); TLS by tst_dovecot_tls.
#include "DovecotServer.h"
#include "mailcheck/MailLibrary.h"

#include <QTest>

using brindle::MailFields;
using brindle::nmail;

namespace {

constexpr int kApop = -1;
constexpr int kUserPass = 0;
const QString kUser = QString::fromLatin1(kAlice.user);
const QString kPassword = QString::fromLatin1(kAlice.password);

// Bytes the text takes in code page 932, for the characters the test mails use: ASCII and
// half-width katakana take one byte, everything else two.
qsizetype cp932Length(const QString& text) {
    qsizetype n = 0;
    for (const QChar c : text)
        n += (c.unicode() < 0x80 || (c.unicode() >= 0xFF61 && c.unicode() <= 0xFF9F)) ? 1 : 2;
    return n;
}

// The caller's field buffers: 8192 bytes, NUL included.
constexpr qsizetype kFieldBufferBytes = 8192;

} // namespace

class TestDovecotNMail : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanupTestCase();

    void largeMessagesComeWhole();
    void sizesMatchServer();
    void deletionTakesEffectOnlyAtClose();
    void deletionOfMissingMessageRefused();
    void droppedConnectionDeletesNothing();

private:
    // Connects and logs in as alice; fails the test otherwise.
    int openSession(int apopFlag = kUserPass, int* count = nullptr);

    DovecotServer m_server;
    bool m_mailboxChanged = true;
};

void TestDovecotNMail::initTestCase() {
    QString error;
    QVERIFY2(m_server.start(&error), qPrintable(error));
    QVERIFY(nmail().NMailInitializeWinSock());
    nmail().NMailSetOption(1, 8192);
}

void TestDovecotNMail::init() {
    // Most tests only read: the mailbox is put back only after one that may have changed it.
    if (!m_mailboxChanged)
        return;
    QString error;
    QVERIFY2(m_server.reset(kUser, &error), qPrintable(error));
    m_mailboxChanged = false;
}

void TestDovecotNMail::cleanupTestCase() {
    nmail().NMailEndWinSock();
}

int TestDovecotNMail::openSession(int apopFlag, int* count) {
    const int handle = nmail().NMailPop3Connect(m_server.hostAndPort());
    if (handle == -1) {
        QTest::qFail(qPrintable(QStringLiteral("connect failed: ") + nmail().NMailGetMessage()), __FILE__,
                     __LINE__);
        return -1;
    }
    const int n = nmail().NMailPop3Authenticate(handle, kUser, kPassword, apopFlag);
    if (n < 0) {
        QTest::qFail(qPrintable(QStringLiteral("login failed: ") + nmail().NMailGetMessage()), __FILE__,
                     __LINE__);
        nmail().NMailPop3Close(handle);
        return -1;
    }
    if (count)
        *count = n;
    return handle;
}

void TestDovecotNMail::largeMessagesComeWhole() {
    // Message 6 has a subject of 5040 double-byte characters, 10080 bytes in code page 932.
    const QString fullSubject = QStringLiteral("長い件名の試験です").repeated(560);
    const int handle = openSession();
    if (QTest::currentTestFailed())
        return;
    MailFields fields;
    QString body;
    const int status = nmail().NMailPop3GetMailStatus(handle, 6, fields);
    const QString subject = fields.subject;
    const QString header = fields.header;
    const int fetched = nmail().NMailPop3GetMail(handle, 6, fields, body);
    MailFields archiveFields;
    QString archive;
    const int archiveFetched = nmail().NMailPop3GetMail(handle, kKnownMessageCount, archiveFields, archive);
    QCOMPARE(nmail().NMailPop3Close(handle), 0);
    QVERIFY(status >= 0);
    QVERIFY(fetched >= 0);
    QVERIFY(archiveFetched >= 0);

    QVERIFY2(cp932Length(subject) < kFieldBufferBytes, qPrintable(QString::number(cp932Length(subject))));
    QVERIFY2(cp932Length(header) < kFieldBufferBytes, qPrintable(QString::number(cp932Length(header))));
    // Cut, not dropped: the subject fills the buffer as far as whole characters go.
    QVERIFY2(subject.size() > 4000, qPrintable(QString::number(subject.size())));
    QVERIFY(fullSubject.startsWith(subject));
    QCOMPARE(fields.subject, subject);
    QVERIFY(header.startsWith(QStringLiteral("Return-Path:")));
    // The body is not a field: it comes whole.
    QVERIFY(body.contains(QStringLiteral("件名がとても長いメールです。")));

    // Message 7 is far beyond any buffer; a lone "." inside it must not end it early, and no
    // stuffing dot may remain.
    archive.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    QVERIFY2(archive.contains(QStringLiteral("0123456789\n.dot-leading line\n.\n..\narchive line 02001:")),
             qPrintable(archive.mid(archive.indexOf(QStringLiteral("archive line 02000")), 300)));
    QVERIFY(archive.contains(QStringLiteral("archive line 00001:")));
    QVERIFY(archive.contains(QStringLiteral("end of archive")));
}

void TestDovecotNMail::sizesMatchServer() {
    const QList<QByteArray> stored = m_server.storedMessages(kUser);
    QCOMPARE(stored.size(), kKnownMessageCount);
    Pop3Probe probe(m_server.port());
    const QList<qint64> listed = probe.sizes(kAlice.user, kAlice.password);
    QCOMPARE(listed.size(), kKnownMessageCount);

    const int handle = openSession();
    if (QTest::currentTestFailed())
        return;
    QList<qint64> sizes;
    for (int n = 1; n <= kKnownMessageCount; ++n)
        sizes.append(nmail().NMailPop3GetMailSize(handle, n));
    QCOMPARE(nmail().NMailPop3Close(handle), 0);
    QCOMPARE(sizes, listed);
    for (int i = 0; i < kKnownMessageCount; ++i)
        QCOMPARE(sizes[i], DovecotServer::networkSize(stored[i]));
}

void TestDovecotNMail::deletionTakesEffectOnlyAtClose() {
    m_mailboxChanged = true;
    Pop3Probe probe(m_server.port());
    const int handle = openSession();
    if (QTest::currentTestFailed())
        return;
    QCOMPARE(nmail().NMailPop3DeleteMail(handle, 2), 0);
    QCOMPARE(nmail().NMailPop3DeleteMail(handle, 4), 0);
    QCOMPARE(nmail().NMailPop3DeleteMail(handle, 6), 0);

    // Numbers do not shift: message 3 is still the third message.
    MailFields fields;
    QVERIFY(nmail().NMailPop3GetMailStatus(handle, 3, fields) >= 0);
    QCOMPARE(fields.subject, QStringLiteral("来週の打ち合わせについて"));
    QVERIFY(nmail().NMailPop3GetMailStatus(handle, 5, fields) >= 0);
    QCOMPARE(fields.subject, QStringLiteral("セール情報"));

    // While the session lasts the server still holds every message.
    QCOMPARE(probe.count(kAlice.user, kAlice.password), kKnownMessageCount);
    QCOMPARE(nmail().NMailPop3Close(handle), 0);
    QCOMPARE(probe.count(kAlice.user, kAlice.password), kKnownMessageCount - 3);

    // The right ones went.
    int count = 0;
    const int again = openSession(kUserPass, &count);
    if (QTest::currentTestFailed())
        return;
    QCOMPARE(count, kKnownMessageCount - 3);
    QStringList subjects;
    for (int n = 1; n <= count; ++n) {
        QVERIFY(nmail().NMailPop3GetMailStatus(again, n, fields) >= 0);
        subjects.append(fields.subject);
    }
    QCOMPARE(nmail().NMailPop3Close(again), 0);
    QCOMPARE(subjects,
             (QStringList{QStringLiteral("Weekly report"), QStringLiteral("来週の打ち合わせについて"),
                          QStringLiteral("セール情報"), QStringLiteral("Monthly archive")}));
}

void TestDovecotNMail::deletionOfMissingMessageRefused() {
    m_mailboxChanged = true;
    const int handle = openSession();
    if (QTest::currentTestFailed())
        return;
    QVERIFY(nmail().NMailPop3DeleteMail(handle, kKnownMessageCount + 1) < 0);
    QVERIFY(nmail().NMailPop3DeleteMail(handle, 0) < 0);
    QCOMPARE(nmail().NMailPop3DeleteMail(handle, 1), 0);
    // Dovecot refuses a second DELE of the same message.
    QVERIFY(nmail().NMailPop3DeleteMail(handle, 1) < 0);
    QCOMPARE(nmail().NMailPop3Close(handle), 0);
    Pop3Probe probe(m_server.port());
    QCOMPARE(probe.count(kAlice.user, kAlice.password), kKnownMessageCount - 1);
}

void TestDovecotNMail::droppedConnectionDeletesNothing() {
    m_mailboxChanged = true;
    const int handle = openSession();
    if (QTest::currentTestFailed())
        return;
    QCOMPARE(nmail().NMailPop3DeleteMail(handle, 1), 0);
    QCOMPARE(nmail().NMailPop3DeleteMail(handle, 3), 0);
    QString error;
    QVERIFY2(m_server.kick(kUser, &error), qPrintable(error));

    // The server never saw QUIT: the close must say that the deletions did not take effect.
    QVERIFY(nmail().NMailPop3Close(handle) < 0);
    QVERIFY(!nmail().NMailGetMessage().trimmed().isEmpty());
    Pop3Probe probe(m_server.port());
    QCOMPARE(probe.count(kAlice.user, kAlice.password), kKnownMessageCount);

    // The library is usable again after the lost connection.
    int count = 0;
    const int again = openSession(kApop, &count);
    if (QTest::currentTestFailed())
        return;
    QCOMPARE(count, kKnownMessageCount);
    QCOMPARE(nmail().NMailPop3Close(again), 0);
}

QTEST_GUILESS_MAIN(TestDovecotNMail)
#include "tst_dovecot_nmail.moc"
