// A request as the PLC receives it, and the parser of its payload (the bytes between the
// framing, or the whole datagram/stream piece for the ethernet variant).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace dravon {

struct TSimLocation {
    std::uint8_t Code = 0;
    std::uint32_t Address = 0;
};

enum class TSimParse : std::uint8_t { Ok, NeedMore, Malformed, UnknownCommand };

constexpr std::uint8_t kSimBlockRead = 0xA0;
constexpr std::uint8_t kSimRandomRead = 0xA4;
constexpr std::uint8_t kSimRandomWrite = 0xA5;
constexpr std::uint8_t kSimSetBinaryMode = 0x19;
constexpr std::size_t kSimMaxItems = 255;

struct TSimRequest {
    bool HasStation = false;
    std::uint8_t StationByte = 0; // BCD as sent
    bool HasLump = false;
    std::array<std::uint8_t, 4> Lump{};
    std::uint8_t Byte0 = 0;    // ethernet: first header byte, echoed
    std::uint8_t Sequence = 0; // ethernet: sequence number, echoed
    std::uint8_t Command = 0;
    TSimLocation First;         // BlockRead
    std::uint8_t Count = 0;     // BlockRead
    std::uint8_t Parameter = 0; // SetBinaryMode
    std::size_t ItemCount = 0;  // RandomRead / RandomWrite
    std::array<TSimLocation, kSimMaxItems> Items{};
    std::array<std::uint16_t, kSimMaxItems> Values{};
};

// Header layout of a serial-format request: [station if multidrop] [Lump unless procedure 2].
struct TSimRequestLayout {
    bool Ethernet = false;
    bool HasStation = false;
    bool HasLump = true;
    std::size_t HeaderLength() const { return Ethernet ? 6 : (HasStation ? 1 : 0) + (HasLump ? 4 : 0); }
};

// Parses one complete payload; the length must match the command exactly.
TSimParse ParseSimRequest(const std::uint8_t* data, std::size_t size, const TSimRequestLayout& layout,
                          TSimRequest& request);

// Ethernet requests on a stream carry no length: the length follows from the command.
// Returns NeedMore until the whole request is there; Malformed for an unknown command.
TSimParse SimRequestLength(const std::uint8_t* data, std::size_t size, const TSimRequestLayout& layout,
                           std::size_t& length);

// Station numbers are sent in BCD; false for a byte that is not BCD.
bool SimStationFromBcd(std::uint8_t bcd, int& station);
std::uint8_t SimStationToBcd(int station);

} // namespace dravon
