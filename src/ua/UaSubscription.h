// One UA subscription. Monitored items on PLC, server and status variables are items of
// backend groups (OPC groups): the subscription's own group samples at the publishing
// interval, and each other sampling interval a client asks for gets a group of its own.
// Items on the standard Server variables are sampled here at each publishing interval.
// Sampled values pass the item's DataChangeFilter into its queue (queue size and
// discard policy as asked), and wait there until the publishing interval comes round and
// the session has a Publish request to answer. Keep-alives, the lifetime count and a
// bounded retransmission queue follow the standard.
#pragma once

#include "ua/UaBackend.h"
#include "ua/UaTypes.h"

#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <set>

namespace dravon {

class ITimer;
class TUaSession;

// What a client asks of a monitored item, checked by the service.
struct TUaItemSettings {
    std::uint32_t ClientHandle = 0;
    std::uint32_t Timestamps = 0; // TimestampsToReturn
    std::uint32_t Trigger = 1;    // DataChangeFilter trigger: 0 Status, 1 StatusValue, 2 +Timestamp
    bool Deadband = false;        // an absolute deadband of DeadbandValue
    double DeadbandValue = 0;     // a percent deadband arrives converted over the EURange
    double SamplingInterval = -1; // requested; negative: the publishing interval
    std::uint32_t QueueSize = 1;  // requested
    bool DiscardOldest = true;
};

class TUaSubscription {
public:
    struct TItem {
        std::uint32_t Id = 0;
        std::uint32_t ServerHandle = 0; // in its backend group
        std::uint32_t Mode = 2;         // 0 disabled, 1 sampling, 2 reporting
        TUaItemSettings Settings;
        double Sampling = 0;         // revised sampling interval
        std::uint32_t QueueSize = 1; // revised
        std::string ItemId;
        std::uint32_t StandardId = 0; // a namespace-0 variable sampled here
        IUaBackendGroup* Group = nullptr;
        std::optional<TUaBackendValue> Last;    // last value that passed the filter
        std::optional<TUaBackendValue> Sampled; // sampling mode: the latest sample, unreported
        std::set<std::uint32_t> Triggered;      // SetTriggering links to other items
    };

    static constexpr std::size_t RetransmissionQueueSize = 32;
    static constexpr double MinPublishingInterval = 50;
    static constexpr std::uint32_t MaxQueueSize = 1000;
    // InfoBits of a DataValue whose queue dropped values.
    static constexpr TUaStatusCode OverflowBits = 0x480;

    TUaSubscription(TUaSession& session, std::uint32_t id, std::unique_ptr<IUaBackendGroup> group,
                    std::unique_ptr<ITimer> timer);
    ~TUaSubscription();

    std::uint32_t Id() const { return Id_; }
    double PublishingInterval() const { return Interval_; }
    std::uint32_t LifetimeCount() const { return LifetimeCount_; }
    std::uint32_t MaxKeepAliveCount() const { return MaxKeepAlive_; }
    bool PublishingEnabled() const { return Enabled_; }

    // Revises and applies the parameters (interval by the group rule, lifetime at least
    // three keep-alive periods).
    void Configure(double interval, std::uint32_t lifetime, std::uint32_t keepAlive,
                   std::uint32_t maxNotifications);
    void SetPublishingEnabled(bool enabled);

    // Monitored items: an item ID of the backend, or a standard variable (standardId).
    TUaStatusCode AddItem(const std::string& itemId, std::uint32_t standardId, std::uint32_t mode,
                          const TUaItemSettings& settings, std::uint32_t& monitoredItemId);
    TUaStatusCode ModifyItem(std::uint32_t monitoredItemId, const TUaItemSettings& settings);
    TUaStatusCode SetMode(std::uint32_t monitoredItemId, std::uint32_t mode);
    TUaStatusCode DeleteItem(std::uint32_t monitoredItemId);
    // SetTriggering: links reported along with the triggering item.
    TUaStatusCode Link(std::uint32_t triggeringId, std::uint32_t linkedId, bool add);
    const TItem* Item(std::uint32_t monitoredItemId) const;
    std::size_t ItemCount() const { return Items_.size(); }

