#include "ua/UaAddressSpace.h"

#include "ua/UaBinaryWriter.h"
#include "ua/UaNodeIds.h"
#include "ua/UaStatusCodes.h"

#include <cstring>

namespace dravon {

using namespace UaId;

TUaAddressSpace::TUaAddressSpace(IUaBackend& backend) : Backend_(backend) {}

const TUaStandardNode* TUaAddressSpace::Standard(std::uint32_t id) {
    // Built once from the table; read-only afterwards.
    static const std::map<std::uint32_t, const TUaStandardNode*> index = [] {
        std::map<std::uint32_t, const TUaStandardNode*> out;
        for (const auto& s : UaStandardNodes()) out[s.Id] = &s;
        return out;
    }();
    auto it = index.find(id);
    return it == index.end() ? nullptr : it->second;
}

bool TUaAddressSpace::IsKnownReferenceType(std::uint32_t type) {
    const TUaStandardNode* s = Standard(type);
    return s && s->NodeClass == ncReferenceType;
}

bool TUaAddressSpace::IsReferenceOf(std::uint32_t type, std::uint32_t base, bool includeSubtypes) {
    if (type == base) return true;
    if (!includeSubtypes) return false;
    for (const TUaStandardNode* s = Standard(type); s && s->ParentReference == HasSubtype;
         s = Standard(s->Parent))
        if (s->Parent == base) return true;
    return false;
}

TUaNode TUaAddressSpace::FromStandard(const TUaStandardNode& s) {
    TUaNode n;
    n.Id = TUaNodeId::Num(s.Id);
    n.NodeClass = s.NodeClass;
    n.BrowseName = {0, s.Name};
    n.DisplayName = s.Name;
    n.TypeDefinition = s.TypeDefinition;
    n.DataType = s.DataType;
    n.ValueRank = s.ValueRank;
    if (s.ValueRank == 1) n.ArrayDimensions = {0};
    n.AccessLevel = s.NodeClass == ncVariable ? 1 : 0;
    n.IsAbstract = s.IsAbstract;
    n.Symmetric = s.Symmetric;
    n.InverseName = s.InverseName;
    return n;
}

std::optional<std::pair<double, double>> TUaAddressSpace::TypeRange(std::uint32_t dataType) {
    switch (dataType) {
    case SByte: return std::pair{-128.0, 127.0};
    case Byte: return std::pair{0.0, 255.0};
    case Int16: return std::pair{-32768.0, 32767.0};
    case UInt16: return std::pair{0.0, 65535.0};
    case Int32: return std::pair{-2147483648.0, 2147483647.0};
    case UInt32: return std::pair{0.0, 4294967295.0};
    default: return std::nullopt;
    }
}

TUaNode TUaAddressSpace::EURangeOf(const TUaNode& variable) {
    TUaNode n;
    n.Id = TUaNodeId::Str(variable.ItemId + EURangeSuffix, 1);
    n.NodeClass = ncVariable;
    n.BrowseName = {0, "EURange"};
    n.DisplayName = "EURange";
    n.TypeDefinition = PropertyType;
    n.DataType = RangeType;
    n.AccessLevel = 1;
    n.RangeOf = variable.DataType;
    return n;
}

TUaNode TUaAddressSpace::FromBackend(const TUaBackendNode& b) {
    TUaNode n;
    n.Id = TUaNodeId::Str(b.Id, 1);
    n.BrowseName = {1, b.Name};
    n.DisplayName = b.Name;
    if (b.IsFolder) {
        n.NodeClass = ncObject;
        n.TypeDefinition = FolderType;
    } else {
        n.NodeClass = ncVariable;
        n.TypeDefinition = BaseDataVariableType;
        n.DataType = b.DataType;
        n.ValueRank = b.ValueRank;
        if (b.ValueRank == 1) n.ArrayDimensions = {b.ArrayLength};
        n.AccessLevel = static_cast<std::uint8_t>(1 | (b.Writable ? 2 : 0));
        n.ItemId = b.Id;
    }
    return n;
}

std::optional<TUaNode> TUaAddressSpace::Find(const TUaNodeId& id, IUaBackendSession* session) {
    if (id.Namespace == 0 && id.Kind == TUaIdKind::Numeric) {
        const TUaStandardNode* s = Standard(id.Numeric);
        if (!s) return std::nullopt;
        return FromStandard(*s);
    }
    if (id.Namespace == 1 && id.Kind == TUaIdKind::String && !id.Text.empty()) {
        const std::string_view suffix = EURangeSuffix;
        if (id.Text[0] != '/' && id.Text.size() > suffix.size() && id.Text.ends_with(suffix)) {
            auto variable =
                Find(TUaNodeId::Str(id.Text.substr(0, id.Text.size() - suffix.size()), 1), session);
            if (!variable || variable->ItemId.empty() || !TypeRange(variable->DataType)) return std::nullopt;
            return EURangeOf(*variable);
        }
        TUaBackendNode b;
        if (!Backend_.Describe(id.Text, b, session)) return std::nullopt;
        return FromBackend(b);
    }
    return std::nullopt;
}

std::vector<TUaReference> TUaAddressSpace::References(const TUaNode& node, IUaBackendSession* session) {
    std::vector<TUaReference> out;
    auto typeDefinition = [&] {
        if (const TUaStandardNode* t = node.TypeDefinition ? Standard(node.TypeDefinition) : nullptr)
            out.push_back({HasTypeDefinition, true, FromStandard(*t)});
    };
    auto backendChildren = [&](const std::string& folder) {
        std::vector<TUaBackendNode> children;
        Backend_.Children(folder, children, session);
        for (const auto& c : children)
            out.push_back({c.IsFolder ? Organizes : HasComponent, true, FromBackend(c)});
    };
    if (node.Id.Namespace == 0) {
        std::uint32_t id = node.Id.Numeric;
        for (const auto& s : UaStandardNodes())
            if (s.Parent == id) out.push_back({s.ParentReference, true, FromStandard(s)});
        if (id == ObjectsFolder) backendChildren("/");
        const TUaStandardNode* self = Standard(id);
        if (self && self->Parent != 0)
            out.push_back({self->ParentReference, false, FromStandard(*Standard(self->Parent))});
        typeDefinition();
        return out;
    }
    const std::string& text = node.Id.Text;
    if (node.RangeOf) {
        auto variable =
            Find(TUaNodeId::Str(text.substr(0, text.size() - std::strlen(EURangeSuffix)), 1), session);
        if (variable) out.push_back({HasProperty, false, std::move(*variable)});
        typeDefinition();
        return out;
    }
    if (node.NodeClass == ncObject) backendChildren(text);
    if (!node.ItemId.empty() && TypeRange(node.DataType)) out.push_back({HasProperty, true, EURangeOf(node)});
    std::string parent = Backend_.ParentOf(text);
    if (parent.empty() || parent == "/") {
        out.push_back({node.NodeClass == ncObject ? Organizes : HasComponent, false,
                       FromStandard(*Standard(ObjectsFolder))});
    } else {
        TUaBackendNode p;
        if (Backend_.Describe(parent, p, session))
            out.push_back({node.NodeClass == ncObject ? Organizes : HasComponent, false, FromBackend(p)});
    }
    typeDefinition();
    return out;
}

TUaStatusCode TUaAddressSpace::ReadAttribute(const TUaNode& node, std::uint32_t attributeId,
                                             TUaVariant& out) {
    bool variable = node.NodeClass == ncVariable;
    switch (attributeId) {
    case atNodeId: out = TUaVariant::Scalar(TUaType::NodeId, node.Id); return 0;
    case atNodeClass: out = TUaVariant::Scalar(TUaType::Int32, std::int64_t{node.NodeClass}); return 0;
    case atBrowseName: out = TUaVariant::Scalar(TUaType::QualifiedName, node.BrowseName); return 0;
    case atDisplayName:
        out = TUaVariant::Scalar(TUaType::LocalizedText, TUaLocalizedText{std::nullopt, node.DisplayName});
        return 0;
    case atDescription:
        out = TUaVariant::Scalar(TUaType::LocalizedText, TUaLocalizedText{std::nullopt, node.DisplayName});
        return 0;
    case atWriteMask:
    case atUserWriteMask: out = TUaVariant::Scalar(TUaType::UInt32, std::uint64_t{0}); return 0;
    case atEventNotifier:
        if (node.NodeClass != ncObject) return UaStatus::BadAttributeIdInvalid;
        out = TUaVariant::Scalar(TUaType::Byte, std::uint64_t{0});
        return 0;
    case atIsAbstract:
        if (node.NodeClass < ncObjectType) return UaStatus::BadAttributeIdInvalid;
        out = TUaVariant::Scalar(TUaType::Boolean, node.IsAbstract);
        return 0;
    case atSymmetric:
    case atInverseName:
        if (node.NodeClass != ncReferenceType) return UaStatus::BadAttributeIdInvalid;
        if (attributeId == atSymmetric)
            out = TUaVariant::Scalar(TUaType::Boolean, node.Symmetric);
        else
            out =
                TUaVariant::Scalar(TUaType::LocalizedText, TUaLocalizedText{std::nullopt, node.InverseName});
        return 0;
    default: break;
    }
    if (node.NodeClass == ncVariableType) {
        switch (attributeId) {
        case atDataType: out = TUaVariant::Scalar(TUaType::NodeId, TUaNodeId::Num(node.DataType)); return 0;
        case atValueRank: out = TUaVariant::Scalar(TUaType::Int32, std::int64_t{node.ValueRank}); return 0;
        case atArrayDimensions: out = TUaVariant::Array(TUaType::UInt32, {}); return 0;
        default: return UaStatus::BadAttributeIdInvalid;
        }
    }
    if (!variable) return UaStatus::BadAttributeIdInvalid;
    switch (attributeId) {
    case atValue:
        if (node.RangeOf) {
            auto range = TypeRange(node.RangeOf);
            TUaBinaryWriter w;
            w.Double(range ? range->first : 0);
            w.Double(range ? range->second : 0);
            out = TUaVariant::Scalar(TUaType::ExtensionObject,
                                     TUaExtensionObject{TUaNodeId::Num(RangeEncoding), 1, w.Take()});
            return 0;
        }
        if (!node.ItemId.empty() || !StandardValue) return UaStatus::BadInternalError;
        out = StandardValue(node.Id.Numeric);
        return 0;
    case atDataType: out = TUaVariant::Scalar(TUaType::NodeId, TUaNodeId::Num(node.DataType)); return 0;
    case atValueRank: out = TUaVariant::Scalar(TUaType::Int32, std::int64_t{node.ValueRank}); return 0;
    case atArrayDimensions: {
        if (node.ArrayDimensions.empty()) {
            out = TUaVariant::Array(TUaType::UInt32, {});
            return 0;
        }
        std::vector<TUaScalar> dims;
        for (auto d : node.ArrayDimensions) dims.emplace_back(std::uint64_t{d});
        out = TUaVariant::Array(TUaType::UInt32, dims);
        return 0;
    }
    case atAccessLevel:
    case atUserAccessLevel:
        out = TUaVariant::Scalar(TUaType::Byte, std::uint64_t{node.AccessLevel});
        return 0;
    case atMinimumSamplingInterval: out = TUaVariant::Scalar(TUaType::Double, 0.0); return 0;
    case atHistorizing: out = TUaVariant::Scalar(TUaType::Boolean, false); return 0;
    default: return UaStatus::BadAttributeIdInvalid;
    }
}

} // namespace dravon
