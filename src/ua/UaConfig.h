// The endpoint's settings, kept beside the server's settings under their own key.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace dravon {

class IKeyValueStore;

inline constexpr const char* UaConfigKeyPath = "SOFTWARE\\Norvane\\Dravon\\OpcUa";

struct TUaConfig {
    bool Enabled = true;
    std::uint16_t Port = 4840;
    // Security policy None with anonymous sessions must not expose PLC writes to a network
    // unless the operator chooses so: loopback by default.
    std::string BindAddress = "127.0.0.1";
    bool ListenOnAllInterfaces = false;
    bool AnonymousReadOnly = false;
    std::uint32_t MaxSessions = 50;
    std::uint32_t MaxSubscriptionsPerSession = 20;
    std::uint32_t MaxMonitoredItemsPerSubscription = 10000;
    std::uint32_t MaxMessageSize = 4 * 1024 * 1024;
    std::uint32_t MaxChunkCount = 64;
    std::uint32_t SessionTimeoutMs = 60000;
    // A session not activated within this time is closed (it holds no server object yet).
    std::uint32_t UnactivatedSessionTimeoutMs = 10000;
    // A new connection must send its Hello, and then open its secure channel, each within
    // this time.
    std::uint32_t HandshakeTimeoutMs = 10000;
    // A message begun (a partial chunk, or chunks without the final one) must be complete
    // within this time.
    std::uint32_t MessageTimeoutMs = 30000;
    // Connections one peer address may hold at once (all local clients share 127.0.0.1).
    std::uint32_t MaxChannelsPerAddress = 20;
    // Name the endpoint is reached by, for the endpoint URL and application URI.
    std::string HostName = "localhost";
    // Security policies offered besides None, and their message security modes (names,
    // comma-separated).
    std::string SecurityPolicies = "Basic256Sha256,Aes128_Sha256_RsaOaep,Aes256_Sha256_RsaPss";
    std::string SecurityModes = "Sign,SignAndEncrypt";
    // Policy None and anonymous sessions; unset: on when bound to one address, off when
    // listening on all interfaces.
    std::optional<bool> AllowSecurityNone;
    std::optional<bool> AllowAnonymous;
    bool AutoTrustClients = false;
    std::uint32_t CertificateLifetimeDays = 5 * 365;

    static constexpr std::uint32_t MaxSessionTimeoutMs = 3600000;
    static constexpr std::uint32_t ReceiveBufferSize = 65536;
    static constexpr std::uint32_t MinBufferSize = 8192;
    // Sessions one channel may have created and not yet activated.
    static constexpr std::uint32_t MaxPendingSessionsPerChannel = 4;

    // Each session needs a channel; a few more allow discovery connections alongside.
    std::uint32_t MaxChannels() const { return MaxSessions + 10; }

    // The address actually bound.
    std::string ListenAddress() const { return ListenOnAllInterfaces ? "0.0.0.0" : BindAddress; }
    bool SecurityNoneOffered() const { return AllowSecurityNone.value_or(!ListenOnAllInterfaces); }
    bool AnonymousAllowed() const { return AllowAnonymous.value_or(!ListenOnAllInterfaces); }
    // Values out of range fall back to their defaults.
    void Sanitize();
};

// Missing values keep their defaults. False when the key does not exist.
bool LoadUaConfig(IKeyValueStore& store, TUaConfig& config);
// False when a value could not be written.
bool SaveUaConfig(IKeyValueStore& store, const TUaConfig& config);

} // namespace dravon
