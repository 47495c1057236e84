#include "plc/InvalidPointer.h"
#include "plc/ItemId.h"
#include "plc/PLCCollection.h"
#include "support/TestContext.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace dravon {
namespace {

class ResolveItemIdTest : public ::testing::Test {
protected:
    test::TTestContext T;
    TPLCCollection PLCs{T.Context};
    THitachiPLC& PLC1 = PLCs.AddPLC();

    std::vector<std::string> MonitoredNames() const {
        std::vector<std::string> names;
        for (int i = 0; i < PLC1.Monitored.Count(); ++i)
            names.push_back(PLC1.Monitored.Item(i).LocationName());
        return names;
    }
};

TEST_F(ResolveItemIdTest, DifferentSpellingsShareOneLocation) {
    auto a = PLCs.ResolveItemId("PLC1.wr0010");
    auto b = PLCs.ResolveItemId("  plc1.WR10 ");
    auto c = PLCs.ResolveItemId("Plc1.Wr010");
    ASSERT_NE(a.Location, nullptr);
    EXPECT_EQ(a.Location, b.Location);
    EXPECT_EQ(a.Location, c.Location);
    EXPECT_EQ(PLC1.Monitored.Count(), 1);
    EXPECT_EQ(a.Location->LocationName(), "WR0010");
    EXPECT_EQ(a.Location->ItemId, "PLC1.wr0010"); // set when created, trimmed, case kept
    EXPECT_EQ(a.Location->PLC, &PLC1);
    EXPECT_EQ(a.Location->AccessRights, AccessReadWrite);
    EXPECT_TRUE(a.Location->ReadRequested);
    EXPECT_FALSE(a.Signed);
}

TEST_F(ResolveItemIdTest, DoubleWordCreatesItsHalvesInSortedOrder) {
    auto r = PLCs.ResolveItemId("PLC1.DR0010");
    ASSERT_NE(r.Location, nullptr);
    EXPECT_EQ(MonitoredNames(), (std::vector<std::string>{"WR0010", "DR0010", "WR0011"}));
    EXPECT_EQ(PLC1.Monitored.Item(0).RefCount, 1);
    EXPECT_EQ(PLC1.Monitored.Item(2).RefCount, 1);
    EXPECT_EQ(r.Location->RefCount, 0);           // the caller takes it
    EXPECT_EQ(PLC1.Monitored.Item(0).ItemId, ""); // halves keep an empty ItemId
    EXPECT_EQ(r.Location->VarType, VarTypeUI4);
    EXPECT_EQ(PLC1.Monitored.Item(0).VarType, VarTypeUI2);
    EXPECT_EQ(PLC1.Monitored.CountWithoutDoubleWords(), 2);
}

TEST_F(ResolveItemIdTest, NeighbouringDoubleWordsShareAWord) {
    THitachiLocation* dr0 = PLCs.ResolveItemId("PLC1.DR0000").Location;
    THitachiLocation* dr1 = PLCs.ResolveItemId("PLC1.DR0001").Location;
    ASSERT_TRUE(dr0 && dr1);
    EXPECT_EQ(dr0->HighLink, dr1->LowLink);
    THitachiLocation* wr1 = PLC1.FindLocation(10, 1, false);
    ASSERT_EQ(dr0->HighLink, wr1);
    EXPECT_EQ(wr1->RefCount, 2);
    EXPECT_EQ(PLC1.Monitored.Count(), 5);

    PLC1.FindLocation(10, 0, false)->StoreReadValue(0x0001, 1.0);
    wr1->StoreReadValue(0x0002, 1.0);
    PLC1.FindLocation(10, 2, false)->StoreReadValue(0x0003, 1.0);
    EXPECT_EQ(dr0->GetValue(), 0x00020001u);
    EXPECT_EQ(dr1->GetValue(), 0x00030002u);
    EXPECT_EQ(dr0->Value, 0x00020001u);
    EXPECT_EQ(dr1->Value, 0x00030002u);
    // Writing the shared word updates both owners.
    wr1->StoreWrittenValue(0xBEEF);
    EXPECT_EQ(dr0->Value, 0xBEEF0001u);
    EXPECT_EQ(dr1->Value, 0x0003BEEFu);
}

TEST_F(ResolveItemIdTest, ArrayElementsGetTheirReferencesAtOnce) {
    auto r = PLCs.ResolveItemId("PLC1.WR0000.arr.3");
    ASSERT_NE(r.Location, nullptr);
    EXPECT_EQ(r.Count, 3);
    EXPECT_EQ(MonitoredNames(), (std::vector<std::string>{"WR0000", "WR0001", "WR0002"}));
    EXPECT_EQ(PLC1.Monitored.Item(0).RefCount, 0);
    EXPECT_EQ(PLC1.Monitored.Item(1).RefCount, 1);
    EXPECT_EQ(PLC1.Monitored.Item(2).RefCount, 1);
    r.Location->AddRef();
    PLC1.ReleaseElements(*r.Location, 3);
    EXPECT_EQ(PLC1.Monitored.PurgeUnused(), 3);
}

TEST_F(ResolveItemIdTest, TextCountsForWordsAndDoubleWords) {
    auto words = PLCs.ResolveItemId("PLC1.WR0100.asc.5");
    EXPECT_EQ(words.Count, 3);
    EXPECT_EQ(MonitoredNames(), (std::vector<std::string>{"WR0100", "WR0101", "WR0102"}));
    PLC1.Monitored.Clear();

    auto doubles = PLCs.ResolveItemId("PLC1.DR0100.ASC.9");
    EXPECT_EQ(doubles.Count, 3);
    for (std::uint32_t a : {0x100u, 0x101u, 0x102u}) EXPECT_NE(PLC1.FindLocation(10, a, true), nullptr) << a;
    EXPECT_EQ(PLC1.FindLocation(10, 0x103, true), nullptr);
    EXPECT_EQ(PLC1.Monitored.CountWithoutDoubleWords(), 4); // WR0100..WR0103
}

TEST_F(ResolveItemIdTest, CountsBelowOneAndNonNumbersGiveOneElement) {
    for (const char* id : {"PLC1.WR0000.arr.0", "PLC1.WR0000.arr.-4", "PLC1.WR0000.arr.x",
                           "PLC1.WR0000.asc.0", "PLC1.WR0000.asc.", "PLC1.WR0000.arr."}) {
        EXPECT_EQ(PLCs.ResolveItemId(id).Count, 1) << id;
    }
    EXPECT_EQ(PLC1.Monitored.Count(), 1);
}

// One request must not be able to create an unbounded number of locations.
TEST_F(ResolveItemIdTest, ElementCountsAreBounded) {
    EXPECT_EQ(PLCs.ResolveItemId("PLC1.WR0000.arr.1025").Location, nullptr);
    EXPECT_EQ(PLCs.ResolveItemId("PLC1.WR0000.arr.99999999999999999999999").Location, nullptr);
    EXPECT_EQ(PLCs.ResolveItemId("PLC1.WR0000.asc.2049").Location, nullptr); // 1025 words
    EXPECT_EQ(PLCs.ResolveItemId("PLC1.WR0000.asc.2147483647").Location, nullptr);
    EXPECT_EQ(PLC1.Monitored.Count(), 0);

    EXPECT_EQ(PLCs.ResolveItemId("PLC1.WR0000.arr.1024").Count, 1024);
    EXPECT_EQ(PLC1.Monitored.Count(), 1024);
    PLC1.Monitored.Clear();
    // 4096 characters are 1024 double words.
    EXPECT_EQ(PLCs.ResolveItemId("PLC1.DR0000.asc.4096").Count, 1024);
}

// A PLC answers reads past its highest address with 0 and drops writes there: such
// elements are not created, so a client sees them missing instead of invented values.
TEST_F(ResolveItemIdTest, ElementsPastTheHighestAddressAreNotCreated) {
    auto r = PLCs.ResolveItemId("PLC1.WRFFFE.arr.5");
    ASSERT_NE(r.Location, nullptr);
    EXPECT_EQ(r.Count, 2);
    EXPECT_EQ(MonitoredNames(), (std::vector<std::string>{"WRFFFE", "WRFFFF"}));
    r.Location->AddRef();
    PLC1.ReleaseElements(*r.Location, 5); // the holder's count; missing elements are skipped
    EXPECT_EQ(PLC1.Monitored.PurgeUnused(), 2);

    auto d = PLCs.ResolveItemId("PLC1.DRFFFE.arr.3");
    EXPECT_EQ(d.Count, 1);
    EXPECT_EQ(MonitoredNames(), (std::vector<std::string>{"WRFFFE", "DRFFFE", "WRFFFF"}));
    EXPECT_EQ(PLCs.ResolveItemId("PLC1.R7FF.arr.3").Count, 1);
}

TEST_F(ResolveItemIdTest, SignedSuffix) {
    auto s = PLCs.ResolveItemId("PLC1.WR0010s");
    ASSERT_NE(s.Location, nullptr);
    EXPECT_TRUE(s.Signed);
    EXPECT_EQ(s.Location->LocationName(), "WR0010");
    EXPECT_EQ(s.Location->VarTypeOf(s.Signed), VarTypeI2);
    auto d = PLCs.ResolveItemId("PLC1.DR0010S.arr.2");
    EXPECT_TRUE(d.Signed);
    EXPECT_EQ(d.Count, 2);
    // Three characters or fewer: the "s" is not a suffix, and "R1s" is no address.
    EXPECT_EQ(PLCs.ResolveItemId("PLC1.R1s").Location, nullptr);
}

TEST_F(ResolveItemIdTest, ServerAndStatusVariables) {
    THitachiLocation* up = PLCs.ResolveItemId("Sys.ServerUpTime").Location;
    ASSERT_NE(up, nullptr);
    EXPECT_EQ(PLCs.ResolveItemId("sys.serveruptime").Location, up);
    EXPECT_EQ(up->ItemId, "sys.serveruptime"); // variables remember the last lookup
    EXPECT_EQ(up->AccessRights, AccessReadable);
    EXPECT_EQ(up->VarType, VarTypeBstr);

    THitachiLocation* status = PLCs.ResolveItemId("PLC1.ComStatus").Location;
    ASSERT_NE(status, nullptr);
    EXPECT_EQ(status, &PLC1.StatusVar(stComStatus));
    EXPECT_EQ(status->VarType, VarTypeI4);
    // Names ending in "s" are variable names, not signed suffixes.
    EXPECT_EQ(PLCs.ResolveItemId("Sys.MonitoredLocations").Location, &PLCs.ServerVar(svMonitoredLocations));
    EXPECT_EQ(PLCs.ResolveItemId("plc1.numberoftimeouts").Location, &PLC1.StatusVar(stNumberOfTimeouts));
    EXPECT_EQ(PLC1.Monitored.Count(), 0);

    // A PLC named "sys" takes precedence over the server variables.
    THitachiPLC& sys = PLCs.AddPLC();
    sys.Name = "SYS";
    EXPECT_EQ(PLCs.ResolveItemId("Sys.ServerUpTime").Location, nullptr);
    EXPECT_EQ(PLCs.ResolveItemId("Sys.ComInfo").Location, &sys.StatusVar(stComInfo));
}

TEST_F(ResolveItemIdTest, UnknownThingsResolveToNothingAndCreateNothing) {
    for (const char* id : {"PLC9.WR0000", "PLC1", "", "   ", ".", "PLC1.", "PLC1.nosuchvar", "Sys.nosuch",
                           "sys", "PLC1.WR10000", "PLC1.X00196", "PLC1..", ".WR0000"}) {
        EXPECT_EQ(PLCs.ResolveItemId(id).Location, nullptr) << id;
    }
    EXPECT_EQ(PLC1.Monitored.Count(), 0);
    // Address after the last ".", the middle is ignored.
    EXPECT_NE(PLCs.ResolveItemId("PLC1.whatever.WR0001").Location, nullptr);
}

TEST_F(ResolveItemIdTest, LongAndOddItemIdsAreHarmless) {
    std::string huge = "PLC1." + std::string(100000, 'A');
    EXPECT_EQ(PLCs.ResolveItemId(huge).Location, nullptr);
    EXPECT_EQ(PLCs.ResolveItemId(std::string(50000, '.')).Location, nullptr);
    EXPECT_EQ(PLCs.ResolveItemId("PLC1.WR" + std::string(70000, '0') + "1").Location->Address, 1u);
    std::string binary("PLC1.WR\0\xff\x80"
                       "10",
                       12);
    EXPECT_EQ(PLCs.ResolveItemId(binary).Location, nullptr);
    EXPECT_EQ(PLCs.ResolveItemId("PLC1.WR0000.arr." + std::string(10000, '9')).Location, nullptr);
}

TEST_F(ResolveItemIdTest, ReferencesAndPurge) {
    THitachiLocation* l = PLCs.ResolveItemId("PLC1.WR0010").Location;
    l->AddRef();
    EXPECT_EQ(PLCs.ResolveItemId("PLC1.WR0010").Location, l);
    l->AddRef();
    EXPECT_EQ(l->RefCount, 2);
    PLCs.ResolveItemId("PLC1.WR0020"); // validated only: no holder
    EXPECT_EQ(PLC1.Monitored.PurgeUnused(), 1);
    l->Release();
    EXPECT_EQ(PLC1.Monitored.PurgeUnused(), 0);
    l->Release();
    EXPECT_EQ(l->RefCount, 0);
    EXPECT_EQ(PLC1.Monitored.PurgeUnused(), 1);
    EXPECT_EQ(PLC1.Monitored.Count(), 0);
}

TEST_F(ResolveItemIdTest, PurgingADoubleWordFreesItsHalvesWithinTwoPurges) {
    THitachiLocation* dw = PLCs.ResolveItemId("PLC1.DR0010").Location;
    dw->AddRef();
    EXPECT_EQ(PLC1.Monitored.PurgeUnused(), 0);
    dw->Release();
    // From the last entry: WR0011 is still held, DR0010 goes and lets go of both words,
    // WR0010 (visited after) goes in the same purge, WR0011 in the next.
    EXPECT_EQ(PLC1.Monitored.PurgeUnused(), 2);
    EXPECT_EQ(MonitoredNames(), (std::vector<std::string>{"WR0011"}));
    EXPECT_EQ(PLC1.Monitored.Item(0).HighLink, nullptr);
    EXPECT_EQ(PLC1.Monitored.PurgeUnused(), 1);
}

TEST_F(ResolveItemIdTest, CollectionIndexErrorsAndNameLookup) {
    EXPECT_THROW(PLC1.Monitored.Item(0), TInvalidPointer);
    EXPECT_THROW(PLC1.StatusVars.Item(-1), TInvalidPointer);
    EXPECT_THROW(PLC1.StatusVars.Item(StatusVarCount), TInvalidPointer);
    try {
        PLCs.PLCByIndex(5);
        FAIL();
    } catch (const std::exception& e) {
        EXPECT_STREQ(e.what(), "Invalid pointer detected");
    }
    TAddressCollection vars;
    THitachiLocation& first = vars.AddVariable("Speed", nullptr, false);
    THitachiLocation& second = vars.AddVariable("SPEED", nullptr, true);
    EXPECT_EQ(vars.FindByName("speed"), &second); // the last match wins
    EXPECT_EQ(vars.IndexOf(&first), 0);
    EXPECT_EQ(vars.FindByName("spee"), nullptr);
}

TEST(ItemId, Parts) {
    auto p = ParseItemId(" PLC1.Group.WR0010s.ARR.4 ");
    EXPECT_TRUE(p.Valid);
    EXPECT_EQ(p.Trimmed, "PLC1.Group.WR0010s.ARR.4");
    EXPECT_EQ(p.PLCName, "plc1");
    EXPECT_EQ(p.Address, "wr0010");
    EXPECT_EQ(p.RawAddress, "wr0010s");
    EXPECT_TRUE(p.Signed);
    EXPECT_EQ(p.ArrCount, 4);
    EXPECT_EQ(p.AscCount, -1);
    EXPECT_EQ(p.Count, 4);
    EXPECT_FALSE(ParseItemId("nodot").Valid);
    auto asc = ParseItemId("PLC1.DR0000.asc.8");
    EXPECT_EQ(asc.Count, 4);
    EXPECT_EQ(ElementCountFor(asc, true), 2);
    EXPECT_EQ(ElementCountFor(asc, false), 4);
}

} // namespace
} // namespace dravon
