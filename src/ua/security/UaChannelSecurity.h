// The security of one secure channel: the policy and mode the client chose, its
// certificate, and the symmetric keys of each security token. The channel frames chunks
// and checks sequence numbers; this object opens and secures them.
//
// Renewal: after a new token is issued, chunks under the previous token are still
// accepted, and responses still go out under it, until the client sends under the new one.
#pragma once

#include "ua/security/UaSecureChunk.h"
#include "ua/security/UaSecurity.h"

#include <ctime>

namespace dravon {

class TUaChannelSecurity {
public:
    explicit TUaChannelSecurity(TUaSecurity& security) : Security_(security) {}

    struct TResult {
        TUaStatusCode Status = 0;
        std::string Plain;  // sequence header + body
        std::string Reason; // for the log when refused
    };
    // A whole OpenSecureChannel chunk: the policy must be offered, the receiver thumbprint
    // ours, the sender certificate trusted (the same one on a renewal), the signature and
    // padding sound.
    TResult OpenAsymmetric(std::string_view chunk, bool renew, std::time_t now);
    // The decoded request: the mode must be offered with the policy and the client nonce
    // have the policy's length. Makes the server nonce and the keys of token tokenId.
    TUaStatusCode Establish(TUaSecurityMode mode, std::string_view clientNonce, std::uint32_t tokenId,
                            std::string& serverNonce);
    std::string SecureAsymmetric(char chunkType, std::uint32_t channelId, std::string_view plain) const;

    // A whole MSG or CLO chunk under the current or (until replaced) the previous token.
    TResult OpenSymmetric(std::string_view chunk);
    std::string SecureSymmetric(std::string_view type, char chunkType, std::uint32_t channelId,
                                std::string_view plain) const;
    // Body bytes (after the sequence header) that fit one symmetric chunk.
    std::size_t MaxBody(std::size_t bufferSize) const;

    const TUaSecurityPolicy& Policy() const { return *Policy_; }
    TUaSecurityMode Mode() const { return Mode_; }
    bool Secured() const { return !Policy_->IsNone(); }
    const TUaCertificate& PeerCertificate() const { return PeerCertificate_; }
    std::uint32_t SendTokenId() const { return SendToken().Id; }

private:
    struct TToken {
        std::uint32_t Id = 0;
        TUaChannelKeys Keys;
    };
    const TToken& SendToken() const { return PreviousValid_ ? Previous_ : Current_; }

    TUaSecurity& Security_;
    const TUaSecurityPolicy* Policy_ = &UaSecurityPolicyNone();
    TUaSecurityMode Mode_ = TUaSecurityMode::None;
    TUaCertificate PeerCertificate_;
    TUaKey PeerKey_;
    TToken Current_;
    TToken Previous_;
    bool PreviousValid_ = false;
};

} // namespace dravon
