#include "Kit.h"

#include <algorithm>
#include <cmath>
#include <QImage>

namespace painter {

std::uint64_t Rng::next() {
    std::uint64_t z = (m_state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

double Rng::uniform() {
    return double(next() >> 11) / double(1ull << 53);
}

Profile ridge(Rng& rng, double leftY, double rightY, double rough, double decay, int levels) {
    Profile p{leftY, rightY};
    for (int level = 0; level < levels; ++level) {
        Profile finer;
        finer.reserve(p.size() * 2);
        for (size_t i = 0; i + 1 < p.size(); ++i) {
            finer.push_back(p[i]);
            finer.push_back((p[i] + p[i + 1]) / 2 + rng.range(-rough, rough));
        }
        finer.push_back(p.back());
        p.swap(finer);
        rough *= decay;
    }
    return p;
}

Profile waves(double baseY, std::initializer_list<Wave> terms) {
    Profile p(129);
    for (size_t i = 0; i < p.size(); ++i) {
        const double x = kW * double(i) / double(p.size() - 1);
        double y = baseY;
        for (const Wave& w : terms)
            y += w.amplitude * std::sin(x * w.frequency + w.phase);
        p[i] = y;
    }
    return p;
}

double heightAt(const Profile& p, double x) {
    const double t = std::clamp(x / kW, 0.0, 1.0) * double(p.size() - 1);
    const size_t i = std::min(size_t(t), p.size() - 2);
    return p[i] + (p[i + 1] - p[i]) * (t - double(i));
}

QPainterPath under(const Profile& p, double bottom) {
    QPainterPath path;
    path.moveTo(-1, bottom + 1);
    for (size_t i = 0; i < p.size(); ++i) {
        const double x = kW * double(i) / double(p.size() - 1);
        path.lineTo(i == 0 ? -1 : i + 1 == p.size() ? kW + 1 : x, p[i]);
    }
    path.lineTo(kW + 1, bottom + 1);
    path.closeSubpath();
    return path;
}

QColor mix(const QColor& a, const QColor& b, double t) {
    const auto m = [t](int x, int y) { return int(std::lround(x + (y - x) * t)); };
    return QColor(m(a.red(), b.red()), m(a.green(), b.green()), m(a.blue(), b.blue()),
                  m(a.alpha(), b.alpha()));
}

void sky(QPainter& p, double top, double bottom, std::initializer_list<std::pair<double, QColor>> stops) {
    QLinearGradient g(0, top, 0, bottom);
    for (const auto& [at, colour] : stops)
        g.setColorAt(at, colour);
    p.fillRect(QRectF(-1, top, kW + 2, kH + 1 - top), g); // the last colour goes on to the bottom
}

void glow(QPainter& p, QPointF c, double radius, const QColor& colour) {
    QRadialGradient g(c, radius);
    g.setColorAt(0, colour);
    QColor edge = colour;
    edge.setAlpha(0);
    g.setColorAt(1, edge);
    p.setPen(Qt::NoPen);
    p.setBrush(g);
    p.drawEllipse(c, radius, radius);
}

void disc(QPainter& p, QPointF c, double radius, const QColor& colour) {
    p.setPen(Qt::NoPen);
    p.setBrush(colour);
    p.drawEllipse(c, radius, radius);
}

void cloud(QPainter& p, Rng& rng, QPointF c, double width, const QColor& lit, const QColor& shade) {
    const int puffs = 5 + int(width / 8);
    struct Puff {
        QPointF at;
        double r;
    };
    std::vector<Puff> all;
    for (int i = 0; i < puffs; ++i) {
        const double t = (i + 0.5) / puffs;
        const double bulge = std::sin(t * M_PI);
        const double r = width * (0.10 + 0.10 * bulge) * rng.range(0.8, 1.2);
        all.push_back({QPointF(c.x() - width / 2 + t * width, c.y() - bulge * width * 0.08), r});
    }
    p.setPen(Qt::NoPen);
    p.setBrush(shade);
    for (const Puff& f : all)
        p.drawEllipse(f.at + QPointF(0, f.r * 0.25), f.r, f.r * 0.8);
    p.setBrush(lit);
    for (const Puff& f : all)
        p.drawEllipse(f.at - QPointF(0, f.r * 0.1), f.r * 0.85, f.r * 0.65);
    // a flat base, as clouds have
    p.save();
    p.setClipRect(QRectF(c.x() - width, c.y() + width * 0.12, width * 2, width));
    p.setBrush(shade);
    for (const Puff& f : all)
        p.drawEllipse(f.at + QPointF(0, f.r * 0.25), f.r, f.r * 0.8);
    p.restore();
}

void streak(QPainter& p, QPointF c, double width, double height, const QColor& colour) {
    QPainterPath path;
    path.moveTo(c.x() - width / 2, c.y());
    path.cubicTo(c.x() - width / 4, c.y() - height, c.x() + width / 4, c.y() - height, c.x() + width / 2,
                 c.y());
    path.cubicTo(c.x() + width / 4, c.y() + height * 0.4, c.x() - width / 4, c.y() + height * 0.4,
                 c.x() - width / 2, c.y());
    p.setPen(Qt::NoPen);
    p.setBrush(colour);
    p.drawPath(path);
}

void stars(QPainter& p, Rng& rng, QRectF area, int count, double maxAlpha) {
    p.setPen(Qt::NoPen);
    for (int i = 0; i < count; ++i) {
        const QPointF at(area.left() + rng.uniform() * area.width(),
                         area.top() + rng.uniform() * area.height());
        const double size = rng.uniform();
        QColor c = rng.uniform() < 0.2 ? QColor(255, 230, 200) : QColor(235, 240, 255);
        c.setAlphaF(float(maxAlpha * (0.35 + 0.65 * size)));
        p.setBrush(c);
        const double r = 0.25 + 0.45 * size * size;
        p.drawEllipse(at, r, r);
        if (size > 0.93) { // a few bright ones with a small cross of light
            c.setAlphaF(float(maxAlpha * 0.5));
            p.setPen(QPen(c, 0.25));
            p.drawLine(at - QPointF(1.6, 0), at + QPointF(1.6, 0));
            p.drawLine(at - QPointF(0, 1.6), at + QPointF(0, 1.6));
            p.setPen(Qt::NoPen);
        }
    }
}

void pine(QPainter& p, QPointF foot, double height, const QColor& colour) {
    const double w = height * 0.42;
    p.setPen(Qt::NoPen);
    p.setBrush(mix(colour, Qt::black, 0.35));
    p.drawRect(QRectF(foot.x() - height * 0.03, foot.y() - height * 0.14, height * 0.06, height * 0.14));
    // three tiers of boughs, each a triangle with a drooping base
    QPainterPath tree;
    for (int tier = 0; tier < 3; ++tier) {
        const double base = foot.y() - height * (0.10 + tier * 0.24);
        const double top = foot.y() - height * (0.50 + tier * 0.25);
        const double half = w / 2 * (1.0 - tier * 0.25);
        QPainterPath t;
        t.moveTo(foot.x(), tier == 2 ? foot.y() - height : top);
        t.lineTo(foot.x() + half, base);
        t.quadTo(foot.x(), base - height * 0.06, foot.x() - half, base);
        t.closeSubpath();
        tree = tree.united(t);
    }
    p.setBrush(colour);
    p.drawPath(tree);
    // the side away from the light a little darker
    p.save();
    p.setClipRect(QRectF(foot.x(), foot.y() - height, w, height));
    p.setBrush(mix(colour, Qt::black, 0.18));
    p.drawPath(tree);
    p.restore();
}

void leafyTree(QPainter& p, Rng& rng, QPointF foot, double height, const QColor& leaf, const QColor& trunk) {
    p.setPen(Qt::NoPen);
    p.setBrush(trunk);
    p.drawRect(QRectF(foot.x() - height * 0.05, foot.y() - height * 0.5, height * 0.1, height * 0.5));
    const QPointF crown(foot.x(), foot.y() - height * 0.62);
    const double r = height * 0.32;
    p.setBrush(mix(leaf, Qt::black, 0.25));
    for (int i = 0; i < 5; ++i)
        p.drawEllipse(crown + QPointF(rng.range(-r, r) * 0.6, rng.range(-r, r) * 0.4 + r * 0.15), r * 0.7,
                      r * 0.6);
    p.setBrush(leaf);
    for (int i = 0; i < 4; ++i)
        p.drawEllipse(crown + QPointF(rng.range(-r, r) * 0.5 - r * 0.1, rng.range(-r, 0) * 0.5), r * 0.55,
                      r * 0.45);
}

void reflect(QPainter& p, Rng& rng, double waterline, const QColor& water, double dim,
             const std::function<void(QPainter&)>& paint) {
    paint(p);
    const QTransform world = p.worldTransform();
    const QSize size(p.device()->width(), p.device()->height());
    QImage layer(size, QImage::Format_ARGB32_Premultiplied);
    layer.fill(Qt::transparent);
    {
        QPainter q(&layer);
        q.setRenderHints(p.renderHints());
        q.setWorldTransform(world);
        paint(q);
    }
    // Mirror the rows below the waterline, each shifted sideways a little as by a gentle swell.
    const int line = int(std::lround(waterline * world.m22()));
    const double scale = world.m11();
    const double phase = rng.range(0, 6.28);
    QImage mirrored(size, QImage::Format_ARGB32_Premultiplied);
    mirrored.fill(Qt::transparent);
    for (int y = line; y < size.height(); ++y) {
        const int from = std::max(0, 2 * line - y - 1); // water deeper than the sky is tall mirrors its top
        const double depth = double(y - line) / scale;
        const int shift = int(std::lround(std::sin(depth * 1.7 + phase) * (0.3 + depth * 0.04) * scale));
        const auto* src = reinterpret_cast<const QRgb*>(layer.constScanLine(from));
        auto* dst = reinterpret_cast<QRgb*>(mirrored.scanLine(y));
        for (int x = 0; x < size.width(); ++x)
            dst[x] = src[std::clamp(x + shift, 0, size.width() - 1)];
    }
    p.save();
    p.resetTransform();
    p.drawImage(0, 0, mirrored);
    QColor veil = water;
    veil.setAlphaF(float(dim));
    p.fillRect(QRect(0, line, size.width(), size.height() - line), veil);
    p.restore();
}

std::vector<QPointF> jagged(Rng& rng, QPointF a, QPointF b, double rough, int levels) {
    std::vector<QPointF> pts{a, b};
    for (int level = 0; level < levels; ++level) {
        std::vector<QPointF> finer;
        for (size_t i = 0; i + 1 < pts.size(); ++i) {
            const QPointF d = pts[i + 1] - pts[i];
            const QPointF normal(-d.y(), d.x());
            finer.push_back(pts[i]);
            finer.push_back((pts[i] + pts[i + 1]) / 2 + normal * rng.range(-rough, rough));
        }
        finer.push_back(pts.back());
        pts.swap(finer);
        rough *= 0.8;
    }
    return pts;
}

void peak(QPainter& p, Rng& rng, QPointF apex, double leftX, double rightX, double baseY,
          const PeakColours& colours, double snow) {
    const auto left = jagged(rng, QPointF(leftX, baseY), apex, 0.06);
    const auto right = jagged(rng, apex, QPointF(rightX, baseY), 0.06);
    const auto spine = jagged(rng, apex, QPointF(apex.x() + (rightX - leftX) * 0.08, baseY), 0.12);
    QPolygonF whole, litFace;
    for (const QPointF& q : left) {
        whole << q;
        litFace << q;
    }
    for (size_t i = 1; i < right.size(); ++i)
        whole << right[i];
    for (size_t i = 1; i < spine.size(); ++i)
        litFace << spine[i];
    p.setPen(Qt::NoPen);
    p.setBrush(colours.shade);
    p.drawPolygon(whole);
    p.setBrush(colours.lit);
    p.drawPolygon(litFace);
    if (snow <= 0)
        return;
    // the snow line dips into gullies: deeper on the spine, shallower at the edges
    const Profile line = ridge(rng, apex.y() + snow * 0.5, apex.y() + snow * 0.6, snow * 0.5, 0.6, 5);
    QPainterPath cap;
    cap.moveTo(-1, -1);
    for (size_t i = 0; i < line.size(); ++i) {
        const double x = kW * double(i) / double(line.size() - 1);
        const double nearSpine = std::max(0.0, 1.0 - std::abs(x - apex.x()) / ((rightX - leftX) * 0.5));
        cap.lineTo(x, line[i] + snow * 0.3 * nearSpine);
    }
    cap.lineTo(kW + 1, -1);
    cap.closeSubpath();
    QPainterPath wholePath, litPath;
    wholePath.addPolygon(whole);
    litPath.addPolygon(litFace);
    p.setBrush(colours.snowShade);
    p.drawPath(cap.intersected(wholePath));
    p.setBrush(colours.snowLit);
    p.drawPath(cap.intersected(litPath));
}

void ripples(QPainter& p, Rng& rng, QRectF area, int count, const QColor& colour, double maxLength) {
    p.setBrush(Qt::NoBrush);
    for (int i = 0; i < count; ++i) {
        const double depth = rng.uniform();
        const double y = area.top() + depth * depth * area.height(); // denser towards the horizon
        const double len = maxLength * (0.3 + 0.7 * rng.uniform()) * (0.4 + depth);
        const double x = area.left() + rng.uniform() * area.width();
        QColor c = colour;
        c.setAlphaF(float(colour.alphaF() * (0.5 + 0.5 * rng.uniform())));
        p.setPen(QPen(c, 0.35 + 0.4 * depth, Qt::SolidLine, Qt::RoundCap));
        p.drawLine(QPointF(x - len / 2, y), QPointF(x + len / 2, y));
    }
}

} // namespace painter
