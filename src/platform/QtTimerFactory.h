// Creates TQtTimer objects for the core.
#pragma once

#include "app/Platform.h"

namespace dravon {

class TQtTimerFactory : public ITimerFactory {
public:
    std::unique_ptr<ITimer> CreateTimer() override;
};

} // namespace dravon
