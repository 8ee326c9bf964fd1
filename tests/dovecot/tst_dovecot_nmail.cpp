// The program's mail library against a real POP3 server (Dovecot), on the mailbox "alice".
#include "DovecotServer.h"
#include "mailcheck/MailLibrary.h"

#include <QTcpServer>
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

// A port on the loopback interface that nothing listens on.
quint16 closedPort() {
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost, 0))
        return 0;
    const quint16 port = probe.serverPort();
    probe.close();
    return port;
}

} // namespace

class TestDovecotNMail : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanupTestCase();

    void loginCountsMessages_data();
    void loginCountsMessages();
    void passwordWithBlanksAndSigns_data();
    void passwordWithBlanksAndSigns();
    void refusedLoginExplainsWithoutPassword_data();
    void refusedLoginExplainsWithoutPassword();
    void unreachableServerFails();
    void headerFieldsDecoded_data();
    void headerFieldsDecoded();
    void bodyTextDecoded_data();
    void bodyTextDecoded();
    void longFieldsCutToBuffer();
    void dotStuffedLinesRestored();
    void sizesMatchServer();
    void emptyMailboxCountsZero();
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

void TestDovecotNMail::loginCountsMessages_data() {
    QTest::addColumn<int>("apopFlag");
    QTest::newRow("USER/PASS") << kUserPass;
    QTest::newRow("APOP") << kApop;
}

void TestDovecotNMail::loginCountsMessages() {
    QFETCH(int, apopFlag);
    int count = -1;
    const int handle = openSession(apopFlag, &count);
    if (QTest::currentTestFailed())
        return;
    QCOMPARE(count, kKnownMessageCount);
    QCOMPARE(nmail().NMailPop3Close(handle), 0);
}

void TestDovecotNMail::passwordWithBlanksAndSigns_data() {
    loginCountsMessages_data();
}

void TestDovecotNMail::passwordWithBlanksAndSigns() {
    QFETCH(int, apopFlag);
    const int handle = nmail().NMailPop3Connect(m_server.hostAndPort());
    QVERIFY2(handle != -1, qPrintable(nmail().NMailGetMessage()));
    const int count = nmail().NMailPop3Authenticate(handle, QString::fromLatin1(kDave.user),
                                                    QString::fromLatin1(kDave.password), apopFlag);
    const QString why = nmail().NMailGetMessage();
    QCOMPARE(nmail().NMailPop3Close(handle), 0);
    QVERIFY2(count == kKnownMessageCount, qPrintable(why));
}

void TestDovecotNMail::refusedLoginExplainsWithoutPassword_data() {
    QTest::addColumn<int>("apopFlag");
    QTest::addColumn<QString>("user");
    QTest::addColumn<QString>("password");
    const QString wrong = QStringLiteral("Wr0ng-Secret-7319");
    QTest::newRow("USER/PASS, wrong password") << kUserPass << kUser << wrong;
    QTest::newRow("APOP, wrong password") << kApop << kUser << wrong;
    // Dovecot answers every refusal after half a second: keep the rows few.
    QTest::newRow("APOP, unknown user") << kApop << QStringLiteral("mallory") << kPassword;
}

void TestDovecotNMail::refusedLoginExplainsWithoutPassword() {
    QFETCH(int, apopFlag);
    QFETCH(QString, user);
    QFETCH(QString, password);
    const int handle = nmail().NMailPop3Connect(m_server.hostAndPort());
    QVERIFY2(handle != -1, qPrintable(nmail().NMailGetMessage()));
    QVERIFY(nmail().NMailPop3Authenticate(handle, user, password, apopFlag) < 0);
    const QString why = nmail().NMailGetMessage();
    nmail().NMailPop3Close(handle);
    QVERIFY2(!why.trimmed().isEmpty(), "a refused login must come with a reason");
    QVERIFY2(!why.contains(password), qPrintable(why));
    for (const QChar c : why)
        QVERIFY2(c.isPrint() || c == u'\n', qPrintable(QStringLiteral("unreadable reason: ") + why));

    // The refusal leaves the mailbox as it was.
    Pop3Probe probe(m_server.port());
    QCOMPARE(probe.count(kAlice.user, kAlice.password), kKnownMessageCount);
}

