// What sessions add to a secured channel: the endpoint descriptions a client chooses
// from, the CreateSession and ActivateSession signatures (each side signs the other's
// certificate and nonce), and the user identity tokens.
#pragma once

#include "ua/UaMessages.h"
#include "ua/security/UaSecurity.h"

#include <string>
#include <string_view>

namespace dravon {

class TUaBinaryWriter;

inline constexpr const char* UaAnonymousPolicyId = "anonymous";
inline constexpr const char* UaUserNamePolicyId = "username";

struct TUaSignatureData {
    std::string Algorithm;
    std::string Signature;
};

// The server's signature over clientCertificate + clientNonce; empty under None.
TUaSignatureData SignUaSession(const TUaSecurityPolicy& policy, const TUaKey& key,
                               std::string_view clientCertificate, std::string_view clientNonce);
// The client's signature over serverCertificate + serverNonce, made with the key of its
// certificate. Always true under None.
bool VerifyUaSession(const TUaSecurityPolicy& policy, const TUaCertificate& clientCertificate,
                     std::string_view serverCertificate, std::string_view serverNonce,
                     const TUaSignatureData& signature);

// One EndpointDescription per offer (policy and mode), with the server certificate and
// the user token policies: anonymous when allowed, and user name with the password
// encrypted under the endpoint's policy (or, on None, the first secured one).
void WriteUaEndpoints(TUaBinaryWriter& w, const std::string& url, const TUaApplicationDescription& server,
                      const TUaSecurity& security, const char* transportProfile);

struct TUaIdentity {
    TUaStatusCode Status = 0;
    bool Anonymous = true;
    std::string UserName;
    TUaUserRole Role = TUaUserRole::ReadWrite;
    // A known token with a password that did not match: answered late and logged.
    bool WrongPassword = false;
};
// Checks an ActivateSession's user identity token on a channel under channelPolicy, with
// the nonce the server last gave the session.
TUaIdentity CheckUaIdentity(const TUaExtensionObject& token, TUaSecurity& security,
                            const TUaSecurityPolicy& channelPolicy, std::string_view serverNonce);

} // namespace dravon
