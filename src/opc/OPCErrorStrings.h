// The result codes' symbolic names (every debug-log Call end line) and texts
// (GetErrorString).
#pragma once

#include "opc/HResult.h"

#include <string>

namespace dravon {

// The table name, or "code: " and the code as a signed decimal number.
std::string ResultName(HRESULT code);
// The table text; for a code without one the system text (trailing control characters,
// blanks and periods removed); for a code the system does not know either, "".
std::string ErrorText(HRESULT code);
// The standard COM/Windows message text of a code, as returned by the system (untrimmed),
// "" when unknown.
std::string SystemErrorText(HRESULT code);

} // namespace dravon
