// What every part of the server core reaches: the platform seams, the settings, the two
// logs and the application directory. Built once by the program (or by a test with fakes)
// and passed by reference; there is no global instance.
#pragma once

#include "app/Platform.h"
#include "app/Settings.h"

#include <functional>
#include <string>

namespace dravon {

class IKeyValueStore;
class TSessionLog;
class TLogger;
class IHostResolver;     // plc/HostResolver.h
class ITransportFactory; // comm/Transport.h
class TPLCCollection;    // plc/PLCCollection.h
class THitachiPLC;       // plc/HitachiPLC.h

// The window's Tx/Rx activity lamps, told of the frames to and from one PLC.
class ICommLamps {
public:
    virtual void ActivateTxLed(const THitachiPLC* plc) = 0;
    virtual void ActivateRxLed(const THitachiPLC* plc) = 0;

protected:
    ~ICommLamps() = default;
};

struct TServerContext {
    IClock* Clock = nullptr;
    IEventLoop* Loop = nullptr;
    ITimerFactory* Timers = nullptr;
    IKeyValueStore* Store = nullptr;
    TSessionLog* Log = nullptr;
    TLogger* Debug = nullptr;
    IHostResolver* Resolver = nullptr;
    ITransportFactory* Transports = nullptr;
    // The PLC list OPC items resolve their item IDs in; set by the server wiring.
    TPLCCollection* PLCs = nullptr;
    // The lamps and the PLC whose frames light them (the one selected in a shown window).
    // Drivers compare the PLC first: without a window a frame costs one comparison.
    ICommLamps* Lamps = nullptr;
    const THitachiPLC* LampPLC = nullptr;
    TSettings Settings;
    // True once SIGTERM/SIGINT asked the program to end; long loads ask it now and then
    // and stop. Empty: never.
    std::function<bool()> StopRequested;
    // Directory of the executable (or DRAVON_HOME) with a trailing "/".
    std::string ApplicationDirectory;
};

} // namespace dravon
