#include "Scenes.h"

#include "Icon.h"
#include "Kit.h"

#include <array>
#include <cmath>

namespace painter {

namespace {

// Scenes are painted at three times their size and scaled down, which smooths the small shapes
// (stars, needles of pines, ripples) the way a photograph would.
constexpr int kOversample = 3;

using Scene = void (*)(QPainter&, Rng&);

QColor rgb(int r, int g, int b, int a = 255) {
    return QColor(r, g, b, a);
}

// Ridges from far to near: each nearer one darker and less veiled by the haze.
void ridges(QPainter& p, Rng& rng, int count, double firstY, double step, double rough, const QColor& haze,
            const QColor& nearest) {
    for (int i = 0; i < count; ++i) {
        const double t = count == 1 ? 1.0 : double(i) / (count - 1);
        const double y = firstY + i * step;
        p.setPen(Qt::NoPen);
        p.setBrush(mix(haze, nearest, 0.25 + 0.75 * t));
        p.drawPath(under(ridge(rng, y + rng.range(-6, 6), y + rng.range(-6, 6), rough * (1 - 0.4 * t))));
        // mist lying in the valley in front of it
        QLinearGradient mist(0, y - 4, 0, y + step);
        mist.setColorAt(0, QColor(255, 255, 255, 0));
        mist.setColorAt(1, QColor(haze.red(), haze.green(), haze.blue(), int(70 * (1 - t))));
        p.fillRect(QRectF(-1, y - 4, kW + 2, kH + 5 - y), mist); // the next ridge covers the rest
    }
}

// 1: ridge upon ridge at dawn, the farthest fading into a peach sky.
void dawnRidges(QPainter& p, Rng& rng) {
    sky(p, 0, 70, {{0, rgb(92, 112, 168)}, {0.55, rgb(214, 170, 170)}, {1, rgb(250, 206, 160)}});
    glow(p, QPointF(112, 40), 30, rgb(255, 236, 200, 150));
    disc(p, QPointF(112, 40), 6, rgb(255, 244, 222));
    streak(p, QPointF(40, 22), 46, 3, rgb(250, 200, 190, 150));
    streak(p, QPointF(90, 30), 34, 2.5, rgb(255, 214, 196, 140));
    ridges(p, rng, 6, 48, 13, 16, rgb(214, 168, 170), rgb(38, 40, 72));
}

// 2: a still mountain lake mirroring a snowy peak, pines along the far shore.
void mountainLake(QPainter& p, Rng& rng) {
    const double shore = 74;
    reflect(p, rng, shore, rgb(40, 80, 110), 0.35, [&](QPainter& q) {
        Rng local(202);
        sky(q, 0, shore, {{0, rgb(70, 130, 200)}, {1, rgb(190, 220, 240)}});
        cloud(q, local, QPointF(30, 18), 34, rgb(255, 255, 255, 230), rgb(200, 214, 232, 230));
        q.setPen(Qt::NoPen);
        q.setBrush(rgb(150, 170, 196));
        q.drawPath(under(ridge(local, 52, 46, 10), shore));
        peak(q, local, QPointF(92, 14), 40, 150, shore,
             {rgb(120, 124, 140), rgb(78, 82, 104), rgb(250, 252, 255), rgb(190, 204, 228)}, 22);
        q.setBrush(rgb(60, 96, 80));
        q.drawPath(under(ridge(local, 66, 68, 3), shore));
        for (double x = -2; x < kW + 2; x += local.range(2.5, 4.5))
            pine(q, QPointF(x, shore + 0.5), local.range(6, 12), rgb(34, 70, 54));
    });
    ripples(p, rng, QRectF(0, shore + 1, kW, kH - shore), 70, rgb(220, 236, 250, 120), 12);
    // a pebbly bank in the foreground
    p.setPen(Qt::NoPen);
    p.setBrush(rgb(110, 100, 84));
    p.drawPath(under(waves(112, {{4, 0.05, 0.3}})));
    for (int i = 0; i < 16; ++i) {
        const double x = rng.range(0, kW), y = rng.range(110, 120);
        p.setBrush(mix(rgb(150, 140, 120), rgb(90, 84, 72), rng.uniform()));
        p.drawEllipse(QPointF(x, y), rng.range(1.5, 3.5), rng.range(1, 2));
    }
}

// 3: a pine forest in morning mist, rows of trees fading back into the haze.
void pineForest(QPainter& p, Rng& rng) {
    const QColor haze = rgb(176, 198, 192);
    sky(p, 0, kH, {{0, rgb(124, 164, 168)}, {0.6, haze}, {1, rgb(220, 228, 214)}});
    glow(p, QPointF(40, 26), 36, rgb(255, 250, 230, 160));
    // shafts of sunlight slanting down through the mist
    p.setPen(Qt::NoPen);
    for (int i = 0; i < 5; ++i) {
        const double x = 26 + i * 14 + rng.range(-4, 4), w = rng.range(3, 7);
        p.setBrush(QColor(255, 252, 236, 34));
        p.drawPolygon(QPolygonF{{x, 20}, {x + w, 20}, {x + w * 3 + 40, kH}, {x + 40, kH}});
    }
    const int rows = 5;
    for (int row = 0; row < rows; ++row) {
        const double t = double(row) / (rows - 1);
        const double ground = 56 + row * 14.5;
        const QColor tree = mix(haze, rgb(20, 54, 36), 0.25 + 0.75 * t);
        const double height = 14 + t * 40;
        p.setPen(Qt::NoPen);
        p.setBrush(tree);
        p.drawPath(under(ridge(rng, ground, ground + 2, 3)));
        for (double x = rng.range(-4, 2); x < kW + 4; x += height * rng.range(0.22, 0.4))
            pine(p, QPointF(x, ground + 1), height * rng.range(0.75, 1.15), tree);
        QLinearGradient mist(0, ground - 8, 0, ground + 8);
        mist.setColorAt(0, QColor(255, 255, 255, 0));
        mist.setColorAt(1, QColor(226, 236, 228, int(110 * (1 - t))));
        p.fillRect(QRectF(-1, ground - 8, kW + 2, 16), mist);
    }
    p.setBrush(rgb(40, 60, 34));
    p.drawPath(under(waves(114, {{2, 0.1, 0}})));
}

// 4: the sun setting into a quiet sea, clouds lit from below, a path of light on the water.
void seaSunset(QPainter& p, Rng& rng) {
    const double horizon = 74;
    sky(p, 0, horizon,
        {{0, rgb(64, 48, 110)},
         {0.4, rgb(170, 80, 120)},
         {0.78, rgb(244, 140, 80)},
         {1, rgb(255, 200, 110)}});
    glow(p, QPointF(108, horizon), 40, rgb(255, 200, 120, 170));
    for (int i = 0; i < 7; ++i) {
        const double y = rng.range(16, 58);
        const double lit = (y - 10) / 50;
        streak(p, QPointF(rng.range(0, kW), y), rng.range(24, 60), rng.range(1.5, 3.5),
               mix(rgb(120, 60, 110, 200), rgb(255, 170, 110, 220), lit));
    }
    p.save();
    p.setClipRect(QRectF(0, 0, kW, horizon));
    disc(p, QPointF(108, horizon - 3), 10, rgb(255, 226, 150));
    p.restore();
    // a far headland on the left
    p.setPen(Qt::NoPen);
    p.setBrush(rgb(70, 40, 76));
    p.drawPath(under(ridge(rng, horizon - 16, horizon + 8, 4, 0.55, 6), horizon));
    sky(p, horizon, kH, {{0, rgb(170, 90, 100)}, {0.3, rgb(96, 58, 96)}, {1, rgb(36, 30, 66)}});
    ripples(p, rng, QRectF(0, horizon + 0.5, kW, kH - horizon), 90, rgb(255, 170, 130, 90), 10);
    ripples(p, rng, QRectF(94, horizon + 0.5, 28, kH - horizon), 90, rgb(255, 220, 150, 220), 7);
}

// 5: a clear night: stars, a crescent moon and its reflection in a dark lake below the hills.
void moonNight(QPainter& p, Rng& rng) {
    const double shore = 78;
    reflect(p, rng, shore, rgb(8, 14, 34), 0.45, [&](QPainter& q) {
        Rng local(505);
        sky(q, 0, shore, {{0, rgb(8, 12, 36)}, {0.7, rgb(22, 36, 78)}, {1, rgb(48, 60, 104)}});
        stars(q, local, QRectF(0, 0, kW, shore - 10), 150);
        glow(q, QPointF(112, 26), 24, rgb(200, 214, 255, 90));
        // the crescent: the moon's disc with the dark of the sky laid over part of it
        QPainterPath moon, shadow;
        moon.addEllipse(QPointF(112, 26), 8, 8);
        shadow.addEllipse(QPointF(116, 23), 7.5, 7.5);
        q.setPen(Qt::NoPen);
        q.setBrush(rgb(250, 244, 214));
        q.drawPath(moon.subtracted(shadow));
        q.setBrush(rgb(30, 38, 70));
        q.drawPath(under(ridge(local, 60, 56, 12), shore));
        q.setBrush(rgb(12, 18, 36));
        q.drawPath(under(ridge(local, 70, 66, 5), shore));
        for (double x = 0; x < 46; x += local.range(3, 6))
            pine(q, QPointF(x, shore), local.range(8, 16), rgb(10, 14, 26));
    });
    ripples(p, rng, QRectF(0, shore + 1, kW, kH - shore), 60, rgb(120, 140, 200, 90), 12);
    ripples(p, rng, QRectF(100, shore + 1, 24, kH - shore), 40, rgb(255, 246, 210, 170), 7);
}

// 6: desert dunes under a low sun, each with a lit face, a shaded lee and wind ripples.
void dunes(QPainter& p, Rng& rng) {
    sky(p, 0, 60, {{0, rgb(96, 150, 206)}, {0.8, rgb(236, 214, 180)}, {1, rgb(250, 226, 186)}});
    disc(p, QPointF(30, 30), 7, rgb(255, 248, 226));
    glow(p, QPointF(30, 30), 26, rgb(255, 240, 200, 120));
    struct Dune {
        double base, amp, freq, phase;
        QColor lit, shade;
    };
    const Dune layers[] = {
        {58, 4, 0.05, 0.7, rgb(226, 176, 120), rgb(190, 132, 96)},
        {72, 7, 0.045, 2.2, rgb(232, 166, 100), rgb(170, 104, 70)},
        {90, 9, 0.035, 4.3, rgb(240, 172, 100), rgb(160, 92, 60)},
        {108, 8, 0.05, 1.3, rgb(246, 184, 112), rgb(168, 98, 62)},
    };
    for (const Dune& d : layers) {
        // the second harmonic makes the crests lean: a long windward rise, a short steep lee
        const Profile crest =
            waves(d.base, {{d.amp, d.freq, d.phase}, {d.amp * 0.3, d.freq * 2, d.phase * 2}});
        p.setPen(Qt::NoPen);
        p.setBrush(d.lit);
        p.drawPath(under(crest));
        // The lee of each crest, where the sand falls away to the right, lies in shade: a crescent
        // between the crest line and the curve where the slip face meets the hollow below.
        const size_t n = crest.size();
        const auto xAt = [n](size_t i) { return kW * double(i) / double(n - 1); };
        for (size_t i = 0; i + 1 < n; ++i) {
            const bool top = (i == 0 || crest[i] <= crest[i - 1]) && crest[i + 1] > crest[i];
            if (!top)
                continue;
            size_t j = i;
            while (j + 1 < n && crest[j + 1] >= crest[j])
                ++j;
            const double x0 = xAt(i), x1 = xAt(j), fall = crest[j] - crest[i];
            QPainterPath lee;
            lee.moveTo(x0, crest[i]);
            for (size_t k = i + 1; k <= j; ++k)
                lee.lineTo(xAt(k), crest[k]);
            lee.cubicTo(x1 - (x1 - x0) * 0.3, crest[j] + fall * 0.5, x0 + (x1 - x0) * 0.05,
                        crest[i] + fall * 1.2, x0, crest[i]);
            p.setBrush(d.shade);
            p.drawPath(lee);
        }
        // wind ripples on the lit sand
        p.setPen(QPen(mix(d.lit, d.shade, 0.45), 0.35));
        p.setBrush(Qt::NoBrush);
        for (int r = 0; r < 10; ++r) {
            const double x = rng.range(0, kW), y = heightAt(crest, x) + rng.range(2, d.amp * 1.8 + 6);
            p.drawLine(QPointF(x - 6, y + 0.6), QPointF(x + 6, y - 0.6));
        }
    }
}

// 7: a waterfall at the head of a green valley, the river winding out towards us.
void waterfallValley(QPainter& p, Rng& rng) {
    sky(p, 0, 40, {{0, rgb(120, 170, 220)}, {1, rgb(210, 230, 240)}});
    cloud(p, rng, QPointF(116, 14), 30, rgb(255, 255, 255, 230), rgb(206, 218, 232, 230));
    p.setPen(Qt::NoPen);
    p.setBrush(rgb(120, 150, 150));
    p.drawPath(under(ridge(rng, 26, 30, 8)));
    // the green valley floor, and the rock wall at its head with a wooded rim
    p.setBrush(rgb(86, 140, 70));
    p.drawRect(QRectF(-1, 62, kW + 2, kH));
    QPainterPath wall;
    const auto rim = jagged(rng, QPointF(36, 36), QPointF(116, 34), 0.03);
    wall.moveTo(30, 70);
    for (const QPointF& q : rim)
        wall.lineTo(q);
    wall.lineTo(122, 70);
    wall.closeSubpath();
    p.setBrush(rgb(112, 108, 100));
    p.drawPath(wall);
    p.save();
    p.setClipPath(wall);
    for (int i = 0; i < 14; ++i) { // blocks of rock in lighter and darker tones, and their cracks
        const double x = rng.range(30, 122), y = rng.range(36, 70);
        p.setBrush(rng.uniform() < 0.5 ? rgb(130, 124, 112) : rgb(92, 90, 86));
        p.drawRect(QRectF(x, y, rng.range(4, 12), rng.range(3, 8)));
    }
    p.setPen(QPen(rgb(70, 68, 66), 0.5));
    for (int i = 0; i < 12; ++i) {
        const double x = rng.range(32, 120);
        const auto crack = jagged(rng, QPointF(x, 36), QPointF(x + rng.range(-4, 4), 70), 0.1, 3);
        p.drawPolyline(crack.data(), int(crack.size()));
    }
    p.restore();
    p.setPen(Qt::NoPen);
    p.setBrush(rgb(54, 100, 56));
    for (const QPointF& q : rim)
        p.drawEllipse(q + QPointF(0, -0.5), 3.2, 2.4);
    // the falls: streams of white over blue-grey, mist where they land
    const double fallX = 75, top = 36, foot = 70;
    p.setBrush(rgb(170, 200, 214));
    p.drawRect(QRectF(fallX - 7, top - 1, 14, foot - top + 1));
    for (int i = 0; i < 26; ++i) {
        const double x = fallX - 6.5 + rng.range(0, 13);
        p.setPen(QPen(rgb(250, 252, 255, int(rng.range(120, 240))), rng.range(0.4, 1.2)));
        p.drawLine(QPointF(x, top + rng.range(0, 5)), QPointF(x, foot - rng.range(0, 4)));
    }
    // wooded slopes either side, nearer ones darker
    const QColor slope[] = {rgb(76, 130, 74), rgb(52, 104, 56), rgb(34, 80, 44)};
    for (int i = 0; i < 3; ++i) {
        for (int side = 0; side < 2; ++side) {
            const double inner = side == 0 ? 56 - i * 16 : 94 + i * 16;
            const double outer = side == 0 ? -2 : kW + 2;
            const double y = 40 + i * 14;
            QPainterPath hill;
            hill.moveTo(outer, y - 8);
            hill.cubicTo(side == 0 ? 20 : 130, y - 10, inner, y - 2, inner, y + 40);
            hill.lineTo(outer, kH + 1);
            hill.closeSubpath();
            p.setPen(Qt::NoPen);
            p.setBrush(slope[i]);
            p.drawPath(hill);
            for (int t = 0; t < 7; ++t) {
                const double x = side == 0 ? rng.range(-2, inner - 8) : rng.range(inner + 8, kW + 2);
                pine(p, QPointF(x, y + rng.range(0, 10)), rng.range(7, 13), mix(slope[i], Qt::black, 0.3));
            }
        }
    }
    glow(p, QPointF(fallX, foot), 14, rgb(255, 255, 255, 210));
    QPainterPath river;
    river.moveTo(fallX - 7, foot);
    river.cubicTo(62, 84, 96, 92, 58, kH + 1);
    river.lineTo(100, kH + 1);
    river.cubicTo(116, 96, 80, 86, fallX + 7, foot);
    river.closeSubpath();
    p.setPen(QPen(rgb(150, 140, 110), 1.2)); // a gravel margin
    p.setBrush(rgb(110, 160, 190));
    p.drawPath(river);
    p.save();
    p.setClipPath(river);
    ripples(p, rng, QRectF(40, foot, 80, kH - foot), 70, rgb(235, 245, 255, 200), 6);
    p.restore();
}

// 8: snowy peaks against a deep blue sky, a dark band of firs below.
void snowyPeaks(QPainter& p, Rng& rng) {
    sky(p, 0, 90, {{0, rgb(30, 70, 150)}, {1, rgb(150, 190, 230)}});
    cloud(p, rng, QPointF(128, 64), 30, rgb(255, 255, 255, 200), rgb(210, 222, 240, 200));
    const PeakColours far{rgb(120, 136, 170), rgb(86, 100, 140), rgb(236, 242, 252), rgb(176, 192, 224)};
    const PeakColours near{rgb(104, 104, 118), rgb(62, 64, 84), rgb(252, 252, 255), rgb(170, 186, 220)};
    peak(p, rng, QPointF(28, 38), -30, 80, 96, far, 18);
    peak(p, rng, QPointF(124, 30), 84, 170, 96, far, 22);
    peak(p, rng, QPointF(72, 16), 20, 130, 96, near, 30);
    p.setPen(Qt::NoPen);
    p.setBrush(rgb(40, 70, 60));
    p.drawPath(under(ridge(rng, 96, 94, 3)));
    for (double x = -2; x < kW + 3; x += rng.range(3, 5))
        pine(p, QPointF(x, rng.range(104, 122)), rng.range(14, 24), rgb(24, 54, 44));
}

// 9: green hills rolling away under summer clouds, a path winding between them.
void rollingHills(QPainter& p, Rng& rng) {
    sky(p, 0, 60, {{0, rgb(80, 150, 220)}, {1, rgb(200, 226, 246)}});
    cloud(p, rng, QPointF(36, 20), 40, rgb(255, 255, 255), rgb(214, 224, 238));
    cloud(p, rng, QPointF(116, 30), 30, rgb(255, 255, 255), rgb(214, 224, 238));
    const QColor greens[] = {rgb(150, 190, 130), rgb(120, 176, 90), rgb(96, 160, 70), rgb(76, 140, 56)};
    const Profile hills[] = {
        waves(56, {{4, 0.05, 0.5}, {2, 0.13, 1}}),
        waves(66, {{6, 0.04, 2.0}, {2, 0.11, 0}}),
        waves(80, {{7, 0.035, 3.4}, {2, 0.09, 2}}),
        waves(98, {{6, 0.03, 0.9}}),
    };
    for (int i = 0; i < 4; ++i) {
        p.setPen(Qt::NoPen);
        p.setBrush(greens[i]);
        p.drawPath(under(hills[i]));
        // a hedgerow of round trees along some crests
        if (i == 1 || i == 2)
            for (int t = 0; t < 5; ++t) {
                const double x = rng.range(0, kW);
                leafyTree(p, rng, QPointF(x, heightAt(hills[i], x) + 2), 6 + i * 3,
                          mix(greens[i], Qt::black, 0.35), rgb(80, 60, 40));
            }
    }
    // the path: wide at our feet, narrowing over the hills
    QPainterPath path;
    path.moveTo(70, kH + 1);
    path.cubicTo(64, 106, 112, 100, 96, 88);
    path.cubicTo(86, 80, 70, 80, 78, 72);
    path.lineTo(79.5, 72);
    path.cubicTo(74, 80, 92, 80, 100, 88);
    path.cubicTo(118, 100, 84, 108, 92, kH + 1);
    path.closeSubpath();
    p.setBrush(rgb(222, 200, 150));
    p.drawPath(path);
    p.setPen(QPen(rgb(180, 156, 110), 0.5));
    p.setBrush(Qt::NoBrush);
    p.drawPath(path);
    // flowers in the near meadow
    p.setPen(Qt::NoPen);
    for (int i = 0; i < 40; ++i) {
        const double x = rng.range(0, kW), y = rng.range(104, 120);
        p.setBrush(rng.uniform() < 0.5 ? rgb(255, 250, 230) : rgb(250, 220, 90));
        p.drawEllipse(QPointF(x, y), 0.7, 0.6);
    }
}

// 10: a quiet coast: a cliff with a lighthouse, the sea breaking softly at its foot.
void cliffCoast(QPainter& p, Rng& rng) {
    const double horizon = 52;
    sky(p, 0, horizon, {{0, rgb(90, 150, 210)}, {1, rgb(214, 232, 244)}});
    cloud(p, rng, QPointF(30, 18), 36, rgb(255, 255, 255), rgb(216, 226, 240));
    sky(p, horizon, kH, {{0, rgb(110, 170, 200)}, {1, rgb(30, 96, 140)}});
    ripples(p, rng, QRectF(0, horizon + 1, 100, kH - horizon), 80, rgb(230, 246, 255, 150), 10);
    // the cliff: grass on top, layered rock below
    QPainterPath cliff;
    cliff.moveTo(kW + 1, 28);
    cliff.lineTo(116, 30);
    cliff.cubicTo(104, 31, 100, 34, 98, 40);
    const auto face = jagged(rng, QPointF(98, 40), QPointF(84, kH + 1), 0.08);
    for (const QPointF& q : face)
        cliff.lineTo(q);
    cliff.lineTo(kW + 1, kH + 1);
    cliff.closeSubpath();
    p.setPen(Qt::NoPen);
    p.setBrush(rgb(150, 120, 96));
    p.drawPath(cliff);
    p.save();
    p.setClipPath(cliff);
    // layers of rock, uneven in thickness and tone, split by upright cracks
    for (double band = 36; band < kH;) {
        const double thick = rng.range(3, 9);
        p.setBrush(mix(rgb(176, 146, 114), rgb(118, 92, 76), rng.uniform()));
        p.drawPath(under(ridge(rng, band + rng.range(-2, 2), band + rng.range(-2, 2), 1.2, 0.6, 5),
                         band + thick + 3));
        band += thick;
    }
    p.setPen(QPen(rgb(90, 68, 58, 200), 0.5));
    for (int i = 0; i < 14; ++i) {
        const double x = rng.range(86, kW), top = rng.range(38, 100);
        const auto crack =
            jagged(rng, QPointF(x, top), QPointF(x + rng.range(-2, 2), top + rng.range(6, 18)), 0.1, 3);
        p.drawPolyline(crack.data(), int(crack.size()));
    }
    // the face turned to the sea in shade
    QPainterPath shadeFace;
    shadeFace.moveTo(98, 40);
    for (const QPointF& q : face)
        shadeFace.lineTo(q);
    shadeFace.lineTo(96, kH + 1);
    shadeFace.cubicTo(100, 80, 104, 50, 106, 34);
    shadeFace.closeSubpath();
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(60, 40, 50, 90));
    p.drawPath(shadeFace);
    p.setBrush(rgb(96, 150, 70));
    p.drawPath(under(waves(31, {{1, 0.3, 0}}), 37));
    p.restore();
    // the lighthouse
    const double lx = 132;
    QPolygonF tower{{lx - 4, 31}, {lx + 4, 31}, {lx + 3, 12}, {lx - 3, 12}};
    p.setBrush(rgb(250, 250, 246));
    p.drawPolygon(tower);
    p.setBrush(rgb(200, 50, 50));
    p.drawRect(QRectF(lx - 3.6, 20, 7.2, 4));
    p.drawRect(QRectF(lx - 3.2, 12, 6.4, 2));
    p.setBrush(rgb(250, 230, 150));
    p.drawRect(QRectF(lx - 2, 8, 4, 4));
    p.setBrush(rgb(60, 60, 70));
    QPolygonF cap{{lx - 3.5, 8}, {lx + 3.5, 8}, {lx, 4.5}};
    p.drawPolygon(cap);
    // foam along the foot of the cliff
    for (int i = 0; i < 40; ++i) {
        const double y = rng.range(60, kH);
        const double x = 96 - (y - 40) * 0.18 + rng.range(-8, 1);
        p.setPen(QPen(rgb(255, 255, 255, int(rng.range(120, 230))), rng.range(0.5, 1.2), Qt::SolidLine,
                      Qt::RoundCap));
        p.drawLine(QPointF(x - rng.range(2, 6), y), QPointF(x, y));
    }
    // two gulls
    p.setPen(QPen(rgb(60, 70, 90), 0.6));
    p.setBrush(Qt::NoBrush);
    for (const QPointF g : {QPointF(56, 30), QPointF(66, 24)}) {
        QPainterPath w;
        w.moveTo(g + QPointF(-3, -1));
        w.quadTo(g + QPointF(-1.5, -2), g);
        w.quadTo(g + QPointF(1.5, -2), g + QPointF(3, -1));
        p.drawPath(w);
    }
}

// 11: the northern lights over snowy hills and a frozen lake.
void aurora(QPainter& p, Rng& rng) {
    const double shore = 82;
    reflect(p, rng, shore, rgb(10, 20, 30), 0.5, [&](QPainter& q) {
        Rng local(1111);
        sky(q, 0, shore, {{0, rgb(6, 10, 28)}, {0.7, rgb(14, 36, 56)}, {1, rgb(30, 60, 74)}});
        stars(q, local, QRectF(0, 0, kW, shore - 12), 110, 0.9);
        // curtains: many thin upright strokes along a meandering band
        for (int band = 0; band < 2; ++band) {
            const double base = 44 + band * 10, phase = band * 2.1;
            for (double x = -4; x < kW + 4; x += 0.5) {
                const double y = base + 10 * std::sin(x * 0.045 + phase) + 3 * std::sin(x * 0.13 + phase);
                const double strength = 0.5 + 0.5 * std::sin(x * 0.07 + phase * 1.7);
                const double height = 18 + 14 * strength;
                QLinearGradient g(0, y - height, 0, y);
                g.setColorAt(0, QColor(150, 80, 200, 0));
                g.setColorAt(0.5, QColor(90, 230, 160, int(90 * strength)));
                g.setColorAt(1, QColor(170, 255, 200, int(170 * strength)));
                q.setPen(QPen(QBrush(g), 0.5));
                q.drawLine(QPointF(x, y - height), QPointF(x + 1.5, y));
            }
        }
        q.setPen(Qt::NoPen);
        q.setBrush(rgb(150, 170, 196));
        q.drawPath(under(ridge(local, 68, 62, 16), shore));
        q.setBrush(rgb(100, 120, 150));
        q.drawPath(under(ridge(local, 76, 76, 7), shore));
        for (double x = 90; x < kW + 2; x += local.range(2.5, 4.5))
            pine(q, QPointF(x, shore), local.range(7, 14), rgb(16, 30, 34));
    });
    // snow on the ice in the foreground
    p.setPen(Qt::NoPen);
    p.setBrush(rgb(200, 214, 230));
    p.drawPath(under(waves(112, {{3, 0.04, 0.5}})));
    ripples(p, rng, QRectF(0, shore + 1, kW, 28), 30, rgb(190, 220, 240, 70), 14);
}

// 12: rice terraces stepping down a hillside, their water holding the sky.
void riceTerraces(QPainter& p, Rng& rng) {
    sky(p, 0, 50, {{0, rgb(120, 170, 214)}, {1, rgb(226, 236, 236)}});
    ridges(p, rng, 3, 30, 8, 8, rgb(200, 216, 222), rgb(80, 110, 96));
    // each terrace: the band between two contour lines, a dark bund along its lower edge
    double y = 52;
    int row = 0;
    while (y < kH + 6) {
        const double depth = 4 + row * 1.3;
        const double phase = 0.4 + row * 0.35;
        const Profile upper = waves(y, {{3 + row * 0.5, 0.05, phase}, {1, 0.16, row * 1.3}});
        const bool flooded = row % 3 != 1;
        p.setPen(Qt::NoPen);
        p.setBrush(flooded ? mix(rgb(170, 210, 226), rgb(120, 170, 190), row / 10.0) : rgb(120, 170, 70));
        p.drawPath(under(upper));
        if (flooded) { // the sky's light on the water
            p.save();
            p.setClipPath(under(upper));
            ripples(p, rng, QRectF(0, y - 4, kW, depth + 6), 10, rgb(255, 255, 255, 120), 8);
            p.restore();
        } else { // rows of young rice
            p.setPen(QPen(rgb(80, 140, 50), 0.5));
            for (double x = 0; x < kW; x += 2.2) {
                const double top = heightAt(upper, x) + 1;
                p.drawLine(QPointF(x, top), QPointF(x + 0.4, top + depth - 1.5));
            }
        }
        p.setPen(QPen(rgb(90, 120, 60), 1.0 + row * 0.15));
        p.setBrush(Qt::NoBrush);
        QPainterPath bund = under(upper);
        p.drawPath(bund);
        y += depth;
        ++row;
    }
    // a farmhouse with a thatched roof on the left
    p.setPen(Qt::NoPen);
    p.setBrush(rgb(120, 90, 64));
    p.drawRect(QRectF(14, 48, 14, 7));
    p.setBrush(rgb(150, 130, 90));
    p.drawPolygon(QPolygonF{{10, 49}, {32, 49}, {25, 41}, {17, 41}});
}

// 13: a snow-capped volcano over a lake, cherry blossom along the top.
void fujiBlossom(QPainter& p, Rng& rng) {
    sky(p, 0, 80, {{0, rgb(110, 160, 220)}, {1, rgb(230, 236, 244)}});
    // the cone with its gently hollow flanks and flat summit
    QPainterPath cone;
    cone.moveTo(-10, 82);
    cone.cubicTo(30, 70, 58, 46, 68, 24);
    cone.lineTo(82, 24);
    cone.cubicTo(92, 46, 120, 70, 160, 82);
    cone.closeSubpath();
    p.setPen(Qt::NoPen);
    p.setBrush(rgb(84, 98, 140));
    p.drawPath(cone);
    p.save();
    p.setClipPath(cone);
    p.setBrush(rgb(64, 76, 118));
    p.drawRect(QRectF(76, 0, 100, 90)); // the far side in shade
    // snow reaching down the gullies in fingers
    QPainterPath snow;
    snow.moveTo(40, 0);
    snow.lineTo(40, 42);
    for (double x = 40; x <= 110; x += 3.5)
        snow.lineTo(x, 40 + rng.range(0, 9) + (std::abs(x - 75) < 20 ? 4 : 0));
    snow.lineTo(110, 0);
    snow.closeSubpath();
    p.setBrush(rgb(250, 252, 255));
    p.drawPath(snow.intersected(cone));
    p.setBrush(rgb(200, 210, 232));
    p.drawPath(snow.intersected(cone).intersected([] {
        QPainterPath r;
        r.addRect(76, 0, 60, 90);
        return r;
    }()));
    p.restore();
    // the lake and its far shore
    p.setBrush(rgb(60, 100, 80));
    p.drawPath(under(ridge(rng, 80, 82, 2), 86));
    sky(p, 86, kH, {{0, rgb(150, 180, 214)}, {1, rgb(70, 110, 160)}});
    ripples(p, rng, QRectF(0, 87, kW, kH - 87), 60, rgb(235, 245, 255, 150), 10);
    // a cherry branch reaching in from the top left corner
    p.setBrush(Qt::NoBrush);
    const QPointF twigs[][2] = {{{20, 10}, {30, 26}}, {{36, 13}, {48, 6}}, {{48, 17}, {58, 28}}};
    QPainterPath branch;
    branch.moveTo(-3, 2);
    branch.cubicTo(16, 10, 34, 8, 60, 20);
    p.setPen(QPen(rgb(70, 44, 40), 2.6, Qt::SolidLine, Qt::RoundCap));
    p.drawPath(branch);
    p.setPen(QPen(rgb(70, 44, 40), 1.2, Qt::SolidLine, Qt::RoundCap));
    for (const auto& t : twigs)
        p.drawLine(t[0], t[1]);
    p.setPen(Qt::NoPen);
    for (int i = 0; i < 90; ++i) { // clusters of blossom along the branch and the twigs
        const int twig = int(rng.next() % 4);
        const double t = rng.uniform();
        const QPointF along =
            twig == 3 ? branch.pointAtPercent(t) : twigs[twig][0] + (twigs[twig][1] - twigs[twig][0]) * t;
        const QPointF at = along + QPointF(rng.range(-3.5, 3.5), rng.range(-3, 3.5));
        p.setBrush(rng.uniform() < 0.3 ? rgb(255, 240, 246) : rgb(246, 180, 202));
        p.drawEllipse(at, rng.range(1.3, 2.3), rng.range(1.1, 1.9));
        if (rng.uniform() < 0.3) {
            p.setBrush(rgb(214, 90, 130));
            p.drawEllipse(at, 0.45, 0.45);
        }
    }
}

// 14: a red shrine gate standing in still water at dusk.
void shrineGate(QPainter& p, Rng& rng) {
    const double shore = 76;
    reflect(p, rng, shore, rgb(60, 50, 80), 0.3, [&](QPainter& q) {
        Rng local(1414);
        sky(q, 0, shore, {{0, rgb(90, 90, 150)}, {0.6, rgb(230, 160, 150)}, {1, rgb(252, 200, 150)}});
        streak(q, QPointF(40, 26), 50, 3, rgb(255, 190, 170, 160));
        streak(q, QPointF(110, 16), 40, 2, rgb(250, 180, 180, 140));
        q.setPen(Qt::NoPen);
        q.setBrush(rgb(120, 100, 130));
        q.drawPath(under(ridge(local, 62, 58, 8), shore));
        q.setBrush(rgb(86, 72, 100));
        q.drawPath(under(ridge(local, 70, 72, 3), shore));
        // the gate: two pillars, the tie beam, and the upswept lintel on top
        const double cx = 100, top = 36;
        const QColor red = rgb(200, 50, 36), dark = rgb(40, 30, 36);
        q.setBrush(red);
        q.drawRect(QRectF(cx - 15, top + 6, 3, shore - top - 6));
        q.drawRect(QRectF(cx + 12, top + 6, 3, shore - top - 6));
        q.drawRect(QRectF(cx - 19, top + 12, 38, 2.5));
        QPainterPath lintel;
        lintel.moveTo(cx - 25, top - 1);
        lintel.quadTo(cx, top + 2.5, cx + 25, top - 1);
        lintel.lineTo(cx + 24, top + 3);
        lintel.quadTo(cx, top + 5.5, cx - 24, top + 3);
        lintel.closeSubpath();
        q.setBrush(dark);
        q.drawPath(lintel);
        q.setBrush(red);
        q.drawRect(QRectF(cx - 21, top + 4.5, 42, 2.5));
        q.drawRect(QRectF(cx - 1, top + 6, 2, 6));
        q.setBrush(dark);
        q.drawRect(QRectF(cx - 15.5, shore - 3, 4, 3));
        q.drawRect(QRectF(cx + 11.5, shore - 3, 4, 3));
    });
    ripples(p, rng, QRectF(0, shore + 1, kW, kH - shore), 80, rgb(255, 220, 200, 110), 10);
}

// 15: an autumn valley: slopes of red and gold trees coming down to a quiet river.
void autumnValley(QPainter& p, Rng& rng) {
    const double water = 86;
    reflect(p, rng, water, rgb(40, 60, 70), 0.3, [&](QPainter& q) {
        Rng local(1515);
        sky(q, 0, water, {{0, rgb(110, 160, 210)}, {0.6, rgb(220, 226, 224)}});
        ridges(q, local, 2, 30, 10, 10, rgb(190, 196, 210), rgb(120, 116, 140));
        const QColor leaves[] = {rgb(210, 80, 40), rgb(230, 150, 40), rgb(240, 196, 70),
                                 rgb(170, 50, 40), rgb(120, 130, 50), rgb(200, 110, 50)};
        // two slopes meeting at the river, each covered with trees from its top edge down
        for (int side = 0; side < 2; ++side) {
            const double crestY = side == 0 ? 44 : 50;
            const auto edgeY = [=](double x) {
                const double d = side == 0 ? x : kW - x; // distance from the slope's outer edge
                return crestY + std::max(0.0, d - 20) * (water - crestY) / (side == 0 ? 70 : 60);
            };
            QPainterPath hill;
            hill.moveTo(side == 0 ? -1 : kW + 1, water);
            for (double x = 0; x <= kW; x += 2) {
                const double xx = side == 0 ? x : kW - x;
                if (edgeY(xx) < water)
                    hill.lineTo(xx, edgeY(xx) + std::sin(xx * 0.5) * 0.8);
            }
            hill.closeSubpath();
            q.setPen(Qt::NoPen);
            q.setBrush(rgb(110, 70, 46));
            q.drawPath(hill);
            for (double y = crestY; y < water + 2; y += 3.2) // back rows first
                for (double x = -3; x < kW + 3; x += local.range(3, 5)) {
                    if (y < edgeY(x) + 3)
                        continue;
                    const double size = 6 + (y - crestY) * 0.12;
                    leafyTree(q, local, QPointF(x + local.range(-1, 1), y), size, leaves[local.next() % 6],
                              rgb(70, 44, 30));
                }
        }
        // low shrubs along the bank hide the feet of the last row
        for (double x = -2; x < kW + 2; x += local.range(2, 4)) {
            q.setBrush(mix(leaves[local.next() % 6], rgb(60, 40, 30), 0.4));
            q.drawEllipse(QPointF(x, water - 1), local.range(2.5, 4), local.range(1.5, 2.5));
        }
    });
    ripples(p, rng, QRectF(0, water + 1, kW, kH - water), 70, rgb(240, 230, 210, 120), 9);
    p.setPen(Qt::NoPen);
    for (int i = 0; i < 14; ++i) { // fallen leaves drifting on the near water
        p.setBrush(rng.uniform() < 0.5 ? rgb(220, 90, 40) : rgb(240, 180, 60));
        p.drawEllipse(QPointF(rng.range(0, kW), rng.range(100, 119)), 1.2, 0.6);
    }
}

// 16: a small island of palms off a white beach, the sea shading from turquoise to blue.
void islandBeach(QPainter& p, Rng& rng) {
    const double horizon = 54;
    sky(p, 0, horizon, {{0, rgb(60, 140, 220)}, {1, rgb(200, 234, 250)}});
    cloud(p, rng, QPointF(36, 24), 40, rgb(255, 255, 255), rgb(214, 228, 244));
    cloud(p, rng, QPointF(128, 36), 24, rgb(255, 255, 255), rgb(214, 228, 244));
    sky(p, horizon, kH, {{0, rgb(30, 110, 170)}, {0.5, rgb(40, 170, 190)}, {1, rgb(110, 220, 210)}});
    ripples(p, rng, QRectF(0, horizon + 1, kW, 40), 60, rgb(240, 255, 255, 150), 9);
    // the island: a hump of sand and green with two palms
    p.setPen(Qt::NoPen);
    p.setBrush(rgb(236, 220, 170));
    p.drawEllipse(QPointF(104, horizon + 6), 24, 4);
    p.setBrush(rgb(60, 130, 70));
    p.drawEllipse(QPointF(104, horizon + 3), 18, 5);
    for (const auto& [x, h, lean] : {std::array<double, 3>{98, 22, -4}, std::array<double, 3>{110, 18, 5}}) {
        const QPointF foot(x, horizon + 4), crown(x + lean, horizon + 4 - h);
        QPainterPath trunk;
        trunk.moveTo(foot);
        trunk.quadTo(QPointF(x, horizon - h / 2), crown);
        p.setPen(QPen(rgb(120, 90, 60), 1.4, Qt::SolidLine, Qt::RoundCap));
        p.setBrush(Qt::NoBrush);
        p.drawPath(trunk);
        p.setPen(QPen(rgb(40, 120, 50), 1.6, Qt::SolidLine, Qt::RoundCap));
        for (int f = 0; f < 7; ++f) { // fronds arching out and drooping
            const double a = f * M_PI / 6 + M_PI;
            const QPointF tip = crown + QPointF(std::cos(a) * 9, std::sin(a) * 4 + 5);
            QPainterPath frond;
            frond.moveTo(crown);
            frond.quadTo(crown + QPointF(std::cos(a) * 6, std::sin(a) * 6 - 2), tip);
            p.drawPath(frond);
        }
    }
    // the beach in the foreground with a line of foam
    const Profile beach = waves(100, {{5, 0.03, 1.2}, {1.5, 0.12, 0}});
    p.setPen(Qt::NoPen);
    p.setBrush(rgb(246, 234, 200));
    p.drawPath(under(beach));
    p.setPen(QPen(rgb(255, 255, 255, 220), 1.2));
    p.setBrush(Qt::NoBrush);
    QPainterPath foam;
    for (int i = 0; i <= 60; ++i) {
        const double x = kW * i / 60.0, y = heightAt(beach, x) - 0.5;
        i == 0 ? foam.moveTo(x, y) : foam.lineTo(x, y);
    }
    p.drawPath(foam);
    p.setPen(Qt::NoPen);
    for (int i = 0; i < 30; ++i) {
        p.setBrush(rgb(220, 204, 164));
        p.drawEllipse(QPointF(rng.range(0, kW), rng.range(106, 120)), 0.6, 0.4);
    }
}

constexpr Scene kScenes[kSlides] = {dawnRidges,   mountainLake, pineForest,      seaSunset,
                                    moonNight,    dunes,        waterfallValley, snowyPeaks,
                                    rollingHills, cliffCoast,   aurora,          riceTerraces,
                                    fujiBlossom,  shrineGate,   autumnValley,    islandBeach};

QImage render(int width, int height, std::uint64_t seed, const std::function<void(QPainter&, Rng&)>& scene) {
    kW = width;
    kH = height;
    QImage big(width * kOversample, height * kOversample, QImage::Format_RGB32);
    big.fill(Qt::black);
    {
        QPainter p(&big);
        p.setRenderHint(QPainter::Antialiasing);
        p.scale(kOversample, kOversample);
        Rng rng(seed);
        scene(p, rng);
    }
    return big.scaled(width, height, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
}

} // namespace

QImage slide(int number) {
    return render(151, 120, 0x5EED0000u + std::uint64_t(number), kScenes[number - 1]);
}

QImage builtInPicture() {
    // A misty lake at first light with a boat moored by the reeds, and the program's emblem in the
    // corner the clock's hands never reach.
    return render(160, 160, 0xB0A7, [](QPainter& p, Rng& rng) {
        const double shore = 70;
        reflect(p, rng, shore, rgb(90, 110, 140), 0.3, [&](QPainter& q) {
            Rng local(77);
            sky(q, 0, shore, {{0, rgb(100, 120, 176)}, {0.6, rgb(200, 180, 200)}, {1, rgb(246, 214, 190)}});
            glow(q, QPointF(40, 44), 36, rgb(255, 230, 200, 160));
            disc(q, QPointF(40, 44), 6, rgb(255, 240, 220));
            q.setPen(Qt::NoPen);
            q.setBrush(rgb(150, 140, 170));
            q.drawPath(under(ridge(local, 54, 50, 10), shore));
            q.setBrush(rgb(100, 100, 130));
            q.drawPath(under(ridge(local, 64, 62, 4), shore));
            // reeds on the right bank
            for (double x = 118; x < kW; x += local.range(0.8, 1.8)) {
                const double h = local.range(8, 20);
                q.setPen(QPen(rgb(60, 60, 70), 0.5));
                q.drawLine(QPointF(x, shore + 0.5), QPointF(x + local.range(-2, 2), shore - h));
            }
        });
        ripples(p, rng, QRectF(0, shore + 1, kW, kH - shore), 90, rgb(255, 236, 220, 120), 10);
        // the boat
        QPainterPath hull;
        hull.moveTo(84, 84);
        hull.lineTo(116, 84);
        hull.quadTo(112, 89, 106, 89);
        hull.lineTo(92, 89);
        hull.quadTo(87, 88, 84, 84);
        p.setPen(Qt::NoPen);
        p.setBrush(rgb(70, 56, 60));
        p.drawPath(hull);
        p.setBrush(rgb(70, 56, 60, 90));
        p.drawPath(QTransform(1, 0, 0, -0.6, 0, 89 * 1.6).map(hull));
        const QRectF mark(127, 95, 22, 22);
        p.save();
        p.translate(mark.topLeft());
        p.scale(mark.width() / kIconBox, mark.height() / kIconBox);
        paintIcon(p, int(mark.width()));
        p.restore();
    });
}

} // namespace painter
