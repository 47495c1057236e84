#include "ua/security/UaChannelSecurity.h"

#include "ua/UaStatusCodes.h"

namespace dravon {

namespace {
constexpr std::size_t SymmetricHeaderSize = 16;
} // namespace

TUaChannelSecurity::TResult TUaChannelSecurity::OpenAsymmetric(std::string_view chunk, bool renew,
                                                               std::time_t now) {
    auto header = ReadUaAsymmetricHeader(chunk);
    if (!header) return {UaStatus::BadDecodingError, {}, "Malformed asymmetric security header"};
    const TUaSecurityPolicy* policy = FindUaSecurityPolicy(header->PolicyUri);
    if (!policy || !Security_.PolicyOffered(*policy) || (renew && policy != Policy_))
        return {UaStatus::BadSecurityPolicyRejected, {}, "Security policy not offered: " + header->PolicyUri};
    if (policy->IsNone()) {
        Policy_ = policy;
        return {UaStatus::Good, std::string(chunk.substr(header->HeaderSize)), {}};
    }
    if (!Security_.HaveCertificate() ||
        !UaSameBytes(header->ReceiverThumbprint, Security_.Certificate().Thumbprint()))
        return {UaStatus::BadSecurityChecksFailed, {}, "The receiver thumbprint is not this server's"};
    if (renew) {
        auto chain = TUaCertificate::ChainFromDer(header->SenderCertificate);
        if (chain.empty() || chain.front().Der() != PeerCertificate_.Der())
            return {UaStatus::BadSecurityChecksFailed, {}, "The renewal comes with another certificate"};
    } else {
        auto check = Security_.Pki().Check(header->SenderCertificate, "", now, policy->MinKeyBits,
                                           policy->MaxKeyBits, Security_.AutoTrust());
        if (check.Status != UaStatus::Good) return {check.Status, {}, check.Reason};
        PeerCertificate_ = TUaCertificate::ChainFromDer(header->SenderCertificate).front();
        PeerKey_ = PeerCertificate_.PublicKey();
    }
    auto opened = OpenUaAsymmetricChunk(*policy, *header, chunk, Security_.Key(), PeerKey_);
    if (opened.Status != UaStatus::Good)
        return {opened.Status, {}, "Signature or padding of the OpenSecureChannel is wrong"};
    Policy_ = policy;
    return {UaStatus::Good, std::move(opened.Plain), {}};
}

TUaStatusCode TUaChannelSecurity::Establish(TUaSecurityMode mode, std::string_view clientNonce,
                                            std::uint32_t tokenId, std::string& serverNonce) {
    if (!Security_.Offered(*Policy_, mode) || (Current_.Id && mode != Mode_))
        return UaStatus::BadSecurityModeRejected;
    serverNonce.clear();
    Mode_ = mode;
    if (Current_.Id) {
        Previous_ = std::move(Current_);
        PreviousValid_ = true;
    }
    Current_ = TToken{tokenId, {}};
    if (Policy_->IsNone()) return UaStatus::Good;
    if (clientNonce.size() != Policy_->NonceLength) return UaStatus::BadNonceInvalid;
    serverNonce = UaRandomBytes(Policy_->NonceLength);
    Current_.Keys = DeriveUaChannelKeys(*Policy_, clientNonce, serverNonce);
    return UaStatus::Good;
}

std::string TUaChannelSecurity::SecureAsymmetric(char chunkType, std::uint32_t channelId,
                                                 std::string_view plain) const {
    if (!Secured())
        return SecureUaAsymmetricChunk(*Policy_, "OPN", chunkType, channelId, {}, {}, {}, {}, plain);
    return SecureUaAsymmetricChunk(*Policy_, "OPN", chunkType, channelId, Security_.Key(),
                                   Security_.Certificate().Der(), PeerKey_, PeerCertificate_.Thumbprint(),
                                   plain);
}

TUaChannelSecurity::TResult TUaChannelSecurity::OpenSymmetric(std::string_view chunk) {
    if (chunk.size() < SymmetricHeaderSize) return {UaStatus::BadDecodingError, {}, "Chunk too short"};
    auto byte = [&](std::size_t i) {
        return static_cast<std::uint32_t>(static_cast<unsigned char>(chunk[i]));
    };
    std::uint32_t tokenId = byte(12) | byte(13) << 8 | byte(14) << 16 | byte(15) << 24;
    const TToken* token = nullptr;
    if (tokenId == Current_.Id)
        token = &Current_;
    else if (PreviousValid_ && tokenId == Previous_.Id)
        token = &Previous_;
    if (!token || !Current_.Id) return {UaStatus::BadSecureChannelTokenUnknown, {}, "Unknown security token"};
    auto opened = OpenUaSymmetricChunk(*Policy_, Mode_, token->Keys.Client, chunk);
    if (opened.Status != UaStatus::Good)
        return {opened.Status, {}, "Signature or padding of a message is wrong"};
    // The client switched: the previous keys are done with.
    if (token == &Current_ && PreviousValid_) {
        PreviousValid_ = false;
        Previous_ = TToken{};
    }
    return {UaStatus::Good, std::move(opened.Plain), {}};
}

std::string TUaChannelSecurity::SecureSymmetric(std::string_view type, char chunkType,
                                                std::uint32_t channelId, std::string_view plain) const {
    const TToken& token = SendToken();
    return SecureUaSymmetricChunk(*Policy_, Mode_, token.Keys.Server, type, chunkType, channelId, token.Id,
                                  plain);
}

std::size_t TUaChannelSecurity::MaxBody(std::size_t bufferSize) const {
    return UaSymmetricMaxBody(*Policy_, Mode_, bufferSize);
}

} // namespace dravon
