#include "SimMemoryTypes.h"

#include <array>
#include <cctype>

namespace dravon {

namespace {

struct TSimTypeRow {
    const char* Name;
    std::uint8_t Code;
    int SubDigits;
    std::uint32_t MaxAddress; // of the word type for double-word rows
    bool IsBit;
    bool IsDouble;
};

// Prefixes are tried in this order; the first that matches wins (WX before W..., DIF after DX).
constexpr std::array<TSimTypeRow, 26> kRows{{
    {"X", 0x00, 2, 0x4FF5F, true, false},   {"WX", 0x08, 1, 0x4FF9, false, false},
    {"DX", 0x08, 1, 0x4FF9, false, true},   {"Y", 0x01, 2, 0x4FF5F, true, false},
    {"WY", 0x09, 1, 0x4FF9, false, false},  {"DY", 0x09, 1, 0x4FF9, false, true},
    {"R", 0x02, 0, 0x7FF, true, false},     {"WR", 0x0A, 0, 0xFFFF, false, false},
    {"DR", 0x0A, 0, 0xFFFF, false, true},   {"M", 0x04, 0, 0x7FFFF, true, false},
    {"WM", 0x0C, 0, 0x7FFF, false, false},  {"DM", 0x0C, 0, 0x7FFF, false, true},
    {"WN", 0x20, 0, 0x1FFFF, false, false}, {"DN", 0x20, 0, 0x1FFFF, false, true},
    {"L", 0x03, 0, 0x73FFF, true, false},   {"WL", 0x0B, 0, 0x73FF, false, false},
    {"DL", 0x0B, 0, 0x73FF, false, true},   {"DIF", 0x0E, 3, 0x1FF, true, false},
    {"DFN", 0x0F, 3, 0x1FF, true, false},   {"CL", 0x06, 4, 0x1000, true, false},
    {"TC", 0x0D, 4, 0x1000, false, false},  {"TMCNT", 0x05, 4, 0x1000, true, false},
    {"EX", 0x30, 0, 0x5A7FF, true, false},  {"WEX", 0x38, 0, 0x5A7F, false, false},
    {"EY", 0x31, 0, 0x5A7FF, true, false},  {"WEY", 0x39, 0, 0x5A7F, false, false},
}};

const TSimTypeRow* RowForCode(std::uint8_t code) {
    for (const auto& row : kRows) {
        if (row.Code == code && !row.IsDouble) return &row;
    }
    return nullptr;
}

std::uint32_t Modulus(int subDigits) {
    std::uint32_t m = 1;
    for (int i = 0; i < subDigits; ++i) m *= 16;
    return subDigits > 0 ? m : 0;
}

bool ParseHex(const std::string& text, std::uint32_t& value) {
    if (text.size() > 6) return false;
    value = 0;
    for (char c : text) {
        int d = std::isdigit(static_cast<unsigned char>(c)) ? c - '0'
                : (c >= 'A' && c <= 'F')                    ? c - 'A' + 10
                                                            : -1;
        if (d < 0) return false;
        value = value * 16 + static_cast<std::uint32_t>(d);
    }
    return true;
}

} // namespace

bool SimTypeLimitsFor(std::uint8_t code, TSimTypeLimits& limits) {
    const TSimTypeRow* row = RowForCode(code);
    if (!row) return false;
    limits.MaxAddress = row->MaxAddress;
    limits.SubModulus = Modulus(row->SubDigits);
    limits.IsBit = row->IsBit;
    return true;
}

bool SimAddressValid(std::uint8_t code, std::uint32_t address) {
    TSimTypeLimits limits;
    if (!SimTypeLimitsFor(code, limits) || address > limits.MaxAddress) return false;
    if (limits.SubModulus != 0 && address % limits.SubModulus > limits.MaxAddress % limits.SubModulus)
        return false;
    return true;
}

bool SimIsBitCode(std::uint8_t code) {
    const TSimTypeRow* row = RowForCode(code);
    return row && row->IsBit;
}

bool SimParseAddressText(const std::string& text, std::uint8_t& code, std::uint32_t& address,
                         bool& isDouble) {
    std::string upper;
    for (char c : text) upper += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    for (const auto& row : kRows) {
        std::string name(row.Name);
        if (upper.compare(0, name.size(), name) != 0) continue;
        std::string rest = upper.substr(name.size());
        if (rest.empty()) return false;
        std::uint32_t value = 0;
        if (row.SubDigits > 0) {
            std::size_t n = static_cast<std::size_t>(row.SubDigits);
            std::string high = rest.size() > n ? rest.substr(0, rest.size() - n) : std::string();
            std::string low = rest.size() > n ? rest.substr(rest.size() - n) : rest;
            std::uint32_t h = 0;
            if (!high.empty() && !ParseHex(high, h)) return false;
            std::uint32_t l = 0;
            for (char c : low) {
                if (!std::isdigit(static_cast<unsigned char>(c))) return false;
                l = l * 10 + static_cast<std::uint32_t>(c - '0');
            }
            value = h * Modulus(row.SubDigits) + l;
        } else if (!ParseHex(rest, value)) {
            return false;
        }
        code = row.Code;
        address = value;
        isDouble = row.IsDouble;
        if (!SimAddressValid(code, address)) return false;
        return !isDouble || SimAddressValid(code, address + 1);
    }
    return false;
}

} // namespace dravon
