// The Qt main loop as the core's IEventLoop. Posted work runs as a queued call on a
// context object owned here, so nothing posted runs after this object is gone.
#pragma once

#include "app/Platform.h"

#include <QObject>

namespace dravon {

class TQtEventLoop : public IEventLoop {
public:
    void Post(std::function<void()> work) override;
    void ProcessPendingEvents() override;

private:
    QObject Context_;
};

} // namespace dravon
