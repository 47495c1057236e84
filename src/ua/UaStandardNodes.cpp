#include "ua/UaStandardNodes.h"

#include "ua/UaNodeIds.h"

namespace dravon {

namespace {

using namespace UaId;

// Row builders: a type below one of the type folders is organized by it, any other type
// is a subtype of its parent.
constexpr std::uint32_t HeldBy(std::uint32_t parent) {
    return parent >= ObjectTypesFolder && parent <= ReferenceTypesFolder ? Organizes : HasSubtype;
}
constexpr TUaStandardNode Folder(std::uint32_t id, const char* name, std::uint32_t parent) {
    return {id, ncObject, name, parent, parent ? Organizes : 0, FolderType};
}
constexpr TUaStandardNode Object(std::uint32_t id, const char* name, std::uint32_t parent,
                                 std::uint32_t typeDefinition) {
    return {id, ncObject, name, parent, HasComponent, typeDefinition};
}
constexpr TUaStandardNode Property(std::uint32_t id, const char* name, std::uint32_t parent,
                                   std::uint32_t dataType, std::int32_t valueRank = -1) {
    return {id, ncVariable, name, parent, HasProperty, PropertyType, dataType, valueRank};
}
constexpr TUaStandardNode Component(std::uint32_t id, const char* name, std::uint32_t parent,
                                    std::uint32_t dataType,
                                    std::uint32_t typeDefinition = BaseDataVariableType) {
    return {id, ncVariable, name, parent, HasComponent, typeDefinition, dataType};
}
constexpr TUaStandardNode ObjectType(std::uint32_t id, const char* name, std::uint32_t super) {
    return {id, ncObjectType, name, super, HeldBy(super)};
}
constexpr TUaStandardNode VariableType(std::uint32_t id, const char* name, std::uint32_t super,
                                       std::uint32_t dataType, bool isAbstract = false) {
    return {id, ncVariableType, name, super, HeldBy(super), 0, dataType, -2, isAbstract};
}
constexpr TUaStandardNode DataType(std::uint32_t id, const char* name, std::uint32_t super,
                                   bool isAbstract = false) {
    return {id, ncDataType, name, super, HeldBy(super), 0, 0, -1, isAbstract};
}
constexpr TUaStandardNode ReferenceType(std::uint32_t id, const char* name, std::uint32_t super,
                                        const char* inverseName, bool isAbstract = false,
                                        bool symmetric = false) {
    return {id, ncReferenceType, name, super, HeldBy(super), 0, 0, -1, isAbstract, symmetric, inverseName};
}

// Numbers from the standard's NodeIds table (via UaNodeIds.h).
constexpr TUaStandardNode Table[] = {
    Folder(RootFolder, "Root", 0),
    Folder(ObjectsFolder, "Objects", RootFolder),
    Folder(TypesFolder, "Types", RootFolder),
    Folder(ViewsFolder, "Views", RootFolder),
    Folder(ObjectTypesFolder, "ObjectTypes", TypesFolder),
    Folder(VariableTypesFolder, "VariableTypes", TypesFolder),
    Folder(DataTypesFolder, "DataTypes", TypesFolder),
    Folder(ReferenceTypesFolder, "ReferenceTypes", TypesFolder),

    // The Server object
    {Server, ncObject, "Server", ObjectsFolder, Organizes, ServerType},
    Property(ServerArray, "ServerArray", Server, String, 1),
    Property(NamespaceArray, "NamespaceArray", Server, String, 1),
    Property(ServiceLevel, "ServiceLevel", Server, Byte),
    Property(Auditing, "Auditing", Server, Boolean),
    Component(ServerStatus, "ServerStatus", Server, ServerStatusDataType, ServerStatusType),
    Component(StartTime, "StartTime", ServerStatus, UtcTime),
    Component(CurrentTime, "CurrentTime", ServerStatus, UtcTime),
    Component(State, "State", ServerStatus, ServerState),
    Component(BuildInfo, "BuildInfo", ServerStatus, BuildInfoType, BuildInfoVariableType),
    Component(ProductUri, "ProductUri", BuildInfo, String),
    Component(ManufacturerName, "ManufacturerName", BuildInfo, String),
    Component(ProductName, "ProductName", BuildInfo, String),
    Component(SoftwareVersion, "SoftwareVersion", BuildInfo, String),
    Component(BuildNumber, "BuildNumber", BuildInfo, String),
    Component(BuildDate, "BuildDate", BuildInfo, UtcTime),
    Component(SecondsTillShutdown, "SecondsTillShutdown", ServerStatus, UInt32),
    Component(ShutdownReason, "ShutdownReason", ServerStatus, LocalizedTextType),
    Object(ServerCapabilities, "ServerCapabilities", Server, ServerCapabilitiesType),
    Property(ServerProfileArray, "ServerProfileArray", ServerCapabilities, String, 1),
    Property(LocaleIdArray, "LocaleIdArray", ServerCapabilities, LocaleId, 1),
    Property(MinSupportedSampleRate, "MinSupportedSampleRate", ServerCapabilities, Duration),
    Property(MaxBrowseContinuationPoints, "MaxBrowseContinuationPoints", ServerCapabilities, UInt16),
    Property(MaxQueryContinuationPoints, "MaxQueryContinuationPoints", ServerCapabilities, UInt16),
    Property(MaxHistoryContinuationPoints, "MaxHistoryContinuationPoints", ServerCapabilities, UInt16),
    Property(MaxArrayLength, "MaxArrayLength", ServerCapabilities, UInt32),
    Property(MaxStringLength, "MaxStringLength", ServerCapabilities, UInt32),
    Property(MaxByteStringLength, "MaxByteStringLength", ServerCapabilities, UInt32),
    {ModellingRules, ncObject, "ModellingRules", ServerCapabilities, HasComponent, FolderType},
    {AggregateFunctions, ncObject, "AggregateFunctions", ServerCapabilities, HasComponent, FolderType},
    Object(OperationLimits, "OperationLimits", ServerCapabilities, OperationLimitsType),
    Property(MaxNodesPerRead, "MaxNodesPerRead", OperationLimits, UInt32),
    Property(MaxNodesPerWrite, "MaxNodesPerWrite", OperationLimits, UInt32),
    Property(MaxNodesPerMethodCall, "MaxNodesPerMethodCall", OperationLimits, UInt32),
    Property(MaxNodesPerBrowse, "MaxNodesPerBrowse", OperationLimits, UInt32),
    Property(MaxNodesPerRegisterNodes, "MaxNodesPerRegisterNodes", OperationLimits, UInt32),
    Property(MaxNodesPerTranslateBrowsePathsToNodeIds, "MaxNodesPerTranslateBrowsePathsToNodeIds",
             OperationLimits, UInt32),
    Property(MaxNodesPerNodeManagement, "MaxNodesPerNodeManagement", OperationLimits, UInt32),
    Property(MaxMonitoredItemsPerCall, "MaxMonitoredItemsPerCall", OperationLimits, UInt32),
    Object(ServerDiagnostics, "ServerDiagnostics", Server, ServerDiagnosticsType),
    Property(EnabledFlag, "EnabledFlag", ServerDiagnostics, Boolean),
    Object(VendorServerInfo, "VendorServerInfo", Server, VendorServerInfoType),
    Object(ServerRedundancy, "ServerRedundancy", Server, ServerRedundancyType),
    Property(RedundancySupport, "RedundancySupport", ServerRedundancy, RedundancySupportType),

    // Object types
    ObjectType(BaseObjectType, "BaseObjectType", ObjectTypesFolder),
    ObjectType(FolderType, "FolderType", BaseObjectType),
    ObjectType(ServerType, "ServerType", BaseObjectType),
    ObjectType(ServerCapabilitiesType, "ServerCapabilitiesType", BaseObjectType),
    ObjectType(ServerDiagnosticsType, "ServerDiagnosticsType", BaseObjectType),
    ObjectType(VendorServerInfoType, "VendorServerInfoType", BaseObjectType),
    ObjectType(ServerRedundancyType, "ServerRedundancyType", BaseObjectType),
    ObjectType(OperationLimitsType, "OperationLimitsType", FolderType),

    // Variable types
    VariableType(BaseVariableType, "BaseVariableType", VariableTypesFolder, BaseDataType, true),
    VariableType(BaseDataVariableType, "BaseDataVariableType", BaseVariableType, BaseDataType),
    VariableType(PropertyType, "PropertyType", BaseVariableType, BaseDataType),
    VariableType(ServerStatusType, "ServerStatusType", BaseDataVariableType, ServerStatusDataType),
    VariableType(BuildInfoVariableType, "BuildInfoType", BaseDataVariableType, BuildInfoType),

    // Data types
    DataType(BaseDataType, "BaseDataType", DataTypesFolder, true),
    DataType(Boolean, "Boolean", BaseDataType),
    DataType(Number, "Number", BaseDataType, true),
    DataType(Integer, "Integer", Number, true),
    DataType(SByte, "SByte", Integer),
    DataType(Int16, "Int16", Integer),
    DataType(Int32, "Int32", Integer),
    DataType(Int64, "Int64", Integer),
    DataType(UInteger, "UInteger", Number, true),
    DataType(Byte, "Byte", UInteger),
    DataType(UInt16, "UInt16", UInteger),
    DataType(UInt32, "UInt32", UInteger),
    DataType(UInt64, "UInt64", UInteger),
    DataType(Float, "Float", Number),
    DataType(Double, "Double", Number),
    DataType(Duration, "Duration", Double),
    DataType(String, "String", BaseDataType),
    DataType(LocaleId, "LocaleId", String),
    DataType(DateTime, "DateTime", BaseDataType),
    DataType(UtcTime, "UtcTime", DateTime),
    DataType(Guid, "Guid", BaseDataType),
    DataType(ByteString, "ByteString", BaseDataType),
    DataType(NodeIdType, "NodeId", BaseDataType),
    DataType(StatusCodeType, "StatusCode", BaseDataType),
    DataType(QualifiedNameType, "QualifiedName", BaseDataType),
    DataType(LocalizedTextType, "LocalizedText", BaseDataType),
    DataType(Structure, "Structure", BaseDataType, true),
    DataType(ServerStatusDataType, "ServerStatusDataType", Structure),
    DataType(BuildInfoType, "BuildInfo", Structure),
    DataType(RangeType, "Range", Structure),
    DataType(Enumeration, "Enumeration", BaseDataType, true),
    DataType(ServerState, "ServerState", Enumeration),
    DataType(RedundancySupportType, "RedundancySupport", Enumeration),

    // Reference types
    ReferenceType(References, "References", ReferenceTypesFolder, "", true, true),
    ReferenceType(HierarchicalReferences, "HierarchicalReferences", References,
                  "InverseHierarchicalReferences", true),
    ReferenceType(HasChild, "HasChild", HierarchicalReferences, "ChildOf", true),
    ReferenceType(Aggregates, "Aggregates", HasChild, "AggregatedBy", true),
    ReferenceType(HasComponent, "HasComponent", Aggregates, "ComponentOf"),
    ReferenceType(HasProperty, "HasProperty", Aggregates, "PropertyOf"),
    ReferenceType(HasSubtype, "HasSubtype", HasChild, "SubtypeOf"),
    ReferenceType(Organizes, "Organizes", HierarchicalReferences, "OrganizedBy"),
    ReferenceType(NonHierarchicalReferences, "NonHierarchicalReferences", References, "", true, true),
    ReferenceType(HasTypeDefinition, "HasTypeDefinition", NonHierarchicalReferences, "TypeDefinitionOf"),
};

} // namespace

std::span<const TUaStandardNode> UaStandardNodes() { return Table; }

} // namespace dravon
