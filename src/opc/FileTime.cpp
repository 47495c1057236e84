#include "opc/FileTime.h"

#include "app/TimeDate.h"

namespace dravon {

TFileTime LocalDateTimeToFileTime(TDateTime local, const IClock& clock) {
    return LocalDateTimeToFileTime(local, clock.TimeZoneBiasMinutes());
}

TFileTime LocalDateTimeToFileTime(TDateTime local, int biasMinutes) {
    return TFileTime::FromUInt64(DateTimeToFileTime(local, biasMinutes));
}

TDateTime FileTimeToLocalDateTime(const TFileTime& fileTime, const IClock& clock) {
    if (fileTime.ToUInt64() == 0) return 0;
    return FileTimeToDateTime(fileTime.ToUInt64(), clock.TimeZoneBiasMinutes());
}

TFileTime FileTimeNow(const IClock& clock) { return LocalDateTimeToFileTime(clock.Now(), clock); }

} // namespace dravon
