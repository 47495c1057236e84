// The three enumerators a client receives: texts, interfaces and item attributes, read
// past their end, skipped, reset and cloned.
#include "OPCClientFixture.h"

#include "opc/OPCStringsEnumerator.h"
#include "opc/S3UnknownEnumerator.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace dravon::test {
namespace {

using TStrings = std::vector<std::string>;

TEST(StringsEnumerator, NextSkipResetCloneAndAnEmptyList) {
    TStrings source{"a", "b", "c"};
    TComPtr<IEnumString> e = MakeCom<TOPCStringsEnumerator>(source);
    source[0] = "changed"; // the enumerator holds its own copy
    TStrings out;
    // What Next(n) gives: its result, the count fetched and the texts.
    auto next = [&](const TComPtr<IEnumString>& from, std::uint32_t n) {
        std::uint32_t fetched = 99;
        const HRESULT hr = from->Next(n, out, &fetched);
        return std::tuple(hr, fetched, out);
    };
    EXPECT_EQ(std::get<0>(next(e, 0)), RPC_X_ENUM_VALUE_OUT_OF_RANGE);
    EXPECT_EQ(e->Next(1, out, nullptr), E_INVALIDARG);
    EXPECT_EQ(next(e, 2), std::tuple(S_OK, 2u, TStrings{"a", "b"}));
    EXPECT_EQ(next(e, 5), std::tuple(RPC_X_ENUM_VALUE_OUT_OF_RANGE, 1u, TStrings{"c"}));
    EXPECT_EQ(next(e, 1), std::tuple(RPC_X_ENUM_VALUE_OUT_OF_RANGE, 0u, TStrings{}));

    EXPECT_EQ(e->Reset(), S_OK);
    EXPECT_EQ(e->Skip(2), S_OK);
    EXPECT_EQ(next(e, 1), std::tuple(S_OK, 1u, TStrings{"c"}));
    EXPECT_EQ(e->Skip(0), S_OK);
    EXPECT_EQ(e->Reset(), S_OK);
    EXPECT_EQ(e->Skip(4), S_FALSE); // past the end: parked at the end
    EXPECT_EQ(std::get<0>(next(e, 1)), RPC_X_ENUM_VALUE_OUT_OF_RANGE);
    EXPECT_EQ(e->Skip(0xFFFFFFFFu), S_FALSE);

    TComPtr<IEnumString> copy;
    ASSERT_EQ(e->Clone(copy), S_OK);
    EXPECT_EQ(next(copy, 3),
              std::tuple(S_OK, 3u, TStrings{"a", "b", "c"})); // a clone starts at the beginning

    TComPtr<IEnumString> empty = MakeCom<TOPCStringsEnumerator>(TStrings{});
    EXPECT_EQ(next(empty, 1), std::tuple(RPC_X_ENUM_VALUE_OUT_OF_RANGE, 0u, TStrings{}));
    EXPECT_EQ(std::pair(empty->Skip(1), empty->Skip(0)), std::pair(S_FALSE, S_OK));
}
TEST(UnknownEnumerator, ReferencesAreCountedAndEndIsReported) {
    TComPtr<IEnumString> a = MakeCom<TOPCStringsEnumerator>(std::vector<std::string>{"x"});
    TComPtr<IUnknown> ua(a.Get());
    std::vector<TComPtr<IUnknown>> list{ua, ua};
    TComPtr<IEnumUnknown> e = MakeCom<TS3UnknownEnumerator>(list);
    list.clear();
    std::vector<TComPtr<IUnknown>> out;
    std::uint32_t fetched = 0;
    EXPECT_EQ(e->Next(0, out, &fetched), RPC_X_ENUM_VALUE_OUT_OF_RANGE);
    ASSERT_EQ(e->Next(3, out, &fetched), RPC_X_ENUM_VALUE_OUT_OF_RANGE);
    EXPECT_EQ(fetched, 2u);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0].Get(), ua.Get());
    // ua, a, two in the enumerator, two handed out.
    EXPECT_EQ(ua->AddRef(), 7u);
    ua->Release();
    out.clear();
    EXPECT_EQ(e->Skip(3), S_FALSE);
    EXPECT_EQ(e->Reset(), S_OK);
    EXPECT_EQ(e->Skip(1), S_OK);
    TComPtr<IEnumUnknown> copy;
    ASSERT_EQ(e->Clone(copy), S_OK);
    ASSERT_EQ(copy->Next(2, out, &fetched), S_OK);
    EXPECT_EQ(fetched, 2u);
    EXPECT_EQ(e->Next(1, out, nullptr), E_INVALIDARG);
}

