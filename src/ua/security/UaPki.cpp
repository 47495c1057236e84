#include "ua/security/UaPki.h"

#include "ua/UaStatusCodes.h"

#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <map>
#include <sstream>

namespace dravon {

namespace fs = std::filesystem;

namespace {

constexpr const char* OwnCertFile = "own/certs/Dravon.der";
constexpr const char* OwnKeyFile = "own/private/Dravon.pem";
constexpr const char* TrustFolders[] = {"trusted/certs", "trusted/crl", "issuers/certs", "issuers/crl"};

struct TFree {
    void operator()(X509_STORE* p) const { X509_STORE_free(p); }
    void operator()(X509_STORE_CTX* p) const { X509_STORE_CTX_free(p); }
    void operator()(STACK_OF(X509) * p) const { sk_X509_free(p); }
    void operator()(X509_CRL* p) const { X509_CRL_free(p); }
    void operator()(BIO* p) const { BIO_free(p); }
};
template <typename T> using TOwned = std::unique_ptr<T, TFree>;

std::string ReadAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

std::vector<fs::path> FilesIn(const fs::path& folder) {
    std::vector<fs::path> out;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(folder, ec))
        if (entry.is_regular_file(ec)) out.push_back(entry.path());
    std::sort(out.begin(), out.end());
    return out;
}

TOwned<X509_CRL> ReadCrl(const std::string& bytes) {
    TOwned<BIO> bio(BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size())));
    if (!bio) return nullptr;
    if (bytes.rfind("-----BEGIN ", 0) == 0)
        return TOwned<X509_CRL>(PEM_read_bio_X509_CRL(bio.get(), nullptr, nullptr, nullptr));
    return TOwned<X509_CRL>(d2i_X509_CRL_bio(bio.get(), nullptr));
}

// The certificate's name in rejected/certs: its common name made file-name-safe and its thumbprint.
std::string RejectedName(const TUaCertificate& cert) {
    std::string name;
    for (char c : cert.CommonName().substr(0, 64))
        name.push_back(std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' ? c : '_');
    if (name.empty()) name = "certificate";
    return name + " [" + UaHex(cert.Thumbprint()) + "].der";
}

TUaStatusCode VerifyStatus(int error, int depth) {
    bool leaf = depth == 0;
    switch (error) {
    case X509_V_ERR_CERT_NOT_YET_VALID:
    case X509_V_ERR_CERT_HAS_EXPIRED:
        return leaf ? UaStatus::BadCertificateTimeInvalid : UaStatus::BadCertificateIssuerTimeInvalid;
    case X509_V_ERR_CERT_REVOKED:
        return leaf ? UaStatus::BadCertificateRevoked : UaStatus::BadCertificateIssuerRevoked;
    case X509_V_ERR_UNABLE_TO_GET_CRL:
    case X509_V_ERR_CRL_HAS_EXPIRED:
    case X509_V_ERR_CRL_NOT_YET_VALID:
        return leaf ? UaStatus::BadCertificateRevocationUnknown
                    : UaStatus::BadCertificateIssuerRevocationUnknown;
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
    case X509_V_ERR_CERT_UNTRUSTED: return UaStatus::BadCertificateUntrusted;
    case X509_V_ERR_INVALID_PURPOSE:
    case X509_V_ERR_KEYUSAGE_NO_CERTSIGN:
    case X509_V_ERR_INVALID_CA:
        return leaf ? UaStatus::BadCertificateUseNotAllowed : UaStatus::BadCertificateIssuerUseNotAllowed;
    default: return UaStatus::BadCertificateInvalid;
    }
}

} // namespace

// What the trust folders held when they were last read.
struct TUaPki::TTrustList {
    std::map<fs::path, fs::file_time_type> Stamps;
    std::vector<TUaCertificate> Trusted;
    std::vector<TUaCertificate> Issuers;
    std::vector<std::shared_ptr<X509_CRL>> Crls;
};

bool WriteUaPrivateFile(const fs::path& path, const std::string& bytes) {
    std::error_code ec;
    fs::remove(path, ec);
    { std::ofstream create(path, std::ios::binary); }
    fs::permissions(path, fs::perms::owner_read | fs::perms::owner_write, fs::perm_options::replace, ec);
    if (ec) return false;
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
    return static_cast<bool>(out.flush());
}

