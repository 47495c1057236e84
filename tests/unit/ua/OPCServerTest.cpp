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
    void SetUp() override {
        Dir = std::filesystem::temp_directory_path() /
              (std::string("dravon-opcserver-") +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::remove_all(Dir);
        std::filesystem::create_directories(Dir);
    }
    void TearDown() override { std::filesystem::remove_all(Dir); }

    void Store(const char* name, std::uint32_t value) {
        auto key = Memory.OpenKey(TRootKey::LocalMachine, UaConfigKeyPath);
        ASSERT_TRUE(key);
        key->WriteDword(name, value);
    }
    void StartCore() {
        Opc.reset();
        PLCs.reset();
        Core = std::make_unique<TServerCore>(
            TServerSeams{&Platform.Clock, &Platform, &Platform, &Memory, Dir.string() + "/"}, TCommandLine{},
            "1.0.0.0");
        Core->Log().AddView(&Capture);
        // The PLC list as the communication engine would provide it.
        PLCs = std::make_unique<TPLCCollection>(Core->Context());
        Core->Context().PLCs = PLCs.get();
        Opc = std::make_unique<TOPCServer>(*Core, Listener);
        Core->Startup();
        Platform.RunPosted();
    }
    // A UA client over an in-memory connection that opens a session (and activates it).
    test::TFakeUaSocket* Connect(double timeoutMs = 60000, bool activate = false) {
        auto socket = std::make_unique<test::TFakeUaSocket>();
        test::TFakeUaSocket* raw = socket.get();
        Listener.OnConnection(std::move(socket));
        raw->OnReceived(test::HelloFrame());
        raw->OnReceived(test::OpenFrame(0, 1, 1));
        auto frames = test::TakeFrames(*raw);
        EXPECT_EQ(frames.size(), 2u);
        TUaBinaryReader r(frames.at(1).Body);
        Channel = r.UInt32();
        Socket = raw;
        Sequence = 1;
        const std::string created = Call(UaId::CreateSessionRequest, [&](TUaBinaryWriter& w) {
            WriteApplicationDescription(w, {});
            w.Int32(-1);
            w.String("opc.tcp://127.0.0.1:4840");
            w.String("HMI panel 3");
            w.ByteString(std::string(32, 'n'));
            w.Int32(-1);
            w.Double(timeoutMs);
            w.UInt32(0);
        });
        TUaBinaryReader c(created);
        test::ReadResponseStart(c);
        c.NodeId();
        Token = c.NodeId();
        if (activate) {
            Call(UaId::ActivateSessionRequest, [](TUaBinaryWriter& w) {
                w.Int32(-1);
                w.Int32(-1);
                w.EmptyArray();
                w.EmptyArray();
                TUaBinaryWriter token;
                token.String("anonymous");
                w.ExtensionObject({TUaNodeId::Num(UaId::AnonymousIdentityToken), 1, token.Take()});
                w.Int32(-1);
                w.Int32(-1);
            });
        }
        return raw;
    }
    // One request on the connection; the payload of its answer.
    template <typename F> std::string Call(std::uint32_t typeId, F fill) {
        Send(typeId, fill);
        auto frames = test::TakeFrames(*Socket);
        return frames.empty() ? std::string() : test::MessagePayload(frames.back());
    }
    // Sends a request (request id = sequence number) and runs what it posted.
    template <typename F> std::uint32_t Send(std::uint32_t typeId, F fill) {
        ++Sequence;
        Socket->OnReceived(test::MessageFrame("MSGF", Channel, 1, Sequence, Sequence,
                                              test::RequestBody(typeId, Token, Sequence, fill)));
        Platform.RunPosted();
        return Sequence;
    }
    // Answers received so far: request id and the values of a ReadResponse.
    std::vector<std::pair<std::uint32_t, std::vector<TUaDataValue>>> ReadAnswers() {
        std::vector<std::pair<std::uint32_t, std::vector<TUaDataValue>>> out;
        for (const auto& frame : test::TakeFrames(*Socket)) {
            TUaBinaryReader head(frame.Body);
            head.UInt32();
            head.UInt32();
            head.UInt32();
            const std::uint32_t requestId = head.UInt32();
            const std::string payload = test::MessagePayload(frame);
            TUaBinaryReader r(payload);
            if (test::ReadResponseStart(r).TypeId != UaId::ReadResponse) continue;
            out.emplace_back(requestId, r.Array([&] { return r.DataValue(); }));
        }
        return out;
    }
    static auto ReadOf(const std::string& itemId, double maxAge) {
        return [itemId, maxAge](TUaBinaryWriter& w) {
            w.Double(maxAge);
            w.UInt32(0);
            w.ArrayLength(1);
            w.NodeId(TUaNodeId::Str(itemId));
            w.UInt32(13);
            w.Int32(-1);
            w.QualifiedName({});
        };
    }
    test::TFakeUaSocket* Socket = nullptr;
    std::uint32_t Channel = 0;
    std::uint32_t Sequence = 1;
    TUaNodeId Token;

    std::filesystem::path Dir;
    test::TFakePlatform Platform;
    TMemoryStore Memory;
    test::TLogCapture Capture;
    TFakeListener Listener;
    std::unique_ptr<TServerCore> Core;
    std::unique_ptr<TPLCCollection> PLCs;
    std::unique_ptr<TOPCServer> Opc;
};

