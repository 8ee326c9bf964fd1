#include "Icon.h"

#include <algorithm>
#include <QPainter>
#include <QTextStream>

namespace painter {

namespace {

const QColor kInk(34, 44, 96);
constexpr double kMinStrokePixels = 1.25;

QString number(double v) {
    return QString::number(v, 'g', 6);
}

QString svgColour(const QColor& c) {
    return c.isValid() ? c.name(QColor::HexRgb) : QStringLiteral("none");
}

// A path as SVG path data; a subpath that ends where it began is closed.
QString svgPathData(const QPainterPath& path) {
    QString d;
    QPointF start;
    for (int i = 0; i < path.elementCount(); ++i) {
        const QPainterPath::Element e = path.elementAt(i);
        switch (e.type) {
        case QPainterPath::MoveToElement:
            d += QStringLiteral("M%1 %2").arg(number(e.x), number(e.y));
            start = e;
            break;
        case QPainterPath::LineToElement:
            d += QStringLiteral("L%1 %2").arg(number(e.x), number(e.y));
            break;
        case QPainterPath::CurveToElement: {
            const QPainterPath::Element c2 = path.elementAt(i + 1), end = path.elementAt(i + 2);
            d += QStringLiteral("C%1 %2 %3 %4 %5 %6")
                     .arg(number(e.x), number(e.y), number(c2.x), number(c2.y), number(end.x), number(end.y));
            i += 2;
            break;
        }
        case QPainterPath::CurveToDataElement:
            break;
        }
        const bool last =
            i + 1 >= path.elementCount() || path.elementAt(i + 1).type == QPainterPath::MoveToElement;
        if (last && QPointF(path.elementAt(i)) == start && e.type != QPainterPath::MoveToElement)
            d += QLatin1Char('Z');
    }
    return d;
}

} // namespace

std::vector<IconShape> iconShapes() {
    std::vector<IconShape> shapes;
    QPainterPath envelope;
    envelope.addRoundedRect(QRectF(18, 50, 196, 140), 16, 16);
    shapes.push_back({envelope, QColor(250, 247, 238), kInk, 14});
    QPainterPath flap;
    flap.moveTo(28, 62);
    flap.lineTo(116, 126);
    flap.lineTo(204, 62);
    shapes.push_back({flap, QColor(), kInk, 14});
    QPainterPath shield;
    shield.moveTo(190, 100);
    shield.quadTo(216, 118, 244, 118);
    shield.lineTo(244, 166);
    shield.cubicTo(244, 206, 222, 230, 190, 246);
    shield.cubicTo(158, 230, 136, 206, 136, 166);
    shield.lineTo(136, 118);
    shield.quadTo(164, 118, 190, 100);
    shield.closeSubpath();
    shapes.push_back({shield, QColor(58, 92, 214), kInk, 14});
    QPainterPath tick;
    tick.moveTo(160, 170);
    tick.lineTo(184, 194);
    tick.lineTo(220, 146);
    shapes.push_back({tick, QColor(), QColor(255, 255, 255), 20});
    return shapes;
}

void paintIcon(QPainter& p, int pixels) {
    p.save();
    p.setRenderHint(QPainter::Antialiasing);
    const double minWidth = kMinStrokePixels * kIconBox / pixels;
    for (const IconShape& s : iconShapes()) {
        p.setBrush(s.fill.isValid() ? QBrush(s.fill) : Qt::NoBrush);
        p.setPen(s.stroke.isValid() ? QPen(s.stroke, std::max(s.strokeWidth, minWidth), Qt::SolidLine,
                                           Qt::RoundCap, Qt::RoundJoin)
                                    : QPen(Qt::NoPen));
        p.drawPath(s.path);
    }
    p.restore();
}

QImage iconImage(int pixels) {
    QImage image(pixels, pixels, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.scale(pixels / kIconBox, pixels / kIconBox);
    paintIcon(p, pixels);
    return image;
}

QString iconSvg() {
    QString svg;
    QTextStream out(&svg);
    out << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"256\" height=\"256\" viewBox=\"0 0 256 256\">\n"
        << "  <title>Brindle</title>\n";
    for (const IconShape& s : iconShapes()) {
        out << "  <path d=\"" << svgPathData(s.path) << "\" fill=\"" << svgColour(s.fill) << "\"";
        if (s.stroke.isValid())
            out << " stroke=\"" << svgColour(s.stroke) << "\" stroke-width=\"" << number(s.strokeWidth)
                << "\" stroke-linecap=\"round\" stroke-linejoin=\"round\"";
        out << "/>\n";
    }
    out << "</svg>\n";
    return svg;
}

} // namespace painter
