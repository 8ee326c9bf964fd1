// The settings window, the server and account windows, and the keyword editor.
#include "UiTestSupport.h"

#include "keywords/KeywordFile.h"
#include "ui/GekitaiForm.h"
#include "ui/IdPassForm.h"
#include "ui/MainForm.h"
#include "ui/OptionForm.h"
#include "ui/SetForm.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>

using namespace brindle;
using namespace brindle::test;

class DialogsTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void clearingIntervalStoresZeroAtOnce();
    void settingsWindowStoredAtClose();
    void serverDialogRoundTrip();
    void serverDialogCancelChangesNothing();
    void serverDialogUnwritableTellsUser();
    void accountSavedThenUnticked();
    void accountUnwritableTellsUser();
    void keywordRegisterAbc();
    void keywordRefused_data();
    void keywordRefused();
    void keywordDeleteNothingSelectedOrAnsweredNo();
    void keywordDeleteAnsweredYes();
};

void DialogsTest::clearingIntervalStoresZeroAtOnce() {
    UiFixture fx;
    fx.writeIni("NUMBER2=5\r\n");
    MainForm& main = fx.start();
    QVERIFY(main.Timer3->isActive());
    SetForm* set = forms::setForm();
    set->Text2->clear();
    QCOMPARE(set->Text2->text(), QStringLiteral("0"));
    QCOMPARE(fx.general("NUMBER2"), QStringLiteral("0")); // written at once, before any close
    QVERIFY(!main.Check1->isChecked());
    QCOMPARE(main.Text7->text(), QStringLiteral("0"));
    QVERIFY(!main.Timer3->isActive());
}

void DialogsTest::settingsWindowStoredAtClose() {
    UiFixture fx;
    MainForm& main = fx.start();
    SetForm* set = forms::setForm();
    set->Text2->setText(QStringLiteral("10"));
    QCOMPARE(main.Text7->text(), QStringLiteral("10"));
    QVERIFY(main.Check1->isChecked());
    QVERIFY(main.Timer3->isActive());
    QCOMPARE(fx.general("NUMBER2"), QStringLiteral("0")); // not yet: only at close
    set->close();
    QCOMPARE(fx.general("NUMBER2"), QStringLiteral("10"));
    QCOMPARE(fx.general("NUMBER5"), QStringLiteral("<absent>")); // empty: neither option
    QVERIFY(!forms::isSetFormLoaded());
    UiFixture::flushDeletes();

    set = forms::setForm(); // the next reference loads it afresh, hidden
    QVERIFY(!set->isVisible());
    set->Check1->setChecked(true);
    set->Check2->setChecked(true);
    set->Option2->setChecked(true);
    set->Text2->setText(QStringLiteral("15"));
    set->close();
    UiFixture::flushDeletes();
    QCOMPARE(fx.general("NUMBER"), QStringLiteral("1"));
    QCOMPARE(fx.general("NUMBER4"), QStringLiteral("1"));
    QCOMPARE(fx.general("NUMBER5"), QStringLiteral("2"));
    SetForm* again = forms::setForm();
    QVERIFY(again->Check1->isChecked());
    QVERIFY(again->Check2->isChecked());
    QVERIFY(again->Option2->isChecked());
    QCOMPARE(again->Text2->text(), QStringLiteral("15"));
}

void DialogsTest::serverDialogRoundTrip() {
    UiFixture fx;
    OptionForm* f = forms::optionForm();
    QVERIFY(f->windowFlags().testFlag(Qt::WindowStaysOnTopHint));
    f->OkCommand->click(); // nothing typed: still the four lines
    QCOMPARE(fx.readFile(QStringLiteral("kestro.ini")), QByteArray("SMTP=\r\nPOP3=\r\nMAIL=\r\nAPOP=0\r\n"));
    QVERIFY(!forms::isOptionFormLoaded());
    UiFixture::flushDeletes();

    f = forms::optionForm();
    f->SmtpText->setText(QStringLiteral("smtp.example.org"));
    f->Pop3Text->setText(QStringLiteral("pop.example.org:110"));
    f->MailText->setText(QStringLiteral("ユーザー@example.org"));
    f->ApopCheck->setChecked(true);
    f->OkCommand->click();
    QCOMPARE(programValues().server.pop3Server, QStringLiteral("pop.example.org:110"));
    QCOMPARE(programValues().server.useApop, std::int16_t(1));
    QVERIFY(fx.boxes.asked.isEmpty());
    UiFixture::flushDeletes();

    programValues() = ProgramValues{};
    QVERIFY(loadServerSettings(programValues().server));
    OptionForm* again = forms::optionForm();
    QCOMPARE(again->SmtpText->text(), QStringLiteral("smtp.example.org"));
    QCOMPARE(again->Pop3Text->text(), QStringLiteral("pop.example.org:110"));
    QCOMPARE(again->MailText->text(), QStringLiteral("ユーザー@example.org"));
    QVERIFY(again->ApopCheck->isChecked());
}

