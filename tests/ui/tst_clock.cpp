// The analog clock's hands.
#include "ambience/PictureBox.h"

#include <QTest>

using namespace brindle;

class ClockTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void handEnds_data();
    void handEnds();
    void hourHandMovesInWholeDegrees();
    void newPictureKeepsNoHands();
};

void ClockTest::handEnds_data() {
    QTest::addColumn<QTime>("time");
    QTest::addColumn<QPoint>("hour");
    QTest::addColumn<QPoint>("minute");
    QTest::addColumn<QPoint>("second");
    QTest::newRow("0:00:00") << QTime(0, 0, 0) << QPoint(75, 30) << QPoint(75, 15) << QPoint(75, 10);
    QTest::newRow("12:00:00") << QTime(12, 0, 0) << QPoint(75, 30) << QPoint(75, 15) << QPoint(75, 10);
    QTest::newRow("3:00:00") << QTime(3, 0, 0) << QPoint(105, 60) << QPoint(75, 15) << QPoint(75, 10);
    QTest::newRow("6:30:15") << QTime(6, 30, 15) << QPoint(67, 89) << QPoint(75, 105) << QPoint(125, 60);
    QTest::newRow("9:45:45") << QTime(9, 45, 45) << QPoint(47, 49) << QPoint(30, 60) << QPoint(25, 60);
    QTest::newRow("10:15:30") << QTime(10, 15, 30) << QPoint(51, 42) << QPoint(120, 60) << QPoint(75, 110);
}

void ClockTest::handEnds() {
    QFETCH(QTime, time);
    QFETCH(QPoint, hour);
    QFETCH(QPoint, minute);
    QFETCH(QPoint, second);
    const ClockHands h = clockHands(time.hour(), time.minute(), time.second());
    QCOMPARE(h.hour, hour);
    QCOMPARE(h.minute, minute);
    QCOMPARE(h.second, second);
}

void ClockTest::hourHandMovesInWholeDegrees() {
    QList<int> angles;
    for (int m = 0; m <= 7; ++m)
        angles << hourAngle(3, m);
    QCOMPARE(angles, (QList<int>{90, 90, 91, 92, 92, 92, 93, 94}));
}

void ClockTest::newPictureKeepsNoHands() {
    PictureBox box;
    box.resize(151, 120);
    QPixmap black(151, 120);
    black.fill(Qt::black);
    box.setPicture(black);
    box.setHands(clockHands(3, 0, 0));
    const QImage drawn = box.grab().toImage();
    QCOMPARE(drawn.pixelColor(90, 60), QColor(Qt::white)); // on the hour hand
    QCOMPARE(box.picture().toImage().pixelColor(90, 60), QColor(Qt::black));
    QPixmap next(151, 120);
    next.fill(Qt::blue);
    box.setPicture(next);
    box.setHands(clockHands(6, 0, 30)); // hour and second hands straight down
    const QImage redrawn = box.grab().toImage();
    QCOMPARE(redrawn.pixelColor(90, 60), QColor(Qt::blue)); // the old hand left no trace
    QCOMPARE(redrawn.pixelColor(75, 80), QColor(Qt::white));
}

QTEST_MAIN(ClockTest)
#include "tst_clock.moc"
