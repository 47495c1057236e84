// One secure channel's security as a client meets it: the OpenSecureChannel under each
// check, the keys of each token, a renewal, and what the settings offer and log.
#include "ua/security/UaChannelSecurity.h"
#include "UaTestClient.h"
#include "UaTestKeys.h"
#include "app/MemoryStore.h"
#include "support/FakePlatform.h"
#include "ua/UaBinaryReader.h"
#include "ua/UaBinaryWriter.h"
#include "ua/UaChannel.h"
#include "ua/UaNodeIds.h"
#include "ua/UaStatusCodes.h"
#include "ua/security/UaSessionSecurity.h"
#include "unit/app/TempDir.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>

using namespace dravon;
using namespace dravon::test;
namespace fs = std::filesystem;

namespace {

constexpr std::time_t Jan2027 = 1798761600;
const std::string Plain = std::string("\x01\0\0\0\x02\0\0\0", 8) + "request";

TUaCertificate SelfSigned(const char* pem, const char* uri) {
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
        WriteFile((Dir.Path / "pki/own/private/Dravon.pem").string(), TestKeyA);
        WriteFile((Dir.Path / "pki/trusted/certs/client.der").string(), ClientCert.Der());
        std::vector<std::string> log;
        std::string error;
        EXPECT_TRUE(Security->Start("urn:server", Jan2027, log, error)) << error;
    }

    std::string Open(const TUaSecurityPolicy& policy, std::uint32_t channelId = 0,
                     const TUaCertificate* sender = nullptr, const char* senderKey = TestKeyB,
                     std::string thumbprint = {}) {
        if (thumbprint.empty()) thumbprint = ServerCert.Thumbprint();
        return SecureUaAsymmetricChunk(policy, "OPN", 'F', channelId, TUaKey::FromPrivatePem(senderKey),
                                       (sender ? *sender : ClientCert).Der(), ServerCert.PublicKey(),
                                       thumbprint, Plain);
    }

    TTempDir Dir;
    TUaConfig Config;
    TUaCertificate ServerCert = SelfSigned(TestKeyA, "urn:server");
    TUaCertificate ClientCert = SelfSigned(TestKeyB, "urn:client");
    std::unique_ptr<TUaSecurity> Security;
};

// What the channel does with an OpenSecureChannel chunk: the factory on its header, then
// the policy's checks of the whole chunk, of the mode and of the nonce.
struct TOpened {
    TUaStatusCode Status = 0;
    std::unique_ptr<IUaSecurityPolicy> Policy;
    std::string Plain;
    std::string Reason;
};

TOpened OpenChannel(TUaSecurity& security, const std::string& chunk, TUaSecurityMode mode,
                    std::size_t nonceLength, std::uint32_t tokenId = 1) {
    TOpened out;
    auto header = ReadUaAsymmetricHeader(chunk);
    if (!header) return {UaStatus::BadDecodingError, nullptr, {}, {}};
    out.Policy = TUaChannelSecurity::Make(
        security, Jan2027, {header->PolicyUri, header->SenderCertificate, header->ReceiverThumbprint},
        out.Status, out.Reason);
    if (!out.Policy) return out;
    out.Status = out.Policy->Unprotect(true, 0, std::string_view(chunk).substr(0, header->HeaderSize),
                                       std::string_view(chunk).substr(header->HeaderSize), out.Plain);
    if (out.Status) return out;
    if (!out.Policy->AcceptsMode(static_cast<std::uint32_t>(mode))) {
        out.Status = UaStatus::BadSecurityModeRejected;
        return out;
    }
    std::string serverNonce;
    out.Status = out.Policy->IssueToken(static_cast<std::uint32_t>(mode), tokenId,
                                        std::string(nonceLength, 'n'), serverNonce);
    out.Reason = serverNonce;
    return out;
}

std::string Prefix(const TUaAsymmetricHeader& h) {
    TUaBinaryWriter w;
    w.Bytes() = std::string("OPNF\0\0\0\0\5\0\0\0", 12);
    w.String(h.PolicyUri);
    w.ByteString(h.SenderCertificate);
    w.ByteString(h.ReceiverThumbprint);
    return w.Take();
}

