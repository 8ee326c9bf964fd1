// The store of what was learned: counting once, moving, forgetting, damage, two users, a kill mid-learning.
#include "learn/LearnStore.h"
#include "learn/Tokenizer.h"
#include "mailcheck/mime/MimeDecode.h"
#include "support/Rows.h"
#include "support/TestFiles.h"

#include <QCryptographicHash>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTest>

using namespace brindle::learn;
using brindle::test::indexRows;
using namespace Qt::StringLiterals;

namespace {

QByteArray mail(char which) {
    return "From: a@example.jp\r\nSubject: note " + QByteArray(1, which) + "\r\n\r\nbody text " +
           QByteArray(1, which) + "word\r\n";
}

// ops: "Ja" learns a as junk, "Wa" as wanted, "Fa" forgets it, "Ca" learns it with LF line ends (the same
// message); then the totals (junk, wanted), what a's body token counts, the last operation's result.
const std::tuple<const char*, QStringList, QList<int>, LearnResult> kLearning[]{
    {"learn once", {u"Ja"_s}, {1, 0, 1, 0}, LearnResult::Learned},
    {"learn twice counts once", {u"Ja"_s, u"Ja"_s}, {1, 0, 1, 0}, LearnResult::AlreadyLearned},
    {"line ends do not make another message", {u"Ja"_s, u"Ca"_s}, {1, 0, 1, 0}, LearnResult::AlreadyLearned},
    {"relearn as the other class moves it", {u"Ja"_s, u"Wa"_s}, {0, 1, 0, 1}, LearnResult::Moved},
    {"forget undoes", {u"Ja"_s, u"Jb"_s, u"Fa"_s}, {1, 0, 0, 0}, LearnResult::Forgotten},
    {"forget twice", {u"Wa"_s, u"Fa"_s, u"Fa"_s}, {0, 0, 0, 0}, LearnResult::NotLearned},
    {"two messages share tokens", {u"Ja"_s, u"Wb"_s}, {1, 1, 1, 0}, LearnResult::Learned},
};

// The digest is SHA-256 of the text less each CR LF's CR, across the 16 KB read buffer.
QByteArray crlfEvery(int step, int size) {
    QByteArray raw(size, 'a');
    for (int at = step; at + 1 < size; at += step)
        raw[at] = '\r', raw[at + 1] = '\n';
    return raw;
}
const std::tuple<const char*, QByteArray> kDigests[]{
    {"empty", {}},
    {"abc", "abc"},
    {"CR LF across the buffer's end", QByteArray(16383, 'x') + "\r\n" + QByteArray(16383, 'y') + "\r"},
    {"lone CRs, CR CR LF, CR at the end", "a\rb\r\r\nc\n\r\r\r\n\r"},
    {"a line end every 7 bytes", crlfEvery(7, 70000)},
    {"a CR as the buffer's last byte", QByteArray(16383, 'x') + "\r\rz\r\n"},
};

// Messages from..count-1 of one class, each `words` and its number.
QList<LearnItem> numbered(const QByteArray& words, MessageClass cls, int count, int from = 0) {
    QList<LearnItem> items;
    for (int i = from; i < count; ++i)
        items << LearnItem{words + QByteArray::number(i) + "\r\n", cls};
    return items;
}
const QByteArray kLunch = "Subject: hello\r\n\r\nlunch ";

} // namespace

class TestStore : public QObject {
    Q_OBJECT
private:
    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_path;

private Q_SLOTS:
    void init() {
        m_dir = std::make_unique<QTemporaryDir>();
        m_path = m_dir->filePath(u"learned.sqlite"_s);
    }

    void learning_data() { indexRows(kLearning); }
    void learning() {
        QFETCH(int, row);
        const auto& [name, ops, counts, last] = kLearning[row];
        LearnStore store(m_path);
        QVERIFY(store.open());
        QCOMPARE(QFile::permissions(m_path) & 0x4077, QFileDevice::ReadOwner); // the owner's alone
        std::optional<LearnResult> result;
        qint64 generation = store.totals()->generation;
        for (const QString& op : ops) {
            QByteArray raw = mail(op[1].toLatin1());
            if (op[0] == u'C')
                raw.replace("\r\n", "\n");
            const MessageClass cls = op[0] == u'W' ? MessageClass::Wanted : MessageClass::Junk;
            result = op[0] == u'F' ? store.forget(raw) : store.learn(raw, cls);
            QVERIFY(result);
            const qint64 before = std::exchange(generation, store.totals()->generation);
            QCOMPARE(generation > before, *result == LearnResult::Learned || *result == LearnResult::Moved ||
                                              *result == LearnResult::Forgotten);
        }
        QCOMPARE(int(*result), int(last));
        const LearnStore::Totals t = *store.totals();
        const QList<TokenCounts> c = *store.countsOf({u"aword"_s, u"body"_s});
        QCOMPARE((QList<int>{int(t.junk), int(t.wanted), int(c[0].junk), int(c[0].wanted)}), counts);
        QCOMPARE(int(c[1].junk + c[1].wanted), counts[0] + counts[1]); // shared by every message
    }

