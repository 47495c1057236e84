// One conversation of the PLC side: a TCP connection, a UDP socket or a serial line.
// Reassembles the host's frames (ASCII, binary or the unframed ethernet layout), runs
// the transmission procedure, asks the engine for the answer and frames it the way the
// request came. Pure byte handling: no sockets, no clock.
#pragma once

#include "SimConfig.h"
#include "SimEngine.h"
#include "SimOutput.h"
#include "SimRequest.h"

#include <cstdint>
#include <vector>

namespace dravon {

class TSimSession {
public:
    // A frame is never longer than this; a stream that runs past it without a frame end is noise.
    static constexpr std::size_t kMaxAccumulated = 2600;

    explicit TSimSession(const TSimLinkConfig& link);

    const TSimLinkConfig& Link() const { return Link_; }
    bool BinaryMode() const { return Binary_; }

    // Feeds received bytes; appends what to send to out (out is not cleared).
    void Receive(const std::uint8_t* data, std::size_t size, TSimEngine& engine, TSimOutput& out);
    // A datagram never continues in the next one.
    void EndOfDatagram() { Acc_.clear(); }
    // Line noise or a new connection: forget the partial frame and any pending handshake.
    void Reset();

private:
    enum class TFrameKind : std::uint8_t { Ascii, Binary, Ethernet };

    void ProcessSerialFormat(TSimEngine& engine, TSimOutput& out);
    void ProcessEthernet(TSimEngine& engine, TSimOutput& out);
    void HandlePayload(const std::uint8_t* data, std::size_t size, TFrameKind kind, TSimEngine& engine,
                       TSimOutput& out);
    void HandleEnquiry(const std::uint8_t* frame, std::size_t size, TSimEngine& engine, TSimOutput& out);
    void Emit(const std::vector<std::uint8_t>& frame, const TSimDecision& decision, TSimOutput& out);
    void Nak(TSimOutput& out);

    TSimLinkConfig Link_;
    std::vector<std::uint8_t> Acc_;
    std::vector<std::uint8_t> Payload_;
    std::vector<std::uint8_t> Answer_;
    std::vector<std::uint8_t> Frame_;
    std::vector<std::uint8_t> Staging_;
    TSimRequest Request_;
    bool Binary_ = false;
    bool HasPending_ = false;
    std::vector<std::uint8_t> Pending_;
    TSimDecision PendingDecision_;
    std::uint8_t PendingStationBcd_ = 0;
};

} // namespace dravon
