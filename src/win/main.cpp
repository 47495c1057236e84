// dravon.exe, the headless Windows server: wiring only, in the order of the Linux program.
// Switches that end at once, the class registration of the COM layer (/RegServer,
// /UnregServer), the command line with /REGISTER and /UNREGISTER, one server per session,
// then the server core on the Win32 message loop, with the OPC class object registered,
// until Ctrl+C, the stop event ("dravon --stop") or, started by COM, the last client's
// release ends it.
// Log lines go to DravonConsole.log beside the executable: a server COM starts has no
// console.
#include "app/CommandLine.h"
#include "app/Registration.h"
#include "server/Communication.h"
#include "server/ConsoleLogView.h"
#include "server/OPCServer.h"
#include "server/ServerCore.h"
#include "win/ComSide.h"
#include "win/WinClock.h"
#include "win/WinEventLoop.h"
#include "win/WinRegistryStore.h"
#include "win/WinSockets.h"
#include "win/WinText.h"
#include "win/WinTransportFactory.h"

#include <windows.h>

#include <cstdlib>
#include <fstream>
#include <iostream>
#include <memory>

namespace {

using namespace dravon;

// Named per session: Ctrl+C in the console and any program that wants the server to end
// (the tests' client) set it; the loop sees it like any other event.
constexpr const wchar_t* StopEventName = L"Local\\DravonOPC.DA2.Stop";
constexpr const wchar_t* InstanceMutexName = L"Local\\DravonOPC.DA2.Server";

std::string FileVersion() { return std::string(DRAVON_VERSION) + ".0"; }

std::string ExecutablePath() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (length < path.size()) {
            path.resize(length);
            return Narrow(path);
        }
        path.resize(path.size() * 2);
    }
}

// DRAVON_HOME or the executable's directory, with a trailing separator.
std::string ApplicationDirectory(const std::string& executable) {
    std::string directory;
    if (const char* home = std::getenv("DRAVON_HOME"); home && *home) {
        directory = home;
    } else {
        const auto slash = executable.find_last_of("\\/");
        directory = slash == std::string::npos ? std::string(".") : executable.substr(0, slash);
    }
    if (directory.back() != '\\' && directory.back() != '/') directory += '\\';
    return directory;
}

BOOL WINAPI ConsoleControl(DWORD) {
    // Another thread: only the event crosses over.
    if (HANDLE stop = OpenEventW(EVENT_MODIFY_STATE, FALSE, StopEventName)) {
        SetEvent(stop);
        CloseHandle(stop);
    }
    return TRUE;
}

class THandle {
public:
    explicit THandle(HANDLE handle) : Handle_(handle) {}
    ~THandle() {
        if (Handle_) CloseHandle(Handle_);
    }
    THandle(const THandle&) = delete;
    THandle& operator=(const THandle&) = delete;
    HANDLE Get() const { return Handle_; }

private:
    HANDLE Handle_;
};

} // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> arguments(argv + 1, argv + argc);
    for (const auto& argument : arguments) {
        if (argument == "--help") {
            std::cout << UsageText("dravon");
            return 0;
        }
        if (argument == "--version") {
            std::cout << "dravon " << DRAVON_VERSION << std::endl;
            return 0;
        }
        // The running server ends in order, as on Ctrl+C in its console.
        if (argument == "--stop") {
            THandle stop(OpenEventW(EVENT_MODIFY_STATE, FALSE, StopEventName));
            if (!stop.Get() || !SetEvent(stop.Get())) {
                std::cerr << "No Dravon server is running" << std::endl;
                return 1;
            }
            return 0;
        }
    }
    const std::string executable = ExecutablePath();
    const std::string directory = ApplicationDirectory(executable);
    std::ofstream logFile(directory + "DravonConsole.log", std::ios::app);
    std::ostream& errors = logFile ? static_cast<std::ostream&>(logFile) : std::cerr;

    TWinRegistryStore store;
    const std::unique_ptr<IComSide> com = CreateComSide();
    const TComServerStart comStart = InitializeComServer(store, ComStartMode(arguments), executable);
    if (comStart.EndProcess) {
        if (comStart.RegistrationFailed) {
            const std::string line = std::string(ServerDescription) + " class registration failed";
            errors << line << std::endl;
            std::cerr << line << std::endl;
            return 1;
        }
        return 0;
    }
    const TCommandLine commandLine = ParseCommandLine(arguments, [&](TRegistrationAction action) {
        const TRegistrationResult result =
            action == TRegistrationAction::Register
                ? RegisterServer(store, ServerProgID, executable, com->Categories())
                : UnregisterServer(store, ServerProgID, com->Categories());
        if (!result.Ok) {
            const std::string line = result.Message + (result.Error.empty() ? "" : " " + result.Error);
            errors << line << std::endl;
            std::cerr << line << std::endl;
        }
        return result.Ok;
    });
    if (commandLine.RegistrationRan) return commandLine.RegistrationFailed ? 1 : 0;

    // Never a second server in the session: it would poll the same PLCs.
    THandle instance(CreateMutexW(nullptr, FALSE, InstanceMutexName));
    if (!instance.Get() || GetLastError() == ERROR_ALREADY_EXISTS) {
        errors << "A Dravon server already runs; no second server is started" << std::endl;
        std::cerr << "A Dravon server already runs; no second server is started" << std::endl;
        return 1;
    }
    THandle stopEvent(CreateEventW(nullptr, TRUE, FALSE, StopEventName));

    TWinsock winsock;
    TWinClock clock;
    TWinEventLoop loop;
    TWinTimerFactory timers(loop);
    TServerCore core({&clock, &loop, &timers, &store, directory}, commandLine, FileVersion());
    core.SetErrorStream(&errors);
    core.Context().StopRequested = [&stopEvent] {
        return stopEvent.Get() && WaitForSingleObject(stopEvent.Get(), 0) == WAIT_OBJECT_0;
    };
    TWinTransportFactory transports(core.Context(), loop);
    TWinHostResolver resolver(loop);
    TCommunication communication(core, transports, &resolver);
    TOPCServer opcServer(core);
    // After the OPC server's own hook: the clients have had their shutdown request.
    core.ShutdownClientsHooks.push_back([&com] { com->Stop(); });
    TConsoleLogView fileView(errors);
    core.Log().AddView(&fileView);
    TConsoleLogView consoleView(std::cout);
    const bool console = GetConsoleWindow() != nullptr;
    if (console) core.Log().AddView(&consoleView);
    loop.ExceptionHook = [&core] { core.HandleCurrentException(); };

    const auto stop = [&core, &loop] {
        core.Shutdown();
        loop.Quit();
    };
    if (stopEvent.Get()) loop.AddHandle(stopEvent.Get(), stop);
    SetConsoleCtrlHandler(&ConsoleControl, TRUE);

    core.Startup();
    if (core.ShutDown()) return 0;
    const bool startedByClient = commandLine.StartedByClient;
    if (!com->Start(opcServer, [&loop, &stop, startedByClient] {
            // Started by COM for its clients: when the last one is gone, so is the server.
            if (startedByClient) loop.Post(stop);
        })) {
        core.Log().Add("OPC class object cannot be registered; COM clients cannot connect", false);
    }
    const int status = loop.Run();
    core.Shutdown();
    loop.RemoveHandle(stopEvent.Get());
    SetConsoleCtrlHandler(&ConsoleControl, FALSE);
    loop.ExceptionHook = nullptr;
    if (console) core.Log().RemoveView(&consoleView);
    core.Log().RemoveView(&fileView);
    return status;
}
