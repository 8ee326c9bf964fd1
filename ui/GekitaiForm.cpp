#include "ui/GekitaiForm.h"

#include "keywords/KeywordFile.h"
#include "mailcheck/mime/Charset.h"
#include "platform/Cp932.h"
#include "ui/AllowListForm.h"
#include "ui/Dialogs.h"
#include "ui/UiKit.h"

#include <QDir>
#include <QEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMouseEvent>
#include <QPushButton>
#include <QTextEdit>

namespace brindle {

namespace {
// A keyword fills at most the 200 bytes of its record; a longer one would be cut on storage and the
// cut-off remainder would catch more mail than the user wrote.
constexpr int kMaxKeywordChars = kKeywordTextBytes;
} // namespace

const QString GekitaiForm::kHintRegister =
    QStringLiteral("登録は１件につき全角で１００文字（半角では２００文字）、件数は無制限に登録できます。登録"
                   "した文字を送信して"
                   "きたメールアドレス、件名内から検索し、あなたの目に触れることなく削除します。");
const QString GekitaiForm::kHintEntry =
    QStringLiteral("登録は１件につき全角で１００文字（半角では２００文字）、件数は無制限に登録できます。登録"
                   "した文字を送信して"
                   "きたメールアドレス、件名から検索し、あなたの目に触れることなく削除します。");
const QString GekitaiForm::kHintDelete = QStringLiteral(
    "不要になったキーワードを削除します。リストでデータを選択し、このボタンをクリックして下さい。");

GekitaiForm::GekitaiForm(Windows& windows) : Form(windows) {
    setObjectName(QStringLiteral("GekitaiForm"));
    setWindowTitle(QStringLiteral("Spam/迷惑メール撃退"));
    setFixedSize(twips(7095), twips(5520));
    setWindowFlag(Qt::WindowMaximizeButtonHint, false);
    setMouseTracking(true);

    auto* picture2 = new QWidget(this);
    picture2->setObjectName(QStringLiteral("Picture2"));
    picture2->setGeometry(twipsRect(0, 120, 2415, 270));
    picture2->setMouseTracking(true);
    Label2 = makeLabel(picture2, "Label2", QStringLiteral("撃退用キーワードの登録"),
                       twipsRect(240, 40, 2535, 195));
    Label2->setWordWrap(false);
    Label2->resize(Label2->width(), picture2->height() - Label2->y());
    Label2->setAutoFillBackground(true);
    QPalette p2 = Label2->palette();
    p2.setColor(QPalette::Window, QColor(224, 224, 224));
    Label2->setPalette(p2);

    Label1 = makeLabel(this, "Label1", QString(), twipsRect(2520, 0, 4575, 375));
    // Two lines in a box of 25 pixels: a tighter line pitch than the font's own.
    Label1->setTextFormat(Qt::RichText);
    Label1->setText(
        QStringLiteral("<div style=\"line-height:75%\">ここで登録したキーワードを元に、「件名」、「メール"
                       "アドレス」「本文」から検索し削除します。</div>"));
    Label1->setAutoFillBackground(true);
    QPalette p1 = Label1->palette();
    p1.setColor(QPalette::Window, QColor(192, 192, 192));
    p1.setColor(QPalette::WindowText, QColor(0, 0, 255));
    Label1->setPalette(p1);
    QFont small = Label1->font();
    small.setPixelSize(10); // two lines of it within the box's 25 pixels
    Label1->setFont(small);

    const ListEditorControls controls = makeListEditorControls(windows, this, kMaxKeywordChars);
    Text1 = controls.entry;
    Command1 = controls.add;
    Command2 = controls.remove;
    List1 = controls.list;
    List1->setMouseTracking(true);
    List1->viewport()->setMouseTracking(true);
    // Below the list: the way to the senders that no keyword may delete.
    Label3 = makeLabel(this, "Label3", QStringLiteral("削除しない差出人は、許可リストに登録できます。"),
                       twipsRect(60, 5190, 5475, 255));
    QFont hintFont = Label3->font();
    hintFont.setPixelSize(11);
    Label3->setFont(hintFont);
    Command3 = makeButton(this, "Command3", QStringLiteral("許可リスト"), twipsRect(5640, 5175, 1335, 270));
    windows.registerCheckInput(Command3);
    Text2 = new QTextEdit(this);
    Text2->setObjectName(QStringLiteral("Text2"));
    Text2->setGeometry(twipsRect(720, 3525, 5655, 1215));
    Text2->setReadOnly(true);
    Text2->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);

