#include "ua/UaSession.h"

#include "app/ServerContext.h"
#include "app/TimeDate.h"
#include "ua/UaAddressSpace.h"
#include "ua/UaMessages.h"
#include "ua/UaNodeIds.h"
#include "ua/UaStatusCodes.h"

namespace dravon {

TUaSession::TUaSession(TServerContext& context, std::uint32_t number, std::string name, double timeoutMs)
    : Context(context), Name(std::move(name)), TimeoutMs(timeoutMs) {
    SessionId = TUaNodeId::Num(number, 1);
    LastActivity = context.Clock->TickCount();
}

TUaSession::~TUaSession() {
    // Subscriptions (groups) go before the server object that owns them.
    Subscriptions.clear();
    Backend.reset();
}

TUaDateTime TUaSession::Now() const {
    return static_cast<TUaDateTime>(
        DateTimeToFileTime(Context.Clock->Now(), Context.Clock->TimeZoneBiasMinutes()));
}

void TUaSession::Publish(TUaSubscription& subscription) {
    if (PublishQueue.empty()) return;
    TPublishRequest request = std::move(PublishQueue.front());
    PublishQueue.pop_front();
    bool more = false;
    TUaDateTime now = Now();
    std::string message = subscription.TakeNotificationMessage(now, more);
    TUaBinaryWriter w;
    WriteResponseStart(w, UaId::PublishResponse, now, request.RequestHandle);
    w.UInt32(subscription.Id());
    w.Array(subscription.AvailableSequenceNumbers(), [&](std::uint32_t n) { w.UInt32(n); });
    w.Boolean(more);
    w.Bytes() += message;
    WriteResults(w, request.AckResults);
    if (Send) Send(request.ChannelId, request.RequestId, request.RequestHandle, w.Bytes());
    // Queued notifications beyond the per-publish limit go out with the next request.
    if (more) subscription.OnPublishingTimer();
}

void TUaSession::AddPublishRequest(TPublishRequest request, std::uint32_t maxQueued) {
    PublishQueue.push_back(std::move(request));
    while (PublishQueue.size() > maxQueued) {
        TPublishRequest oldest = std::move(PublishQueue.front());
        PublishQueue.pop_front();
        if (Send)
            Send(oldest.ChannelId, oldest.RequestId, oldest.RequestHandle,
                 EncodeServiceFault(Now(), oldest.RequestHandle, UaStatus::BadTooManyPublishRequests));
    }
    SendStatusChanges();
    for (auto& [id, subscription] : Subscriptions) {
        subscription->ResetLifetime();
        if (subscription->IsLate() && HasPublishRequest()) Publish(*subscription);
    }
}

void TUaSession::NotifyStatusChange(std::uint32_t subscriptionId, std::uint32_t sequence,
                                    TUaStatusCode status) {
    std::erase_if(StatusChanges, [&](const TStatusChange& c) { return c.SubscriptionId == subscriptionId; });
    StatusChanges.push_back({subscriptionId, sequence, status});
    if (StatusChanges.size() > MaxStatusChanges) StatusChanges.pop_front();
    SendStatusChanges();
}

void TUaSession::SendStatusChanges() {
    while (!StatusChanges.empty() && !PublishQueue.empty()) {
        const TStatusChange change = StatusChanges.front();
        StatusChanges.pop_front();
        TPublishRequest request = std::move(PublishQueue.front());
        PublishQueue.pop_front();
        const TUaDateTime now = Now();
        TUaBinaryWriter w;
        WriteResponseStart(w, UaId::PublishResponse, now, request.RequestHandle);
        w.UInt32(change.SubscriptionId);
        w.EmptyArray(); // nothing of it is kept here for Republish
        w.Boolean(false);
        // The subscription's next sequence number, not used up (as by a keep-alive).
        w.UInt32(change.Sequence);
        w.DateTime(now);
        w.ArrayLength(1);
        w.NodeId(TUaNodeId::Num(UaId::StatusChangeNotification));
        w.Byte(1);
        w.UInt32(5);
        w.StatusCode(change.Status);
        w.Byte(0); // no DiagnosticInfo
        WriteResults(w, request.AckResults);
        if (Send) Send(request.ChannelId, request.RequestId, request.RequestHandle, w.Bytes());
    }
}

void TUaSession::FailPublishRequests(TUaStatusCode status) {
    while (!PublishQueue.empty()) {
        TPublishRequest request = std::move(PublishQueue.front());
        PublishQueue.pop_front();
        if (Send)
            Send(request.ChannelId, request.RequestId, request.RequestHandle,
                 EncodeServiceFault(Now(), request.RequestHandle, status));
    }
}

} // namespace dravon
