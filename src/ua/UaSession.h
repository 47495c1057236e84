// One UA session: its backend server object (which counts in "Clients connected" and
// writes the client log lines), its subscriptions, its queue of Publish requests and its
// browse continuation points.
#pragma once

#include "ua/UaAddressSpace.h"
#include "ua/UaBackend.h"
#include "ua/UaSubscription.h"
#include "ua/UaTypes.h"

#include <deque>
#include <functional>
#include <map>
#include <memory>

namespace dravon {

struct TServerContext;
struct TUaReference;

class TUaSession {
public:
    struct TPublishRequest {
        std::uint32_t ChannelId = 0;
        std::uint32_t RequestId = 0;
        std::uint32_t RequestHandle = 0;
        std::vector<TUaStatusCode> AckResults;
    };
    // A StatusChangeNotification owed to the client: its subscription went to another
    // session (Good_SubscriptionTransferred) or ran out of lifetime (Bad_Timeout).
    struct TStatusChange {
        std::uint32_t SubscriptionId = 0;
        std::uint32_t Sequence = 0;
        TUaStatusCode Status = 0;
    };
    struct TContinuation {
        std::vector<TUaReference> References;
        std::size_t MaxReferences = 0; // the page size the Browse asked for
        std::uint32_t ResultMask = 0;
    };

    static constexpr std::size_t MaxPublishRequests = 16;
    static constexpr std::size_t MaxContinuationPoints = 16;
    // A client that never publishes on an old session cannot make it hoard notices.
    static constexpr std::size_t MaxStatusChanges = 64;

    TUaSession(TServerContext& context, std::uint32_t number, std::string name, double timeoutMs);
    ~TUaSession();

    TServerContext& Context;
    TUaNodeId SessionId;
    TUaNodeId AuthenticationToken;
    std::string Name;
    // Address of the client, for log lines.
    std::string Peer;
    double TimeoutMs;
    std::uint32_t LastActivity = 0;
    std::uint32_t ChannelId = 0;
    // Until activated a session holds no server object and expires quickly.
    bool Activated = false;
    bool ReadOnly = false;
    // The user who activated the session, empty for anonymous: subscriptions move only
    // between sessions of the same user.
    std::string User;
    // The nonce the client signs (and encrypts a password with) at the next activation.
    std::string ServerNonce;
    // The certificate of the secured channel the session was created on.
    std::string ClientCertificate;
    std::unique_ptr<IUaBackendSession> Backend;
    std::map<std::uint32_t, std::unique_ptr<TUaSubscription>> Subscriptions;
    std::deque<TPublishRequest> PublishQueue;
    std::deque<TStatusChange> StatusChanges;
    std::map<std::string, TContinuation> ContinuationPoints;
    std::uint32_t NextContinuation = 1;

    // Sends a response body on a channel (installed by the server).
    std::function<void(std::uint32_t channelId, std::uint32_t requestId, std::uint32_t handle,
                       const std::string& body)>
        Send;
    // Value of a standard (namespace-0) variable, for the items that monitor one.
    std::function<TUaVariant(std::uint32_t)> StandardValue;
    // A subscription ran out of lifetime; the server deletes it later.
    std::function<void(std::uint32_t subscriptionId)> SubscriptionExpired;

    bool HasPublishRequest() const { return !PublishQueue.empty(); }
    // Answers the oldest Publish request with the subscription's next message.
    void Publish(TUaSubscription& subscription);
    // Queues a Publish request and answers it at once when a subscription is late.
    void AddPublishRequest(TPublishRequest request, std::uint32_t maxQueued);
    // Owes the client a status change for a subscription it no longer holds; the next
    // Publish request carries it (one a subscription: the latest counts).
    void NotifyStatusChange(std::uint32_t subscriptionId, std::uint32_t sequence, TUaStatusCode status);
    // Answers every queued Publish request with a fault (channel gone, session closing).
    void FailPublishRequests(TUaStatusCode status);
    TUaDateTime Now() const;

private:
    void SendStatusChanges();
    // Answers the oldest Publish request (there must be one) with a notification message.
    void AnswerPublish(std::uint32_t subscriptionId, const std::vector<std::uint32_t>& available, bool more,
                       const std::string& message, TUaDateTime now);
};

} // namespace dravon
