// The endpoint's connections: accepts them within the limits (channels in all, channels
// per peer address; a refused one gets Error Bad_TcpServerTooBusy), runs one TUaChannel
// per connection, closes channels whose state lasted too long, and logs what it refuses
// or drops through the event log.
#pragma once

#include "ua/UaChannel.h"
#include "ua/UaConfig.h"
#include "ua/UaSecurityPolicy.h"
#include "ua/UaSocket.h"

#include <functional>
#include <map>
#include <memory>

namespace dravon {

struct TServerContext;
class TUaEventLog;

class TUaConnections {
public:
    TUaConnections(TServerContext& context, const TUaConfig& config, TUaEventLog& events);
    ~TUaConnections();
    TUaConnections(const TUaConnections&) = delete;
    TUaConnections& operator=(const TUaConnections&) = delete;

    // A complete request on a channel.
    std::function<void(TUaChannel& channel, std::uint32_t requestId, std::string_view body)> OnRequest;
    // A channel closed (called before it is freed from the loop).
    std::function<void(std::uint32_t channelId)> OnChannelClosed;
    // Whether a session is bound to the channel: an open channel without one that stays
    // silent for the session time-out is closed.
    std::function<bool(std::uint32_t channelId)> HasSession;
    // The security policies channels may open with (None only unless set).
    TUaSecurityPolicyFactory Policies = UaNoneOnlyPolicy;

    void Accept(std::unique_ptr<IUaSocket> socket);
    TUaChannel* Find(std::uint32_t channelId);
    void CheckTimeouts();
    void CloseAll();
    std::size_t Count() const { return Channels_.size(); }

private:
    TServerContext& Context_;
    const TUaConfig& Config_;
    TUaEventLog& Events_;
    std::map<std::uint32_t, std::unique_ptr<TUaChannel>> Channels_;
    std::uint32_t NextChannelId_ = 1;
    // Posted work checks this before touching the object: it may be gone by then.
    std::shared_ptr<bool> Alive_ = std::make_shared<bool>(true);
};

} // namespace dravon
