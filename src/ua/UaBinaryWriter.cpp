#include "ua/UaBinaryWriter.h"

#include <cstring>

namespace dravon {

void TUaBinaryWriter::UInt16(std::uint16_t v) {
    Byte(static_cast<std::uint8_t>(v));
    Byte(static_cast<std::uint8_t>(v >> 8));
}

void TUaBinaryWriter::UInt32(std::uint32_t v) {
    for (int i = 0; i < 4; ++i) Byte(static_cast<std::uint8_t>(v >> (8 * i)));
}

void TUaBinaryWriter::UInt64(std::uint64_t v) {
    UInt32(static_cast<std::uint32_t>(v));
    UInt32(static_cast<std::uint32_t>(v >> 32));
}

void TUaBinaryWriter::Float(float v) {
    std::uint32_t bits;
    std::memcpy(&bits, &v, 4);
    UInt32(bits);
}

void TUaBinaryWriter::Double(double v) {
    std::uint64_t bits;
    std::memcpy(&bits, &v, 8);
    UInt64(bits);
}

void TUaBinaryWriter::String(const std::string& v) {
    Int32(static_cast<std::int32_t>(v.size()));
    Out_ += v;
}

void TUaBinaryWriter::NullableString(const std::optional<std::string>& v) {
    if (v)
        String(*v);
    else
        Int32(-1);
}

void TUaBinaryWriter::ByteString(const std::string& v) {
    if (v.empty())
        Int32(-1);
    else
        String(v);
}

void TUaBinaryWriter::Guid(const TUaGuid& v) {
    UInt32(v.Data1);
    UInt16(v.Data2);
    UInt16(v.Data3);
    for (auto b : v.Data4) Byte(b);
}

void TUaBinaryWriter::NodeIdBody(const TUaNodeId& v, std::uint8_t flags) {
    switch (v.Kind) {
    case TUaIdKind::Numeric:
        if (v.Namespace == 0 && v.Numeric <= 0xFF) {
            Byte(0x00 | flags);
            Byte(static_cast<std::uint8_t>(v.Numeric));
        } else if (v.Namespace <= 0xFF && v.Numeric <= 0xFFFF) {
            Byte(0x01 | flags);
            Byte(static_cast<std::uint8_t>(v.Namespace));
            UInt16(static_cast<std::uint16_t>(v.Numeric));
        } else {
            Byte(0x02 | flags);
            UInt16(v.Namespace);
            UInt32(v.Numeric);
        }
        break;
    case TUaIdKind::String:
        Byte(0x03 | flags);
        UInt16(v.Namespace);
        String(v.Text);
        break;
    case TUaIdKind::Guid:
        Byte(0x04 | flags);
        UInt16(v.Namespace);
        Guid(v.Guid);
        break;
    case TUaIdKind::Opaque:
        Byte(0x05 | flags);
        UInt16(v.Namespace);
        ByteString(v.Text);
        break;
    }
}

void TUaBinaryWriter::NodeId(const TUaNodeId& v) { NodeIdBody(v, 0); }

void TUaBinaryWriter::ExpandedNodeId(const TUaExpandedNodeId& v) {
    std::uint8_t flags = (v.NamespaceUri.empty() ? 0 : 0x80) | (v.ServerIndex ? 0x40 : 0);
    NodeIdBody(v.Node, flags);
    if (!v.NamespaceUri.empty()) String(v.NamespaceUri);
    if (v.ServerIndex) UInt32(v.ServerIndex);
}

void TUaBinaryWriter::QualifiedName(const TUaQualifiedName& v) {
    UInt16(v.Namespace);
    String(v.Name);
}

void TUaBinaryWriter::LocalizedText(const TUaLocalizedText& v) {
    Byte((v.Locale ? 0x01 : 0) | (v.Text ? 0x02 : 0));
    if (v.Locale) String(*v.Locale);
    if (v.Text) String(*v.Text);
}

void TUaBinaryWriter::ExtensionObject(const TUaExtensionObject& v) {
    NodeId(v.TypeId);
    Byte(v.Encoding);
    if (v.Encoding != 0) String(v.Body);
}

void TUaBinaryWriter::Scalar(TUaType type, const TUaScalar& value) {
    auto i64 = [&] {
        return std::holds_alternative<std::int64_t>(value) ? std::get<std::int64_t>(value) : 0;
    };
    auto u64 = [&] {
        return std::holds_alternative<std::uint64_t>(value) ? std::get<std::uint64_t>(value) : 0;
    };
    auto dbl = [&] { return std::holds_alternative<double>(value) ? std::get<double>(value) : 0.0; };
    auto str = [&]() -> std::string {
        return std::holds_alternative<std::string>(value) ? std::get<std::string>(value) : std::string();
    };
    switch (type) {
    case TUaType::Boolean: Boolean(std::holds_alternative<bool>(value) && std::get<bool>(value)); break;
    case TUaType::SByte: SByte(static_cast<std::int8_t>(i64())); break;
    case TUaType::Byte: Byte(static_cast<std::uint8_t>(u64())); break;
    case TUaType::Int16: Int16(static_cast<std::int16_t>(i64())); break;
    case TUaType::UInt16: UInt16(static_cast<std::uint16_t>(u64())); break;
    case TUaType::Int32: Int32(static_cast<std::int32_t>(i64())); break;
    case TUaType::UInt32: UInt32(static_cast<std::uint32_t>(u64())); break;
    case TUaType::Int64: Int64(i64()); break;
    case TUaType::UInt64: UInt64(u64()); break;
    case TUaType::Float: Float(static_cast<float>(dbl())); break;
    case TUaType::Double: Double(dbl()); break;
    case TUaType::String:
    case TUaType::XmlElement: String(str()); break;
    case TUaType::ByteString: ByteString(str()); break;
    case TUaType::DateTime: DateTime(i64()); break;
    case TUaType::Guid:
        Guid(std::holds_alternative<TUaGuid>(value) ? std::get<TUaGuid>(value) : TUaGuid{});
        break;
    case TUaType::NodeId:
        NodeId(std::holds_alternative<TUaNodeId>(value) ? std::get<TUaNodeId>(value) : TUaNodeId{});
        break;
    case TUaType::ExpandedNodeId:
        ExpandedNodeId(std::holds_alternative<TUaExpandedNodeId>(value) ? std::get<TUaExpandedNodeId>(value)
                                                                        : TUaExpandedNodeId{});
        break;
    case TUaType::StatusCode: StatusCode(static_cast<TUaStatusCode>(u64())); break;
    case TUaType::QualifiedName:
        QualifiedName(std::holds_alternative<TUaQualifiedName>(value) ? std::get<TUaQualifiedName>(value)
                                                                      : TUaQualifiedName{});
        break;
    case TUaType::LocalizedText:
        LocalizedText(std::holds_alternative<TUaLocalizedText>(value) ? std::get<TUaLocalizedText>(value)
                                                                      : TUaLocalizedText{});
        break;
    case TUaType::ExtensionObject:
        ExtensionObject(std::holds_alternative<TUaExtensionObject>(value)
                            ? std::get<TUaExtensionObject>(value)
                            : TUaExtensionObject{});
        break;
    default: break;
    }
}

void TUaBinaryWriter::Variant(const TUaVariant& v) {
    // DataValue/Variant/DiagnosticInfo elements are never produced by this server.
    if (v.Type == TUaType::Null || v.Type >= TUaType::DataValue) {
        Byte(0);
        return;
    }
    std::uint8_t mask = static_cast<std::uint8_t>(v.Type);
    if (v.IsArray) {
        mask |= 0x80;
        if (!v.Dimensions.empty()) mask |= 0x40;
        Byte(mask);
        ArrayLength(v.Values.size());
        for (const auto& value : v.Values) Scalar(v.Type, value);
        if (!v.Dimensions.empty()) Array(v.Dimensions, [this](std::int32_t d) { Int32(d); });
    } else {
        Byte(mask);
        Scalar(v.Type, v.Values.empty() ? TUaScalar{} : v.Values.front());
    }
}

void TUaBinaryWriter::DataValue(const TUaDataValue& v) {
    std::uint8_t mask = (v.Value ? 0x01 : 0) | (v.Status && *v.Status != 0 ? 0x02 : 0) |
                        (v.SourceTimestamp ? 0x04 : 0) | (v.ServerTimestamp ? 0x08 : 0) |
                        (v.SourcePicoseconds ? 0x10 : 0) | (v.ServerPicoseconds ? 0x20 : 0);
    Byte(mask);
    if (mask & 0x01) Variant(*v.Value);
    if (mask & 0x02) StatusCode(*v.Status);
    if (mask & 0x04) DateTime(*v.SourceTimestamp);
    if (mask & 0x10) UInt16(*v.SourcePicoseconds);
    if (mask & 0x08) DateTime(*v.ServerTimestamp);
    if (mask & 0x20) UInt16(*v.ServerPicoseconds);
}

void TUaBinaryWriter::DiagnosticInfo(const TUaDiagnosticInfo& v) {
    std::uint8_t mask = (v.SymbolicId ? 0x01 : 0) | (v.NamespaceUri ? 0x02 : 0) |
                        (v.LocalizedText ? 0x04 : 0) | (v.Locale ? 0x08 : 0) | (v.AdditionalInfo ? 0x10 : 0) |
                        (v.InnerStatusCode ? 0x20 : 0) | (v.Inner ? 0x40 : 0);
    Byte(mask);
    if (v.SymbolicId) Int32(*v.SymbolicId);
    if (v.NamespaceUri) Int32(*v.NamespaceUri);
    if (v.Locale) Int32(*v.Locale);
    if (v.LocalizedText) Int32(*v.LocalizedText);
    if (v.AdditionalInfo) String(*v.AdditionalInfo);
    if (v.InnerStatusCode) StatusCode(*v.InnerStatusCode);
    if (v.Inner) DiagnosticInfo(*v.Inner);
}

void TUaBinaryWriter::PatchUInt32(std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) Out_[at + i] = static_cast<char>(static_cast<std::uint8_t>(v >> (8 * i)));
}

} // namespace dravon
