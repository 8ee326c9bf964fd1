// The learned judgement: learning speed, the cost of judging one message, the store's size for
// 1,000 and 10,000 learned messages, and the figures of a corpus trained on one half and judged on
// the other (both ways). Prints one line per measurement.
//
// The composed corpus repeats its words far more than real mail does, which would make the store
// look small; with "--vocabulary N" every message also carries N words of its own (names, numbers,
// tracking codes in real mail), as a heavier load on the store.
//
// With "--check-cost DIR [PASSES]": only what the learned judgement adds to a check of the Dovecot
// bench's mailbox, written into DIR by bench_checkrun --server dovecot --write-mail DIR.
#include "learn/LearnStore.h"
#include "learn/Tokenizer.h"
#include "mailcheck/mime/MimeDecode.h"
#include "tools/corpus/Corpus.h"

#include <cstdio>
#include <ctime>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QRandomGenerator>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>

using namespace brindle;
using namespace brindle::learn;

namespace {

qint64 storeBytes(const QString& path) {
    return QFileInfo(path).size() + QFileInfo(path + u"-wal"_qs).size() + QFileInfo(path + u"-shm"_qs).size();
}

// Judging messages the store has not learned: per message, tokenising and looking up, in the order a
// check meets them (the counts read for one message serve the next). With decoded, the messages
// decoded already, as a check hands them over from its rule.
double judgeMs(LearnStore& store, const QList<corpus::ComposedMessage>& mail, qsizetype from, qsizetype to,
               const QList<DecodedMessage>* decoded = nullptr) {
    QElapsedTimer t;
    t.start();
    for (qsizetype i = from; i < to; ++i) {
        if (decoded)
            store.judge(mail[i].raw, (*decoded)[i - from]);
        else
            store.judge(mail[i].raw);
    }
    return double(t.nsecsElapsed()) / 1e6 / double(to - from);
}

// The other way to look counts up: the whole token table read into memory once per check.
void wholeTableCost(const QString& path) {
    QElapsedTimer t;
    t.start();
    QHash<qint64, TokenCounts> table;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(u"QSQLITE"_qs, u"whole"_qs);
        db.setDatabaseName(path);
        if (!db.open())
            return;
        QSqlQuery q(db);
        q.setForwardOnly(true);
        q.exec(u"SELECT h, junk, wanted FROM tokens"_qs);
        while (q.next())
            table.insert(q.value(0).toLongLong(), {q.value(1).toUInt(), q.value(2).toUInt()});
    }
    QSqlDatabase::removeDatabase(u"whole"_qs);
    std::printf("  reading the whole token table instead: %lld tokens in %.1f ms, about %.1f MB in memory\n",
                qlonglong(table.size()), double(t.nsecsElapsed()) / 1e6,
                double(table.size()) * (sizeof(qint64) + sizeof(TokenCounts) + 8) / 1e6);
}

void withOwnWords(QList<corpus::ComposedMessage>& messages, int words) {
    QRandomGenerator rng(99);
    for (auto& m : messages) {
        QByteArray extra = "\r\n";
        for (int i = 0; i < words; ++i)
            extra += "w" + QByteArray::number(rng.generate64(), 36) + ' ';
        // Into the last text part's body when it is 8-bit; otherwise after the message (still read by
        // the tokenizer as the body of a single-part message).
        m.raw += extra + "\r\n";
    }
}

