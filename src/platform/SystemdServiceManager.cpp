#include "platform/SystemdServiceManager.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <sys/stat.h>

#ifdef DRAVON_WITH_SYSTEMD
#include <syslog.h>
#include <systemd/sd-daemon.h>
#include <systemd/sd-journal.h>
#endif

namespace dravon {

namespace {

// $JOURNAL_STREAM is "device:inode" of the stream systemd connected; a child that
// inherited the variable but writes elsewhere must not be taken for a service.
bool StreamIsJournal(int fd) {
    const char* stream = std::getenv("JOURNAL_STREAM");
    if (!stream || !*stream) return false;
    struct stat info {};
    if (::fstat(fd, &info) != 0) return false;
    unsigned long long device = 0, inode = 0;
    if (std::sscanf(stream, "%llu:%llu", &device, &inode) != 2) return false;
    return device == static_cast<unsigned long long>(info.st_dev) &&
           inode == static_cast<unsigned long long>(info.st_ino);
}

} // namespace

TSystemdServiceManager::TSystemdServiceManager() {
#ifdef DRAVON_WITH_SYSTEMD
    std::uint64_t usec = 0;
    if (sd_watchdog_enabled(0, &usec) > 0)
        WatchdogTimeoutMs_ = static_cast<std::uint32_t>(std::min<std::uint64_t>(usec / 1000, 0xFFFFFFFFu));
    JournalAttached_ = StreamIsJournal(1);
#else
    (void)StreamIsJournal;
#endif
}

void TSystemdServiceManager::Notify(const std::string& assignments) {
#ifdef DRAVON_WITH_SYSTEMD
    sd_notify(0, assignments.c_str());
#else
    (void)assignments;
#endif
}

void TSystemdServiceManager::Journal(TJournalPriority priority, const std::string& line) {
#ifdef DRAVON_WITH_SYSTEMD
    const int level = priority == TJournalPriority::Warning ? LOG_WARNING : LOG_INFO;
    sd_journal_send("MESSAGE=%s", line.c_str(), "PRIORITY=%i", level, "SYSLOG_IDENTIFIER=dravon", nullptr);
#else
    (void)priority;
    (void)line;
#endif
}

} // namespace dravon
