// The fault plan of a soak run: for every PLC a sequence of fault phases, each followed
// by a quiet gap, inside the fault window. Pure and deterministic, so the plan of a run
// can be printed and reasoned about before it starts.
#pragma once

#include "SimConfig.h"

#include <cstdint>
#include <string>
#include <vector>

namespace dravon::soak {

enum class TFaultKind : std::uint8_t { Spike, Busy, ErrorStatus, Drop, Split, Garbage, Close, Outage };
inline constexpr int FaultKindCount = 8;

const char* FaultKindName(TFaultKind kind);

struct TSoakPlcSetup {
    std::string Name;
    TSimTransportKind Transport = TSimTransportKind::Tcp;
    int TimeOut = 1000; // ms, as stored for the PLC
};

struct TFaultPhase {
    int Plc = 0;
    TFaultKind Kind = TFaultKind::Spike;
    std::uint32_t StartMs = 0; // from the start of the run
    std::uint32_t EndMs = 0;   // faults cleared / power back on
};

// The kinds a PLC on this transport gets. A BUSY answer over TCP makes the driver back
// off for 40 s by design, which would only idle a TCP PLC for most of a short run, so
// BUSY goes to the UDP (retried) and serial links; closing applies to TCP only, split
// answers to the streams (TCP, serial).
std::vector<TFaultKind> FaultKindsFor(TSimTransportKind transport);

// How long the PLC stays switched off: longer than it takes to declare it timed out
// (time-out plus the silence margin of its link) with room to spare.
std::uint32_t OutageMs(const TSoakPlcSetup& plc);

// The simulator settings of one phase (the outage is a power switch, not a setting).
TSimFaults FaultSettings(TFaultKind kind, const TSoakPlcSetup& plc);

// Phases for every PLC inside [startMs, endMs); the outage comes at position p of PLC p's
// sequence, so that short runs still switch every kind of link off once.
std::vector<TFaultPhase> PlanFaults(const std::vector<TSoakPlcSetup>& plcs, std::uint32_t startMs,
                                    std::uint32_t endMs);

} // namespace dravon::soak
