// Splitting an OPC item ID ("PLC1.WR0010", "plc1.wr0100.asc.5", "PLC1.DR0000s",
// "Sys.ServerUpTime") into its parts.
#pragma once

#include <string>
#include <string_view>

namespace dravon {

// Largest number of consecutive locations one item ID may cover (".arr." elements, or
// ".asc." words/double words). One request could otherwise create millions of locations;
// 1024 is far above the 120 elements the configuration allows by default and above any
// block the PLC returns in one answer, while keeping one item at a few hundred kilobytes.
inline constexpr int MaxElementCount = 1024;

struct TItemIdParts {
    bool Valid = false;      // contains a "." (else nothing resolves)
    std::string Trimmed;     // trimmed, case kept: stored as ItemId
    std::string PLCName;     // lower case, text before the first "."
    std::string Address;     // lower case, text after the last "." (without "s" when signed)
    std::string RawAddress;  // the same before the "s" was taken off (variable names)
    long long ArrCount = -1; // ".arr." count, -1 when absent, 0 for a non-number
    long long AscCount = -1; // ".asc." count (characters), -1 when absent
    bool Signed = false;
    // Locations covered for a word or bit type: ".arr." count, or (".asc." - 1) div 2 + 1,
    // at least 1. Double-word types halve it once more when ".asc." is given (see
    // ElementCountFor). May exceed MaxElementCount: the resolver then refuses the ID.
    long long Count = 1;
};

TItemIdParts ParseItemId(std::string_view itemId);

// The item ID without a trailing ".arr." or ".asc." that has no count (an absent suffix),
// so that a count can be appended.
std::string WithoutEmptySuffix(std::string_view itemId);

// Element count for a memory-type row: Count, halved again ((n - 1) div 2 + 1) for a
// double-word row with an ".asc." suffix.
long long ElementCountFor(const TItemIdParts& parts, bool isDoubleWordRow);

// Surrounding characters up to and including blanks removed.
std::string TrimText(std::string_view text);
std::string LowerAscii(std::string_view text);
bool SameTextIgnoringCase(std::string_view a, std::string_view b);

} // namespace dravon
