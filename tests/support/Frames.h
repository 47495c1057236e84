// Literal frames written compactly: hex digits, serial ASCII framing, joining.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace dravon::test {

using TBytes = std::vector<std::uint8_t>;

// Bytes written as hex digits, two per byte.
inline TBytes Hex(const std::string& digits) {
    TBytes b;
    for (std::size_t i = 0; i + 1 < digits.size(); i += 2)
        b.push_back(static_cast<std::uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
    return b;
}

inline std::string HexText(const TBytes& bytes) {
    std::string text;
    char digits[3];
    for (std::uint8_t b : bytes) text += (std::snprintf(digits, sizeof digits, "%02X", b), digits);
    return text;
}

// STX, the characters as given, CR: the checksum stays in the literal.
inline TBytes Ascii(const std::string& characters) {
    TBytes b{0x02};
    b.insert(b.end(), characters.begin(), characters.end());
    b.push_back(0x0D);
    return b;
}

inline TBytes Cat(TBytes a, const TBytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

} // namespace dravon::test
