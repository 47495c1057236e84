// The soak's OPC UA client against the real endpoint over a loopback socket, with an
// in-memory backend in place of the PLCs: Good writes and the values it sees go through
// the ledger, a value nobody wrote is caught, a client that vanishes leaves its session to
// the time-out, a closed session ends cleanly, and a connection the server drops is a fault.
#include "SoakUaClient.h"

#include "app/ServerContext.h"
#include "platform/QtClock.h"
#include "platform/QtEventLoop.h"
#include "platform/QtTimerFactory.h"
#include "platform/UaTcpListener.h"
#include "support/QtApplication.h"
#include "ua/UaMemoryBackend.h"
#include "ua/UaServer.h"

#include <QElapsedTimer>
#include <QHostAddress>
#include <QTcpServer>

#include <gtest/gtest.h>

#include <functional>

namespace dravon::soak {
namespace {

class SoakUaClientTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { test::TQtApplication::Create(); }
    static void TearDownTestSuite() { test::TQtApplication::Destroy(); }

    void SetUp() override {
        Context.Clock = &Clock;
        Context.Loop = &Loop;
        Context.Timers = &Timers;
        Backend = std::make_unique<TUaMemoryBackend>(Context);
        const std::string folder = Backend->AddFolder("/", "P");
        for (const char* id : {"P.W0", "P.W1", "P.W2"}) {
            const int index = Ledger.Add(id);
            Backend->AddVariable(
                folder, id, id,
                TUaVariant::Scalar(TUaType::UInt16, std::uint64_t{TSoakLedger::InitialValue(index)}), true);
        }
        Server = std::make_unique<TUaServer>(Context, *Backend, TUaConfig{});
        // The accepted connections go to the endpoint as the program's listener hands them over.
        ASSERT_TRUE(Listener.listen(QHostAddress::LocalHost, 0));
        QObject::connect(&Listener, &QTcpServer::newConnection, [this] {
            while (QTcpSocket* socket = Listener.nextPendingConnection())
                Server->Accept(std::make_unique<TUaTcpSocket>(socket));
        });
        Env.Clock = &Clock;
        Env.Ledger = &Ledger;
        Env.Counters = &Counters;
        Env.Random = &Random;
        Env.SyncReadBoundMs = 5000;
    }
    void TearDown() override {
        Client.reset();
        Listener.close();
        Server.reset();
        Backend.reset();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

    std::unique_ptr<TSoakUaClient> MakeClient(double sessionTimeoutMs = 10000) {
        return std::make_unique<TSoakUaClient>(Env, "Test", Listener.serverPort(), std::vector<int>{0, 1, 2},
                                               std::vector<int>{0, 1}, 100, sessionTimeoutMs);
    }
    bool Spin(const std::function<bool()>& condition, int boundMs = 5000) {
        QElapsedTimer timer;
        timer.start();
        while (!condition()) {
            if (timer.elapsed() > boundMs) return false;
            QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 50);
        }
        return true;
    }
    std::uint16_t Held(int index) const {
        const auto* v = Backend->Find(Ledger.ItemId(index));
        return v && v->Value.Value.Values.size() == 1
                   ? static_cast<std::uint16_t>(std::get<std::uint64_t>(v->Value.Value.Values[0]))
                   : 0;
    }

