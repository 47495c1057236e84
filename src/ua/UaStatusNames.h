// Status codes by their names in the standard ("Bad_TcpServerTooBusy"), for log lines.
#pragma once

#include "ua/UaTypes.h"

#include <string>

namespace dravon {

// The name of a code this endpoint uses, or its number as 0x%08X.
std::string UaStatusName(TUaStatusCode code);

} // namespace dravon
