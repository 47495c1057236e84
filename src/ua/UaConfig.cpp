#include "ua/UaConfig.h"

#include "app/KeyValueStore.h"

namespace dravon {

void TUaConfig::Sanitize() {
    TUaConfig defaults;
    if (Port == 0) Port = defaults.Port;
    if (BindAddress.empty()) BindAddress = defaults.BindAddress;
    if (MaxSessions == 0) MaxSessions = defaults.MaxSessions;
    if (MaxSubscriptionsPerSession == 0) MaxSubscriptionsPerSession = defaults.MaxSubscriptionsPerSession;
    if (MaxMonitoredItemsPerSubscription == 0)
        MaxMonitoredItemsPerSubscription = defaults.MaxMonitoredItemsPerSubscription;
    // A message must at least hold one receive buffer; more than 256 MiB is never sensible.
    if (MaxMessageSize < ReceiveBufferSize || MaxMessageSize > 256u * 1024 * 1024)
        MaxMessageSize = defaults.MaxMessageSize;
    if (MaxChunkCount == 0 || MaxChunkCount > 4096) MaxChunkCount = defaults.MaxChunkCount;
    if (SessionTimeoutMs < 1000 || SessionTimeoutMs > MaxSessionTimeoutMs)
        SessionTimeoutMs = defaults.SessionTimeoutMs;
    // A certificate between a day and 20 years.
    if (CertificateLifetimeDays < 1 || CertificateLifetimeDays > 20 * 366)
        CertificateLifetimeDays = defaults.CertificateLifetimeDays;
    auto timeout = [](std::uint32_t& field, std::uint32_t fallback) {
        if (field < 1000 || field > 600000) field = fallback;
    };
    timeout(UnactivatedSessionTimeoutMs, defaults.UnactivatedSessionTimeoutMs);
    timeout(HandshakeTimeoutMs, defaults.HandshakeTimeoutMs);
    timeout(MessageTimeoutMs, defaults.MessageTimeoutMs);
    if (MaxChannelsPerAddress == 0) MaxChannelsPerAddress = defaults.MaxChannelsPerAddress;
}

bool LoadUaConfig(IKeyValueStore& store, TUaConfig& config) {
    auto key = store.OpenKeyReadOnly(TRootKey::LocalMachine, UaConfigKeyPath);
    if (!key) return false;
    auto dword = [&](const char* name, auto& field) {
        if (auto v = key->ReadDword(name)) field = static_cast<std::remove_reference_t<decltype(field)>>(*v);
    };
    auto flag = [&](const char* name, bool& field) {
        if (auto v = key->ReadDword(name)) field = *v != 0;
    };
    flag("Enabled", config.Enabled);
    std::uint32_t port = config.Port;
    dword("Port", port);
    config.Port = port <= 0xFFFF ? static_cast<std::uint16_t>(port) : 0;
    if (auto v = key->ReadString("BindAddress")) config.BindAddress = *v;
    if (auto v = key->ReadString("HostName")) config.HostName = *v;
    flag("ListenOnAllInterfaces", config.ListenOnAllInterfaces);
    flag("AnonymousReadOnly", config.AnonymousReadOnly);
    dword("MaxSessions", config.MaxSessions);
    dword("MaxSubscriptionsPerSession", config.MaxSubscriptionsPerSession);
    dword("MaxMonitoredItemsPerSubscription", config.MaxMonitoredItemsPerSubscription);
    dword("MaxMessageSize", config.MaxMessageSize);
    dword("MaxChunkCount", config.MaxChunkCount);
    dword("SessionTimeout", config.SessionTimeoutMs);
    if (auto v = key->ReadString("SecurityPolicies")) config.SecurityPolicies = *v;
    if (auto v = key->ReadString("SecurityModes")) config.SecurityModes = *v;
    if (auto v = key->ReadDword("AllowSecurityNone")) config.AllowSecurityNone = *v != 0;
    if (auto v = key->ReadDword("AllowAnonymous")) config.AllowAnonymous = *v != 0;
    flag("AutoTrustClients", config.AutoTrustClients);
    dword("CertificateLifetimeDays", config.CertificateLifetimeDays);
    dword("UnactivatedSessionTimeout", config.UnactivatedSessionTimeoutMs);
    dword("HandshakeTimeout", config.HandshakeTimeoutMs);
    dword("MessageTimeout", config.MessageTimeoutMs);
    dword("MaxChannelsPerAddress", config.MaxChannelsPerAddress);
    config.Sanitize();
    return true;
}

bool SaveUaConfig(IKeyValueStore& store, const TUaConfig& config) {
    auto key = store.OpenKey(TRootKey::LocalMachine, UaConfigKeyPath);
    if (!key) return false;
    bool ok = key->WriteDword("Enabled", config.Enabled);
    ok = key->WriteDword("Port", config.Port) && ok;
    ok = key->WriteString("BindAddress", config.BindAddress) && ok;
    ok = key->WriteString("HostName", config.HostName) && ok;
    ok = key->WriteDword("ListenOnAllInterfaces", config.ListenOnAllInterfaces) && ok;
    ok = key->WriteDword("AnonymousReadOnly", config.AnonymousReadOnly) && ok;
    ok = key->WriteDword("MaxSessions", config.MaxSessions) && ok;
    ok = key->WriteDword("MaxSubscriptionsPerSession", config.MaxSubscriptionsPerSession) && ok;
    ok = key->WriteDword("MaxMonitoredItemsPerSubscription", config.MaxMonitoredItemsPerSubscription) && ok;
    ok = key->WriteDword("MaxMessageSize", config.MaxMessageSize) && ok;
    ok = key->WriteDword("MaxChunkCount", config.MaxChunkCount) && ok;
    ok = key->WriteDword("SessionTimeout", config.SessionTimeoutMs) && ok;
    ok = key->WriteString("SecurityPolicies", config.SecurityPolicies) && ok;
    ok = key->WriteString("SecurityModes", config.SecurityModes) && ok;
    // Unset stays unset: the default then follows ListenOnAllInterfaces.
    auto optionalFlag = [&](const char* name, const std::optional<bool>& value) {
        if (value) return key->WriteDword(name, *value);
        return !key->ValueExists(name) || key->DeleteValue(name);
    };
    ok = optionalFlag("AllowSecurityNone", config.AllowSecurityNone) && ok;
    ok = optionalFlag("AllowAnonymous", config.AllowAnonymous) && ok;
    ok = key->WriteDword("AutoTrustClients", config.AutoTrustClients) && ok;
    ok = key->WriteDword("CertificateLifetimeDays", config.CertificateLifetimeDays) && ok;
    ok = key->WriteDword("UnactivatedSessionTimeout", config.UnactivatedSessionTimeoutMs) && ok;
    ok = key->WriteDword("HandshakeTimeout", config.HandshakeTimeoutMs) && ok;
    ok = key->WriteDword("MessageTimeout", config.MessageTimeoutMs) && ok;
    ok = key->WriteDword("MaxChannelsPerAddress", config.MaxChannelsPerAddress) && ok;
    return ok;
}

} // namespace dravon
