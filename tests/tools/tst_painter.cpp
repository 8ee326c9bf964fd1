// The pictures painted at build time: scenes with shapes, no ramp, no noise, no two slides alike.
#include <algorithm>
#include <QImage>
#include <QRandomGenerator>
#include <QTest>
#include <vector>

namespace {

const QString kArt = QStringLiteral(BRINDLE_ART_DIR);

int lum(QRgb c) {
    return (qRed(c) * 299 + qGreen(c) * 587 + qBlue(c) * 114) / 1000;
}

// A scene: mostly smooth areas (noise has none), edges across the rows, and columns whose brightness
// rises and falls again (a ramp only goes one way).
bool looksLikeAScene(const QImage& image) {
    const int w = image.width(), h = image.height();
    int smooth = 0, pairs = 0, rowsWithEdges = 0, turningColumns = 0;
    for (int y = 0; y < h; ++y) {
        bool edge = false;
        for (int x = 1; x < w; ++x) {
            const int d = std::abs(lum(image.pixel(x, y)) - lum(image.pixel(x - 1, y)));
            smooth += d <= 6;
            edge |= d >= 10;
            ++pairs;
        }
        rowsWithEdges += edge;
    }
    for (int x = 0; x < w; ++x) {
        int lo = 255, hi = 0, rise = 0, fall = 0;
        for (int y = 0; y < h; ++y) {
            const int v = lum(image.pixel(x, y));
            lo = std::min(lo, v);
            hi = std::max(hi, v);
            rise = std::max(rise, v - lo);
            fall = std::max(fall, hi - v);
        }
        turningColumns += rise >= 20 && fall >= 20;
    }
    return smooth >= pairs * 6 / 10 && rowsWithEdges >= h / 4 && turningColumns >= w / 2;
}

QImage slide(int n) {
    return QImage(kArt + QStringLiteral("/画像データ/%1.jpg").arg(n));
}

} // namespace

class PainterTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void pictures_data() {
        QTest::addColumn<QImage>("image");
        QTest::addColumn<QSize>("minimum");
        QTest::addColumn<bool>("scene");
        for (int n = 1; n <= 16; ++n)
            QTest::addRow("slide %d", n) << slide(n) << QSize(151, 120) << true;
        QTest::newRow("built-in picture")
            << QImage(kArt + QStringLiteral("/builtin.png")) << QSize(160, 160) << true;
        // What the measure must turn down: a sky ramp, a round glow, and noise.
        QImage ramp(151, 120, QImage::Format_RGB32), halo = ramp, noise = ramp;
        for (int y = 0; y < 120; ++y)
            for (int x = 0; x < 151; ++x) {
                ramp.setPixel(x, y, qRgb(40 + y, 90 + y, 200));
                const int r = int(std::hypot(x - 75, y - 60));
                halo.setPixel(x, y, qRgb(std::max(0, 250 - 3 * r), 180, 120));
                noise.setPixel(x, y, QRandomGenerator::global()->generate() | 0xff000000u);
            }
        QTest::newRow("ramp") << ramp << QSize(151, 120) << false;
        QTest::newRow("halo") << halo << QSize(151, 120) << false;
        QTest::newRow("noise") << noise << QSize(151, 120) << false;
    }
    void pictures() {
        QFETCH(QImage, image);
        QFETCH(QSize, minimum);
        QFETCH(bool, scene);
        QVERIFY(!image.isNull() && image.width() >= minimum.width() && image.height() >= minimum.height());
        QCOMPARE(looksLikeAScene(image), scene);
    }

    void slidesDifferFromEachOther() {
        std::vector<QImage> slides;
        for (int n = 1; n <= 16; ++n)
            slides.push_back(slide(n).convertToFormat(QImage::Format_RGB32));
        for (int a = 0; a < 16; ++a)
            for (int b = a + 1; b < 16; ++b) {
                qint64 diff = 0;
                for (int y = 0; y < 120; ++y)
                    for (int x = 0; x < 151; ++x)
                        diff += std::abs(lum(slides[a].pixel(x, y)) - lum(slides[b].pixel(x, y)));
                QVERIFY2(diff / (151 * 120) >= 12,
                         qPrintable(QStringLiteral("%1 and %2").arg(a + 1).arg(b + 1)));
            }
    }
};

QTEST_GUILESS_MAIN(PainterTest)
#include "tst_painter.moc"
