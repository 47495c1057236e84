// The TCP and UDP drivers against the PLC simulator over loopback: the communication
// manager polls a PLC list with the real Qt transports, values arrive and writes land.
#include "LoopbackServer.h"
#include "PlcSimulator.h"
#include "support/QtApplication.h"
#include "support/TestContext.h"

#include "app/KeyValueStore.h"
#include "app/MemoryStore.h"
#include "comm/CommManager.h"
#include "comm/SerialDevicePath.h"
#include "comm/SerialDriver.h"
#include "comm/TcpDriver.h"
#include "comm/TransportDriverFactory.h"
#include "comm/UdpDriver.h"
#include "platform/QtClock.h"
#include "platform/QtEventLoop.h"
#include "platform/QtTimerFactory.h"
#include "platform/QtTransportFactory.h"
#include "plc/DriverPool.h"
#include "plc/HitachiLocation.h"
#include "plc/HitachiPLC.h"
#include "plc/PLCCollection.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>

namespace dravon {
namespace {

// The server side with the real Qt seams: clock, loop, timers and transports.
using TQtServerSide = test::TLoopbackServer;

// Runs the Qt loop until condition holds or the bound passes.
bool SpinUntil(const std::function<bool()>& condition, int boundMs = 5000) {
    QElapsedTimer timer;
    timer.start();
    while (!condition()) {
        if (timer.elapsed() > boundMs) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    return true;
}

class TransportDriverTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { test::TQtApplication::Create(); }
    static void TearDownTestSuite() {
        FlushDeferredDeletes();
        test::TQtApplication::Destroy();
    }

    // Components released with deleteLater go before the application object does.
    static void FlushDeferredDeletes() {
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

    // Starts a simulator with one link of kind on a free loopback port.
    void StartSimulator(TSimTransportKind kind) {
        TSimTransportConfig config;
        config.Kind = kind;
        config.Address = "127.0.0.1";
        config.Port = 0;
        config.Link.Protocol = 3;
        Sim = std::make_unique<TPlcSimulator>(std::vector<TSimTransportConfig>{config});
        std::string error;
        ASSERT_TRUE(Sim->Start(&error)) << error;
        ASSERT_NE(Sim->Port(0), 0);
    }

    // One ethernet PLC on the simulator's port; the loopback host is set before the driver.
    THitachiPLC& AddPLC(int drvType) {
        THitachiPLC& plc = Server.PLCs().AddPLC();
        plc.SetHost("127.0.0.1");
        plc.TcpPort = Sim->Port(0);
        plc.SetConnection(drvType, 3);
        return plc;
    }

    THitachiLocation& Monitor(THitachiPLC& plc, const std::string& address) {
        THitachiLocation* location = Server.PLCs().ResolveItemId(plc.Name + "." + address).Location;
        EXPECT_NE(location, nullptr);
        location->AddRef();
        return *location;
    }

    void TearDown() override {
        ServerOwned.reset();
        FlushDeferredDeletes();
    }

    std::unique_ptr<TPlcSimulator> Sim;
    std::unique_ptr<TQtServerSide> ServerOwned = std::make_unique<TQtServerSide>();
    TQtServerSide& Server = *ServerOwned;
};

TEST_F(TransportDriverTest, TcpPollsValuesAndDeliversWrites) {
    StartSimulator(TSimTransportKind::Tcp);
    THitachiPLC& plc = AddPLC(DriverTcp);
    ASSERT_NE(plc.Driver, nullptr);
    ASSERT_NE(dynamic_cast<TTcpDriver*>(plc.Driver), nullptr);

    THitachiLocation& wr10 = Monitor(plc, "WR0010");
    THitachiLocation& wr11 = Monitor(plc, "WR0011");
    Sim->SetValue(0, static_cast<std::uint8_t>(wr10.Code), wr10.Address, 0x1234);
    Sim->SetValue(0, static_cast<std::uint8_t>(wr11.Code), wr11.Address, 0xBEEF);

    ASSERT_TRUE(SpinUntil([&] { return wr10.HasValue && wr11.HasValue; }));
    EXPECT_EQ(wr10.GetValue(), 0x1234u);
    EXPECT_EQ(wr11.GetValue(), 0xBEEFu);
    EXPECT_EQ(wr10.Quality(Server.Context.Settings), QualityGood);

    // A value changed in the PLC reaches the location at a later pass.
    Sim->SetValue(0, static_cast<std::uint8_t>(wr10.Code), wr10.Address, 0x0042);
    // Reads follow demand, as a client's group cycle marks its items: once read, a
    // location is read again when it is requested again.
    wr10.ReadRequested = true;
    ASSERT_TRUE(SpinUntil([&] { return wr10.GetValue() == 0x0042u; }));
    EXPECT_FALSE(wr10.ReadRequested);

    // A client's write reaches the simulator's memory and is confirmed.
    wr11.StoreWrittenValue(0x5A5A);
    ASSERT_TRUE(SpinUntil([&] {
        return Sim->Value(0, static_cast<std::uint8_t>(wr11.Code), wr11.Address) == 0x5A5A &&
               !wr11.WritePending;
    }));
    EXPECT_NE(wr11.WriteDoneTime, 0.0);
    EXPECT_EQ(Server.Capture.CountStartingWith("Unsuccessful connection"), 0);
}

TEST_F(TransportDriverTest, TcpAnswersArrivingInPiecesAreReassembled) {
    StartSimulator(TSimTransportKind::Tcp);
    // Every answer in 3-byte pieces with pauses: TCP delivers them as separate reads.
    TSimFaults split;
    split.SplitChunk = 3;
    split.SplitDelayMs = 5;
    Sim->SetFaults(split);
    THitachiPLC& plc = AddPLC(DriverTcp);
    THitachiLocation& wr20 = Monitor(plc, "WR0020");
    THitachiLocation& wr21 = Monitor(plc, "WR0021");
    THitachiLocation& wr40 = Monitor(plc, "WR0040");
    Sim->SetValue(0, static_cast<std::uint8_t>(wr20.Code), wr20.Address, 0x2020);
    Sim->SetValue(0, static_cast<std::uint8_t>(wr21.Code), wr21.Address, 0x2121);
    Sim->SetValue(0, static_cast<std::uint8_t>(wr40.Code), wr40.Address, 0x4040);

    ASSERT_TRUE(SpinUntil([&] { return wr20.HasValue && wr21.HasValue && wr40.HasValue; }));
    EXPECT_EQ(wr20.GetValue(), 0x2020u);
    EXPECT_EQ(wr21.GetValue(), 0x2121u);
    EXPECT_EQ(wr40.GetValue(), 0x4040u);
    EXPECT_EQ(wr20.ErrorCount, 0);
    EXPECT_EQ(plc.LastComCyclePercent == -1 || plc.LastComCyclePercent == 100, true);

    // The write confirmation comes in pieces too.
    wr21.StoreWrittenValue(0x1221);
    ASSERT_TRUE(SpinUntil([&] {
        return Sim->Value(0, static_cast<std::uint8_t>(wr21.Code), wr21.Address) == 0x1221 &&
               !wr21.WritePending;
    }));
    EXPECT_GE(Sim->Stats().FaultSplits, 2u); // the read and the write answer
    EXPECT_FALSE(plc.TimedOutState);
}

TEST_F(TransportDriverTest, TcpRefusedConnectionIsLoggedOnceThenConnectsWhenThePlcReturns) {
    StartSimulator(TSimTransportKind::Tcp);
    Sim->SetPower(false);
    THitachiPLC& plc = AddPLC(DriverTcp);
    plc.TimeOut = 200;
    THitachiLocation& wr0 = Monitor(plc, "WR0000");
    Sim->SetValue(0, static_cast<std::uint8_t>(wr0.Code), wr0.Address, 0x0777);

    auto refused = [&] {
        int n = 0;
        for (const auto& line : Server.Capture.Lines)
            n += line.find("Unsuccessful connection to TCP port 127.0.0.1/") != std::string::npos;
        return n;
    };
    ASSERT_TRUE(SpinUntil([&] { return plc.TimedOutState; }, 10000));
    // Further requests go out (each one tries the connection again) without new lines.
    int requests = 0;
    std::uint32_t lastSend = plc.Driver->SendTick;
    ASSERT_TRUE(SpinUntil(
        [&] {
            if (plc.Driver->SendTick != lastSend) {
                lastSend = plc.Driver->SendTick;
                ++requests;
            }
            return requests >= 3;
        },
        10000));
    EXPECT_EQ(refused(), 1);
    EXPECT_FALSE(wr0.HasValue);

    Sim->SetPower(true);
    ASSERT_TRUE(SpinUntil([&] { return wr0.HasValue; }, 10000));
    EXPECT_EQ(wr0.GetValue(), 0x0777u);
    EXPECT_EQ(refused(), 1);
}

TEST_F(TransportDriverTest, TcpPlcSwitchedOffTimesOutAndIsRestoredWithAWriteKept) {
    StartSimulator(TSimTransportKind::Tcp);
    THitachiPLC& plc = AddPLC(DriverTcp);
    plc.TimeOut = 300;
    THitachiLocation& wr40 = Monitor(plc, "WR0040");
    ASSERT_TRUE(SpinUntil([&] { return wr40.HasValue; }));

    Sim->SetPower(false);
    wr40.ReadRequested = true;
    wr40.StoreWrittenValue(0x0808);
    ASSERT_TRUE(SpinUntil([&] { return plc.TimedOutState; }, 15000));
    EXPECT_EQ(Server.Capture.CountStartingWith("PLC PLC1 timed out at "), 1);
    EXPECT_NE(wr40.Quality(Server.Context.Settings), QualityGood);
    EXPECT_TRUE(wr40.WritePending);

    // Back on: the restore line, and the write made while it was away reaches it.
    Sim->SetPower(true);
    ASSERT_TRUE(SpinUntil([&] { return !plc.TimedOutState && !wr40.WritePending; }, 15000));
    EXPECT_EQ(Server.Capture.CountStartingWith("PLC PLC1 restored at "), 1);
    EXPECT_EQ(Sim->Value(0, static_cast<std::uint8_t>(wr40.Code), wr40.Address), 0x0808);
}

TEST_F(TransportDriverTest, UdpPollsValuesAndDeliversWrites) {
    StartSimulator(TSimTransportKind::Udp);
    THitachiPLC& plc = AddPLC(DriverUdp);
    ASSERT_NE(plc.Driver, nullptr);
    auto* udp = dynamic_cast<TUdpDriver*>(plc.Driver);
    ASSERT_NE(udp, nullptr);
    // Without "Local UDP port same as PLC" the system picks the local port.
    EXPECT_NE(udp->Udp().LocalPort(), Sim->Port(0));

    THitachiLocation& wr20 = Monitor(plc, "WR0020");
    Sim->SetValue(0, static_cast<std::uint8_t>(wr20.Code), wr20.Address, 0x4321);
    ASSERT_TRUE(SpinUntil([&] { return wr20.HasValue; }));
    EXPECT_EQ(wr20.GetValue(), 0x4321u);

    wr20.StoreWrittenValue(0x0101);
    ASSERT_TRUE(SpinUntil([&] {
        return Sim->Value(0, static_cast<std::uint8_t>(wr20.Code), wr20.Address) == 0x0101 &&
               !wr20.WritePending;
    }));
    EXPECT_NE(wr20.WriteDoneTime, 0.0);
}

TEST_F(TransportDriverTest, SerialOverPseudoTerminalDetectsSpeedSwitchesToBinaryAndPolls) {
    TSimTransportConfig config;
    config.Kind = TSimTransportKind::Serial;
    config.Link.Protocol = 1;
    config.Link.IsSerial = true;
    config.Link.Framing = TSimFraming::Switch;
    config.LineSpeed = 19200;
    Sim = std::make_unique<TPlcSimulator>(std::vector<TSimTransportConfig>{config});
    std::string error;
    ASSERT_TRUE(Sim->Start(&error)) << error;
    const std::string device = Sim->SerialPath(0);
    ASSERT_FALSE(device.empty());
    {
        // COM1 opens the simulator's pseudo-terminal instead of /dev/ttyS0.
        auto key = Server.Store.OpenKey(TRootKey::LocalMachine, SerialPortsKeyPath);
        ASSERT_TRUE(key);
        key->WriteString("Device0", device);
    }

    THitachiPLC& plc = Server.PLCs().AddPLC();
    plc.SerialCom = 1;
    plc.TimeOut = 300;
    plc.SetConnection(DriverSerial, 1);
    auto* serial = dynamic_cast<TSerialDriver*>(plc.Driver);
    ASSERT_NE(serial, nullptr);

    THitachiLocation& wr30 = Monitor(plc, "WR0030");
    Sim->SetValue(0, static_cast<std::uint8_t>(wr30.Code), wr30.Address, 0x3030);
    // 38400 first, then 19200 after seven transmissions: the simulator listens at 19200.
    ASSERT_TRUE(SpinUntil([&] { return wr30.HasValue; }, 30000));
    EXPECT_EQ(wr30.GetValue(), 0x3030u);
    EXPECT_TRUE(serial->SpeedDetected);
    EXPECT_EQ(serial->DetectedBaudText(), "19200");
    EXPECT_EQ(Server.Capture.CountStartingWith("Serial port 1 connected on 19200"), 1);

    // The binary-mode switch follows the detected speed; later requests use binary frames.
    wr30.ReadRequested = true;
    Sim->SetValue(0, static_cast<std::uint8_t>(wr30.Code), wr30.Address, 0x0303);
    ASSERT_TRUE(SpinUntil([&] { return serial->BinaryState == 2 && wr30.GetValue() == 0x0303u; }, 10000));
    EXPECT_TRUE(serial->BinaryMode);
    EXPECT_EQ(serial->Port()->DataBits(), 8);
    EXPECT_GE(Sim->Stats().BinarySwitches, 1u);

    wr30.StoreWrittenValue(0x4444);
    ASSERT_TRUE(SpinUntil(
        [&] {
            return Sim->Value(0, static_cast<std::uint8_t>(wr30.Code), wr30.Address) == 0x4444 &&
                   !wr30.WritePending;
        },
        10000));
}

TEST(UdpAddressValue, DottedTextsOnly) {
    EXPECT_EQ(TUdpDriver::AddressValue("127.0.0.1"), 0x7F000001u);
    EXPECT_EQ(TUdpDriver::AddressValue("192.168.0.1"), 0xC0A80001u);
    EXPECT_EQ(TUdpDriver::AddressValue("255.255.255.255"), 0xFFFFFFFFu);
    EXPECT_FALSE(TUdpDriver::AddressValue("256.0.0.1"));
    EXPECT_FALSE(TUdpDriver::AddressValue("1.2.3"));
    EXPECT_FALSE(TUdpDriver::AddressValue("1.2.3.4.5"));
    EXPECT_FALSE(TUdpDriver::AddressValue("1.2.3.4 "));
    EXPECT_FALSE(TUdpDriver::AddressValue(""));
    EXPECT_FALSE(TUdpDriver::AddressValue("::ffff:127.0.0.1"));
}

} // namespace
} // namespace dravon
