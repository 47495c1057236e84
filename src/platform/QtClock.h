// The system clock: a 32-bit millisecond tick from the monotonic clock (it wraps after
// about 49.7 days, as the tick count the timing code is written for), local date-time
// and the time-zone bias from Qt.
#pragma once

#include "app/Platform.h"

#include <cstdint>

namespace dravon {

class TQtClock : public IClock {
public:
    std::uint32_t TickCount() const override;
    TDateTime Now() const override;
    int TimeZoneBiasMinutes() const override;

private:
    // The local offset from UTC, taken again once a second: asking the zone database at
    // every call costs a file-system lookup (glibc re-reads /etc/localtime's status), and
    // the driver cycle asks for the date-time several times per request.
    mutable std::int64_t OffsetMs_ = 0;
    mutable std::int64_t OffsetTakenAtMs_ = 0;
    mutable bool OffsetTaken_ = false;
};

} // namespace dravon
