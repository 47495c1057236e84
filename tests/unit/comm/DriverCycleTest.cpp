// The poll loop driven by the manager's 15 ms timer on a manual clock, with drivers that
// record what they would put on the wire and answers fed back as a PLC would send them.
#include "comm/CommDriver.h"
#include "comm/CommManager.h"
#include "comm/DriverFactory.h"

#include "plc/HitachiLocation.h"
#include "plc/HitachiPLC.h"
#include "plc/PLCCollection.h"
#include "support/FakeHostResolver.h"
#include "support/TestContext.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace dravon {
namespace {

using Bytes = std::vector<std::uint8_t>;

class TCycleDriver : public TCommDriver {
public:
    using TCommDriver::TCommDriver;
    struct TSent {
        Bytes Frame;
        THitachiPLC* PLC = nullptr;
    };
    std::vector<TSent> Sent;
    void Transmit(std::span<const std::uint8_t> frame, THitachiPLC* plc) override {
        Sent.push_back({Bytes(frame.begin(), frame.end()), plc});
    }
    // An ethernet answer to the request in flight.
    void Answer(std::uint8_t status, std::uint8_t echo, const Bytes& data = {}, int sequenceOffset = 0) {
        Bytes payload{
            0x00, static_cast<std::uint8_t>(Sequence + sequenceOffset), 0xFF, 0xFF, 0x00, 0x00, status, echo};
        payload.insert(payload.end(), data.begin(), data.end());
        ProcessResponse(payload);
        RequestCycleRun();
    }
};

class TCycleFactory : public IDriverFactory {
public:
    std::vector<TCycleDriver*> Created;
    std::unique_ptr<TCommDriver> CreateDriver(TServerContext& context, const TDriverLink& link) override {
        auto driver = std::make_unique<TCycleDriver>(context, link);
        Created.push_back(driver.get());
        return driver;
    }
};

class DriverCycleTest : public ::testing::Test {
protected:
    DriverCycleTest() {
        T.Context.Resolver = &Resolver;
        Manager.SetPLCs(&PLCs);
        PLCs.SetDriverPool(&Manager);
    }
    ~DriverCycleTest() override {
        for (THitachiLocation* location : Held) location->Release();
    }

    test::TTestContext T;
    test::TFakeHostResolver Resolver;
    TCycleFactory Factory;
    TCommManager Manager{T.Context, nullptr, &Factory};
    TPLCCollection PLCs{T.Context};
    std::vector<THitachiLocation*> Held;

