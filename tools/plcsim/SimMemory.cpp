#include "SimMemory.h"

#include "SimMemoryTypes.h"

namespace dravon {

std::uint16_t TSimMemory::Get(std::uint8_t code, std::uint32_t address) const {
    auto it = Cells_.find(Key(code, address));
    return it == Cells_.end() ? 0 : it->second;
}

void TSimMemory::Set(std::uint8_t code, std::uint32_t address, std::uint16_t value) {
    if (SimIsBitCode(code)) value = value != 0 ? 1 : 0;
    if (value == 0) {
        Cells_.erase(Key(code, address));
    } else {
        Cells_[Key(code, address)] = value;
    }
}

} // namespace dravon
