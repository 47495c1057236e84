// The debug-log convention of every OPC method: a Call start line "Interface::Method" and a
// Call end line "Interface::Method=" + result name, or one Call line with the result
// name; and the date-time text of the session-log lines about clients and groups.
#pragma once

#include "opc/HResult.h"

#include <string>

namespace dravon {

class IClock;
class TLogger;

void LogCallStart(TLogger* log, const std::string& text);
// Call end with "=" and the result name appended to text.
void LogCallEnd(TLogger* log, const std::string& text, HRESULT result);
// Call end carrying text as it stands (the callback deliveries have no result name).
void LogCallEndText(TLogger* log, const std::string& text);
// One Call line: text, "=", result name.
void LogCall(TLogger* log, const std::string& text, HRESULT result);

// "Client connected at %s" and its kin: the short date, two blanks, the long time.
std::string ClientEventTimeText(const IClock& clock);

} // namespace dravon
