// What a user must be able to see: ticked marks, readable captions, hints, boxes above our windows.
#include "UiTestSupport.h"

#include "ui/MsgForm.h"
#include "ui/UiKit.h"

#include <QAbstractButton>
#include <QFontInfo>
#include <QHash>
#include <QLayout>
#include <QMouseEvent>
#include <QRegularExpression>
#include <QStyle>
#include <QStyleOptionButton>
#include <QTextEdit>

using namespace brindle;
using namespace brindle::test;

namespace {

// WCAG relative luminance and contrast ratio.
double luminance(QColor c) {
    auto lin = [](double v) { return v <= 0.03928 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4); };
    return 0.2126 * lin(c.redF()) + 0.7152 * lin(c.greenF()) + 0.0722 * lin(c.blueF());
}
double contrast(QColor a, QColor b) {
    const double la = luminance(a), lb = luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

using Opener = std::function<QWidget*(MainForm&)>;
const QList<std::pair<const char*, Opener>> kWindows{
    {"main", [](MainForm& m) -> QWidget* { return &m; }},
    {"settings", [](MainForm& m) -> QWidget* { return m.windows().setForm(); }},
    {"server", [](MainForm& m) -> QWidget* { return m.windows().optionForm(); }},
    {"account", [](MainForm& m) -> QWidget* { return m.windows().idPassForm(); }},
    {"keywords", [](MainForm& m) -> QWidget* { return m.windows().gekitaiForm(); }},
    {"allow list", [](MainForm& m) -> QWidget* { return m.windows().openAllowList(); }},
    {"deleted mail", [](MainForm& m) -> QWidget* { return m.windows().openDeletedLog(); }},
};

// The buttons of a window that the user can see: not hidden, and within the window.
QList<QAbstractButton*> seenButtons(QWidget* window) {
    window->show();
    if (window->layout())
        window->layout()->activate();
    QList<QAbstractButton*> out;
    for (QAbstractButton* b : window->findChildren<QAbstractButton*>()) {
        const QRect at(b->mapTo(window, QPoint(0, 0)), b->size());
        if (b->isVisibleTo(window) && window->rect().intersects(at))
            out << b;
    }
    return out;
}

} // namespace

