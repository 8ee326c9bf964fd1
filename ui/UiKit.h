#pragma once
#include <QCheckBox>
#include <QColor>
#include <QCoreApplication>
#include <QRadioButton>
#include <QRect>
#include <QString>

class QTableWidget;

class QWidget;
class QPushButton;
class QLabel;
class QLineEdit;
class QGroupBox;
class QListWidget;

namespace brindle {

class Windows;

// Window geometry is designed in twips; the screen works at 15 twips to the pixel.
constexpr int twips(int t) {
    return (t + 7) / 15;
}
QRect twipsRect(int left, int top, int width, int height);

// The application's look: Fusion style, a Japanese font small enough for the designed captions.
void applyApplicationLook();

// Pixels kept clear between a push button's caption and the edges of its contents on either side,
// so that no caption touches its button's border.
inline constexpr int kCaptionClearance = 4;

// Controls placed at designed positions, each named with its design name. A button's caption that
// would come nearer its edges than kCaptionClearance is set smaller (fitCaption).
QPushButton* makeButton(QWidget* parent, const char* name, const QString& caption, QRect r,
                        const QColor& background = QColor(), const QColor& text = Qt::black);
// Makes room for a push button's caption, kCaptionClearance from its contents' edges: a button whose
// width a layout decides (`grow`) is given that much width at least; a button at a designed place
// keeps its size and its caption is set smaller, down to a readable size.
void fitCaption(QPushButton* b, bool grow);
QLabel* makeLabel(QWidget* parent, const char* name, const QString& text, QRect r);
QLineEdit* makeLineEdit(QWidget* parent, const char* name, QRect r);
// Shrinks the label's font until its text fits the label's box.
void fitLabel(QLabel* l);
QGroupBox* makeFrame(QWidget* parent, const char* name, const QString& caption, QRect r);

// Option buttons and check boxes whose caption wraps onto several lines within the designed box,
// as the designed sizes expect; the line pitch follows the font size, not the font's generous
// line height, so two lines fit where the layout gives room for them.
class WrapRadioButton : public QRadioButton {
    Q_OBJECT
public:
    using QRadioButton::QRadioButton;

protected:
    void paintEvent(QPaintEvent* e) override;
    bool hitButton(const QPoint& pos) const override;
};

class WrapCheckBox : public QCheckBox {
    Q_OBJECT
public:
    using QCheckBox::QCheckBox;

protected:
    void paintEvent(QPaintEvent* e) override;
    bool hitButton(const QPoint& pos) const override;
};

// The entry row and list of the list editors (keywords, allow list): the entry box, "登録", the red
// "削除" and the list, at the keyword editor's places, so that the two windows stay alike. The entry
// row is registered with `windows` as a check input.
struct ListEditorControls {
    QLineEdit* entry;
    QPushButton* add;
    QPushButton* remove;
    QListWidget* list;
};
ListEditorControls makeListEditorControls(Windows& windows, QWidget* parent, int maxLength);

// Centres a top-level window on the screen it opens on.
void centreOnScreen(QWidget* w);

// Where a window of outer size `size` goes beside the window whose outer rectangle is `anchor`, on a
// screen whose free area is `avail`: right of it, else left of it; where neither side has room for
// it, narrowed to the wider side while that leaves it `minWidth`; else as near to the anchor's right
// side as the screen allows, over the anchor. Its top is level with the anchor's while the screen
// has room below. The result is the outer rectangle.
QRect besidePlace(const QRect& anchor, const QSize& size, const QRect& avail, int minWidth);
// Moves (and narrows, see besidePlace) a top-level window beside `anchor`; centred on the screen
// when the anchor is missing or hidden.
void placeBeside(QWidget* w, const QWidget* anchor, int minWidth);

// Floats a top-level window above all others (true) or returns it to the normal order (false),
// and shows it. The window keeps its place on the screen.
void setTopmost(QWidget* w, bool topmost);

// Sets a top-level window's outer size (frame and title bar included), keeping its top-left corner.
// The client area gets the outer size less the frame that the window system draws, or less a
// standard frame when the window system has not told us its frame yet.
void setOuterSize(QWidget* w, int outerWidth, int outerHeight);
// The frame's width and height that setOuterSize takes off a top-level window's outer size.
QSize windowFrameSize(const QWidget* w);

// Qt's own texts (the buttons of its dialogs, the file dialog, the context menus of text boxes) in
// Japanese, from the system's Qt translations. False when they are not installed: they stay English.
bool installJapaneseQtTexts(QCoreApplication& app);

// A read-only list of mail, one message a line: whole rows selected (several when `several`), Tab
// going on to the buttons while the arrow keys move within it; `stretchColumn` takes the room left.
// Returns the width of a digit, to size the other columns by.
int setUpMailTable(QTableWidget* table, int stretchColumn, bool several = true);

} // namespace brindle
