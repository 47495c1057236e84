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

const TBytes kAsciiRead = Ascii("2FFFF0000A402040001230A000010FD");

// Noise before an answer never holds a byte that starts or ends a frame.
TEST(SimFaults, GarbageBeforeTheFrameHoldsNoFrameByte) {
    TSimHarness Serial{test::SerialLink()};
    Serial.Engine.Station(0).Set(0x0A, 0x10, 0x1234);
    Serial.Engine.Station(0).Set(0x04, 0x123, 1);
    TSimFaults f;
    f.GarbageBytes = 6;
    Serial.Engine.SetFaults(f);
    TBytes answer = Serial.Send(kAsciiRead);
    TBytes frame = Ascii("FFFF000000A40001123438");
    ASSERT_EQ(answer.size(), frame.size() + 6);
    EXPECT_EQ(TBytes(answer.begin() + 6, answer.end()), frame);
    for (std::size_t i = 0; i < 6; ++i)
        EXPECT_EQ(std::string("\x02\x06\x04\x0D").find(char(answer[i])), std::string::npos);
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
