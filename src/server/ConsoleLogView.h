// Echoes session-log lines to a stream (stdout when the server runs without a window),
// so the operator sees the log even with LogEvents off.
#pragma once

#include "app/SessionLog.h"

#include <iosfwd>

namespace dravon {

class TConsoleLogView : public ISessionLogView {
public:
    explicit TConsoleLogView(std::ostream& out) : Out_(out) {}
    void MemoCleared() override {}
    void MemoLineAdded(const std::string& line) override;
    void ShowMessage(const std::string&, unsigned) override {}

private:
    std::ostream& Out_;
};

} // namespace dravon
