// Creates the serial, TCP and UDP drivers over the transport components of
// TServerContext::Transports. The program hands it to TCommManager.
#pragma once

#include "comm/DriverFactory.h"

namespace dravon {

class TTransportDriverFactory : public IDriverFactory {
public:
    std::unique_ptr<TCommDriver> CreateDriver(TServerContext& context, const TDriverLink& link) override;
};

} // namespace dravon
