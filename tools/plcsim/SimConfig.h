// Plain records that configure the simulator: how one link talks, which faults to inject
// and which memory to animate. Shared by the library, the program and the tests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace dravon {

enum class TSimFraming : std::uint8_t {
    Switch, // ASCII until the binary-mode switch frame succeeds, then binary as well
    Ascii,  // ASCII only; the binary-mode switch is refused
    Binary, // binary frames understood from the start (ASCII too)
};

// How a link talks. Protocol 1 standard, 2 station number, 3 ethernet (unframed).
struct TSimLinkConfig {
    int Protocol = 3;
    bool MultiDrop = false;
    bool Procedure2 = false;   // no Lump in requests
    bool Handshake = false;    // answer ACK first and the data only after the host's ENQ
    bool NakOnBadFrame = true; // an ASCII frame with a wrong checksum gets NAK "1" CR
    bool IsSerial = false;     // procedure 2 answers carry no Lump on a serial line only
    TSimFraming Framing = TSimFraming::Switch;
    std::uint32_t Lump = 0xFFFF0000u; // answered when the request carried none
    std::vector<int> Stations{
        0}; // the stations reachable on this link; the first one answers without station numbers
};

// Faults; every "Every" value N > 0 hits requests number N, 2N, 3N ... (counted over all links).
struct TSimFaults {
    std::uint32_t LatencyMs = 0;
    std::uint32_t SpikeMs = 0;
    std::uint32_t SpikeEvery = 0;
    std::uint32_t BusyEvery = 0;
    std::uint8_t ErrorStatus = 0;
    std::uint32_t ErrorEvery = 0;
    std::uint32_t DropEvery = 0;
    std::uint32_t SplitChunk = 0;   // answer in pieces of this many bytes
    std::uint32_t SplitDelayMs = 0; // pause between the pieces
    std::uint32_t GarbageBytes = 0; // bytes of noise before the answer
    std::uint32_t GarbageEvery = 0; // 0: before every answer
    std::uint32_t CloseEvery = 0;   // TCP: close the connection instead of answering
    bool RejectExtraByte = false;   // the rejection answer carries one byte too many
    bool RejectWrites = false;      // every random write is rejected (status 1, code 07)
    int OnlyStation = -1;           // >= 0: the faults hit only requests to this station
    int AnswerStation = -1;         // >= 0: answers name this station instead of the one asked
};

enum class TSimAnimationKind : std::uint8_t { Counter, Ramp, Toggle };

struct TSimAnimation {
    TSimAnimationKind Kind = TSimAnimationKind::Counter;
    int Station = 0;
    std::uint8_t Code = 0x0A;
    std::uint32_t Address = 0;
    std::uint32_t PeriodMs = 1000;
    std::uint16_t Step = 1; // ramp: added each period
    std::uint16_t Min = 0;  // ramp: restarts here after passing Max
    std::uint16_t Max = 1000;
};

} // namespace dravon

namespace dravon {

enum class TSimTransportKind : std::uint8_t { Tcp, Udp, Serial };

struct TSimTransportConfig {
    TSimTransportKind Kind = TSimTransportKind::Tcp;
    std::string Address = "127.0.0.1";
    std::uint16_t Port = 3004;   // 0: a free port chosen by the system
    std::string Device;          // serial: empty creates a pseudo-terminal
    std::uint32_t PaceBaud = 0;  // requests and answers take this line rate (10 bits per byte)
    std::uint32_t LineSpeed = 0; // serial: the speed the PLC listens at (0: any)
    TSimLinkConfig Link;
};

} // namespace dravon
