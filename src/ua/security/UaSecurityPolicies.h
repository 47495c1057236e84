// The security policies the endpoint offers, as data: algorithms, key and nonce lengths,
// the URIs a client sees. None is the first entry; its chunks carry no security.
#pragma once

#include "ua/security/UaCrypto.h"

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace dravon {

// MessageSecurityMode as it travels: 1 None, 2 Sign, 3 SignAndEncrypt.
enum class TUaSecurityMode : std::uint32_t { Invalid = 0, None = 1, Sign = 2, SignAndEncrypt = 3 };

struct TUaSecurityPolicy {
    const char* Name; // as in settings and logs
    const char* Uri;
    TUaRsaSignature AsymmetricSignature;
    const char* AsymmetricSignatureUri;
    TUaRsaEncryption AsymmetricEncryption;
    const char* AsymmetricEncryptionUri;
    std::size_t SigningKeyLength;
    std::size_t EncryptingKeyLength;
    std::size_t NonceLength;
    int MinKeyBits;
    int MaxKeyBits;

    static constexpr std::size_t BlockSize = 16;              // AES
    static constexpr std::size_t SymmetricSignatureSize = 32; // HMAC-SHA256

    bool IsNone() const { return NonceLength == 0; }
};

// None, Basic256Sha256, Aes128_Sha256_RsaOaep, Aes256_Sha256_RsaPss.
std::span<const TUaSecurityPolicy> UaSecurityPolicies();
const TUaSecurityPolicy& UaSecurityPolicyNone();
// Null when the URI (or, with byName, the short name) names no policy of ours.
const TUaSecurityPolicy* FindUaSecurityPolicy(std::string_view uriOrName, bool byName = false);

// The keys one side secures its messages with.
struct TUaSymmetricKeys {
    std::string SigningKey;
    std::string EncryptingKey;
    std::string Iv;
};

// Client keys (what the client sends with) come from P_SHA256(serverNonce, clientNonce),
// server keys from P_SHA256(clientNonce, serverNonce), each split into signing key,
// encrypting key and initialization vector.
struct TUaChannelKeys {
    TUaSymmetricKeys Client;
    TUaSymmetricKeys Server;
};
TUaChannelKeys DeriveUaChannelKeys(const TUaSecurityPolicy& policy, std::string_view clientNonce,
                                   std::string_view serverNonce);

// A UserName token's password: the policy's asymmetric encryption of
// length (UInt32, of what follows) + password + server nonce. Empty when it does not
// decrypt, does not hold together or ends in another nonce.
std::optional<std::string> DecryptUaUserPassword(const TUaSecurityPolicy& policy, const TUaKey& serverKey,
                                                 std::string_view encrypted, std::string_view serverNonce);
// What a client sends (tests use it as the client).
std::optional<std::string> EncryptUaUserPassword(const TUaSecurityPolicy& policy,
                                                 const TUaKey& serverPublicKey, std::string_view password,
                                                 std::string_view serverNonce);

} // namespace dravon
