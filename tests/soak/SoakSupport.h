// What the soak programs and the soak's tests share: options, spinning the event loop
// until a condition holds, the process's memory, a session-log recorder, the summary and an
// OPC UA endpoint on an in-memory backend over a loopback port with its clients' rig.
#pragma once

#include "SoakClient.h"

#include "app/ServerContext.h"
#include "app/SessionLog.h"
#include "platform/QtClock.h"
#include "platform/QtEventLoop.h"
#include "platform/QtTimerFactory.h"
#include "platform/UaTcpListener.h"
#include "ua/UaMemoryBackend.h"
#include "ua/UaServer.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QTcpServer>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iomanip>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#if defined(__SANITIZE_ADDRESS__)
// From the sanitizer runtime (its header is not installed everywhere).
extern "C" std::size_t __sanitizer_get_current_allocated_bytes();
#else
#include <malloc.h>
#endif

namespace dravon::soak {

struct TSoakOptions {
    std::uint32_t DurationS = 600;
    std::uint32_t Seed = 12;
    std::uint32_t Clients = 3;
    bool Verbose = false;
};

// --duration S (at least leastS), --seed N, --clients N (1-8), --verbose, --help; the exit
// status when the program is not to run (usage on stdout for --help, else on stderr).
inline std::optional<int> ParseOptions(int argc, char** argv, TSoakOptions& options, std::uint32_t leastS,
                                       const char* usage) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--help") return std::fputs(usage, stdout), 0;
        if (a == "--verbose") {
            options.Verbose = true;
            continue;
        }
        // --name N within [least, most]
        const std::tuple<const char*, std::uint32_t*, std::uint32_t, std::uint32_t> numbers[] = {
            {"--duration", &options.DurationS, leastS, UINT32_MAX / 1000},
            {"--seed", &options.Seed, 0, UINT32_MAX},
            {"--clients", &options.Clients, 1, 8}};
        auto it = std::find_if(std::begin(numbers), std::end(numbers),
                               [&](const auto& n) { return a == std::get<0>(n); });
        char* end = nullptr;
        const unsigned long v =
            it == std::end(numbers) || i + 1 >= argc ? 0 : std::strtoul(argv[++i], &end, 10);
        if (!end || *end != '\0' || v < std::get<2>(*it) || v > std::get<3>(*it))
            return std::fputs(usage, stderr), 2;
        *std::get<1>(*it) = static_cast<std::uint32_t>(v);
    }
    return std::nullopt;
}

// Runs the event loop until the condition holds; false after boundMs.
inline bool Spin(const std::function<bool()>& condition, std::int64_t boundMs) {
    QElapsedTimer timer;
    timer.start();
    while (!condition()) {
        if (timer.elapsed() > boundMs) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 50);
    }
    return true;
}

// Resident and peak resident memory of this process and the heap it holds, in kB (the
// sanitizer's allocator keeps its own count).
struct TMemory {
    long Rss = 0;
    long Peak = 0;
    long Heap = 0;
};
inline TMemory ReadMemory() {
    TMemory m;
#if defined(__SANITIZE_ADDRESS__)
    m.Heap = static_cast<long>(__sanitizer_get_current_allocated_bytes() / 1024);
#else
    m.Heap = static_cast<long>(mallinfo2().uordblks / 1024);
#endif
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmRSS:", 0) == 0) m.Rss = std::atol(line.c_str() + 6);
        if (line.rfind("VmHWM:", 0) == 0) m.Peak = std::atol(line.c_str() + 6);
    }
    return m;
}

// Resident memory's change in per cent, and a fault when it is `limit` % or more.
inline double MemoryChange(TSoakCounters& counters, long warmKb, long endKb, double limit) {
    const double change =
        warmKb > 0 ? 100.0 * static_cast<double>(endKb - warmKb) / static_cast<double>(warmKb) : 100.0;
    if (change >= limit || change <= -limit)
        counters.Fault("resident memory changed by " + std::to_string(change) + " % between the warm-up (" +
                       std::to_string(warmKb) + " kB) and the end (" + std::to_string(endKb) + " kB)");
    counters.Count("RSS after warm-up (kB)", static_cast<std::uint64_t>(warmKb));
    counters.Count("RSS at end (kB)", static_cast<std::uint64_t>(endKb));
    return change;
}