TEST_F(OPCServerTest, EndpointListensOnLoopbackByDefaultAndWhereTheSettingsSay) {
    StartCore();
    EXPECT_EQ(Listener.Address, "127.0.0.1");
    EXPECT_EQ(Listener.BoundPort, 4840);
    ASSERT_TRUE(Opc->Endpoint());
    EXPECT_EQ(
        Capture.CountStartingWith("OPC UA endpoint opc.tcp://localhost:4840 listening on 127.0.0.1:4840"), 1);
    // After the start-up's own lines.
    ASSERT_GE(Capture.Lines.size(), 2u);
    EXPECT_EQ(Capture.Lines.back().rfind("OPC UA endpoint", 0), 0u);
    EXPECT_EQ(Capture.CountStartingWith("Server started at"), 1);
}

TEST_F(OPCServerTest, StoredPortAllInterfacesAndDisabledEndpoint) {
    Store("Port", 4999);
    Store("ListenOnAllInterfaces", 1);
    StartCore();
    EXPECT_EQ(Listener.Address, "0.0.0.0");
    EXPECT_EQ(Listener.BoundPort, 4999);
    Core->Shutdown();

    Listener.Address.clear();
    Store("Enabled", 0);
    StartCore();
    EXPECT_FALSE(Opc->Endpoint());
    EXPECT_TRUE(Listener.Address.empty());
    // The DA side runs without the endpoint.
    ASSERT_TRUE(Opc->Connections());
}

TEST_F(OPCServerTest, AnAddressThatCannotBeBoundLeavesTheServerRunning) {
    Listener.Refuse = true;
    StartCore();
    EXPECT_FALSE(Opc->Endpoint());
    // The system's reason is part of the line.
    EXPECT_EQ(
        Capture.CountStartingWith("OPC UA endpoint cannot listen on 127.0.0.1:4840: Address already in use"),
        1);
    ASSERT_TRUE(Opc->Connections());
}

TEST_F(OPCServerTest, SessionsCountAsClientsAndEndWithTheShutDown) {
    StartCore();
    // A session not yet activated is no client.
    Connect();
    EXPECT_EQ(Opc->Connections()->Count(), 0u);
    EXPECT_EQ(Capture.CountStartingWith("Client connected at "), 0);
    Connect(60000, true);
    ASSERT_EQ(Opc->Connections()->Count(), 1u);
    EXPECT_EQ(Capture.CountStartingWith("Client identifies itself as HMI panel 3"), 1);
    Platform.Advance(TServerCore::RefreshIntervalMs + 10);
    EXPECT_EQ(PLCs->ServerVar(svClientsConnected).GetValue(), 1u);
    Core->Shutdown();
    EXPECT_EQ(Capture.CountStartingWith("Client HMI panel 3 disconnected at "), 1);
    EXPECT_FALSE(Opc->Connections());
    EXPECT_GE(Listener.Closed, 1);
}

TEST_F(OPCServerTest, StoredReadOnlyAndSessionLimitApplyToClients) {
    Store("AnonymousReadOnly", 1);
    Store("MaxSessions", 1);
    StartCore();
    PLCs->AddPLC().SetHost("127.0.0.1");
    Connect(60000, true);
    std::string written = Call(UaId::WriteRequest, [](TUaBinaryWriter& w) {
        w.ArrayLength(1);
        w.NodeId(TUaNodeId::Str("PLC1.WR0010"));
        w.UInt32(13);
        w.Int32(-1);
        TUaDataValue value;
        value.Value = TUaVariant::Scalar(TUaType::UInt16, std::uint64_t{5});
        w.DataValue(value);
    });
    TUaBinaryReader wr(written);
    ASSERT_EQ(test::ReadResponseStart(wr).ServiceResult, 0u);
    EXPECT_EQ(wr.Array([&] { return wr.StatusCode(); }),
              std::vector<TUaStatusCode>{UaStatus::BadUserAccessDenied});
    THitachiLocation* word = PLCs->PLCByIndex(0).FindLocation(10, 0x10, false);
    if (word) {
        EXPECT_FALSE(word->WritePending);
    }
    // A second session is one too many.
    auto second = Connect(60000, false);
    (void)second;
    EXPECT_EQ(Opc->Connections()->Count(), 1u);
}

