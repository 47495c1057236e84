// End to end: every PLC of a 20-PLC configuration is switched off (8 TCP PLCs whose
// connections are refused, 8 UDP PLCs that never answer, 4 PLCs on one multidrop serial
// line that stays silent), each with 10 monitored words. Printed: the server's CPU (main
// thread) as a share of one core once all are timed out; goal < 1 % (no busy reconnect
// loop, no spinning on a dead link).
#include "LoopbackBench.h"

#include "app/KeyValueStore.h"
#include "comm/SerialDevicePath.h"
#include "plc/SerialPortTable.h"

#include <cstdio>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    using namespace dravon;
    using namespace dravon::bench;
    // The same event dispatcher as the dravon program.
    if (!qEnvironmentVariableIsSet("QT_NO_GLIB")) qputenv("QT_NO_GLIB", "1");
    QCoreApplication app(argc, argv);
    constexpr int kTcp = 8;
    constexpr int kUdp = 8;
    constexpr int kSerial = 4;
    constexpr double kMeasureSeconds = 10.0;

    std::vector<TSimTransportConfig> configs;
    for (int i = 0; i < kTcp + kUdp; ++i) {
        TSimTransportConfig config;
        config.Kind = i < kTcp ? TSimTransportKind::Tcp : TSimTransportKind::Udp;
        config.Address = "127.0.0.1";
        config.Port = 0;
        config.Link.Protocol = 3;
        configs.push_back(config);
    }
    TSimTransportConfig line;
    line.Kind = TSimTransportKind::Serial;
    line.LineSpeed = 19200;
    line.Link.Protocol = 2;
    line.Link.MultiDrop = true;
    line.Link.IsSerial = true;
    line.Link.Stations = {1, 2, 3, 4};
    configs.push_back(line);
    TPlcSimulator sim(configs);
    std::string error;
    if (!sim.Start(&error)) {
        std::fprintf(stderr, "simulator: %s\n", error.c_str());
        return 2;
    }
    sim.SetPower(false);

    TBenchServer server;
    if (auto key = server.Server.Store.OpenKey(TRootKey::LocalMachine, SerialPortsKeyPath))
        key->WriteString("Device0", sim.SerialPath(kTcp + kUdp));
    TSerialPortInfo* port = server.Server.PLCs().SerialPorts.Port(1);
    port->BaudRate = 19200;
    port->MultiDrop = true;
    std::vector<THitachiPLC*> plcs;
    for (int i = 0; i < kTcp + kUdp; ++i) {
        plcs.push_back(&server.Server.AddEthernetPLC(i < kTcp ? DriverTcp : DriverUdp,
                                                     sim.Port(static_cast<std::size_t>(i))));
    }
    for (int station = 1; station <= kSerial; ++station) {
        THitachiPLC& plc = server.Server.PLCs().AddPLC();
        plc.SerialCom = 1;
        plc.SerialStatNo = station;
        plc.SetConnection(DriverSerial, ProtocolStationNumber);
        plcs.push_back(&plc);
    }
    for (THitachiPLC* plc : plcs) server.MonitorWords(*plc, 10);
    // The window's 300 ms refresh runs as in the program.
    std::unique_ptr<ITimer> refresh = server.Server.Timers.CreateTimer();
    refresh->OnTimer = [&] { server.Server.Manager->MarkIdleDrivers(); };
    refresh->SetInterval(300);
    refresh->SetEnabled(true);

    const bool allTimedOut = RunLoopUntil(
        [&] {
            for (THitachiPLC* plc : plcs) {
                if (!plc->TimedOutState) return false;
            }
            return true;
        },
        30000);
    if (!allTimedOut) {
        std::fprintf(stderr, "not every PLC was declared timed out\n");
        return 2;
    }

    std::uint64_t refused = 0;
    const std::size_t linesBefore = server.Server.Capture.Lines.size();
    const double process = ProcessCpuUs();
    const TPhase phase = server.Measure(sim, kMeasureSeconds);
    const double processShare = 100.0 * (ProcessCpuUs() - process) / (phase.Seconds * 1e6);
    for (const auto& text : server.Server.Capture.Lines)
        refused += text.rfind("Unsuccessful connection", 0) == 0;
    const double share = 100.0 * phase.CpuUs / (phase.Seconds * 1e6);
    std::printf("Outage: %d PLCs switched off (%d TCP refused, %d UDP, %d on a serial line), %.0f s once all "
                "timed out:\n",
                kTcp + kUdp + kSerial, kTcp, kUdp, kSerial, phase.Seconds);
    std::printf("  server CPU  %.3f %% of one core (goal < 1 %%: %s)\n", share,
                share < 1.0 ? "met" : "MISSED");
    std::printf("  whole process with the simulator's thread  %.3f %%\n", processShare);
    std::printf("  requests the simulator ignored  %llu; log lines while measuring %zu; connect failures "
                "logged %llu (once per driver)\n",
                static_cast<unsigned long long>(sim.Stats().Ignored),
                server.Server.Capture.Lines.size() - linesBefore, static_cast<unsigned long long>(refused));
    refresh->SetEnabled(false);
    return 0;
}
