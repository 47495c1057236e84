// The secure-conversation chunk decoders on arbitrary bytes. The first byte picks the
// policy, the mode and whether the rest is a whole chunk as it arrives (header, security
// header, encrypted part) or the inside of one that the target then signs and encrypts
// with the right keys, so the padding checks behind a valid signature see any bytes too.
#include "ua/security/UaSecureChunk.h"
#include "unit/ua/UaTestKeys.h"

#include <cstdint>
#include <string>

using namespace dravon;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    const auto policies = UaSecurityPolicies();
    const TUaSecurityPolicy& policy = policies[data[0] % policies.size()];
    bool asymmetric = data[0] & 0x10;
    bool signInside = data[0] & 0x20;
    auto mode = data[0] & 0x40 ? TUaSecurityMode::SignAndEncrypt : TUaSecurityMode::Sign;
    std::string bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
    const std::string clientNonce(32, 'c');
    const std::string serverNonce(32, 's');
    TUaChannelKeys keys = DeriveUaChannelKeys(policy, clientNonce, serverNonce);
    // Parsed once: reading a PEM key costs more than the decoding under test.
    static const TUaKey own = TUaKey::FromPrivatePem(test::TestKeyA());
    static const TUaKey peer = TUaKey::FromPrivatePem(test::TestKeyB());

    if (!asymmetric) {
        std::string chunk = bytes;
        if (signInside) {
            // Header, then the inside as given, its HMAC and (when encrypting) the whole
            // encrypted, cut to blocks.
            chunk = std::string("MSGF\0\0\0\0\1\0\0\0\1\0\0\0", 16) + bytes;
            std::size_t total = chunk.size() + TUaSecurityPolicy::SymmetricSignatureSize;
            for (int i = 0; i < 4; ++i) chunk[4 + i] = static_cast<char>(total >> (8 * i));
            chunk += UaHmacSha256(keys.Client.SigningKey, chunk);
            if (mode == TUaSecurityMode::SignAndEncrypt && !policy.IsNone()) {
                std::string inside = chunk.substr(16);
                inside.resize(inside.size() / 16 * 16);
                auto encrypted = UaAesCbc(true, keys.Client.EncryptingKey, keys.Client.Iv, inside);
                chunk = chunk.substr(0, 16) + encrypted.value_or("");
            }
        }
        OpenUaSymmetricChunk(policy, mode, keys.Client, chunk);
        return 0;
    }
    if (signInside && !policy.IsNone()) {
        std::string chunk = SecureUaAsymmetricChunk(policy, "OPN", 'F', 1, peer, "", own, "", "");
        auto header = ReadUaAsymmetricHeader(chunk);
        if (!header) return 0;
        std::string plain = chunk.substr(0, header->HeaderSize) + bytes;
        auto signature = peer.Sign(policy.AsymmetricSignature, plain);
        auto encrypted = own.Encrypt(policy.AsymmetricEncryption, bytes + signature.value_or(""));
        if (!encrypted) return 0;
        chunk = chunk.substr(0, header->HeaderSize) + *encrypted;
        OpenUaAsymmetricChunk(policy, *header, chunk, own, peer);
        return 0;
    }
    if (auto header = ReadUaAsymmetricHeader(bytes)) OpenUaAsymmetricChunk(policy, *header, bytes, own, peer);
    return 0;
}
