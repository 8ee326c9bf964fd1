#include "ui/OptionForm.h"

#include "settings/SettingsStore.h"
#include "ui/Dialogs.h"
#include "ui/UiKit.h"

#include <QCheckBox>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QShortcut>
#include <utility>

namespace brindle {

OptionForm::OptionForm(Windows& windows) : Form(windows) {
    setObjectName(QStringLiteral("OptionForm"));
    setWindowTitle(QStringLiteral("サーバー設定"));
    setFixedSize(twips(2955), twips(3060));
    setWindowFlag(Qt::WindowMaximizeButtonHint, false);

    auto* l1 =
        makeLabel(this, "Label1", QStringLiteral("SMTPサーバー名(&S)"), twipsRect(120, 120, 1575, 195));
    SmtpText = makeLineEdit(this, "SmtpText", twipsRect(120, 360, 2652, 264));
    auto* l2 =
        makeLabel(this, "Label2", QStringLiteral("POP3サーバー名(&P)"), twipsRect(120, 720, 1635, 195));
    Pop3Text = makeLineEdit(this, "Pop3Text", twipsRect(120, 960, 2652, 264));
    auto* l3 =
        makeLabel(this, "Label3", QStringLiteral("メールアドレス(&M)"), twipsRect(120, 1320, 1635, 195));
    MailText = makeLineEdit(this, "MailText", twipsRect(120, 1560, 2652, 264));
    for (QLabel* l : {l1, l2, l3}) {
        l->setWordWrap(false);
        l->resize(l->width() + 20, l->height() + 2); // room for the font's descent
    }
    l1->setBuddy(SmtpText);
    l2->setBuddy(Pop3Text);
    l3->setBuddy(MailText);
    ApopCheck = new QCheckBox(QStringLiteral("APOP を使用する(&A)"), this);
    ApopCheck->setObjectName(QStringLiteral("ApopCheck"));
    ApopCheck->setGeometry(twipsRect(480, 2040, 2172, 252));
    OkCommand = makeButton(this, "OkCommand", QStringLiteral("設定"), twipsRect(660, 2520, 972, 372));
    CancelCommand =
        makeButton(this, "CancelCommand", QStringLiteral("中止"), twipsRect(1860, 2520, 912, 372));

    auto* esc = new QShortcut(QKeySequence(Qt::Key_Escape), this);
    connect(esc, &QShortcut::activated, CancelCommand, &QPushButton::click);
    connect(OkCommand, &QPushButton::clicked, this, &OptionForm::confirm);
    connect(CancelCommand, &QPushButton::clicked, this, &QWidget::close);
}

void OptionForm::load() {
    setWindowFlag(Qt::WindowStaysOnTopHint, true);
    const ServerSettings& s = windows().values().server;
    SmtpText->setText(s.smtpServer);
    Pop3Text->setText(s.pop3Server);
    MailText->setText(s.mailAddress);
    ApopCheck->setChecked(s.useApop != 0);
}

void OptionForm::confirm() {
    // What kestro.ini cannot give back as typed is refused before anything changes.
    for (const auto& [field, box] : {std::pair{QStringLiteral("SMTPサーバー名"), SmtpText},
                                     std::pair{QStringLiteral("POP3サーバー名"), Pop3Text},
                                     std::pair{QStringLiteral("メールアドレス"), MailText}}) {
        const QString refusal = serverValueRefusal(field, box->text());
        if (refusal.isEmpty())
            continue;
        boxes().show(refusal, MsgButtons::Ok, MsgIcon::Exclamation, QString());
        box->setFocus();
        return;
    }
    ServerSettings& s = windows().values().server;
    s.smtpServer = SmtpText->text();
    s.pop3Server = Pop3Text->text();
    s.mailAddress = MailText->text();
    s.useApop = ApopCheck->isChecked() ? 1 : 0;
    if (!saveServerSettings(s)) {
        boxes().show(QStringLiteral("サーバー設定を保存できませんでした。\n%1\n\n"
                                    "入力された設定は、このプログラムを終了するまで有効です。")
                         .arg(QDir::toNativeSeparators(serverSettingsPath())),
                     MsgButtons::Ok, MsgIcon::Exclamation, QString());
    }
    close();
}

} // namespace brindle
