#pragma once
#include <cstdint>
#include <functional>

namespace brindle {

// A millisecond clock that wraps around after 2^32 ms, like the system's millisecond counter; code
// that measures intervals subtracts two readings in unsigned arithmetic so the wrap does no harm.
// (The same alias is declared beside the timed wait; the two declarations name one type.)
using MillisecondClock = std::function<std::uint32_t()>;

// Milliseconds on the process's monotonic clock, cut to 32 bits.
std::uint32_t systemMilliseconds();

// The system clock as a MillisecondClock.
MillisecondClock systemClock();

// A clock that moves only when told to: for tests of timed behaviour without real waiting. The
// MillisecondClock it hands out refers to this object and must not outlive it.
class ManualClock {
public:
    explicit ManualClock(std::uint32_t start = 0) : m_now(start) {}
    std::uint32_t now() const { return m_now; }
    void set(std::uint32_t ms) { m_now = ms; }
    void advance(std::uint32_t ms) { m_now += ms; }
    MillisecondClock clock() {
        return [this] { return m_now; };
    }

private:
    std::uint32_t m_now;
};

} // namespace brindle
