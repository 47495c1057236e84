#include "app/TimeDate.h"
#include "plc/InvalidPointer.h"
#include "plc/ItemId.h"
#include "plc/PLCCollection.h"
#include "support/FakeDriverPool.h"
#include "support/FakeHostResolver.h"
#include "support/TestContext.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <string>
#include <tuple>
#include <vector>

namespace dravon {
namespace {

class HitachiPLCTest : public ::testing::Test {
protected:
    HitachiPLCTest() {
        T.Context.Resolver = &Resolver;
        PLCs.SetDriverPool(&Pool);
    }
    test::TTestContext T;
    test::TFakeHostResolver Resolver;
    test::TFakeDriverPool Pool;
    TPLCCollection PLCs{T.Context};

    THitachiPLC& Add(int drvType, int protocol, const std::string& host = "127.0.0.1", int port = 3004) {
        THitachiPLC& plc = PLCs.AddPLC();
        plc.SetHost(host);
        plc.TcpPort = port;
        plc.SetConnection(drvType, protocol);
        return plc;
    }
    test::TFakeDriver& DriverOf(const THitachiPLC& plc) { return test::TFakeDriverPool::Of(plc.Driver); }
};

TEST_F(HitachiPLCTest, NewPLCDefaults) {
    THitachiPLC& plc = PLCs.AddPLC();
    EXPECT_EQ(PLCs.AddPLC().Name, "PLC2");
    char text[200];
    std::snprintf(text, sizeof text, "%s %s %s %d.%d.%d.%d %d %X %d %d %d %d %d %d %u", plc.Name.c_str(),
                  plc.Host.c_str(), plc.ResolvedIP.c_str(), plc.IPOctets[0], plc.IPOctets[1], plc.IPOctets[2],
                  plc.IPOctets[3], plc.TcpPort, plc.Lump, plc.TimeOut, plc.SerialCom, plc.SerialStatNo,
                  plc.MaxComCyclePercent, plc.LastComCyclePercent, plc.StatusVars.Count(),
                  plc.ErrorResponseTick);
    EXPECT_STREQ(text, "PLC1 192.168.0.1 192.168.0.1 192.168.0.1 3004 FFFF0000 1000 1 0 -1 -1 20 1");
    EXPECT_EQ(plc.StatusVar(stAverageComCycle).Name, "AverageComCycle");
    // A dotted address is its own answer: no lookup, no traffic.
    EXPECT_TRUE(plc.Driver == nullptr && Resolver.Requests.empty());
    EXPECT_EQ(std::tuple(PLCs.FindPLC("plc1"), PLCs.FindPLC("PLC3")), std::tuple(&plc, nullptr));
}

TEST_F(HitachiPLCTest, TimeOutCountingAndLogLines) {
    THitachiPLC& plc = Add(DriverTcp, ProtocolEthernet);
    const std::string now = TimeDateText(T.Platform.Clock.Now());
    for (bool timedOut : {true, true, false, false, true}) plc.SetTimedOut(timedOut);
    EXPECT_EQ(plc.NumberOfTimeouts, 2);
    EXPECT_EQ(T.Capture.Lines,
              (std::vector<std::string>{"PLC PLC1 timed out at " + now, "PLC PLC1 restored at " + now,
                                        "PLC PLC1 timed out at " + now}));
    EXPECT_EQ(T.Capture.Messages.back(), T.Capture.Lines[0]);
}

// Host names are looked up without waiting and applied when the answer arrives; a stale
// answer (for an earlier name, or a deleted PLC) is ignored; a time-out looks the name up
// again and keeps the address when that fails.
TEST_F(HitachiPLCTest, HostNameLookups) {
    THitachiPLC& plc = Add(DriverTcp, ProtocolEthernet, "plc-one.example");
    ASSERT_EQ(Resolver.Requests.size(), 1u);
    EXPECT_EQ(Resolver.Requests[0].Name + "|" + plc.ResolvedIP + "|" + DriverOf(plc).Address,
              "plc-one.example||");
    Resolver.Answer(0, "127.0.0.2");
    EXPECT_EQ(std::tuple(plc.ResolvedIP, plc.IPOctets), std::tuple("127.0.0.2", std::array{127, 0, 0, 2}));
    ASSERT_EQ(Pool.Drivers.size(), 1u); // the address-less driver was freed
    EXPECT_EQ(DriverOf(plc).Address + "|" + std::to_string(DriverOf(plc).UserCount), "127.0.0.2|1");

    plc.SetTimedOut(true);
    plc.SetTimedOut(true); // one lookup at a time
    ASSERT_EQ(Resolver.Requests.size(), 2u);
    Resolver.Answer(1, ""); // the name server is down: keep talking to the known address
    EXPECT_EQ(plc.ResolvedIP, "127.0.0.2");
    plc.SetTimedOut(true);
    ASSERT_EQ(Resolver.Requests.size(), 3u);
    Resolver.Answer(2, "127.0.0.6"); // the mapping changed: follow it
    EXPECT_EQ(DriverOf(plc).Address, "127.0.0.6");

    THitachiPLC& udp = Add(DriverUdp, ProtocolEthernet, "old.example");
    udp.SetHost("new.example");
    ASSERT_EQ(Resolver.Requests.size(), 5u);
    Resolver.Answer(3, "127.0.0.9"); // for the old name
    EXPECT_EQ(udp.ResolvedIP, "");
    Resolver.Answer(4, "127.0.0.3");
    EXPECT_EQ(udp.ResolvedIP + " " + std::to_string(udp.IPValue), "127.0.0.3 2130706435");
    THitachiPLC& gone = Add(DriverTcp, ProtocolEthernet, "gone.example");
    PLCs.DeletePLC(PLCs.IndexOf(&gone));
    Resolver.Answer(5, "127.0.0.4"); // must not touch the freed PLC
    EXPECT_EQ(PLCs.Count(), 2);

    // A failed first lookup leaves no address.
    THitachiPLC& other = Add(DriverTcp, ProtocolEthernet, "nowhere.example");
    Resolver.Answer(6, "");
    EXPECT_EQ(other.ResolvedIP, "");
    // Said as such once per change of the host, and shown as the PLC's status.
    const std::string unresolved = "Host name nowhere.example of PLC PLC3 could not be resolved";
    EXPECT_EQ(T.Capture.CountStartingWith(unresolved), 1);
    EXPECT_EQ(other.InfoRows(0)[1].Value, "Host name nowhere.example could not be resolved");
    other.SetTimedOut(true);
    Resolver.Answer(7, "");
    EXPECT_EQ(T.Capture.CountStartingWith(unresolved), 1);
    other.SetHost("nowhere.example");
    Resolver.Answer(8, "");
    EXPECT_EQ(T.Capture.CountStartingWith(unresolved), 2);
    // A serial PLC's status is its line's, whatever its host name did.
    other.DrvType = DriverSerial;
    EXPECT_EQ(other.InfoRows(0)[1].Value, "Idle");
    other.DrvType = DriverTcp;
    // A dotted host needs no lookup at a time-out either.
    THitachiPLC& dotted = Add(DriverTcp, ProtocolEthernet, "127.0.0.7");
    dotted.SetTimedOut(true);
    EXPECT_EQ(Resolver.Requests.size(), 9u);
}

TEST_F(HitachiPLCTest, PLCsShareDriversAndLeaveThemWhenDeleted) {
    THitachiPLC& a = Add(DriverTcp, ProtocolEthernet);
    THitachiPLC& b = Add(DriverTcp, ProtocolEthernet);
    THitachiPLC& c = Add(DriverTcp, ProtocolEthernet, "127.0.0.1", 3005);
    EXPECT_TRUE(a.Driver == b.Driver && a.Driver != c.Driver && DriverOf(a).UserCount == 2);

    // The driver is in the middle of a's pass when a is deleted.
    DriverOf(a).CurrentPLC = &a;
    PLCs.DeletePLC(PLCs.IndexOf(&a));
    ASSERT_EQ(Pool.Drivers.size(), 2u);
    EXPECT_TRUE(DriverOf(b).UserCount == 1 && DriverOf(b).CurrentPLC == nullptr);
    PLCs.DeletePLC(PLCs.IndexOf(&b));
    EXPECT_EQ(Pool.Drivers.size(), 1u);

    // Re-attaching moves c to another driver and frees the old one.
    c.SetConnection(DriverSerial, ProtocolStandard);
    ASSERT_EQ(Pool.Drivers.size(), 1u);
    EXPECT_EQ(DriverOf(c).Kind, DriverSerial);
    // Another pool takes the PLC over; none leaves it without a driver but keeps its type.
    test::TFakeDriverPool other;
    PLCs.SetDriverPool(&other);
    EXPECT_TRUE(Pool.Drivers.empty() && other.Drivers.size() == 1u && DriverOf(c).Kind == DriverSerial);
    PLCs.SetDriverPool(nullptr);
    EXPECT_TRUE(other.Drivers.empty() && c.Driver == nullptr && c.DrvType == DriverSerial);
    c.SetConnection(DriverNone, ProtocolUndefined);
    EXPECT_EQ(c.Driver, nullptr);
    EXPECT_THROW(PLCs.DeletePLC(7), std::exception);
}

TEST_F(HitachiPLCTest, ConnectionTexts) {
    const auto both = [](const THitachiPLC& plc) {
        return plc.ConnectionText().Short + " " + plc.ConnectionText().Long;
    };
    EXPECT_EQ(both(PLCs.AddPLC()), "<none> -");
    EXPECT_EQ(both(Add(DriverTcp, ProtocolEthernet, "127.0.0.1", 3010)),
              "TCP: Ethernet TCP (127.0.0.1:3010), ethernet H-protocol");
    EXPECT_EQ(both(Add(DriverUdp, ProtocolStandard)),
              "UDP: Ethernet UDP (127.0.0.1:3004), standard H-protocol");
    THitachiPLC& serial = Add(DriverSerial, ProtocolStandard);
    EXPECT_EQ(both(serial), "Com 1: Serial 232/485, Com 1, standard H-protocol, autodetect, ASCII");
    PLCs.ResolveItemId("PLC4.WR0000");
    DriverOf(serial).SentOnce = true;
    EXPECT_EQ(serial.ConnectionText().Long,
              "Serial 232/485, Com 1, standard H-protocol, detecting speed..., ASCII");
    DriverOf(serial).DetectedBaudText = "19200";
    DriverOf(serial).BinaryMode = true;
    EXPECT_EQ(serial.ConnectionText().Long, "Serial 232/485, Com 1, standard H-protocol, 19200, binary");
    PLCs.SerialPorts.Port(1)->BaudRate = 9600;
    EXPECT_EQ(serial.ConnectionText().Long, "Serial 232/485, Com 1, standard H-protocol, 9600, binary");

    // A COM number outside 1-8 (a corrupt store) has no port record; nothing is read past it.
    serial.SerialCom = 12;
    EXPECT_EQ(serial.ConnectionText().Long, "Serial 232/485, Com 12, standard H-protocol, 19200, binary");
    EXPECT_EQ(ProtocolName(2) + "|" + ProtocolName(0) + "|" + ProtocolName(7),
              "station number H-protocol|undefined protocol|unknown protocol");
}

TEST_F(HitachiPLCTest, IdleStatusPendingWritesAndTimedOutMarks) {
    THitachiPLC& plc = Add(DriverTcp, ProtocolEthernet);
    EXPECT_TRUE(plc.IsIdle());
    PLCs.ResolveItemId("PLC1.WR0000").Location->AddRef();
    EXPECT_TRUE(plc.IsIdle()); // nothing sent yet
    DriverOf(plc).SentOnce = true;
    EXPECT_EQ(std::tuple(plc.IsIdle(), plc.CommunicationStatus()), std::tuple(false, ComStatusConnected));
    plc.SetTimedOut(true);
    EXPECT_EQ(THitachiPLC::CommunicationStatusText(plc.CommunicationStatus()) + "|" +
                  THitachiPLC::CommunicationStatusText(ComStatusIdle),
              "Communication error|Idle");

    PLCs.ResolveItemId("PLC1.DR0010");
    EXPECT_FALSE(plc.HasPendingWrites());
    plc.FindLocation(10, 0x10, true)->StoreWrittenValue(5);
    EXPECT_TRUE(plc.HasPendingWrites());
    plc.MarkAllTimedOut();
    for (int i = 0; i < plc.Monitored.Count(); ++i) EXPECT_TRUE(plc.Monitored.Item(i).TimedOut);
}

TEST_F(HitachiPLCTest, StatisticsTextsOfAPLCThatNeverAnswered) {
    std::string rows;
    for (const TInfoRow& row : PLCs.AddPLC().InfoRows(T.Platform.Clock.Now()))
        rows += row.Caption + ": " + row.Value + "\n";
    EXPECT_EQ(rows,
              "Name: PLC1\nPLC status: Idle\nCommunication info: -\nNumber of monitored PLC locations: 0\n"
              "Number of timeouts: 0\nLast error response: -\nLast response time: 0ms\n"
              "Maximum response time: 0ms\nLast communication cycle: 0ms\n"
              "Maximum communication cycle: 0ms\nAverage communication cycle (last 10): 0ms\n");
}

// The time alone within the day, with the date after; 0x1A3 is never more than the status
// byte, but never a crash either.
TEST_F(HitachiPLCTest, ErrorTexts) {
    THitachiPLC& plc = PLCs.AddPLC();
    const TDateTime now = T.Platform.Clock.Now();
    for (auto [code, ago, text] :
         {std::tuple(0x17, 1.0 / 24, "H17"), {0x17, 2.0, "H17"}, {5, 2.0, "BUSY"}, {0x1A3, 0.0, "H1A3"}}) {
        std::tie(plc.LastErrorCode, plc.LastErrorAt) = std::pair(code, now - ago);
        EXPECT_EQ(plc.LastErrorText(now),
                  text + (" (at " + (ago < 1 ? TimeText : TimeDateText)(plc.LastErrorAt) + ")"));
    }
}

TEST_F(HitachiPLCTest, CycleHistoryAverageAndMaximaAndUnusedLocationsFreed) {
    THitachiPLC& plc = PLCs.AddPLC();
    PLCs.ResolveItemId("PLC1.WR0000.arr.2");
    std::uint32_t tick = 5000;
    plc.EndOfPass(tick, false);          // the first pass starts
    EXPECT_EQ(plc.Monitored.Count(), 1); // WR0001 still holds the reference it got
    for (int pass = 1; pass <= 10; ++pass) {
        plc.PassSent = true;
        plc.PassMessages = 4;
        plc.PassResponses = 3;
        tick += 10u * static_cast<unsigned>(pass);
        plc.EndOfPass(tick, false);
        EXPECT_EQ(std::tuple(plc.LastComCycle, plc.LastComCyclePercent, plc.AverageComCycle()),
                  std::tuple(10 * pass, 75, pass < 10 ? 0 : 55));
    }
    const auto rows = plc.InfoRows(T.Platform.Clock.Now());
    EXPECT_EQ(std::to_string(plc.MaxComCycle) + " " + std::to_string(plc.MaxComCyclePercent) + " " +
                  rows[8].Value + " " + rows[9].Value + " " + rows[10].Value,
              "100 75 100ms (75% Good) 100ms (75% Good) 55ms");

    // A long answer makes the cycle at least the response time; equal to the maximum, it
    // leaves the maximum's percent.
    plc.LastResponseTime = 100;
    plc.PassSent = true;
    plc.PassMessages = 1;
    plc.EndOfPass(tick + 5, false);
    // A pending BUSY retry keeps the pass running.
    plc.PassSent = true;
    plc.EndOfPass(tick + 50, true);
    EXPECT_EQ(std::tuple(plc.LastComCycle, plc.PassSent, plc.MaxComCyclePercent), std::tuple(100, true, 75));

    plc.MaxResponseTime = 400;
    plc.ResetMaxima();
    EXPECT_EQ((std::array{plc.MaxResponseTime, plc.MaxComCycle, plc.MaxComCyclePercent}),
              (std::array{0, 0, -1}));
}

// ComIPAddress is stored for Ethernet PLCs only: a serial PLC's keeps the quality of a
// location never read. The up-time counts on across the wrap of the tick count.
TEST_F(HitachiPLCTest, RefreshedVariables) {
    T.Platform.Clock.Tick = 0xFFFFFF00u;
    TPLCCollection plcs(T.Context);
    plcs.SetDriverPool(&Pool);
    for (int drvType : {DriverUdp, DriverTcp, DriverSerial, DriverNone}) {
        THitachiPLC& plc = plcs.AddPLC();
        plc.SetHost("127.0.0.1");
        plc.SetConnection(drvType, ProtocolStandard);
    }
    T.Platform.Clock.Step(0x200);
    plcs.RefreshVariables(0);
    std::string ips;
    for (int i = 0; i < 4; ++i) {
        const THitachiLocation& ip = plcs.PLCByIndex(i).StatusVar(stComIPAddress);
        ips += std::to_string(ip.HasValue) + ":" + ip.StringValue + ":" +
               std::to_string(ip.Quality(T.Context.Settings)) + " ";
    }
    EXPECT_EQ(ips, "1:127.0.0.1:192 1:127.0.0.1:192 0::0 0::0 "); // good, good, bad, bad
    T.Platform.Clock.Step(0x100);
    plcs.RefreshVariables(0);
    EXPECT_EQ(plcs.UpTimeMs, 0x300u);
}

// Item IDs resolved on PLC1.
class ResolveItemIdTest : public HitachiPLCTest {
protected:
    THitachiPLC& PLC1 = PLCs.AddPLC();

