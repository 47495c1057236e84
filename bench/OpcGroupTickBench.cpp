// The OPC update cycle's hot path: one 25 ms server tick over 100 groups of 1 000 active
// items each (goal: under 2.5 ms of CPU, a tenth of one core), with the values standing
// still and with a tenth of them changing every period; and the heap one item costs
// (goal: at most 200 bytes, measured, not estimated).
//
// Every group runs at the fastest rate (25 ms), so every tick is the heaviest one a
// period can have: each group evaluates change detection for all its items and marks
// them for polling again. At 1 000 ms a tick does a fortieth of this on average.
#include "opc/DA2ClassFactory.h"
#include "opc/DataCallbackSink.h"
#include "opc/HResult.h"
#include "opc/OPCDAConnectionCollection.h"
#include "opc/OPCInterfaces.h"
#include "opc/OPCItem.h"
#include "platform/QtClock.h"
#include "plc/HitachiLocation.h"
#include "plc/HitachiPLC.h"
#include "plc/PLCCollection.h"
#include "support/TestContext.h"

#include <benchmark/benchmark.h>

#include <malloc.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <new>
#include <string>
#include <vector>

namespace {

// Live heap bytes of this program, kept by the replaced operator new/delete below; the
// usable size of each block is counted, so allocator rounding is included.
std::atomic<long long>& LiveHeapBytes() {
    static std::atomic<long long> bytes{0};
    return bytes;
}

} // namespace

void* operator new(std::size_t size) {
    void* p = std::malloc(size == 0 ? 1 : size);
    if (!p) throw std::bad_alloc();
    LiveHeapBytes().fetch_add(static_cast<long long>(malloc_usable_size(p)), std::memory_order_relaxed);
    return p;
}
void* operator new[](std::size_t size) { return ::operator new(size); }
void operator delete(void* p) noexcept {
    if (!p) return;
    LiveHeapBytes().fetch_sub(static_cast<long long>(malloc_usable_size(p)), std::memory_order_relaxed);
    std::free(p);
}
void operator delete[](void* p) noexcept { ::operator delete(p); }
void operator delete(void* p, std::size_t) noexcept { ::operator delete(p); }
void operator delete[](void* p, std::size_t) noexcept { ::operator delete(p); }

namespace dravon {
namespace {

constexpr int GroupCount = 100;
constexpr int ItemsPerGroup = 1000;
constexpr int PLCCount = 10;
constexpr std::uint8_t WR = 0x0A;
constexpr double TickGoalMs = 2.5;
constexpr double ItemGoalBytes = 200;

// A client that only counts what it receives.
class TCountingSink : public TDataCallbackSink {
public:
    long long Calls = 0;
    long long Values = 0;
    HRESULT OnDataChange(std::uint32_t, OPCHANDLE, HRESULT, HRESULT, const std::vector<OPCHANDLE>& clients,
                         const std::vector<TVariant>&, const std::vector<std::uint16_t>&,
                         const std::vector<TFileTime>&, const std::vector<HRESULT>&) override {
        ++Calls;
        Values += static_cast<long long>(clients.size());
        return S_OK;
    }
};

// The manual clock's ticks and times with the real clock's time-zone bias: what the
// program pays for the bias of every value it time-stamps.
class TManualClockWithQtBias : public IClock {
public:
    explicit TManualClockWithQtBias(const IClock& manual) : Manual_(manual) {}
    std::uint32_t TickCount() const override { return Manual_.TickCount(); }
    TDateTime Now() const override { return Manual_.Now(); }
    int TimeZoneBiasMinutes() const override { return Qt_.TimeZoneBiasMinutes(); }

private:
    const IClock& Manual_;
    TQtClock Qt_;
};

// Ten PLCs without drivers (nothing leaves the process), 100 groups of 1 000 word items,
// each item on its own location, every location holding a GOOD value.
class TLoadedServer {
public:
    test::TTestContext T;
    TPLCCollection PLCs{T.Context};
    std::unique_ptr<TOPCDAConnectionCollection> Connections;
    TComPtr<TDA2ClassFactory> Factory;
    TComPtr<IOPCServer> Server;
    std::vector<TComPtr<IUnknown>> Groups;
    TComPtr<TCountingSink> Sink = MakeCom<TCountingSink>();
    std::vector<THitachiLocation*> Locations;
    long long ItemHeapBytes = 0;
    bool Ok = true;

