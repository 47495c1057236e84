#include "plc/HostResolver.h"

namespace dravon {

std::optional<std::uint32_t> ParseDottedIPv4(std::string_view text) {
    std::uint32_t address = 0;
    int fields = 0;
    std::size_t i = 0;
    while (fields < 4) {
        std::size_t start = i;
        unsigned value = 0;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9' && i - start < 3)
            value = value * 10 + static_cast<unsigned>(text[i++] - '0');
        if (i == start || value > 255) return std::nullopt;
        address = (address << 8) | value;
        ++fields;
        if (fields < 4) {
            if (i >= text.size() || text[i] != '.') return std::nullopt;
            ++i;
        }
    }
    if (i != text.size()) return std::nullopt;
    return address;
}

} // namespace dravon
