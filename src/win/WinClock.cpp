#include "win/WinClock.h"

#include <windows.h>

namespace dravon {

std::uint32_t TWinClock::TickCount() const { return static_cast<std::uint32_t>(GetTickCount64()); }

TDateTime TWinClock::Now() const {
    SYSTEMTIME utc{};
    GetSystemTime(&utc);
    SYSTEMTIME local{};
    // The rules of the year in question, so a date across a daylight-saving change is right.
    if (!SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local)) local = utc;
    FILETIME file{};
    SystemTimeToFileTime(&local, &file);
    const auto ticks = (static_cast<std::uint64_t>(file.dwHighDateTime) << 32) | file.dwLowDateTime;
    // FILETIME counts 100 ns from 1601-01-01; TDateTime counts days from 1899-12-30.
    constexpr double TicksPerDay = 864000000000.0;
    constexpr double DaysFrom1601To1899 = 109205.0;
    return static_cast<double>(ticks) / TicksPerDay - DaysFrom1601To1899;
}

int TWinClock::TimeZoneBiasMinutes() const {
    TIME_ZONE_INFORMATION zone{};
    const DWORD which = GetTimeZoneInformation(&zone);
    LONG bias = zone.Bias;
    if (which == TIME_ZONE_ID_DAYLIGHT)
        bias += zone.DaylightBias;
    else if (which == TIME_ZONE_ID_STANDARD)
        bias += zone.StandardBias;
    return static_cast<int>(bias);
}

} // namespace dravon
