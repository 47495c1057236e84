// A COM port and all PLCs on it: speed detection with probe frames, the switch to binary
// framing, 7E1/8N1, DTR and CTS handling, one asynchronous write at a time, and the
// serial spy lines.
#pragma once

#include "comm/ComPort.h"
#include "comm/CommDriver.h"

#include <array>
#include <cstdint>
#include <memory>
#include <string>

namespace dravon {

class TSerialDriver : public TCommDriver {
public:
    static constexpr std::array<int, 4> Speeds{4800, 9600, 19200, 38400};
    static constexpr int ReceiveBufferSize = 4004;
    static constexpr int AttemptsPerSpeed = 6;
    // Transmissions without a detected speed after which a silent PLC may time out.
    static constexpr int SpeedSearchAttempts = 24;

    TSerialDriver(TServerContext& context, const TDriverLink& link);
    ~TSerialDriver() override;

    int BaudIndex = 3;
    int AttemptsAtSpeed = 0;
    int TotalAttempts = 0;
    bool PortErrorLogged = false;

    TComPort* Port() const { return Port_.get(); }

    void Transmit(std::span<const std::uint8_t> frame, THitachiPLC* plc) override;
    void TransmitReply(std::span<const std::uint8_t> reply) override;
    int SendAllowance(std::size_t frameLength, bool write) const override;
    void RequestUnanswered() override;
    bool LinkAllowsTimeOut(const THitachiPLC& plc) const override;
    void SpeedConfirmed(THitachiPLC& plc) override;
    void ResetSerialState() override;
    void CloseIfIdle() override;
    std::string DetectedBaudText() const override;

    // OutCTSFlow follows the peer's CTS line.
    void UpdateCtsFlow();

private:
    void RxChar(int count);
    int FixedBaud(const THitachiPLC* plc) const;
    void Spy(bool transmit, std::span<const std::uint8_t> bytes, bool emptyLineFirst);

    std::unique_ptr<TComPort> Port_;
    TComWriteHandle Write_ = 0;
};

} // namespace dravon
