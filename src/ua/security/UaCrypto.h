// The cryptography of the secure conversation, all of it from OpenSSL: random bytes,
// SHA-1 thumbprints, HMAC-SHA256, the P_SHA256 key derivation, AES-CBC without padding
// (the chunk layer pads itself) and RSA keys with the signature and encryption schemes
// the security policies name. Failures are empty results, never exceptions.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

typedef struct evp_pkey_st EVP_PKEY;

namespace dravon {

std::string UaRandomBytes(std::size_t n);
std::string UaSha1(std::string_view data);
std::string UaHmacSha256(std::string_view key, std::string_view data);
// P_SHA256(secret, seed) cut to length bytes (the TLS 1.2 PRF without a label).
std::string UaPSha256(std::string_view secret, std::string_view seed, std::size_t length);
// AES-128 or AES-256 (by key length) in CBC mode; data a whole number of 16-byte blocks.
std::optional<std::string> UaAesCbc(bool encrypt, std::string_view key, std::string_view iv,
                                    std::string_view data);
// Equal contents, in time independent of where they differ.
bool UaSameBytes(std::string_view a, std::string_view b);
std::string UaHex(std::string_view bytes);

enum class TUaRsaSignature { Pkcs1Sha256, PssSha256 };
enum class TUaRsaEncryption { OaepSha1, OaepSha256 };

// An RSA key, private (own) or public only (a peer's, from its certificate). Copies share it.
class TUaKey {
public:
    TUaKey() = default;
    static TUaKey Generate(int bits);
    static TUaKey FromPrivatePem(std::string_view pem);
    // Takes over one reference of key.
    static TUaKey Adopt(EVP_PKEY* key);

    bool Valid() const { return Key_ != nullptr; }
    EVP_PKEY* Get() const { return Key_.get(); }
    // Modulus size in bytes: the size of a signature and of an encrypted block.
    std::size_t Bytes() const;
    std::string PrivatePem() const;

    std::optional<std::string> Sign(TUaRsaSignature scheme, std::string_view data) const;
    bool Verify(TUaRsaSignature scheme, std::string_view data, std::string_view signature) const;
    // Block by block: plain blocks of up to PlainBlockSize bytes become Bytes()-sized blocks.
    std::optional<std::string> Encrypt(TUaRsaEncryption scheme, std::string_view data) const;
    std::optional<std::string> Decrypt(TUaRsaEncryption scheme, std::string_view data) const;
    std::size_t PlainBlockSize(TUaRsaEncryption scheme) const;

private:
    std::shared_ptr<EVP_PKEY> Key_;
};

} // namespace dravon
