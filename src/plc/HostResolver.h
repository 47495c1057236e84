// The host-name lookup seam. Lookups never block the main loop: the answer arrives later
// as a callback on the main loop. src/platform implements it with the system resolver.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace dravon {

class IHostResolver {
public:
    virtual ~IHostResolver() = default;
    // Looks name up; done receives the dotted text of the last IPv4 address found, or an
    // empty text when the lookup failed. done runs later on the main loop, never inside
    // this call. Callers answer dotted addresses themselves (no lookup, no traffic).
    virtual void LookupHost(const std::string& name,
                            std::function<void(const std::string& address)> done) = 0;
};

// "a.b.c.d" with four decimal fields of 0-255 and nothing else: the 32-bit address with
// the first field in the most significant byte.
std::optional<std::uint32_t> ParseDottedIPv4(std::string_view text);

} // namespace dravon
