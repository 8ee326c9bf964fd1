// The windows of the deletion log, the allow list and the trial check, where they can go wrong: the
// order of the log, which senders reach the allow list, what an export or a saved copy holds, a copy
// removed by retention, the entries the editor refuses or removes, a trial check that deletes.
#include "UiTestSupport.h"

#include "keywords/AllowList.h"
#include "mailcheck/Quarantine.h"
#include "ui/AllowListForm.h"
#include "ui/DeletedMailForm.h"
#include "ui/GekitaiForm.h"
#include "ui/MailViewer.h"

#include <QApplication>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QTableWidget>

using namespace brindle;
using namespace brindle::test;

namespace {

using D = DeletedMailForm;

template <typename T> T* window(const QString& name) {
    for (QWidget* w : QApplication::topLevelWidgets()) {
        if (w->objectName() == name && w->isVisible())
            return qobject_cast<T*>(w);
    }
    return nullptr;
}

// Three deletions, oldest first: two from one sender written differently, with copies (the second
// partial, its subject encoded); the newest one's copy already removed by retention.
const QByteArray kFirst = "Subject: first\r\nFrom: Taro@Example.JP\r\n\r\nFrom here on\r\n";
const QByteArray kSecond =
    "Subject: =?UTF-8?B?5LqM55Wq55uu?=\r\nFrom: taro@example.jp\r\nTo: me@example.net\r\n\r\n"
    "two\r\n";

void writeLog(const UiFixture& fx) {
    Quarantine q(fx.dir.dataFolder(), QuarantineLimits{});
    const QDateTime now = QDateTime::currentDateTime();
    QList<DeletionRecord> records;
    const QList<std::tuple<QString, QString, QByteArray>> rows{
        {QStringLiteral("Taro@Example.JP"), QStringLiteral("first"), kFirst},
        {QStringLiteral("taro@example.jp"), QStringLiteral("second"), kSecond},
        {QStringLiteral("jiro@example.org"), QStringLiteral("third"), "Subject: third\r\n\r\n"}};
    for (int i = 0; i < rows.size(); ++i) {
        DeletionRecord r;
        r.when = now.addSecs(3600 * (i - 2));
        std::tie(r.sender, r.subject, std::ignore) = rows[i];
        r.ruleWord = QStringLiteral("件名");
        r.copyPath = q.keep(std::get<2>(rows[i]), i + 1, QString(), r.when).value_or(QString());
        QVERIFY(!r.copyPath.isEmpty());
        r.partialCopy = i == 1;
        records << r;
    }
    QVERIFY(QFile::remove(q.absolutePath(records[2].copyPath)));
    QVERIFY(appendDeletionLog(fx.dir.dataFolder(), records));
    QVERIFY(testing::writeFile(allowListPath(), "jiro@example.org\n"));
}

struct LogRow {
    const char* name;
    QList<int> selected = {}; // table rows, newest first
    QPushButton* D::*button = nullptr;
    QString told = {};       // a part of the one box shown; empty: no box
    QByteArray exact = {};   // the whole written file
    int messages = 0;        // "From " separators in the written file
    QByteArrayList has = {}; // parts of the written file
    QStringList allowed = {QStringLiteral("jiro@example.org")};
    QString viewerSubject = {}; // the decoded subject of the viewer opened
};

const QList<LogRow> kLogRows{
    {.name = "export of all skips the removed copy",
     .button = &D::ExportCommand,
     .told = "控えがもうない1件",
     .messages = 2,
     .has = {"From here on", "two"}},
    {.name = "export of the selection",
     .selected = {1},
     .button = &D::ExportCommand,
     .told = "1件を書き出しました",
     .messages = 1,
     .has = {"two"}},
    {.name = "export of removed copies only",
     .selected = {0},
     .button = &D::ExportCommand,
     .told = "書き出せる控えがありません"},
    {.name = "save copies the bytes", .selected = {2}, .button = &D::SaveCommand, .exact = kFirst},
    {.name = "a removed copy is told",
     .selected = {0},
     .button = &D::OpenCommand,
     .told = "控えはもうありません"},
    {.name = "open decodes the copy",
     .selected = {1},
     .button = &D::OpenCommand,
     .viewerSubject = QStringLiteral("二番目")},
    {.name = "allow adds normalized senders once",
     .selected = {0, 1, 2},
     .button = &D::AllowCommand,
     .told = "許可リストに1件追加",
     .allowed = {"jiro@example.org", "taro@example.jp"}},
};

} // namespace

class DeletedMailTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void logWindow_data() {
        QTest::addColumn<int>("row");
        for (int i = 0; i < kLogRows.size(); ++i)
            QTest::newRow(kLogRows[i].name) << i;
    }
    void logWindow() {
        QFETCH(int, row);
        const LogRow& want = kLogRows[row];
        UiFixture fx;
        writeLog(fx);
        MainForm& main = fx.start();
        const QString out = fx.dir.path(QStringLiteral("written.out"));
        uiServices().chooseSaveFile = [&out](QWidget*, const QString&) { return out; };
        main.mdeleted->trigger();
        auto* f = window<D>(QStringLiteral("DeletedMailForm"));
        QVERIFY(f);
        QStringList subjects;
        for (int r = 0; r < f->Table->rowCount(); ++r)
            subjects << f->Table->item(r, 4)->text();
        QCOMPARE(subjects, (QStringList{"third", "second", "first"}));
        for (int r : want.selected)
            f->Table->selectionModel()->select(f->Table->model()->index(r, 0),
                                               QItemSelectionModel::Select | QItemSelectionModel::Rows);
        (f->*want.button)->click();

        QCOMPARE(fx.boxes.asked.size(), want.told.isEmpty() ? 0 : 1);
        if (!want.told.isEmpty())
            QVERIFY2(fx.boxes.asked[0].contains(want.told), qPrintable(fx.boxes.asked[0]));
        const QByteArray written = testing::readFile(out);
        if (!want.exact.isEmpty())
            QCOMPARE(written, want.exact);
        else // separator lines only: the body's "From here on" is quoted
            QCOMPARE(written.count("\nFrom ") + (written.startsWith("From ") ? 1 : 0),
                     qsizetype(want.messages));
        for (const QByteArray& part : want.has)
            QVERIFY2(written.contains(part), part.constData());
        QCOMPARE(readAllowList(), want.allowed);
        auto* viewer = f->findChild<MailViewer*>();
        QCOMPARE(viewer ? viewer->SubjectText->text() : QString(), want.viewerSubject);
        if (viewer) // the second copy is partial
            QVERIFY(!viewer->Note->isHidden());
    }

    void allowListEditor_data() {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<int>("removeRow");
        QTest::addColumn<bool>("yes");
        QTest::addColumn<QStringList>("after");
        QTest::addColumn<bool>("told");
        const QStringList both{"a@example.jp", "b@example.jp"};
        QTest::newRow("no address refused") << "taro" << -1 << false << both << true;
        QTest::newRow("domain taken normalized")
            << QStringLiteral("＠Example.JP") << -1 << false << (both + QStringList{"@example.jp"}) << false;
        QTest::newRow("removal confirmed") << "" << 1 << true << QStringList{"a@example.jp"} << false;
        QTest::newRow("removal declined") << "" << 1 << false << both << false;
    }
    void allowListEditor() {
        QFETCH(QString, typed);
        QFETCH(int, removeRow);
        QFETCH(bool, yes);
        QFETCH(QStringList, after);
        QFETCH(bool, told);
        UiFixture fx;
        QVERIFY(testing::writeFile(allowListPath(), "# mine\na@example.jp\nb@example.jp\n"));
        forms::gekitaiForm()->Command3->click();
        auto* f = window<AllowListForm>(QStringLiteral("AllowListForm"));
        QVERIFY(f);
        if (removeRow >= 0) {
            f->List1->setCurrentRow(removeRow);
            fx.boxes.answers = {yes ? MsgResult::Yes : MsgResult::No};
            f->Command2->click();
        } else {
            f->Text1->setText(typed);
            f->Command1->click();
        }
        QCOMPARE(readAllowList(), after);
        QStringList shown;
        for (int i = 0; i < f->List1->count(); ++i)
            shown << f->List1->item(i)->text();
        QCOMPARE(shown, after);
        QCOMPARE(fx.boxes.asked.size() - (removeRow >= 0 ? 1 : 0), told ? 1 : 0);
        if (told)
            QVERIFY(fx.boxes.asked[0].contains(QStringLiteral("taro@example.jp")));
        QVERIFY(testing::readFile(allowListPath()).startsWith("# mine\n"));
    }

    // The trial judges as the check does and deletes nothing; started while a check runs, it does not
    // start at all.
    void trialCheck_data() {
        QTest::addColumn<bool>("duringCheck");
        QTest::newRow("alone") << false;
        QTest::newRow("during a check") << true;
    }
    void trialCheck() {
        QFETCH(bool, duringCheck);
        UiFixture fx;
        fx.writeServerAndAccount();
        MainForm& main = fx.start();
        GekitaiForm* g = forms::gekitaiForm();
        g->Text1->setText(QStringLiteral("spam"));
        g->Command1->click();
        main.Option1->setChecked(true);
        fx.lib.setSubjects({QStringLiteral("hello"), QStringLiteral("spam offer")});
        fx.lib.log.clear();
        if (duringCheck) {
            fx.boxes.onShow = [&main] { main.mtrial->trigger(); };
            main.Command6->click();
        } else {
            main.mtrial->trigger();
        }
        QCOMPARE(fx.lib.log.filter(QRegularExpression(QStringLiteral("^connect "))).size(), 1);
        QCOMPARE(fx.lib.log.filter(QRegularExpression(QStringLiteral("^dele "))).size(), duringCheck ? 1 : 0);
        auto* f = window<D>(QStringLiteral("TrialResultForm"));
        QCOMPARE(f != nullptr, !duringCheck);
        if (f) {
            QCOMPARE(f->Table->rowCount(), 1);
            QCOMPARE(f->Table->item(0, 0)->text(), QStringLiteral("2"));
            QCOMPARE(f->Table->item(0, 4)->text(), QStringLiteral("spam offer"));
            QVERIFY(f->OpenCommand->isHidden() && !f->AllowCommand->isHidden());
            QVERIFY(readDeletionLog(fx.dir.dataFolder()).isEmpty());
        }
    }
};

QTEST_MAIN(DeletedMailTest)
#include "tst_deletedmail.moc"
