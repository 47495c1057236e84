// Reads a password for the user-management switches: from a terminal without echo (asked
// twice, both must agree), otherwise one line of standard input (scripts pipe it in).
#pragma once

#include <optional>
#include <string>

namespace dravon {

std::optional<std::string> ReadPassword();

} // namespace dravon
