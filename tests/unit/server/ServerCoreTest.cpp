#include "server/ServerCore.h"
#include "app/KeyValueStore.h"
#include "app/MemoryStore.h"
#include "app/TimeDate.h"
#include "server/ServiceHealth.h"
#include "support/FakePlatform.h"
#include "support/TestContext.h"
#include "unit/app/TempDir.h"

#include <gtest/gtest.h>

#include <sstream>
#include <stdexcept>

namespace dravon {
namespace {

using test::ReadFile;

class TRecordingView : public IServerCoreView {
public:
    std::vector<std::string> Calls;
    bool HasDisplay = false;
    bool IsMinimized = false;
    bool Minimized() const override { return IsMinimized; }
    void HideToTray() override { Calls.push_back("HideToTray"); }
    void OpenConfiguration() override { Calls.push_back("OpenConfiguration"); }
    void ShowRequested() override { Calls.push_back("ShowRequested"); }
    void Refresh() override { Calls.push_back("Refresh"); }
    bool ShowError(const std::string& message) override {
        if (!HasDisplay) return false;
        Calls.push_back("ShowError " + message);
        return true;
    }
};

class ServerCoreTest : public ::testing::Test {
protected:
    // A core started with the debug log, or by a client (in the tray).
    std::unique_ptr<TServerCore> MakeCore(bool debugLog = false, bool byClient = false) {
        TCommandLine commandLine;
        commandLine.DebugLogRequested = debugLog;
        commandLine.StartedByClient = commandLine.StartInTray = byClient;
        auto core = std::make_unique<TServerCore>(Seams, commandLine, "1.0.0.0");
        core->Log().AddView(&Capture);
        core->AddView(&View);
        core->SetErrorStream(&Errors);
        return core;
    }
    std::string Stamp() const { return TimeDateText(Platform.Clock.Now()); }
    bool FirstStart() {
        TPositions positions;
        LoadPositions(Store, positions);
        return positions.FirstStart;
    }

