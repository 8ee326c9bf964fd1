#include "platform/Clock.h"

namespace brindle {

MillisecondClock& systemClock() {
    static SystemMillisecondClock clock;
    return clock;
}

} // namespace brindle
