#include "win/WinTransportFactory.h"

#include "win/WinComPort.h"
#include "win/WinSockets.h"

namespace dravon {

std::unique_ptr<TComPort> TWinTransportFactory::CreateComPort() {
    return std::make_unique<TWinComPort>(Context_, Loop_);
}
std::unique_ptr<TClientSocket> TWinTransportFactory::CreateClientSocket() {
    return std::make_unique<TWinClientSocket>(Loop_);
}
std::unique_ptr<TNMUDP> TWinTransportFactory::CreateUdp() { return std::make_unique<TWinNMUDP>(Loop_); }

} // namespace dravon
