// Deterministic stand-ins for the platform seams: a manual clock that the test advances,
// timers that fire as the clock passes their due time, and a posted-work queue. One per
// test; nothing here is process-wide.
#pragma once

#include "app/Platform.h"

#include <algorithm>
#include <deque>
#include <vector>

namespace dravon::test {

class TManualClock : public IClock {
public:
    std::uint32_t Tick = 1000;
    TDateTime Date = 46000.5; // 2025-12-09 12:00:00 local
    int Bias = 0;

    std::uint32_t TickCount() const override { return Tick; }
    TDateTime Now() const override { return Date; }
    int TimeZoneBiasMinutes() const override { return Bias; }
    void Step(std::uint32_t ms) {
        Tick += ms;
        Date += ms / 86400000.0;
    }
};

class TFakePlatform;

class TFakeTimer : public ITimer {
public:
    explicit TFakeTimer(TFakePlatform& platform);
    ~TFakeTimer() override;
    void SetInterval(std::uint32_t ms) override {
        Interval_ = ms;
        Restart();
    }
    std::uint32_t Interval() const override { return Interval_; }
    void SetEnabled(bool enabled) override {
        if (enabled != Enabled_) {
            Enabled_ = enabled;
            Restart();
        }
    }
    bool Enabled() const override { return Enabled_; }

    void Restart();
    std::uint32_t Due = 0;

private:
    TFakePlatform& Platform_;
    std::uint32_t Interval_ = 1000;
    bool Enabled_ = false;
};

// Clock + timers + main loop. Advance(ms) walks time forward millisecond by millisecond
// in steps to the next due timer, running posted work after each firing.
class TFakePlatform : public ITimerFactory, public IEventLoop {
public:
    TManualClock Clock;

    std::unique_ptr<ITimer> CreateTimer() override { return std::make_unique<TFakeTimer>(*this); }

    void Post(std::function<void()> work) override { Posted_.push_back(std::move(work)); }
    void ProcessPendingEvents() override {
        if (OnProcessPending) {
            OnProcessPending();
            return;
        }
        RunPosted();
    }
    // A test may make waiting loops advance time (a device read that waits).
    std::function<void()> OnProcessPending;

    void RunPosted() {
        // Work posted while running goes to the next round, as a real queue would.
        std::deque<std::function<void()>> batch;
        batch.swap(Posted_);
        for (auto& work : batch) work();
    }
    std::size_t PostedCount() const { return Posted_.size(); }

    void Advance(std::uint32_t ms) {
        std::uint32_t end = Clock.Tick + ms;
        RunPosted();
        while (true) {
            TFakeTimer* next = nullptr;
            std::uint32_t best = 0;
            for (auto* timer : Timers_) {
                if (!timer->Enabled()) continue;
                std::uint32_t until = timer->Due - Clock.Tick;
                if (until > end - Clock.Tick) continue;
                if (!next || until < best) {
                    next = timer;
                    best = until;
                }
            }
            if (!next) break;
            Clock.Step(best);
            next->Due = Clock.Tick + std::max<std::uint32_t>(next->Interval(), 1);
            if (next->OnTimer) next->OnTimer();
            RunPosted();
        }
        Clock.Step(end - Clock.Tick);
        RunPosted();
    }

    void Register(TFakeTimer* timer) { Timers_.push_back(timer); }
    void Unregister(TFakeTimer* timer) {
        Timers_.erase(std::remove(Timers_.begin(), Timers_.end(), timer), Timers_.end());
    }

private:
    std::deque<std::function<void()>> Posted_;
    std::vector<TFakeTimer*> Timers_;
};

inline TFakeTimer::TFakeTimer(TFakePlatform& platform) : Platform_(platform) { Platform_.Register(this); }
inline TFakeTimer::~TFakeTimer() { Platform_.Unregister(this); }
inline void TFakeTimer::Restart() { Due = Platform_.Clock.Tick + std::max<std::uint32_t>(Interval_, 1); }

} // namespace dravon::test
