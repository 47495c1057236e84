// Groups as a client manages them: names (generated and duplicate), rate revision, state,
// group enumerators and the server's locale (cloning is in OPCGroupIOTest).
#include "OPCClientFixture.h"

#include "opc/ComInterfaces.h"

namespace dravon {
namespace {

using test::TOPCClientFixture;

class OPCGroupStateTest : public TOPCClientFixture {
protected:
    TComPtr<IOPCGroupStateMgt> State() { return InterfaceOf<IOPCGroupStateMgt>(GroupUnknown); }
    std::vector<std::string> GroupNames(std::uint32_t scope) {
        TComPtr<IUnknown> unknown;
        EXPECT_EQ(Server->CreateGroupEnumerator(scope, IEnumString::Iid, unknown), S_OK);
        return AllOf(InterfaceOf<IEnumString>(unknown));
    }
};

TEST_F(OPCGroupStateTest, NamesAreDistinctPerServerObjectAndRatesAreRevisedToWholeTicks) {
    OPCHANDLE h1 = 0, h2 = 0, h3 = 0;
    std::uint32_t revised = 0;
    TComPtr<IUnknown> g1, g2, g3;
    // The manual clock does not move: the second name must still differ from the first.
    ASSERT_EQ(AddGroup("", 1000, h1, revised, g1), S_OK);
    ASSERT_EQ(AddGroup("", 1000, h2, revised, g2), S_OK);
    const std::string n1 = StateOf(g1).Name, n2 = StateOf(g2).Name;
    EXPECT_EQ(n1, std::to_string(T.Platform.Clock.Tick));
    EXPECT_TRUE(n1 != n2 && h1 != h2);

    // "G1" exists in this server object (exact comparison), but not in another one.
    EXPECT_EQ(AddGroup("G1", 1000, h3, revised, g3), OPC_E_DUPLICATENAME);
    EXPECT_FALSE(g3);
    EXPECT_EQ(AddGroup("g1", 1000, h3, revised, g3), S_OK);

    auto otherServer = Connect();
    ASSERT_TRUE(otherServer);
    EXPECT_EQ(AddGroup("G1", 1000, h3, revised, g3, otherServer), S_OK);
    EXPECT_NE(h3, GroupHandle);

    // Rates are revised to whole server ticks. A new group's rate is 0: asking for 0 keeps it
    // (updated on every tick).
    OPCHANDLE h = 0;
    for (const auto& [name, rate, result, expected] :
         {std::tuple("R1", 1010u, OPC_S_UNSUPPORTEDRATE, 1025u),
          std::tuple("R2", 10u, OPC_S_UNSUPPORTEDRATE, 25u), std::tuple("R3", 0u, S_OK, 0u)}) {
        TComPtr<IUnknown> g;
        EXPECT_EQ(AddGroup(name, rate, h, revised, g), result) << name;
        EXPECT_EQ(revised, expected) << name;
    }

    auto state = State();
    ASSERT_TRUE(state);
    std::uint32_t requested = 60;
    EXPECT_EQ(state->SetState(&requested, revised, nullptr, nullptr, nullptr, nullptr, nullptr),
              OPC_S_UNSUPPORTEDRATE);
    EXPECT_EQ(revised, 75u);
    // Nothing requested: S_OK, nothing changes, the current rate still comes back.
    revised = 0;
    EXPECT_EQ(state->SetState(nullptr, revised, nullptr, nullptr, nullptr, nullptr, nullptr), S_OK);
    EXPECT_EQ(revised, 75u);
    requested = 0xFFFFFFFFu; // must not wrap to a tiny rate
    EXPECT_EQ(state->SetState(&requested, revised, nullptr, nullptr, nullptr, nullptr, nullptr),
              OPC_S_UNSUPPORTEDRATE);
    EXPECT_GE(revised, 0xFFFFFFFFu - 24u);
    EXPECT_EQ(revised % 25u, 0u);
}

TEST_F(OPCGroupStateTest, SetStateStoresEachGivenValueEnumeratorsFollowTheScopeAndSetNameRefusesTakenNames) {
    auto state = State();
    ASSERT_TRUE(state);
    std::int32_t inactive = 0, bias = -60;
    float deadband = 12.5f;
    std::uint32_t locale = 1031, revised = 0;
    OPCHANDLE clientHandle = 99;
    ASSERT_EQ(state->SetState(nullptr, revised, &inactive, &bias, &deadband, &locale, &clientHandle), S_OK);
    EXPECT_EQ(StateOf(GroupUnknown), (test::TGroupState{1000, 1031, 0, -60, "G1", 12.5f, 99, GroupHandle}));
    std::int32_t on = 5;
    ASSERT_EQ(state->SetState(nullptr, revised, &on, nullptr, nullptr, nullptr, nullptr), S_OK);
    EXPECT_EQ(StateOf(GroupUnknown).Active, -1);

    OPCHANDLE h = 0;
    TComPtr<IUnknown> g2;
    ASSERT_EQ(AddGroup("G2", 1000, h, revised, g2), S_OK);
    // Group enumerators follow the scope.
    EXPECT_EQ(GroupNames(4), (std::vector<std::string>{"G2", "G1"}));
    EXPECT_EQ(GroupNames(6), (std::vector<std::string>{"G2", "G1"}));
    EXPECT_TRUE(GroupNames(5).empty() && GroupNames(2).empty());
    TComPtr<IUnknown> e;
    EXPECT_EQ(Server->CreateGroupEnumerator(7, IEnumString::Iid, e), E_INVALIDARG);
    EXPECT_FALSE(e);
    EXPECT_EQ(Server->CreateGroupEnumerator(7, IEnumUnknown::Iid, e), E_INVALIDARG);
    ASSERT_EQ(Server->CreateGroupEnumerator(1, IEnumUnknown::Iid, e), S_OK);
    auto groups = InterfaceOf<IEnumUnknown>(e);
    ASSERT_TRUE(groups);
    std::vector<TComPtr<IUnknown>> found;
    std::uint32_t fetched = 0;
    EXPECT_EQ(groups->Next(5, found, &fetched), 1781); // fewer than asked for
    ASSERT_EQ(fetched, 2u);
    EXPECT_EQ(StateOf(found[0]).Name, "G2");

    EXPECT_EQ(state->SetName("G1"), OPC_E_DUPLICATENAME); // its own name
    EXPECT_EQ(state->SetName("G2"), OPC_E_DUPLICATENAME);
    EXPECT_EQ(state->SetName(""), E_INVALIDARG);
    EXPECT_EQ(StateOf(GroupUnknown).Name, "G1");
    EXPECT_EQ(state->SetName("Renamed"), S_OK);
    EXPECT_EQ(Server->GetGroupByName("Renamed", IOPCItemMgt::Iid, e), S_OK);
    EXPECT_TRUE(e);
}

TEST_F(OPCGroupStateTest, LocaleAcceptsOnlyTheTwoOfferedIdentifiers) {
    auto common = Server.As<IOPCCommon>();
    ASSERT_TRUE(common);
    auto locale = [&] {
        std::uint32_t lcid = 0;
        EXPECT_EQ(common->GetLocaleID(lcid), S_OK);
        return lcid;
    };
    EXPECT_EQ(locale(), 2048u);
    EXPECT_EQ(common->SetLocaleID(1033), E_INVALIDARG);
    EXPECT_EQ(locale(), 2048u);
    EXPECT_EQ(common->SetLocaleID(1024), S_OK);
    EXPECT_EQ(locale(), 1024u);
    std::vector<std::uint32_t> offered;
    ASSERT_EQ(common->QueryAvailableLocaleIDs(offered), S_OK);
    EXPECT_EQ(offered, (std::vector<std::uint32_t>{2048, 1024}));
}

} // namespace
} // namespace dravon
