// The server without its window: owns the context, the settings, the two logs and the
// positions, and runs the start-up and shut-down sequences and the 300 ms refresh duty.
// The window (or the headless program) observes it through IServerCoreView.
//
// Later parts join with small edits: a member here, one line in the named step of
// Startup()/Shutdown() that concerns them (or a hook in the matching list below).
#pragma once

#include "app/CommandLine.h"
#include "app/Logger.h"
#include "app/ServerContext.h"
#include "app/SessionLog.h"
#include "app/Settings.h"

#include <functional>
#include <iosfwd>
#include <memory>
#include <string>
#include <vector>

namespace dravon {

// What the window does for the core; every member has a headless default.
class IServerCoreView {
public:
    virtual ~IServerCoreView() = default;
    virtual void SettingsLoaded() {}    // the stored settings are in (the tray icon follows them)
    virtual void PositionsLoaded() {}   // the stored window positions are in
    virtual void HideToTray() {}        // 1025 after the first show with StartInTray
    virtual void OpenConfiguration() {} // 1032 on the first interactive start
    virtual void ShowRequested() {}     // 1030 from a second instance
    virtual void Refresh() {}           // every 300 ms tick, after the hooks
    // A minimised window stops the refresh of the server and status variables.
    virtual bool Minimized() const { return false; }
    // An error box; return false when there is no display to show it on.
    virtual bool ShowError(const std::string& message) {
        (void)message;
        return false;
    }
};

// What reached the message loop: decides how the exception hook reports it.
enum class TExceptionKind { General, ListIndex, UdpSocket };

struct TServerSeams {
    IClock* Clock = nullptr;
    IEventLoop* Loop = nullptr;
    ITimerFactory* Timers = nullptr;
    IKeyValueStore* Store = nullptr;
    std::string ApplicationDirectory; // with a trailing "/"
};

class TServerCore {
public:
    static constexpr std::uint32_t RefreshIntervalMs = 300;
    static constexpr const char* ShutdownReason = "Dravon server is shutting down";

    TServerCore(const TServerSeams& seams, const TCommandLine& commandLine, std::string fileVersion);
    ~TServerCore();
    TServerCore(const TServerCore&) = delete;
    TServerCore& operator=(const TServerCore&) = delete;

    // The first-show sequence; runs once.
    void Startup();
    // The shut-down sequence; runs once, also from the destructor when still due.
    void Shutdown();
    bool Started() const { return Started_; }
    bool ShutDown() const { return ShutDown_; }

    // Step hooks, run in registration order at their place in the sequences.
    std::vector<std::function<void()>> LoadPlcListHooks;          // after the settings are loaded
    std::vector<std::function<void()>> ShutdownClientsHooks;      // first step of the shut-down
    std::vector<std::function<void()>> DestroyCommunicationHooks; // after the positions are saved
    std::vector<std::function<void()>> FreePlcListHooks;          // before the session log's last line
    // The refresh: every 300 ms tick, every fourth with SlowDownVisual, none while minimised.
    std::vector<std::function<void()>> RefreshHooks;
    std::vector<std::function<void()>> TickHooks; // every 300 ms tick, whatever the window does

    void AddView(IServerCoreView* view);
    void RemoveView(IServerCoreView* view);

    // The application exception hook.
    void HandleException(TExceptionKind kind, const std::string& message);
    // Classifies the exception in flight (std::out_of_range is a list-index error).
    void HandleCurrentException();
    // Where errors go when no view shows them (stderr by default).
    void SetErrorStream(std::ostream* stream) { ErrorStream_ = stream; }

    // The hand-over of a second instance: its command line (not acted on) and 1030.
    void CommandLineReceived(const std::string& text);
    void ShowRequested();

    TServerContext& Context() { return Context_; }
    TSessionLog& Log() { return Log_; }
    TLogger& Debug() { return Debug_; }
    TSettings& Settings() { return Context_.Settings; }
    TPositions& Positions() { return Positions_; }
    const TCommandLine& CommandLine() const { return CommandLine_; }
    TDateTime StartTime() const { return StartTime_; }
    std::uint32_t StartTick() const { return StartTick_; }

private:
    void CreateDebugLog();
    void LoadSettings();
    void LoadPlcList();
    void CreateSessionLog();
    void LoadWindowPositions();
    void StartRefreshTimer();
    void ReportStoreProblems();
    void OnRefreshTimer();
    void ShutdownClients();
    void SaveWindowPositions();
    void DestroyCommunication();
    void FreePlcList();
    void CloseLogs();
    static void RunHooks(const std::vector<std::function<void()>>& hooks);

    TCommandLine CommandLine_;
    std::string FileVersion_;
    TServerContext Context_;
    TSessionLog Log_;
    TLogger Debug_;
    TPositions Positions_;
    std::unique_ptr<ITimer> RefreshTimer_;
    std::vector<IServerCoreView*> Views_;
    std::ostream* ErrorStream_;
    TDateTime StartTime_ = 0;
    std::uint32_t StartTick_ = 0;
    int RefreshCountdown_ = 0;
    bool Started_ = false;
    bool ShutDown_ = false;
};

} // namespace dravon
