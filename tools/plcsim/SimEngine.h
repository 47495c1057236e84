// The PLC stations behind every link: their memory, the faults to inject, the animated
// memory and the counters. Executes one decoded request and builds the answer payload.
// Not thread-safe by itself: TPlcSimulator serialises all access with its mutex.
#pragma once

#include "SimConfig.h"
#include "SimMemory.h"
#include "SimRequest.h"
#include "SimStats.h"

#include <cstdint>
#include <map>
#include <vector>

namespace dravon {

enum class TSimAction : std::uint8_t { Answer, Drop, Close };

// What to do with the answer of one request.
struct TSimDecision {
    TSimAction Action = TSimAction::Answer;
    std::uint32_t DelayMs = 0;
    std::uint32_t GarbageBytes = 0;
    std::uint32_t SplitChunk = 0;
    std::uint32_t SplitDelayMs = 0;
};

class TSimEngine {
public:
    TSimMemory& Station(int station) { return Stations_[station]; }
    std::uint16_t Get(int station, std::uint8_t code, std::uint32_t address) const;

    void SetFaults(const TSimFaults& faults) { Faults_ = faults; }
    const TSimFaults& Faults() const { return Faults_; }
    TSimStats& Stats() { return Stats_; }
    const TSimStats& Stats() const { return Stats_; }

    void AddAnimation(const TSimAnimation& animation, std::uint64_t nowMs);
    void ClearAnimations() { Animations_.clear(); }
    // Advances the animated memory to nowMs; returns the time of the next change (0: none).
    std::uint64_t Animate(std::uint64_t nowMs);

    // Executes the request for the station and writes the answer payload (header, status,
    // echo, data) into answer, which is cleared first.
    TSimDecision Execute(const TSimRequest& request, int station, const TSimLinkConfig& link,
                         std::vector<std::uint8_t>& answer);

private:
    struct TRunning {
        TSimAnimation Setup;
        std::uint64_t Next = 0;
    };
    static bool Hits(std::uint32_t every, std::uint64_t number) { return every > 0 && number % every == 0; }
    bool AllValid(const TSimRequest& request) const;

    std::map<int, TSimMemory> Stations_;
    TSimFaults Faults_;
    TSimStats Stats_;
    std::vector<TRunning> Animations_;
    std::uint64_t RequestNumber_ = 0;
};

} // namespace dravon
