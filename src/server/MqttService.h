// The Sparkplug B edge node in the running program: reads its settings when the PLC list
// is loaded and, when enabled, starts publishing through the OPC server's class factory;
// on shut-down it says goodbye (NDEATH) before the clients are asked to leave.
#pragma once

#include "mqtt/MqttConfig.h"

#include <memory>
#include <string>

namespace dravon {

class IMqttClient;
class TOPCServer;
class TServerCore;
class TSparkplugEdgeNode;

class TMqttService {
public:
    // opcServer and client outlive this object; opcServer's hooks must run before ours.
    TMqttService(TServerCore& core, TOPCServer& opcServer, IMqttClient& client, std::string hostName);
    ~TMqttService();
    TMqttService(const TMqttService&) = delete;
    TMqttService& operator=(const TMqttService&) = delete;

    TSparkplugEdgeNode* Node() const { return Node_.get(); }
    const TMqttConfig& Config() const { return Config_; }

private:
    void Start();
    void Stop();

    TServerCore& Core_;
    TOPCServer& OpcServer_;
    IMqttClient& Client_;
    std::string HostName_;
    TMqttConfig Config_;
    std::unique_ptr<TSparkplugEdgeNode> Node_;
    std::shared_ptr<TMqttService*> Alive_;
};

} // namespace dravon
