// OPC Data Access clients against dravon-plcsim over loopback TCP: a server object made
// through the class factory, groups and items added as a client adds them, and every value
// travelling the whole road (simulator memory, H-protocol frames, driver cycle, locations,
// the 25 ms server tick, the client's callbacks) and back for writes. Time is real; each
// wait spins the Qt event loop with a bound.
#include "PlcSimulator.h"
#include "support/QtApplication.h"

#include "app/CommandLine.h"
#include "app/KeyValueStore.h"
#include "app/MemoryStore.h"
#include "comm/CommManager.h"
#include "opc/ComObject.h"
#include "opc/ComPtr.h"
#include "opc/DA2ClassFactory.h"
#include "opc/HResult.h"
#include "opc/OPCDAConnectionCollection.h"
#include "opc/OPCDataStream.h"
#include "opc/OPCInterfaces.h"
#include "opc/OPCItem.h"
#include "platform/QtClock.h"
#include "platform/QtEventLoop.h"
#include "platform/QtHostResolver.h"
#include "platform/QtTimerFactory.h"
#include "platform/QtTransportFactory.h"
#include "plc/HitachiLocation.h"
#include "plc/HitachiPLC.h"
#include "plc/PLCCollection.h"
#include "server/Communication.h"
#include "server/ServerCore.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <bit>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace dravon {
namespace {

constexpr std::uint8_t WR = 0x0A; // memory-type code of WR words
constexpr OPCHANDLE GroupClientHandle = 77;

bool SpinUntil(const std::function<bool()>& condition, int boundMs) {
    QElapsedTimer timer;
    timer.start();
    while (!condition()) {
        if (timer.elapsed() > boundMs) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    return true;
}

// Lets the loop run for a while: used only to show that nothing more arrives.
void SpinFor(int ms) {
    SpinUntil([] { return false; }, ms);
}

struct TDataCall {
    std::string Kind;
    std::uint32_t TransactionID = 0;
    OPCHANDLE Group = 0;
    HRESULT MasterQuality = S_OK;
    HRESULT MasterError = S_OK;
    std::vector<OPCHANDLE> Clients;
    std::vector<TVariant> Values;
    std::vector<std::uint16_t> Qualities;
    std::vector<TFileTime> Times;
    std::vector<HRESULT> Errors;
    qint64 AtMs = 0;
};

// The client's IOPCDataCallback: records every call.
class TClientSink : public TComObject, public IOPCDataCallback {
public:
    std::vector<TDataCall> Calls;
    std::function<void(const TDataCall&)> OnCall;
    QElapsedTimer Clock;

    TClientSink() { Clock.start(); }

    HRESULT QueryInterface(const TGuid& iid, IUnknown** object) override {
        if (iid == IUnknown::Iid || iid == IOPCDataCallback::Iid) {
            *object = static_cast<IOPCDataCallback*>(this);
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    std::uint32_t AddRef() override { return AddRefCount(); }
    std::uint32_t Release() override { return ReleaseCount(); }

    HRESULT OnDataChange(std::uint32_t tid, OPCHANDLE group, HRESULT mq, HRESULT me,
                         const std::vector<OPCHANDLE>& clients, const std::vector<TVariant>& values,
                         const std::vector<std::uint16_t>& qualities, const std::vector<TFileTime>& times,
                         const std::vector<HRESULT>& errors) override {
        return Record({"data", tid, group, mq, me, clients, values, qualities, times, errors});
    }
    HRESULT OnReadComplete(std::uint32_t tid, OPCHANDLE group, HRESULT mq, HRESULT me,
                           const std::vector<OPCHANDLE>& clients, const std::vector<TVariant>& values,
                           const std::vector<std::uint16_t>& qualities, const std::vector<TFileTime>& times,
                           const std::vector<HRESULT>& errors) override {
        return Record({"read", tid, group, mq, me, clients, values, qualities, times, errors});
    }
    HRESULT OnWriteComplete(std::uint32_t tid, OPCHANDLE group, HRESULT me,
                            const std::vector<OPCHANDLE>& clients,
                            const std::vector<HRESULT>& errors) override {
        return Record({"write", tid, group, S_OK, me, clients, {}, {}, {}, errors});
    }
    HRESULT OnCancelComplete(std::uint32_t tid, OPCHANDLE group) override {
        return Record({"cancel", tid, group, S_OK, S_OK, {}, {}, {}, {}, {}});
    }

    int Count(const std::string& kind) const {
        int n = 0;
        for (const auto& c : Calls) n += c.Kind == kind;
        return n;
    }
    const TDataCall* Last(const std::string& kind) const {
        for (auto it = Calls.rbegin(); it != Calls.rend(); ++it)
            if (it->Kind == kind) return &*it;
        return nullptr;
    }

private:
    HRESULT Record(TDataCall call) {
        call.AtMs = Clock.elapsed();
        Calls.push_back(std::move(call));
        if (OnCall) OnCall(Calls.back());
        return S_OK;
    }
};

// A version-1 client's IAdviseSink: keeps every stream.
class TStreamSink : public TComObject, public IAdviseSink {
public:
    std::vector<std::pair<std::uint16_t, std::vector<std::uint8_t>>> Streams;
    HRESULT QueryInterface(const TGuid& iid, IUnknown** object) override {
        if (iid == IUnknown::Iid || iid == IAdviseSink::Iid) {
            *object = static_cast<IAdviseSink*>(this);
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    std::uint32_t AddRef() override { return AddRefCount(); }
    std::uint32_t Release() override { return ReleaseCount(); }
    void OnDataChange(const TFormatEtc& format, const TStgMedium& medium) override {
        Streams.emplace_back(format.ClipFormat, medium.Global);
    }
};

std::uint32_t U32(const std::vector<std::uint8_t>& b, std::size_t at) {
    std::uint32_t v = 0;
    std::memcpy(&v, b.data() + at, 4);
    return v;
}
std::uint16_t U16(const std::vector<std::uint8_t>& b, std::size_t at) {
    std::uint16_t v = 0;
    std::memcpy(&v, b.data() + at, 2);
    return v;
}
std::uint64_t U64(const std::vector<std::uint8_t>& b, std::size_t at) {
    std::uint64_t v = 0;
    std::memcpy(&v, b.data() + at, 8);
    return v;
}

class OPCSimulatorTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { test::TQtApplication::Create(); }
    static void TearDownTestSuite() {
        FlushDeferredDeletes();
        test::TQtApplication::Destroy();
    }
    static void FlushDeferredDeletes() {
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

    void SetUp() override {
        ASSERT_TRUE(Home.isValid());
        TSimTransportConfig tcp;
        tcp.Kind = TSimTransportKind::Tcp;
        tcp.Port = 0;
        Sim = std::make_unique<TPlcSimulator>(std::vector<TSimTransportConfig>{tcp});
        std::string error;
        ASSERT_TRUE(Sim->Start(&error)) << error;

        // One TCP PLC on loopback, as the configuration window stores it. A short time-out
        // keeps the switched-off case brief.
        auto key = Store.OpenKey(TRootKey::LocalMachine, PLCListKeyPath);
        ASSERT_TRUE(key);
        key->WriteDword("Count", 1);
        key->WriteString("PLCName0", "Sim1");
        key->WriteString("PLCIP0", "127.0.0.1");
        key->WriteDword("PLCTcpPort0", Sim->Port(0));
        key->WriteDword("ProtocolType0", 3);
        key->WriteDword("DrvType0", 2);
        key->WriteDword("TimeOut0", 300);

        const std::string dir = QDir(Home.path()).absolutePath().toStdString() + "/";
        Core = std::make_unique<TServerCore>(TServerSeams{&Clock, &Loop, &Timers, &Store, dir},
                                             TCommandLine{}, "1.0.0.0");
        Transports = std::make_unique<TQtTransportFactory>(Core->Context());
        Communication = std::make_unique<TCommunication>(*Core, *Transports, &Resolver);
        Connections = std::make_unique<TOPCDAConnectionCollection>(Core->Context());
        // The server and status variables are stored on the core's refresh, as the program does.
        Core->RefreshHooks.push_back([this] {
            if (Core && Core->Context().PLCs && Connections)
                Core->Context().PLCs->RefreshVariables(static_cast<int>(Connections->Count()));
        });
        Core->Startup();
        ASSERT_NE(Core->Context().PLCs, nullptr);
        ASSERT_EQ(Core->Context().PLCs->Count(), 1);
        Connections->Start();

        Factory = MakeCom<TDA2ClassFactory>(Core->Context(), *Connections);
        TComPtr<IUnknown> unknown;
        ASSERT_EQ(Factory->CreateInstance(nullptr, IOPCServer::Iid, unknown), S_OK);
        Server = InterfaceOf<IOPCServer>(unknown);
        ASSERT_TRUE(Server);
        std::uint32_t revised = 0;
        ASSERT_EQ(Server->AddGroup("G1", 1, 1000, GroupClientHandle, nullptr, nullptr, 1033, GroupHandle,
                                   revised, IOPCItemMgt::Iid, Group),
                  S_OK);
        EXPECT_EQ(revised, 1000u);
        Items = InterfaceOf<IOPCItemMgt>(Group);
        Sync = InterfaceOf<IOPCSyncIO>(Group);
        Async = InterfaceOf<IOPCAsyncIO2>(Group);
        ASSERT_TRUE(Items && Sync && Async);
    }

    void TearDown() override {
        // The client lets go first; then the server objects, the core and the simulator.
        Async = nullptr;
        Sync = nullptr;
        Items = nullptr;
        Group = nullptr;
        Server = nullptr;
        Factory = nullptr;
        Connections.reset();
        if (Core) Core->Shutdown();
        Communication.reset();
        Transports.reset();
        Core.reset();
        FlushDeferredDeletes();
        Sim.reset();
    }

    TSettings& Settings() { return Core->Context().Settings; }

    // Adds items that must all succeed; returns their server handles.
    std::vector<OPCHANDLE> Add(const std::vector<std::pair<std::string, VARTYPE>>& ids,
                               std::vector<TOPCItemResult>* resultsOut = nullptr) {
        std::vector<TOPCItemDef> defs;
        OPCHANDLE client = 100;
        for (const auto& [id, type] : ids) {
            TOPCItemDef def;
            def.ItemID = id;
            def.RequestedDataType = type;
            def.ClientHandle = ++client;
            def.Active = 1;
            defs.push_back(def);
        }
        std::vector<TOPCItemResult> results;
        std::vector<HRESULT> errors;
        EXPECT_EQ(Items->AddItems(defs, results, errors), S_OK);
        std::vector<OPCHANDLE> handles;
        for (const auto& r : results) handles.push_back(r.ServerHandle);
        if (resultsOut) *resultsOut = results;
        return handles;
    }

    void Subscribe(TClientSink& sink) {
        auto container = InterfaceOf<IConnectionPointContainer>(Group);
        ASSERT_TRUE(container);
        TComPtr<IConnectionPoint> point;
        ASSERT_EQ(container->FindConnectionPoint(IOPCDataCallback::Iid, point), S_OK);
        std::uint32_t cookie = 0;
        ASSERT_EQ(point->Advise(static_cast<IOPCDataCallback*>(&sink), cookie), S_OK);
    }

    THitachiLocation* Word(std::uint32_t address) {
        return Core->Context().PLCs->PLCByIndex(0).FindLocation(WR, address, false);
    }
    // Every listed word has been read from the simulator at least once.
    bool WordsRead(const std::vector<std::uint32_t>& addresses) {
        for (std::uint32_t a : addresses) {
            const THitachiLocation* l = Word(a);
            if (!l || !l->HasValue) return false;
        }
        return true;
    }

    // No poll of these words is under way: a device read asked for after this cannot be
    // answered by a request that left before it. Their items must be inactive (or their
    // group), or the next update period asks for them again.
    bool NoReadUnderWay(const std::vector<std::uint32_t>& addresses) {
        return SpinUntil(
            [&] {
                for (std::uint32_t a : addresses)
                    if (Word(a)->ReadRequested) return false;
                return true;
            },
            3000);
    }

    QTemporaryDir Home;
    std::unique_ptr<TPlcSimulator> Sim;
    TQtClock Clock;
    TQtEventLoop Loop;
    TQtTimerFactory Timers;
    TMemoryStore Store;
    TQtHostResolver Resolver;
    std::unique_ptr<TServerCore> Core;
    std::unique_ptr<TQtTransportFactory> Transports;
    std::unique_ptr<TCommunication> Communication;
    std::unique_ptr<TOPCDAConnectionCollection> Connections;
    TComPtr<TDA2ClassFactory> Factory;
    TComPtr<IOPCServer> Server;
    TComPtr<IUnknown> Group;
    OPCHANDLE GroupHandle = 0;
    TComPtr<IOPCItemMgt> Items;
    TComPtr<IOPCSyncIO> Sync;
    TComPtr<IOPCAsyncIO2> Async;
};

TEST_F(OPCSimulatorTest, ItemsOfEveryKindReadFromTheSimulatorByCacheAndDevice) {
    Sim->SetValue(0, WR, 0x10, 0x1234);
    Sim->SetValue(0, WR, 0x11, 0xFFFE);
    const std::uint32_t bits = std::bit_cast<std::uint32_t>(1.5f);
    Sim->SetValue(0, WR, 0x20, static_cast<std::uint16_t>(bits & 0xFFFF)); // low half at the lower address
    Sim->SetValue(0, WR, 0x21, static_cast<std::uint16_t>(bits >> 16));
    Sim->SetValue(0, WR, 0x30, 1);
    Sim->SetValue(0, WR, 0x31, 2);
    Sim->SetValue(0, WR, 0x32, 3);
    Sim->SetValue(0, WR, 0x40, 0x4142); // "AB"
    Sim->SetValue(0, WR, 0x41, 0x4344); // "CD"

    std::vector<TOPCItemResult> results;
    const auto h = Add({{"Sim1.WR0010", VT_EMPTY},
                        {"Sim1.WR0011s", VT_EMPTY},
                        {"Sim1.DR0020", VT_R4},
                        {"Sim1.WR0030.arr.3", VT_EMPTY},
                        {"Sim1.WR0040.asc.4", VT_EMPTY},
                        {"Sim1.Name", VT_EMPTY},
                        {"Sim1.ComStatus", VT_EMPTY},
                        {"Sys.ClientsConnected", VT_EMPTY}},
                       &results);
    ASSERT_EQ(h.size(), 8u);
    EXPECT_EQ(results[0].CanonicalDataType, VT_UI2);
    EXPECT_EQ(results[1].CanonicalDataType, VT_I2);
    EXPECT_EQ(results[3].CanonicalDataType, VT_UI2 | VT_ARRAY);
    EXPECT_EQ(results[5].CanonicalDataType, VT_BSTR);
    EXPECT_EQ(results[0].AccessRights, OPC_READABLE | OPC_WRITEABLE);
    EXPECT_EQ(results[7].AccessRights, OPC_READABLE);

    // A device read waits until every location was read since the call.
    std::vector<TOPCItemState> states;
    std::vector<HRESULT> errors;
    ASSERT_EQ(Sync->Read(OPC_DS_DEVICE, h, states, errors), S_OK);
    EXPECT_EQ(errors, std::vector<HRESULT>(8, S_OK));
    EXPECT_EQ(states[0].Value, TVariant::UI2(0x1234));
    EXPECT_EQ(states[1].Value, TVariant::I2(-2));
    EXPECT_EQ(states[2].Value, TVariant::R4(1.5f));
    EXPECT_EQ(states[3].Value,
              TVariant::Array(VT_UI2, {TVariant::UI2(1), TVariant::UI2(2), TVariant::UI2(3)}));
    EXPECT_EQ(states[4].Value, TVariant::Bstr("ABCD"));
    EXPECT_EQ(states[5].Value, TVariant::Bstr("Sim1"));
    EXPECT_EQ(states[6].Value, TVariant::I4(1)); // connected
    EXPECT_EQ(states[7].Value, TVariant::I4(1)); // this client
    for (std::size_t i = 0; i < states.size(); ++i) {
        EXPECT_EQ(states[i].Quality, QualityGood) << i;
        EXPECT_EQ(states[i].ClientHandle, 101u + i) << i;
        EXPECT_NE(states[i].TimeStamp.ToUInt64(), 0u) << i;
    }

    // A cache read gives what the locations hold, without waiting for the PLC.
    ASSERT_EQ(Items->SetActiveState(h, 0, errors), S_OK);
    ASSERT_TRUE(NoReadUnderWay({0x10}));
    Sim->SetValue(0, WR, 0x10, 0x4321);
    ASSERT_EQ(Sync->Read(OPC_DS_CACHE, {h[0], 0xBADu}, states, errors), S_FALSE);
    EXPECT_EQ(errors, (std::vector<HRESULT>{S_OK, OPC_E_INVALIDHANDLE}));
    EXPECT_EQ(states[0].Value, TVariant::UI2(0x1234));
    // The next device read brings the simulator's new value.
    ASSERT_EQ(Sync->Read(OPC_DS_DEVICE, {h[0]}, states, errors), S_OK);
    EXPECT_EQ(states[0].Value, TVariant::UI2(0x4321));
}

TEST_F(OPCSimulatorTest, SubscriptionSendsOnceWhileStillThenChangesThenQualityWhenThePlcFallsSilent) {
    Sim->SetValue(0, WR, 0x10, 500);
    Sim->SetValue(0, WR, 0x11, 600);
    const auto h = Add({{"Sim1.WR0010", VT_EMPTY}, {"Sim1.WR0011", VT_I4}});
    ASSERT_TRUE(SpinUntil([&] { return WordsRead({0x10, 0x11}); }, 5000));

    auto sink = MakeCom<TClientSink>();
    Subscribe(*sink);
    ASSERT_TRUE(SpinUntil([&] { return sink->Count("data") >= 1; }, 2500));
    const TDataCall first = sink->Calls[0];
    EXPECT_EQ(first.TransactionID, 0u);
    EXPECT_EQ(first.Group, GroupClientHandle);
    EXPECT_EQ(first.MasterQuality, S_OK);
    EXPECT_EQ(first.Clients, (std::vector<OPCHANDLE>{101, 102}));
    EXPECT_EQ(first.Values, (std::vector<TVariant>{TVariant::UI2(500), TVariant::I4(600)}));
    EXPECT_EQ(first.Qualities, (std::vector<std::uint16_t>{QualityGood, QualityGood}));

    // The values stand still while the PLC keeps being polled: nothing more for two periods.
    SpinFor(2200);
    EXPECT_EQ(sink->Count("data"), 1);

    // One word changes in the simulator: only that item is reported.
    Sim->SetValue(0, WR, 0x11, 601);
    ASSERT_TRUE(SpinUntil([&] { return sink->Count("data") >= 2; }, 3000));
    const TDataCall* change = sink->Last("data");
    EXPECT_EQ(change->Clients, std::vector<OPCHANDLE>{102});
    EXPECT_EQ(change->Values, std::vector<TVariant>{TVariant::I4(601)});
    EXPECT_EQ(change->AtMs - first.AtMs >= 900, true); // a period later, not at once

    // The simulator stops answering: the same values come again with a worse quality.
    Sim->SetPower(false);
    ASSERT_TRUE(SpinUntil([&] { return sink->Count("data") >= 3; }, 10000));
    const TDataCall* silent = sink->Last("data");
    EXPECT_EQ(silent->Clients, (std::vector<OPCHANDLE>{101, 102}));
    EXPECT_EQ(silent->Values, (std::vector<TVariant>{TVariant::UI2(500), TVariant::I4(601)}));
    EXPECT_NE(silent->Qualities[0], QualityGood);
    EXPECT_EQ(silent->Qualities[0], silent->Qualities[1]);
    EXPECT_EQ(silent->MasterQuality, S_FALSE);
}

TEST_F(OPCSimulatorTest, ForcedOnChangeSendsTheStandingValueOncePerPeriod) {
    Settings().ForcedOnChange = true;
    Sim->SetValue(0, WR, 0x10, 42);
    Add({{"Sim1.WR0010", VT_EMPTY}});
    ASSERT_TRUE(SpinUntil([&] { return WordsRead({0x10}); }, 5000));
    auto sink = MakeCom<TClientSink>();
    Subscribe(*sink);
    ASSERT_TRUE(SpinUntil([&] { return sink->Count("data") >= 1; }, 2500));
    const qint64 start = sink->Calls[0].AtMs;
    SpinFor(2500);
    // Periods start at +1000 and +2000 ms.
    ASSERT_EQ(sink->Count("data"), 3);
    for (const auto& call : sink->Calls) EXPECT_EQ(call.Values, std::vector<TVariant>{TVariant::UI2(42)});
    const qint64 second = sink->Calls[1].AtMs - start;
    EXPECT_GE(second, 900);
    EXPECT_LE(second, 1400);
}

TEST_F(OPCSimulatorTest, WritesReachTheSimulatorAndAsyncCompletesAfterThePlcConfirmed) {
    const auto h = Add({{"Sim1.WR0050", VT_EMPTY},
                        {"Sim1.WR0051s", VT_EMPTY},
                        {"Sim1.DR0052", VT_R4},
                        {"Sim1.WR0060.asc.4", VT_EMPTY},
                        {"Sys.ClientsConnected", VT_EMPTY},
                        {"Sim1.WR0054", VT_EMPTY}});
    ASSERT_TRUE(SpinUntil([&] { return WordsRead({0x50, 0x51, 0x54, 0x60}); }, 5000));

    // Synchronous: stored at once, sent on the driver's next write pass.
    std::vector<HRESULT> errors;
    ASSERT_EQ(Sync->Write({h[0], h[1], h[2], h[3], h[4], h[5]},
                          {TVariant::I4(0x5A5A), TVariant::I4(-3), TVariant::R4(2.5f), TVariant::Bstr("OPCX"),
                           TVariant::I4(9), TVariant::R8(5.0)},
                          errors),
              S_FALSE);
    EXPECT_EQ(errors, (std::vector<HRESULT>{S_OK, S_OK, S_OK, S_OK, OPC_E_BADRIGHTS, S_OK}));
    const std::uint32_t bits = std::bit_cast<std::uint32_t>(2.5f);
    ASSERT_TRUE(SpinUntil(
        [&] { return Sim->Value(0, WR, 0x50) == 0x5A5A && Sim->Value(0, WR, 0x61) == 0x4358; }, 5000));
    EXPECT_EQ(Sim->Value(0, WR, 0x51), 0xFFFDu);
    EXPECT_EQ(Sim->Value(0, WR, 0x52), bits & 0xFFFF);
    EXPECT_EQ(Sim->Value(0, WR, 0x53), bits >> 16);
    EXPECT_EQ(Sim->Value(0, WR, 0x60), 0x4F50u); // "OP"
    EXPECT_EQ(Sim->Value(0, WR, 0x54), 5u);      // a float into a word is its number
    ASSERT_TRUE(SpinUntil([&] { return !Word(0x50)->WritePending; }, 3000));

    // Asynchronous: OnWriteComplete only once the PLC has confirmed, so its memory already
    // holds the value when the client hears of it.
    auto sink = MakeCom<TClientSink>();
    Subscribe(*sink);
    ASSERT_EQ(Async->SetEnable(0), S_OK); // no subscription traffic in the way
    std::uint16_t simValueAtCompletion = 0;
    bool pendingAtCompletion = true;
    std::uint32_t simHighAtCompletion = 0;
    sink->OnCall = [&](const TDataCall& call) {
        if (call.Kind != "write") return;
        simValueAtCompletion = Sim->Value(0, WR, 0x50);
        simHighAtCompletion = Sim->Value(0, WR, 0x53);
        pendingAtCompletion = Word(0x50)->WritePending;
    };
    // Asked for in the same millisecond as the confirmation of the write above, often:
    // that confirmation must not complete this request.
    std::uint32_t cancel = 0;
    ASSERT_EQ(Async->Write({h[0], 0xBADu, h[2]}, {TVariant::I4(777), TVariant::I4(1), TVariant::R4(-4.0f)},
                           4711, cancel, errors),
              S_FALSE);
    EXPECT_EQ(errors, (std::vector<HRESULT>{S_OK, OPC_E_UNKNOWNITEMID, S_OK}));
    EXPECT_EQ(sink->Count("write"), 0);
    ASSERT_TRUE(SpinUntil([&] { return sink->Count("write") == 1; }, 5000));
    const TDataCall* done = sink->Last("write");
    EXPECT_EQ(done->TransactionID, 4711u);
    EXPECT_EQ(done->Group, GroupClientHandle);
    EXPECT_EQ(done->MasterError, S_OK);
    EXPECT_EQ(done->Clients, (std::vector<OPCHANDLE>{101, 103}));
    EXPECT_EQ(done->Errors, (std::vector<HRESULT>{S_OK, S_OK}));
    EXPECT_EQ(simValueAtCompletion, 777);
    EXPECT_EQ(simHighAtCompletion, std::bit_cast<std::uint32_t>(-4.0f) >> 16);
    EXPECT_FALSE(pendingAtCompletion);
}

TEST_F(OPCSimulatorTest, AsyncWriteToASilentPlcReportsFailureButTheValueStaysPendingUntilItAnswers) {
    const auto h = Add({{"Sim1.WR0070", VT_EMPTY}});
    ASSERT_TRUE(SpinUntil([&] { return WordsRead({0x70}); }, 5000));
    auto sink = MakeCom<TClientSink>();
    Subscribe(*sink);
    ASSERT_EQ(Async->SetEnable(0), S_OK);
    // Switched off until its location counts as faulty: the write cannot wait for it.
    Sim->SetPower(false);
    ASSERT_TRUE(SpinUntil([&] { return Word(0x70)->IsFaulty(); }, 10000));
    std::uint32_t cancel = 0;
    std::vector<HRESULT> errors;
    ASSERT_EQ(Async->Write({h[0]}, {TVariant::I4(0x7070)}, 70, cancel, errors), S_OK);
    ASSERT_TRUE(SpinUntil([&] { return sink->Count("write") == 1; }, 3000));
    // Not in the PLC: the client is told so, not S_OK.
    EXPECT_EQ(sink->Last("write")->TransactionID, 70u);
    EXPECT_EQ(sink->Last("write")->MasterError, S_FALSE);
    EXPECT_EQ(sink->Last("write")->Errors, std::vector<HRESULT>{E_FAIL});
    EXPECT_NE(Sim->Value(0, WR, 0x70), 0x7070u);
    EXPECT_TRUE(Word(0x70)->WritePending);
    // The value is not lost: it reaches the PLC once it answers again.
    Sim->SetPower(true);
    ASSERT_TRUE(SpinUntil([&] { return Sim->Value(0, WR, 0x70) == 0x7070u; }, 15000));
    ASSERT_TRUE(SpinUntil([&] { return !Word(0x70)->WritePending; }, 5000));
    EXPECT_EQ(sink->Count("write"), 1);
}

TEST_F(OPCSimulatorTest, ABitWrittenTrueIsOneAndARejectedWriteEndsWithAnErrorSentOnce) {
    const auto h = Add({{"Sim1.WR0090", VT_EMPTY}, {"Sim1.M00020", VT_EMPTY}});
    ASSERT_TRUE(SpinUntil([&] { return WordsRead({0x90}); }, 5000));
    THitachiLocation* bit = Core->Context().PLCs->PLCByIndex(0).FindLocation(0x04, 0x20, false);
    ASSERT_NE(bit, nullptr);
    // The simulator refuses bit data other than 00 00 and 00 01.
    std::vector<HRESULT> errors;
    ASSERT_EQ(Sync->Write({h[1]}, {TVariant::Bool(true)}, errors), S_OK);
    ASSERT_TRUE(SpinUntil([&] { return Sim->Value(0, 0x04, 0x20) == 1 && !bit->WritePending; }, 3000));
    EXPECT_FALSE(bit->AddressError);

    // A PLC that rejects writes: the asynchronous write ends with an error for its item,
    // the request goes out once, and polling goes on.
    auto sink = MakeCom<TClientSink>();
    Subscribe(*sink);
    ASSERT_EQ(Async->SetEnable(0), S_OK);
    TSimFaults faults;
    faults.RejectWrites = true;
    Sim->SetFaults(faults);
    const TSimStats before = Sim->Stats();
    std::uint32_t cancel = 0;
    ASSERT_EQ(Async->Write({h[0]}, {TVariant::I4(0x9090)}, 90, cancel, errors), S_OK);
    ASSERT_TRUE(SpinUntil([&] { return sink->Count("write") == 1; }, 3000));
    EXPECT_EQ(sink->Last("write")->TransactionID, 90u);
    EXPECT_EQ(sink->Last("write")->MasterError, S_FALSE);
    EXPECT_EQ(sink->Last("write")->Errors, std::vector<HRESULT>{E_FAIL});
    SpinFor(1000);
    EXPECT_EQ(Sim->Stats().RandomWrites, before.RandomWrites + 1);
    EXPECT_EQ(Sim->Stats().Rejections, before.Rejections + 1);
    EXPECT_GT(Sim->Stats().Requests(), before.Requests() + 1);
    EXPECT_NE(Sim->Value(0, WR, 0x90), 0x9090u);
    EXPECT_FALSE(Word(0x90)->WritePending);
    EXPECT_EQ(sink->Count("write"), 1);
}

TEST_F(OPCSimulatorTest, Refresh2FromDeviceOnAnInactiveGroupAndCancel2) {
    Sim->SetValue(0, WR, 0x10, 1);
    const auto h = Add({{"Sim1.WR0010", VT_EMPTY}});
    ASSERT_TRUE(SpinUntil([&] { return WordsRead({0x10}); }, 5000));
    auto sink = MakeCom<TClientSink>();
    Subscribe(*sink);
    auto state = InterfaceOf<IOPCGroupStateMgt>(Group);
    ASSERT_TRUE(state);
    const std::int32_t inactive = 0;
    std::uint32_t revised = 0;
    ASSERT_EQ(state->SetState(nullptr, revised, &inactive, nullptr, nullptr, nullptr, nullptr), S_OK);

    // From the device: answered with the value the simulator holds after the request.
    ASSERT_TRUE(NoReadUnderWay({0x10}));
    Sim->SetValue(0, WR, 0x10, 2);
    std::uint32_t cancel = 0;
    EXPECT_EQ(Async->Refresh2(OPC_DS_CACHE, 8, cancel), E_FAIL);
    ASSERT_EQ(Async->Refresh2(OPC_DS_DEVICE, 9, cancel), S_OK);
    ASSERT_TRUE(SpinUntil([&] { return sink->Count("data") == 1; }, 5000));
    EXPECT_EQ(sink->Calls[0].TransactionID, 9u);
    EXPECT_EQ(sink->Calls[0].Values, std::vector<TVariant>{TVariant::UI2(2)});
    EXPECT_EQ(sink->Calls[0].Qualities, std::vector<std::uint16_t>{QualityGood});
    // An inactive group sends no subscription data.
    SpinFor(1200);
    EXPECT_EQ(sink->Count("data"), 1);

    // A cancelled read: OnCancelComplete with its transaction id, never OnReadComplete.
    std::vector<HRESULT> errors;
    ASSERT_EQ(Async->Read({h[0]}, 321, cancel, errors), S_OK);
    ASSERT_EQ(Async->Cancel2(cancel), S_OK);
    // Cancelled again while it still waits: one more OnCancelComplete.
    EXPECT_EQ(Async->Cancel2(cancel), S_OK);
    ASSERT_TRUE(SpinUntil([&] { return sink->Count("cancel") == 2; }, 3000));
    EXPECT_EQ(sink->Last("cancel")->TransactionID, 321u);
    EXPECT_EQ(sink->Last("cancel")->Group, GroupClientHandle);
    // The read would have been ready by now: the location was read again since.
    std::vector<TOPCItemState> states;
    ASSERT_EQ(Sync->Read(OPC_DS_DEVICE, {h[0]}, states, errors), S_OK);
    SpinFor(300);
    EXPECT_EQ(sink->Count("read"), 0);
    // An uncancelled read completes.
    ASSERT_EQ(Async->Read({h[0]}, 322, cancel, errors), S_OK);
    ASSERT_TRUE(SpinUntil([&] { return sink->Count("read") == 1; }, 5000));
    EXPECT_EQ(sink->Last("read")->TransactionID, 322u);
    EXPECT_EQ(sink->Last("read")->Values, std::vector<TVariant>{TVariant::UI2(2)});
}

TEST_F(OPCSimulatorTest, Version1ReadStreamsForOneAndTwoItemsAndOneReadAtATime) {
    Sim->SetValue(0, WR, 0x10, 0x1111);
    Sim->SetValue(0, WR, 0x11, 0x2222);
    const auto h = Add({{"Sim1.WR0010", VT_EMPTY}, {"Sim1.WR0011", VT_EMPTY}});
    ASSERT_TRUE(SpinUntil([&] { return WordsRead({0x10, 0x11}); }, 5000));
    // Subscription streams out of the way: the items are inactive.
    std::vector<HRESULT> errors;
    ASSERT_EQ(Items->SetActiveState(h, 0, errors), S_OK);

    auto data = InterfaceOf<IDataObject>(Group);
    auto async1 = InterfaceOf<IOPCAsyncIO>(Group);
    ASSERT_TRUE(data && async1);
    auto sink = MakeCom<TStreamSink>();
    TFormatEtc withTime;
    withTime.ClipFormat = Connections->RegisterClipboardFormat(StreamFormatDataTimeName);
    TFormatEtc withoutTime;
    withoutTime.ClipFormat = Connections->RegisterClipboardFormat(StreamFormatDataName);
    std::uint32_t connection = 0;
    ASSERT_EQ(data->DAdvise(withTime, 0, sink.Get(), connection), S_OK);
    EXPECT_EQ(connection, 1u);
    ASSERT_EQ(data->DAdvise(withoutTime, 0, sink.Get(), connection), S_OK);
    EXPECT_EQ(connection, 2u);

    // One item, with time, from the device; a second read while it waits is refused.
    std::uint32_t tid = 0;
    ASSERT_EQ(async1->Read(1, OPC_DS_DEVICE, {h[0]}, tid, errors), S_OK);
    EXPECT_NE(tid, 0u);
    std::uint32_t tid2 = 0;
    EXPECT_EQ(async1->Read(1, OPC_DS_DEVICE, {h[1]}, tid2, errors), CONNECT_E_ADVISELIMIT);
    ASSERT_TRUE(SpinUntil([&] { return sink->Streams.size() == 1; }, 5000));
    {
        const auto& [format, b] = sink->Streams[0];
        EXPECT_EQ(format, withTime.ClipFormat);
        ASSERT_EQ(b.size(), 56u);
        EXPECT_EQ(U32(b, 0), 56u);               // 20 + 20 + 16
        EXPECT_EQ(U32(b, 4), 1u);                // items
        EXPECT_EQ(U32(b, 8), GroupClientHandle); // group's client handle
        EXPECT_EQ(U32(b, 12), tid);
        EXPECT_EQ(U32(b, 16), 0u); // result
        EXPECT_EQ(U32(b, 20), 101u);
        EXPECT_EQ(U32(b, 24), 40u); // value offset
        EXPECT_EQ(U16(b, 28), QualityGood);
        EXPECT_EQ(U16(b, 30), 0u);
        EXPECT_NE(U64(b, 32), 0u); // time stamp
        EXPECT_EQ(U16(b, 40), VT_UI2);
        EXPECT_EQ(U16(b, 48), 0x1111u);
    }

    // Two items, without time, from the cache (answered at once; inactive items report
    // out of service).
    ASSERT_EQ(async1->Read(2, OPC_DS_CACHE, h, tid, errors), S_OK);
    ASSERT_TRUE(SpinUntil([&] { return sink->Streams.size() == 2; }, 2000));
    {
        const auto& [format, b] = sink->Streams[1];
        EXPECT_EQ(format, withoutTime.ClipFormat);
        ASSERT_EQ(b.size(), 76u);
        EXPECT_EQ(U32(b, 0), 76u); // 20 + 2 * 12 + 2 * 16
        EXPECT_EQ(U32(b, 4), 2u);
        EXPECT_EQ(U32(b, 8), GroupClientHandle);
        EXPECT_EQ(U32(b, 12), tid);
        EXPECT_EQ(U32(b, 16), 0u);
        EXPECT_EQ(U32(b, 20), 101u);
        EXPECT_EQ(U32(b, 24), 44u); // 20 + 24
        EXPECT_EQ(U16(b, 28), QualityOutOfService);
        EXPECT_EQ(U32(b, 32), 102u);
        EXPECT_EQ(U32(b, 36), 60u); // 20 + 24 + 16
        EXPECT_EQ(U16(b, 40), QualityOutOfService);
        EXPECT_EQ(U16(b, 44), VT_UI2);
        EXPECT_EQ(U16(b, 52), 0x1111u);
        EXPECT_EQ(U16(b, 60), VT_UI2);
        EXPECT_EQ(U16(b, 68), 0x2222u);
    }

    // Two items, with time, from the device: the second value is the simulator's new one.
    ASSERT_TRUE(NoReadUnderWay({0x10, 0x11}));
    Sim->SetValue(0, WR, 0x11, 0x3333);
    ASSERT_EQ(async1->Read(1, OPC_DS_DEVICE, h, tid, errors), S_OK);
    ASSERT_TRUE(SpinUntil([&] { return sink->Streams.size() == 3; }, 5000));
    {
        const auto& b = sink->Streams[2].second;
        ASSERT_EQ(b.size(), 92u);
        EXPECT_EQ(U32(b, 0), 92u); // 20 + 2 * 20 + 2 * 16
        EXPECT_EQ(U32(b, 4), 2u);
        EXPECT_EQ(U32(b, 12), tid);
        EXPECT_EQ(U32(b, 24), 60u);
        EXPECT_EQ(U32(b, 40), 102u);
        EXPECT_EQ(U32(b, 44), 76u);
        EXPECT_EQ(U16(b, 48), QualityGood);
        EXPECT_EQ(U16(b, 68), 0x1111u);
        EXPECT_EQ(U16(b, 84), 0x3333u);
    }
}

} // namespace
} // namespace dravon
