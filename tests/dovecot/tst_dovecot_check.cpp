// brindle-check as a process against a real POP3 server (Dovecot), on the mailbox "bob": each rule
// judges real Japanese mail in several charsets and the judged messages, and only those, are gone
// from the server afterwards. Refused logins and lost connections are pinned against the fake
// server in tests/brindlecheck.
#include "DovecotServer.h"

#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;

#ifndef BRINDLE_CHECK_PROGRAM
#error "BRINDLE_CHECK_PROGRAM must name the brindle-check executable"
#endif

namespace {

// A check of seven messages takes well under a second; the bound only keeps a hung run from
// blocking the test run.
constexpr int kRunTimeoutMs = 60000;

// Keywords as the keyword editor stores them, in code page 932, written out here so that the file
// does not depend on the program's own encoder.
const QByteArray kFree("\x96\xb3\x97\xbf");                    // 無料: in the subject of message 2
const QByteArray kShop("shop.example");                        // in the address of message 4
const QByteArray kWednesday("\x90\x85\x97\x6a\x93\xfa");       // 水曜日: in the body of message 3
const QByteArray kNowhere("\x83\x65\x83\x58\x83\x67\x5f\x30"); // テスト_0: in no message

bool writeFile(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

} // namespace

class TestDovecotCheck : public QObject {
    Q_OBJECT
    DovecotServer m_server;

private Q_SLOTS:
    void initTestCase() {
        QString error;
        QVERIFY2(m_server.start(DovecotServer::Kind::Plain, &error), qPrintable(error));
        QVERIFY2(QFile::exists(QString::fromUtf8(BRINDLE_CHECK_PROGRAM)), BRINDLE_CHECK_PROGRAM);
    }

    void rules_data() {
        QTest::addColumn<bool>("apop");
        QTest::addColumn<bool>("dryRun");
        QTest::addColumn<int>("rule"); // NUMBER6; the size rule's limit is 100000 bytes
        QTest::addColumn<QStringList>("caught");
        QTest::addColumn<QList<int>>("kept");
        // Record order decides: message 3 is tried against 無料 and shop.example first, then caught
        // by its body.
        const QStringList keywordCatch{u"2\t件名\t【重要】無料プレゼントのお知らせ"_s,
                                       u"3\t本文\t来週の打ち合わせについて"_s, u"4\tアドレス\tSpring Sale"_s};
        QTest::newRow("keywords, USER/PASS") << false << false << 1 << keywordCatch << QList<int>{1, 5, 6, 7};
        QTest::newRow("keywords, APOP") << true << false << 1 << keywordCatch << QList<int>{1, 5, 6, 7};
        QTest::newRow("keywords, dry run")
            << false << true << 1 << keywordCatch << QList<int>{1, 2, 3, 4, 5, 6, 7};
        QTest::newRow("HTML") << false << false << 6 << QStringList{u"4\thtml\tSpring Sale"_s}
                              << QList<int>{1, 2, 3, 5, 6, 7};
        QTest::newRow("no hiragana") << false << false << 5
                                     << QStringList{u"1\tひらがな\tWeekly report"_s,
                                                    u"4\tひらがな\tSpring Sale"_s,
                                                    u"5\tひらがな\tセール情報"_s,
                                                    u"7\tひらがな\tMonthly archive"_s}
                                     << QList<int>{2, 3, 6};
        QTest::newRow("size") << false << false << 4 << QStringList{u"7\tファイルサイズ\tMonthly archive"_s}
                              << QList<int>{1, 2, 3, 4, 5, 6};
        QTest::newRow("no rule") << false << false << 0 << QStringList{} << QList<int>{1, 2, 3, 4, 5, 6, 7};
    }
    void rules() {
        QFETCH(bool, apop);
        QFETCH(bool, dryRun);
        QFETCH(int, rule);
        QFETCH(QStringList, caught);
        QFETCH(QList<int>, kept);
        const QString& user = kBob.user;
        QString error;
        QVERIFY2(m_server.reset(user, &error), qPrintable(error));
        const QList<QByteArray> known = m_server.storedMessages(user);
        QCOMPARE(known.size(), kKnownMessageCount);

        QTemporaryDir app;
        QDir dir(app.path());
        QVERIFY(dir.mkpath(u"★MailData"_s) && dir.mkpath(u"添付フォルダ"_s));
        QByteArray keywords;
        for (const QByteArray& k : {kNowhere, kFree, kShop, kWednesday})
            keywords += QByteArray("\r\n\x01\x00", 4) + k + QByteArray(200 - k.size(), ' ');
        const QString data = dir.filePath(u"★MailData/"_s);
        QVERIFY(
            writeFile(dir.filePath(u"kestro.ini"_s), "SMTP=\r\nPOP3=" + m_server.hostAndPort().toLatin1() +
                                                         "\r\nMAIL=\r\nAPOP=" + (apop ? "1" : "0") + "\r\n"));
        QVERIFY(writeFile(data + u"iniIdPass.ini"_s, "[EXEINI]\r\nNAME=" + kBob.user.toLatin1() +
                                                         "\r\nNAME2=" + kBob.password.toLatin1() + "\r\n"));
        QVERIFY(writeFile(data + u"ini.ini"_s,
                          "[EXEINI]\r\nNAME=\r\nNAME2=" + QByteArray(rule == 4 ? "100000" : "0") +
                              "\r\nNUMBER6=" + QByteArray::number(rule) + "\r\n"));
        QVERIFY(writeFile(data + u"Kstdata50.data"_s, keywords));

        QProcess p;
        QStringList args{u"--app-folder"_s, app.path()};
        if (dryRun)
            args << u"--dry-run"_s;
        p.start(QString::fromUtf8(BRINDLE_CHECK_PROGRAM), args);
        QVERIFY(p.waitForFinished(kRunTimeoutMs));
        QVERIFY2(p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0,
                 p.readAllStandardError().constData());
        const QStringList lines =
            QString::fromUtf8(p.readAllStandardOutput()).remove(u'\r').split(u'\n', Qt::SkipEmptyParts);
        const int deleted = dryRun ? 0 : int(caught.size());
        QCOMPARE(lines, caught + QStringList{u"messages: %1, deleted: %2, new: %3"_s.arg(kKnownMessageCount)
                                                 .arg(deleted)
                                                 .arg(kKnownMessageCount - deleted)});
        QList<QByteArray> left;
        for (int n : kept)
            left << known[n - 1];
        QCOMPARE(m_server.storedMessages(user), left);
    }
};

QTEST_GUILESS_MAIN(TestDovecotCheck)
#include "tst_dovecot_check.moc"
