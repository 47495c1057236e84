// The endpoint on 127.0.0.1 over the in-memory backend, for the node-opcua-client tests.
// Prints "PORT <n>" once listening and every session-log line as the server does. Reads
// commands on standard input:
//   set <itemId> <number>        store a value (as a poll would)
//   refuse <itemId> <hexstatus>  later writes are answered with this status (0: accepted)
//   user <name> <role> <password> adds a user to the endpoint's users file, prints "USER <name>"
//   quit
// Ends by itself after the given number of seconds (default 120). A third argument names
// an application directory: the endpoint then keeps its certificate folders in its pki
// folder and offers the secured policies; a fourth, "secure-only", turns None off.
#include "app/Logger.h"
#include "app/MemoryStore.h"
#include "app/ServerContext.h"
#include "app/SessionLog.h"
#include "platform/QtClock.h"
#include "platform/QtEventLoop.h"
#include "platform/QtTimerFactory.h"
#include "platform/UaTcpListener.h"
#include "server/ConsoleLogView.h"
#include "ua/UaMemoryBackend.h"
#include "ua/UaServer.h"
#include "ua/security/UaUserStore.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimer>

#include <cstdio>
#include <iostream>
#include <sstream>
#include <unistd.h>

using namespace dravon;

namespace {

TUaVariant Word(std::uint16_t v) { return TUaVariant::Scalar(TUaType::UInt16, std::uint64_t{v}); }

void BuildTree(TUaMemoryBackend& backend) {
    backend.AddVariable(backend.AddFolder("/", "Sys"), "Sys.ServerUpTime", "ServerUpTime",
                        TUaVariant::Scalar(TUaType::String, std::string("0:00:05")), false);
    std::string plc = backend.AddFolder("/", "PLC1");
    backend.AddVariable(backend.AddFolder(plc, "Sys"), "PLC1.ComStatus", "ComStatus",
                        TUaVariant::Scalar(TUaType::Int32, std::int64_t{0}), false);
    std::string level3 = plc;
    for (const char* folder : {"WR", "WR0xxx", "WR00xx", "WR001x"})
        level3 = backend.AddFolder(level3, folder);
    for (int i = 0; i < 16; ++i) {
        char name[8];
        std::snprintf(name, sizeof name, "WR001%X", i);
        backend.AddVariable(level3, std::string("PLC1.") + name, name, Word(static_cast<std::uint16_t>(i)),
                            true);
    }
    backend.AddVariable(level3, "PLC1.WR0010s", "WR0010s",
                        TUaVariant::Scalar(TUaType::Int16, std::int64_t{0}), true);
}

// The listener the server is started with: the real one is bound before.
class TUaNoListener : public IUaListener {
public:
    bool Listen(const std::string&, std::uint16_t) override { return true; }
    std::uint16_t Port() const override { return 0; }
    void Close() override {}
};

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    int port = argc > 1 ? std::atoi(argv[1]) : 0;
    int lifetime = argc > 2 ? std::atoi(argv[2]) : 120;

    TQtClock clock;
    TQtEventLoop loop;
    TQtTimerFactory timers;
    TMemoryStore store;
    TServerContext context;
    context.Clock = &clock;
    context.Loop = &loop;
    context.Timers = &timers;
    context.Store = &store;
    if (argc > 3) context.ApplicationDirectory = std::string(argv[3]) + "/";
    TSessionLog log(context.Settings, clock, "/nonexistent-dravon-ua-test/");
    TConsoleLogView view(std::cout);
    log.AddView(&view);
    context.Log = &log;
    TLogger debug(clock, "/nonexistent-dravon-ua-test/DravonDebug.Log");
    context.Debug = &debug;

    TUaMemoryBackend backend(context);
    BuildTree(backend);
    TUaTcpListener listener;
    // Port 0 would be replaced by the default: bind first, then tell the server the port.
    if (!listener.Listen("127.0.0.1", static_cast<std::uint16_t>(port))) {
        std::fprintf(stderr, "cannot listen on 127.0.0.1:%d\n", port);
        return 1;
    }
    TUaConfig config;
    config.Port = listener.Port();
    config.HostName = "127.0.0.1";
    config.SessionTimeoutMs = 10000;
    if (argc > 4 && std::string(argv[4]) == "secure-only") config.AllowSecurityNone = false;
    // Start would bind again: only the certificate part of it is wanted here.
    TUaNoListener none;
    TUaServer server(context, backend, config);
    server.Start(none);
    listener.OnConnection = [&server](std::unique_ptr<IUaSocket> socket) {
        server.Accept(std::move(socket));
    };
    std::printf("PORT %u\n", listener.Port());
    std::fflush(stdout);

    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    std::string pending;
    QObject::connect(&input, &QSocketNotifier::activated, [&] {
        char buf[512];
        ssize_t n = ::read(STDIN_FILENO, buf, sizeof buf);
        if (n <= 0) {
            input.setEnabled(false);
            app.quit();
            return;
        }
        pending.append(buf, static_cast<std::size_t>(n));
        std::size_t eol;
        while ((eol = pending.find('\n')) != std::string::npos) {
            std::istringstream line(pending.substr(0, eol));
            pending.erase(0, eol + 1);
            std::string command, item;
            line >> command >> item;
            if (command == "quit") {
                server.Stop("Test server quits");
                app.quit();
            } else if (command == "set") {
                double value = 0;
                line >> value;
                const auto* v = backend.Find(item);
                if (!v) continue;
                TUaVariant converted = v->Value.Value;
                if (converted.Type == TUaType::Int16 || converted.Type == TUaType::Int32)
                    converted.Values = {static_cast<std::int64_t>(value)};
                else
                    converted.Values = {static_cast<std::uint64_t>(value)};
                backend.SetValue(item, converted, 0);
            } else if (command == "user") {
                std::string role, password;
                line >> role >> password;
                // As --add-user does beside the running server. Few hash iterations: the
                // sanitizer build checks passwords slowly.
                TUaUserStore users(UaUsersFile(context.ApplicationDirectory), 1000);
                std::string error;
                if (!users.Add(item, password, *TUaUserStore::ParseRole(role), error))
                    std::fprintf(stderr, "%s\n", error.c_str());
                std::printf("USER %s\n", item.c_str());
                std::fflush(stdout);
            } else if (command == "refuse") {
                std::string hex;
                line >> hex;
                backend.SetWriteRefusal(item, static_cast<TUaStatusCode>(std::stoul(hex, nullptr, 16)));
            }
        }
    });
    QTimer::singleShot(lifetime * 1000, &app, &QCoreApplication::quit);
    return app.exec();
}
