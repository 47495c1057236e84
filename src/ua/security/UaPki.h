// The endpoint's certificate folders under the application directory:
//
//   pki/own/certs       the application instance certificate (created when missing)
//   pki/own/private     its private key, mode 0600
//   pki/trusted/certs   client certificates (or their CAs) an operator trusts
//   pki/trusted/crl     revocation lists of trusted CAs
//   pki/issuers/certs   CA certificates that complete chains without being trusted alone
//   pki/issuers/crl     their revocation lists
//   pki/rejected/certs  client certificates refused as untrusted, for an operator to move
//
// The trust folders are read again whenever one of them changes, so moving a file from
// rejected to trusted takes effect without a restart.
#pragma once

#include "ua/UaTypes.h"
#include "ua/security/UaCertificate.h"

#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

namespace dravon {

class TUaPki {
public:
    // root: the pki folder, e.g. "<application directory>pki".
    explicit TUaPki(std::filesystem::path root);
    ~TUaPki();
    TUaPki(const TUaPki&) = delete;
    TUaPki& operator=(const TUaPki&) = delete;

    // Creates the folders that are missing (the private one readable by the owner only).
    void CreateFolders();
    // Loads the own certificate and key, or creates a self-signed pair when either is
    // missing. False with a reason when there is a pair that cannot be used or the
    // folders cannot be written.
    bool LoadOrCreateOwn(const TUaCertificate::TSelfSigned& request, std::string& error);
    const TUaCertificate& OwnCertificate() const { return OwnCertificate_; }
    const TUaKey& OwnKey() const { return OwnKey_; }
    // The pair was created by the last LoadOrCreateOwn.
    bool OwnCreated() const { return OwnCreated_; }

    struct TCheck {
        TUaStatusCode Status = 0;
        std::string Reason; // for the log
    };
    // Checks a peer's certificate field (certificate and chain, DER) at time now: chain to
    // a trusted certificate, signatures, validity, revocation where a CA has a list, key
    // usage, key size (minBits..maxBits, 0 for any) and, unless empty, the application URI
    // against the certificate's URI. An untrusted certificate is copied to
    // rejected/certs; with autoTrust it is accepted instead (the other checks remain).
    TCheck Check(std::string_view der, const std::string& applicationUri, std::time_t now, int minBits,
                 int maxBits, bool autoTrust);

    // File names in rejected/certs; Trust moves one of them to trusted/certs.
    std::vector<std::string> RejectedCertificates() const;
    bool Trust(const std::string& rejectedFileName);
    // A certificate file as it is now (invalid when missing or unreadable); reads only.
    TUaCertificate ReadCertificate(const std::filesystem::path& file) const;
    // The own certificate's file, as LoadOrCreateOwn reads or writes it.
    std::filesystem::path OwnCertificateFile() const;

    std::filesystem::path Folder(const char* relative) const { return Root_ / relative; }

private:
    struct TTrustList;
    void ReloadIfChanged();
    void Reject(const TUaCertificate& cert);

    std::filesystem::path Root_;
    TUaCertificate OwnCertificate_;
    TUaKey OwnKey_;
    bool OwnCreated_ = false;
    std::unique_ptr<TTrustList> Trust_;
};

// The pki folder under an application directory (with its trailing "/"); empty when that is.
std::filesystem::path UaPkiFolder(const std::string& applicationDirectory);

// Writes bytes to path readable by the owner only (the mode is set before any byte is written).
bool WriteUaPrivateFile(const std::filesystem::path& path, const std::string& bytes);

} // namespace dravon
