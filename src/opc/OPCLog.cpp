#include "opc/OPCLog.h"

#include "app/Logger.h"
#include "app/Platform.h"
#include "app/TimeDate.h"
#include "opc/OPCErrorStrings.h"

namespace dravon {

void LogCallStart(TLogger* log, const std::string& text) {
    if (log) log->BeginBlock(lkCallStart, text, true);
}

void LogCallEnd(TLogger* log, const std::string& text, HRESULT result) {
    if (log) log->EndBlock(lkCallEnd, text + "=" + ResultName(result), true);
}

void LogCallEndText(TLogger* log, const std::string& text) {
    if (log) log->EndBlock(lkCallEnd, text, true);
}

void LogCall(TLogger* log, const std::string& text, HRESULT result) {
    if (log) log->WriteLine(lkCall, text + "=" + ResultName(result), true);
}

std::string ClientEventTimeText(const IClock& clock) {
    TDateTime now = clock.Now();
    return DateText(now) + "  " + TimeText(now);
}

} // namespace dravon
