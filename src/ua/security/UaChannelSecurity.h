// The security of one secure channel under a policy other than None: the policy and
// mode the client chose, its certificate, and the symmetric keys of the current and the
// previous security token. The channel frames chunks, tracks tokens and checks sequence
// numbers; this object opens and secures the chunks' plain parts.
#pragma once

#include "ua/UaSecurityPolicy.h"
#include "ua/security/UaSecureChunk.h"
#include "ua/security/UaSecurity.h"

#include <ctime>

namespace dravon {

class TUaChannelSecurity : public IUaSecurityPolicy {
public:
    // The factory for a channel's first OpenSecureChannel: the policy must be offered,
    // and under a policy other than None the receiver thumbprint must be ours and the
    // sender certificate pass the trust checks at time now. Null with refusal set otherwise.
    static std::unique_ptr<IUaSecurityPolicy> Make(TUaSecurity& security, std::time_t now,
                                                   const TUaAsymmetricHeader& header, TUaStatusCode& refusal,
                                                   std::string& reason);

    TUaChannelSecurity(TUaSecurity& security, const TUaSecurityPolicy& policy, TUaCertificate peer);

    std::string Uri() const override { return Policy_.Uri; }
    bool AcceptsMode(std::uint32_t mode) const override;
    TUaStatusCode IssueToken(std::uint32_t mode, std::uint32_t tokenId, std::string_view clientNonce,
                             std::string& serverNonce) override;
    TUaAsymmetricHeader ServerHeader() const override;
    std::size_t PlainCapacity(bool asymmetric, std::size_t chunkSize, std::size_t prefixSize) const override;
    TUaStatusCode Unprotect(bool asymmetric, std::uint32_t tokenId, std::string_view prefix,
                            std::string_view secured, std::string& plain) override;
    void Protect(bool asymmetric, std::uint32_t tokenId, std::string& chunk, std::string_view plain) override;

    const TUaSecurityPolicy& Policy() const { return Policy_; }
    TUaSecurityMode Mode() const { return Mode_; }
    const TUaCertificate& PeerCertificate() const { return Peer_; }

private:
    struct TToken {
        std::uint32_t Id = 0;
        TUaChannelKeys Keys;
    };
    const TToken* Token(std::uint32_t id) const;

    TUaSecurity& Security_;
    const TUaSecurityPolicy& Policy_;
    TUaCertificate Peer_;
    TUaKey PeerKey_;
    TUaSecurityMode Mode_ = TUaSecurityMode::Invalid;
    TToken Current_;
    TToken Previous_;
};

} // namespace dravon
