// printf-like filling of the system's message templates ("PLC %s timed out at %s").
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>

namespace dravon {

// Replaces each "%s" or "%d" in order with the next argument; "%%" gives "%". Missing
// arguments leave the rest empty; extra arguments are ignored.
std::string FormatText(std::string_view format, std::initializer_list<std::string_view> args);

// Text from outside (a client's name, an item ID, a host name, a stored value) made safe
// for one log line: control characters and bytes that are not UTF-8 become \xHH, so no
// line break or terminal escape gets through, and more than `limit` characters are cut
// to `limit` followed by "...".
inline constexpr std::size_t LogTextLimit = 256;
std::string LogText(std::string_view text, std::size_t limit = LogTextLimit);

// True when the text is valid UTF-8 without control characters.
bool IsPrintableUtf8(std::string_view text);

} // namespace dravon
