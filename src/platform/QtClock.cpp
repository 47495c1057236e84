#include "platform/QtClock.h"

#include <QDateTime>

#include <chrono>

namespace dravon {

std::uint32_t TQtClock::TickCount() const {
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now().time_since_epoch());
    return static_cast<std::uint32_t>(static_cast<std::uint64_t>(ms.count()));
}

TDateTime TQtClock::Now() const {
    const QDateTime now = QDateTime::currentDateTime();
    static constexpr int MsPerDay = 86400000;
    const qint64 days = QDate(1899, 12, 30).daysTo(now.date());
    return static_cast<double>(days) + static_cast<double>(now.time().msecsSinceStartOfDay()) / MsPerDay;
}

int TQtClock::TimeZoneBiasMinutes() const {
    // Local time + bias = UTC, so the bias is the negated UTC offset.
    return -QDateTime::currentDateTime().offsetFromUtc() / 60;
}

} // namespace dravon
