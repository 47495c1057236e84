// A UDP link to one Ethernet PLC: one socket per driver, datagrams to the PLC's address
// and port. With "Local UDP port same as PLC" every driver binds the PLC's port, so an
// answer may land at another PLC's socket; it is routed by its sender address.
#pragma once

#include "comm/CommDriver.h"
#include "comm/NMUDP.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace dravon {

class TUdpDriver : public TCommDriver {
public:
    static constexpr int ReceiveLimit = 2500;

    TUdpDriver(TServerContext& context, const TDriverLink& link);
    ~TUdpDriver() override;

    bool UdpFailed = false;
    bool UdpPortSame = false;

    TNMUDP& Udp() const { return *Udp_; }

    void Transmit(std::span<const std::uint8_t> frame, THitachiPLC* plc) override;

    // The 32-bit value of a dotted IPv4 text (first field most significant); none when
    // the text is not exactly four fields of 0-255.
    static std::optional<std::uint32_t> AddressValue(const std::string& text);

private:
    void DataReceived(int count, const std::string& from);
    void Deliver(TCommDriver& driver, std::span<const std::uint8_t> bytes);
    TCommDriver* DriverForSender(std::uint32_t sender) const;

    std::unique_ptr<TNMUDP> Udp_;
};

} // namespace dravon
