// The soak's own bookkeeping: a checker that cannot fail proves nothing, so the ledger
// is shown to catch a lost write, an older write winning, a value from another location
// and a value never written; the fault plan keeps its phases apart and inside the window.
#include "SoakLedger.h"
#include "SoakSchedule.h"

#include <gtest/gtest.h>

#include <map>

namespace dravon::soak {
namespace {

class SoakLedgerTest : public ::testing::Test {
protected:
    TSoakLedger Ledger;
    int A = Ledger.Add("TcpA.WR0100");
    int B = Ledger.Add("TcpA.WR0101");
    std::map<int, std::uint16_t> Plc;

    void SetUp() override {
        Plc[A] = TSoakLedger::InitialValue(A);
        Plc[B] = TSoakLedger::InitialValue(B);
    }
    std::vector<std::string> Check() const {
        return Ledger.Check([&](int index) { return Plc.at(index); });
    }
};

TEST_F(SoakLedgerTest, ValuesCarryTheirLocationAndTheSameIdGivesTheSameIndex) {
    EXPECT_EQ(Ledger.Add("TcpA.WR0100"), A);
    EXPECT_EQ(B, 1);
    EXPECT_EQ(TSoakLedger::InitialValue(1), 0x03FF);
    EXPECT_EQ(TSoakLedger::WrittenValue(1, 0), 0x0200);
    EXPECT_EQ(TSoakLedger::WrittenValue(1, 511), 0x0200); // wraps below the initial serial
    EXPECT_EQ(TSoakLedger::IndexOf(0x03FF), 1);
    EXPECT_EQ(Ledger.NextValue(B), 0x0200);
    EXPECT_EQ(Ledger.NextValue(B), 0x0201);
}

TEST_F(SoakLedgerTest, UntouchedAndLastWrittenValuesPass) {
    const std::uint16_t first = Ledger.NextValue(A);
    const std::uint16_t second = Ledger.NextValue(A);
    Ledger.Written(A, first);
    Ledger.Written(A, second);
    Ledger.Observed(A, TSoakLedger::InitialValue(A));
    Ledger.Observed(A, first);
    Plc[A] = second;
    EXPECT_TRUE(Check().empty());
    EXPECT_EQ(Ledger.WritesMade(), 2u);
    EXPECT_EQ(Ledger.Observations(), 2u);
}

TEST_F(SoakLedgerTest, LostWriteAndOlderWriteWinningAreCaught) {
    const std::uint16_t first = Ledger.NextValue(A);
    const std::uint16_t second = Ledger.NextValue(A);
    Ledger.Written(A, first);
    Ledger.Written(A, second);
    Plc[A] = first; // the newer value never reached the PLC
    auto faults = Check();
    ASSERT_EQ(faults.size(), 1u);
    EXPECT_EQ(faults[0], "TcpA.WR0100 holds 0x0000 in the PLC, but the last accepted write was 0x0001");

    Plc[A] = TSoakLedger::InitialValue(A); // nothing arrived at all
    EXPECT_EQ(Check().size(), 1u);
}

TEST_F(SoakLedgerTest, ValuesNeverGivenOrFromAnotherLocationAreCaught) {
    const std::uint16_t toB = Ledger.NextValue(B);
    Ledger.Written(B, toB);
    Plc[B] = toB;
    Ledger.Observed(A, toB);                             // B's value seen at A
    Ledger.Observed(A, TSoakLedger::WrittenValue(A, 7)); // never written
    Plc[A] = TSoakLedger::WrittenValue(B, 0);            // B's value in A's memory
    const auto faults = Check();
    ASSERT_EQ(faults.size(), 3u);
    EXPECT_EQ(faults[0], "TcpA.WR0100 showed 0x0200, a value it was never given");
    EXPECT_EQ(faults[1], "TcpA.WR0100 showed 0x0007, a value it was never given");
    EXPECT_EQ(faults[2], "TcpA.WR0100 holds 0x0200 in the PLC, a value it was never given");
}

TEST(SoakSchedule, KindsPerLink) {
    using K = TFaultKind;
    EXPECT_EQ(FaultKindsFor(TSimTransportKind::Tcp),
              (std::vector<K>{K::Spike, K::ErrorStatus, K::Drop, K::Split, K::Garbage, K::Close}));
    EXPECT_EQ(FaultKindsFor(TSimTransportKind::Udp),
              (std::vector<K>{K::Spike, K::Busy, K::ErrorStatus, K::Drop, K::Garbage}));
    EXPECT_EQ(FaultKindsFor(TSimTransportKind::Serial),
              (std::vector<K>{K::Spike, K::Busy, K::ErrorStatus, K::Drop, K::Split, K::Garbage}));
}

TEST(SoakSchedule, OutagesOutlastTheTimeOutAndSpikesStayInsideItOnSerialLines) {
    const TSoakPlcSetup tcp{"T", TSimTransportKind::Tcp, 1000};
    const TSoakPlcSetup serial{"S", TSimTransportKind::Serial, 1000};
    EXPECT_EQ(OutageMs(tcp), 6000u);    // 1000 + 2000 silence + 3000 spare
    EXPECT_EQ(OutageMs(serial), 9000u); // 1000 + 5000 silence + 3000 spare
    EXPECT_GT(FaultSettings(TFaultKind::Spike, tcp).SpikeMs, 1000u);
    EXPECT_LT(FaultSettings(TFaultKind::Spike, serial).SpikeMs, 1000u);
    EXPECT_EQ(FaultSettings(TFaultKind::Busy, serial).BusyEvery, 6u);
    EXPECT_EQ(FaultSettings(TFaultKind::Outage, tcp).DropEvery, 0u);
}

TEST(SoakSchedule, PhasesOfAPlcNeverOverlapStayInTheWindowAndEveryLinkGoesOffOnce) {
    const std::vector<TSoakPlcSetup> plcs{{"A", TSimTransportKind::Tcp, 1000},
                                          {"B", TSimTransportKind::Tcp, 1000},
                                          {"C", TSimTransportKind::Udp, 1000},
                                          {"D", TSimTransportKind::Serial, 1000}};
    // The window of the 60 s run.
    const auto plan = PlanFaults(plcs, 10000, 45000);
    std::map<int, std::uint32_t> freeFrom;
    std::map<int, int> outages;
    std::map<TFaultKind, int> kinds;
    for (std::size_t i = 0; i < plan.size(); ++i) {
        const TFaultPhase& p = plan[i];
        if (i > 0) {
            EXPECT_GE(p.StartMs, plan[i - 1].StartMs);
        }
        EXPECT_GE(p.StartMs, 10000u);
        EXPECT_LT(p.EndMs, 45000u);
        EXPECT_GT(p.StartMs, freeFrom[p.Plc]) << i; // a quiet gap after the previous phase
        freeFrom[p.Plc] = p.EndMs;
        outages[p.Plc] += p.Kind == TFaultKind::Outage;
        ++kinds[p.Kind];
    }
    for (int p = 0; p < 4; ++p) EXPECT_EQ(outages[p], 1) << p;
    EXPECT_EQ(kinds.size(), static_cast<std::size_t>(FaultKindCount)); // every kind at least once
    EXPECT_TRUE(PlanFaults(plcs, 10000, 12000).empty());
}

} // namespace
} // namespace dravon::soak
