// An OPC client of the program as src/main.cpp composes it, against dravon-plcsim over
// loopback: values travel the whole road (simulator memory, H-protocol frames over TCP and
// UDP, driver cycle, locations, the 25 ms server tick, the client's callbacks) and back for
// writes, in real time, through a time-out, a restore and the shut-down. What the manual
// clock already pins (item kinds and requested types, cache reads, periods, change
// detection, write refusals, completions, Refresh2, Cancel2, version-1 streams) is not
// repeated here.
#include "SimFixture.h"

#include "comm/CommManager.h"
#include "comm/TcpDriver.h"
#include "comm/UdpDriver.h"
#include "opc/OPCItem.h"
#include "support/RecordingSink.h"

namespace dravon {
namespace {

using test::SpinUntil;

constexpr std::uint8_t WR = 0x0A; // memory-type code of WR words
constexpr OPCHANDLE GroupClientHandle = 77;

class OPCSimulatorTest : public test::TSimFixture {};

TEST_F(OPCSimulatorTest, ValuesAndWritesTravelTheWholeRoadThroughATimeOutARestoreAndTheShutDown) {
    auto sim = StartSim({Ethernet(TSimTransportKind::Tcp), Ethernet(TSimTransportKind::Udp)});
    ASSERT_TRUE(sim);
    sim->SetValue(0, WR, 0x70, 700);
    sim->SetValue(0, WR, 0x06, 0x0B0B); // the UDP link reaches the same memory
    test::TProgramServer program;
    program.StorePLC("Sim1", 2, sim->Port(0));
    program.StorePLC("Udp1", 1, sim->Port(1));
    program.Start();
    ASSERT_EQ(program.PLCs().Count(), 2);
    ASSERT_NE(dynamic_cast<TTcpDriver*>(program.PLCs().PLCByIndex(0).Driver), nullptr);
    auto* udp = dynamic_cast<TUdpDriver*>(program.PLCs().PLCByIndex(1).Driver);
    ASSERT_NE(udp, nullptr);
    // Without "Local UDP port same as PLC" the system picks the local port.
    EXPECT_NE(udp->Udp().LocalPort(), sim->Port(1));
    TComPtr<IOPCServer> server = program.Connect();
    ASSERT_TRUE(server);
    auto sink = MakeCom<test::TRecordingSink>(); // its data callback, its shutdown request
    auto container = server.As<IConnectionPointContainer>();
    ASSERT_TRUE(container);
    TComPtr<IConnectionPoint> point;
    ASSERT_EQ(container->FindConnectionPoint(IOPCShutdown::Iid, point), S_OK);
    std::uint32_t cookie = 0;
    ASSERT_EQ(point->Advise(static_cast<IOPCShutdown*>(sink.Get()), cookie), S_OK);

    OPCHANDLE handle = 0;
    std::uint32_t revised = 0;
    TComPtr<IUnknown> group;
    ASSERT_EQ(server->AddGroup("G1", 1, 1000, GroupClientHandle, nullptr, nullptr, 1033, handle, revised,
                               IOPCItemMgt::Iid, group),
              S_OK);
    auto items = InterfaceOf<IOPCItemMgt>(group);
    auto sync = InterfaceOf<IOPCSyncIO>(group);
    auto async = InterfaceOf<IOPCAsyncIO2>(group);
    ASSERT_TRUE(items && sync && async);
    // Active items with client handles 101, 102, ...
    auto defsOf = [](std::vector<std::pair<const char*, VARTYPE>> ids) {
        std::vector<TOPCItemDef> defs(ids.size());
        for (std::size_t i = 0; i < defs.size(); ++i)
            defs[i] = {"", ids[i].first, 1, static_cast<OPCHANDLE>(101 + i), {}, ids[i].second};
        return defs;
    };
    std::vector<TOPCItemResult> results;
    std::vector<HRESULT> errors;
    ASSERT_EQ(items->AddItems(defsOf({{"Sim1.WR0070", VT_I4},
                                      {"Udp1.WR0006", VT_EMPTY},
                                      {"Sim1.ComStatus", VT_EMPTY},
                                      {"Sys.ClientsConnected", VT_EMPTY}}),
                              results, errors),
              S_OK);
    std::vector<OPCHANDLE> h;
    for (const auto& result : results) h.push_back(result.ServerHandle);

    THitachiLocation* word = program.PLCs().PLCByIndex(0).FindLocation(WR, 0x70, false);
    THitachiLocation* udpWord = program.PLCs().PLCByIndex(1).FindLocation(WR, 0x06, false);
    ASSERT_TRUE(word && udpWord);
    ASSERT_TRUE(SpinUntil([&] { return word->HasValue && udpWord->HasValue; }));
    // The client count is not written.
    ASSERT_EQ(sync->Write({h[3]}, {TVariant::I4(9)}, errors), S_FALSE);
    EXPECT_EQ(errors, std::vector<HRESULT>{OPC_E_BADRIGHTS});
    // A device read waits until every location was read again since the call.
    std::vector<TOPCItemState> states;
    ASSERT_EQ(sync->Read(OPC_DS_DEVICE, h, states, errors), S_OK);
    // ComStatus 1: connected; one client.
    const std::vector<TVariant> values{TVariant::I4(700), TVariant::UI2(0x0B0B), TVariant::I4(1),
                                       TVariant::I4(1)};
    ASSERT_EQ(states.size(), values.size());
    for (std::size_t i = 0; i < states.size(); ++i)
        EXPECT_EQ(std::tuple(states[i].Value, states[i].Quality, states[i].ClientHandle,
                             states[i].TimeStamp.ToUInt64() != 0, errors[i]),
                  std::tuple(values[i], QualityGood, 101u + i, true, S_OK))
            << i;
    TComPtr<IConnectionPoint> dataPoint;
    ASSERT_EQ(sink->Advise(group, dataPoint, cookie), S_OK);
    ASSERT_TRUE(SpinUntil([&] { return sink->Count("data") == 1; }, 2500));
    const test::TDataCall c = sink->Calls[0];
    EXPECT_EQ(std::tie(c.TransactionID, c.Group, c.Clients, c.Values, c.Qualities),
              std::tuple(0u, GroupClientHandle, std::vector<OPCHANDLE>{101, 102, 103, 104}, values,
                         std::vector<std::uint16_t>(4, QualityGood)));

    sim->SetPower(false);
    ASSERT_TRUE(SpinUntil([&] { return program.PLCs().PLCByIndex(0).TimedOutState; }, 10000));
    EXPECT_EQ(program.Capture.CountStartingWith("PLC Sim1 timed out at "), 1);
    // The next report carries the same value with a worse quality.
    ASSERT_TRUE(SpinUntil([&] { return sink->Last("data").MasterQuality == S_FALSE; }, 3000));
    EXPECT_EQ(sink->Last("data").Values[0], TVariant::I4(700));
    EXPECT_NE(sink->Last("data").Qualities[0], QualityGood);
    // A write to it cannot wait for the PLC: the client is told it failed, not S_OK.
    std::uint32_t cancel = 0;
    ASSERT_EQ(async->Write({h[0], 0xBADu}, {TVariant::I4(0x7070), TVariant::I4(1)}, 70, cancel, errors),
              S_FALSE);
    EXPECT_EQ(errors, (std::vector<HRESULT>{S_OK, OPC_E_UNKNOWNITEMID}));
    ASSERT_TRUE(SpinUntil([&] { return sink->Count("write") == 1; }, 3000));
    EXPECT_EQ(std::tie(sink->Last("write").Errors, sink->Last("write").MasterError),
              std::tuple(std::vector<HRESULT>{E_FAIL}, S_FALSE));
    EXPECT_TRUE(word->WritePending);
    // Back on: restored, and the value is not lost.
    sim->SetPower(true);
    ASSERT_TRUE(SpinUntil([&] { return sim->Value(0, WR, 0x70) == 0x7070u && !word->WritePending; }, 15000));
    EXPECT_EQ(program.Capture.CountStartingWith("PLC Sim1 restored at "), 1);
    EXPECT_EQ(sink->Count("write"), 1);

    // A bit written TRUE (all bits set) is 1 in the PLC, which refuses any other bit data; a
    // write the PLC rejects ends with an error for its item and goes out once.
    ASSERT_EQ(
        items->AddItems(defsOf({{"Sim1.M00020", VT_EMPTY}, {"Sim1.WR0090", VT_EMPTY}}), results, errors),
        S_OK);
    ASSERT_EQ(sync->Write({results[0].ServerHandle}, {TVariant::Bool(true)}, errors), S_OK);
    THitachiLocation* bit = program.PLCs().PLCByIndex(0).FindLocation(0x04, 0x20, false);
    ASSERT_NE(bit, nullptr);
    ASSERT_TRUE(SpinUntil([&] { return sim->Value(0, 0x04, 0x20) == 1 && !bit->WritePending; }, 3000));
    EXPECT_FALSE(bit->AddressError);
    TSimFaults faults;
    faults.RejectWrites = true;
    sim->SetFaults(faults);
    const TSimStats before = sim->Stats();
    ASSERT_EQ(async->Write({results[1].ServerHandle}, {TVariant::I4(0x9090)}, 90, cancel, errors), S_OK);
    ASSERT_TRUE(SpinUntil([&] { return sink->Count("write") == 2; }, 3000));
    EXPECT_EQ(std::tie(sink->Last("write").TransactionID, sink->Last("write").Errors,
                       sink->Last("write").MasterError),
              std::tuple(90u, std::vector<HRESULT>{E_FAIL}, S_FALSE));
    // Polling goes on; the rejected value is not sent again.
    ASSERT_TRUE(SpinUntil([&] { return sim->Stats().Requests() > before.Requests() + 5; }, 3000));
    EXPECT_EQ(std::tuple(sim->Stats().RandomWrites - before.RandomWrites,
                         sim->Stats().Rejections - before.Rejections, sim->Value(0, WR, 0x90) != 0x9090u,
                         sink->Count("write")),
              std::tuple(1u, 1u, true, 2));
    sim->SetFaults(TSimFaults{});

    // A write the client was told had succeeded, still pending at the shut-down, is named;
    // the client is asked to stop and the drivers are freed.
    sim->SetPower(false);
    word->StoreWrittenValue(1);
    program.Shutdown();
    EXPECT_EQ(sink->Reasons, std::vector<std::string>{"Dravon server is shutting down"});
    EXPECT_EQ(program.Capture.CountStartingWith("1 writes to PLC Sim1 were not sent"), 1);
    EXPECT_EQ(program.Capture.CountStartingWith("1 writes to PLC Udp1"), 0);
    EXPECT_EQ(program.Core->Context().PLCs, nullptr);
    EXPECT_EQ(program.Communication->Manager(), nullptr);
}

} // namespace
} // namespace dravon
