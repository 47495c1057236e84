#include "server/JournalLogView.h"

#include <gtest/gtest.h>

#include <utility>
#include <vector>

namespace dravon {
namespace {

class TJournalRecorder : public IServiceManager {
public:
    void Notify(const std::string&) override {}
    std::uint32_t WatchdogTimeoutMs() const override { return 0; }
    bool JournalAttached() const override { return true; }
    void Journal(TJournalPriority priority, const std::string& line) override {
        Lines.emplace_back(priority, line);
    }
    std::vector<std::pair<TJournalPriority, std::string>> Lines;
};

TEST(JournalLogView, FailuresAndTimeOutsAreWarnings) {
    using enum TJournalPriority;
    const std::pair<TJournalPriority, const char*> rows[] = {
        {Warning, "PLC PLC1 timed out at 10:00:00  07.12.2026"},
        {Info, "PLC PLC1 restored at 10:00:05  07.12.2026"},
        {Warning, "TCP port on PLC PLC1 not responding, please restart ethernet module"},
        {Warning, "Unsuccessful connection to TCP port 127.0.0.1:3004 at 10:00:00  07.12.2026, retrying..."},
        {Warning, "Serial port COM1 not available"},
        {Warning, "Failed to transmit serial message:\n\rInput/output error"},
        {Warning, "PLC PLC1 sent BUSY response, timeout should be longer"},
        {Warning, "OPC UA endpoint cannot listen on 127.0.0.1:4840"},
        {Warning, "Unable to create log file /var/lib/dravon/Dravon.log"},
        {Warning, "Unhandled exception: List index out of bounds (3) at 10:00:00  07.12.2026"},
        {Warning, "Client tried to access non-existing location (PLC9.WR0000...)"},
        {Info, "Server started at 10:00:00  07.12.2026"},
        {Info, "Client identifies itself as SCADA"},
    };
    TJournalRecorder journal;
    TJournalLogView view(journal);
    view.MemoLineAdded(""); // the serial spy's separator
    for (const auto& [priority, line] : rows) view.MemoLineAdded(line);
    EXPECT_EQ(journal.Lines,
              (std::vector<std::pair<TJournalPriority, std::string>>(std::begin(rows), std::end(rows))));
}

} // namespace
} // namespace dravon
