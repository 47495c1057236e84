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
    for (auto& [id, subscription] : Subscriptions) {
        subscription->ResetLifetime();
        if (subscription->IsLate() && HasPublishRequest()) Publish(*subscription);
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
