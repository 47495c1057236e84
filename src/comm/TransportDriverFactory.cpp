#include "comm/TransportDriverFactory.h"

#include "comm/SerialDriver.h"
#include "comm/TcpDriver.h"
#include "comm/UdpDriver.h"
#include "plc/DriverPool.h"

namespace dravon {

std::unique_ptr<TCommDriver> TTransportDriverFactory::CreateDriver(TServerContext& context,
                                                                   const TDriverLink& link) {
    switch (link.Kind) {
    case DriverUdp: return std::make_unique<TUdpDriver>(context, link);
    case DriverTcp: return std::make_unique<TTcpDriver>(context, link);
    case DriverSerial: return std::make_unique<TSerialDriver>(context, link);
    default: return nullptr;
    }
}

} // namespace dravon
