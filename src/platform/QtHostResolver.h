// Host-name lookup with QHostInfo: the system resolver works off the main loop and the
// answer comes back as an event, so a slow name server never freezes polling.
#pragma once

#include "plc/HostResolver.h"

#include <QObject>

namespace dravon {

class TQtHostResolver : public IHostResolver {
public:
    void LookupHost(const std::string& name, std::function<void(const std::string& address)> done) override;

private:
    // Answers still on their way are dropped with this object.
    QObject Context_;
};

} // namespace dravon
