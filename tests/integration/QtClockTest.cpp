// The Qt clock's local date-time: days since 30 December 1899 with the time of day as the
// fraction, in the process's time zone, with the zone's offset taken once a second.
#include "platform/QtClock.h"

#include <QDate>
#include <QDateTime>
#include <QTime>

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>

namespace dravon {
namespace {

// The date-time as the zone database gives it, asked in full.
double ReferenceNow() {
    const QDateTime now = QDateTime::currentDateTime();
    return static_cast<double>(QDate(1899, 12, 30).daysTo(now.date())) +
           static_cast<double>(now.time().msecsSinceStartOfDay()) / 86400000.0;
}

constexpr double OneMs = 1.0 / 86400000.0;

TEST(QtClockNow, AgreesWithTheZoneDatabaseInSeveralZones) {
    const char* old = std::getenv("TZ");
    const std::optional<std::string> saved = old ? std::optional<std::string>(old) : std::nullopt;
    for (const char* zone : {"UTC0", "JST-9", "EST5EDT,M3.2.0,M11.1.0", "ACST-9:30"}) {
        ::setenv("TZ", zone, 1);
        ::tzset();
        TQtClock clock;
        for (int i = 0; i < 3; ++i) {
            const double before = ReferenceNow();
            const double now = clock.Now();
            const double after = ReferenceNow();
            EXPECT_GE(now, before - OneMs) << zone;
            EXPECT_LE(now, after + OneMs) << zone;
        }
    }
    if (saved)
        ::setenv("TZ", saved->c_str(), 1);
    else
        ::unsetenv("TZ");
    ::tzset();
}

} // namespace
} // namespace dravon
