// The endpoint's security, from the bytes up: the policies' key derivation and chunk layout
// against vectors computed once with the openssl tool (kdf TLS1-PRF, dgst -mac HMAC, enc
// -nopad) and the refusals of changed chunks; the certificate folders (the application
// certificate created at first start and kept, client certificates checked against the
// trust folders as an operator fills them); and one secure channel as a client meets it:
// the OpenSecureChannel under each check, a renewal, user tokens, session signatures,
// endpoints, and what the settings offer and log.
#include "UaChannelRig.h"
#include "UaTestKeys.h"
#include "app/MemoryStore.h"
#include "support/FakePlatform.h"
#include "support/Frames.h"
#include "ua/UaChannel.h"
#include "ua/UaStatusCodes.h"
#include "ua/security/UaChannelSecurity.h"
#include "ua/security/UaPki.h"
#include "ua/security/UaSecureChunk.h"
#include "ua/security/UaSessionSecurity.h"
#include "unit/app/TempDir.h"

#include <openssl/x509v3.h>

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <sstream>
#include <tuple>
#include <utility>

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
    TUaConfig config;
    config.HostName = "plant-host";
    config.CertificateLifetimeDays = 400;
    TUaSecurity security(config, dir.Path / "pki", "", nullptr);
    std::vector<std::string> log;
    std::string error;
    ASSERT_TRUE(security.Start("urn:plant-host:Norvane:Dravon", Jan2027, log, error)) << error;
    const TUaCertificate& cert = security.Certificate();
    const std::uint32_t usage = KU_DIGITAL_SIGNATURE | KU_NON_REPUDIATION | KU_KEY_ENCIPHERMENT |
                                KU_DATA_ENCIPHERMENT | KU_KEY_CERT_SIGN;
    EXPECT_EQ(std::tuple(log.front(), cert.ApplicationUri(), cert.DnsNames(), cert.CommonName(),
                         cert.PublicKey().Bytes(), cert.SelfSigned(), cert.Matches(security.Key()),
                         cert.NotAfter(), X509_get_key_usage(cert.Get()), X509_get_signature_nid(cert.Get())),
              std::tuple("OPC UA application certificate created, thumbprint " + UaHex(cert.Thumbprint()),
                         "urn:plant-host:Norvane:Dravon", std::vector<std::string>{"plant-host"},
                         "Dravon OPC Data Access Server", 256u, true, true, Jan2027 + 400 * 86400, usage,
                         NID_sha256WithRSAEncryption));
    EXPECT_EQ(std::pair(Mode(dir.Path / "pki/own/private/Dravon.pem"), Mode(dir.Path / "pki/own/private")),
              std::pair(fs::perms::owner_read | fs::perms::owner_write, fs::perms::owner_all));
    for (const char* folder :
         {"trusted/certs", "trusted/crl", "issuers/certs", "issuers/crl", "rejected/certs"})
        EXPECT_TRUE(fs::is_directory(dir.Path / "pki" / folder)) << folder;

    // Kept at the next start, also when the application URI has changed since.
    TUaSecurity again(config, dir.Path / "pki", "", nullptr);
    log.clear();
    ASSERT_TRUE(again.Start("urn:other", Jan2027, log, error)) << error;
    EXPECT_EQ(log, (std::vector<std::string>{"OPC UA application certificate thumbprint " +
                                                 UaHex(cert.Thumbprint()),
                                             "Warning: the OPC UA application certificate names "
                                             "urn:plant-host:Norvane:Dravon, not urn:other"}));

    // A replaced key that does not belong to the certificate is an error, not a new pair.
    WriteFile((dir.Path / "pki/own/private/Dravon.pem").string(), TestKeyA());
    TUaPki mismatched(dir.Path / "pki");
    EXPECT_FALSE(mismatched.LoadOrCreateOwn(Request("urn:x"), error));
    EXPECT_NE(error.find("does not belong"), std::string::npos);
}

