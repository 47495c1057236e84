// The service requests this endpoint decodes, the response header every answer starts
// with, and the structures shared by several services. Field order is the order on the
// wire.
#pragma once

#include "ua/UaBinaryReader.h"
#include "ua/UaBinaryWriter.h"

namespace dravon {

struct TUaRequestHeader {
    TUaNodeId AuthenticationToken;
    TUaDateTime Timestamp = 0;
    std::uint32_t RequestHandle = 0;
    std::uint32_t ReturnDiagnostics = 0;
    std::string AuditEntryId;
    std::uint32_t TimeoutHint = 0;
    TUaExtensionObject AdditionalHeader;
};
TUaRequestHeader ReadRequestHeader(TUaBinaryReader& r);
void WriteRequestHeader(TUaBinaryWriter& w, const TUaRequestHeader& h);

// Writes the body type id and a response header with no diagnostics.
void WriteResponseStart(TUaBinaryWriter& w, std::uint32_t responseTypeId, TUaDateTime now,
                        std::uint32_t requestHandle, TUaStatusCode serviceResult = 0);
// A complete ServiceFault body (type id included).
std::string EncodeServiceFault(TUaDateTime now, std::uint32_t requestHandle, TUaStatusCode status);

struct TUaOpenSecureChannelRequest {
    TUaRequestHeader Header;
    std::uint32_t ClientProtocolVersion = 0;
    std::uint32_t RequestType = 0;  // 0 issue, 1 renew
    std::uint32_t SecurityMode = 0; // 1 None
    std::string ClientNonce;
    std::uint32_t RequestedLifetime = 0;
};
bool Decode(TUaBinaryReader& r, TUaOpenSecureChannelRequest& m);

struct TUaApplicationDescription {
    std::string ApplicationUri, ProductUri;
    TUaLocalizedText ApplicationName;
    std::uint32_t ApplicationType = 0;
    std::string GatewayServerUri, DiscoveryProfileUri;
    std::vector<std::string> DiscoveryUrls;
};
TUaApplicationDescription ReadApplicationDescription(TUaBinaryReader& r);
void WriteApplicationDescription(TUaBinaryWriter& w, const TUaApplicationDescription& d);

struct TUaGetEndpointsRequest {
    TUaRequestHeader Header;
    std::string EndpointUrl;
    std::vector<std::string> LocaleIds, ProfileUris;
};
bool Decode(TUaBinaryReader& r, TUaGetEndpointsRequest& m);

struct TUaFindServersRequest {
    TUaRequestHeader Header;
    std::string EndpointUrl;
    std::vector<std::string> LocaleIds, ServerUris;
};
bool Decode(TUaBinaryReader& r, TUaFindServersRequest& m);

struct TUaCreateSessionRequest {
    TUaRequestHeader Header;
    TUaApplicationDescription ClientDescription;
    std::string ServerUri, EndpointUrl, SessionName, ClientNonce, ClientCertificate;
    double RequestedSessionTimeout = 0;
    std::uint32_t MaxResponseMessageSize = 0;
};
bool Decode(TUaBinaryReader& r, TUaCreateSessionRequest& m);

struct TUaActivateSessionRequest {
    TUaRequestHeader Header;
    std::string ClientSignatureAlgorithm, ClientSignature;
    std::vector<std::string> LocaleIds;
    TUaExtensionObject UserIdentityToken;
};
bool Decode(TUaBinaryReader& r, TUaActivateSessionRequest& m);

struct TUaCloseSessionRequest {
    TUaRequestHeader Header;
    bool DeleteSubscriptions = true;
};
bool Decode(TUaBinaryReader& r, TUaCloseSessionRequest& m);

struct TUaBrowseDescription {
    TUaNodeId NodeId;
    std::uint32_t BrowseDirection = 0; // 0 forward, 1 inverse, 2 both
    TUaNodeId ReferenceTypeId;
    bool IncludeSubtypes = true;
    std::uint32_t NodeClassMask = 0;
    std::uint32_t ResultMask = 0x3F;
};
struct TUaBrowseRequest {
    TUaRequestHeader Header;
    TUaNodeId ViewId;
    std::uint32_t RequestedMaxReferencesPerNode = 0;
    std::vector<TUaBrowseDescription> NodesToBrowse;
};
bool Decode(TUaBinaryReader& r, TUaBrowseRequest& m);

struct TUaBrowseNextRequest {
    TUaRequestHeader Header;
    bool ReleaseContinuationPoints = false;
    std::vector<std::string> ContinuationPoints;
};
bool Decode(TUaBinaryReader& r, TUaBrowseNextRequest& m);

struct TUaRelativePathElement {
    TUaNodeId ReferenceTypeId;
    bool IsInverse = false;
    bool IncludeSubtypes = true;
    TUaQualifiedName TargetName;
};
struct TUaBrowsePath {
    TUaNodeId StartingNode;
    std::vector<TUaRelativePathElement> Elements;
};
struct TUaTranslateRequest {
    TUaRequestHeader Header;
    std::vector<TUaBrowsePath> BrowsePaths;
};
bool Decode(TUaBinaryReader& r, TUaTranslateRequest& m);

struct TUaNodeListRequest { // RegisterNodes and UnregisterNodes
    TUaRequestHeader Header;
    std::vector<TUaNodeId> Nodes;
};
bool Decode(TUaBinaryReader& r, TUaNodeListRequest& m);

struct TUaReadValueId {
    TUaNodeId NodeId;
    std::uint32_t AttributeId = 13;
    std::string IndexRange;
    TUaQualifiedName DataEncoding;
};
TUaReadValueId ReadReadValueId(TUaBinaryReader& r);

struct TUaReadRequest {
    TUaRequestHeader Header;
    double MaxAge = 0;
    std::uint32_t TimestampsToReturn = 0;
    std::vector<TUaReadValueId> NodesToRead;
};
bool Decode(TUaBinaryReader& r, TUaReadRequest& m);

struct TUaWriteValue {
    TUaNodeId NodeId;
    std::uint32_t AttributeId = 13;
    std::string IndexRange;
    TUaDataValue Value;
};
struct TUaWriteRequest {
    TUaRequestHeader Header;
    std::vector<TUaWriteValue> NodesToWrite;
};
bool Decode(TUaBinaryReader& r, TUaWriteRequest& m);

struct TUaCreateSubscriptionRequest {
    TUaRequestHeader Header;
    double RequestedPublishingInterval = 0;
    std::uint32_t RequestedLifetimeCount = 0;
    std::uint32_t RequestedMaxKeepAliveCount = 0;
    std::uint32_t MaxNotificationsPerPublish = 0;
    bool PublishingEnabled = true;
    std::uint8_t Priority = 0;
    std::uint32_t SubscriptionId = 0; // ModifySubscription only
};
bool Decode(TUaBinaryReader& r, TUaCreateSubscriptionRequest& m, bool modify);

struct TUaSetPublishingModeRequest {
    TUaRequestHeader Header;
    bool PublishingEnabled = true;
    std::vector<std::uint32_t> SubscriptionIds;
};
bool Decode(TUaBinaryReader& r, TUaSetPublishingModeRequest& m);

struct TUaIdListRequest { // DeleteSubscriptions
    TUaRequestHeader Header;
    std::vector<std::uint32_t> Ids;
};
bool Decode(TUaBinaryReader& r, TUaIdListRequest& m);

struct TUaSubscriptionAcknowledgement {
    std::uint32_t SubscriptionId = 0;
    std::uint32_t SequenceNumber = 0;
};
struct TUaPublishRequest {
    TUaRequestHeader Header;
    std::vector<TUaSubscriptionAcknowledgement> Acknowledgements;
};
bool Decode(TUaBinaryReader& r, TUaPublishRequest& m);

struct TUaRepublishRequest {
    TUaRequestHeader Header;
    std::uint32_t SubscriptionId = 0;
    std::uint32_t RetransmitSequenceNumber = 0;
};
bool Decode(TUaBinaryReader& r, TUaRepublishRequest& m);

struct TUaMonitoringParameters {
    std::uint32_t ClientHandle = 0;
    double SamplingInterval = -1;
    TUaExtensionObject Filter;
    std::uint32_t QueueSize = 1;
    bool DiscardOldest = true;
};
struct TUaMonitoredItemCreate {
    TUaReadValueId ItemToMonitor;
    std::uint32_t MonitoringMode = 2; // 0 disabled, 1 sampling, 2 reporting
    TUaMonitoringParameters Parameters;
};
struct TUaCreateMonitoredItemsRequest {
    TUaRequestHeader Header;
    std::uint32_t SubscriptionId = 0;
    std::uint32_t TimestampsToReturn = 0;
    std::vector<TUaMonitoredItemCreate> Items;
};
bool Decode(TUaBinaryReader& r, TUaCreateMonitoredItemsRequest& m);

struct TUaMonitoredItemModify {
    std::uint32_t MonitoredItemId = 0;
    TUaMonitoringParameters Parameters;
};
struct TUaModifyMonitoredItemsRequest {
    TUaRequestHeader Header;
    std::uint32_t SubscriptionId = 0;
    std::uint32_t TimestampsToReturn = 0;
    std::vector<TUaMonitoredItemModify> Items;
};
bool Decode(TUaBinaryReader& r, TUaModifyMonitoredItemsRequest& m);

struct TUaSetMonitoringModeRequest {
    TUaRequestHeader Header;
    std::uint32_t SubscriptionId = 0;
    std::uint32_t MonitoringMode = 2;
    std::vector<std::uint32_t> MonitoredItemIds;
};
bool Decode(TUaBinaryReader& r, TUaSetMonitoringModeRequest& m);

struct TUaSetTriggeringRequest {
    TUaRequestHeader Header;
    std::uint32_t SubscriptionId = 0;
    std::uint32_t TriggeringItemId = 0;
    std::vector<std::uint32_t> LinksToAdd;
    std::vector<std::uint32_t> LinksToRemove;
};
bool Decode(TUaBinaryReader& r, TUaSetTriggeringRequest& m);

struct TUaTransferSubscriptionsRequest {
    TUaRequestHeader Header;
    std::vector<std::uint32_t> SubscriptionIds;
    bool SendInitialValues = false;
};
bool Decode(TUaBinaryReader& r, TUaTransferSubscriptionsRequest& m);

struct TUaDeleteMonitoredItemsRequest {
    TUaRequestHeader Header;
    std::uint32_t SubscriptionId = 0;
    std::vector<std::uint32_t> MonitoredItemIds;
};
bool Decode(TUaBinaryReader& r, TUaDeleteMonitoredItemsRequest& m);

// Writes an array of status codes followed by an empty diagnostic-info array.
void WriteResults(TUaBinaryWriter& w, const std::vector<TUaStatusCode>& results);

} // namespace dravon
