// Date-time texts in the local formats of the system locale.
#pragma once

#include "app/Platform.h"

#include <cstdint>
#include <ctime>
#include <string>

namespace dravon {

// Broken-down local time of a date-time value (days since 30 December 1899).
std::tm DateTimeToTm(TDateTime value);
TDateTime TmToDateTime(const std::tm& value, int milliseconds = 0);

// Long time text, e.g. "14:03:27".
std::string TimeText(TDateTime value);
// Short date text of the locale.
std::string DateText(TDateTime value);
// Time text, two spaces, date text; a zero value gives the time text alone.
std::string TimeDateText(TDateTime value);
// Short date, a space, long time (the debug log's time stamp).
std::string DateTimeText(TDateTime value);

// Day-count conversions between local date-time and FILETIME (100 ns since 1601, UTC).
std::uint64_t DateTimeToFileTime(TDateTime local, int biasMinutes);
TDateTime FileTimeToDateTime(std::uint64_t fileTime, int biasMinutes);

} // namespace dravon
