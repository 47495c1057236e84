#include "ua/UaAddressSpace.h"

#include "ua/UaNodeIds.h"
#include "ua/UaStatusCodes.h"

namespace dravon {

using namespace UaId;

TUaAddressSpace::TUaAddressSpace(IUaBackend& backend) : Backend_(backend) {
    const TStandard table[] = {
        {RootFolder, "Root", ncObject, FolderType, 0, 0, 0, -1},
        {ObjectsFolder, "Objects", ncObject, FolderType, RootFolder, Organizes, 0, -1},
        {TypesFolder, "Types", ncObject, FolderType, RootFolder, Organizes, 0, -1},
        {ViewsFolder, "Views", ncObject, FolderType, RootFolder, Organizes, 0, -1},
        {Server, "Server", ncObject, ServerType, ObjectsFolder, Organizes, 0, -1},
        {ServerArray, "ServerArray", ncVariable, PropertyType, Server, HasProperty, String, 1},
        {NamespaceArray, "NamespaceArray", ncVariable, PropertyType, Server, HasProperty, String, 1},
        {ServerStatus, "ServerStatus", ncVariable, ServerStatusType, Server, HasComponent,
         ServerStatusDataType, -1},
        {StartTime, "StartTime", ncVariable, BaseDataVariableType, ServerStatus, HasComponent, UtcTime, -1},
        {CurrentTime, "CurrentTime", ncVariable, BaseDataVariableType, ServerStatus, HasComponent, UtcTime,
         -1},
        {State, "State", ncVariable, BaseDataVariableType, ServerStatus, HasComponent, ServerState, -1},
        {BuildInfo, "BuildInfo", ncVariable, BuildInfoVariableType, ServerStatus, HasComponent, BuildInfoType,
         -1},
        {ProductUri, "ProductUri", ncVariable, BaseDataVariableType, BuildInfo, HasComponent, String, -1},
        {ManufacturerName, "ManufacturerName", ncVariable, BaseDataVariableType, BuildInfo, HasComponent,
         String, -1},
        {ProductName, "ProductName", ncVariable, BaseDataVariableType, BuildInfo, HasComponent, String, -1},
        {SoftwareVersion, "SoftwareVersion", ncVariable, BaseDataVariableType, BuildInfo, HasComponent,
         String, -1},
        {BuildNumber, "BuildNumber", ncVariable, BaseDataVariableType, BuildInfo, HasComponent, String, -1},
        {BuildDate, "BuildDate", ncVariable, BaseDataVariableType, BuildInfo, HasComponent, UtcTime, -1},
        {SecondsTillShutdown, "SecondsTillShutdown", ncVariable, BaseDataVariableType, ServerStatus,
         HasComponent, UInt32, -1},
        {ShutdownReason, "ShutdownReason", ncVariable, BaseDataVariableType, ServerStatus, HasComponent,
         LocalizedTextType, -1},
        {ServiceLevel, "ServiceLevel", ncVariable, PropertyType, Server, HasProperty, Byte, -1},
        {ServerCapabilities, "ServerCapabilities", ncObject, ServerCapabilitiesType, Server, HasComponent, 0,
         -1},
        {ServerProfileArray, "ServerProfileArray", ncVariable, PropertyType, ServerCapabilities, HasProperty,
         String, 1},
        {LocaleIdArray, "LocaleIdArray", ncVariable, PropertyType, ServerCapabilities, HasProperty, String,
         1},
        {MinSupportedSampleRate, "MinSupportedSampleRate", ncVariable, PropertyType, ServerCapabilities,
         HasProperty, Duration, -1},
        {MaxBrowseContinuationPoints, "MaxBrowseContinuationPoints", ncVariable, PropertyType,
         ServerCapabilities, HasProperty, UInt16, -1},
        {MaxArrayLength, "MaxArrayLength", ncVariable, PropertyType, ServerCapabilities, HasProperty, UInt32,
         -1},
        {MaxStringLength, "MaxStringLength", ncVariable, PropertyType, ServerCapabilities, HasProperty,
         UInt32, -1},
        {OperationLimits, "OperationLimits", ncObject, OperationLimitsType, ServerCapabilities, HasComponent,
         0, -1},
        {MaxNodesPerRead, "MaxNodesPerRead", ncVariable, PropertyType, OperationLimits, HasProperty, UInt32,
         -1},
        {MaxNodesPerWrite, "MaxNodesPerWrite", ncVariable, PropertyType, OperationLimits, HasProperty, UInt32,
         -1},
        {MaxNodesPerMethodCall, "MaxNodesPerMethodCall", ncVariable, PropertyType, OperationLimits,
         HasProperty, UInt32, -1},
        {MaxNodesPerBrowse, "MaxNodesPerBrowse", ncVariable, PropertyType, OperationLimits, HasProperty,
         UInt32, -1},
        {MaxNodesPerRegisterNodes, "MaxNodesPerRegisterNodes", ncVariable, PropertyType, OperationLimits,
         HasProperty, UInt32, -1},
        {MaxNodesPerTranslateBrowsePathsToNodeIds, "MaxNodesPerTranslateBrowsePathsToNodeIds", ncVariable,
         PropertyType, OperationLimits, HasProperty, UInt32, -1},
        {MaxNodesPerNodeManagement, "MaxNodesPerNodeManagement", ncVariable, PropertyType, OperationLimits,
         HasProperty, UInt32, -1},
        {MaxMonitoredItemsPerCall, "MaxMonitoredItemsPerCall", ncVariable, PropertyType, OperationLimits,
         HasProperty, UInt32, -1},
    };
    for (const auto& s : table) Standard_[s.Id] = s;
}

bool TUaAddressSpace::IsKnownReferenceType(std::uint32_t type) {
    switch (type) {
    case UaId::References:
    case NonHierarchicalReferences:
    case HierarchicalReferences:
    case HasChild:
    case Organizes:
    case HasTypeDefinition:
    case Aggregates:
    case HasSubtype:
    case HasProperty:
    case HasComponent: return true;
    default: return false;
    }
}

bool TUaAddressSpace::IsReferenceOf(std::uint32_t type, std::uint32_t base, bool includeSubtypes) {
    if (type == base) return true;
    if (!includeSubtypes) return false;
    auto parentOf = [](std::uint32_t t) -> std::uint32_t {
        switch (t) {
        case HasComponent:
        case HasProperty: return Aggregates;
        case Aggregates:
        case HasSubtype: return HasChild;
        case HasChild:
        case Organizes: return HierarchicalReferences;
        case HasTypeDefinition: return NonHierarchicalReferences;
        case HierarchicalReferences:
        case NonHierarchicalReferences: return UaId::References;
        default: return 0;
        }
    };
    for (std::uint32_t t = parentOf(type); t != 0; t = parentOf(t))
        if (t == base) return true;
    return false;
}

TUaNode TUaAddressSpace::FromStandard(const TStandard& s) const {
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
    return n;
}

TUaNode TUaAddressSpace::FromBackend(const TUaBackendNode& b) const {
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
        auto it = Standard_.find(id.Numeric);
        if (it == Standard_.end()) return std::nullopt;
        return FromStandard(it->second);
    }
    if (id.Namespace == 1 && id.Kind == TUaIdKind::String && !id.Text.empty()) {
        TUaBackendNode b;
        if (!Backend_.Describe(id.Text, b, session)) return std::nullopt;
        return FromBackend(b);
    }
    return std::nullopt;
}

