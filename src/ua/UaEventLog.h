// Session-log lines for what the endpoint refuses or drops (Error messages sent, refused
// connections and sessions, time-outs), so that an operator sees an attack or a
// misbehaving client in Dravon.log, without one client flooding it: one line per event
// kind and peer address a minute (the next line says how many were held back), and at
// most MaxLinesPerWindow lines a minute from the whole endpoint.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>

namespace dravon {

class IClock;
class TSessionLog;

class TUaEventLog {
public:
    static constexpr std::uint32_t WindowMs = 60000;
    static constexpr std::uint32_t MaxLinesPerWindow = 40;
    static constexpr std::size_t MaxKeys = 1024;

    TUaEventLog(TSessionLog* log, const IClock& clock) : Log_(log), Clock_(clock) {}

    // Adds `text` unless a line of this kind for this peer went out within the window.
    void Note(const std::string& kind, const std::string& peer, const std::string& text);
    // Called periodically: forgets quiet keys and reports lines held back by the overall bound.
    void Housekeeping();

private:
    struct TKey {
        std::uint32_t Tick = 0;
        std::uint32_t HeldBack = 0;
    };
    void Emit(const std::string& line);

    TSessionLog* Log_;
    const IClock& Clock_;
    std::map<std::pair<std::string, std::string>, TKey> Keys_;
    std::uint32_t WindowTick_ = 0;
    std::uint32_t LinesInWindow_ = 0;
    std::uint32_t Dropped_ = 0;
    bool WindowStarted_ = false;
};

} // namespace dravon
