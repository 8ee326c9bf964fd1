#pragma once
#include <QPixmap>
#include <QPoint>
#include <QWidget>

namespace brindle {

// The three hands of the analog clock: end points in the picture box's pixels; every hand starts at
// the centre.
struct ClockHands {
    QPoint hour;
    QPoint minute;
    QPoint second;
    bool operator==(const ClockHands&) const = default;
};

inline constexpr QPoint kClockCentre{75, 60};

// Hour angle in whole degrees clockwise from twelve: half a degree per minute, rounded half to even.
int hourAngle(int hour, int minute);
ClockHands clockHands(int hour, int minute, int second);

// The main window's picture area: a picture shown unscaled from the top-left corner, with the
// clock's hands drawn over it in white. The hands are never part of the picture, so a new picture
// shows no trace of them.
class PictureBox : public QWidget {
    Q_OBJECT
public:
    explicit PictureBox(QWidget* parent = nullptr);
    void setPicture(const QPixmap& picture);
    const QPixmap& picture() const { return m_picture; }
    void setHands(const ClockHands& hands);
    const ClockHands& hands() const { return m_hands; }

protected:
    void paintEvent(QPaintEvent* e) override;

private:
    QPixmap m_picture;
    ClockHands m_hands{kClockCentre, kClockCentre, kClockCentre};
};

} // namespace brindle
