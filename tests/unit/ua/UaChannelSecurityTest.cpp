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

    TTempDir Dir;
    TUaConfig Config;
    TUaCertificate ServerCert = SelfSigned(TestKeyA, "urn:server");
    TUaCertificate ClientCert = SelfSigned(TestKeyB, "urn:client");
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
        {"loopback defaults", false, -1, -1, false, "Sign,SignAndEncrypt", 7, true, true, ""},
        {"all interfaces: None and anonymous off", true, -1, -1, false, "Sign,SignAndEncrypt", 6, false,
         false, ""},
        {"all interfaces, turned on explicitly", true, 1, 1, false, "SignAndEncrypt", 4, true, true,
         "Warning: OPC UA security policy None is offered on all interfaces\n"
         "Warning: OPC UA anonymous sessions are allowed on all interfaces\n"},
        {"loopback, turned off", false, 0, 0, true, "Sign", 3, false, false,
         "Warning: every OPC UA client certificate is trusted automatically\n"},
    };
    auto setting = [](int v) { return v < 0 ? std::nullopt : std::optional<bool>(v == 1); };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.Name);
        TTempDir dir;
        TUaConfig config;
        config.ListenOnAllInterfaces = row.AllInterfaces;
        config.AllowSecurityNone = setting(row.None);
        config.AllowAnonymous = setting(row.Anonymous);
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
        std::string warnings;
        for (std::size_t i = 1; i < log.size(); ++i) warnings += log[i] + "\n";
        EXPECT_EQ(warnings, row.Warnings);
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
    // A user name token with the password encrypted as the policy says.
    auto user = [&](const char* name, const char* password, const TUaSecurityPolicy& p,
                    const std::string& n = std::string(32, 'q')) {
        return UserToken("username", name, *EncryptUaUserPassword(p, rig.ServerCert.PublicKey(), password, n),
                         p.AsymmetricEncryptionUri);
    };
    TUaExtensionObject anonymous{TUaNodeId::Num(UaId::AnonymousIdentityToken), 1,
                                 std::string("\x09\0\0\0anonymous", 13)};
    TUaExtensionObject wrongAnonymous = anonymous;
    wrongAnonymous.Body = std::string("\x03\0\0\0abc", 7);
    const TUaExtensionObject none, x509{TUaNodeId::Num(327), 1, ""};
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
    } rows[] = {
        {"no token", &rig, &pss, S::Good, rw, false, none},
        {"anonymous", &rig, &pss, S::Good, rw, false, anonymous},
        {"anonymous, other policy id", &rig, &pss, S::BadIdentityTokenInvalid, rw, false, wrongAnonymous},
        {"anonymous not allowed", &strict, &pss, S::BadIdentityTokenRejected, rw, false, anonymous},
        {"no token, anonymous not allowed", &strict, &pss, S::BadIdentityTokenRejected, rw, false, none},
        {"read-only user", &rig, &pss, S::Good, ro, false, user("viewer", "look", pss)},
        {"read-write user, None channel, password under Basic256Sha256", &strict, noneChannel, S::Good, rw,
         false, user("engineer", "change", basic)},
        {"wrong password", &rig, &pss, S::BadUserAccessDenied, rw, true, user("viewer", "lock", pss)},
        {"unknown user", &rig, &pss, S::BadUserAccessDenied, rw, true, user("nobody", "look", pss)},
        {"old nonce", &rig, &pss, S::BadIdentityTokenInvalid, rw, false, user("viewer", "look", pss, "old")},
        {"password in the clear", &rig, &pss, S::BadIdentityTokenInvalid, rw, false,
         UserToken("username", "viewer", "look", "")},
        {"another policy's algorithm", &rig, &pss, S::BadIdentityTokenInvalid, rw, false,
         user("viewer", "look", basic)},
        {"certificate token", &rig, &pss, S::BadIdentityTokenRejected, rw, false, x509},
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

    // An OpenSecureChannel (issue, or renew with RequestType 1) as the client sends it.
    struct TOpen {
        std::uint32_t Sequence = 1, RequestType = 0, Mode = 3;
        char NonceByte = 'a';
        std::size_t NonceLength = 32;
        const TUaCertificate* Sender = nullptr; // the client's certificate
        const char* SenderKey = TestKeyB;
        std::string Thumbprint{}; // the server's
        std::size_t FlipAt = 0;   // a byte changed this far from the end
    };
    // The token id issued (0 when refused: LastError() tells why); keeps the token's keys.
    std::uint32_t Open(const TOpen& o) {
        TUaBinaryWriter w;
        w.UInt32(o.Sequence);
        w.UInt32(o.Sequence);
        w.NodeId(TUaNodeId::Num(UaId::OpenSecureChannelRequest));
        WriteRequestHeader(w, {});
        w.UInt32(0);
        w.UInt32(o.RequestType);
        w.UInt32(o.Mode);
        std::string clientNonce(o.NonceLength, o.NonceByte);
        w.ByteString(clientNonce);
        w.UInt32(600000);
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
            EXPECT_EQ(header->SenderCertificate, Rig.ServerCert.Der());
            EXPECT_EQ(header->ReceiverThumbprint, Rig.ClientCert.Thumbprint());
        }
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

TEST(UaChannelSecurityTest, OpenSecureChannelIsRefusedWhenAnyCheckFails) {
    TUaConfig noAes128;
    noAes128.SecurityPolicies = "Basic256Sha256,Aes256_Sha256_RsaPss";
    noAes128.SecurityModes = "SignAndEncrypt";
    TSecurityRig rig(noAes128);
    const TUaSecurityPolicy& basic = *FindUaSecurityPolicy("Basic256Sha256", true);
    const TUaSecurityPolicy& aes128 = *FindUaSecurityPolicy("Aes128_Sha256_RsaOaep", true);
    const TUaCertificate stranger = SelfSigned(TestKeyA, "urn:stranger");
    const struct {
        const char* Name;
        const TUaSecurityPolicy& Policy;
        TSecuredClient::TOpen Open;
        TUaStatusCode Expected;
    } rows[] = {
        {"accepted", basic, {}, UaStatus::Good},
        {"policy not offered", aes128, {}, UaStatus::BadSecurityPolicyRejected},
        {"mode not offered", basic, {.Mode = 2}, UaStatus::BadSecurityModeRejected},
        {"mode None under a policy", basic, {.Mode = 1}, UaStatus::BadSecurityModeRejected},
        {"short nonce", basic, {.NonceLength = 31}, UaStatus::BadNonceInvalid},
        {"receiver thumbprint not ours",
         basic,
         {.Thumbprint = std::string(20, 'x')},
         UaStatus::BadSecurityChecksFailed},
        {"untrusted sender",
         basic,
         {.Sender = &stranger, .SenderKey = TestKeyA},
         UaStatus::BadCertificateUntrusted},
        {"signed with another key than the certificate's",
         basic,
         {.SenderKey = TestKeyA},
         UaStatus::BadSecurityChecksFailed},
        {"tampered", basic, {.FlipAt = 3}, UaStatus::BadSecurityChecksFailed},
        {"None on loopback", UaSecurityPolicyNone(), {.Mode = 1, .NonceLength = 0}, UaStatus::Good},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.Name);
        TSecuredClient client(rig, row.Policy);
        EXPECT_EQ(client.Open(row.Open) != 0, row.Expected == UaStatus::Good);
        EXPECT_EQ(client.LastError(), row.Expected);
    }
    EXPECT_EQ(rig.Security->Pki().RejectedCertificates().size(), 1u);
}

