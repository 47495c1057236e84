// The serial, TCP and UDP drivers against recording transport components and the manual
// clock: what each transmission puts on the link, and the log lines of failing links.
#include "support/FakeTransports.h"
#include "support/Frames.h"
#include "support/TestContext.h"

#include "comm/HProtocol.h"
#include "comm/SerialDriver.h"
#include "comm/TcpDriver.h"
#include "comm/UdpDriver.h"
#include "plc/DriverPool.h"
#include "plc/HitachiLocation.h"
#include "plc/HitachiPLC.h"
#include "plc/PLCCollection.h"

#include <gtest/gtest.h>

#include <tuple>

namespace dravon {
namespace {

using test::TBytes;

class TransportDriverFakeTest : public ::testing::Test {
protected:
    TransportDriverFakeTest() {
        Test.Context.Transports = &Transports;
        PLC.Name = "PLC1";
        PLC.SerialCom = 8; // the last port whose speed is detected
        PLC.ResolvedIP = "127.0.0.1";
        PLC.TcpPort = 3004;
    }

    static TDriverLink Link(int kind, int protocol, bool udpPortSame = false) {
        return {.Kind = kind,
                .Address = "127.0.0.1",
                .Port = 3004,
                .ComNumber = 1,
                .UdpPortSame = udpPortSame,
                .Protocol = protocol};
    }
    // A serial write as the port recorded it.
    static auto Fields(const test::TRecordingComPort::TWrite& w) {
        return std::tuple(w.Bytes, w.Baud, w.DataBits, w.Parity, w.Dtr);
    }

