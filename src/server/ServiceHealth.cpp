#include "server/ServiceHealth.h"

#include "app/Platform.h"
#include "plc/HitachiPLC.h"
#include "plc/PLCCollection.h"
#include "server/ServerCore.h"

#include <algorithm>
#include <cstdio>

namespace dravon {

namespace {

template <typename F> std::function<void()> Guarded(const std::shared_ptr<TServiceHealth*>& alive, F action) {
    std::weak_ptr<TServiceHealth*> token = alive;
    return [token, action] {
        if (auto self = token.lock()) action(**self);
    };
}

std::string UpTimeText(std::uint32_t ms) {
    const std::uint32_t seconds = ms / 1000;
    char text[48];
    std::snprintf(text, sizeof text, "%u days %02u:%02u:%02u", seconds / 86400, seconds / 3600 % 24,
                  seconds / 60 % 60, seconds % 60);
    return text;
}

} // namespace

TServiceHealth::TServiceHealth(TServerCore& core, IServiceManager& manager, std::function<int()> clientCount)
    : Core_(core), Manager_(manager), ClientCount_(std::move(clientCount)),
      Alive_(std::make_shared<TServiceHealth*>(this)) {
    core.RefreshHooks.push_back(Guarded(Alive_, [](TServiceHealth& s) { s.Refresh(); }));
    core.ShutdownClientsHooks.push_back(Guarded(Alive_, [](TServiceHealth& s) { s.Stopping(); }));
}

TServiceHealth::~TServiceHealth() = default;

void TServiceHealth::Ready() {
    if (Ready_) return;
    Ready_ = true;
    SentStatus_ = Summary();
    Manager_.Notify("READY=1\nSTATUS=" + SentStatus_);
    if (const std::uint32_t timeout = Manager_.WatchdogTimeoutMs()) {
        Watchdog_ = Core_.Context().Timers->CreateTimer();
        Watchdog_->OnTimer = [this] { Manager_.Notify("WATCHDOG=1"); };
        // Twice per time-out, so one late tick of a busy loop is not yet a restart.
        Watchdog_->SetInterval(std::max<std::uint32_t>(1, timeout / 2));
        Watchdog_->SetEnabled(true);
    }
}

void TServiceHealth::Refresh() {
    if (!Ready_) return;
    std::string status = Summary();
    if (status == SentStatus_) return;
    SentStatus_ = std::move(status);
    Manager_.Notify("STATUS=" + SentStatus_);
}

void TServiceHealth::Stopping() {
    if (Watchdog_) Watchdog_->SetEnabled(false);
    if (Ready_) Manager_.Notify("STOPPING=1\nSTATUS=Shutting down");
}

std::string TServiceHealth::Summary() const {
    int counts[3] = {0, 0, 0};
    int total = 0;
    if (const TPLCCollection* plcs = Core_.Context().PLCs) {
        total = plcs->Count();
        for (int i = 0; i < total; ++i) {
            const int status = plcs->PLCByIndex(i).CommunicationStatus();
            if (status >= 0 && status < 3) ++counts[status];
        }
    }
    return "PLCs: " + std::to_string(total) + " (connected " + std::to_string(counts[ComStatusConnected]) +
           ", communication error " + std::to_string(counts[ComStatusError]) + ", idle " +
           std::to_string(counts[ComStatusIdle]) +
           "); clients: " + std::to_string(ClientCount_ ? ClientCount_() : 0);
}

std::string TServiceHealth::StatusText() const {
    const IClock& clock = *Core_.Context().Clock;
    std::string text = "Up time: " + UpTimeText(TickDiff(clock.TickCount(), Core_.StartTick())) + "\n";
    const TPLCCollection* plcs = Core_.Context().PLCs;
    const int count = plcs ? plcs->Count() : 0;
    text += "PLCs: " + std::to_string(count) + "\n";
    for (int i = 0; i < count; ++i) {
        const THitachiPLC& plc = plcs->PLCByIndex(i);
        text += "  " + plc.Name + ": " + THitachiPLC::CommunicationStatusText(plc.CommunicationStatus()) +
                ", " + plc.ConnectionText().Long + "\n";
    }
    text += "Clients: " + std::to_string(ClientCount_ ? ClientCount_() : 0) + "\n";
    return text;
}

} // namespace dravon
