// The seam to the service manager that started the server (systemd on Linux): readiness,
// status and watchdog notifications, and the journal. Without a service manager every
// member is a no-op and the watchdog is off.
#pragma once

#include <cstdint>
#include <string>

namespace dravon {

enum class TJournalPriority { Info, Warning };

class IServiceManager {
public:
    virtual ~IServiceManager() = default;
    // One or more "NAME=value" assignments separated by newlines (READY=1, STATUS=...).
    virtual void Notify(const std::string& assignments) = 0;
    // How often the manager expects WATCHDOG=1 at the latest; 0 when it does not.
    virtual std::uint32_t WatchdogTimeoutMs() const = 0;
    // True when standard output goes to the journal (the server was started as a service).
    virtual bool JournalAttached() const = 0;
    virtual void Journal(TJournalPriority priority, const std::string& line) = 0;
};

} // namespace dravon
