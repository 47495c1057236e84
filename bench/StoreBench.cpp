// The configuration store at plant size: the server's start-up with a stored list of 1 000
// and 10 000 PLCs (store file read, settings, PLC list with its drivers, session log;
// goal under 1 s), and the configuration dialog's save of that list and the settings
// (goal under 5 s). Real files in a temporary folder, recording transports (no traffic).
#include "app/FileStore.h"
#include "app/Settings.h"
#include "plc/DriverPool.h"
#include "plc/PLCCollection.h"
#include "server/Communication.h"
#include "server/ServerCore.h"
#include "support/FakePlatform.h"
#include "support/FakeTransports.h"

#include <benchmark/benchmark.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace dravon {
namespace {

namespace fs = std::filesystem;

// A machine store as the dialog leaves it for `count` TCP PLCs on loopback addresses.
fs::path WriteStore(int count) {
    const fs::path dir = fs::temp_directory_path() / ("dravon-storebench-" + std::to_string(count));
    fs::remove_all(dir);
    fs::create_directories(dir);
    TFileStore store((dir / "machine.store").string(), (dir / "user.store").string());
    TStoreUpdate update(store);
    auto key = store.OpenKey(TRootKey::LocalMachine, PLCListKeyPath);
    key->WriteDword("Count", static_cast<std::uint32_t>(count));
    for (int i = 0; i < count; ++i) {
        const std::string n = std::to_string(i);
        key->WriteString("PLCName" + n, "Line" + n);
        key->WriteString("PLCIP" + n, "127.0." + std::to_string(i / 250) + "." + std::to_string(i % 250 + 1));
        key->WriteDword("PLCTcpPort" + n, 3004);
        key->WriteDword("Lump" + n, 0xFFFF0000u);
        key->WriteDword("TimeOut" + n, 1000);
        key->WriteDword("DrvType" + n, DriverTcp);
        key->WriteDword("SerialCom" + n, 1);
        key->WriteDword("SerialStatNo" + n, 0);
        key->WriteDword("ProtocolType" + n, ProtocolEthernet);
    }
    key.reset();
    SaveConfigurationToRegistry(store, TSettings{}, nullptr);
    update.Commit();
    return dir;
}

struct TServer {
    explicit TServer(const fs::path& dir)
        : Store((dir / "machine.store").string(), (dir / "user.store").string()),
          Core({&Platform.Clock, &Platform, &Platform, &Store, dir.string() + "/"}, TCommandLine{},
               "1.0.0.0"),
          Communication(Core, Transports, nullptr) {}
    test::TFakePlatform Platform;
    test::TFakeTransportFactory Transports;
    TFileStore Store;
    TServerCore Core;
    TCommunication Communication;
};

void BM_StartupWithStoredPlcs(benchmark::State& state) {
    const int count = static_cast<int>(state.range(0));
    const fs::path dir = WriteStore(count);
    for (auto _ : state) {
        TServer server(dir);
        server.Core.Startup();
        if (server.Core.Context().PLCs->Count() != count) state.SkipWithError("PLC list not loaded");
        state.PauseTiming(); // the shut-down is not part of the start
        server.Core.Shutdown();
        state.ResumeTiming();
    }
    state.counters["file_bytes"] = static_cast<double>(fs::file_size(dir / "machine.store"));
    fs::remove_all(dir);
}

// The dialog's OK: the PLC list, the serial ports and the nineteen settings in one write.
void BM_DialogSave(benchmark::State& state) {
    const int count = static_cast<int>(state.range(0));
    const fs::path dir = WriteStore(count);
    TServer server(dir);
    server.Core.Startup();
    TPLCCollection& plcs = *server.Core.Context().PLCs;
    int round = 0;
    for (auto _ : state) {
        plcs.PLCByIndex(0).TimeOut = 1000 + ++round; // a change, as the operator made one
        TStoreUpdate update(server.Store);
        bool ok = plcs.SavePLCList(nullptr);
        ok = SaveConfigurationToRegistry(server.Store, server.Core.Settings(), nullptr) && ok;
        if (!update.Commit() || !ok) state.SkipWithError("save failed");
    }
    server.Core.Shutdown();
    fs::remove_all(dir);
}

BENCHMARK(BM_StartupWithStoredPlcs)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_DialogSave)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace
} // namespace dravon

BENCHMARK_MAIN();
