// The windows' side of learning: the switch, the quarantine offer, "迷惑メールではない", a bad store.
#include "UiTestSupport.h"

#include "ui/LearnQuarantineDialog.h"
#include "ui/UiKit.h"

using namespace brindle;
using namespace brindle::test;

namespace {

using learn::LearnStore;
using learn::MessageClass;

// The deletions of the log, oldest first; each copy is its own message.
const QStringList kRules = u"件名 ひらがな HTML ファイルサイズ 本文 学習"_qs.split(u' ');

QByteArray copyText(int i) {
    return QStringLiteral("From: sender%1@example.jp\r\nSubject: お知らせ %1\r\n\r\n本文 %1 番目です。\r\n")
        .arg(i)
        .toUtf8();
}

// The log's copy files, in the order of kRules.
QStringList writeLog(const UiFixture& fx) {
    Quarantine q(fx.dir.dataFolder(), QuarantineLimits{});
    QList<DeletionRecord> records;
    QStringList files;
    for (int i = 0; i < kRules.size(); ++i) {
        DeletionRecord r;
        r.when = QDateTime::currentDateTime().addSecs(60 * (i - kRules.size()));
        r.ruleWord = kRules[i];
        r.sender = QStringLiteral("sender%1@example.jp").arg(i);
        r.subject = QStringLiteral("お知らせ %1").arg(i);
        r.copyPath = q.keep(copyText(i), i + 1, QString(), r.when).value_or(QString());
        records << r;
        files << q.absolutePath(r.copyPath);
    }
    [&] { QVERIFY(appendDeletionLog(fx.dir.dataFolder(), records)); }();
    return files;
}

// Rows toggled; learn now; copy wanted before, copy removed (-1: none); junk learned; box part.
const std::tuple<const char*, QList<int>, bool, int, int, quint32, QString> kOffers[]{
    {"hiragana ticked, keyword unticked", {4, 5}, true, -1, -1, 2u, "2件を迷惑メール"},
    {"later learns nothing", {}, false, -1, -1, 0u, ""},
    {"wanted stays wanted", {}, true, 0, -1, 1u, "1件は「迷惑メールではない」"},
    {"a gone copy is skipped", {}, true, -1, 4, 1u, "1件は控えを読めなかった"},
};

// Store ("junk" or file bytes); allow answered yes; wanted learned; learned line part; allow list.
const std::tuple<const char*, QByteArray, bool, quint32, QString, QStringList> kNotJunk[]{
    {"moved from junk, not allowed", "junk", false, 1u, "迷惑メール 0通 / 通常のメール 1通", {}},
    {"fresh store", "", true, 1u, "通常のメール 1通", {u"sender0@example.jp"_qs}},
    {"corrupt store", "not a database at all, just bytes", false, 0u, "壊れています", {}},
};

} // namespace

class LearningTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    // The entry follows LEARNING=1 and, switched off, stores it and offers nothing (nor at the start).
    void switchOff() {
        UiFixture fx;
        writeLog(fx);
        fx.write(UiFixture::ini(), "[EXEINI]\r\nLEARNING=1\r\n");
        MainForm& main = fx.start();
        QAction* learn = control<QAction>(main, "mlearn");
        QVERIFY(learn->isChecked());
        learn->trigger();
        QVERIFY(!learningSwitchedOn());
        QVERIFY(fx.dir.read(UiFixture::ini()).contains("LEARNING=0"));
        QVERIFY(!main.findChild<LearnQuarantineDialog*>());
    }

    // Switched on, stored: all copies offered, broad rules unticked; ticked learned; wanted kept; gone told.
    void quarantineOffer_data() { indexRows(kOffers); }
    void quarantineOffer() {
        QFETCH(int, row);
        const auto& [name, toggle, learn, wantedBefore, removed, junk, told] = kOffers[row];
        UiFixture fx;
        const QStringList files = writeLog(fx);
        if (wantedBefore >= 0) {
            LearnStore store;
            QVERIFY(store.open() && store.learn(copyText(wantedBefore), MessageClass::Wanted));
        }
        fx.write(UiFixture::ini(), "[EXEINI]\r\nLEARNING=0\r\n");
        MainForm& main = fx.start();
        QVERIFY(!control<QAction>(main, "mlearn")->isChecked() && !main.findChild<LearnQuarantineDialog*>());
        control<QAction>(main, "mlearn")->trigger();
        QVERIFY(learningSwitchedOn() && fx.dir.read(UiFixture::ini()).contains("LEARNING=1"));
        auto* d = main.findChild<LearnQuarantineDialog*>();
        QVERIFY(d && d->isVisible());
        QList<bool> ticked;
        for (int r = 0; r < d->Table->rowCount(); ++r)
            ticked << (d->Table->item(r, 0)->checkState() == Qt::Checked);
        QCOMPARE(texts(d->Table, 0), QStringList(kRules.rbegin(), kRules.rend())); // newest first
        QCOMPARE(ticked, (QList<bool>{false, true, false, false, false, true}));
        for (int r : toggle) {
            QTableWidgetItem* item = d->Table->item(r, 0);
            item->setCheckState(item->checkState() == Qt::Checked ? Qt::Unchecked : Qt::Checked);
        }
        if (removed >= 0)
            QVERIFY(QFile::remove(files[removed]));
        (learn ? d->LearnCommand : d->LaterCommand)->click();
        QCOMPARE(learnedTotals(), (QList<quint32>{junk, wantedBefore >= 0 ? 1u : 0u}));
        QCOMPARE(fx.boxes.asked.size(), learn ? 1 : 0);
        if (learn)
            QVERIFY2(fx.boxes.asked[0].contains(told), qPrintable(fx.boxes.asked[0]));
        QVERIFY(d->isHidden());
    }

    // "迷惑メールではない" learns the copy as wanted and offers the allow list; a bad store is told.
    void notJunk_data() { indexRows(kNotJunk); }
    void notJunk() {
        QFETCH(int, row);
        const auto& [name, store, yes, wanted, note, allowed] = kNotJunk[row];
        UiFixture fx;
        writeLog(fx);
        if (store == "junk") {
            LearnStore s;
            QVERIFY(s.open() && s.learn(copyText(0), MessageClass::Junk));
        } else if (!store.isEmpty()) {
            fx.write(QStringLiteral(u"★MailData/learned.sqlite"), store);
        }
        MainForm& main = fx.start();
        Q_EMIT control<QMenu>(main, "mfile")->aboutToShow();
        QCOMPARE(control<QAction>(main, "mlearn")->statusTip().contains(QStringLiteral("壊れています")),
                 store.startsWith("not"));
        DeletedMailForm* f = main.windows().openDeletedLog();
        f->Table->selectRow(f->Table->rowCount() - 1); // the oldest, kRules[0]
        fx.boxes.answers = {yes ? MsgResult::Yes : MsgResult::No, MsgResult::Ok};
        f->NotJunkCommand->click();
        QCOMPARE(learnedTotals(), (QList<quint32>{0, wanted}));
        QVERIFY2(f->LearnNote->text().contains(note), qPrintable(f->LearnNote->text()));
        QCOMPARE(readAllowList(), allowed);
        QVERIFY(!fx.boxes.asked.isEmpty());
        QCOMPARE(fx.boxes.asked[0].contains(QStringLiteral("壊れています")), store.startsWith("not"));
    }
};

QTEST_MAIN(LearningTest)
#include "tst_learning.moc"
