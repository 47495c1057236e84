// IOPCItemMgt as a client drives it: AddItems / ValidateItems with good and bad item IDs
// and the exact per-element codes, the session-log line about unknown locations, active
// state, client handles, data types and removal.
#include "OPCClientFixture.h"

#include <cmath>
#include <cstring>

namespace dravon {
namespace {

using test::TOPCClientFixture;

class OPCItemMgtTest : public TOPCClientFixture {};

// Canonical types and access rights of the results.
using TKinds = std::pair<std::vector<VARTYPE>, std::vector<std::uint32_t>>;
TKinds Kinds(const std::vector<TOPCItemResult>& results) {
    TKinds kinds;
    for (const auto& r : results) {
        kinds.first.push_back(r.CanonicalDataType);
        kinds.second.push_back(r.AccessRights);
    }
    return kinds;
}
constexpr std::uint32_t RW = OPC_READABLE | OPC_WRITEABLE;

TEST_F(OPCItemMgtTest, AddItemsGivesHandlesCanonicalTypesAndRights) {
    std::vector<TOPCItemResult> results;
    // An array type without a count (or with a suffix without one) takes the settings' 64
    // elements, a text type without one 64 characters (32 words).
    ASSERT_EQ(Items->AddItems({Def("PLC1.WR0010"), Def("PLC1.WR0010s"), Def("PLC1.WR0010.arr.4"),
                               Def("PLC1.DR0020"), Def("PLC1.WR0030.asc.5"), Def("Sys.ServerUpTime"),
                               Def("PLC1.WR0100", VT_ARRAY | VT_UI2),
                               Def("PLC1.WR0200.arr.", VT_ARRAY | VT_UI2), Def("PLC1.WR0300", VT_BSTR)},
                              results, Errors),
              S_OK);
    EXPECT_EQ(Errors, std::vector<HRESULT>(9, S_OK));
    EXPECT_EQ(Kinds(results), TKinds({VT_UI2, VT_I2, VT_UI2 | VT_ARRAY, VT_UI4, VT_UI2, VT_BSTR,
                                      VT_UI2 | VT_ARRAY, VT_UI2 | VT_ARRAY, VT_UI2},
                                     {RW, RW, RW, RW, RW, OPC_READABLE, RW, RW, RW}));
    for (std::uint32_t base : {0x100u, 0x200u}) EXPECT_TRUE(Word(base + 63) && !Word(base + 64)) << base;
    EXPECT_TRUE(Word(0x31F) && !Word(0x320));
    // Server handles are process-unique and distinct.
    for (std::size_t i = 1; i < results.size(); ++i)
        EXPECT_NE(results[i].ServerHandle, results[i - 1].ServerHandle);
    // The array covers WR0010..WR0013 (WR0010 is held by plain, signed and the array), the
    // text .asc.5 three words; removing them releases every word of theirs.
    auto refs = [&](std::initializer_list<std::uint32_t> words) {
        std::vector<int> r;
        for (auto a : words) r.push_back(Word(a) ? Word(a)->RefCount : -1);
        return r;
    };
    EXPECT_EQ(refs({0x10, 0x11, 0x13, 0x14, 0x30, 0x32, 0x33}), (std::vector<int>{3, 1, 1, -1, 1, 1, -1}));
    ASSERT_EQ(Items->RemoveItems({results[2].ServerHandle, results[4].ServerHandle}, Errors), S_OK);
    EXPECT_EQ(refs({0x10, 0x11, 0x12, 0x13, 0x30, 0x31, 0x32}), (std::vector<int>{2, 0, 0, 0, 0, 0, 0}));
}

TEST_F(OPCItemMgtTest, BadItemIdsGetTheirOwnCodesAndOneLogLinePerCall) {
    std::vector<TOPCItemResult> results;
    const int before = T.Capture.CountStartingWith("Client tried to access non-existing location");
    ASSERT_EQ(Items->AddItems({Def(""), Def("PLC1"), Def("PLC9.WR0000"), Def("PLC1.WR0001"),
                               Def("PLC8.WR0000"), Def("PLC1.WR0002", 21), Def("Sys.ServerUpTime", VT_I4),
                               Def("PLC1.WR0003", 20), Def("PLC1.WR0004", VT_ARRAY | 21)},
                              results, Errors),
              S_FALSE);
    // Requested types up to 20 (VT_I8) are taken, 21 is not.
    EXPECT_EQ(Errors,
              (std::vector<HRESULT>{OPC_E_INVALIDITEMID, OPC_E_INVALIDITEMID, OPC_E_UNKNOWNITEMID, S_OK,
                                    OPC_E_UNKNOWNITEMID, OPC_E_BADTYPE, OPC_E_BADTYPE, S_OK, OPC_E_BADTYPE}));
    EXPECT_EQ(std::pair(results[0].ServerHandle, results[2].CanonicalDataType),
              std::pair(0u, VARTYPE(VT_EMPTY)));
    EXPECT_EQ(T.Capture.CountStartingWith("Client tried to access non-existing location") - before, 1);
    EXPECT_NE(std::find(T.Capture.Lines.begin(), T.Capture.Lines.end(),
                        "Client tried to access non-existing location (PLC9.WR0000...)"),
              T.Capture.Lines.end());
    // A refused type gives back the references the resolution took, an array's on every element.
    ASSERT_TRUE(Word(2) && Word(4) && Word(0x43));
    EXPECT_EQ(std::tuple(Word(2)->RefCount, Word(4)->RefCount, Word(0x43)->RefCount), std::tuple(0, 0, 0));

    // A second call logs again, once.
    ASSERT_EQ(Items->AddItems({Def("PLC9.WR0000"), Def("PLC9.WR0001")}, results, Errors), S_FALSE);
    EXPECT_EQ(T.Capture.CountStartingWith("Client tried to access non-existing location") - before, 2);
}

TEST_F(OPCItemMgtTest, ValidateItemsCreatesNoItemAndHoldsNoReference) {
    std::vector<TOPCItemResult> results;
    ASSERT_EQ(
        Items->ValidateItems({Def("PLC1.WR0040"), Def("PLC1.WR0041.arr.2"), Def("PLC1.WR0042.asc.4"),
                              Def("PLC1.DR0050s"), Def(""), Def("nowhere.WR0000"),
                              Def("PLC1.WR0043", VT_ARRAY), Def("PLC1.WR0044.asc."), Def("PLC1.WR0045.arr."),
                              Def("PLC1.WR0046.arr.0"), Def("PLC1.WR0047.asc.0")},
                             0, results, Errors),
        S_FALSE);
    EXPECT_EQ(Errors, (std::vector<HRESULT>{S_OK, S_OK, S_OK, S_OK, OPC_E_INVALIDITEMID, OPC_E_UNKNOWNITEMID,
                                            S_OK, S_OK, S_OK, S_OK, S_OK}));
    // Suffixes without a count are absent: plain words; with any count they are there.
    EXPECT_EQ(Kinds(results), TKinds({VT_UI2, VT_UI2 | VT_ARRAY, VT_BSTR, VT_I4, VT_EMPTY, VT_EMPTY,
                                      VT_UI2 | VT_ARRAY, VT_UI2, VT_UI2, VT_UI2 | VT_ARRAY, VT_BSTR},
                                     {RW, RW, RW, RW, 0, 0, RW, RW, RW, RW, RW}));
    for (const auto& r : results) EXPECT_EQ(r.ServerHandle, 0u);
    ASSERT_TRUE(Word(0x40) && Word(0x42));
    EXPECT_EQ(std::pair(Word(0x40)->RefCount, Word(0x42)->RefCount), std::pair(0, 0));
    // Validation writes no session-log line.
    EXPECT_EQ(T.Capture.CountStartingWith("Client tried to access"), 0);
}

// Empty calls are invalid arguments; handle calls report unknown handles per element.
TEST_F(OPCItemMgtTest, HandleCallsReportUnknownHandlesPerElement) {
    std::vector<TOPCItemResult> results;
    EXPECT_EQ((std::vector{Items->AddItems({}, results, Errors), Items->ValidateItems({}, 0, results, Errors),
                           Items->RemoveItems({}, Errors), Items->SetActiveState({}, 1, Errors),
                           Items->SetClientHandles({}, {}, Errors), Items->SetDataTypes({}, {}, Errors)}),
              std::vector<HRESULT>(6, E_INVALIDARG));
    EXPECT_TRUE(Errors.empty());
    const auto [a, b] = AddEach({Def("PLC1.WR0001", VT_EMPTY, 11), Def("PLC1.WR0002", VT_EMPTY, 12)});
    const OPCHANDLE bogus = 0xDEAD;
    EXPECT_EQ(Items->SetActiveState({a, bogus, b}, 0, Errors), S_FALSE);
    EXPECT_EQ(Errors, (std::vector<HRESULT>{S_OK, OPC_E_INVALIDHANDLE, S_OK}));
    EXPECT_EQ(Items->SetClientHandles({bogus, b}, {1, 99}, Errors), S_FALSE);
    EXPECT_EQ(Errors, (std::vector<HRESULT>{OPC_E_INVALIDHANDLE, S_OK}));
    // A client-handle list shorter than the handle list is refused, not read past its end.
    EXPECT_EQ(Items->SetClientHandles({a, b}, {1}, Errors), E_INVALIDARG);
    // Bad type wins over a bad handle.
    EXPECT_EQ(Items->SetDataTypes({a, bogus, bogus, b, a}, {VT_I4, 21, VT_I2, 20, VT_ARRAY | 21}, Errors),
              S_FALSE);
    EXPECT_EQ(Errors, (std::vector<HRESULT>{S_OK, OPC_E_BADTYPE, OPC_E_INVALIDHANDLE, S_OK, OPC_E_BADTYPE}));
    EXPECT_EQ(Items->SetDataTypes({a, b}, {VT_I4}, Errors), E_INVALIDARG);

    EXPECT_EQ(Items->RemoveItems({a, a, bogus}, Errors), S_FALSE);
    EXPECT_EQ(Errors, (std::vector<HRESULT>{S_OK, OPC_E_INVALIDHANDLE, OPC_E_INVALIDHANDLE}));
    EXPECT_EQ(std::pair(Word(1)->RefCount, Word(2)->RefCount), std::pair(0, 1));
    EXPECT_EQ(Items->RemoveItems({b}, Errors), S_OK);
    EXPECT_EQ(Word(2)->RefCount, 0);
}

} // namespace
} // namespace dravon
