// A TCP link to one Ethernet PLC address and port: the server is the client, one
// connection per driver. The connection is opened by a transmission that finds it
// closed, kept while it answers, and rebuilt after 120 s of silence.
#pragma once

#include "comm/ClientSocket.h"
#include "comm/CommDriver.h"

#include <cstdint>
#include <memory>
#include <vector>

namespace dravon {

class TTcpDriver : public TCommDriver {
public:
    static constexpr int ReceiveLimit = 2500;
    static constexpr std::uint32_t SilenceLimit = 120000;

    TTcpDriver(TServerContext& context, const TDriverLink& link);
    ~TTcpDriver() override;

    bool TcpReconnect = true;
    std::uint32_t LinkAliveTick = 0;
    int SilentCount = 0;
    bool TcpWritable = false;
    bool ConnectErrorLogged = false;

    TClientSocket* Socket() const { return Socket_.get(); }

    // True when the connection is up; otherwise starts what brings it up.
    bool EnsureTcpConnected(THitachiPLC& plc);

    void Transmit(std::span<const std::uint8_t> frame, THitachiPLC* plc) override;
    void ResponseArriving(std::size_t length) override;

private:
    void CreateSocket(const THitachiPLC* plc);
    void SocketConnected();
    void SocketReadable();
    void SocketError(TSocketErrorKind kind, int& code);
    std::uint32_t Tick() const;

    std::unique_ptr<TClientSocket> Socket_;
    // The first pieces of an ethernet answer that TCP has not delivered whole yet.
    std::vector<std::uint8_t> Partial_;
};

} // namespace dravon
