// What the end-to-end benchmarks share: the server side of tests/integration polling
// the simulator with the real Qt transports, a client that keeps asking for every
// location (as a group with update rate 0 does), the Qt loop run for a given time, and
// the CPU time of the main thread (the simulator's thread is not counted).
#pragma once

#include "PlcSimulator.h"
#include "integration/LoopbackServer.h"

#include "comm/CommDriver.h"
#include "plc/DriverPool.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

#include <sys/resource.h>

#include <cstdint>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

namespace dravon::bench {

inline double ThreadCpuUs() {
    timespec ts{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) * 1e6 + static_cast<double>(ts.tv_nsec) / 1e3;
}

// The user-space share of ThreadCpuUs: what the program's own code costs, the rest being
// the kernel's work for its system calls.
inline double ThreadUserCpuUs() {
    rusage usage{};
    ::getrusage(RUSAGE_THREAD, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec) * 1e6 + static_cast<double>(usage.ru_utime.tv_usec);
}

inline double ProcessCpuUs() {
    timespec ts{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) * 1e6 + static_cast<double>(ts.tv_nsec) / 1e3;
}

// Runs the Qt loop, sleeping between events as the program does, for ms.
inline void RunLoopFor(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

// Runs the Qt loop until condition holds (checked every 5 ms) or boundMs passed.
inline bool RunLoopUntil(const std::function<bool()>& condition, int boundMs) {
    QEventLoop loop;
    QTimer check;
    QObject::connect(&check, &QTimer::timeout, &loop, [&] {
        if (condition()) loop.quit();
    });
    QTimer::singleShot(boundMs, &loop, &QEventLoop::quit);
    check.start(5);
    if (!condition()) loop.exec();
    return condition();
}

// The main loop seen by the communication manager: before each run-now event (an answer
// came in) every location that was read is asked for again, as a client's group does.
class TRequestingLoop : public IEventLoop {
public:
    explicit TRequestingLoop(IEventLoop& inner) : Inner_(inner) {}
    void Post(std::function<void()> work) override {
        Inner_.Post([this, w = std::move(work)] {
            RequestAgain();
            w();
        });
    }
    void ProcessPendingEvents() override { Inner_.ProcessPendingEvents(); }

    void RequestAgain() {
        if (!Enabled) return;
        for (THitachiLocation* location : Locations) {
            if (!location->ReadRequested) {
                ++Refreshed;
                location->ReadRequested = true;
            }
        }
    }

    bool Enabled = true;
    std::vector<THitachiLocation*> Locations;
    std::uint64_t Refreshed = 0;

private:
    IEventLoop& Inner_;
};

struct TPhase {
    double Seconds = 0;
    std::uint64_t Requests = 0;  // requests the simulator executed
    std::uint64_t Refreshed = 0; // locations read and asked for again
    double CpuUs = 0;            // main thread
    double UserCpuUs = 0;        // main thread, user space only

    TPhase& operator+=(const TPhase& other) {
        Seconds += other.Seconds;
        Requests += other.Requests;
        Refreshed += other.Refreshed;
        CpuUs += other.CpuUs;
        UserCpuUs += other.UserCpuUs;
        return *this;
    }
};

struct TBenchServer {
    TBenchServer() { Server.Context.Loop = &Requesting; }
    ~TBenchServer() {
        for (THitachiLocation* location : Requesting.Locations) location->Release();
        Requesting.Locations.clear();
    }

    // Words WR(first) .. WR(first + count - 1) of plc, held as a client's items.
    void MonitorWords(THitachiPLC& plc, int count, int first = 0) {
        char address[16];
        for (int i = first; i < first + count; ++i) {
            std::snprintf(address, sizeof address, "WR%04X", i);
            if (THitachiLocation* location = Server.Monitor(plc, address))
                Requesting.Locations.push_back(location);
        }
    }
    std::uint8_t Code() const { return static_cast<std::uint8_t>(Requesting.Locations.front()->Code); }

    bool WaitForAllValues(int boundMs) {
        return RunLoopUntil(
            [&] {
                for (THitachiLocation* location : Requesting.Locations) {
                    if (!location->HasValue) return false;
                }
                return true;
            },
            boundMs);
    }

    // Nothing is asked for while paused, so the server sends nothing.
    void Pause() { Requesting.Enabled = false; }
    void Resume() {
        Requesting.Enabled = true;
        for (THitachiLocation* location : Requesting.Locations) location->ReadRequested = true;
    }

    TPhase Measure(const TPlcSimulator& sim, double seconds) {
        TPhase phase;
        const std::uint64_t requests = sim.Stats().Requests();
        const std::uint64_t refreshed = Requesting.Refreshed;
        const double cpu = ThreadCpuUs();
        const double user = ThreadUserCpuUs();
        QElapsedTimer timer;
        timer.start();
        RunLoopFor(static_cast<int>(seconds * 1000));
        phase.Seconds = static_cast<double>(timer.nsecsElapsed()) / 1e9;
        phase.CpuUs = ThreadCpuUs() - cpu;
        phase.UserCpuUs = ThreadUserCpuUs() - user;
        phase.Requests = sim.Stats().Requests() - requests;
        phase.Refreshed = Requesting.Refreshed - refreshed;
        return phase;
    }

    test::TLoopbackServer Server;
    TRequestingLoop Requesting{Server.Loop};
};

} // namespace dravon::bench