TEST(UaPkiTest, ClientCertificatesAreCheckedAgainstTheTrustFolders) {
    TUaKey keyB = TUaKey::FromPrivatePem(TestKeyB());
    auto selfSigned = TUaCertificate::CreateSelfSigned(keyB, Request("urn:test:self"));
    auto expired = TUaCertificate::CreateSelfSigned(keyB, Request("urn:test:self", Jan2020, 30));
    auto leaf = TUaCertificate::FromBytes(TestClientCert());
    auto ca = TUaCertificate::FromBytes(TestCaCert());
    // Key usage without digitalSignature; a key of 8192 bits.
    auto noSign = TUaCertificate::FromBytes(UaTestPem("nosign"));
    auto big = TUaCertificate::FromBytes(UaTestPem("big"));
    ASSERT_TRUE(selfSigned && expired && leaf && ca && noSign && big);
    // Files: "folder=content ..." with the contents named in `contents`.
    const std::map<std::string, std::string> contents = {
        {"self", selfSigned->Der()},  {"selfpem", selfSigned->Pem()}, {"expired", expired->Der()},
        {"ca", TestCaCert()},         {"crl", TestCrlEmpty()},        {"revoked", TestCrlRevoked()},
        {"client", TestClientCert()}, {"nosign", noSign->Der()},      {"big", big->Der()}};
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
    namespace S = UaStatus;
    // clang-format off
    const TRow rows[] = {
        {"self-signed, not trusted", "", self, "", false, 0, S::BadCertificateUntrusted, true},
        {"self-signed, trusted", "trusted/certs=selfpem", self, "urn:test:self", false, 2048, S::Good, false},
        {"self-signed, accepted automatically", "", self, "", true, 0, S::Good, false},
        {"URI differs from the certificate's", "trusted/certs=self", self, "urn:test:other", false, 0, S::BadCertificateUriInvalid, false},
        {"key smaller than the policy's minimum", "trusted/certs=self", self, "", false, 3072, S::BadCertificatePolicyCheckFailed, false},
        {"key larger than the policy's maximum", "trusted/certs=big", big->Der(), "", false, 0, S::BadCertificatePolicyCheckFailed, false},
        {"may not sign", "trusted/certs=nosign", noSign->Der(), "", false, 0, S::BadCertificateUseNotAllowed, false},
        {"expired, trusted", "trusted/certs=expired", old, "", false, 0, S::BadCertificateTimeInvalid, false},
        {"expired, accepted automatically", "", old, "", true, 0, S::BadCertificateTimeInvalid, false},
        {"CA trusted with its list", "trusted/certs=ca trusted/crl=crl", client, "urn:test:client", false, 0, S::Good, false},
        {"chain sent along, CA trusted", "trusted/certs=ca trusted/crl=crl", client + ca->Der(), "", false, 0, S::Good, false},
        {"CA only among the issuers", "issuers/certs=ca issuers/crl=crl", client, "", false, 0, S::BadCertificateUntrusted, true},
        {"client trusted, its CA an issuer", "trusted/certs=client issuers/certs=ca issuers/crl=crl", client, "", false, 0, S::Good, false},
        {"CA trusted without a list", "trusted/certs=ca", client, "", false, 0, S::BadCertificateRevocationUnknown, false},
        {"revoked", "trusted/certs=ca trusted/crl=revoked", client, "", false, 0, S::BadCertificateRevoked, false},
        {"not a certificate", "", "garbage", "", false, 0, S::BadCertificateInvalid, false},
        {"certificate with trailing bytes", "trusted/certs=self", self + "x", "", false, 0, S::BadCertificateInvalid, false},
    };
    // clang-format on
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

std::string Bytes(const std::string& hex) {
    const TBytes bytes = Hex(hex);
    return std::string(bytes.begin(), bytes.end());
}

const std::string ClientNonce = Bytes("000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f");
const std::string ServerNonce = Bytes("202122232425262728292a2b2c2d2e2f303132333435363738393a3b3c3d3e3f");
// Sequence number 51, request id 4, body "Dravon".
const std::string Plain = Bytes("3300000004000000") + "Dravon";

// P_SHA256 of the two nonces; each policy takes as much of it as its keys need.
constexpr const char* ClientMaterial =
    "dd585db0c102dd1a4c1ed4dd195606dec3f7a1c789afca78f9479ed3a5d668afce49cb8f1c65a827f412c48e71c9f9cb"
    "3b5c2ee2fc2e4b3bd46d4098b5e45475a77832c6215b6e7ab85f2e668be7aeff";
constexpr const char* ServerMaterial =
    "b72593c43fee5fafa0256cd6bb904ff40c066a225db95f66dd744e20858a2220ddf75067e3d76ac714c08e24eabd85ff"
    "425d7f5fb25e6e083b94b174e29db89bc513e9172274d5ed54e52a3552901ae0";
// MSG F, channel 7, token 1, Plain, HMAC-SHA256 with the client signing key.
constexpr const char* SignedChunk =
    "4d5347463e00000007000000010000003300000004000000447261766f6ef40119b649f60daaf0fe"
    "2e1784f714415f54b057f9775a51c0305fe706902063";

struct TPolicyVector {
    const char* Policy;
    std::size_t KeyMaterial; // bytes of the derived stream: signing + encrypting key + IV
    // The same chunk with PaddingSize 1 and one padding byte, encrypted with the client key and IV.
    const char* EncryptedChunk;
    // OpenSecureChannel with Plain from key A to key B: padding count, encrypted bytes.
    std::size_t AsymmetricPadding;
    std::size_t AsymmetricCipherSize;
};

// clang-format off
const TPolicyVector PolicyVectors[] = {
    {"Basic256Sha256", 80, "4d534746400000000700000001000000a6401c5e945b651a07f43894dc204b2e71eec3f3e406598141d090d8909a7f9a"
                           "aea34364efe2f32cd986f5a055bddcbf", 157, 512},
    {"Aes128_Sha256_RsaOaep", 64, "4d534746400000000700000001000000932ae41e2ab521bdd742005070561addc0845e49a049ca7d64c0fd1728e54857"
                                  "b952a63a07bdfe47775a4cf52d55dc14", 157, 512},
    {"Aes256_Sha256_RsaPss", 80, "4d534746400000000700000001000000a6401c5e945b651a07f43894dc204b2e71eec3f3e406598141d090d8909a7f9a"
                                 "aea34364efe2f32cd986f5a055bddcbf", 109, 512},
};
// clang-format on

TEST(UaSecureChunkTest, EachPolicyDerivesKeysAndLaysOutChunksAsTheVectorsSay) {
    TUaKey keyA = TUaKey::FromPrivatePem(TestKeyA());
    TUaKey keyB = TUaKey::FromPrivatePem(TestKeyB());
    TUaKey keyC = TUaKey::FromPrivatePem(UaTestPem("key-c"));
    ASSERT_TRUE(keyA.Valid() && keyB.Valid() && keyC.Bytes() == 512);
    for (const auto& v : PolicyVectors) {
        SCOPED_TRACE(v.Policy);
        const TUaSecurityPolicy* policy = FindUaSecurityPolicy(v.Policy, true);
        ASSERT_NE(policy, nullptr);
        EXPECT_EQ(policy->NonceLength, 32u);
        TUaChannelKeys keys = DeriveUaChannelKeys(*policy, ClientNonce, ServerNonce);
        auto material = [](const TUaSymmetricKeys& k) { return k.SigningKey + k.EncryptingKey + k.Iv; };
        EXPECT_EQ(UaHex(material(keys.Client)), std::string(ClientMaterial).substr(0, 2 * v.KeyMaterial));
        EXPECT_EQ(UaHex(material(keys.Server)), std::string(ServerMaterial).substr(0, 2 * v.KeyMaterial));

        std::string sign =
            SecureUaSymmetricChunk(*policy, TUaSecurityMode::Sign, keys.Client, "MSG", 'F', 7, 1, Plain);
        EXPECT_EQ(UaHex(sign), SignedChunk);
        std::string encrypted = SecureUaSymmetricChunk(*policy, TUaSecurityMode::SignAndEncrypt, keys.Client,
                                                       "MSG", 'F', 7, 1, Plain);
        EXPECT_EQ(UaHex(encrypted), v.EncryptedChunk);
        EXPECT_EQ(OpenUaSymmetricChunk(*policy, TUaSecurityMode::Sign, keys.Client, sign).Plain, Plain);
        EXPECT_EQ(
            OpenUaSymmetricChunk(*policy, TUaSecurityMode::SignAndEncrypt, keys.Client, encrypted).Plain,
            Plain);
        // The room for a body leaves space for signature and padding in an 8192-byte chunk.
        for (auto mode : {TUaSecurityMode::None, TUaSecurityMode::Sign, TUaSecurityMode::SignAndEncrypt}) {
            std::string body(8 + UaSymmetricMaxBody(*policy, mode, 8192), 'x');
            EXPECT_LE(SecureUaSymmetricChunk(*policy, mode, keys.Server, "MSG", 'C', 1, 1, body).size(),
                      8192u);
            body.push_back('x');
            EXPECT_GT(SecureUaSymmetricChunk(*policy, mode, keys.Server, "MSG", 'C', 1, 1, body).size(),
                      8192u);
        }

        // Asymmetric: encryption is randomised, so the layout is checked after decrypting.
        std::string peerThumbprint(20, 'T');
        std::string chunk =
            SecureUaAsymmetricChunk(*policy, "OPN", 'F', 9, keyA, "CERT-A", keyB, peerThumbprint, Plain);
        auto header = ReadUaAsymmetricHeader(chunk);
        ASSERT_TRUE(header.has_value());
        EXPECT_EQ(std::tuple(header->PolicyUri, header->SenderCertificate, header->ReceiverThumbprint,
                             chunk.size() - header->HeaderSize),
                  std::tuple(policy->Uri, "CERT-A", peerThumbprint, v.AsymmetricCipherSize));
        // Plain, PaddingSize and the padding (each byte the count), then a 256-byte signature.
        std::string decrypted =
            keyB.Decrypt(policy->AsymmetricEncryption, std::string_view(chunk).substr(header->HeaderSize))
                .value_or("");
        const std::string padded = Plain + std::string(1 + v.AsymmetricPadding, char(v.AsymmetricPadding));
        ASSERT_EQ(decrypted.size(), padded.size() + 256);
        EXPECT_EQ(decrypted.substr(0, padded.size()), padded);
        EXPECT_TRUE(keyA.Verify(policy->AsymmetricSignature, chunk.substr(0, header->HeaderSize) + padded,
                                decrypted.substr(padded.size())));
        auto opened = OpenUaAsymmetricChunk(*policy, *header, chunk, keyB, keyA);
        EXPECT_EQ(std::pair(opened.Status, opened.Plain), std::pair(UaStatus::Good, Plain));
        EXPECT_FALSE(ReadUaAsymmetricHeader(chunk.substr(0, chunk.size() - 1)).has_value());
        // One cipher block less no longer holds the signature.
        EXPECT_EQ(
            OpenUaAsymmetricChunk(*policy, *header, chunk.substr(0, chunk.size() - 256), keyB, keyA).Status,
            UaStatus::BadSecurityChecksFailed);
        // For a 4096-bit receiver the padding count takes two bytes; here it is above 255.
        const std::string longer = Plain + std::string(208, 'p');
        chunk = SecureUaAsymmetricChunk(*policy, "OPN", 'F', 9, keyA, "CERT-A", keyC, peerThumbprint, longer);
        EXPECT_EQ(OpenUaAsymmetricChunk(*policy, *ReadUaAsymmetricHeader(chunk), chunk, keyC, keyA).Plain,
                  longer);
    }
}

TEST(UaSecureChunkTest, AChangedChunkIsRefused) {
    const TUaSecurityPolicy& policy = *FindUaSecurityPolicy("Basic256Sha256", true);
    TUaChannelKeys keys = DeriveUaChannelKeys(policy, ClientNonce, ServerNonce);
    const std::string sign = Bytes(SignedChunk);
    const std::string encrypted = Bytes(PolicyVectors[0].EncryptedChunk);
    // The encrypted chunk rebuilt with the given plain text (padding included) and a valid signature.
    auto reencrypt = [&](std::string plainWithPadding) {
        std::string header = encrypted.substr(0, 16);
        std::string body = plainWithPadding + UaHmacSha256(keys.Client.SigningKey, header + plainWithPadding);
        return header + *UaAesCbc(true, keys.Client.EncryptingKey, keys.Client.Iv, body);
    };
    auto flip = [](std::string chunk, std::size_t at) {
        chunk[at] = static_cast<char>(chunk[at] ^ 0x01);
        return chunk;
    };
    struct TRow {
        const char* Name;
        TUaSecurityMode Mode;
        std::string Chunk;
        const TUaSymmetricKeys* Keys;
    };
    const auto& client = keys.Client;
    // clang-format off
    const TRow rows[] = {
        {"signed body byte", TUaSecurityMode::Sign, flip(sign, 20), &client},
        {"signature byte", TUaSecurityMode::Sign, flip(sign, sign.size() - 1), &client},
        {"token id in the header", TUaSecurityMode::Sign, flip(sign, 12), &client},
        {"signed chunk read as encrypted", TUaSecurityMode::SignAndEncrypt, sign, &client},
        {"encrypted byte", TUaSecurityMode::SignAndEncrypt, flip(encrypted, 30), &client},
        {"last encrypted byte", TUaSecurityMode::SignAndEncrypt, flip(encrypted, encrypted.size() - 1), &client},
        {"cut by one block", TUaSecurityMode::SignAndEncrypt, encrypted.substr(0, encrypted.size() - 16), &client},
        {"not whole blocks", TUaSecurityMode::SignAndEncrypt, encrypted.substr(0, encrypted.size() - 1), &client},
        {"server keys", TUaSecurityMode::SignAndEncrypt, encrypted, &keys.Server},
        {"padding bytes disagree", TUaSecurityMode::SignAndEncrypt, reencrypt(Plain + Bytes("0102")), &client},
        {"padding longer than the body", TUaSecurityMode::SignAndEncrypt, reencrypt(std::string(1, '\x11') + Plain.substr(0, 14) + std::string(1, '\x11')), &client},
        {"header only", TUaSecurityMode::Sign, sign.substr(0, 16), &client},
    };
    // clang-format on
    for (const auto& row : rows) {
        SCOPED_TRACE(row.Name);
        auto opened = OpenUaSymmetricChunk(policy, row.Mode, *row.Keys, row.Chunk);
        EXPECT_EQ(std::pair(opened.Status, opened.Plain),
                  std::pair(UaStatus::BadSecurityChecksFailed, std::string()));
    }
    // Padding may fill all the room after the sequence header.
    EXPECT_EQ(OpenUaSymmetricChunk(policy, TUaSecurityMode::SignAndEncrypt, keys.Client,
                                   reencrypt(Plain.substr(0, 8) + std::string(8, '\x07')))
                  .Plain,
              Plain.substr(0, 8));
    // Changed asymmetric chunks: the OpenSecureChannel table below.
}

TUaCertificate SelfSigned(const std::string& pem, const char* uri) {
    return *TUaCertificate::CreateSelfSigned(TUaKey::FromPrivatePem(pem),
                                             {uri, "localhost", "Test", "", Jan2027 - 86400, 365});
}

// A server with key A (placed, not generated) and a client with key B that it trusts.
struct TSecurityRig {
    explicit TSecurityRig(TUaConfig config = {}, const std::string& usersFile = {},
                          IKeyValueStore* store = nullptr)
        : Config(std::move(config)) {
        Security = std::make_unique<TUaSecurity>(Config, Dir.Path / "pki", usersFile, store);
        Security->Pki().CreateFolders();
        WriteFile((Dir.Path / "pki/own/certs/Dravon.der").string(), ServerCert.Der());
        WriteFile((Dir.Path / "pki/own/private/Dravon.pem").string(), TestKeyA());
        WriteFile((Dir.Path / "pki/trusted/certs/client.der").string(), ClientCert.Der());
        std::string error;
        EXPECT_TRUE(Security->Start("urn:server", Jan2027, Log, error)) << error;
    }

    TTempDir Dir;
    std::vector<std::string> Log; // what the start wrote
    TUaConfig Config;
    TUaCertificate ServerCert = SelfSigned(TestKeyA(), "urn:server");
    TUaCertificate ClientCert = SelfSigned(TestKeyB(), "urn:client");
    std::unique_ptr<TUaSecurity> Security;
};

TEST(UaChannelSecurityTest, SettingsDecideTheOffersAndTheWarnings) {
    const struct {
        const char* Name;
        bool AllInterfaces;
        int None, Anonymous; // -1: not set
        bool AutoTrust;
        const char* Modes;
        std::size_t Offers;
        bool NoneOffered, AnonymousAllowed;
        const char* Warnings; // after the thumbprint line, one a line
    } rows[] = {
        // clang-format off
        {"loopback defaults", false, -1, -1, false, "Sign, SignAndEncrypt", 7, true, true, ""},
        {"all interfaces: None and anonymous off", true, -1, -1, false, "Sign,SignAndEncrypt", 6, false, false, ""},
        {"all interfaces, turned on explicitly", true, 1, 1, false, "SignAndEncrypt", 4, true, true,
         "Warning: OPC UA security policy None is offered on all interfaces\n"
         "Warning: OPC UA anonymous sessions are allowed on all interfaces\n"},
        {"loopback, turned off", false, 0, 0, true, "Sign", 3, false, false,
         "Warning: every OPC UA client certificate is trusted automatically\n"},
        // clang-format on
    };
    auto setting = [](int v) { return v < 0 ? std::nullopt : std::optional<bool>(v == 1); };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.Name);
        TSecurityRig rig({.ListenOnAllInterfaces = row.AllInterfaces,
                          .SecurityModes = row.Modes,
                          .AllowSecurityNone = setting(row.None),
                          .AllowAnonymous = setting(row.Anonymous),
                          .AutoTrustClients = row.AutoTrust});
        const TUaSecurity& security = *rig.Security;
        std::string log;
        for (const auto& line : rig.Log) log += line + "\n";
        EXPECT_EQ(std::tuple(security.Offers().size(), security.Offers().front().Policy->IsNone(),
                             security.AnonymousAllowed(), log),
                  std::tuple(row.Offers, row.NoneOffered, row.AnonymousAllowed,
                             "OPC UA application certificate thumbprint " +
                                 UaHex(rig.ServerCert.Thumbprint()) + "\n" + row.Warnings));
    }
}

