// brindle-check as a process against a real POP3 server (Dovecot), on the mailbox "bob": real
// logins (USER/PASS and APOP), real deletions (and none in a dry run), and every rule on real Japanese mail.
// What does not need a real server (missing settings, lost connections) is pinned against the fake server in
// tests/brindlecheck.
#include "DovecotServer.h"
#include "support/ProgramRun.h"
#include "support/TestFiles.h"

#include <QDir>
#include <QTemporaryDir>
#include <QTest>

#ifndef BRINDLE_CHECK_PROGRAM
#error "BRINDLE_CHECK_PROGRAM must name the brindle-check executable"
#endif

namespace {

const QString kUser = QString::fromLatin1(kBob.user);
const QString kDataFolder = QStringLiteral("★MailData");

// Keywords as the keyword editor stores them, in code page 932. The bytes are written out here so
// that the file does not depend on the program's own encoder.
const QByteArray kKeywordFree("\x96\xb3\x97\xbf");                    // 無料: in the subject of message 2
const QByteArray kKeywordShop("shop.example");                        // in the address of message 4
const QByteArray kKeywordWednesday("\x90\x85\x97\x6a\x93\xfa");       // 水曜日: in the body of message 3
const QByteArray kKeywordNowhere("\x83\x65\x83\x58\x83\x67\x5f\x30"); // テスト_0: in no message

QByteArray keywordRecord(const QByteArray& cp932) {
    QByteArray record("\r\n\x01\x00", 4);
    record.append(cp932.left(200));
    record.append(200 - qMin<qsizetype>(cp932.size(), 200), ' ');
    return record;
}

using brindle::testing::ProgramRun;
using brindle::testing::writeFile;

} // namespace

class TestDovecotCheck : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();

    void keywordRunDeletesCaught_data();
    void keywordRunDeletesCaught();
    void passwordWithBlanksAndSigns_data();
    void passwordWithBlanksAndSigns();
    void otherRules_data();
    void otherRules();
    void refusedLoginLeavesMailboxAlone_data();
    void refusedLoginLeavesMailboxAlone();

private:
    // An application folder with the given settings. server empty: no server configured.
    bool makeAppFolder(const QString& server, bool apop, const QString& user, const QString& password,
                       int rule, const QByteArray& sizeLimit, const QList<QByteArray>& keywords);
    ProgramRun runCheck(bool dryRun = false) const {
        QStringList args{QStringLiteral("--app-folder"), m_appFolder->path()};
        if (dryRun)
            args.append(QStringLiteral("--dry-run"));
        return brindle::testing::runProgram(QStringLiteral(BRINDLE_CHECK_PROGRAM), args);
    }
    // The sizes the server lists for bob's mailbox now, against the known messages.
    QList<qint64> knownSizes(const QList<int>& numbers) const;

    DovecotServer m_server;
    QList<QByteArray> m_known; // the known messages as stored after a reset
    std::unique_ptr<QTemporaryDir> m_appFolder;
};

void TestDovecotCheck::initTestCase() {
    QString error;
    QVERIFY2(m_server.start(&error), qPrintable(error));
    QVERIFY2(QFile::exists(QStringLiteral(BRINDLE_CHECK_PROGRAM)), BRINDLE_CHECK_PROGRAM);
}

void TestDovecotCheck::init() {
    QString error;
    QVERIFY2(m_server.reset(kUser, &error), qPrintable(error));
    m_known = m_server.storedMessages(kUser);
    QCOMPARE(m_known.size(), kKnownMessageCount);
    m_appFolder = std::make_unique<QTemporaryDir>();
    QVERIFY(m_appFolder->isValid());
}

