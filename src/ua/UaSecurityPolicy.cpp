#include "ua/UaSecurityPolicy.h"

#include "ua/UaBinaryWriter.h"
#include "ua/UaStatusCodes.h"

namespace dravon {

TUaStatusCode TUaSecurityNone::IssueToken(std::uint32_t, std::uint32_t, std::string_view,
                                          std::string& serverNonce) {
    serverNonce.clear();
    return UaStatus::Good;
}

std::size_t TUaSecurityNone::PlainCapacity(bool, std::size_t chunkSize, std::size_t prefixSize) const {
    return chunkSize > prefixSize ? chunkSize - prefixSize : 0;
}

TUaStatusCode TUaSecurityNone::Unprotect(bool, std::uint32_t, std::string_view, std::string_view secured,
                                         std::string& plain) {
    plain.assign(secured.data(), secured.size());
    return UaStatus::Good;
}

void TUaSecurityNone::Protect(bool, std::uint32_t, std::string& chunk, std::string_view plain) {
    chunk.append(plain.data(), plain.size());
    TUaBinaryWriter size;
    size.UInt32(static_cast<std::uint32_t>(chunk.size()));
    chunk.replace(4, 4, size.Bytes());
}

std::unique_ptr<IUaSecurityPolicy> UaNoneOnlyPolicy(const TUaAsymmetricHeader& header, TUaStatusCode& refusal,
                                                    std::string& reason) {
    if (header.PolicyUri == UaSecurityPolicyNoneUri) return std::make_unique<TUaSecurityNone>();
    refusal = UaStatus::BadSecurityPolicyRejected;
    reason = "Security policy not offered";
    return nullptr;
}

} // namespace dravon
