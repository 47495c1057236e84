#include "ua/UaServer.h"

#include "app/Platform.h"
#include "app/ServerContext.h"
#include "app/TextFormat.h"
#include "ua/UaNodeIds.h"
#include "ua/UaStatusCodes.h"

#include <algorithm>
#include <cmath>

// Subscription and monitored-item service sets.
namespace dravon {

TUaSubscription* TUaServer::FindSubscription(TRequest& r, std::uint32_t id) {
    auto it = r.Session->Subscriptions.find(id);
    return it == r.Session->Subscriptions.end() ? nullptr : it->second.get();
}

void TUaServer::CreateSubscription(TRequest& r, TUaBinaryReader& in) {
    TUaCreateSubscriptionRequest m;
    if (!Decode(in, m, false))
        return r.Channel.Fail(UaStatus::BadDecodingError, "Malformed CreateSubscription");
    TUaSession& session = *r.Session;
    if (session.Subscriptions.size() >= Config_.MaxSubscriptionsPerSession) {
        Events_.Note(
            "Bad_TooManySubscriptions", session.Peer,
            FormatText("OPC UA subscription for %s refused: Bad_TooManySubscriptions (%s in session %s)",
                       {session.Peer, std::to_string(session.Subscriptions.size()), session.Name}));
        return Fault(r, UaStatus::BadTooManySubscriptions);
    }
    auto target = std::make_shared<TUaSubscription*>(nullptr);
    double revised = 0;
    double requested = std::isfinite(m.RequestedPublishingInterval)
                           ? std::max(m.RequestedPublishingInterval, TUaSubscription::MinPublishingInterval)
                           : TUaSubscription::MinPublishingInterval;
    auto group =
        session.Backend->CreateGroup(requested, revised, [target](std::vector<TUaItemChange> changes) {
            if (*target) (*target)->OnChanges(std::move(changes));
        });
    if (!group) return Fault(r, UaStatus::BadTooManySubscriptions);
    std::uint32_t id = NextSubscriptionId_++;
    auto subscription =
        std::make_unique<TUaSubscription>(session, id, std::move(group), Context_.Timers->CreateTimer());
    *target = subscription.get();
    subscription->Configure(requested, m.RequestedLifetimeCount, m.RequestedMaxKeepAliveCount,
                            m.MaxNotificationsPerPublish);
    subscription->SetPublishingEnabled(m.PublishingEnabled);
    TUaBinaryWriter w;
    WriteResponseStart(w, UaId::CreateSubscriptionResponse, Now(), m.Header.RequestHandle);
    w.UInt32(id);
    w.Double(subscription->PublishingInterval());
    w.UInt32(subscription->LifetimeCount());
    w.UInt32(subscription->MaxKeepAliveCount());
    session.Subscriptions[id] = std::move(subscription);
    Reply(r, w.Bytes());
}

void TUaServer::ModifySubscription(TRequest& r, TUaBinaryReader& in) {
    TUaCreateSubscriptionRequest m;
    if (!Decode(in, m, true))
        return r.Channel.Fail(UaStatus::BadDecodingError, "Malformed ModifySubscription");
    TUaSubscription* s = FindSubscription(r, m.SubscriptionId);
    if (!s) return Fault(r, UaStatus::BadSubscriptionIdInvalid);
    s->Configure(m.RequestedPublishingInterval, m.RequestedLifetimeCount, m.RequestedMaxKeepAliveCount,
                 m.MaxNotificationsPerPublish);
    TUaBinaryWriter w;
    WriteResponseStart(w, UaId::ModifySubscriptionResponse, Now(), m.Header.RequestHandle);
    w.Double(s->PublishingInterval());
    w.UInt32(s->LifetimeCount());
    w.UInt32(s->MaxKeepAliveCount());
    Reply(r, w.Bytes());
}

void TUaServer::SetPublishingMode(TRequest& r, TUaBinaryReader& in) {
    TUaSetPublishingModeRequest m;
    if (!Decode(in, m)) return r.Channel.Fail(UaStatus::BadDecodingError, "Malformed SetPublishingMode");
    if (m.SubscriptionIds.empty()) return Fault(r, UaStatus::BadNothingToDo);
    std::vector<TUaStatusCode> results;
    for (auto id : m.SubscriptionIds) {
        TUaSubscription* s = FindSubscription(r, id);
        if (s) s->SetPublishingEnabled(m.PublishingEnabled);
        results.push_back(s ? 0 : UaStatus::BadSubscriptionIdInvalid);
    }
    TUaBinaryWriter w;
    WriteResponseStart(w, UaId::SetPublishingModeResponse, Now(), m.Header.RequestHandle);
    WriteResults(w, results);
    Reply(r, w.Bytes());
}

void TUaServer::DeleteSubscriptions(TRequest& r, TUaBinaryReader& in) {
    TUaIdListRequest m;
    if (!Decode(in, m)) return r.Channel.Fail(UaStatus::BadDecodingError, "Malformed DeleteSubscriptions");
    if (m.Ids.empty()) return Fault(r, UaStatus::BadNothingToDo);
    std::vector<TUaStatusCode> results;
    for (auto id : m.Ids)
        results.push_back(r.Session->Subscriptions.erase(id) ? 0 : UaStatus::BadSubscriptionIdInvalid);
    TUaBinaryWriter w;
    WriteResponseStart(w, UaId::DeleteSubscriptionsResponse, Now(), m.Header.RequestHandle);
    WriteResults(w, results);
    Reply(r, w.Bytes());
    // Publish requests waiting for subscriptions that no longer exist get their answer.
    if (r.Session->Subscriptions.empty()) r.Session->FailPublishRequests(UaStatus::BadNoSubscription);
}

void TUaServer::Publish(TRequest& r, TUaBinaryReader& in) {
    TUaPublishRequest m;
    if (!Decode(in, m)) return r.Channel.Fail(UaStatus::BadDecodingError, "Malformed Publish");
    TUaSession& session = *r.Session;
    TUaSession::TPublishRequest request;
    for (const auto& ack : m.Acknowledgements) {
        TUaSubscription* s = FindSubscription(r, ack.SubscriptionId);
        request.AckResults.push_back(s ? s->Acknowledge(ack.SequenceNumber)
                                       : UaStatus::BadSubscriptionIdInvalid);
    }
    if (session.Subscriptions.empty() && session.StatusChanges.empty())
        return Fault(r, UaStatus::BadNoSubscription);
    request.ChannelId = r.Channel.ChannelId();
    request.RequestId = r.RequestId;
    request.RequestHandle = m.Header.RequestHandle;
    session.AddPublishRequest(std::move(request), TUaSession::MaxPublishRequests);
}

void TUaServer::Republish(TRequest& r, TUaBinaryReader& in) {
    TUaRepublishRequest m;
    if (!Decode(in, m)) return r.Channel.Fail(UaStatus::BadDecodingError, "Malformed Republish");
    TUaSubscription* s = FindSubscription(r, m.SubscriptionId);
    if (!s) return Fault(r, UaStatus::BadSubscriptionIdInvalid);
    std::string message = s->Retained(m.RetransmitSequenceNumber);
    if (message.empty()) return Fault(r, UaStatus::BadMessageNotAvailable);
    TUaBinaryWriter w;
    WriteResponseStart(w, UaId::RepublishResponse, Now(), m.Header.RequestHandle);
    w.Bytes() += message;
    Reply(r, w.Bytes());
}

// ---------------------------------------------------------------- monitored items

TUaStatusCode TUaServer::ItemSettings(const TUaMonitoringParameters& p, const TUaNode& node,
                                      std::uint32_t timestamps, TUaItemSettings& out) const {
    out.ClientHandle = p.ClientHandle;
    out.Timestamps = timestamps;
    out.SamplingInterval = p.SamplingInterval;
    out.QueueSize = p.QueueSize;
    out.DiscardOldest = p.DiscardOldest;
    const TUaExtensionObject& filter = p.Filter;
    if (filter.TypeId.IsNull() && filter.Encoding == 0) return 0;
    if (!filter.TypeId.IsNum(UaId::DataChangeFilter) || filter.Encoding != 1)
        return UaStatus::BadMonitoredItemFilterUnsupported;
    TUaBinaryReader r(filter.Body);
    out.Trigger = r.UInt32();
    const std::uint32_t deadbandType = r.UInt32();
    const double deadband = r.Double();
    if (!r.Ok() || out.Trigger > 2 || deadbandType > 2) return UaStatus::BadMonitoredItemFilterInvalid;
    if (deadbandType == 0) return 0;
    const bool numeric = node.DataType >= UaId::SByte && node.DataType <= UaId::Double;
    if (!numeric) return UaStatus::BadFilterNotAllowed;
    if (!(deadband >= 0) || (deadbandType == 2 && deadband > 100)) return UaStatus::BadDeadbandFilterInvalid;
    out.Deadband = true;
    out.DeadbandValue = deadband;
    if (deadbandType == 2) {
        // Percent of the EURange, which values have from their type's range.
        auto range = TUaAddressSpace::TypeRange(node.DataType);
        if (!range || node.ItemId.empty()) return UaStatus::BadMonitoredItemFilterUnsupported;
        out.DeadbandValue = deadband / 100 * (range->second - range->first);
    }
    return 0;
}

void TUaServer::WriteItemResult(TUaBinaryWriter& w, const TUaSubscription& s, std::uint32_t id) {
    const TUaSubscription::TItem* item = s.Item(id);
    w.Double(item ? item->Sampling : s.PublishingInterval());
    w.UInt32(item ? item->QueueSize : 1);
    w.ExtensionObject({});
}

void TUaServer::CreateMonitoredItems(TRequest& r, TUaBinaryReader& in) {
    TUaCreateMonitoredItemsRequest m;
    if (!Decode(in, m)) return r.Channel.Fail(UaStatus::BadDecodingError, "Malformed CreateMonitoredItems");
    TUaSubscription* s = FindSubscription(r, m.SubscriptionId);
    if (!s) return Fault(r, UaStatus::BadSubscriptionIdInvalid);
    if (m.TimestampsToReturn > 3) return Fault(r, UaStatus::BadTimestampsToReturnInvalid);
    if (m.Items.empty()) return Fault(r, UaStatus::BadNothingToDo);
    if (m.Items.size() > MaxOperationsPerRequest) return Fault(r, UaStatus::BadTooManyOperations);
    TUaBinaryWriter w;
    WriteResponseStart(w, UaId::CreateMonitoredItemsResponse, Now(), m.Header.RequestHandle);
    w.ArrayLength(m.Items.size());
    for (const auto& item : m.Items) {
        TUaStatusCode status = 0;
        std::uint32_t id = 0;
        TUaItemSettings settings;
        auto node = Space_.Find(item.ItemToMonitor.NodeId, r.Session->Backend.get());
        // Standard variables are sampled by the subscription; backend ones by a group.
        const bool standard = node && node->NodeClass == ncVariable && node->Id.Namespace == 0;
        if (!node)
            status = UaStatus::BadNodeIdUnknown;
        else if (item.ItemToMonitor.AttributeId != atValue)
            status = UaStatus::BadAttributeIdInvalid;
        else if (node->ItemId.empty() && !standard)
            status =
                node->NodeClass == ncVariable ? UaStatus::BadNotSupported : UaStatus::BadAttributeIdInvalid;
        else if (item.MonitoringMode > 2)
            status = UaStatus::BadMonitoringModeInvalid;
        else if (!item.ItemToMonitor.IndexRange.empty())
            status = UaStatus::BadIndexRangeInvalid;
        else if (s->ItemCount() >= Config_.MaxMonitoredItemsPerSubscription)
            status = UaStatus::BadTooManyMonitoredItems;
        else if (!(status = ItemSettings(item.Parameters, *node, m.TimestampsToReturn, settings)))
            status =
                s->AddItem(node->ItemId, standard ? node->Id.Numeric : 0, item.MonitoringMode, settings, id);
        w.StatusCode(status);
        w.UInt32(status ? 0 : id);
        WriteItemResult(w, *s, status ? 0 : id);
    }
    w.EmptyArray();
    Reply(r, w.Bytes());
}

void TUaServer::ModifyMonitoredItems(TRequest& r, TUaBinaryReader& in) {
    TUaModifyMonitoredItemsRequest m;
    if (!Decode(in, m)) return r.Channel.Fail(UaStatus::BadDecodingError, "Malformed ModifyMonitoredItems");
    TUaSubscription* s = FindSubscription(r, m.SubscriptionId);
    if (!s) return Fault(r, UaStatus::BadSubscriptionIdInvalid);
    if (m.TimestampsToReturn > 3) return Fault(r, UaStatus::BadTimestampsToReturnInvalid);
    if (m.Items.empty()) return Fault(r, UaStatus::BadNothingToDo);
    TUaBinaryWriter w;
    WriteResponseStart(w, UaId::ModifyMonitoredItemsResponse, Now(), m.Header.RequestHandle);
    w.ArrayLength(m.Items.size());
    for (const auto& item : m.Items) {
        TUaStatusCode status = UaStatus::BadMonitoredItemIdInvalid;
        const TUaSubscription::TItem* existing = s->Item(item.MonitoredItemId);
        std::optional<TUaNode> node;
        if (existing)
            node = existing->StandardId
                       ? Space_.Find(TUaNodeId::Num(existing->StandardId))
                       : Space_.Find(TUaNodeId::Str(existing->ItemId, 1), r.Session->Backend.get());
        TUaItemSettings settings;
        if (node && !(status = ItemSettings(item.Parameters, *node, m.TimestampsToReturn, settings)))
            status = s->ModifyItem(item.MonitoredItemId, settings);
        w.StatusCode(status);
        WriteItemResult(w, *s, status ? 0 : item.MonitoredItemId);
    }
    w.EmptyArray();
    Reply(r, w.Bytes());
}

void TUaServer::SetMonitoringMode(TRequest& r, TUaBinaryReader& in) {
    TUaSetMonitoringModeRequest m;
    if (!Decode(in, m)) return r.Channel.Fail(UaStatus::BadDecodingError, "Malformed SetMonitoringMode");
    TUaSubscription* s = FindSubscription(r, m.SubscriptionId);
    if (!s) return Fault(r, UaStatus::BadSubscriptionIdInvalid);
    if (m.MonitoringMode > 2) return Fault(r, UaStatus::BadMonitoringModeInvalid);
    if (m.MonitoredItemIds.empty()) return Fault(r, UaStatus::BadNothingToDo);
    std::vector<TUaStatusCode> results;
    for (auto id : m.MonitoredItemIds) results.push_back(s->SetMode(id, m.MonitoringMode));
    TUaBinaryWriter w;
    WriteResponseStart(w, UaId::SetMonitoringModeResponse, Now(), m.Header.RequestHandle);
    WriteResults(w, results);
    Reply(r, w.Bytes());
}

void TUaServer::DeleteMonitoredItems(TRequest& r, TUaBinaryReader& in) {
    TUaDeleteMonitoredItemsRequest m;
    if (!Decode(in, m)) return r.Channel.Fail(UaStatus::BadDecodingError, "Malformed DeleteMonitoredItems");
    TUaSubscription* s = FindSubscription(r, m.SubscriptionId);
    if (!s) return Fault(r, UaStatus::BadSubscriptionIdInvalid);
    if (m.MonitoredItemIds.empty()) return Fault(r, UaStatus::BadNothingToDo);
    std::vector<TUaStatusCode> results;
    for (auto id : m.MonitoredItemIds) results.push_back(s->DeleteItem(id));
    TUaBinaryWriter w;
    WriteResponseStart(w, UaId::DeleteMonitoredItemsResponse, Now(), m.Header.RequestHandle);
    WriteResults(w, results);
    Reply(r, w.Bytes());
}

void TUaServer::SetTriggering(TRequest& r, TUaBinaryReader& in) {
    TUaSetTriggeringRequest m;
    if (!Decode(in, m)) return r.Channel.Fail(UaStatus::BadDecodingError, "Malformed SetTriggering");
    TUaSubscription* s = FindSubscription(r, m.SubscriptionId);
    if (!s) return Fault(r, UaStatus::BadSubscriptionIdInvalid);
    if (m.LinksToAdd.empty() && m.LinksToRemove.empty()) return Fault(r, UaStatus::BadNothingToDo);
    if (!s->Item(m.TriggeringItemId)) return Fault(r, UaStatus::BadMonitoredItemIdInvalid);
    std::vector<TUaStatusCode> added, removed;
    for (auto id : m.LinksToAdd) added.push_back(s->Link(m.TriggeringItemId, id, true));
    for (auto id : m.LinksToRemove) removed.push_back(s->Link(m.TriggeringItemId, id, false));
    TUaBinaryWriter w;
    WriteResponseStart(w, UaId::SetTriggeringResponse, Now(), m.Header.RequestHandle);
    WriteResults(w, added);
    WriteResults(w, removed);
    Reply(r, w.Bytes());
}

void TUaServer::TransferSubscriptions(TRequest& r, TUaBinaryReader& in) {
    TUaTransferSubscriptionsRequest m;
    if (!Decode(in, m)) return r.Channel.Fail(UaStatus::BadDecodingError, "Malformed TransferSubscriptions");
    if (m.SubscriptionIds.empty()) return Fault(r, UaStatus::BadNothingToDo);
    TUaSession& target = *r.Session;
    TUaBinaryWriter w;
    WriteResponseStart(w, UaId::TransferSubscriptionsResponse, Now(), m.Header.RequestHandle);
    w.ArrayLength(m.SubscriptionIds.size());
    for (auto id : m.SubscriptionIds) {
        // A client that lost its session takes its subscriptions into the new one; another
        // user's subscriptions stay where they are.
        TUaSession* owner = nullptr;
        for (auto& [key, session] : Sessions_)
            if (session->Subscriptions.count(id)) owner = session.get();
        if (!owner) {
            w.StatusCode(UaStatus::BadSubscriptionIdInvalid);
            w.EmptyArray();
            continue;
        }
        if (owner->User != target.User) {
            Events_.Note("transfer refused", target.Peer,
                         FormatText("OPC UA subscription %s for %s refused: Bad_UserAccessDenied (held by "
                                    "another user)",
                                    {std::to_string(id), target.Peer}));
            w.StatusCode(UaStatus::BadUserAccessDenied);
            w.EmptyArray();
            continue;
        }
        TUaSubscription& subscription = *owner->Subscriptions.at(id);
        if (owner != &target) {
            target.Subscriptions[id] = std::move(owner->Subscriptions.at(id));
            owner->Subscriptions.erase(id);
            owner->NotifyStatusChange(id, subscription.NextSequenceNumber(),
                                      UaStatus::GoodSubscriptionTransferred);
            if (owner->Subscriptions.empty()) owner->FailPublishRequests(UaStatus::BadNoSubscription);
        }
        subscription.MoveTo(target, m.SendInitialValues);
        w.StatusCode(0);
        w.Array(subscription.AvailableSequenceNumbers(), [&](std::uint32_t n) { w.UInt32(n); });
    }
    w.EmptyArray();
    Reply(r, w.Bytes());
}

} // namespace dravon