bool TestDovecotCheck::makeAppFolder(const QString& server, bool apop, const QString& user,
                                     const QString& password, int rule, const QByteArray& sizeLimit,
                                     const QList<QByteArray>& keywords) {
    QDir dir(m_appFolder->path());
    if (!dir.mkpath(kDataFolder) || !dir.mkpath(QStringLiteral("添付フォルダ")))
        return false;
    const QByteArray kestro =
        "SMTP=\r\nPOP3=" + server.toLatin1() + "\r\nMAIL=\r\nAPOP=" + (apop ? "1" : "0") + "\r\n";
    const QByteArray account =
        "[EXEINI]\r\nNAME=" + user.toLatin1() + "\r\nNAME2=" + password.toLatin1() + "\r\n";
    const QByteArray general =
        "[EXEINI]\r\nNAME=\r\nNAME2=" + sizeLimit + "\r\nNUMBER6=" + QByteArray::number(rule) + "\r\n";
    QByteArray keywordFile;
    for (const QByteArray& k : keywords)
        keywordFile.append(keywordRecord(k));
    const QString data = dir.filePath(kDataFolder) + u'/';
    return writeFile(dir.filePath(QStringLiteral("kestro.ini")), kestro) &&
           writeFile(data + QStringLiteral("iniIdPass.ini"), account) &&
           writeFile(data + QStringLiteral("ini.ini"), general) &&
           writeFile(data + QStringLiteral("Kstdata50.data"), keywordFile);
}

QList<qint64> TestDovecotCheck::knownSizes(const QList<int>& numbers) const {
    QList<qint64> sizes;
    for (int n : numbers)
        sizes.append(DovecotServer::networkSize(m_known.at(n - 1)));
    return sizes;
}

void TestDovecotCheck::keywordRunDeletesCaught_data() {
    QTest::addColumn<bool>("apop");
    QTest::addColumn<bool>("dryRun");
    QTest::newRow("USER/PASS") << false << false;
    QTest::newRow("APOP") << true << false;
    QTest::newRow("dry run judges the same and deletes nothing") << false << true;
}

void TestDovecotCheck::keywordRunDeletesCaught() {
    QFETCH(bool, apop);
    QFETCH(bool, dryRun);
    // Record order decides: message 3 is tried against 無料 and shop.example first, then caught by
    // its body.
    QVERIFY(makeAppFolder(m_server.hostAndPort(), apop, kUser, QString::fromLatin1(kBob.password), 1, "0",
                          {kKeywordNowhere, kKeywordFree, kKeywordShop, kKeywordWednesday}));
    const ProgramRun r = runCheck(dryRun);
    QVERIFY2(r.exitCode == 0, qPrintable(r.errors));
    QCOMPARE(r.lines, (QStringList{
                          QStringLiteral("2\t件名\t【重要】無料プレゼントのお知らせ"),
                          QStringLiteral("3\t本文\t来週の打ち合わせについて"),
                          QStringLiteral("4\tアドレス\tSpring Sale"),
                          dryRun ? QStringLiteral("messages: 7, deleted: 0, new: 7")
                                 : QStringLiteral("messages: 7, deleted: 3, new: 4"),
                      }));

    Pop3Probe probe(m_server.port());
    if (dryRun) {
        QCOMPARE(probe.sizes(kBob.user, kBob.password), knownSizes({1, 2, 3, 4, 5, 6, 7}));
        return;
    }
    QCOMPARE(probe.sizes(kBob.user, kBob.password), knownSizes({1, 5, 6, 7}));

    // A second run finds nothing more to delete.
    const ProgramRun again = runCheck();
    QVERIFY2(again.exitCode == 0, qPrintable(again.errors));
    QCOMPARE(again.lines, QStringList{QStringLiteral("messages: 4, deleted: 0, new: 4")});
}

void TestDovecotCheck::passwordWithBlanksAndSigns_data() {
    QTest::addColumn<bool>("apop");
    QTest::addColumn<QString>("server");
    const QString here = m_server.hostAndPort();
    QTest::newRow("USER/PASS, server as pop3:// address") << false << QStringLiteral("pop3://") + here;
    QTest::newRow("APOP") << true << here;
}

