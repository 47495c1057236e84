// A Sparkplug B edge node over the OPC object model. It is an OPC client like the UA
// endpoint: one server object from the class factory, one group per device (a PLC, or
// "Sys") at the publish period with an IOPCDataCallback sink, so polling, quality and time
// stamps follow the group update cycle unchanged. Its state machine:
//
//   Idle --Start--> Connecting --connected--> Born: NBIRTH (bdSeq, "Node Control/Rebirth"),
//        ^              ^  |                  then DBIRTH per live device with every metric
//        |   back-off   |  | lost/refused          |
//        +-- Waiting <--+--+---------------------- +  (broker publishes NDEATH, the will)
//   Born: group data -> DDATA (changed metrics past their deadband, seq 0..255 wrapping)
//         PLC timed out -> DDEATH; restored -> DBIRTH with the current values
//         NCMD "Node Control/Rebirth" -> NBIRTH + DBIRTHs again; DCMD -> item write (if allowed)
//   Stop: NDEATH published, then a clean disconnect.
#pragma once

#include "mqtt/MqttClient.h"
#include "mqtt/MqttConfig.h"
#include "mqtt/SparkplugPayload.h"
#include "opc/FileTime.h"
#include "opc/Variant.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace dravon {

class IClassFactory;
class ITimer;
struct TServerContext;

class TSparkplugEdgeNode {
public:
    static constexpr std::uint32_t HousekeepingMs = 250;
    static constexpr std::uint32_t FirstRetryMs = 1000;
    static constexpr std::uint32_t MaxRetryMs = 30000;
    static constexpr const char* RebirthMetric = "Node Control/Rebirth";
    static constexpr std::uint64_t RebirthAlias = 1;
    // Device metrics are aliased from here on, in the order of the published items.
    static constexpr std::uint64_t FirstMetricAlias = 2;

    enum class TState { Idle, Connecting, Connected, Waiting };

    // context, factory and client outlive the node. hostName is the edge node id when the
    // configuration names none.
    TSparkplugEdgeNode(TServerContext& context, IClassFactory& factory, IMqttClient& client,
                       TMqttConfig config, const std::string& hostName);
    ~TSparkplugEdgeNode();
    TSparkplugEdgeNode(const TSparkplugEdgeNode&) = delete;
    TSparkplugEdgeNode& operator=(const TSparkplugEdgeNode&) = delete;

    // Creates the server object, its groups and items, then connects. False (with a
    // session-log line) when the broker URL or the password file is unusable.
    bool Start();
    // Publishes NDEATH when connected, disconnects and releases the server object.
    void Stop();

    TState State() const { return State_; }
    const std::string& EdgeNodeId() const { return EdgeNodeId_; }
    const std::string& BrokerText() const { return Config_.BrokerUrl; }
    // spBv1.0/<group>/<type>/<edge node>[/<device>]
    std::string Topic(const std::string& type, const std::string& device = {}) const;
    // The names of the devices in publishing order.
    std::vector<std::string> DeviceNames() const;

private:
    struct TMetric;
    struct TDevice;
    class TSink;

    void AddDevices();
    TDevice& DeviceFor(const std::string& name);
    void Connect();
    void Connected();
    void Disconnected(const std::string& reason);
    void Message(const std::string& topic, const std::vector<std::uint8_t>& payload);
    void Housekeeping();
    void Births();
    void DeviceBirth(TDevice& device);
    void DeviceDeath(TDevice& device);
    void DataChange(TDevice& device, const std::vector<std::uint32_t>& clients,
                    const std::vector<TVariant>& values, const std::vector<std::uint16_t>& qualities,
                    const std::vector<TFileTime>& times);
    void NodeCommand(const TSparkplugPayload& payload);
    void DeviceCommand(TDevice& device, const TSparkplugPayload& payload);
    bool DeviceAlive(const TDevice& device) const;
    TSparkplugMetric MetricOf(TMetric& metric, bool birth);
    std::vector<std::uint8_t> DeathPayload() const;
    void Publish(const std::string& topic, TSparkplugPayload payload, int qos = 0);
    std::uint64_t NowMs() const;
    void Log(const std::string& line);

    TServerContext& Context_;
    IClassFactory& Factory_;
    IMqttClient& Client_;
    TMqttConfig Config_;
    std::string EdgeNodeId_;
    TMqttConnectOptions Options_;
    TState State_ = TState::Idle;
    std::uint8_t BdSeq_ = 0;
    std::uint8_t Seq_ = 0;
    std::uint32_t RetryDelayMs_ = FirstRetryMs;
    std::uint32_t RetryFrom_ = 0;
    bool OutageLogged_ = false;
    std::unique_ptr<ITimer> Timer_;
    struct TServerLink;
    std::unique_ptr<TServerLink> Server_;
    std::vector<std::unique_ptr<TDevice>> Devices_;
};

} // namespace dravon
