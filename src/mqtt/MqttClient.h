// The MQTT client seam of the edge node: connect with a will, publish, subscribe, and the
// three events. src/platform implements it with libmosquitto on the main loop; tests use
// a recording fake. Events arrive on the main loop, never from inside a call.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace dravon {

struct TMqttConnectOptions {
    std::string Host;
    std::uint16_t Port = 1883;
    bool Tls = false;
    std::string CaFile;
    std::string CertFile;
    std::string KeyFile;
    std::string ClientId;
    std::string UserName;
    std::string Password;
    std::uint16_t KeepAliveSeconds = 30;
    // The will: published by the broker when the connection is lost.
    std::string WillTopic;
    std::vector<std::uint8_t> WillPayload;
    int WillQos = 1;
};

class IMqttClient {
public:
    virtual ~IMqttClient() = default;
    // Starts a new connection (a previous one is dropped); the outcome is OnConnected or
    // OnDisconnected.
    virtual void Connect(const TMqttConnectOptions& options) = 0;
    // Sends what is queued (bounded) and closes; no OnDisconnected follows.
    virtual void Disconnect() = 0;
    // False when the message could not be queued (not connected).
    virtual bool Publish(const std::string& topic, const std::vector<std::uint8_t>& payload, int qos,
                         bool retain) = 0;
    virtual bool Subscribe(const std::string& topic, int qos) = 0;

    std::function<void()> OnConnected;
    // The connection ended or could not be made; the reason is a readable text.
    std::function<void(const std::string& reason)> OnDisconnected;
    std::function<void(const std::string& topic, const std::vector<std::uint8_t>& payload)> OnMessage;
};

} // namespace dravon
