#include "server/ConsoleLogView.h"

#include <ostream>

namespace dravon {

void TConsoleLogView::MemoLineAdded(const std::string& line) {
    // Flushed per line: a supervisor reading the pipe sees each event as it happens.
    Out_ << line << std::endl;
}

} // namespace dravon
