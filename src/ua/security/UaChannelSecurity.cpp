#include "ua/security/UaChannelSecurity.h"

#include "ua/UaStatusCodes.h"

namespace dravon {

std::unique_ptr<IUaSecurityPolicy> TUaChannelSecurity::Make(TUaSecurity& security, std::time_t now,
                                                            const TUaAsymmetricHeader& header,
                                                            TUaStatusCode& refusal, std::string& reason) {
    const TUaSecurityPolicy* policy = FindUaSecurityPolicy(header.PolicyUri);
    // None always opens a channel: clients look up the endpoints and the server's certificate
    // over it before they open a secured one. Sessions on it need None offered.
    if (!policy || (!policy->IsNone() && !security.PolicyOffered(*policy))) {
        refusal = UaStatus::BadSecurityPolicyRejected;
        reason = "Security policy not offered: " + header.PolicyUri;
        return nullptr;
    }
    if (policy->IsNone()) return std::make_unique<TUaChannelSecurity>(security, *policy, TUaCertificate());
    if (!security.HaveCertificate() ||
        !UaSameBytes(header.ReceiverThumbprint, security.Certificate().Thumbprint())) {
        refusal = UaStatus::BadSecurityChecksFailed;
        reason = "The receiver thumbprint is not this server's";
        return nullptr;
    }
    auto check = security.Pki().Check(header.SenderCertificate, "", now, policy->MinKeyBits,
                                      policy->MaxKeyBits, security.AutoTrust());
    if (check.Status != UaStatus::Good) {
        refusal = check.Status;
        reason = "Client certificate refused: " + check.Reason;
        return nullptr;
    }
    return std::make_unique<TUaChannelSecurity>(
        security, *policy, TUaCertificate::ChainFromDer(header.SenderCertificate).front());
}

TUaChannelSecurity::TUaChannelSecurity(TUaSecurity& security, const TUaSecurityPolicy& policy,
                                       TUaCertificate peer)
    : Security_(security), Policy_(policy), Peer_(std::move(peer)), PeerKey_(Peer_.PublicKey()) {}

bool TUaChannelSecurity::AcceptsMode(std::uint32_t mode) const {
    auto m = static_cast<TUaSecurityMode>(mode);
    // A renewal keeps the mode of the channel.
    const bool offered = Security_.Offered(Policy_, m) || (Policy_.IsNone() && m == TUaSecurityMode::None);
    return offered && (Mode_ == TUaSecurityMode::Invalid || Mode_ == m);
}

TUaStatusCode TUaChannelSecurity::IssueToken(std::uint32_t mode, std::uint32_t tokenId,
                                             std::string_view clientNonce, std::string& serverNonce) {
    serverNonce.clear();
    if (!Policy_.IsNone() && clientNonce.size() != Policy_.NonceLength) return UaStatus::BadNonceInvalid;
    Mode_ = static_cast<TUaSecurityMode>(mode);
    if (Current_.Id) Previous_ = std::move(Current_);
    Current_ = TToken{tokenId, {}};
    if (Policy_.IsNone()) return UaStatus::Good;
    serverNonce = UaRandomBytes(Policy_.NonceLength);
    Current_.Keys = DeriveUaChannelKeys(Policy_, clientNonce, serverNonce);
    return UaStatus::Good;
}

TUaAsymmetricHeader TUaChannelSecurity::ServerHeader() const {
    if (Policy_.IsNone()) return {Policy_.Uri, {}, {}};
    return {Policy_.Uri, Security_.Certificate().Der(), Peer_.Thumbprint()};
}

std::size_t TUaChannelSecurity::PlainCapacity(bool asymmetric, std::size_t chunkSize,
                                              std::size_t prefixSize) const {
    if (asymmetric)
        return UaPlainCapacity(Policy_, TUaSecurityMode::SignAndEncrypt, &Security_.Key(), &PeerKey_,
                               chunkSize, prefixSize);
    return UaPlainCapacity(Policy_, Mode_, nullptr, nullptr, chunkSize, prefixSize);
}

const TUaChannelSecurity::TToken* TUaChannelSecurity::Token(std::uint32_t id) const {
    if (Current_.Id && id == Current_.Id) return &Current_;
    if (Previous_.Id && id == Previous_.Id) return &Previous_;
    return nullptr;
}

TUaStatusCode TUaChannelSecurity::Unprotect(bool asymmetric, std::uint32_t tokenId, std::string_view prefix,
                                            std::string_view secured, std::string& plain) {
    std::string chunk(prefix);
    chunk.append(secured);
    TUaOpenedChunk opened;
    if (asymmetric) {
        auto header = ReadUaAsymmetricHeader(chunk);
        if (!header) return UaStatus::BadDecodingError;
        // A renewal must come from the certificate the channel was opened with.
        if (!Policy_.IsNone()) {
            auto chain = TUaCertificate::ChainFromDer(header->SenderCertificate);
            if (chain.empty() || chain.front().Der() != Peer_.Der() ||
                !UaSameBytes(header->ReceiverThumbprint, Security_.Certificate().Thumbprint()))
                return UaStatus::BadSecurityChecksFailed;
        }
        opened = OpenUaAsymmetricChunk(Policy_, *header, chunk, Security_.Key(), PeerKey_);
    } else {
        const TToken* token = Token(tokenId);
        if (!token) return UaStatus::BadSecureChannelTokenUnknown;
        opened = OpenUaSymmetricChunk(Policy_, Mode_, token->Keys.Client, chunk);
    }
    if (opened.Status != UaStatus::Good) return opened.Status;
    plain = std::move(opened.Plain);
    return UaStatus::Good;
}

void TUaChannelSecurity::Protect(bool asymmetric, std::uint32_t tokenId, std::string& chunk,
                                 std::string_view plain) {
    if (asymmetric) {
        ProtectUaAsymmetric(Policy_, Security_.Key(), PeerKey_, chunk, plain);
        return;
    }
    const TToken* token = Token(tokenId);
    static const TUaSymmetricKeys none;
    ProtectUaSymmetric(Policy_, Mode_, token ? token->Keys.Server : none, chunk, plain);
}

} // namespace dravon