    test::TTestContext Test;
    test::TFakeTransportFactory Transports;
    TPLCCollection PLCs{Test.Context};
    THitachiPLC& PLC = PLCs.AddPLC();
    const TBytes Request{0x02, 0x30, 0x31, 0x0D};
};

// The wait for a probe is the PLC's time-out, the wire time and 2000 ms once (counted twice,
// every probe after a reset waited 4.3 s instead of 2.3 s and an idle port took 13 s to give
// values again).
TEST_F(TransportDriverFakeTest, SerialDetectionStartsAt38400WithAProbeAndStepsDownAfterSevenTransmissions) {
    PLC.TimeOut = 1000;
    TSerialDriver driver(Test.Context, Link(DriverSerial, 1));
    ASSERT_EQ(Transports.ComPorts.size(), 1u);
    test::TRecordingComPort& port = *Transports.ComPorts[0];
    EXPECT_EQ(port.Port(), "COM1");
    THitachiLocation* word = PLCs.ResolveItemId(PLC.Name + ".WR0000").Location;
    ASSERT_NE(word, nullptr);
    // The probe counter of a fresh driver starts at 2: one probe (1000 + a few ms for some 20
    // characters at 38400 baud + 2000), then the requests (no probe time).
    for (const int wait : {3000, 1000}) {
        ASSERT_TRUE(driver.AddRead(*word).MoreRoom);
        driver.SendRead(PLC);
        EXPECT_EQ(driver.Probing, wait == 3000);
        EXPECT_TRUE(driver.Wait >= wait && driver.Wait < wait + 50) << driver.Wait;
    }
    for (int i = 2; i < 29; ++i) driver.Transmit(Request, &PLC);
    ASSERT_EQ(port.Writes.size(), 29u);
    EXPECT_EQ(Fields(port.Writes[0]), std::tuple(ProbeFrame(), 38400, 7, TComParity::Even, true));
    EXPECT_EQ(std::tuple(port.Writes[1].Bytes == ProbeFrame(), port.Writes[1].Baud),
              std::tuple(false, 38400));
    for (int i = 2; i < 7; ++i)
        EXPECT_EQ(std::tie(port.Writes[i].Bytes, port.Writes[i].Baud), std::tuple(Request, 38400)) << i;
    // The eighth goes at 19200 and restarts the probes; DTR is off for the first one.
    EXPECT_EQ(Fields(port.Writes[7]), std::tuple(ProbeFrame(), 19200, 7, TComParity::Even, false));
    // Then 9600, 4800, and 38400 again.
    EXPECT_EQ(std::tuple(port.Writes[14].Baud, port.Writes[21].Baud, port.Writes[28].Baud),
              std::tuple(9600, 4800, 38400));
    EXPECT_EQ(port.OverlappingWrites, 0);
    EXPECT_EQ(driver.TotalAttempts, 29);
}

TEST_F(TransportDriverFakeTest, SerialPortMissingOrFailingIsLoggedOnceAndAnIdlePortCloses) {
    TSerialDriver driver(Test.Context, Link(DriverSerial, 1));
    test::TRecordingComPort& port = *Transports.ComPorts[0];
    port.OpenAllowed = false;
    for (int i = 0; i < 2; ++i) driver.Transmit(Request, &PLC);
    EXPECT_EQ(std::tuple(port.Writes.size(), port.OpenCalls), std::tuple(0u, 2));
    EXPECT_EQ(Test.Capture.CountStartingWith("Serial port COM1 not available"), 1);

    port.OpenAllowed = true;
    port.WriteError = "I/O error";
    driver.Transmit(Request, &PLC);
    EXPECT_EQ(Test.Capture.CountStartingWith("Failed to transmit serial message:"), 1);
    ASSERT_TRUE(port.Connected());
    driver.Idle = false;
    driver.CloseIfIdle();
    EXPECT_TRUE(port.Connected());
    driver.Idle = true;
    driver.CloseIfIdle();
    EXPECT_FALSE(port.Connected());
    EXPECT_EQ(driver.ProbeCount, 0);
}

TEST_F(TransportDriverFakeTest, TcpOpensSendsOnceWritableAndASilentLinkIsRebuiltAfter120Seconds) {
    TTcpDriver driver(Test.Context, Link(DriverTcp, 3));
    ASSERT_EQ(Transports.Sockets.size(), 1u);
    test::TRecordingClientSocket& socket = *Transports.Sockets[0];
    driver.Transmit(Request, &PLC);
    EXPECT_EQ(std::tie(socket.OpenCalls, socket.OpenedAddress, socket.NoDelay),
              std::tuple(1, "127.0.0.1", true));
    EXPECT_TRUE(socket.Sent.empty());
    // Not yet connected: no second open until an error allows it.
    driver.Transmit(Request, &PLC);
    EXPECT_EQ(socket.OpenCalls, 1);

    EXPECT_EQ(socket.Fail(TSocketErrorKind::Connect), 0);
    EXPECT_EQ(socket.Fail(TSocketErrorKind::Connect), 0);
    EXPECT_EQ(Test.Capture.CountStartingWith("Unsuccessful connection to TCP port 127.0.0.1/3004 at "), 1);
    driver.Transmit(Request, &PLC);
    EXPECT_EQ(socket.OpenCalls, 2);
    socket.Connect(false); // connected, not yet writable: nothing goes out
    driver.Transmit(Request, &PLC);
    EXPECT_TRUE(socket.Sent.empty());
    // Closed by the PLC before a request saw it open: the next transmission opens again.
    socket.Connect();
    socket.Drop();
    driver.Transmit(Request, &PLC);
    EXPECT_EQ(socket.OpenCalls, 3);

    socket.Connect();
    socket.Fail(TSocketErrorKind::Send); // a failed send leaves the link writable for the next request
    driver.Transmit(Request, &PLC);
    EXPECT_EQ(socket.Sent, std::vector<TBytes>{Request});
    // What is left of an earlier answer is dropped with the next request.
    driver.CurrentPLC = &PLC;
    socket.Receive(test::Hex("0001FF"));
    driver.Transmit(Request, &PLC);
    socket.Receive(test::Hex("0000FFFF000017"));
    EXPECT_EQ(PLC.LastStatus, 0x17);
    // An answer in pieces is taken once it is whole.
    socket.Receive(test::Hex("0000FFFF0000"));
    socket.Receive(test::Hex("12"));
    EXPECT_EQ(PLC.LastStatus, 0x12);
    // After a success the next refusal is reported again.
    socket.Fail(TSocketErrorKind::Connect);
    EXPECT_EQ(Test.Capture.CountStartingWith("Unsuccessful connection to TCP port"), 2);

    // A module that takes every request and never answers: its link is rebuilt once it has
    // been silent for more than 120 s, the requests sent meanwhile notwithstanding.
    const char* line = "TCP port on PLC PLC1 not responding, please restart ethernet module";
    socket.Connect();
    for (int i = 0; i < 4; ++i) {
        Test.Platform.Advance(30000);
        driver.Transmit(Request, &PLC);
    }
    EXPECT_EQ(std::tuple(socket.Sent.size(), Test.Capture.CountStartingWith(line)), std::tuple(6u, 0));
    Test.Platform.Advance(1);
    driver.Transmit(Request, &PLC); // sent, then the socket is freed
    EXPECT_EQ(driver.Socket(), nullptr);
    EXPECT_EQ(std::tuple(driver.SilentCount, Test.Capture.CountStartingWith(line)), std::tuple(1, 1));
    // The next transmission creates a new socket for the PLC's address ...
    driver.Transmit(Request, &PLC);
    ASSERT_NE(driver.Socket(), nullptr);
    EXPECT_EQ(Transports.Sockets.size(), 2u);
    EXPECT_EQ(std::tie(driver.Socket()->Address, driver.Socket()->Port), std::tuple("127.0.0.1", 3004));
    // ... which the transmission after that opens, without another rebuild.
    driver.Transmit(Request, &PLC);
    EXPECT_EQ(std::tuple(Transports.Sockets[1]->OpenCalls, driver.SilentCount), std::tuple(1, 1));
    // A host name without an address was said as such: its silence is not blamed on the module.
    PLC.HostUnresolved = true;
    Test.Platform.Advance(120001);
    driver.Transmit(Request, &PLC);
    EXPECT_EQ(std::tuple(driver.SilentCount, Test.Capture.CountStartingWith("TCP port on PLC")),
              std::tuple(2, 1));
    // In the serial format a write's answer has 6 bytes: a sign of life too.
    TTcpDriver ascii(Test.Context, Link(DriverTcp, 1));
    Test.Platform.Advance(5);
    Transports.Sockets.back()->Receive(test::Ascii("FFFF000000A5AE"));
    EXPECT_EQ(ascii.LinkAliveTick, Test.Platform.Clock.TickCount());
}

TEST_F(TransportDriverFakeTest, UdpLocalPortRulesAndInvalidHost) {
    {
        TUdpDriver driver(Test.Context, Link(DriverUdp, 3));
        EXPECT_EQ(Transports.Udps.back()->LocalPort(), 0);
    }
    TUdpDriver driver(Test.Context, Link(DriverUdp, 3, true));
    test::TRecordingUdp& udp = *Transports.Udps.back();
    EXPECT_EQ(std::tuple(udp.LocalPort(), udp.ReportLevel), std::tuple(3004, 1));

    driver.Transmit(Request, &PLC);
    ASSERT_EQ(udp.Sent.size(), 1u);
    EXPECT_EQ(std::tie(udp.Sent[0].Host, udp.Sent[0].Port), std::tuple("127.0.0.1", 3004));

    EXPECT_TRUE(udp.RaiseInvalidHost());
    EXPECT_TRUE(udp.RaiseInvalidHost());
    EXPECT_EQ(Test.Capture.CountStartingWith("UDP port 127.0.0.1/3004 failed"), 1);
    driver.Transmit(Request, &PLC);
    EXPECT_EQ(udp.Sent.size(), 1u);
}

} // namespace
} // namespace dravon
