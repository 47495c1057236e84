// One refresh of the main window with 10 000 monitored locations on one PLC whose list is
// shown, when no value changed. The goal is below 30 ms of CPU per refresh in a release
// build; the figure is printed as cpu_time by Google Benchmark.
#include "plc/HitachiPLC.h"
#include "plc/PLCCollection.h"
#include "support/FakeDriverPool.h"
#include "support/FakeHostResolver.h"
#include "support/TestContext.h"
#include "ui/MainWindow.h"

#include <QApplication>
#include <QTreeWidget>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <memory>

namespace {

using namespace dravon;

void BM_RefreshTenThousandUnchanged(benchmark::State& state) {
    test::TTestContext t;
    test::TFakeHostResolver resolver;
    test::TFakeDriverPool pool;
    t.Context.Resolver = &resolver;
    TPLCCollection plcs{t.Context};
    t.Context.PLCs = &plcs;
    plcs.SetDriverPool(&pool);
    THitachiPLC& plc = plcs.AddPLC();
    plc.SetHost("127.0.0.1");
    for (int i = 0; i < 10000; ++i) {
        char id[32];
        std::snprintf(id, sizeof id, "PLC1.WR%04X", i);
        if (THitachiLocation* location = plcs.ResolveItemId(id).Location) location->AddRef();
    }
    TPositions positions;
    TfrmMain window(t.Context, positions);
    window.show();
    window.Refresh();
    window.Tree()->setCurrentItem(window.PlcNode(&plc));
    // Bring every row in (100 per refresh) and draw the visible ones once.
    for (int i = 0; i < 110; ++i) window.Refresh();
    if (window.PlcList(&plc)->RowCount() != 10000) state.SkipWithError("rows not all in");
    for (auto _ : state) window.Refresh();
    state.counters["rows"] = window.PlcList(&plc)->RowCount();
}
BENCHMARK(BM_RefreshTenThousandUnchanged)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) {
    if (!std::getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
