#include "ua/security/UaCertificate.h"

#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

namespace dravon {

namespace {

struct TFree {
    void operator()(BIO* p) const { BIO_free(p); }
    void operator()(X509_EXTENSION* p) const { X509_EXTENSION_free(p); }
    void operator()(GENERAL_NAMES* p) const { GENERAL_NAMES_free(p); }
    void operator()(BIGNUM* p) const { BN_free(p); }
};
template <typename T> using TOwned = std::unique_ptr<T, TFree>;

std::optional<TUaCertificate> Wrap(X509* raw);

GENERAL_NAMES* AltNames(X509* cert) {
    return static_cast<GENERAL_NAMES*>(X509_get_ext_d2i(cert, NID_subject_alt_name, nullptr, nullptr));
}

std::string Asn1Text(const ASN1_STRING* s) {
    return std::string(reinterpret_cast<const char*>(ASN1_STRING_get0_data(s)),
                       static_cast<std::size_t>(ASN1_STRING_length(s)));
}

bool AddExtension(X509* cert, int nid, const std::string& value) {
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, cert, cert, nullptr, nullptr, 0);
    TOwned<X509_EXTENSION> ext(X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str()));
    return ext && X509_add_ext(cert, ext.get(), -1) == 1;
}

} // namespace

std::optional<TUaCertificate> TUaCertificate::FromBytes(std::string_view bytes) {
    if (bytes.substr(0, 11) == "-----BEGIN ") {
        TOwned<BIO> bio(BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size())));
        if (!bio) return std::nullopt;
        X509* raw = PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr);
        if (!raw) return std::nullopt;
        TUaCertificate cert;
        cert.Cert_.reset(raw, X509_free);
        unsigned char* der = nullptr;
        int n = i2d_X509(raw, &der);
        if (n <= 0) return std::nullopt;
        cert.Der_.assign(reinterpret_cast<char*>(der), static_cast<std::size_t>(n));
        OPENSSL_free(der);
        return cert;
    }
    auto chain = ChainFromDer(bytes);
    if (chain.size() != 1) return std::nullopt;
    return chain.front();
}

std::vector<TUaCertificate> TUaCertificate::ChainFromDer(std::string_view der) {
    std::vector<TUaCertificate> out;
    const auto* p = reinterpret_cast<const unsigned char*>(der.data());
    const auto* end = p + der.size();
    while (p < end) {
        const unsigned char* start = p;
        X509* raw = d2i_X509(nullptr, &p, end - p);
        if (!raw) return {};
        TUaCertificate cert;
        cert.Cert_.reset(raw, X509_free);
        cert.Der_.assign(reinterpret_cast<const char*>(start), static_cast<std::size_t>(p - start));
        out.push_back(std::move(cert));
    }
    return out;
}

std::optional<TUaCertificate> TUaCertificate::CreateSelfSigned(const TUaKey& key,
                                                               const TSelfSigned& request) {
    if (!key.Valid()) return std::nullopt;
    std::shared_ptr<X509> cert(X509_new(), X509_free);
    X509* x = cert.get();
    if (!x || X509_set_version(x, X509_VERSION_3) != 1) return std::nullopt;
    // A random positive 16-byte serial number.
    std::string serialBytes = UaRandomBytes(16);
    serialBytes[0] = static_cast<char>(serialBytes[0] & 0x7F);
    TOwned<BIGNUM> serial(BN_bin2bn(reinterpret_cast<const unsigned char*>(serialBytes.data()), 16, nullptr));
    if (!serial || !BN_to_ASN1_INTEGER(serial.get(), X509_get_serialNumber(x))) return std::nullopt;
    if (!ASN1_TIME_set(X509_getm_notBefore(x), request.NotBefore) ||
        !ASN1_TIME_adj(X509_getm_notAfter(x), request.NotBefore, request.Days, 0))
        return std::nullopt;
    X509_NAME* name = X509_get_subject_name(x);
    auto add = [&](const char* field, const std::string& value) {
        return value.empty() || X509_NAME_add_entry_by_txt(
                                    name, field, MBSTRING_UTF8,
                                    reinterpret_cast<const unsigned char*>(value.c_str()), -1, -1, 0) == 1;
    };
    if (!add("CN", request.CommonName) || !add("O", request.Organization) || !add("DC", request.HostName) ||
        X509_set_issuer_name(x, name) != 1 || X509_set_pubkey(x, key.Get()) != 1)
        return std::nullopt;
    std::string altNames = "URI:" + request.ApplicationUri;
    if (!request.HostName.empty()) altNames += ",DNS:" + request.HostName;
    if (!AddExtension(x, NID_basic_constraints, "critical,CA:FALSE") ||
        !AddExtension(
            x, NID_key_usage,
            "critical,digitalSignature,nonRepudiation,keyEncipherment,dataEncipherment,keyCertSign") ||
        !AddExtension(x, NID_ext_key_usage, "serverAuth,clientAuth") ||
        !AddExtension(x, NID_subject_key_identifier, "hash") ||
        !AddExtension(x, NID_authority_key_identifier, "keyid:always") ||
        !AddExtension(x, NID_subject_alt_name, altNames))
        return std::nullopt;
    if (X509_sign(x, key.Get(), EVP_sha256()) <= 0) return std::nullopt;
    return Wrap(X509_dup(x));
}