    explicit TLoadedServer(bool subscribe = true, std::uint32_t rate = 25) {
        for (int p = 0; p < PLCCount; ++p) PLCs.AddPLC();
        T.Context.PLCs = &PLCs;
        Connections = std::make_unique<TOPCDAConnectionCollection>(T.Context);
        Factory = MakeCom<TDA2ClassFactory>(T.Context, *Connections);
        TComPtr<IUnknown> unknown;
        Ok = Factory->CreateInstance(nullptr, IOPCServer::Iid, unknown) == S_OK;
        Server = InterfaceOf<IOPCServer>(unknown);
        if (!Ok || !Server) {
            Ok = false;
            return;
        }
        // The locations first, held as the items will hold them, so that the item figure
        // below is the items' own cost.
        std::vector<std::vector<TOPCItemDef>> defs(GroupCount);
        for (int g = 0; g < GroupCount; ++g) {
            const int plc = g % PLCCount;
            const int base = (g / PLCCount) * ItemsPerGroup;
            for (int i = 0; i < ItemsPerGroup; ++i) {
                char id[32];
                std::snprintf(id, sizeof id, "PLC%d.WR%04X", plc + 1, base + i);
                TOPCItemDef def;
                def.ItemID = id;
                def.ClientHandle = static_cast<OPCHANDLE>(i);
                def.Active = 1;
                defs[static_cast<std::size_t>(g)].push_back(def);
                THitachiLocation* l = PLCs.ResolveItemId(id).Location;
                if (!l) {
                    Ok = false;
                    return;
                }
                l->AddRef();
                l->StoreReadValue(static_cast<std::uint32_t>(i), T.Platform.Clock.Now());
                Locations.push_back(l);
            }
        }
        for (int g = 0; g < GroupCount; ++g) {
            OPCHANDLE handle = 0;
            std::uint32_t revised = 0;
            TComPtr<IUnknown> group;
            char name[16];
            std::snprintf(name, sizeof name, "G%d", g);
            if (Server->AddGroup(name, 1, rate, static_cast<OPCHANDLE>(g), nullptr, nullptr, 1033, handle,
                                 revised, IOPCItemMgt::Iid, group) != S_OK) {
                Ok = false;
                return;
            }
            Groups.push_back(group);
        }
        const long long before = LiveHeapBytes().load();
        for (int g = 0; g < GroupCount; ++g) {
            auto items = InterfaceOf<IOPCItemMgt>(Groups[static_cast<std::size_t>(g)]);
            std::vector<TOPCItemResult> results;
            std::vector<HRESULT> errors;
            if (!items || items->AddItems(defs[static_cast<std::size_t>(g)], results, errors) != S_OK) {
                Ok = false;
                return;
            }
        }
        ItemHeapBytes = LiveHeapBytes().load() - before;
        // Each location's reference taken above is given back: the items hold theirs.
        for (THitachiLocation* l : Locations) l->Release();
        if (!subscribe) return;
        for (auto& group : Groups) {
            TComPtr<IConnectionPoint> point;
            std::uint32_t cookie = 0;
            if (Sink->Advise(group, point, cookie) != S_OK) {
                Ok = false;
                return;
            }
        }
        // Two ticks: the first period starts, the first (full) data change goes out.
        Tick();
        Tick();
        Ok = Sink->Values == static_cast<long long>(GroupCount) * ItemsPerGroup;
    }
    ~TLoadedServer() {
        Groups.clear();
        Server = nullptr;
        Factory = nullptr;
        Connections.reset();
    }

