#include "ui/UiKit.h"

#include "ui/Form.h"

#include <QApplication>
#include <QFont>
#include <QFontInfo>
#include <QFontMetrics>
#include <QGroupBox>
#include <QGuiApplication>
#include <QHeaderView>
#include <QLabel>
#include <QLibraryInfo>
#include <QLineEdit>
#include <QListWidget>
#include <QLocale>
#include <QPainter>
#include <QPushButton>
#include <QRegularExpression>
#include <QScreen>
#include <QStyle>
#include <QStyleFactory>
#include <QStyleOptionButton>
#include <QTableWidget>
#include <QTextLayout>
#include <QTranslator>
#include <QWindow>

namespace brindle {

namespace {

// A frame the window system has not reported yet: a thin border and a title bar of ordinary height.
constexpr int kAssumedFrameWidth = 8;
constexpr int kAssumedFrameHeight = 26;
// Captions shrink to fit their designed box, but not below a readable size.
constexpr int kSmallestFontPixels = 9;

void paintWrapped(QWidget* w, QStyle::PrimitiveElement indicator, bool checked, bool down) {
    QPainter p(w);
    QStyleOptionButton opt;
    opt.initFrom(w);
    opt.state |= checked ? QStyle::State_On : QStyle::State_Off;
    if (down)
        opt.state |= QStyle::State_Sunken;
    const int iw = w->style()->pixelMetric(indicator == QStyle::PE_IndicatorRadioButton
                                               ? QStyle::PM_ExclusiveIndicatorWidth
                                               : QStyle::PM_IndicatorWidth,
                                           &opt, w);
    const int ih = iw;
    const QString text = indicator == QStyle::PE_IndicatorRadioButton ? static_cast<QRadioButton*>(w)->text()
                                                                      : static_cast<QCheckBox*>(w)->text();

    const QFontMetrics fm(w->font());
    const int pitch = w->font().pixelSize() > 0 ? w->font().pixelSize() + 1
                                                : qRound(w->font().pointSizeF() * 96.0 / 72.0) + 1;
    const int textLeft = iw + 4;
    const int textWidth = qMax(10, w->width() - textLeft);

    QTextLayout layout(text, w->font());
    QList<QTextLine> lines;
    auto layOut = [&](int width) {
        lines.clear();
        layout.beginLayout();
        while (true) {
            QTextLine line = layout.createLine();
            if (!line.isValid())
                break;
            line.setLineWidth(width);
            lines.append(line);
        }
        layout.endLayout();
    };
    layOut(textWidth);
    // A caption that wraps is balanced: the narrowest width that keeps the number of lines, so that
    // no last line holds a lone character.
    if (lines.size() > 1) {
        const int count = int(lines.size());
        int narrow = fm.horizontalAdvance(text) / count, wide = textWidth;
        while (narrow < wide) {
            const int mid = (narrow + wide) / 2;
            layOut(mid);
            if (int(lines.size()) > count)
                narrow = mid + 1;
            else
                wide = mid;
        }
        layOut(wide);
    }
    const int n = qMax(1, int(lines.size()));
    const int blockHeight = (n - 1) * pitch + fm.height();
    int y = (w->height() - blockHeight) / 2;
    opt.rect = QRect(0, (w->height() - ih) / 2, iw, ih);
    // The mark in black on a white disc or box, whatever colour the caption has: a white caption
    // on the grey window would otherwise give a pale grey dot that no one can see.
    opt.palette.setColor(QPalette::Base, Qt::white);
    opt.palette.setColor(QPalette::Text, Qt::black);
    opt.palette.setColor(QPalette::WindowText, Qt::black);
    w->style()->drawPrimitive(indicator, &opt, &p, w);
    p.setPen(
        w->palette().color(w->isEnabled() ? QPalette::Active : QPalette::Disabled, QPalette::WindowText));
    for (const QTextLine& line : lines) {
        line.draw(&p, QPointF(textLeft, y - line.y()));
        y += pitch;
    }
    if (w->hasFocus()) {
        QStyleOptionFocusRect fr;
        fr.initFrom(w);
        fr.rect = QRect(textLeft - 2, 0, w->width() - textLeft + 2, w->height());
        w->style()->drawPrimitive(QStyle::PE_FrameFocusRect, &fr, &p, w);
    }
}

} // namespace

QRect twipsRect(int left, int top, int width, int height) {
    return QRect(twips(left), twips(top), twips(width), twips(height));
}

void applyApplicationLook() {
    QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
    QFont f(QStringLiteral("Noto Sans CJK JP"));
    f.setPixelSize(12); // 9 points at 96 dots per inch
    QApplication::setFont(f);
}

QPushButton* makeButton(QWidget* parent, const char* name, const QString& caption, QRect r,
                        const QColor& background, const QColor& text) {
    auto* b = new QPushButton(caption, parent);
    b->setObjectName(QString::fromLatin1(name));
    b->setGeometry(r);
    if (background.isValid()) {
        // Disabled (while a check runs, for some): the caption fades halfway into the background.
        const QColor faded((text.red() + background.red()) / 2, (text.green() + background.green()) / 2,
                           (text.blue() + background.blue()) / 2);
        b->setStyleSheet(
            QStringLiteral("QPushButton{background-color:%1;color:%3;border:1px solid "
                           "#404040;padding:0px;}QPushButton:pressed{background-color:%2;}"
                           "QPushButton:focus{border:1px solid black;}"
                           "QPushButton:disabled{color:%4;border-color:%4;}")
                .arg(background.name(), background.darker(120).name(), text.name(), faded.name()));
    }
    fitCaption(b, false);
    return b;
}

void fitCaption(QPushButton* b, bool grow) {
    b->ensurePolished();
    QStyleOptionButton opt;
    opt.initFrom(b);
    // The border and padding around the contents, whatever the button's width.
    const int chrome =
        b->width() - b->style()->subElementRect(QStyle::SE_PushButtonContents, &opt, b).width();
    const QString caption = QString(b->text()).remove(QRegularExpression(QStringLiteral("&(?!&)")));
    auto need = [&](const QFont& f) {
        return QFontMetrics(f).horizontalAdvance(caption) + 2 * kCaptionClearance + chrome;
    };
    if (grow) {
        b->setMinimumWidth(need(b->font()));
        return;
    }
    QFont f = b->font();
    int px = QFontInfo(f).pixelSize();
    while (need(f) > b->width() && px > kSmallestFontPixels)
        f.setPixelSize(--px);
    if (f != b->font())
        b->setFont(f);
}

QLabel* makeLabel(QWidget* parent, const char* name, const QString& text, QRect r) {
    auto* l = new QLabel(text, parent);
    l->setObjectName(QString::fromLatin1(name));
    l->setGeometry(r);
    l->setWordWrap(true);
    l->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    fitLabel(l);
    return l;
}

void fitLabel(QLabel* l) {
    QFont f = l->font();
    int px = f.pixelSize() > 0 ? f.pixelSize() : qRound(f.pointSizeF() * 96.0 / 72.0);
    for (; px > kSmallestFontPixels; --px) {
        f.setPixelSize(px);
        const QFontMetrics fm(f);
        const int flags = l->wordWrap() ? Qt::TextWordWrap : Qt::TextSingleLine;
        const QRect need = fm.boundingRect(QRect(0, 0, l->width(), 10000), flags, l->text());
        // One line may overhang its box by the font's generous descent; more lines must fit.
        const int lines = qMax(1, need.height() / fm.lineSpacing());
        const bool fits = need.width() <= l->width() &&
                          (lines == 1 ? fm.ascent() <= l->height() + 2 : need.height() <= l->height());
        if (fits)
            break;
    }
    if (f.pixelSize() != px || l->font().pixelSize() != px) {
        f.setPixelSize(px);
        l->setFont(f);
    }
}

QLineEdit* makeLineEdit(QWidget* parent, const char* name, QRect r) {
    auto* e = new QLineEdit(parent);
    e->setObjectName(QString::fromLatin1(name));
    e->setGeometry(r);
    e->setTextMargins(0, 0, 0, 0);
    e->setStyleSheet(QStringLiteral("QLineEdit{padding:0px 1px;}"));
    return e;
}

QGroupBox* makeFrame(QWidget* parent, const char* name, const QString& caption, QRect r) {
    auto* g = new QGroupBox(caption, parent);
    g->setObjectName(QString::fromLatin1(name));
    g->setGeometry(r);
    return g;
}

void WrapRadioButton::paintEvent(QPaintEvent*) {
    paintWrapped(this, QStyle::PE_IndicatorRadioButton, isChecked(), isDown());
}

bool WrapRadioButton::hitButton(const QPoint& pos) const {
    return rect().contains(pos);
}

void WrapCheckBox::paintEvent(QPaintEvent*) {
    paintWrapped(this, QStyle::PE_IndicatorCheckBox, isChecked(), isDown());
}

bool WrapCheckBox::hitButton(const QPoint& pos) const {
    return rect().contains(pos);
}

ListEditorControls makeListEditorControls(Windows& windows, QWidget* parent, int maxLength) {
    ListEditorControls c;
    c.entry = makeLineEdit(parent, "Text1", twipsRect(0, 405, 5535, 270));
    c.entry->setMaxLength(maxLength);
    c.add = makeButton(parent, "Command1", QStringLiteral("登録"), twipsRect(5640, 405, 615, 255));
    // White on a deep red: black strokes this thin blend into a bright red and read as dark red.
    c.remove = makeButton(parent, "Command2", QStringLiteral("削除"), twipsRect(6360, 405, 615, 255),
                          QColor(176, 0, 0), Qt::white);
    QFont bold = c.remove->font();
    bold.setBold(true);
    c.remove->setFont(bold);
    fitCaption(c.remove, false);
    for (QWidget* w : std::initializer_list<QWidget*>{c.entry, c.add, c.remove})
        windows.registerCheckInput(w);
    c.list = new QListWidget(parent);
    c.list->setObjectName(QStringLiteral("List1"));
    c.list->setGeometry(twipsRect(0, 765, 7095, 4350));
    return c;
}

void centreOnScreen(QWidget* w) {
    QScreen* s = w->screen() ? w->screen() : QGuiApplication::primaryScreen();
    if (!s)
        return;
    const QRect avail = s->availableGeometry();
    const QSize size = w->frameGeometry().size().isValid() ? w->frameGeometry().size() : w->size();
    w->move(avail.center() - QPoint(size.width() / 2, size.height() / 2));
}

QRect besidePlace(const QRect& anchor, const QSize& size, const QRect& avail, int minWidth) {
    const int y = qMax(avail.top(), qMin(anchor.top(), avail.bottom() + 1 - size.height()));
    const int rightRoom = avail.right() - anchor.right();
    const int leftRoom = anchor.left() - avail.left();
    if (size.width() <= rightRoom)
        return QRect(anchor.right() + 1, y, size.width(), size.height());
    if (size.width() <= leftRoom)
        return QRect(anchor.left() - size.width(), y, size.width(), size.height());
    if (qMax(rightRoom, leftRoom) >= minWidth)
        return rightRoom >= leftRoom ? QRect(anchor.right() + 1, y, rightRoom, size.height())
                                     : QRect(avail.left(), y, leftRoom, size.height());
    return QRect(qMax(avail.left(), avail.right() + 1 - size.width()), y, size.width(), size.height());
}

void placeBeside(QWidget* w, const QWidget* anchor, int minWidth) {
    QScreen* s = anchor && anchor->isVisible() ? anchor->screen() : nullptr;
    if (!s) {
        centreOnScreen(w);
        return;
    }
    // A window not shown yet has no frame: it is taken to get the anchor's.
    QSize frame = w->frameGeometry().size() - w->size();
    if (frame.isEmpty())
        frame = anchor->frameGeometry().size() - anchor->size();
    const QRect place =
        besidePlace(anchor->frameGeometry(), w->size() + frame, s->availableGeometry(), minWidth);
    w->resize(place.size() - frame);
    w->move(place.topLeft());
}

void setTopmost(QWidget* w, bool topmost) {
    const Qt::WindowFlags flags = w->windowFlags().setFlag(Qt::WindowStaysOnTopHint, topmost);
    if (flags != w->windowFlags()) {
        if (QWindow* handle = w->windowHandle()) {
            // Told to the window system in place: setting the widget's flags would make a new native
            // window, which the window manager places anew, a title bar's height off.
            w->overrideWindowFlags(flags);
            handle->setFlags(flags);
        } else {
            w->setWindowFlags(flags);
        }
    }
    w->show();
    w->raise();
}

QSize windowFrameSize(const QWidget* w) {
    const QSize frame = w->frameGeometry().size() - w->geometry().size();
    if (!w->isVisible() || (frame.width() <= 0 && frame.height() <= 0))
        return QSize(kAssumedFrameWidth, kAssumedFrameHeight);
    return frame;
}

void setOuterSize(QWidget* w, int outerWidth, int outerHeight) {
    const QSize frame = windowFrameSize(w);
    w->setFixedSize(qMax(1, outerWidth - frame.width()), qMax(1, outerHeight - frame.height()));
}

bool installJapaneseQtTexts(QCoreApplication& app) {
    auto* translator = new QTranslator(&app);
    if (!translator->load(QLocale(QLocale::Japanese, QLocale::Japan), QStringLiteral("qtbase"),
                          QStringLiteral("_"), QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
        delete translator;
        return false;
    }
    return QCoreApplication::installTranslator(translator);
}

int setUpMailTable(QTableWidget* table, int stretchColumn, bool several) {
    table->setSelectionBehavior(QAbstractItemView::SelectRows);
    if (several)
        table->setSelectionMode(QAbstractItemView::ExtendedSelection);
    table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table->setTabKeyNavigation(false);
    table->setWordWrap(false);
    table->setAlternatingRowColors(true);
    table->verticalHeader()->hide();
    table->verticalHeader()->setDefaultSectionSize(table->fontMetrics().height() + 6);
    QHeaderView* header = table->horizontalHeader();
    header->setHighlightSections(false);
    header->setSectionResizeMode(QHeaderView::Interactive);
    header->setSectionResizeMode(stretchColumn, QHeaderView::Stretch);
    return table->fontMetrics().horizontalAdvance(u'0');
}

} // namespace brindle
