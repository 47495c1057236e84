// End to end: the real dravon program polls N words of a dravon-plcsim PLC (TCP on
// loopback) and serves them to one OPC UA session with N monitored items in one
// subscription at 100 ms publishing. Every 100 ms the bench changes 10 % of those words in
// the simulator's memory (over its control socket; each word changes by 10 every second)
// and measures the notifications delivered against those changes, the time from a change
// to the notification carrying it, and the server's CPU time per second and memory (RSS)
// from /proc. The items ask for a queue size and optionally an absolute deadband (15: every
// other change of a word passes). The client is ours, built from the endpoint's codec, in
// this process; the server and the simulator are separate processes.
//
// Usage: bench_UaMonitoredItems [seconds=10] [items=10000] [queue=1] [deadband=0]
//        [security=None | Basic256Sha256 | ...(SignAndEncrypt) | Basic256Sha256:Sign]
//        [dravon] [dravon-plcsim]   (programs default to the release build tree next to this one).
#include "UaBenchClient.h"

#include <QCoreApplication>

#include <algorithm>
#include <cstdio>
#include <vector>

using namespace dravon;
using namespace dravon::bench;
using namespace dravon::test;

namespace {

constexpr int RoundMs = 100;
// Items per CreateMonitoredItems: with a filter each takes about 80 bytes, and a request
// goes out as one chunk, which must fit the 64 KiB the endpoint receives.
constexpr int BatchSize = 500;
constexpr int PublishRequestsOutstanding = 4;

std::string Hex4(int v) {
    char text[8];
    std::snprintf(text, sizeof text, "%04X", v);
    return text;
}

struct TNotification {
    std::uint32_t Handle = 0;
    std::uint64_t Value = 0;
    bool Good = false;
};

// Sequence number and data changes of a PublishResponse; false for another response.
bool ParsePublish(const std::string& payload, std::uint32_t& subscription, std::uint32_t& sequence,
                  std::vector<TNotification>& out) {
    TUaBinaryReader r(payload);
    if (ReadResponseStart(r).TypeId != UaId::PublishResponse) return false;
    subscription = r.UInt32();
    r.Array([&] { return r.UInt32(); });
    r.Boolean();
    sequence = r.UInt32();
    r.DateTime();
    for (const auto& e : r.Array([&] { return r.ExtensionObject(); })) {
        if (!e.TypeId.IsNum(UaId::DataChangeNotification)) continue;
        TUaBinaryReader body(e.Body);
        body.Array([&] {
            TNotification n;
            n.Handle = body.UInt32();
            TUaDataValue dv = body.DataValue();
            n.Good = dv.Status.value_or(0) == 0;
            if (dv.Value && !dv.Value->Values.empty())
                if (auto* u = std::get_if<std::uint64_t>(&dv.Value->Values.front())) n.Value = *u;
            out.push_back(n);
            return 0;
        });
    }
    return true;
}

std::string StoreText(int simPort, int uaPort, int itemCount) {
    return "DRAVON-STORE 1\n" + StoreKey("SOFTWARE\\Norvane\\Dravon\\PLCList") + "dword \"Count\" 1\n" +
           "string \"PLCName0\" \"PLC1\"\nstring \"PLCIP0\" \"127.0.0.1\"\n" + "dword \"PLCTcpPort0\" " +
           std::to_string(simPort) + "\ndword \"ProtocolType0\" 3\ndword \"DrvType0\" 2\n" +
           StoreKey("SOFTWARE\\Norvane\\Dravon\\OpcUa") + "dword \"Port\" " + std::to_string(uaPort) + "\n" +
           "dword \"MaxMessageSize\" 16777216\n" + "dword \"MaxMonitoredItemsPerSubscription\" " +
           std::to_string(itemCount) + "\n";
}

double Percentile(std::vector<double> v, double p) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[static_cast<std::size_t>(p * static_cast<double>(v.size() - 1))];
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const int seconds = argc > 1 ? std::max(2, std::atoi(argv[1])) : 10;
    const int ItemCount =
        argc > 2 ? std::clamp(std::atoi(argv[2]), BatchSize, 65536) / BatchSize * BatchSize : 10000;
    const int ChangedPerRound = ItemCount / 10;
    const std::uint32_t queueSize =
        argc > 3 ? static_cast<std::uint32_t>(std::max(1, std::atoi(argv[3]))) : 1;
    const double deadband = argc > 4 ? std::atof(argv[4]) : 0;
    const auto security = TBenchSecurity::Named(argc > 5 ? argv[5] : "None");
    if (!security) {
        std::fprintf(stderr, "unknown security policy %s\n", argv[5]);
        return 1;
    }
    const QString here = QCoreApplication::applicationDirPath();
    const QString dravonPath = argc > 6 ? argv[6] : here + "/../src/dravon";
    const QString simPath = argc > 7 ? argv[7] : here + "/../tools/plcsim/dravon-plcsim";

