// Injected faults as the host sees them on the wire: BUSY, error status, dropped, split,
// delayed and noisy answers, and closing the connection.
#include "SimTestFrames.h"

#include <gtest/gtest.h>

namespace dravon {
namespace {

using test::Ascii;
using test::Bytes;
using test::TBytes;
using test::TSimHarness;

const TBytes kEthernetRead = Bytes({0x00, 0x09, 0xFF, 0xFF, 0x00, 0x00, 0xA4, 0x01, 0x0A, 0x00, 0x00, 0x10});
const TBytes kEthernetAnswer = Bytes({0x00, 0x09, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0xA4, 0x12, 0x34});
const TBytes kAsciiRead = Ascii("2FFFF0000A402040001230A000010FD");

struct SimFaults : ::testing::Test {
    TSimHarness Eth{TSimLinkConfig{}};
    TSimHarness Serial{test::SerialLink()};
    void SetUp() override {
        Eth.Engine.Station(0).Set(0x0A, 0x10, 0x1234);
        Serial.Engine.Station(0).Set(0x0A, 0x10, 0x1234);
        Serial.Engine.Station(0).Set(0x04, 0x123, 1);
    }
};

TEST_F(SimFaults, BusyEveryThirdRequest) {
    TSimFaults f;
    f.BusyEvery = 3;
    Serial.Engine.SetFaults(f);
    EXPECT_EQ(Serial.Send(kAsciiRead), Ascii("FFFF000000A40001123438"));
    EXPECT_EQ(Serial.Send(kAsciiRead), Ascii("FFFF000000A40001123438"));
    EXPECT_EQ(Serial.Send(kAsciiRead), Ascii("FFFF000005A4B2"));
    EXPECT_EQ(Serial.Send(kAsciiRead), Ascii("FFFF000000A40001123438"));
    EXPECT_EQ(Serial.Engine.Stats().FaultBusy, 1u);

    Eth.Engine.SetFaults(f);
    Eth.Send(kEthernetRead);
    Eth.Send(kEthernetRead);
    EXPECT_EQ(Eth.Send(kEthernetRead), Bytes({0x00, 0x09, 0xFF, 0xFF, 0x00, 0x00, 0x05, 0xA4}));
}

TEST_F(SimFaults, ErrorStatusInsteadOfData) {
    TSimFaults f;
    f.ErrorStatus = 0x12;
    f.ErrorEvery = 1;
    Serial.Engine.SetFaults(f);
    EXPECT_EQ(Serial.Send(kAsciiRead), Ascii("FFFF000012A4B0"));
    EXPECT_EQ(Serial.Engine.Stats().FaultErrors, 1u);
    // A write refused with an error status leaves the memory alone.
    Eth.Engine.SetFaults(f);
    EXPECT_EQ(
        Eth.Send(Bytes({0x00, 0x01, 0xFF, 0xFF, 0x00, 0x00, 0xA5, 0x01, 0x0A, 0x00, 0x00, 0x10, 0x55, 0x66})),
        Bytes({0x00, 0x01, 0xFF, 0xFF, 0x00, 0x00, 0x12, 0xA5}));
    EXPECT_EQ(Eth.Engine.Get(0, 0x0A, 0x10), 0x1234);
}

TEST_F(SimFaults, DroppedAnswersEverySecondRequest) {
    TSimFaults f;
    f.DropEvery = 2;
    Eth.Engine.SetFaults(f);
    EXPECT_EQ(Eth.Send(kEthernetRead), kEthernetAnswer);
    EXPECT_TRUE(Eth.Send(kEthernetRead).empty());
    EXPECT_EQ(Eth.Send(kEthernetRead), kEthernetAnswer);
    EXPECT_EQ(Eth.Engine.Stats().FaultDrops, 1u);
    EXPECT_EQ(Eth.Engine.Stats().Answers, 2u);
}

TEST_F(SimFaults, SplitAnswerWithLatencyAndPauses) {
    TSimFaults f;
    f.LatencyMs = 20;
    f.SplitChunk = 4;
    f.SplitDelayMs = 7;
    Eth.Engine.SetFaults(f);
    EXPECT_EQ(Eth.Send(kEthernetRead), kEthernetAnswer);
    ASSERT_EQ(Eth.Out.Parts.size(), 3u);
    EXPECT_EQ(Eth.Out.Parts[0].End, 4u);
    EXPECT_EQ(Eth.Out.Parts[0].DelayMs, 20u);
    EXPECT_EQ(Eth.Out.Parts[1].End, 8u);
    EXPECT_EQ(Eth.Out.Parts[1].DelayMs, 7u);
    EXPECT_EQ(Eth.Out.Parts[2].End, 10u);
    EXPECT_EQ(Eth.Out.Parts[2].DelayMs, 7u);
}

TEST_F(SimFaults, LatencySpikeEverySecondRequest) {
    TSimFaults f;
    f.LatencyMs = 5;
    f.SpikeMs = 300;
    f.SpikeEvery = 2;
    Eth.Engine.SetFaults(f);
    Eth.Send(kEthernetRead);
    ASSERT_EQ(Eth.Out.Parts.size(), 1u);
    EXPECT_EQ(Eth.Out.Parts[0].DelayMs, 5u);
    Eth.Send(kEthernetRead);
    ASSERT_EQ(Eth.Out.Parts.size(), 1u);
    EXPECT_EQ(Eth.Out.Parts[0].DelayMs, 305u);
}

TEST_F(SimFaults, GarbageBeforeTheFrameHoldsNoFrameByte) {
    TSimFaults f;
    f.GarbageBytes = 6;
    Serial.Engine.SetFaults(f);
    TBytes answer = Serial.Send(kAsciiRead);
    TBytes frame = Ascii("FFFF000000A40001123438");
    ASSERT_EQ(answer.size(), frame.size() + 6);
    EXPECT_EQ(TBytes(answer.begin() + 6, answer.end()), frame);
    for (std::size_t i = 0; i < 6; ++i) {
        EXPECT_NE(answer[i], 0x02);
        EXPECT_NE(answer[i], 0x06);
        EXPECT_NE(answer[i], 0x04);
        EXPECT_NE(answer[i], 0x0D);
    }
}

TEST_F(SimFaults, CloseInsteadOfAnswering) {
    TSimFaults f;
    f.CloseEvery = 1;
    Eth.Engine.SetFaults(f);
    EXPECT_TRUE(Eth.Send(kEthernetRead).empty());
    EXPECT_TRUE(Eth.Out.Close);
    EXPECT_EQ(Eth.Engine.Stats().FaultCloses, 1u);
}

TEST(SimAnimation, CounterRampAndToggleFollowTheirPeriods) {
    TSimEngine e;
    TSimAnimation counter;
    counter.Kind = TSimAnimationKind::Counter;
    counter.Address = 0x10;
    counter.PeriodMs = 100;
    TSimAnimation ramp;
    ramp.Kind = TSimAnimationKind::Ramp;
    ramp.Address = 0x11;
    ramp.PeriodMs = 100;
    ramp.Step = 40;
    ramp.Min = 10;
    ramp.Max = 100;
    TSimAnimation toggle;
    toggle.Kind = TSimAnimationKind::Toggle;
    toggle.Code = 0x04;
    toggle.Address = 0x5;
    toggle.PeriodMs = 50;
    e.AddAnimation(counter, 0);
    e.AddAnimation(ramp, 0);
    e.AddAnimation(toggle, 0);
    EXPECT_EQ(e.Animate(10), 50u);
    EXPECT_EQ(e.Get(0, 0x0A, 0x10), 0);
    EXPECT_EQ(e.Animate(50), 100u);
    EXPECT_EQ(e.Get(0, 0x04, 0x5), 1);
    e.Animate(100);
    EXPECT_EQ(e.Get(0, 0x0A, 0x10), 1);
    EXPECT_EQ(e.Get(0, 0x0A, 0x11), 10); // below Min: starts at Min
    EXPECT_EQ(e.Get(0, 0x04, 0x5), 0);
    e.Animate(200);
    EXPECT_EQ(e.Get(0, 0x0A, 0x11), 50);
    e.Animate(300);
    EXPECT_EQ(e.Get(0, 0x0A, 0x11), 90);
    e.Animate(400);
    EXPECT_EQ(e.Get(0, 0x0A, 0x11), 10); // 130 passes Max
    EXPECT_EQ(e.Get(0, 0x0A, 0x10), 4);
}

} // namespace
} // namespace dravon
