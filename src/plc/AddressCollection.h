// An owning, ordered list of locations: a PLC's monitored memory (sorted by code, then
// packed address) or a list of variables (creation order).
#pragma once

#include "plc/HitachiLocation.h"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace dravon {

class THitachiPLC;

class TAddressCollection {
public:
    TAddressCollection() = default;
    // Frees the locations from the last to the first.
    ~TAddressCollection();
    TAddressCollection(const TAddressCollection&) = delete;
    TAddressCollection& operator=(const TAddressCollection&) = delete;

    int Count() const { return static_cast<int>(Items_.size()); }
    // Throws TInvalidPointer ("Invalid pointer detected") for a bad index.
    THitachiLocation& Item(int index) const;

    // A new memory location inserted after every smaller (code, address) key and before
    // existing equal keys.
    THitachiLocation& AddMemoryLocation(int code, std::uint32_t address, THitachiPLC* plc, int row);
    // A new variable appended at the end (read-only; text or 32-bit integer).
    THitachiLocation& AddVariable(const std::string& name, THitachiPLC* plc, bool isText);

    // Name compared ignoring ASCII case; the last match wins.
    THitachiLocation* FindByName(std::string_view name) const;
    // First location with exactly these three values (binary search on the sorted order).
    THitachiLocation* FindLocation(int code, std::uint32_t address, bool isDoubleWord) const;
    // Index of a location in this collection, or -1.
    int IndexOf(const THitachiLocation* location) const;

    // Frees every location with RefCount below 1 and no write pending, from the last to the
    // first. Returns the number freed.
    int PurgeUnused();
    void Clear();

    // Locations that are not double words (a double word counts through its two halves).
    int CountWithoutDoubleWords() const;

private:
    std::vector<std::unique_ptr<THitachiLocation>> Items_;
};

} // namespace dravon
