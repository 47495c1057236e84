#include "SoakSchedule.h"

#include <algorithm>

namespace dravon::soak {

namespace {

constexpr std::uint32_t PhaseMs = 4000;
constexpr std::uint32_t GapMs = 1000;
// After power returns: reconnection and a few good passes before the next fault.
constexpr std::uint32_t OutageGapMs = 3000;
constexpr std::uint32_t OutageSpareMs = 3000;
// Silence after which a link counts as timed out, beyond the PLC's own time-out.
constexpr std::uint32_t EthernetSilenceMs = 2000;
constexpr std::uint32_t SerialSilenceMs = 5000;

} // namespace

const char* FaultKindName(TFaultKind kind) {
    // In the order of TFaultKind.
    static const char* const names[FaultKindCount] = {"latency spike",     "BUSY",         "error status",
                                                      "dropped answer",    "split answer", "garbage bytes",
                                                      "closed connection", "PLC off"};
    return names[static_cast<int>(kind)];
}

std::vector<TFaultKind> FaultKindsFor(TSimTransportKind transport) {
    std::vector<TFaultKind> kinds{TFaultKind::Spike, TFaultKind::ErrorStatus, TFaultKind::Drop,
                                  TFaultKind::Garbage};
    // A datagram arrives whole or not at all: split answers exist on streams only.
    if (transport != TSimTransportKind::Udp) kinds.insert(kinds.begin() + 3, TFaultKind::Split);
    if (transport == TSimTransportKind::Tcp)
        kinds.push_back(TFaultKind::Close);
    else
        kinds.insert(kinds.begin() + 1, TFaultKind::Busy);
    return kinds;
}

std::uint32_t OutageMs(const TSoakPlcSetup& plc) {
    const std::uint32_t silence =
        plc.Transport == TSimTransportKind::Serial ? SerialSilenceMs : EthernetSilenceMs;
    return static_cast<std::uint32_t>(plc.TimeOut) + silence + OutageSpareMs;
}

TSimFaults FaultSettings(TFaultKind kind, const TSoakPlcSetup& plc) {
    TSimFaults f;
    const bool serial = plc.Transport == TSimTransportKind::Serial;
    switch (kind) {
    case TFaultKind::Spike:
        // Ethernet answers carry a sequence number, so an answer later than the time-out
        // must be recognised as stale; a serial answer has nothing of the kind, so its
        // spikes stay inside the time-out.
        f.SpikeMs = serial ? static_cast<std::uint32_t>(plc.TimeOut) / 2
                           : static_cast<std::uint32_t>(plc.TimeOut) * 3 / 2;
        f.SpikeEvery = 5;
        break;
    case TFaultKind::Busy: f.BusyEvery = 6; break;
    case TFaultKind::ErrorStatus:
        f.ErrorStatus = 0x17;
        f.ErrorEvery = 5;
        break;
    case TFaultKind::Drop: f.DropEvery = 6; break;
    case TFaultKind::Split:
        f.SplitChunk = 3;
        f.SplitDelayMs = serial ? 20 : 5;
        break;
    case TFaultKind::Garbage:
        f.GarbageBytes = 9;
        f.GarbageEvery = 3;
        break;
    case TFaultKind::Close: f.CloseEvery = 7; break;
    case TFaultKind::Outage: break;
    }
    return f;
}

std::vector<TFaultPhase> PlanFaults(const std::vector<TSoakPlcSetup>& plcs, std::uint32_t startMs,
                                    std::uint32_t endMs) {
    std::vector<TFaultPhase> plan;
    for (std::size_t p = 0; p < plcs.size(); ++p) {
        std::vector<TFaultKind> kinds = FaultKindsFor(plcs[p].Transport);
        // Each PLC starts elsewhere in its list, so that a short run still sees every kind.
        std::rotate(kinds.begin(), kinds.begin() + static_cast<std::ptrdiff_t>((2 * p) % kinds.size()),
                    kinds.end());
        const std::size_t at = std::min(p, kinds.size());
        kinds.insert(kinds.begin() + static_cast<std::ptrdiff_t>(at), TFaultKind::Outage);
        std::uint32_t t = startMs;
        for (std::size_t k = 0;; k = (k + 1) % kinds.size()) {
            const TFaultKind kind = kinds[k];
            const bool outage = kind == TFaultKind::Outage;
            const std::uint32_t length = outage ? OutageMs(plcs[p]) : PhaseMs;
            const std::uint32_t gap = outage ? OutageGapMs : GapMs;
            if (t + length + gap > endMs) break;
            plan.push_back({static_cast<int>(p), kind, t, t + length});
            t += length + gap;
        }
    }
    std::stable_sort(plan.begin(), plan.end(),
                     [](const TFaultPhase& a, const TFaultPhase& b) { return a.StartMs < b.StartMs; });
    return plan;
}

} // namespace dravon::soak
