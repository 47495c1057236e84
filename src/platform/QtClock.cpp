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
    static constexpr double MsPerDay = 86400000.0;
    static constexpr double UnixEpochDay = 25569.0; // 1970-01-01 counted from 1899-12-30
    const std::int64_t utcMs = QDateTime::currentMSecsSinceEpoch();
    // A change of daylight saving time shows within a second; a clock set back retakes it at once.
    if (!OffsetTaken_ || utcMs < OffsetTakenAtMs_ || utcMs - OffsetTakenAtMs_ >= 1000) {
        OffsetTaken_ = true;
        OffsetMs_ = static_cast<std::int64_t>(QDateTime::fromMSecsSinceEpoch(utcMs).offsetFromUtc()) * 1000;
        OffsetTakenAtMs_ = utcMs;
    }
    return UnixEpochDay + static_cast<double>(utcMs + OffsetMs_) / MsPerDay;
}

int TQtClock::TimeZoneBiasMinutes() const {
    // Local time + bias = UTC, so the bias is the negated UTC offset.
    return -QDateTime::currentDateTime().offsetFromUtc() / 60;
}

} // namespace dravon