    // Backend group report (client handles are monitored item ids).
    void OnChanges(std::vector<TUaItemChange> changes);
    // Samples the standard variables now (the publishing timer does so each interval).
    void SampleStandardItems();
    // The publishing timer.
    void OnPublishingTimer();
    // A Publish request arrived: answer at once if something is waiting.
    bool IsLate() const { return Late_; }
    bool HasNotifications() const { return Enabled_ && !Pending_.empty(); }
    // Builds the next NotificationMessage (data or keep-alive) for a Publish response;
    // `more` tells whether notifications stay queued.
    std::string TakeNotificationMessage(TUaDateTime now, bool& more);
    // Acknowledgement of a sent message: Good or Bad_SequenceNumberUnknown.
    TUaStatusCode Acknowledge(std::uint32_t sequenceNumber);
    // Republish: the retained message, or empty when it is gone.
    std::string Retained(std::uint32_t sequenceNumber) const;
    std::vector<std::uint32_t> AvailableSequenceNumbers() const;
    std::uint32_t NextSequenceNumber() const { return NextSequence_; }
    void ResetLifetime() { LifetimeCounter_ = 0; }
    // TransferSubscriptions: the subscription now belongs to another session; with
    // initial values, every reporting item's last value is queued again.
    void MoveTo(TUaSession& session, bool sendInitialValues);

private:
    struct TSamplingGroup {
        std::unique_ptr<IUaBackendGroup> Group;
        double Rate = 0;
        std::size_t Items = 0;
    };

    // The group sampling at a requested interval (the subscription's own for negative).
    IUaBackendGroup* GroupFor(double requested, double& revised);
    void ReleaseGroup(IUaBackendGroup* group);
    // Applies the filter and queues the value (sampling mode: keeps it); true when queued.
    bool Offer(TItem& item, TUaBackendValue value);
    void ReportLinked(const std::vector<std::uint32_t>& reported);
    void Queue(TItem& item, TUaBackendValue value);
    void Restart();

    TUaSession* Session_;
    std::uint32_t Id_;
    std::unique_ptr<IUaBackendGroup> Group_;
    std::unique_ptr<ITimer> Timer_;
    std::vector<TSamplingGroup> SamplingGroups_;
    double Interval_ = 1000;
    std::uint32_t LifetimeCount_ = 10000;
    std::uint32_t MaxKeepAlive_ = 10;
    std::uint32_t MaxNotifications_ = 0;
    bool Enabled_ = true;

    std::map<std::uint32_t, TItem> Items_;
    std::set<std::uint32_t> StandardItems_;
    std::uint32_t NextItemId_ = 1;
    // A monitored item's queue. A std::deque would take a 512-byte block for the one value
    // most items queue (10 000 items: 6 MB); this grows only to the values it holds.
    class TValueQueue {
    public:
        std::size_t size() const { return Values_.size() - Head_; }
        bool empty() const { return Head_ == Values_.size(); }
        TUaBackendValue& front() { return Values_[Head_]; }
        TUaBackendValue& back() { return Values_.back(); }
        void pop_front() {
            if (++Head_ < Values_.size()) return;
            Values_.clear();
            Head_ = 0;
        }
        void push_back(TUaBackendValue value) {
            if (Head_ && Head_ * 2 >= Values_.size()) { // amortised: half the block is spent
                Values_.erase(Values_.begin(), Values_.begin() + static_cast<std::ptrdiff_t>(Head_));
                Head_ = 0;
            }
            Values_.push_back(std::move(value));
        }

    private:
        std::vector<TUaBackendValue> Values_;
        std::size_t Head_ = 0;
    };
    // Values waiting to be published, per monitored item.
    std::map<std::uint32_t, TValueQueue> Pending_;

    std::uint32_t KeepAliveCounter_ = 0;
    std::uint32_t LifetimeCounter_ = 0;
    bool Late_ = false;
    bool FirstCycle_ = true;
    std::uint32_t NextSequence_ = 1;
    std::deque<std::pair<std::uint32_t, std::string>> Retransmission_;
};

} // namespace dravon
