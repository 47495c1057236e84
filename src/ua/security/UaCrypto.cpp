#include "ua/security/UaCrypto.h"

#include <algorithm>

#include <openssl/bio.h>
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/kdf.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>

namespace dravon {

namespace {

struct TFree {
    void operator()(EVP_PKEY_CTX* p) const { EVP_PKEY_CTX_free(p); }
    void operator()(EVP_MD_CTX* p) const { EVP_MD_CTX_free(p); }
    void operator()(EVP_CIPHER_CTX* p) const { EVP_CIPHER_CTX_free(p); }
    void operator()(EVP_KDF* p) const { EVP_KDF_free(p); }
    void operator()(EVP_KDF_CTX* p) const { EVP_KDF_CTX_free(p); }
    void operator()(BIO* p) const { BIO_free(p); }
};
template <typename T> using TOwned = std::unique_ptr<T, TFree>;

const unsigned char* U(std::string_view s) { return reinterpret_cast<const unsigned char*>(s.data()); }
unsigned char* U(std::string& s) { return reinterpret_cast<unsigned char*>(s.data()); }

// OAEP with SHA-1 takes 2 * 20 + 2 bytes of every block, with SHA-256 2 * 32 + 2.
std::size_t OaepOverhead(TUaRsaEncryption scheme) { return scheme == TUaRsaEncryption::OaepSha1 ? 42 : 66; }

bool SetOaep(EVP_PKEY_CTX* ctx, TUaRsaEncryption scheme) {
    if (EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_OAEP_PADDING) <= 0) return false;
    const EVP_MD* md = scheme == TUaRsaEncryption::OaepSha1 ? EVP_sha1() : EVP_sha256();
    return EVP_PKEY_CTX_set_rsa_oaep_md(ctx, md) > 0 && EVP_PKEY_CTX_set_rsa_mgf1_md(ctx, md) > 0;
}

bool SetSignature(EVP_PKEY_CTX* ctx, TUaRsaSignature scheme) {
    if (scheme == TUaRsaSignature::Pkcs1Sha256)
        return EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING) > 0;
    return EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PSS_PADDING) > 0 &&
           EVP_PKEY_CTX_set_rsa_pss_saltlen(ctx, RSA_PSS_SALTLEN_DIGEST) > 0;
}

} // namespace

std::string UaRandomBytes(std::size_t n) {
    std::string out(n, '\0');
    if (n && RAND_bytes(U(out), static_cast<int>(n)) != 1) out.clear();
    return out;
}

std::string UaSha1(std::string_view data) {
    std::string out(20, '\0');
    EVP_Digest(data.data(), data.size(), U(out), nullptr, EVP_sha1(), nullptr);
    return out;
}

std::string UaHmacSha256(std::string_view key, std::string_view data) {
    std::string out(32, '\0');
    unsigned int length = 0;
    if (!HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()), U(data), data.size(), U(out), &length))
        out.clear();
    return out;
}

std::string UaPSha256(std::string_view secret, std::string_view seed, std::size_t length) {
    TOwned<EVP_KDF> kdf(EVP_KDF_fetch(nullptr, OSSL_KDF_NAME_TLS1_PRF, nullptr));
    if (!kdf) return {};
    TOwned<EVP_KDF_CTX> ctx(EVP_KDF_CTX_new(kdf.get()));
    if (!ctx) return {};
    char digest[] = "SHA256";
    OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, digest, 0),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_SECRET, const_cast<char*>(secret.data()),
                                          secret.size()),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_SEED, const_cast<char*>(seed.data()), seed.size()),
        OSSL_PARAM_construct_end()};
    std::string out(length, '\0');
    if (EVP_KDF_derive(ctx.get(), U(out), length, params) <= 0) return {};
    return out;
}

std::optional<std::string> UaAesCbc(bool encrypt, std::string_view key, std::string_view iv,
                                    std::string_view data) {
    const EVP_CIPHER* cipher = key.size() == 16   ? EVP_aes_128_cbc()
                               : key.size() == 32 ? EVP_aes_256_cbc()
                                                  : nullptr;
    if (!cipher || iv.size() != 16 || data.size() % 16 != 0) return std::nullopt;
    TOwned<EVP_CIPHER_CTX> ctx(EVP_CIPHER_CTX_new());
    if (!ctx || EVP_CipherInit_ex(ctx.get(), cipher, nullptr, U(key), U(iv), encrypt ? 1 : 0) != 1)
        return std::nullopt;
    EVP_CIPHER_CTX_set_padding(ctx.get(), 0);
    std::string out(data.size(), '\0');
    int written = 0;
    int last = 0;
    if (EVP_CipherUpdate(ctx.get(), U(out), &written, U(data), static_cast<int>(data.size())) != 1 ||
        EVP_CipherFinal_ex(ctx.get(), U(out) + written, &last) != 1 ||
        static_cast<std::size_t>(written + last) != data.size())
        return std::nullopt;
    return out;
}

