// The account window: what it stores logs in as typed, and after an OK without "save" it shows, and
// confirms again, the account the checks use.
#include "UiTestSupport.h"

#include "mailcheck/CheckInputs.h"
#include "mailcheck/NMail.h"
#include "tools/fakepop3/FakePop3Server.h"
#include "ui/IdPassForm.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>

using namespace brindle;
using namespace brindle::test;

namespace {

void confirm(const QString& id, const QString& password, bool save) {
    IdPassForm* f = forms::idPassForm();
    f->IdText->setText(id);
    f->PassText->setText(password);
    f->Check1->setChecked(save);
    f->OKCommand->click();
    UiFixture::flushDeletes();
}

} // namespace

class AccountTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void storedPasswordLogsIn_data() {
        QTest::addColumn<QString>("password");
        for (const char* p : {" lead", "trail ", "\"quoted\"", "'single'", "\" both \"", "in\"side", "  "})
            QTest::newRow(p) << QString::fromLatin1(p);
    }
    // Saved in the window, read back as a check of a later run reads it, accepted by the server.
    void storedPasswordLogsIn() {
        QFETCH(QString, password);
        UiFixture fx;
        confirm(QStringLiteral("\"taro\""), password, true);
        const CheckInputs inputs = readCheckInputs(ProgramValues{});
        QCOMPARE(inputs.account.id, QStringLiteral("\"taro\""));
        QCOMPARE(inputs.account.password, password);
        fake::FakePop3Options o;
        o.users = {{"\"taro\"", password.toLatin1()}};
        fake::FakePop3Server server(o);
        QVERIFY(server.start());
        NMailLibrary lib;
        const int h = lib.NMailPop3Connect(server.address());
        QVERIFY(h > 0);
        QCOMPARE(lib.NMailPop3Authenticate(h, inputs.account.id, inputs.account.password, 0), 0);
        lib.NMailPop3Close(h);
    }

    // An account confirmed without "save" is the one the window shows next, so that confirming it
    // again keeps it instead of bringing back the stored one.
    void unsavedAccountStaysInUse() {
        UiFixture fx;
        confirm(QStringLiteral("old"), QStringLiteral("old-pw"), true);
        confirm(QStringLiteral("new"), QStringLiteral("new-pw"), false);
        IdPassForm* f = forms::idPassForm();
        QCOMPARE(f->IdText->text(), QStringLiteral("new"));
        QCOMPARE(f->PassText->text(), QStringLiteral("new-pw"));
        f->OKCommand->click();
        const StoredAccount used = readCheckInputs(programValues()).account;
        QCOMPARE(used.id, QStringLiteral("new"));
        QCOMPARE(used.password, QStringLiteral("new-pw"));
        QCOMPARE(AccountFile().read().id, QStringLiteral("old"));
    }
};

QTEST_MAIN(AccountTest)
#include "tst_account.moc"
