// The soak's OPC UA client against the real endpoint over a loopback socket, with an
// in-memory backend in place of the PLCs: Good writes and the values it sees go through
// the ledger, a stale value and a value nobody wrote are caught, a client that vanishes
// leaves its session to the time-out, a closed session ends cleanly, and a connection the
// server drops is a fault.
#include "SoakUaClient.h"
#include "SoakSupport.h"

#include "platform/QtClock.h"
#include "platform/QtEventLoop.h"
#include "platform/QtTimerFactory.h"
#include "support/QtApplication.h"

#include <gtest/gtest.h>

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
        Ua = std::make_unique<TSoakUaEndpoint>(Context, Ledger, 3, TUaConfig{});
        ASSERT_NE(Ua->Port(), 0);
        Env = {nullptr, &Clock, &Ledger, &Counters, &Random, false, 5000, 0};
    }
    void TearDown() override {
        Client.reset();
        Ua.reset();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

    // Watches the three words, writes the first two.
    void Start(double sessionTimeoutMs = 10000) {
        Client = std::make_unique<TSoakUaClient>(Env, "Test", Ua->Port(), std::vector<int>{0, 1, 2},
                                                 std::vector<int>{0, 1}, 100, sessionTimeoutMs);
        Client->Connect();
        ASSERT_TRUE(Spin([&] { return Client->Ready() || Client->Done(); }, 5000));
        ASSERT_TRUE(Client->Ready()) << (Counters.Faults.empty() ? "" : Counters.Faults.front());
    }
    std::uint16_t Held(int index) { return Ua->Held(Ledger.ItemId(index)); }

    TQtClock Clock;
    TQtEventLoop Loop;
    TQtTimerFactory Timers;
    TServerContext Context;
    TSoakLedger Ledger;
    std::unique_ptr<TSoakUaEndpoint> Ua;
    TSoakCounters Counters;
    std::mt19937 Random{3};
    TSoakEnv Env;
    std::unique_ptr<TSoakUaClient> Client;
};

TEST_F(SoakUaClientTest, GoodWritesReadsAndNotificationsGoThroughTheLedgerAndTheSessionCloses) {
    Start();
    EXPECT_EQ(Ua->Server.SessionCount(), 1u);
    ASSERT_TRUE(Spin(
        [&] {
            Client->Step();
            return Counters.UaWritesGood >= 10 && Counters.UaReadValues >= 5 && Counters.UaNotifications >= 3;
        },
        5000));
    ASSERT_TRUE(Spin([&] { return Client->Outstanding() == 0; }, 5000));
    EXPECT_TRUE(Counters.Faults.empty()) << Counters.Faults.front();
    EXPECT_EQ(Ledger.WritesMade(), Counters.UaWritesGood);
    EXPECT_EQ(Client->Activity.Writes, Counters.UaWritesGood);
    EXPECT_EQ(Counters.UaWriteErrors, 0u);
    // The server holds the last value answered Good; the word nobody wrote, its first.
    EXPECT_GT(Ledger.Floor(0) + Ledger.Floor(1), 0u);
    for (int index = 0; index < 3; ++index) EXPECT_EQ(Held(index), Ledger.Expected(index)) << index;
    EXPECT_TRUE(Ledger.Check([&](int index) { return Held(index); }).empty());
    EXPECT_GE(Ledger.Observations(), Counters.UaReadValues);
    std::string why;
    EXPECT_TRUE(Spin([&] { return Client->Settled(&why, true); }, 5000)) << why;

    Client->Close();
    ASSERT_TRUE(Spin([&] { return Client->Done(); }, 5000));
    EXPECT_EQ(Client->State(), TSoakUaClient::TState::Closed);
    EXPECT_EQ(Ua->Server.SessionCount(), 0u);
    EXPECT_TRUE(Counters.Faults.empty()) << Counters.Faults.front();
}

TEST_F(SoakUaClientTest, AStaleValueAValueNobodyWroteAndABadStatusAreCaught) {
    Start();
    ASSERT_TRUE(Spin(
        [&] {
            Client->Step();
            return Ledger.Floor(0) >= 2;
        },
        5000));
    ASSERT_TRUE(Spin([&] { return Client->Outstanding() == 0; }, 5000));
    const auto published = Counters.UaPublishes + Counters.UaKeepAlives;
    ASSERT_TRUE(Spin([&] { return Counters.UaPublishes + Counters.UaKeepAlives > published; }, 5000));
    // Word 0 goes back to its first write; word 2 shows a value of word 0.
    const auto scalar = [](std::uint16_t v) { return TUaVariant::Scalar(TUaType::UInt16, std::uint64_t{v}); };
    Ua->Backend.SetValue("P.W0", scalar(TSoakLedger::ValueOf(0, 1)));
    Ua->Backend.SetValue("P.W2", scalar(TSoakLedger::ValueOf(0, 1)));
    Ua->Backend.SetStatus("P.W1", 0x80310000u);
    // Only what the client saw: the "PLC" is taken to hold what the ledger expects.
    auto seen = [&] { return Ledger.Check([&](int index) { return Ledger.Expected(index); }); };
    ASSERT_TRUE(Spin([&] { return seen().size() >= 2; }, 5000));
    std::string faults;
    for (const auto& f : seen()) faults += f + "\n";
    EXPECT_NE(faults.find("P.W0 showed 0x0000 (write 1) after write"), std::string::npos) << faults;
    EXPECT_NE(faults.find("P.W2 showed 0x0000, a value it was never given"), std::string::npos) << faults;
    std::string why;
    ASSERT_TRUE(
        Spin([&] { return !Client->Settled(&why, false) && why.find("P.W1") != std::string::npos; }, 5000));
    EXPECT_NE(why.find("0x80310000"), std::string::npos) << why;
}

TEST_F(SoakUaClientTest, AVanishedClientsSessionLastsUntilItsTimeOut) {
    Start(1000);
    QElapsedTimer since;
    since.start();
    Client->VanishAfterRead();
    EXPECT_TRUE(Client->Done());
    EXPECT_EQ(Counters.UaReads, 1u);
    // The connection goes at once, the session only at its time-out (never earlier).
    ASSERT_TRUE(Spin([&] { return Ua->Server.ChannelCount() == 0; }, 5000));
    ASSERT_TRUE(Spin([&] { return Ua->Server.SessionCount() == 0; }, 5000));
    EXPECT_GE(since.elapsed(), 1000 - TUaServer::HousekeepingIntervalMs);
    EXPECT_EQ(Ua->Backend.SessionCount, 0);
    EXPECT_TRUE(Counters.Faults.empty()) << Counters.Faults.front();
}

TEST_F(SoakUaClientTest, AConnectionTheServerDropsIsAFault) {
    Start();
    Ua->Server.Stop();
    ASSERT_TRUE(Spin([&] { return Client->Done(); }, 5000));
    EXPECT_EQ(Client->State(), TSoakUaClient::TState::Failed);
    ASSERT_EQ(Counters.Faults.size(), 1u);
    EXPECT_NE(Counters.Faults.front().find("Test: "), std::string::npos) << Counters.Faults.front();
}

} // namespace
} // namespace dravon::soak
