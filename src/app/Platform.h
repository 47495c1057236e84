// The operating-system seams of the server core. The core reaches time, timers and the
// main loop only through these; src/platform implements them with Qt and the tests with
// a manual clock (tests/support/FakePlatform.h).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

namespace dravon {

// Local date-time as days since 30 December 1899 (fraction = time of day).
using TDateTime = double;

class IClock {
public:
    virtual ~IClock() = default;
    // Milliseconds since an arbitrary start; wraps after 2^32 ms like the system tick count.
    virtual std::uint32_t TickCount() const = 0;
    // Local date-time now.
    virtual TDateTime Now() const = 0;
    // Minutes to add to local time to get UTC (positive west of Greenwich).
    virtual int TimeZoneBiasMinutes() const = 0;
};

// A repeating timer that fires on the main loop.
class ITimer {
public:
    virtual ~ITimer() = default;
    virtual void SetInterval(std::uint32_t ms) = 0;
    virtual std::uint32_t Interval() const = 0;
    virtual void SetEnabled(bool enabled) = 0;
    virtual bool Enabled() const = 0;
    // Called on every expiry while enabled.
    std::function<void()> OnTimer;
};

class ITimerFactory {
public:
    virtual ~ITimerFactory() = default;
    virtual std::unique_ptr<ITimer> CreateTimer() = 0;
};

// The single main loop: everything runs on it.
class IEventLoop {
public:
    virtual ~IEventLoop() = default;
    // Queue work to run later on the main loop (a posted message).
    virtual void Post(std::function<void()> work) = 0;
    // Run whatever is pending now (timers that are due, posted work, socket events),
    // then return. Used by the waits that must keep the server responsive.
    virtual void ProcessPendingEvents() = 0;
};

// Milliseconds from `since` to `now` in modular 32-bit arithmetic: the tick wrap is harmless.
inline std::uint32_t TickDiff(std::uint32_t now, std::uint32_t since) { return now - since; }

} // namespace dravon