// The processor time of this thread: other programs on a busy machine do not count.
struct CpuTimer {
    qint64 from = 0;
    static qint64 now() {
        timespec ts{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
        return qint64(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
    }
    void start() { from = now(); }
    qint64 nsecsElapsed() const { return now() - from; }
};

// What the learned judgement adds to a check, per message, on the mailbox of the Dovecot bench
// (bench_checkrun --server dovecot --write-mail DIR): a store trained on its training mail, then each
// message judged as a check that lists nothing hands it over, decoded already, by a store opened
// afresh for each pass (the junk too, which that check's keyword rule deletes before any judging).
// The least of the passes; the tokens alone apart.
int checkCost(const QString& folder, int passes) {
    const auto filesIn = [](const QString& dir) {
        QList<QByteArray> raws;
        const QDir d(dir);
        for (const QString& name : d.entryList(QDir::Files, QDir::Name)) {
            QFile f(d.filePath(name));
            if (f.open(QIODevice::ReadOnly))
                raws << f.readAll().replace("\r\n", "\n").replace("\n", "\r\n"); // as POP3 sends it
        }
        return raws;
    };
    QTemporaryDir dir;
    const QString path = dir.filePath(u"learned.sqlite"_qs);
    {
        LearnStore store(path);
        QList<LearnItem> training;
        for (const QByteArray& raw : filesIn(folder + u"/train/junk"_qs))
            training << LearnItem{raw, MessageClass::Junk};
        for (const QByteArray& raw : filesIn(folder + u"/train/wanted"_qs))
            training << LearnItem{raw, MessageClass::Wanted};
        if (!store.open() || !store.learn(training))
            return 1;
    }
    const QList<QByteArray> box = filesIn(folder + u"/box/cur"_qs);
    if (box.isEmpty())
        return 1;
    QList<DecodedMessage> decoded;
    for (const QByteArray& raw : box)
        decoded << decodeMessage(raw);
    double tokensUs = 1e300, judgeUs = 1e300;
    CpuTimer t;
    qsizetype tokens = 0;
    int verdicts[4] = {};
    for (int pass = 0; pass < passes; ++pass) {
        t.start();
        for (qsizetype i = 0; i < box.size(); ++i)
            tokens += tokenList(decoded[i], box[i]).size();
        tokensUs = std::min(tokensUs, double(t.nsecsElapsed()) / 1e3 / double(box.size()));
        LearnStore checking(path);
        if (!checking.open())
            return 1;
        t.start();
        for (qsizetype i = 0; i < box.size(); ++i) {
            const std::optional<Judgement> j = checking.judgeForDeletion(box[i], decoded[i]);
            if (pass == 0 && j)
                ++verdicts[int(j->verdict)];
        }
        judgeUs = std::min(judgeUs, double(t.nsecsElapsed()) / 1e3 / double(box.size()));
    }
    std::printf("the Dovecot bench's %lld messages, %.0f tokens each: judging %.1f us a message, of which "
                "tokens %.1f us (least of %d passes)\n",
                qlonglong(box.size()), double(tokens) / double(passes) / double(box.size()), judgeUs,
                tokensUs, passes);
    std::printf("  verdicts: not ready %d, wanted %d, unsure %d, junk %d\n", verdicts[0], verdicts[1],
                verdicts[2], verdicts[3]);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() > 2 && args[1] == u"--check-cost")
        return checkCost(args[2], args.size() > 3 ? std::max(1, args[3].toInt()) : 5);
    const int ownWords = args.size() > 2 && args[1] == u"--vocabulary" ? args[2].toInt() : 0;
    QTemporaryDir dir;
    if (!dir.isValid())
        return 1;

    // Learning speed and the store's size.
    QList<corpus::ComposedMessage> mail = corpus::compose(2026, 6100, 6100);
    if (ownWords > 0)
        withOwnWords(mail, ownWords);
    const QString path = dir.filePath(u"learned.sqlite"_qs);
    LearnStore store(path);
    if (!store.open()) {
        std::fprintf(stderr, "%s\n", qPrintable(store.errorText()));
        return 1;
    }
    constexpr int kBatch = 100;
    QElapsedTimer t;
    qint64 learnMs = 0;
    for (int done = 0; done < 10'000; done += kBatch) {
        QList<LearnItem> batch;
        for (int i = done; i < done + kBatch; ++i)
            batch << LearnItem{mail[i].raw, mail[i].junk ? MessageClass::Junk : MessageClass::Wanted};
        t.start();
        if (!store.learn(batch))
            return 1;
        learnMs += t.elapsed();
        if (done + kBatch == 1'000 || done + kBatch == 10'000) {
            std::printf(
                "store after %5d learned: %.2f MB (log %.2f MB), learning %.0f messages/s (batches of %d)\n",
                done + kBatch, storeBytes(path) / 1e6, QFileInfo(path + u"-wal"_qs).size() / 1e6,
                (done + kBatch) * 1000.0 / std::max<qint64>(1, learnMs), kBatch);
            // A fresh object per check, as brindle-check opens the store: its first messages read most
            // of the vocabulary.
            LearnStore checking(path), decodedChecking(path);
            QList<DecodedMessage> decoded;
            for (int i = 10'200; i < 12'200; ++i)
                decoded << decodeMessage(mail[i].raw);
            if (checking.open() && decodedChecking.open())
                std::printf(
                    "  judging one message: %.3f ms (a check of 2,000 messages); decoded already, as a "
                    "check does: %.3f ms\n",
                    judgeMs(checking, mail, 10'200, 12'200),
                    judgeMs(decodedChecking, mail, 10'200, 12'200, &decoded));
            wholeTableCost(path);
        }
    }
    // One message per transaction, as the preview's marks learn.
    t.start();
    for (int i = 10'000; i < 10'200; ++i)
        store.learn(mail[i].raw, mail[i].junk ? MessageClass::Junk : MessageClass::Wanted);
    std::printf("learning one message per transaction: %.1f ms each\n", t.elapsed() / 200.0);

    // Judging: tokenising and looking up, per message.
    t.start();
    for (int i = 10'200; i < 11'000; ++i)
        tokenize(mail[i].raw);
    const double tokenMs = t.elapsed() / 800.0;
    t.start();
    for (int i = 10'200; i < 11'000; ++i)
        store.judge(mail[i].raw);
    std::printf("judging one message: %.2f ms (of which tokenising %.2f ms)\n", t.elapsed() / 800.0, tokenMs);

    // Train on one half, judge the other, both ways.
    const QList<corpus::ComposedMessage> measured = corpus::compose(4242, 2000, 2000);
    int junk = 0, caught = 0, wanted = 0, deleted = 0, unsure = 0;
    for (int half = 0; half < 2; ++half) {
        QTemporaryDir d;
        LearnStore s(d.filePath(u"learned.sqlite"_qs));
        if (!s.open())
            return 1;
        QList<LearnItem> training;
        for (qsizetype i = half; i < measured.size(); i += 2)
            training << LearnItem{measured[i].raw,
                                  measured[i].junk ? MessageClass::Junk : MessageClass::Wanted};
        if (!s.learn(training))
            return 1;
        for (qsizetype i = 1 - half; i < measured.size(); i += 2) {
            const Verdict v = s.judge(measured[i].raw)->verdict;
            unsure += v == Verdict::Unsure;
            (measured[i].junk ? junk : wanted) += 1;
            (measured[i].junk ? caught : deleted) += v == Verdict::Junk;
        }
    }
    std::printf(
        "corpus, half trained: junk caught %d/%d (%.2f %%), wanted deleted %d/%d (%.2f %%), unsure %d\n",
        caught, junk, 100.0 * caught / junk, deleted, wanted, 100.0 * deleted / wanted, unsure);
    return 0;
}
