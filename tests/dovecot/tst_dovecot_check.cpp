// brindle-check against Dovecot: each rule deletes exactly the Japanese mail it judged, in any charset.
#include "DovecotServer.h"
#include "support/ProgramRun.h"
#include "support/Rows.h"
#include "support/TestFiles.h"

#include <QTest>

using namespace Qt::StringLiterals;
using namespace brindle::testing;
using brindle::test::indexRows;

#ifndef BRINDLE_CHECK_PROGRAM
#error "BRINDLE_CHECK_PROGRAM must name the brindle-check executable"
#endif

namespace {

// Keywords in code page 932, written out so that the file does not depend on our own encoder.
const QByteArray kFree("\x96\xb3\x97\xbf");                    // 無料: in the subject of message 2
const QByteArray kShop("shop.example");                        // in the address of message 4
const QByteArray kWednesday("\x90\x85\x97\x6a\x93\xfa");       // 水曜日: in the body of message 3
const QByteArray kNowhere("\x83\x65\x83\x58\x83\x67\x5f\x30"); // テスト_0: in no message

// Record order decides: message 3 is tried against 無料 and shop.example first, then caught by its body.
const QStringList kKeywordCatch{u"2\t件名\t【重要】無料プレゼントのお知らせ"_s,
                                u"3\t本文\t来週の打ち合わせについて"_s, u"4\tアドレス\tSpring Sale"_s};
const QStringList kNoHiraganaCatch{u"1\tひらがな\tWeekly report"_s, u"4\tひらがな\tSpring Sale"_s,
                                   u"5\tひらがな\tセール情報"_s, u"7\tひらがな\tMonthly archive"_s};
// APOP, dry run, the rule (NUMBER6; the size rule's limit is 100000 bytes); the lines, the messages kept.
const std::tuple<const char*, bool, bool, int, QStringList, QList<int>> kRules[]{
    {"keywords, USER/PASS", false, false, 1, kKeywordCatch, {1, 5, 6, 7}},
    {"keywords, APOP", true, false, 1, kKeywordCatch, {1, 5, 6, 7}},
    {"keywords, dry run", false, true, 1, kKeywordCatch, {1, 2, 3, 4, 5, 6, 7}},
    {"HTML", false, false, 6, {u"4\thtml\tSpring Sale"_s}, {1, 2, 3, 5, 6, 7}},
    {"no hiragana", false, false, 5, kNoHiraganaCatch, {2, 3, 6}},
    {"size", false, false, 4, {u"7\tファイルサイズ\tMonthly archive"_s}, {1, 2, 3, 4, 5, 6}},
    {"no rule", false, false, 0, {}, {1, 2, 3, 4, 5, 6, 7}},
};

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

    void rules_data() { indexRows(kRules); }
    void rules() {
        QFETCH(int, row);
        const auto& [name, apop, dryRun, rule, caught, kept] = kRules[row];
        const QString& user = kBob.user;
        QString error;
        QVERIFY2(m_server.reset(user, &error), qPrintable(error));
        const QList<QByteArray> known = m_server.storedMessages(user);
        QCOMPARE(known.size(), kKnownMessageCount);

        TempAppFolder app;
        QByteArray keywords;
        for (const QByteArray& k : {kNowhere, kFree, kShop, kWednesday})
            keywords += QByteArray("\r\n\x01\x00", 4) + k + QByteArray(200 - k.size(), ' ');
        QVERIFY(app.isValid() && app.write(u"★MailData/Kstdata50.data"_s, keywords));
        QVERIFY(app.write(u"kestro.ini"_s, "SMTP=\r\nPOP3=" + m_server.hostAndPort().toLatin1() +
                                               "\r\nMAIL=\r\nAPOP=" + (apop ? "1" : "0") + "\r\n"));
        QVERIFY(app.write(u"★MailData/iniIdPass.ini"_s, "[EXEINI]\r\nNAME=" + kBob.user.toLatin1() +
                                                            "\r\nNAME2=" + kBob.password.toLatin1() +
                                                            "\r\n"));
        QVERIFY(app.write(u"★MailData/ini.ini"_s,
                          "[EXEINI]\r\nNAME=\r\nNAME2=" + QByteArray(rule == 4 ? "100000" : "0") +
                              "\r\nNUMBER6=" + QByteArray::number(rule) + "\r\n"));
        QStringList args{u"--app-folder"_s, app.path()};
        if (dryRun)
            args << u"--dry-run"_s;
        const ProgramRun r = runProgram(QString::fromUtf8(BRINDLE_CHECK_PROGRAM), args);
        QVERIFY2(r.exitCode == 0, qPrintable(r.errors));
        const int deleted = dryRun ? 0 : int(caught.size());
        QCOMPARE(r.lines, caught + QStringList{u"messages: %1, deleted: %2, new: %3"_s.arg(kKnownMessageCount)
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
