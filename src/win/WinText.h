// UTF-8 (the core's text) to and from UTF-16 (the W functions), and system error texts.
#pragma once

#include <windows.h>

#include <string>

namespace dravon {

std::wstring Widen(const std::string& text);
std::string Narrow(const std::wstring& text);
std::string Narrow(const wchar_t* text, std::size_t length);
// The system's message for an error number, without the line end.
std::string SystemErrorText(DWORD error);

} // namespace dravon
