// A 128-bit COM GUID in its standard field layout, comparable at compile time.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace dravon {

struct TGuid {
    std::uint32_t Data1 = 0;
    std::uint16_t Data2 = 0;
    std::uint16_t Data3 = 0;
    std::array<std::uint8_t, 8> Data4{};

    friend constexpr bool operator==(const TGuid&, const TGuid&) = default;
};

// Registry text form in braces, upper-case: {39C13A4D-011E-11D0-9675-0020AFD8ADB3}.
std::string GuidText(const TGuid& guid);

} // namespace dravon
