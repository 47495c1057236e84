// Reassembly of serial-format H-protocol frames (protocols 1 and 2) from a byte stream:
// ASCII frames end at the first CR; binary frames are measured by their length field, so
// a CR inside binary data does not end them. Every decision (a data frame, a handshake,
// a NAK, a dropped frame) empties the accumulator, bytes after the frame included.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace dravon {

// What the reassembler hands on; the driver implements it.
class IStreamSink {
public:
    virtual ~IStreamSink() = default;
    // A complete data frame with a good checksum, decoded to payload bytes.
    virtual void FrameReceived(std::span<const std::uint8_t> payload) = 0;
    // A handshake reply to send later (replaces any earlier one).
    virtual void ReplyQueued(std::span<const std::uint8_t> reply) = 0;
    // NAK CR: the PLC port did not understand (restarts the speed probes).
    virtual void NakReceived() = 0;
    // A frame was decided (taken or dropped): run the cycle at once.
    virtual void FrameDecided() = 0;
};

class TStreamParser {
public:
    // A legitimate frame is never longer than a message buffer; more undecided bytes than
    // this are garbage (a stream without CR) and are dropped instead of growing for ever.
    static constexpr std::size_t AccumulatorLimit = 2 * 2500;

    // binaryMode: the link speaks binary framing. stationHandshake: the link uses station
    // numbers or procedure 2 (station handshake ACK/EOT + two characters + CR).
    void ParseStream(std::span<const std::uint8_t> received, bool binaryMode, bool stationHandshake,
                     IStreamSink& sink);

    // Forget a partial frame (after an unanswered request).
    void Clear();

    std::size_t Pending() const { return Accumulator_.size(); }
    int ExpectedLength() const { return ExpectedLength_; }

private:
    bool ScanAscii(std::size_t start, bool stationHandshake, IStreamSink& sink);
    bool ScanBinary(std::size_t start, IStreamSink& sink);
    void Decided(IStreamSink& sink);

    std::vector<std::uint8_t> Accumulator_;
    std::vector<std::uint8_t> Decoded_;
    int ExpectedLength_ = 0;
};

} // namespace dravon
