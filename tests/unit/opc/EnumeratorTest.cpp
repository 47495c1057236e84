// The three enumerators a client receives: texts, interfaces and item attributes, read
// past their end, skipped, reset and cloned.
#include "OPCClientFixture.h"

#include "opc/OPCErrorStrings.h"
#include "opc/OPCStringsEnumerator.h"
#include "opc/S3UnknownEnumerator.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace dravon::test {
namespace {

using TStrings = std::vector<std::string>;

// Runs steps on an enumerator ("next N", "skip N", "reset", "clone": the copy goes on) and
// says what each gave: its result; for next also the count fetched and each element named.
template <class Item, class E, class F>
std::string Walk(TComPtr<E> e, std::initializer_list<std::string> steps, F name) {
    std::string said;
    std::vector<Item> out; // one list, as a client reuses it: Next must replace its contents
    for (const std::string& step : steps) {
        const auto n = step.size() > 5 ? static_cast<std::uint32_t>(std::stoul(step.substr(5))) : 0u;
        std::uint32_t fetched = 99;
        HRESULT hr = E_UNEXPECTED;
        std::string got;
        if (step.starts_with("next")) {
            if constexpr (std::is_same_v<Item, TOPCItemAttributes>)
                hr = e->Next(n, out, fetched);
            else
                hr = e->Next(n, out, &fetched);
            if (n) got = " " + std::to_string(fetched); // Next(0) is refused before it counts
            for (const Item& item : out) got += " " + name(item);
        } else if (step.starts_with("skip")) {
            hr = e->Skip(n);
        } else if (step == "reset") {
            hr = e->Reset();
        } else if (TComPtr<E> copy; step == "clone") {
            hr = e->Clone(copy);
            e = copy;
        }
        said += (said.empty() ? "" : " | ") + ResultName(hr) + got;
    }
    return said;
}
const auto Text = [](const std::string& s) { return s; };
const auto Handle = [](const TOPCItemAttributes& a) { return std::to_string(a.ClientHandle); };

TEST(StringsEnumerator, NextSkipResetCloneAndAnEmptyList) {
    TStrings source{"a", "b", "c"};
    TComPtr<IEnumString> e = MakeCom<TOPCStringsEnumerator>(source);
    source[0] = "changed"; // the enumerator holds its own copy
    EXPECT_EQ(e->Next(1, source, nullptr), E_INVALIDARG);
    // Skipping past the end parks at the end; a clone starts at the beginning.
    EXPECT_EQ(
        Walk<std::string>(e,
                          {"next 0", "next 2", "next 5", "next 1", "reset", "skip 2", "next 1", "skip 0",
                           "reset", "skip 4", "next 1", "skip 4294967295", "clone", "next 3"},
                          Text),
        "code: 1781 | S_OK 2 a b | code: 1781 1 c | code: 1781 0 | S_OK | S_OK | S_OK 1 c | S_OK | S_OK | "
        "S_FALSE | code: 1781 0 | S_FALSE | S_OK | S_OK 3 a b c");
    EXPECT_EQ(Walk<std::string>(TComPtr<IEnumString>(MakeCom<TOPCStringsEnumerator>(TStrings{})),
                                {"next 1", "skip 1", "skip 0"}, Text),
              "code: 1781 0 | S_FALSE | S_OK");
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
    auto same = [&](const TComPtr<IUnknown>& u) { return std::string(u.Get() == ua.Get() ? "ua" : "other"); };
    // Skipping exactly to the end is no failure.
    EXPECT_EQ(
        Walk<TComPtr<IUnknown>>(e, {"skip 3", "reset", "skip 1", "clone", "next 2", "reset", "skip 2"}, same),
        "S_FALSE | S_OK | S_OK | S_OK | S_OK 2 ua ua | S_OK | S_OK");
    EXPECT_EQ(e->Next(1, out, nullptr), E_INVALIDARG);
}

class ItemAttributesClient : public TOPCClientFixture {
protected:
    TComPtr<IEnumOPCItemAttributes> Enumerator(HRESULT expected = S_OK) {
        TComPtr<IUnknown> unknown;
        EXPECT_EQ(Items->CreateEnumerator(IEnumOPCItemAttributes::Iid, unknown), expected);
        return InterfaceOf<IEnumOPCItemAttributes>(unknown);
    }
};

TEST_F(ItemAttributesClient, ThreeItemsAskedForFive) {
    const auto handles = AddEach(
        {Def("PLC1.WR10", VT_EMPTY, 11), Def("PLC1.X001", VT_I4, 12, false), Def("PLC1.DR20", VT_EMPTY, 13)});
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
    EXPECT_EQ(seen, (decltype(seen){{"PLC1.WR10", -1, 11, handles[0], VT_UI2, VT_UI2, 3},
                                    {"PLC1.X001", 0, 12, handles[1], VT_I4, VT_BOOL, 3},
                                    {"PLC1.DR20", -1, 13, handles[2], VT_UI4, VT_UI4, 3}}));
    EXPECT_EQ(Walk<TOPCItemAttributes>(
                  e, {"next 1", "next 0", "reset", "skip 2", "next 1", "skip 1", "clone", "next 2"}, Handle),
              "code: 1781 0 | code: 1781 | S_OK | S_OK | S_OK 1 13 | S_FALSE | S_OK | S_OK 2 11 12");
}

TEST_F(ItemAttributesClient, EnumeratorSeesTheGroupsCurrentItemsAndOutlivesTheClientsGroupReference) {
    EXPECT_FALSE(Enumerator(S_FALSE)); // no items: nothing to enumerate
    TComPtr<IUnknown> other;
    EXPECT_EQ(Items->CreateEnumerator(IOPCItemMgt::Iid, other), E_INVALIDARG);
    const auto handles = AddEach({Def("PLC1.WR0", VT_EMPTY, 1), Def("PLC1.WR1", VT_EMPTY, 2)});
    auto e = Enumerator();
    ASSERT_TRUE(e);
    ASSERT_EQ(Items->RemoveItems({handles[0]}, Errors), S_OK);
    EXPECT_EQ(Walk<TOPCItemAttributes>(e, {"next 2"}, Handle), "code: 1781 1 2");
    Items.Reset();
    Sync.Reset();
    Async.Reset();
    GroupUnknown.Reset();
    // The group is still alive through e.
    EXPECT_EQ(Walk<TOPCItemAttributes>(e, {"reset", "next 1"}, [](const auto& a) { return a.ItemID; }),
              "S_OK | S_OK 1 PLC1.WR1");
}

} // namespace
} // namespace dravon::test
