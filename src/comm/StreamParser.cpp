#include "comm/StreamParser.h"

#include "comm/HProtocol.h"

namespace dravon {

void TStreamParser::Clear() {
    Accumulator_.clear();
    ExpectedLength_ = 0;
}

void TStreamParser::Decided(IStreamSink& sink) {
    Clear();
    sink.FrameDecided();
}

void TStreamParser::ParseStream(std::span<const std::uint8_t> received, bool binaryMode,
                                bool stationHandshake, IStreamSink& sink) {
    // A link that hands over more than one message buffer at once is read in buffer-sized
    // pieces: cutting the chunk would lose the end of a frame that starts near its end.
    while (received.size() > MessageBufferSize) {
        ParseStream(received.first(MessageBufferSize), binaryMode, stationHandshake, sink);
        received = received.subspan(MessageBufferSize);
    }
    Accumulator_.insert(Accumulator_.end(), received.begin(), received.end());

    std::size_t start = 0;
    bool found = false;
    for (std::size_t i = 0; i < Accumulator_.size(); ++i) {
        std::uint8_t b = Accumulator_[i];
        if (b == STX || b == ACK || b == EOT) {
            start = i;
            found = true;
            break;
        }
    }
    // Bytes before the first frame start can never belong to a frame.
    if (found && start > 0) {
        Accumulator_.erase(Accumulator_.begin(), Accumulator_.begin() + static_cast<std::ptrdiff_t>(start));
        start = 0;
    }

    // The length field is re-read from the frame start on every scan.
    ExpectedLength_ = 0;
    bool decided = binaryMode ? ScanBinary(start, sink) : ScanAscii(start, stationHandshake, sink);
    if (!decided && Accumulator_.size() > AccumulatorLimit) Decided(sink);
}

bool TStreamParser::ScanAscii(std::size_t start, bool stationHandshake, IStreamSink& sink) {
    const auto& a = Accumulator_;
    std::size_t cr = start;
    while (cr < a.size() && a[cr] != CR) ++cr;
    if (cr >= a.size()) return false;

    std::uint8_t first = a[start];
    std::size_t length = cr - start; // bytes before the CR, frame start included
    if ((first == ACK || first == EOT) && length == 3 && stationHandshake) {
        const std::uint8_t reply[] = {ENQ, '2', a[start + 1], a[start + 2], '1', CR};
        sink.ReplyQueued(reply);
    } else if ((first == ACK || first == EOT) && length == 1) {
        const std::uint8_t reply[] = {ENQ, '0', '1', CR};
        sink.ReplyQueued(reply);
    } else if (first == STX) {
        std::size_t chars = length - 1; // between STX and CR
        // Hex pairs plus a two-character checksum; an odd count is not a frame.
        if (chars >= 2 && chars % 2 == 0) {
            std::uint8_t sum = 0;
            for (std::size_t i = start + 1; i < cr - 2; ++i) sum = static_cast<std::uint8_t>(sum + a[i]);
            std::uint8_t given =
                static_cast<std::uint8_t>((HexDigitValue(a[cr - 2]) << 4) + HexDigitValue(a[cr - 1]));
            if (sum == given) {
                std::size_t n = (chars - 1) / 2;
                Decoded_.resize(n);
                for (std::size_t k = 0; k < n; ++k) {
                    Decoded_[k] = static_cast<std::uint8_t>((HexDigitValue(a[start + 1 + 2 * k]) << 4) +
                                                            HexDigitValue(a[start + 2 + 2 * k]));
                }
                // The sink may feed more bytes or clear us: hand over a copy-free view of
                // Decoded_, which only this call writes.
                Clear();
                sink.FrameReceived(Decoded_);
                sink.FrameDecided();
                return true;
            }
        }
    } else if (first == NAK && length == 2) {
        sink.NakReceived();
    }
    Decided(sink);
    return true;
}

bool TStreamParser::ScanBinary(std::size_t start, IStreamSink& sink) {
    const auto& a = Accumulator_;
    for (std::size_t i = start; i < a.size(); ++i) {
        std::uint8_t b = a[i];
        if (b == STX && ExpectedLength_ == 0) {
            if (i + 1 >= a.size()) return false;
            if (a[i + 1] < 3) {
                if (i + 2 >= a.size()) return false;
                ExpectedLength_ = a[i + 1] * 256 + a[i + 2];
                i += 2; // the length bytes may themselves be 0x0D
                continue;
            }
        }
        if (b != CR) continue;
        std::uint8_t first = a[start];
        if ((first == ACK || first == EOT) && start + 1 < a.size() && a[start + 1] == CR &&
            ExpectedLength_ == 0) {
            const std::uint8_t reply[] = {ENQ, 0x01, CR};
            sink.ReplyQueued(reply);
            Decided(sink);
            return true;
        }
        long distance = static_cast<long>(i) - static_cast<long>(start) - 2;
        // The shortest answer (procedure 2: status and echo) has length 4 (two length bytes
        // plus two payload bytes); a lower bound of 5 would never take it.
        if (first == STX && ExpectedLength_ >= 4 && distance == ExpectedLength_) {
            std::uint8_t sum = 0;
            for (std::size_t k = start + 1; k + 1 < i; ++k) sum = static_cast<std::uint8_t>(sum + a[k]);
            bool good = sum == a[i - 1];
            if (good) {
                Decoded_.assign(a.begin() + static_cast<std::ptrdiff_t>(start + 3),
                                a.begin() + static_cast<std::ptrdiff_t>(i - 1));
                Clear();
                sink.FrameReceived(Decoded_);
                sink.FrameDecided();
            } else {
                Decided(sink);
            }
            return true;
        }
        if (ExpectedLength_ == 0 || distance > ExpectedLength_) {
            Decided(sink);
            return true;
        }
        // A CR inside binary data: the length decides.
    }
    return false;
}

} // namespace dravon