    void digest_data() { indexRows(kDigests); }
    void digest() {
        QFETCH(int, row);
        const QByteArray& raw = std::get<1>(kDigests[row]);
        QCOMPARE(LearnStore::digestOf(raw),
                 QCryptographicHash::hash(QByteArray(raw).replace("\r\n", "\n"), QCryptographicHash::Sha256));
    }

    // A damaged store is reported as damaged and kept as it was; no fresh store is made over it.
    void damaged_data() {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<bool>("fromRealStore"); // the bytes overwrite the middle of a real store
        QTest::newRow("not a database") << QByteArray("From: a@b\r\n\r\nhello\r\n") << false;
        QTest::newRow("header, then garbage")
            << QByteArray("SQLite format 3\0", 16) + QByteArray(5000, 'x') << false;
        QTest::newRow("pages overwritten") << QByteArray(3000, '\xA5') << true;
    }
    void damaged() {
        QFETCH(QByteArray, bytes);
        QFETCH(bool, fromRealStore);
        if (fromRealStore) {
            {
                LearnStore store(m_path);
                QVERIFY(store.open());
                for (char c = 'a'; c <= 'z'; ++c)
                    QVERIFY(store.learn(mail(c).repeated(20), MessageClass::Junk));
                QSqlDatabase::database(QString(), false); // nothing else holds it
            }
            QByteArray db = brindle::testing::readFile(m_path);
            QVERIFY(db.size() > 4096 + bytes.size());
            bytes = db.replace(1024, bytes.size(), bytes);
        }
        QVERIFY(brindle::testing::writeFile(m_path, bytes));
        const QByteArray before = brindle::testing::readFile(m_path);
        LearnStore store(m_path);
        QVERIFY(!store.open());
        QCOMPARE(store.error(), StoreError::Corrupt);
        QVERIFY(store.errorText().contains(u"壊れています"_s));
        QVERIFY(!store.learn(mail('a'), MessageClass::Junk));
        QCOMPARE(brindle::testing::readFile(m_path), before);
    }

    void missingFolder() {
        LearnStore store(m_dir->filePath(u"gone/learned.sqlite"_s));
        QVERIFY(!store.open());
        QCOMPARE(store.error(), StoreError::Unavailable);
        QVERIFY(!QFileInfo::exists(m_dir->filePath(u"gone"_s)));
    }

    // A writer holding the store past the wait is reported "locked"; once it is done, learning goes on.
    void lockedByAnother() {
        QVERIFY(LearnStore(m_path).open());
        {
            QSqlDatabase other = QSqlDatabase::addDatabase(u"QSQLITE"_s, u"other"_s);
            other.setDatabaseName(m_path);
            QVERIFY(other.open());
            QSqlQuery hold(other);
            QVERIFY(hold.exec(u"BEGIN IMMEDIATE"_s));
            LearnStore store(m_path);
            store.setBusyTimeout(50);
            QVERIFY(store.open());
            QVERIFY(!store.learn(mail('a'), MessageClass::Junk));
            QCOMPARE(store.error(), StoreError::Locked);
            QVERIFY(store.totals()); // readers are not kept out (WAL)
            QVERIFY(hold.exec(u"COMMIT"_s));
            QCOMPARE(store.learn(mail('a'), MessageClass::Junk), LearnResult::Learned);
        }
        QSqlDatabase::removeDatabase(u"other"_s);
    }

    // Two programs learning into one store at once: nothing is lost and neither fails.
    void twoProcesses() {
        QProcess a, b;
        a.start(QStringLiteral(LEARN_STORE_HELPER), {m_path, u"0"_s, u"40"_s});
        b.start(QStringLiteral(LEARN_STORE_HELPER), {m_path, u"1000"_s, u"40"_s});
        QVERIFY(a.waitForFinished(60000) && b.waitForFinished(60000));
        QCOMPARE(a.exitCode(), 0);
        QCOMPARE(b.exitCode(), 0);
        LearnStore store(m_path);
        QVERIFY(store.open());
        QCOMPARE(int(store.totals()->junk + store.totals()->wanted), 80);
    }

