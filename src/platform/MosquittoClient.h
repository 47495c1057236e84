// IMqttClient on libmosquitto, driven by the Qt main loop without a thread of its own:
// the socket is watched for reading (and for writing while libmosquitto has bytes queued),
// and a timer runs the keep-alive. Each turn is mosquitto_loop with a zero time-out.
// libmosquitto's callbacks only record what happened; the events reach the node after the
// library call returned, so a handler may connect or publish again.
#pragma once

#include "mqtt/MqttClient.h"

#include <QSocketNotifier>
#include <QTimer>

#include <memory>
#include <optional>

struct mosquitto;
struct mosquitto_message;

namespace dravon {

class TMosquittoClient : public IMqttClient {
public:
    // How long Disconnect may take to hand queued messages (the NDEATH) to the socket.
    static constexpr int FlushBoundMs = 1000;
    static constexpr int MiscIntervalMs = 500;

    TMosquittoClient();
    ~TMosquittoClient() override;
    TMosquittoClient(const TMosquittoClient&) = delete;
    TMosquittoClient& operator=(const TMosquittoClient&) = delete;

    void Connect(const TMqttConnectOptions& options) override;
    void Disconnect() override;
    bool Publish(const std::string& topic, const std::vector<std::uint8_t>& payload, int qos,
                 bool retain) override;
    bool Subscribe(const std::string& topic, int qos) override;

private:
    struct TDeleter {
        void operator()(mosquitto* handle) const;
    };
    enum class TEvent { Connected, Disconnected };

    void Turn();
    void Watch();
    void Drop(const std::string& reason);
    void Deliver();
    static void OnConnect(mosquitto*, void* self, int rc);
    static void OnDisconnect(mosquitto*, void* self, int rc);
    static void OnMessageReceived(mosquitto*, void* self, const mosquitto_message* message);

    std::unique_ptr<mosquitto, TDeleter> Handle_;
    std::unique_ptr<QSocketNotifier> Read_;
    std::unique_ptr<QSocketNotifier> Write_;
    QTimer Misc_;
    bool Connected_ = false;
    bool Turning_ = false;
    // What the callbacks recorded during the current library call.
    std::optional<std::string> PendingDisconnect_;
    bool PendingConnect_ = false;
    std::vector<std::pair<std::string, std::vector<std::uint8_t>>> PendingMessages_;
};

} // namespace dravon
