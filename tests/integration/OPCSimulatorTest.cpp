// OPC clients of the program as src/main.cpp composes it, against dravon-plcsim over
// loopback: each value travels the whole road (simulator memory, H-protocol frames, driver
// cycle, locations, the 25 ms server tick, the client's callbacks) and back for writes, in
// real time. What the manual clock already pins (periods, change detection, requested types,
// Refresh2, Cancel2, version-1 streams, rejected writes) is not repeated here.
#include "SimFixture.h"

#include "comm/CommManager.h"
#include "comm/TcpDriver.h"
#include "comm/UdpDriver.h"
#include "opc/ComObject.h"
#include "opc/OPCItem.h"
#include "support/RecordingSink.h"

#include <bit>

namespace dravon {
namespace {

using test::SpinUntil;

constexpr std::uint8_t WR = 0x0A; // memory-type code of WR words
constexpr OPCHANDLE GroupClientHandle = 77;

// A client's IOPCShutdown sink: keeps the reasons it is given.
class TShutdownSink : public TComObject, public IOPCShutdown {
public:
    std::vector<std::string> Reasons;
    HRESULT QueryInterface(const TGuid& iid, IUnknown** object) override {
        if (iid != IUnknown::Iid && iid != IOPCShutdown::Iid) {
            *object = nullptr;
            return E_NOINTERFACE;
        }
        *object = static_cast<IOPCShutdown*>(this);
        AddRef();
        return S_OK;
    }
    std::uint32_t AddRef() override { return AddRefCount(); }
    std::uint32_t Release() override { return ReleaseCount(); }
    HRESULT ShutdownRequest(const std::string& reason) override {
        Reasons.push_back(reason);
        return S_OK;
    }
};

class OPCSimulatorTest : public test::TSimFixture {
protected:
    void SetUp() override {
        Sim = StartSim({Ethernet(TSimTransportKind::Tcp), Ethernet(TSimTransportKind::Udp)});
        ASSERT_TRUE(Sim);
        Program.StorePLC("Sim1", 2, Sim->Port(0));
        Program.StorePLC("Udp1", 1, Sim->Port(1));
        Program.Start();
        ASSERT_EQ(Program.PLCs().Count(), 2);
        Server = Program.Connect();
        ASSERT_TRUE(Server);
        OPCHANDLE handle = 0;
        std::uint32_t revised = 0;
        ASSERT_EQ(Server->AddGroup("G1", 1, 1000, GroupClientHandle, nullptr, nullptr, 1033, handle, revised,
                                   IOPCItemMgt::Iid, Group),
                  S_OK);
        Items = InterfaceOf<IOPCItemMgt>(Group);
        Sync = InterfaceOf<IOPCSyncIO>(Group);
        Async = InterfaceOf<IOPCAsyncIO2>(Group);
        ASSERT_TRUE(Items && Sync && Async);
    }

    // Adds active items that must all succeed, client handles 101, 102, ...
    std::vector<OPCHANDLE> Add(const std::vector<std::pair<std::string, VARTYPE>>& ids,
                               std::vector<TOPCItemResult>* resultsOut = nullptr) {
        std::vector<TOPCItemDef> defs;
        for (const auto& [id, type] : ids) {
            defs.emplace_back();
            defs.back().ItemID = id;
            defs.back().RequestedDataType = type;
            defs.back().ClientHandle = 101 + static_cast<OPCHANDLE>(defs.size() - 1);
            defs.back().Active = 1;
        }
        std::vector<TOPCItemResult> results;
        std::vector<HRESULT> errors;
        EXPECT_EQ(Items->AddItems(defs, results, errors), S_OK);
        std::vector<OPCHANDLE> handles;
        for (const auto& r : results) handles.push_back(r.ServerHandle);
        if (resultsOut) *resultsOut = results;
        return handles;
    }
    void Subscribe() {
        TComPtr<IConnectionPoint> point;
        std::uint32_t cookie = 0;
        ASSERT_EQ(Sink->Advise(Group, point, cookie), S_OK);
    }
    // Puts values into the simulator's WR words from address on.
    void SetWords(std::uint32_t address, std::initializer_list<std::uint16_t> values) {
        for (std::uint16_t v : values) Sim->SetValue(0, WR, address++, v);
    }
    THitachiLocation* Word(std::uint32_t address) {
        return Program.PLCs().PLCByIndex(0).FindLocation(WR, address, false);
    }
    bool WordsRead(std::initializer_list<std::uint32_t> addresses) {
        for (std::uint32_t a : addresses)
            if (!Word(a) || !Word(a)->HasValue) return false;
        return true;
    }

