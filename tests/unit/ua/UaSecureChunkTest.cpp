// The security policies' key derivation and chunk layout against vectors computed once
// with the openssl tool (kdf TLS1-PRF, dgst -mac HMAC, enc -nopad), and the refusals of
// chunks that were changed on the way.
#include "ua/security/UaSecureChunk.h"
#include "UaTestKeys.h"
#include "ua/UaStatusCodes.h"

#include <gtest/gtest.h>

using namespace dravon;
using namespace dravon::test;

namespace {

std::string Bytes(std::string_view hex) {
    std::string out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(static_cast<char>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
    return out;
}

std::string Range(int from, int count) {
    std::string out;
    for (int i = 0; i < count; ++i) out.push_back(static_cast<char>(from + i));
    return out;
}

const std::string ClientNonce = Range(0, 32);
const std::string ServerNonce = Range(32, 32);
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

const TPolicyVector PolicyVectors[] = {
    {"Basic256Sha256", 80,
     "4d534746400000000700000001000000a6401c5e945b651a07f43894dc204b2e71eec3f3e406598141d090d8909a7f9a"
     "aea34364efe2f32cd986f5a055bddcbf",
     157, 512},
    {"Aes128_Sha256_RsaOaep", 64,
     "4d534746400000000700000001000000932ae41e2ab521bdd742005070561addc0845e49a049ca7d64c0fd1728e54857"
     "b952a63a07bdfe47775a4cf52d55dc14",
     157, 512},
    {"Aes256_Sha256_RsaPss", 80,
     "4d534746400000000700000001000000a6401c5e945b651a07f43894dc204b2e71eec3f3e406598141d090d8909a7f9a"
     "aea34364efe2f32cd986f5a055bddcbf",
     109, 512},
};

TEST(UaSecureChunkTest, EachPolicyDerivesKeysAndLaysOutChunksAsTheVectorsSay) {
    TUaKey keyA = TUaKey::FromPrivatePem(TestKeyA);
    TUaKey keyB = TUaKey::FromPrivatePem(TestKeyB);
    ASSERT_TRUE(keyA.Valid() && keyB.Valid());
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

        // Asymmetric: encryption is randomised, so the layout is checked after decrypting.
        std::string peerThumbprint(20, 'T');
        std::string chunk =
            SecureUaAsymmetricChunk(*policy, "OPN", 'F', 9, keyA, "CERT-A", keyB, peerThumbprint, Plain);
        auto header = ReadUaAsymmetricHeader(chunk);
        ASSERT_TRUE(header.has_value());
        EXPECT_EQ(header->PolicyUri, policy->Uri);
        EXPECT_EQ(header->SenderCertificate, "CERT-A");
        EXPECT_EQ(header->ReceiverThumbprint, peerThumbprint);
        EXPECT_EQ(chunk.size(), header->HeaderSize + v.AsymmetricCipherSize);
        auto decrypted =
            keyB.Decrypt(policy->AsymmetricEncryption, std::string_view(chunk).substr(header->HeaderSize));
        ASSERT_TRUE(decrypted.has_value());
        ASSERT_EQ(decrypted->size(), Plain.size() + 1 + v.AsymmetricPadding + 256);
        EXPECT_EQ(decrypted->substr(0, Plain.size()), Plain);
        EXPECT_EQ(decrypted->substr(Plain.size(), 1 + v.AsymmetricPadding),
                  std::string(1 + v.AsymmetricPadding, static_cast<char>(v.AsymmetricPadding)));
        std::string signedPart =
            chunk.substr(0, header->HeaderSize) + decrypted->substr(0, decrypted->size() - 256);
        EXPECT_TRUE(
            keyA.Verify(policy->AsymmetricSignature, signedPart, decrypted->substr(decrypted->size() - 256)));
        auto opened = OpenUaAsymmetricChunk(*policy, *header, chunk, keyB, keyA);
        EXPECT_EQ(opened.Status, UaStatus::Good);
        EXPECT_EQ(opened.Plain, Plain);
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
    const TRow rows[] = {
        {"signed body byte", TUaSecurityMode::Sign, flip(sign, 20), &keys.Client},
        {"signature byte", TUaSecurityMode::Sign, flip(sign, sign.size() - 1), &keys.Client},
        {"token id in the header", TUaSecurityMode::Sign, flip(sign, 12), &keys.Client},
        {"signed chunk read as encrypted", TUaSecurityMode::SignAndEncrypt, sign, &keys.Client},
        {"encrypted byte", TUaSecurityMode::SignAndEncrypt, flip(encrypted, 30), &keys.Client},
        {"last encrypted byte", TUaSecurityMode::SignAndEncrypt, flip(encrypted, encrypted.size() - 1),
         &keys.Client},
        {"cut by one block", TUaSecurityMode::SignAndEncrypt, encrypted.substr(0, encrypted.size() - 16),
         &keys.Client},
        {"not whole blocks", TUaSecurityMode::SignAndEncrypt, encrypted.substr(0, encrypted.size() - 1),
         &keys.Client},
        {"server keys", TUaSecurityMode::SignAndEncrypt, encrypted, &keys.Server},
        {"padding bytes disagree", TUaSecurityMode::SignAndEncrypt, reencrypt(Plain + Bytes("0102")),
         &keys.Client},
        {"padding longer than the body", TUaSecurityMode::SignAndEncrypt,
         reencrypt(std::string(1, '\x11') + Plain.substr(0, 14) + std::string(1, '\x11')), &keys.Client},
        {"header only", TUaSecurityMode::Sign, sign.substr(0, 16), &keys.Client},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.Name);
        auto opened = OpenUaSymmetricChunk(policy, row.Mode, *row.Keys, row.Chunk);
        EXPECT_EQ(opened.Status, UaStatus::BadSecurityChecksFailed);
        EXPECT_TRUE(opened.Plain.empty());
    }

    TUaKey keyA = TUaKey::FromPrivatePem(TestKeyA);
    TUaKey keyB = TUaKey::FromPrivatePem(TestKeyB);
    std::string chunk = SecureUaAsymmetricChunk(policy, "OPN", 'F', 9, keyA, "CERT-A", keyB, "", Plain);
    auto header = ReadUaAsymmetricHeader(chunk);
    ASSERT_TRUE(header.has_value());
    const std::pair<const char*, TUaOpenedChunk> asymmetric[] = {
        {"encrypted byte", OpenUaAsymmetricChunk(policy, *header, flip(chunk, chunk.size() - 5), keyB, keyA)},
        {"wrong sender key", OpenUaAsymmetricChunk(policy, *header, chunk, keyB, keyB)},
        {"wrong receiver key", OpenUaAsymmetricChunk(policy, *header, chunk, keyA, keyA)},
        {"cut", OpenUaAsymmetricChunk(policy, *header, chunk.substr(0, chunk.size() - 256), keyB, keyA)},
    };
    for (const auto& [name, opened] : asymmetric) {
        SCOPED_TRACE(name);
        EXPECT_EQ(opened.Status, UaStatus::BadSecurityChecksFailed);
    }
    EXPECT_FALSE(ReadUaAsymmetricHeader(chunk.substr(0, chunk.size() - 1)).has_value());
}

TEST(UaSecureChunkTest, UserPasswordTravelsEncryptedWithTheServerNonce) {
    TUaKey server = TUaKey::FromPrivatePem(TestKeyA);
    for (const auto& policy : UaSecurityPolicies()) {
        if (policy.IsNone()) continue;
        SCOPED_TRACE(policy.Name);
        auto secret = EncryptUaUserPassword(policy, server, "s3cret", ServerNonce);
        ASSERT_TRUE(secret.has_value());
        EXPECT_EQ(DecryptUaUserPassword(policy, server, *secret, ServerNonce), "s3cret");
        EXPECT_EQ(DecryptUaUserPassword(policy, server, *secret, ClientNonce), std::nullopt);
        EXPECT_EQ(DecryptUaUserPassword(policy, TUaKey::FromPrivatePem(TestKeyB), *secret, ServerNonce),
                  std::nullopt);
    }
}

TEST(UaSecureChunkTest, ChunkRoomLeavesSpaceForSignatureAndPadding) {
    const TUaSecurityPolicy& policy = *FindUaSecurityPolicy("Aes128_Sha256_RsaOaep", true);
    TUaSymmetricKeys keys = DeriveUaChannelKeys(policy, ClientNonce, ServerNonce).Server;
    for (auto mode : {TUaSecurityMode::None, TUaSecurityMode::Sign, TUaSecurityMode::SignAndEncrypt}) {
        SCOPED_TRACE(static_cast<int>(mode));
        std::size_t room = UaSymmetricMaxBody(policy, mode, 8192);
        std::string body(8 + room, 'x');
        EXPECT_LE(SecureUaSymmetricChunk(policy, mode, keys, "MSG", 'C', 1, 1, body).size(), 8192u);
        body.push_back('x');
        EXPECT_GT(SecureUaSymmetricChunk(policy, mode, keys, "MSG", 'C', 1, 1, body).size(), 8192u);
    }
}

} // namespace
