#include "ui/SetForm.h"

#include "platform/NumberText.h"
#include "settings/SettingsStore.h"
#include "ui/IdPassForm.h"
#include "ui/MainForm.h"
#include "ui/OptionForm.h"
#include "ui/UiKit.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>

namespace brindle {

namespace {
// Inner height: the last control (Check2) ends at 4575 twips; a margin below it.
constexpr int kClientHeightTwips = 4755;
constexpr int kClientWidthTwips = 4335;
} // namespace

SetForm::SetForm(Windows& windows) : Form(windows) {
    setObjectName(QStringLiteral("SetForm"));
    setWindowTitle(QStringLiteral("設定"));
    setFixedSize(twips(kClientWidthTwips), twips(kClientHeightTwips));
    setWindowFlag(Qt::WindowMaximizeButtonHint, false);

    Command1 = makeButton(this, "Command1", QStringLiteral("ID/PASS"), twipsRect(720, 120, 1455, 375));
    Command2 = makeButton(this, "Command2", QStringLiteral("POPサーバー"), twipsRect(2160, 120, 1455, 375));
    Check1 = new QCheckBox(this);
    Check1->setObjectName(QStringLiteral("Check1"));
    Check1->setGeometry(twipsRect(720, 600, 255, 255));
    auto* l1 = makeLabel(this, "Label1", QStringLiteral("メールチェック後、回線を切断する"),
                         twipsRect(1080, 645, 3015, 255));
    l1->setBuddy(Check1);
    makeLabel(this, "Label2", QStringLiteral("インターバルメールチェック"), twipsRect(720, 1080, 2775, 375));
    makeLabel(
        this, "Label3",
        QStringLiteral("０以上の数字を入力すると、その間隔で自動的にメールチェックを行います。チェックの都度"
                       "手動で行う場合は０にしておいて下さい。（単位は分です。）"),
        twipsRect(720, 1440, 2895, 855));
    Text2 = makeLineEdit(this, "Text2", twipsRect(2640, 2280, 375, 270));
    Text2->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    makeLabel(this, "Label4", QStringLiteral("分"), twipsRect(3120, 2325, 495, 255));

    auto* frame = makeFrame(this, "Frame1", QString(), twipsRect(240, 2880, 3855, 1095));
    Option1 = new QRadioButton(frame);
    Option1->setObjectName(QStringLiteral("Option1"));
    Option1->setGeometry(twipsRect(120, 240, 255, 255));
    makeLabel(frame, "Label5", QStringLiteral("新着メール有りでお知らせボードを表示"),
              twipsRect(480, 240, 3015, 255));
    Option2 = new QRadioButton(frame);
    Option2->setObjectName(QStringLiteral("Option2"));
    Option2->setGeometry(twipsRect(120, 720, 255, 255));
    makeLabel(frame, "Label6", QStringLiteral("新着メール有りで設定メーラーを起動"),
              twipsRect(480, 720, 3015, 255));

    Check2 = new WrapCheckBox(QStringLiteral("新着お知らせボードを１秒で自動消去させる"), this);
    Check2->setObjectName(QStringLiteral("Check2"));
    Check2->setGeometry(twipsRect(360, 4080, 3735, 495));

    connect(Text2, &QLineEdit::textChanged, this, &SetForm::intervalChanged);
    connect(Command1, &QPushButton::clicked, this, [&windows] { windows.idPassForm()->show(); });
    connect(Command2, &QPushButton::clicked, this, [&windows] {
        OptionForm* f = windows.optionForm();
        f->show();
        f->raise();
    });
    centreOnScreen(this);
}

void SetForm::load() {
    const GeneralSettingsFile file;
    const int hangUp = file.readInt(QStringLiteral("NUMBER"));
    if (hangUp == 1 || hangUp == 0)
        Check1->setChecked(hangUp == 1);
    const QString interval = QString::number(file.readInt(QStringLiteral("NUMBER2")));
    if (Text2->text() == interval)
        intervalChanged(interval); // the change action runs even when the text stays the same
    else
        Text2->setText(interval);
    const int autoClose = file.readInt(QStringLiteral("NUMBER4"));
    if (autoClose == 1 || autoClose == 0)
        Check2->setChecked(autoClose == 1);
    const int onNewMail = file.readInt(QStringLiteral("NUMBER5"));
    if (onNewMail == 1)
        Option1->setChecked(true);
    else if (onNewMail == 2)
        Option2->setChecked(true);
}

void SetForm::intervalChanged(const QString& text) {
    if (text.isEmpty()) {
        Text2->setText(QStringLiteral("0")); // runs this action again for "0"
        return;
    }
    const double minutes = leadingNumber(text);
    if (minutes > 0) {
        windows().main().intervalOn(text);
    } else if (minutes == 0) {
        windows().main().intervalOff(text);
        GeneralSettingsFile().write(QStringLiteral("NUMBER2"), text);
    }
    // A negative interval changes nothing until it is stored at close.
}

bool SetForm::saveSettings() {
    const GeneralSettingsFile file;
    bool ok =
        file.write(QStringLiteral("NUMBER"), Check1->isChecked() ? QStringLiteral("1") : QStringLiteral("0"));
    ok = file.write(QStringLiteral("NUMBER2"), Text2->text()) && ok;
    ok = file.write(QStringLiteral("NUMBER4"),
                    Check2->isChecked() ? QStringLiteral("1") : QStringLiteral("0")) &&
         ok;
    const QString choice = Option1->isChecked()   ? QStringLiteral("1")
                           : Option2->isChecked() ? QStringLiteral("2")
                                                  : QString();
    ok = file.write(QStringLiteral("NUMBER5"), choice) && ok;
    return ok;
}

void SetForm::unload() {
    saveSettings();
}

} // namespace brindle
