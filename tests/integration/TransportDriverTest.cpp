// The TCP, UDP and serial drivers against the simulator over real loopback sockets and a
// pseudo-terminal: what only a real link shows (answers in pieces, the line speed and data
// bits of a real port; the system's choice of a UDP local port is seen by the OPC run).
#include "SimFixture.h"

#include "comm/SerialDevicePath.h"
#include "comm/SerialDriver.h"
#include "comm/TcpDriver.h"
#include "plc/SerialPortTable.h"

#include <cstdio>
#include <tuple>

namespace dravon {
namespace {

using test::SpinUntil;

class TransportDriverTest : public test::TSimFixture {
protected:
    void TearDown() override {
        if (HasFailure())
            for (const auto& line : Server.Capture.Lines) std::printf("log: %s\n", line.c_str());
        for (THitachiLocation* location : Held) location->Release();
        ServerOwned.reset();
        test::FlushDeferredDeletes();
    }
    THitachiLocation& Monitor(THitachiPLC& plc, const std::string& address) {
        Held.push_back(Server.Monitor(plc, address));
        return *Held.back();
    }
    void SetInSim(const THitachiLocation& l, std::uint16_t value) {
        Sim->SetValue(0, static_cast<std::uint8_t>(l.Code), l.Address, value);
    }
    // The write reached the PLC's memory and was confirmed.
    bool Written(THitachiLocation& l, std::uint16_t value) {
        l.StoreWrittenValue(value);
        return SpinUntil(
            [&] {
                return Sim->Value(0, static_cast<std::uint8_t>(l.Code), l.Address) == value &&
                       !l.WritePending;
            },
            10000);
    }

    std::unique_ptr<test::TLoopbackServer> ServerOwned = std::make_unique<test::TLoopbackServer>();
    test::TLoopbackServer& Server = *ServerOwned;
    std::vector<THitachiLocation*> Held;
    std::unique_ptr<TPlcSimulator> Sim;
};

TEST_F(TransportDriverTest, TcpAnswersArrivingInPiecesAreReassembled) {
    Sim = StartSim({Ethernet(TSimTransportKind::Tcp)});
    ASSERT_TRUE(Sim);
    // Every answer in 3-byte pieces with pauses: TCP delivers them as separate reads.
    Sim->SetFaults({.SplitChunk = 3, .SplitDelayMs = 5});
    THitachiPLC& plc = Server.AddEthernetPLC(DriverTcp, Sim->Port(0));
    ASSERT_NE(dynamic_cast<TTcpDriver*>(plc.Driver), nullptr);
    THitachiLocation& wr20 = Monitor(plc, "WR0020");
    THitachiLocation& wr40 = Monitor(plc, "WR0040");
    SetInSim(wr20, 0x2020);
    SetInSim(wr40, 0x4040);
    ASSERT_TRUE(SpinUntil([&] { return wr20.HasValue && wr40.HasValue; }));
    EXPECT_EQ(std::tuple(wr20.GetValue(), wr40.GetValue(), wr20.ErrorCount), std::tuple(0x2020u, 0x4040u, 0));
    EXPECT_TRUE(Written(wr20, 0x1221)); // the confirmation comes in pieces too
    EXPECT_GE(Sim->Stats().FaultSplits, 2u);
    EXPECT_FALSE(plc.TimedOutState);
}

TEST_F(TransportDriverTest, SerialOverPseudoTerminalDetectsSpeedSwitchesToBinaryAndPolls) {
    // The PLC listens at the first speed tried: one probe, then the request is answered.
    // Stepping down through the speeds is pinned on the manual clock.
    TSimTransportConfig line;
    std::tie(line.Kind, line.LineSpeed, line.Link.Protocol, line.Link.IsSerial) =
        std::tuple(TSimTransportKind::Serial, 38400, 1, true);
    Sim = StartSim({line});
    ASSERT_TRUE(Sim);
    // COM1 opens the simulator's pseudo-terminal instead of /dev/ttyS0, at the speed it detects.
    auto key = Server.Store.OpenKey(TRootKey::LocalMachine, SerialPortsKeyPath);
    ASSERT_TRUE(key);
    key->WriteString("Device0", Sim->SerialPath(0));
    Server.PLCs().SerialPorts.Port(1)->BaudRate = -1;
    THitachiPLC& plc = Server.PLCs().AddPLC();
    std::tie(plc.SerialCom, plc.TimeOut) = std::pair(1, 300);
    plc.SetConnection(DriverSerial, ProtocolStandard);
    auto* serial = dynamic_cast<TSerialDriver*>(plc.Driver);
    ASSERT_NE(serial, nullptr);
    THitachiLocation& wr30 = Monitor(plc, "WR0030");
    SetInSim(wr30, 0x3030);
    ASSERT_TRUE(SpinUntil([&] { return wr30.HasValue; }, 10000));
    EXPECT_EQ(wr30.GetValue(), 0x3030u);
    EXPECT_EQ(serial->DetectedBaudText(), "38400");
    EXPECT_EQ(Server.Capture.CountStartingWith("Serial port 1 connected on 38400"), 1);
    // The binary-mode switch follows; later requests use binary frames on 8 data bits.
    wr30.ReadRequested = true;
    SetInSim(wr30, 0x0303);
    ASSERT_TRUE(SpinUntil([&] { return serial->BinaryState == 2 && wr30.GetValue() == 0x0303u; }, 10000));
    EXPECT_EQ(serial->Port()->DataBits(), 8);
    EXPECT_GE(Sim->Stats().BinarySwitches, 1u);
    EXPECT_TRUE(Written(wr30, 0x4444));
}

} // namespace
} // namespace dravon
