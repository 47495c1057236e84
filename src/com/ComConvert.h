// Conversions at the COM boundary: UTF-8 texts to and from UTF-16 (BSTR, LPWSTR), values to
// and from VARIANT (with one-dimensional SAFEARRAYs), FILETIME, GUIDs, and the arrays a
// client receives from the task allocator.
#pragma once

#include "com/ComWindows.h"

#include <cstddef>
#include <string>
#include <vector>

namespace dravon::com {

std::wstring Wide(const std::string& text);
// Text that is not UTF-8 (bytes read from a PLC) is taken byte by byte.
std::string Utf8(const wchar_t* text);
std::string Utf8(const wchar_t* text, std::size_t length);

// A copy for the client from the task allocator; null when out of memory.
LPWSTR TaskString(const std::string& text);

inline dravon::TGuid ToGuid(REFIID iid) {
    return {static_cast<std::uint32_t>(iid.Data1),
            iid.Data2,
            iid.Data3,
            {iid.Data4[0], iid.Data4[1], iid.Data4[2], iid.Data4[3], iid.Data4[4], iid.Data4[5], iid.Data4[6],
             iid.Data4[7]}};
}

inline FILETIME ToFileTime(const dravon::TFileTime& t) { return {t.LowDateTime, t.HighDateTime}; }

// value into *out (initialised here); DISP_E_BADVARTYPE for a type VARIANT cannot carry.
HRESULT ToVariant(const dravon::TVariant& value, VARIANT* out);
// A client's VARIANT (by reference or not) as a value; DISP_E_BADVARTYPE for a type the
// server does not represent.
HRESULT FromVariant(const VARIANT& in, dravon::TVariant& value);

// Zeroed task-allocator memory for count elements (at least one); null when out of memory.
template <class T> T* TaskArray(std::size_t count) {
    const std::size_t bytes = sizeof(T) * (count ? count : 1);
    void* p = CoTaskMemAlloc(bytes);
    if (p) ZeroMemory(p, bytes);
    return static_cast<T*>(p);
}

// The per-element results of a call, or null when out of memory.
HRESULT* TaskErrors(const std::vector<dravon::HRESULT>& errors);

// OLE automation and COM codes of the core as Windows HRESULTs.
inline HRESULT Hr(dravon::HRESULT hr) { return static_cast<HRESULT>(hr); }

} // namespace dravon::com
