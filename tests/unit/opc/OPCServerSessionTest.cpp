// The server object as a client sees it over a short session: the session-log lines about
// clients and groups, GetStatus, error strings and the debug-log lines of item calls.
#include "OPCClientFixture.h"

#include "app/Logger.h"
#include "opc/FileTime.h"
#include "opc/OPCErrorStrings.h"
#include "unit/app/TempDir.h"

namespace dravon {
namespace {

using test::TOPCClientFixture;

class OPCServerSessionTest : public TOPCClientFixture {
protected:
    test::TTempDir Dir;
    TLogger Debug{T.Platform.Clock, Dir.File("DravonDebug.Log")};
    void TearDown() override {
        TOPCClientFixture::TearDown();
        T.Context.Debug = &T.Debug; // the server object outlives this logger
    }
};

TEST_F(OPCServerSessionTest, SessionLogFollowsTheClientThroughItsSession) {
    auto common = Server.As<IOPCCommon>();
    ASSERT_TRUE(common);
    ASSERT_EQ(common->SetClientName("Tester"), S_OK);
    OPCHANDLE h2 = 0, h3 = 0;
    std::uint32_t rate = 0;
    TComPtr<IUnknown> g2, g3;
    ASSERT_EQ(AddGroup("G2", 500, h2, rate, g2), S_OK);
    // The client still holds G2: it is only marked.
    EXPECT_EQ(Server->RemoveGroup(h2, 0), OPC_S_INUSE);
    g2 = nullptr;
    // The next AddGroup purges it.
    ASSERT_EQ(AddGroup("G3", 60, h3, rate, g3), OPC_S_UNSUPPORTEDRATE);
    EXPECT_EQ(rate, 75u);
    EXPECT_EQ(Server->RemoveGroup(h3, 1), S_OK);
    EXPECT_EQ(Server->RemoveGroup(h3, 1), E_INVALIDARG);
    Items = nullptr;
    GroupUnknown = nullptr;
    common = nullptr;
    Server = nullptr;
    // Groups that go with their server object write no line of their own.
    EXPECT_EQ(T.Capture.Lines, (std::vector<std::string>{
                                   "Client connected at 12/09/25  12:00:00",
                                   "Client Client name unknown created group G1 at 12/09/25  12:00:00",
                                   "Client identifies itself as Tester",
                                   "Client Tester created group G2 at 12/09/25  12:00:00",
                                   "Group G2 deleted at 12/09/25  12:00:00",
                                   "Client Tester created group G3 at 12/09/25  12:00:00",
                                   "Group G3 deleted at 12/09/25  12:00:00",
                                   "Client Tester disconnected at 12/09/25  12:00:00",
                               }));
    EXPECT_EQ(Connections.Count(), 0u);
}

// Names a client chooses reach the log escaped and cut: they cannot forge a line, move
// the operator's terminal or fill the disk.
TEST_F(OPCServerSessionTest, ClientChosenNamesCannotForgeLogLines) {
    auto common = Server.As<IOPCCommon>();
    ASSERT_TRUE(common);
    const std::pair<std::string, std::string> rows[] = {
        {"HMI\nServer shut down at 12:00:00", "HMI\\x0AServer shut down at 12:00:00"},
        {"\x1B]0;owned\x07\x1B[2J", "\\x1B]0;owned\\x07\\x1B[2J"},
        {"\xC2\x9B"
         "31m",
         "\\xC2\\x9B31m"},                               // C1 CSI
        {"K\xC3\xBChlung \xC3", "K\xC3\xBChlung \\xC3"}, // UTF-8 kept, a cut sequence escaped
        {"\xE0\x9F\xBF", "\\xE0\\x9F\\xBF"},             // an overlong encoding escaped
        {std::string(1000000, 'n'), std::string(256, 'n') + "..."},
    };
    for (const auto& [name, shown] : rows) {
        SCOPED_TRACE(shown.substr(0, 40));
        ASSERT_EQ(common->SetClientName(name), S_OK);
        EXPECT_EQ(T.Capture.Lines.back(), "Client identifies itself as " + shown);
        OPCHANDLE handle = 0;
        std::uint32_t rate = 0;
        TComPtr<IUnknown> group;
        ASSERT_EQ(AddGroup(name, 500, handle, rate, group), S_OK);
        EXPECT_EQ(T.Capture.Lines.back(),
                  "Client " + shown + " created group " + shown + " at 12/09/25  12:00:00");
        group = nullptr;
        ASSERT_EQ(Server->RemoveGroup(handle, 1), S_OK);
    }
}

// GetStatus counts the groups and names the vendor. Every code's name and text as both
// GetErrorString methods give them; system texts lose their trailing line break and
// period; a code known to neither table has no text.
TEST_F(OPCServerSessionTest, GetStatusErrorStringsAndResultNames) {
    std::unique_ptr<TOPCServerStatus> status;
    ASSERT_EQ(Server->GetStatus(status), S_OK);
    ASSERT_TRUE(status);
    const TOPCServerStatus& st = *status;
    EXPECT_EQ(std::tie(st.ServerState, st.GroupCount, st.BandWidth, st.MajorVersion, st.MinorVersion,
                       st.BuildNumber, st.VendorInfo),
              std::tuple(OPC_STATUS_RUNNING, 1u, 100u, 2, 0, 0, "Dravon OPC Data Access Server"));
    // No update yet: date-time 0, which is 30 December 1899, not FILETIME 0.
    EXPECT_EQ(status->LastUpdateTime, LocalDateTimeToFileTime(0, T.Platform.Clock));
    EXPECT_NE(status->LastUpdateTime.ToUInt64(), 0u);
    EXPECT_EQ(status->StartTime, LocalDateTimeToFileTime(46000.5, T.Platform.Clock));
    const std::tuple<std::uint32_t, const char*, const char*> rows[] = {
        {0x00000000, "S_OK", "The operation completed successfully"},
        {0x00000001, "S_FALSE", "Incorrect function"},
        {0x80004001, "E_NOTIMPL", "Not implemented"},
        {0x80004002, "E_NOINTERFACE", "No such interface supported"},
        {0x80004005, "E_FAIL", "Unspecified error"},
        {0x8007000E, "E_OUTOFMEMORY", "Not enough storage is available to complete this operation"},
        {0x80070057, "E_INVALIDARG", "The parameter is incorrect"},
        {0xC0040001, "OPC_E_INVALIDHANDLE", "The value of the handle is invalid."},
        {0xC0040004, "OPC_E_BADTYPE",
         "The server cannot convert the data between the requested data type and the canonical data type."},
        {0xC0040005, "OPC_E_PUBLIC", "The requested operation cannot be done on a public group."},
        {0xC0040006, "OPC_E_BADRIGHTS", "The Items AccessRights do not allow the operation."},
        {0xC0040007, "OPC_E_UNKNOWNITEMID", "The item is no longer available in the server address space."},
        {0xC0040008, "OPC_E_INVALIDITEMID", "The item definition does not conform to the server's syntax."},
        {0xC0040009, "OPC_E_INVALIDFILTER", "The filter string was not valid."},
        {0xC004000A, "OPC_E_UNKNOWNPATH", "The item's access path is not known to the server."},
        {0xC004000B, "OPC_E_RANGE", "The value was out of range."},
        {0xC004000C, "OPC_E_DUPLICATENAME", "Duplicate name not allowed."},
        {0x0004000D, "OPC_S_UNSUPPORTEDRATE",
         "The server does not support the requested data rate but will use the closest available rate."},
        {0x0004000E, "OPC_S_CLAMP", "A value passed to WRITE was accepted but the output was clamped."},
        {0x0004000F, "OPC_S_INUSE",
         "The operation cannot be completed because the object still has references that exist."},
        {0xC0040010, "OPC_E_INVALIDCONFIGFILE", "The server's configuration file is an invalid format."},
        {0xC0040011, "OPC_E_NOTFOUND", "The server could not locate the requested object."},
        {0xC0040203, "OPC_E_INVALID_PID", "The server does not recognise the passed property ID."},
        {0x00040200, "OPC_S_ALREADYACKED", "The condition has already been acknowleged."},
        {0x00040201, "OPC_S_INVALIDBUFFERTIME", "The buffer time parameter was invalid."},
        {0x00040202, "OPC_S_INVALIDMAXSIZE", "The max size parameter was invalid."},
        {0xC0040204, "OPC_E_INVALIDTIME", "The time does not match the latest active time."},
        {0xC0040205, "OPC_E_BUSY", "A refresh is currently in progress."},
        {0xC0040206, "OPC_E_NOINFO", "Information is not available."},
        {0xC0040002, "code: -1073479678", ""},
        {0xC0040003, "code: -1073479677", ""},
        {0x80040200, "code: -2147220992", ""},
        {0x80040201, "code: -2147220991", ""},
        {0x000006F5, "code: 1781", "The enumeration value is out of range"},
        {0x80020005, "code: -2147352571", "Type mismatch"},
    };
    auto common = Server.As<IOPCCommon>();
    ASSERT_TRUE(common);
    for (const auto& [number, name, expected] : rows) {
        const auto code = static_cast<HRESULT>(number);
        SCOPED_TRACE(name);
        EXPECT_EQ(ResultName(code), name);
        std::string text = "stale", common2 = "stale";
        ASSERT_EQ(Server->GetErrorString(code, 1033, text), S_OK);
        ASSERT_EQ(common->GetErrorString(code, common2), S_OK);
        EXPECT_EQ(std::pair(text, common2), std::pair(std::string(expected), std::string(expected)));
    }
}

TEST_F(OPCServerSessionTest, ItemAndBrowseCallsWriteTheirDebugLines) {
    Debug.Enabled = true;
    T.Context.Debug = &Debug;
    std::vector<TOPCItemResult> results;
    ASSERT_EQ(Items->AddItems({Def("PLC1.WR0001"), Def("PLC9.WR0001")}, results, Errors), S_FALSE);
    ASSERT_EQ(Items->SetActiveState({results[0].ServerHandle}, 0, Errors), S_OK);
    ASSERT_EQ(Items->RemoveItems({12345}, Errors), S_FALSE);
    ASSERT_EQ(Items->AddItems({}, results, Errors), E_INVALIDARG);
    auto browser = Server.As<IOPCBrowseServerAddressSpace>();
    std::uint32_t organization = 0;
    browser->QueryOrganization(organization);
    browser->ChangeBrowsePosition(OPC_BROWSE_DOWN, "PLC1");
    browser->ChangeBrowsePosition(OPC_BROWSE_DOWN, "Nowhere");
    TComPtr<IEnumString> names;
    browser->BrowseOPCItemIDs(OPC_BRANCH, "", VT_EMPTY, 0, names);
    std::string id;
    browser->GetItemID("WR0", id);
    browser->BrowseAccessPaths("", names);
    EXPECT_EQ(test::ReadFile(Dir.File("DravonDebug.Log")),
              "\n"
              "|12/09/25 12:00:00| Call start | IOPCItemMgt::AddItems\n"
              "|12/09/25 12:00:00| Call end   | IOPCItemMgt::AddItems=S_FALSE\n"
              "\n"
              "|12/09/25 12:00:00| Call start | IOPCItemMgt::SetActiveState\n"
              "|12/09/25 12:00:00| Call end   | IOPCItemMgt::SetActiveState=S_OK\n"
              "\n"
              "|12/09/25 12:00:00| Call start | IOPCItemMgt::RemoveItems\n"
              "|12/09/25 12:00:00| Call end   | IOPCItemMgt::RemoveItems=S_FALSE\n"
              "\n"
              "|12/09/25 12:00:00| Call start | IOPCItemMgt::AddItems\n"
              "|12/09/25 12:00:00| Call end   | IOPCItemMgt::AddItems=E_INVALIDARG\n"
              "\n"
              "|12/09/25 12:00:00| Call | IOPCBrowseServerAddressSpace::QueryOrganization=S_OK\n"
              "|12/09/25 12:00:00| Call | IOPCBrowseServerAddressSpace::ChangeBrowsePosition PLC1\n"
              "|12/09/25 12:00:00| Call | IOPCBrowseServerAddressSpace::ChangeBrowsePosition=S_OK\n"
              "|12/09/25 12:00:00| Call | IOPCBrowseServerAddressSpace::ChangeBrowsePosition Nowhere\n"
              "|12/09/25 12:00:00| Call | IOPCBrowseServerAddressSpace::ChangeBrowsePosition=E_FAIL\n"
              "\n"
              "|12/09/25 12:00:00| Call start | IOPCBrowseServerAddreddSpace::BrowseOPCItemIDs\n"
              "|12/09/25 12:00:00| Call end   | IOPCBrowseServerAddreddSpace::BrowseOPCItemIDs=S_OK\n"
              "\n"
              "|12/09/25 12:00:00| Call | IOPCBrowseServerAddressSpace::GetItemID=S_OK\n"
              "|12/09/25 12:00:00| Call | IOPCBrowseServerAddressSpace::BrowseAccessPaths=E_NOTIMPL\n");
}

} // namespace
} // namespace dravon
