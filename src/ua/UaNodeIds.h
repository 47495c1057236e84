// Numeric identifiers of namespace 0 that this endpoint uses: data types, reference
// types, type definitions, the standard Server object and the binary encodings of the
// service messages. Numbers from the standard's NodeIds table.
#pragma once

#include <cstdint>

namespace dravon::UaId {

// Data types
inline constexpr std::uint32_t Boolean = 1, SByte = 2, Byte = 3, Int16 = 4, UInt16 = 5, Int32 = 6, UInt32 = 7,
                               Int64 = 8, UInt64 = 9, Float = 10, Double = 11, String = 12, DateTime = 13,
                               Guid = 14, ByteString = 15, NodeIdType = 17, StatusCodeType = 19,
                               QualifiedNameType = 20, LocalizedTextType = 21, Structure = 22,
                               BaseDataType = 24, Number = 26, Integer = 27, UInteger = 28, Enumeration = 29,
                               Duration = 290, UtcTime = 294, LocaleId = 295, BuildInfoType = 338,
                               RedundancySupportType = 851, ServerState = 852, ServerStatusDataType = 862,
                               RangeType = 884;

// Reference types
inline constexpr std::uint32_t References = 31, NonHierarchicalReferences = 32, HierarchicalReferences = 33,
                               HasChild = 34, Organizes = 35, HasTypeDefinition = 40, Aggregates = 44,
                               HasSubtype = 45, HasProperty = 46, HasComponent = 47;

// Type definitions
inline constexpr std::uint32_t BaseObjectType = 58, FolderType = 61, BaseVariableType = 62,
                               BaseDataVariableType = 63, PropertyType = 68, ServerType = 2004,
                               ServerCapabilitiesType = 2013, ServerDiagnosticsType = 2020,
                               VendorServerInfoType = 2033, ServerRedundancyType = 2034,
                               ServerStatusType = 2138, BuildInfoVariableType = 3051,
                               OperationLimitsType = 11564;

// Folders and the Server object
inline constexpr std::uint32_t RootFolder = 84, ObjectsFolder = 85, TypesFolder = 86, ViewsFolder = 87,
                               ObjectTypesFolder = 88, VariableTypesFolder = 89, DataTypesFolder = 90,
                               ReferenceTypesFolder = 91, ServerDiagnostics = 2274, EnabledFlag = 2294,
                               VendorServerInfo = 2295, ServerRedundancy = 2296, RedundancySupport = 3709,
                               Auditing = 2994, ModellingRules = 2996, AggregateFunctions = 2997,
                               MaxQueryContinuationPoints = 2736, MaxHistoryContinuationPoints = 2737,
                               MaxByteStringLength = 12911, Server = 2253, ServerArray = 2254,
                               NamespaceArray = 2255, ServerStatus = 2256, StartTime = 2257,
                               CurrentTime = 2258, State = 2259, BuildInfo = 2260, ProductName = 2261,
                               ProductUri = 2262, ManufacturerName = 2263, SoftwareVersion = 2264,
                               BuildNumber = 2265, BuildDate = 2266, ServiceLevel = 2267,
                               ServerCapabilities = 2268, ServerProfileArray = 2269, LocaleIdArray = 2271,
                               MinSupportedSampleRate = 2272, MaxBrowseContinuationPoints = 2735,
                               SecondsTillShutdown = 2992, ShutdownReason = 2993, MaxArrayLength = 11702,
                               MaxStringLength = 11703, OperationLimits = 11704, MaxNodesPerRead = 11705,
                               MaxNodesPerWrite = 11707, MaxNodesPerMethodCall = 11709,
                               MaxNodesPerBrowse = 11710, MaxNodesPerRegisterNodes = 11711,
                               MaxNodesPerTranslateBrowsePathsToNodeIds = 11712,
                               MaxNodesPerNodeManagement = 11713, MaxMonitoredItemsPerCall = 11714;

// Binary encodings (the type ids of message bodies and extension objects)
inline constexpr std::uint32_t AnonymousIdentityToken = 321, UserNameIdentityToken = 324,
                               BuildInfoEncoding = 340, ServiceFault = 397, FindServersRequest = 422,
                               FindServersResponse = 425, GetEndpointsRequest = 428,
                               GetEndpointsResponse = 431, OpenSecureChannelRequest = 446,
                               OpenSecureChannelResponse = 449, CloseSecureChannelRequest = 452,
                               CloseSecureChannelResponse = 455, CreateSessionRequest = 461,
                               CreateSessionResponse = 464, ActivateSessionRequest = 467,
                               ActivateSessionResponse = 470, CloseSessionRequest = 473,
                               CloseSessionResponse = 476, BrowseRequest = 527, BrowseResponse = 530,
                               BrowseNextRequest = 533, BrowseNextResponse = 536,
                               TranslateBrowsePathsToNodeIdsRequest = 554,
                               TranslateBrowsePathsToNodeIdsResponse = 557, RegisterNodesRequest = 560,
                               RegisterNodesResponse = 563, UnregisterNodesRequest = 566,
                               UnregisterNodesResponse = 569, ReadRequest = 631, ReadResponse = 634,
                               WriteRequest = 673, WriteResponse = 676, DataChangeFilter = 724,
                               CreateMonitoredItemsRequest = 751, CreateMonitoredItemsResponse = 754,
                               ModifyMonitoredItemsRequest = 763, ModifyMonitoredItemsResponse = 766,
                               SetMonitoringModeRequest = 769, SetMonitoringModeResponse = 772,
                               DeleteMonitoredItemsRequest = 781, DeleteMonitoredItemsResponse = 784,
                               CreateSubscriptionRequest = 787, CreateSubscriptionResponse = 790,
                               ModifySubscriptionRequest = 793, ModifySubscriptionResponse = 796,
                               SetPublishingModeRequest = 799, SetPublishingModeResponse = 802,
                               DataChangeNotification = 811, StatusChangeNotification = 820,
                               PublishRequest = 826, PublishResponse = 829, RepublishRequest = 832,
                               RepublishResponse = 835, SetTriggeringRequest = 775,
                               SetTriggeringResponse = 778, TransferSubscriptionsRequest = 841,
                               TransferSubscriptionsResponse = 844, DeleteSubscriptionsRequest = 847,
                               DeleteSubscriptionsResponse = 850, ServerStatusDataTypeEncoding = 864,
                               RangeEncoding = 886;

} // namespace dravon::UaId
