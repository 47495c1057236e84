#include "platform/QtTransportFactory.h"

#include "platform/QtClientSocket.h"
#include "platform/QtComPort.h"
#include "platform/QtNMUDP.h"

namespace dravon {

std::unique_ptr<TComPort> TQtTransportFactory::CreateComPort() {
    return std::make_unique<TQtComPort>(Context_);
}
std::unique_ptr<TClientSocket> TQtTransportFactory::CreateClientSocket() {
    return std::make_unique<TQtClientSocket>();
}
std::unique_ptr<TNMUDP> TQtTransportFactory::CreateUdp() { return std::make_unique<TQtNMUDP>(); }

} // namespace dravon
