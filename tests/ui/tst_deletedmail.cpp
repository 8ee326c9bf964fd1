// The windows of the deletion log, the allow list and the trial check.
#include "UiTestSupport.h"

#include "ui/MailViewer.h"

using namespace brindle;
using namespace brindle::test;

namespace {

using D = DeletedMailForm;

// Three deletions, oldest first: one sender spelled two ways (the second partial); the newest copy gone.
const QByteArray kFirst = "Subject: first\r\nFrom: Taro@Example.JP\r\n\r\nFrom here on\r\n";
const QByteArray kSecond =
    "Subject: =?UTF-8?B?5LqM55Wq55uu?=\r\nFrom: taro@example.jp\r\nTo: me@example.net\r\n\r\n"
    "two\r\n";

void writeLog(const UiFixture& fx) {
    Quarantine q(fx.dir.dataFolder(), QuarantineLimits{});
    QList<DeletionRecord> records;
    const QList<std::tuple<QString, QString, QByteArray>> rows{
        {QStringLiteral("Taro@Example.JP"), QStringLiteral("first"), kFirst},
        {QStringLiteral("taro@example.jp"), QStringLiteral("second"), kSecond},
        {QStringLiteral("jiro@example.org"), QStringLiteral("third"), "Subject: third\r\n\r\n"}};
    for (int i = 0; i < rows.size(); ++i) {
        DeletionRecord r;
        r.when = QDateTime::currentDateTime().addSecs(3600 * (i - 2));
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

// Typed entry, or row removed and answer; the list after; whether a refusal is told.
const QStringList kBoth{"a@example.jp", "b@example.jp"};
const std::tuple<const char*, QString, int, bool, QStringList, bool> kEditorRows[]{
    {"no address refused", "taro", -1, false, kBoth, true},
    {"domain taken normalized", QStringLiteral("＠Example.JP"), -1, false, kBoth + QStringList{"@example.jp"},
     false},
    {"removal confirmed", "", 1, true, {"a@example.jp"}, false},
    {"removal declined", "", 1, false, kBoth, false},
};

} // namespace

class DeletedMailTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void logWindow_data() { indexRows(kLogRows); }
    void logWindow() {
        QFETCH(int, row);
        const LogRow& want = kLogRows[row];
        UiFixture fx;
        writeLog(fx);
        MainForm& main = fx.start();
        const QString out = fx.dir.path(QStringLiteral("written.out"));
        fx.services.chooseSaveFile = [&out](QWidget*, const QString&) { return out; };
        control<QAction>(main, "mdeleted")->trigger();
        auto* f = shownWindow<D>(QStringLiteral("DeletedMailForm"));
        QVERIFY(f);
        QCOMPARE(texts(f->Table, 4), (QStringList{"third", "second", "first"}));
        selectRows(f->Table, want.selected);
        (f->*want.button)->click();

        QCOMPARE(fx.boxes.asked.size(), want.told.isEmpty() ? 0 : 1);
        if (!want.told.isEmpty())
            QVERIFY2(fx.boxes.asked[0].contains(want.told), qPrintable(fx.boxes.asked[0]));
        const QByteArray written = testing::readFile(out);
        if (!want.exact.isEmpty())
            QCOMPARE(written, want.exact);
        else // separator lines only: the body's "From here on" is quoted
            QCOMPARE(("\n" + written).count("\nFrom "), qsizetype(want.messages));
        for (const QByteArray& part : want.has)
            QVERIFY2(written.contains(part), part.constData());
        QCOMPARE(readAllowList(), want.allowed);
        auto* viewer = f->findChild<MailViewer*>();
        QCOMPARE(viewer ? viewer->SubjectText->text() : QString(), want.viewerSubject);
        if (viewer) // the second copy is partial
            QVERIFY(!viewer->Note->isHidden());
    }

    void allowListEditor_data() { indexRows(kEditorRows); }
    void allowListEditor() {
        QFETCH(int, row);
        const auto& [name, typed, removeRow, yes, after, told] = kEditorRows[row];
        UiFixture fx;
        QVERIFY(testing::writeFile(allowListPath(), "# mine\na@example.jp\nb@example.jp\n"));
        fx.windows().gekitaiForm()->Command3->click();
        auto* f = shownWindow<AllowListForm>(QStringLiteral("AllowListForm"));
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
        QCOMPARE(texts(f->List1), after);
        QCOMPARE(fx.boxes.asked.size() - (removeRow >= 0 ? 1 : 0), told ? 1 : 0);
        if (told)
            QVERIFY(fx.boxes.asked[0].contains(QStringLiteral("taro@example.jp")));
        QVERIFY(testing::readFile(allowListPath()).startsWith("# mine\n"));
    }

    // The trial judges as the check does and deletes nothing; during a check it does not start.
    void trialCheck_data() {
        QTest::addColumn<bool>("duringCheck");
        QTest::newRow("alone") << false;
        QTest::newRow("during a check") << true;
    }
    void trialCheck() {
        QFETCH(bool, duringCheck);
        UiFixture fx;
        MainForm& main = fx.startWithServer();
        GekitaiForm* g = main.windows().gekitaiForm();
        g->Text1->setText(QStringLiteral("spam"));
        g->Command1->click();
        control<QRadioButton>(main, "Option1")->setChecked(true);
        fx.lib.setSubjects({QStringLiteral("hello"), QStringLiteral("spam offer")});
        fx.lib.log.clear();
        if (duringCheck) {
            fx.boxes.onShow = [&main] { control<QAction>(main, "mtrial")->trigger(); };
            control<QPushButton>(main, "Command6")->click();
        } else {
            control<QAction>(main, "mtrial")->trigger();
        }
        QCOMPARE(fx.lib.log.filter(u"connect "_qs).size(), 1);
        QCOMPARE(fx.lib.numbers(u"dele"_qs).size(), duringCheck ? 1 : 0);
        auto* f = shownWindow<D>(QStringLiteral("TrialResultForm"));
        QCOMPARE(f != nullptr, !duringCheck);
        if (f) {
            QCOMPARE(texts(f->Table, 0), QStringList{u"2"_qs});
            QCOMPARE(texts(f->Table, 4), QStringList{u"spam offer"_qs});
            QVERIFY(f->OpenCommand->isHidden() && !f->AllowCommand->isHidden());
            QVERIFY(readDeletionLog(fx.dir.dataFolder()).isEmpty());
        }
    }
};

QTEST_MAIN(DeletedMailTest)
#include "tst_deletedmail.moc"
