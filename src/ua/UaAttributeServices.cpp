#include "ua/UaServer.h"

#include "app/Platform.h"
#include "app/ServerContext.h"
#include "ua/UaNodeIds.h"
#include "ua/UaStatusCodes.h"

// Attribute service set: Read, Write; the values of the standard Server variables.
namespace dravon {

namespace {
TUaVariant StringArray(std::vector<std::string> values) {
    std::vector<TUaScalar> out;
    for (auto& v : values) out.emplace_back(std::move(v));
    return TUaVariant::Array(TUaType::String, std::move(out));
}

TUaVariant UInt32Value(std::uint32_t v) { return TUaVariant::Scalar(TUaType::UInt32, std::uint64_t{v}); }
} // namespace

TUaVariant TUaServer::StandardValue(std::uint32_t id) {
    using namespace UaId;
    auto text = [](std::string s) { return TUaVariant::Scalar(TUaType::String, std::move(s)); };
    auto time = [](TUaDateTime t) { return TUaVariant::Scalar(TUaType::DateTime, std::int64_t{t}); };
    auto buildInfo = [&](TUaBinaryWriter& w) {
        w.String(ProductUriText);
        w.String(ManufacturerText);
        w.String(ProductNameText);
        w.String(DRAVON_VERSION);
        w.String(DRAVON_VERSION);
        w.DateTime(StartTime_);
    };
    // ServerState Running (0), or Shutdown (4) with its reason; the shut-down is at once.
    const std::int32_t state = ShutdownReason_.empty() ? 0 : 4;
    const TUaLocalizedText reason =
        ShutdownReason_.empty() ? TUaLocalizedText{} : TUaLocalizedText{std::string("en"), ShutdownReason_};
    switch (id) {
    case NamespaceArray: return StringArray({"http://opcfoundation.org/UA/", ItemsNamespaceUri});
    case ServerArray: return StringArray({ApplicationUri()});
    case ServerStatus: {
        TUaBinaryWriter w;
        w.DateTime(StartTime_);
        w.DateTime(Now());
        w.Int32(state);
        buildInfo(w);
        w.UInt32(0);
        w.LocalizedText(reason);
        return TUaVariant::Scalar(
            TUaType::ExtensionObject,
            TUaExtensionObject{TUaNodeId::Num(ServerStatusDataTypeEncoding), 1, w.Take()});
    }
    case StartTime: return time(StartTime_);
    case CurrentTime: return time(Now());
    case State: return TUaVariant::Scalar(TUaType::Int32, std::int64_t{state});
    case BuildInfo: {
        TUaBinaryWriter w;
        buildInfo(w);
        return TUaVariant::Scalar(TUaType::ExtensionObject,
                                  TUaExtensionObject{TUaNodeId::Num(BuildInfoEncoding), 1, w.Take()});
    }
    case ProductUri: return text(ProductUriText);
    case ManufacturerName: return text(ManufacturerText);
    case ProductName: return text(ProductNameText);
    case SoftwareVersion:
    case BuildNumber: return text(DRAVON_VERSION);
    case BuildDate: return time(StartTime_);
    case SecondsTillShutdown: return UInt32Value(0);
    case ShutdownReason: return TUaVariant::Scalar(TUaType::LocalizedText, reason);
    case ServiceLevel: return TUaVariant::Scalar(TUaType::Byte, std::uint64_t{255});
    case ServerProfileArray:
        return StringArray({"http://opcfoundation.org/UA-Profile/Server/MicroEmbeddedDevice"});
    case LocaleIdArray: return StringArray({"en"});
    case MinSupportedSampleRate: return TUaVariant::Scalar(TUaType::Double, 25.0);
    case MaxBrowseContinuationPoints:
        return TUaVariant::Scalar(TUaType::UInt16, std::uint64_t{TUaSession::MaxContinuationPoints});
    case MaxQueryContinuationPoints:
    case MaxHistoryContinuationPoints: return TUaVariant::Scalar(TUaType::UInt16, std::uint64_t{0});
    case MaxArrayLength:
    case MaxStringLength:
    case MaxByteStringLength: return UInt32Value(65536);
    case Auditing:
    case EnabledFlag: return TUaVariant::Scalar(TUaType::Boolean, false);
    case RedundancySupport: return TUaVariant::Scalar(TUaType::Int32, std::int64_t{0}); // None
    case MaxNodesPerRead:
    case MaxNodesPerWrite:
    case MaxNodesPerBrowse:
    case MaxNodesPerRegisterNodes:
    case MaxNodesPerTranslateBrowsePathsToNodeIds:
    case MaxMonitoredItemsPerCall: return UInt32Value(MaxOperationsPerRequest);
    default: return UInt32Value(0);
    }
}

void TUaServer::Read(TRequest& r, TUaBinaryReader& in) {
    TUaReadRequest m;
    if (!Decode(in, m)) return r.Channel.Fail(UaStatus::BadDecodingError, "Malformed Read");
    if (!(m.MaxAge >= 0)) return Fault(r, UaStatus::BadMaxAgeInvalid);
    if (m.TimestampsToReturn > 3) return Fault(r, UaStatus::BadTimestampsToReturnInvalid);
    if (m.NodesToRead.empty()) return Fault(r, UaStatus::BadNothingToDo);
    if (m.NodesToRead.size() > MaxOperationsPerRequest) return Fault(r, UaStatus::BadTooManyOperations);

    struct TPending {
        std::vector<TUaDataValue> Results;
        std::size_t Remaining = 0;
        bool Issued = false;
    };
    auto pending = std::make_shared<TPending>();
    pending->Results.resize(m.NodesToRead.size());
    pending->Remaining = m.NodesToRead.size();
    std::uint32_t channelId = r.Channel.ChannelId();
    std::uint32_t requestId = r.RequestId;
    std::uint32_t handle = m.Header.RequestHandle;
    std::uint32_t timestamps = m.TimestampsToReturn;
    auto finish = [this, pending, channelId, requestId, handle] {
        if (--pending->Remaining != 0 || !pending->Issued) return;
        TUaBinaryWriter w;
        WriteResponseStart(w, UaId::ReadResponse, Now(), handle);
        w.Array(pending->Results, [&](const TUaDataValue& v) { w.DataValue(v); });
        w.EmptyArray();
        if (TUaChannel* channel = Connections_.Find(channelId))
            channel->SendResponse(requestId, handle, w.Bytes());
    };
    TUaSession& session = *r.Session;
    for (std::size_t i = 0; i < m.NodesToRead.size(); ++i) {
        const auto& item = m.NodesToRead[i];
        TUaDataValue& result = pending->Results[i];
        auto node = Space_.Find(item.NodeId, session.Backend.get());
        if (!node) {
            result.Status = UaStatus::BadNodeIdUnknown;
            finish();
            continue;
        }
        if (!item.IndexRange.empty()) {
            result.Status = UaStatus::BadIndexRangeInvalid;
            finish();
            continue;
        }
        if (!item.DataEncoding.Name.empty() &&
            (item.AttributeId != atValue || item.DataEncoding.Name != "Default Binary")) {
            result.Status = UaStatus::BadDataEncodingInvalid;
            finish();
            continue;
        }
        if (item.AttributeId == atValue && !node->ItemId.empty()) {
            // Backend value: a cache read, or with maxAge 0 a device read answered later.
            session.Backend->Read(node->ItemId, m.MaxAge,
                                  [this, pending, i, timestamps, finish](const TUaBackendValue& value) {
                                      TUaDataValue& out = pending->Results[i];
                                      out.Value = value.Value;
                                      out.Status = value.Status;
                                      if (timestamps == 0 || timestamps == 2)
                                          out.SourceTimestamp = value.SourceTime;
                                      if (timestamps == 1 || timestamps == 2) out.ServerTimestamp = Now();
                                      finish();
                                  });
            continue;
        }
        TUaVariant value;
        TUaStatusCode status = Space_.ReadAttribute(*node, item.AttributeId, value);
        if (status == 0 && item.AttributeId == atUserAccessLevel && session.ReadOnly && !node->ItemId.empty())
            value = TUaVariant::Scalar(TUaType::Byte, std::uint64_t{1});
        if (status) {
            result.Status = status;
        } else {
            result.Value = std::move(value);
            if (item.AttributeId == atValue) {
                if (timestamps == 0 || timestamps == 2) result.SourceTimestamp = Now();
                if (timestamps == 1 || timestamps == 2) result.ServerTimestamp = Now();
            }
        }
        finish();
    }
    pending->Issued = true;
    ++pending->Remaining;
    finish();
}

void TUaServer::Write(TRequest& r, TUaBinaryReader& in) {
    TUaWriteRequest m;
    if (!Decode(in, m)) return r.Channel.Fail(UaStatus::BadDecodingError, "Malformed Write");
    if (m.NodesToWrite.empty()) return Fault(r, UaStatus::BadNothingToDo);
    if (m.NodesToWrite.size() > MaxOperationsPerRequest) return Fault(r, UaStatus::BadTooManyOperations);
    // Answered when every PLC has decided: the results arrive from the backend in any order.
    struct TPending {
        std::vector<TUaStatusCode> Results;
        std::size_t Remaining = 0;
    };
    auto pending = std::make_shared<TPending>();
    pending->Results.resize(m.NodesToWrite.size());
    pending->Remaining = m.NodesToWrite.size() + 1;
    bool denied = false;
    std::uint32_t channelId = r.Channel.ChannelId();
    std::uint32_t requestId = r.RequestId;
    std::uint32_t handle = m.Header.RequestHandle;
    auto finish = [this, pending, channelId, requestId, handle] {
        if (--pending->Remaining != 0) return;
        TUaBinaryWriter w;
        WriteResponseStart(w, UaId::WriteResponse, Now(), handle);
        WriteResults(w, pending->Results);
        if (TUaChannel* channel = Connections_.Find(channelId))
            channel->SendResponse(requestId, handle, w.Bytes());
    };
    for (std::size_t i = 0; i < m.NodesToWrite.size(); ++i) {
        const auto& item = m.NodesToWrite[i];
        auto node = Space_.Find(item.NodeId, r.Session->Backend.get());
        TUaStatusCode& status = pending->Results[i];
        if (!node)
            status = UaStatus::BadNodeIdUnknown;
        else if (item.AttributeId != atValue || node->ItemId.empty())
            status = UaStatus::BadNotWritable;
        else if (!item.IndexRange.empty())
            status = UaStatus::BadIndexRangeInvalid;
        else if (!item.Value.Value || item.Value.Status || item.Value.SourceTimestamp ||
                 item.Value.ServerTimestamp)
            status = UaStatus::BadWriteNotSupported;
        else if (!(node->AccessLevel & 2))
            status = UaStatus::BadNotWritable;
        else if (r.Session->ReadOnly) {
            status = UaStatus::BadUserAccessDenied;
            denied = true;
        } else {
            r.Session->Backend->Write(node->ItemId, *item.Value.Value, [pending, i, finish](TUaStatusCode s) {
                pending->Results[i] = s;
                finish();
            });
            continue;
        }
        finish();
    }
    if (denied)
        Events_.Note("write refused", r.Session->Peer,
                     "OPC UA write from " + r.Session->Peer +
                         " refused: Bad_UserAccessDenied (read-only session " + r.Session->Name + ")");
    finish();
}

} // namespace dravon
