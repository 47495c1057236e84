// H-protocol frames: building requests for the three protocol variants in ASCII and
// binary serial framing (or bare ethernet payloads), and checking and decoding answers.
// Pure functions over bytes: no timers, sockets or driver state.
//
//   serial ASCII : STX '2' hex(payload) hex(sum) CR        sum over the characters after STX
//   serial binary: STX len_hi len_lo payload sum CR        len = 2 + payload, sum over len+payload
//   ethernet     : payload                                  no start, length, sum or end
//
// Payload of a request = header (station BCD / Lump, or 00 seq Lump) + command + parameters.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace dravon {

// Every message buffer (request, answer, a received chunk) holds at most this many bytes.
inline constexpr std::size_t MessageBufferSize = 2500;

inline constexpr std::uint8_t STX = 0x02;
inline constexpr std::uint8_t EOT = 0x04;
inline constexpr std::uint8_t ACK = 0x06;
inline constexpr std::uint8_t CR = 0x0D;
inline constexpr std::uint8_t NAK = 0x15;
inline constexpr std::uint8_t ENQ = 0x05;

inline constexpr std::uint8_t CmdBlockRead = 0xA0;
inline constexpr std::uint8_t CmdRandomRead = 0xA4;
inline constexpr std::uint8_t CmdRandomWrite = 0xA5;
inline constexpr std::uint8_t CmdSetBinaryMode = 0x19;

// Protocol numbers as in THitachiPLC::ProtocolType (plc/HitachiPLC.h): 1 standard,
// 2 station number, 3 ethernet H-protocol.
inline constexpr int FrameProtocolStandard = 1;
inline constexpr int FrameProtocolStationNumber = 2;
inline constexpr int FrameProtocolEthernet = 3;
inline constexpr std::uint32_t FrameDefaultLump = 0xFFFF0000u;

// What the header of a request (and the check of its answer) depends on.
struct TFrameOptions {
    int Protocol = FrameProtocolStandard;
    bool Binary = false;    // serial-format binary framing (ignored for protocol 3)
    bool MultiDrop = false; // the PLC's port setting
    bool TrnsProc = false;  // transmission procedure 2: no Lump in serial-format requests
    int Station = 0;        // SerialStatNo
    std::uint32_t Lump = FrameDefaultLump;
    std::uint8_t Sequence = 0; // ethernet only
};

// One PLC location as it goes on the wire.
struct TWireLocation {
    std::uint8_t Code = 0;
    std::uint32_t Address = 0;
};

struct TWireWrite {
    TWireLocation Location;
    std::uint16_t Value = 0;
};

// A frame under construction.
struct THFrame {
    std::vector<std::uint8_t> Bytes;
    bool Ascii = false;  // payload bytes go as two uppercase hex characters
    bool Serial = false; // STX/length/checksum/CR framing (protocols 1 and 2)
};

// Station number as one BCD byte; values outside 0..31 are sent as 0.
std::uint8_t StationBcd(int station);
// Whether the first address byte carries bits 16-23 for this memory-type code. L (0x03)
// is included: its addresses reach 0x73FFF and would otherwise alias L0000-LFFFF.
bool CodeHasHighAddressByte(std::uint8_t code);

// Starts a frame: framing start (serial format) and the payload header.
void BuildHeader(THFrame& frame, const TFrameOptions& options);
// One payload byte: two uppercase hex characters in ASCII mode, else raw.
void PutByte(THFrame& frame, std::uint8_t value);
// Code + three address bytes.
void PutLocation(THFrame& frame, const TWireLocation& location);
// Serial format: length field (binary), checksum and CR. Ethernet: nothing.
void FinishFrame(THFrame& frame);

void PutBlockRead(THFrame& frame, const TWireLocation& first, std::uint8_t count);
void PutRandomRead(THFrame& frame, std::span<const TWireLocation> locations);
void PutRandomWrite(THFrame& frame, std::span<const TWireWrite> writes);

// The two fixed control frames of the serial transport.
const std::vector<std::uint8_t>& ProbeFrame();            // 15 30 46 46 0D
const std::vector<std::uint8_t>& BinaryModeSwitchFrame(); // 02 "0FFFF00001900D2" 0D

// Hex character value as the PLC side encodes it (uppercase only).
std::uint8_t HexDigitValue(std::uint8_t c);

// ---- answers ----

// How an answer of the link is laid out and checked.
struct TResponseLayout {
    int Protocol = FrameProtocolStandard; // the driver's protocol
    bool SerialDriver = false;
    bool MultiDrop = false;
    bool TrnsProc = false;
    int Station = 0;
    std::uint32_t Lump = FrameDefaultLump;
};

// Data offset D: 8 for protocol 3; 6 (+1 with a station number) for protocols 1 and 2,
// minus 4 on a serial driver with procedure 2. Status at D-2, echo at D-1.
int ResponseDataOffset(const TResponseLayout& layout);
// Serial-format header check (station BCD and Lump as the PLC echoes them). False: the
// answer belongs to another station (or is too short to tell).
bool SerialHeaderMatches(const TResponseLayout& layout, std::span<const std::uint8_t> payload);

// Status 0 with a read/write echo.
bool IsSuccess(std::uint8_t status, std::uint8_t echo);
// Status 1, read/write echo, exactly one data byte 0x07.
bool IsRejection(std::span<const std::uint8_t> payload, int dataOffset);

// Expected data bytes of a block read answer: 2 per word, or the bits rounded up to
// bytes; 0 when the span is not positive.
std::size_t BlockDataLength(std::uint32_t span, bool bits);
// Value of the location at address `address` in a block read answer starting at `first`.
// Returns false when the data does not hold it.
bool BlockValue(std::span<const std::uint8_t> data, std::uint32_t first, std::uint32_t address, bool bits,
                std::uint16_t& value);

} // namespace dravon