void TestDovecotCheck::passwordWithBlanksAndSigns() {
    QFETCH(bool, apop);
    QFETCH(QString, server);
    // The settings file holds the password as typed; the run must send it unchanged.
    QVERIFY(makeAppFolder(server, apop, QString::fromLatin1(kDave.user), QString::fromLatin1(kDave.password),
                          0, "0", {}));
    const ProgramRun r = runCheck();
    QVERIFY2(r.exitCode == 0, qPrintable(r.errors));
    QCOMPARE(r.lines,
             QStringList{QStringLiteral("messages: %1, deleted: 0, new: %1").arg(kKnownMessageCount)});
}

void TestDovecotCheck::otherRules_data() {
    QTest::addColumn<int>("rule");
    QTest::addColumn<QByteArray>("sizeLimit");
    QTest::addColumn<QStringList>("caught");
    QTest::addColumn<QList<int>>("kept");
    QTest::newRow("HTML") << 6 << QByteArray("0") << QStringList{QStringLiteral("4\thtml\tSpring Sale")}
                          << QList<int>{1, 2, 3, 5, 6, 7};
    QTest::newRow("no hiragana") << 5 << QByteArray("0")
                                 << QStringList{QStringLiteral("1\tひらがな\tWeekly report"),
                                                QStringLiteral("4\tひらがな\tSpring Sale"),
                                                QStringLiteral("5\tひらがな\tセール情報"),
                                                QStringLiteral("7\tひらがな\tMonthly archive")}
                                 << QList<int>{2, 3, 6};
    QTest::newRow("size at or above 100000")
        << 4 << QByteArray("100000") << QStringList{QStringLiteral("7\tファイルサイズ\tMonthly archive")}
        << QList<int>{1, 2, 3, 4, 5, 6};
}

void TestDovecotCheck::otherRules() {
    QFETCH(int, rule);
    QFETCH(QByteArray, sizeLimit);
    QFETCH(QStringList, caught);
    QFETCH(QList<int>, kept);
    QVERIFY(makeAppFolder(m_server.hostAndPort(), false, kUser, QString::fromLatin1(kBob.password), rule,
                          sizeLimit, {kKeywordFree}));
    const ProgramRun r = runCheck();
    QVERIFY2(r.exitCode == 0, qPrintable(r.errors));
    QStringList expected = caught;
    expected.append(QStringLiteral("messages: %1, deleted: %2, new: %3")
                        .arg(kKnownMessageCount)
                        .arg(caught.size())
                        .arg(kKnownMessageCount - caught.size()));
    QCOMPARE(r.lines, expected);
    Pop3Probe probe(m_server.port());
    QCOMPARE(probe.sizes(kBob.user, kBob.password), knownSizes(kept));
}

void TestDovecotCheck::refusedLoginLeavesMailboxAlone_data() {
    QTest::addColumn<bool>("apop");
    QTest::newRow("USER/PASS") << false;
    QTest::newRow("APOP") << true;
}

void TestDovecotCheck::refusedLoginLeavesMailboxAlone() {
    QFETCH(bool, apop);
    const QString wrong = QStringLiteral("Wr0ng-Secret-4471");
    QVERIFY(makeAppFolder(m_server.hostAndPort(), apop, kUser, wrong, 1, "0", {kKeywordFree, kKeywordShop}));
    const ProgramRun r = runCheck();
    QCOMPARE(r.exitCode, 3);
    QVERIFY2(!r.errors.trimmed().isEmpty(), "a failure must be explained on standard error");
    QVERIFY2(!r.errors.contains(wrong), qPrintable(r.errors));
    QVERIFY(!r.lines.join(u'\n').contains(wrong));
    Pop3Probe probe(m_server.port());
    QCOMPARE(probe.count(kBob.user, kBob.password), kKnownMessageCount);
}

QTEST_GUILESS_MAIN(TestDovecotCheck)
#include "tst_dovecot_check.moc"
