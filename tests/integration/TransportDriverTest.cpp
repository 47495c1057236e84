// The TCP, UDP and serial drivers against the simulator over real loopback sockets and a
// pseudo-terminal: what only a real link shows (answers in pieces, the system's choice of
// local port, the line speed and data bits of a real port).
#include "SimFixture.h"

#include "comm/SerialDriver.h"
#include "comm/TcpDriver.h"
#include "comm/UdpDriver.h"

namespace dravon {
namespace {

using test::SpinUntil;

class TransportDriverTest : public test::TLoopbackFixture {
protected:
    void SetInSim(const THitachiLocation& l, std::uint16_t value) {
        Sim->SetValue(0, static_cast<std::uint8_t>(l.Code), l.Address, value);
    }
    std::uint16_t InSim(const THitachiLocation& l) {
        return Sim->Value(0, static_cast<std::uint8_t>(l.Code), l.Address);
    }
    // The write reached the PLC's memory and was confirmed.
    bool Written(THitachiLocation& l, std::uint16_t value) {
        l.StoreWrittenValue(value);
        return SpinUntil([&] { return InSim(l) == value && !l.WritePending; }, 10000);
    }

    std::unique_ptr<TPlcSimulator> Sim;
};

TEST_F(TransportDriverTest, TcpAnswersArrivingInPiecesAreReassembled) {
    Sim = StartSim({Ethernet(TSimTransportKind::Tcp)});
    ASSERT_TRUE(Sim);
    // Every answer in 3-byte pieces with pauses: TCP delivers them as separate reads.
    TSimFaults split;
    split.SplitChunk = 3;
    split.SplitDelayMs = 5;
    Sim->SetFaults(split);
    THitachiPLC& plc = Server.AddEthernetPLC(DriverTcp, Sim->Port(0));
    ASSERT_NE(dynamic_cast<TTcpDriver*>(plc.Driver), nullptr);
    THitachiLocation& wr20 = Monitor(plc, "WR0020");
    THitachiLocation& wr40 = Monitor(plc, "WR0040");
    SetInSim(wr20, 0x2020);
    SetInSim(wr40, 0x4040);
    ASSERT_TRUE(SpinUntil([&] { return wr20.HasValue && wr40.HasValue; }));
    EXPECT_EQ(wr20.GetValue(), 0x2020u);
    EXPECT_EQ(wr40.GetValue(), 0x4040u);
    EXPECT_EQ(wr20.ErrorCount, 0);
    EXPECT_TRUE(Written(wr20, 0x1221)); // the confirmation comes in pieces too
    EXPECT_GE(Sim->Stats().FaultSplits, 2u);
    EXPECT_FALSE(plc.TimedOutState);
}

TEST_F(TransportDriverTest, UdpOnAPortTheSystemChoosesPollsAndWrites) {
    Sim = StartSim({Ethernet(TSimTransportKind::Udp)});
    ASSERT_TRUE(Sim);
    THitachiPLC& plc = Server.AddEthernetPLC(DriverUdp, Sim->Port(0));
    auto* udp = dynamic_cast<TUdpDriver*>(plc.Driver);
    ASSERT_NE(udp, nullptr);
    // Without "Local UDP port same as PLC" the system picks the local port.
    EXPECT_NE(udp->Udp().LocalPort(), Sim->Port(0));
    THitachiLocation& wr20 = Monitor(plc, "WR0020");
    SetInSim(wr20, 0x4321);
    ASSERT_TRUE(SpinUntil([&] { return wr20.HasValue; }));
    EXPECT_EQ(wr20.GetValue(), 0x4321u);
    // A double word goes with it, the low half at the lower address.
    Monitor(plc, "DR0052").StoreWrittenValue(0x12345678);
    EXPECT_TRUE(Written(wr20, 0x0101));
    EXPECT_EQ(std::tuple(Sim->Value(0, 0x0A, 0x52), Sim->Value(0, 0x0A, 0x53)), std::tuple(0x5678, 0x1234));
}

TEST_F(TransportDriverTest, SerialOverPseudoTerminalDetectsSpeedSwitchesToBinaryAndPolls) {
    // The PLC listens at the first speed tried: one probe, then the request is answered.
    // Stepping down through the speeds is pinned on the manual clock.
    Sim = StartSim({SerialLine(1, false, {0}, 38400)});
    ASSERT_TRUE(Sim);
    UseLine(*Sim, 1, false, -1); // instead of /dev/ttyS0, at the speed it detects
    THitachiPLC& plc = AddSerialPLC(0, ProtocolStandard);
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

TEST(UdpAddressValue, DottedTextsOnly) {
    EXPECT_EQ(TUdpDriver::AddressValue("127.0.0.1"), 0x7F000001u);
    EXPECT_EQ(TUdpDriver::AddressValue("192.168.0.1"), 0xC0A80001u);
    EXPECT_EQ(TUdpDriver::AddressValue("255.255.255.255"), 0xFFFFFFFFu);
    for (const char* bad : {"256.0.0.1", "1.2.3", "1.2.3.4.5", "1.2.3.4 ", "", "::ffff:127.0.0.1"})
        EXPECT_FALSE(TUdpDriver::AddressValue(bad)) << bad;
}

} // namespace
} // namespace dravon
