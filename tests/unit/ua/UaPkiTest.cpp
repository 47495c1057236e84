// The certificate folders: the application certificate created at first start and kept,
// and the checks of a client certificate against the trust folders as an operator fills
// them.
#include "ua/security/UaPki.h"
#include "UaTestKeys.h"
#include "ua/UaStatusCodes.h"
#include "unit/app/TempDir.h"

#include <openssl/x509v3.h>

#include <gtest/gtest.h>

#include <map>
#include <sstream>

using namespace dravon;
using namespace dravon::test;
namespace fs = std::filesystem;

namespace {

constexpr std::time_t Jan2027 = 1798761600;
constexpr std::time_t Jan2020 = 1577836800;

TUaCertificate::TSelfSigned Request(std::string uri, std::time_t notBefore = Jan2027 - 86400,
                                    int days = 1825) {
    return {std::move(uri), "plant-host", "Dravon OPC Data Access Server", "Norvane", notBefore, days};
}

fs::perms Mode(const fs::path& p) { return fs::status(p).permissions() & fs::perms::all; }

TEST(UaPkiTest, OwnCertificateIsCreatedOnceWithItsKeyReadableByTheOwnerOnly) {
    TTempDir dir;
    TUaPki pki(dir.Path / "pki");
    std::string error;
    ASSERT_TRUE(pki.LoadOrCreateOwn(Request("urn:plant-host:Norvane:Dravon"), error)) << error;
    EXPECT_TRUE(pki.OwnCreated());
    const TUaCertificate& cert = pki.OwnCertificate();
    EXPECT_EQ(cert.ApplicationUri(), "urn:plant-host:Norvane:Dravon");
    EXPECT_EQ(cert.DnsNames(), std::vector<std::string>{"plant-host"});
    EXPECT_EQ(cert.PublicKey().Bytes(), 256u);
    EXPECT_TRUE(cert.SelfSigned());
    EXPECT_TRUE(cert.Matches(pki.OwnKey()));
    EXPECT_EQ(cert.NotAfter(), Jan2027 - 86400 + 1825 * 86400);
    EXPECT_EQ(X509_get_key_usage(cert.Get()),
              static_cast<std::uint32_t>(KU_DIGITAL_SIGNATURE | KU_NON_REPUDIATION | KU_KEY_ENCIPHERMENT |
                                         KU_DATA_ENCIPHERMENT | KU_KEY_CERT_SIGN));
    EXPECT_EQ(X509_get_signature_nid(cert.Get()), NID_sha256WithRSAEncryption);
    EXPECT_EQ(Mode(dir.Path / "pki/own/private/Dravon.pem"), fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(Mode(dir.Path / "pki/own/private"), fs::perms::owner_all);
    for (const char* folder :
         {"trusted/certs", "trusted/crl", "issuers/certs", "issuers/crl", "rejected/certs"})
        EXPECT_TRUE(fs::is_directory(dir.Path / "pki" / folder)) << folder;

    TUaPki again(dir.Path / "pki");
    ASSERT_TRUE(again.LoadOrCreateOwn(Request("urn:other"), error)) << error;
    EXPECT_FALSE(again.OwnCreated());
    EXPECT_EQ(again.OwnCertificate().Thumbprint(), cert.Thumbprint());

    // A replaced key that does not belong to the certificate is an error, not a new pair.
    WriteFile((dir.Path / "pki/own/private/Dravon.pem").string(), TestKeyA);
    TUaPki mismatched(dir.Path / "pki");
    EXPECT_FALSE(mismatched.LoadOrCreateOwn(Request("urn:x"), error));
    EXPECT_NE(error.find("does not belong"), std::string::npos);
}

TEST(UaPkiTest, ClientCertificatesAreCheckedAgainstTheTrustFolders) {
    TUaKey keyB = TUaKey::FromPrivatePem(TestKeyB);
    auto selfSigned = TUaCertificate::CreateSelfSigned(keyB, Request("urn:test:self"));
    auto expired = TUaCertificate::CreateSelfSigned(keyB, Request("urn:test:self", Jan2020, 30));
    auto leaf = TUaCertificate::FromBytes(TestClientCert);
    auto ca = TUaCertificate::FromBytes(TestCaCert);
    ASSERT_TRUE(selfSigned && expired && leaf && ca);
    // Files: "folder=content ..." with the contents named in `contents`.
    const std::map<std::string, std::string> contents = {
        {"self", selfSigned->Der()}, {"selfpem", selfSigned->Pem()}, {"expired", expired->Der()},
        {"ca", TestCaCert},          {"crl", TestCrlEmpty},          {"revoked", TestCrlRevoked},
        {"client", TestClientCert}};
    struct TRow {
        const char* Name;
        const char* Files;
        std::string Sent;
        const char* Uri;
        bool AutoTrust;
        int MinBits;
        TUaStatusCode Expected;
        bool Rejected;
    };
    const std::string self = selfSigned->Der(), old = expired->Der(), client = leaf->Der();
    const TRow rows[] = {
        {"self-signed, not trusted", "", self, "", false, 0, UaStatus::BadCertificateUntrusted, true},
        {"self-signed, trusted", "trusted/certs=selfpem", self, "urn:test:self", false, 2048, UaStatus::Good,
         false},
        {"self-signed, accepted automatically", "", self, "", true, 0, UaStatus::Good, false},
        {"URI differs from the certificate's", "trusted/certs=self", self, "urn:test:other", false, 0,
         UaStatus::BadCertificateUriInvalid, false},
        {"key smaller than the policy's minimum", "trusted/certs=self", self, "", false, 3072,
         UaStatus::BadCertificatePolicyCheckFailed, false},
        {"expired, trusted", "trusted/certs=expired", old, "", false, 0, UaStatus::BadCertificateTimeInvalid,
         false},
        {"expired, accepted automatically", "", old, "", true, 0, UaStatus::BadCertificateTimeInvalid, false},
        {"CA trusted with its list", "trusted/certs=ca trusted/crl=crl", client, "urn:test:client", false, 0,
         UaStatus::Good, false},
        {"chain sent along, CA trusted", "trusted/certs=ca trusted/crl=crl", client + ca->Der(), "", false, 0,
         UaStatus::Good, false},
        {"CA only among the issuers", "issuers/certs=ca issuers/crl=crl", client, "", false, 0,
         UaStatus::BadCertificateUntrusted, true},
        {"client trusted, its CA an issuer", "trusted/certs=client issuers/certs=ca issuers/crl=crl", client,
         "", false, 0, UaStatus::Good, false},
        {"CA trusted without a list", "trusted/certs=ca", client, "", false, 0,
         UaStatus::BadCertificateRevocationUnknown, false},
        {"revoked", "trusted/certs=ca trusted/crl=revoked", client, "", false, 0,
         UaStatus::BadCertificateRevoked, false},
        {"not a certificate", "", "garbage", "", false, 0, UaStatus::BadCertificateInvalid, false},
        {"certificate with trailing bytes", "trusted/certs=self", self + "x", "", false, 0,
         UaStatus::BadCertificateInvalid, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.Name);
        TTempDir dir;
        TUaPki pki(dir.Path / "pki");
        pki.CreateFolders();
        std::istringstream files(row.Files);
        int n = 0;
        for (std::string file; files >> file;) {
            const auto eq = file.find('=');
            WriteFile((dir.Path / "pki" / file.substr(0, eq) / ("file" + std::to_string(n++))).string(),
                      contents.at(file.substr(eq + 1)));
        }
        auto check = pki.Check(row.Sent, row.Uri, Jan2027, row.MinBits, 4096, row.AutoTrust);
        EXPECT_EQ(check.Status, row.Expected) << check.Reason;
        EXPECT_EQ(pki.RejectedCertificates().size(), row.Rejected ? 1u : 0u);
    }
}

TEST(UaPkiTest, RejectedCertificateIsAcceptedOnceTheOperatorTrustsIt) {
    TTempDir dir;
    TUaPki pki(dir.Path / "pki");
    std::string error;
    ASSERT_TRUE(pki.LoadOrCreateOwn(Request("urn:server"), error));
    auto client =
        TUaCertificate::CreateSelfSigned(TUaKey::FromPrivatePem(TestKeyB), Request("urn:test:self"));
    ASSERT_TRUE(client.has_value());
    EXPECT_EQ(pki.Check(client->Der(), "", Jan2027, 0, 0, false).Status, UaStatus::BadCertificateUntrusted);
    auto rejected = pki.RejectedCertificates();
    ASSERT_EQ(rejected.size(), 1u);
    EXPECT_EQ(rejected[0], "Dravon_OPC_Data_Access_Server [" + UaHex(client->Thumbprint()) + "].der");
    EXPECT_EQ(ReadFile((dir.Path / "pki/rejected/certs" / rejected[0]).string()), client->Der());
    EXPECT_FALSE(pki.Trust("../" + rejected[0]));
    // Moved by hand, as an operator would: the same object sees it at the next check.
    fs::rename(dir.Path / "pki/rejected/certs" / rejected[0], dir.Path / "pki/trusted/certs" / rejected[0]);
    EXPECT_EQ(pki.Check(client->Der(), "", Jan2027, 0, 0, false).Status, UaStatus::Good);
    fs::remove(dir.Path / "pki/trusted/certs" / rejected[0]);
    EXPECT_EQ(pki.Check(client->Der(), "", Jan2027, 0, 0, false).Status, UaStatus::BadCertificateUntrusted);
    ASSERT_TRUE(pki.Trust(rejected[0]));
    EXPECT_EQ(pki.Check(client->Der(), "", Jan2027, 0, 0, false).Status, UaStatus::Good);
    EXPECT_TRUE(pki.RejectedCertificates().empty());
}

} // namespace
