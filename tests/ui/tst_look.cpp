// What a user must be able to see: the mark of a chosen rule or a ticked box stands out from its
// box, the keyword editor's hints come up over their controls, and the password shows as "*".
#include "UiTestSupport.h"

#include "ui/GekitaiForm.h"
#include "ui/IdPassForm.h"
#include "ui/SetForm.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QLineEdit>
#include <QListWidget>
#include <QMouseEvent>
#include <QPushButton>
#include <QRadioButton>
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

} // namespace

class TestLook : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // The pixels that ticking changes must stand out from what they replace by at least 3:1, the
    // contrast a control's state needs to be seen.
    void indicatorStandsOut_data() {
        QTest::addColumn<int>("which");
        QTest::newRow("main window, rule") << 0;
        QTest::newRow("main window, interval box") << 1;
        QTest::newRow("settings, notice board box") << 2;
        QTest::newRow("settings, notice board choice") << 3;
    }
    void indicatorStandsOut() {
        QFETCH(int, which);
        UiFixture f;
        MainForm& main = f.start();
        SetForm* set = forms::setForm();
        QAbstractButton* const buttons[] = {main.Option6, main.Check1, set->Check2, set->Option2};
        QAbstractButton* b = buttons[which];
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

    // A button takes no move without a pressed mouse button; the move goes on to the window, which
    // must not hide the hint the button brought up.
    void hintsOverTheirControls() {
        UiFixture f;
        GekitaiForm* g = forms::gekitaiForm();
        g->show();
        const struct {
            QWidget* over;
            QString hint;
        } rows[] = {{g->Command1, GekitaiForm::kHintRegister},
                    {g->Text1, GekitaiForm::kHintEntry},
                    {g->Command2, GekitaiForm::kHintDelete},
                    {g->List1->viewport(), QString()}};
        for (const auto& r : rows) {
            const QPointF at(r.over->width() / 2.0, r.over->height() / 2.0);
            QMouseEvent move(QEvent::MouseMove, at, r.over->mapToGlobal(at), Qt::NoButton, Qt::NoButton,
                             Qt::NoModifier);
            QCoreApplication::sendEvent(r.over, &move);
            QCOMPARE(g->Text2->isVisible(), !r.hint.isEmpty());
            if (!r.hint.isEmpty())
                QCOMPARE(g->Text2->toPlainText(), r.hint);
        }
    }

    void passwordShowsAsterisks() {
        UiFixture f;
        IdPassForm* form = forms::idPassForm();
        form->PassText->setText(QStringLiteral("pa55"));
        QCOMPARE(form->PassText->displayText(), QStringLiteral("****"));
    }
};

QTEST_MAIN(TestLook)
#include "tst_look.moc"