    QProcess sim;
    sim.start(simPath, {"--tcp", "127.0.0.1:0", "--control", "0", "--no-stdin"});
    int simPort = 0, controlPort = 0;
    std::string simOut;
    QElapsedTimer wait;
    wait.start();
    while ((simPort == 0 || controlPort == 0) && wait.elapsed() < 10000) {
        sim.waitForReadyRead(200);
        simOut += sim.readAllStandardOutput().toStdString();
        std::istringstream lines(simOut);
        std::string line;
        while (std::getline(lines, line)) {
            auto colon = line.rfind(':');
            if (line.rfind("tcp 0 ", 0) == 0) simPort = std::atoi(line.c_str() + line.find(':') + 1);
            if (line.rfind("control ", 0) == 0 && colon != std::string::npos)
                controlPort = std::atoi(line.c_str() + colon + 1);
        }
    }
    if (!simPort || !controlPort) {
        std::fprintf(stderr, "dravon-plcsim did not start (%s)\n", simPath.toLocal8Bit().constData());
        return 1;
    }
    QTcpSocket control;
    control.connectToHost("127.0.0.1", static_cast<quint16>(controlPort));
    if (!control.waitForConnected(5000)) return 1;

    const int uaPort = FreePort();
    TBenchServer server;
    if (!server.Start(dravonPath, StoreText(simPort, uaPort, ItemCount), *security)) return 1;

    TBenchClient client(*security);
    if (!client.Connect(uaPort)) {
        std::fprintf(stderr, "no OPC UA endpoint on port %d\n", uaPort);
        return 1;
    }
    if (!client.OpenSession("UaMonitoredItemsBench")) {
        std::fprintf(stderr, "no session\n");
        return 1;
    }
    std::string sub = client.Call(UaId::CreateSubscriptionRequest, [](TUaBinaryWriter& w) {
        w.Double(RoundMs);
        w.UInt32(600);
        w.UInt32(10);
        w.UInt32(0);
        w.Boolean(true);
        w.Byte(0);
    });
    TUaBinaryReader sr(sub);
    if (ReadResponseStart(sr).ServiceResult != 0) return 1;
    const std::uint32_t subscriptionId = sr.UInt32();
    const double revisedInterval = sr.Double();

    QElapsedTimer clock;
    clock.start();
    int monitored = 0;
    for (int first = 0; first < ItemCount; first += BatchSize) {
        std::string answer = client.Call(UaId::CreateMonitoredItemsRequest, [&](TUaBinaryWriter& w) {
            w.UInt32(subscriptionId);
            w.UInt32(2);
            w.ArrayLength(BatchSize);
            for (int i = first; i < first + BatchSize; ++i) {
                w.NodeId(TUaNodeId::Str("PLC1.WR" + Hex4(i)));
                w.UInt32(13);
                w.Int32(-1);
                w.QualifiedName({});
                w.UInt32(2);
                w.UInt32(static_cast<std::uint32_t>(i));
                w.Double(RoundMs);
                if (deadband > 0) {
                    TUaBinaryWriter filter;
                    filter.UInt32(1); // StatusValue
                    filter.UInt32(1); // absolute
                    filter.Double(deadband);
                    w.ExtensionObject({TUaNodeId::Num(UaId::DataChangeFilter), 1, filter.Take()});
                } else {
                    w.ExtensionObject({});
                }
                w.UInt32(queueSize);
                w.Boolean(true);
            }
        });
        TUaBinaryReader r(answer);
        ReadResponseStart(r);
        r.Array([&] {
            monitored += r.StatusCode() == 0;
            r.UInt32();
            r.Double();
            r.UInt32();
            r.ExtensionObject();
            return 0;
        });
    }
    const double setupMs = static_cast<double>(clock.elapsed());

    // Publish phase: a few Publish requests always outstanding, each answer acknowledged.
    std::vector<std::uint32_t> acks;
    int outstanding = 0;
    auto publish = [&] {
        client.Send(UaId::PublishRequest, [&](TUaBinaryWriter& w) {
            w.ArrayLength(acks.size());
            for (auto seq : acks) {
                w.UInt32(subscriptionId);
                w.UInt32(seq);
            }
        });
        acks.clear();
        ++outstanding;
    };
    std::vector<bool> goodSeen(ItemCount, false);
    std::map<std::uint64_t, qint64> changedAt; // round value -> time of the change
    std::vector<double> latencies;
    std::size_t notifications = 0;
    std::size_t goodInitial = 0;
    bool measuring = false;
    qint64 measureStart = 0;
    double cpuStart = 0;
    int round = 0;
    qint64 nextRound = 0;
    std::size_t changesMade = 0;

