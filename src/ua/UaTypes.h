// The built-in types of UA Binary as plain records. Values travel between the decoder,
// the services and the backend in these forms; the byte layout lives in the reader and
// writer only.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace dravon {

using TUaStatusCode = std::uint32_t;
// 100 ns intervals since 1601-01-01 UTC (the same scale as FILETIME).
using TUaDateTime = std::int64_t;

// Built-in type ids as they appear in a Variant's encoding byte.
enum class TUaType : std::uint8_t {
    Null = 0,
    Boolean = 1,
    SByte = 2,
    Byte = 3,
    Int16 = 4,
    UInt16 = 5,
    Int32 = 6,
    UInt32 = 7,
    Int64 = 8,
    UInt64 = 9,
    Float = 10,
    Double = 11,
    String = 12,
    DateTime = 13,
    Guid = 14,
    ByteString = 15,
    XmlElement = 16,
    NodeId = 17,
    ExpandedNodeId = 18,
    StatusCode = 19,
    QualifiedName = 20,
    LocalizedText = 21,
    ExtensionObject = 22,
    DataValue = 23,
    Variant = 24,
    DiagnosticInfo = 25
};

struct TUaGuid {
    std::uint32_t Data1 = 0;
    std::uint16_t Data2 = 0;
    std::uint16_t Data3 = 0;
    std::array<std::uint8_t, 8> Data4{};
    auto operator<=>(const TUaGuid&) const = default;
};

enum class TUaIdKind : std::uint8_t { Numeric, String, Guid, Opaque };

struct TUaNodeId {
    std::uint16_t Namespace = 0;
    TUaIdKind Kind = TUaIdKind::Numeric;
    std::uint32_t Numeric = 0;
    std::string Text; // String or Opaque (ByteString) identifier
    TUaGuid Guid;

    static TUaNodeId Num(std::uint32_t id, std::uint16_t ns = 0) {
        TUaNodeId n;
        n.Namespace = ns;
        n.Numeric = id;
        return n;
    }
    static TUaNodeId Str(std::string text, std::uint16_t ns = 1) {
        TUaNodeId n;
        n.Namespace = ns;
        n.Kind = TUaIdKind::String;
        n.Text = std::move(text);
        return n;
    }
    bool IsNull() const { return Namespace == 0 && Kind == TUaIdKind::Numeric && Numeric == 0; }
    bool IsNum(std::uint32_t id) const {
        return Namespace == 0 && Kind == TUaIdKind::Numeric && Numeric == id;
    }
    bool operator==(const TUaNodeId& o) const {
        if (Namespace != o.Namespace || Kind != o.Kind) return false;
        switch (Kind) {
        case TUaIdKind::Numeric: return Numeric == o.Numeric;
        case TUaIdKind::Guid: return Guid == o.Guid;
        default: return Text == o.Text;
        }
    }
    bool operator<(const TUaNodeId& o) const {
        if (Namespace != o.Namespace) return Namespace < o.Namespace;
        if (Kind != o.Kind) return Kind < o.Kind;
        switch (Kind) {
        case TUaIdKind::Numeric: return Numeric < o.Numeric;
        case TUaIdKind::Guid: return Guid < o.Guid;
        default: return Text < o.Text;
        }
    }
    // "ns=1;s=PLC1.WR0010", "i=85": for log lines and test messages.
    std::string ToString() const;
};

struct TUaExpandedNodeId {
    TUaNodeId Node;
    std::string NamespaceUri;
    std::uint32_t ServerIndex = 0;
};

struct TUaQualifiedName {
    std::uint16_t Namespace = 0;
    std::string Name;
    bool operator==(const TUaQualifiedName&) const = default;
};

struct TUaLocalizedText {
    std::optional<std::string> Locale;
    std::optional<std::string> Text;
};

struct TUaExtensionObject {
    TUaNodeId TypeId;
    std::uint8_t Encoding = 0; // 0 no body, 1 ByteString body, 2 XmlElement body
    std::string Body;
};

struct TUaDiagnosticInfo {
    std::optional<std::int32_t> SymbolicId, NamespaceUri, Locale, LocalizedText;
    std::optional<std::string> AdditionalInfo;
    std::optional<TUaStatusCode> InnerStatusCode;
    std::shared_ptr<TUaDiagnosticInfo> Inner;
};

// One element of a Variant. Signed integers and DateTime are held as int64, unsigned
// integers and StatusCode as uint64, Float and Double as double, String/ByteString/
// XmlElement as bytes.
using TUaScalar =
    std::variant<std::monostate, bool, std::int64_t, std::uint64_t, double, std::string, TUaGuid, TUaNodeId,
                 TUaExpandedNodeId, TUaQualifiedName, TUaLocalizedText, TUaExtensionObject>;

struct TUaVariant {
    TUaType Type = TUaType::Null;
    bool IsArray = false;
    std::vector<TUaScalar> Values;        // exactly one element for a scalar
    std::vector<std::int32_t> Dimensions; // only for multi-dimensional arrays

    bool IsNull() const { return Type == TUaType::Null; }
    static TUaVariant Scalar(TUaType type, TUaScalar value) {
        TUaVariant v;
        v.Type = type;
        v.Values.push_back(std::move(value));
        return v;
    }
    static TUaVariant Array(TUaType type, std::vector<TUaScalar> values) {
        TUaVariant v;
        v.Type = type;
        v.IsArray = true;
        v.Values = std::move(values);
        return v;
    }
    bool operator==(const TUaVariant& o) const;
};

struct TUaDataValue {
    std::optional<TUaVariant> Value;
    std::optional<TUaStatusCode> Status;
    std::optional<TUaDateTime> SourceTimestamp;
    std::optional<TUaDateTime> ServerTimestamp;
    std::optional<std::uint16_t> SourcePicoseconds;
    std::optional<std::uint16_t> ServerPicoseconds;
};

inline bool IsBadStatus(TUaStatusCode code) { return (code & 0x80000000u) != 0; }

} // namespace dravon