// The counts, one a line, then PASSED or FAILED with the faults; the exit status.
inline int PrintSummary(const std::string& program, const TSoakCounters& counters,
                        const std::vector<TSoakActivity>& activity) {
    for (const auto& [name, count] : counters.Counts)
        std::cout << "  " << std::setw(44) << std::left << name << ' ' << count << '\n';
    for (const TSoakActivity& a : activity)
        std::cout << "  " << std::setw(44) << std::left << a.Name + " writes / reads / notified" << ' '
                  << a.Writes << " / " << a.Reads << " / " << a.Notified << '\n';
    std::cout << '\n'
              << program << ": " << (counters.Faults.empty() ? "PASSED" : "FAILED") << " ("
              << counters.Faults.size() << ")\n";
    for (const auto& f : counters.Faults) std::cout << "  - " << f << '\n';
    std::cout << std::flush;
    return counters.Faults.empty() ? 0 : 1;
}

// Lines about clients coming and going, creating groups and callbacks.
inline bool ClientLine(const std::string& line) {
    return line.rfind("Client", 0) == 0 || line.rfind("Group", 0) == 0;
}

// The session log as counts per kind of line (digits masked), and the other lines (PLC,
// link and endpoint events) with the time they were added: bounded however long the run
// and however many clients.
class TLogRecorder : public ISessionLogView {
public:
    std::vector<std::string> Lines;
    std::vector<std::uint32_t> Times; // ms into the run
    std::map<std::string, int> Kinds;
    std::size_t Total = 0;
    std::function<std::uint32_t()> Now;
    bool Echo = false;
    void MemoCleared() override {}
    void MemoLineAdded(const std::string& line) override {
        ++Total;
        std::string kind = line;
        std::replace_if(
            kind.begin(), kind.end(), [](char c) { return c >= '0' && c <= '9'; }, '#');
        ++Kinds[kind];
        if (ClientLine(line)) return;
        Lines.push_back(line);
        Times.push_back(Now ? Now() : 0);
        if (Echo) std::cout << "soak: " << Times.back() << " ms log: " << line << std::endl;
    }
    void ShowMessage(const std::string&, unsigned) override {}
    int Containing(const std::string& text) const {
        return static_cast<int>(std::count_if(Lines.begin(), Lines.end(),
                                              [&](const std::string& l) { return l.find(text) != l.npos; }));
    }
};

// The OPC UA endpoint on an in-memory backend holding words P.W0, P.W1, ... (ledger
// indexes in that order, each with its initial value), listening on a free loopback port,
// and what its clients share, on the Qt clock, loop and timers, with a recorded session log.
struct TSoakUaRig {
    TSoakUaRig(int words, const TUaConfig& config, std::uint32_t seed) : Random(seed) {
        Context.Clock = &Clock;
        Context.Loop = &Loop;
        Context.Timers = &Timers;
        Context.Log = &Log;
        Log.AddView(&Lines);
        Backend = std::make_unique<TUaMemoryBackend>(Context);
        Server = std::make_unique<TUaServer>(Context, *Backend, config);
        const std::string folder = Backend->AddFolder("/", "P");
        for (int i = 0; i < words; ++i) {
            const std::string id = "P.W" + std::to_string(i);
            const std::uint64_t initial = TSoakLedger::InitialValue(Ledger.Add(id));
            Backend->AddVariable(folder, id, id, TUaVariant::Scalar(TUaType::UInt16, initial), true);
        }
        // The accepted connections go to the endpoint as the program's listener hands them over.
        if (!Listener.listen(QHostAddress::LocalHost, 0)) return;
        QObject::connect(&Listener, &QTcpServer::newConnection, [this] {
            while (QTcpSocket* socket = Listener.nextPendingConnection())
                Server->Accept(std::make_unique<TUaTcpSocket>(socket));
        });
    }
    ~TSoakUaRig() { Log.RemoveView(&Lines); }
    std::uint16_t Port() const { return Listener.serverPort(); }
    // The value the backend holds for a word.
    std::uint16_t Held(const std::string& id) {
        const auto* v = Backend->Find(id);
        return v && v->Value.Value.Values.size() == 1
                   ? static_cast<std::uint16_t>(std::get<std::uint64_t>(v->Value.Value.Values[0]))
                   : 0;
    }

    TQtClock Clock;
    TQtEventLoop Loop;
    TQtTimerFactory Timers;
    TServerContext Context;
    TSessionLog Log{Context.Settings, Clock, "/nonexistent-dravon-soak/"};
    TLogRecorder Lines;
    TSoakLedger Ledger;
    TSoakCounters Counters;
    std::mt19937 Random;
    TSoakEnv Env{nullptr, &Clock, &Ledger, &Counters, &Random, false, 5000, 0};
    std::unique_ptr<TUaMemoryBackend> Backend;
    std::unique_ptr<TUaServer> Server;
    QTcpServer Listener;
};

} // namespace dravon::soak
