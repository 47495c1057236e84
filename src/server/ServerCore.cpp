#include "server/ServerCore.h"

#include "app/KeyValueStore.h"
#include "app/TimeDate.h"

#include <algorithm>
#include <exception>
#include <iostream>
#include <stdexcept>

namespace dravon {

TServerCore::TServerCore(const TServerSeams& seams, const TCommandLine& commandLine, std::string fileVersion)
    : CommandLine_(commandLine), FileVersion_(std::move(fileVersion)),
      Log_(Context_.Settings, *seams.Clock, seams.ApplicationDirectory),
      Debug_(*seams.Clock, seams.ApplicationDirectory + "Dravon" + "Debug.Log"), ErrorStream_(&std::cerr) {
    Context_.Clock = seams.Clock;
    Context_.Loop = seams.Loop;
    Context_.Timers = seams.Timers;
    Context_.Store = seams.Store;
    Context_.ApplicationDirectory = seams.ApplicationDirectory;
    Context_.Log = &Log_;
    Context_.Debug = &Debug_;
    StartTick_ = Context_.Clock->TickCount();
}

TServerCore::~TServerCore() {
    if (Started_) Shutdown();
}

void TServerCore::Startup() {
    if (Started_) return;
    Started_ = true;
    StartTime_ = Context_.Clock->Now();
    // What the load finds (lines skipped in the store, values replaced) is logged after the banner.
    Log_.HoldLines();
    ReportStoreProblems();
    CreateDebugLog();
    LoadSettings();
    LoadPlcList();
    if (Context_.StopRequested && Context_.StopRequested()) {
        // Stopped while loading: nothing half-loaded is saved, no shut-down is due.
        ShutDown_ = true;
        return;
    }
    if (CommandLine_.StartInTray)
        Context_.Loop->Post([this] {
            for (auto* view : Views_) view->HideToTray();
        });
    CreateSessionLog();
    LoadWindowPositions();
    if (Positions_.FirstStart && !CommandLine_.StartedByClient)
        Context_.Loop->Post([this] {
            for (auto* view : Views_) view->OpenConfiguration();
        });
    StartRefreshTimer();
}

void TServerCore::Shutdown() {
    if (!Started_ || ShutDown_) return;
    ShutDown_ = true;
    if (RefreshTimer_) RefreshTimer_->SetEnabled(false);
    ShutdownClients();
    SaveWindowPositions();
    DestroyCommunication();
    FreePlcList();
    CloseLogs();
}

void TServerCore::CreateDebugLog() {
    Debug_.Enabled = CommandLine_.DebugLogRequested;
    Debug_.SessionStarted();
}

void TServerCore::LoadSettings() {
    LoadConfigurationFromRegistry(*Context_.Store, Context_.Settings);
    for (auto* view : Views_) view->SettingsLoaded();
}

void TServerCore::LoadPlcList() { RunHooks(LoadPlcListHooks); }

void TServerCore::CreateSessionLog() {
    Log_.Create(FileVersion_);
    if (CommandLine_.DebugLogRequested) Log_.Add("Debug.Log included", true);
}

void TServerCore::LoadWindowPositions() {
    LoadPositions(*Context_.Store, Positions_);
    for (auto* view : Views_) view->PositionsLoaded();
}

void TServerCore::StartRefreshTimer() {
    RefreshTimer_ = Context_.Timers->CreateTimer();
    RefreshTimer_->OnTimer = [this] { OnRefreshTimer(); };
    RefreshTimer_->SetInterval(RefreshIntervalMs);
    RefreshTimer_->SetEnabled(true);
}

void TServerCore::ReportStoreProblems() {
    if (!Context_.Store) return;
    for (const std::string& line : Context_.Store->TakeProblems()) Log_.Add(line, false);
}

void TServerCore::OnRefreshTimer() {
    try {
        ReportStoreProblems();
        // The same countdown as the window's drawing, so variables and lists keep step.
        --RefreshCountdown_;
        if (!Context_.Settings.SlowDownVisual || RefreshCountdown_ <= 0) {
            RefreshCountdown_ = 4;
            const bool minimised = std::any_of(Views_.begin(), Views_.end(),
                                               [](const IServerCoreView* v) { return v->Minimized(); });
            if (!minimised) RunHooks(RefreshHooks);
        }
        RunHooks(TickHooks);
        for (auto* view : Views_) view->Refresh();
    } catch (...) {
        // A timer event is a message of the loop: its failures go to the exception hook.
        HandleCurrentException();
    }
}

void TServerCore::ShutdownClients() { RunHooks(ShutdownClientsHooks); }

void TServerCore::SaveWindowPositions() {
    SavePositions(*Context_.Store, Positions_, CommandLine_.StartedByClient);
    if (!CommandLine_.StartedByClient) Positions_.FirstStart = false;
}

void TServerCore::DestroyCommunication() { RunHooks(DestroyCommunicationHooks); }

void TServerCore::FreePlcList() { RunHooks(FreePlcListHooks); }

void TServerCore::CloseLogs() {
    RefreshTimer_.reset();
    Log_.Destroy();
    Debug_.SessionEnded();
}

void TServerCore::RunHooks(const std::vector<std::function<void()>>& hooks) {
    for (const auto& hook : hooks)
        if (hook) hook();
}

void TServerCore::AddView(IServerCoreView* view) {
    if (view && std::find(Views_.begin(), Views_.end(), view) == Views_.end()) Views_.push_back(view);
}

void TServerCore::RemoveView(IServerCoreView* view) {
    Views_.erase(std::remove(Views_.begin(), Views_.end(), view), Views_.end());
}

void TServerCore::HandleException(TExceptionKind kind, const std::string& message) {
    Debug_.WriteLine(lkNone, "Unhandled exception: " + message, true);
    if (kind == TExceptionKind::UdpSocket) return;
    if (kind == TExceptionKind::ListIndex) {
        Log_.Add("Unhandled exception: " + message + " at " + TimeDateText(Context_.Clock->Now()), true);
        return;
    }
    for (auto* view : Views_)
        if (view->ShowError(message)) return;
    // No display to show a box on: the operator still sees it on stderr and in the log.
    if (ErrorStream_) *ErrorStream_ << message << std::endl;
    Log_.Add(message, true);
}

void TServerCore::HandleCurrentException() {
    try {
        throw;
    } catch (const std::out_of_range& e) {
        HandleException(TExceptionKind::ListIndex, e.what());
    } catch (const std::exception& e) {
        HandleException(TExceptionKind::General, e.what());
    } catch (...) {
        HandleException(TExceptionKind::General, "Unknown exception");
    }
}

void TServerCore::CommandLineReceived(const std::string& text) {
    // The command line of a second start is received and not acted on; the trace keeps it.
    Debug_.WriteLine(lkNone, "Second instance command line: " + text, true);
}

void TServerCore::ShowRequested() {
    Debug_.WriteLine(lkNone, "Second instance asked to show the window", true);
    for (auto* view : Views_) view->ShowRequested();
}

} // namespace dravon
