// The 26 PLC memory types, the address syntax and the canonical address text.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace dravon {

// Canonical OPC value types of locations (the published VARIANT type numbers).
inline constexpr std::uint16_t VarTypeI2 = 2;
inline constexpr std::uint16_t VarTypeI4 = 3;
inline constexpr std::uint16_t VarTypeBstr = 8;
inline constexpr std::uint16_t VarTypeBool = 11;
inline constexpr std::uint16_t VarTypeUI2 = 18;
inline constexpr std::uint16_t VarTypeUI4 = 19;

struct MemoryTypeInfo {
    const char* Name;         // address prefix
    int Code;                 // H-protocol memory-type code
    int SubDigits;            // trailing decimal digits forming a sub-address; 0 = all hex
    std::uint32_t MinAddress; // always 0
    std::uint32_t MaxAddress; // largest packed address, inclusive
    int MaxDigits;            // hex digits of MaxAddress (canonical text width)
    std::uint16_t VarType;
    bool IsDoubleWord;
    bool BrowseFlag;
};

inline constexpr int MemoryTypeCount = 26;

// Order matters: parsing takes the first row whose prefix matches, and the word type of a
// double-word type is the first row with the same code.
inline constexpr std::array<MemoryTypeInfo, MemoryTypeCount> MemoryTypes{{
    {"X", 0, 2, 0, 0x4FF5F, 5, VarTypeBool, false, true},
    {"WX", 8, 1, 0, 0x4FF9, 4, VarTypeUI2, false, true},
    {"DX", 8, 1, 0, 0x4FF9, 4, VarTypeUI4, true, true},
    {"Y", 1, 2, 0, 0x4FF5F, 5, VarTypeBool, false, true},
    {"WY", 9, 1, 0, 0x4FF9, 4, VarTypeUI2, false, true},
    {"DY", 9, 1, 0, 0x4FF9, 4, VarTypeUI4, true, true},
    {"R", 2, 0, 0, 0x7FF, 3, VarTypeBool, false, true},
    {"WR", 10, 0, 0, 0xFFFF, 4, VarTypeUI2, false, false},
    {"DR", 10, 0, 0, 0xFFFE, 4, VarTypeUI4, true, false},
    {"M", 4, 0, 0, 0x7FFFF, 5, VarTypeBool, false, false},
    {"WM", 12, 0, 0, 0x7FFF, 4, VarTypeUI2, false, false},
    {"DM", 12, 0, 0, 0x7FFE, 4, VarTypeUI4, true, false},
    {"WN", 32, 0, 0, 0x1FFFF, 5, VarTypeUI2, false, true},
    {"DN", 32, 0, 0, 0x1FFFE, 5, VarTypeUI4, true, true},
    {"L", 3, 0, 0, 0x73FFF, 5, VarTypeBool, false, false},
    {"WL", 11, 0, 0, 0x73FF, 4, VarTypeUI2, false, false},
    {"DL", 11, 0, 0, 0x73FE, 4, VarTypeUI4, true, false},
    {"DIF", 14, 3, 0, 0x1FF, 3, VarTypeBool, false, false},
    {"DFN", 15, 3, 0, 0x1FF, 3, VarTypeBool, false, false},
    {"CL", 6, 4, 0, 0x1000, 4, VarTypeBool, false, false},
    {"TC", 13, 4, 0, 0x1000, 4, VarTypeUI2, false, false},
    {"TMCNT", 5, 4, 0, 0x1000, 4, VarTypeBool, false, false},
    {"EX", 48, 0, 0, 0x5A7FF, 5, VarTypeBool, false, true},
    {"WEX", 56, 0, 0, 0x5A7F, 4, VarTypeUI2, false, true},
    {"EY", 49, 0, 0, 0x5A7FF, 5, VarTypeBool, false, true},
    {"WEY", 57, 0, 0, 0x5A7F, 4, VarTypeUI2, false, true},
}};

using TMemoryTypeTable = std::array<MemoryTypeInfo, MemoryTypeCount>;

struct TParsedAddress {
    int Code = 0;
    std::uint32_t Address = 0; // packed address
    int Row = 0;               // row of MemoryTypes
};

// Address text without the PLC name, any case. Empty on failure (no message: the caller
// decides). Digits that overflow 32 bits fail.
std::optional<TParsedAddress> ParseAddress(std::string_view text);

// Canonical text of a packed address of a row, e.g. WR0010, X00195, CL00100.
// A row outside the table gives an empty text.
std::string FormatAddress(int row, std::uint32_t address);

// First row with this code and double-word flag; -1 when there is none.
int RowOfCode(int code, bool isDoubleWord);
// The word row of a double-word row (first row with the same code); the row itself otherwise.
int WordRowOf(int row);

} // namespace dravon
