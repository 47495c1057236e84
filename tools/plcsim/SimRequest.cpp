#include "SimRequest.h"

namespace dravon {

namespace {

TSimLocation LocationAt(const std::uint8_t* p) {
    // The first address byte carries bits 16-23 for every code: L reaches 0x73FFF.
    return {p[0], (static_cast<std::uint32_t>(p[1]) << 16) | (static_cast<std::uint32_t>(p[2]) << 8) | p[3]};
}

} // namespace

TSimParse SimRequestLength(const std::uint8_t* data, std::size_t size, const TSimRequestLayout& layout,
                           std::size_t& length) {
    std::size_t h = layout.HeaderLength();
    if (size <= h) return TSimParse::NeedMore;
    switch (data[h]) {
    case kSimBlockRead: length = h + 6; return size >= length ? TSimParse::Ok : TSimParse::NeedMore;
    case kSimSetBinaryMode: length = h + 2; return size >= length ? TSimParse::Ok : TSimParse::NeedMore;
    case kSimRandomRead:
    case kSimRandomWrite: {
        if (size < h + 2) return TSimParse::NeedMore;
        std::size_t per = data[h] == kSimRandomRead ? 4 : 6;
        if (data[h + 1] == 0) return TSimParse::Malformed;
        length = h + 2 + per * data[h + 1];
        return size >= length ? TSimParse::Ok : TSimParse::NeedMore;
    }
    default: return TSimParse::UnknownCommand;
    }
}

TSimParse ParseSimRequest(const std::uint8_t* data, std::size_t size, const TSimRequestLayout& layout,
                          TSimRequest& request) {
    std::size_t length = 0;
    TSimParse result = SimRequestLength(data, size, layout, length);
    if (result == TSimParse::NeedMore) return TSimParse::Malformed; // a complete payload was promised
    if (result != TSimParse::Ok) return result;
    if (length != size) return TSimParse::Malformed;
    std::size_t pos = 0;
    request.HasStation = false;
    request.HasLump = false;
    if (layout.Ethernet) {
        request.Byte0 = data[0];
        request.Sequence = data[1];
        request.HasLump = true;
        for (int i = 0; i < 4; ++i) request.Lump[static_cast<std::size_t>(i)] = data[2 + i];
        pos = 6;
    } else {
        if (layout.HasStation) {
            request.HasStation = true;
            request.StationByte = data[pos++];
        }
        if (layout.HasLump) {
            request.HasLump = true;
            for (std::size_t i = 0; i < 4; ++i) request.Lump[i] = data[pos + i];
            pos += 4;
        }
    }
    request.Command = data[pos++];
    request.ItemCount = 0;
    switch (request.Command) {
    case kSimBlockRead:
        request.First = LocationAt(data + pos);
        request.Count = data[pos + 4];
        break;
    case kSimSetBinaryMode: request.Parameter = data[pos]; break;
    default: {
        std::size_t n = data[pos++];
        bool write = request.Command == kSimRandomWrite;
        for (std::size_t i = 0; i < n; ++i) {
            request.Items[i] = LocationAt(data + pos);
            pos += 4;
            if (write) {
                request.Values[i] = static_cast<std::uint16_t>((data[pos] << 8) | data[pos + 1]);
                pos += 2;
            }
        }
        request.ItemCount = n;
        break;
    }
    }
    return TSimParse::Ok;
}

bool SimStationFromBcd(std::uint8_t bcd, int& station) {
    int high = bcd >> 4, low = bcd & 0x0F;
    if (high > 9 || low > 9) return false;
    station = high * 10 + low;
    return true;
}

std::uint8_t SimStationToBcd(int station) {
    if (station < 0 || station > 99) return 0;
    return static_cast<std::uint8_t>(((station / 10) << 4) | (station % 10));
}

} // namespace dravon
