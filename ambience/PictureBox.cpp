#include "ambience/PictureBox.h"

#include "platform/NumberText.h"

#include <cmath>
#include <QPainter>

namespace brindle {

namespace {

// Degrees to radians as the clock has always turned them (3.141592 / 180); the hands' pixels
// depend on it.
constexpr double kDegreeToRadian = 0.01745328888888889;
constexpr int kHourLength = 30, kMinuteLength = 45, kSecondLength = 50;

QPoint handEnd(int angle, int length) {
    const double r = (90 - angle) * kDegreeToRadian;
    return QPoint(kClockCentre.x() + int(roundHalfEven(std::cos(r) * length)),
                  kClockCentre.y() + int(roundHalfEven(std::sin(r) * -length)));
}

} // namespace

int hourAngle(int hour, int minute) {
    return int(roundHalfEven((hour % 12) * 30 + minute / 2.0));
}

ClockHands clockHands(int hour, int minute, int second) {
    return ClockHands{handEnd(hourAngle(hour, minute), kHourLength), handEnd(minute * 6, kMinuteLength),
                      handEnd(second * 6, kSecondLength)};
}

PictureBox::PictureBox(QWidget* parent) : QWidget(parent) {
    setAttribute(Qt::WA_OpaquePaintEvent);
}

void PictureBox::setPicture(const QPixmap& picture) {
    m_picture = picture;
    update();
}

void PictureBox::setHands(const ClockHands& hands) {
    if (hands == m_hands)
        return; // nothing would change on the screen
    m_hands = hands;
    update();
}

void PictureBox::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.fillRect(rect(), palette().color(QPalette::Window));
    p.drawPixmap(0, 0, m_picture);
    const auto hand = [&](const QPoint& end, int width) {
        p.setPen(QPen(Qt::white, width, Qt::SolidLine, Qt::RoundCap));
        p.drawLine(kClockCentre, end);
    };
    hand(m_hands.hour, 3);
    hand(m_hands.minute, 2);
    hand(m_hands.second, 1);
}

} // namespace brindle