class ItemAttributesClient : public TOPCClientFixture {
protected:
    std::vector<TOPCItemResult> AddAll(std::vector<TOPCItemDef> defs) {
        std::vector<TOPCItemResult> results;
        EXPECT_EQ(Items->AddItems(defs, results, Errors), S_OK);
        return results;
    }
    TComPtr<IEnumOPCItemAttributes> Enumerator(HRESULT expected = S_OK) {
        TComPtr<IUnknown> unknown;
        EXPECT_EQ(Items->CreateEnumerator(IEnumOPCItemAttributes::Iid, unknown), expected);
        return InterfaceOf<IEnumOPCItemAttributes>(unknown);
    }
};

TEST_F(ItemAttributesClient, ThreeItemsAskedForFive) {
    const auto results = AddAll(
        {Def("PLC1.WR10", VT_EMPTY, 11), Def("PLC1.X001", VT_I4, 12, false), Def("PLC1.DR20", VT_EMPTY, 13)});
    ASSERT_EQ(results.size(), 3u);
    auto e = Enumerator();
    ASSERT_TRUE(e);
    std::vector<TOPCItemAttributes> records;
    std::uint32_t fetched = 0;
    ASSERT_EQ(e->Next(5, records, fetched), RPC_X_ENUM_VALUE_OUT_OF_RANGE);
    EXPECT_EQ(fetched, 3u);
    // 0 asked for is the canonical type; no access path, EU information or blob.
    std::vector<std::tuple<std::string, std::int32_t, OPCHANDLE, OPCHANDLE, VARTYPE, VARTYPE, std::uint32_t>>
        seen;
    for (const auto& r : records) {
        seen.emplace_back(r.ItemID, r.Active, r.ClientHandle, r.ServerHandle, r.RequestedDataType,
                          r.CanonicalDataType, r.AccessRights);
        EXPECT_TRUE(r.AccessPath.empty() && r.Blob.empty() && r.EUInfo == TVariant::I4(0));
    }
    EXPECT_EQ(seen, (decltype(seen){{"PLC1.WR10", -1, 11, results[0].ServerHandle, VT_UI2, VT_UI2, 3},
                                    {"PLC1.X001", 0, 12, results[1].ServerHandle, VT_I4, VT_BOOL, 3},
                                    {"PLC1.DR20", -1, 13, results[2].ServerHandle, VT_UI4, VT_UI4, 3}}));

    EXPECT_EQ(e->Next(1, records, fetched), RPC_X_ENUM_VALUE_OUT_OF_RANGE);
    EXPECT_EQ(fetched, 0u);
    EXPECT_EQ(e->Next(0, records, fetched), RPC_X_ENUM_VALUE_OUT_OF_RANGE);
    EXPECT_TRUE(records.empty());

    EXPECT_EQ(e->Reset(), S_OK);
    EXPECT_EQ(e->Skip(2), S_OK);
    ASSERT_EQ(e->Next(1, records, fetched), S_OK);
    EXPECT_EQ(records[0].ClientHandle, 13u);
    EXPECT_EQ(e->Skip(1), S_FALSE);
    TComPtr<IEnumOPCItemAttributes> copy;
    ASSERT_EQ(e->Clone(copy), S_OK);
    ASSERT_EQ(copy->Next(2, records, fetched), S_OK);
    EXPECT_EQ(records[1].ClientHandle, 12u);
}

TEST_F(ItemAttributesClient, EnumeratorSeesTheGroupsCurrentItemsAndOutlivesTheClientsGroupReference) {
    EXPECT_FALSE(Enumerator(S_FALSE)); // no items: nothing to enumerate
    TComPtr<IUnknown> other;
    EXPECT_EQ(Items->CreateEnumerator(IOPCItemMgt::Iid, other), E_INVALIDARG);
    const auto results = AddAll({Def("PLC1.WR0", VT_EMPTY, 1), Def("PLC1.WR1", VT_EMPTY, 2)});
    auto e = Enumerator();
    ASSERT_TRUE(e);
    ASSERT_EQ(Items->RemoveItems({results[0].ServerHandle}, Errors), S_OK);
    std::vector<TOPCItemAttributes> records;
    std::uint32_t fetched = 0;
    ASSERT_EQ(e->Next(2, records, fetched), RPC_X_ENUM_VALUE_OUT_OF_RANGE);
    ASSERT_EQ(fetched, 1u);
    EXPECT_EQ(records[0].ClientHandle, 2u);
    Items.Reset();
    Sync.Reset();
    Async.Reset();
    GroupUnknown.Reset();
    EXPECT_EQ(e->Reset(), S_OK);
    ASSERT_EQ(e->Next(1, records, fetched), S_OK); // the group is still alive through e
    EXPECT_EQ(records[0].ItemID, "PLC1.WR1");
}

} // namespace
} // namespace dravon::test
