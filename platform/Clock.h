#pragma once
#include <QElapsedTimer>
#include <QtGlobal>

namespace brindle {

// A millisecond clock that wraps around after 2^32 ms, like the system's millisecond counter; code
// that measures intervals subtracts two readings in unsigned arithmetic so the wrap does no harm.
class MillisecondClock {
public:
    virtual ~MillisecondClock() = default;
    virtual quint32 now() = 0;
};

// Milliseconds on a monotonic clock since the object was made.
class SystemMillisecondClock : public MillisecondClock {
public:
    SystemMillisecondClock() { m_timer.start(); }
    quint32 now() override { return static_cast<quint32>(m_timer.elapsed()); }

private:
    QElapsedTimer m_timer;
};

// The process-wide system clock.
MillisecondClock& systemClock();

// A clock that moves only when told to: for tests of timed behaviour without real waiting.
class ManualClock : public MillisecondClock {
public:
    explicit ManualClock(quint32 start = 0) : m_now(start) {}
    quint32 now() override { return m_now; }
    void set(quint32 ms) { m_now = ms; }
    void advance(quint32 ms) { m_now += ms; }

private:
    quint32 m_now;
};

} // namespace brindle
