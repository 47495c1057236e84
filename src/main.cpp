// The dravon program: wiring only. Order: switches that end at once, the class
// registration of the COM layer, the command line, the single-instance check, then the
// server core and the event loop until SIGTERM/SIGINT (or the window) ends it.
#include "app/CommandLine.h"
#include "app/FileStore.h"
#include "app/Registration.h"
#include "opc/OPCDAConnectionCollection.h"
#include "platform/AppLocations.h"
#include "platform/GuardedApplication.h"
#include "platform/MosquittoClient.h"
#include "platform/PasswordPrompt.h"
#include "platform/QtClock.h"
#include "platform/QtEventLoop.h"
#include "platform/QtHostResolver.h"
#include "platform/QtTimerFactory.h"
#include "platform/QtTransportFactory.h"
#include "platform/SignalNotifier.h"
#include "platform/SingleInstance.h"
#include "platform/SystemdServiceManager.h"
#include "platform/UaTcpListener.h"
#include "server/Communication.h"
#include "server/ConfigCheck.h"
#include "server/ConsoleLogView.h"
#include "server/JournalLogView.h"
#include "server/MqttService.h"
#include "server/OPCServer.h"
#include "server/ServerCore.h"
#include "server/ServiceHealth.h"
#include "ua/security/UaUserStore.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QHostInfo>
#include <QSysInfo>
#ifdef DRAVON_WITH_WIDGETS
#include "ui/ConfigDialog.h"
#include "ui/MainWindow.h"

#include <QApplication>
#endif

#include <clocale>
#include <cstdlib>
#include <iostream>
#include <memory>

namespace {

using namespace dravon;

// Without a window the operator's view of events is the console.
class THeadlessView : public IServerCoreView {
public:
    void ShowRequested() override {
        std::cout << "Show request from a second start (no window to show)" << std::endl;
    }
};

bool HasDisplay() {
    return !qEnvironmentVariableIsEmpty("DISPLAY") || !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
}

std::string FileVersion() { return std::string(DRAVON_VERSION) + ".0"; }

// --check-config: the store as the server would read it, without starting anything.
int CheckConfig(const TFileStore& store, IKeyValueStore& values) {
    int problems = 0;
    for (const auto& [path, state] : {std::pair{store.MachineFile(), store.MachineFileState()},
                                      std::pair{store.UserFile(), store.UserFileState()}}) {
        if (state == TStoreFileState::Corrupt) {
            std::cout << path << ": cannot be parsed, the server would start with defaults" << std::endl;
            ++problems;
        } else if (state == TStoreFileState::Unreadable) {
            std::cout << path << ": cannot be read" << std::endl;
            ++problems;
        }
    }
    TConfigProbes probes;
    probes.HostResolves = [](const std::string& host) {
        const QHostInfo info = QHostInfo::fromName(QString::fromStdString(host));
        return info.error() == QHostInfo::NoError && !info.addresses().isEmpty();
    };
    probes.DeviceExists = [](const std::string& path) {
        return QFileInfo::exists(QString::fromStdString(path));
    };
    for (const auto& line : CheckConfiguration(values, probes)) {
        std::cout << line << std::endl;
        ++problems;
    }
    if (problems == 0) {
        std::cout << "No problems found in " << store.MachineFile() << std::endl;
        return 0;
    }
    std::cout << problems << (problems == 1 ? " problem" : " problems") << " found in " << store.MachineFile()
              << std::endl;
    return 1;
}

} // namespace

