#include "ua/security/UaSecurityPolicies.h"

#include <array>

namespace dravon {

namespace {

constexpr const char* RsaSha256 = "http://www.w3.org/2001/04/xmldsig-more#rsa-sha256";
constexpr const char* RsaPssSha256 = "http://opcfoundation.org/UA/security/rsa-pss-sha2-256";
constexpr const char* RsaOaep = "http://www.w3.org/2001/04/xmlenc#rsa-oaep";
constexpr const char* RsaOaepSha256 = "http://opcfoundation.org/UA/security/rsa-oaep-sha2-256";

constexpr std::array<TUaSecurityPolicy, 4> Policies{{
    {"None", "http://opcfoundation.org/UA/SecurityPolicy#None", TUaRsaSignature::Pkcs1Sha256, "",
     TUaRsaEncryption::OaepSha1, "", 0, 0, 0, 0, 0},
    {"Basic256Sha256", "http://opcfoundation.org/UA/SecurityPolicy#Basic256Sha256",
     TUaRsaSignature::Pkcs1Sha256, RsaSha256, TUaRsaEncryption::OaepSha1, RsaOaep, 32, 32, 32, 2048, 4096},
    {"Aes128_Sha256_RsaOaep", "http://opcfoundation.org/UA/SecurityPolicy#Aes128_Sha256_RsaOaep",
     TUaRsaSignature::Pkcs1Sha256, RsaSha256, TUaRsaEncryption::OaepSha1, RsaOaep, 32, 16, 32, 2048, 4096},
    {"Aes256_Sha256_RsaPss", "http://opcfoundation.org/UA/SecurityPolicy#Aes256_Sha256_RsaPss",
     TUaRsaSignature::PssSha256, RsaPssSha256, TUaRsaEncryption::OaepSha256, RsaOaepSha256, 32, 32, 32, 2048,
     4096},
}};

TUaSymmetricKeys Split(const TUaSecurityPolicy& policy, const std::string& material) {
    TUaSymmetricKeys keys;
    std::size_t at = 0;
    keys.SigningKey = material.substr(at, policy.SigningKeyLength);
    at += policy.SigningKeyLength;
    keys.EncryptingKey = material.substr(at, policy.EncryptingKeyLength);
    at += policy.EncryptingKeyLength;
    keys.Iv = material.substr(at, TUaSecurityPolicy::BlockSize);
    return keys;
}

} // namespace

std::span<const TUaSecurityPolicy> UaSecurityPolicies() { return Policies; }
const TUaSecurityPolicy& UaSecurityPolicyNone() { return Policies[0]; }

const TUaSecurityPolicy* FindUaSecurityPolicy(std::string_view uriOrName, bool byName) {
    for (const auto& policy : Policies)
        if ((byName ? policy.Name : policy.Uri) == uriOrName) return &policy;
    return nullptr;
}

TUaChannelKeys DeriveUaChannelKeys(const TUaSecurityPolicy& policy, std::string_view clientNonce,
                                   std::string_view serverNonce) {
    std::size_t length = policy.SigningKeyLength + policy.EncryptingKeyLength + TUaSecurityPolicy::BlockSize;
    return {Split(policy, UaPSha256(serverNonce, clientNonce, length)),
            Split(policy, UaPSha256(clientNonce, serverNonce, length))};
}

std::optional<std::string> DecryptUaUserPassword(const TUaSecurityPolicy& policy, const TUaKey& serverKey,
                                                 std::string_view encrypted, std::string_view serverNonce) {
    auto plain = serverKey.Decrypt(policy.AsymmetricEncryption, encrypted);
    if (!plain || plain->size() < 4) return std::nullopt;
    auto b = [&](std::size_t i) {
        return static_cast<std::uint32_t>(static_cast<unsigned char>((*plain)[i]));
    };
    std::uint32_t length = b(0) | b(1) << 8 | b(2) << 16 | b(3) << 24;
    if (length > plain->size() - 4 || length < serverNonce.size() || serverNonce.empty()) return std::nullopt;
    std::string_view rest = std::string_view(*plain).substr(4, length);
    if (!UaSameBytes(rest.substr(rest.size() - serverNonce.size()), serverNonce)) return std::nullopt;
    return std::string(rest.substr(0, rest.size() - serverNonce.size()));
}

std::optional<std::string> EncryptUaUserPassword(const TUaSecurityPolicy& policy,
                                                 const TUaKey& serverPublicKey, std::string_view password,
                                                 std::string_view serverNonce) {
    std::uint32_t length = static_cast<std::uint32_t>(password.size() + serverNonce.size());
    std::string plain;
    for (int i = 0; i < 4; ++i) plain.push_back(static_cast<char>(length >> (8 * i)));
    plain.append(password);
    plain.append(serverNonce);
    return serverPublicKey.Encrypt(policy.AsymmetricEncryption, plain);
}

} // namespace dravon
