// End to end: how many clients per second the real dravon program lets in. Each round is a
// new connection: Hello, OpenSecureChannel, CreateSession, anonymous ActivateSession, then
// CloseSession and disconnect. Reported against the server's CPU time (handshakes per
// second of one core) and the wall clock (the client's own RSA work runs in this process).
//
// Usage: bench_UaHandshake [seconds=10] [security=Basic256Sha256 | None | <policy>:Sign]
//        [dravon]   (defaults to the release build tree next to this one).
#include "UaBenchClient.h"

#include <QCoreApplication>

#include <cstdio>

using namespace dravon;
using namespace dravon::bench;

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const int seconds = argc > 1 ? std::max(2, std::atoi(argv[1])) : 10;
    const auto security = TBenchSecurity::Named(argc > 2 ? argv[2] : "Basic256Sha256");
    if (!security) {
        std::fprintf(stderr, "unknown security policy %s\n", argv[2]);
        return 1;
    }
    const QString dravonPath = argc > 3 ? argv[3] : QCoreApplication::applicationDirPath() + "/../src/dravon";
    const int uaPort = FreePort();
    TBenchServer server;
    if (!server.Start(dravonPath,
                      "DRAVON-STORE 1\n" + StoreKey("SOFTWARE\\Norvane\\Dravon\\OpcUa") + "dword \"Port\" " +
                          std::to_string(uaPort) + "\n",
                      *security))
        return 1;
    {
        // The first connection waits for the endpoint; it is not counted.
        TBenchClient first(*security);
        if (!first.Connect(uaPort) || !first.OpenSession("warm-up") || !first.CloseSession()) {
            std::fprintf(stderr, "no session on port %d\n", uaPort);
            return 1;
        }
        first.Disconnect();
    }
    QElapsedTimer clock;
    clock.start();
    const double cpuStart = CpuSeconds(server.Pid());
    int done = 0, failed = 0;
    while (clock.elapsed() < seconds * 1000) {
        TBenchClient client(*security);
        bool ok = client.Connect(uaPort) && client.OpenSession("UaHandshakeBench") && client.CloseSession();
        client.Disconnect();
        ok ? ++done : ++failed;
        if (failed > 10) break;
    }
    const double window = static_cast<double>(clock.elapsed()) / 1000.0;
    const double cpu = CpuSeconds(server.Pid()) - cpuStart;
    std::printf(
        "UaHandshakeBench: %s, OpenSecureChannel + CreateSession + ActivateSession (+ CloseSession)\n",
        security->Describe().c_str());
    std::printf("  %d in %.1f s (%d failed): %.0f per second of the wall clock\n", done, window, failed,
                static_cast<double>(done) / window);
    std::printf("  server CPU %.2f s: %.2f ms each, %.0f per second of one core; RSS %.0f MB\n", cpu,
                done ? 1000.0 * cpu / done : 0.0, cpu > 0 ? done / cpu : 0.0, RssMegabytes(server.Pid()));
    return failed == 0 && done > 0 ? 0 : 1;
}