    THitachiPLC& Add(int kind, int port = 3004) {
        THitachiPLC& plc = PLCs.AddPLC();
        plc.SetHost("127.0.0.1");
        plc.TcpPort = port;
        plc.SetConnection(kind, ProtocolEthernet);
        return plc;
    }
    THitachiLocation& Monitor(const THitachiPLC& plc, const std::string& address) {
        THitachiLocation* location = PLCs.ResolveItemId(plc.Name + "." + address).Location;
        EXPECT_NE(location, nullptr) << address;
        location->AddRef();
        Held.push_back(location);
        return *location;
    }
    // What a client's group refresh does between reads.
    void RequestAll() {
        for (THitachiLocation* location : Held) location->ReadRequested = true;
    }
    THitachiPLC& AddSerialPlc() {
        THitachiPLC& plc = PLCs.AddPLC();
        plc.SetConnection(DriverSerial, ProtocolStandard);
        return plc;
    }
    TCycleDriver& DriverOf(const THitachiPLC& plc) { return *static_cast<TCycleDriver*>(plc.Driver); }
    void Run(std::uint32_t ms) { T.Platform.Advance(ms); }
};

TEST_F(DriverCycleTest, ReadsAndStoresValuesOverTcp) {
    THitachiPLC& plc = Add(DriverTcp);
    THitachiLocation& wr10 = Monitor(plc, "WR0010");
    THitachiLocation& wr11 = Monitor(plc, "WR0011");
    TCycleDriver& driver = DriverOf(plc);
    Run(15);
    ASSERT_EQ(driver.Sent.size(), 1u);
    EXPECT_EQ(driver.Sent[0].PLC, &plc);
    // The very first pass goes on after ReadPos 0: it starts with WR0011.
    EXPECT_EQ(driver.Sent[0].Frame,
              (Bytes{0x00, 0x01, 0xFF, 0xFF, 0x00, 0x00, 0xA4, 0x01, 0x0A, 0x00, 0x00, 0x11}));
    EXPECT_EQ(wr11.ErrorCount, 1);
    Run(20);
    EXPECT_EQ(driver.Sent.size(), 1u); // one request at a time
    driver.Answer(0x00, 0xA4, {0xAB, 0xCD});
    EXPECT_EQ(wr11.Value, 0xABCDu);
    EXPECT_EQ(wr11.ErrorCount, 0);
    EXPECT_FALSE(wr11.ReadRequested);
    EXPECT_TRUE(plc.Responded);
    EXPECT_EQ(plc.PassResponses, 1);
    // The posted run sends the next request at once, without waiting for the timer:
    // a random read of both words (two locations: below the block size).
    RequestAll();
    T.Platform.RunPosted();
    ASSERT_EQ(driver.Sent.size(), 2u);
    EXPECT_EQ(driver.Sent[1].Frame, (Bytes{0x00, 0x02, 0xFF, 0xFF, 0x00, 0x00, 0xA4, 0x02, 0x0A, 0x00, 0x00,
                                           0x10, 0x0A, 0x00, 0x00, 0x11}));
    driver.Answer(0x00, 0xA4, {0x12, 0x34, 0x56, 0x78});
    EXPECT_EQ(wr10.Value, 0x1234u);
    EXPECT_EQ(wr11.Value, 0x5678u);
}

TEST_F(DriverCycleTest, EthernetAnswerLengthFollowsTheRequestInFlight) {
    THitachiPLC& plc = Add(DriverTcp);
    Monitor(plc, "WR0010");
    Monitor(plc, "WR0011");
    TCycleDriver& driver = DriverOf(plc);
    Run(15); // random read of WR0011, sequence 1
    ASSERT_EQ(driver.Sent.size(), 1u);
    auto length = [&](const Bytes& head) { return driver.EthernetAnswerLength(head); };
    EXPECT_EQ(length({0x00, 0x01, 0xFF}), 8u);                         // the header first
    EXPECT_EQ(length({0x00, 0x01, 0xFF, 0xFF, 0x00, 0x00, 0x05}), 7u); // BUSY ending with its status
    EXPECT_EQ(length({0x00, 0x01, 0xFF, 0xFF, 0x00, 0x00, 0x17}), 7u); // error status, no echo
    EXPECT_EQ(length({0x00, 0x01, 0xFF, 0xFF, 0x00, 0x00, 0x00}), 8u); // success: its echo and data follow
    EXPECT_EQ(length({0x00, 0x01, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0xA4}), 10u);       // one word of data
    EXPECT_EQ(length({0x00, 0x01, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0xA4, 0xAB}), 10u); // still one byte short
    EXPECT_EQ(length({0x00, 0x01, 0xFF, 0xFF, 0x00, 0x00, 0x01, 0xA4}), 9u); // rejection: its code byte
    EXPECT_EQ(length({0x00, 0x01, 0xFF, 0xFF, 0x00, 0x00, 0x05, 0xA4}), 8u); // BUSY
    EXPECT_EQ(length({0x00, 0x01, 0xFF, 0xFF, 0x00, 0x00, 0x17, 0xA4}), 8u); // error status
    EXPECT_EQ(length({0x00, 0x00, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0xA4}), 8u); // an earlier request's
    EXPECT_EQ(length({0x00, 0x01, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0xA0}), 8u); // another command's
    driver.Answer(0x00, 0xA4, {0xAB, 0xCD});
    EXPECT_EQ(length({0x00, 0x01, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0xA4}), 8u); // answered: a repeat is whole
    // Two words in the next request.
    RequestAll();
    T.Platform.RunPosted();
    ASSERT_EQ(driver.Sent.size(), 2u);
    EXPECT_EQ(length({0x00, 0x02, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0xA4}), 12u);
}

TEST_F(DriverCycleTest, AnswerWithWrongLengthOrSequenceIsNotTaken) {
    THitachiPLC& plc = Add(DriverTcp);
    THitachiLocation& wr10 = Monitor(plc, "WR0010");
    TCycleDriver& driver = DriverOf(plc);
    Run(15);
    ASSERT_EQ(driver.Sent.size(), 1u);
    const int wait = driver.Wait;
    driver.Answer(0x00, 0xA4, {0x12, 0x34}, -1); // the one before: a TCP driver waits 200 ms more
    EXPECT_FALSE(wr10.HasValue);
    EXPECT_EQ(driver.Wait, wait + 200);
    driver.Answer(0x00, 0xA4, {0x12, 0x34}, 1);
    EXPECT_FALSE(wr10.HasValue);
    EXPECT_FALSE(plc.Responded);

    // A short or long answer ends the request without touching the location.
    driver.Answer(0x00, 0xA4, {0x12});
    EXPECT_FALSE(wr10.HasValue);
    EXPECT_TRUE(wr10.ReadRequested);
    Run(15);
    ASSERT_EQ(driver.Sent.size(), 2u);
    driver.Answer(0x00, 0xA4, {0x12, 0x34, 0x56});
    EXPECT_FALSE(wr10.HasValue);
    EXPECT_EQ(wr10.ErrorCount, 2);
    Run(15);
    ASSERT_EQ(driver.Sent.size(), 3u);
    driver.Answer(0x00, 0xA0, {0x12, 0x34}); // another command's echo
    EXPECT_FALSE(wr10.HasValue);
    driver.Answer(0x00, 0xA4, {0x12, 0x34});
    EXPECT_TRUE(wr10.HasValue);
    EXPECT_EQ(wr10.Value, 0x1234u);
    EXPECT_EQ(wr10.ErrorCount, 0);
}

TEST_F(DriverCycleTest, RejectionMarksAddressError) {
    THitachiPLC& plc = Add(DriverTcp);
    THitachiLocation& wr10 = Monitor(plc, "WR0010");
    TCycleDriver& driver = DriverOf(plc);
    Run(15);
    driver.Answer(0x01, 0xA4, {0x07, 0x00}); // one byte too many: not a rejection
    EXPECT_FALSE(wr10.AddressError);
    EXPECT_TRUE(wr10.ReadRequested);
    Run(15);
    driver.Answer(0x01, 0xA4, {0x07});
    EXPECT_TRUE(wr10.AddressError);
    EXPECT_FALSE(wr10.ReadRequested);

    // A rejected write ends: withdrawn, decided, never sent again unless written again.
    wr10.StoreWrittenValue(0x0042);
    Run(100);
    ASSERT_EQ(driver.Sent.back().Frame[6], CmdRandomWrite);
    const TDateTime rejectedAt = T.Platform.Clock.Now();
    driver.Answer(0x01, 0xA5, {0x07});
    EXPECT_FALSE(wr10.WritePending);
    EXPECT_TRUE(wr10.WriteRejected);
    EXPECT_TRUE(wr10.AddressError);
    EXPECT_EQ(wr10.WriteDoneTime, rejectedAt);
    const std::size_t sent = driver.Sent.size();
    for (int i = 0; i < 100; ++i) {
        RequestAll();
        Run(15);
        if (driver.Sent.size() > sent && !driver.Answered) driver.Answer(0x00, 0xA4, {0x00, 0x00});
    }
    for (std::size_t i = sent; i < driver.Sent.size(); ++i)
        EXPECT_NE(driver.Sent[i].Frame[6], CmdRandomWrite);
    EXPECT_GT(driver.Sent.size(), sent + 10);
    // A confirmed write clears the mark.
    wr10.StoreWrittenValue(0x0043);
    Run(100);
    ASSERT_EQ(driver.Sent.back().Frame[6], CmdRandomWrite);
    driver.Answer(0x00, 0xA5);
    EXPECT_FALSE(wr10.WriteRejected);
    EXPECT_FALSE(wr10.WritePending);
}

TEST_F(DriverCycleTest, BitWrittenTrueGoesOutAsOne) {
    THitachiPLC& plc = Add(DriverTcp);
    THitachiLocation& m20 = Monitor(plc, "M00020");
    THitachiLocation& r10 = Monitor(plc, "R010");
    TCycleDriver& driver = DriverOf(plc);
    // A client's TRUE is -1 (all bits set) as an integer; the operator may force any number.
    m20.StoreWrittenValue(0xFFFFFFFF);
    r10.StoreForcedValue(2, T.Platform.Clock.Now());
    Run(15);
    ASSERT_EQ(driver.Sent.size(), 1u);
    EXPECT_EQ(driver.Sent[0].Frame, (Bytes{0x00, 0x01, 0xFF, 0xFF, 0x00, 0x00, 0xA5, 0x02, 0x02, 0x00,
                                           0x00, 0x10, 0x00, 0x01, 0x04, 0x00, 0x00, 0x20, 0x00, 0x01}));
    EXPECT_EQ(m20.Value, 1u);
}

TEST_F(DriverCycleTest, SilentPlcTimesOutAndIsRestored) {
    THitachiPLC& plc = Add(DriverTcp);
    THitachiLocation& wr10 = Monitor(plc, "WR0010");
    TCycleDriver& driver = DriverOf(plc);
    Run(15);
    ASSERT_EQ(driver.Sent.size(), 1u);
    // Within TimeOut + 2000 ms of the first request nothing is declared.
    Run(2900);
    EXPECT_EQ(T.Capture.CountStartingWith("PLC PLC1 timed out at "), 0);
    EXPECT_GE(driver.Sent.size(), 2u); // unanswered requests are given up and sent again
    Run(1000);
    EXPECT_EQ(T.Capture.CountStartingWith("PLC PLC1 timed out at "), 1);
    EXPECT_EQ(plc.NumberOfTimeouts, 1);
    EXPECT_GE(wr10.ErrorCount, 3);
    Run(5000);
    EXPECT_EQ(T.Capture.CountStartingWith("PLC PLC1 timed out at "), 1); // once per change
    driver.Answer(0x00, 0xA4, {0x00, 0x05});
    Run(15);
    EXPECT_EQ(T.Capture.CountStartingWith("PLC PLC1 restored at "), 1);
    EXPECT_EQ(wr10.Value, 5u);
}

TEST_F(DriverCycleTest, NoTimeOutWhileManagerIsStarved) {
    THitachiPLC& plc = Add(DriverTcp);
    Monitor(plc, "WR0010");
    TCycleDriver& driver = DriverOf(plc);
    Manager.Timer().SetEnabled(false);
    // Runs every 100 ms: two per 200 ms window.
    for (int i = 0; i < 100; ++i) {
        T.Platform.Clock.Step(100);
        Manager.OnTimerTick();
        Manager.Timer().SetEnabled(false);
    }
    EXPECT_GE(driver.Sent.size(), 2u);
    EXPECT_LE(Manager.CyclesPerWindow, 3);
    EXPECT_EQ(T.Capture.CountStartingWith("PLC PLC1 timed out at "), 0);
    EXPECT_EQ(plc.NumberOfTimeouts, 0);
}

TEST_F(DriverCycleTest, TcpBusyPausesFortySeconds) {
    THitachiPLC& plc = Add(DriverTcp);
    Monitor(plc, "WR0010");
    TCycleDriver& driver = DriverOf(plc);
    Run(15);
    ASSERT_EQ(driver.Sent.size(), 1u);
    Run(100);
    const int left = driver.Wait;
    EXPECT_GT(left, 0);
    driver.Answer(0x05, 0xA4);
    EXPECT_EQ(driver.Wait, left + 40000);
    EXPECT_TRUE(driver.Busy);
    EXPECT_FALSE(plc.Responded);
    Run(40000 + static_cast<std::uint32_t>(left) - 100);
    EXPECT_EQ(driver.Sent.size(), 1u);
    EXPECT_EQ(T.Capture.CountStartingWith("PLC PLC1 timed out at "), 0);
    Run(200);
    EXPECT_EQ(driver.Sent.size(), 2u);
    EXPECT_EQ(T.Capture.CountStartingWith("PLC PLC1 sent BUSY response, timeout should be longer"), 1);
}

TEST_F(DriverCycleTest, UdpBusyRetriedThreeTimesWithoutCountingErrors) {
    THitachiPLC& plc = Add(DriverUdp);
    THitachiLocation& wr10 = Monitor(plc, "WR0010");
    TCycleDriver& driver = DriverOf(plc);
    Run(15);
    ASSERT_EQ(driver.Sent.size(), 1u);
    const Bytes request(driver.Sent[0].Frame.begin() + 2, driver.Sent[0].Frame.end());
    for (int retry = 1; retry <= 3; ++retry) {
        driver.Answer(0x05, 0xA4);
        EXPECT_EQ(driver.Wait, 100);
        Run(120);
        ASSERT_EQ(driver.Sent.size(), 1u + static_cast<std::size_t>(retry));
        EXPECT_EQ(Bytes(driver.Sent.back().Frame.begin() + 2, driver.Sent.back().Frame.end()), request);
        EXPECT_EQ(wr10.ErrorCount, 1) << retry;
    }
    EXPECT_EQ(T.Capture.CountStartingWith("BUSY responses detected on UDP port on PLC PLC1"), 1);
    EXPECT_EQ(plc.LastErrorCode, 5);
    // The fourth BUSY is not retried: the next request counts as a new read.
    driver.Answer(0x05, 0xA4);
    Run(120);
    ASSERT_EQ(driver.Sent.size(), 5u);
    EXPECT_EQ(wr10.ErrorCount, 2);
    EXPECT_EQ(T.Capture.CountStartingWith("BUSY responses detected on UDP port on PLC PLC1"), 1);

    // Then silence: no time-out within TimeOut + 5000 ms of the last BUSY handled.
    const std::uint32_t busyCleared = driver.BusyClearTick;
    ASSERT_NE(busyCleared, 0u);
    Run(5500);
    EXPECT_EQ(T.Capture.CountStartingWith("PLC PLC1 timed out at "), 0);
    Run(2000);
    EXPECT_EQ(T.Capture.CountStartingWith("PLC PLC1 timed out at "), 1);
}

TEST_F(DriverCycleTest, PauseAfterEveryFifthEthernetResponse) {
    T.Context.Settings.MsgCountBeforeWait = 5;
    T.Context.Settings.WaitTime = 1000;
    THitachiPLC& plc = Add(DriverTcp);
    Monitor(plc, "WR0010");
    TCycleDriver& driver = DriverOf(plc);
    Run(15);
    for (int i = 1; i <= 10; ++i) {
        ASSERT_EQ(driver.Sent.size(), static_cast<std::size_t>(i));
        driver.Answer(0x00, 0xA4, {0x00, 0x01});
        RequestAll();
        EXPECT_EQ(driver.Wait, i % 5 == 0 ? 1000 : 0) << i;
        Run(i % 5 == 0 ? 1015 : 15);
    }
}

TEST_F(DriverCycleTest, NoPauseWithMsgCountZero) {
    T.Context.Settings.MsgCountBeforeWait = 0;
    T.Context.Settings.WaitTime = 1000;
    THitachiPLC& plc = Add(DriverTcp);
    Monitor(plc, "WR0010");
    TCycleDriver& driver = DriverOf(plc);
    Run(15);
    for (int i = 1; i <= 7; ++i) {
        driver.Answer(0x00, 0xA4, {0x00, 0x01});
        RequestAll();
        EXPECT_EQ(driver.Wait, 0);
        Run(15);
    }
    EXPECT_EQ(driver.Sent.size(), 8u);
}

TEST_F(DriverCycleTest, WriteGoesFirstAndNewerValueKeepsPending) {
    THitachiPLC& plc = Add(DriverTcp);
    THitachiLocation& wr10 = Monitor(plc, "WR0010");
    TCycleDriver& driver = DriverOf(plc);
    wr10.StoreWrittenValue(0x1234);
    Run(15);
    ASSERT_EQ(driver.Sent.size(), 1u);
    EXPECT_EQ(driver.Sent[0].Frame,
              (Bytes{0x00, 0x01, 0xFF, 0xFF, 0x00, 0x00, 0xA5, 0x01, 0x0A, 0x00, 0x00, 0x10, 0x12, 0x34}));
    // The client writes again before the PLC confirms the first value.
    wr10.StoreWrittenValue(0x5678);
    driver.Answer(0x00, 0xA5);
    EXPECT_TRUE(wr10.WritePending);
    EXPECT_NE(wr10.WriteDoneTime, 0.0);
    // The write pass is over; the read pass comes next and the newer value follows in
    // the next write pass.
    Run(15);
    ASSERT_EQ(driver.Sent.size(), 2u);
    EXPECT_EQ(driver.Sent[1].Frame[6], CmdRandomRead);
    driver.Answer(0x00, 0xA4, {0x00, 0x00});
    EXPECT_EQ(wr10.GetValue(), 0x5678u); // a read never overwrites a pending write
    Run(15);
    ASSERT_EQ(driver.Sent.size(), 3u);
    EXPECT_EQ(driver.Sent[2].Frame,
              (Bytes{0x00, 0x03, 0xFF, 0xFF, 0x00, 0x00, 0xA5, 0x01, 0x0A, 0x00, 0x00, 0x10, 0x56, 0x78}));
    driver.Answer(0x00, 0xA5);
    EXPECT_FALSE(wr10.WritePending);
}

TEST_F(DriverCycleTest, UnansweredWriteStaysPending) {
    THitachiPLC& plc = Add(DriverTcp);
    THitachiLocation& wr10 = Monitor(plc, "WR0010");
    TCycleDriver& driver = DriverOf(plc);
    wr10.StoreWrittenValue(0x0042);
    Run(15);
    ASSERT_EQ(driver.Sent.size(), 1u);
    EXPECT_EQ(driver.Sent[0].Frame[6], CmdRandomWrite);
    Run(2200); // no answer: given up; a read request (also unanswered), then the write again
    EXPECT_TRUE(wr10.WritePending);
    ASSERT_GE(driver.Sent.size(), 2u);
    bool resent = false;
    for (std::size_t i = 1; i < driver.Sent.size(); ++i) resent |= driver.Sent[i].Frame[6] == CmdRandomWrite;
    EXPECT_TRUE(resent);
}

TEST_F(DriverCycleTest, EmptyCollectionFreesDriver) {
    THitachiPLC& plc = Add(DriverTcp);
    THitachiLocation& wr10 = Monitor(plc, "WR0010");
    TCycleDriver& driver = DriverOf(plc);
    Run(15);
    ASSERT_EQ(driver.CurrentPLC, &plc);
    driver.Answer(0x00, 0xA4, {0x00, 0x01});
    for (THitachiLocation* location : Held) location->Release();
    Held.clear();
    (void)wr10;
    Run(1000);
    EXPECT_EQ(plc.Monitored.Count(), 0);
    EXPECT_EQ(driver.CurrentPLC, nullptr);
    const std::size_t sent = driver.Sent.size();
    Run(1000);
    EXPECT_EQ(driver.Sent.size(), sent);
    // An answer between two owners is still a sign of life of the link.
    driver.Answer(0x00, 0xA4, {0x00, 0x01});
    EXPECT_EQ(driver.LastResponseTick, T.Platform.Clock.TickCount());
}

TEST_F(DriverCycleTest, TwoPlcsShareOneDriverAndTakeTurns) {
    THitachiPLC& one = Add(DriverTcp);
    THitachiPLC& two = Add(DriverTcp);
    ASSERT_EQ(one.Driver, two.Driver);
    EXPECT_EQ(Factory.Created.size(), 1u);
    for (const char* address : {"WR0000", "WR0100", "WR0200"}) {
        Monitor(one, address);
        Monitor(two, address);
    }
    // The owner gives the driver up after each pass and after the first request of a
    // pass, so the two PLCs alternate.
    TCycleDriver& driver = DriverOf(one);
    std::vector<THitachiPLC*> order;
    for (int i = 0; i < 12; ++i) {
        Run(15);
        if (driver.Sent.size() > order.size()) {
            order.push_back(driver.Sent.back().PLC);
            const std::size_t n = driver.Sent.back().Frame[7];
            driver.Answer(0x00, 0xA4, Bytes(2 * n, 0));
            RequestAll();
        }
    }
    ASSERT_GE(order.size(), 4u);
    // Both get the driver; neither keeps it for ever.
    int first = 0, second = 0;
    for (THitachiPLC* p : order) (p == &one ? first : second) += 1;
    EXPECT_GT(first, 0);
    EXPECT_GT(second, 0);
    // Each pass is one request here, so the two strictly take turns.
    for (std::size_t i = 1; i < order.size(); ++i) EXPECT_NE(order[i], order[i - 1]) << i;
    // Separate ports: separate drivers.
    THitachiPLC& three = Add(DriverTcp, 3005);
    EXPECT_NE(three.Driver, one.Driver);
    EXPECT_EQ(Factory.Created.size(), 2u);
}

TEST_F(DriverCycleTest, PassStatistics) {
    THitachiPLC& plc = Add(DriverTcp);
    Monitor(plc, "WR0010");
    TCycleDriver& driver = DriverOf(plc);
    for (int pass = 0; pass < 3; ++pass) {
        Run(15);
        Run(85);
        driver.Answer(0x00, 0xA4, {0x00, 0x01});
    }
    Run(15);
    EXPECT_GT(plc.LastComCycle, 0);
    EXPECT_EQ(plc.LastComCyclePercent, 100);
    EXPECT_EQ(plc.ComCycleHistory[9], plc.LastComCycle);
    EXPECT_GE(plc.MaxComCycle, plc.LastComCycle);
}

// Serial-format answers go through the reassembly of the driver, as a serial port hands
// them over.
class SerialCycleTest : public DriverCycleTest {
protected:
    THitachiPLC& AddSerial(int protocol = ProtocolStandard) {
        THitachiPLC& plc = PLCs.AddPLC();
        plc.SetConnection(DriverSerial, protocol);
        return plc;
    }
    static Bytes Ascii(const std::string& hex) {
        Bytes frame{STX};
        std::uint8_t sum = 0;
        for (char c : hex) {
            frame.push_back(static_cast<std::uint8_t>(c));
            sum = static_cast<std::uint8_t>(sum + static_cast<std::uint8_t>(c));
        }
        const char* digits = "0123456789ABCDEF";
        frame.push_back(static_cast<std::uint8_t>(digits[sum >> 4]));
        frame.push_back(static_cast<std::uint8_t>(digits[sum & 15]));
        frame.push_back(CR);
        return frame;
    }
    static std::string Text(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }
};

TEST_F(SerialCycleTest, AsciiReadAnswerAndSerialPause) {
    THitachiPLC& plc = AddSerial();
    THitachiLocation& wr10 = Monitor(plc, "WR0010");
    TCycleDriver& driver = DriverOf(plc);
    ASSERT_TRUE(driver.IsSerial());
    Run(15);
    ASSERT_EQ(driver.Sent.size(), 1u);
    EXPECT_EQ(driver.Sent[0].Frame, Ascii("2FFFF0000A4010A000010"));
    // Answer in two pieces.
    const Bytes answer = Ascii("FFFF000000A41234");
    driver.ParseStream(std::span<const std::uint8_t>(answer).first(5));
    EXPECT_FALSE(wr10.HasValue);
    driver.ParseStream(std::span<const std::uint8_t>(answer).subspan(5));
    EXPECT_EQ(wr10.Value, 0x1234u);
    EXPECT_EQ(driver.Wait, 70);
    EXPECT_EQ(plc.LastGoodTick, T.Platform.Clock.Tick);
    EXPECT_TRUE(driver.SpeedDetected);
    EXPECT_EQ(driver.Rx.Pending(), 0u);
    EXPECT_EQ(T.Platform.PostedCount(), 1u); // the run-now event
}

TEST_F(SerialCycleTest, AnswerForAnotherStationOrLumpIsIgnored) {
    THitachiPLC& plc = AddSerial();
    THitachiLocation& wr10 = Monitor(plc, "WR0010");
    TCycleDriver& driver = DriverOf(plc);
    Run(15);
    driver.ParseStream(Ascii("FFFF000100A41234"));
    EXPECT_FALSE(wr10.HasValue);
    EXPECT_FALSE(plc.Responded);
    driver.ParseStream(Ascii("FFFF000000A41234"));
    EXPECT_TRUE(wr10.HasValue);
}

TEST_F(SerialCycleTest, StationNumberProtocolChecksStation) {
    THitachiPLC& plc = AddSerial(ProtocolStationNumber);
    plc.SerialStatNo = 12;
    THitachiLocation& wr10 = Monitor(plc, "WR0010");
    TCycleDriver& driver = DriverOf(plc);
    Run(15);
    ASSERT_EQ(driver.Sent.size(), 1u);
    driver.ParseStream(Ascii("11FFFF000000A41234"));
    EXPECT_FALSE(wr10.HasValue);
    driver.ParseStream(Ascii("12FFFF000000A41234"));
    EXPECT_EQ(wr10.Value, 0x1234u);
}

TEST_F(SerialCycleTest, HandshakeReplySentAfterFiftyMilliseconds) {
    THitachiPLC& plc = AddSerial();
    Monitor(plc, "WR0010");
    TCycleDriver& driver = DriverOf(plc);
    Run(15);
    ASSERT_EQ(driver.Sent.size(), 1u);
    driver.ParseStream(Bytes{ACK, CR});
    EXPECT_TRUE(driver.ReplyPending);
    Run(45);
    EXPECT_EQ(driver.Sent.size(), 1u);
    Run(15);
    ASSERT_EQ(driver.Sent.size(), 2u);
    EXPECT_EQ(driver.Sent[1].Frame, (Bytes{0x05, 0x30, 0x31, 0x0D}));
    EXPECT_FALSE(driver.ReplyPending);
    EXPECT_TRUE(driver.ReplyBuffer.empty());
}

TEST_F(SerialCycleTest, SerialSilenceTimesOutAfterTimeOutPlusFiveSeconds) {
    THitachiPLC& plc = AddSerial();
    Monitor(plc, "WR0010");
    TCycleDriver& driver = DriverOf(plc);
    Run(15);
    driver.ParseStream(Ascii("FFFF000000A41234"));
    RequestAll();
    Run(5900); // now - LastGoodTick has not passed TimeOut + 5000 at the last give-up
    EXPECT_EQ(T.Capture.CountStartingWith("PLC PLC1 timed out at "), 0);
    Run(1500);
    EXPECT_EQ(T.Capture.CountStartingWith("PLC PLC1 timed out at "), 1);
}

TEST_F(DriverCycleTest, BitBlockAnswerSpreadsBitsMostSignificantFirst) {
    T.Context.Settings.MinBlockSize = 0;
    T.Context.Settings.MinBlockUsage = 0;
    THitachiPLC& plc = Add(DriverTcp);
    THitachiLocation& m120 = Monitor(plc, "M00120");
    THitachiLocation& m127 = Monitor(plc, "M00127");
    THitachiLocation& m128 = Monitor(plc, "M00128");
    TCycleDriver& driver = DriverOf(plc);
    Run(15);
    // First pass starts after index 0: M127..M128, span 2.
    driver.Answer(0x00, 0xA0, {0x40});
    EXPECT_EQ(m127.Value, 0u);
    EXPECT_EQ(m128.Value, 1u);
    RequestAll();
    Run(15);
    ASSERT_EQ(driver.Sent.size(), 2u);
    EXPECT_EQ(driver.Sent[1].Frame,
              (Bytes{0x00, 0x02, 0xFF, 0xFF, 0x00, 0x00, 0xA0, 0x04, 0x00, 0x01, 0x20, 0x09}));
    driver.Answer(0x00, 0xA0, {0x81}); // one byte short of 9 bits: not taken
    EXPECT_EQ(m120.ErrorCount, 1);
    EXPECT_FALSE(m120.HasValue);
    RequestAll();
    Run(15);
    ASSERT_EQ(driver.Sent.size(), 3u);
    driver.Answer(0x00, 0xA0, {0x81, 0x00});
    EXPECT_EQ(m120.Value, 1u);
    EXPECT_EQ(m127.Value, 1u);
    EXPECT_EQ(m128.Value, 0u);
}

TEST_F(DriverCycleTest, BusyBackOffDoublesAndValidAnswerHalvesIt) {
    THitachiPLC& plc = Add(DriverTcp);
    Monitor(plc, "WR0010");
    TCycleDriver& driver = DriverOf(plc);
    Run(15);
    driver.Answer(0x05, 0xA4);
    EXPECT_EQ(driver.BusyDelay, 40000);
    EXPECT_EQ(driver.BusyDelayMax, 40000);
    driver.Answer(0x05, 0xA4);
    EXPECT_EQ(driver.BusyDelay, 40000); // no longer doubled above 30 000
    driver.Answer(0x00, 0xA4, {0x00, 0x01});
    EXPECT_EQ(driver.BusyDelay, 20000);
    EXPECT_EQ(driver.Wait, 0);
    RequestAll();
    Run(15);
    driver.Answer(0x08, 0xA4);
    EXPECT_EQ(driver.BusyDelay, 20000);
    EXPECT_EQ(plc.LastStatus, 8);
    Run(15);
    EXPECT_EQ(plc.LastErrorCode, 8);
}

TEST_F(SerialCycleTest, BinarySwitchAnswerTurnsBinaryModeOn) {
    THitachiPLC& plc = AddSerial();
    Monitor(plc, "WR0010");
    TCycleDriver& driver = DriverOf(plc);
    Run(15);
    driver.ParseStream(Ascii("FFFF00000119"));
    EXPECT_FALSE(driver.BinaryMode);
    EXPECT_EQ(driver.BinaryState, 1);
    driver.ParseStream(Ascii("FFFF00000019"));
    EXPECT_TRUE(driver.BinaryMode);
    EXPECT_EQ(driver.BinaryState, 2);
    // From now on answers are read in binary framing.
    RequestAll();
    Run(1100);
    ASSERT_GE(driver.Sent.size(), 2u);
    EXPECT_EQ(driver.Sent.back().Frame, (Bytes{0x02, 0x00, 0x0C, 0xFF, 0xFF, 0x00, 0x00, 0xA4, 0x01, 0x0A,
                                               0x00, 0x00, 0x10, 0xC9, 0x0D}));
    driver.ParseStream(Bytes{0x02, 0x00, 0x0A, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0xA4, 0x0D, 0x0D, 0xC6, 0x0D});
    EXPECT_EQ(PLCs.ResolveItemId("PLC1.WR0010").Location->Value, 0x0D0Du);
}

TEST_F(DriverCycleTest, DoubleWordHalvesTravelInOneRequest) {
    THitachiPLC& plc = Add(DriverTcp);
    // 55 words too far apart for a block, then a double word whose halves come last.
    for (int i = 0; i < 55; ++i) {
        char address[16];
        std::snprintf(address, sizeof address, "WR%04X", i * 3);
        Monitor(plc, address);
    }
    THitachiLocation& dw = Monitor(plc, "DR0200");
    ASSERT_TRUE(dw.IsDoubleWord);
    ASSERT_TRUE(dw.HasBothHalves());
    TCycleDriver& driver = DriverOf(plc);
    Run(15);
    ASSERT_EQ(driver.Sent.size(), 1u);
    // The first pass starts at index 1: 54 words fill all but one slot, and the double
    // word's halves do not fit in one.
    EXPECT_EQ(driver.Sent[0].Frame[7], 54);
    driver.Answer(0x00, 0xA4, Bytes(2 * 54, 0));
    Run(15);
    ASSERT_EQ(driver.Sent.size(), 2u);
    const Bytes& second = driver.Sent[1].Frame;
    EXPECT_EQ(second[6], CmdRandomRead);
    ASSERT_EQ(second[7], 2);
    EXPECT_EQ(Bytes(second.begin() + 8, second.end()),
              (Bytes{0x0A, 0x00, 0x02, 0x00, 0x0A, 0x00, 0x02, 0x01}));
    driver.Answer(0x00, 0xA4, {0x12, 0x34, 0x56, 0x78});
    EXPECT_TRUE(dw.HighLink->HasValue);
    EXPECT_TRUE(dw.LowLink->HasValue);
}

TEST_F(DriverCycleTest, PoolSharesMatchingLinksAndFreesUnusedDrivers) {
    THitachiPLC& one = Add(DriverTcp, 3004);
    THitachiPLC& two = Add(DriverTcp, 3004);
    THitachiPLC& three = Add(DriverUdp, 3004);
    THitachiPLC& four = AddSerialPlc();
    EXPECT_EQ(one.Driver, two.Driver);
    EXPECT_NE(one.Driver, three.Driver);
    EXPECT_NE(one.Driver, four.Driver);
    ASSERT_EQ(Manager.Drivers().size(), 3u);
    EXPECT_EQ(one.Driver->UserCount, 2);
    EXPECT_EQ(one.Driver->Manager, &Manager);
    // A serial-format protocol over Ethernet stays ASCII.
    two.SetConnection(DriverTcp, ProtocolStandard);
    EXPECT_NE(two.Driver, one.Driver);
    EXPECT_EQ(two.Driver->BinaryState, 1);
    EXPECT_FALSE(two.Driver->BinaryMode);
    EXPECT_EQ(one.Driver->UserCount, 1);
    PLCs.DeletePLC(0);
    Manager.FreeUnusedDrivers();
    EXPECT_EQ(Manager.Drivers().size(), 3u); // two's, three's and four's
}

} // namespace
} // namespace dravon