TUaExtensionObject UserToken(const char* policyId, const char* user, const std::string& password,
                             const std::string& algorithm) {
    TUaBinaryWriter w;
    w.String(policyId);
    w.String(user);
    w.ByteString(password);
    w.String(algorithm);
    return {TUaNodeId::Num(UaId::UserNameIdentityToken), 1, w.Take()};
}

TEST(UaChannelSecurityTest, UserIdentityTokensAreCheckedAgainstTheStoredUsers) {
    // "engineer" as an older version kept it in the machine store: the first start moves it
    // into the users file.
    TMemoryStore store;
    auto old = store.OpenKey(TRootKey::LocalMachine, std::string(UaConfigKeyPath) + "\\Users\\engineer");
    old->WriteString("Role", "read-write");
    old->WriteString("Password", "pbkdf2-sha256$1000$00112233445566778899aabbccddeeff$"
                                 "ae4647d16d80f27d613f2637b39a7560e4ce30f82074db22b6bdf6c2f21cc9f0");
    // Every TTempDir of a test is the same folder, emptied when one is made: rig comes last.
    TTempDir dir;
    const std::string file = dir.File("users");
    TUaConfig closed;
    closed.AllowAnonymous = false;
    TSecurityRig strict(closed, file);
    TSecurityRig rig({}, file, &store);
    EXPECT_FALSE(store.KeyExists(TRootKey::LocalMachine, std::string(UaConfigKeyPath) + "\\Users"));
    EXPECT_EQ(rig.Log.front(), "OPC UA users moved from the machine store to " + file + ": 1");
    // Added as --add-user adds beside the running server: seen without a restart.
    TUaUserStore adder(file, 1000);
    std::string error;
    ASSERT_TRUE(adder.Add("viewer", "look", TUaUserRole::ReadOnly, error));
    const TUaSecurityPolicy& pss = *FindUaSecurityPolicy("Aes256_Sha256_RsaPss", true);
    const TUaSecurityPolicy& basic = *FindUaSecurityPolicy("Basic256Sha256", true);
    const std::string nonce(32, 'q');
    // A user name token with the password encrypted as the policy says.
    auto user = [&](const char* name, const char* password, const TUaSecurityPolicy& p,
                    const std::string& n = std::string(32, 'q')) {
        return UserToken("username", name, *EncryptUaUserPassword(p, rig.ServerCert.PublicKey(), password, n),
                         p.AsymmetricEncryptionUri);
    };
    const TUaExtensionObject anonymous{TUaNodeId::Num(UaId::AnonymousIdentityToken), 1,
                                       std::string("\x09\0\0\0anonymous", 13)},
        wrongAnonymous{anonymous.TypeId, 1, std::string("\x03\0\0\0abc", 7)};
    const TUaExtensionObject none, x509{TUaNodeId::Num(327), 1, ""}, issued{TUaNodeId::Num(940), 1, ""};
    const TUaSecurityPolicy* noneChannel = &UaSecurityPolicyNone();
    const auto ro = TUaUserRole::ReadOnly, rw = TUaUserRole::ReadWrite;
    namespace S = UaStatus;
    const struct {
        const char* Name;
        TSecurityRig* Rig;
        const TUaSecurityPolicy* Channel;
        TUaStatusCode Expected;
        TUaUserRole Role;
        bool WrongPassword;
        TUaExtensionObject Token;
        // clang-format off
    } rows[] = {
        {"no token", &rig, &pss, S::Good, rw, false, none},
        {"anonymous", &rig, &pss, S::Good, rw, false, anonymous},
        {"anonymous, other policy id", &rig, &pss, S::BadIdentityTokenInvalid, rw, false, wrongAnonymous},
        {"anonymous not allowed", &strict, &pss, S::BadIdentityTokenRejected, rw, false, anonymous},
        {"read-only user", &rig, &pss, S::Good, ro, false, user("viewer", "look", pss)},
        {"read-write user, None channel, password under Basic256Sha256", &strict, noneChannel, S::Good, rw, false, user("engineer", "change", basic)},
        {"wrong password", &rig, &pss, S::BadUserAccessDenied, rw, true, user("viewer", "lock", pss)},
        {"old nonce", &rig, &pss, S::BadIdentityTokenInvalid, rw, false, user("viewer", "look", pss, "old")},
        {"another nonce of the same length", &rig, &pss, S::BadIdentityTokenInvalid, rw, false, user("viewer", "look", pss, std::string(32, 'o'))},
        {"password for another key", &rig, &pss, S::BadIdentityTokenInvalid, rw, false, UserToken("username", "viewer", *EncryptUaUserPassword(pss, rig.ClientCert.PublicKey(), "look", nonce), pss.AsymmetricEncryptionUri)},
        {"password in the clear", &rig, &pss, S::BadIdentityTokenInvalid, rw, false, UserToken("username", "viewer", "look", "")},
        {"another policy's algorithm", &rig, &pss, S::BadIdentityTokenInvalid, rw, false, user("viewer", "look", basic)},
        {"certificate token", &rig, &pss, S::BadIdentityTokenRejected, rw, false, x509},
        {"issued token", &rig, &pss, S::BadIdentityTokenRejected, rw, false, issued},
        {"user name under another policy id", &rig, &pss, S::BadIdentityTokenInvalid, rw, false, UserToken("anonymous", "viewer", *EncryptUaUserPassword(pss, rig.ServerCert.PublicKey(), "look", nonce), pss.AsymmetricEncryptionUri)},
    };
    // clang-format on
    for (const auto& row : rows) {
        SCOPED_TRACE(row.Name);
        auto identity = CheckUaIdentity(row.Token, *row.Rig->Security, *row.Channel, nonce);
        // The role counts only for an accepted token.
        EXPECT_EQ(
            std::tuple(identity.Status, identity.Status ? row.Role : identity.Role, identity.WrongPassword),
            std::tuple(row.Expected, row.Role, row.WrongPassword));
    }
}