class TestLook : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { applyApplicationLook(); }

    // The pixels that ticking changes stand out 3:1 from what they replace.
    void indicatorStandsOut_data() {
        QTest::addColumn<QByteArray>("button");
        QTest::addColumn<bool>("inSettings");
        QTest::newRow("main window, rule") << QByteArray("Option6") << false;
        QTest::newRow("main window, interval box") << QByteArray("Check1") << false;
        QTest::newRow("settings, notice board box") << QByteArray("Check2") << true;
        QTest::newRow("settings, notice board choice") << QByteArray("Option2") << true;
    }
    void indicatorStandsOut() {
        QFETCH(QByteArray, button);
        QFETCH(bool, inSettings);
        UiFixture f;
        MainForm& main = f.start();
        QObject& window = inSettings ? static_cast<QObject&>(*main.windows().setForm()) : main;
        auto* b = control<QAbstractButton>(window, button.constData());
        b->setAutoExclusive(false);
        b->setChecked(false);
        const QImage off = b->grab().toImage();
        b->setChecked(true);
        const QImage on = b->grab().toImage();
        QCOMPARE(on.size(), off.size());
        int clear = 0;
        for (int y = 0; y < on.height(); ++y)
            for (int x = 0; x < on.width(); ++x)
                if (contrast(on.pixelColor(x, y), off.pixelColor(x, y)) >= 3.0)
                    ++clear;
        QVERIFY2(clear >= 6, qPrintable(QString::number(clear)));
    }

    // A move over a button goes on to the window, which must not hide the button's hint.
    void hintsOverTheirControls() {
        UiFixture f;
        GekitaiForm* g = f.windows().gekitaiForm();
        g->show();
        const std::pair<QWidget*, QString> rows[]{{g->Command1, GekitaiForm::kHintRegister},
                                                  {g->Text1, GekitaiForm::kHintEntry},
                                                  {g->Command2, GekitaiForm::kHintDelete},
                                                  {g->List1->viewport(), QString()}};
        for (const auto& [over, hint] : rows) {
            const QPointF at(over->width() / 2.0, over->height() / 2.0);
            QMouseEvent move(QEvent::MouseMove, at, over->mapToGlobal(at), Qt::NoButton, Qt::NoButton,
                             Qt::NoModifier);
            QCoreApplication::sendEvent(over, &move);
            QCOMPARE(g->Text2->isVisible(), !hint.isEmpty());
            if (!hint.isEmpty())
                QCOMPARE(g->Text2->toPlainText(), hint);
        }
    }

    // Captions fit their buttons; their stronger quarter of pixels stands 4.5:1 off the commonest colour.
    void buttonsReadable_data() { indexRows(kWindows); }
    void buttonsReadable() {
        QFETCH(int, row);
        UiFixture f;
        QWidget* w = kWindows[row].second(f.start());
        for (QAbstractButton* b : seenButtons(w)) {
            QStyleOptionButton opt;
            opt.initFrom(b);
            QStyle* st = b->style();
            const bool radio = qobject_cast<QRadioButton*>(b);
            const bool wraps =
                b->inherits("brindle::WrapRadioButton") || b->inherits("brindle::WrapCheckBox");
            const QRect inner =
                st->subElementRect(qobject_cast<QPushButton*>(b) ? QStyle::SE_PushButtonContents
                                   : radio                       ? QStyle::SE_RadioButtonContents
                                                                 : QStyle::SE_CheckBoxContents,
                                   &opt, b);
            const int lines = qMax(1, (b->height() + 1) / (QFontInfo(b->font()).pixelSize() + 1));
            const int mark =
                st->pixelMetric(radio ? QStyle::PM_ExclusiveIndicatorWidth : QStyle::PM_IndicatorWidth);
            const int room = wraps ? lines * (b->width() - 4 - mark) : inner.width();
            const QString caption = QString(b->text()).remove(QRegularExpression(QStringLiteral("&(?!&)")));
            const int need = b->fontMetrics().horizontalAdvance(caption);
            if (!qobject_cast<QPushButton*>(b)) {
                QVERIFY2(need == 0 || need <= room, qPrintable(b->objectName()));
                continue;
            }
            QVERIFY2(need + 2 * kCaptionClearance <= room, qPrintable(b->objectName()));
            const QImage img = w->grab(QRect(b->mapTo(w, QPoint(0, 0)), b->size())).toImage();
            QHash<QRgb, int> counts;
            for (int y = inner.top(); y <= inner.bottom(); ++y)
                for (int x = inner.left(); x <= inner.right(); ++x)
                    ++counts[img.pixel(x, y)];
            const QColor back(
                std::max_element(counts.keyValueBegin(), counts.keyValueEnd(), [](auto p, auto q) {
                    return p.second < q.second;
                })->first);
            QList<double> ink; // the caption's pixels: those that visibly differ from the button
            for (auto it = counts.keyValueBegin(); it != counts.keyValueEnd(); ++it)
                if (const double c = contrast(QColor(it->first), back); c >= 1.5)
                    ink.append(QList<double>(it->second, c));
            std::sort(ink.begin(), ink.end());
            QVERIFY2(ink.size() >= 20 && ink[ink.size() * 3 / 4] >= 4.5, qPrintable(b->objectName()));
        }
    }

    // HELP opens beside the main window: right of it, else left, else where the screen has room.
    void helpBeside_data() {
        QTest::addColumn<QRect>("anchor");
        QTest::addColumn<QRect>("place");
        QTest::newRow("room on the right") << QRect(100, 50, 370, 390) << QRect(470, 50, 740, 520);
        QTest::newRow("room on the left only") << QRect(800, 50, 370, 390) << QRect(60, 50, 740, 520);
        QTest::newRow("neither: narrowed on the right")
            << QRect(300, 50, 370, 390) << QRect(670, 50, 610, 520);
        QTest::newRow("neither: narrowed on the left") << QRect(700, 50, 370, 390) << QRect(0, 50, 700, 520);
        QTest::newRow("no side wide enough: over it") << QRect(350, 50, 580, 390) << QRect(540, 50, 740, 520);
        QTest::newRow("low on the screen: raised") << QRect(100, 900, 370, 100) << QRect(470, 504, 740, 520);
    }
    void helpBeside() {
        QFETCH(QRect, anchor);
        QTEST(besidePlace(anchor, QSize(740, 520), QRect(0, 0, 1280, 1024), 400), "place");
    }

    // A box stands above our topmost window and is kept on top while one of ours is. Shown in turn:
    // m main, h HELP, s settings, t main kept on top; the last active. Then the box's parent.
    void boxAboveTopmost_data() {
        QTest::addColumn<QString>("shown");
        QTest::addColumn<QString>("parent");
        QTest::newRow("HELP over main") << u"mh"_qs << u"HELPForm"_qs;
        QTest::newRow("settings active, HELP shown") << u"mhs"_qs << u"HELPForm"_qs;
        QTest::newRow("settings active") << u"ms"_qs << u"SetForm"_qs;
        QTest::newRow("main kept on top, settings active") << u"ts"_qs << u"MainForm"_qs;
        QTest::newRow("in the tray: no parent") << QString() << QString();
    }
    void boxAboveTopmost() {
        QFETCH(QString, shown);
        QFETCH(QString, parent);
        UiFixture f;
        MainForm& main = f.startWithServer();
        QWidget* last = nullptr;
        for (QChar c : shown) {
            last = c == u'h'   ? static_cast<QWidget*>(main.windows().helpForm())
                   : c == u's' ? static_cast<QWidget*>(main.windows().setForm())
                               : &main;
            if (c == u't')
                setTopmost(&main, true);
            last->show();
        }
        if (last) {
            QApplication::setActiveWindow(last);
            QCOMPARE(QApplication::activeWindow(), last);
        }
        QString seenParent = QStringLiteral("none");
        bool onTop = false;
        GuiMessageBoxes boxes;
        QTimer::singleShot(0, [&] {
            if (QWidget* box = QApplication::activeModalWidget()) {
                seenParent = box->parentWidget() ? box->parentWidget()->objectName() : QString();
                onTop = box->windowFlags().testFlag(Qt::WindowStaysOnTopHint);
            }
            boxes.dismissAll();
        });
        boxes.show(QStringLiteral("HTML"), MsgButtons::Ok, MsgIcon::None, QString());
        QCOMPARE(seenParent, parent);
        QCOMPARE(onTop, shown.contains(u'h') || shown.contains(u't'));
    }
};

QTEST_MAIN(TestLook)
#include "tst_look.moc"
