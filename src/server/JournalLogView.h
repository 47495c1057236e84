// Sends session-log lines to the journal when the server runs as a service: events that
// report a failure or a time-out as warnings, the rest as information.
#pragma once

#include "app/ServiceManager.h"
#include "app/SessionLog.h"

namespace dravon {

// The priority of one session-log line.
TJournalPriority SessionLinePriority(const std::string& line);

class TJournalLogView : public ISessionLogView {
public:
    explicit TJournalLogView(IServiceManager& manager) : Manager_(manager) {}
    void MemoCleared() override {}
    void MemoLineAdded(const std::string& line) override;
    void ShowMessage(const std::string&, unsigned) override {}

private:
    IServiceManager& Manager_;
};

} // namespace dravon