TUaPki::TUaPki(fs::path root) : Root_(std::move(root)), Trust_(std::make_unique<TTrustList>()) {}
TUaPki::~TUaPki() = default;

void TUaPki::CreateFolders() {
    std::error_code ec;
    for (const char* folder :
         {"own/certs", "trusted/certs", "trusted/crl", "issuers/certs", "issuers/crl", "rejected/certs"})
        fs::create_directories(Root_ / folder, ec);
    fs::create_directories(Root_ / "own/private", ec);
    fs::permissions(Root_ / "own/private", fs::perms::owner_all, fs::perm_options::replace, ec);
}

bool TUaPki::LoadOrCreateOwn(const TUaCertificate::TSelfSigned& request, std::string& error) {
    OwnCreated_ = false;
    CreateFolders();
    fs::path certPath = Root_ / OwnCertFile;
    fs::path keyPath = Root_ / OwnKeyFile;
    if (fs::exists(certPath) || fs::exists(keyPath)) {
        auto cert = TUaCertificate::FromBytes(ReadAll(certPath));
        TUaKey key = TUaKey::FromPrivatePem(ReadAll(keyPath));
        if (!cert || !key.Valid()) {
            error = "The application certificate or its private key in " + (Root_ / "own").string() +
                    " cannot be read";
            return false;
        }
        if (!cert->Matches(key)) {
            error = "The application certificate does not belong to the private key in " +
                    (Root_ / "own/private").string();
            return false;
        }
        OwnCertificate_ = *cert;
        OwnKey_ = key;
        return true;
    }
    TUaKey key = TUaKey::Generate(2048);
    auto cert = TUaCertificate::CreateSelfSigned(key, request);
    if (!cert) {
        error = "The application certificate cannot be created";
        return false;
    }
    if (!WriteUaPrivateFile(keyPath, key.PrivatePem())) {
        error = "The private key cannot be written to " + keyPath.string();
        return false;
    }
    std::ofstream out(certPath, std::ios::binary | std::ios::trunc);
    out << cert->Der();
    if (!out.flush()) {
        error = "The application certificate cannot be written to " + certPath.string();
        return false;
    }
    OwnCertificate_ = *cert;
    OwnKey_ = key;
    OwnCreated_ = true;
    return true;
}

void TUaPki::ReloadIfChanged() {
    std::map<fs::path, fs::file_time_type> stamps;
    std::error_code ec;
    for (const char* folder : TrustFolders) {
        fs::path path = Root_ / folder;
        auto stamp = fs::last_write_time(path, ec);
        stamps[path] = ec ? fs::file_time_type::min() : stamp;
    }
    if (stamps == Trust_->Stamps) return;
    auto list = std::make_unique<TTrustList>();
    list->Stamps = std::move(stamps);
    auto readCerts = [](const fs::path& folder, std::vector<TUaCertificate>& into) {
        for (const auto& file : FilesIn(folder))
            if (auto cert = TUaCertificate::FromBytes(ReadAll(file))) into.push_back(*cert);
    };
    readCerts(Root_ / "trusted/certs", list->Trusted);
    readCerts(Root_ / "issuers/certs", list->Issuers);
    for (const char* folder : {"trusted/crl", "issuers/crl"})
        for (const auto& file : FilesIn(Root_ / folder))
            if (auto crl = ReadCrl(ReadAll(file))) list->Crls.emplace_back(crl.release(), X509_CRL_free);
    Trust_ = std::move(list);
}

void TUaPki::Reject(const TUaCertificate& cert) {
    std::error_code ec;
    fs::create_directories(Root_ / "rejected/certs", ec);
    fs::path path = Root_ / "rejected/certs" / RejectedName(cert);
    if (fs::exists(path, ec)) return;
    std::ofstream out(path, std::ios::binary);
    out << cert.Der();
}

