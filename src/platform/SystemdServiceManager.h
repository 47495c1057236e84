// IServiceManager over libsystemd: sd_notify to $NOTIFY_SOCKET, the watchdog interval from
// $WATCHDOG_USEC, and the journal when $JOURNAL_STREAM names our standard output.
#pragma once

#include "app/ServiceManager.h"

namespace dravon {

class TSystemdServiceManager : public IServiceManager {
public:
    TSystemdServiceManager();
    void Notify(const std::string& assignments) override;
    std::uint32_t WatchdogTimeoutMs() const override { return WatchdogTimeoutMs_; }
    bool JournalAttached() const override { return JournalAttached_; }
    void Journal(TJournalPriority priority, const std::string& line) override;

private:
    std::uint32_t WatchdogTimeoutMs_ = 0;
    bool JournalAttached_ = false;
};

} // namespace dravon
