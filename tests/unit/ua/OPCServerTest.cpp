// The OPC side of the program in the server core's order: the endpoint listens where the
// stored settings say once the PLC list is loaded, a UA session is a server object that
// "Clients connected" counts on the 300 ms refresh, and the shut-down ends the sessions
// (client log lines) before the server objects go.
#include "server/OPCServer.h"
#include "UaTestClient.h"
#include "app/KeyValueStore.h"
#include "app/MemoryStore.h"
#include "opc/OPCDAConnectionCollection.h"
#include "plc/HitachiLocation.h"
#include "plc/PLCCollection.h"
#include "server/ServerCore.h"
#include "support/FakePlatform.h"
#include "support/TestContext.h"
#include "ua/UaServer.h"
#include "ua/UaStatusCodes.h"
#include "unit/app/TempDir.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace dravon {
namespace {

class TFakeListener : public IUaListener {
public:
    std::string Address;
    std::uint16_t BoundPort = 0;
    bool Refuse = false;
    int Closed = 0;
    std::string ErrorText() const override { return Refuse ? "Address already in use" : ""; }
    bool Listen(const std::string& address, std::uint16_t port) override {
        Address = address;
        BoundPort = port;
        return !Refuse;
    }
    std::uint16_t Port() const override { return BoundPort; }
    void Close() override { ++Closed; }
};

class OPCServerTest : public ::testing::Test {
protected:
    void Store(const char* name, std::uint32_t value) {
        Memory.OpenKey(TRootKey::LocalMachine, UaConfigKeyPath)->WriteDword(name, value);
    }
    // Starts the core; with `plc`, a PLC1 on a loopback host and no driver pool (nothing polled).
    void StartCore(bool plc = false) {
        Opc.reset();
        PLCs.reset();
        Core = std::make_unique<TServerCore>(
            TServerSeams{&Platform.Clock, &Platform, &Platform, &Memory, Dir.Path.string() + "/"},
            TCommandLine{}, "1.0.0.0");
        Core->Log().AddView(&Capture);
        // The PLC list as the communication engine would provide it.
        PLCs = std::make_unique<TPLCCollection>(Core->Context());
        Core->Context().PLCs = PLCs.get();
        Opc = std::make_unique<TOPCServer>(*Core, Listener);
        Core->Startup();
        Platform.RunPosted();
        if (plc) PLCs->AddPLC().SetHost("127.0.0.1");
    }
    test::TRawUaClient& AddClient() {
        return *Clients.emplace_back(std::make_unique<test::TRawUaClient>(
            [this](std::unique_ptr<IUaSocket> s) { Listener.OnConnection(std::move(s)); }, "127.0.0.1",
            [this] { Platform.RunPosted(); }));
    }
    // A UA client with an activated session named "HMI panel 3" (one never activated is no
    // client: UaServerTest).
    test::TRawUaClient& Connect(double timeoutMs = 60000) {
        test::TRawUaClient& c = AddClient();
        c.SessionName = "HMI panel 3";
        EXPECT_EQ(c.OpenSession(timeoutMs), std::make_pair(UaStatus::Good, UaStatus::Good));
        return c;
    }
    THitachiLocation* Word10() { return PLCs->PLCByIndex(0).FindLocation(10, 0x10, false); }

