// Hands the communication drivers their Win32 transport components.
#pragma once

#include "comm/Transport.h"
#include "win/WinEventLoop.h"

namespace dravon {

struct TServerContext;

class TWinTransportFactory : public ITransportFactory {
public:
    TWinTransportFactory(TServerContext& context, TWinEventLoop& loop) : Context_(context), Loop_(loop) {}
    std::unique_ptr<TComPort> CreateComPort() override;
    std::unique_ptr<TClientSocket> CreateClientSocket() override;
    std::unique_ptr<TNMUDP> CreateUdp() override;

private:
    TServerContext& Context_;
    TWinEventLoop& Loop_;
};

} // namespace dravon
