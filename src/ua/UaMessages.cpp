#include "ua/UaMessages.h"

#include "ua/UaNodeIds.h"

namespace dravon {

namespace {
std::vector<std::string> Strings(TUaBinaryReader& r) {
    return r.Array([&] { return r.String(); }, 4);
}
std::vector<std::uint32_t> UInt32s(TUaBinaryReader& r) {
    return r.Array([&] { return r.UInt32(); }, 4);
}
// A message is only good when every byte was used: trailing bytes mean a wrong layout.
bool Done(TUaBinaryReader& r) { return r.Ok() && r.AtEnd(); }

TUaMonitoringParameters ReadParameters(TUaBinaryReader& r) {
    TUaMonitoringParameters p;
    p.ClientHandle = r.UInt32();
    p.SamplingInterval = r.Double();
    p.Filter = r.ExtensionObject();
    p.QueueSize = r.UInt32();
    p.DiscardOldest = r.Boolean();
    return p;
}

void SkipSignatureData(TUaBinaryReader& r) {
    r.String(); // algorithm
    r.ByteString();
}
} // namespace

TUaRequestHeader ReadRequestHeader(TUaBinaryReader& r) {
    TUaRequestHeader h;
    h.AuthenticationToken = r.NodeId();
    h.Timestamp = r.DateTime();
    h.RequestHandle = r.UInt32();
    h.ReturnDiagnostics = r.UInt32();
    h.AuditEntryId = r.String();
    h.TimeoutHint = r.UInt32();
    h.AdditionalHeader = r.ExtensionObject();
    return h;
}

void WriteRequestHeader(TUaBinaryWriter& w, const TUaRequestHeader& h) {
    w.NodeId(h.AuthenticationToken);
    w.DateTime(h.Timestamp);
    w.UInt32(h.RequestHandle);
    w.UInt32(h.ReturnDiagnostics);
    w.NullableString(h.AuditEntryId.empty() ? std::nullopt : std::optional<std::string>(h.AuditEntryId));
    w.UInt32(h.TimeoutHint);
    w.ExtensionObject(h.AdditionalHeader);
}

void WriteResponseStart(TUaBinaryWriter& w, std::uint32_t responseTypeId, TUaDateTime now,
                        std::uint32_t requestHandle, TUaStatusCode serviceResult) {
    w.NodeId(TUaNodeId::Num(responseTypeId));
    w.DateTime(now);
    w.UInt32(requestHandle);
    w.StatusCode(serviceResult);
    w.Byte(0);    // no service diagnostics
    w.Int32(-1);  // no string table
    w.NodeId({}); // no additional header
    w.Byte(0);
}

std::string EncodeServiceFault(TUaDateTime now, std::uint32_t requestHandle, TUaStatusCode status) {
    TUaBinaryWriter w;
    WriteResponseStart(w, UaId::ServiceFault, now, requestHandle, status);
    return w.Take();
}

void WriteResults(TUaBinaryWriter& w, const std::vector<TUaStatusCode>& results) {
    w.Array(results, [&](TUaStatusCode s) { w.StatusCode(s); });
    w.EmptyArray();
}

bool Decode(TUaBinaryReader& r, TUaOpenSecureChannelRequest& m) {
    m.Header = ReadRequestHeader(r);
    m.ClientProtocolVersion = r.UInt32();
    m.RequestType = r.UInt32();
    m.SecurityMode = r.UInt32();
    m.ClientNonce = r.ByteString();
    m.RequestedLifetime = r.UInt32();
    return Done(r);
}

TUaApplicationDescription ReadApplicationDescription(TUaBinaryReader& r) {
    TUaApplicationDescription d;
    d.ApplicationUri = r.String();
    d.ProductUri = r.String();
    d.ApplicationName = r.LocalizedText();
    d.ApplicationType = r.UInt32();
    d.GatewayServerUri = r.String();
    d.DiscoveryProfileUri = r.String();
    d.DiscoveryUrls = Strings(r);
    return d;
}

void WriteApplicationDescription(TUaBinaryWriter& w, const TUaApplicationDescription& d) {
    w.String(d.ApplicationUri);
    w.String(d.ProductUri);
    w.LocalizedText(d.ApplicationName);
    w.UInt32(d.ApplicationType);
    w.Int32(-1); // gateway server URI
    w.Int32(-1); // discovery profile URI
    w.Array(d.DiscoveryUrls, [&](const std::string& s) { w.String(s); });
}

bool Decode(TUaBinaryReader& r, TUaGetEndpointsRequest& m) {
    m.Header = ReadRequestHeader(r);
    m.EndpointUrl = r.String();
    m.LocaleIds = Strings(r);
    m.ProfileUris = Strings(r);
    return Done(r);
}

bool Decode(TUaBinaryReader& r, TUaFindServersRequest& m) {
    m.Header = ReadRequestHeader(r);
    m.EndpointUrl = r.String();
    m.LocaleIds = Strings(r);
    m.ServerUris = Strings(r);
    return Done(r);
}

bool Decode(TUaBinaryReader& r, TUaCreateSessionRequest& m) {
    m.Header = ReadRequestHeader(r);
    m.ClientDescription = ReadApplicationDescription(r);
    m.ServerUri = r.String();
    m.EndpointUrl = r.String();
    m.SessionName = r.String();
    m.ClientNonce = r.ByteString();
    m.ClientCertificate = r.ByteString();
    m.RequestedSessionTimeout = r.Double();
    m.MaxResponseMessageSize = r.UInt32();
    return Done(r);
}

bool Decode(TUaBinaryReader& r, TUaActivateSessionRequest& m) {
    m.Header = ReadRequestHeader(r);
    m.ClientSignatureAlgorithm = r.String();
    m.ClientSignature = r.ByteString();
    std::size_t certificates = r.ArrayLength(8);
    for (std::size_t i = 0; i < certificates && r.Ok(); ++i) {
        r.ByteString();
        r.ByteString();
    }
    m.LocaleIds = Strings(r);
    m.UserIdentityToken = r.ExtensionObject();
    SkipSignatureData(r);
    return Done(r);
}

bool Decode(TUaBinaryReader& r, TUaCloseSessionRequest& m) {
    m.Header = ReadRequestHeader(r);
    m.DeleteSubscriptions = r.Boolean();
    return Done(r);
}

bool Decode(TUaBinaryReader& r, TUaBrowseRequest& m) {
    m.Header = ReadRequestHeader(r);
    m.ViewId = r.NodeId();
    r.DateTime(); // view timestamp
    r.UInt32();   // view version
    m.RequestedMaxReferencesPerNode = r.UInt32();
    m.NodesToBrowse = r.Array(
        [&] {
            TUaBrowseDescription d;
            d.NodeId = r.NodeId();
            d.BrowseDirection = r.UInt32();
            d.ReferenceTypeId = r.NodeId();
            d.IncludeSubtypes = r.Boolean();
            d.NodeClassMask = r.UInt32();
            d.ResultMask = r.UInt32();
            return d;
        },
        14);
    return Done(r);
}

bool Decode(TUaBinaryReader& r, TUaBrowseNextRequest& m) {
    m.Header = ReadRequestHeader(r);
    m.ReleaseContinuationPoints = r.Boolean();
    m.ContinuationPoints = Strings(r);
    return Done(r);
}

bool Decode(TUaBinaryReader& r, TUaTranslateRequest& m) {
    m.Header = ReadRequestHeader(r);
    m.BrowsePaths = r.Array(
        [&] {
            TUaBrowsePath p;
            p.StartingNode = r.NodeId();
            p.Elements = r.Array(
                [&] {
                    TUaRelativePathElement e;
                    e.ReferenceTypeId = r.NodeId();
                    e.IsInverse = r.Boolean();
                    e.IncludeSubtypes = r.Boolean();
                    e.TargetName = r.QualifiedName();
                    return e;
                },
                10);
            return p;
        },
        6);
    return Done(r);
}

bool Decode(TUaBinaryReader& r, TUaNodeListRequest& m) {
    m.Header = ReadRequestHeader(r);
    m.Nodes = r.Array([&] { return r.NodeId(); }, 2);
    return Done(r);
}

TUaReadValueId ReadReadValueId(TUaBinaryReader& r) {
    TUaReadValueId v;
    v.NodeId = r.NodeId();
    v.AttributeId = r.UInt32();
    v.IndexRange = r.String();
    v.DataEncoding = r.QualifiedName();
    return v;
}

bool Decode(TUaBinaryReader& r, TUaReadRequest& m) {
    m.Header = ReadRequestHeader(r);
    m.MaxAge = r.Double();
    m.TimestampsToReturn = r.UInt32();
    m.NodesToRead = r.Array([&] { return ReadReadValueId(r); }, 16);
    return Done(r);
}

bool Decode(TUaBinaryReader& r, TUaWriteRequest& m) {
    m.Header = ReadRequestHeader(r);
    m.NodesToWrite = r.Array(
        [&] {
            TUaWriteValue v;
            v.NodeId = r.NodeId();
            v.AttributeId = r.UInt32();
            v.IndexRange = r.String();
            v.Value = r.DataValue();
            return v;
        },
        11);
    return Done(r);
}

bool Decode(TUaBinaryReader& r, TUaCreateSubscriptionRequest& m, bool modify) {
    m.Header = ReadRequestHeader(r);
    if (modify) m.SubscriptionId = r.UInt32();
    m.RequestedPublishingInterval = r.Double();
    m.RequestedLifetimeCount = r.UInt32();
    m.RequestedMaxKeepAliveCount = r.UInt32();
    m.MaxNotificationsPerPublish = r.UInt32();
    if (!modify) m.PublishingEnabled = r.Boolean();
    m.Priority = r.Byte();
    return Done(r);
}

bool Decode(TUaBinaryReader& r, TUaSetPublishingModeRequest& m) {
    m.Header = ReadRequestHeader(r);
    m.PublishingEnabled = r.Boolean();
    m.SubscriptionIds = UInt32s(r);
    return Done(r);
}

bool Decode(TUaBinaryReader& r, TUaIdListRequest& m) {
    m.Header = ReadRequestHeader(r);
    m.Ids = UInt32s(r);
    return Done(r);
}

bool Decode(TUaBinaryReader& r, TUaPublishRequest& m) {
    m.Header = ReadRequestHeader(r);
    m.Acknowledgements = r.Array(
        [&] {
            TUaSubscriptionAcknowledgement a;
            a.SubscriptionId = r.UInt32();
            a.SequenceNumber = r.UInt32();
            return a;
        },
        8);
    return Done(r);
}

bool Decode(TUaBinaryReader& r, TUaRepublishRequest& m) {
    m.Header = ReadRequestHeader(r);
    m.SubscriptionId = r.UInt32();
    m.RetransmitSequenceNumber = r.UInt32();
    return Done(r);
}

bool Decode(TUaBinaryReader& r, TUaCreateMonitoredItemsRequest& m) {
    m.Header = ReadRequestHeader(r);
    m.SubscriptionId = r.UInt32();
    m.TimestampsToReturn = r.UInt32();
    m.Items = r.Array(
        [&] {
            TUaMonitoredItemCreate c;
            c.ItemToMonitor = ReadReadValueId(r);
            c.MonitoringMode = r.UInt32();
            c.Parameters = ReadParameters(r);
            return c;
        },
        40);
    return Done(r);
}

bool Decode(TUaBinaryReader& r, TUaModifyMonitoredItemsRequest& m) {
    m.Header = ReadRequestHeader(r);
    m.SubscriptionId = r.UInt32();
    m.TimestampsToReturn = r.UInt32();
    m.Items = r.Array(
        [&] {
            TUaMonitoredItemModify c;
            c.MonitoredItemId = r.UInt32();
            c.Parameters = ReadParameters(r);
            return c;
        },
        24);
    return Done(r);
}

bool Decode(TUaBinaryReader& r, TUaSetMonitoringModeRequest& m) {
    m.Header = ReadRequestHeader(r);
    m.SubscriptionId = r.UInt32();
    m.MonitoringMode = r.UInt32();
    m.MonitoredItemIds = UInt32s(r);
    return Done(r);
}

bool Decode(TUaBinaryReader& r, TUaSetTriggeringRequest& m) {
    m.Header = ReadRequestHeader(r);
    m.SubscriptionId = r.UInt32();
    m.TriggeringItemId = r.UInt32();
    m.LinksToAdd = UInt32s(r);
    m.LinksToRemove = UInt32s(r);
    return Done(r);
}

bool Decode(TUaBinaryReader& r, TUaTransferSubscriptionsRequest& m) {
    m.Header = ReadRequestHeader(r);
    m.SubscriptionIds = UInt32s(r);
    m.SendInitialValues = r.Boolean();
    return Done(r);
}

bool Decode(TUaBinaryReader& r, TUaDeleteMonitoredItemsRequest& m) {
    m.Header = ReadRequestHeader(r);
    m.SubscriptionId = r.UInt32();
    m.MonitoredItemIds = UInt32s(r);
    return Done(r);
}

} // namespace dravon
