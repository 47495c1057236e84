// Reads UA Binary from a byte range. Every read is bounds-checked: past the end, on a
// length that cannot fit in the rest of the message, or on nesting deeper than allowed,
// the reader fails once and for all and every later read returns a default value, so a
// decoder can read a whole structure and check Ok() at the end.
#pragma once

#include "ua/UaTypes.h"

#include <cstddef>
#include <string_view>

namespace dravon {

class TUaBinaryReader {
public:
    // Nesting of Variant, DataValue and DiagnosticInfo inside each other.
    static constexpr int MaxDepth = 16;

    explicit TUaBinaryReader(std::string_view bytes) : Data_(bytes) {}

    bool Ok() const { return Ok_; }
    void Fail() { Ok_ = false; }
    std::size_t Position() const { return Pos_; }
    std::size_t Remaining() const { return Ok_ ? Data_.size() - Pos_ : 0; }
    bool AtEnd() const { return Ok_ && Pos_ == Data_.size(); }

    bool Boolean();
    std::int8_t SByte() { return static_cast<std::int8_t>(Byte()); }
    std::uint8_t Byte();
    std::int16_t Int16() { return static_cast<std::int16_t>(UInt16()); }
    std::uint16_t UInt16();
    std::int32_t Int32() { return static_cast<std::int32_t>(UInt32()); }
    std::uint32_t UInt32();
    std::int64_t Int64() { return static_cast<std::int64_t>(UInt64()); }
    std::uint64_t UInt64();
    float Float();
    double Double();
    // A null string (-1) reads as empty; see NullableString to tell them apart.
    std::string String();
    std::optional<std::string> NullableString();
    std::string ByteString() { return String(); }
    TUaDateTime DateTime() { return Int64(); }
    TUaGuid Guid();
    TUaNodeId NodeId();
    TUaExpandedNodeId ExpandedNodeId();
    TUaStatusCode StatusCode() { return UInt32(); }
    TUaQualifiedName QualifiedName();
    TUaLocalizedText LocalizedText();
    TUaExtensionObject ExtensionObject();
    TUaVariant Variant();
    TUaDataValue DataValue();
    TUaDiagnosticInfo DiagnosticInfo();

    // Array length: -1 (null) reads as 0. A count that the remaining bytes cannot hold
    // (each element takes at least minElementSize bytes) fails the reader.
    std::size_t ArrayLength(std::size_t minElementSize = 1);

    template <typename F> auto Array(F readOne, std::size_t minElementSize = 1) {
        using T = decltype(readOne());
        std::vector<T> out;
        std::size_t n = ArrayLength(minElementSize);
        out.reserve(n);
        for (std::size_t i = 0; i < n && Ok_; ++i) out.push_back(readOne());
        return out;
    }

private:
    const std::uint8_t* Take(std::size_t n);
    TUaScalar ScalarOf(TUaType type);
    TUaNodeId NodeIdWithMask(std::uint8_t mask);

    std::string_view Data_;
    std::size_t Pos_ = 0;
    bool Ok_ = true;
    int Depth_ = 0;
};

} // namespace dravon
