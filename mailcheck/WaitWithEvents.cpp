#include "mailcheck/WaitWithEvents.h"

#include <QCoreApplication>
#include <QThread>

namespace brindle {

void WaitWithEvents(int milliseconds, const MillisecondClock& clock, const EventPump& pump) {
    const std::uint32_t start = clock();
    if (milliseconds < 0) {
        pump(); // any elapsed time is more than a negative wait
        return;
    }
    const auto limit = static_cast<std::uint32_t>(milliseconds);
    for (;;) {
        pump();
        const std::uint32_t elapsed = clock() - start; // unsigned: correct across the wrap
        if (elapsed > limit) {
            return;
        }
    }
}

std::uint32_t tickCount() {
    return systemMilliseconds();
}

void WaitWithEvents(int milliseconds) {
    WaitWithEvents(milliseconds, tickCount, [] {
        QCoreApplication::processEvents(QEventLoop::AllEvents);
        // Without a pause the wait would keep one core busy for its whole length.
        QThread::msleep(2);
    });
}

} // namespace brindle
