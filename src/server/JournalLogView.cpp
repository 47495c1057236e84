#include "server/JournalLogView.h"

namespace dravon {

TJournalPriority SessionLinePriority(const std::string& line) {
    // The session log's own texts for lost links, refused requests and faults.
    static constexpr const char* WarningMarks[] = {
        " timed out at ",          "not available", "Failed to ",
        "Unsuccessful connection", "cannot listen", "Unable to ",
        "Unhandled exception",     "BUSY response", "not responding",
        "non-existing location",
    };
    for (const char* mark : WarningMarks)
        if (line.find(mark) != std::string::npos) return TJournalPriority::Warning;
    return TJournalPriority::Info;
}

void TJournalLogView::MemoLineAdded(const std::string& line) {
    // The serial spy's blank separator lines say nothing on their own.
    if (line.empty()) return;
    Manager_.Journal(SessionLinePriority(line), line);
}

} // namespace dravon
