// Hands the communication drivers their Qt transport components.
#pragma once

#include "comm/Transport.h"

namespace dravon {

struct TServerContext;

class TQtTransportFactory : public ITransportFactory {
public:
    explicit TQtTransportFactory(TServerContext& context) : Context_(context) {}
    std::unique_ptr<TComPort> CreateComPort() override;
    std::unique_ptr<TClientSocket> CreateClientSocket() override;
    std::unique_ptr<TNMUDP> CreateUdp() override;

private:
    TServerContext& Context_;
};

} // namespace dravon
