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
#include <random>

namespace dravon {

namespace {
constexpr const char* TransportProfile = "http://opcfoundation.org/UA-Profile/Transport/uatcp-uasc-uabinary";
constexpr const char* ProductUriText = "urn:Norvane:Dravon";
constexpr const char* ProductNameText = "Dravon OPC Data Access Server";
constexpr const char* Manufacturer = "Norvane";
constexpr const char* ItemsNamespace = "urn:Norvane:Dravon:Items";

TUaVariant StringArray(std::vector<std::string> values) {
    std::vector<TUaScalar> out;
    for (auto& v : values) out.emplace_back(std::move(v));
    return TUaVariant::Array(TUaType::String, std::move(out));
}

TUaVariant UInt32Value(std::uint32_t v) { return TUaVariant::Scalar(TUaType::UInt32, std::uint64_t{v}); }
} // namespace

TUaServer::TUaServer(TServerContext& context, IUaBackend& backend, TUaConfig config)
    : Context_(context), Backend_(backend), Config_(std::move(config)),
      Security_(Config_,
                context.ApplicationDirectory.empty()
                    ? std::filesystem::path()
                    : std::filesystem::path(context.ApplicationDirectory) / "pki",
                UaUsersFile(context.ApplicationDirectory), context.Store),
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

void TUaServer::Stop() {
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

// ---------------------------------------------------------------- discovery

void TUaServer::WriteEndpoints(TUaBinaryWriter& w, const std::string& url) {
    TUaApplicationDescription app;
    app.ApplicationUri = ApplicationUri();
    app.ProductUri = ProductUriText;
    app.ApplicationName = {std::string("en"), std::string(ProductNameText)};
    app.DiscoveryUrls = {url};
    WriteUaEndpoints(w, url, app, Security_, TransportProfile);
}

void TUaServer::GetEndpoints(TRequest& r, TUaBinaryReader& in) {
    TUaGetEndpointsRequest m;
    if (!Decode(in, m)) return r.Channel.Fail(UaStatus::BadDecodingError, "Malformed GetEndpoints");
    bool offered = m.ProfileUris.empty() || std::find(m.ProfileUris.begin(), m.ProfileUris.end(),
                                                      TransportProfile) != m.ProfileUris.end();
    TUaBinaryWriter w;
    WriteResponseStart(w, UaId::GetEndpointsResponse, Now(), m.Header.RequestHandle);
    if (offered)
        WriteEndpoints(w, m.EndpointUrl.empty() ? EndpointUrl() : m.EndpointUrl);
    else
        w.ArrayLength(0);
    Reply(r, w.Bytes());
}

void TUaServer::FindServers(TRequest& r, TUaBinaryReader& in) {
    TUaFindServersRequest m;
    if (!Decode(in, m)) return r.Channel.Fail(UaStatus::BadDecodingError, "Malformed FindServers");
    bool match = m.ServerUris.empty() ||
                 std::find(m.ServerUris.begin(), m.ServerUris.end(), ApplicationUri()) != m.ServerUris.end();
    TUaBinaryWriter w;
    WriteResponseStart(w, UaId::FindServersResponse, Now(), m.Header.RequestHandle);
    w.ArrayLength(match ? 1 : 0);
    if (match) {
        TUaApplicationDescription app;
        app.ApplicationUri = ApplicationUri();
        app.ProductUri = ProductUriText;
        app.ApplicationName = {std::string("en"), std::string(ProductNameText)};
        app.DiscoveryUrls = {m.EndpointUrl.empty() ? EndpointUrl() : m.EndpointUrl};
        WriteApplicationDescription(w, app);
    }
    Reply(r, w.Bytes());
}

// ---------------------------------------------------------------- sessions

void TUaServer::CreateSession(TRequest& r, TUaBinaryReader& in) {
    TUaCreateSessionRequest m;
    if (!Decode(in, m)) return r.Channel.Fail(UaStatus::BadDecodingError, "Malformed CreateSession");
    if (!RoomForSession(r.Channel)) return Fault(r, UaStatus::BadTooManySessions);
    // On a secured channel the client presents the certificate the channel was opened
    // with, for the application it names, and a nonce worth signing.
    const auto* channelSecurity = dynamic_cast<const TUaChannelSecurity*>(r.Channel.Policy());
    const TUaSecurityPolicy& policy = channelSecurity ? channelSecurity->Policy() : UaSecurityPolicyNone();
    if (!policy.IsNone()) {
        auto chain = TUaCertificate::ChainFromDer(m.ClientCertificate);
        if (chain.empty() || chain.front().Der() != channelSecurity->PeerCertificate().Der())
            return Fault(r, UaStatus::BadCertificateInvalid);
        if (chain.front().ApplicationUri() != m.ClientDescription.ApplicationUri)
            return Fault(r, UaStatus::BadCertificateUriInvalid);
        if (m.ClientNonce.size() < policy.NonceLength) return Fault(r, UaStatus::BadNonceInvalid);
    }
    double timeout = Config_.SessionTimeoutMs;
    if (std::isfinite(m.RequestedSessionTimeout) && m.RequestedSessionTimeout > 0)
        timeout =
            std::clamp(m.RequestedSessionTimeout, 1000.0, static_cast<double>(Config_.SessionTimeoutMs));
    std::uint32_t number = NextSessionNumber_++;
    auto session = std::make_unique<TUaSession>(Context_, number, m.SessionName, timeout);
    TUaNodeId token;
    token.Namespace = 1;
    token.Kind = TUaIdKind::Opaque;
    token.Text = UaRandomBytes(16) + std::to_string(++TokenCounter_);
    session->AuthenticationToken = token;
    session->ChannelId = r.Channel.ChannelId();
    session->Peer = r.Channel.PeerAddress();
    session->ReadOnly = Config_.AnonymousReadOnly;
    session->ServerNonce = UaRandomBytes(32);
    if (!policy.IsNone()) session->ClientCertificate = channelSecurity->PeerCertificate().Der();
    // The server object (a connected client) comes with the activation.
    session->Send = [this](std::uint32_t channelId, std::uint32_t requestId, std::uint32_t handle,
                           const std::string& body) {
        if (TUaChannel* channel = Connections_.Find(channelId))
            channel->SendResponse(requestId, handle, body);
    };
    TUaSession* raw = session.get();
    session->SubscriptionExpired = [this, raw](std::uint32_t id) {
        std::weak_ptr<bool> alive = Alive_;
        Context_.Loop->Post([this, alive, raw, id] {
            if (alive.expired() || !*alive.lock()) return;
            for (auto& [key, s] : Sessions_)
                if (s.get() == raw) s->Subscriptions.erase(id);
        });
    };
    std::string url = m.EndpointUrl.empty() ? EndpointUrl() : m.EndpointUrl;

    TUaBinaryWriter w;
    WriteResponseStart(w, UaId::CreateSessionResponse, Now(), m.Header.RequestHandle);
    w.NodeId(session->SessionId);
    w.NodeId(session->AuthenticationToken);
    w.Double(timeout);
    w.ByteString(session->ServerNonce);
    w.ByteString(Security_.HaveCertificate() ? Security_.Certificate().Der() : std::string());
    WriteEndpoints(w, url);
    w.EmptyArray(); // software certificates
    TUaSignatureData signature = SignUaSession(policy, Security_.Key(), m.ClientCertificate, m.ClientNonce);
    w.NullableString(signature.Algorithm.empty() ? std::nullopt
                                                 : std::optional<std::string>(signature.Algorithm));
    w.ByteString(signature.Signature);
    w.UInt32(Config_.MaxMessageSize);
    Sessions_[number] = std::move(session);
    Reply(r, w.Bytes());
}

void TUaServer::ActivateSession(TRequest& r, TUaBinaryReader& in) {
    TUaActivateSessionRequest m;
    if (!Decode(in, m)) return r.Channel.Fail(UaStatus::BadDecodingError, "Malformed ActivateSession");
    TUaSession* session = SessionFor(m.Header.AuthenticationToken);
    if (!session) return Fault(r, UaStatus::BadSessionIdInvalid);
    // The client proves it holds the key of its certificate by signing our certificate
    // and the nonce; a session created on a secured channel stays with that certificate.
    const auto* channelSecurity = dynamic_cast<const TUaChannelSecurity*>(r.Channel.Policy());
    const TUaSecurityPolicy& policy = channelSecurity ? channelSecurity->Policy() : UaSecurityPolicyNone();
    if (!session->ClientCertificate.empty() &&
        (policy.IsNone() || channelSecurity->PeerCertificate().Der() != session->ClientCertificate))
        return Fault(r, UaStatus::BadSecurityChecksFailed);
    if (!policy.IsNone() &&
        !VerifyUaSession(policy, channelSecurity->PeerCertificate(), Security_.Certificate().Der(),
                         session->ServerNonce, {m.ClientSignatureAlgorithm, m.ClientSignature}))
        return Fault(r, UaStatus::BadApplicationSignatureInvalid);
    TUaIdentity identity = CheckUaIdentity(m.UserIdentityToken, Security_, policy, session->ServerNonce);
    if (identity.WrongPassword) {
        std::string name;
        for (char c : identity.UserName.substr(0, 64)) name.push_back(c >= 0x20 && c < 0x7F ? c : '?');
        Events_.Note("user", r.Channel.PeerAddress(),
                     "OPC UA user \"" + name + "\" from " + r.Channel.PeerAddress() +
                         " refused: wrong user name or password");
        return DelayedFault(r, identity.Status);
    }
    if (identity.Status != UaStatus::Good) return Fault(r, identity.Status);
    if (!session->Backend) {
        session->Backend = Backend_.CreateSession(session->Name);
        if (!session->Backend) return Fault(r, UaStatus::BadResourceUnavailable);
    }
    // An anonymous session may move to a new channel after a reconnect.
    session->ChannelId = r.Channel.ChannelId();
    session->Peer = r.Channel.PeerAddress();
    session->Activated = true;
    session->ReadOnly =
        identity.Anonymous ? Config_.AnonymousReadOnly : identity.Role == TUaUserRole::ReadOnly;
    session->LastActivity = Context_.Clock->TickCount();
    session->ServerNonce = UaRandomBytes(32);
    TUaBinaryWriter w;
    WriteResponseStart(w, UaId::ActivateSessionResponse, Now(), m.Header.RequestHandle);
    w.ByteString(session->ServerNonce);
    w.EmptyArray();
    w.EmptyArray();
    Reply(r, w.Bytes());
}

void TUaServer::DelayedFault(const TRequest& request, TUaStatusCode status) {
    std::uint64_t key = NextDelayed_++;
    auto timer = Context_.Timers->CreateTimer();
    std::uint32_t channelId = request.Channel.ChannelId();
    std::uint32_t requestId = request.RequestId;
    std::uint32_t handle = request.Header.RequestHandle;
    timer->OnTimer = [this, key, channelId, requestId, handle, status] {
        if (TUaChannel* channel = Connections_.Find(channelId))
            channel->SendResponse(requestId, handle, EncodeServiceFault(Now(), handle, status));
        Delayed_[key]->SetEnabled(false);
        std::weak_ptr<bool> alive = Alive_;
        // The timer is inside its own handler: free it from the loop.
        Context_.Loop->Post([this, alive, key] {
            if (!alive.expired() && *alive.lock()) Delayed_.erase(key);
        });
    };
    timer->SetInterval(RefusedLoginDelayMs);
    timer->SetEnabled(true);
    Delayed_[key] = std::move(timer);
}

void TUaServer::CloseSessionService(TRequest& r, TUaBinaryReader& in) {
    TUaCloseSessionRequest m;
    if (!Decode(in, m)) return r.Channel.Fail(UaStatus::BadDecodingError, "Malformed CloseSession");
    TUaSession* session = SessionFor(m.Header.AuthenticationToken);
    if (!session) return Fault(r, UaStatus::BadSessionIdInvalid);
    std::uint32_t key = session->SessionId.Numeric;
    CloseSession(key);
    TUaBinaryWriter w;
    WriteResponseStart(w, UaId::CloseSessionResponse, Now(), m.Header.RequestHandle);
    Reply(r, w.Bytes());
}

// ---------------------------------------------------------------- view

void TUaServer::WriteBrowseResult(TUaBinaryWriter& w, TUaSession& session, std::vector<TUaReference> refs,
                                  std::size_t maxRefs, std::uint32_t resultMask) {
    std::size_t count = refs.size();
    std::string continuation;
    TUaStatusCode status = 0;
    if (maxRefs && count > maxRefs) {
        if (session.ContinuationPoints.size() >= TUaSession::MaxContinuationPoints) {
            status = UaStatus::BadNoContinuationPoints;
            count = 0;
        } else {
            continuation = "cp" + std::to_string(session.NextContinuation++);
            count = maxRefs;
        }
    }
    w.StatusCode(status);
    w.ByteString(continuation);
    w.ArrayLength(count);
    for (std::size_t i = 0; i < count; ++i) {
        const auto& ref = refs[i];
        w.NodeId(resultMask & 0x01 ? TUaNodeId::Num(ref.ReferenceType) : TUaNodeId{});
        w.Boolean(ref.IsForward);
        w.ExpandedNodeId({ref.Target.Id, {}, 0});
        w.QualifiedName(resultMask & 0x08 ? ref.Target.BrowseName : TUaQualifiedName{});
        w.LocalizedText(resultMask & 0x10 ? TUaLocalizedText{std::nullopt, ref.Target.DisplayName}
                                          : TUaLocalizedText{});
        w.Int32(resultMask & 0x04 ? static_cast<std::int32_t>(ref.Target.NodeClass) : 0);
        TUaNodeId typeDefinition;
        if ((resultMask & 0x20) && (ref.Target.NodeClass == ncObject || ref.Target.NodeClass == ncVariable))
            typeDefinition = TUaNodeId::Num(ref.Target.TypeDefinition);
        w.ExpandedNodeId({typeDefinition, {}, 0});
    }
    if (!continuation.empty()) {
        refs.erase(refs.begin(), refs.begin() + static_cast<std::ptrdiff_t>(count));
        session.ContinuationPoints[continuation] = {std::move(refs), 0, resultMask};
    }
}

void TUaServer::Browse(TRequest& r, TUaBinaryReader& in) {
    TUaBrowseRequest m;
    if (!Decode(in, m)) return r.Channel.Fail(UaStatus::BadDecodingError, "Malformed Browse");
    if (!m.ViewId.IsNull()) return Fault(r, UaStatus::BadViewIdUnknown);
    if (m.NodesToBrowse.empty()) return Fault(r, UaStatus::BadNothingToDo);
    if (m.NodesToBrowse.size() > MaxOperationsPerRequest) return Fault(r, UaStatus::BadTooManyOperations);
    TUaBinaryWriter w;
    WriteResponseStart(w, UaId::BrowseResponse, Now(), m.Header.RequestHandle);
    w.ArrayLength(m.NodesToBrowse.size());
    for (const auto& d : m.NodesToBrowse) {
        auto fail = [&](TUaStatusCode status) {
            w.StatusCode(status);
            w.Int32(-1);
            w.EmptyArray();
        };
        if (d.BrowseDirection > 2) {
            fail(UaStatus::BadBrowseDirectionInvalid);
            continue;
        }
        bool anyType = d.ReferenceTypeId.IsNull();
        if (!anyType && (d.ReferenceTypeId.Namespace != 0 || d.ReferenceTypeId.Kind != TUaIdKind::Numeric ||
                         !TUaAddressSpace::IsKnownReferenceType(d.ReferenceTypeId.Numeric))) {
            fail(UaStatus::BadReferenceTypeIdInvalid);
            continue;
        }
        auto node = Space_.Find(d.NodeId, r.Session->Backend.get());
        if (!node) {
            fail(UaStatus::BadNodeIdUnknown);
            continue;
        }
        std::vector<TUaReference> refs;
        for (auto& ref : Space_.References(*node, r.Session->Backend.get())) {
            if (d.BrowseDirection == 0 && !ref.IsForward) continue;
            if (d.BrowseDirection == 1 && ref.IsForward) continue;
            if (!anyType && !TUaAddressSpace::IsReferenceOf(ref.ReferenceType, d.ReferenceTypeId.Numeric,
                                                            d.IncludeSubtypes))
                continue;
            if (d.NodeClassMask && !(d.NodeClassMask & ref.Target.NodeClass)) continue;
            refs.push_back(std::move(ref));
        }
        WriteBrowseResult(w, *r.Session, std::move(refs), m.RequestedMaxReferencesPerNode, d.ResultMask);
    }
    w.EmptyArray();
    Reply(r, w.Bytes());
}

void TUaServer::BrowseNext(TRequest& r, TUaBinaryReader& in) {
    TUaBrowseNextRequest m;
    if (!Decode(in, m)) return r.Channel.Fail(UaStatus::BadDecodingError, "Malformed BrowseNext");
    if (m.ContinuationPoints.empty()) return Fault(r, UaStatus::BadNothingToDo);
    if (m.ContinuationPoints.size() > MaxOperationsPerRequest)
        return Fault(r, UaStatus::BadTooManyOperations);
    TUaSession& session = *r.Session;
    TUaBinaryWriter w;
    WriteResponseStart(w, UaId::BrowseNextResponse, Now(), m.Header.RequestHandle);
    w.ArrayLength(m.ContinuationPoints.size());
    for (const auto& point : m.ContinuationPoints) {
        auto it = session.ContinuationPoints.find(point);
        if (it == session.ContinuationPoints.end()) {
            w.StatusCode(UaStatus::BadContinuationPointInvalid);
            w.Int32(-1);
            w.EmptyArray();
            continue;
        }
        TUaSession::TContinuation continuation = std::move(it->second);
        session.ContinuationPoints.erase(it);
        if (m.ReleaseContinuationPoints) {
            w.StatusCode(0);
            w.Int32(-1);
            w.EmptyArray();
            continue;
        }
        // The remaining references go in pages of the size the first page had.
        std::size_t page = continuation.References.size();
        WriteBrowseResult(w, session, std::move(continuation.References), page > 1000 ? 1000 : 0,
                          continuation.ResultMask);
    }
    w.EmptyArray();
    Reply(r, w.Bytes());
}

void TUaServer::TranslateBrowsePaths(TRequest& r, TUaBinaryReader& in) {
    TUaTranslateRequest m;
    if (!Decode(in, m))
        return r.Channel.Fail(UaStatus::BadDecodingError, "Malformed TranslateBrowsePathsToNodeIds");
    if (m.BrowsePaths.empty()) return Fault(r, UaStatus::BadNothingToDo);
    if (m.BrowsePaths.size() > MaxOperationsPerRequest) return Fault(r, UaStatus::BadTooManyOperations);
    TUaBinaryWriter w;
    WriteResponseStart(w, UaId::TranslateBrowsePathsToNodeIdsResponse, Now(), m.Header.RequestHandle);
    w.ArrayLength(m.BrowsePaths.size());
    for (const auto& path : m.BrowsePaths) {
        auto start = Space_.Find(path.StartingNode, r.Session->Backend.get());
        TUaStatusCode status = 0;
        std::vector<TUaNode> current;
        if (!start)
            status = UaStatus::BadNodeIdUnknown;
        else if (path.Elements.empty())
            status = UaStatus::BadNothingToDo;
        else
            current.push_back(*start);
        for (const auto& element : path.Elements) {
            if (status) break;
            if (element.TargetName.Name.empty()) {
                status = UaStatus::BadBrowseNameInvalid;
                break;
            }
            std::uint32_t type = element.ReferenceTypeId.IsNull() ? UaId::HierarchicalReferences
                                                                  : element.ReferenceTypeId.Numeric;
            std::vector<TUaNode> next;
            for (const auto& node : current)
                for (auto& ref : Space_.References(node, r.Session->Backend.get()))
                    if (ref.IsForward != element.IsInverse &&
                        TUaAddressSpace::IsReferenceOf(ref.ReferenceType, type, element.IncludeSubtypes) &&
                        ref.Target.BrowseName == element.TargetName)
                        next.push_back(std::move(ref.Target));
            current = std::move(next);
            if (current.empty()) status = UaStatus::BadNoMatch;
        }
        w.StatusCode(status);
        if (status) {
            w.EmptyArray();
            continue;
        }
        w.ArrayLength(current.size());
        for (const auto& target : current) {
            w.ExpandedNodeId({target.Id, {}, 0});
            w.UInt32(0xFFFFFFFF);
        }
    }
    w.EmptyArray();
    Reply(r, w.Bytes());
}

void TUaServer::RegisterNodes(TRequest& r, TUaBinaryReader& in, bool unregister) {
    TUaNodeListRequest m;
    if (!Decode(in, m)) return r.Channel.Fail(UaStatus::BadDecodingError, "Malformed RegisterNodes");
    if (m.Nodes.empty()) return Fault(r, UaStatus::BadNothingToDo);
    if (m.Nodes.size() > MaxOperationsPerRequest) return Fault(r, UaStatus::BadTooManyOperations);
    TUaBinaryWriter w;
    if (unregister) {
        WriteResponseStart(w, UaId::UnregisterNodesResponse, Now(), m.Header.RequestHandle);
    } else {
        // Item IDs are already the fastest handle there is: the registered ids are the ids.
        WriteResponseStart(w, UaId::RegisterNodesResponse, Now(), m.Header.RequestHandle);
        w.Array(m.Nodes, [&](const TUaNodeId& id) { w.NodeId(id); });
    }
    Reply(r, w.Bytes());
}

// ---------------------------------------------------------------- attributes

TUaVariant TUaServer::StandardValue(std::uint32_t id) {
    using namespace UaId;
    auto text = [](std::string s) { return TUaVariant::Scalar(TUaType::String, std::move(s)); };
    auto time = [](TUaDateTime t) { return TUaVariant::Scalar(TUaType::DateTime, std::int64_t{t}); };
    auto buildInfo = [&](TUaBinaryWriter& w) {
        w.String(ProductUriText);
        w.String(Manufacturer);
        w.String(ProductNameText);
        w.String(DRAVON_VERSION);
        w.String(DRAVON_VERSION);
        w.DateTime(StartTime_);
    };
    switch (id) {
    case NamespaceArray: return StringArray({"http://opcfoundation.org/UA/", ItemsNamespace});
    case ServerArray: return StringArray({ApplicationUri()});
    case ServerStatus: {
        TUaBinaryWriter w;
        w.DateTime(StartTime_);
        w.DateTime(Now());
        w.Int32(0); // Running
        buildInfo(w);
        w.UInt32(0);
        w.LocalizedText({});
        return TUaVariant::Scalar(
            TUaType::ExtensionObject,
            TUaExtensionObject{TUaNodeId::Num(ServerStatusDataTypeEncoding), 1, w.Take()});
    }
    case StartTime: return time(StartTime_);
    case CurrentTime: return time(Now());
    case State: return TUaVariant::Scalar(TUaType::Int32, std::int64_t{0});
    case BuildInfo: {
        TUaBinaryWriter w;
        buildInfo(w);
        return TUaVariant::Scalar(TUaType::ExtensionObject,
                                  TUaExtensionObject{TUaNodeId::Num(BuildInfoEncoding), 1, w.Take()});
    }
    case ProductUri: return text(ProductUriText);
    case ManufacturerName: return text(Manufacturer);
    case ProductName: return text(ProductNameText);
    case SoftwareVersion:
    case BuildNumber: return text(DRAVON_VERSION);
    case BuildDate: return time(StartTime_);
    case SecondsTillShutdown: return UInt32Value(0);
    case ShutdownReason: return TUaVariant::Scalar(TUaType::LocalizedText, TUaLocalizedText{});
    case ServiceLevel: return TUaVariant::Scalar(TUaType::Byte, std::uint64_t{255});
    case ServerProfileArray:
        return StringArray({"http://opcfoundation.org/UA-Profile/Server/MicroEmbeddedDevice"});
    case LocaleIdArray: return StringArray({"en"});
    case MinSupportedSampleRate: return TUaVariant::Scalar(TUaType::Double, 25.0);
    case MaxBrowseContinuationPoints:
        return TUaVariant::Scalar(TUaType::UInt16, std::uint64_t{TUaSession::MaxContinuationPoints});
    case MaxArrayLength:
    case MaxStringLength: return UInt32Value(65536);
    case MaxNodesPerRead:
    case MaxNodesPerWrite:
    case MaxNodesPerBrowse:
    case MaxNodesPerRegisterNodes:
    case MaxNodesPerTranslateBrowsePathsToNodeIds:
    case MaxMonitoredItemsPerCall: return UInt32Value(MaxOperationsPerRequest);
    default: return UInt32Value(0);
    }
}

void TUaServer::Read(TRequest& r, TUaBinaryReader& in) {
    TUaReadRequest m;
    if (!Decode(in, m)) return r.Channel.Fail(UaStatus::BadDecodingError, "Malformed Read");
    if (!(m.MaxAge >= 0)) return Fault(r, UaStatus::BadMaxAgeInvalid);
    if (m.TimestampsToReturn > 3) return Fault(r, UaStatus::BadTimestampsToReturnInvalid);
    if (m.NodesToRead.empty()) return Fault(r, UaStatus::BadNothingToDo);
    if (m.NodesToRead.size() > MaxOperationsPerRequest) return Fault(r, UaStatus::BadTooManyOperations);

    struct TPending {
        std::vector<TUaDataValue> Results;
        std::size_t Remaining = 0;
        bool Issued = false;
    };
    auto pending = std::make_shared<TPending>();
    pending->Results.resize(m.NodesToRead.size());
    pending->Remaining = m.NodesToRead.size();
    std::uint32_t channelId = r.Channel.ChannelId();
    std::uint32_t requestId = r.RequestId;
    std::uint32_t handle = m.Header.RequestHandle;
    std::uint32_t timestamps = m.TimestampsToReturn;
    auto finish = [this, pending, channelId, requestId, handle] {
        if (--pending->Remaining != 0 || !pending->Issued) return;
        TUaBinaryWriter w;
        WriteResponseStart(w, UaId::ReadResponse, Now(), handle);
        w.Array(pending->Results, [&](const TUaDataValue& v) { w.DataValue(v); });
        w.EmptyArray();
        if (TUaChannel* channel = Connections_.Find(channelId))
            channel->SendResponse(requestId, handle, w.Bytes());
    };
    TUaSession& session = *r.Session;
    for (std::size_t i = 0; i < m.NodesToRead.size(); ++i) {
        const auto& item = m.NodesToRead[i];
        TUaDataValue& result = pending->Results[i];
        auto node = Space_.Find(item.NodeId, session.Backend.get());
        if (!node) {
            result.Status = UaStatus::BadNodeIdUnknown;
            finish();
            continue;
        }
        if (!item.IndexRange.empty()) {
            result.Status = UaStatus::BadIndexRangeInvalid;
            finish();
            continue;
        }
        if (!item.DataEncoding.Name.empty() &&
            (item.AttributeId != atValue || item.DataEncoding.Name != "Default Binary")) {
            result.Status = UaStatus::BadDataEncodingInvalid;
            finish();
            continue;
        }
        if (item.AttributeId == atValue && !node->ItemId.empty()) {
            // Backend value: a cache read, or with maxAge 0 a device read answered later.
            session.Backend->Read(node->ItemId, m.MaxAge == 0,
                                  [this, pending, i, timestamps, finish](const TUaBackendValue& value) {
                                      TUaDataValue& out = pending->Results[i];
                                      out.Value = value.Value;
                                      out.Status = value.Status;
                                      if (timestamps == 0 || timestamps == 2)
                                          out.SourceTimestamp = value.SourceTime;
                                      if (timestamps == 1 || timestamps == 2) out.ServerTimestamp = Now();
                                      finish();
                                  });
            continue;
        }
        TUaVariant value;
        TUaStatusCode status = Space_.ReadAttribute(*node, item.AttributeId, value);
        if (status == 0 && item.AttributeId == atUserAccessLevel && session.ReadOnly && !node->ItemId.empty())
            value = TUaVariant::Scalar(TUaType::Byte, std::uint64_t{1});
        if (status) {
            result.Status = status;
        } else {
            result.Value = std::move(value);
            if (item.AttributeId == atValue) {
                if (timestamps == 0 || timestamps == 2) result.SourceTimestamp = Now();
                if (timestamps == 1 || timestamps == 2) result.ServerTimestamp = Now();
            }
        }
        finish();
    }
    pending->Issued = true;
    ++pending->Remaining;
    finish();
}

void TUaServer::Write(TRequest& r, TUaBinaryReader& in) {
    TUaWriteRequest m;
    if (!Decode(in, m)) return r.Channel.Fail(UaStatus::BadDecodingError, "Malformed Write");
    if (m.NodesToWrite.empty()) return Fault(r, UaStatus::BadNothingToDo);
    if (m.NodesToWrite.size() > MaxOperationsPerRequest) return Fault(r, UaStatus::BadTooManyOperations);
    std::vector<TUaStatusCode> results;
    for (const auto& item : m.NodesToWrite) {
        auto node = Space_.Find(item.NodeId, r.Session->Backend.get());
        TUaStatusCode status = 0;
        if (!node)
            status = UaStatus::BadNodeIdUnknown;
        else if (item.AttributeId != atValue || node->ItemId.empty())
            status = UaStatus::BadNotWritable;
        else if (!item.IndexRange.empty())
            status = UaStatus::BadIndexRangeInvalid;
        else if (!item.Value.Value || item.Value.Status || item.Value.SourceTimestamp ||
                 item.Value.ServerTimestamp)
            status = UaStatus::BadWriteNotSupported;
        else if (!(node->AccessLevel & 2))
            status = UaStatus::BadNotWritable;
        else if (r.Session->ReadOnly)
            status = UaStatus::BadUserAccessDenied;
        else
            status = r.Session->Backend->Write(node->ItemId, *item.Value.Value);
        results.push_back(status);
    }
    TUaBinaryWriter w;
    WriteResponseStart(w, UaId::WriteResponse, Now(), m.Header.RequestHandle);
    WriteResults(w, results);
    Reply(r, w.Bytes());
}

// ---------------------------------------------------------------- subscriptions

TUaSubscription* TUaServer::FindSubscription(TRequest& r, std::uint32_t id) {
    auto it = r.Session->Subscriptions.find(id);
    return it == r.Session->Subscriptions.end() ? nullptr : it->second.get();
}

void TUaServer::CreateSubscription(TRequest& r, TUaBinaryReader& in) {
    TUaCreateSubscriptionRequest m;
    if (!Decode(in, m, false))
        return r.Channel.Fail(UaStatus::BadDecodingError, "Malformed CreateSubscription");
    TUaSession& session = *r.Session;
    if (session.Subscriptions.size() >= Config_.MaxSubscriptionsPerSession) {
        Events_.Note(
            "Bad_TooManySubscriptions", session.Peer,
            FormatText("OPC UA subscription for %s refused: Bad_TooManySubscriptions (%s in session %s)",
                       {session.Peer, std::to_string(session.Subscriptions.size()), session.Name}));
        return Fault(r, UaStatus::BadTooManySubscriptions);
    }
    auto target = std::make_shared<TUaSubscription*>(nullptr);
    double revised = 0;
    double requested = std::isfinite(m.RequestedPublishingInterval)
                           ? std::max(m.RequestedPublishingInterval, TUaSubscription::MinPublishingInterval)
                           : TUaSubscription::MinPublishingInterval;
    auto group =
        session.Backend->CreateGroup(requested, revised, [target](std::vector<TUaItemChange> changes) {
            if (*target) (*target)->OnChanges(std::move(changes));
        });
    if (!group) return Fault(r, UaStatus::BadTooManySubscriptions);
    std::uint32_t id = NextSubscriptionId_++;
    auto subscription =
        std::make_unique<TUaSubscription>(session, id, std::move(group), Context_.Timers->CreateTimer());
    *target = subscription.get();
    subscription->Configure(requested, m.RequestedLifetimeCount, m.RequestedMaxKeepAliveCount,
                            m.MaxNotificationsPerPublish);
    subscription->SetPublishingEnabled(m.PublishingEnabled);
    TUaBinaryWriter w;
    WriteResponseStart(w, UaId::CreateSubscriptionResponse, Now(), m.Header.RequestHandle);
    w.UInt32(id);
    w.Double(subscription->PublishingInterval());
    w.UInt32(subscription->LifetimeCount());
    w.UInt32(subscription->MaxKeepAliveCount());
    session.Subscriptions[id] = std::move(subscription);
    Reply(r, w.Bytes());
}

void TUaServer::ModifySubscription(TRequest& r, TUaBinaryReader& in) {
    TUaCreateSubscriptionRequest m;
    if (!Decode(in, m, true))
        return r.Channel.Fail(UaStatus::BadDecodingError, "Malformed ModifySubscription");
    TUaSubscription* s = FindSubscription(r, m.SubscriptionId);
    if (!s) return Fault(r, UaStatus::BadSubscriptionIdInvalid);
    s->Configure(m.RequestedPublishingInterval, m.RequestedLifetimeCount, m.RequestedMaxKeepAliveCount,
                 m.MaxNotificationsPerPublish);
    TUaBinaryWriter w;
    WriteResponseStart(w, UaId::ModifySubscriptionResponse, Now(), m.Header.RequestHandle);
    w.Double(s->PublishingInterval());
    w.UInt32(s->LifetimeCount());
    w.UInt32(s->MaxKeepAliveCount());
    Reply(r, w.Bytes());
}

void TUaServer::SetPublishingMode(TRequest& r, TUaBinaryReader& in) {
    TUaSetPublishingModeRequest m;
    if (!Decode(in, m)) return r.Channel.Fail(UaStatus::BadDecodingError, "Malformed SetPublishingMode");
    if (m.SubscriptionIds.empty()) return Fault(r, UaStatus::BadNothingToDo);
    std::vector<TUaStatusCode> results;
    for (auto id : m.SubscriptionIds) {
        TUaSubscription* s = FindSubscription(r, id);
        if (s) s->SetPublishingEnabled(m.PublishingEnabled);
        results.push_back(s ? 0 : UaStatus::BadSubscriptionIdInvalid);
    }
    TUaBinaryWriter w;
    WriteResponseStart(w, UaId::SetPublishingModeResponse, Now(), m.Header.RequestHandle);
    WriteResults(w, results);
    Reply(r, w.Bytes());
}

void TUaServer::DeleteSubscriptions(TRequest& r, TUaBinaryReader& in) {
    TUaIdListRequest m;
    if (!Decode(in, m)) return r.Channel.Fail(UaStatus::BadDecodingError, "Malformed DeleteSubscriptions");
    if (m.Ids.empty()) return Fault(r, UaStatus::BadNothingToDo);
    std::vector<TUaStatusCode> results;
    for (auto id : m.Ids)
        results.push_back(r.Session->Subscriptions.erase(id) ? 0 : UaStatus::BadSubscriptionIdInvalid);
    TUaBinaryWriter w;
    WriteResponseStart(w, UaId::DeleteSubscriptionsResponse, Now(), m.Header.RequestHandle);
    WriteResults(w, results);
    Reply(r, w.Bytes());
    // Publish requests waiting for subscriptions that no longer exist get their answer.
    if (r.Session->Subscriptions.empty()) r.Session->FailPublishRequests(UaStatus::BadNoSubscription);
}

void TUaServer::Publish(TRequest& r, TUaBinaryReader& in) {
    TUaPublishRequest m;
    if (!Decode(in, m)) return r.Channel.Fail(UaStatus::BadDecodingError, "Malformed Publish");
    TUaSession& session = *r.Session;
    TUaSession::TPublishRequest request;
    for (const auto& ack : m.Acknowledgements) {
        TUaSubscription* s = FindSubscription(r, ack.SubscriptionId);
        request.AckResults.push_back(s ? s->Acknowledge(ack.SequenceNumber)
                                       : UaStatus::BadSubscriptionIdInvalid);
    }
    if (session.Subscriptions.empty()) return Fault(r, UaStatus::BadNoSubscription);
    request.ChannelId = r.Channel.ChannelId();
    request.RequestId = r.RequestId;
    request.RequestHandle = m.Header.RequestHandle;
    session.AddPublishRequest(std::move(request), TUaSession::MaxPublishRequests);
}

void TUaServer::Republish(TRequest& r, TUaBinaryReader& in) {
    TUaRepublishRequest m;
    if (!Decode(in, m)) return r.Channel.Fail(UaStatus::BadDecodingError, "Malformed Republish");
    TUaSubscription* s = FindSubscription(r, m.SubscriptionId);
    if (!s) return Fault(r, UaStatus::BadSubscriptionIdInvalid);
    std::string message = s->Retained(m.RetransmitSequenceNumber);
    if (message.empty()) return Fault(r, UaStatus::BadMessageNotAvailable);
    TUaBinaryWriter w;
    WriteResponseStart(w, UaId::RepublishResponse, Now(), m.Header.RequestHandle);
    w.Bytes() += message;
    Reply(r, w.Bytes());
}

// ---------------------------------------------------------------- monitored items

std::uint32_t TUaServer::FilterTrigger(const TUaExtensionObject& filter, TUaStatusCode& status) const {
    status = 0;
    if (filter.TypeId.IsNull() && filter.Encoding == 0) return 1;
    if (!filter.TypeId.IsNum(UaId::DataChangeFilter) || filter.Encoding != 1) {
        status = UaStatus::BadMonitoredItemFilterUnsupported;
        return 1;
    }
    TUaBinaryReader r(filter.Body);
    std::uint32_t trigger = r.UInt32();
    std::uint32_t deadbandType = r.UInt32();
    r.Double();
    if (!r.Ok() || trigger > 2 || deadbandType > 2)
        status = UaStatus::BadMonitoredItemFilterInvalid;
    else if (deadbandType != 0)
        status = UaStatus::BadMonitoredItemFilterUnsupported;
    return trigger;
}

void TUaServer::CreateMonitoredItems(TRequest& r, TUaBinaryReader& in) {
    TUaCreateMonitoredItemsRequest m;
    if (!Decode(in, m)) return r.Channel.Fail(UaStatus::BadDecodingError, "Malformed CreateMonitoredItems");
    TUaSubscription* s = FindSubscription(r, m.SubscriptionId);
    if (!s) return Fault(r, UaStatus::BadSubscriptionIdInvalid);
    if (m.TimestampsToReturn > 3) return Fault(r, UaStatus::BadTimestampsToReturnInvalid);
    if (m.Items.empty()) return Fault(r, UaStatus::BadNothingToDo);
    if (m.Items.size() > MaxOperationsPerRequest) return Fault(r, UaStatus::BadTooManyOperations);
    TUaBinaryWriter w;
    WriteResponseStart(w, UaId::CreateMonitoredItemsResponse, Now(), m.Header.RequestHandle);
    w.ArrayLength(m.Items.size());
    for (const auto& item : m.Items) {
        TUaStatusCode status = 0;
        std::uint32_t id = 0;
        std::uint32_t trigger = FilterTrigger(item.Parameters.Filter, status);
        auto node = status ? std::nullopt : Space_.Find(item.ItemToMonitor.NodeId, r.Session->Backend.get());
        if (status) {
        } else if (!node)
            status = UaStatus::BadNodeIdUnknown;
        else if (item.ItemToMonitor.AttributeId != atValue)
            status = UaStatus::BadAttributeIdInvalid;
        else if (node->ItemId.empty())
            status =
                node->NodeClass == ncVariable ? UaStatus::BadNotSupported : UaStatus::BadAttributeIdInvalid;
        else if (item.MonitoringMode > 2)
            status = UaStatus::BadMonitoringModeInvalid;
        else if (!item.ItemToMonitor.IndexRange.empty())
            status = UaStatus::BadIndexRangeInvalid;
        else if (s->ItemCount() >= Config_.MaxMonitoredItemsPerSubscription)
            status = UaStatus::BadTooManyMonitoredItems;
        else
            status = s->AddItem(node->ItemId, item.Parameters.ClientHandle, item.MonitoringMode,
                                m.TimestampsToReturn, trigger, id);
        w.StatusCode(status);
        w.UInt32(status ? 0 : id);
        // Items are sampled by the group cycle: the group's rate is the sampling interval.
        w.Double(s->PublishingInterval());
        w.UInt32(1); // DA keeps the last value only
        w.ExtensionObject({});
    }
    w.EmptyArray();
    Reply(r, w.Bytes());
}

void TUaServer::ModifyMonitoredItems(TRequest& r, TUaBinaryReader& in) {
    TUaModifyMonitoredItemsRequest m;
    if (!Decode(in, m)) return r.Channel.Fail(UaStatus::BadDecodingError, "Malformed ModifyMonitoredItems");
    TUaSubscription* s = FindSubscription(r, m.SubscriptionId);
    if (!s) return Fault(r, UaStatus::BadSubscriptionIdInvalid);
    if (m.TimestampsToReturn > 3) return Fault(r, UaStatus::BadTimestampsToReturnInvalid);
    if (m.Items.empty()) return Fault(r, UaStatus::BadNothingToDo);
    TUaBinaryWriter w;
    WriteResponseStart(w, UaId::ModifyMonitoredItemsResponse, Now(), m.Header.RequestHandle);
    w.ArrayLength(m.Items.size());
    for (const auto& item : m.Items) {
        TUaStatusCode status = 0;
        std::uint32_t trigger = FilterTrigger(item.Parameters.Filter, status);
        if (!status)
            status = s->ModifyItem(item.MonitoredItemId, item.Parameters.ClientHandle, m.TimestampsToReturn,
                                   trigger);
        w.StatusCode(status);
        w.Double(s->PublishingInterval());
        w.UInt32(1);
        w.ExtensionObject({});
    }
    w.EmptyArray();
    Reply(r, w.Bytes());
}

void TUaServer::SetMonitoringMode(TRequest& r, TUaBinaryReader& in) {
    TUaSetMonitoringModeRequest m;
    if (!Decode(in, m)) return r.Channel.Fail(UaStatus::BadDecodingError, "Malformed SetMonitoringMode");
    TUaSubscription* s = FindSubscription(r, m.SubscriptionId);
    if (!s) return Fault(r, UaStatus::BadSubscriptionIdInvalid);
    if (m.MonitoringMode > 2) return Fault(r, UaStatus::BadMonitoringModeInvalid);
    if (m.MonitoredItemIds.empty()) return Fault(r, UaStatus::BadNothingToDo);
    std::vector<TUaStatusCode> results;
    for (auto id : m.MonitoredItemIds) results.push_back(s->SetMode(id, m.MonitoringMode));
    TUaBinaryWriter w;
    WriteResponseStart(w, UaId::SetMonitoringModeResponse, Now(), m.Header.RequestHandle);
    WriteResults(w, results);
    Reply(r, w.Bytes());
}

void TUaServer::DeleteMonitoredItems(TRequest& r, TUaBinaryReader& in) {
    TUaDeleteMonitoredItemsRequest m;
    if (!Decode(in, m)) return r.Channel.Fail(UaStatus::BadDecodingError, "Malformed DeleteMonitoredItems");
    TUaSubscription* s = FindSubscription(r, m.SubscriptionId);
    if (!s) return Fault(r, UaStatus::BadSubscriptionIdInvalid);
    if (m.MonitoredItemIds.empty()) return Fault(r, UaStatus::BadNothingToDo);
    std::vector<TUaStatusCode> results;
    for (auto id : m.MonitoredItemIds) results.push_back(s->DeleteItem(id));
    TUaBinaryWriter w;
    WriteResponseStart(w, UaId::DeleteMonitoredItemsResponse, Now(), m.Header.RequestHandle);
    WriteResults(w, results);
    Reply(r, w.Bytes());
}

} // namespace dravon
