#include "ambience/Slideshow.h"

#include "platform/AppFolder.h"
#include "platform/NumberText.h"

namespace brindle {

namespace {

// The longest period: a typed period beyond a day is taken as a day, so that the timer's interval
// in milliseconds cannot overflow.
constexpr double kMaxMilliseconds = 24.0 * 60 * 60 * 1000;

} // namespace

int Slideshow::intervalMs(const QString& typedSeconds) {
    const double ms = roundHalfEven(leadingNumber(typedSeconds) * 1000.0);
    if (!(ms > 0))
        return 0; // NaN included
    return int(qMin(ms, kMaxMilliseconds));
}

int Slideshow::advance() {
    m_counter = m_counter >= kPictures ? 1 : std::int16_t(m_counter + 1);
    return m_counter;
}

QString Slideshow::picturePath(int number) {
    return dataFilePath(QStringLiteral("\\画像データ\\%1.jpg").arg(number));
}

} // namespace brindle
