#include "ua/UaSubscription.h"

#include "app/Platform.h"
#include "ua/UaBinaryWriter.h"
#include "ua/UaNodeIds.h"
#include "ua/UaSession.h"
#include "ua/UaStatusCodes.h"

#include <algorithm>
#include <cmath>

namespace dravon {

TUaSubscription::TUaSubscription(TUaSession& session, std::uint32_t id,
                                 std::unique_ptr<IUaBackendGroup> group, std::unique_ptr<ITimer> timer)
    : Session_(session), Id_(id), Group_(std::move(group)), Timer_(std::move(timer)) {
    Timer_->OnTimer = [this] { OnPublishingTimer(); };
}

TUaSubscription::~TUaSubscription() {
    Timer_->SetEnabled(false);
    Timer_->OnTimer = nullptr;
    // Items first, then the group, as a DA client releases them.
    for (auto& [id, item] : Items_) Group_->RemoveItem(item.ServerHandle);
    Group_.reset();
}

void TUaSubscription::Restart() {
    Timer_->SetEnabled(false);
    Timer_->SetInterval(static_cast<std::uint32_t>(Interval_));
    Timer_->SetEnabled(true);
}

void TUaSubscription::Configure(double interval, std::uint32_t lifetime, std::uint32_t keepAlive,
                                std::uint32_t maxNotifications) {
    if (!(interval >= MinPublishingInterval) || !std::isfinite(interval)) interval = MinPublishingInterval;
    interval = std::min(interval, 3600000.0);
    // The group's revision rule decides the rate actually used.
    Interval_ = std::max(std::ceil(Group_->SetUpdateRate(interval)), MinPublishingInterval);
    MaxKeepAlive_ = std::clamp<std::uint32_t>(keepAlive ? keepAlive : 10, 1, 10000);
    LifetimeCount_ = std::clamp<std::uint32_t>(lifetime ? lifetime : 10000, 3 * MaxKeepAlive_, 100000);
    MaxNotifications_ = maxNotifications;
    Restart();
}

void TUaSubscription::SetPublishingEnabled(bool enabled) { Enabled_ = enabled; }

TUaStatusCode TUaSubscription::AddItem(const std::string& itemId, std::uint32_t clientHandle,
                                       std::uint32_t mode, std::uint32_t timestamps, std::uint32_t trigger,
                                       std::uint32_t& monitoredItemId) {
    TItem item;
    item.Id = NextItemId_++;
    item.ClientHandle = clientHandle;
    item.Mode = mode;
    item.Timestamps = timestamps;
    item.Trigger = trigger;
    item.ItemId = itemId;
    TUaStatusCode status = 0;
    // The backend's client handle is our monitored item id; the UA client handle may repeat.
    item.ServerHandle = Group_->AddItem(itemId, item.Id, mode != 0, status);
    if (item.ServerHandle == 0) return status ? status : UaStatus::BadNodeIdUnknown;
    monitoredItemId = item.Id;
    Items_[item.Id] = item;
    return 0;
}

TUaStatusCode TUaSubscription::ModifyItem(std::uint32_t monitoredItemId, std::uint32_t clientHandle,
                                          std::uint32_t timestamps, std::uint32_t trigger) {
    auto it = Items_.find(monitoredItemId);
    if (it == Items_.end()) return UaStatus::BadMonitoredItemIdInvalid;
    it->second.ClientHandle = clientHandle;
    it->second.Timestamps = timestamps;
    it->second.Trigger = trigger;
    return 0;
}

TUaStatusCode TUaSubscription::SetMode(std::uint32_t monitoredItemId, std::uint32_t mode) {
    auto it = Items_.find(monitoredItemId);
    if (it == Items_.end()) return UaStatus::BadMonitoredItemIdInvalid;
    if (mode > 2) return UaStatus::BadMonitoringModeInvalid;
    bool wasActive = it->second.Mode != 0;
    it->second.Mode = mode;
    if (mode != 2) Pending_.erase(monitoredItemId);
    if (wasActive != (mode != 0)) Group_->SetItemActive(it->second.ServerHandle, mode != 0);
    return 0;
}

TUaStatusCode TUaSubscription::DeleteItem(std::uint32_t monitoredItemId) {
    auto it = Items_.find(monitoredItemId);
    if (it == Items_.end()) return UaStatus::BadMonitoredItemIdInvalid;
    Group_->RemoveItem(it->second.ServerHandle);
    Pending_.erase(monitoredItemId);
    Items_.erase(it);
    return 0;
}

void TUaSubscription::OnChanges(std::vector<TUaItemChange> changes) {
    for (auto& change : changes) {
        auto it = Items_.find(change.ClientHandle);
        if (it == Items_.end() || it->second.Mode != 2) continue;
        TItem& item = it->second;
        // Trigger Status: only a change of status is reported.
        if (item.Trigger == 0 && item.LastStatus && *item.LastStatus == change.Value.Status) continue;
        item.LastStatus = change.Value.Status;
        Pending_[item.Id] = std::move(change.Value);
    }
}

void TUaSubscription::OnPublishingTimer() {
    bool ready = HasNotifications();
    if (!ready) {
        ++KeepAliveCounter_;
        ready = FirstCycle_ || KeepAliveCounter_ >= MaxKeepAlive_;
    }
    if (!ready) return;
    if (Session_.HasPublishRequest()) {
        Session_.Publish(*this);
        return;
    }
    Late_ = true;
    if (++LifetimeCounter_ >= LifetimeCount_ && Session_.SubscriptionExpired) {
        Timer_->SetEnabled(false);
        Session_.SubscriptionExpired(Id_);
    }
}

std::string TUaSubscription::TakeNotificationMessage(TUaDateTime now, bool& more) {
    Late_ = false;
    FirstCycle_ = false;
    KeepAliveCounter_ = 0;
    LifetimeCounter_ = 0;
    more = false;
    TUaBinaryWriter w;
    if (!HasNotifications()) {
        // A keep-alive carries the next sequence number without using it.
        w.UInt32(NextSequence_);
        w.DateTime(now);
        w.EmptyArray();
        return w.Take();
    }
    std::uint32_t sequence = NextSequence_++;
    if (NextSequence_ == 0) NextSequence_ = 1;
    w.UInt32(sequence);
    w.DateTime(now);
    w.ArrayLength(1);
    w.NodeId(TUaNodeId::Num(UaId::DataChangeNotification));
    w.Byte(1);
    std::size_t lengthAt = w.Size();
    w.UInt32(0);
    std::size_t count = Pending_.size();
    if (MaxNotifications_ && count > MaxNotifications_) {
        count = MaxNotifications_;
        more = true;
    }
    w.ArrayLength(count);
    auto it = Pending_.begin();
    for (std::size_t i = 0; i < count; ++i, it = Pending_.erase(it)) {
        const TItem& item = Items_.at(it->first);
        w.UInt32(item.ClientHandle);
        TUaDataValue dv;
        dv.Value = std::move(it->second.Value);
        dv.Status = it->second.Status;
        if (item.Timestamps == 0 || item.Timestamps == 2) dv.SourceTimestamp = it->second.SourceTime;
        if (item.Timestamps == 1 || item.Timestamps == 2) dv.ServerTimestamp = now;
        w.DataValue(dv);
    }
    w.EmptyArray(); // diagnostic infos
    w.PatchUInt32(lengthAt, static_cast<std::uint32_t>(w.Size() - lengthAt - 4));
    Retransmission_.emplace_back(sequence, w.Bytes());
    while (Retransmission_.size() > RetransmissionQueueSize) Retransmission_.pop_front();
    return w.Take();
}

TUaStatusCode TUaSubscription::Acknowledge(std::uint32_t sequenceNumber) {
    for (auto it = Retransmission_.begin(); it != Retransmission_.end(); ++it) {
        if (it->first == sequenceNumber) {
            Retransmission_.erase(it);
            return 0;
        }
    }
    return UaStatus::BadSequenceNumberUnknown;
}

std::string TUaSubscription::Retained(std::uint32_t sequenceNumber) const {
    for (const auto& [sequence, message] : Retransmission_)
        if (sequence == sequenceNumber) return message;
    return {};
}

std::vector<std::uint32_t> TUaSubscription::AvailableSequenceNumbers() const {
    std::vector<std::uint32_t> out;
    for (const auto& entry : Retransmission_) out.push_back(entry.first);
    return out;
}

} // namespace dravon
