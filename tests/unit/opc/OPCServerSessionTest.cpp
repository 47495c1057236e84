// The server object as a client sees it over a short session: the session-log lines about
// clients and groups, GetStatus, error strings and the debug-log lines of item calls.
#include "OPCClientFixture.h"

#include "app/Logger.h"
#include "opc/FileTime.h"

#include <cstdio>
#include <fstream>
#include <sstream>
#include <unistd.h>

namespace dravon {
namespace {

using test::TOPCClientFixture;

class OPCServerSessionTest : public TOPCClientFixture {
protected:
    std::string DebugPath = "/tmp/dravon-items-debug-" + std::to_string(::getpid()) + ".log";
    TLogger Debug{T.Platform.Clock, DebugPath};

    void StartDebugLog() {
        std::remove(DebugPath.c_str());
        Debug.Enabled = true;
        T.Context.Debug = &Debug;
    }
    void TearDown() override {
        TOPCClientFixture::TearDown();
        T.Context.Debug = &T.Debug; // the server object outlives this logger
        std::remove(DebugPath.c_str());
    }
    std::vector<std::string> DebugLines() const {
        std::ifstream in(DebugPath, std::ios::binary);
        std::vector<std::string> lines;
        for (std::string line; std::getline(in, line);) lines.push_back(line);
        return lines;
    }
};

TEST_F(OPCServerSessionTest, SessionLogFollowsTheClientThroughItsSession) {
    auto common = Server.As<IOPCCommon>();
    ASSERT_TRUE(common);
    ASSERT_EQ(common->SetClientName("Tester"), S_OK);
    OPCHANDLE h2 = 0;
    std::uint32_t rate = 0;
    TComPtr<IUnknown> g2;
    ASSERT_EQ(Server->AddGroup("G2", 1, 500, 2, nullptr, nullptr, 1033, h2, rate, IOPCItemMgt::Iid, g2),
              S_OK);
    // The client still holds G2: it is only marked.
    EXPECT_EQ(Server->RemoveGroup(h2, 0), OPC_S_INUSE);
    g2 = nullptr;
    // The next AddGroup purges it.
    OPCHANDLE h3 = 0;
    TComPtr<IUnknown> g3;
    ASSERT_EQ(Server->AddGroup("G3", 1, 60, 3, nullptr, nullptr, 1033, h3, rate, IOPCItemMgt::Iid, g3),
              OPC_S_UNSUPPORTEDRATE);
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
    const struct {
        std::string Name;
        std::string Shown;
    } rows[] = {
        {"HMI\nServer shut down at 12:00:00", "HMI\\x0AServer shut down at 12:00:00"},
        {"\x1B]0;owned\x07\x1B[2J", "\\x1B]0;owned\\x07\\x1B[2J"},
        {"\xC2\x9B"
         "31m",
         "\\xC2\\x9B31m"},                               // C1 CSI
        {"K\xC3\xBChlung \xC3", "K\xC3\xBChlung \\xC3"}, // UTF-8 kept, a cut sequence escaped
        {std::string(1000000, 'n'), std::string(256, 'n') + "..."},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.Shown.substr(0, 40));
        ASSERT_EQ(common->SetClientName(row.Name), S_OK);
        EXPECT_EQ(T.Capture.Lines.back(), "Client identifies itself as " + row.Shown);
        OPCHANDLE handle = 0;
        std::uint32_t rate = 0;
        TComPtr<IUnknown> group;
        ASSERT_EQ(Server->AddGroup(row.Name, 1, 500, 9, nullptr, nullptr, 1033, handle, rate,
                                   IOPCItemMgt::Iid, group),
                  S_OK);
        EXPECT_EQ(T.Capture.Lines.back(),
                  "Client " + row.Shown + " created group " + row.Shown + " at 12/09/25  12:00:00");
        group = nullptr;
        ASSERT_EQ(Server->RemoveGroup(handle, 1), S_OK);
    }
}

TEST_F(OPCServerSessionTest, GetStatusCountsGroupsAndNamesTheVendor) {
    std::unique_ptr<TOPCServerStatus> status;
    ASSERT_EQ(Server->GetStatus(status), S_OK);
    ASSERT_TRUE(status);
    EXPECT_EQ(status->ServerState, OPC_STATUS_RUNNING);
    EXPECT_EQ(status->GroupCount, 1u);
    EXPECT_EQ(status->BandWidth, 100u);
    EXPECT_EQ(status->MajorVersion, 2);
    EXPECT_EQ(status->MinorVersion, 0);
    EXPECT_EQ(status->BuildNumber, 0);
    EXPECT_EQ(status->VendorInfo, "Dravon OPC Data Access Server");
    // No update yet: date-time 0, which is 30 December 1899, not FILETIME 0.
    EXPECT_EQ(status->LastUpdateTime, LocalDateTimeToFileTime(0, T.Platform.Clock));
    EXPECT_NE(status->LastUpdateTime.ToUInt64(), 0u);
    EXPECT_EQ(status->StartTime, LocalDateTimeToFileTime(46000.5, T.Platform.Clock));
}

TEST_F(OPCServerSessionTest, ErrorStringsOfTheItemCodes) {
    std::string text;
    ASSERT_EQ(Server->GetErrorString(OPC_E_UNKNOWNITEMID, 2048, text), S_OK);
    EXPECT_EQ(text, "The item is no longer available in the server address space.");
    ASSERT_EQ(Server->GetErrorString(OPC_E_BADTYPE, 2048, text), S_OK);
    EXPECT_EQ(
        text,
        "The server cannot convert the data between the requested data type and the canonical data type.");
    ASSERT_EQ(Server->GetErrorString(OPC_E_BADRIGHTS, 2048, text), S_OK);
    EXPECT_EQ(text, "The Items AccessRights do not allow the operation.");
    ASSERT_EQ(Server->GetErrorString(OPC_E_INVALIDHANDLE, 2048, text), S_OK);
    EXPECT_EQ(text, "The value of the handle is invalid.");
}

TEST_F(OPCServerSessionTest, ItemCallsWriteTheirDebugLines) {
    StartDebugLog();
    std::vector<TOPCItemResult> results;
    std::vector<HRESULT> errors;
    ASSERT_EQ(Items->AddItems({Def("PLC1.WR0001"), Def("PLC9.WR0001")}, results, errors), S_FALSE);
    ASSERT_EQ(Items->SetActiveState({results[0].ServerHandle}, 0, errors), S_OK);
    ASSERT_EQ(Items->RemoveItems({12345}, errors), S_FALSE);
    ASSERT_EQ(Items->AddItems({}, results, errors), E_INVALIDARG);
    EXPECT_EQ(DebugLines(), (std::vector<std::string>{
                                "",
                                "|12/09/25 12:00:00| Call start | IOPCItemMgt::AddItems",
                                "|12/09/25 12:00:00| Call end   | IOPCItemMgt::AddItems=S_FALSE",
                                "",
                                "|12/09/25 12:00:00| Call start | IOPCItemMgt::SetActiveState",
                                "|12/09/25 12:00:00| Call end   | IOPCItemMgt::SetActiveState=S_OK",
                                "",
                                "|12/09/25 12:00:00| Call start | IOPCItemMgt::RemoveItems",
                                "|12/09/25 12:00:00| Call end   | IOPCItemMgt::RemoveItems=S_FALSE",
                                "",
                                "|12/09/25 12:00:00| Call start | IOPCItemMgt::AddItems",
                                "|12/09/25 12:00:00| Call end   | IOPCItemMgt::AddItems=E_INVALIDARG",
                            }));
}

TEST_F(OPCServerSessionTest, ItemRemovedDuringADeviceReadIsReportedAsAnInvalidHandle) {
    const OPCHANDLE a = Add("PLC1.WR0001");
    const OPCHANDLE b = Add("PLC1.WR0002");
    auto sync = InterfaceOf<IOPCSyncIO>(GroupUnknown);
    bool removed = false;
    T.Platform.OnProcessPending = [&] {
        T.Platform.Clock.Step(20);
        if (!removed) {
            std::vector<HRESULT> errors;
            Items->RemoveItems({a}, errors);
            removed = true;
        }
        PLC1.FindLocation(10, 2, false)->StoreReadValue(9, T.Platform.Clock.Date);
    };
    std::vector<TOPCItemState> states;
    std::vector<HRESULT> errors;
    ASSERT_EQ(sync->Read(OPC_DS_DEVICE, {a, b}, states, errors), S_FALSE);
    EXPECT_EQ(errors, (std::vector<HRESULT>{OPC_E_INVALIDHANDLE, S_OK}));
    EXPECT_EQ(states[0].ClientHandle, 0u);
    EXPECT_EQ(states[1].Value, TVariant::UI2(9));
}

} // namespace
} // namespace dravon
