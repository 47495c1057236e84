#include "SimSession.h"

#include <algorithm>
#include <array>

namespace dravon {

namespace {

constexpr std::uint8_t STX = 0x02;
constexpr std::uint8_t ENQ = 0x05;
constexpr std::uint8_t ACK = 0x06;
constexpr std::uint8_t CR = 0x0D;
constexpr std::uint8_t NAK = 0x15;
constexpr std::size_t kMaxBinaryLength = 2500;
constexpr std::array<std::uint8_t, 5> kProbe{NAK, '0', 'F', 'F', CR};
// Noise that holds none of the bytes a frame starts or ends with.
constexpr std::array<std::uint8_t, 4> kGarbage{0xFF, 0x3F, 0xA5, 0x5A};

char HexDigit(int v) { return static_cast<char>(v < 10 ? '0' + v : 'A' + v - 10); }

int HexValue(std::uint8_t c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

void PutHex(std::vector<std::uint8_t>& out, std::uint8_t byte) {
    out.push_back(static_cast<std::uint8_t>(HexDigit(byte >> 4)));
    out.push_back(static_cast<std::uint8_t>(HexDigit(byte & 0x0F)));
}

} // namespace

TSimSession::TSimSession(const TSimLinkConfig& link) : Link_(link) {
    Binary_ = Link_.Framing == TSimFraming::Binary;
    Acc_.reserve(kMaxAccumulated);
    Frame_.reserve(kMaxAccumulated);
    Answer_.reserve(kMaxAccumulated);
}

void TSimSession::Reset() {
    Acc_.clear();
    HasPending_ = false;
}

void TSimSession::Receive(const std::uint8_t* data, std::size_t size, TSimEngine& engine, TSimOutput& out) {
    Acc_.insert(Acc_.end(), data, data + size);
    if (Link_.Protocol == 3) {
        ProcessEthernet(engine, out);
    } else {
        ProcessSerialFormat(engine, out);
    }
    if (Acc_.size() > kMaxAccumulated) {
        // No frame is this long: the stream is noise; start over with the next bytes.
        ++engine.Stats().BadFrames;
        Acc_.clear();
    }
}

void TSimSession::ProcessEthernet(TSimEngine& engine, TSimOutput& out) {
    TSimRequestLayout layout{true, false, true};
    std::size_t offset = 0;
    while (offset < Acc_.size()) {
        std::size_t length = 0;
        TSimParse r = SimRequestLength(Acc_.data() + offset, Acc_.size() - offset, layout, length);
        if (r == TSimParse::NeedMore) break;
        if (r != TSimParse::Ok) {
            ++engine.Stats().BadFrames;
            offset = Acc_.size();
            break;
        }
        HandlePayload(Acc_.data() + offset, length, TFrameKind::Ethernet, engine, out);
        offset += length;
    }
    Acc_.erase(Acc_.begin(), Acc_.begin() + static_cast<std::ptrdiff_t>(offset));
}

void TSimSession::ProcessSerialFormat(TSimEngine& engine, TSimOutput& out) {
    std::size_t pos = 0;
    for (;;) {
        while (pos < Acc_.size() && Acc_[pos] != STX && Acc_[pos] != ENQ && Acc_[pos] != NAK) ++pos;
        if (pos >= Acc_.size()) break;
        const std::uint8_t* f = Acc_.data() + pos;
        std::size_t avail = Acc_.size() - pos;
        if (f[0] == STX) {
            if (avail < 2) break;
            if (f[1] < 3) {
                // Binary: the length field (the two length bytes plus the payload) decides
                // where the frame ends, so a 0x0D inside the data is just data.
                if (avail < 3) break;
                std::size_t length = (static_cast<std::size_t>(f[1]) << 8) | f[2];
                if (length < 3 || length > kMaxBinaryLength) {
                    ++engine.Stats().BadFrames;
                    pos += 1;
                    continue;
                }
                std::size_t total = length + 3;
                if (avail < total) break;
                if (f[total - 1] != CR) {
                    ++engine.Stats().BadFrames;
                    pos += 1;
                    continue;
                }
                std::uint8_t sum = 0;
                for (std::size_t i = 1; i <= length; ++i) sum = static_cast<std::uint8_t>(sum + f[i]);
                bool understood =
                    Link_.Framing == TSimFraming::Binary || (Link_.Framing == TSimFraming::Switch && Binary_);
                if (sum != f[length + 1] || !understood) {
                    ++engine.Stats().BadFrames;
                } else {
                    Payload_.assign(f + 3, f + 3 + (length - 2));
                    HandlePayload(Payload_.data(), Payload_.size(), TFrameKind::Binary, engine, out);
                }
                pos += total;
                continue;
            }
        }
        const std::uint8_t* cr = std::find(f + 1, f + avail, CR);
        if (cr == f + avail) break;
        std::size_t frameLength = static_cast<std::size_t>(cr - f) + 1;
        if (f[0] == ENQ) {
            HandleEnquiry(f, frameLength, engine, out);
        } else if (f[0] == NAK) {
            if (frameLength == kProbe.size() && std::equal(kProbe.begin(), kProbe.end(), f)) {
                // The host probes after a reset: the port starts over in ASCII.
                ++engine.Stats().Probes;
                if (Link_.Framing == TSimFraming::Switch) Binary_ = false;
                HasPending_ = false;
            }
        } else {
            // ASCII: STX, mode character, hexadecimal payload, two checksum characters, CR.
            std::size_t chars = frameLength - 2;
            bool ok = chars >= 3 && (chars - 3) % 2 == 0;
            if (ok) {
                std::uint8_t sum = 0;
                for (std::size_t i = 1; i < chars - 1; ++i) sum = static_cast<std::uint8_t>(sum + f[i]);
                int hi = HexValue(f[chars - 1]), lo = HexValue(f[chars]);
                ok = hi >= 0 && lo >= 0 && ((hi << 4) | lo) == sum;
            }
            if (ok) {
                Payload_.clear();
                for (std::size_t i = 2; i + 1 < chars - 1; i += 2) {
                    int hi = HexValue(f[i]), lo = HexValue(f[i + 1]);
                    if (hi < 0 || lo < 0) {
                        ok = false;
                        break;
                    }
                    Payload_.push_back(static_cast<std::uint8_t>((hi << 4) | lo));
                }
            }
            if (ok) {
                HandlePayload(Payload_.data(), Payload_.size(), TFrameKind::Ascii, engine, out);
            } else {
                ++engine.Stats().BadFrames;
                if (Link_.NakOnBadFrame) Nak(out);
            }
        }
        pos += frameLength;
    }
    Acc_.erase(Acc_.begin(), Acc_.begin() + static_cast<std::ptrdiff_t>(std::min(pos, Acc_.size())));
}

void TSimSession::Nak(TSimOutput& out) {
    static constexpr std::array<std::uint8_t, 3> kNak{NAK, '1', CR};
    out.Add(kNak.data(), kNak.size(), 0);
}

void TSimSession::HandlePayload(const std::uint8_t* data, std::size_t size, TFrameKind kind,
                                TSimEngine& engine, TSimOutput& out) {
    TSimRequestLayout layout;
    layout.Ethernet = kind == TFrameKind::Ethernet;
    layout.HasStation = !layout.Ethernet && Link_.MultiDrop;
    layout.HasLump = layout.Ethernet || !Link_.Procedure2;
    if (ParseSimRequest(data, size, layout, Request_) != TSimParse::Ok) {
        ++engine.Stats().BadFrames;
        return;
    }
    int station = Link_.Stations.empty() ? 0 : Link_.Stations.front();
    if (Request_.HasStation) {
        int asked = -1;
        if (!SimStationFromBcd(Request_.StationByte, asked) ||
            std::find(Link_.Stations.begin(), Link_.Stations.end(), asked) == Link_.Stations.end()) {
            ++engine.Stats().OtherStations; // another PLC on the bus answers that
            return;
        }
        station = asked;
    }
    TSimDecision decision = engine.Execute(Request_, station, Link_, Answer_);
    if (decision.Action == TSimAction::Close) {
        out.Close = true;
        return;
    }
    if (decision.Action == TSimAction::Drop) return;

    Frame_.clear();
    if (kind == TFrameKind::Ethernet) {
        Frame_.insert(Frame_.end(), Answer_.begin(), Answer_.end());
    } else if (kind == TFrameKind::Ascii) {
        Frame_.push_back(STX);
        for (std::uint8_t b : Answer_) PutHex(Frame_, b);
        std::uint8_t sum = 0;
        for (std::size_t i = 1; i < Frame_.size(); ++i) sum = static_cast<std::uint8_t>(sum + Frame_[i]);
        PutHex(Frame_, sum);
        Frame_.push_back(CR);
    } else {
        std::size_t length = Answer_.size() + 2;
        Frame_.push_back(STX);
        Frame_.push_back(static_cast<std::uint8_t>(length >> 8));
        Frame_.push_back(static_cast<std::uint8_t>(length & 0xFF));
        Frame_.insert(Frame_.end(), Answer_.begin(), Answer_.end());
        std::uint8_t sum = 0;
        for (std::size_t i = 1; i < Frame_.size(); ++i) sum = static_cast<std::uint8_t>(sum + Frame_[i]);
        Frame_.push_back(sum);
        Frame_.push_back(CR);
    }
    std::size_t statusAt = Answer_.size() >= 2 ? Answer_.size() - 2 : 0;
    if (Request_.Command == kSimSetBinaryMode && Answer_.size() >= 2 && Answer_[statusAt] == 0 &&
        Link_.Framing != TSimFraming::Ascii) {
        Binary_ = true; // the answer itself still goes out in the framing of the switch frame
    }

    if (Link_.Handshake && kind != TFrameKind::Ethernet) {
        // Procedure with handshake: acknowledge now, hand the data over on the host's ENQ.
        Pending_ = Frame_;
        PendingDecision_ = decision;
        PendingStationBcd_ = SimStationToBcd(station);
        HasPending_ = true;
        Staging_.clear();
        Staging_.push_back(ACK);
        if (kind == TFrameKind::Ascii && Link_.MultiDrop) PutHex(Staging_, PendingStationBcd_);
        Staging_.push_back(CR);
        out.Add(Staging_.data(), Staging_.size(), 0);
        return;
    }
    Emit(Frame_, decision, out);
}

void TSimSession::HandleEnquiry(const std::uint8_t* f, std::size_t size, TSimEngine& engine,
                                TSimOutput& out) {
    ++engine.Stats().Enquiries;
    if (!HasPending_) return;
    bool matches = false;
    if (size == 3 && f[1] == 0x01) {
        matches = true; // binary
    } else if (size == 4 && f[1] == '0' && f[2] == '1') {
        matches = !Link_.MultiDrop;
    } else if (size == 6 && f[1] == '2' && f[4] == '1') {
        matches =
            HexValue(f[2]) == (PendingStationBcd_ >> 4) && HexValue(f[3]) == (PendingStationBcd_ & 0x0F);
    }
    if (!matches) return;
    HasPending_ = false;
    Emit(Pending_, PendingDecision_, out);
}

void TSimSession::Emit(const std::vector<std::uint8_t>& frame, const TSimDecision& decision,
                       TSimOutput& out) {
    const std::vector<std::uint8_t>* bytes = &frame;
    if (decision.GarbageBytes > 0) {
        Staging_.clear();
        for (std::uint32_t i = 0; i < decision.GarbageBytes; ++i)
            Staging_.push_back(kGarbage[i % kGarbage.size()]);
        Staging_.insert(Staging_.end(), frame.begin(), frame.end());
        bytes = &Staging_;
    }
    std::size_t chunk = decision.SplitChunk > 0 ? decision.SplitChunk : bytes->size();
    std::uint32_t delay = decision.DelayMs;
    for (std::size_t at = 0; at < bytes->size(); at += chunk) {
        std::size_t n = std::min(chunk, bytes->size() - at);
        out.Add(bytes->data() + at, n, delay);
        delay = decision.SplitDelayMs;
    }
}

} // namespace dravon