    // Takes the Publish answers that have arrived; counts notifications while measuring.
    auto receive = [&] {
        std::size_t counted = 0;
        for (auto& [requestId, payload] : client.Receive(2)) {
            std::uint32_t subscription = 0, sequence = 0;
            std::vector<TNotification> changes;
            if (!ParsePublish(payload, subscription, sequence, changes)) continue;
            --outstanding;
            if (!changes.empty()) acks.push_back(sequence);
            const qint64 received = clock.elapsed();
            for (const auto& n : changes) {
                if (n.Handle >= static_cast<std::uint32_t>(ItemCount)) continue;
                if (n.Good && !goodSeen[n.Handle]) {
                    goodSeen[n.Handle] = true;
                    ++goodInitial;
                }
                if (!measuring) continue;
                ++counted;
                auto at = changedAt.find(n.Value);
                if (at != changedAt.end()) latencies.push_back(static_cast<double>(received - at->second));
            }
        }
        return counted;
    };

    // Wait until every item has reported its first (good) value: the poll covers them all.
    clock.restart();
    const qint64 warmupLimit = 60000;
    while (true) {
        while (outstanding < PublishRequestsOutstanding) publish();
        const qint64 now = clock.elapsed();
        if (!measuring && (goodInitial >= static_cast<std::size_t>(monitored) || now > warmupLimit)) {
            measuring = true;
            measureStart = now;
            nextRound = now;
            cpuStart = CpuSeconds(server.Pid());
        }
        if (measuring && now >= nextRound) {
            if (now - measureStart >= seconds * 1000) break;
            ++round;
            const std::uint64_t value = 1 + static_cast<std::uint64_t>(round % 60000);
            // The simulator's new values reach the server through the PLC link.
            std::string commands;
            const int base = (round % 10) * ChangedPerRound;
            for (int i = base; i < base + ChangedPerRound; ++i)
                commands += "set 0 WR" + Hex4(i) + " " + std::to_string(value) + "\n";
            changedAt[value] = clock.elapsed();
            control.write(commands.data(), static_cast<qint64>(commands.size()));
            control.flush();
            changesMade += ChangedPerRound;
            nextRound += RoundMs;
        }
        control.readAll(); // the simulator's "ok" answers
        if (control.bytesToWrite() > 0)
            control.waitForBytesWritten(0);
        else
            control.waitForReadyRead(0);
        notifications += receive();
    }
    const double window = static_cast<double>(clock.elapsed() - measureStart) / 1000.0;
    const double cpu = CpuSeconds(server.Pid()) - cpuStart;
    const double rss = RssMegabytes(server.Pid());
    // No more changes: what is still queued in the server arrives within a few publishing
    // intervals, so "lost" counts only what never comes.
    const std::size_t inWindow = notifications;
    const qint64 drainStart = clock.elapsed();
    while (notifications < changesMade && clock.elapsed() - drainStart < 3000) {
        while (outstanding < PublishRequestsOutstanding) publish();
        notifications += receive();
    }

    control.write("quit\n");
    control.flush();
    sim.waitForFinished(5000);

    std::printf(
        "UaMonitoredItemsBench: %d monitored items (%d accepted) in one subscription, publishing %.0f ms "
        "(revised), queue size %u, %s, %s, %d changed every %d ms\n",
        ItemCount, monitored, revisedInterval, queueSize, security->Describe().c_str(),
        deadband > 0 ? ("absolute deadband " + std::to_string(deadband)).c_str() : "no deadband",
        ChangedPerRound, RoundMs);
    std::printf("  setup of the monitored items: %.0f ms; items good before measuring: %zu\n", setupMs,
                goodInitial);
    std::printf("  measured %.1f s: %zu changes delivered to the PLC, %zu notifications (%.0f/s, %.1f %% of "
                "the changes)\n",
                window, changesMade, inWindow, static_cast<double>(inWindow) / window,
                changesMade ? 100.0 * static_cast<double>(inWindow) / static_cast<double>(changesMade) : 0.0);
    std::printf(
        "  with the %lld ms after the window: %zu notifications, %zu matched to a change, %zu changes "
        "never notified\n",
        static_cast<long long>(clock.elapsed() - drainStart), notifications, latencies.size(),
        changesMade > latencies.size() ? changesMade - latencies.size() : 0);
    std::printf("  server CPU: %.0f ms per second (%.1f %% of one core), RSS %.0f MB\n",
                1000.0 * cpu / window, 100.0 * cpu / window, rss);
    std::printf(
        "  notification latency (simulator memory change -> notification received), ms: p50 %.0f  p90 %.0f  "
        "p99 %.0f  max %.0f\n",
        Percentile(latencies, 0.5), Percentile(latencies, 0.9), Percentile(latencies, 0.99),
        Percentile(latencies, 1.0));
    return monitored == ItemCount && !latencies.empty() ? 0 : 1;
}