void DialogsTest::serverDialogCancelChangesNothing() {
    UiFixture fx;
    const QByteArray before("SMTP=a\r\nPOP3=b\r\nMAIL=c\r\nAPOP=0\r\n");
    fx.writeFile(QStringLiteral("kestro.ini"), before);
    QVERIFY(loadServerSettings(programValues().server));
    OptionForm* f = forms::optionForm();
    f->Pop3Text->setText(QStringLiteral("changed"));
    f->CancelCommand->click();
    QCOMPARE(fx.readFile(QStringLiteral("kestro.ini")), before);
    QCOMPARE(programValues().server.pop3Server, QStringLiteral("b"));
    QVERIFY(!forms::isOptionFormLoaded());
}

void DialogsTest::serverDialogUnwritableTellsUser() {
    UiFixture fx;
    // A folder where the file should be: the file cannot be written, whoever runs the test.
    QVERIFY(QDir(fx.dir->path()).mkdir(QStringLiteral("kestro.ini")));
    OptionForm* f = forms::optionForm();
    f->Pop3Text->setText(QStringLiteral("127.0.0.1"));
    f->OkCommand->click();
    QCOMPARE(fx.boxes.asked.size(), 1);
    QVERIFY(fx.boxes.asked[0].text.startsWith(QStringLiteral("サーバー設定を保存できませんでした。")));
    QCOMPARE(fx.boxes.asked[0].icon, MsgIcon::Exclamation);
    QCOMPARE(fx.boxes.asked[0].buttons, MsgButtons::Ok);
    QCOMPARE(programValues().server.pop3Server, QStringLiteral("127.0.0.1")); // in effect for this run
}

void DialogsTest::accountSavedThenUnticked() {
    UiFixture fx;
    const QString file = QStringLiteral(u"★MailData/iniIdPass.ini");
    IdPassForm* f = forms::idPassForm();
    QVERIFY(f->IdText->text().isEmpty());
    QVERIFY(f->PassText->text().isEmpty());
    QVERIFY(!f->Check1->isChecked());
    QCOMPARE(f->PassText->echoMode(), QLineEdit::Password);
    f->IdText->setText(QStringLiteral("taro"));
    f->PassText->setText(QStringLiteral("pa ss"));
    f->Check1->setChecked(true);
    f->OKCommand->click();
    QVERIFY(programValues().accountConfirmed);
    QCOMPARE(programValues().accountId, QStringLiteral("taro"));
    QCOMPARE(programValues().accountPassword, QStringLiteral("pa ss"));
    QCOMPARE(fx.readFile(file), QByteArray("[EXEINI]\r\nNAME=taro\r\nNAME2=pa ss\r\nNAME3=1\r\n"));
    UiFixture::flushDeletes();

    f = forms::idPassForm(); // shown again, the box to save unticked
    QCOMPARE(f->IdText->text(), QStringLiteral("taro"));
    QCOMPARE(f->PassText->text(), QStringLiteral("pa ss"));
    QVERIFY(!f->Check1->isChecked());
    f->IdText->setText(QStringLiteral("jiro"));
    f->PassText->setText(QStringLiteral("other"));
    f->OKCommand->click();
    QCOMPARE(fx.readFile(file), QByteArray("[EXEINI]\r\nNAME=taro\r\nNAME2=pa ss\r\nNAME3=0\r\n"));
    // Confirmed in this run: the checks use it although it was not stored.
    QVERIFY(programValues().accountConfirmed);
    QCOMPARE(programValues().accountId, QStringLiteral("jiro"));
    QCOMPARE(programValues().accountPassword, QStringLiteral("other"));
}

void DialogsTest::accountUnwritableTellsUser() {
    UiFixture fx;
    QVERIFY(QDir(fx.dir->path()).mkpath(QStringLiteral("★MailData/iniIdPass.ini")));
    IdPassForm* f = forms::idPassForm();
    f->IdText->setText(QStringLiteral("taro"));
    f->PassText->setText(QStringLiteral("secret"));
    f->Check1->setChecked(true);
    f->OKCommand->click();
    QCOMPARE(fx.boxes.asked.size(), 1);
    QVERIFY(
        fx.boxes.asked[0].text.startsWith(QStringLiteral("ID・パスワードの設定を保存できませんでした。")));
    QCOMPARE(fx.boxes.asked[0].icon, MsgIcon::Exclamation);
    QCOMPARE(programValues().accountId, QStringLiteral("taro"));
    QVERIFY(programValues().accountConfirmed);
}