    TQtClock Clock;
    TQtEventLoop Loop;
    TQtTimerFactory Timers;
    TServerContext Context;
    std::unique_ptr<TUaMemoryBackend> Backend;
    std::unique_ptr<TUaServer> Server;
    QTcpServer Listener;
    TSoakLedger Ledger;
    TSoakCounters Counters;
    std::mt19937 Random{3};
    TSoakEnv Env;
    std::unique_ptr<TSoakUaClient> Client;
};

TEST_F(SoakUaClientTest, GoodWritesReadsAndNotificationsGoThroughTheLedgerAndTheSessionCloses) {
    Client = MakeClient();
    Client->Connect();
    ASSERT_TRUE(Spin([&] { return Client->Ready() || Client->Done(); }));
    ASSERT_TRUE(Client->Ready()) << (Counters.Faults.empty() ? "" : Counters.Faults.front());
    EXPECT_EQ(Server->SessionCount(), 1u);
    ASSERT_TRUE(Spin([&] {
        Client->Step();
        return Counters.UaWritesGood >= 10 && Counters.UaReadValues >= 5 && Counters.UaNotifications >= 3;
    }));
    ASSERT_TRUE(Spin([&] { return Client->Outstanding() == 0; }));
    EXPECT_TRUE(Counters.Faults.empty()) << Counters.Faults.front();
    EXPECT_EQ(Ledger.WritesMade(), Counters.UaWritesGood);
    EXPECT_GE(Counters.UaWriteCalls, 1u);
    EXPECT_EQ(Counters.UaWriteErrors, 0u);
    // The server holds the last value answered Good; the word nobody wrote, its first.
    EXPECT_TRUE(Ledger.HasWrites(0) || Ledger.HasWrites(1));
    for (int index = 0; index < 3; ++index) EXPECT_EQ(Held(index), Ledger.LastWritten(index)) << index;
    EXPECT_TRUE(Ledger.Check([&](int index) { return Held(index); }).empty());
    EXPECT_GE(Ledger.Observations(), Counters.UaReadValues);
    std::string why;
    EXPECT_TRUE(Spin([&] { return Client->LastNotifiedGood(&why); })) << why;

    Client->Close();
    ASSERT_TRUE(Spin([&] { return Client->Done(); }));
    EXPECT_EQ(Client->State(), TSoakUaClient::TState::Closed);
    EXPECT_EQ(Server->SessionCount(), 0u);
    EXPECT_TRUE(Counters.Faults.empty()) << Counters.Faults.front();
}

TEST_F(SoakUaClientTest, AValueNobodyWroteAndABadStatusAreCaught) {
    Client = MakeClient();
    Client->Connect();
    ASSERT_TRUE(Spin([&] { return Client->Ready(); }));
    // Word 2 shows a value carrying word 0's index: a misrouted answer.
    Backend->SetValue("P.W2",
                      TUaVariant::Scalar(TUaType::UInt16, std::uint64_t{TSoakLedger::WrittenValue(0, 7)}));
    Backend->SetStatus("P.W1", 0x80310000u);
    std::string why;
    // Only what the client saw: the "PLC" is taken to hold what the ledger expects.
    auto seen = [&] { return Ledger.Check([&](int index) { return Ledger.LastWritten(index); }); };
    ASSERT_TRUE(Spin([&] { return !seen().empty(); }));
    const auto faults = seen();
    ASSERT_FALSE(faults.empty());
    EXPECT_NE(faults.front().find("P.W2 showed"), std::string::npos) << faults.front();
    ASSERT_TRUE(
        Spin([&] { return !Client->LastNotifiedGood(&why) && why.find("P.W1") != std::string::npos; }));
    EXPECT_NE(why.find("0x80310000"), std::string::npos) << why;
}

TEST_F(SoakUaClientTest, AVanishedClientsSessionLastsUntilItsTimeOut) {
    Client = MakeClient(1000);
    Client->Connect();
    ASSERT_TRUE(Spin([&] { return Client->Ready(); }));
    QElapsedTimer since;
    since.start();
    Client->VanishAfterRead();
    EXPECT_TRUE(Client->Done());
    EXPECT_EQ(Counters.UaReads, 1u);
    // The connection goes at once, the session only at its time-out (never earlier).
    ASSERT_TRUE(Spin([&] { return Server->ChannelCount() == 0; }));
    ASSERT_TRUE(Spin([&] { return Server->SessionCount() == 0; }));
    EXPECT_GE(since.elapsed(), 1000 - TUaServer::HousekeepingIntervalMs);
    EXPECT_EQ(Backend->SessionCount, 0);
    EXPECT_TRUE(Counters.Faults.empty()) << Counters.Faults.front();
}

TEST_F(SoakUaClientTest, AConnectionTheServerDropsIsAFault) {
    Client = MakeClient();
    Client->Connect();
    ASSERT_TRUE(Spin([&] { return Client->Ready(); }));
    Server->Stop();
    ASSERT_TRUE(Spin([&] { return Client->Done(); }));
    EXPECT_EQ(Client->State(), TSoakUaClient::TState::Failed);
    ASSERT_EQ(Counters.Faults.size(), 1u);
    EXPECT_NE(Counters.Faults.front().find("Test: "), std::string::npos) << Counters.Faults.front();
}

} // namespace
} // namespace dravon::soak
