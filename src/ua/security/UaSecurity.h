// The endpoint's security as a whole: which policies and modes it offers, its
// certificate folders and its user names. One per endpoint, read at start.
#pragma once

#include "ua/UaConfig.h"
#include "ua/security/UaPki.h"
#include "ua/security/UaSecurityPolicies.h"
#include "ua/security/UaUserStore.h"

#include <memory>
#include <string>
#include <vector>

namespace dravon {

class IKeyValueStore;

class TUaSecurity {
public:
    struct TOffer {
        const TUaSecurityPolicy* Policy;
        TUaSecurityMode Mode;
    };

    // usersFile keeps the user names (empty: no user may log in); Start moves users an
    // older version kept in store into it.
    TUaSecurity(const TUaConfig& config, std::filesystem::path pkiRoot, const std::string& usersFile,
                IKeyValueStore* store);

    // Loads or creates the application certificate; the lines for the session log
    // (thumbprint, warnings about open settings) are added to log. False when the
    // endpoint cannot offer any secured policy; None still works then if it is on.
    bool Start(const std::string& applicationUri, std::time_t now, std::vector<std::string>& log,
               std::string& error);

    // None first (when offered), then every enabled policy in each enabled mode.
    const std::vector<TOffer>& Offers() const { return Offers_; }
    bool Offered(const TUaSecurityPolicy& policy, TUaSecurityMode mode) const;
    bool PolicyOffered(const TUaSecurityPolicy& policy) const;
    bool AnonymousAllowed() const { return Config_.AnonymousAllowed(); }
    bool AutoTrust() const { return Config_.AutoTrustClients; }
    // A secured policy whose user token policies encrypt passwords on a None channel.
    const TUaSecurityPolicy* PasswordPolicy() const;

    TUaPki& Pki() { return Pki_; }
    const TUaCertificate& Certificate() const { return Pki_.OwnCertificate(); }
    const TUaKey& Key() const { return Pki_.OwnKey(); }
    bool HaveCertificate() const { return Pki_.OwnCertificate().Valid(); }
    TUaUserStore* Users() { return Users_.get(); }

private:
    const TUaConfig& Config_;
    TUaPki Pki_;
    std::unique_ptr<TUaUserStore> Users_;
    IKeyValueStore* Store_;
    std::vector<TOffer> Offers_;
};

} // namespace dravon
