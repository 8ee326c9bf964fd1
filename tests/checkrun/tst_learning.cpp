// The learned judgement in the check run, the preview, the marks and onlyUidls, on composed mail.
#include "learn/LearnStore.h"
#include "mailcheck/mime/MimeDecode.h"
#include "support/Rows.h"
#include "support/ServerCheck.h"
#include "tools/corpus/Corpus.h"

#include <QCryptographicHash>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTest>

using namespace brindle;
using brindle::test::indexRows;
using namespace brindle::fake;
using namespace brindle::testing;
using namespace Qt::StringLiterals;
using Rule = CheckHost::RuleSwitch;
using Verdict = CheckOutcome::MessageReport::Verdict;

namespace {

const QByteArray kRuleJunk = "From: k@shop.example\r\nSubject: cheap watches\r\n\r\nbuy now\r\n";

// The fake server's UIDL of a message.
QString uidlOf(const QByteArray& message) {
    return QString::fromLatin1(QCryptographicHash::hash(message, QCryptographicHash::Md5).toHex().left(16));
}

const QSet<Rule> kKeyword{Rule::Keyword};
// The rules, learning on, junk learned, the store, junk allowed; what is deleted ("number:rule word").
const std::tuple<const char*, QSet<Rule>, bool, int, int, bool, QStringList> kJudgements[]{
    {"rule keeps, learned junk", kKeyword, true, 60, 0, false, {u"1:学習"_s, u"3:件名"_s}},
    {"no rule: learning alone", QSet<Rule>{}, true, 60, 0, false, {u"1:学習"_s}},
    {"size rule: listing keeps, fetched", QSet<Rule>{Rule::Size}, true, 60, 0, false, {u"1:学習"_s}},
    {"learning off", kKeyword, false, 60, 0, false, {u"3:件名"_s}},
    {"allow list wins", kKeyword, true, 60, 0, true, {u"3:件名"_s}},
    {"19 junk learned: not ready", kKeyword, true, 19, 0, false, {u"3:件名"_s}},
    {"corrupt store: rule alone", kKeyword, true, 60, 1, false, {u"3:件名"_s}},
    {"locked store: rule alone", kKeyword, true, 60, 2, false, {u"3:件名"_s}},
};

const std::tuple<const char*, bool, bool, int> kMemory[]{
    {"learning both times", true, false, 0},
    // The real check fetches the remembered catches for their copies only.
    {"dry run remembers the catch by 学習", true, true, 2},
    {"learning switched on", false, false, 2}, // the two kept
};

// The rules; the marks as junk and as wanted (indexes into the first mailbox), the UIDLs named alone
// (empty: no onlyUidls); what is deleted, the fetches.
const std::tuple<const char*, QSet<Rule>, QList<int>, QList<int>, QList<int>, QStringList, int> kMarks[]{
    {"marked junk, no rule", QSet<Rule>{}, {2}, {}, {}, {u"2:迷惑メール"_s}, 2}, // header, copy
    {"marked wanted wins over the rule", kKeyword, {}, {3}, {}, {}, 3},          // the headers
    {"only the named, by uidl", kKeyword, {2}, {}, {2, 3}, {u"2:迷惑メール"_s, u"3:件名"_s}, 2},
    {"only names nothing left", kKeyword, {}, {}, {0}, {}, 0},
};

} // namespace

class TestLearning : public QObject {
    Q_OBJECT

    std::unique_ptr<TempAppFolder> folder;
    ProgramValues values;
    QList<corpus::ComposedMessage> training;
    QByteArray junk, wanted; // not learned: judged junk and wanted by the trained store
    FakeHost host;           // of the last check

    QString storePath() const { return folder->dataFolder() + u"/learned.sqlite"_s; }

    bool train(int junkCount, int wantedCount) {
        learn::LearnStore store(storePath());
        if (!store.open())
            return false;
        QList<learn::LearnItem> items;
        for (const corpus::ComposedMessage& m : std::as_const(training)) {
            int& left = m.junk ? junkCount : wantedCount;
            if (left-- > 0)
                items.append({m.raw, m.junk ? learn::MessageClass::Junk : learn::MessageClass::Wanted});
        }
        return store.learn(items).has_value();
    }

    CheckOutcome check(FakePop3Server& server, QSet<Rule> rules, bool learning = true,
                       const std::function<void(CheckInputs&)>& adjust = {}, bool dryRun = false) {
        host = FakeHost{};
        host.rules = rules;
        host.fields[CheckHost::Field::SizeLimit] = "100000000";
        return checkServer(
            server, values, host,
            [&](CheckInputs& in) {
                in.keywords = {"watches"};
                in.learning = {learning, storePath()};
                if (adjust)
                    adjust(in);
            },
            dryRun);
    }

private Q_SLOTS:
    void initTestCase() {
        training = corpus::compose(7, 60, 60);
        // Unlearned mail the trained store is sure of, so that each case below tests the run.
        QTemporaryDir dir;
        learn::LearnStore store(dir.filePath(u"s.sqlite"_s));
        QVERIFY(store.open());
        for (const corpus::ComposedMessage& m : std::as_const(training))
            QVERIFY(store.learn(m.raw, m.junk ? learn::MessageClass::Junk : learn::MessageClass::Wanted));
        for (const corpus::ComposedMessage& m : corpus::compose(8, 20, 20)) {
            const learn::Verdict v = store.judge(m.raw)->verdict;
            if (m.junk && v == learn::Verdict::Junk && junk.isEmpty() && !m.raw.contains("watches"))
                junk = m.raw;
            if (!m.junk && v == learn::Verdict::Wanted && wanted.isEmpty() && !m.raw.contains("watches"))
                wanted = m.raw;
        }
        QVERIFY(!junk.isEmpty() && !wanted.isEmpty());
    }