void TestDovecotNMail::unreachableServerFails() {
    const quint16 port = closedPort();
    QVERIFY(port != 0);
    QCOMPARE(nmail().NMailPop3Connect(QStringLiteral("127.0.0.1:%1").arg(port)), -1);
    QVERIFY(!nmail().NMailGetMessage().trimmed().isEmpty());
}

void TestDovecotNMail::headerFieldsDecoded_data() {
    QTest::addColumn<int>("n");
    QTest::addColumn<QString>("subject");
    QTest::addColumn<QString>("fromAddress");
    QTest::addColumn<QString>("headerLine");
    QTest::newRow("plain ASCII") << 1 << QStringLiteral("Weekly report") << QStringLiteral("taro@example.jp")
                                 << QStringLiteral("Message-ID: <plain-0001@example.jp>");
    QTest::newRow("ISO-2022-JP, folded words")
        << 2 << QStringLiteral("【重要】無料プレゼントのお知らせ") << QStringLiteral("campaign@spam.example")
        << QStringLiteral("Message-ID: <jis-0002@spam.example>");
    QTest::newRow("UTF-8 words") << 3 << QStringLiteral("来週の打ち合わせについて")
                                 << QStringLiteral("hanako@example.org")
                                 << QStringLiteral("Message-ID: <utf8-0003@example.org>");
    QTest::newRow("multipart HTML") << 4 << QStringLiteral("Spring Sale")
                                    << QStringLiteral("news@shop.example")
                                    << QStringLiteral("Message-ID: <html-0004@shop.example>");
    QTest::newRow("Shift_JIS word, bare address")
        << 5 << QStringLiteral("セール情報") << QStringLiteral("sale@ads.example")
        << QStringLiteral("Message-ID: <sjis-0005@ads.example>");
    QTest::newRow("large") << 7 << QStringLiteral("Monthly archive") << QStringLiteral("archive@example.net")
                           << QStringLiteral("Message-ID: <large-0006@example.net>");
}

void TestDovecotNMail::headerFieldsDecoded() {
    QFETCH(int, n);
    QFETCH(QString, subject);
    QFETCH(QString, fromAddress);
    QFETCH(QString, headerLine);
    const int handle = openSession();
    if (QTest::currentTestFailed())
        return;
    MailFields status;
    const int statusResult = nmail().NMailPop3GetMailStatus(handle, n, status);
    MailFields full;
    QString body;
    const int mailResult = nmail().NMailPop3GetMail(handle, n, full, body);
    QCOMPARE(nmail().NMailPop3Close(handle), 0);

    QVERIFY2(statusResult >= 0, qPrintable(nmail().NMailGetMessage()));
    QCOMPARE(status.subject, subject);
    QCOMPARE(status.fromAddress, fromAddress);
    QVERIFY2(status.header.contains(headerLine), qPrintable(status.header));
    // The header text is decoded: no encoded word of the raw header survives.
    QVERIFY2(!status.header.contains(QStringLiteral("=?")), qPrintable(status.header));

    // Fetching the whole message gives the same fields.
    QVERIFY2(mailResult >= 0, qPrintable(nmail().NMailGetMessage()));
    QCOMPARE(full.subject, subject);
    QCOMPARE(full.fromAddress, fromAddress);
    QVERIFY(full.header.contains(headerLine));
}