TEST(UaChannelSecurityTest, SecuredChannelCarriesMessagesBothWaysAndKeepsThePreviousTokensKeys) {
    TSecurityRig rig;
    const TUaSecurityPolicy& policy = *FindUaSecurityPolicy("Aes256_Sha256_RsaPss", true);
    auto mode = TUaSecurityMode::SignAndEncrypt;
    TOpened opened = OpenChannel(*rig.Security, rig.Open(policy), mode, 32);
    ASSERT_EQ(opened.Status, UaStatus::Good) << opened.Reason;
    EXPECT_EQ(opened.Plain, Plain);
    IUaSecurityPolicy& channel = *opened.Policy;
    std::string serverNonce = opened.Reason;
    EXPECT_EQ(serverNonce.size(), 32u);
    EXPECT_EQ(dynamic_cast<TUaChannelSecurity&>(channel).PeerCertificate().Der(), rig.ClientCert.Der());
    // The response comes back signed by the server's key, encrypted for the client's.
    TUaAsymmetricHeader own = channel.ServerHeader();
    EXPECT_EQ(own.SenderCertificate, rig.ServerCert.Der());
    EXPECT_EQ(own.ReceiverThumbprint, rig.ClientCert.Thumbprint());
    std::string response = Prefix(own);
    channel.Protect(true, 0, response, "response");
    auto header = ReadUaAsymmetricHeader(response);
    ASSERT_TRUE(header);
    EXPECT_EQ(OpenUaAsymmetricChunk(policy, *header, response, TUaKey::FromPrivatePem(TestKeyB),
                                    rig.ServerCert.PublicKey())
                  .Plain,
              "response");

    const std::string prefix("MSGF\0\0\0\0\5\0\0\0", 12);
    auto send = [&](const TUaChannelKeys& keys, std::uint32_t token) {
        std::string chunk = SecureUaSymmetricChunk(policy, mode, keys.Client, "MSG", 'F', 5, token, Plain);
        std::string plain;
        return channel.Unprotect(false, token, std::string_view(chunk).substr(0, 16),
                                 std::string_view(chunk).substr(16), plain);
    };
    auto receive = [&](const TUaChannelKeys& keys, std::uint32_t token) {
        std::string chunk = prefix + std::string(reinterpret_cast<const char*>(&token), 4);
        channel.Protect(false, token, chunk, Plain);
        return OpenUaSymmetricChunk(policy, mode, keys.Server, chunk).Plain;
    };
    auto keys1 = DeriveUaChannelKeys(policy, std::string(32, 'n'), serverNonce);
    EXPECT_EQ(send(keys1, 1), UaStatus::Good);
    EXPECT_EQ(receive(keys1, 1), Plain);

    std::string serverNonce2;
    ASSERT_EQ(channel.IssueToken(3, 2, std::string(32, 'm'), serverNonce2), UaStatus::Good);
    auto keys2 = DeriveUaChannelKeys(policy, std::string(32, 'm'), serverNonce2);
    // Both tokens' keys work until the next renewal; which one the channel uses is its business.
    EXPECT_EQ(send(keys1, 1), UaStatus::Good);
    EXPECT_EQ(receive(keys1, 1), Plain);
    EXPECT_EQ(send(keys2, 2), UaStatus::Good);
    EXPECT_EQ(receive(keys2, 2), Plain);
    // Token 2's id with token 1's keys.
    EXPECT_EQ(send(keys1, 2), UaStatus::BadSecurityChecksFailed);
    std::string serverNonce3;
    ASSERT_EQ(channel.IssueToken(3, 3, std::string(32, 'o'), serverNonce3), UaStatus::Good);
    EXPECT_EQ(send(keys1, 1), UaStatus::BadSecureChannelTokenUnknown);
    EXPECT_EQ(send(keys2, 2), UaStatus::Good);
    // A renewal keeps the mode and comes from the same certificate.
    EXPECT_FALSE(channel.AcceptsMode(2));
    EXPECT_TRUE(channel.AcceptsMode(3));
    TUaCertificate stranger = SelfSigned(TestKeyA, "urn:stranger");
    std::string renewal = rig.Open(policy, 5, &stranger, TestKeyA);
    auto renewalHeader = ReadUaAsymmetricHeader(renewal);
    std::string plain;
    EXPECT_EQ(channel.Unprotect(true, 0, std::string_view(renewal).substr(0, renewalHeader->HeaderSize),
                                std::string_view(renewal).substr(renewalHeader->HeaderSize), plain),
              UaStatus::BadSecurityChecksFailed);
}

