// What the user types in the account, server and keyword windows, as stored and as used.
#include "UiTestSupport.h"

#include "mailcheck/CheckInputs.h"
#include "mailcheck/NMail.h"
#include "support/RunTask.h"
#include "tools/fakepop3/FakePop3Server.h"
#include "ui/texts/CheckTexts.h"

using brindle::testing::runTask;
using namespace brindle;
using namespace brindle::test;

namespace {

// The box typed in ("-": the account not saved), the value, a part of the refusal (empty: accepted).
const std::tuple<const char*, QString, QString, QString> kRefusals[]{
    {"ID é", u"IdText"_qs, u"café"_qs, u"IDに、設定ファイルに保存できない文字 「é」"_qs},
    {"password emoji", u"PassText"_qs, u"pw😀"_qs, u"パスワードに、"_qs},
    {"password not saved", u"PassText-"_qs, u"pw😀"_qs, {}},
    {"ID ℃", u"IdText"_qs, u"℃"_qs, {}},
    {"POP3 Korean", u"Pop3Text"_qs, u"메일.kr"_qs, u"POP3サーバー名に、"_qs},
    {"SMTP no-break space", u"SmtpText"_qs, u"a\u00a0b"_qs, u"SMTPサーバー名に、"_qs},
    {"mail address WAVE DASH", u"MailText"_qs, u"a〜b@x.jp"_qs, u"(U+301C)"_qs},
    {"POP3 101 characters", u"Pop3Text"_qs, QString(101, u'p'), u"長すぎます"_qs},
};

} // namespace

class EntriesTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void storedAccountLogsIn_data() {
        QTest::addColumn<QString>("password");
        for (const char* p : {" lead", "trail ", "\"quoted\"", "'single'", "\" both \"", "in\"side", "  "})
            QTest::newRow(p) << QString::fromLatin1(p);
    }
    // Saved in the window, read as a check of a later run reads it, accepted by the server.
    void storedAccountLogsIn() {
        QFETCH(QString, password);
        UiFixture fx;
        confirmAccount(fx.windows(), QStringLiteral("\"taro\""), password, true);
        const StoredAccount stored = readCheckInputs(ProgramValues{}).account;
        fake::FakePop3Options o;
        o.users = {{"\"taro\"", password.toLatin1()}};
        fake::FakePop3Server server(o);
        QVERIFY(server.start());
        NMailLibrary lib;
        const int h = runTask(lib.NMailPop3Connect(server.address()));
        QVERIFY(h > 0);
        QVERIFY2(
            runTask(lib.NMailPop3Authenticate(h, stored.id, stored.password, 0)) == 0,
            qPrintable(stored.id + u'|' + stored.password + u'|' + failureSentence(lib.NMailGetError())));
        runTask(lib.NMailPop3Close(h));
    }

    // Confirming what the window shows keeps the account in use, not the stored one; "*" shown.
    void unsavedAccountStaysInUse() {
        UiFixture fx;
        confirmAccount(fx.windows(), QStringLiteral("old"), QStringLiteral("old-pw"), true);
        confirmAccount(fx.windows(), QStringLiteral("new"), QStringLiteral("new-pw"), false);
        fx.windows().idPassForm()->OKCommand->click();
        const StoredAccount used = readCheckInputs(fx.values()).account;
        QCOMPARE(used.id + u' ' + used.password, QStringLiteral("new new-pw"));
        QCOMPARE(AccountFile().read().id, QStringLiteral("old"));
        QCOMPARE(fx.windows().idPassForm()->PassText->displayText(), QStringLiteral("******"));
    }

    // Refusals name the field and character and change nothing; unsaved: used, nothing written.
    void refusesWhatTheFilesCannotHold_data() { indexRows(kRefusals); }
    void refusesWhatTheFilesCannotHold() {
        QFETCH(int, row);
        const auto& [name, box, value, named] = kRefusals[row];
        UiFixture fx;
        const bool account = box.startsWith(u"IdText") || box.startsWith(u"PassText");
        Form* f = account ? static_cast<Form*>(fx.windows().idPassForm()) : fx.windows().optionForm();
        if (account)
            fx.windows().idPassForm()->Check1->setChecked(!box.endsWith(u'-'));
        f->findChild<QLineEdit*>(box.chopped(box.endsWith(u'-')))->setText(value);
        f->findChild<QPushButton*>(account ? u"OKCommand"_qs : u"OkCommand"_qs)->click();
        QCOMPARE(fx.boxes.asked.size(), named.isEmpty() ? 0 : 1);
        QVERIFY2(named.isEmpty() || fx.boxes.asked[0].contains(named), qPrintable(fx.boxes.asked.value(0)));
        const ProgramValues& v = fx.values();
        const QString used = account ? v.accountId + v.accountPassword
                                     : v.server.pop3Server + v.server.smtpServer + v.server.mailAddress;
        QCOMPARE(used, named.isEmpty() ? value : QString());
        const bool saved = named.isEmpty() && !box.endsWith(u'-');
        const StoredAccount stored = AccountFile().read();
        QCOMPARE(account ? stored.id + stored.password : QString(), saved && account ? value : QString());
        QCOMPARE(QFile::exists(fx.dir.path(u"kestro.ini"_qs)), saved && !account);
    }

    void registersKeyword_data() {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("stored"); // empty: refused with a message
        QTest::newRow("JIS variants folded") << u"１〜−—‖¢£¬¦５"_qs << u"１～－―∥￠￡￢￤５"_qs;
        QTest::newRow("emoji") << QStringLiteral("当選😀") << QString();
        QTest::newRow("200 bytes taken") << QString(100, QChar(0x3042)) << QString(100, QChar(0x3042));
        QTest::newRow("202 bytes refused") << QString(101, QChar(0x3042)) << QString();
    }
    void registersKeyword() {
        QFETCH(QString, typed);
        QFETCH(QString, stored);
        UiFixture fx;
        GekitaiForm* f = fx.windows().gekitaiForm();
        f->Text1->setText(typed);
        f->Command1->click();
        const QStringList records = ReadKeywords();
        QCOMPARE(fx.boxes.asked.size(), stored.isEmpty() ? 1 : 0);
        QCOMPARE(records.size() == 1 ? records[0].trimmed() : QString(), stored); // padded with blanks
    }
};

QTEST_MAIN(EntriesTest)
#include "tst_entries.moc"
