#pragma once
#include <cstdint>
#include <QString>

namespace brindle {

// The slideshow without its widgets: how long a picture stays and which picture comes next. The
// main window owns the timer and the picture box and asks this object what to do with them.
class Slideshow {
public:
    // The pictures "1.jpg" to "16.jpg" of the picture folder, shown in turn.
    static constexpr int kPictures = 16;

    // The timer's interval for a period typed in seconds: the leading number of the text times
    // 1000, rounded half to even. 0 means the slideshow stands still (zero, negative or no number).
    static int intervalMs(const QString& typedSeconds);

    // Steps to the next picture (after the last comes the first) and returns its number.
    int advance();
    // The number of the picture shown last; 0 before the first step.
    int current() const { return m_counter; }

    // The file of picture `number`: the user's own in the application folder, else the installation's.
    static QString picturePath(int number);

private:
    std::int16_t m_counter = 0;
};

} // namespace brindle