TEST(UaChannelSecurityTest, OpenSecureChannelIsRefusedWhenAnyCheckFails) {
    TUaConfig noAes128;
    noAes128.SecurityPolicies = "Basic256Sha256,Aes256_Sha256_RsaPss";
    noAes128.SecurityModes = "SignAndEncrypt";
    TSecurityRig rig(noAes128);
    const TUaSecurityPolicy& basic = *FindUaSecurityPolicy("Basic256Sha256", true);
    const TUaSecurityPolicy& aes128 = *FindUaSecurityPolicy("Aes128_Sha256_RsaOaep", true);
    TUaCertificate stranger = SelfSigned(TestKeyA, "urn:stranger");
    std::string tampered = rig.Open(basic);
    tampered[tampered.size() - 3] ^= 0x20;
    struct TRow {
        const char* Name;
        std::string Chunk;
        TUaSecurityMode Mode;
        std::size_t NonceLength;
        TUaStatusCode Expected;
    };
    const TRow rows[] = {
        {"accepted", rig.Open(basic), TUaSecurityMode::SignAndEncrypt, 32, UaStatus::Good},
        {"policy not offered", rig.Open(aes128), TUaSecurityMode::SignAndEncrypt, 32,
         UaStatus::BadSecurityPolicyRejected},
        {"mode not offered", rig.Open(basic), TUaSecurityMode::Sign, 32, UaStatus::BadSecurityModeRejected},
        {"mode None under a policy", rig.Open(basic), TUaSecurityMode::None, 32,
         UaStatus::BadSecurityModeRejected},
        {"short nonce", rig.Open(basic), TUaSecurityMode::SignAndEncrypt, 31, UaStatus::BadNonceInvalid},
        {"receiver thumbprint not ours", rig.Open(basic, 0, nullptr, TestKeyB, std::string(20, 'x')),
         TUaSecurityMode::SignAndEncrypt, 32, UaStatus::BadSecurityChecksFailed},
        {"untrusted sender", rig.Open(basic, 0, &stranger, TestKeyA), TUaSecurityMode::SignAndEncrypt, 32,
         UaStatus::BadCertificateUntrusted},
        {"signed with another key than the certificate's", rig.Open(basic, 0, nullptr, TestKeyA),
         TUaSecurityMode::SignAndEncrypt, 32, UaStatus::BadSecurityChecksFailed},
        {"tampered", tampered, TUaSecurityMode::SignAndEncrypt, 32, UaStatus::BadSecurityChecksFailed},
        {"None on loopback", rig.Open(UaSecurityPolicyNone()), TUaSecurityMode::None, 0, UaStatus::Good},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.Name);
        TOpened opened = OpenChannel(*rig.Security, row.Chunk, row.Mode, row.NonceLength);
        EXPECT_EQ(opened.Status, row.Expected) << opened.Reason;
    }
    EXPECT_EQ(rig.Security->Pki().RejectedCertificates().size(), 1u);
}

TEST(UaChannelSecurityTest, SettingsDecideTheOffersAndTheWarnings) {
    struct TRow {
        const char* Name;
        bool AllInterfaces;
        std::optional<bool> None;
        std::optional<bool> Anonymous;
        bool AutoTrust;
        const char* Modes;
        std::size_t Offers;
        bool NoneOffered;
        bool AnonymousAllowed;
        std::vector<std::string> Warnings;
    };
    const TRow rows[] = {
        {"loopback defaults", false, {}, {}, false, "Sign,SignAndEncrypt", 7, true, true, {}},
        {"all interfaces: None and anonymous off",
         true,
         {},
         {},
         false,
         "Sign,SignAndEncrypt",
         6,
         false,
         false,
         {}},
        {"all interfaces, turned on explicitly",
         true,
         true,
         true,
         false,
         "SignAndEncrypt",
         4,
         true,
         true,
         {"Warning: OPC UA security policy None is offered on all interfaces",
          "Warning: OPC UA anonymous sessions are allowed on all interfaces"}},
        {"loopback, turned off",
         false,
         false,
         false,
         true,
         "Sign",
         3,
         false,
         false,
         {"Warning: every OPC UA client certificate is trusted automatically"}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.Name);
        TTempDir dir;
        TUaConfig config;
        config.ListenOnAllInterfaces = row.AllInterfaces;
        config.AllowSecurityNone = row.None;
        config.AllowAnonymous = row.Anonymous;
        config.AutoTrustClients = row.AutoTrust;
        config.SecurityModes = row.Modes;
        TUaSecurity security(config, dir.Path / "pki", "", nullptr);
        security.Pki().CreateFolders();
        WriteFile((dir.Path / "pki/own/certs/Dravon.der").string(), SelfSigned(TestKeyA, "urn:server").Der());
        WriteFile((dir.Path / "pki/own/private/Dravon.pem").string(), TestKeyA);
        std::vector<std::string> log;
        std::string error;
        ASSERT_TRUE(security.Start("urn:server", Jan2027, log, error)) << error;
        EXPECT_EQ(security.Offers().size(), row.Offers);
        EXPECT_EQ(security.Offers().front().Policy->IsNone(), row.NoneOffered);
        EXPECT_EQ(security.AnonymousAllowed(), row.AnonymousAllowed);
        ASSERT_FALSE(log.empty());
        EXPECT_EQ(log.front().rfind("OPC UA application certificate thumbprint ", 0), 0u) << log.front();
        EXPECT_EQ(std::vector<std::string>(log.begin() + 1, log.end()), row.Warnings);
    }
}

} // namespace