TUaPki::TCheck TUaPki::Check(std::string_view der, const std::string& applicationUri, std::time_t now,
                             int minBits, int maxBits, bool autoTrust) {
    auto chain = TUaCertificate::ChainFromDer(der);
    if (chain.empty()) return {UaStatus::BadCertificateInvalid, "The certificate cannot be decoded"};
    const TUaCertificate& leaf = chain.front();
    ReloadIfChanged();

    TOwned<X509_STORE> store(X509_STORE_new());
    TOwned<STACK_OF(X509)> untrusted(sk_X509_new_null());
    if (!store || !untrusted) return {UaStatus::BadInternalError, "Out of memory"};
    for (const auto& cert : Trust_->Trusted) X509_STORE_add_cert(store.get(), cert.Get());
    // Issuer CAs complete chains but do not make a certificate trusted on their own.
    for (const auto& cert : Trust_->Issuers) sk_X509_push(untrusted.get(), cert.Get());
    for (std::size_t i = 1; i < chain.size(); ++i) sk_X509_push(untrusted.get(), chain[i].Get());
    if (autoTrust) X509_STORE_add_cert(store.get(), leaf.Get());
    for (const auto& crl : Trust_->Crls) X509_STORE_add_crl(store.get(), crl.get());

    TOwned<X509_STORE_CTX> ctx(X509_STORE_CTX_new());
    if (!ctx || X509_STORE_CTX_init(ctx.get(), store.get(), leaf.Get(), untrusted.get()) != 1)
        return {UaStatus::BadInternalError, "Out of memory"};
    X509_STORE_CTX_set_time(ctx.get(), 0, now);
    // A certificate signed by a CA must be covered by that CA's revocation list; a
    // trusted self-signed certificate has no issuer to revoke it.
    // Any certificate in the trusted folder is an anchor, also one that is not self-signed.
    unsigned long flags = X509_V_FLAG_PARTIAL_CHAIN;
    if (!leaf.SelfSigned()) flags |= X509_V_FLAG_CRL_CHECK;
    X509_STORE_CTX_set_flags(ctx.get(), flags);
    if (X509_verify_cert(ctx.get()) != 1) {
        int error = X509_STORE_CTX_get_error(ctx.get());
        TUaStatusCode status = VerifyStatus(error, X509_STORE_CTX_get_error_depth(ctx.get()));
        std::string reason = X509_verify_cert_error_string(error);
        if (status == UaStatus::BadCertificateUntrusted) {
            Reject(leaf);
            reason = "not trusted (" + reason + "), copied to rejected/certs";
        }
        return {status, reason};
    }
    std::uint32_t usage = X509_get_key_usage(leaf.Get());
    if (usage != UINT32_MAX && !(usage & X509v3_KU_DIGITAL_SIGNATURE))
        return {UaStatus::BadCertificateUseNotAllowed, "The certificate may not sign"};
    int bits = static_cast<int>(leaf.PublicKey().Bytes() * 8);
    if ((minBits && bits < minBits) || (maxBits && bits > maxBits))
        return {UaStatus::BadCertificatePolicyCheckFailed,
                "The key has " + std::to_string(bits) + " bits, outside the security policy's range"};
    if (!applicationUri.empty() && leaf.ApplicationUri() != applicationUri)
        return {UaStatus::BadCertificateUriInvalid, "The application URI is not the certificate's URI"};
    return {UaStatus::Good, {}};
}

std::vector<std::string> TUaPki::RejectedCertificates() const {
    std::vector<std::string> out;
    for (const auto& file : FilesIn(Root_ / "rejected/certs")) out.push_back(file.filename().string());
    return out;
}

TUaCertificate TUaPki::ReadCertificate(const fs::path& file) const {
    auto cert = TUaCertificate::FromBytes(ReadAll(file));
    return cert ? *cert : TUaCertificate();
}

fs::path TUaPki::OwnCertificateFile() const { return Root_ / OwnCertFile; }

fs::path UaPkiFolder(const std::string& applicationDirectory) {
    return applicationDirectory.empty() ? fs::path() : fs::path(applicationDirectory) / "pki";
}

bool TUaPki::Trust(const std::string& rejectedFileName) {
    fs::path name = fs::path(rejectedFileName).filename();
    if (name.empty() || name != fs::path(rejectedFileName)) return false;
    std::error_code ec;
    fs::create_directories(Root_ / "trusted/certs", ec);
    fs::rename(Root_ / "rejected/certs" / name, Root_ / "trusted/certs" / name, ec);
    return !ec;
}

} // namespace dravon