TEST(UaChannelSecurityTest, SessionSignaturesAndEndpointsFollowThePolicy) {
    TSecurityRig rig;
    TUaKey clientKey = TUaKey::FromPrivatePem(TestKeyB());
    for (const auto& policy : UaSecurityPolicies()) {
        SCOPED_TRACE(policy.Name);
        // CreateSession: the server signs the client's certificate and nonce.
        auto server = SignUaSession(policy, rig.Security->Key(), rig.ClientCert.Der(), "client-nonce");
        if (policy.IsNone()) {
            EXPECT_TRUE(server.Signature.empty());
            continue;
        }
        EXPECT_EQ(server.Algorithm, policy.AsymmetricSignatureUri);
        EXPECT_TRUE(rig.ServerCert.PublicKey().Verify(
            policy.AsymmetricSignature, rig.ClientCert.Der() + "client-nonce", server.Signature));
        // ActivateSession: the client signs the server's certificate and nonce.
        TUaSignatureData client{
            policy.AsymmetricSignatureUri,
            *clientKey.Sign(policy.AsymmetricSignature, rig.ServerCert.Der() + "server-nonce")};
        EXPECT_TRUE(VerifyUaSession(policy, rig.ClientCert, rig.ServerCert.Der(), "server-nonce", client));
        EXPECT_FALSE(VerifyUaSession(policy, rig.ClientCert, rig.ServerCert.Der(), "other-nonce", client));
        EXPECT_FALSE(VerifyUaSession(policy, rig.ServerCert, rig.ServerCert.Der(), "server-nonce", client));
        EXPECT_FALSE(VerifyUaSession(policy, rig.ClientCert, rig.ServerCert.Der(), "server-nonce",
                                     {"http://www.w3.org/2000/09/xmldsig#rsa-sha1", client.Signature}));
    }

    TUaApplicationDescription app;
    app.ApplicationUri = "urn:server";
    TUaBinaryWriter w;
    WriteUaEndpoints(w, "opc.tcp://h:4840", app, *rig.Security, "profile");
    TUaBinaryReader r(w.Bytes());
    std::vector<std::string> seen;
    std::size_t count = r.ArrayLength();
    for (std::size_t i = 0; i < count && r.Ok(); ++i) {
        EXPECT_EQ(r.String(), "opc.tcp://h:4840");
        ReadApplicationDescription(r);
        EXPECT_EQ(r.ByteString(), rig.ServerCert.Der());
        std::string entry = std::to_string(r.UInt32());
        entry += " " + r.String().substr(43);
        std::size_t tokens = r.ArrayLength();
        for (std::size_t t = 0; t < tokens; ++t) {
            entry += " " + r.String();
            entry += ":" + std::to_string(r.UInt32());
            r.String();
            r.String();
            std::string tokenPolicy = r.String();
            if (!tokenPolicy.empty()) entry += "/" + tokenPolicy.substr(43);
        }
        EXPECT_EQ(r.String(), "profile");
        entry += " level " + std::to_string(r.Byte());
        seen.push_back(entry);
    }
    EXPECT_TRUE(r.AtEnd());
    EXPECT_EQ(seen, (std::vector<std::string>{
                        "1 None anonymous:0 username:1/Basic256Sha256 level 0",
                        "3 Basic256Sha256 anonymous:0 username:1/Basic256Sha256 level 11",
                        "2 Basic256Sha256 anonymous:0 username:1/Basic256Sha256 level 6",
                        "3 Aes128_Sha256_RsaOaep anonymous:0 username:1/Aes128_Sha256_RsaOaep level 12",
                        "2 Aes128_Sha256_RsaOaep anonymous:0 username:1/Aes128_Sha256_RsaOaep level 7",
                        "3 Aes256_Sha256_RsaPss anonymous:0 username:1/Aes256_Sha256_RsaPss level 13",
                        "2 Aes256_Sha256_RsaPss anonymous:0 username:1/Aes256_Sha256_RsaPss level 8",
                    }));
}

