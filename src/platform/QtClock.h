// The system clock: a 32-bit millisecond tick from the monotonic clock (it wraps after
// about 49.7 days, as the tick count the timing code is written for), local date-time
// and the time-zone bias from Qt.
#pragma once

#include "app/Platform.h"

namespace dravon {

class TQtClock : public IClock {
public:
    std::uint32_t TickCount() const override;
    TDateTime Now() const override;
    int TimeZoneBiasMinutes() const override;
};

} // namespace dravon
