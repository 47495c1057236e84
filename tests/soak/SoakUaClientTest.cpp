// The soak's OPC UA client against the real endpoint over a loopback socket, with an
// in-memory backend in place of the PLCs: a stale value, a value nobody wrote and a Bad
// status are caught, also an unexpected write refusal or value type, and a connection the
// server drops is a fault. (A closed session and a vanished one are checked by the soak and
// the hostile-client run.)
#include "SoakUaClient.h"
#include "SoakSupport.h"

#include "support/QtApplication.h"
#include "ua/UaStatusCodes.h"

#include <gtest/gtest.h>

#include <set>

namespace dravon::soak {
namespace {

class SoakUaClientTest : public test::TQtSuite<> {
protected:
    void TearDown() override {
        Client.reset();
        Rig.reset();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    std::unique_ptr<TSoakUaRig> Rig = std::make_unique<TSoakUaRig>(4, TUaConfig{}, 3);
    TSoakLedger& Ledger = Rig->Ledger;
    TSoakCounters& Counters = Rig->Counters;
    std::unique_ptr<TSoakUaClient> Client;
};

TEST_F(SoakUaClientTest,
       AStaleValueAValueNobodyWroteAnOddRefusalOrTypeABadStatusAndADroppedConnectionAreCaught) {
    Rig->Backend->SetWriteRefusal("P.W3", UaStatus::BadOutOfRange);
    // Watches the four words, writes all but the third.
    ASSERT_NE(Rig->Port(), 0);
    Client = std::make_unique<TSoakUaClient>(Rig->Env, "Test", Rig->Port(), std::vector<int>{0, 1, 2, 3},
                                             std::vector<int>{0, 1, 3}, 100, 10000);
    Client->Connect();
    ASSERT_TRUE(Spin([&] { return Client->Ready() || Client->Done(); }, 5000));
    ASSERT_TRUE(Client->Ready()) << (Counters.Faults.empty() ? "" : Counters.Faults.front());
    ASSERT_TRUE(Spin(
        [&] {
            Client->Step();
            return Ledger.Floor(0) >= 2 && Counters.Counts["UA write elements refused"] > 0;
        },
        5000));
    ASSERT_TRUE(Spin([&] { return Client->Outstanding() == 0; }, 5000));
    // The endpoint holds every write answered Good and none refused.
    EXPECT_EQ(Ledger.Check([&](int index) { return Rig->Held(Ledger.ItemId(index)); }),
              std::vector<std::string>{});
    // (one fault per refused write)
    EXPECT_EQ(std::set<std::string>(Counters.Faults.begin(), Counters.Faults.end()),
              std::set<std::string>{"Test: writing P.W3 answered 0x803C0000"});
    auto published = [&] {
        return Counters.Counts["UA Publish answers with data"] + Counters.Counts["UA Publish answers empty"];
    };
    const auto published0 = published();
    ASSERT_TRUE(Spin([&] { return published() > published0; }, 5000));
    // Word 0 goes back to its first write; word 2 shows a value of word 0.
    const auto scalar = [](std::uint16_t v) { return TUaVariant::Scalar(TUaType::UInt16, std::uint64_t{v}); };
    Rig->Backend->SetValue("P.W0", scalar(TSoakLedger::ValueOf(0, 1)));
    Rig->Backend->SetValue("P.W2", scalar(TSoakLedger::ValueOf(0, 1)));
    Rig->Backend->SetStatus("P.W1", 0x80310000u);
    Rig->Backend->SetValue("P.W3",
                           TUaVariant::Scalar(TUaType::UInt32, std::uint64_t{TSoakLedger::InitialValue(3)}));
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
    EXPECT_EQ(Counters.Faults.back(), "Test: P.W3 came without a UInt16 value");
    // And a connection the server drops: one fault more.
    const std::size_t before = Counters.Faults.size();
    Rig->Server->Stop();
    ASSERT_TRUE(Spin([&] { return Client->Done(); }, 5000));
    EXPECT_EQ(Client->State(), TSoakUaClient::TState::Failed);
    ASSERT_EQ(Counters.Faults.size(), before + 1);
    EXPECT_EQ(Counters.Faults.back().substr(0, 6), "Test: ");
}

} // namespace
} // namespace dravon::soak
