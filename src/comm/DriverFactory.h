// How the communication manager creates the driver of a new link. The transport side
// implements it (serial, TCP and UDP drivers over the components of
// TServerContext::Transports); tests implement it with recording fake drivers.
#pragma once

#include "comm/CommDriver.h"

#include <memory>

namespace dravon {

struct TServerContext;

class IDriverFactory {
public:
    virtual ~IDriverFactory() = default;
    // A new driver for link (Kind 1 UDP, 2 TCP, 3 serial) with its transport component
    // created and owned, the fields at their initial values; null for an unknown kind.
    // The pool then sets UserCount, Manager, Protocol and, for serial-format protocols
    // over Ethernet, BinaryState 1.
    virtual std::unique_ptr<TCommDriver> CreateDriver(TServerContext& context, const TDriverLink& link) = 0;
};

} // namespace dravon
