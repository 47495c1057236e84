// The PLC side answering the host's literal frames byte for byte: ASCII and binary framing,
// the ethernet layout, station numbers, procedure 2, handshakes, the probe and the switch; the
// control commands.
#include "PlcSimulator.h"
#include "SimCommandInterpreter.h"
#include "SimEngine.h"
#include "SimOutput.h"
#include "SimSession.h"
#include "support/Frames.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <sstream>
#include <tuple>
#include <vector>

namespace dravon {
namespace {

using test::Ascii;
using test::Cat;
using test::Hex;
using test::TBytes;

struct TExchange {
    TBytes Request;
    TBytes Answer;
    bool Trickle = false; // byte by byte, as a slow serial line delivers it
};

struct TFrameRow {
    const char* Name;
    // serial, md (multidrop), st5 (station 5 instead of 0), p2 (procedure 2), hs
    // (handshake), ascii/binary (framing), quiet (no NAK).
    const char* Link;
    TSimFaults Faults;
    std::vector<TExchange> Exchanges;
    // Memory before and after: station.code.address=value, all hex.
    const char* Before;
    const char* After;
    std::vector<std::pair<std::uint64_t TSimStats::*, std::uint64_t>> Stats;
    // How the last answer goes out: end@delay of each piece, "close" for a closed link.
    const char* Parts = "";
};

void RunFrameRow(const TFrameRow& row) {
    SCOPED_TRACE(row.Name);
    TSimLinkConfig link;
    std::istringstream flags(row.Link);
    for (std::string flag; flags >> flag;) {
        if (flag == "serial") std::tie(link.Protocol, link.IsSerial) = std::pair(1, true);
        link.MultiDrop |= flag == "md";
        if (flag == "st5") link.Stations = {5};
        link.Procedure2 |= flag == "p2";
        link.Handshake |= flag == "hs";
        if (flag == "ascii") link.Framing = TSimFraming::Ascii;
        if (flag == "binary") link.Framing = TSimFraming::Binary;
        if (flag == "quiet") link.NakOnBadFrame = false;
    }
    TSimEngine engine;
    TSimSession session(link);
    TSimOutput out;
    engine.SetFaults(row.Faults);
    auto memory = [&](const char* text, bool set) {
        std::istringstream words(text);
        for (std::string word; words >> word;) {
            unsigned station = 0, code = 0, address = 0, value = 0;
            ASSERT_EQ(std::sscanf(word.c_str(), "%x.%x.%x=%x", &station, &code, &address, &value), 4) << word;
            const auto [st, c] = std::pair(static_cast<int>(station), static_cast<std::uint8_t>(code));
            if (set)
                engine.Station(st).Set(c, address, static_cast<std::uint16_t>(value));
            else
                EXPECT_EQ(engine.Get(st, c, address), static_cast<int>(value)) << word;
        }
    };
    memory(row.Before, true);
    for (std::size_t i = 0; i < row.Exchanges.size(); ++i) {
        const TExchange& exchange = row.Exchanges[i];
        out.Clear();
        const TBytes& in = exchange.Request;
        for (std::size_t at = 0; at < in.size(); at += exchange.Trickle ? 1 : in.size())
            session.Receive(in.data() + at, exchange.Trickle ? 1 : in.size(), engine, out);
        EXPECT_EQ(out.Bytes, exchange.Answer) << "exchange " << i;
    }
    memory(row.After, false);
    for (const auto& [counter, count] : row.Stats) EXPECT_EQ(engine.Stats().*counter, count);
    std::string parts = out.Close ? "close" : "";
    for (const auto& part : out.Parts)
        if (part.DelayMs)
            parts +=
                (parts.empty() ? "" : " ") + std::to_string(part.End) + "@" + std::to_string(part.DelayMs);
    EXPECT_EQ(parts, row.Parts);
}

const char* const Words = "0.0A.10=1234 0.0A.11=5678 0.0A.12=9ABC 0.0A.13=DEF0 0.04.123=1";
const char* const Words5 = "5.0A.10=1234 5.0A.11=5678 5.0A.12=9ABC 5.0A.13=DEF0";

TEST(SimSessionFrames, Rows) {
    const TBytes randomRead = Ascii("2FFFF0000A402040001230A000010FD");
    const TBytes randomAnswer = Ascii("FFFF000000A40001123438");
    const TBytes binaryRead = Hex("020010FFFF0000A402040001230A000010F60D");
    const TBytes binaryWrite2 = Hex("02000AA5010A0000101234100D");
    const TBytes switchFrame = Ascii("0FFFF00001900D2");
    const TBytes nak = Hex("15310D");
    const TBytes ethernetRead = Hex("0009FFFF0000A4010A000010");
    const TBytes ethernetAnswer = Hex("0009FFFF000000A41234");
    using S = TSimStats;
    // clang-format off
    const TFrameRow rows[] = {
        {"ascii random read of a bit and a word", "serial", {}, {{randomRead, randomAnswer}}, Words, "",
         {{&S::RandomReads, 1}, {&S::Answers, 1}}},
        {"ascii block read, station 5 on a multidrop line; station 6 is another PLC", "serial md st5", {},
         {{Ascii("205FFFF0000A00A00001004D6"), Ascii("05FFFF000000A0123456789ABCDEF0B0")},
          {Ascii("206FFFF0000A00A00001004D7"), {}}}, Words5, "", {{&S::OtherStations, 1}}},
        {"a fault aimed at another station leaves this one healthy", "serial md st5", {.BusyEvery = 1, .OnlyStation = 6},
         {{Ascii("205FFFF0000A00A00001004D6"), Ascii("05FFFF000000A0123456789ABCDEF0B0")}}, Words5, "", {}},
        {"answering as another station", "serial md st5", {.OnlyStation = 5, .AnswerStation = 0},
         {{Ascii("205FFFF0000A00A00001004D6"), Ascii("00FFFF000000A0123456789ABCDEF0AB")}}, Words5, "", {}},
        {"ascii block read without station", "serial", {},
         {{Ascii("2FFFF0000A00A0000100471"), Ascii("FFFF000000A0123456789ABCDEF04B")}}, Words, "", {}},
        {"ascii random write, procedure 2", "serial p2", {}, {{Ascii("2A5010A000010123465"), Ascii("00A5D6")}}, "",
         "0.0A.10=1234", {{&S::RandomWrites, 1}}},
        {"ascii random write, procedure 1 echoes the Lump", "serial", {},
         {{Ascii("2FFFF0000A5010A00001012343D"), Ascii("FFFF000000A5AE")}}, "", "0.0A.10=1234", {}},
        {"unknown memory code rejected with 07", "serial", {},
         {{Ascii("2FFFF0000A4010700000067"), Ascii("FFFF000001A40715")}}, "", "", {{&S::Rejections, 1}}},
        {"rejection with an extra byte", "serial", {.RejectExtraByte = true},
         {{Ascii("2FFFF0000A4010700000067"), Ascii("FFFF000001A4070075")}}, "", "", {}},
        {"a bit's data is 0 or 1", "", {}, {{Hex("0006FFFF0000A501040001230002"), Hex("0006FFFF000001A507")}}, "",
         "0.04.123=0", {}},
        {"a rejected write changes nothing", "", {},
         {{Hex("0005FFFF0000A5020A0000101234070000005678"), Hex("0005FFFF000001A507")}}, "", "0.0A.10=0", {}},
        {"wrong checksum gets NAK", "serial", {}, {{Ascii("2FFFF0000A5010A00001012343E"), nak}}, "", "0.0A.10=0",
         {{&S::BadFrames, 1}}},
        {"lowercase hex is not understood", "serial", {}, {{Ascii("2ffff0000a5010a00001012343D"), nak}}, "",
         "0.0A.10=0", {}},
        {"wrong checksum without NAK", "serial quiet", {}, {{Ascii("2FFFF0000A5010A00001012343E"), {}}}, "",
         "0.0A.10=0", {}},
        {"noise, then a frame byte by byte; two frames in one piece", "serial", {},
         {{Cat(Hex("FF005A"), randomRead), randomAnswer, true},
          {Cat(randomRead, randomRead), Cat(randomAnswer, randomAnswer)}}, Words, "", {}},
        {"binary only after the switch, ascii still after it", "serial", {},
         {{binaryRead, {}}, {switchFrame, Ascii("FFFF00000019A2")},
          {binaryRead, Hex("02000CFFFF000000A400011234F50D")},
          {randomRead, randomAnswer}}, Words, "", {{&S::BinarySwitches, 1}}},
        {"an ascii-only port refuses the switch", "serial ascii", {},
         {{switchFrame, Ascii("FFFF00000119A3")}, {binaryRead, {}}}, Words, "", {}},
        {"the probe is never answered and returns the port to ascii", "serial", {},
         {{switchFrame, Ascii("FFFF00000019A2")}, {Hex("153046460D"), {}}, {binaryRead, {}}},
         Words, "", {{&S::Probes, 1}}},
        {"binary random write, procedure 2", "serial p2 binary", {},
         {{binaryWrite2, Hex("02000400A5A90D")}}, "", "0.0A.10=1234", {}},
        {"binary CR inside the data both ways", "serial binary", {},
         {{Hex("02000EFFFF0000A5010A0000100D0DE60D"), Hex("020008FFFF000000A5AB0D"), true},
          {Hex("02000CFFFF0000A4010A000010C90D"), Hex("02000AFFFF000000A40D0DC60D")}}, "", "0.0A.10=D0D", {}},
        {"a binary frame of a good length and sum is taken whole, even if it holds no request", "serial binary", {},
         {{Hex("02000302050D"), {}}}, "", "", {{&S::BadFrames, 1}}},
        {"binary wrong checksum or length dropped silently", "serial binary", {},
         {{Hex("02000AA5010A0000101234110D"), {}}, {Hex("020009A5010A0000101234100D"), {}}},
         "", "0.0A.10=0", {{&S::BadFrames, 2}, {&S::RandomWrites, 0}}},
        {"ethernet bit block read echoes the sequence", "", {},
         {{Hex("0007FFFF0000A00400012010"), Hex("0007FFFF000000A08401")}}, "0.04.120=1 0.04.12F=1 0.04.125=1", "", {}},
        {"bit blocks round up to whole bytes, count 0 rejected", "", {},
         {{Hex("0011FFFF0000A0040000000A"), Hex("0011FFFF000000A08040")},
          {Hex("0012FFFF0000A00400000000"), Hex("0012FFFF000001A007")},
          {Hex("0013FFFF0000A004000000F0"), Cat(Hex("0013FFFF000000A08060"), TBytes(28, 0))}},
         "0.04.0=1 0.04.9=1 0.04.A=1", "", {}},
        {"requests split and joined on a stream", "", {},
         {{Hex("0001FFFF0000A4010A0000100002123456"), Hex("0001FFFF000000A4BEEF")},
          {Hex("78A5010A000011002A"), Hex("00021234567800A5")}}, "0.0A.10=BEEF", "0.0A.11=2A", {}},
        {"block read past the end of a memory type rejected", "", {},
         {{Hex("0003FFFF0000A00A00FFFE04"), Hex("0003FFFF000001A007")},
          {Hex("0004FFFF0000A00A00FFFE02"), Hex("0004FFFF000000A000000102")}}, "0.0A.FFFF=102", "", {}},
        {"an unknown command or a read of no words is noise and the stream recovers", "", {},
         {{Hex("0001FFFF00007701"), {}}, {Hex("0001FFFF0000A400"), {}},
          {Hex("0002FFFF0000A4010A000010"), Hex("0002FFFF000000A40000")}}, "", "", {{&S::BadFrames, 2}}},
        {"ascii handshake without station numbers", "serial hs", {}, {{Ascii("2FFFF0000A00A0000100471"), Hex("060D")},
          {Hex("05323035310D"), {}}, // asks for station 5, not us
          {Hex("0530310D"), Ascii("FFFF000000A0123456789ABCDEF04B")},
          {Hex("0530310D"), {}}}, Words, "", {}}, // nothing left to hand over
        {"ascii handshake with station numbers", "serial hs md st5", {},
         {{Ascii("205FFFF0000A00A00001004D6"), Hex("0630350D")}, {Hex("05323036310D"), {}}, {Hex("0530310D"), {}},
          {Hex("05323035310D"), Ascii("05FFFF000000A0123456789ABCDEF0B0")}}, Words5, "", {}},
        {"a probe drops the answer waiting for the host's ENQ", "serial hs", {},
         {{randomRead, Hex("060D")}, {Hex("153046460D"), {}}, {Hex("0530310D"), {}}}, Words, "", {}},
        {"binary handshake: the write is done before the host asks", "serial hs binary p2", {},
         {{binaryWrite2, Hex("060D")}}, "", "0.0A.10=1234", {}},
        {"binary handshake", "serial hs binary p2", {},
         {{binaryWrite2, Hex("060D")}, {Hex("05010D"), Hex("02000400A5A90D")}}, "", "0.0A.10=1234", {}},
        {"binary handshake on a multidrop line: no station in the ACK", "serial hs binary p2 md", {},
         {{Hex("02000B00A5010A0000101234110D"), Hex("060D")}, {Hex("05010D"), Hex("0200050000A5AA0D")}}, "",
         "0.0A.10=1234", {}},
        {"an endless frame is bounded", "serial", {},
         {{Cat(Hex("02"), TBytes(TSimSession::kMaxAccumulated + 100, 'A')), {}}, {randomRead, randomAnswer}},
         Words, "", {{&S::BadFrames, 1}}},
        // Injected faults as the host sees them.
        {"busy every third request", "serial", {.BusyEvery = 3},
         {{randomRead, randomAnswer}, {randomRead, randomAnswer}, {randomRead, Ascii("FFFF000005A4B2")},
          {randomRead, randomAnswer}}, Words, "", {{&S::FaultBusy, 1}}},
        {"ethernet busy", "", {.BusyEvery = 1}, {{ethernetRead, Hex("0009FFFF000005A4")}}, Words, "", {}},
        // Noise before an answer never holds a byte that starts or ends a frame.
        {"noise before the answer", "serial", {.GarbageBytes = 6},
         {{randomRead, Cat(Hex("FF3FA55AFF3F"), randomAnswer)}}, Words, "", {{&S::FaultGarbage, 1}}},
        {"one byte of noise", "serial", {.GarbageBytes = 1}, {{randomRead, Cat(Hex("FF"), randomAnswer)}}, Words, "", {}},
        {"error status instead of data", "serial", {.ErrorStatus = 0x12, .ErrorEvery = 1},
         {{randomRead, Ascii("FFFF000012A4B0")}}, Words, "", {{&S::FaultErrors, 1}}},
        {"a write refused with an error status", "", {.ErrorStatus = 0x12, .ErrorEvery = 1},
         {{Hex("0001FFFF0000A5010A0000105566"), Hex("0001FFFF000012A5")}}, Words, "0.0A.10=1234", {}},
        {"every second answer dropped", "", {.DropEvery = 2},
         {{ethernetRead, ethernetAnswer}, {ethernetRead, {}}, {ethernetRead, ethernetAnswer}}, Words, "",
         {{&S::FaultDrops, 1}, {&S::Answers, 2}}},
        {"split answer with latency and pauses", "", {.LatencyMs = 20, .SplitChunk = 4, .SplitDelayMs = 7},
         {{ethernetRead, ethernetAnswer}}, Words, "", {}, "4@20 8@7 10@7"},
        {"latency", "", {.LatencyMs = 5, .SpikeMs = 300, .SpikeEvery = 2}, {{ethernetRead, ethernetAnswer}}, Words,
         "", {}, "10@5"},
        {"latency spike every second request", "", {.LatencyMs = 5, .SpikeMs = 300, .SpikeEvery = 2},
         {{ethernetRead, ethernetAnswer}, {ethernetRead, ethernetAnswer}}, Words, "", {}, "10@305"},
        {"close instead of answering", "", {.CloseEvery = 1}, {{ethernetRead, {}}}, Words, "",
         {{&S::FaultCloses, 1}}, "close"},
    };
    // clang-format on
    for (const TFrameRow& row : rows) RunFrameRow(row);
}

// The control commands (stdin and control socket): each line and its reply, and what it
// did to the simulator.
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
