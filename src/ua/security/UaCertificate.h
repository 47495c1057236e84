// An X.509 certificate as the secure conversation uses it: its DER bytes, thumbprint,
// public key and application URI, and the self-signed application instance certificate
// the endpoint creates for itself when it has none.
#pragma once

#include "ua/security/UaCrypto.h"

#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

typedef struct x509_st X509;

namespace dravon {

class TUaCertificate {
public:
    TUaCertificate() = default;
    // One certificate from DER bytes (trailing bytes are refused) or from PEM text.
    static std::optional<TUaCertificate> FromBytes(std::string_view bytes);
    // A sender certificate field: the certificate followed by its chain, each DER.
    static std::vector<TUaCertificate> ChainFromDer(std::string_view der);

    struct TSelfSigned {
        std::string ApplicationUri;
        std::string HostName;
        std::string CommonName;
        std::string Organization;
        std::time_t NotBefore = 0;
        int Days = 5 * 365;
    };
    // Signed with SHA-256 by key: version 3, SubjectAltName URI and DNS, key usage
    // digitalSignature, nonRepudiation, keyEncipherment, dataEncipherment and keyCertSign
    // (self-signed), extended key usage serverAuth and clientAuth, not a CA.
    static std::optional<TUaCertificate> CreateSelfSigned(const TUaKey& key, const TSelfSigned& request);

    bool Valid() const { return Cert_ != nullptr; }
    X509* Get() const { return Cert_.get(); }
    const std::string& Der() const { return Der_; }
    std::string Pem() const;
    // SHA-1 of the DER bytes, as a receiver thumbprint names the certificate.
    std::string Thumbprint() const { return UaSha1(Der_); }
    TUaKey PublicKey() const;
    // The URI entry of the SubjectAltName; empty when there is none.
    std::string ApplicationUri() const;
    std::vector<std::string> DnsNames() const;
    std::string CommonName() const;
    bool SelfSigned() const;
    std::time_t NotBefore() const;
    std::time_t NotAfter() const;
    // Matches the public key of key.
    bool Matches(const TUaKey& key) const;

private:
    std::shared_ptr<X509> Cert_;
    std::string Der_;
};

} // namespace dravon
