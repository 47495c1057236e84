#include "ua/security/UaSecureChunk.h"

#include "ua/UaBinaryReader.h"
#include "ua/UaBinaryWriter.h"
#include "ua/UaStatusCodes.h"

namespace dravon {

namespace {

constexpr std::size_t SymmetricHeaderSize = 16;
constexpr std::size_t SequenceHeaderSize = 8;
// An RSA key above 2048 bits can need more than 255 padding bytes.
constexpr std::size_t ExtraPaddingKeyBytes = 256;

void PatchSize(std::string& chunk, std::size_t size) {
    for (int i = 0; i < 4; ++i) chunk[4 + i] = static_cast<char>(static_cast<std::uint32_t>(size) >> (8 * i));
}

std::string Header(std::string_view type, char chunkType) {
    std::string out(type.substr(0, 3));
    out.push_back(chunkType);
    out.append(4, '\0');
    return out;
}

TUaOpenedChunk Refused() { return {UaStatus::BadSecurityChecksFailed, {}}; }

// Strips the padding in front of `end` (where the signature began); false when it is
// not the layout a sender writes.
bool StripPadding(const std::string& plain, std::size_t begin, std::size_t& end, bool extra) {
    std::size_t available = end - begin;
    if (available < SequenceHeaderSize + (extra ? 2 : 1)) return false;
    std::size_t count = static_cast<unsigned char>(plain[end - 1]);
    std::size_t trailer = 1;
    if (extra) {
        count = count << 8 | static_cast<unsigned char>(plain[end - 2]);
        trailer = 2;
    }
    if (count + trailer > available - SequenceHeaderSize) return false;
    char value = static_cast<char>(count & 0xFF);
    // PaddingSize and the padding bytes all carry the low byte of the count.
    std::size_t first = end - trailer - count;
    for (std::size_t i = first; i < end - (extra ? 1 : 0); ++i)
        if (plain[i] != value) return false;
    end = first;
    return true;
}

} // namespace

std::optional<TUaAsymmetricChunkHeader> ReadUaAsymmetricHeader(std::string_view chunk) {
    TUaBinaryReader r(chunk);
    r.Byte();
    r.Byte();
    r.Byte();
    r.Byte();
    std::uint32_t size = r.UInt32();
    TUaAsymmetricChunkHeader header;
    header.ChannelId = r.UInt32();
    header.PolicyUri = r.String();
    header.SenderCertificate = r.ByteString();
    header.ReceiverThumbprint = r.ByteString();
    if (!r.Ok() || size != chunk.size()) return std::nullopt;
    header.HeaderSize = r.Position();
    return header;
}

std::string SecureUaAsymmetricChunk(const TUaSecurityPolicy& policy, std::string_view type, char chunkType,
                                    std::uint32_t channelId, const TUaKey& ownKey,
                                    std::string_view ownCertificate, const TUaKey& peerKey,
                                    std::string_view peerThumbprint, std::string_view plain) {
    TUaBinaryWriter w;
    w.Bytes() = Header(type, chunkType);
    w.UInt32(channelId);
    w.String(policy.Uri);
    w.ByteString(policy.IsNone() ? std::string() : std::string(ownCertificate));
    w.ByteString(policy.IsNone() ? std::string() : std::string(peerThumbprint));
    std::string out = w.Take();
    return ProtectUaAsymmetric(policy, ownKey, peerKey, out, plain) ? out : std::string();
}

bool ProtectUaAsymmetric(const TUaSecurityPolicy& policy, const TUaKey& ownKey, const TUaKey& peerKey,
                         std::string& chunk, std::string_view plain) {
    std::size_t headerSize = chunk.size();
    chunk.append(plain);
    if (policy.IsNone()) {
        PatchSize(chunk, chunk.size());
        return true;
    }
    std::size_t signatureSize = ownKey.Bytes();
    std::size_t plainBlock = peerKey.PlainBlockSize(policy.AsymmetricEncryption);
    bool extra = peerKey.Bytes() > ExtraPaddingKeyBytes;
    if (!signatureSize || !plainBlock) return false;
    std::size_t n = plain.size() + (extra ? 2 : 1) + signatureSize;
    std::size_t padding = (plainBlock - n % plainBlock) % plainBlock;
    chunk.append(padding + 1, static_cast<char>(padding & 0xFF));
    if (extra) chunk.push_back(static_cast<char>(padding >> 8));
    PatchSize(chunk, headerSize + (n + padding) / plainBlock * peerKey.Bytes());
    auto signature = ownKey.Sign(policy.AsymmetricSignature, chunk);
    if (!signature) return false;
    chunk += *signature;
    auto encrypted = peerKey.Encrypt(policy.AsymmetricEncryption, std::string_view(chunk).substr(headerSize));
    if (!encrypted) return false;
    chunk.replace(headerSize, std::string::npos, *encrypted);
    return true;
}

TUaOpenedChunk OpenUaAsymmetricChunk(const TUaSecurityPolicy& policy, const TUaAsymmetricChunkHeader& header,
                                     std::string_view chunk, const TUaKey& ownKey, const TUaKey& peerKey) {
    if (policy.IsNone()) return {UaStatus::Good, std::string(chunk.substr(header.HeaderSize))};
    auto decrypted = ownKey.Decrypt(policy.AsymmetricEncryption, chunk.substr(header.HeaderSize));
    if (!decrypted) return Refused();
    std::string plain(chunk.substr(0, header.HeaderSize));
    plain += *decrypted;
    std::size_t signatureSize = peerKey.Bytes();
    if (!signatureSize || plain.size() < header.HeaderSize + signatureSize) return Refused();
    std::size_t end = plain.size() - signatureSize;
    if (!peerKey.Verify(policy.AsymmetricSignature, std::string_view(plain).substr(0, end),
                        std::string_view(plain).substr(end)))
        return Refused();
    if (!StripPadding(plain, header.HeaderSize, end, ownKey.Bytes() > ExtraPaddingKeyBytes)) return Refused();
    return {UaStatus::Good, plain.substr(header.HeaderSize, end - header.HeaderSize)};
}

std::string SecureUaSymmetricChunk(const TUaSecurityPolicy& policy, TUaSecurityMode mode,
                                   const TUaSymmetricKeys& keys, std::string_view type, char chunkType,
                                   std::uint32_t channelId, std::uint32_t tokenId, std::string_view plain) {
    TUaBinaryWriter w;
    w.Bytes() = Header(type, chunkType);
    w.UInt32(channelId);
    w.UInt32(tokenId);
    std::string out = w.Take();
    return ProtectUaSymmetric(policy, mode, keys, out, plain) ? out : std::string();
}

bool ProtectUaSymmetric(const TUaSecurityPolicy& policy, TUaSecurityMode mode, const TUaSymmetricKeys& keys,
                        std::string& chunk, std::string_view plain) {
    std::size_t headerSize = chunk.size();
    chunk.append(plain);
    if (policy.IsNone() || mode == TUaSecurityMode::None) {
        PatchSize(chunk, chunk.size());
        return true;
    }
    bool encrypt = mode == TUaSecurityMode::SignAndEncrypt;
    constexpr std::size_t block = TUaSecurityPolicy::BlockSize;
    constexpr std::size_t signatureSize = TUaSecurityPolicy::SymmetricSignatureSize;
    if (encrypt) {
        std::size_t padding = (block - (plain.size() + 1 + signatureSize) % block) % block;
        chunk.append(padding + 1, static_cast<char>(padding));
    }
    PatchSize(chunk, chunk.size() + signatureSize);
    chunk += UaHmacSha256(keys.SigningKey, chunk);
    if (encrypt) {
        auto encrypted =
            UaAesCbc(true, keys.EncryptingKey, keys.Iv, std::string_view(chunk).substr(headerSize));
        if (!encrypted) return false;
        chunk.replace(headerSize, std::string::npos, *encrypted);
    }
    return true;
}

TUaOpenedChunk OpenUaSymmetricChunk(const TUaSecurityPolicy& policy, TUaSecurityMode mode,
                                    const TUaSymmetricKeys& keys, std::string_view chunk) {
    if (chunk.size() < SymmetricHeaderSize) return Refused();
    if (policy.IsNone() || mode == TUaSecurityMode::None)
        return {UaStatus::Good, std::string(chunk.substr(SymmetricHeaderSize))};
    bool encrypt = mode == TUaSecurityMode::SignAndEncrypt;
    std::string plain(chunk.substr(0, SymmetricHeaderSize));
    if (encrypt) {
        auto decrypted = UaAesCbc(false, keys.EncryptingKey, keys.Iv, chunk.substr(SymmetricHeaderSize));
        if (!decrypted) return Refused();
        plain += *decrypted;
    } else {
        plain.append(chunk.substr(SymmetricHeaderSize));
    }
    constexpr std::size_t signatureSize = TUaSecurityPolicy::SymmetricSignatureSize;
    if (plain.size() < SymmetricHeaderSize + SequenceHeaderSize + signatureSize) return Refused();
    std::size_t end = plain.size() - signatureSize;
    if (!UaSameBytes(UaHmacSha256(keys.SigningKey, std::string_view(plain).substr(0, end)),
                     std::string_view(plain).substr(end)))
        return Refused();
    if (encrypt && !StripPadding(plain, SymmetricHeaderSize, end, false)) return Refused();
    return {UaStatus::Good, plain.substr(SymmetricHeaderSize, end - SymmetricHeaderSize)};
}

std::size_t UaSymmetricMaxBody(const TUaSecurityPolicy& policy, TUaSecurityMode mode,
                               std::size_t bufferSize) {
    return UaPlainCapacity(policy, mode, nullptr, nullptr, bufferSize, SymmetricHeaderSize) -
           SequenceHeaderSize;
}

std::size_t UaPlainCapacity(const TUaSecurityPolicy& policy, TUaSecurityMode mode, const TUaKey* ownKey,
                            const TUaKey* peerKey, std::size_t chunkSize, std::size_t prefixSize) {
    if (chunkSize <= prefixSize + SequenceHeaderSize + 64) return SequenceHeaderSize;
    std::size_t room = chunkSize - prefixSize;
    if (policy.IsNone() || mode == TUaSecurityMode::None) return room;
    if (ownKey && peerKey) {
        // Whole cipher blocks; of their plain text, the signature and padding count go.
        std::size_t cipherBlock = peerKey->Bytes();
        std::size_t plainBlock = peerKey->PlainBlockSize(policy.AsymmetricEncryption);
        std::size_t trailer = ownKey->Bytes() + (cipherBlock > ExtraPaddingKeyBytes ? 2 : 1);
        std::size_t plain = cipherBlock ? room / cipherBlock * plainBlock : 0;
        return plain > trailer + SequenceHeaderSize ? plain - trailer : SequenceHeaderSize;
    }
    if (mode == TUaSecurityMode::Sign) return room - TUaSecurityPolicy::SymmetricSignatureSize;
    // Whole blocks after the security header, one byte of them for PaddingSize.
    std::size_t blocks = room / TUaSecurityPolicy::BlockSize;
    return blocks * TUaSecurityPolicy::BlockSize - TUaSecurityPolicy::SymmetricSignatureSize - 1;
}

} // namespace dravon
