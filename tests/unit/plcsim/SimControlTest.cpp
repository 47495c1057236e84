// The control commands (stdin and control socket) and one run over a real loopback socket.
#include "PlcSimulator.h"
#include "SimCommandInterpreter.h"
#include "SimTestFrames.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

namespace dravon {
namespace {

using test::Bytes;
using test::TBytes;

struct SimCommands : ::testing::Test {
    TPlcSimulator Sim{{}};
    TSimCommandInterpreter Cmd{Sim};
    bool Quit = false;
    std::string Run(const std::string& line) { return Cmd.Execute(line, Quit); }
};

TEST_F(SimCommands, SetAndGetWordsBitsAndDoubleWords) {
    EXPECT_EQ(Run("set 0 WR0010 0x1234"), "ok");
    EXPECT_EQ(Sim.Value(0, 0x0A, 0x10), 0x1234);
    EXPECT_EQ(Run("get 0 wr10"), "ok 4660 0x1234");
    EXPECT_EQ(Run("set 3 M123 1"), "ok");
    EXPECT_EQ(Sim.Value(3, 0x04, 0x123), 1);
    EXPECT_EQ(Sim.Value(0, 0x04, 0x123), 0); // stations keep their own memory
    EXPECT_EQ(Run("set 0 DR0000 70000"), "ok");
    EXPECT_EQ(Sim.Value(0, 0x0A, 0x0), 70000 & 0xFFFF);
    EXPECT_EQ(Sim.Value(0, 0x0A, 0x1), 1);
    EXPECT_EQ(Run("get 0 DR0000"), "ok 70000 0x11170");
    EXPECT_EQ(Run("set 0 X00195 1"), "ok");
    // High part 1, bit 95: packed 1 * 16^2 + 95.
    EXPECT_EQ(Sim.Value(0, 0x00, 0x15F), 1);
    EXPECT_EQ(Sim.Value(0, 0x00, 0x195), 0);
}

TEST_F(SimCommands, BadInputIsRefusedWithoutChangingMemory) {
    EXPECT_EQ(Run("set 0 WR0010 70000"), "error value too large for a word");
    EXPECT_EQ(Run("set 0 WR0010 -1").rfind("error", 0), 0u);
    EXPECT_EQ(Run("set 100 WR0010 1").rfind("error", 0), 0u);
    EXPECT_EQ(Run("set 0 X00196 1").rfind("error", 0), 0u);  // sub-address 96 does not exist
    EXPECT_EQ(Run("set 0 WR10000 1").rfind("error", 0), 0u); // past WRFFFF
    EXPECT_EQ(Run("set 0 DRFFFF 1").rfind("error", 0), 0u);  // its high half would be past the end
    EXPECT_EQ(Run("set 0 QQ0010 1").rfind("error", 0), 0u);
    EXPECT_EQ(Run("set 0 WR0010"), "error usage: set STATION ADDRESS VALUE");
    EXPECT_EQ(Run("get 0 WR0010 5"), "error usage: get STATION ADDRESS");
    EXPECT_EQ(Sim.Value(0, 0x0A, 0x10), 0);
    EXPECT_EQ(Run("frobnicate"), "error unknown command 'frobnicate' (try help)");
    EXPECT_EQ(Run(""), "ok");
    EXPECT_FALSE(Quit);
}

TEST_F(SimCommands, FaultsSetListedAndCleared) {
    EXPECT_EQ(
        Run("fault latency=20 busy=7 error=18/3 drop=5 split=4/2 garbage=3 close=9 rejectextra=1 "
            "spike=100/4 rejectwrites=1"),
        "ok latency=20 spike=100/4 busy=7 error=18/3 drop=5 split=4/2 garbage=3/0 close=9 rejectextra=1 "
        "rejectwrites=1");
    TSimFaults f = Sim.Faults();
    EXPECT_EQ(f.LatencyMs, 20u);
    EXPECT_EQ(f.BusyEvery, 7u);
    EXPECT_EQ(f.ErrorStatus, 18);
    EXPECT_EQ(f.ErrorEvery, 3u);
    EXPECT_EQ(f.SplitChunk, 4u);
    EXPECT_TRUE(f.RejectExtraByte);
    EXPECT_TRUE(f.RejectWrites);
    EXPECT_EQ(Run("fault error=300").rfind("error bad fault setting 'error=300'", 0), 0u);
    EXPECT_EQ(Run("fault rejectextra=2").rfind("error", 0), 0u);
    EXPECT_EQ(Run("fault spike=100").rfind("error", 0), 0u);
    EXPECT_EQ(Run("fault nonsense=1").rfind("error", 0), 0u);
    // Noise is built in memory before each answer: its size is bounded.
    EXPECT_EQ(Run("fault garbage=4000000000").rfind("error", 0), 0u);
    EXPECT_EQ(Run("fault garbage=2501").rfind("error", 0), 0u);
    EXPECT_EQ(Sim.Faults().GarbageBytes, 3u);
    EXPECT_EQ(Sim.Faults().LatencyMs, 20u); // a refused line changes nothing
    EXPECT_EQ(Run("fault clear"),
              "ok latency=0 spike=0/0 busy=0 error=0/0 drop=0 split=0/0 garbage=0/0 close=0 rejectextra=0 "
              "rejectwrites=0");
    EXPECT_EQ(Sim.Faults().BusyEvery, 0u);
}

TEST_F(SimCommands, AnimationsPowerStatsHelpAndQuit) {
    EXPECT_EQ(Run("anim counter 0 WR0010 100"), "ok");
    EXPECT_EQ(Run("anim ramp 0 WR0011 100 5 0 50"), "ok");
    EXPECT_EQ(Run("anim ramp 0 WR0011 100 5 60 50").rfind("error usage", 0), 0u); // min above max
    EXPECT_EQ(Run("anim toggle 0 M0005 0").rfind("error usage", 0), 0u);          // no period
    EXPECT_EQ(Run("anim clear"), "ok");
    EXPECT_EQ(Run("power off"), "ok");
    EXPECT_FALSE(Sim.Power());
    EXPECT_EQ(Run("power on"), "ok");
    EXPECT_TRUE(Sim.Power());
    EXPECT_EQ(Run("power maybe").rfind("error", 0), 0u);
    EXPECT_EQ(Run("speed 0 9600"), "error usage: speed TRANSPORT BAUD"); // no transport 0 here
    EXPECT_EQ(Run("stats").rfind("ok blockread=0 randomread=0", 0), 0u);
    EXPECT_EQ(Run("stats reset"), "ok");
    EXPECT_EQ(Run("ports"), "ok");
    std::string help = Run("help");
    for (const char* word :
         {"set", "get", "fault", "power", "close", "speed", "anim", "stats", "ports", "quit"})
        EXPECT_NE(help.find(word), std::string::npos) << word;
    EXPECT_EQ(Run("quit"), "ok bye");
    EXPECT_TRUE(Quit);
}

// Reads until want bytes arrived or the bound passed; never sleeps blindly.
TBytes ReadSome(int fd, std::size_t want, int boundMs) {
    TBytes got;
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(boundMs);
    while (got.size() < want && std::chrono::steady_clock::now() < until) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0) continue;
        std::uint8_t buf[256];
        ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0) break;
        got.insert(got.end(), buf, buf + n);
    }
    return got;
}