void TestDovecotNMail::bodyTextDecoded_data() {
    QTest::addColumn<int>("n");
    QTest::addColumn<QStringList>("expected");
    QTest::newRow("plain ASCII") << 1 << QStringList{QStringLiteral("Nothing urgent this week.")};
    QTest::newRow("ISO-2022-JP with NEC row 13")
        << 2
        << QStringList{QStringLiteral("会員の皆様へ"),
                       QStringLiteral("①㈱会員限定の無料プレゼントをご用意しました。")};
    QTest::newRow("UTF-8 base64") << 3
                                  << QStringList{
                                         QStringLiteral("来週の打ち合わせは水曜日の午後三時からです。"),
                                         QStringLiteral("よろしくお願いします。")};
    QTest::newRow("HTML part reaches the body") << 4 << QStringList{QStringLiteral("</html>")};
    QTest::newRow("Shift_JIS quoted-printable") << 5 << QStringList{QStringLiteral("本日限定セール実施中")};
    QTest::newRow("large, to the last line")
        << 7
        << QStringList{QStringLiteral("archive line 00001:"), QStringLiteral("archive line 04000:"),
                       QStringLiteral("end of archive")};
}

void TestDovecotNMail::bodyTextDecoded() {
    QFETCH(int, n);
    QFETCH(QStringList, expected);
    const int handle = openSession();
    if (QTest::currentTestFailed())
        return;
    MailFields fields;
    QString body;
    const int result = nmail().NMailPop3GetMail(handle, n, fields, body);
    QCOMPARE(nmail().NMailPop3Close(handle), 0);
    QVERIFY2(result >= 0, qPrintable(nmail().NMailGetMessage()));
    for (const QString& text : expected)
        QVERIFY2(body.contains(text),
                 qPrintable(QStringLiteral("missing \"%1\" in:\n%2").arg(text, body.left(2000))));
    // Headers are not part of the body text.
    QVERIFY(!body.contains(QStringLiteral("Message-ID:")));
}

void TestDovecotNMail::longFieldsCutToBuffer() {
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
    QCOMPARE(nmail().NMailPop3Close(handle), 0);
    QVERIFY(status >= 0);
    QVERIFY(fetched >= 0);

    QVERIFY2(cp932Length(subject) < kFieldBufferBytes, qPrintable(QString::number(cp932Length(subject))));
    QVERIFY2(cp932Length(header) < kFieldBufferBytes, qPrintable(QString::number(cp932Length(header))));
    // Cut, not dropped: the subject fills the buffer as far as whole characters go.
    QVERIFY2(subject.size() > 4000, qPrintable(QString::number(subject.size())));
    QVERIFY(fullSubject.startsWith(subject));
    QCOMPARE(fields.subject, subject);
    QVERIFY(header.startsWith(QStringLiteral("Return-Path:")));
    // The body is not a field: it comes whole.
    QVERIFY(body.contains(QStringLiteral("件名がとても長いメールです。")));
}

void TestDovecotNMail::dotStuffedLinesRestored() {
    const int handle = openSession();
    if (QTest::currentTestFailed())
        return;
    MailFields fields;
    QString body;
    const int result = nmail().NMailPop3GetMail(handle, kKnownMessageCount, fields, body);
    QCOMPARE(nmail().NMailPop3Close(handle), 0);
    QVERIFY(result >= 0);
    body.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    // A lone "." inside the message must not end it early, and no stuffing dot may remain.
    QVERIFY2(body.contains(QStringLiteral("0123456789\n.dot-leading line\n.\n..\narchive line 02001:")),
             qPrintable(body.mid(body.indexOf(QStringLiteral("archive line 02000")), 300)));
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

void TestDovecotNMail::emptyMailboxCountsZero() {
    m_mailboxChanged = true;
    QString error;
    QVERIFY2(m_server.empty(kUser, &error), qPrintable(error));
    int count = -1;
    const int handle = openSession(kApop, &count);
    if (QTest::currentTestFailed())
        return;
    QCOMPARE(count, 0);
    QCOMPARE(nmail().NMailPop3Close(handle), 0);
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
