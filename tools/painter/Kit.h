#pragma once
// Drawing helpers shared by the scenes: a seeded random source, terrain profiles and the recurring
// elements of a landscape (sky, sun, clouds, trees, stars, water).
#include <cstdint>
#include <functional>
#include <QColor>
#include <QPainter>
#include <QPainterPath>
#include <vector>

namespace painter {

// The canvas being painted, in the picture box's pixels: a slide is 151 x 120, the built-in picture
// 160 x 160. Every scene paints in these units.
inline double kW = 151, kH = 120;

// splitmix64: the same seed gives the same picture on every machine.
class Rng {
public:
    explicit Rng(std::uint64_t seed) : m_state(seed) {}
    std::uint64_t next();
    double uniform(); // [0, 1)
    double range(double lo, double hi) { return lo + (hi - lo) * uniform(); }

private:
    std::uint64_t m_state;
};

// A horizon line: heights (y, downwards) sampled evenly from x = 0 to x = kW.
using Profile = std::vector<double>;

// Midpoint displacement between two end heights; `rough` is the first displacement, halved (times
// `decay`) at every level.
Profile ridge(Rng& rng, double leftY, double rightY, double rough, double decay = 0.55, int levels = 7);
// A sum of sines around `baseY` (gentle hills, dunes, swell).
struct Wave {
    double amplitude, frequency, phase;
};
Profile waves(double baseY, std::initializer_list<Wave> terms);
double heightAt(const Profile& p, double x);
// The region under a profile, closed along the bottom edge (or down to `bottom`).
QPainterPath under(const Profile& p, double bottom = kH);

QColor mix(const QColor& a, const QColor& b, double t);

// Horizontal sky bands from `top` down: colours at positions 0..1 of [top, bottom], the last one
// going on below `bottom`.
void sky(QPainter& p, double top, double bottom, std::initializer_list<std::pair<double, QColor>> stops);
// A soft round glow (sun haze, lamp light): transparent at `radius`.
void glow(QPainter& p, QPointF c, double radius, const QColor& colour);
void disc(QPainter& p, QPointF c, double radius, const QColor& colour);
// A cloud of overlapping ellipses; `lit` is the colour of its upper side, `shade` of its underside.
void cloud(QPainter& p, Rng& rng, QPointF c, double width, const QColor& lit, const QColor& shade);
// A thin streak of cloud, the kind lit from below at sunset.
void streak(QPainter& p, QPointF c, double width, double height, const QColor& colour);
void stars(QPainter& p, Rng& rng, QRectF area, int count, double maxAlpha = 1.0);
void pine(QPainter& p, QPointF foot, double height, const QColor& colour);
void leafyTree(QPainter& p, Rng& rng, QPointF foot, double height, const QColor& leaf, const QColor& trunk);
// Paints `paint` and its mirror image below the horizontal line y = `waterline`, each row of the
// mirror shifted a little sideways as by a swell, and veiled with `water` at opacity `dim`.
// `paint` runs twice and must draw the same both times (a random source of its own, freshly
// seeded).
void reflect(QPainter& p, Rng& rng, double waterline, const QColor& water, double dim,
             const std::function<void(QPainter&)>& paint);
// A line from a to b with its midpoints pushed sideways at random (rock edges, snow lines).
std::vector<QPointF> jagged(Rng& rng, QPointF a, QPointF b, double rough, int levels = 5);
// A mountain seen from the front, lit from the left: a lit and a shaded face either side of a
// crooked spine, with snow down to `snow` below the apex (none when 0).
struct PeakColours {
    QColor lit, shade, snowLit, snowShade;
};
void peak(QPainter& p, Rng& rng, QPointF apex, double leftX, double rightX, double baseY,
          const PeakColours& colours, double snow);

// Short horizontal strokes over water: ripples, glitter, foam.
void ripples(QPainter& p, Rng& rng, QRectF area, int count, const QColor& colour, double maxLength);

} // namespace painter
