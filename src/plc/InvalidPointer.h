// The error raised for a bad index into a collection of locations or PLCs.
#pragma once

#include <stdexcept>

namespace dravon {

inline constexpr const char* InvalidPointerMessage = "Invalid pointer detected";

class TInvalidPointer : public std::runtime_error {
public:
    TInvalidPointer() : std::runtime_error(InvalidPointerMessage) {}
};

} // namespace dravon
