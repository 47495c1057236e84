// One UA subscription = one backend group. Monitored items are the group's items; the
// group cycle reports changes, which wait here (last value per item, as in DA) until the
// publishing interval comes round and the session has a Publish request to answer.
// Keep-alives, the lifetime count and a bounded retransmission queue follow the standard.
#pragma once

#include "ua/UaBackend.h"
#include "ua/UaTypes.h"

#include <deque>
#include <map>
#include <memory>
#include <optional>

namespace dravon {

class ITimer;
class TUaSession;

class TUaSubscription {
public:
    struct TItem {
        std::uint32_t Id = 0;
        std::uint32_t ClientHandle = 0;
        std::uint32_t ServerHandle = 0; // in the backend group
        std::uint32_t Mode = 2;         // 0 disabled, 1 sampling, 2 reporting
        std::uint32_t Timestamps = 0;   // TimestampsToReturn
        std::uint32_t Trigger = 1;      // DataChangeFilter trigger
        std::string ItemId;
        std::optional<TUaStatusCode> LastStatus;
    };

    static constexpr std::size_t RetransmissionQueueSize = 32;
    static constexpr double MinPublishingInterval = 50;

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

    // Monitored items.
    TUaStatusCode AddItem(const std::string& itemId, std::uint32_t clientHandle, std::uint32_t mode,
                          std::uint32_t timestamps, std::uint32_t trigger, std::uint32_t& monitoredItemId);
    TUaStatusCode ModifyItem(std::uint32_t monitoredItemId, std::uint32_t clientHandle,
                             std::uint32_t timestamps, std::uint32_t trigger);
    TUaStatusCode SetMode(std::uint32_t monitoredItemId, std::uint32_t mode);
    TUaStatusCode DeleteItem(std::uint32_t monitoredItemId);
    std::size_t ItemCount() const { return Items_.size(); }

    // Backend group report.
    void OnChanges(std::vector<TUaItemChange> changes);
    // The publishing timer.
    void OnPublishingTimer();
    // A Publish request arrived: answer at once if something is waiting.
    bool IsLate() const { return Late_; }
    // Builds the next NotificationMessage (data or keep-alive) for a Publish response;
    // `more` tells whether notifications stay queued.
    std::string TakeNotificationMessage(TUaDateTime now, bool& more);
    // Acknowledgement of a sent message: Good or Bad_SequenceNumberUnknown.
    TUaStatusCode Acknowledge(std::uint32_t sequenceNumber);
    // Republish: the retained message, or empty when it is gone.
    std::string Retained(std::uint32_t sequenceNumber) const;
    std::vector<std::uint32_t> AvailableSequenceNumbers() const;
    void ResetLifetime() { LifetimeCounter_ = 0; }

private:
    bool HasNotifications() const { return Enabled_ && !Pending_.empty(); }
    void Restart();

    TUaSession& Session_;
    std::uint32_t Id_;
    std::unique_ptr<IUaBackendGroup> Group_;
    std::unique_ptr<ITimer> Timer_;
    double Interval_ = 1000;
    std::uint32_t LifetimeCount_ = 10000;
    std::uint32_t MaxKeepAlive_ = 10;
    std::uint32_t MaxNotifications_ = 0;
    bool Enabled_ = true;

    std::map<std::uint32_t, TItem> Items_;
    std::uint32_t NextItemId_ = 1;
    // Last reported value per monitored item, waiting to be published.
    std::map<std::uint32_t, TUaBackendValue> Pending_;

    std::uint32_t KeepAliveCounter_ = 0;
    std::uint32_t LifetimeCounter_ = 0;
    bool Late_ = false;
    bool FirstCycle_ = true;
    std::uint32_t NextSequence_ = 1;
    std::deque<std::pair<std::uint32_t, std::string>> Retransmission_;
};

} // namespace dravon
