// What the soak programs and the soak's tests share: spinning the event loop until a
// condition holds, the process's memory, a session-log recorder and an OPC UA endpoint on
// an in-memory backend over a loopback port.
#pragma once

#include "SoakLedger.h"

#include "app/ServerContext.h"
#include "app/SessionLog.h"
#include "platform/UaTcpListener.h"
#include "ua/UaMemoryBackend.h"
#include "ua/UaServer.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QTcpServer>

#include <algorithm>
#include <fstream>
#include <functional>
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
// indexes in that order, each with its initial value), listening on a free loopback port.
struct TSoakUaEndpoint {
    TSoakUaEndpoint(TServerContext& context, TSoakLedger& ledger, int words, const TUaConfig& config)
        : Backend(context), Server(context, Backend, config) {
        const std::string folder = Backend.AddFolder("/", "P");
        for (int i = 0; i < words; ++i) {
            const std::string id = "P.W" + std::to_string(i);
            Backend.AddVariable(
                folder, id, id,
                TUaVariant::Scalar(TUaType::UInt16, std::uint64_t{TSoakLedger::InitialValue(ledger.Add(id))}),
                true);
        }
        // The accepted connections go to the endpoint as the program's listener hands them over.
        if (!Listener.listen(QHostAddress::LocalHost, 0)) return;
        QObject::connect(&Listener, &QTcpServer::newConnection, [this] {
            while (QTcpSocket* socket = Listener.nextPendingConnection())
                Server.Accept(std::make_unique<TUaTcpSocket>(socket));
        });
    }
    std::uint16_t Port() const { return Listener.serverPort(); }
    // The value the backend holds for a word.
    std::uint16_t Held(const std::string& id) {
        const auto* v = Backend.Find(id);
        return v && v->Value.Value.Values.size() == 1
                   ? static_cast<std::uint16_t>(std::get<std::uint64_t>(v->Value.Value.Values[0]))
                   : 0;
    }

    TUaMemoryBackend Backend;
    TUaServer Server;
    QTcpServer Listener;
};

} // namespace dravon::soak
