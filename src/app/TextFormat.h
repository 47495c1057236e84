// printf-like filling of the system's message templates ("PLC %s timed out at %s").
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>

namespace dravon {

// Replaces each "%s" or "%d" in order with the next argument; "%%" gives "%". Missing
// arguments leave the rest empty; extra arguments are ignored.
std::string FormatText(std::string_view format, std::initializer_list<std::string_view> args);

} // namespace dravon