TEST_F(OPCServerTest, ADeviceReadWaitsForThePlcWithoutHoldingUpLaterRequests) {
    StartCore();
    PLCs->AddPLC().SetHost("127.0.0.1");
    Connect(60000, true);
    const std::uint32_t device = Send(UaId::ReadRequest, ReadOf("PLC1.WR0010", 0));
    EXPECT_TRUE(ReadAnswers().empty()); // the PLC has not answered
    const std::uint32_t cache = Send(UaId::ReadRequest, ReadOf("Sys.ClientsConnected", 1000));
    auto answers = ReadAnswers();
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(answers[0].first, cache);

    Platform.Advance(200);
    EXPECT_TRUE(ReadAnswers().empty());
    // What the driver cycle does when the PLC answers.
    PLCs->PLCByIndex(0).FindLocation(10, 0x10, false)->StoreReadValue(4660, Platform.Clock.Now());
    Platform.Advance(50);
    answers = ReadAnswers();
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(answers[0].first, device);
    ASSERT_EQ(answers[0].second.size(), 1u);
    const TUaDataValue& value = answers[0].second[0];
    EXPECT_EQ(value.Status.value_or(0), 0u);
    ASSERT_TRUE(value.Value);
    EXPECT_EQ(*value.Value, TUaVariant::Scalar(TUaType::UInt16, std::uint64_t{4660}));
}

TEST_F(OPCServerTest, AClientThatVanishesLosesItsServerObjectGroupsAndReferencesAtTheSessionTimeOut) {
    StartCore();
    PLCs->AddPLC().SetHost("127.0.0.1"); // no driver pool: nothing is polled
    Connect(5000, true);
    std::string sub = Call(UaId::CreateSubscriptionRequest, [](TUaBinaryWriter& w) {
        w.Double(100);
        w.UInt32(600);
        w.UInt32(10);
        w.UInt32(0);
        w.Boolean(true);
        w.Byte(0);
    });
    TUaBinaryReader sr(sub);
    ASSERT_EQ(test::ReadResponseStart(sr).ServiceResult, 0u);
    const std::uint32_t subscription = sr.UInt32();
    std::string monitored = Call(UaId::CreateMonitoredItemsRequest, [&](TUaBinaryWriter& w) {
        w.UInt32(subscription);
        w.UInt32(2);
        w.ArrayLength(1);
        w.NodeId(TUaNodeId::Str("PLC1.WR0010"));
        w.UInt32(13);
        w.Int32(-1);
        w.QualifiedName({});
        w.UInt32(2);
        w.UInt32(1);
        w.Double(100);
        w.ExtensionObject({});
        w.UInt32(1);
        w.Boolean(true);
    });
    TUaBinaryReader mr(monitored);
    test::ReadResponseStart(mr);
    ASSERT_EQ(mr.Array([&] {
        TUaStatusCode s = mr.StatusCode();
        mr.UInt32();
        mr.Double();
        mr.UInt32();
        mr.ExtensionObject();
        return s;
    }),
              std::vector<TUaStatusCode>{0u});
    THitachiLocation* word = PLCs->PLCByIndex(0).FindLocation(10, 0x10, false);
    ASSERT_TRUE(word);
    EXPECT_EQ(word->RefCount, 1);
    ASSERT_EQ(Opc->Connections()->Count(), 1u);

    Socket->OnDisconnected(); // the client vanishes without closing anything
    Platform.Advance(4000);
    EXPECT_EQ(Opc->Connections()->Count(), 1u); // the session waits for its client
    Platform.Advance(2000);
    EXPECT_EQ(Opc->Connections()->Count(), 0u);
    EXPECT_EQ(Capture.CountStartingWith("Client HMI panel 3 disconnected at "), 1);
    word = PLCs->PLCByIndex(0).FindLocation(10, 0x10, false);
    if (word) {
        EXPECT_EQ(word->RefCount, 0);
    }
}

} // namespace
} // namespace dravon
