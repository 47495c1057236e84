// Bytes a session wants to send, in parts released one after the other: each part waits
// DelayMs after the previous one (the first after the request arrived).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace dravon {

struct TSimOutput {
    struct TPart {
        std::size_t End = 0;
        std::uint32_t DelayMs = 0;
    };
    std::vector<std::uint8_t> Bytes;
    std::vector<TPart> Parts;
    bool Close = false;

    void Clear() {
        Bytes.clear();
        Parts.clear();
        Close = false;
    }
    void Add(const std::uint8_t* data, std::size_t size, std::uint32_t delayMs) {
        Bytes.insert(Bytes.end(), data, data + size);
        Parts.push_back({Bytes.size(), delayMs});
    }
};

} // namespace dravon
