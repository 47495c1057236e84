#include "ua/UaSubscription.h"

#include "app/Platform.h"
#include "ua/UaBinaryWriter.h"
#include "ua/UaNodeIds.h"
#include "ua/UaSession.h"
#include "ua/UaStatusCodes.h"

#include <algorithm>
#include <cmath>

namespace dravon {

namespace {

std::optional<double> Number(const TUaScalar& s) {
    if (auto* i = std::get_if<std::int64_t>(&s)) return static_cast<double>(*i);
    if (auto* u = std::get_if<std::uint64_t>(&s)) return static_cast<double>(*u);
    if (auto* d = std::get_if<double>(&s)) return *d;
    return std::nullopt;
}

// Whether a value moved more than the deadband from the last one reported (any element
// of an array; a change of shape or of a value that is no number always counts).
bool BeyondDeadband(const TUaVariant& last, const TUaVariant& now, double deadband) {
    if (last.Values.size() != now.Values.size() || last.Type != now.Type) return true;
    for (std::size_t i = 0; i < now.Values.size(); ++i) {
        auto a = Number(last.Values[i]), b = Number(now.Values[i]);
        if (!a || !b) return !(last == now);
        if (std::fabs(*b - *a) > deadband) return true;
    }
    return false;
}

} // namespace

TUaSubscription::TUaSubscription(TUaSession& session, std::uint32_t id,
                                 std::unique_ptr<IUaBackendGroup> group, std::unique_ptr<ITimer> timer)
    : Session_(&session), Id_(id), Group_(std::move(group)), Timer_(std::move(timer)) {
    Timer_->OnTimer = [this] { OnPublishingTimer(); };
}

TUaSubscription::~TUaSubscription() {
    Timer_->SetEnabled(false);
    Timer_->OnTimer = nullptr;
    // Items first, then the groups, as a DA client releases them.
    for (auto& [id, item] : Items_)
        if (item.Group) item.Group->RemoveItem(item.ServerHandle);
    SamplingGroups_.clear();
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
    for (auto& [id, item] : Items_)
        if (item.Group == Group_.get() || item.StandardId) item.Sampling = Interval_;
    Restart();
}

void TUaSubscription::SetPublishingEnabled(bool enabled) { Enabled_ = enabled; }

IUaBackendGroup* TUaSubscription::GroupFor(double requested, double& revised) {
    if (requested < 0 || requested == Interval_ || !std::isfinite(requested)) {
        revised = Interval_;
        return Group_.get();
    }
    double rate = 0;
    auto group = Session_->Backend->CreateGroup(
        requested, rate, [this](std::vector<TUaItemChange> changes) { OnChanges(std::move(changes)); });
    if (!group) return nullptr;
    revised = rate;
    if (rate == Interval_) return Group_.get();
    for (auto& s : SamplingGroups_)
        if (s.Rate == rate) return s.Group.get(); // the new one goes again
    SamplingGroups_.push_back({std::move(group), rate, 0});
    return SamplingGroups_.back().Group.get();
}

void TUaSubscription::ReleaseGroup(IUaBackendGroup* group) {
    auto it = std::find_if(SamplingGroups_.begin(), SamplingGroups_.end(),
                           [group](const TSamplingGroup& s) { return s.Group.get() == group; });
    if (it != SamplingGroups_.end() && --it->Items == 0) SamplingGroups_.erase(it);
}

TUaStatusCode TUaSubscription::AddItem(const std::string& itemId, std::uint32_t standardId,
                                       std::uint32_t mode, const TUaItemSettings& settings,
                                       std::uint32_t& monitoredItemId) {
    TItem item;
    item.Id = NextItemId_;
    item.Mode = mode;
    item.Settings = settings;
    item.QueueSize = std::clamp<std::uint32_t>(settings.QueueSize, 1, MaxQueueSize);
    item.ItemId = itemId;
    item.StandardId = standardId;
    if (standardId) {
        item.Sampling = Interval_;
        StandardItems_.insert(item.Id);
    } else {
        item.Group = GroupFor(settings.SamplingInterval, item.Sampling);
        if (!item.Group) return UaStatus::BadOutOfMemory;
        TUaStatusCode status = 0;
        // The backend's client handle is our monitored item id; the UA client handle may repeat.
        item.ServerHandle = item.Group->AddItem(itemId, item.Id, mode != 0, status);
        if (item.Group != Group_.get()) {
            ++std::find_if(SamplingGroups_.begin(), SamplingGroups_.end(), [&](const TSamplingGroup& s) {
                  return s.Group.get() == item.Group;
              })->Items;
        }
        if (item.ServerHandle == 0) {
            if (item.Group != Group_.get()) ReleaseGroup(item.Group);
            return status ? status : UaStatus::BadNodeIdUnknown;
        }
    }
    monitoredItemId = NextItemId_++;
    Items_[item.Id] = std::move(item);
    if (standardId && mode != 0) SampleStandardItems(); // the first value goes out at once
    return 0;
}

TUaStatusCode TUaSubscription::ModifyItem(std::uint32_t monitoredItemId, const TUaItemSettings& settings) {
    auto it = Items_.find(monitoredItemId);
    if (it == Items_.end()) return UaStatus::BadMonitoredItemIdInvalid;
    TItem& item = it->second;
    if (!item.StandardId && settings.SamplingInterval != item.Settings.SamplingInterval) {
        // Another interval: the item moves to the group sampling at it.
        double revised = 0;
        IUaBackendGroup* group = GroupFor(settings.SamplingInterval, revised);
        if (group && group != item.Group) {
            TUaStatusCode status = 0;
            std::uint32_t handle = group->AddItem(item.ItemId, item.Id, item.Mode != 0, status);
            if (group != Group_.get())
                ++std::find_if(SamplingGroups_.begin(), SamplingGroups_.end(), [&](const TSamplingGroup& s) {
                      return s.Group.get() == group;
                  })->Items;
            if (handle) {
                item.Group->RemoveItem(item.ServerHandle);
                if (item.Group != Group_.get()) ReleaseGroup(item.Group);
                item.Group = group;
                item.ServerHandle = handle;
                item.Sampling = revised;
            } else if (group != Group_.get()) {
                ReleaseGroup(group);
            }
        }
    }
    item.Settings = settings;
    item.QueueSize = std::clamp<std::uint32_t>(settings.QueueSize, 1, MaxQueueSize);
    auto queued = Pending_.find(item.Id);
    if (queued != Pending_.end())
        while (queued->second.size() > item.QueueSize) queued->second.pop_front();
    return 0;
}

TUaStatusCode TUaSubscription::SetMode(std::uint32_t monitoredItemId, std::uint32_t mode) {
    auto it = Items_.find(monitoredItemId);
    if (it == Items_.end()) return UaStatus::BadMonitoredItemIdInvalid;
    if (mode > 2) return UaStatus::BadMonitoringModeInvalid;
    TItem& item = it->second;
    bool wasActive = item.Mode != 0;
    item.Mode = mode;
    if (mode != 2) Pending_.erase(monitoredItemId);
    if (mode == 0) item.Sampled.reset();
    if (wasActive != (mode != 0) && item.Group) item.Group->SetItemActive(item.ServerHandle, mode != 0);
    return 0;
}

TUaStatusCode TUaSubscription::DeleteItem(std::uint32_t monitoredItemId) {
    auto it = Items_.find(monitoredItemId);
    if (it == Items_.end()) return UaStatus::BadMonitoredItemIdInvalid;
    if (it->second.Group) {
        it->second.Group->RemoveItem(it->second.ServerHandle);
        if (it->second.Group != Group_.get()) ReleaseGroup(it->second.Group);
    }
    Pending_.erase(monitoredItemId);
    StandardItems_.erase(monitoredItemId);
    Items_.erase(it);
    for (auto& [id, other] : Items_) other.Triggered.erase(monitoredItemId);
    return 0;
}

TUaStatusCode TUaSubscription::Link(std::uint32_t triggeringId, std::uint32_t linkedId, bool add) {
    auto it = Items_.find(triggeringId);
    if (it == Items_.end() || !Items_.count(linkedId)) return UaStatus::BadMonitoredItemIdInvalid;
    if (add) {
        it->second.Triggered.insert(linkedId);
        return 0;
    }
    return it->second.Triggered.erase(linkedId) ? 0 : UaStatus::BadMonitoredItemIdInvalid;
}

const TUaSubscription::TItem* TUaSubscription::Item(std::uint32_t monitoredItemId) const {
    auto it = Items_.find(monitoredItemId);
    return it == Items_.end() ? nullptr : &it->second;
}

void TUaSubscription::Queue(TItem& item, TUaBackendValue value) {
    auto& queue = Pending_[item.Id];
    if (queue.size() >= item.QueueSize) {
        if (item.QueueSize == 1) {
            queue.back() = std::move(value);
            return;
        }
        // The queue keeps its size: the oldest (or the newest) value goes, and the value
        // next to the gap tells the client so.
        if (item.Settings.DiscardOldest) {
            queue.pop_front();
            queue.push_back(std::move(value));
            queue.front().Status |= OverflowBits;
        } else {
            queue.back() = std::move(value);
            queue.back().Status |= OverflowBits;
        }
        return;
    }
    queue.push_back(std::move(value));
}

bool TUaSubscription::Offer(TItem& item, TUaBackendValue value) {
    const TUaItemSettings& s = item.Settings;
    if (item.Last) {
        const TUaBackendValue& last = *item.Last;
        bool report = value.Status != last.Status;
        if (!report && s.Trigger != 0)
            report = s.Deadband ? BeyondDeadband(last.Value, value.Value, s.DeadbandValue)
                                : !(last.Value == value.Value);
        if (!report && s.Trigger == 2) report = value.SourceTime != last.SourceTime;
        if (!report) return false;
    }
    item.Last = value;
    if (item.Mode == 1) {
        item.Sampled = std::move(value);
        return false;
    }
    Queue(item, std::move(value));
    return true;
}

void TUaSubscription::ReportLinked(const std::vector<std::uint32_t>& reported) {
    // Items linked to one that reported take their latest sample along with it.
    for (std::uint32_t trigger : reported) {
        for (std::uint32_t id : Items_.at(trigger).Triggered) {
            auto linked = Items_.find(id);
            if (linked == Items_.end() || linked->second.Mode != 1 || !linked->second.Sampled) continue;
            Queue(linked->second, std::move(*linked->second.Sampled));
            linked->second.Sampled.reset();
        }
    }
}

void TUaSubscription::OnChanges(std::vector<TUaItemChange> changes) {
    std::vector<std::uint32_t> triggers;
    for (auto& change : changes) {
        auto it = Items_.find(change.ClientHandle);
        if (it == Items_.end() || it->second.Mode == 0) continue;
        if (Offer(it->second, std::move(change.Value)) && !it->second.Triggered.empty())
            triggers.push_back(it->first);
    }
    ReportLinked(triggers);
}

void TUaSubscription::SampleStandardItems() {
    if (StandardItems_.empty() || !Session_->StandardValue) return;
    const TUaDateTime now = Session_->Now();
    std::vector<std::uint32_t> triggers;
    for (std::uint32_t id : StandardItems_) {
        TItem& item = Items_.at(id);
        if (item.Mode == 0) continue;
        if (Offer(item, {Session_->StandardValue(item.StandardId), 0, now}) && !item.Triggered.empty())
            triggers.push_back(id);
    }
    ReportLinked(triggers);
}

void TUaSubscription::OnPublishingTimer() {
    SampleStandardItems();
    bool ready = HasNotifications();
    if (!ready) {
        ++KeepAliveCounter_;
        ready = FirstCycle_ || KeepAliveCounter_ >= MaxKeepAlive_;
    }
    if (!ready) return;
    if (Session_->HasPublishRequest()) {
        Session_->Publish(*this);
        return;
    }
    Late_ = true;
    if (++LifetimeCounter_ >= LifetimeCount_ && Session_->SubscriptionExpired) {
        Timer_->SetEnabled(false);
        Session_->SubscriptionExpired(Id_);
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
    std::size_t countAt = w.Size();
    w.UInt32(0);
    std::size_t count = 0;
    for (auto it = Pending_.begin(); it != Pending_.end();) {
        const TItem& item = Items_.at(it->first);
        auto& queue = it->second;
        while (!queue.empty() && !(MaxNotifications_ && count >= MaxNotifications_)) {
            w.UInt32(item.Settings.ClientHandle);
            TUaDataValue dv;
            dv.Value = std::move(queue.front().Value);
            dv.Status = queue.front().Status;
            const std::uint32_t ts = item.Settings.Timestamps;
            if (ts == 0 || ts == 2) dv.SourceTimestamp = queue.front().SourceTime;
            if (ts == 1 || ts == 2) dv.ServerTimestamp = now;
            w.DataValue(dv);
            queue.pop_front();
            ++count;
        }
        if (!queue.empty()) {
            more = true;
            break;
        }
        it = Pending_.erase(it);
    }
    w.PatchUInt32(countAt, static_cast<std::uint32_t>(count));
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

void TUaSubscription::MoveTo(TUaSession& session, bool sendInitialValues) {
    Session_ = &session;
    Late_ = false;
    LifetimeCounter_ = 0;
    if (!sendInitialValues) return;
    for (auto& [id, item] : Items_)
        if (item.Mode == 2 && item.Last && !Pending_.count(id)) Queue(item, *item.Last);
}

} // namespace dravon