// A client of a secured channel over the in-memory socket, built from the chunk functions.
struct TSecuredClient : TChannelRig {
    TSecuredClient(TSecurityRig& rig, const TUaSecurityPolicy& policy)
        : TChannelRig([&rig](const TUaAsymmetricHeader& h, TUaStatusCode& refusal, std::string& reason) {
              return TUaChannelSecurity::Make(*rig.Security, Jan2027, h, refusal, reason);
          }),
          Rig(rig), Policy(policy) {
        Channel->Receive(HelloFrame());
        TakeFrames(*Socket);
    }

    // An OpenSecureChannel (issue, or renew with RequestType 1) as the client sends it.
    struct TOpen {
        std::uint32_t Sequence = 1, RequestType = 0, Mode = 3;
        char NonceByte = 'a';
        std::size_t NonceLength = 32;
        const TUaCertificate* Sender = nullptr; // the client's certificate
        std::string SenderKey = TestKeyB();
        std::string Thumbprint{}; // the server's
        std::size_t FlipAt = 0;   // a byte changed this far from the end
    };
    // The token id issued (0 when refused: LastError() tells why); keeps the token's keys.
    std::uint32_t Open(const TOpen& o) {
        TUaBinaryWriter w;
        const std::string clientNonce(o.NonceLength, o.NonceByte);
        WriteOpenRequest(w, o.Sequence, o.Sequence, o.RequestType, o.Mode, &clientNonce, 600000);
        std::string chunk = SecureUaAsymmetricChunk(
            Policy, "OPN", 'F', o.RequestType ? 7 : 0, TUaKey::FromPrivatePem(o.SenderKey),
            (o.Sender ? *o.Sender : Rig.ClientCert).Der(), Rig.ServerCert.PublicKey(),
            o.Thumbprint.empty() ? Rig.ServerCert.Thumbprint() : o.Thumbprint, w.Bytes());
        if (o.FlipAt) chunk[chunk.size() - o.FlipAt] ^= 0x20;
        Channel->Receive(chunk);
        std::string response = Socket->Written;
        auto header = ReadUaAsymmetricHeader(response);
        if (!header || response.rfind("OPN", 0) != 0) return 0;
        Socket->Written.clear();
        // Signed by the server's key, encrypted for the client's.
        if (!Policy.IsNone()) {
            EXPECT_EQ(std::pair(header->SenderCertificate, header->ReceiverThumbprint),
                      std::pair(Rig.ServerCert.Der(), Rig.ClientCert.Thumbprint()));
        }
        auto opened = OpenUaAsymmetricChunk(Policy, *header, response, TUaKey::FromPrivatePem(TestKeyB()),
                                            Rig.ServerCert.PublicKey());
        // Past the sequence header and response header: protocol version, channel id, token.
        TUaBinaryReader r(opened.Plain);
        r.UInt64();
        ReadResponseStart(r);
        r.UInt64();
        const std::uint32_t token = r.UInt32();
        r.DateTime();
        r.UInt32();
        const std::string serverNonce = r.ByteString();
        EXPECT_EQ(serverNonce.size(), Policy.NonceLength);
        Keys[token] = DeriveUaChannelKeys(Policy, clientNonce, serverNonce);
        return r.Ok() ? token : 0;
    }

