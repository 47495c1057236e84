// The soak's own bookkeeping: a checker that cannot fail proves nothing, so each thing the
// ledger must refuse is a row (lost and older writes, values from elsewhere or never
// written, stale values also after the serials wrapped); the fault plan keeps its phases
// apart, inside the window and on the links that can take them.
#include "SoakLedger.h"
#include "SoakSchedule.h"

#include <gtest/gtest.h>

#include <map>
#include <optional>

namespace dravon::soak {
namespace {

// One step on a ledger of two words A (index 0) and B (index 1); values are named by the
// word whose index they carry and their write number.
struct TStep {
    enum TOp : std::uint8_t { Write, Make, Confirm, Refuse, See, Plc } Op;
    int Word;
    std::uint32_t N = 0; // Write, Make (a value the server did not take): how many; otherwise: write number
    int Of = -1;         // the word whose value it is (-1: Word)
    std::optional<std::uint32_t> Floor = std::nullopt;
};
// W(word, n) writes n values, Make(word, n) makes n the server does not take, C and R
// confirm and refuse write n, See sees it (with the floor of its request), P puts it in
// the PLC; of: another word whose value it is.
TStep W(int w, std::uint32_t n) { return {TStep::Write, w, n}; }
TStep Make(int w, std::uint32_t n) { return {TStep::Make, w, n}; }
TStep C(int w, std::uint32_t n) { return {TStep::Confirm, w, n}; }
TStep R(int w, std::uint32_t n) { return {TStep::Refuse, w, n}; }
TStep See(int w, std::uint32_t n, std::optional<std::uint32_t> floor = {}, int of = -1) {
    return {TStep::See, w, n, of, floor};
}
TStep P(int w, std::uint32_t n, int of = -1) { return {TStep::Plc, w, n, of}; }
struct TLedgerRow {
    const char* Name;
    std::vector<TStep> Steps;
    std::vector<std::string> Faults;
};

TEST(SoakLedger, RefusesWhatARunMustNotShow) {
    const TLedgerRow rows[] = {
        {"untouched, seen and last written pass",
         {W(0, 2), See(0, 0, 0), See(0, 1, 0), See(1, 0), P(0, 2)},
         {}},
        {"an older write winning",
         {W(0, 2), P(0, 1)},
         {"TcpA.WR0100 holds 0x0000 in the PLC, but the last write it kept was 0x0001"}},
        {"a write that never arrived",
         {W(0, 1), P(0, 0)},
         {"TcpA.WR0100 holds 0x01FF in the PLC, but the last write it kept was 0x0000"}},
        {"values of another word, never written and never taken",
         {W(0, 1), W(1, 1), Make(0, 1), See(0, 1, {}, 1), See(0, 7), See(0, 2, 0), P(1, 1), P(0, 1, 1)},
         {"TcpA.WR0100 showed 0x0200, a value it was never given",
          "TcpA.WR0100 showed 0x0006, a value it was never given",
          "TcpA.WR0100 showed 0x0001, a value it was never given",
          "TcpA.WR0100 holds 0x0200 in the PLC, a value it was never given"}},
        {"a value older than one the PLC held when the read went out",
         {W(0, 3), P(0, 3), C(0, 3), See(0, 2, 3), See(0, 3, 3), P(0, 3)},
         {"TcpA.WR0100 showed 0x0001 (write 2) after write 3 had reached the PLC: a stale value"}},
        // 1200 writes wrap the serials twice: write 700 and write 189 share a value.
        {"a stale value after the serials wrapped",
         {W(0, 1200), P(0, 1100), C(0, 1100), See(0, 700, 1100), See(0, 1200, 1100), P(0, 1200)},
         {"TcpA.WR0100 showed 0x00BC (write 700) after write 1100 had reached the PLC: a stale value"}},
        {"more writes beyond the PLC's than the values tell apart",
         {W(0, 600), See(0, 600, 0), P(0, 600)},
         {"TcpA.WR0100 had 600 writes beyond the one the PLC holds: more than its values tell apart"}},
        // Write 1 and write 512 share a value: 511 beyond the floor is one too many.
        {"as many writes beyond the PLC's as there are values",
         {W(0, 1), P(0, 1), C(0, 1), W(0, 511), See(0, 512, 1), P(0, 512)},
         {"TcpA.WR0100 had 511 writes beyond the one the PLC holds: more than its values tell apart"}},
        {"a refused write is not the final value",
         {W(0, 2), P(0, 1), C(0, 1), R(0, 2), P(0, 2)},
         {"TcpA.WR0100 holds 0x0001 in the PLC, but the last write it kept was 0x0000"}},
        {"a refused last write leaves the one before", {W(0, 2), P(0, 1), C(0, 1), R(0, 2), P(0, 1)}, {}},
        {"every write refused leaves the initial value", {W(0, 1), R(0, 1), P(0, 0)}, {}},
        // Write 512 takes the value of refused write 1: its refusal is forgotten.
        {"a refusal does not outlive its serial", {W(0, 1), R(0, 1), W(0, 511), P(0, 512)}, {}},
        {"a confirmation the PLC does not show",
         {W(0, 2), P(0, 1), C(0, 2), P(0, 2)},
         {"TcpA.WR0100 holds 0x0000 in the PLC although write 2 was confirmed"}},
    };
    for (const TLedgerRow& row : rows) {
        SCOPED_TRACE(row.Name);
        TSoakLedger ledger;
        ASSERT_EQ(ledger.Add("TcpA.WR0100"), 0);
        ASSERT_EQ(ledger.Add("TcpA.WR0101"), 1);
        ASSERT_EQ(ledger.Add("TcpA.WR0100"), 0);
        std::map<int, std::uint16_t> plc{{0, TSoakLedger::InitialValue(0)},
                                         {1, TSoakLedger::InitialValue(1)}};
        ledger.Plc = [&](int index) { return plc.at(index); };
        for (const TStep& s : row.Steps) {
            const std::uint16_t value = TSoakLedger::ValueOf(s.Of < 0 ? s.Word : s.Of, s.N);
            switch (s.Op) {
            case TStep::Write:
                for (std::uint32_t i = 0; i < s.N; ++i) ledger.Given(s.Word, ledger.NextValue(s.Word));
                break;
            case TStep::Make: ledger.NextValue(s.Word); break;
            case TStep::Confirm: ledger.Confirmed(s.Word, value); break;
            case TStep::Refuse: ledger.Refused(s.Word, value); break;
            case TStep::See: ledger.Observed(s.Word, value, s.Floor); break;
            case TStep::Plc: plc[s.Word] = value; break;
            }
        }
        EXPECT_EQ(ledger.Check([&](int index) { return plc.at(index); }), row.Faults);
    }
}

TEST(SoakLedger, ClientsThatDidTooLittleAreFaults) {
    // One of each per 2 s of the run.
    EXPECT_EQ(CheckActivity({{"Soak1", 10, 10, 10}, {"SoakUa1", 10, 9, 11}}, 20),
              (std::vector<std::string>{"SoakUa1 did too little: 9 values read (at least 10)"}));
    EXPECT_EQ(CheckActivity({{"Soak2", 0, 12, 12}}, 3),
              (std::vector<std::string>{"Soak2 did too little: 0 confirmed writes (at least 1)"}));
    EXPECT_EQ(CheckActivity({{"Honest1", 30, 30, 29}}, 60),
              (std::vector<std::string>{"Honest1 did too little: 29 values notified (at least 30)"}));
}

TEST(SoakSchedule, PhasesOfAPlcNeverOverlapStayInTheWindowAndEveryLinkGoesOffOnce) {
    using K = TFaultKind;
    using L = TSimTransportKind;
    const std::vector<TSoakPlcSetup> plcs{
        {"A", L::Tcp, 1000}, {"B", L::Tcp, 1000}, {"C", L::Udp, 1000}, {"D", L::Serial, 1000}};
    // The window of the 60 s run.
    const auto plan = PlanFaults(plcs, 10000, 45000);
    std::map<int, std::uint32_t> freeFrom;
    std::map<int, int> outages;
    std::map<TFaultKind, int> kinds;
    // BUSY makes a TCP driver back off for 40 s; a datagram is never split; only TCP closes.
    auto allowed = [](K kind, L link) {
        return !(kind == K::Busy && link == L::Tcp) && !(kind == K::Split && link == L::Udp) &&
               !(kind == K::Close && link != L::Tcp);
    };
    for (L link : {L::Tcp, L::Udp, L::Serial})
        for (K kind : FaultKindsFor(link)) EXPECT_TRUE(allowed(kind, link)) << FaultKindName(kind);
    for (std::size_t i = 0; i < plan.size(); ++i) {
        SCOPED_TRACE(i);
        const TFaultPhase& p = plan[i];
        const L link = plcs[static_cast<std::size_t>(p.Plc)].Transport;
        const bool serial = link == L::Serial;
        // In order, in the window, after a quiet gap since the PLC's previous phase.
        EXPECT_TRUE((i == 0 || p.StartMs >= plan[i - 1].StartMs) && p.StartMs >= 10000u && p.EndMs < 45000u &&
                    p.StartMs > freeFrom[p.Plc]);
        EXPECT_TRUE(allowed(p.Kind, link));
        // Spikes go beyond the time-out except on serial lines, whose late answer would pass
        // for the next one; an outage outlasts the time-out and the link's silence margin
        // (2 s, serial 5 s).
        EXPECT_TRUE(p.Kind != K::Spike ||
                    (FaultSettings(p.Kind, plcs[static_cast<std::size_t>(p.Plc)]).SpikeMs > 1000u) != serial);
        EXPECT_TRUE(p.Kind != K::Outage || p.EndMs - p.StartMs > (serial ? 6000u : 3000u));
        freeFrom[p.Plc] = p.EndMs;
        outages[p.Plc] += p.Kind == K::Outage;
        ++kinds[p.Kind];
    }
    EXPECT_EQ(outages, (std::map<int, int>{{0, 1}, {1, 1}, {2, 1}, {3, 1}}));
    EXPECT_EQ(kinds.size(), static_cast<std::size_t>(FaultKindCount)); // every kind at least once
    EXPECT_TRUE(PlanFaults(plcs, 10000, 12000).empty());
}

} // namespace
} // namespace dravon::soak