namespace {
std::optional<TUaCertificate> Wrap(X509* raw) {
    if (!raw) return std::nullopt;
    unsigned char* der = nullptr;
    int n = i2d_X509(raw, &der);
    X509_free(raw);
    if (n <= 0) return std::nullopt;
    std::string bytes(reinterpret_cast<char*>(der), static_cast<std::size_t>(n));
    OPENSSL_free(der);
    return TUaCertificate::FromBytes(bytes);
}
} // namespace

std::string TUaCertificate::Pem() const {
    TOwned<BIO> bio(BIO_new(BIO_s_mem()));
    if (!Cert_ || !bio || PEM_write_bio_X509(bio.get(), Cert_.get()) != 1) return {};
    char* data = nullptr;
    long n = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, static_cast<std::size_t>(n));
}

TUaKey TUaCertificate::PublicKey() const {
    return Cert_ ? TUaKey::Adopt(X509_get_pubkey(Cert_.get())) : TUaKey();
}

std::string TUaCertificate::ApplicationUri() const {
    if (!Cert_) return {};
    TOwned<GENERAL_NAMES> names(AltNames(Cert_.get()));
    for (int i = 0; names && i < sk_GENERAL_NAME_num(names.get()); ++i) {
        const GENERAL_NAME* n = sk_GENERAL_NAME_value(names.get(), i);
        if (n->type == GEN_URI) return Asn1Text(n->d.uniformResourceIdentifier);
    }
    return {};
}

std::vector<std::string> TUaCertificate::DnsNames() const {
    std::vector<std::string> out;
    if (!Cert_) return out;
    TOwned<GENERAL_NAMES> names(AltNames(Cert_.get()));
    for (int i = 0; names && i < sk_GENERAL_NAME_num(names.get()); ++i) {
        const GENERAL_NAME* n = sk_GENERAL_NAME_value(names.get(), i);
        if (n->type == GEN_DNS) out.push_back(Asn1Text(n->d.dNSName));
    }
    return out;
}

std::string TUaCertificate::CommonName() const {
    if (!Cert_) return {};
    X509_NAME* name = X509_get_subject_name(Cert_.get());
    int at = X509_NAME_get_index_by_NID(name, NID_commonName, -1);
    if (at < 0) return {};
    return Asn1Text(X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, at)));
}

bool TUaCertificate::SelfSigned() const {
    return Cert_ && (X509_get_extension_flags(Cert_.get()) & EXFLAG_SS) != 0;
}

namespace {

std::time_t Asn1Time(const ASN1_TIME* time) {
    std::tm t{};
    if (!time || ASN1_TIME_to_tm(time, &t) != 1) return 0;
    return timegm(&t);
}

} // namespace

std::time_t TUaCertificate::NotBefore() const {
    return Cert_ ? Asn1Time(X509_get0_notBefore(Cert_.get())) : 0;
}

std::time_t TUaCertificate::NotAfter() const { return Cert_ ? Asn1Time(X509_get0_notAfter(Cert_.get())) : 0; }

bool TUaCertificate::Matches(const TUaKey& key) const {
    return Cert_ && key.Valid() && X509_check_private_key(Cert_.get(), key.Get()) == 1;
}

} // namespace dravon
