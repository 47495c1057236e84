// FILETIME: 100-ns intervals since 1 January 1601, always UTC at the OPC boundary.
#pragma once

#include "app/Platform.h"

#include <cstdint>

namespace dravon {

struct TFileTime {
    std::uint32_t LowDateTime = 0;
    std::uint32_t HighDateTime = 0;

    static TFileTime FromUInt64(std::uint64_t value) {
        return {static_cast<std::uint32_t>(value), static_cast<std::uint32_t>(value >> 32)};
    }
    std::uint64_t ToUInt64() const { return (static_cast<std::uint64_t>(HighDateTime) << 32) | LowDateTime; }

    friend bool operator==(const TFileTime&, const TFileTime&) = default;
};

// Local date-time to UTC FILETIME with the clock's time-zone bias (0, "never", is
// 30 December 1899 like any other date-time).
TFileTime LocalDateTimeToFileTime(TDateTime local, const IClock& clock);
// The same with a bias taken once: asking the system for the time zone costs far more
// than the conversion, so a callback of thousands of values asks once.
TFileTime LocalDateTimeToFileTime(TDateTime local, int biasMinutes);
// UTC FILETIME to local date-time.
TDateTime FileTimeToLocalDateTime(const TFileTime& fileTime, const IClock& clock);
// The current time as UTC FILETIME.
TFileTime FileTimeNow(const IClock& clock);

} // namespace dravon