int ConnectLoopback(std::uint16_t port) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

TEST(SimLoopback, EthernetRequestsOverTcpAndPowerOff) {
    TSimTransportConfig tcp;
    tcp.Kind = TSimTransportKind::Tcp;
    tcp.Address = "127.0.0.1";
    tcp.Port = 0;
    TPlcSimulator sim({tcp});
    std::string error;
    ASSERT_TRUE(sim.Start(&error)) << error;
    ASSERT_NE(sim.Port(0), 0);
    sim.SetValue(0, 0x0A, 0x10, 0xCAFE);

    int fd = ConnectLoopback(sim.Port(0));
    ASSERT_GE(fd, 0);
    TBytes request = Bytes({0x00, 0x21, 0xFF, 0xFF, 0x00, 0x00, 0xA4, 0x01, 0x0A, 0x00, 0x00, 0x10});
    ASSERT_EQ(::send(fd, request.data(), request.size(), 0), static_cast<ssize_t>(request.size()));
    EXPECT_EQ(ReadSome(fd, 10, 3000), Bytes({0x00, 0x21, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0xA4, 0xCA, 0xFE}));

    // A write over the wire lands in the memory the tests read.
    TBytes write =
        Bytes({0x00, 0x22, 0xFF, 0xFF, 0x00, 0x00, 0xA5, 0x01, 0x0A, 0x00, 0x00, 0x11, 0x00, 0x07});
    ASSERT_EQ(::send(fd, write.data(), write.size(), 0), static_cast<ssize_t>(write.size()));
    EXPECT_EQ(ReadSome(fd, 8, 3000), Bytes({0x00, 0x22, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0xA5}));
    EXPECT_EQ(sim.Value(0, 0x0A, 0x11), 7);

    // Switched off: the connection is closed (recv sees the end) and nothing answers.
    sim.SetPower(false);
    TBytes after = ReadSome(fd, 1, 3000);
    EXPECT_TRUE(after.empty());
    ::close(fd);
    EXPECT_EQ(sim.Stats().RandomReads, 1u);
    EXPECT_EQ(sim.Stats().RandomWrites, 1u);
    sim.Stop();
}

} // namespace
} // namespace dravon
