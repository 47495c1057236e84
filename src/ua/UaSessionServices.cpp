#include "ua/UaServer.h"

#include "app/Platform.h"
#include "app/ServerContext.h"
#include "app/SessionLog.h"
#include "app/TextFormat.h"
#include "app/TimeDate.h"
#include "ua/UaNodeIds.h"
#include "ua/UaStatusCodes.h"
#include "ua/UaStatusNames.h"
#include "ua/security/UaChannelSecurity.h"
#include "ua/security/UaSessionSecurity.h"

#include <algorithm>
#include <cmath>

// Session service set: CreateSession, ActivateSession, CloseSession.
namespace dravon {
namespace {

// A client's session name reaches log lines and the operator's client list: control
// characters become '?', and it is cut to 64 bytes without splitting a UTF-8 character.
std::string SessionNameOf(std::string_view text) {
    constexpr std::size_t Max = 64;
    std::string name;
    for (unsigned char c : text.substr(0, Max))
        name.push_back(c < 0x20 || c == 0x7F ? '?' : static_cast<char>(c));
    if (text.size() > Max) {
        std::size_t lead = name.size();
        while (lead > 0 && (static_cast<unsigned char>(name[lead - 1]) & 0xC0) == 0x80) --lead;
        if (lead > 0) {
            const auto c = static_cast<unsigned char>(name[lead - 1]);
            const std::size_t length = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
            if (lead - 1 + length > name.size()) name.resize(lead - 1);
        }
    }
    return name;
}

} // namespace

void TUaServer::CreateSession(TRequest& r, TUaBinaryReader& in) {
    TUaCreateSessionRequest m;
    if (!Decode(in, m)) return r.Channel.Fail(UaStatus::BadDecodingError, "Malformed CreateSession");
    if (!RoomForSession(r.Channel)) return Fault(r, UaStatus::BadTooManySessions);
    // On a secured channel the client presents the certificate the channel was opened
    // with, for the application it names, and a nonce worth signing.
    const auto* channelSecurity = dynamic_cast<const TUaChannelSecurity*>(r.Channel.Policy());
    const TUaSecurityPolicy& policy = channelSecurity ? channelSecurity->Policy() : UaSecurityPolicyNone();
    if (channelSecurity && policy.IsNone() && !Security_.PolicyOffered(policy))
        return RefuseSession(r, UaStatus::BadSecurityPolicyRejected, "security None is for discovery only");
    if (!policy.IsNone()) {
        auto chain = TUaCertificate::ChainFromDer(m.ClientCertificate);
        if (chain.empty() || chain.front().Der() != channelSecurity->PeerCertificate().Der())
            return RefuseSession(r, UaStatus::BadCertificateInvalid, "not the channel's certificate");
        if (chain.front().ApplicationUri() != m.ClientDescription.ApplicationUri)
            return RefuseSession(r, UaStatus::BadCertificateUriInvalid,
                                 "not the certificate's application URI");
        if (m.ClientNonce.size() < policy.NonceLength)
            return RefuseSession(r, UaStatus::BadNonceInvalid, "nonce too short");
    }
    double timeout = Config_.SessionTimeoutMs;
    if (std::isfinite(m.RequestedSessionTimeout) && m.RequestedSessionTimeout > 0)
        timeout =
            std::clamp(m.RequestedSessionTimeout, 1000.0, static_cast<double>(Config_.SessionTimeoutMs));
    std::uint32_t number = NextSessionNumber_++;
    auto session = std::make_unique<TUaSession>(Context_, number, SessionNameOf(m.SessionName), timeout);
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
    session->StandardValue = [this](std::uint32_t id) { return StandardValue(id); };
    TUaSession* raw = session.get();
    session->SubscriptionExpired = [this, raw](std::uint32_t id) {
        std::weak_ptr<bool> alive = Alive_;
        Context_.Loop->Post([this, alive, raw, id] {
            if (alive.expired() || !*alive.lock()) return;
            for (auto& [key, s] : Sessions_) {
                if (s.get() != raw) continue;
                auto it = s->Subscriptions.find(id);
                if (it == s->Subscriptions.end()) return;
                const std::uint32_t sequence = it->second->NextSequenceNumber();
                s->Subscriptions.erase(it);
                s->NotifyStatusChange(id, sequence, UaStatus::BadTimeout);
            }
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
        return RefuseSession(r, UaStatus::BadSecurityChecksFailed, "activated under another certificate");
    if (!policy.IsNone() &&
        !VerifyUaSession(policy, channelSecurity->PeerCertificate(), Security_.Certificate().Der(),
                         session->ServerNonce, {m.ClientSignatureAlgorithm, m.ClientSignature}))
        return RefuseSession(r, UaStatus::BadApplicationSignatureInvalid, "client signature does not verify");
    TUaIdentity identity = CheckUaIdentity(m.UserIdentityToken, Security_, policy, session->ServerNonce);
    if (identity.WrongPassword) {
        std::string name;
        for (char c : identity.UserName.substr(0, 64)) name.push_back(c >= 0x20 && c < 0x7F ? c : '?');
        Events_.Note("user", r.Channel.PeerAddress(),
                     "OPC UA user \"" + name + "\" from " + r.Channel.PeerAddress() +
                         " refused: wrong user name or password");
        return DelayedFault(r, identity.Status);
    }
    if (identity.Status != UaStatus::Good)
        return RefuseSession(r, identity.Status,
                             identity.Status == UaStatus::BadIdentityTokenRejected
                                 ? "user token kind not accepted"
                                 : "user token invalid");
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
    session->User = identity.Anonymous ? std::string() : identity.UserName;
    session->LastActivity = Context_.Clock->TickCount();
    session->ServerNonce = UaRandomBytes(32);
    TUaBinaryWriter w;
    WriteResponseStart(w, UaId::ActivateSessionResponse, Now(), m.Header.RequestHandle);
    w.ByteString(session->ServerNonce);
    w.EmptyArray();
    w.EmptyArray();
    Reply(r, w.Bytes());
}

void TUaServer::RefuseSession(const TRequest& request, TUaStatusCode status, const std::string& why) {
    const std::string peer = request.Channel.PeerAddress();
    const std::string name = UaStatusName(status);
    Events_.Note(name, peer, "OPC UA session for " + peer + " refused: " + name + " (" + why + ")");
    Fault(request, status);
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
    // Only the channel the session lives on may close it: a token seen on the wire of a
    // signed-only channel is no licence to end another client's session.
    if (session->ChannelId != r.Channel.ChannelId()) return Fault(r, UaStatus::BadSecureChannelIdInvalid);
    std::uint32_t key = session->SessionId.Numeric;
    CloseSession(key);
    TUaBinaryWriter w;
    WriteResponseStart(w, UaId::CloseSessionResponse, Now(), m.Header.RequestHandle);
    Reply(r, w.Bytes());
}

} // namespace dravon
