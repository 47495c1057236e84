// The simulator's paced line: a request and its answer both take their characters' time
// at the line rate (10 bit times each), so a benchmark over a pseudo-terminal meets the
// wire's real bound instead of getting requests through for free.
#include "PlcSimulator.h"
#include "support/Frames.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace dravon {
namespace {

using test::Ascii;
using test::TBytes;

TBytes ReadBytes(int fd, std::size_t count, int boundMs) {
    TBytes got;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(boundMs);
    while (got.size() < count && std::chrono::steady_clock::now() < end) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0) continue;
        std::uint8_t buffer[256];
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n > 0) got.insert(got.end(), buffer, buffer + n);
    }
    return got;
}

TEST(SimPacedLine, RequestAndAnswerBothTakeTheirTimeOnTheWire) {
    TSimTransportConfig serial;
    serial.Kind = TSimTransportKind::Serial;
    serial.PaceBaud = 1200;
    serial.Link.Protocol = 1;
    serial.Link.IsSerial = true;
    TPlcSimulator sim({serial});
    std::string error;
    ASSERT_TRUE(sim.Start(&error)) << error;
    sim.SetValue(0, 0x04, 0x123, 1);
    sim.SetValue(0, 0x0A, 0x10, 0x1234);
    int fd = ::open(sim.SerialPath(0).c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    termios t{};
    ASSERT_EQ(::tcgetattr(fd, &t), 0);
    ::cfmakeraw(&t);
    ::cfsetspeed(&t, B19200);
    ASSERT_EQ(::tcsetattr(fd, TCSANOW, &t), 0);

    // 33 request and 24 answer characters: 570 bit times, 475 ms at 1200 baud.
    const TBytes request = Ascii("2FFFF0000A402040001230A000010FD");
    const TBytes answer = Ascii("FFFF000000A40001123438");
    ASSERT_EQ(request.size() + answer.size(), 57u);
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(::write(fd, request.data(), request.size()), static_cast<ssize_t>(request.size()));
    EXPECT_EQ(ReadBytes(fd, answer.size(), 3000), answer);
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start)
            .count();
    EXPECT_GE(ms, 470);
    ::close(fd);
}

} // namespace
} // namespace dravon
