#include "server/MqttService.h"

#include "mqtt/SparkplugEdgeNode.h"
#include "opc/DA2ClassFactory.h"
#include "server/OPCServer.h"
#include "server/ServerCore.h"

namespace dravon {

TMqttService::TMqttService(TServerCore& core, TOPCServer& opcServer, IMqttClient& client,
                           std::string hostName)
    : Core_(core), OpcServer_(opcServer), Client_(client), HostName_(std::move(hostName)),
      Alive_(std::make_shared<TMqttService*>(this)) {
    std::weak_ptr<TMqttService*> token = Alive_;
    core.LoadPlcListHooks.push_back([token] {
        if (auto self = token.lock()) (*self)->Start();
    });
    // First of the shut-down steps of ours: the NDEATH goes out while the loop still runs.
    core.ShutdownClientsHooks.insert(core.ShutdownClientsHooks.begin(), [token] {
        if (auto self = token.lock()) (*self)->Stop();
    });
}

TMqttService::~TMqttService() { Stop(); }

void TMqttService::Start() {
    if (Node_) return;
    TServerContext& context = Core_.Context();
    if (context.Store) LoadMqttConfig(*context.Store, Config_);
    if (!Config_.Enabled || !OpcServer_.Factory()) return;
    Node_ = std::make_unique<TSparkplugEdgeNode>(context, *OpcServer_.Factory(), Client_, Config_, HostName_);
    // The PLC list loads before the session log starts: the node starts right after it.
    std::weak_ptr<TMqttService*> token = Alive_;
    context.Loop->Post([token] {
        if (auto self = token.lock())
            if ((*self)->Node_ && !(*self)->Node_->Start()) (*self)->Node_.reset();
    });
}

void TMqttService::Stop() { Node_.reset(); }

} // namespace dravon
