#include "ua/security/UaSessionSecurity.h"

#include "ua/UaBinaryReader.h"
#include "ua/UaBinaryWriter.h"
#include "ua/UaNodeIds.h"
#include "ua/UaStatusCodes.h"

namespace dravon {

namespace {

constexpr std::uint32_t X509IdentityToken = 327;
constexpr std::uint32_t IssuedIdentityToken = 940;

// Higher for stronger protection, so clients that pick by level pick well.
std::uint8_t SecurityLevel(const TUaSecurity::TOffer& offer) {
    if (offer.Policy->IsNone()) return 0;
    std::uint8_t level = offer.Mode == TUaSecurityMode::SignAndEncrypt ? 10 : 5;
    auto policies = UaSecurityPolicies();
    for (std::size_t i = 0; i < policies.size(); ++i)
        if (&policies[i] == offer.Policy) level = static_cast<std::uint8_t>(level + i);
    return level;
}

const TUaSecurityPolicy* TokenPolicy(const TUaSecurity& security, const TUaSecurityPolicy& channelPolicy) {
    return channelPolicy.IsNone() ? security.PasswordPolicy() : &channelPolicy;
}

} // namespace

TUaSignatureData SignUaSession(const TUaSecurityPolicy& policy, const TUaKey& key,
                               std::string_view clientCertificate, std::string_view clientNonce) {
    if (policy.IsNone() || !key.Valid()) return {};
    std::string data(clientCertificate);
    data.append(clientNonce);
    auto signature = key.Sign(policy.AsymmetricSignature, data);
    return {policy.AsymmetricSignatureUri, signature.value_or("")};
}

bool VerifyUaSession(const TUaSecurityPolicy& policy, const TUaCertificate& clientCertificate,
                     std::string_view serverCertificate, std::string_view serverNonce,
                     const TUaSignatureData& signature) {
    if (policy.IsNone()) return true;
    if (signature.Algorithm != policy.AsymmetricSignatureUri) return false;
    std::string data(serverCertificate);
    data.append(serverNonce);
    return clientCertificate.PublicKey().Verify(policy.AsymmetricSignature, data, signature.Signature);
}

void WriteUaEndpoints(TUaBinaryWriter& w, const std::string& url, const TUaApplicationDescription& server,
                      const TUaSecurity& security, const char* transportProfile) {
    w.ArrayLength(security.Offers().size());
    for (const auto& offer : security.Offers()) {
        w.String(url);
        WriteApplicationDescription(w, server);
        w.ByteString(security.HaveCertificate() ? security.Certificate().Der() : std::string());
        w.UInt32(static_cast<std::uint32_t>(offer.Mode));
        w.String(offer.Policy->Uri);
        const TUaSecurityPolicy* tokenPolicy = TokenPolicy(security, *offer.Policy);
        std::size_t tokens = (security.AnonymousAllowed() ? 1 : 0) + (tokenPolicy ? 1 : 0);
        w.ArrayLength(tokens);
        if (security.AnonymousAllowed()) {
            w.String(UaAnonymousPolicyId);
            w.UInt32(0); // Anonymous
            w.Int32(-1);
            w.Int32(-1);
            w.Int32(-1);
        }
        if (tokenPolicy) {
            w.String(UaUserNamePolicyId);
            w.UInt32(1); // UserName
            w.Int32(-1);
            w.Int32(-1);
            w.String(tokenPolicy->Uri);
        }
        w.String(transportProfile);
        w.Byte(SecurityLevel(offer));
    }
}

TUaIdentity CheckUaIdentity(const TUaExtensionObject& token, TUaSecurity& security,
                            const TUaSecurityPolicy& channelPolicy, std::string_view serverNonce) {
    TUaIdentity identity;
    bool anonymous = token.TypeId.IsNull() && token.Encoding == 0;
    if (token.TypeId.IsNum(UaId::AnonymousIdentityToken) && token.Encoding == 1) {
        TUaBinaryReader body(token.Body);
        auto policyId = body.NullableString();
        if (!body.Ok() || (policyId && !policyId->empty() && *policyId != UaAnonymousPolicyId)) {
            identity.Status = UaStatus::BadIdentityTokenInvalid;
            return identity;
        }
        anonymous = true;
    }
    if (anonymous) {
        if (!security.AnonymousAllowed()) identity.Status = UaStatus::BadIdentityTokenRejected;
        return identity;
    }
    if (token.TypeId.IsNum(X509IdentityToken) || token.TypeId.IsNum(IssuedIdentityToken)) {
        identity.Status = UaStatus::BadIdentityTokenRejected;
        return identity;
    }
    if (!token.TypeId.IsNum(UaId::UserNameIdentityToken) || token.Encoding != 1) {
        identity.Status = UaStatus::BadIdentityTokenInvalid;
        return identity;
    }
    TUaBinaryReader body(token.Body);
    std::string policyId = body.String();
    identity.Anonymous = false;
    identity.UserName = body.String();
    std::string password = body.ByteString();
    std::string algorithm = body.String();
    const TUaSecurityPolicy* tokenPolicy = TokenPolicy(security, channelPolicy);
    // Passwords travel encrypted under the token policy, never in the clear.
    if (!body.Ok() || policyId != UaUserNamePolicyId || !tokenPolicy ||
        algorithm != tokenPolicy->AsymmetricEncryptionUri) {
        identity.Status = UaStatus::BadIdentityTokenInvalid;
        return identity;
    }
    auto plain = DecryptUaUserPassword(*tokenPolicy, security.Key(), password, serverNonce);
    if (!plain) {
        identity.Status = UaStatus::BadIdentityTokenInvalid;
        return identity;
    }
    auto role = security.Users() ? security.Users()->Check(identity.UserName, *plain) : std::nullopt;
    if (!role) {
        identity.Status = UaStatus::BadUserAccessDenied;
        identity.WrongPassword = true;
        return identity;
    }
    identity.Role = *role;
    return identity;
}

} // namespace dravon
