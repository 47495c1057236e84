#include "plc/InvalidPointer.h"
#include "plc/ItemId.h"
#include "plc/PLCCollection.h"
#include "support/TestContext.h"

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <tuple>
#include <vector>

namespace dravon {
namespace {

class ResolveItemIdTest : public ::testing::Test {
protected:
    test::TTestContext T;
    TPLCCollection PLCs{T.Context};
    THitachiPLC& PLC1 = PLCs.AddPLC();

    // The monitored locations in collection order, or their count when there are many.
    std::string Monitored() const {
        if (PLC1.Monitored.Count() > 8) return "#" + std::to_string(PLC1.Monitored.Count());
        std::string names;
        for (int i = 0; i < PLC1.Monitored.Count(); ++i)
            names += (i ? " " : "") + PLC1.Monitored.Item(i).LocationName();
        return names;
    }
};

// One item ID per row on an empty PLC1: the element count (0: nothing resolved), whether
// it is signed, and the locations it created.
TEST_F(ResolveItemIdTest, ItemIdTable) {
    struct TRow {
        std::string Id;
        int Count;
        bool Signed;
        const char* Monitored;
    };
    const std::string binary("PLC1.WR\0\xff\x80"
                             "10",
                             12);
    // clang-format off
    const TRow rows[] = {
        {"PLC1.wr0010", 1, false, "WR0010"},
        {"PLC1.DR0010", 1, false, "WR0010 DR0010 WR0011"},
        {"PLC1.WR0000.arr.3", 3, false, "WR0000 WR0001 WR0002"},
        {"PLC1.WR0100.asc.5", 3, false, "WR0100 WR0101 WR0102"},
        {"PLC1.DR0100.ASC.9", 3, false, "WR0100 DR0100 DR0101 WR0101 DR0102 WR0102 WR0103"},
        // Counts below one and non-numbers give one element.
        {"PLC1.WR0000.arr.0", 1, false, "WR0000"}, {"PLC1.WR0000.arr.-4", 1, false, "WR0000"},
        {"PLC1.WR0000.arr.x", 1, false, "WR0000"}, {"PLC1.WR0000.asc.0", 1, false, "WR0000"},
        {"PLC1.WR0000.asc.", 1, false, "WR0000"}, {"PLC1.WR0000.arr.", 1, false, "WR0000"},
        // One request must not create an unbounded number of locations.
        {"PLC1.WR0000.arr.1025", 0, false, ""}, {"PLC1.WR0000.arr.99999999999999999999999", 0, false, ""},
        {"PLC1.WR0000.asc.2049", 0, false, ""}, {"PLC1.WR0000.asc.2147483647", 0, false, ""},
        {"PLC1.WR0000.arr." + std::string(10000, '9'), 0, false, ""},
        {"PLC1.WR0000.arr.1024", 1024, false, "#1024"}, {"PLC1.DR0000.asc.4096", 1024, false, "#2049"},
        // A PLC answers reads past its highest address with 0 and drops writes there: such
        // elements are not created, so a client sees them missing instead of invented values.
        {"PLC1.WRFFFE.arr.5", 2, false, "WRFFFE WRFFFF"},
        {"PLC1.DRFFFE.arr.3", 1, false, "WRFFFE DRFFFE WRFFFF"},
        {"PLC1.R7FF.arr.3", 1, false, "R7FF"},
        {"PLC1.WR0010s", 1, true, "WR0010"}, {"PLC1.DR0010S.arr.2", 2, true, "WR0010 DR0010 DR0011 WR0011 WR0012"},
        {"PLC1.R1s", 0, false, ""}, // three characters or fewer: no suffix
        {"PLC1.whatever.WR0001", 1, false, "WR0001"}, // the address after the last "."
        {"PLC1.WR" + std::string(70000, '0') + "1", 1, false, "WR0001"},
        {"PLC9.WR0000", 0, false, ""}, {"PLC1", 0, false, ""}, {"", 0, false, ""}, {"   ", 0, false, ""},
        {".", 0, false, ""}, {"PLC1.", 0, false, ""}, {"PLC1.nosuchvar", 0, false, ""},
        {"Sys.nosuch", 0, false, ""}, {"sys", 0, false, ""}, {"PLC1.WR10000", 0, false, ""},
        {"PLC1.X00196", 0, false, ""}, {"PLC1..", 0, false, ""}, {".WR0000", 0, false, ""},
        {"PLC1." + std::string(100000, 'A'), 0, false, ""}, {std::string(50000, '.'), 0, false, ""},
        {binary, 0, false, ""},
    };
    // clang-format on
    for (const TRow& row : rows) {
        SCOPED_TRACE(row.Id.substr(0, 40));
        PLC1.Monitored.Clear();
        const TResolveResult result = PLCs.ResolveItemId(row.Id);
        EXPECT_EQ(
            std::tuple(result.Location ? result.Count : 0, result.Location && result.Signed, Monitored()),
            std::tuple(row.Count, row.Signed, row.Monitored));
    }
}

TEST_F(ResolveItemIdTest, SpellingsShareOneLocationAndHalvesAreCounted) {
    auto a = PLCs.ResolveItemId("PLC1.wr0010");
    ASSERT_NE(a.Location, nullptr);
    for (const char* id : {"  plc1.WR10 ", "Plc1.Wr010"})
        EXPECT_EQ(PLCs.ResolveItemId(id).Location, a.Location) << id;
    EXPECT_EQ(a.Location->ItemId, "PLC1.wr0010"); // set when created, trimmed, case kept
    EXPECT_TRUE(a.Location->PLC == &PLC1 && a.Location->AccessRights == AccessReadWrite &&
                a.Location->ReadRequested);
    auto s = PLCs.ResolveItemId("PLC1.WR0010s");
    EXPECT_TRUE(s.Location == a.Location && s.Location->VarTypeOf(s.Signed) == VarTypeI2);

    auto r = PLCs.ResolveItemId("PLC1.DR0020");
    // The caller takes it; each half is held by it.
    EXPECT_EQ(
        (std::array{r.Location->RefCount, r.Location->HighLink->RefCount, r.Location->LowLink->RefCount}),
        (std::array{0, 1, 1}));
    // Halves keep an empty ItemId.
    EXPECT_EQ(std::tuple(r.Location->LowLink->ItemId, r.Location->VarType, r.Location->LowLink->VarType,
                         PLC1.Monitored.CountWithoutDoubleWords()),
              std::tuple("", VarTypeUI4, VarTypeUI2, 3));

    // Array elements after the first are held at once.
    auto arr = PLCs.ResolveItemId("PLC1.WR0100.arr.3");
    EXPECT_EQ(std::pair(arr.Location->RefCount, PLC1.FindLocation(10, 0x101, false)->RefCount),
              std::pair(0, 1));
    arr.Location->AddRef();
    PLC1.ReleaseElements(*arr.Location, 5); // the holder's count; missing elements are skipped
    EXPECT_EQ(std::pair(arr.Location->RefCount, PLC1.FindLocation(10, 0x102, false)->RefCount),
              std::pair(0, 0));
}

TEST_F(ResolveItemIdTest, NeighbouringDoubleWordsShareAWord) {
    THitachiLocation* dr0 = PLCs.ResolveItemId("PLC1.DR0000").Location;
    THitachiLocation* dr1 = PLCs.ResolveItemId("PLC1.DR0001").Location;
    THitachiLocation* wr1 = PLC1.FindLocation(10, 1, false);
    ASSERT_TRUE(dr0 && dr1 && wr1);
    EXPECT_TRUE(dr0->HighLink == wr1 && dr1->LowLink == wr1 && wr1->RefCount == 2 &&
                PLC1.Monitored.Count() == 5);
    PLC1.FindLocation(10, 0, false)->StoreReadValue(0x0001, 1.0);
    wr1->StoreReadValue(0x0002, 1.0);
    PLC1.FindLocation(10, 2, false)->StoreReadValue(0x0003, 1.0);
    EXPECT_EQ((std::array{dr0->GetValue(), dr1->Value}), (std::array{0x00020001u, 0x00030002u}));
    // Writing the shared word updates both owners.
    wr1->StoreWrittenValue(0xBEEF);
    EXPECT_EQ((std::array{dr0->Value, dr1->Value}), (std::array{0xBEEF0001u, 0x0003BEEFu}));
}

// A location goes at the purge after its last holder left, unless its write is not yet
// answered: a client may remove an item right after writing it.
TEST_F(ResolveItemIdTest, PurgeFollowsReferencesAndPendingWrites) {
    THitachiLocation* l = PLCs.ResolveItemId("PLC1.WR0010").Location;
    l->AddRef();
    l->AddRef();
    PLCs.ResolveItemId("PLC1.M00123"); // validated only: no holder
    EXPECT_EQ(PLC1.Monitored.PurgeUnused(), 1);
    l->Release();
    EXPECT_EQ(PLC1.Monitored.PurgeUnused(), 0);
    l->StoreWrittenValue(0x1234);
    l->Release();
    EXPECT_EQ(std::tuple(PLC1.Monitored.PurgeUnused(), PLC1.Monitored.FindLocation(10, 0x10, false)),
              std::tuple(0, l));
    l->WritePending = false; // answered
    EXPECT_EQ(PLC1.Monitored.PurgeUnused(), 1);

    THitachiLocation* dw = PLCs.ResolveItemId("PLC1.DR0010").Location;
    dw->AddRef();
    dw->StoreWrittenValue(0x00012345u);
    dw->Release();
    EXPECT_EQ(PLC1.Monitored.PurgeUnused(), 0); // pending: itself and both halves stay
    dw->HighLink->WritePending = false;
    dw->LowLink->WritePending = false;
    EXPECT_EQ(PLC1.Monitored.PurgeUnused(), 0); // halves still held by the double word
    dw->WritePending = false;
    // From the last entry: WR0011 is still held, DR0010 goes and lets go of both words,
    // WR0010 (visited after) goes in the same purge, WR0011 in the next.
    EXPECT_EQ(PLC1.Monitored.PurgeUnused(), 2);
    EXPECT_TRUE(PLC1.Monitored.Item(0).LocationName() == "WR0011" &&
                PLC1.Monitored.Item(0).HighLink == nullptr);
    EXPECT_EQ(PLC1.Monitored.PurgeUnused(), 1);
}

TEST_F(ResolveItemIdTest, ServerAndStatusVariables) {
    THitachiLocation* up = PLCs.ResolveItemId("Sys.ServerUpTime").Location;
    ASSERT_NE(up, nullptr);
    EXPECT_EQ(PLCs.ResolveItemId("sys.serveruptime").Location, up);
    EXPECT_EQ(up->ItemId, "sys.serveruptime"); // variables remember the last lookup
    EXPECT_TRUE(up->AccessRights == AccessReadable && up->VarType == VarTypeBstr &&
                PLC1.StatusVar(stComStatus).VarType == VarTypeI4);
    // Names ending in "s" are variable names, not signed suffixes.
    for (auto [id, variable] : {std::pair{"PLC1.ComStatus", &PLC1.StatusVar(stComStatus)},
                                {"Sys.MonitoredLocations", &PLCs.ServerVar(svMonitoredLocations)},
                                {"plc1.numberoftimeouts", &PLC1.StatusVar(stNumberOfTimeouts)}})
        EXPECT_EQ(PLCs.ResolveItemId(id).Location, variable) << id;
    EXPECT_EQ(PLC1.Monitored.Count(), 0);
    // A PLC named "sys" takes precedence over the server variables.
    THitachiPLC& sys = PLCs.AddPLC();
    sys.Name = "SYS";
    EXPECT_EQ(std::tuple(PLCs.ResolveItemId("Sys.ServerUpTime").Location,
                         PLCs.ResolveItemId("Sys.ComInfo").Location),
              std::tuple(nullptr, &sys.StatusVar(stComInfo)));
}

TEST_F(ResolveItemIdTest, IndexErrorsNameLookupAndItemIdParts) {
    EXPECT_THROW(PLC1.Monitored.Item(0), TInvalidPointer);
    EXPECT_THROW(PLC1.StatusVars.Item(-1), TInvalidPointer);
    EXPECT_THROW(PLC1.StatusVars.Item(StatusVarCount), TInvalidPointer);
    EXPECT_THROW(PLCs.PLCByIndex(5), TInvalidPointer);
    EXPECT_STREQ(TInvalidPointer().what(), "Invalid pointer detected");
    TAddressCollection vars;
    THitachiLocation& first = vars.AddVariable("Speed", nullptr, false);
    THitachiLocation& second = vars.AddVariable("SPEED", nullptr, true);
    // The last match wins.
    EXPECT_EQ(std::tuple(vars.FindByName("speed"), vars.IndexOf(&first), vars.FindByName("spee")),
              std::tuple(&second, 0, nullptr));

    auto p = ParseItemId(" PLC1.Group.WR0010s.ARR.4 ");
    EXPECT_EQ(std::to_string(p.Valid) + p.Trimmed + "|" + p.PLCName + "|" + p.Address + "|" + p.RawAddress +
                  "|" + std::to_string(p.Signed) + std::to_string(p.ArrCount) + std::to_string(p.AscCount),
              "1PLC1.Group.WR0010s.ARR.4|plc1|wr0010|wr0010s|14-1");
    EXPECT_FALSE(ParseItemId("nodot").Valid);
    auto asc = ParseItemId("PLC1.DR0000.asc.8");
    EXPECT_EQ((std::array{ElementCountFor(asc, true), ElementCountFor(asc, false)}), (std::array{2LL, 4LL}));
}

} // namespace
} // namespace dravon
