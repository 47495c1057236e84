#include "app/TimeDate.h"

#include <cmath>

namespace dravon {

namespace {

// Days from 1 January 1970 to the civil date (proleptic Gregorian).
long long DaysFromCivil(long long y, unsigned m, unsigned d) {
    y -= m <= 2;
    const long long era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<long long>(doe) - 719468;
}

void CivilFromDays(long long z, long long& y, unsigned& m, unsigned& d) {
    z += 719468;
    const long long era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    y = static_cast<long long>(yoe) + era * 400;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    d = doy - (153 * mp + 2) / 5 + 1;
    m = mp < 10 ? mp + 3 : mp - 9;
    y += m <= 2;
}

constexpr long long DaysFrom1899To1970 = 25569;
constexpr double MsPerDay = 86400000.0;

std::string Format(const char* format, TDateTime value) {
    std::tm tm = DateTimeToTm(value);
    char buffer[128];
    std::size_t n = std::strftime(buffer, sizeof buffer, format, &tm);
    return std::string(buffer, n);
}

} // namespace

std::tm DateTimeToTm(TDateTime value) {
    if (!std::isfinite(value)) value = 0;
    // Round to the millisecond, then split into days and milliseconds of the day.
    long long totalMs = std::llround(value * MsPerDay);
    long long days = totalMs / 86400000;
    long long ms = totalMs % 86400000;
    if (ms < 0) {
        ms += 86400000;
        --days;
    }
    long long y;
    unsigned m, d;
    CivilFromDays(days - DaysFrom1899To1970, y, m, d);
    std::tm tm{};
    tm.tm_year = static_cast<int>(y - 1900);
    tm.tm_mon = static_cast<int>(m - 1);
    tm.tm_mday = static_cast<int>(d);
    tm.tm_hour = static_cast<int>(ms / 3600000);
    tm.tm_min = static_cast<int>(ms / 60000 % 60);
    tm.tm_sec = static_cast<int>(ms / 1000 % 60);
    tm.tm_wday = static_cast<int>(((days - DaysFrom1899To1970) % 7 + 11) % 7); // 1970-01-01 was a Thursday
    tm.tm_yday = static_cast<int>(days - DaysFrom1899To1970 - DaysFromCivil(y, 1, 1));
    tm.tm_isdst = -1;
    return tm;
}

TDateTime TmToDateTime(const std::tm& value, int milliseconds) {
    long long days = DaysFromCivil(value.tm_year + 1900LL, static_cast<unsigned>(value.tm_mon + 1),
                                   static_cast<unsigned>(value.tm_mday)) +
                     DaysFrom1899To1970;
    double ms = value.tm_hour * 3600000.0 + value.tm_min * 60000.0 + value.tm_sec * 1000.0 + milliseconds;
    return static_cast<double>(days) + ms / MsPerDay;
}

std::string TimeText(TDateTime value) { return Format("%X", value); }
std::string DateText(TDateTime value) { return Format("%x", value); }

std::string TimeDateText(TDateTime value) {
    if (value == 0) return TimeText(value);
    return TimeText(value) + "  " + DateText(value);
}

std::string DateTimeText(TDateTime value) { return DateText(value) + " " + TimeText(value); }

namespace {
constexpr long long DaysFrom1601To1899 = 109205; // 1601-01-01 .. 1899-12-30
}

std::uint64_t DateTimeToFileTime(TDateTime local, int biasMinutes) {
    double utcDays = local + biasMinutes / 1440.0 + static_cast<double>(DaysFrom1601To1899);
    if (!(utcDays > 0)) return 0;
    return static_cast<std::uint64_t>(std::llround(utcDays * MsPerDay)) * 10000ULL;
}

TDateTime FileTimeToDateTime(std::uint64_t fileTime, int biasMinutes) {
    double utcDays = static_cast<double>(fileTime / 10000ULL) / MsPerDay;
    return utcDays - static_cast<double>(DaysFrom1601To1899) - biasMinutes / 1440.0;
}

} // namespace dravon
