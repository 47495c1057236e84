#include "platform/QtTimerFactory.h"

#include "platform/QtTimer.h"

namespace dravon {

std::unique_ptr<ITimer> TQtTimerFactory::CreateTimer() { return std::make_unique<TQtTimer>(); }

} // namespace dravon
