#include "ua/UaConnections.h"

#include "app/Platform.h"
#include "app/ServerContext.h"
#include "app/TextFormat.h"
#include "ua/UaBinaryWriter.h"
#include "ua/UaEventLog.h"
#include "ua/UaStatusCodes.h"
#include "ua/UaStatusNames.h"

#include <vector>

namespace dravon {

TUaConnections::TUaConnections(TServerContext& context, const TUaConfig& config, TUaEventLog& events)
    : Context_(context), Config_(config), Events_(events) {}

TUaConnections::~TUaConnections() {
    *Alive_ = false;
    CloseAll();
    Channels_.clear();
}

void TUaConnections::Accept(std::unique_ptr<IUaSocket> socket) {
    std::string peer = socket->PeerAddress();
    std::size_t fromPeer = 0;
    for (const auto& [id, channel] : Channels_) fromPeer += channel->PeerAddress() == peer;
    const char* refusal = nullptr;
    std::uint32_t limit = 0;
    if (Channels_.size() >= Config_.MaxChannels()) {
        refusal = "OPC UA connection from %s refused: %s connections open (the most)";
        limit = Config_.MaxChannels();
    } else if (fromPeer >= Config_.MaxChannelsPerAddress) {
        refusal = "OPC UA connection from %s refused: %s connections open from this address (the most)";
        limit = Config_.MaxChannelsPerAddress;
    }
    if (refusal) {
        TUaBinaryWriter w;
        w.Bytes() = "ERRF";
        w.UInt32(0);
        w.StatusCode(UaStatus::BadTcpServerTooBusy);
        w.String("Too many connections");
        w.PatchUInt32(4, static_cast<std::uint32_t>(w.Size()));
        socket->OnReceived = nullptr;
        socket->OnDisconnected = nullptr;
        socket->Write(w.Bytes());
        socket->Close();
        Events_.Note("refused", peer, FormatText(refusal, {peer, std::to_string(limit)}));
        return;
    }
    std::uint32_t id = NextChannelId_++;
    if (NextChannelId_ == 0) NextChannelId_ = 1;
    auto channel = std::make_unique<TUaChannel>(std::move(socket), Config_, *Context_.Clock, id, Policies);
    TUaChannel* raw = channel.get();
    channel->OnRequest = [this, raw](std::uint32_t requestId, std::string_view body) {
        if (OnRequest) OnRequest(*raw, requestId, body);
    };
    channel->OnError = [this, peer](TUaStatusCode code, const std::string& reason, bool timedOut) {
        if (timedOut)
            Events_.Note("timeout", peer,
                         FormatText("OPC UA connection from %s timed out: %s", {peer, reason}));
        else
            Events_.Note("error " + UaStatusName(code), peer,
                         FormatText("OPC UA error %s sent to %s: %s", {UaStatusName(code), peer, reason}));
    };
    channel->OnClosed = [this, id] {
        if (OnChannelClosed) OnChannelClosed(id);
        // The channel may be deep in its own call stack: free it from the loop.
        std::weak_ptr<bool> alive = Alive_;
        Context_.Loop->Post([this, alive, id] {
            if (alive.expired() || !*alive.lock()) return;
            Channels_.erase(id);
        });
    };
    Channels_[id] = std::move(channel);
}

TUaChannel* TUaConnections::Find(std::uint32_t channelId) {
    auto it = Channels_.find(channelId);
    return it == Channels_.end() ? nullptr : it->second.get();
}

void TUaConnections::CheckTimeouts() {
    std::vector<TUaChannel*> channels;
    for (auto& [id, channel] : Channels_) channels.push_back(channel.get());
    std::uint32_t now = Context_.Clock->TickCount();
    for (auto* channel : channels) {
        channel->CheckTimeouts();
        if (channel->State() == TUaChannel::TState::Open && HasSession && !HasSession(channel->ChannelId()) &&
            TickDiff(now, channel->LastReceiveTick()) >= Config_.SessionTimeoutMs) {
            Events_.Note("timeout", channel->PeerAddress(),
                         FormatText("OPC UA connection from %s timed out: idle without a session",
                                    {channel->PeerAddress()}));
            channel->Close();
        }
    }
}

void TUaConnections::CloseAll() {
    for (auto& [id, channel] : Channels_) {
        channel->OnClosed = nullptr;
        channel->OnError = nullptr;
        channel->Close();
    }
}

} // namespace dravon