int main(int argc, char** argv) {
    // Time and date texts follow the system locale; everything else stays "C".
    std::setlocale(LC_TIME, "");
    const std::vector<std::string> arguments(argv + 1, argv + argc);
    bool checkConfig = false;
    bool statusQuery = false;
    for (const auto& argument : arguments) {
        checkConfig = checkConfig || argument == "--check-config";
        statusQuery = statusQuery || argument == "--status";
        if (argument == "--help") {
            std::cout << UsageText("dravon");
            return 0;
        }
        if (argument == "--version") {
            std::cout << "dravon " << DRAVON_VERSION << std::endl;
            return 0;
        }
    }

    const bool display = HasDisplay();
    if (!display && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    // Qt's own Unix event loop rather than GLib's: every PLC answer posts a cycle run, and
    // the GLib dispatcher costs about a fifth more CPU per request on a busy TCP link.
    if (!qEnvironmentVariableIsSet("QT_NO_GLIB")) qputenv("QT_NO_GLIB", "1");
    // From here on SIGTERM/SIGINT wait in a signalfd: the start-up asks it between its
    // steps and inside long loads, the event loop later reads it.
    TSignalNotifier terminationSignals;
    const auto stopRequested = [&terminationSignals] { return terminationSignals.StopRequested(); };
    const auto stopped = [&terminationSignals](const char* during) {
        std::cerr << "Dravon " << during << " stopped by signal " << terminationSignals.ReceivedSignal()
                  << std::endl;
    };

    std::unique_ptr<QCoreApplication> application;
    std::function<void()>* exceptionHook = nullptr;
#ifdef DRAVON_WITH_WIDGETS
    if (display) {
        auto gui = std::make_unique<TGuardedApplication<QApplication>>(argc, argv);
        // The server ends through its shut-down paths only, never because a window closed.
        gui->setQuitOnLastWindowClosed(false);
        QApplication::setWindowIcon(TfrmMain::AppIcon());
        exceptionHook = &gui->ExceptionHook;
        application = std::move(gui);
    }
#endif
    if (!application) {
        auto plain = std::make_unique<TGuardedApplication<QCoreApplication>>(argc, argv);
        exceptionHook = &plain->ExceptionHook;
        application = std::move(plain);
    }

    if (stopRequested()) {
        stopped("start-up");
        return 0;
    }
    const TAppLocations locations = TAppLocations::FromEnvironment();
    TFileStore store(locations.MachineStoreFile, locations.UserStoreFile, stopRequested);
    if (stopRequested()) {
        stopped("start-up");
        return 0;
    }
    // User names of the OPC UA endpoint are managed without starting the server.
    TUaUserStore users(UaUsersFile(locations.ApplicationDirectory));
    if (auto exitCode = RunUaUserCommand(arguments, users, {ReadPassword, std::cout, std::cerr, &store}))
        return *exitCode;
    const std::string executable = QCoreApplication::applicationFilePath().toStdString();

    // Both only read: they end before the start-up writes anything to the store.
    if (statusQuery) {
        TSingleInstance running(locations.InstanceScope, locations.InstanceDirectory);
        std::string text;
        if (!running.QueryStatus(text)) {
            std::cerr << "No Dravon server is running" << std::endl;
            return 1;
        }
        std::cout << text << std::flush;
        return 0;
    }
    if (checkConfig) return CheckConfig(store, store);

    const TComServerStart comStart = InitializeComServer(store, ComStartMode(arguments), executable);
    if (comStart.EndProcess) {
        for (const std::string& line : store.TakeProblems()) std::cerr << line << std::endl;
        if (comStart.RegistrationFailed) {
            std::cerr << ServerDescription << " class registration failed: " << locations.MachineStoreFile
                      << " cannot be written" << std::endl;
            return 1;
        }
        return 0;
    }

    const TCommandLine commandLine = ParseCommandLine(arguments, [&](TRegistrationAction action) {
        // Each registration is one write of the store: a stop comes before or after it, never inside.
        if (stopRequested()) return false;
        TRegistrationResult result = action == TRegistrationAction::Register
                                         ? RegisterServer(store, ServerProgID, executable)
                                         : UnregisterServer(store, ServerProgID);
        if (!result.Ok)
            std::cerr << result.Message << (result.Error.empty() ? "" : " " + result.Error) << std::endl;
        return result.Ok;
    });
    if (commandLine.RegistrationRan) {
        for (const std::string& line : store.TakeProblems()) std::cerr << line << std::endl;
        if (stopRequested()) {
            stopped("registration");
            return 128 + terminationSignals.ReceivedSignal();
        }
        return commandLine.RegistrationFailed ? 1 : 0;
    }

    TSingleInstance instance(locations.InstanceScope, locations.InstanceDirectory);
    switch (instance.Start(arguments)) {
    case TInstanceStart::HandedOver: return 0;
    case TInstanceStart::NoAnswer:
        // Never a second server on the same store files: it would poll the same PLCs.
        std::cerr << "A Dravon server already runs on " << locations.MachineStoreFile
                  << " but did not answer within " << TSingleInstance::HandOverAttempts << " x "
                  << TSingleInstance::HandOverTimeoutMs / 1000 << " s; no second server is started"
                  << std::endl;
        return 1;
    case TInstanceStart::Run: break;
    }

    TQtClock clock;
    TQtEventLoop loop;
    TQtTimerFactory timers;
    TServerCore core({&clock, &loop, &timers, &store, locations.ApplicationDirectory}, commandLine,
                     FileVersion());
    core.Context().StopRequested = stopRequested;
    // The PLC list and the drivers that poll it, over the Qt sockets and serial ports.
    TQtTransportFactory transports(core.Context());
    TQtHostResolver resolver;
    TCommunication communication(core, transports, &resolver);
    // The OPC server objects and the OPC UA endpoint through which clients reach them.
    TUaTcpListener uaListener;
    TOPCServer opcServer(core, uaListener);
    // The Sparkplug B edge node, another client of the same OPC objects (when enabled).
    TMosquittoClient mqttClient;
    TMqttService mqtt(core, opcServer, mqttClient, QSysInfo::machineHostName().toStdString());
    // Started by systemd: readiness, status and watchdog go to it, the log to the journal
    // (with priorities) instead of plain standard output.
    TSystemdServiceManager serviceManager;
    TServiceHealth health(core, serviceManager, [&opcServer] {
        return opcServer.Connections() ? static_cast<int>(opcServer.Connections()->Count()) : 0;
    });
    TConsoleLogView console(std::cout);
    TJournalLogView journal(serviceManager);
    core.Log().AddView(serviceManager.JournalAttached() ? static_cast<ISessionLogView*>(&journal) : &console);
    THeadlessView headless;
    core.AddView(&headless);
    *exceptionHook = [&core] { core.HandleCurrentException(); };

    instance.OnCommandLine = [&core](const std::string& text) { core.CommandLineReceived(text); };
    instance.OnShowRequest = [&core] { core.ShowRequested(); };
    instance.OnStatusRequest = [&health] {
        return std::string(ServerDescription) + " " + FileVersion() + "\n" + health.StatusText();
    };

    terminationSignals.OnSignal = [&core](int) {
        core.Shutdown();
        QCoreApplication::quit();
    };
    QObject::connect(application.get(), &QCoreApplication::aboutToQuit, [&core] { core.Shutdown(); });

#ifdef DRAVON_WITH_WIDGETS
    // The operator's window where there is a display; the core runs the same without it.
    std::unique_ptr<TfrmMain> window;
    if (display) {
        window = std::make_unique<TfrmMain>(core.Context(), core.Positions());
        window->CloseAccepted = [] { QCoreApplication::quit(); };
        window->ClientsConnected = [&opcServer] {
            return opcServer.Connections() ? static_cast<int>(opcServer.Connections()->Count()) : 0;
        };
        core.Log().AddView(window.get());
        core.AddView(window.get());
        // The geometry must be in the record before the shut-down saves it, also on SIGTERM.
        core.ShutdownClientsHooks.push_back([&window] {
            if (window) window->StorePositions();
        });
    }
#endif

    core.Startup();
    if (core.ShutDown()) {
        stopped("start-up");
        *exceptionHook = nullptr;
        return 0;
    }
    terminationSignals.Watch();
    health.Ready(); // store read, PLC list built, endpoint listening
#ifdef DRAVON_WITH_WIDGETS
    if (window) {
        window->SetStartTime(core.StartTime());
        window->ShowAtStart(commandLine.StartedByClient, commandLine.StartInTray);
    }
#endif
    const int status = application->exec();
    core.Shutdown();
#ifdef DRAVON_WITH_WIDGETS
    if (window) {
        core.RemoveView(window.get());
        core.Log().RemoveView(window.get());
    }
#endif
    *exceptionHook = nullptr;
    return status;
}
