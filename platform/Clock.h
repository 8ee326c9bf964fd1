#pragma once
#include <cstdint>
#include <functional>

namespace brindle {

// A millisecond clock that wraps around after 2^32 ms, like the system's millisecond counter; code
// that measures intervals subtracts two readings in unsigned arithmetic so the wrap does no harm.
using MillisecondClock = std::function<std::uint32_t()>;

// Milliseconds on the process's monotonic clock, cut to 32 bits.
std::uint32_t systemMilliseconds();

} // namespace brindle
