#include "ua/UaServer.h"

#include "app/Platform.h"
#include "app/ServerContext.h"
#include "app/SessionLog.h"
#include "app/TextFormat.h"
#include "app/TimeDate.h"
#include "ua/UaNodeIds.h"
#include "ua/UaStatusCodes.h"
#include "ua/security/UaChannelSecurity.h"
#include "ua/security/UaSessionSecurity.h"

#include <algorithm>
#include <cmath>
#include <filesystem>

namespace dravon {

TUaServer::TUaServer(TServerContext& context, IUaBackend& backend, TUaConfig config)
    : Context_(context), Backend_(backend), Config_(std::move(config)),
      Security_(Config_, UaPkiFolder(context.ApplicationDirectory), UaUsersFile(context.ApplicationDirectory),
                context.Store),
      Space_(backend), Events_(context.Log, *context.Clock), Connections_(context, Config_, Events_) {
    Config_.Sanitize();
    Connections_.Policies = [this](const TUaAsymmetricHeader& header, TUaStatusCode& refusal,
                                   std::string& reason) {
        return TUaChannelSecurity::Make(Security_, UnixNow(), header, refusal, reason);
    };
    StartTime_ = Now();
    Space_.StandardValue = [this](std::uint32_t id) { return StandardValue(id); };
    Connections_.OnRequest = [this](TUaChannel& channel, std::uint32_t requestId, std::string_view body) {
        OnRequest(channel.ChannelId(), requestId, body);
    };
    Connections_.OnChannelClosed = [this](std::uint32_t id) {
        // Publish requests that came over this channel can no longer be answered.
        for (auto& [key, session] : Sessions_) {
            auto& queue = session->PublishQueue;
            queue.erase(
                std::remove_if(queue.begin(), queue.end(),
                               [id](const TUaSession::TPublishRequest& p) { return p.ChannelId == id; }),
                queue.end());
        }
    };
    Connections_.HasSession = [this](std::uint32_t id) {
        for (auto& [key, session] : Sessions_)
            if (session->ChannelId == id) return true;
        return false;
    };
    Housekeeping_ = context.Timers->CreateTimer();
    Housekeeping_->OnTimer = [this] { Housekeeping(); };
    Housekeeping_->SetInterval(HousekeepingIntervalMs);
    Housekeeping_->SetEnabled(true);
}

TUaServer::~TUaServer() {
    *Alive_ = false;
    Housekeeping_->SetEnabled(false);
    Stop();
    Sessions_.clear();
}

bool TUaServer::Start(IUaListener& listener) {
    std::error_code ec;
    if (!Context_.ApplicationDirectory.empty() &&
        std::filesystem::is_directory(Context_.ApplicationDirectory, ec)) {
        std::vector<std::string> lines;
        std::string error;
        if (!Security_.Start(ApplicationUri(), UnixNow(), lines, error) && !error.empty())
            lines.push_back("OPC UA endpoint without signed and encrypted channels: " + error);
        std::weak_ptr<bool> alive = Alive_;
        // The endpoint starts before the session log does: the lines follow its start-up.
        Context_.Loop->Post([this, alive, lines] {
            if (alive.expired() || !*alive.lock() || !Context_.Log) return;
            for (const auto& line : lines) Context_.Log->Add(line, false);
        });
    }
    Listener_ = &listener;
    listener.OnConnection = [this](std::unique_ptr<IUaSocket> socket) { Accept(std::move(socket)); };
    return listener.Listen(Config_.ListenAddress(), Config_.Port);
}

void TUaServer::Stop(const std::string& shutdownReason) {
    if (!shutdownReason.empty() && ShutdownReason_.empty()) {
        ShutdownReason_ = shutdownReason;
        for (auto& [key, session] : Sessions_)
            for (auto& [id, subscription] : session->Subscriptions) {
                subscription->SampleStandardItems();
                if (subscription->HasNotifications() && session->HasPublishRequest())
                    session->Publish(*subscription);
            }
    }
    if (Listener_) {
        Listener_->OnConnection = nullptr;
        Listener_->Close();
        Listener_ = nullptr;
    }
    Connections_.CloseAll();
}

TUaDateTime TUaServer::Now() const {
    return static_cast<TUaDateTime>(
        DateTimeToFileTime(Context_.Clock->Now(), Context_.Clock->TimeZoneBiasMinutes()));
}

std::time_t TUaServer::UnixNow() const {
    // FILETIME counts 100 ns from 1601; 11644473600 s lie between 1601 and 1970.
    return static_cast<std::time_t>(Now() / 10000000 - 11644473600LL);
}

std::string TUaServer::ApplicationUri() const { return "urn:" + Config_.HostName + ":Norvane:Dravon"; }

std::string TUaServer::EndpointUrl() const {
    return "opc.tcp://" + Config_.HostName + ":" + std::to_string(Config_.Port);
}

void TUaServer::Accept(std::unique_ptr<IUaSocket> socket) { Connections_.Accept(std::move(socket)); }

void TUaServer::Housekeeping() {
    Connections_.CheckTimeouts();
    std::uint32_t now = Context_.Clock->TickCount();
    std::vector<std::pair<std::uint32_t, const char*>> expired;
    for (auto& [key, session] : Sessions_) {
        std::uint32_t idle = TickDiff(now, session->LastActivity);
        if (!session->Activated && idle >= Config_.UnactivatedSessionTimeoutMs)
            expired.emplace_back(key, "not activated in time");
        else if (idle > static_cast<std::uint32_t>(session->TimeoutMs))
            expired.emplace_back(key, "timed out");
    }
    for (auto [key, why] : expired) CloseSession(key, why);
    Events_.Housekeeping();
}

void TUaServer::CloseSession(std::uint32_t key, const char* why) {
    auto it = Sessions_.find(key);
    if (it == Sessions_.end()) return;
    std::unique_ptr<TUaSession> session = std::move(it->second);
    Sessions_.erase(it);
    if (why)
        Events_.Note("session", session->Peer,
                     FormatText("OPC UA session %s of %s closed: %s", {session->Name, session->Peer, why}));
    session->FailPublishRequests(UaStatus::BadSessionClosed);
}

bool TUaServer::RoomForSession(const TUaChannel& channel) {
    std::uint32_t pendingHere = 0;
    TUaSession* oldestPending = nullptr;
    for (auto& [key, session] : Sessions_) {
        if (session->Activated) continue;
        pendingHere += session->ChannelId == channel.ChannelId();
        if (!oldestPending) oldestPending = session.get(); // numbered in order of creation
    }
    std::string peer = channel.PeerAddress();
    const char* refusal = nullptr;
    if (pendingHere >= TUaConfig::MaxPendingSessionsPerChannel)
        refusal =
            "OPC UA session for %s refused: Bad_TooManySessions (%s sessions of its channel not activated)";
    else if (Sessions_.size() >= Config_.MaxSessions && !oldestPending)
        refusal = "OPC UA session for %s refused: Bad_TooManySessions (%s sessions open)";
    if (refusal) {
        std::string count = std::to_string(pendingHere ? pendingHere : Sessions_.size());
        Events_.Note("Bad_TooManySessions", peer, FormatText(refusal, {peer, count}));
        return false;
    }
    // Every slot taken: a session never activated gives way to the new one.
    if (Sessions_.size() >= Config_.MaxSessions)
        CloseSession(oldestPending->SessionId.Numeric, "not activated, its slot was needed");
    return true;
}

TUaSession* TUaServer::SessionFor(const TUaNodeId& token) {
    for (auto& [key, session] : Sessions_)
        if (session->AuthenticationToken == token) return session.get();
    return nullptr;
}

void TUaServer::Reply(const TRequest& request, const std::string& body) {
    request.Channel.SendResponse(request.RequestId, request.Header.RequestHandle, body);
}

void TUaServer::Fault(const TRequest& request, TUaStatusCode status) {
    Reply(request, EncodeServiceFault(Now(), request.Header.RequestHandle, status));
}

void TUaServer::OnRequest(std::uint32_t channelId, std::uint32_t requestId, std::string_view body) {
    TUaChannel* found = Connections_.Find(channelId);
    if (!found) return;
    TUaChannel& channel = *found;
    TUaBinaryReader in(body);
    TUaNodeId typeId = in.NodeId();
    TUaBinaryReader peek = in;
    TRequest request{channel, requestId, ReadRequestHeader(peek)};
    if (!peek.Ok()) {
        channel.Fail(UaStatus::BadDecodingError, "Malformed request header");
        return;
    }
    if (typeId.Namespace != 0 || typeId.Kind != TUaIdKind::Numeric) {
        Fault(request, UaStatus::BadServiceUnsupported);
        return;
    }
    std::uint32_t type = typeId.Numeric;
    using Handler = void (TUaServer::*)(TRequest&, TUaBinaryReader&);
    Handler handler = nullptr;
    bool needsSession = true;
    switch (type) {
    case UaId::GetEndpointsRequest:
        handler = &TUaServer::GetEndpoints;
        needsSession = false;
        break;
    case UaId::FindServersRequest:
        handler = &TUaServer::FindServers;
        needsSession = false;
        break;
    case UaId::CreateSessionRequest:
        handler = &TUaServer::CreateSession;
        needsSession = false;
        break;
    case UaId::ActivateSessionRequest:
        handler = &TUaServer::ActivateSession;
        needsSession = false;
        break;
    case UaId::CloseSessionRequest:
        handler = &TUaServer::CloseSessionService;
        needsSession = false;
        break;
    case UaId::BrowseRequest: handler = &TUaServer::Browse; break;
    case UaId::BrowseNextRequest: handler = &TUaServer::BrowseNext; break;
    case UaId::TranslateBrowsePathsToNodeIdsRequest: handler = &TUaServer::TranslateBrowsePaths; break;
    case UaId::RegisterNodesRequest:
    case UaId::UnregisterNodesRequest: break;
    case UaId::ReadRequest: handler = &TUaServer::Read; break;
    case UaId::WriteRequest: handler = &TUaServer::Write; break;
    case UaId::CreateSubscriptionRequest: handler = &TUaServer::CreateSubscription; break;
    case UaId::ModifySubscriptionRequest: handler = &TUaServer::ModifySubscription; break;
    case UaId::SetPublishingModeRequest: handler = &TUaServer::SetPublishingMode; break;
    case UaId::DeleteSubscriptionsRequest: handler = &TUaServer::DeleteSubscriptions; break;
    case UaId::PublishRequest: handler = &TUaServer::Publish; break;
    case UaId::RepublishRequest: handler = &TUaServer::Republish; break;
    case UaId::CreateMonitoredItemsRequest: handler = &TUaServer::CreateMonitoredItems; break;
    case UaId::ModifyMonitoredItemsRequest: handler = &TUaServer::ModifyMonitoredItems; break;
    case UaId::SetMonitoringModeRequest: handler = &TUaServer::SetMonitoringMode; break;
    case UaId::DeleteMonitoredItemsRequest: handler = &TUaServer::DeleteMonitoredItems; break;
    case UaId::SetTriggeringRequest: handler = &TUaServer::SetTriggering; break;
    case UaId::TransferSubscriptionsRequest: handler = &TUaServer::TransferSubscriptions; break;
    default: Fault(request, UaStatus::BadServiceUnsupported); return;
    }
    if (needsSession) {
        TUaSession* session = SessionFor(request.Header.AuthenticationToken);
        if (!session) {
            Fault(request, UaStatus::BadSessionIdInvalid);
            return;
        }
        if (!session->Activated) {
            Fault(request, UaStatus::BadSessionNotActivated);
            return;
        }
        if (session->ChannelId != channel.ChannelId()) {
            Fault(request, UaStatus::BadSecureChannelIdInvalid);
            return;
        }
        session->LastActivity = Context_.Clock->TickCount();
        request.Session = session;
    }
    if (type == UaId::RegisterNodesRequest || type == UaId::UnregisterNodesRequest) {
        RegisterNodes(request, in, type == UaId::UnregisterNodesRequest);
        return;
    }
    (this->*handler)(request, in);
}

} // namespace dravon
