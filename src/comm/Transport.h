// Creates the transport components of the communication drivers. The program installs the
// Qt factory (src/platform/QtTransportFactory.h); tests install recording fakes
// (tests/support/FakeTransports.h). Reached through TServerContext::Transports.
#pragma once

#include "comm/ClientSocket.h"
#include "comm/ComPort.h"
#include "comm/NMUDP.h"

#include <memory>

namespace dravon {

class ITransportFactory {
public:
    virtual ~ITransportFactory() = default;
    virtual std::unique_ptr<TComPort> CreateComPort() = 0;
    virtual std::unique_ptr<TClientSocket> CreateClientSocket() = 0;
    virtual std::unique_ptr<TNMUDP> CreateUdp() = 0;
};

} // namespace dravon