    for (QWidget* w : {static_cast<QWidget*>(Command1), static_cast<QWidget*>(Command2),
                       static_cast<QWidget*>(Text1), List1->viewport(), picture2}) {
        w->setMouseTracking(true);
        w->installEventFilter(this);
    }

    connect(Command1, &QPushButton::clicked, this, &GekitaiForm::registerKeyword);
    connect(Command2, &QPushButton::clicked, this, &GekitaiForm::deleteKeyword);
    connect(Command3, &QPushButton::clicked, this, [&windows] { windows.openAllowList(); });
    centreOnScreen(this);
}

void GekitaiForm::load() {
    loadKeywordList();
}

void GekitaiForm::loadKeywordList() {
    List1->clear();
    List1->addItems(ReadKeywords());
}

void GekitaiForm::registerKeyword() {
    // Stored as the matcher compares: with the JIS mapping variants (WAVE DASH and friends, which some
    // input methods give) folded to the code points code page 932 holds.
    const QString text = foldJapaneseVariants(Text1->text());
    if (text.isEmpty()) {
        boxes().show(QStringLiteral("キーワードが入力されていません。"), MsgButtons::Ok, MsgIcon::None,
                     QString());
        return;
    }
    // A character the keyword file cannot hold would be stored as "?", and that keyword would then
    // catch every mail with a question mark in it.
    if (!cp932CanEncode(text)) {
        boxes().show(QStringLiteral("キーワードに登録できない文字が含まれています。\n"
                                    "機種に依存する文字や外国語の一部の文字は使えません。"),
                     MsgButtons::Ok, MsgIcon::Exclamation, QString());
        return;
    }
    if (cp932Length(text) > kKeywordTextBytes) {
        boxes().show(QStringLiteral("キーワードが長すぎます。\n"
                                    "１件につき全角で１００文字（半角では２００文字）までです。"),
                     MsgButtons::Ok, MsgIcon::Exclamation, QString());
        return;
    }
    List1->clear();
    const bool ok = AppendKeyword(text);
    loadKeywordList();
    if (!ok) {
        boxes().show(QStringLiteral("キーワードを登録できませんでした。\n%1")
                         .arg(QDir::toNativeSeparators(keywordFilePath())),
                     MsgButtons::Ok, MsgIcon::Exclamation, QString());
        return;
    }
    Text1->setText(QString());
}

void GekitaiForm::deleteKeyword() {
    const int row = List1->currentRow();
    if (row < 0 || !List1->item(row)->isSelected()) {
        boxes().show(QStringLiteral("データが選択されていません。"), MsgButtons::Ok, MsgIcon::None,
                     QString());
        return;
    }
    const MsgResult answer =
        boxes().show(QStringLiteral("選択された（行、青色）データを削除します。よろしいですか"),
                     MsgButtons::YesNo, MsgIcon::Question, QStringLiteral("確認"));
    bool ok = true;
    if (answer == MsgResult::Yes)
        ok = MarkKeywordDeleted(row + 1);
    ok = CompactKeywordFile() && ok;
    loadKeywordList();
    if (!ok) {
        boxes().show(QStringLiteral("キーワードを削除できませんでした。\n%1")
                         .arg(QDir::toNativeSeparators(keywordFilePath())),
                     MsgButtons::Ok, MsgIcon::Exclamation, QString());
    }
}

void GekitaiForm::showHint(const QString& text) {
    if (text.isEmpty()) {
        Text2->hide();
        return;
    }
    if (Text2->isHidden() || Text2->toPlainText() != text) {
        Text2->setPlainText(text);
        Text2->show();
        Text2->raise();
    }
}

// The hint for the widget under the mouse: A over "登録", B over the entry box, C over "削除", none
// elsewhere.
QString GekitaiForm::hintFor(const QWidget* w) const {
    if (w == Command1)
        return kHintRegister;
    if (w == Text1)
        return kHintEntry;
    if (w == Command2)
        return kHintDelete;
    return QString();
}

bool GekitaiForm::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::MouseMove || event->type() == QEvent::Enter)
        showHint(hintFor(qobject_cast<QWidget*>(watched)));
    return Form::eventFilter(watched, event);
}

void GekitaiForm::mouseMoveEvent(QMouseEvent* e) {
    // A button ignores a move without a pressed button, and the move then comes here: the hint
    // follows the widget under the mouse, not the widget that passed the event on.
    showHint(hintFor(childAt(e->position().toPoint())));
    Form::mouseMoveEvent(e);
}

} // namespace brindle
