#include "ui/IdPassForm.h"

#include "settings/SettingsStore.h"
#include "ui/Dialogs.h"
#include "ui/UiKit.h"

#include <QCheckBox>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QProxyStyle>
#include <QPushButton>
#include <QShortcut>
#include <utility>

namespace brindle {

namespace {

// The style of the password box: the widget's own, but masking with "*".
class AsteriskPasswordStyle : public QProxyStyle {
public:
    explicit AsteriskPasswordStyle(QObject* owner) : QProxyStyle() { setParent(owner); }
    int styleHint(StyleHint hint, const QStyleOption* option, const QWidget* widget,
                  QStyleHintReturn* returnData) const override {
        if (hint == SH_LineEdit_PasswordCharacter)
            return u'*';
        return QProxyStyle::styleHint(hint, option, widget, returnData);
    }
};

} // namespace

IdPassForm::IdPassForm(Windows& windows) : Form(windows) {
    setObjectName(QStringLiteral("IdPassForm"));
    setWindowTitle(QStringLiteral("ID,PASS"));
    setFixedSize(twips(2865), twips(1860));
    setWindowFlag(Qt::WindowMaximizeButtonHint, false);

    makeLabel(this, "Label1", QStringLiteral("ID"), twipsRect(120, 180, 675, 255));
    IdText = makeLineEdit(this, "IdText", twipsRect(960, 120, 1632, 264));
    makeLabel(this, "Label2", QStringLiteral("Password"), twipsRect(120, 600, 795, 255));
    PassText = makeLineEdit(this, "PassText", twipsRect(960, 600, 1632, 264));
    PassText->setEchoMode(QLineEdit::Password);
    // Every character of the password shows as "*".
    PassText->setStyle(new AsteriskPasswordStyle(PassText));
    Check1 = new QCheckBox(this);
    Check1->setObjectName(QStringLiteral("Check1"));
    Check1->setGeometry(twipsRect(420, 1020, 255, 255));
    auto* l3 =
        makeLabel(this, "Label3", QStringLiteral("IDパスワードを保存する"), twipsRect(780, 1020, 1875, 255));
    l3->setBuddy(Check1);
    OKCommand = makeButton(this, "OKCommand", QStringLiteral("OK"), twipsRect(900, 1380, 852, 312));
    CancelCommand =
        makeButton(this, "CancelCommand", QStringLiteral("Cancel"), twipsRect(1860, 1380, 852, 312));
    OKCommand->setDefault(true);
    OKCommand->setAutoDefault(true);

    // Enter confirms from anywhere in the window, Esc leaves it.
    auto* enter = new QShortcut(QKeySequence(Qt::Key_Return), this);
    auto* enter2 = new QShortcut(QKeySequence(Qt::Key_Enter), this);
    auto* esc = new QShortcut(QKeySequence(Qt::Key_Escape), this);
    connect(enter, &QShortcut::activated, OKCommand, &QPushButton::click);
    connect(enter2, &QShortcut::activated, OKCommand, &QPushButton::click);
    connect(esc, &QShortcut::activated, CancelCommand, &QPushButton::click);
    connect(OKCommand, &QPushButton::clicked, this, &IdPassForm::confirm);
    connect(CancelCommand, &QPushButton::clicked, this, &QWidget::close);
}

void IdPassForm::load() {
    // The window shows the account the checks use: the one confirmed in this run when there is one
    // (stored or not), else the stored one. Showing the stored account after an OK without "save"
    // would make the next OK bring it back.
    const ProgramValues& v = windows().values();
    const StoredAccount shown =
        v.accountConfirmed ? StoredAccount{v.accountId, v.accountPassword} : AccountFile().read();
    IdText->setText(shown.id);
    PassText->setText(shown.password);
}

void IdPassForm::confirm() {
    // What the account file cannot give back as typed is refused before anything changes; without
    // "save" nothing is written, and the mail library sends what code page 932 lacks as UTF-8.
    if (Check1->isChecked()) {
        for (const auto& [field, box] :
             {std::pair{QStringLiteral("ID"), IdText}, std::pair{QStringLiteral("パスワード"), PassText}}) {
            const QString refusal = profileValueRefusal(field, box->text());
            if (refusal.isEmpty())
                continue;
            boxes().show(refusal + QStringLiteral("\n保存せずに使うときは「IDパスワードを保存する」の"
                                                  "チェックを外してください。"),
                         MsgButtons::Ok, MsgIcon::Exclamation, QString());
            box->setFocus();
            return;
        }
    }
    ProgramValues& v = windows().values();
    v.accountId = IdText->text();
    v.accountPassword = PassText->text();
    // The account confirmed now is the one the checks of this run use, stored or not.
    v.accountConfirmed = true;
    const AccountFile file;
    const bool ok =
        Check1->isChecked() ? file.saveAccount(IdText->text(), PassText->text()) : file.markNotSaved();
    if (!ok) {
        boxes().show(QStringLiteral("ID・パスワードの設定を保存できませんでした。\n%1\n\n"
                                    "入力されたID・パスワードは、このプログラムを終了するまで有効です。")
                         .arg(QDir::toNativeSeparators(file.path())),
                     MsgButtons::Ok, MsgIcon::Exclamation, QString());
    }
    close();
}

} // namespace brindle
