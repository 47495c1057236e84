// The server variables ("Sys." + name) and the per-PLC status variables, and the up-time
// text.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace dravon {

struct TVariableDef {
    const char* Name;
    bool IsText;
};

enum TServerVar {
    svServerStartedAtDate,
    svServerStartedAtTime,
    svServerUpTime,
    svMonitoredLocations,
    svClientsConnected,
    ServerVarCount
};

inline constexpr std::array<TVariableDef, ServerVarCount> ServerVariableDefs{{
    {"ServerStartedAtDate", true},
    {"ServerStartedAtTime", true},
    {"ServerUpTime", true},
    {"MonitoredLocations", false},
    {"ClientsConnected", false},
}};

enum TStatusVar {
    stName,
    stComStatus,
    stComInfo,
    stComIPAddress,
    stMonitoredLocations,
    stLastErrorCode,
    stLastErrorAtDate,
    stLastErrorAtTime,
    stNumberOfTimeouts,
    stLastResponseTime,
    stLastResponseAtDate,
    stLastResponseAtTime,
    stMaxResponseTime,
    stMaxResponseAtDate,
    stMaxResponseAtTime,
    stLastComCycle,
    stLastComCyclePercent,
    stMaxComCycle,
    stMaxComCyclePercent,
    stAverageComCycle,
    StatusVarCount
};

inline constexpr std::array<TVariableDef, StatusVarCount> StatusVariableDefs{{
    {"Name", true},
    {"ComStatus", false},
    {"ComInfo", true},
    {"ComIPAddress", true},
    {"MonitoredLocations", false},
    {"LastErrorCode", false},
    {"LastErrorAtDate", true},
    {"LastErrorAtTime", true},
    {"NumberOfTimeouts", false},
    {"LastResponseTime", false},
    {"LastResponseAtDate", true},
    {"LastResponseAtTime", true},
    {"MaxResponseTime", false},
    {"MaxResponseAtDate", true},
    {"MaxResponseAtTime", true},
    {"LastComCycle", false},
    {"LastComCyclePercent", false},
    {"MaxComCycle", false},
    {"MaxComCyclePercent", false},
    {"AverageComCycle", false},
}};

// "HH:MM:SS", preceded by "<days> days, " when at least one day has passed.
std::string UpTimeText(std::uint64_t milliseconds);

} // namespace dravon