    // The monitored locations in collection order, or their count when there are many.
    std::string Monitored() const {
        if (PLC1.Monitored.Count() > 8) return "#" + std::to_string(PLC1.Monitored.Count());
        std::string names;
        for (int i = 0; i < PLC1.Monitored.Count(); ++i)
            names += (i ? " " : "") + PLC1.Monitored.Item(i).LocationName();
        return names;
    }
};

// One item ID per row on an empty PLC1: the element count (0: nothing resolved), whether
// it is signed, and the locations it created.
TEST_F(ResolveItemIdTest, ItemIdTable) {
    struct TRow {
        std::string Id;
        int Count;
        bool Signed;
        const char* Monitored;
    };
    const std::string binary("PLC1.WR\0\xff\x80"
                             "10",
                             12);
    // clang-format off
    const TRow rows[] = {
        {"PLC1.wr0010", 1, false, "WR0010"},
        {"PLC1.DR0010", 1, false, "WR0010 DR0010 WR0011"},
        {"PLC1.WR0000.arr.3", 3, false, "WR0000 WR0001 WR0002"},
        {"PLC1.WR0100.asc.5", 3, false, "WR0100 WR0101 WR0102"},
        {"PLC1.DR0100.ASC.9", 3, false, "WR0100 DR0100 DR0101 WR0101 DR0102 WR0102 WR0103"},
        // Counts below one and non-numbers give one element.
        {"PLC1.WR0000.arr.0", 1, false, "WR0000"}, {"PLC1.WR0000.arr.-4", 1, false, "WR0000"},
        {"PLC1.WR0000.arr.x", 1, false, "WR0000"}, {"PLC1.WR0000.asc.0", 1, false, "WR0000"},
        {"PLC1.WR0000.asc.", 1, false, "WR0000"}, {"PLC1.WR0000.arr.", 1, false, "WR0000"},
        // One request must not create an unbounded number of locations.
        {"PLC1.WR0000.arr.1025", 0, false, ""}, {"PLC1.WR0000.arr.99999999999999999999999", 0, false, ""},
        {"PLC1.WR0000.asc.2049", 0, false, ""}, {"PLC1.WR0000.asc.2147483647", 0, false, ""},
        {"PLC1.WR0000.arr." + std::string(10000, '9'), 0, false, ""},
        {"PLC1.WR0000.arr.1024", 1024, false, "#1024"}, {"PLC1.DR0000.asc.4096", 1024, false, "#2049"},
        // A PLC answers reads past its highest address with 0 and drops writes there: such
        // elements are not created, so a client sees them missing instead of invented values.
        {"PLC1.WRFFFE.arr.5", 2, false, "WRFFFE WRFFFF"},
        {"PLC1.DRFFFE.arr.3", 1, false, "WRFFFE DRFFFE WRFFFF"},
        {"PLC1.R7FF.arr.3", 1, false, "R7FF"},
        {"PLC1.WR0010s", 1, true, "WR0010"}, {"PLC1.DR0010S.arr.2", 2, true, "WR0010 DR0010 DR0011 WR0011 WR0012"},
        {"PLC1.R1s", 0, false, ""}, // three characters or fewer: no suffix
        {"PLC1.whatever.WR0001", 1, false, "WR0001"}, // the address after the last "."
        {"PLC1.WR" + std::string(70000, '0') + "1", 1, false, "WR0001"},
        {"PLC9.WR0000", 0, false, ""}, {"PLC1", 0, false, ""}, {"", 0, false, ""}, {"   ", 0, false, ""},
        {".", 0, false, ""}, {"PLC1.", 0, false, ""}, {"PLC1.nosuchvar", 0, false, ""},
        {"Sys.nosuch", 0, false, ""}, {"sys", 0, false, ""}, {"PLC1.WR10000", 0, false, ""},
        {"PLC1.X00196", 0, false, ""}, {"PLC1..", 0, false, ""}, {".WR0000", 0, false, ""},
        {"PLC1." + std::string(100000, 'A'), 0, false, ""}, {std::string(50000, '.'), 0, false, ""},
        {binary, 0, false, ""},
    };
    // clang-format on
    for (const TRow& row : rows) {
        SCOPED_TRACE(row.Id.substr(0, 40));
        PLC1.Monitored.Clear();
        const TResolveResult result = PLCs.ResolveItemId(row.Id);
        EXPECT_EQ(
            std::tuple(result.Location ? result.Count : 0, result.Location && result.Signed, Monitored()),
            std::tuple(row.Count, row.Signed, row.Monitored));
    }
}

TEST_F(ResolveItemIdTest, SpellingsShareOneLocationAndHalvesAreCounted) {
    auto a = PLCs.ResolveItemId("PLC1.wr0010");
    ASSERT_NE(a.Location, nullptr);
    for (const char* id : {"  plc1.WR10 ", "Plc1.Wr010"})
        EXPECT_EQ(PLCs.ResolveItemId(id).Location, a.Location) << id;
    EXPECT_EQ(a.Location->ItemId, "PLC1.wr0010"); // set when created, trimmed, case kept
    EXPECT_TRUE(a.Location->PLC == &PLC1 && a.Location->AccessRights == AccessReadWrite &&
                a.Location->ReadRequested);
    auto s = PLCs.ResolveItemId("PLC1.WR0010s");
    EXPECT_TRUE(s.Location == a.Location && s.Location->VarTypeOf(s.Signed) == VarTypeI2);

    auto r = PLCs.ResolveItemId("PLC1.DR0020");
    // The caller takes it; each half is held by it.
    EXPECT_EQ(
        (std::array{r.Location->RefCount, r.Location->HighLink->RefCount, r.Location->LowLink->RefCount}),
        (std::array{0, 1, 1}));
    // Halves keep an empty ItemId.
    EXPECT_EQ(std::tuple(r.Location->LowLink->ItemId, r.Location->VarType, r.Location->LowLink->VarType,
                         PLC1.Monitored.CountWithoutDoubleWords()),
              std::tuple("", VarTypeUI4, VarTypeUI2, 3));

    // Array elements after the first are held at once.
    auto arr = PLCs.ResolveItemId("PLC1.WR0100.arr.3");
    EXPECT_EQ(std::pair(arr.Location->RefCount, PLC1.FindLocation(10, 0x101, false)->RefCount),
              std::pair(0, 1));
    arr.Location->AddRef();
    PLC1.ReleaseElements(*arr.Location, 5); // the holder's count; missing elements are skipped
    EXPECT_EQ(std::pair(arr.Location->RefCount, PLC1.FindLocation(10, 0x102, false)->RefCount),
              std::pair(0, 0));
}

TEST_F(ResolveItemIdTest, NeighbouringDoubleWordsShareAWord) {
    THitachiLocation* dr0 = PLCs.ResolveItemId("PLC1.DR0000").Location;
    THitachiLocation* dr1 = PLCs.ResolveItemId("PLC1.DR0001").Location;
    THitachiLocation* wr1 = PLC1.FindLocation(10, 1, false);
    ASSERT_TRUE(dr0 && dr1 && wr1);
    EXPECT_TRUE(dr0->HighLink == wr1 && dr1->LowLink == wr1 && wr1->RefCount == 2 &&
                PLC1.Monitored.Count() == 5);
    PLC1.FindLocation(10, 0, false)->StoreReadValue(0x0001, 1.0);
    wr1->StoreReadValue(0x0002, 1.0);
    PLC1.FindLocation(10, 2, false)->StoreReadValue(0x0003, 1.0);
    EXPECT_EQ((std::array{dr0->GetValue(), dr1->Value}), (std::array{0x00020001u, 0x00030002u}));
    // Writing the shared word updates both owners.
    wr1->StoreWrittenValue(0xBEEF);
    EXPECT_EQ((std::array{dr0->Value, dr1->Value}), (std::array{0xBEEF0001u, 0x0003BEEFu}));
}

// A location goes at the purge after its last holder left, unless its write is not yet
// answered: a client may remove an item right after writing it.
TEST_F(ResolveItemIdTest, PurgeFollowsReferencesAndPendingWrites) {
    THitachiLocation* l = PLCs.ResolveItemId("PLC1.WR0010").Location;
    l->AddRef();
    l->AddRef();
    PLCs.ResolveItemId("PLC1.M00123"); // validated only: no holder
    EXPECT_EQ(PLC1.Monitored.PurgeUnused(), 1);
    l->Release();
    EXPECT_EQ(PLC1.Monitored.PurgeUnused(), 0);
    l->StoreWrittenValue(0x1234);
    l->Release();
    EXPECT_EQ(std::tuple(PLC1.Monitored.PurgeUnused(), PLC1.Monitored.FindLocation(10, 0x10, false)),
              std::tuple(0, l));
    l->WritePending = false; // answered
    EXPECT_EQ(PLC1.Monitored.PurgeUnused(), 1);

    THitachiLocation* dw = PLCs.ResolveItemId("PLC1.DR0010").Location;
    dw->AddRef();
    dw->StoreWrittenValue(0x00012345u);
    dw->Release();
    EXPECT_EQ(PLC1.Monitored.PurgeUnused(), 0); // pending: itself and both halves stay
    dw->HighLink->WritePending = false;
    dw->LowLink->WritePending = false;
    EXPECT_EQ(PLC1.Monitored.PurgeUnused(), 0); // halves still held by the double word
    dw->WritePending = false;
    // From the last entry: WR0011 is still held, DR0010 goes and lets go of both words,
    // WR0010 (visited after) goes in the same purge, WR0011 in the next.
    EXPECT_EQ(PLC1.Monitored.PurgeUnused(), 2);
    EXPECT_TRUE(PLC1.Monitored.Item(0).LocationName() == "WR0011" &&
                PLC1.Monitored.Item(0).HighLink == nullptr);
    EXPECT_EQ(PLC1.Monitored.PurgeUnused(), 1);
}

TEST_F(ResolveItemIdTest, ServerAndStatusVariables) {
    THitachiLocation* up = PLCs.ResolveItemId("Sys.ServerUpTime").Location;
    ASSERT_NE(up, nullptr);
    EXPECT_EQ(PLCs.ResolveItemId("sys.serveruptime").Location, up);
    EXPECT_EQ(up->ItemId, "sys.serveruptime"); // variables remember the last lookup
    EXPECT_TRUE(up->AccessRights == AccessReadable && up->VarType == VarTypeBstr &&
                PLC1.StatusVar(stComStatus).VarType == VarTypeI4);
    // Names ending in "s" are variable names, not signed suffixes.
    for (auto [id, variable] : {std::pair{"PLC1.ComStatus", &PLC1.StatusVar(stComStatus)},
                                {"Sys.MonitoredLocations", &PLCs.ServerVar(svMonitoredLocations)},
                                {"plc1.numberoftimeouts", &PLC1.StatusVar(stNumberOfTimeouts)}})
        EXPECT_EQ(PLCs.ResolveItemId(id).Location, variable) << id;
    EXPECT_EQ(PLC1.Monitored.Count(), 0);
    // A PLC named "sys" takes precedence over the server variables.
    THitachiPLC& sys = PLCs.AddPLC();
    sys.Name = "SYS";
    EXPECT_EQ(std::tuple(PLCs.ResolveItemId("Sys.ServerUpTime").Location,
                         PLCs.ResolveItemId("Sys.ComInfo").Location),
              std::tuple(nullptr, &sys.StatusVar(stComInfo)));
}

TEST_F(ResolveItemIdTest, IndexErrorsNameLookupAndItemIdParts) {
    EXPECT_THROW(PLC1.Monitored.Item(0), TInvalidPointer);
    EXPECT_THROW(PLC1.StatusVars.Item(-1), TInvalidPointer);
    EXPECT_THROW(PLC1.StatusVars.Item(StatusVarCount), TInvalidPointer);
    EXPECT_THROW(PLCs.PLCByIndex(5), TInvalidPointer);
    EXPECT_STREQ(TInvalidPointer().what(), "Invalid pointer detected");
    TAddressCollection vars;
    THitachiLocation& first = vars.AddVariable("Speed", nullptr, false);
    THitachiLocation& second = vars.AddVariable("SPEED", nullptr, true);
    // The last match wins.
    EXPECT_EQ(std::tuple(vars.FindByName("speed"), vars.IndexOf(&first), vars.FindByName("spee")),
              std::tuple(&second, 0, nullptr));

    auto p = ParseItemId(" PLC1.Group.WR0010s.ARR.4 ");
    EXPECT_EQ(std::to_string(p.Valid) + p.Trimmed + "|" + p.PLCName + "|" + p.Address + "|" + p.RawAddress +
                  "|" + std::to_string(p.Signed) + std::to_string(p.ArrCount) + std::to_string(p.AscCount),
              "1PLC1.Group.WR0010s.ARR.4|plc1|wr0010|wr0010s|14-1");
    EXPECT_FALSE(ParseItemId("nodot").Valid);
    auto asc = ParseItemId("PLC1.DR0000.asc.8");
    EXPECT_EQ((std::array{ElementCountFor(asc, true), ElementCountFor(asc, false)}), (std::array{2LL, 4LL}));
}

} // namespace
} // namespace dravon
