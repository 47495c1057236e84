#include "ua/UaBinaryReader.h"

#include <cstring>

namespace dravon {

const std::uint8_t* TUaBinaryReader::Take(std::size_t n) {
    if (!Ok_ || Data_.size() - Pos_ < n) {
        Ok_ = false;
        return nullptr;
    }
    const auto* p = reinterpret_cast<const std::uint8_t*>(Data_.data()) + Pos_;
    Pos_ += n;
    return p;
}

bool TUaBinaryReader::Boolean() { return Byte() != 0; }

std::uint8_t TUaBinaryReader::Byte() {
    const auto* p = Take(1);
    return p ? p[0] : 0;
}

std::uint16_t TUaBinaryReader::UInt16() {
    const auto* p = Take(2);
    return p ? static_cast<std::uint16_t>(p[0] | (p[1] << 8)) : 0;
}

std::uint32_t TUaBinaryReader::UInt32() {
    const auto* p = Take(4);
    if (!p) return 0;
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

std::uint64_t TUaBinaryReader::UInt64() {
    std::uint64_t low = UInt32();
    std::uint64_t high = UInt32();
    return low | (high << 32);
}

float TUaBinaryReader::Float() {
    std::uint32_t bits = UInt32();
    float f;
    std::memcpy(&f, &bits, 4);
    return f;
}

double TUaBinaryReader::Double() {
    std::uint64_t bits = UInt64();
    double d;
    std::memcpy(&d, &bits, 8);
    return d;
}

std::optional<std::string> TUaBinaryReader::NullableString() {
    std::int32_t length = Int32();
    if (!Ok_) return std::nullopt;
    if (length < 0) {
        if (length != -1) Ok_ = false;
        return std::nullopt;
    }
    const auto* p = Take(static_cast<std::size_t>(length));
    if (!p) return std::nullopt;
    return std::string(reinterpret_cast<const char*>(p), static_cast<std::size_t>(length));
}

std::string TUaBinaryReader::String() { return NullableString().value_or(std::string()); }

std::size_t TUaBinaryReader::ArrayLength(std::size_t minElementSize) {
    std::int32_t length = Int32();
    if (!Ok_) return 0;
    if (length < 0) {
        if (length != -1) Ok_ = false;
        return 0;
    }
    if (static_cast<std::size_t>(length) > Remaining() / (minElementSize ? minElementSize : 1)) {
        Ok_ = false;
        return 0;
    }
    return static_cast<std::size_t>(length);
}

TUaGuid TUaBinaryReader::Guid() {
    TUaGuid g;
    g.Data1 = UInt32();
    g.Data2 = UInt16();
    g.Data3 = UInt16();
    for (auto& b : g.Data4) b = Byte();
    return g;
}

TUaNodeId TUaBinaryReader::NodeIdWithMask(std::uint8_t mask) {
    TUaNodeId id;
    switch (mask & 0x0F) {
    case 0x00: id.Numeric = Byte(); break;
    case 0x01:
        id.Namespace = Byte();
        id.Numeric = UInt16();
        break;
    case 0x02:
        id.Namespace = UInt16();
        id.Numeric = UInt32();
        break;
    case 0x03:
        id.Namespace = UInt16();
        id.Kind = TUaIdKind::String;
        id.Text = String();
        break;
    case 0x04:
        id.Namespace = UInt16();
        id.Kind = TUaIdKind::Guid;
        id.Guid = Guid();
        break;
    case 0x05:
        id.Namespace = UInt16();
        id.Kind = TUaIdKind::Opaque;
        id.Text = ByteString();
        break;
    default: Ok_ = false; break;
    }
    return id;
}

TUaNodeId TUaBinaryReader::NodeId() {
    std::uint8_t mask = Byte();
    // The expanded-node-id flags are not allowed in a plain NodeId.
    if (mask & 0xC0) Ok_ = false;
    return NodeIdWithMask(mask);
}

TUaExpandedNodeId TUaBinaryReader::ExpandedNodeId() {
    std::uint8_t mask = Byte();
    TUaExpandedNodeId id;
    id.Node = NodeIdWithMask(mask);
    if (mask & 0x80) id.NamespaceUri = String();
    if (mask & 0x40) id.ServerIndex = UInt32();
    return id;
}

TUaQualifiedName TUaBinaryReader::QualifiedName() {
    TUaQualifiedName q;
    q.Namespace = UInt16();
    q.Name = String();
    return q;
}

TUaLocalizedText TUaBinaryReader::LocalizedText() {
    TUaLocalizedText t;
    std::uint8_t mask = Byte();
    if (mask & ~0x03) Ok_ = false;
    if (mask & 0x01) t.Locale = String();
    if (mask & 0x02) t.Text = String();
    return t;
}

TUaExtensionObject TUaBinaryReader::ExtensionObject() {
    TUaExtensionObject e;
    e.TypeId = NodeId();
    e.Encoding = Byte();
    if (e.Encoding == 1 || e.Encoding == 2)
        e.Body = ByteString();
    else if (e.Encoding != 0)
        Ok_ = false;
    return e;
}

TUaScalar TUaBinaryReader::ScalarOf(TUaType type) {
    switch (type) {
    case TUaType::Boolean: return Boolean();
    case TUaType::SByte: return static_cast<std::int64_t>(SByte());
    case TUaType::Byte: return static_cast<std::uint64_t>(Byte());
    case TUaType::Int16: return static_cast<std::int64_t>(Int16());
    case TUaType::UInt16: return static_cast<std::uint64_t>(UInt16());
    case TUaType::Int32: return static_cast<std::int64_t>(Int32());
    case TUaType::UInt32: return static_cast<std::uint64_t>(UInt32());
    case TUaType::Int64: return Int64();
    case TUaType::UInt64: return UInt64();
    case TUaType::Float: return static_cast<double>(Float());
    case TUaType::Double: return Double();
    case TUaType::String:
    case TUaType::ByteString:
    case TUaType::XmlElement: return String();
    case TUaType::DateTime: return DateTime();
    case TUaType::Guid: return Guid();
    case TUaType::NodeId: return NodeId();
    case TUaType::ExpandedNodeId: return ExpandedNodeId();
    case TUaType::StatusCode: return static_cast<std::uint64_t>(StatusCode());
    case TUaType::QualifiedName: return QualifiedName();
    case TUaType::LocalizedText: return LocalizedText();
    case TUaType::ExtensionObject: return ExtensionObject();
    default:
        // DataValue, Variant and DiagnosticInfo inside a Variant are not used by any
        // service this endpoint offers; refusing them keeps the value model flat.
        Ok_ = false;
        return std::monostate{};
    }
}

TUaVariant TUaBinaryReader::Variant() {
    TUaVariant v;
    std::uint8_t mask = Byte();
    if (!Ok_) return v;
    std::uint8_t typeId = mask & 0x3F;
    if (typeId > static_cast<std::uint8_t>(TUaType::DiagnosticInfo)) {
        Ok_ = false;
        return v;
    }
    v.Type = static_cast<TUaType>(typeId);
    if (++Depth_ > MaxDepth) Ok_ = false;
    if (mask & 0x80) {
        v.IsArray = true;
        std::size_t n = ArrayLength(1);
        v.Values.reserve(n);
        for (std::size_t i = 0; i < n && Ok_; ++i) v.Values.push_back(ScalarOf(v.Type));
        if (mask & 0x40) {
            v.Dimensions = Array([this] { return Int32(); }, 4);
            // The dimensions must multiply to the element count. Stop at the first one that
            // is negative or makes the product exceed it: the product then never overflows.
            std::uint64_t count = v.Values.size();
            std::uint64_t product = v.Dimensions.empty() ? 0 : 1;
            for (auto d : v.Dimensions) {
                if (d < 0) {
                    Ok_ = false;
                    break;
                }
                product *= static_cast<std::uint64_t>(d);
                if (product > count) break;
            }
            if (product != count) Ok_ = false;
        }
    } else {
        if (mask & 0x40) Ok_ = false;
        if (v.Type != TUaType::Null) v.Values.push_back(ScalarOf(v.Type));
    }
    --Depth_;
    return v;
}

TUaDataValue TUaBinaryReader::DataValue() {
    TUaDataValue d;
    std::uint8_t mask = Byte();
    if (mask & 0xC0) Ok_ = false;
    if (mask & 0x01) d.Value = Variant();
    if (mask & 0x02) d.Status = StatusCode();
    if (mask & 0x04) d.SourceTimestamp = DateTime();
    if (mask & 0x10) d.SourcePicoseconds = UInt16();
    if (mask & 0x08) d.ServerTimestamp = DateTime();
    if (mask & 0x20) d.ServerPicoseconds = UInt16();
    return d;
}

TUaDiagnosticInfo TUaBinaryReader::DiagnosticInfo() {
    TUaDiagnosticInfo d;
    std::uint8_t mask = Byte();
    if (mask & 0x80) Ok_ = false;
    if (mask & 0x01) d.SymbolicId = Int32();
    if (mask & 0x02) d.NamespaceUri = Int32();
    if (mask & 0x08) d.Locale = Int32();
    if (mask & 0x04) d.LocalizedText = Int32();
    if (mask & 0x10) d.AdditionalInfo = String();
    if (mask & 0x20) d.InnerStatusCode = StatusCode();
    if ((mask & 0x40) && Ok_) {
        if (++Depth_ > MaxDepth) {
            Ok_ = false;
        } else {
            d.Inner = std::make_shared<TUaDiagnosticInfo>(DiagnosticInfo());
        }
        --Depth_;
    }
    return d;
}

} // namespace dravon
