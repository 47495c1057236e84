#include "ua/security/UaSecurity.h"

#include <sstream>

namespace dravon {

namespace {

std::vector<std::string> Names(const std::string& list) {
    std::vector<std::string> out;
    std::stringstream s(list);
    std::string name;
    while (std::getline(s, name, ',')) {
        auto first = name.find_first_not_of(' ');
        auto last = name.find_last_not_of(' ');
        if (first != std::string::npos) out.push_back(name.substr(first, last - first + 1));
    }
    return out;
}

bool Contains(const std::vector<std::string>& names, const char* name) {
    for (const auto& n : names)
        if (n == name) return true;
    return false;
}

} // namespace

TUaSecurity::TUaSecurity(const TUaConfig& config, std::filesystem::path pkiRoot, const std::string& usersFile,
                         IKeyValueStore* store)
    : Config_(config), Pki_(std::move(pkiRoot)), Store_(store) {
    if (!usersFile.empty()) Users_ = std::make_unique<TUaUserStore>(usersFile);
    // Until Start finds a certificate only None can be offered.
    if (Config_.SecurityNoneOffered()) Offers_.push_back({&UaSecurityPolicyNone(), TUaSecurityMode::None});
}

bool TUaSecurity::Start(const std::string& applicationUri, std::time_t now, std::vector<std::string>& log,
                        std::string& error) {
    Offers_.clear();
    if (Users_ && Store_) {
        std::string moveError;
        int moved = Users_->MoveFrom(*Store_, moveError);
        if (moved > 0) log.push_back(MovedUsersLine(moved, Users_->File()));
        if (moved < 0) log.push_back("Warning: " + moveError);
    }
    if (Config_.SecurityNoneOffered()) Offers_.push_back({&UaSecurityPolicyNone(), TUaSecurityMode::None});
    TUaCertificate::TSelfSigned request;
    request.ApplicationUri = applicationUri;
    request.HostName = Config_.HostName;
    request.CommonName = "Dravon OPC Data Access Server";
    request.Organization = "Norvane";
    request.NotBefore = now;
    request.Days = static_cast<int>(Config_.CertificateLifetimeDays);
    bool ok = Pki_.LoadOrCreateOwn(request, error);
    if (ok) {
        const TUaCertificate& cert = Pki_.OwnCertificate();
        log.push_back(std::string("OPC UA application certificate ") +
                      (Pki_.OwnCreated() ? "created, " : "") + "thumbprint " + UaHex(cert.Thumbprint()));
        if (cert.ApplicationUri() != applicationUri)
            log.push_back("Warning: the OPC UA application certificate names " + cert.ApplicationUri() +
                          ", not " + applicationUri);
        auto policies = Names(Config_.SecurityPolicies);
        auto modes = Names(Config_.SecurityModes);
        for (const auto& policy : UaSecurityPolicies()) {
            if (policy.IsNone() || !Contains(policies, policy.Name)) continue;
            for (auto [name, mode] : {std::pair{"SignAndEncrypt", TUaSecurityMode::SignAndEncrypt},
                                      std::pair{"Sign", TUaSecurityMode::Sign}})
                if (Contains(modes, name)) Offers_.push_back({&policy, mode});
        }
    }
    if (Config_.ListenOnAllInterfaces && Config_.SecurityNoneOffered())
        log.push_back("Warning: OPC UA security policy None is offered on all interfaces");
    if (Config_.ListenOnAllInterfaces && Config_.AnonymousAllowed())
        log.push_back("Warning: OPC UA anonymous sessions are allowed on all interfaces");
    if (Config_.AutoTrustClients)
        log.push_back("Warning: every OPC UA client certificate is trusted automatically");
    return ok && PasswordPolicy() != nullptr;
}

bool TUaSecurity::Offered(const TUaSecurityPolicy& policy, TUaSecurityMode mode) const {
    for (const auto& offer : Offers_)
        if (offer.Policy == &policy && offer.Mode == mode) return true;
    return false;
}

bool TUaSecurity::PolicyOffered(const TUaSecurityPolicy& policy) const {
    for (const auto& offer : Offers_)
        if (offer.Policy == &policy) return true;
    return false;
}

const TUaSecurityPolicy* TUaSecurity::PasswordPolicy() const {
    for (const auto& offer : Offers_)
        if (!offer.Policy->IsNone()) return offer.Policy;
    return nullptr;
}

} // namespace dravon
