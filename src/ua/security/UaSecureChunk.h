// Securing and opening one chunk of the secure conversation: pure functions, bytes in and
// bytes out, for the channel to call after it has framed a chunk and chosen its keys.
//
//   asymmetric (OPN): header | channel id, policy URI, sender certificate, receiver
//                     thumbprint | sequence header, body, padding, signature
//   symmetric (MSG, CLO): header | channel id, token id | sequence header, body, padding,
//                     signature
//
// The signature covers everything before it (with the final size in the header).
// Encryption covers the part after the security header. Padding (only when encrypting)
// is PaddingSize, that many bytes of the same value, and, for RSA keys above 2048 bits,
// ExtraPaddingSize (the high byte of the count). Asymmetric chunks are always signed and
// encrypted under a policy other than None; symmetric chunks as the mode says.
#pragma once

#include "ua/UaTypes.h"
#include "ua/security/UaSecurityPolicies.h"

#include <optional>
#include <string>
#include <string_view>

namespace dravon {

// An opened chunk: Status Good and Plain = sequence header + body; otherwise the status
// to refuse it with (Bad_SecurityChecksFailed for any failed check).
struct TUaOpenedChunk {
    TUaStatusCode Status = 0;
    std::string Plain;
};

struct TUaAsymmetricChunkHeader {
    std::uint32_t ChannelId = 0;
    std::string PolicyUri;
    std::string SenderCertificate;  // DER, empty under None
    std::string ReceiverThumbprint; // SHA-1 of the receiver's DER certificate
    std::size_t HeaderSize = 0;     // message header + security header
};

// Reads the message header and asymmetric security header of a whole chunk; empty when
// they are malformed or longer than the chunk.
std::optional<TUaAsymmetricChunkHeader> ReadUaAsymmetricHeader(std::string_view chunk);

// type is "OPN"; ownKey signs, peerKey encrypts. Under None both may be empty.
std::string SecureUaAsymmetricChunk(const TUaSecurityPolicy& policy, std::string_view type, char chunkType,
                                    std::uint32_t channelId, const TUaKey& ownKey,
                                    std::string_view ownCertificate, const TUaKey& peerKey,
                                    std::string_view peerThumbprint, std::string_view plain);
// The same after the caller wrote the prefix (message and security header) into chunk:
// appends the protected part and patches the size. False when a key cannot do it.
bool ProtectUaAsymmetric(const TUaSecurityPolicy& policy, const TUaKey& ownKey, const TUaKey& peerKey,
                         std::string& chunk, std::string_view plain);
// ownKey decrypts, peerKey (from the header's sender certificate) verifies.
TUaOpenedChunk OpenUaAsymmetricChunk(const TUaSecurityPolicy& policy, const TUaAsymmetricChunkHeader& header,
                                     std::string_view chunk, const TUaKey& ownKey, const TUaKey& peerKey);

// type is "MSG" or "CLO"; keys are the sender's.
std::string SecureUaSymmetricChunk(const TUaSecurityPolicy& policy, TUaSecurityMode mode,
                                   const TUaSymmetricKeys& keys, std::string_view type, char chunkType,
                                   std::uint32_t channelId, std::uint32_t tokenId, std::string_view plain);
bool ProtectUaSymmetric(const TUaSecurityPolicy& policy, TUaSecurityMode mode, const TUaSymmetricKeys& keys,
                        std::string& chunk, std::string_view plain);
// keys are the peer's (those of the token the chunk names).
TUaOpenedChunk OpenUaSymmetricChunk(const TUaSecurityPolicy& policy, TUaSecurityMode mode,
                                    const TUaSymmetricKeys& keys, std::string_view chunk);

// The most body bytes (after the sequence header) one symmetric chunk of bufferSize
// bytes carries.
std::size_t UaSymmetricMaxBody(const TUaSecurityPolicy& policy, TUaSecurityMode mode, std::size_t bufferSize);
// The most plain bytes (sequence header and body) a chunk of chunkSize bytes carries
// after a prefix of prefixSize bytes: asymmetric when both keys are given.
std::size_t UaPlainCapacity(const TUaSecurityPolicy& policy, TUaSecurityMode mode, const TUaKey* ownKey,
                            const TUaKey* peerKey, std::size_t chunkSize, std::size_t prefixSize);

} // namespace dravon