namespace {

TUaExtensionObject UserToken(const char* policyId, const char* user, const std::string& password,
                             const std::string& algorithm) {
    TUaBinaryWriter w;
    w.String(policyId);
    w.String(user);
    w.ByteString(password);
    w.String(algorithm);
    TUaExtensionObject token;
    token.TypeId = TUaNodeId::Num(UaId::UserNameIdentityToken);
    token.Encoding = 1;
    token.Body = w.Take();
    return token;
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
    TUaConfig open;
    TUaConfig closed;
    closed.AllowAnonymous = false;
    TSecurityRig strict(closed, file);
    TSecurityRig rig(open, file, &store);
    EXPECT_FALSE(store.KeyExists(TRootKey::LocalMachine, std::string(UaConfigKeyPath) + "\\Users"));
    // Added as --add-user adds beside the running server: seen without a restart.
    TUaUserStore adder(file, 1000);
    std::string error;
    ASSERT_TRUE(adder.Add("viewer", "look", TUaUserRole::ReadOnly, error));
    const TUaSecurityPolicy& pss = *FindUaSecurityPolicy("Aes256_Sha256_RsaPss", true);
    const TUaSecurityPolicy& basic = *FindUaSecurityPolicy("Basic256Sha256", true);
    const std::string nonce(32, 'q');
    auto secret = [&](const TUaSecurityPolicy& p, const char* password, const std::string& n) {
        return *EncryptUaUserPassword(p, rig.ServerCert.PublicKey(), password, n);
    };
    TUaExtensionObject anonymous;
    anonymous.TypeId = TUaNodeId::Num(UaId::AnonymousIdentityToken);
    anonymous.Encoding = 1;
    anonymous.Body = std::string("\x09\0\0\0anonymous", 13);
    TUaExtensionObject wrongAnonymous = anonymous;
    wrongAnonymous.Body = std::string("\x03\0\0\0abc", 7);
    TUaExtensionObject x509;
    x509.TypeId = TUaNodeId::Num(327);
    x509.Encoding = 1;
    struct TRow {
        const char* Name;
        TSecurityRig* Rig;
        TUaExtensionObject Token;
        const TUaSecurityPolicy* Channel;
        TUaStatusCode Expected;
        TUaUserRole Role;
        bool WrongPassword;
    };
    const TRow rows[] = {
        {"no token", &rig, {}, &pss, UaStatus::Good, TUaUserRole::ReadWrite, false},
        {"anonymous", &rig, anonymous, &pss, UaStatus::Good, TUaUserRole::ReadWrite, false},
        {"anonymous, other policy id", &rig, wrongAnonymous, &pss, UaStatus::BadIdentityTokenInvalid,
         TUaUserRole::ReadWrite, false},
        {"anonymous not allowed", &strict, anonymous, &pss, UaStatus::BadIdentityTokenRejected,
         TUaUserRole::ReadWrite, false},
        {"no token, anonymous not allowed",
         &strict,
         {},
         &pss,
         UaStatus::BadIdentityTokenRejected,
         TUaUserRole::ReadWrite,
         false},
        {"read-only user", &rig,
         UserToken("username", "viewer", secret(pss, "look", nonce), pss.AsymmetricEncryptionUri), &pss,
         UaStatus::Good, TUaUserRole::ReadOnly, false},
        {"read-write user, None channel, password under Basic256Sha256", &strict,
         UserToken("username", "engineer", secret(basic, "change", nonce), basic.AsymmetricEncryptionUri),
         &UaSecurityPolicyNone(), UaStatus::Good, TUaUserRole::ReadWrite, false},
        {"wrong password", &rig,
         UserToken("username", "viewer", secret(pss, "lock", nonce), pss.AsymmetricEncryptionUri), &pss,
         UaStatus::BadUserAccessDenied, TUaUserRole::ReadWrite, true},
        {"unknown user", &rig,
         UserToken("username", "nobody", secret(pss, "look", nonce), pss.AsymmetricEncryptionUri), &pss,
         UaStatus::BadUserAccessDenied, TUaUserRole::ReadWrite, true},
        {"old nonce", &rig,
         UserToken("username", "viewer", secret(pss, "look", "old"), pss.AsymmetricEncryptionUri), &pss,
         UaStatus::BadIdentityTokenInvalid, TUaUserRole::ReadWrite, false},
        {"password in the clear", &rig, UserToken("username", "viewer", "look", ""), &pss,
         UaStatus::BadIdentityTokenInvalid, TUaUserRole::ReadWrite, false},
        {"another policy's algorithm", &rig,
         UserToken("username", "viewer", secret(basic, "look", nonce), basic.AsymmetricEncryptionUri), &pss,
         UaStatus::BadIdentityTokenInvalid, TUaUserRole::ReadWrite, false},
        {"certificate token", &rig, x509, &pss, UaStatus::BadIdentityTokenRejected, TUaUserRole::ReadWrite,
         false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.Name);
        auto identity = CheckUaIdentity(row.Token, *row.Rig->Security, *row.Channel, nonce);
        EXPECT_EQ(identity.Status, row.Expected);
        if (row.Expected == UaStatus::Good) {
            EXPECT_EQ(identity.Role, row.Role);
        }
        EXPECT_EQ(identity.WrongPassword, row.WrongPassword);
    }
}

TEST(UaChannelSecurityTest, SessionSignaturesAndEndpointsFollowThePolicy) {
    TSecurityRig rig;
    TUaKey clientKey = TUaKey::FromPrivatePem(TestKeyB);
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

} // namespace

namespace {

// A client of a secured channel over the in-memory socket, built from the chunk functions.
struct TSecuredClient {
    TSecuredClient(TSecurityRig& rig, const TUaSecurityPolicy& policy) : Rig(rig), Policy(policy) {
        auto socket = std::make_unique<TFakeUaSocket>();
        Socket = socket.get();
        Channel = std::make_unique<TUaChannel>(
            std::move(socket), Config, Platform.Clock, 7,
            [this](const TUaAsymmetricHeader& h, TUaStatusCode& refusal, std::string& reason) {
                return TUaChannelSecurity::Make(*Rig.Security, Jan2027, h, refusal, reason);
            });
        Channel->OnRequest = [this](std::uint32_t, std::string_view body) { Requests.emplace_back(body); };
        Channel->Receive(HelloFrame());
        TakeFrames(*Socket);
    }

