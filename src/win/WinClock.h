// The Windows clock: the system tick count and local time with the time-zone bias.
#pragma once

#include "app/Platform.h"

namespace dravon {

class TWinClock : public IClock {
public:
    std::uint32_t TickCount() const override;
    TDateTime Now() const override;
    int TimeZoneBiasMinutes() const override;
};

} // namespace dravon
