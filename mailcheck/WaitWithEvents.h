#pragma once
#include "platform/Clock.h"

#include <cstdint>
#include <functional>

namespace brindle {

// Lets the window events that are waiting run once.
using EventPump = std::function<void()>;

// Reads the clock, then lets events run and reads the clock again until more than `milliseconds`
// have passed since the first reading. Events run at least once. The elapsed time is the difference
// of two 32-bit readings, so a wrap of the clock during the wait is harmless.
void WaitWithEvents(int milliseconds, const MillisecondClock& clock, const EventPump& pump);

// The same with the process's monotonic clock and Qt's event loop.
void WaitWithEvents(int milliseconds);

// The process's monotonic clock in milliseconds, cut to 32 bits (systemMilliseconds()).
std::uint32_t tickCount();

} // namespace brindle
