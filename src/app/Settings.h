// The nineteen tuning settings, their registry value names and defaults, and the
// window positions kept per user.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace dravon {

class IKeyValueStore;

inline constexpr const char* SettingsKeyPath = "SOFTWARE\\Norvane\\Dravon\\Settings";
inline constexpr const char* PositionsKeyPath = "SOFTWARE\\Norvane\\Dravon\\Positions";
inline constexpr const char* RegistryWriteFailedMessage =
    "Unable to modify system registry, please log on with administrator rights";

struct TSettings {
    bool ShowTrayIcon = true;
    bool AllowBrowsing = true;
    bool LogEvents = false;
    bool EnableUncertain = true;
    bool EnableBAD = true;
    bool DoSerialSpy = false;
    bool ForcedOnChange = false;
    bool OnChangeAlwaysTrueForStrings = false;
    bool SlowDownVisual = false;
    bool UDPPortSame = false;
    bool DisableBinaryMode = false;
    bool QualityIndependentSyncRead = false;
    bool DetectIntensiveBrowsing = true;
    int ArrayElementCount = 64;
    int MinBlockSize = 10;
    int MinBlockUsage = 50;
    int MsgCountBeforeWait = 5;
    int WaitTime = 0;
    int BusyRetries = 3;

    bool operator==(const TSettings&) const = default;
};

// Resets to defaults, then reads in storage order; the first missing or wrongly typed
// value ends the reading. Returns false when the key does not exist.
bool LoadConfigurationFromRegistry(IKeyValueStore& store, TSettings& settings);

// Writes in storage order. Returns false (after calling showMessage with the registry
// message when a write failed) when not everything was written.
bool SaveConfigurationToRegistry(IKeyValueStore& store, const TSettings& settings,
                                 const std::function<void(const std::string&)>& showMessage);

// Per-user window geometry. Values not present in the store keep what the caller had.
struct TPositions {
    bool FirstStart = true;
    int Splitter1W = 200;
    int Splitter2H = 160;
    int frmState = 0; // 0 normal, 1 minimised, 2 maximised
    int frmW = 900;
    int frmH = 600;
    int frmT = 100;
    int frmL = 100;
};

// Returns the number of geometry values read (0..7, "FirstStart" not counted); reading
// stops at the first missing value. False-y when the key does not exist (returns -1).
int LoadPositions(IKeyValueStore& store, TPositions& positions);
// Writes the geometry in storage order and, unless startedByClient, "FirstStart" = 0.
bool SavePositions(IKeyValueStore& store, const TPositions& positions, bool startedByClient);

} // namespace dravon