    // OpenSecureChannel (issue or renew) with the given sequence number; returns the token id.
    std::uint32_t Open(std::uint32_t sequence, std::uint32_t requestType, char nonceByte) {
        TUaBinaryWriter w;
        w.UInt32(sequence);
        w.UInt32(sequence);
        w.NodeId(TUaNodeId::Num(UaId::OpenSecureChannelRequest));
        WriteRequestHeader(w, {});
        w.UInt32(0);
        w.UInt32(requestType);
        w.UInt32(3);
        std::string clientNonce(32, nonceByte);
        w.ByteString(clientNonce);
        w.UInt32(600000);
        Channel->Receive(SecureUaAsymmetricChunk(
            Policy, "OPN", 'F', requestType ? 7 : 0, TUaKey::FromPrivatePem(TestKeyB), Rig.ClientCert.Der(),
            Rig.ServerCert.PublicKey(), Rig.ServerCert.Thumbprint(), w.Bytes()));
        std::string response = Socket->Written;
        Socket->Written.clear();
        auto header = ReadUaAsymmetricHeader(response);
        if (!header) return 0;
        auto opened = OpenUaAsymmetricChunk(Policy, *header, response, TUaKey::FromPrivatePem(TestKeyB),
                                            Rig.ServerCert.PublicKey());
        TUaBinaryReader r(opened.Plain);
        r.UInt32();
        r.UInt32();
        ReadResponseStart(r);
        r.UInt32();
        r.UInt32();
        std::uint32_t token = r.UInt32();
        r.DateTime();
        r.UInt32();
        std::string serverNonce = r.ByteString();
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
        auto frames = TakeFrames(*Socket);
        if (frames.size() != 1 || frames[0].Type != "MSGF") return 0;
        TUaBinaryReader r(frames[0].Body);
        r.UInt32();
        std::uint32_t token = r.UInt32();
        TUaBinaryWriter chunk;
        chunk.Bytes() = "MSGF";
        chunk.UInt32(static_cast<std::uint32_t>(8 + frames[0].Body.size()));
        chunk.Bytes() += frames[0].Body;
        auto opened =
            OpenUaSymmetricChunk(Policy, TUaSecurityMode::SignAndEncrypt, Keys[token].Server, chunk.Bytes());
        return opened.Plain.size() > 8 && opened.Plain.substr(8) == "response" ? token : 0;
    }

