// The edge node's settings, kept beside the server's settings under their own key; the
// published items are numbered values as the PLC list keeps its PLCs.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace dravon {

class IKeyValueStore;

inline constexpr const char* MqttConfigKeyPath = "SOFTWARE\\Norvane\\Dravon\\Mqtt";

struct TMqttPublishedItem {
    std::string ItemId;
    std::string MetricName; // empty: the item ID after its PLC name
    std::string Type;       // Sparkplug type name ("Int16", "Float", ...); empty: the item's own
    double Deadband = 0;    // absolute; 0 publishes every change

    friend bool operator==(const TMqttPublishedItem&, const TMqttPublishedItem&) = default;
};

struct TBrokerAddress {
    bool Tls = false;
    std::string Host;
    std::uint16_t Port = 1883;
};

struct TMqttConfig {
    bool Enabled = false;
    std::string BrokerUrl = "mqtt://127.0.0.1:1883";
    std::string CaFile;
    std::string CertFile;
    std::string KeyFile;
    std::string ClientId; // empty: "dravon-" and the edge node id
    std::string UserName;
    // The password is never kept in the store: a file readable by its owner only.
    std::string PasswordFile;
    std::uint32_t KeepAliveSeconds = 30;
    std::string GroupId = "Dravon";
    std::string EdgeNodeId; // empty: the host name
    std::uint32_t PublishPeriodMs = 1000;
    // DCMD writes reach the PLCs only when the operator allows them.
    bool AllowWrites = false;
    std::vector<TMqttPublishedItem> Items;

    static constexpr std::uint32_t MaxItems = 100000;
    // Values out of range fall back to their defaults.
    void Sanitize();
};

// mqtt://host[:port] (1883) or mqtts://host[:port] (8883); nothing when malformed.
std::optional<TBrokerAddress> ParseBrokerUrl(const std::string& url);

// The Sparkplug datatype of a type name (case-insensitive), 0 when unknown.
std::uint32_t SparkplugTypeFromName(const std::string& name);

// Missing values keep their defaults. False when the key does not exist.
bool LoadMqttConfig(IKeyValueStore& store, TMqttConfig& config);
// False when a value could not be written.
bool SaveMqttConfig(IKeyValueStore& store, const TMqttConfig& config);

// The password from a file that only its owner may read (trailing line end dropped);
// nothing, with the reason, when it is missing or readable by others.
std::optional<std::string> ReadSecretFile(const std::string& path, std::string& reason);

} // namespace dravon
