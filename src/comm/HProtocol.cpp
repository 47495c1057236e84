#include "comm/HProtocol.h"

namespace dravon {

namespace {

constexpr char HexDigits[] = "0123456789ABCDEF";

void PutRaw(THFrame& frame, std::uint8_t value) { frame.Bytes.push_back(value); }

} // namespace

std::uint8_t StationBcd(int station) {
    if (station < 0 || station > 31) station = 0;
    return static_cast<std::uint8_t>(((station / 10) << 4) | (station % 10));
}

bool CodeHasHighAddressByte(std::uint8_t code) {
    switch (code) {
    case 0x00:
    case 0x01:
    case 0x03:
    case 0x04:
    case 0x20:
    case 0x30:
    case 0x31: return true;
    default: return false;
    }
}

void BuildHeader(THFrame& frame, const TFrameOptions& options) {
    frame.Bytes.clear();
    frame.Serial = options.Protocol != FrameProtocolEthernet;
    frame.Ascii = frame.Serial && !options.Binary;
    if (frame.Serial) {
        PutRaw(frame, STX);
        if (frame.Ascii) {
            PutRaw(frame, '2');
        } else {
            PutRaw(frame, 0);
            PutRaw(frame, 0);
        }
        if (options.MultiDrop) PutByte(frame, StationBcd(options.Station));
        if (options.TrnsProc) return;
    } else {
        PutByte(frame, 0x00);
        PutByte(frame, options.Sequence);
    }
    for (int shift = 24; shift >= 0; shift -= 8)
        PutByte(frame, static_cast<std::uint8_t>(options.Lump >> shift));
}

void PutByte(THFrame& frame, std::uint8_t value) {
    if (frame.Ascii) {
        PutRaw(frame, static_cast<std::uint8_t>(HexDigits[value >> 4]));
        PutRaw(frame, static_cast<std::uint8_t>(HexDigits[value & 0x0F]));
    } else {
        PutRaw(frame, value);
    }
}

void PutLocation(THFrame& frame, const TWireLocation& location) {
    PutByte(frame, location.Code);
    PutByte(frame,
            CodeHasHighAddressByte(location.Code) ? static_cast<std::uint8_t>(location.Address >> 16) : 0);
    PutByte(frame, static_cast<std::uint8_t>(location.Address >> 8));
    PutByte(frame, static_cast<std::uint8_t>(location.Address));
}

void FinishFrame(THFrame& frame) {
    if (!frame.Serial || frame.Bytes.empty()) return;
    if (!frame.Ascii && frame.Bytes.size() >= 3) {
        std::size_t length = frame.Bytes.size() - 1;
        frame.Bytes[1] = static_cast<std::uint8_t>(length >> 8);
        frame.Bytes[2] = static_cast<std::uint8_t>(length);
    }
    std::uint8_t sum = 0;
    for (std::size_t i = 1; i < frame.Bytes.size(); ++i)
        sum = static_cast<std::uint8_t>(sum + frame.Bytes[i]);
    PutByte(frame, sum);
    PutRaw(frame, CR);
}

void PutBlockRead(THFrame& frame, const TWireLocation& first, std::uint8_t count) {
    PutByte(frame, CmdBlockRead);
    PutLocation(frame, first);
    PutByte(frame, count);
}

void PutRandomRead(THFrame& frame, std::span<const TWireLocation> locations) {
    PutByte(frame, CmdRandomRead);
    PutByte(frame, static_cast<std::uint8_t>(locations.size()));
    for (const auto& location : locations) PutLocation(frame, location);
}

void PutRandomWrite(THFrame& frame, std::span<const TWireWrite> writes) {
    PutByte(frame, CmdRandomWrite);
    PutByte(frame, static_cast<std::uint8_t>(writes.size()));
    for (const auto& write : writes) {
        PutLocation(frame, write.Location);
        PutByte(frame, static_cast<std::uint8_t>(write.Value >> 8));
        PutByte(frame, static_cast<std::uint8_t>(write.Value));
    }
}

const std::vector<std::uint8_t>& ProbeFrame() {
    static const std::vector<std::uint8_t> frame{NAK, '0', 'F', 'F', CR};
    return frame;
}

const std::vector<std::uint8_t>& BinaryModeSwitchFrame() {
    static const std::vector<std::uint8_t> frame{STX, '0', 'F', 'F', 'F', 'F', '0', '0', '0',
                                                 '0', '1', '9', '0', '0', 'D', '2', CR};
    return frame;
}

std::uint8_t HexDigitValue(std::uint8_t c) {
    std::uint8_t digit = static_cast<std::uint8_t>(c - 0x30);
    return digit < 10 ? digit : static_cast<std::uint8_t>(c - 55);
}

int ResponseDataOffset(const TResponseLayout& layout) {
    if (layout.Protocol == FrameProtocolEthernet) return 8;
    int offset = 6;
    if (layout.MultiDrop || layout.Protocol == FrameProtocolStationNumber) offset += 1;
    if (layout.SerialDriver && layout.TrnsProc) offset -= 4;
    return offset;
}

bool SerialHeaderMatches(const TResponseLayout& layout, std::span<const std::uint8_t> payload) {
    auto lumpAt = [&](std::size_t at) {
        if (payload.size() < at + 4) return false;
        std::uint32_t lump = (std::uint32_t{payload[at]} << 24) | (std::uint32_t{payload[at + 1]} << 16) |
                             (std::uint32_t{payload[at + 2]} << 8) | payload[at + 3];
        return lump == layout.Lump;
    };
    if (!layout.TrnsProc) {
        if (layout.MultiDrop || layout.Protocol == FrameProtocolStationNumber) {
            return !payload.empty() && payload[0] == StationBcd(layout.Station) && lumpAt(1);
        }
        return lumpAt(0);
    }
    if (layout.MultiDrop) return !payload.empty() && payload[0] == StationBcd(layout.Station);
    return true;
}

bool IsSuccess(std::uint8_t status, std::uint8_t echo) {
    return status == 0 && (echo == CmdBlockRead || echo == CmdRandomRead || echo == CmdRandomWrite);
}

bool IsRejection(std::span<const std::uint8_t> payload, int dataOffset) {
    if (dataOffset < 2) return false;
    auto d = static_cast<std::size_t>(dataOffset);
    if (payload.size() != d + 1) return false;
    std::uint8_t echo = payload[d - 1];
    return payload[d - 2] == 1 && (echo == CmdBlockRead || echo == CmdRandomRead || echo == CmdRandomWrite) &&
           payload[d] == 0x07;
}

std::size_t BlockDataLength(std::uint32_t span, bool bits) {
    if (span == 0 || span > 0x80000000u) return 0;
    return bits ? (span + 7) / 8 : std::size_t{span} * 2;
}

bool BlockValue(std::span<const std::uint8_t> data, std::uint32_t first, std::uint32_t address, bool bits,
                std::uint16_t& value) {
    if (address < first) return false;
    std::size_t k = address - first;
    if (bits) {
        if (k / 8 >= data.size()) return false;
        value = static_cast<std::uint16_t>((data[k / 8] >> (7 - k % 8)) & 1);
        return true;
    }
    if (2 * k + 1 >= data.size()) return false;
    value = static_cast<std::uint16_t>((data[2 * k] << 8) | data[2 * k + 1]);
    return true;
}

} // namespace dravon