    // A learner killed (SIGKILL) midway: what it reported learned is learned, and the store opens sound.
    void killedWhileLearning() {
        QProcess p;
        p.start(QStringLiteral(LEARN_STORE_HELPER), {m_path, u"0"_s, u"100000"_s});
        QVERIFY(p.waitForStarted());
        int reported = 0;
        while (reported < 25 && p.waitForReadyRead(30000))
            while (p.canReadLine())
                reported = p.readLine().trimmed().mid(8).toInt();
        QVERIFY(reported >= 25);
        p.kill();
        QVERIFY(p.waitForFinished());
        LearnStore store(m_path);
        QVERIFY2(store.open(), qPrintable(store.errorText()));
        const auto t = *store.totals();
        QVERIFY2(int(t.junk + t.wanted) >= reported, qPrintable(QString::number(t.junk + t.wanted)));
        QVERIFY(int(t.junk + t.wanted) < 100000);
        QCOMPARE(store.learn(mail('a'), MessageClass::Junk), LearnResult::Learned);
    }

    // Pruning by count keeps the newest messages and scales the token counts; by age drops the old ones.
    void prune() {
        LearnStore store(m_path);
        QVERIFY(store.open());
        for (char c = 'a'; c < 'a' + 20; ++c)
            QVERIFY(store.learn(mail(c), c % 2 ? MessageClass::Junk : MessageClass::Wanted, 1000 + c));
        QVERIFY(store.prune(10, 1000000, 2000));
        QCOMPARE(int(store.totals()->junk + store.totals()->wanted), 10);
        QVERIFY(!store.learnedClass(mail('a')).value().has_value());
        QVERIFY(store.learnedClass(mail('a' + 19)).value().has_value());
        QCOMPARE(int(store.countsOf({u"body"_s})->front().junk), 5);
        // Over its room, the store drops the tokens seen in fewest messages and keeps the rest.
        QCOMPARE(int(store.countsOf({u"sword"_s})->front().junk), 1);
        QVERIFY(store.prune(100, 1000000, 2000, 1));
        QCOMPARE(int(store.countsOf({u"sword"_s})->front().junk), 0);
        QCOMPARE(int(store.countsOf({u"body"_s})->front().junk), 5);
        QVERIFY(store.prune(100, 1, 1000 + 'a' + 15 + 86400));
        QCOMPARE(int(store.totals()->junk + store.totals()->wanted), 5);
    }

    // Learning counts for the next judgement: its own at once, another program's before a junk verdict;
    // nothing is judged before 20 of each class.
    void learningSeen_data() {
        QTest::addColumn<bool>("own");
        QTest::newRow("another program's") << false;
        QTest::newRow("its own") << true;
    }
    void learningSeen() {
        QFETCH(bool, own);
        LearnStore judging(m_path), other(m_path);
        QVERIFY(judging.open() && other.open());
        LearnStore& learner = own ? judging : other;
        const QByteArray probe = mail('z');
        QVERIFY(learner.learn(numbered(kLunch, MessageClass::Wanted, 20)));
        QVERIFY(learner.learn(numbered(probe + " junk ", MessageClass::Junk, 19)));
        QCOMPARE(judging.judge(probe)->verdict, Verdict::NotReady);
        QVERIFY(learner.learn(numbered(probe + " junk ", MessageClass::Junk, 20, 19)));
        QCOMPARE(judging.judge(probe)->verdict, Verdict::Junk);
        QVERIFY(!judging.judge(probe)->reasons.isEmpty());
        QCOMPARE(judging.judge(probe)->verdict, Verdict::Junk); // its counts in memory now
        QVERIFY(learner.learn(numbered(probe + " lunch ", MessageClass::Wanted, 40)));
        QCOMPARE(judging.judge(probe)->verdict, Verdict::Unsure);
        if (!own)
            return; // away from junk, another's learning may take a moment
        QVERIFY(learner.learn(numbered("Subject: hello\r\n\r\ndinner ", MessageClass::Wanted, 400)));
        QCOMPARE(judging.judge(probe)->verdict, Verdict::Junk);
    }

    // Learned wanted is never junk, by judge() or a check that lists nothing (no look-up for kept mail).
    void learnedWantedStaysWanted_data() {
        QTest::addColumn<bool>("forDeletion");
        QTest::newRow("judge") << false;
        QTest::newRow("for deletion") << true;
    }
    void learnedWantedStaysWanted() {
        QFETCH(bool, forDeletion);
        LearnStore store(m_path);
        QVERIFY(store.open());
        const QByteArray probe = mail('z'), other = mail('z') + "more\r\n";
        QVERIFY(store.learn(numbered(kLunch, MessageClass::Wanted, 20) +
                            numbered(probe + " junk ", MessageClass::Junk, 40) +
                            QList<LearnItem>{{probe, MessageClass::Wanted}}));
        const auto judged = [&](const QByteArray& raw) {
            return forDeletion ? store.judgeForDeletion(raw, brindle::decodeMessage(raw)) : store.judge(raw);
        };
        QCOMPARE(judged(other)->verdict, Verdict::Junk); // the same tokens, never learned
        QCOMPARE(judged(probe)->verdict, Verdict::Wanted);
    }
};

QTEST_GUILESS_MAIN(TestStore)
#include "tst_store.moc"
