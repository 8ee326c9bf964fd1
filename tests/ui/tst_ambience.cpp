// The slideshow's timing and order, without a display.
#include "ambience/Slideshow.h"

#include <QTest>

using namespace brindle;

class AmbienceTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void slidePeriod_data() {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<int>("intervalMs"); // 0: the slideshow stands still
        QTest::newRow("fraction") << "1.5" << 1500;
        QTest::newRow("above the 16-bit timer range is kept") << "70" << 70000;
        QTest::newRow("blanks and trailing text") << " 7 s" << 7000;
        QTest::newRow("zero stops") << "0" << 0;
        QTest::newRow("letters stop") << "abc" << 0;
        QTest::newRow("beyond a day is a day") << "1e12" << 86400000;
    }
    void slidePeriod() {
        QFETCH(QString, typed);
        QFETCH(int, intervalMs);
        QCOMPARE(Slideshow::intervalMs(typed), intervalMs);
    }

    void slidesCycleThroughAllSixteen() {
        Slideshow show;
        QCOMPARE(show.current(), 0);
        QList<int> shown;
        for (int i = 0; i < 18; ++i)
            shown << show.advance();
        QCOMPARE(shown, (QList<int>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 1, 2}));
    }
};

QTEST_GUILESS_MAIN(AmbienceTest)
#include "tst_ambience.moc"
