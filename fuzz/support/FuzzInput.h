// What the fuzz targets share: the input read as a script (bytes, numbers, pieces of text;
// zeros past the end), a check whose failure is the crash the fuzzer reports, and item
// locations held for the length of one input.
#pragma once

#include "plc/HitachiLocation.h"
#include "plc/PLCCollection.h"

#include <cstdint>
#include <cstdlib>
#include <initializer_list>
#include <string>
#include <vector>

namespace dravon::fuzz {

inline void Check(bool condition) {
    if (!condition) std::abort();
}

class TInput {
public:
    TInput(const std::uint8_t* data, std::size_t size) : Data_(data), Size_(size) {}
    bool Done() const { return At_ >= Size_; }
    std::uint8_t Byte() { return At_ < Size_ ? Data_[At_++] : 0; }
    std::uint32_t UInt32() {
        std::uint32_t v = 0;
        for (int i = 0; i < 4; ++i) v |= static_cast<std::uint32_t>(Byte()) << (8 * i);
        return v;
    }
    // Up to n bytes (fewer at the end).
    std::vector<std::uint8_t> Bytes(std::size_t n) {
        n = std::min(n, Size_ - std::min(At_, Size_));
        std::vector<std::uint8_t> out(Data_ + At_, Data_ + At_ + n);
        At_ += n;
        return out;
    }
    std::string Text(std::size_t n) {
        const auto bytes = Bytes(n);
        return std::string(bytes.begin(), bytes.end());
    }

private:
    const std::uint8_t* Data_;
    std::size_t Size_;
    std::size_t At_ = 0;
};

// The locations of the given item IDs, referenced while this lives.
class THeldLocations {
public:
    THeldLocations(TPLCCollection& plcs, std::initializer_list<const char*> itemIds) {
        for (const char* id : itemIds)
            if (THitachiLocation* location = plcs.ResolveItemId(id).Location) {
                location->AddRef();
                Locations.push_back(location);
            }
    }
    ~THeldLocations() {
        for (THitachiLocation* location : Locations) location->Release();
    }
    THeldLocations(const THeldLocations&) = delete;
    THeldLocations& operator=(const THeldLocations&) = delete;
    std::vector<THitachiLocation*> Locations;
};

} // namespace dravon::fuzz
