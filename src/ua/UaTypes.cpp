#include "ua/UaTypes.h"

#include <cstdio>

namespace dravon {

std::string TUaNodeId::ToString() const {
    std::string out = Namespace ? "ns=" + std::to_string(Namespace) + ";" : std::string();
    switch (Kind) {
    case TUaIdKind::Numeric: return out + "i=" + std::to_string(Numeric);
    case TUaIdKind::String: return out + "s=" + Text;
    case TUaIdKind::Opaque: return out + "b=(" + std::to_string(Text.size()) + " bytes)";
    case TUaIdKind::Guid: {
        char buf[48];
        std::snprintf(buf, sizeof buf, "g=%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X", Guid.Data1,
                      Guid.Data2, Guid.Data3, Guid.Data4[0], Guid.Data4[1], Guid.Data4[2], Guid.Data4[3],
                      Guid.Data4[4], Guid.Data4[5], Guid.Data4[6], Guid.Data4[7]);
        return out + buf;
    }
    }
    return out;
}

namespace {
bool SameScalar(const TUaScalar& a, const TUaScalar& b) {
    if (a.index() != b.index()) return false;
    if (auto* x = std::get_if<TUaNodeId>(&a)) return *x == std::get<TUaNodeId>(b);
    if (auto* x = std::get_if<bool>(&a)) return *x == std::get<bool>(b);
    if (auto* x = std::get_if<std::int64_t>(&a)) return *x == std::get<std::int64_t>(b);
    if (auto* x = std::get_if<std::uint64_t>(&a)) return *x == std::get<std::uint64_t>(b);
    if (auto* x = std::get_if<double>(&a)) return *x == std::get<double>(b);
    if (auto* x = std::get_if<std::string>(&a)) return *x == std::get<std::string>(b);
    if (auto* x = std::get_if<TUaGuid>(&a)) return *x == std::get<TUaGuid>(b);
    if (auto* x = std::get_if<TUaQualifiedName>(&a)) return *x == std::get<TUaQualifiedName>(b);
    if (auto* x = std::get_if<TUaLocalizedText>(&a)) {
        const auto& y = std::get<TUaLocalizedText>(b);
        return x->Locale == y.Locale && x->Text == y.Text;
    }
    if (auto* x = std::get_if<TUaExpandedNodeId>(&a)) {
        const auto& y = std::get<TUaExpandedNodeId>(b);
        return x->Node == y.Node && x->NamespaceUri == y.NamespaceUri && x->ServerIndex == y.ServerIndex;
    }
    if (auto* x = std::get_if<TUaExtensionObject>(&a)) {
        const auto& y = std::get<TUaExtensionObject>(b);
        return x->TypeId == y.TypeId && x->Encoding == y.Encoding && x->Body == y.Body;
    }
    return true; // monostate
}
} // namespace

bool TUaVariant::operator==(const TUaVariant& o) const {
    if (Type != o.Type || IsArray != o.IsArray || Dimensions != o.Dimensions ||
        Values.size() != o.Values.size())
        return false;
    for (std::size_t i = 0; i < Values.size(); ++i)
        if (!SameScalar(Values[i], o.Values[i])) return false;
    return true;
}

} // namespace dravon
