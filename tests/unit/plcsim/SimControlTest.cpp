// The control commands (stdin and control socket): each line and its reply, and what it
// did to the simulator.
#include "PlcSimulator.h"
#include "SimCommandInterpreter.h"

#include <gtest/gtest.h>

#include <array>
#include <tuple>
#include <vector>

namespace dravon {
namespace {

TEST(SimCommands, RepliesAndEffects) {
    TPlcSimulator sim{{}};
    TSimCommandInterpreter cmd{sim};
    bool quit = false;
    // A reply ending in "*" is a prefix.
    // clang-format off
    const std::pair<const char*, const char*> rows[] = {
        {"set 0 WR0010 0x1234", "ok"}, {"get 0 wr10", "ok 4660 0x1234"}, {"set 3 M123 1", "ok"},
        {"set 0 DR0000 70000", "ok"}, {"get 0 DR0000", "ok 70000 0x11170"}, {"set 0 X00195 1", "ok"},
        {"set 0 WR0011 65536", "error value too large for a word"}, {"set 0 WR0011 -1", "error*"},
        {"set 100 WR0011 1", "error*"},
        {"set 0 X00196 1", "error*"},  // sub-address 96 does not exist
        {"set 0 WR10000 1", "error*"}, // past WRFFFF
        {"set 0 DRFFFF 1", "error*"},  // its high half would be past the end
        {"set 0 QQ0011 1", "error*"}, {"set 0 WR0011", "error usage: set STATION ADDRESS VALUE"},
        {"get 0 WR0011 5", "error usage: get STATION ADDRESS"},
        {"frobnicate", "error unknown command 'frobnicate' (try help)"}, {"", "ok"},
        {"fault latency=20 busy=7 error=18/3 drop=5 split=4/2 garbage=3 close=9 rejectextra=1 spike=100/4 rejectwrites=1",
         "ok latency=20 spike=100/4 busy=7 error=18/3 drop=5 split=4/2 garbage=3/0 close=9 rejectextra=1 rejectwrites=1"},
        {"fault error=256", "error bad fault setting 'error=256'*"}, {"fault rejectextra=2", "error*"},
        {"fault spike=100", "error*"}, {"fault nonsense=1", "error*"},
        // Noise is built in memory before each answer: its size is bounded.
        {"fault garbage=4000000000", "error*"}, {"fault garbage=2501", "error*"},
        {"anim counter 0 WR0010 100", "ok"}, {"anim ramp 0 WR0011 100 5 50 50", "ok"},
        {"anim ramp 0 WR0011 100 5 60 50", "error usage*"}, // min above max
        {"anim toggle 0 M0005 0", "error usage*"},          // no period
        {"anim clear", "ok"}, {"power off", "ok"}, {"power maybe", "error*"},
        {"speed 0 9600", "error usage: speed TRANSPORT BAUD"}, // no transport 0 here
        {"stats", "ok blockread=0 randomread=0*"}, {"stats reset", "ok"}, {"ports", "ok"},
    };
    // clang-format on
    for (const auto& [line, reply] : rows) {
        const std::string want = reply, got = cmd.Execute(line, quit);
        EXPECT_EQ(want.back() == '*' ? got.substr(0, want.size() - 1) + "*" : got, want) << line;
    }
    EXPECT_FALSE(quit);
    // WR0010; WR0011 unchanged by every refused set; M123 of station 3, not of station 0 (stations
    // keep their own memory); DR0000's halves; X00195 (high part 1, bit 95: packed 1 * 16^2 + 95).
    EXPECT_EQ((std::vector<int>{sim.Value(0, 0x0A, 0x10), sim.Value(0, 0x0A, 0x11), sim.Value(3, 0x04, 0x123),
                                sim.Value(0, 0x04, 0x123), sim.Value(0, 0x0A, 0x0), sim.Value(0, 0x0A, 0x1),
                                sim.Value(0, 0x00, 0x15F), sim.Value(0, 0x00, 0x195)}),
              (std::vector{0x1234, 0, 1, 0, 70000 & 0xFFFF, 1, 1, 0}));
    const TSimFaults f = sim.Faults(); // as the last accepted line set them
    EXPECT_EQ(std::tuple(f.LatencyMs, f.BusyEvery, f.ErrorStatus, f.ErrorEvery, f.SplitChunk, f.GarbageBytes),
              std::tuple(20u, 7u, 18, 3u, 4u, 3u));
    EXPECT_TRUE(f.RejectExtraByte && f.RejectWrites);
    EXPECT_FALSE(sim.Power());
    EXPECT_TRUE(cmd.Execute("power on", quit) == "ok" && sim.Power());
    EXPECT_EQ(cmd.Execute("fault clear", quit),
              "ok latency=0 spike=0/0 busy=0 error=0/0 drop=0 split=0/0 garbage=0/0 close=0 rejectextra=0 "
              "rejectwrites=0");
    EXPECT_EQ(sim.Faults().BusyEvery, 0u);
    const std::string help = cmd.Execute("help", quit);
    for (const char* word :
         {"set", "get", "fault", "power", "close", "speed", "anim", "stats", "ports", "quit"})
        EXPECT_NE(help.find(word), std::string::npos) << word;
    EXPECT_EQ(cmd.Execute("quit", quit), "ok bye");
    EXPECT_TRUE(quit);
}

TEST(SimAnimation, CounterRampAndToggleFollowTheirPeriods) {
    TSimEngine e;
    e.AddAnimation({.Kind = TSimAnimationKind::Counter, .Address = 0x10, .PeriodMs = 100}, 0);
    e.AddAnimation(
        {.Kind = TSimAnimationKind::Ramp, .Address = 0x11, .PeriodMs = 100, .Step = 40, .Min = 10, .Max = 90},
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
    EXPECT_EQ(ramp, (std::vector{50, 90, 10})); // 90 is Max, 130 passes it
    EXPECT_EQ(e.Get(0, 0x0A, 0x10), 4);
}

} // namespace
} // namespace dravon
