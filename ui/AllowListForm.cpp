#include "ui/AllowListForm.h"

#include "keywords/AllowList.h"
#include "ui/Dialogs.h"
#include "ui/UiKit.h"

#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>

namespace brindle {

namespace {

const QString kCaption = QStringLiteral("許可リスト");
// What is typed is shown back in the refusal; a pasted page of text would make the box enormous.
constexpr qsizetype kEchoMaxChars = 80;

} // namespace

AllowListForm::AllowListForm(Windows& windows) : Form(windows) {
    setObjectName(QStringLiteral("AllowListForm"));
    setWindowTitle(kCaption);
    setFixedSize(twips(7095), twips(5115));
    setWindowFlag(Qt::WindowMaximizeButtonHint, false);

    Label1 = makeLabel(this, "Label1", QString(), twipsRect(60, 0, 6975, 390));
    // Two lines in a box of 26 pixels, pitched as tight as the keyword editor's note.
    Label1->setTextFormat(Qt::RichText);
    Label1->setText(
        QStringLiteral("<div style=\"line-height:75%\">ここに登録した差出人のメールは、どの撃退方法でも"
                       "削除しません。アドレス（taro@example.jp）か、ドメイン（@example.jp）を登録します。"
                       "</div>"));
    Label1->setWordWrap(true);
    QPalette palette = Label1->palette();
    palette.setColor(QPalette::WindowText, QColor(0, 0, 255));
    Label1->setPalette(palette);
    QFont small = Label1->font();
    small.setPixelSize(11);
    Label1->setFont(small);

    const ListEditorControls controls = makeListEditorControls(windows, this, int(kAllowEntryMaxChars));
    Text1 = controls.entry;
    Command1 = controls.add;
    Command2 = controls.remove;
    List1 = controls.list;

    connect(Command1, &QPushButton::clicked, this, &AllowListForm::registerEntry);
    connect(Text1, &QLineEdit::returnPressed, this, &AllowListForm::registerEntry);
    connect(Command2, &QPushButton::clicked, this, &AllowListForm::deleteEntry);
    centreOnScreen(this);
}

void AllowListForm::load() {
    List1->clear();
    List1->addItems(readAllowList());
}

void AllowListForm::registerEntry() {
    const QString text = Text1->text();
    if (!normalizeAllowEntry(text)) {
        const QString shown = text.size() > kEchoMaxChars ? text.left(kEchoMaxChars) + u'…' : text;
        boxes().show(QStringLiteral("「%1」は登録できません。\n"
                                    "アドレス（taro@example.jp）か、\n"
                                    "ドメイン（@example.jp）を入力してください。")
                         .arg(shown.trimmed()),
                     MsgButtons::Ok, MsgIcon::Exclamation, kCaption);
        return;
    }
    if (!addToAllowList(text)) {
        tellWriteFailure();
        return;
    }
    Text1->clear();
    load();
}

void AllowListForm::deleteEntry() {
    QListWidgetItem* item = List1->currentItem();
    if (item == nullptr || !item->isSelected()) {
        boxes().show(QStringLiteral("削除する登録をリストで選んでください。"), MsgButtons::Ok, MsgIcon::None,
                     kCaption);
        return;
    }
    const QString entry = item->text();
    if (boxes().show(QStringLiteral("「%1」を許可リストから削除します。よろしいですか").arg(entry),
                     MsgButtons::YesNo, MsgIcon::Question, QStringLiteral("確認")) != MsgResult::Yes)
        return;
    if (!removeFromAllowList(entry))
        tellWriteFailure();
    load();
}

void AllowListForm::tellWriteFailure() {
    boxes().show(QStringLiteral("許可リストを保存できませんでした。\n%1")
                     .arg(QDir::toNativeSeparators(allowListPath())),
                 MsgButtons::Ok, MsgIcon::Exclamation, kCaption);
}

} // namespace brindle
