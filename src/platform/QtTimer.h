// A repeating timer on the Qt main loop.
#pragma once

#include "app/Platform.h"

#include <QTimer>

namespace dravon {

class TQtTimer : public ITimer {
public:
    TQtTimer();
    void SetInterval(std::uint32_t ms) override;
    std::uint32_t Interval() const override;
    void SetEnabled(bool enabled) override;
    bool Enabled() const override;

private:
    QTimer Timer_;
};

} // namespace dravon