    std::string Message(std::uint32_t token, std::uint32_t sequence, const TUaChannelKeys& keys) {
        std::string plain = std::string(reinterpret_cast<const char*>(&sequence), 4) +
                            std::string("\x09\0\0\0", 4) + "request body";
        return SecureUaSymmetricChunk(Policy, TUaSecurityMode::SignAndEncrypt, keys.Client, "MSG", 'F', 7,
                                      token, plain);
    }

    // The token id of the channel's next response.
    std::uint32_t ResponseToken() {
        Channel->SendResponse(9, 1, "response");
        const std::string chunk = std::exchange(Socket->Written, {}); // two chunks would not open
        if (chunk.size() < 16 || chunk.rfind("MSGF", 0) != 0) return 0;
        TUaBinaryReader r(std::string_view(chunk).substr(12));
        const std::uint32_t token = r.UInt32();
        const std::string plain =
            OpenUaSymmetricChunk(Policy, TUaSecurityMode::SignAndEncrypt, Keys[token].Server, chunk).Plain;
        return plain.size() > 8 && plain.substr(8) == "response" ? token : 0;
    }

    TSecurityRig& Rig;
    const TUaSecurityPolicy& Policy;
    std::map<std::uint32_t, TUaChannelKeys> Keys;
};

TEST(UaChannelSecurityTest, OpenSecureChannelIsRefusedWhenAnyCheckFails) {
    TUaConfig noAes128;
    noAes128.SecurityPolicies = "Basic256Sha256,Aes256_Sha256_RsaPss";
    noAes128.SecurityModes = "SignAndEncrypt";
    noAes128.AllowSecurityNone = false;
    TSecurityRig rig(noAes128);
    const TUaSecurityPolicy& basic = *FindUaSecurityPolicy("Basic256Sha256", true);
    const TUaSecurityPolicy& aes128 = *FindUaSecurityPolicy("Aes128_Sha256_RsaOaep", true);
    const TUaCertificate stranger = SelfSigned(TestKeyA(), "urn:stranger");
    // Trusted, but its key has 1024 bits.
    const TUaCertificate small = SelfSigned(UaTestPem("key-d"), "urn:small");
    WriteFile((rig.Dir.Path / "pki/trusted/certs/small.der").string(), small.Der());
    const struct {
        const char* Name;
        const TUaSecurityPolicy& Policy;
        TSecuredClient::TOpen Open;
        TUaStatusCode Expected;
    } rows[] = {
        {"policy not offered", aes128, {}, UaStatus::BadSecurityPolicyRejected},
        {"mode not offered", basic, {.Mode = 2}, UaStatus::BadSecurityModeRejected},
        {"mode None under a policy", basic, {.Mode = 1}, UaStatus::BadSecurityModeRejected},
        {"short nonce", basic, {.NonceLength = 31}, UaStatus::BadNonceInvalid},
        // clang-format off
        {"receiver thumbprint not ours", basic, {.Thumbprint = std::string(20, 'x')}, UaStatus::BadSecurityChecksFailed},
        {"untrusted sender", basic, {.Sender = &stranger, .SenderKey = TestKeyA()}, UaStatus::BadCertificateUntrusted},
        {"signed with another key than the certificate's", basic, {.SenderKey = TestKeyA()}, UaStatus::BadSecurityChecksFailed},
        {"key below 2048 bits", basic, {.Sender = &small, .SenderKey = UaTestPem("key-d")}, UaStatus::BadCertificatePolicyCheckFailed},
        // clang-format on
        {"tampered", basic, {.FlipAt = 3}, UaStatus::BadSecurityChecksFailed},
        {"None, not offered: for discovery",
         UaSecurityPolicyNone(),
         {.Mode = 1, .NonceLength = 0},
         UaStatus::Good},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.Name);
        TSecuredClient client(rig, row.Policy);
        EXPECT_EQ(client.Open(row.Open) != 0, row.Expected == UaStatus::Good);
        EXPECT_EQ(client.LastError(), row.Expected);
    }
    EXPECT_EQ(rig.Security->Pki().RejectedCertificates().size(), 1u);
}