TEST(UaChannelSecurityTest, ChannelRefusesAChangedOrReplayedChunkAndRenewsWithoutALostResponse) {
    TSecurityRig rig;
    const TUaSecurityPolicy& basic = *FindUaSecurityPolicy("Basic256Sha256", true);
    const TUaCertificate stranger = SelfSigned(TestKeyA, "urn:stranger");
    auto flip = [](std::string chunk) {
        chunk[chunk.size() - 40] ^= 0x01;
        return chunk;
    };
    const TSecuredClient::TOpen renewal{.Sequence = 2, .RequestType = 1, .NonceByte = 'b'};
    struct TRow {
        const char* Name;
        std::function<void(TSecuredClient&)> Act;
        std::size_t Requests;
        TUaStatusCode Error;
    };
    const TRow rows[] = {
        {"accepted", [](TSecuredClient& c) { c.Channel->Receive(c.Message(1, 2, c.Keys[1])); }, 1, 0},
        {"flipped byte in the encrypted part",
         [&](TSecuredClient& c) { c.Channel->Receive(flip(c.Message(1, 2, c.Keys[1]))); }, 0,
         UaStatus::BadSecurityChecksFailed},
        {"replayed sequence number",
         [](TSecuredClient& c) {
             c.Channel->Receive(c.Message(1, 2, c.Keys[1]));
             c.Channel->Receive(c.Message(1, 2, c.Keys[1]));
         },
         1, UaStatus::BadSequenceNumberInvalid},
        {"unknown token", [](TSecuredClient& c) { c.Channel->Receive(c.Message(5, 2, c.Keys[1])); }, 0,
         UaStatus::BadSecureChannelTokenUnknown},
        {"server's keys",
         [](TSecuredClient& c) {
             c.Channel->Receive(c.Message(1, 2, {c.Keys[1].Server, c.Keys[1].Client}));
         },
         0, UaStatus::BadSecurityChecksFailed},
        {"token 2's id with token 1's keys",
         [&](TSecuredClient& c) {
             c.Open(renewal);
             c.Channel->Receive(c.Message(2, 3, c.Keys[1]));
         },
         0, UaStatus::BadSecurityChecksFailed},
        {"token before the previous one",
         [&](TSecuredClient& c) {
             c.Open(renewal);
             c.Open({.Sequence = 3, .RequestType = 1, .NonceByte = 'c'});
             c.Channel->Receive(c.Message(1, 4, c.Keys[1]));
         },
         0, UaStatus::BadSecureChannelTokenUnknown},
        {"renewal in another mode",
         [](TSecuredClient& c) { c.Open({.Sequence = 2, .RequestType = 1, .Mode = 2}); }, 0,
         UaStatus::BadSecurityModeRejected},
        {"renewal from another certificate",
         [&](TSecuredClient& c) {
             c.Open({.Sequence = 2, .RequestType = 1, .Sender = &stranger, .SenderKey = TestKeyA});
         },
         0, UaStatus::BadSecurityChecksFailed},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.Name);
        TSecuredClient client(rig, basic);
        ASSERT_EQ(client.Open({}), 1u);
        row.Act(client);
        EXPECT_EQ(client.Requests.size(), row.Requests);
        EXPECT_EQ(client.LastError(), row.Error);
        EXPECT_EQ(client.Channel->State() == TUaChannel::TState::Closed, row.Error != 0);
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
        EXPECT_EQ(client.Requests, (std::vector<std::string>{"request body", "request body"}));
    }
}

} // namespace
