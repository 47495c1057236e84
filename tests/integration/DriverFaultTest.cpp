// Faults of one PLC against the real transports and the simulator: a PLC answering BUSY,
// for another station or with noise never stops the other PLCs of the same serial line
// or of other drivers; an idle serial port closes within one refresh and the next request
// opens it again.
#include "SimFixture.h"

#include "comm/SerialDriver.h"
#include "comm/TcpDriver.h"

#include <QElapsedTimer>

#include <algorithm>

namespace dravon {
namespace {

using test::SpinFor;
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
};

TEST_F(DriverFaultTest, BusyAnswersNeverStopTheOtherPlcsOfTheLineOrOfOtherDrivers) {
    // Station 1 of a serial line answers BUSY to everything; station 2 is healthy.
    auto line = StartSim({SerialLine(2, true, {1, 2})});
    ASSERT_TRUE(line);
    line->SetFaults({.BusyEvery = 1, .OnlyStation = 1});
    UseLineAsCom1(*line, true);
    // A TCP and a UDP PLC that answer BUSY to everything, and a healthy TCP PLC.
    auto busy = StartSim({Ethernet(TSimTransportKind::Tcp), Ethernet(TSimTransportKind::Udp)});
    ASSERT_TRUE(busy);
    busy->SetFaults({.BusyEvery = 1});
    auto healthy = StartSim({Ethernet(TSimTransportKind::Tcp)});
    ASSERT_TRUE(healthy);

    THitachiPLC& serialBusy = AddSerialPLC(1, ProtocolStationNumber);
    THitachiPLC& serialOk = AddSerialPLC(2, ProtocolStationNumber);
    ASSERT_EQ(serialBusy.Driver, serialOk.Driver);
    THitachiPLC& tcpBusy = Server.AddEthernetPLC(DriverTcp, busy->Port(0));
    THitachiPLC& udpBusy = Server.AddEthernetPLC(DriverUdp, busy->Port(1));
    THitachiPLC& tcpOk = Server.AddEthernetPLC(DriverTcp, healthy->Port(0));
    for (THitachiPLC* plc : {&tcpBusy, &udpBusy, &tcpOk}) plc->TimeOut = 300;

    THitachiLocation& busySerialWord = Monitor(serialBusy, "WR0001");
    THitachiLocation& okSerialWord = Monitor(serialOk, "WR0001");
    THitachiLocation& busyTcpWord = Monitor(tcpBusy, "WR0002");
    THitachiLocation& busyUdpWord = Monitor(udpBusy, "WR0003");
    THitachiLocation& okTcpWord = Monitor(tcpOk, "WR0004");

    EXPECT_TRUE(FollowsValues(*line, 2, okSerialWord, 0x2000));
    EXPECT_TRUE(FollowsValues(*healthy, 0, okTcpWord, 0x4000));

    // The serial and UDP BUSY PLCs said so once; none of the BUSY PLCs got a value.
    ASSERT_TRUE(SpinUntil(
        [&] {
            return Server.Capture.CountStartingWith(
                       "PLC PLC1 sent BUSY response, timeout should be longer") == 1 &&
                   Server.Capture.CountStartingWith("BUSY responses detected on UDP port on PLC PLC4") == 1;
        },
        8000));
    EXPECT_FALSE(busySerialWord.HasValue || busyTcpWord.HasValue || busyUdpWord.HasValue);
    EXPECT_NE(busySerialWord.Quality(Server.Context.Settings), QualityGood);
    EXPECT_EQ(std::tuple(serialBusy.LastErrorCode, udpBusy.LastErrorCode), std::tuple(5, 5));

    // The BUSY TCP link pauses 40 s (20 000 doubled) and sends nothing meanwhile; its
    // BUSY line and the check for a time-out come when the pause is over.
    auto* tcpDriver = dynamic_cast<TTcpDriver*>(tcpBusy.Driver);
    ASSERT_NE(tcpDriver, nullptr);
    ASSERT_TRUE(SpinUntil([&] { return tcpDriver->Busy; }, 8000));
    EXPECT_EQ(tcpDriver->BusyDelay, 40000);
    EXPECT_GT(tcpDriver->Wait, 35000);
    EXPECT_EQ(Server.Capture.CountStartingWith("PLC PLC3 sent BUSY"), 0);
    const std::uint64_t busyRequests = busy->Stats().FaultBusy;
    // The UDP link retries: its BUSY answers keep coming while the TCP link is paused.
    ASSERT_TRUE(SpinUntil([&] { return busy->Stats().FaultBusy >= busyRequests + 4; }, 8000));
    EXPECT_GT(tcpDriver->Wait, 30000);
    EXPECT_FALSE(tcpBusy.TimedOutState);

    // The healthy ones still follow their memory after all this.
    EXPECT_TRUE(FollowsValues(*line, 2, okSerialWord, 0x2100));
    EXPECT_TRUE(FollowsValues(*healthy, 0, okTcpWord, 0x4100));
    EXPECT_FALSE(serialOk.TimedOutState || tcpOk.TimedOutState);
}

TEST_F(DriverFaultTest, AnswersForAnotherStationOrNoiseNeverStopTheOtherPlcs) {
    // Station 1's answers name station 3: no answer ever fits PLC1's request.
    auto line = StartSim({SerialLine(2, true, {1, 2})});
    ASSERT_TRUE(line);
    line->SetFaults({.OnlyStation = 1, .AnswerStation = 3});
    UseLineAsCom1(*line, true);
    // A TCP PLC that puts 40 bytes of noise in front of every answer.
    auto noisy = StartSim({Ethernet(TSimTransportKind::Tcp)});
    ASSERT_TRUE(noisy);
    noisy->SetFaults({.GarbageBytes = 40});
    auto healthy = StartSim({Ethernet(TSimTransportKind::Udp)});
    ASSERT_TRUE(healthy);

    THitachiPLC& other = AddSerialPLC(1, ProtocolStationNumber);
    THitachiPLC& serialOk = AddSerialPLC(2, ProtocolStationNumber);
    THitachiPLC& tcpNoisy = Server.AddEthernetPLC(DriverTcp, noisy->Port(0));
    THitachiPLC& udpOk = Server.AddEthernetPLC(DriverUdp, healthy->Port(0));
    for (THitachiPLC* plc : {&tcpNoisy, &udpOk}) plc->TimeOut = 300;

    THitachiLocation& otherWord = Monitor(other, "WR0010");
    THitachiLocation& okSerialWord = Monitor(serialOk, "WR0010");
    THitachiLocation& noisyWord = Monitor(tcpNoisy, "WR0011");
    THitachiLocation& okUdpWord = Monitor(udpOk, "WR0012");
    line->SetValue(1, static_cast<std::uint8_t>(otherWord.Code), otherWord.Address, 0x1111);
    noisy->SetValue(0, static_cast<std::uint8_t>(noisyWord.Code), noisyWord.Address, 0x3333);

    EXPECT_TRUE(FollowsValues(*line, 2, okSerialWord, 0x2200));
    EXPECT_TRUE(FollowsValues(*healthy, 0, okUdpWord, 0x4200));

    // Both faulty PLCs were asked and answered, yet none of their answers was taken.
    ASSERT_TRUE(
        SpinUntil([&] { return line->Stats().Answers >= 6 && noisy->Stats().FaultGarbage >= 3; }, 8000));
    EXPECT_FALSE(otherWord.HasValue || noisyWord.HasValue);
    EXPECT_GE(std::min(otherWord.ErrorCount, noisyWord.ErrorCount), 2);
    // The PLC that answers for another station is silent to us and is declared timed out.
    // Noise of 6 bytes or more counts as a sign of life on Ethernet, so the noisy PLC is not
    // timed out, but its unanswered reads turn its values UNCERTAIN.
    ASSERT_TRUE(
        SpinUntil([&] { return other.TimedOutState && noisyWord.ErrorCount >= UncertainErrorCount; }, 15000));
    EXPECT_EQ(Server.Capture.CountStartingWith("PLC PLC1 timed out at "), 1);
    EXPECT_NE(noisyWord.Quality(Server.Context.Settings), QualityGood);
    EXPECT_FALSE(noisyWord.HasValue);
    EXPECT_TRUE(FollowsValues(*line, 2, okSerialWord, 0x2300));
    EXPECT_TRUE(FollowsValues(*healthy, 0, okUdpWord, 0x4300));
    EXPECT_FALSE(serialOk.TimedOutState || udpOk.TimedOutState);
    EXPECT_EQ(Server.Capture.CountStartingWith("PLC PLC2 timed out"), 0);
    EXPECT_EQ(Server.Capture.CountStartingWith("PLC PLC4 timed out"), 0);
}

TEST_F(DriverFaultTest, APlcClosingItsConnectionIsReconnectedAndOthersKeepBeingPolled) {
    // Every third request is answered by closing the connection.
    auto closing = StartSim({Ethernet(TSimTransportKind::Tcp)});
    ASSERT_TRUE(closing);
    closing->SetFaults({.CloseEvery = 3});
    auto healthy = StartSim({Ethernet(TSimTransportKind::Tcp)});
    ASSERT_TRUE(healthy);
    THitachiPLC& flaky = Server.AddEthernetPLC(DriverTcp, closing->Port(0));
    THitachiPLC& steady = Server.AddEthernetPLC(DriverTcp, healthy->Port(0));
    flaky.TimeOut = steady.TimeOut = 300;
    THitachiLocation& flakyWord = Monitor(flaky, "WR0030");
    THitachiLocation& steadyWord = Monitor(steady, "WR0031");

    // Values keep coming over new connections, and the other PLC never notices.
    EXPECT_TRUE(FollowsValues(*closing, 0, flakyWord, 0x5000));
    EXPECT_TRUE(FollowsValues(*healthy, 0, steadyWord, 0x6000));
    EXPECT_TRUE(FollowsValues(*closing, 0, flakyWord, 0x5100));
    EXPECT_GE(closing->Stats().FaultCloses, 2u);
    EXPECT_GE(closing->Stats().Connections, 3u);
    EXPECT_FALSE(steady.TimedOutState);
}

TEST_F(DriverFaultTest, IdleSerialPortClosesWithinOneRefreshAndTheNextRequestReopensIt) {
    // A multidrop line: no probes after the reset that closing the port makes.
    auto line = StartSim({SerialLine(2, true, {1})});
    ASSERT_TRUE(line);
    UseLineAsCom1(*line, true);
    THitachiPLC& plc = AddSerialPLC(1, ProtocolStationNumber);
    auto* serial = dynamic_cast<TSerialDriver*>(plc.Driver);
    ASSERT_NE(serial, nullptr);

    // The window's 300 ms refresh marks idle drivers and closes their idle ports.
    std::unique_ptr<ITimer> refresh = Server.Timers.CreateTimer();
    refresh->OnTimer = [&] { Server.Manager->MarkIdleDrivers(); };
    refresh->SetInterval(300);
    refresh->SetEnabled(true);

    THitachiLocation* word = Server.Monitor(plc, "WR0020");
    ASSERT_NE(word, nullptr);
    line->SetValue(1, static_cast<std::uint8_t>(word->Code), word->Address, 0x0C0C);
    ASSERT_TRUE(SpinUntil([&] { return word->HasValue; }, 8000));
    EXPECT_EQ(word->GetValue(), 0x0C0Cu);
    ASSERT_TRUE(serial->Port()->Connected());

    // The last holder lets go: the pass drops the location, and the port closes within
    // one refresh period of that.
    word->Release();
    word = nullptr;
    ASSERT_TRUE(SpinUntil([&] { return plc.Monitored.Count() == 0; }, 5000));
    QElapsedTimer sinceEmpty;
    sinceEmpty.start();
    ASSERT_TRUE(SpinUntil([&] { return !serial->Port()->Connected(); }, 2000));
    EXPECT_LE(sinceEmpty.elapsed(), 300 + 100); // one refresh period, and slack for a loaded machine
    EXPECT_TRUE(serial->Idle);
    const std::uint64_t requestsWhileOpen = line->Stats().Requests();
    SpinFor(400); // a closed idle port sends nothing
    EXPECT_EQ(line->Stats().Requests(), requestsWhileOpen);
    EXPECT_FALSE(serial->Port()->Connected());

    // A new item: the next request opens the port again and the value arrives at once.
    THitachiLocation& again = Monitor(plc, "WR0021");
    line->SetValue(1, static_cast<std::uint8_t>(again.Code), again.Address, 0x0D0D);
    QElapsedTimer reopening;
    reopening.start();
    ASSERT_TRUE(SpinUntil([&] { return again.HasValue; }, 5000));
    EXPECT_LT(reopening.elapsed(), 1500);
    EXPECT_EQ(again.GetValue(), 0x0D0Du);
    EXPECT_TRUE(serial->Port()->Connected());
    EXPECT_EQ(Server.Capture.CountStartingWith("Serial port 1 not available"), 0);
    refresh->SetEnabled(false);
}

} // namespace
} // namespace dravon