    void init() {
        QVERIFY(freshFolder(folder));
        values = ProgramValues{};
    }

    // Preview rows marked junk or wanted teach the store; the next check deletes similar junk by 学習;
    // "迷惑メールではない" learns that copy as wanted, and the same mail sent again is kept.
    void userDecisionsTeachTheNextCheck() {
        QList<QByteArray> box;
        for (const corpus::ComposedMessage& m : std::as_const(training))
            box << m.raw;
        auto server = serve(box);
        QVERIFY(server);
        const CheckOutcome preview = check(*server, {}, true, [](CheckInputs& in) { in.previewLines = 200; });
        QCOMPARE(preview.messages.size(), box.size());
        learn::LearnStore store(storePath());
        QVERIFY(store.open());
        for (int i = 0; i < box.size(); ++i)
            QVERIFY(store.learn(preview.messages[i].text,
                                training[i].junk ? learn::MessageClass::Junk : learn::MessageClass::Wanted));

        auto next = serve({junk, wanted});
        QCOMPARE(check(*next, {}).deleted, 1);
        const QList<DeletionRecord> log = readDeletionLog(folder->dataFolder());
        QCOMPARE(log.size(), 1);
        QCOMPARE(log[0].ruleWord, u"学習"_s);
        QFile copy(folder->dataFolder() + u'/' + log[0].copyPath);
        QVERIFY(copy.open(QIODevice::ReadOnly));
        QVERIFY(store.learn(copy.readAll(), learn::MessageClass::Wanted)); // 迷惑メールではない
        auto again = serve({junk});
        QCOMPARE(check(*again, {}).deleted, 0);
    }

    // Mailbox: 1 junk the rules keep, 2 wanted, 3 the keyword rule's catch. store: 0 trained, 1 corrupt,
    // 2 locked by another program's exclusive transaction.
    void learnedJudgement_data() { indexRows(kJudgements); }
    void learnedJudgement() {
        QFETCH(int, row);
        const auto& [name, rules, learning, learnedJunk, store, allowJunk, deleted] = kJudgements[row];
        if (store == 1)
            QVERIFY(writeFile(storePath(), QByteArray("SQLite format 3\0", 16) + QByteArray(4096, 'x')));
        else
            QVERIFY(train(learnedJunk, 60));
        QSqlDatabase other = QSqlDatabase::addDatabase(u"QSQLITE"_s, u"other"_s);
        if (store == 2) {
            other.setDatabaseName(storePath());
            QVERIFY(other.open());
            QSqlQuery q(other);
            QVERIFY(q.exec(u"PRAGMA locking_mode=EXCLUSIVE"_s) && q.exec(u"BEGIN EXCLUSIVE"_s));
            QVERIFY(q.exec(u"UPDATE meta SET value = value"_s));
        }
        if (allowJunk)
            QVERIFY(folder->write(u"★MailData/allow.txt"_s,
                                  decodeMessage(junk).head.fromAddress.toUtf8() + "\n"));
        auto server = serve({junk, wanted, kRuleJunk});
        QVERIFY(server);
        const CheckOutcome outcome = check(*server, rules, learning);
        if (store == 2) {
            QSqlQuery(other).exec(u"ROLLBACK"_s);
            other.close();
        }
        other = QSqlDatabase();
        QSqlDatabase::removeDatabase(u"other"_s);
        QStringList got;
        for (const CheckOutcome::Caught& c : outcome.caught) {
            QVERIFY(c.deleted);
            got << u"%1:%2"_s.arg(c.number).arg(c.ruleWord);
            if (c.ruleWord == u"学習"_s) {
                QVERIFY(c.learnedScore >= 0.99 && QFile::exists(folder->dataFolder() + u'/' + c.copyPath));
                const QByteArray log = folder->read(u"★MailData/deleted.log"_s);
                QVERIFY(log.contains(u"学習"_s.toUtf8()) && log.contains(c.keyword.toUtf8()));
            }
        }
        QCOMPARE(got, deleted);
        QCOMPARE(outcome.learningProblem.isEmpty(), store == 0);
        QCOMPARE(outcome.learnedJunk, store == 0 && learning ? learnedJunk : 0);
        QVERIFY(outcome.messages.isEmpty());
        QVERIFY(host.boxes.isEmpty()); // the windows tell the problem, once
    }

