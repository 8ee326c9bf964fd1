#include "platform/NumberText.h"

#include <cmath>
#include <QTest>

using namespace brindle;

class TestNumberText : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void leading_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<double>("value");
        QTest::newRow("blanks only") << u"  \t "_qs << 0.0;
        QTest::newRow("blanks, tab, cr, lf inside") << u" 1\t2\r\n3"_qs << 123.0;
        QTest::newRow("blank after sign") << u"- 3"_qs << -3.0;
        QTest::newRow("exponent") << u"1e3"_qs << 1000.0;
        QTest::newRow("exponent sign without digits") << u"7e+x"_qs << 7.0;
        QTest::newRow("trailing text") << u"-2.5x"_qs << -2.5;
        QTest::newRow("point only") << u"."_qs << 0.0;
        QTest::newRow("two points") << u"1.5.2"_qs << 1.5;
        QTest::newRow("hex is not read") << u"0x1A"_qs << 0.0;
        QTest::newRow("full-width digits") << u"１２"_qs << 0.0;
        QTest::newRow("tiny") << u"1e-999"_qs << 0.0;
    }
    void leading() {
        QFETCH(QString, text);
        QTEST(leadingNumber(text), "value");
    }

    void leadingStaysFinite() {
        for (const QString& text : {u"1e999"_qs, u"-1e999"_qs, QString(400, u'9')}) {
            const double v = leadingNumber(text);
            QVERIFY2(std::isfinite(v) && std::abs(v) > 1e300, qPrintable(text.left(10)));
        }
    }

    void shortest_data() {
        QTest::addColumn<double>("value");
        QTest::addColumn<QString>("text");
        QTest::newRow("whole") << 3.0 << u"3"_qs;
        QTest::newRow("negative zero") << -0.0 << u"0"_qs;
        QTest::newRow("half") << -1.5 << u"-1.5"_qs;
        QTest::newRow("tenth") << 0.1 << u"0.1"_qs;
        QTest::newRow("sum of tenths") << 0.1 + 0.2 << u"0.30000000000000004"_qs;
        QTest::newRow("large whole") << 123456789.0 << u"123456789"_qs;
    }
    void shortest() {
        QFETCH(double, value);
        QTEST(shortestDecimal(value), "text");
    }

    void shortestRoundTrips() {
        for (double v : {1e21, 1e-7, 2.0 / 3.0, -123.456, 65536.0 * 65536.0 * 65536.0})
            QCOMPARE(leadingNumber(shortestDecimal(v)), v);
    }

    void halfEven_data() {
        QTest::addColumn<double>("value");
        QTest::addColumn<double>("rounded");
        QTest::newRow("0.5") << 0.5 << 0.0;
        QTest::newRow("1.5") << 1.5 << 2.0;
        QTest::newRow("2.5") << 2.5 << 2.0;
        QTest::newRow("-2.5") << -2.5 << -2.0;
        QTest::newRow("2.5001") << 2.5001 << 3.0;
        QTest::newRow("huge") << 1e300 << 1e300;
    }
    void halfEven() {
        QFETCH(double, value);
        QTEST(roundHalfEven(value), "rounded");
    }
};

QTEST_GUILESS_MAIN(TestNumberText)
#include "tst_numbertext.moc"