    test::TTempDir Dir;
    test::TFakePlatform Platform;
    TMemoryStore Store;
    TServerSeams Seams{&Platform.Clock, &Platform, &Platform, &Store, Dir.File("")};
    test::TLogCapture Capture;
    TRecordingView View;
    std::ostringstream Errors;
};

TEST_F(ServerCoreTest, StartupAndShutdownRunTheirStepsInOrderAndShutdownOnce) {
    auto settings = Store.OpenKey(TRootKey::LocalMachine, "SOFTWARE\\Norvane\\Dravon\\Settings");
    settings->WriteDword("Show tray icon", 0);
    auto core = MakeCore(true);
    bool plcListSawSettings = false;
    std::size_t linesBeforePlcList = 99;
    core->LoadPlcListHooks.push_back([&] {
        plcListSawSettings = !core->Settings().ShowTrayIcon;
        linesBeforePlcList = Capture.Lines.size();
    });
    std::vector<std::string> steps;
    core->ShutdownClientsHooks.push_back([&] {
        steps.push_back(Store.KeyExists(TRootKey::CurrentUser, PositionsKeyPath) ? "clients after positions"
                                                                                 : "clients");
    });
    core->DestroyCommunicationHooks.push_back([&] {
        steps.push_back(Store.KeyExists(TRootKey::CurrentUser, PositionsKeyPath) ? "communication"
                                                                                 : "too early");
    });
    core->FreePlcListHooks.push_back(
        [&] { steps.push_back(Capture.CountStartingWith("Server shut down at") ? "too late" : "plc list"); });
    core->Startup();
    EXPECT_TRUE(plcListSawSettings);
    EXPECT_EQ(linesBeforePlcList, 0u); // the session log comes after the PLC list
    EXPECT_EQ(Capture.Lines,
              (std::vector<std::string>{"Dravon OPC Data Access Server 1.0.0.0",
                                        "Server started at " + Stamp(), "Debug.Log included"}));
    EXPECT_EQ(ReadFile(Dir.File("DravonDebug.Log")),
              "|" + DateTimeText(Platform.Clock.Now()) + "| Session | OPC server session started\n");
    EXPECT_EQ(core->StartTime(), Platform.Clock.Now());
    // First interactive start: the configuration dialog is posted, not opened inline.
    EXPECT_TRUE(View.Calls.empty());
    Platform.RunPosted();
    EXPECT_EQ(View.Calls, std::vector<std::string>{"OpenConfiguration"});
    // A second start's hand-over is noted in the debug log and shown.
    core->CommandLineReceived("/show");
    core->ShowRequested();
    EXPECT_EQ(View.Calls.back(), "ShowRequested");
    EXPECT_NE(ReadFile(Dir.File("DravonDebug.Log")).find("Second instance command line: /show"),
              std::string::npos);

    Platform.Advance(5000);
    core->Shutdown();
    core->Shutdown();
    core.reset();
    EXPECT_EQ(steps, (std::vector<std::string>{"clients", "communication", "plc list"}));
    EXPECT_EQ(Capture.Lines.back(), "Server shut down at " + Stamp());
    EXPECT_EQ(Capture.CountStartingWith("Server shut down at"), 1);
    EXPECT_FALSE(FirstStart());
    const std::string debug = ReadFile(Dir.File("DravonDebug.Log"));
    const std::string end =
        "|" + DateTimeText(Platform.Clock.Now()) + "| Session | OPC server session ended\n\n\r\n\r\n\r\n";
    ASSERT_GE(debug.size(), end.size());
    EXPECT_EQ(debug.substr(debug.size() - end.size()), end);
}

TEST_F(ServerCoreTest, AStopDuringTheLoadEndsTheStartUpAndWritesNothing) {
    auto core = MakeCore();
    bool stop = false;
    core->Context().StopRequested = [&stop] { return stop; };
    core->LoadPlcListHooks.push_back([&stop] { stop = true; }); // SIGTERM while the list loads
    core->Startup();
    EXPECT_TRUE(core->ShutDown());
    EXPECT_EQ(Platform.PostedCount(), 0u); // no configuration dialog, no tray
    core.reset();
    EXPECT_TRUE(Capture.Lines.empty()); // no banner, no shut-down line
    EXPECT_FALSE(Store.KeyExists(TRootKey::CurrentUser, PositionsKeyPath));
}

TEST_F(ServerCoreTest, ClientStartHidesToTrayAndNeverOpensTheConfiguration) {
    auto core = MakeCore(false, true);
    core->Startup();
    Platform.RunPosted();
    EXPECT_EQ(View.Calls, std::vector<std::string>{"HideToTray"});
    core->Shutdown();
    EXPECT_TRUE(FirstStart()); // a client start does not end the first start
}

// The server's 300 ms tick: the hooks, then the window; variables every fourth tick when
// slowed down and never while minimised; idle drivers on every tick; nothing after shut-down.
TEST_F(ServerCoreTest, TheTickRunsEvery300MsUntilShutdown) {
    auto core = MakeCore();
    int refreshes = 0;
    int ticks = 0;
    core->RefreshHooks.push_back([&] { ++refreshes; });
    core->TickHooks.push_back([&] { ++ticks; });
    core->Startup();
    Platform.RunPosted();
    View.Calls.clear();
    // Ticks and variable refreshes after the clock advanced so far.
    auto after = [&](int ms) {
        Platform.Advance(ms);
        return std::pair(ticks, refreshes);
    };
    EXPECT_EQ(after(299), std::pair(0, 0));
    EXPECT_EQ(after(1), std::pair(1, 1));
    EXPECT_EQ(View.Calls, std::vector<std::string>{"Refresh"}); // the window draws after the hooks
    core->Settings().SlowDownVisual = true;
    EXPECT_EQ(after(9 * 300), std::pair(10, 3));
    View.IsMinimized = true;
    EXPECT_EQ(after(8 * 300), std::pair(18, 3));
    View.IsMinimized = false;
    core->Settings().SlowDownVisual = false;
    EXPECT_EQ(after(2 * 300), std::pair(20, 5));
    core->Shutdown();
    EXPECT_EQ(after(3000), std::pair(20, 5));
}

TEST_F(ServerCoreTest, ExceptionHookReportsByKind) {
    auto core = MakeCore(true);
    int calls = 0;
    core->RefreshHooks.push_back([&] {
        if (++calls == 1) throw std::out_of_range("List index out of bounds (3)");
    });
    core->Startup();
    // An exception in the refresh reaches the hook and the server goes on.
    Platform.Advance(600);
    EXPECT_EQ(calls, 2);
    EXPECT_EQ(Capture.CountStartingWith("Unhandled exception: List index out of bounds (3) at "), 1);
    Capture.Lines.clear();

    core->HandleException(TExceptionKind::UdpSocket, "Socket error 10054");
    EXPECT_TRUE(Capture.Lines.empty());
    core->HandleException(TExceptionKind::ListIndex, "List index out of bounds (5)");
    EXPECT_EQ(Capture.Lines,
              std::vector<std::string>{"Unhandled exception: List index out of bounds (5) at " + Stamp()});
    EXPECT_EQ(Capture.Messages.back(), Capture.Lines.back());

    // Without a display the message goes to stderr and the session log.
    core->HandleException(TExceptionKind::General, "Access violation");
    EXPECT_EQ(Errors.str(), "Access violation\n");
    EXPECT_EQ(Capture.Lines.back(), "Access violation");
    // With one it is the window's error box only.
    View.HasDisplay = true;
    core->HandleException(TExceptionKind::General, "Invalid value");
    EXPECT_EQ(View.Calls.back(), "ShowError Invalid value");
    EXPECT_EQ(Capture.Lines.back(), "Access violation");

    const std::string debug = ReadFile(Dir.File("DravonDebug.Log"));
    for (const char* message :
         {"Socket error 10054", "List index out of bounds (5)", "Access violation", "Invalid value"})
        EXPECT_NE(debug.find("| Unhandled exception: " + std::string(message) + "\n"), std::string::npos)
            << message;
    core.reset(); // a started core shuts down as it goes
    EXPECT_EQ(Capture.Lines.back(), "Server shut down at " + Stamp());
}

// The service manager hears READY=1 with the summary, WATCHDOG=1 twice per time-out from
// the loop's timer, STATUS= when the summary changed at a refresh, STOPPING=1 at the shut-down;
// the status query gives the up time since the start.
TEST_F(ServerCoreTest, ServiceHealthTellsTheManagerAndAnswersTheStatusQuery) {
    struct TManager : IServiceManager {
        std::vector<std::string> Sent;
        void Notify(const std::string& assignments) override { Sent.push_back(assignments); }
        std::uint32_t WatchdogTimeoutMs() const override { return 1000; }
        bool JournalAttached() const override { return false; }
        void Journal(TJournalPriority, const std::string&) override {}
    } manager;
    auto core = MakeCore();
    core->Startup();
    int clients = 1;
    TServiceHealth health(*core, manager, [&] { return clients; });
    health.Ready();
    Platform.Advance(1000);
    clients = 2;
    Platform.Advance(300);
    Platform.Clock.Step(90061000 - 1300); // 1 day, 1 hour, 1 minute and 1 second after the start
    EXPECT_EQ(health.StatusText(), "Up time: 1 days 01:01:01\nPLCs: 0\nClients: 2\n");
    core->Shutdown();
    const std::string summary = "PLCs: 0 (connected 0, communication error 0, idle 0); clients: ";
    EXPECT_EQ(manager.Sent,
              (std::vector<std::string>{"READY=1\nSTATUS=" + summary + "1", "WATCHDOG=1", "WATCHDOG=1",
                                        "STATUS=" + summary + "2", "STOPPING=1\nSTATUS=Shutting down"}));
}

} // namespace
} // namespace dravon
