#pragma once
// The program's emblem: a letter with a shield in front of it, junk kept out. One list of shapes
// gives both the SVG and the bitmaps, so they cannot drift apart.
#include <QColor>
#include <QImage>
#include <QPainterPath>
#include <QString>
#include <vector>

class QPainter;

namespace painter {

// The emblem's own square, in which the shapes are drawn.
inline constexpr double kIconBox = 256;

struct IconShape {
    QPainterPath path;
    QColor fill;   // invalid: not filled
    QColor stroke; // invalid: no outline
    double strokeWidth = 0;
};

std::vector<IconShape> iconShapes();
// Paints the emblem into the square (0, 0, kIconBox, kIconBox) of `p`'s current coordinates, for
// a result of `pixels` on a side: outlines never get thinner than a pixel and a quarter.
void paintIcon(QPainter& p, int pixels);
QImage iconImage(int pixels);
QString iconSvg();

} // namespace painter