    std::unique_ptr<TPlcSimulator> Sim;
    test::TProgramServer Program;
    TComPtr<test::TRecordingSink> Sink = MakeCom<test::TRecordingSink>();
    TComPtr<IOPCServer> Server;
    TComPtr<IUnknown> Group;
    TComPtr<IOPCItemMgt> Items;
    TComPtr<IOPCSyncIO> Sync;
    TComPtr<IOPCAsyncIO2> Async;
};

TEST_F(OPCSimulatorTest, ValuesOfEveryKindComeByDeviceReadAndACacheReadDoesNotWait) {
    SetWords(0x10, {0x1234, 0xFFFE});
    const std::uint32_t bits = std::bit_cast<std::uint32_t>(1.5f);
    // The low half at the lower address.
    SetWords(0x20, {static_cast<std::uint16_t>(bits & 0xFFFF), static_cast<std::uint16_t>(bits >> 16)});
    SetWords(0x30, {1, 2, 3});
    SetWords(0x40, {0x4142, 0x4344}); // "ABCD"
    SetWords(0x06, {0x0B0B});         // the UDP link reaches the same memory
    const auto h = Add({{"Sim1.WR0010", VT_EMPTY},
                        {"Sim1.WR0011s", VT_EMPTY},
                        {"Sim1.DR0020", VT_R4},
                        {"Sim1.WR0030.arr.3", VT_EMPTY},
                        {"Sim1.WR0040.asc.4", VT_EMPTY},
                        {"Sim1.ComStatus", VT_EMPTY},
                        {"Sys.ClientsConnected", VT_EMPTY},
                        {"Udp1.WR0006", VT_EMPTY}});
    ASSERT_EQ(h.size(), 8u);
    ASSERT_NE(dynamic_cast<TTcpDriver*>(Program.PLCs().PLCByIndex(0).Driver), nullptr);
    ASSERT_NE(dynamic_cast<TUdpDriver*>(Program.PLCs().PLCByIndex(1).Driver), nullptr);

    // A device read waits until every location was read since the call.
    std::vector<TOPCItemState> states;
    std::vector<HRESULT> errors;
    ASSERT_EQ(Sync->Read(OPC_DS_DEVICE, h, states, errors), S_OK);
    EXPECT_EQ(errors, std::vector<HRESULT>(8, S_OK));
    const std::vector<TVariant> expected{
        TVariant::UI2(0x1234),
        TVariant::I2(-2),
        TVariant::R4(1.5f),
        TVariant::Array(VT_UI2, {TVariant::UI2(1), TVariant::UI2(2), TVariant::UI2(3)}),
        TVariant::Bstr("ABCD"),
        TVariant::I4(1), // connected
        TVariant::I4(1), // this client
        TVariant::UI2(0x0B0B)};
    for (std::size_t i = 0; i < states.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(states[i].Value, expected[i]);
        EXPECT_EQ(states[i].Quality, QualityGood);
        EXPECT_EQ(states[i].ClientHandle, 101u + i);
        EXPECT_NE(states[i].TimeStamp.ToUInt64(), 0u);
    }

    // A cache read gives what the location holds; the next device read brings the new value.
    ASSERT_EQ(Items->SetActiveState(h, 0, errors), S_OK);
    ASSERT_TRUE(SpinUntil([&] { return !Word(0x10)->ReadRequested; }, 3000)); // no poll under way
    Sim->SetValue(0, WR, 0x10, 0x4321);
    ASSERT_EQ(Sync->Read(OPC_DS_CACHE, {h[0]}, states, errors), S_OK);
    EXPECT_EQ(states[0].Value, TVariant::UI2(0x1234));
    ASSERT_EQ(Sync->Read(OPC_DS_DEVICE, {h[0]}, states, errors), S_OK);
    EXPECT_EQ(states[0].Value, TVariant::UI2(0x4321));
}

TEST_F(OPCSimulatorTest, WritesReachTheSimulatorAndAsyncCompletesOnceThePlcHoldsTheValue) {
    const auto h = Add({{"Sim1.WR0050", VT_EMPTY},
                        {"Sim1.WR0051s", VT_EMPTY},
                        {"Sim1.DR0052", VT_R4},
                        {"Sim1.WR0060.asc.4", VT_EMPTY},
                        {"Sys.ClientsConnected", VT_EMPTY},
                        {"Sim1.WR0054", VT_EMPTY}});
    ASSERT_TRUE(SpinUntil([&] { return WordsRead({0x50, 0x51, 0x54, 0x60}); }));
    std::vector<HRESULT> errors;
    ASSERT_EQ(Sync->Write(h,
                          {TVariant::I4(0x5A5A), TVariant::I4(-3), TVariant::R4(2.5f), TVariant::Bstr("OPCX"),
                           TVariant::I4(9), TVariant::R8(5.0)},
                          errors),
              S_FALSE);
    EXPECT_EQ(errors, (std::vector<HRESULT>{S_OK, S_OK, S_OK, S_OK, OPC_E_BADRIGHTS, S_OK}));
    const std::uint32_t bits = std::bit_cast<std::uint32_t>(2.5f);
    ASSERT_TRUE(
        SpinUntil([&] { return Sim->Value(0, WR, 0x50) == 0x5A5A && Sim->Value(0, WR, 0x61) == 0x4358; }));
    EXPECT_EQ(Sim->Value(0, WR, 0x51), 0xFFFDu);
    EXPECT_EQ(Sim->Value(0, WR, 0x52), bits & 0xFFFF);
    EXPECT_EQ(Sim->Value(0, WR, 0x53), bits >> 16);
    EXPECT_EQ(Sim->Value(0, WR, 0x60), 0x4F50u); // "OP"
    EXPECT_EQ(Sim->Value(0, WR, 0x54), 5u);      // a float into a word is its number
    ASSERT_TRUE(SpinUntil([&] { return !Word(0x50)->WritePending; }, 3000));

    // OnWriteComplete only once the PLC has confirmed: its memory holds the value by then.
    Subscribe();
    ASSERT_EQ(Async->SetEnable(0), S_OK); // no subscription traffic in the way
    std::uint16_t simValueAtCompletion = 0;
    Sink->OnCall = [&](const test::TDataCall& call) {
        if (call.Kind == "write") simValueAtCompletion = Sim->Value(0, WR, 0x50);
    };
    std::uint32_t cancel = 0;
    ASSERT_EQ(Async->Write({h[0], 0xBADu}, {TVariant::I4(777), TVariant::I4(1)}, 4711, cancel, errors),
              S_FALSE);
    EXPECT_EQ(errors, (std::vector<HRESULT>{S_OK, OPC_E_UNKNOWNITEMID}));
    ASSERT_TRUE(SpinUntil([&] { return Sink->Count("write") == 1; }));
    const test::TDataCall& w = Sink->Last("write");
    EXPECT_EQ(std::tie(w.TransactionID, w.MasterError, w.Clients),
              std::tuple(4711u, S_OK, std::vector<OPCHANDLE>{101}));
    EXPECT_EQ(simValueAtCompletion, 777);
}

TEST_F(OPCSimulatorTest, ASilentPlcTimesOutAWriteFailsButStaysItIsRestoredAndShutDownNamesUnsentWrites) {
    auto shutdown = MakeCom<TShutdownSink>();
    auto container = Server.As<IConnectionPointContainer>();
    ASSERT_TRUE(container);
    TComPtr<IConnectionPoint> point;
    ASSERT_EQ(container->FindConnectionPoint(IOPCShutdown::Iid, point), S_OK);
    std::uint32_t cookie = 0;
    ASSERT_EQ(point->Advise(static_cast<IOPCShutdown*>(shutdown.Get()), cookie), S_OK);
    Sim->SetValue(0, WR, 0x70, 700);
    const auto h = Add({{"Sim1.WR0070", VT_I4}});
    ASSERT_TRUE(SpinUntil([&] { return WordsRead({0x70}); }));
    Subscribe();
    ASSERT_TRUE(SpinUntil([&] { return Sink->Count("data") == 1; }, 2500));
    const test::TDataCall c = Sink->Calls[0];
    EXPECT_EQ(std::tie(c.TransactionID, c.Group, c.Clients, c.Values, c.Qualities),
              std::tuple(0u, GroupClientHandle, std::vector<OPCHANDLE>{101}, std::vector{TVariant::I4(700)},
                         std::vector<std::uint16_t>{QualityGood}));
    Sim->SetPower(false);
    ASSERT_TRUE(SpinUntil([&] { return Program.PLCs().PLCByIndex(0).TimedOutState; }, 10000));
    EXPECT_EQ(Program.Capture.CountStartingWith("PLC Sim1 timed out at "), 1);
    // The next report carries the same value with a worse quality.
    ASSERT_TRUE(SpinUntil([&] { return Sink->Last("data").MasterQuality == S_FALSE; }, 3000));
    EXPECT_EQ(Sink->Last("data").Values, std::vector{TVariant::I4(700)});
    EXPECT_NE(Sink->Last("data").Qualities, std::vector<std::uint16_t>{QualityGood});
    // A write to it cannot wait for the PLC: the client is told it failed, not S_OK.
    std::uint32_t cancel = 0;
    std::vector<HRESULT> errors;
    ASSERT_EQ(Async->Write({h[0]}, {TVariant::I4(0x7070)}, 70, cancel, errors), S_OK);
    ASSERT_TRUE(SpinUntil([&] { return Sink->Count("write") == 1; }, 3000));
    EXPECT_EQ(std::tie(Sink->Last("write").Errors, Sink->Last("write").MasterError),
              std::tuple(std::vector<HRESULT>{E_FAIL}, S_FALSE));
    EXPECT_TRUE(Word(0x70)->WritePending);
    // Back on: restored, and the value is not lost.
    Sim->SetPower(true);
    ASSERT_TRUE(
        SpinUntil([&] { return Sim->Value(0, WR, 0x70) == 0x7070u && !Word(0x70)->WritePending; }, 15000));
    EXPECT_EQ(Program.Capture.CountStartingWith("PLC Sim1 restored at "), 1);
    EXPECT_EQ(Sink->Count("write"), 1);

    // A write the client was told had succeeded, still pending at the shut-down, is named;
    // the client is asked to stop and the drivers are freed.
    Sim->SetPower(false);
    Word(0x70)->StoreWrittenValue(1);
    Program.Shutdown();
    EXPECT_EQ(shutdown->Reasons, std::vector<std::string>{"Dravon server is shutting down"});
    EXPECT_EQ(Program.Capture.CountStartingWith("1 writes to PLC Sim1 were not sent"), 1);
    EXPECT_EQ(Program.Capture.CountStartingWith("1 writes to PLC Udp1"), 0);
    EXPECT_EQ(Program.Core->Context().PLCs, nullptr);
    EXPECT_EQ(Program.Communication->Manager(), nullptr);
}

} // namespace
} // namespace dravon
