// The memory of one simulated PLC station: sparse, so that every memory type can be
// addressed in full; memory never written reads as 0.
#pragma once

#include <cstdint>
#include <unordered_map>

namespace dravon {

class TSimMemory {
public:
    // Bits hold 0 or 1, words 0-65535. Callers check the address first (SimAddressValid).
    std::uint16_t Get(std::uint8_t code, std::uint32_t address) const;
    void Set(std::uint8_t code, std::uint32_t address, std::uint16_t value);
    std::size_t Size() const { return Cells_.size(); }

private:
    static std::uint32_t Key(std::uint8_t code, std::uint32_t address) {
        return (static_cast<std::uint32_t>(code) << 24) | (address & 0xFFFFFFu);
    }
    std::unordered_map<std::uint32_t, std::uint16_t> Cells_;
};

} // namespace dravon