    // A second check fetches nothing that the first judged; switching learning on judges all again.
    void memory_data() { indexRows(kMemory); }
    void memory() {
        QFETCH(int, row);
        const auto& [name, firstLearning, dryRun, fetched] = kMemory[row];
        QVERIFY(train(60, 60));
        auto server = serve({junk, wanted, kRuleJunk});
        QVERIFY(server);
        const CheckOutcome first = check(*server, {Rule::Keyword}, firstLearning, {}, dryRun);
        QCOMPARE(first.caught.size(), firstLearning ? 2 : 1);
        const CheckOutcome second = check(*server, {Rule::Keyword});
        QVERIFY(fetches(*server) == fetched && second.deleted == (dryRun ? 2 : firstLearning ? 0 : 1));
    }

    // The preview reads TOP (else RETR), reports every message, deletes and remembers nothing.
    void preview_data() {
        QTest::addColumn<bool>("topRefused");
        QTest::newRow("TOP") << false, QTest::newRow("TOP refused") << true;
    }
    void preview() {
        QFETCH(bool, topRefused);
        QVERIFY(train(60, 60));
        const QByteArray allowed = "From: friend@home.example\r\nSubject: cheap watches\r\nDate: Mon, 1 Jan "
                                   "2024 10:00:00 +0900\r\n\r\nsee you\r\n";
        QVERIFY(folder->write(u"★MailData/allow.txt"_s, "friend@home.example\n"));
        const QList<QByteArray> box{junk, wanted, kRuleJunk, allowed};
        auto server = serve(box, [&](FakePop3Options& o) {
            if (topRefused)
                o.refusedCommand = "TOP";
        });
        QVERIFY(server);
        const CheckOutcome outcome =
            check(*server, {Rule::Keyword}, true, [](CheckInputs& in) { in.previewLines = 20; });
        const FakePop3Stats stats = server->stats();
        QCOMPARE(stats.commandCounts.value("RETR"), topRefused ? 4 : 0);
        QVERIFY(stats.commandCounts.value("TOP") >= (topRefused ? 1 : 4));
        QVERIFY(server->mailbox().size() == 4 && outcome.deleted == 0);
        QVERIFY(!folder->read(u"★MailData/verdicts.txt"_s).contains(uidlOf(wanted).toLatin1()));
        QCOMPARE(outcome.messages.size(), 4);
        const QList<Verdict> verdicts{Verdict::Caught, Verdict::Keep, Verdict::Caught, Verdict::Allowed};
        for (int i = 0; i < 4; ++i) {
            const CheckOutcome::MessageReport& r = outcome.messages[i];
            QVERIFY(r.number == i + 1 && r.uidl == uidlOf(box[i]) && r.size == box[i].size());
            QVERIFY(r.verdict == verdicts[i] && !r.sender.isEmpty());
            // Short mail is read whole (the server sends CR LF), for learning from a mark.
            QCOMPARE(QByteArray(r.text).replace("\r\n", "\n"), QByteArray(box[i]).replace("\r\n", "\n"));
        }
        QVERIFY(outcome.messages[0].ruleWord == u"学習"_s && outcome.messages[0].learnedScore >= 0.99);
        QVERIFY(outcome.messages[1].learnedScore < 0.5);
        QCOMPARE(outcome.messages[2].keyword, u"watches"_s);
        QVERIFY(!outcome.messages[3].date.isEmpty());
        QVERIFY(host.boxes.isEmpty());
    }

    // Marks and onlyUidls act by UIDL, also after another client took message 1 (numbers shifted).
    void marks_data() { indexRows(kMarks); }
    void marks() {
        QFETCH(int, row);
        const auto& [name, rules, junkMarks, wantedMarks, only, deleted, fetched] = kMarks[row];
        const QList<QByteArray> box{"From: a@x.example\r\nSubject: one\r\n\r\nhello\r\n", wanted,
                                    "From: b@x.example\r\nSubject: three\r\n\r\nhello\r\n", kRuleJunk};
        auto server = serve(box);
        QVERIFY(server);
        server->setMailbox(box.mid(1)); // another client took message 1
        const CheckOutcome outcome = check(*server, rules, false, [&](CheckInputs& in) {
            for (int i : junkMarks)
                in.marks.junk.insert(uidlOf(box[i]));
            for (int i : wantedMarks)
                in.marks.wanted.insert(uidlOf(box[i]));
            if (!only.isEmpty()) {
                in.onlyUidls.emplace();
                for (int i : only)
                    in.onlyUidls->insert(uidlOf(box[i]));
            }
        });
        QStringList got;
        for (const CheckOutcome::Caught& c : outcome.caught)
            got << u"%1:%2"_s.arg(c.number).arg(c.ruleWord);
        QVERIFY(got == deleted && fetches(*server) == fetched);
        QVERIFY(server->mailbox().size() == 3 - got.size() && outcome.newMailCount == 3 - got.size());
    }
};

QTEST_GUILESS_MAIN(TestLearning)
#include "tst_learning.moc"