    TUaStatusCode LastError() {
        auto frames = TakeFrames(*Socket);
        return frames.empty() || frames.back().Type != "ERRF" ? 0 : ErrorCode(frames.back());
    }

    TSecurityRig& Rig;
    const TUaSecurityPolicy& Policy;
    TFakePlatform Platform;
    TUaConfig Config;
    TFakeUaSocket* Socket = nullptr;
    std::unique_ptr<TUaChannel> Channel;
    std::vector<std::string> Requests;
    std::map<std::uint32_t, TUaChannelKeys> Keys;
};

TEST(UaChannelSecurityTest, ChannelRefusesAChangedOrReplayedChunkAndRenewsWithoutALostResponse) {
    TSecurityRig rig;
    const TUaSecurityPolicy& policy = *FindUaSecurityPolicy("Basic256Sha256", true);
    auto flip = [](std::string chunk) {
        chunk[chunk.size() - 40] ^= 0x01;
        return chunk;
    };
    struct TRow {
        const char* Name;
        std::function<std::vector<std::string>(TSecuredClient&)> Chunks;
        std::size_t Requests;
        TUaStatusCode Error;
    };
    const TRow rows[] = {
        {"accepted", [](TSecuredClient& c) { return std::vector{c.Message(1, 2, c.Keys[1])}; }, 1, 0},
        {"flipped byte in the encrypted part",
         [&](TSecuredClient& c) { return std::vector{flip(c.Message(1, 2, c.Keys[1]))}; }, 0,
         UaStatus::BadSecurityChecksFailed},
        {"replayed sequence number",
         [](TSecuredClient& c) {
             return std::vector{c.Message(1, 2, c.Keys[1]), c.Message(1, 2, c.Keys[1])};
         },
         1, UaStatus::BadSequenceNumberInvalid},
        {"unknown token", [](TSecuredClient& c) { return std::vector{c.Message(5, 2, c.Keys[1])}; }, 0,
         UaStatus::BadSecureChannelTokenUnknown},
        {"server's keys",
         [](TSecuredClient& c) {
             TUaChannelKeys swapped{c.Keys[1].Server, c.Keys[1].Client};
             return std::vector{c.Message(1, 2, swapped)};
         },
         0, UaStatus::BadSecurityChecksFailed},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.Name);
        TSecuredClient client(rig, policy);
        ASSERT_EQ(client.Open(1, 0, 'a'), 1u);
        for (const auto& chunk : row.Chunks(client)) client.Channel->Receive(chunk);
        EXPECT_EQ(client.Requests.size(), row.Requests);
        EXPECT_EQ(client.LastError(), row.Error);
        EXPECT_EQ(client.Channel->State() == TUaChannel::TState::Closed, row.Error != 0);
    }

    TSecuredClient client(rig, policy);
    ASSERT_EQ(client.Open(1, 0, 'a'), 1u);
    ASSERT_EQ(client.Open(2, 1, 'b'), 2u);
    // Until the client uses token 2, responses go out under token 1.
    EXPECT_EQ(client.ResponseToken(), 1u);
    client.Channel->Receive(client.Message(1, 3, client.Keys[1]));
    EXPECT_EQ(client.ResponseToken(), 1u);
    client.Channel->Receive(client.Message(2, 4, client.Keys[2]));
    EXPECT_EQ(client.ResponseToken(), 2u);
    client.Channel->Receive(client.Message(1, 5, client.Keys[1]));
    EXPECT_EQ(client.LastError(), UaStatus::BadSecureChannelTokenUnknown);
    EXPECT_EQ(client.Requests.size(), 2u);
}

} // namespace
