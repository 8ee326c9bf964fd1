// The mailbox preview "受信箱を見る" on fake passes: verdicts, marks, deletion, a pass already running.
#include "UiTestSupport.h"

#include "ui/PreviewForm.h"

using namespace brindle;
using namespace brindle::test;

namespace {

using Report = CheckOutcome::MessageReport;
using V = Report::Verdict;
using Mark = PreviewForm::Mark;
using Steps = QList<std::pair<QList<int>, Mark>>;
enum Column { Sender = 1, Judged = 4, Marked = 5 };

Report report(const QString& uidl, V verdict, const QString& ruleWord = {}, double score = -1,
              const QString& keyword = {}) {
    Report r;
    r.uidl = uidl;
    r.verdict = verdict;
    r.ruleWord = ruleWord;
    r.learnedScore = score;
    r.keyword = keyword;
    r.sender = QStringLiteral("a\x1b]0;title\x07@exam\x1b[31mple.jp"); // shown without the escapes
    r.subject = QStringLiteral("件名 ") + uidl;
    r.text = QStringLiteral("From: a@example.jp\r\nSubject: 件名 %1\r\n\r\n本文 %1\r\n").arg(uidl).toUtf8();
    return r;
}

CheckOutcome listing(const QList<Report>& messages) {
    CheckOutcome o;
    o.status = CheckOutcome::Status::Done;
    o.messages = messages;
    return o;
}

// The passes the window runs: the inputs of each, answered by the outcomes queued.
struct Passes {
    QList<CheckInputs> inputs;
    QList<CheckOutcome> outcomes;
    std::function<void()> during;
    PreviewForm::Runner runner() {
        return [this](CheckInputs in, std::function<void(const CheckOutcome&)> done) {
            inputs << in;
            if (during)
                during();
            done(outcomes.isEmpty() ? CheckOutcome{} : outcomes.takeFirst());
        };
    }
};

// The window on recorded passes, whose first reading lists these messages.
struct Listed : UiFixture {
    Passes passes;
    std::unique_ptr<PreviewForm> f;
    explicit Listed(const QList<Report>& messages) {
        passes.outcomes << listing(messages);
        f = std::make_unique<PreviewForm>(windows(), passes.runner());
        QVERIFY(f->refresh());
    }
};

const std::tuple<const char*, Report, QString, int> kVerdicts[]{
    {"keyword", report("u", V::Caught, "件名", -1, "当選"), "件名「当選」", 1},
    {"learned", report("u", V::Caught, "学習", 0.99841), "学習 0.998", 1},
    {"kept", report("u", V::Keep), "残す", 0},
    {"kept, scored", report("u", V::Keep, {}, 0.1204), "残す（学習 0.120）", 0},
};

// Rows marked in turn, the learned totals (junk, wanted), the marks shown, a part of the box shown.
const QString kJ = u"迷惑メール"_qs, kW = u"迷惑メールではない"_qs, kNone = u"（UIDLなし）"_qs;
const std::tuple<const char*, Steps, QList<quint32>, QStringList, QString> kMarkings[]{
    {"two as junk", {{{0, 1}, Mark::Junk}}, {2, 0}, {kJ, kJ, kNone}, ""},
    {"marked the other way moves", {{{0, 1}, Mark::Junk}, {{0}, Mark::Wanted}}, {1, 1}, {kW, kJ, kNone}, ""},
    {"same mark twice counts once", {{{1}, Mark::Wanted}, {{1}, Mark::Wanted}}, {0, 1}, {"", kW, kNone}, ""},
    {"no UIDL: told why", {{{0, 2}, Mark::Junk}}, {1, 0}, {kJ, "", kNone}, "1通には印を付けられません"},
};

struct DeleteCase {
    const char* name;
    QList<Report> listed;
    QList<std::pair<int, Mark>> marks = {};
    MsgResult answer = MsgResult::Yes;
    QSet<QString> only = {}; // empty: no deletion pass
    QSet<QString> junk = {}, wanted = {};
    QStringList deletedByPass = {}, listedAfter = {};
    QString told = {};
};

const QList<Report> kMailbox{report("u1", V::Caught, "HTML"), report("u2", V::Keep),
                             report("u3", V::Caught, "学習", 0.99), report("u4", V::Keep),
                             report("", V::Caught, "HTML")};

const QList<DeleteCase> kDeleteCases{
    {.name = "caught and marked junk, not marked wanted",
     .listed = kMailbox,
     .marks = {{1, Mark::Junk}, {2, Mark::Wanted}},
     .only = {"u1", "u2"},
     .junk = {"u2"},
     .wanted = {"u3"},
     .deletedByPass = {"u1"},
     .listedAfter = {"u3", "u4", ""},
     .told = "1通を削除しました。\n1通はサーバーにもうありませんでした"},
    {.name = "kept when judged whole",
     .listed = kMailbox,
     .only = {"u1", "u3"},
     .listedAfter = {"u1", "u3"},
     .told = "0通を削除しました。\n2通は全文で判定し直した結果、残しました。"},
    {.name = "answered no", .listed = kMailbox, .answer = MsgResult::No},
    {.name = "nothing to delete",
     .listed = {report("u2", V::Keep), report("", V::Caught, "HTML")},
     .told = "削除するメールはありません。\nUIDLのない1通"},
};

} // namespace

class PreviewTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void verdicts_data() { indexRows(kVerdicts); }
    void verdicts() {
        QFETCH(int, row);
        const auto& [name, message, verdict, caught] = kVerdicts[row];
        Listed fx({message});
        QCOMPARE(texts(fx.f->Table, Judged), QStringList{verdict});
        QCOMPARE(fx.f->Table->item(0, Sender)->text(), QStringLiteral("a@example.jp"));
        QVERIFY2(fx.f->Status->text().contains(QStringLiteral("削除対象 %1通").arg(caught)),
                 qPrintable(fx.f->Status->text()));
    }

    void marking_data() { indexRows(kMarkings); }
    void marking() {
        QFETCH(int, row);
        const auto& [name, steps, totals, shown, told] = kMarkings[row];
        Listed fx({report("u1", V::Keep), report("u2", V::Caught, "HTML"), report("", V::Keep)});
        const auto& f = fx.f;
        for (const auto& [rows, mark] : steps) {
            selectRows(f->Table, rows);
            (mark == Mark::Junk ? f->JunkCommand : f->WantedCommand)->click();
        }
        QCOMPARE(learnedTotals(), totals);
        QCOMPARE(texts(f->Table, Marked), shown);
        const QString learned = u"学習済み: 迷惑メール %1通 / 迷惑メールではない %2通"_qs;
        QVERIFY(f->Status->text().contains(learned.arg(totals[0]).arg(totals[1])));
        QVERIFY2(told.isEmpty() ? fx.boxes.asked.isEmpty()
                                : fx.boxes.asked.size() == 1 && fx.boxes.asked[0].contains(told),
                 qPrintable(fx.boxes.asked.join(u'|')));
    }

    void deletion_data() { indexRows(kDeleteCases); }
    void deletion() {
        QFETCH(int, row);
        const DeleteCase& c = kDeleteCases[row];
        Listed fx(c.listed);
        const auto& [passes, f] = std::tie(fx.passes, fx.f);
        for (const auto& [r, mark] : c.marks) {
            selectRows(f->Table, {r});
            f->markSelected(mark);
        }
        CheckOutcome done = listing({});
        for (const QString& uidl : c.deletedByPass) {
            CaughtMessage m;
            m.deleted = true;
            m.uidl = uidl;
            done.caught.append(m);
            ++done.deleted;
        }
        QList<Report> after;
        for (const QString& uidl : c.listedAfter)
            after << report(uidl, V::Keep);
        passes.outcomes << done << listing(after);
        fx.boxes.asked.clear();
        fx.boxes.answers = {c.answer};
        f->DeleteCommand->click();
        QCOMPARE(passes.inputs.size(), c.only.isEmpty() ? 1 : 3);
        if (!c.only.isEmpty()) {
            const CheckInputs& in = passes.inputs[1];
            QCOMPARE(in.previewLines, -1);
            QCOMPARE(in.onlyUidls.value_or(QSet<QString>{"-"}), c.only);
            QCOMPARE(in.marks.junk, c.junk);
            QCOMPARE(in.marks.wanted, c.wanted);
            QVERIFY(passes.inputs[2].previewLines > 0);
            QCOMPARE(f->Table->rowCount(), c.listedAfter.size());
        }
        if (!c.told.isEmpty())
            QVERIFY2(fx.boxes.asked.last().contains(c.told), qPrintable(fx.boxes.asked.join(u'|')));
    }

    void refusedWhileAPassRuns_data() {
        QTest::addColumn<bool>("mainWindowCheck");
        QTest::newRow("a check of the main window") << true;
        QTest::newRow("this window's own pass") << false;
    }
    void refusedWhileAPassRuns() {
        QFETCH(bool, mainWindowCheck);
        UiFixture fx;
        Passes passes;
        MainForm& main = fx.startWithServer();
        std::unique_ptr<PreviewForm> f(new PreviewForm(main.windows(), passes.runner()));
        std::optional<bool> refreshed;
        bool entryEnabled = true;
        auto refreshNow = [&] {
            refreshed = f->refresh();
            entryEnabled = control<QAction>(main, "mpreview")->isEnabled();
        };
        if (mainWindowCheck) {
            fx.lib.connectFails = true; // the check by hand tells why, in a box, while it runs
            fx.boxes.onShow = refreshNow;
            main.runCheck();
            untilCheckEnds(main);
            QVERIFY(passes.inputs.isEmpty());
            QVERIFY(!entryEnabled);
            QVERIFY(f->Status->text().contains(QStringLiteral("メールチェックの実行中です")));
            QVERIFY(!f->RefreshCommand->isEnabled());
        } else {
            passes.during = refreshNow;
            passes.outcomes << listing({report("u1", V::Keep)});
            QVERIFY(f->refresh());
            QCOMPARE(passes.inputs.size(), 1);
        }
        QCOMPARE(refreshed, std::optional<bool>(false));
    }
};

QTEST_MAIN(PreviewTest)
#include "tst_preview.moc"
