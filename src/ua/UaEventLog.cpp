#include "ua/UaEventLog.h"

#include "app/Platform.h"
#include "app/SessionLog.h"
#include "app/TextFormat.h"

namespace dravon {

void TUaEventLog::Note(const std::string& kind, const std::string& peer, const std::string& text) {
    std::uint32_t now = Clock_.TickCount();
    auto key = std::make_pair(kind, peer);
    auto it = Keys_.find(key);
    if (it != Keys_.end() && TickDiff(now, it->second.Tick) < WindowMs) {
        ++it->second.HeldBack;
        return;
    }
    if (it == Keys_.end()) {
        if (Keys_.size() >= MaxKeys) Housekeeping();
        if (Keys_.size() >= MaxKeys) {
            ++Dropped_;
            return;
        }
        it = Keys_.emplace(std::move(key), TKey{}).first;
    }
    std::string line = text;
    if (it->second.HeldBack)
        line += FormatText(" (%s more like it in the last minute)", {std::to_string(it->second.HeldBack)});
    it->second = {now, 0};
    Emit(line);
}

void TUaEventLog::Emit(const std::string& line) {
    std::uint32_t now = Clock_.TickCount();
    if (!WindowStarted_ || TickDiff(now, WindowTick_) >= WindowMs) Housekeeping();
    if (LinesInWindow_ >= MaxLinesPerWindow) {
        ++Dropped_;
        return;
    }
    ++LinesInWindow_;
    if (Log_) Log_->Add(line, false);
}

void TUaEventLog::Housekeeping() {
    std::uint32_t now = Clock_.TickCount();
    for (auto it = Keys_.begin(); it != Keys_.end();) {
        if (TickDiff(now, it->second.Tick) >= WindowMs) {
            Dropped_ += it->second.HeldBack;
            it = Keys_.erase(it);
        } else {
            ++it;
        }
    }
    if (WindowStarted_ && TickDiff(now, WindowTick_) < WindowMs) return;
    WindowStarted_ = true;
    WindowTick_ = now;
    LinesInWindow_ = 0;
    if (Dropped_ && Log_) {
        Log_->Add(
            FormatText("OPC UA: %s further events in the last minute not logged", {std::to_string(Dropped_)}),
            false);
        ++LinesInWindow_;
    }
    Dropped_ = 0;
}

} // namespace dravon