    test::TTempDir Dir;
    test::TFakePlatform Platform;
    TMemoryStore Memory;
    test::TLogCapture Capture;
    TFakeListener Listener;
    std::unique_ptr<TServerCore> Core;
    std::unique_ptr<TPLCCollection> PLCs;
    std::unique_ptr<TOPCServer> Opc;
    std::vector<std::unique_ptr<test::TRawUaClient>> Clients;
};

TEST_F(OPCServerTest, EndpointListensWhereTheSettingsSayAndAFailureLeavesTheServerRunning) {
    StartCore();
    EXPECT_EQ(std::pair(Listener.Address, Listener.BoundPort),
              std::pair(std::string("127.0.0.1"), std::uint16_t{4840}));
    ASSERT_TRUE(Opc->Endpoint());
    EXPECT_EQ(
        Capture.CountStartingWith("OPC UA endpoint opc.tcp://localhost:4840 listening on 127.0.0.1:4840"), 1);
    // After the start-up's own lines.
    ASSERT_GE(Capture.Lines.size(), 2u);
    EXPECT_EQ(Capture.Lines.back().rfind("OPC UA endpoint", 0), 0u);
    EXPECT_EQ(Capture.CountStartingWith("Server started at"), 1);
    Core->Shutdown();

    Listener.Refuse = true;
    StartCore();
    EXPECT_FALSE(Opc->Endpoint());
    // The system's reason is part of the line; the DA side runs on.
    EXPECT_EQ(
        Capture.CountStartingWith("OPC UA endpoint cannot listen on 127.0.0.1:4840: Address already in use"),
        1);
    ASSERT_TRUE(Opc->Connections());
    Core->Shutdown();

    Listener.Refuse = false;
    Store("Port", 4999);
    Store("ListenOnAllInterfaces", 1);
    StartCore();
    EXPECT_EQ(std::pair(Listener.Address, Listener.BoundPort),
              std::pair(std::string("0.0.0.0"), std::uint16_t{4999}));
    Core->Shutdown();

    Listener.Address.clear();
    Store("Enabled", 0);
    StartCore();
    EXPECT_FALSE(Opc->Endpoint());
    EXPECT_TRUE(Listener.Address.empty());
    ASSERT_TRUE(Opc->Connections());
}

TEST_F(OPCServerTest, SessionsCountAsClientsAndEndWithTheShutDown) {
    StartCore();
    test::TRawUaClient& c = Connect();
    ASSERT_EQ(Opc->Connections()->Count(), 1u);
    EXPECT_EQ(Capture.CountStartingWith("Client identifies itself as HMI panel 3"), 1);
    Platform.Advance(TServerCore::RefreshIntervalMs + 10);
    EXPECT_EQ(PLCs->ServerVar(svClientsConnected).GetValue(), 1u);
    // A subscriber to the shut-down reason is told it before the session ends.
    EXPECT_EQ(c.Monitor(c.CreateSubscription(), TUaNodeId::Num(UaId::ShutdownReason), 1), 0u);
    c.Request(UaId::PublishRequest, [](TUaBinaryWriter& w) { w.EmptyArray(); });
    Core->Shutdown();
    EXPECT_NE(c.Record->Written.find(TServerCore::ShutdownReason), std::string::npos);
    EXPECT_EQ(Capture.CountStartingWith("Client HMI panel 3 disconnected at "), 1);
    EXPECT_FALSE(Opc->Connections());
    EXPECT_GE(Listener.Closed, 1);
}

TEST_F(OPCServerTest, StoredReadOnlyAndSessionLimitApplyToClients) {
    Store("AnonymousReadOnly", 1);
    Store("MaxSessions", 1);
    StartCore(true);
    test::TRawUaClient& c = Connect();
    EXPECT_EQ(c.Write("PLC1.WR0010", TUaVariant::Scalar(TUaType::UInt16, std::uint64_t{5})),
              UaStatus::BadUserAccessDenied);
    // AccessLevel read and write, UserAccessLevel read only.
    auto access = c.Read({{TUaNodeId::Str("PLC1.WR0010"), 17}, {TUaNodeId::Str("PLC1.WR0010"), 18}});
    EXPECT_EQ(access.at(0).Value, TUaVariant::Scalar(TUaType::Byte, std::uint64_t{3}));
    EXPECT_EQ(access.at(1).Value, TUaVariant::Scalar(TUaType::Byte, std::uint64_t{1}));
    EXPECT_FALSE(Word10() && Word10()->WritePending);
    // A second session is one too many.
    EXPECT_EQ(AddClient().OpenSession().first, UaStatus::BadTooManySessions);
    EXPECT_EQ(Opc->Connections()->Count(), 1u);
}

TEST_F(OPCServerTest, ADeviceReadWaitsForThePlcWithoutHoldingUpLaterRequests) {
    StartCore(true);
    test::TRawUaClient& c = Connect();
    const std::uint32_t device =
        c.Request(UaId::ReadRequest, test::TRawUaClient::ReadOf({{TUaNodeId::Str("PLC1.WR0010"), 13}}, 0));
    // A later cache read is the one answer while the PLC has not answered.
    EXPECT_EQ(c.Read({{TUaNodeId::Str("Sys.ClientsConnected"), 13}}, 1000).size(), 1u);
    Platform.Advance(200);
    EXPECT_TRUE(c.Frames().empty());
    ASSERT_TRUE(Word10()); // held by the read while it waits
    EXPECT_EQ(Word10()->RefCount, 1);
    // What the driver cycle does when the PLC answers.
    Word10()->StoreReadValue(4660, Platform.Clock.Now());
    Platform.Advance(50);
    const auto frames = c.Frames();
    ASSERT_EQ(frames.size(), 1u);
    const std::string payload = test::MessagePayload(frames[0]);
    TUaBinaryReader r(payload);
    EXPECT_EQ(test::ReadResponseStart(r), (test::TResponseStart{UaId::ReadResponse, device, 0}));
    const auto values = r.Array([&] { return r.DataValue(); });
    ASSERT_EQ(values.size(), 1u);
    EXPECT_EQ(
        std::pair(values[0].Status.value_or(0), values[0].Value),
        std::pair(TUaStatusCode{0}, std::optional(TUaVariant::Scalar(TUaType::UInt16, std::uint64_t{4660}))));
    Platform.Advance(100);
    EXPECT_EQ(Word10() ? Word10()->RefCount : 0, 0);
}

TEST_F(OPCServerTest, AClientThatVanishesLosesItsServerObjectGroupsAndReferencesAtTheSessionTimeOut) {
    StartCore(true);
    // A longer time-out than the setting is cut to it, a shorter than 1 s raised to 1 s.
    EXPECT_EQ(Connect(24 * 3600 * 1000.0).RevisedTimeout, 60000);
    EXPECT_EQ(Connect(500).RevisedTimeout, 1000);
    test::TRawUaClient& c = Connect(5000);
    EXPECT_EQ(c.RevisedTimeout, 5000);
    EXPECT_EQ(c.Monitor(c.CreateSubscription(100, 600, 10), "PLC1.WR0010", 1), 0u);
    ASSERT_TRUE(Word10());
    EXPECT_EQ(Word10()->RefCount, 1);
    ASSERT_EQ(Opc->Connections()->Count(), 3u);

    c.Socket->OnDisconnected(); // the client vanishes without closing anything
    Platform.Advance(4999);
    EXPECT_EQ(Opc->Connections()->Count(), 2u); // the session waits for its client
    Platform.Advance(TUaServer::HousekeepingIntervalMs + 1);
    EXPECT_EQ(std::pair(Opc->Connections()->Count(), Opc->Endpoint()->SessionCount()),
              std::pair(std::size_t{1}, std::size_t{1}));
    EXPECT_EQ(Capture.CountStartingWith("Client HMI panel 3 disconnected at "), 2);
    EXPECT_EQ(Word10() ? Word10()->RefCount : 0, 0);
}

} // namespace
} // namespace dravon
