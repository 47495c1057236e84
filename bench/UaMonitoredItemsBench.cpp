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
// Usage: bench_UaMonitoredItems [seconds=10] [items=10000] [queue=1] [deadband=0] [dravon]
//        [dravon-plcsim]   (programs default to the release build tree next to this one).
#include "ua/UaBinaryReader.h"
#include "ua/UaBinaryWriter.h"
#include "ua/UaMessages.h"
#include "ua/UaNodeIds.h"
#include "unit/ua/UaTestClient.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

using namespace dravon;
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

// utime + stime of a process in seconds.
double CpuSeconds(qint64 pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::size_t close = text.rfind(')');
    if (close == std::string::npos) return 0;
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    double ticks = 0;
    for (int i = 3; fields >> field; ++i) {
        if (i == 14 || i == 15) ticks += std::stod(field);
        if (i == 15) break;
    }
    return ticks / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

// Resident memory of a process in MB.
double RssMegabytes(qint64 pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::stod(line.substr(6)) / 1024.0;
    return 0;
}

int FreePort() {
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

// A blocking opc.tcp client over a socket, for setup; Receive() for the publish phase.
class TBenchClient {
public:
    bool Connect(int port) {
        for (int attempt = 0; attempt < 100; ++attempt) {
            Socket_.connectToHost("127.0.0.1", static_cast<quint16>(port));
            if (Socket_.waitForConnected(200)) break;
            Socket_.abort();
            QThread::msleep(100);
        }
        if (Socket_.state() != QAbstractSocket::ConnectedState) return false;
        Write(HelloFrame(1 << 20, 1 << 20, 0, 0));
        Write(OpenFrame(0, 1, 1));
        std::vector<TFrame> frames;
        while (frames.size() < 2 && Socket_.waitForReadyRead(5000)) Append(frames);
        if (frames.size() < 2 || frames[1].Type != "OPNF") return false;
        TUaBinaryReader r(frames[1].Body);
        ChannelId_ = r.UInt32();
        return true;
    }

    template <typename F> void Send(std::uint32_t typeId, F fill) {
        ++Sequence_;
        ++RequestId_;
        Write(MessageFrame("MSGF", ChannelId_, 1, Sequence_, RequestId_,
                           RequestBody(typeId, Auth_, RequestId_, fill)));
    }
    // Sends a request and waits for its response payload.
    template <typename F> std::string Call(std::uint32_t typeId, F fill) {
        Send(typeId, fill);
        const std::uint32_t id = RequestId_;
        QElapsedTimer timer;
        timer.start();
        while (timer.elapsed() < 60000) {
            for (auto& [requestId, payload] : Receive(100))
                if (requestId == id) return payload;
        }
        return {};
    }
    // Complete responses (request id, payload) received within the wait.
    std::vector<std::pair<std::uint32_t, std::string>> Receive(int waitMs) {
        std::vector<std::pair<std::uint32_t, std::string>> out;
        if (Socket_.bytesAvailable() == 0) Socket_.waitForReadyRead(waitMs);
        std::vector<TFrame> frames;
        Append(frames);
        for (const auto& f : frames) {
            if (f.Type != "MSGF" && f.Type != "MSGC") continue;
            TUaBinaryReader r(f.Body);
            r.UInt32();
            r.UInt32();
            r.UInt32();
            const std::uint32_t requestId = r.UInt32();
            Partial_[requestId] += MessagePayload(f);
            if (f.Type == "MSGF") {
                out.emplace_back(requestId, std::move(Partial_[requestId]));
                Partial_.erase(requestId);
            }
        }
        return out;
    }
    void SetToken(TUaNodeId token) { Auth_ = std::move(token); }

private:
    void Write(const std::string& bytes) {
        Socket_.write(bytes.data(), static_cast<qint64>(bytes.size()));
        Socket_.flush();
    }
    void Append(std::vector<TFrame>& frames) {
        const QByteArray data = Socket_.readAll();
        Buffer_.Written.append(data.constData(), static_cast<std::size_t>(data.size()));
        for (auto& f : TakeFrames(Buffer_)) frames.push_back(std::move(f));
    }

    QTcpSocket Socket_;
    TFakeUaSocket Buffer_; // only its byte buffer, for the frame splitter
    std::map<std::uint32_t, std::string> Partial_;
    std::uint32_t ChannelId_ = 0;
    std::uint32_t Sequence_ = 1;
    std::uint32_t RequestId_ = 1;
    TUaNodeId Auth_;
};

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
    auto key = [](const std::string& p) {
        std::string escaped;
        for (char c : p) escaped += c == '\\' ? std::string("\\\\") : std::string(1, c);
        return "key HKEY_LOCAL_MACHINE \"" + escaped + "\"\n";
    };
    return "DRAVON-STORE 1\n" + key("SOFTWARE\\Norvane\\Dravon\\PLCList") + "dword \"Count\" 1\n" +
           "string \"PLCName0\" \"PLC1\"\nstring \"PLCIP0\" \"127.0.0.1\"\n" + "dword \"PLCTcpPort0\" " +
           std::to_string(simPort) + "\ndword \"ProtocolType0\" 3\ndword \"DrvType0\" 2\n" +
           key("SOFTWARE\\Norvane\\Dravon\\OpcUa") + "dword \"Port\" " + std::to_string(uaPort) + "\n" +
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
    const QString here = QCoreApplication::applicationDirPath();
    const QString dravonPath = argc > 5 ? argv[5] : here + "/../src/dravon";
    const QString simPath = argc > 6 ? argv[6] : here + "/../tools/plcsim/dravon-plcsim";

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

    QTemporaryDir home;
    const int uaPort = FreePort();
    {
        QFile store(home.path() + "/machine.store");
        store.open(QIODevice::WriteOnly);
        store.write(QByteArray::fromStdString(StoreText(simPort, uaPort, ItemCount)));
    }
    QProcess server;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("DRAVON_HOME", home.path());
    env.insert("QT_QPA_PLATFORM", "offscreen");
    env.remove("DISPLAY");
    env.remove("WAYLAND_DISPLAY");
    server.setProcessEnvironment(env);
    server.setStandardOutputFile(QProcess::nullDevice());
    server.start(dravonPath, {});
    if (!server.waitForStarted(10000)) {
        std::fprintf(stderr, "dravon did not start (%s)\n", dravonPath.toLocal8Bit().constData());
        return 1;
    }

    TBenchClient client;
    if (!client.Connect(uaPort)) {
        std::fprintf(stderr, "no OPC UA endpoint on port %d\n", uaPort);
        return 1;
    }
    std::string created = client.Call(UaId::CreateSessionRequest, [](TUaBinaryWriter& w) {
        WriteApplicationDescription(w, {});
        w.Int32(-1);
        w.String("opc.tcp://127.0.0.1");
        w.String("UaMonitoredItemsBench");
        w.ByteString(std::string(32, 'n'));
        w.Int32(-1);
        w.Double(60000);
        w.UInt32(0);
    });
    TUaBinaryReader cr(created);
    if (ReadResponseStart(cr).ServiceResult != 0) return 1;
    cr.NodeId();
    client.SetToken(cr.NodeId());
    client.Call(UaId::ActivateSessionRequest, [](TUaBinaryWriter& w) {
        w.Int32(-1);
        w.Int32(-1);
        w.EmptyArray();
        w.EmptyArray();
        TUaBinaryWriter token;
        token.String("anonymous");
        w.ExtensionObject({TUaNodeId::Num(UaId::AnonymousIdentityToken), 1, token.Take()});
        w.Int32(-1);
        w.Int32(-1);
    });
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
            cpuStart = CpuSeconds(server.processId());
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
                ++notifications;
                auto at = changedAt.find(n.Value);
                if (at != changedAt.end()) latencies.push_back(static_cast<double>(received - at->second));
            }
        }
    }
    const double window = static_cast<double>(clock.elapsed() - measureStart) / 1000.0;
    const double cpu = CpuSeconds(server.processId()) - cpuStart;
    const double rss = RssMegabytes(server.processId());

    server.terminate();
    server.waitForFinished(10000);
    control.write("quit\n");
    control.flush();
    sim.waitForFinished(5000);

    std::printf(
        "UaMonitoredItemsBench: %d monitored items (%d accepted) in one subscription, publishing %.0f ms "
        "(revised), queue size %u, %s, %d changed every %d ms\n",
        ItemCount, monitored, revisedInterval, queueSize,
        deadband > 0 ? ("absolute deadband " + std::to_string(deadband)).c_str() : "no deadband",
        ChangedPerRound, RoundMs);
    std::printf("  setup of the monitored items: %.0f ms; items good before measuring: %zu\n", setupMs,
                goodInitial);
    std::printf("  measured %.1f s: %zu changes delivered to the PLC, %zu notifications (%.0f/s, %.1f %% of "
                "the changes), %zu matched to a change\n",
                window, changesMade, notifications, static_cast<double>(notifications) / window,
                changesMade ? 100.0 * static_cast<double>(notifications) / static_cast<double>(changesMade)
                            : 0.0,
                latencies.size());
    std::printf("  server CPU: %.0f ms per second (%.1f %% of one core), RSS %.0f MB\n",
                1000.0 * cpu / window, 100.0 * cpu / window, rss);
    std::printf(
        "  notification latency (simulator memory change -> notification received), ms: p50 %.0f  p90 %.0f  "
        "p99 %.0f  max %.0f\n",
        Percentile(latencies, 0.5), Percentile(latencies, 0.9), Percentile(latencies, 0.99),
        Percentile(latencies, 1.0));
    return monitored == ItemCount && !latencies.empty() ? 0 : 1;
}
