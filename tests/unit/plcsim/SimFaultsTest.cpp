// Injected faults as the host sees them on the wire: BUSY, error status, dropped, split,
// delayed and noisy answers, and closing the connection.
#include "SimTestFrames.h"

#include <gtest/gtest.h>

#include <array>
#include <vector>

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
    Serial.Engine.SetFaults({.GarbageBytes = 6});
    TBytes answer = Serial.Send(kAsciiRead);
    TBytes frame = Ascii("FFFF000000A40001123438");
    ASSERT_EQ(answer.size(), frame.size() + 6);
    EXPECT_EQ(TBytes(answer.begin() + 6, answer.end()), frame);
    for (std::size_t i = 0; i < 6; ++i)
        EXPECT_EQ(std::string("\x02\x06\x04\x0D").find(char(answer[i])), std::string::npos);
}

TEST(SimAnimation, CounterRampAndToggleFollowTheirPeriods) {
    TSimEngine e;
    e.AddAnimation({.Kind = TSimAnimationKind::Counter, .Address = 0x10, .PeriodMs = 100}, 0);
    e.AddAnimation({.Kind = TSimAnimationKind::Ramp,
                    .Address = 0x11,
                    .PeriodMs = 100,
                    .Step = 40,
                    .Min = 10,
                    .Max = 100},
                   0);
    e.AddAnimation({.Kind = TSimAnimationKind::Toggle, .Code = 0x04, .Address = 0x5, .PeriodMs = 50}, 0);
    EXPECT_EQ(e.Animate(10), 50u);
    EXPECT_EQ(e.Get(0, 0x0A, 0x10), 0);
    EXPECT_EQ(e.Animate(50), 100u);
    EXPECT_EQ(e.Get(0, 0x04, 0x5), 1);
    e.Animate(100);
    // Counter, ramp (below Min: starts at Min), toggle.
    EXPECT_EQ((std::array<int, 3>{e.Get(0, 0x0A, 0x10), e.Get(0, 0x0A, 0x11), e.Get(0, 0x04, 0x5)}),
              (std::array{1, 10, 0}));
    std::vector<int> ramp;
    for (std::uint32_t at : {200u, 300u, 400u}) e.Animate(at), ramp.push_back(e.Get(0, 0x0A, 0x11));
    EXPECT_EQ(ramp, (std::vector{50, 90, 10})); // 130 passes Max
    EXPECT_EQ(e.Get(0, 0x0A, 0x10), 4);
}

} // namespace
} // namespace dravon
