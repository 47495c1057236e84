#include "platform/QtTimer.h"

#include <limits>

namespace dravon {

TQtTimer::TQtTimer() {
    Timer_.setTimerType(Qt::PreciseTimer);
    Timer_.setInterval(1000);
    QObject::connect(&Timer_, &QTimer::timeout, [this] {
        if (OnTimer) OnTimer();
    });
}

void TQtTimer::SetInterval(std::uint32_t ms) {
    // Setting the interval of a running timer restarts it, as the core expects.
    const auto max = static_cast<std::uint32_t>(std::numeric_limits<int>::max());
    Timer_.setInterval(static_cast<int>(ms > max ? max : ms));
}

std::uint32_t TQtTimer::Interval() const { return static_cast<std::uint32_t>(Timer_.interval()); }

void TQtTimer::SetEnabled(bool enabled) {
    if (enabled == Timer_.isActive()) return;
    if (enabled)
        Timer_.start();
    else
        Timer_.stop();
}

bool TQtTimer::Enabled() const { return Timer_.isActive(); }

} // namespace dravon
