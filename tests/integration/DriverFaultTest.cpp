// Faults of one PLC against the real transports and the simulator: a PLC answering BUSY,
// for another station, with noise or by closing its connection never stops the other PLCs
// of the same serial line or of other drivers.
#include "SimFixture.h"

#include <algorithm>

namespace dravon {
namespace {

using test::SpinUntil;

class DriverFaultTest : public test::TLoopbackFixture {
protected:
    // The PLC behind location follows three successive values of the simulator's memory.
    static bool FollowsValues(TPlcSimulator& sim, int station, THitachiLocation& location,
                              std::uint16_t base) {
        for (std::uint16_t k = 1; k <= 3; ++k) {
            const std::uint16_t value = static_cast<std::uint16_t>(base + k);
            sim.SetValue(station, static_cast<std::uint8_t>(location.Code), location.Address, value);
            location.ReadRequested = true;
            if (!SpinUntil([&] { return location.HasValue && location.GetValue() == value; }, 8000))
                return false;
        }
        return true;
    }
    int Lines(const std::string& start) const { return Server.Capture.CountStartingWith(start); }
};

TEST_F(DriverFaultTest, FaultyPlcsNeverStopTheOtherPlcsOfTheirLineOrOfOtherDrivers) {
    // COM1's station 1 answers BUSY to everything; COM2's station 1 names station 3 in its
    // answers, so none ever fits PLC3's request. Stations 2 are healthy.
    auto busyLine = StartSim({SerialLine(2, true, {1, 2})});
    auto otherLine = StartSim({SerialLine(2, true, {1, 2})});
    // A TCP PLC putting 40 bytes of noise in front of every answer, one closing the
    // connection instead of every third answer, and healthy ones (TCP and UDP BUSY answers
    // are pinned on the manual clock).
    auto noisy = StartSim({Ethernet(TSimTransportKind::Tcp)});
    auto closing = StartSim({Ethernet(TSimTransportKind::Tcp)});
    auto healthy = StartSim({Ethernet(TSimTransportKind::Tcp), Ethernet(TSimTransportKind::Udp)});
    ASSERT_TRUE(busyLine && otherLine && noisy && closing && healthy);
    busyLine->SetFaults({.BusyEvery = 1, .OnlyStation = 1});
    otherLine->SetFaults({.OnlyStation = 1, .AnswerStation = 3});
    noisy->SetFaults({.GarbageBytes = 40});
    closing->SetFaults({.CloseEvery = 3});
    UseLine(*busyLine, 1, true);
    UseLine(*otherLine, 2, true);

    THitachiPLC& serialBusy = AddSerialPLC(1, ProtocolStationNumber);
    THitachiPLC& serialOk = AddSerialPLC(2, ProtocolStationNumber);
    ASSERT_EQ(serialBusy.Driver, serialOk.Driver);
    THitachiPLC& other = AddSerialPLC(1, ProtocolStationNumber, 2);
    THitachiPLC& otherOk = AddSerialPLC(2, ProtocolStationNumber, 2);
    THitachiPLC& tcpNoisy = Server.AddEthernetPLC(DriverTcp, noisy->Port(0));
    THitachiPLC& flaky = Server.AddEthernetPLC(DriverTcp, closing->Port(0));
    THitachiPLC& tcpOk = Server.AddEthernetPLC(DriverTcp, healthy->Port(0));
    THitachiPLC& udpOk = Server.AddEthernetPLC(DriverUdp, healthy->Port(1));
    for (THitachiPLC* plc : {&tcpNoisy, &flaky, &tcpOk, &udpOk}) plc->TimeOut = 300;

    THitachiLocation& busySerialWord = Monitor(serialBusy, "WR0001");
    THitachiLocation& otherWord = Monitor(other, "WR0010");
    THitachiLocation& noisyWord = Monitor(tcpNoisy, "WR0011");
    otherLine->SetValue(1, static_cast<std::uint8_t>(otherWord.Code), otherWord.Address, 0x1111);
    noisy->SetValue(0, static_cast<std::uint8_t>(noisyWord.Code), noisyWord.Address, 0x3333);
    // The healthy ones follow their memory, the one closing its connection over new connections.
    const std::tuple<TPlcSimulator*, int, THitachiLocation*> following[] = {
        {busyLine.get(), 2, &Monitor(serialOk, "WR0001")},
        {otherLine.get(), 2, &Monitor(otherOk, "WR0010")},
        {healthy.get(), 0, &Monitor(tcpOk, "WR0004")},
        {healthy.get(), 0, &Monitor(udpOk, "WR0012")},
        {closing.get(), 0, &Monitor(flaky, "WR0030")}};
    auto allFollow = [&](std::uint16_t base) {
        for (const auto& [sim, station, word] : following) {
            SCOPED_TRACE(word->PLC->Name);
            EXPECT_TRUE(FollowsValues(*sim, station, *word, base));
        }
    };
    allFollow(0x2000);

    // The serial BUSY PLC said so once and got no value.
    ASSERT_TRUE(
        SpinUntil([&] { return Lines("PLC PLC1 sent BUSY response, timeout should be longer") == 1; }, 8000));
    EXPECT_FALSE(busySerialWord.HasValue);
    EXPECT_NE(busySerialWord.Quality(Server.Context.Settings), QualityGood);
    EXPECT_EQ(serialBusy.LastErrorCode, 5);

    // The PLCs answering for another station or with noise were asked and answered, yet none
    // of their answers was taken.
    ASSERT_TRUE(
        SpinUntil([&] { return otherLine->Stats().Answers >= 6 && noisy->Stats().FaultGarbage >= 3; }, 8000));
    EXPECT_FALSE(otherWord.HasValue || noisyWord.HasValue);
    EXPECT_GE(std::min(otherWord.ErrorCount, noisyWord.ErrorCount), 2);
    // The PLC that answers for another station is silent to us and is declared timed out.
    // Noise of 6 bytes or more counts as a sign of life on Ethernet, so the noisy PLC is not
    // timed out, but its unanswered reads turn its values UNCERTAIN.
    ASSERT_TRUE(
        SpinUntil([&] { return other.TimedOutState && noisyWord.ErrorCount >= UncertainErrorCount; }, 15000));
    EXPECT_EQ(Lines("PLC PLC3 timed out at "), 1);
    EXPECT_NE(noisyWord.Quality(Server.Context.Settings), QualityGood);
    EXPECT_FALSE(noisyWord.HasValue);

    // The healthy ones still follow their memory after all this, and never timed out.
    allFollow(0x2100);
    EXPECT_GE(closing->Stats().FaultCloses, 2u);
    EXPECT_GE(closing->Stats().Connections, 3u);
    for (const THitachiPLC* plc : {&serialOk, &otherOk, &tcpOk, &udpOk}) {
        EXPECT_FALSE(plc->TimedOutState) << plc->Name;
        EXPECT_EQ(Lines("PLC " + plc->Name + " timed out"), 0) << plc->Name;
    }
}

} // namespace
} // namespace dravon