bool UaSameBytes(std::string_view a, std::string_view b) {
    return a.size() == b.size() && CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

std::string UaHex(std::string_view bytes) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (unsigned char c : bytes) {
        out.push_back(digits[c >> 4]);
        out.push_back(digits[c & 15]);
    }
    return out;
}

TUaKey TUaKey::Adopt(EVP_PKEY* key) {
    TUaKey k;
    if (key) k.Key_.reset(key, EVP_PKEY_free);
    return k;
}

TUaKey TUaKey::Generate(int bits) { return Adopt(EVP_RSA_gen(static_cast<unsigned int>(bits))); }

TUaKey TUaKey::FromPrivatePem(std::string_view pem) {
    TOwned<BIO> bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    if (!bio) return {};
    TUaKey key = Adopt(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr));
    if (key.Valid() && EVP_PKEY_get_base_id(key.Get()) != EVP_PKEY_RSA) return {};
    return key;
}

std::size_t TUaKey::Bytes() const {
    return Key_ ? static_cast<std::size_t>(EVP_PKEY_get_size(Key_.get())) : 0;
}

std::string TUaKey::PrivatePem() const {
    TOwned<BIO> bio(BIO_new(BIO_s_mem()));
    if (!Key_ || !bio ||
        PEM_write_bio_PrivateKey(bio.get(), Key_.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1)
        return {};
    char* data = nullptr;
    long n = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, static_cast<std::size_t>(n));
}

std::optional<std::string> TUaKey::Sign(TUaRsaSignature scheme, std::string_view data) const {
    if (!Key_) return std::nullopt;
    TOwned<EVP_MD_CTX> md(EVP_MD_CTX_new());
    EVP_PKEY_CTX* ctx = nullptr; // owned by md
    if (!md || EVP_DigestSignInit(md.get(), &ctx, EVP_sha256(), nullptr, Key_.get()) != 1 ||
        !SetSignature(ctx, scheme))
        return std::nullopt;
    std::size_t length = 0;
    if (EVP_DigestSign(md.get(), nullptr, &length, U(data), data.size()) != 1) return std::nullopt;
    std::string out(length, '\0');
    if (EVP_DigestSign(md.get(), U(out), &length, U(data), data.size()) != 1) return std::nullopt;
    out.resize(length);
    return out;
}

bool TUaKey::Verify(TUaRsaSignature scheme, std::string_view data, std::string_view signature) const {
    if (!Key_) return false;
    TOwned<EVP_MD_CTX> md(EVP_MD_CTX_new());
    EVP_PKEY_CTX* ctx = nullptr;
    if (!md || EVP_DigestVerifyInit(md.get(), &ctx, EVP_sha256(), nullptr, Key_.get()) != 1 ||
        !SetSignature(ctx, scheme))
        return false;
    return EVP_DigestVerify(md.get(), U(signature), signature.size(), U(data), data.size()) == 1;
}

std::size_t TUaKey::PlainBlockSize(TUaRsaEncryption scheme) const {
    std::size_t bytes = Bytes();
    return bytes > OaepOverhead(scheme) ? bytes - OaepOverhead(scheme) : 0;
}

std::optional<std::string> TUaKey::Encrypt(TUaRsaEncryption scheme, std::string_view data) const {
    std::size_t block = PlainBlockSize(scheme);
    if (!block) return std::nullopt;
    TOwned<EVP_PKEY_CTX> ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, Key_.get(), nullptr));
    if (!ctx || EVP_PKEY_encrypt_init(ctx.get()) <= 0 || !SetOaep(ctx.get(), scheme)) return std::nullopt;
    std::string out;
    out.reserve((data.size() + block - 1) / block * Bytes());
    std::string cipher(Bytes(), '\0');
    for (std::size_t at = 0; at < data.size(); at += block) {
        std::size_t length = cipher.size();
        std::size_t n = std::min(block, data.size() - at);
        if (EVP_PKEY_encrypt(ctx.get(), U(cipher), &length, U(data) + at, n) <= 0 || length != Bytes())
            return std::nullopt;
        out += cipher;
    }
    return out;
}

std::optional<std::string> TUaKey::Decrypt(TUaRsaEncryption scheme, std::string_view data) const {
    std::size_t bytes = Bytes();
    if (!bytes || data.size() % bytes != 0) return std::nullopt;
    TOwned<EVP_PKEY_CTX> ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, Key_.get(), nullptr));
    if (!ctx || EVP_PKEY_decrypt_init(ctx.get()) <= 0 || !SetOaep(ctx.get(), scheme)) return std::nullopt;
    std::string out;
    std::string plain(bytes, '\0');
    for (std::size_t at = 0; at < data.size(); at += bytes) {
        std::size_t length = plain.size();
        if (EVP_PKEY_decrypt(ctx.get(), U(plain), &length, U(data) + at, bytes) <= 0) return std::nullopt;
        out.append(plain, 0, length);
    }
    return out;
}

} // namespace dravon
