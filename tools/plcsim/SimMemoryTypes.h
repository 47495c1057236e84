// The PLC's own view of its memory types: which codes it has, how far each reaches,
// and the address texts the control interface accepts. Kept apart from the server's
// table on purpose, so that a mistake on one side shows up against the other.
#pragma once

#include <cstdint>
#include <string>

namespace dravon {

struct TSimTypeLimits {
    std::uint32_t MaxAddress = 0;
    std::uint32_t SubModulus = 0; // 16^n for types with an n-digit decimal sub-address, else 0
    bool IsBit = false;
};

// False for a code the PLC does not have.
bool SimTypeLimitsFor(std::uint8_t code, TSimTypeLimits& limits);

// Whether the PLC has memory at this packed address (range and sub-address range).
bool SimAddressValid(std::uint8_t code, std::uint32_t address);

bool SimIsBitCode(std::uint8_t code);

// Parses an address text such as "WR0010", "X00195", "DR0000" or "M123" (case-insensitive).
// isDouble tells that the text named a double word (two words from the given address up).
bool SimParseAddressText(const std::string& text, std::uint8_t& code, std::uint32_t& address, bool& isDouble);

} // namespace dravon