std::vector<TUaReference> TUaAddressSpace::References(const TUaNode& node, IUaBackendSession* session) {
    std::vector<TUaReference> out;
    auto typeDefinition = [&] {
        if (node.TypeDefinition == 0) return;
        TUaNode t;
        t.Id = TUaNodeId::Num(node.TypeDefinition);
        t.NodeClass = node.NodeClass == ncObject ? 8 : 16; // ObjectType / VariableType
        t.BrowseName = {0, node.NodeClass == ncObject ? "FolderType" : "BaseDataVariableType"};
        t.DisplayName = t.BrowseName.Name;
        out.push_back({HasTypeDefinition, true, t});
    };
    auto backendChildren = [&](const std::string& folder) {
        std::vector<TUaBackendNode> children;
        Backend_.Children(folder, children, session);
        for (const auto& c : children)
            out.push_back({c.IsFolder ? Organizes : HasComponent, true, FromBackend(c)});
    };
    if (node.Id.Namespace == 0) {
        std::uint32_t id = node.Id.Numeric;
        for (const auto& [childId, s] : Standard_)
            if (s.Parent == id) out.push_back({s.ParentReference, true, FromStandard(s)});
        if (id == ObjectsFolder) backendChildren("/");
        auto self = Standard_.find(id);
        if (self != Standard_.end() && self->second.Parent != 0)
            out.push_back(
                {self->second.ParentReference, false, FromStandard(Standard_.at(self->second.Parent))});
        typeDefinition();
        return out;
    }
    const std::string& text = node.Id.Text;
    if (node.NodeClass == ncObject) backendChildren(text);
    std::string parent = Backend_.ParentOf(text);
    if (parent.empty() || parent == "/") {
        out.push_back({node.NodeClass == ncObject ? Organizes : HasComponent, false,
                       FromStandard(Standard_.at(ObjectsFolder))});
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
        if (variable) return UaStatus::BadAttributeIdInvalid;
        out = TUaVariant::Scalar(TUaType::Byte, std::uint64_t{0});
        return 0;
    default: break;
    }
    if (!variable) return UaStatus::BadAttributeIdInvalid;
    switch (attributeId) {
    case atValue:
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