void DialogsTest::keywordRegisterAbc() {
    UiFixture fx;
    GekitaiForm* f = forms::gekitaiForm();
    QCOMPARE(f->List1->count(), 0);
    QVERIFY(QFile::exists(keywordFilePath())); // opening creates the empty file
    f->Text1->setText(QStringLiteral("abc"));
    f->Command1->click();
    QByteArray expected("\x0D\x0A\x01\x00", 4);
    expected += "abc" + QByteArray(197, ' ');
    QCOMPARE(fx.keywordFile(), expected);
    QCOMPARE(f->List1->count(), 1);
    QCOMPARE(f->List1->item(0)->text().trimmed(), QStringLiteral("abc"));
    QVERIFY(f->Text1->text().isEmpty());

    f->Text1->setText(QString(100, QChar(0x3042))); // exactly 200 bytes fits
    f->Command1->click();
    QCOMPARE(fx.keywordFile().size(), 2 * kKeywordRecordSize);
    QVERIFY(fx.boxes.asked.isEmpty());
}

void DialogsTest::keywordRefused_data() {
    QTest::addColumn<QString>("keyword");
    QTest::addColumn<QString>("message"); // how the box's text starts
    const QString unrepresentable = QStringLiteral("キーワードに登録できない文字が含まれています。");
    QTest::newRow("empty entry") << QString() << QStringLiteral("キーワードが入力されていません。");
    QTest::newRow("emoji") << QStringLiteral("当選🎉") << unrepresentable;
    QTest::newRow("hangul") << QStringLiteral("광고") << unrepresentable;
    QTest::newRow("latin with hook") << QStringLiteral("ƒree") << unrepresentable;
    QTest::newRow("101 full-width characters: 202 bytes")
        << QString(101, QChar(0x3042)) << QStringLiteral("キーワードが長すぎます。");
}

void DialogsTest::keywordRefused() {
    QFETCH(QString, keyword);
    QFETCH(QString, message);
    UiFixture fx;
    GekitaiForm* f = forms::gekitaiForm();
    f->Text1->setText(keyword);
    f->Command1->click();
    QCOMPARE(fx.boxes.asked.size(), 1);
    QVERIFY2(fx.boxes.asked[0].text.startsWith(message), qPrintable(fx.boxes.asked[0].text));
    QCOMPARE(fx.boxes.asked[0].buttons, MsgButtons::Ok);
    if (keyword.isEmpty()) {
        QCOMPARE(fx.boxes.asked[0].text, message);
        QCOMPARE(fx.boxes.asked[0].icon, MsgIcon::None);
        QVERIFY(fx.boxes.asked[0].caption.isEmpty()); // the application's title
    }
    QCOMPARE(fx.keywordFile(), QByteArray());
    QCOMPARE(f->Text1->text(), keyword); // left for the user to correct
    QCOMPARE(f->List1->count(), 0);
}

void DialogsTest::keywordDeleteNothingSelectedOrAnsweredNo() {
    UiFixture fx;
    QVERIFY(AppendKeyword(QStringLiteral("abc")));
    QVERIFY(AppendKeyword(QStringLiteral("def")));
    const QByteArray before = fx.keywordFile();
    GekitaiForm* f = forms::gekitaiForm();
    f->Command2->click();
    QCOMPARE(fx.boxes.asked.size(), 1);
    QCOMPARE(fx.boxes.asked[0].text, QStringLiteral("データが選択されていません。"));
    QCOMPARE(fx.boxes.asked[0].buttons, MsgButtons::Ok);

    f->List1->setCurrentRow(1);
    fx.boxes.answers = {MsgResult::No};
    f->Command2->click();
    QCOMPARE(fx.boxes.asked.size(), 2);
    QCOMPARE(fx.boxes.asked[1].text,
             QStringLiteral("選択された（行、青色）データを削除します。よろしいですか"));
    QCOMPARE(fx.boxes.asked[1].buttons, MsgButtons::YesNo);
    QCOMPARE(fx.boxes.asked[1].icon, MsgIcon::Question);
    QCOMPARE(fx.boxes.asked[1].caption, QStringLiteral("確認"));
    QCOMPARE(fx.keywordFile(), before);
    QCOMPARE(f->List1->count(), 2);
    QVERIFY(f->List1->selectedItems().isEmpty());
}

void DialogsTest::keywordDeleteAnsweredYes() {
    UiFixture fx;
    QVERIFY(AppendKeyword(QStringLiteral("abc")));
    QVERIFY(AppendKeyword(QStringLiteral("def")));
    GekitaiForm* f = forms::gekitaiForm();
    f->List1->setCurrentRow(0);
    fx.boxes.answers = {MsgResult::Yes};
    f->Command2->click();
    QCOMPARE(f->List1->count(), 1);
    QCOMPARE(f->List1->item(0)->text().trimmed(), QStringLiteral("def"));
    QCOMPARE(fx.keywordFile().size(), kKeywordRecordSize);

    f->List1->setCurrentRow(0);
    fx.boxes.answers = {MsgResult::Yes};
    f->Command2->click(); // the last one: an empty file and an empty list
    QCOMPARE(f->List1->count(), 0);
    QCOMPARE(fx.keywordFile(), QByteArray());
}

QTEST_MAIN(DialogsTest)
#include "tst_dialogs.moc"
