// The seam between the chunk layer of a secure channel and its security policy. The
// channel frames chunks (message header, channel id, security header) and reassembles
// messages; the policy turns the plain part of a chunk (sequence header and body) into
// what goes on the wire and back: signing, encryption, padding and their checks. The
// channel holds one policy, chosen by the OpenSecureChannel that issues its first token.
//
//   chunk on the wire:  header | channel id | security header | protected(sequence header + body)
//                       `------------- prefix ---------------'
#pragma once

#include "ua/UaTypes.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace dravon {

class TUaBinaryWriter;

inline constexpr const char* UaSecurityPolicyNoneUri = "http://opcfoundation.org/UA/SecurityPolicy#None";

// The asymmetric security header of OpenSecureChannel chunks.
struct TUaAsymmetricHeader {
    std::string PolicyUri;
    std::string SenderCertificate;
    std::string ReceiverThumbprint;
};

class IUaSecurityPolicy {
public:
    virtual ~IUaSecurityPolicy() = default;
    virtual std::string Uri() const = 0;
    // Whether the policy serves the security mode an OpenSecureChannel asks for (1 None,
    // 2 Sign, 3 SignAndEncrypt).
    virtual bool AcceptsMode(std::uint32_t mode) const = 0;
    // A token was issued or renewed in the mode AcceptsMode took: takes the client's nonce,
    // gives the server's (empty for none). A signing policy derives the token's keys here;
    // a Bad status refuses.
    virtual TUaStatusCode IssueToken(std::uint32_t mode, std::uint32_t tokenId, std::string_view clientNonce,
                                     std::string& serverNonce) = 0;
    // The asymmetric header of the server's OpenSecureChannel responses.
    virtual TUaAsymmetricHeader ServerHeader() const = 0;

    // The largest plain part (sequence header + body) that fits into a chunk of chunkSize
    // bytes whose prefix takes prefixSize bytes.
    virtual std::size_t PlainCapacity(bool asymmetric, std::size_t chunkSize,
                                      std::size_t prefixSize) const = 0;
    // Incoming chunk: checks and decrypts `secured` (what follows the prefix) into `plain`.
    // `prefix` is covered by a signature. tokenId is 0 for asymmetric chunks. A Bad status
    // refuses the chunk and closes the channel.
    virtual TUaStatusCode Unprotect(bool asymmetric, std::uint32_t tokenId, std::string_view prefix,
                                    std::string_view secured, std::string& plain) = 0;
    // Outgoing chunk: `chunk` holds the prefix; appends the protected plain part and
    // patches the chunk size at offset 4 (before signing, which covers it).
    virtual void Protect(bool asymmetric, std::uint32_t tokenId, std::string& chunk,
                         std::string_view plain) = 0;
};

// Security policy None: the plain part goes on the wire as it is.
class TUaSecurityNone : public IUaSecurityPolicy {
public:
    std::string Uri() const override { return UaSecurityPolicyNoneUri; }
    bool AcceptsMode(std::uint32_t mode) const override { return mode == 1; }
    TUaStatusCode IssueToken(std::uint32_t, std::uint32_t, std::string_view,
                             std::string& serverNonce) override;
    TUaAsymmetricHeader ServerHeader() const override { return {Uri(), {}, {}}; }
    std::size_t PlainCapacity(bool, std::size_t chunkSize, std::size_t prefixSize) const override;
    TUaStatusCode Unprotect(bool, std::uint32_t, std::string_view, std::string_view secured,
                            std::string& plain) override;
    void Protect(bool, std::uint32_t, std::string& chunk, std::string_view plain) override;
};

// Picks the policy for an OpenSecureChannel's asymmetric header; null with `refusal` set
// (Bad_SecurityPolicyRejected, Bad_CertificateUntrusted, ...) and `reason` (for the Error
// message and the log) when there is none.
using TUaSecurityPolicyFactory = std::function<std::unique_ptr<IUaSecurityPolicy>(
    const TUaAsymmetricHeader&, TUaStatusCode& refusal, std::string& reason)>;

// The factory that offers None only.
std::unique_ptr<IUaSecurityPolicy> UaNoneOnlyPolicy(const TUaAsymmetricHeader& header, TUaStatusCode& refusal,
                                                    std::string& reason);

} // namespace dravon