TEST(UaChannelSecurityTest, ChannelRefusesAnOutdatedTokenOrAChangedRenewalAndRenewsWithoutALostResponse) {
    TSecurityRig rig;
    const TUaSecurityPolicy& basic = *FindUaSecurityPolicy("Basic256Sha256", true);
    // Another certificate for the client's own key: only the certificate tells it apart.
    const TUaCertificate other = SelfSigned(TestKeyB(), "urn:other");
    const TSecuredClient::TOpen renewal{.Sequence = 2, .RequestType = 1, .NonceByte = 'b'};
    // After token 1: the renewals, then one message (none for token 0) under the token id,
    // sealed with token 1's keys. Changed or replayed chunks: the chunk and channel tables.
    struct TRow {
        const char* Name;
        std::vector<TSecuredClient::TOpen> Renewals;
        std::uint32_t Token, Sequence;
        TUaStatusCode Error;
    };
    namespace S = UaStatus;
    // clang-format off
    const TRow rows[] = {
        {"token 2's id with token 1's keys", {renewal}, 2, 3, S::BadSecurityChecksFailed},
        {"token before the previous one", {renewal, {.Sequence = 3, .RequestType = 1, .NonceByte = 'c'}}, 1, 4, S::BadSecureChannelTokenUnknown},
        {"renewal in another mode", {{.Sequence = 2, .RequestType = 1, .Mode = 2}}, 0, 0, S::BadSecurityModeRejected},
        {"renewal from another certificate", {{.Sequence = 2, .RequestType = 1, .Sender = &other}}, 0, 0, S::BadSecurityChecksFailed},
        {"renewal for another server", {{.Sequence = 2, .RequestType = 1, .Thumbprint = std::string(20, 'x')}}, 0, 0, S::BadSecurityChecksFailed},
    };
    // clang-format on
    for (const auto& row : rows) {
        SCOPED_TRACE(row.Name);
        TSecuredClient client(rig, basic);
        ASSERT_EQ(client.Open({}), 1u);
        for (const auto& open : row.Renewals) client.Open(open);
        if (row.Token) client.Channel->Receive(client.Message(row.Token, row.Sequence, client.Keys[1]));
        EXPECT_TRUE(client.Requests.empty());
        EXPECT_EQ(client.LastError(), row.Error);
        EXPECT_EQ(client.Channel->State(), TUaChannel::TState::Closed);
    }

    for (const auto& policy : UaSecurityPolicies()) {
        if (policy.IsNone()) continue;
        SCOPED_TRACE(policy.Name);
        TSecuredClient client(rig, policy);
        ASSERT_EQ(client.Open({}), 1u);
        EXPECT_EQ(dynamic_cast<const TUaChannelSecurity&>(*client.Channel->Policy()).PeerCertificate().Der(),
                  rig.ClientCert.Der());
        ASSERT_EQ(client.Open(renewal), 2u);
        // Until the client uses token 2, responses go out under token 1.
        EXPECT_EQ(client.ResponseToken(), 1u);
        client.Channel->Receive(client.Message(1, 3, client.Keys[1]));
        EXPECT_EQ(client.ResponseToken(), 1u);
        client.Channel->Receive(client.Message(2, 4, client.Keys[2]));
        EXPECT_EQ(client.ResponseToken(), 2u);
        client.Channel->Receive(client.Message(1, 5, client.Keys[1]));
        EXPECT_EQ(client.LastError(), UaStatus::BadSecureChannelTokenUnknown);
        EXPECT_EQ(client.Requests, (decltype(client.Requests){{9, "request body"}, {9, "request body"}}));
    }
}

} // namespace
