// Boxes from the core's typed values: each fact in its sentence, icon and caption; unjudged list clean.
#include "support/Rows.h"
#include "ui/texts/CheckTexts.h"

#include <functional>
#include <QTest>

using namespace brindle;
using namespace Qt::StringLiterals;
using brindle::test::indexRows;
using Kind = CheckNotice::Kind;

namespace {

MailError failure(Pop3ErrorKind kind, MailError::Step step, const QString& words = {}) {
    MailError e;
    e.kind = kind;
    e.step = step;
    e.detail = words;
    return e;
}

CheckNotice notice(Kind kind, const std::function<void(CheckNotice&)>& set = {}) {
    CheckNotice n;
    n.kind = kind;
    if (set)
        set(n);
    return n;
}

using S = MailError::Step;
using N = CheckNotice&;
// The icon and caption of a box: plain, a warning, an error, or an error without its icon.
const std::pair<MsgIcon, QString> kPlain{MsgIcon::None, {}}, kWarn{MsgIcon::Exclamation, {}},
    kError{MsgIcon::Exclamation, u"エラー"_s}, kQuietError{MsgIcon::None, u"エラー"_s},
    kInfo{MsgIcon::Information, {}};
const struct Row {
    const char* name;
    CheckNotice notice;
    QString shown, alsoShown;
    std::pair<MsgIcon, QString> look;
} kRows[] = {
    {"a deletion: its rule word alone", notice(Kind::Deleted, [](N n) { n.ruleWord = u"本文"_s; }), u"本文"_s,
     QString(), kPlain},
    {"copy failed, no data folder", notice(Kind::CopyFailed, [](N n) { n.number = 3; }), u"メール 3 など"_s,
     u"（★MailData）"_s, kError},
    {"copy failed, its data folder", notice(Kind::CopyFailed, [](N n) { n.number = 3, n.path = u"/data"_s; }),
     u"（/data）"_s, QString(), kError},
    {"deletions lost: the count and why",
     notice(Kind::DeletionsLost,
            [](N n) { n.count = 4, n.error = failure(Pop3ErrorKind::ConnectionLost, S::Close, "EOF"); }),
     u"（4件）"_s, u"\n接続が切れました（EOF）"_s, kError},
    {"login garbled: told to go one at a time",
     notice(Kind::LoginFailed,
            [](N n) {
                n.error = failure(Pop3ErrorKind::ProtocolError, S::Login), n.error.pipeliningGarbled = true;
            }),
     u"（PIPELINING）\n次回から"_s, QString(), kQuietError},
    {"connect timed out: the address and seconds",
     notice(Kind::NoConnection,
            [](N n) {
                n.error = failure(Pop3ErrorKind::TimedOut, S::Connect);
                n.error.hostAndPort = u"[::1]:110"_s, n.error.limitMs = 2500;
            }),
     u"[::1]:110 に接続できません（2.5 秒以内"_s, QString(), kError},
    {"session limit in minutes",
     notice(Kind::ConnectionLost,
            [](N n) {
                n.error = failure(Pop3ErrorKind::TimedOut, S::Mail);
                n.error.wait = Pop3Wait::Session, n.error.limitMs = 90000;
            }),
     u"1.5 分"_s, QString(), kError},
    {"refused DELE: number, rule word, refusal",
     notice(Kind::DeletionRefused,
            [](N n) {
                n.number = 5, n.ruleWord = u"件名"_s, n.error.kind = Pop3ErrorKind::CommandRefused;
                n.error.refusal = MailError::Refusal::MessageDeleted, n.error.number = 5;
            }),
     u"メール 5 を「件名」"_s, u"\nメッセージ 5 は削除済みです"_s, kWarn},
    {"a library naming no entry point: its words",
     notice(Kind::NoConnection,
            [](N n) { n.error = failure(Pop3ErrorKind::CannotConnect, S::None, "-ERR x"); }),
     u"\n-ERR x"_s, QString(), kError},
    {"no failure recorded", notice(Kind::NoConnection), u"原因不明"_s, QString(), kError},
    {"pinned out of date: the dates",
     notice(Kind::PinnedOutOfDate,
            [](N n) {
                n.server = u"h:995"_s, n.validFrom = QDate(2020, 1, 2).startOfDay();
                n.validUntil = QDate(2021, 3, 4).startOfDay();
            }),
     u"h:995 の証明書は有効期間（2020/01/02 ～ 2021/03/04）"_s, QString(), kInfo},
    {"mailer failed: its command line", notice(Kind::MailerFailed, [](N n) { n.path = u"mua -x"_s; }),
     u"\nmua -x"_s, QString(), kWarn},
};

} // namespace

class CheckTextsTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void notices_data() { indexRows(kRows); }
    void notices() {
        QFETCH(int, row);
        const Row& r = kRows[row];
        const NoticeBox box = noticeBox(r.notice);
        QVERIFY2(box.text.contains(r.shown) && box.text.contains(r.alsoShown), qPrintable(box.text));
        QCOMPARE(box.icon, r.look.first);
        QCOMPARE(box.caption, r.look.second);
        QCOMPARE(box.buttons, MsgButtons::Ok);
    }

    // The box of unjudged messages names ten, counts the rest, and shows each reason cleaned and short.
    void unjudgedBox() {
        QList<UnjudgedMessage> messages;
        for (int n = 1; n <= 12; ++n)
            messages.append(
                {n, failure(Pop3ErrorKind::CommandRefused, S::None, "\x1b[2J" + QString(300, u'w'))});
        const QStringList lines = unjudgedBoxText(messages).split(u'\n');
        QCOMPARE(lines.size(), 1 + kUnjudgedNamedInBox + 1);
        QVERIFY(lines[1].startsWith(u"メール 1: www"_s) && lines[10].startsWith(u"メール 10: "_s));
        QCOMPARE(lines[11], u"ほか 2件"_s);
        QCOMPARE(unjudgedReason(messages[0].error).size(), kUnjudgedReasonMaxChars);
    }
};

QTEST_GUILESS_MAIN(CheckTextsTest)
#include "tst_checktexts.moc"
