#include "platform/Clock.h"

#include <QElapsedTimer>

namespace brindle {

std::uint32_t systemMilliseconds() {
    static const QElapsedTimer started = [] {
        QElapsedTimer t;
        t.start();
        return t;
    }();
    return static_cast<std::uint32_t>(started.elapsed());
}

} // namespace brindle
