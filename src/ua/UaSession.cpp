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
    bool more = false;
    const TUaDateTime now = Now();
    // Taken first: the message joins the sequence numbers still available.
    const std::string message = subscription.TakeNotificationMessage(now, more);
    AnswerPublish(subscription.Id(), subscription.AvailableSequenceNumbers(), more, message, now);
    // Queued notifications beyond the per-publish limit go out with the next request.
    if (more) subscription.OnPublishingTimer();
}

void TUaSession::AnswerPublish(std::uint32_t subscriptionId, const std::vector<std::uint32_t>& available,
                               bool more, const std::string& message, TUaDateTime now) {
    TPublishRequest request = std::move(PublishQueue.front());
    PublishQueue.pop_front();
    TUaBinaryWriter w;
    WriteResponseStart(w, UaId::PublishResponse, now, request.RequestHandle);
    w.UInt32(subscriptionId);
    w.Array(available, [&](std::uint32_t n) { w.UInt32(n); });
    w.Boolean(more);
    w.Bytes() += message;
    WriteResults(w, request.AckResults);
    if (Send) Send(request.ChannelId, request.RequestId, request.RequestHandle, w.Bytes());
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
        const TUaDateTime now = Now();
        TUaBinaryWriter m;
        // The subscription's next sequence number, not used up (as by a keep-alive).
        m.UInt32(change.Sequence);
        m.DateTime(now);
        m.ArrayLength(1);
        m.NodeId(TUaNodeId::Num(UaId::StatusChangeNotification));
        m.Byte(1);
        m.UInt32(5);
        m.StatusCode(change.Status);
        m.Byte(0); // no DiagnosticInfo
        // Nothing of the subscription is kept here for Republish.
        AnswerPublish(change.SubscriptionId, {}, false, m.Bytes(), now);
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