    void Tick() {
        T.Platform.Clock.Step(TOPCDAConnectionCollection::TickIntervalMs);
        Connections->ServerTick();
    }
};

void ReportTick(benchmark::State& state) {
    state.counters["goal_ms_cpu"] = TickGoalMs;
    state.counters["items"] = static_cast<double>(GroupCount) * ItemsPerGroup;
}

// Nothing changes: every tick evaluates all 100 000 items and sends nothing.
void BM_ServerTick100x1000Unchanged(benchmark::State& state) {
    TLoadedServer server;
    if (!server.Ok) {
        state.SkipWithError("set-up failed");
        return;
    }
    const long long before = server.Sink->Values;
    for (auto _ : state) server.Tick();
    if (server.Sink->Values != before) state.SkipWithError("an unchanged value was sent");
    ReportTick(state);
}
BENCHMARK(BM_ServerTick100x1000Unchanged)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();

// A tenth of the values change every period (as the PLC's answers would store them); the
// 10 000 changed items go to the client in 100 data changes per tick.
void BM_ServerTick100x1000TenPercentChanging(benchmark::State& state) {
    TLoadedServer server;
    if (!server.Ok) {
        state.SkipWithError("set-up failed");
        return;
    }
    std::uint32_t round = 0;
    const long long before = server.Sink->Values;
    for (auto _ : state) {
        state.PauseTiming();
        ++round;
        const TDateTime now = server.T.Platform.Clock.Now();
        // A different tenth each period.
        for (std::size_t i = round % 10; i < server.Locations.size(); i += 10)
            server.Locations[i]->StoreReadValue((round * 7u + static_cast<std::uint32_t>(i)) & 0xFFFF, now);
        state.ResumeTiming();
        server.Tick();
    }
    const long long sent = server.Sink->Values - before;
    if (sent != static_cast<long long>(state.iterations()) * GroupCount * ItemsPerGroup / 10)
        state.SkipWithError("not every changed value was sent");
    ReportTick(state);
    state.counters["values_sent_per_tick"] =
        state.iterations() ? static_cast<double>(sent) / static_cast<double>(state.iterations()) : 0;
}
BENCHMARK(BM_ServerTick100x1000TenPercentChanging)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();

// As above with the program's clock answering the time-zone bias (the values' time stamps
// are converted with it).
void BM_ServerTick100x1000TenPercentChangingQtBias(benchmark::State& state) {
    TLoadedServer server;
    if (!server.Ok) {
        state.SkipWithError("set-up failed");
        return;
    }
    TManualClockWithQtBias clock(server.T.Platform.Clock);
    server.T.Context.Clock = &clock;
    std::uint32_t round = 0;
    const long long before = server.Sink->Values;
    for (auto _ : state) {
        state.PauseTiming();
        ++round;
        const TDateTime now = server.T.Platform.Clock.Now();
        for (std::size_t i = round % 10; i < server.Locations.size(); i += 10)
            server.Locations[i]->StoreReadValue((round * 7u + static_cast<std::uint32_t>(i)) & 0xFFFF, now);
        state.ResumeTiming();
        server.Tick();
    }
    server.T.Context.Clock = &server.T.Platform.Clock;
    if (server.Sink->Values - before !=
        static_cast<long long>(state.iterations()) * GroupCount * ItemsPerGroup / 10)
        state.SkipWithError("not every changed value was sent");
    ReportTick(state);
}
BENCHMARK(BM_ServerTick100x1000TenPercentChangingQtBias)
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime();

// The same load at the 1 000 ms rate a subscription typically asks for, all groups in
// the same phase: one iteration is a whole period of 40 ticks (the period-start tick marks
// every item for polling, the next one runs change detection over all of them, the other
// 38 only look at the clock). Time per tick = the figure / 40.
void BM_ServerPeriod100x1000At1000msUnchanged(benchmark::State& state) {
    TLoadedServer server(true, 1000);
    if (!server.Ok) {
        state.SkipWithError("set-up failed");
        return;
    }
    // Into the phase where the next tick starts a period.
    for (int i = 0; i < 38; ++i) server.Tick();
    const long long before = server.Sink->Values;
    for (auto _ : state)
        for (int i = 0; i < 40; ++i) server.Tick();
    if (server.Sink->Values != before) state.SkipWithError("an unchanged value was sent");
    state.counters["ticks_per_iteration"] = 40;
    state.counters["items"] = static_cast<double>(GroupCount) * ItemsPerGroup;
}
BENCHMARK(BM_ServerPeriod100x1000At1000msUnchanged)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();

// Heap growth while 100 000 items are added to groups whose locations already exist,
// divided by the number of items: the item objects, their item-ID texts and the groups'
// item lists.
void BM_MemoryPerItem(benchmark::State& state) {
    double perItem = 0;
    for (auto _ : state) {
        TLoadedServer server(false);
        if (!server.Ok) {
            state.SkipWithError("set-up failed");
            return;
        }
        perItem =
            static_cast<double>(server.ItemHeapBytes) / (static_cast<double>(GroupCount) * ItemsPerGroup);
    }
    state.counters["bytes_per_item"] = perItem;
    state.counters["goal_bytes"] = ItemGoalBytes;
    state.counters["sizeof_item"] = static_cast<double>(sizeof(TOPCItem));
    state.counters["within_goal"] = perItem <= ItemGoalBytes ? 1 : 0;
}
BENCHMARK(BM_MemoryPerItem)->Iterations(1)->Unit(benchmark::kMillisecond);

} // namespace
} // namespace dravon

BENCHMARK_MAIN();
