// Writes UA Binary (little-endian, length-prefixed strings and arrays) into a byte string.
#pragma once

#include "ua/UaTypes.h"

#include <string>

namespace dravon {

class TUaBinaryWriter {
public:
    std::string& Bytes() { return Out_; }
    std::string Take() { return std::move(Out_); }
    std::size_t Size() const { return Out_.size(); }

    void Boolean(bool v) { Byte(v ? 1 : 0); }
    void SByte(std::int8_t v) { Byte(static_cast<std::uint8_t>(v)); }
    void Byte(std::uint8_t v) { Out_.push_back(static_cast<char>(v)); }
    void Int16(std::int16_t v) { UInt16(static_cast<std::uint16_t>(v)); }
    void UInt16(std::uint16_t v);
    void Int32(std::int32_t v) { UInt32(static_cast<std::uint32_t>(v)); }
    void UInt32(std::uint32_t v);
    void Int64(std::int64_t v) { UInt64(static_cast<std::uint64_t>(v)); }
    void UInt64(std::uint64_t v);
    void Float(float v);
    void Double(double v);
    void String(const std::string& v);
    void NullableString(const std::optional<std::string>& v);
    // An empty ByteString is written as null (-1): certificates, nonces, continuation points.
    void ByteString(const std::string& v);
    void DateTime(TUaDateTime v) { Int64(v); }
    void Guid(const TUaGuid& v);
    void NodeId(const TUaNodeId& v);
    void ExpandedNodeId(const TUaExpandedNodeId& v);
    void StatusCode(TUaStatusCode v) { UInt32(v); }
    void QualifiedName(const TUaQualifiedName& v);
    void LocalizedText(const TUaLocalizedText& v);
    void ExtensionObject(const TUaExtensionObject& v);
    void Variant(const TUaVariant& v);
    void DataValue(const TUaDataValue& v);
    void DiagnosticInfo(const TUaDiagnosticInfo& v);

    void ArrayLength(std::size_t n) { Int32(static_cast<std::int32_t>(n)); }
    template <typename C, typename F> void Array(const C& items, F writeOne) {
        ArrayLength(items.size());
        for (const auto& item : items) writeOne(item);
    }
    // An empty array of any type (used for diagnostic infos and unused lists).
    void EmptyArray() { Int32(0); }

    // Overwrites four bytes at an earlier position (message sizes written afterwards).
    void PatchUInt32(std::size_t at, std::uint32_t v);

private:
    void NodeIdBody(const TUaNodeId& v, std::uint8_t flags);
    void Scalar(TUaType type, const TUaScalar& value);
    std::string Out_;
};

} // namespace dravon
