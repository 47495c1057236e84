// Address-space browsing as a client does it: through IOPCBrowseServerAddressSpace of a
// server object made by the class factory, with item IDs checked by AddItems.
#include "OPCClientFixture.h"

#include "opc/BrowseObject.h"
#include "opc/OPCStringsEnumerator.h"
#include "plc/MemoryTypes.h"
#include "plc/Variables.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace dravon::test {
namespace {

class BrowseClient : public TOPCClientFixture {
protected:
    TComPtr<IOPCBrowseServerAddressSpace> Browser;

    void SetUp() override {
        TOPCClientFixture::SetUp();
        Browser = Server.As<IOPCBrowseServerAddressSpace>();
        ASSERT_TRUE(Browser);
    }

    static std::vector<std::string> List(IOPCBrowseServerAddressSpace& browser, std::uint32_t type) {
        TComPtr<IEnumString> names;
        EXPECT_EQ(browser.BrowseOPCItemIDs(type, "", VT_EMPTY, 0, names), S_OK);
        return AllOf(names);
    }
    std::vector<std::string> Branches() { return List(*Browser, OPC_BRANCH); }
    std::vector<std::string> Leaves() { return List(*Browser, OPC_LEAF); }
    HRESULT Down(const std::string& name) { return Browser->ChangeBrowsePosition(OPC_BROWSE_DOWN, name); }
    HRESULT Up() { return Browser->ChangeBrowsePosition(OPC_BROWSE_UP, ""); }
    std::string ItemID(const std::string& leaf) {
        std::string id;
        EXPECT_EQ(Browser->GetItemID(leaf, id), S_OK);
        return id;
    }
    // AddItems accepts the ID, and its location's address lies within the memory type.
    void ExpectAccepted(const std::string& id) {
        std::vector<TOPCItemResult> results;
        EXPECT_EQ(Items->AddItems({Def(id)}, results, Errors), S_OK) << id;
        ASSERT_EQ(Errors.size(), 1u);
        EXPECT_EQ(Errors[0], S_OK) << id;
        const std::size_t dot = id.find('.');
        auto parsed = ParseAddress(id.substr(dot + 1));
        ASSERT_TRUE(parsed) << id;
        EXPECT_LE(parsed->Address, MemoryTypes[static_cast<std::size_t>(parsed->Row)].MaxAddress);
    }
    // The names of a table's rows.
    template <class Table> static std::vector<std::string> NamesOf(const Table& table) {
        std::vector<std::string> names;
        for (const auto& row : table) names.emplace_back(row.Name);
        return names;
    }
};

TEST_F(BrowseClient, RootListsSysThenPLCsAndBelowThemServerAndStatusVariables) {
    std::uint32_t organization = 0;
    EXPECT_EQ(Browser->QueryOrganization(organization), S_OK);
    EXPECT_EQ(organization, OPC_NS_HIERARCHIAL);
    EXPECT_EQ(Branches(), (std::vector<std::string>{"Sys", "PLC1", "PLC2"}));
    EXPECT_TRUE(Leaves().empty());
    EXPECT_TRUE(List(*Browser, OPC_FLAT).empty());
    EXPECT_EQ(Up(), E_FAIL);
    EXPECT_EQ(Down("PLC9"), E_FAIL);
    EXPECT_EQ(Browser->ChangeBrowsePosition(OPC_BROWSE_TO, "PLC1"), E_FAIL);
    EXPECT_EQ(ItemID("PLC1"), "");
    TComPtr<IEnumString> paths = MakeCom<TOPCStringsEnumerator>(std::vector<std::string>{"x"});
    EXPECT_EQ(Browser->BrowseAccessPaths("PLC1.WR0", paths), E_NOTIMPL);
    EXPECT_FALSE(paths);
    // A failed move leaves the position alone.
    EXPECT_EQ(Branches(), (std::vector<std::string>{"Sys", "PLC1", "PLC2"}));

    ASSERT_EQ(Down("sYs"), S_OK);
    EXPECT_EQ(Leaves(), NamesOf(ServerVariableDefs));
    EXPECT_TRUE(Branches().empty());
    EXPECT_EQ(ItemID("ClientsConnected"), "Sys.ClientsConnected");
    EXPECT_EQ(Down("anything"), E_FAIL);
    ASSERT_EQ(Up(), S_OK);
    EXPECT_EQ(Branches().front(), "Sys");

    ASSERT_EQ(Down("plc2"), S_OK); // PLC names ignore case
    ASSERT_EQ(Down("SYS"), S_OK);
    EXPECT_EQ(Leaves(), NamesOf(StatusVariableDefs));
    EXPECT_TRUE(Branches().empty());
    EXPECT_EQ(ItemID("ComStatus"), "PLC2.ComStatus");
    EXPECT_EQ(Down("Name"), E_FAIL);
    ASSERT_EQ(Up(), S_OK); // back to the PLC
    std::vector<std::string> plcBranches = NamesOf(MemoryTypes);
    plcBranches.insert(plcBranches.begin(), "Sys");
    EXPECT_EQ(Branches(), plcBranches);
    EXPECT_TRUE(Leaves().empty());
    ASSERT_EQ(Up(), S_OK);
    EXPECT_EQ(Up(), E_FAIL); // at the root
}

// Digit levels below PLC1: what each offers (first, last, count), the names refused there,
// and the leaves AddItems accepts under their item IDs. X has two decimal bit digits, every
// digit of TC is decimal, M and WM stop at 7; below the last level there is no branch, Up
// removes one digit at a time, then leaves the memory type.
TEST_F(BrowseClient, DigitLevelsOfferTheDigitsOfValidAddressesOnly) {
    auto span = [](const std::vector<std::string>& list) {
        return list.empty() ? std::string()
                            : list.front() + " .. " + list.back() + " " + std::to_string(list.size());
    };
    const struct {
        std::vector<std::string> Path;
        std::string Branches, Leaves;
        std::vector<std::string> Refused;
    } rows[] = {
        {{"wr"}, "WR0xxx .. WRFxxx 16", "", {}},
        {{"WR", "WR0xxx"}, "WR00xx .. WR0Fxx 16", "", {}},
        {{"WR", "WR0xxx", "WR00xx", "WR001x"}, "", "WR0010 .. WR001F 16", {"WR0010"}},
        {{"WM"}, "WM0xxx .. WM7xxx 8", "", {}},
        {{"X"}, "X0xxxx .. X4xxxx 5", "", {"X5xxxx"}},
        {{"X", "X4xxxx", "X4Fxxx", "x4ffxx"}, "X4FF0x .. X4FF9x 10", "", {"X4FFAx"}},
        {{"X", "X4xxxx", "X4Fxxx", "x4ffxx", "X4FF9x"}, "", "X4FF90 .. X4FF95 6", {"X4FF95"}},
        {{"X", "X4xxxx", "X4Fxxx", "x4ffxx", "X4FF0x"}, "", "X4FF00 .. X4FF09 10", {}},
        {{"X", "X0xxxx", "X00xxx", "X000xx", "X0009x"}, "", "X00090 .. X00095 6", {}},
        {{"TC"}, "TC0xxx .. TC4xxx 5", "", {}},
        {{"TC", "TC4xxx"}, "TC40xx .. TC40xx 1", "", {"TC41xx"}},
        {{"TC", "TC4xxx", "TC40xx"}, "TC400x .. TC409x 10", "", {}},
        {{"TC", "TC4xxx", "TC40xx", "TC409x"}, "", "TC4090 .. TC4096 7", {}},
        {{"M"}, "M0xxxx .. M7xxxx 8", "", {"M", "", "MZxxxx", "M8xxxx"}},
        {{"M", "M7xxxx"}, "M70xxx .. M7Fxxx 16", "", {}},
        {{"R", "R7xx", "R7Fx"}, "", "R7F0 .. R7FF 16", {}},
        {{"DR", "DRFxxx", "DRFFxx", "DRFFFx"}, "", "DRFFF0 .. DRFFFE 15", {}},
        {{"WX"}, "WX0xxx .. WX4xxx 5", "", {"WX5xxx"}},
        {{"WX", "WX4xxx", "WX4Fxx", "WX4FFx"}, "", "WX4FF0 .. WX4FF9 10", {}},
        {{"DIF"}, "DIF0xx .. DIF5xx 6", "", {"DIF6xx", "DIFAxx"}},
        {{"DIF", "DIF5xx", "DIF51x"}, "", "DIF510 .. DIF511 2", {}},
        {{"WEX", "WEX5xxx"}, "WEX50xx .. WEX5Axx 11", "", {"WEX5Bxx"}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.Path.back());
        ASSERT_EQ(Down("PLC1"), S_OK);
        for (const auto& name : row.Path) ASSERT_EQ(Down(name), S_OK) << name;
        EXPECT_EQ(span(Branches()), row.Branches);
        const auto leaves = Leaves();
        EXPECT_EQ(span(leaves), row.Leaves);
        for (const auto& name : row.Refused) EXPECT_EQ(Down(name), E_FAIL) << name;
        for (const auto& leaf : leaves.empty() ? leaves : std::vector{leaves.front(), leaves.back()}) {
            EXPECT_EQ(ItemID(leaf), "PLC1." + leaf);
            ExpectAccepted("PLC1." + leaf);
        }
        for (std::size_t i = 0; i <= row.Path.size(); ++i) ASSERT_EQ(Up(), S_OK);
    }
}

TEST_F(BrowseClient, RangeLeavesWhenBrowsingIsNotAllowed) {
    T.Context.Settings.AllowBrowsing = false;
    ASSERT_EQ(Down("PLC1"), S_OK);
    EXPECT_EQ(Branches(), (std::vector<std::string>{"Sys"}));
    const auto leaves = Leaves();
    ASSERT_EQ(leaves.size(), static_cast<std::size_t>(MemoryTypeCount));
    EXPECT_EQ(leaves[0], "X0 .. X4FF95");
    EXPECT_EQ(leaves[7], "WR0 .. WRFFFF");
    EXPECT_EQ(leaves[20], "TC0 .. TC04096");
    EXPECT_EQ(Down("WR"), E_FAIL);
    EXPECT_EQ(ItemID("WR0 .. WRFFFF"), "PLC1.WR0");
    EXPECT_EQ(ItemID("X0 .. X4FF95"), "PLC1.X0");
    for (const auto& leaf : leaves) ExpectAccepted(ItemID(leaf));
    EXPECT_EQ(Down("Sys"), S_OK);
}

// More than 600 calls of one client within a window, the last made in a PLC, close the PLCs'
// memory for every client, also one browsing inside a memory type; calls spread over
// windows or made outside a PLC do not.
TEST_F(BrowseClient, IntensiveBrowsingClosesPLCMemoryForEveryClient) {
    TComPtr<IOPCServer> server2 = Connect();
    auto browser2 = server2.As<IOPCBrowseServerAddressSpace>();
    ASSERT_TRUE(browser2);
    ASSERT_EQ(browser2->ChangeBrowsePosition(OPC_BROWSE_DOWN, "PLC2"), S_OK);
    ASSERT_EQ(browser2->ChangeBrowsePosition(OPC_BROWSE_DOWN, "WR"), S_OK);
    auto nextWindow = [&] {
        T.Platform.Clock.Step(4000); // the browse window
        Connections.ServerTick();
    };
    ASSERT_EQ(Down("PLC1"), S_OK);
    for (int window = 0; window < 3; ++window) {
        for (int i = 0; i < 590; ++i) ASSERT_EQ(Down("NoSuchType"), E_FAIL);
        nextWindow();
    }
    ASSERT_EQ(Up(), S_OK);
    for (int i = 0; i < 700; ++i) ASSERT_EQ(Down("NoSuchPLC"), E_FAIL);
    EXPECT_FALSE(Connections.IntensiveBrowsingDetected);

    nextWindow();
    ASSERT_EQ(Down("PLC1"), S_OK); // call 1
    for (int i = 2; i <= 600; ++i) ASSERT_EQ(Down("NoSuchType"), E_FAIL);
    EXPECT_FALSE(Connections.IntensiveBrowsingDetected);
    EXPECT_EQ(Down("NoSuchType"), E_FAIL); // call 601, in a PLC
    EXPECT_TRUE(Connections.IntensiveBrowsingDetected);
    EXPECT_EQ(Branches(), (std::vector<std::string>{"Sys"}));
    EXPECT_EQ(Down("WR"), E_FAIL);

    // The other client, inside WR, in a later window.
    nextWindow();
    EXPECT_TRUE(List(*browser2, OPC_BRANCH).empty() && List(*browser2, OPC_LEAF).empty());
    EXPECT_EQ(browser2->ChangeBrowsePosition(OPC_BROWSE_DOWN, "WR0xxx"), E_FAIL);
    ASSERT_EQ(browser2->ChangeBrowsePosition(OPC_BROWSE_UP, ""), S_OK);
    EXPECT_EQ(List(*browser2, OPC_LEAF).at(7), "WR0 .. WRFFFF");
    EXPECT_EQ(browser2->ChangeBrowsePosition(OPC_BROWSE_DOWN, "WR"), E_FAIL);

    // With the guard switched off, the detection no longer restricts.
    T.Context.Settings.DetectIntensiveBrowsing = false;
    EXPECT_EQ(browser2->ChangeBrowsePosition(OPC_BROWSE_DOWN, "WR"), S_OK);
}

TEST_F(BrowseClient, DeletedPLCUnderTheBrowserFallsBackToTheRoot) {
    ASSERT_EQ(Down("PLC2"), S_OK);
    ASSERT_EQ(Down("WR"), S_OK);
    ASSERT_EQ(Down("WR1xxx"), S_OK);
    PLCs.DeletePLC(1);
    EXPECT_EQ(Branches(), (std::vector<std::string>{"Sys", "PLC1"}));
    EXPECT_EQ(ItemID("WR1000"), "");
    EXPECT_EQ(Up(), E_FAIL);
}

} // namespace
} // namespace dravon::test
