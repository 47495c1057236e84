#include "server/OPCServer.h"

#include "app/SessionLog.h"
#include "opc/DA2ClassFactory.h"
#include "opc/OPCDAConnectionCollection.h"
#include "plc/PLCCollection.h"
#include "server/ServerCore.h"
#ifdef DRAVON_WITH_UA
#include "ua/UaDaBackend.h"
#include "ua/UaServer.h"
#endif

namespace dravon {

namespace {

template <typename F> std::function<void()> Guarded(const std::shared_ptr<TOPCServer*>& alive, F action) {
    std::weak_ptr<TOPCServer*> token = alive;
    return [token, action] {
        if (auto self = token.lock()) action(**self);
    };
}

} // namespace

#ifdef DRAVON_WITH_UA
TOPCServer::TOPCServer(TServerCore& core, IUaListener& listener)
    : Core_(core), Listener_(listener), Alive_(std::make_shared<TOPCServer*>(this)) {
#else
TOPCServer::TOPCServer(TServerCore& core) : Core_(core), Alive_(std::make_shared<TOPCServer*>(this)) {
#endif
    core.LoadPlcListHooks.push_back(Guarded(Alive_, [](TOPCServer& s) { s.Start(); }));
    core.RefreshHooks.push_back(Guarded(Alive_, [](TOPCServer& s) { s.Refresh(); }));
    core.ShutdownClientsHooks.push_back(Guarded(Alive_, [](TOPCServer& s) { s.ShutdownClients(); }));
    core.DestroyCommunicationHooks.push_back(Guarded(Alive_, [](TOPCServer& s) { s.Destroy(); }));
}

TOPCServer::~TOPCServer() { Destroy(); }

void TOPCServer::Start() {
    if (Connections_) return;
    TServerContext& context = Core_.Context();
    Connections_ = std::make_unique<TOPCDAConnectionCollection>(context);
    Factory_ = MakeCom<TDA2ClassFactory>(context, *Connections_);
    Connections_->Start();
    if (context.Store) LoadUaConfig(*context.Store, UaConfig_);
#ifdef DRAVON_WITH_UA
    if (!UaConfig_.Enabled) return;
    Backend_ = std::make_unique<TUaDaBackend>(context, *Factory_);
    Endpoint_ = std::make_unique<TUaServer>(context, *Backend_, UaConfig_);
    const std::string where = UaConfig_.ListenAddress() + ":" + std::to_string(UaConfig_.Port);
    std::string line;
    if (Endpoint_->Start(Listener_)) {
        line = "OPC UA endpoint " + Endpoint_->EndpointUrl() + " listening on " + where;
    } else {
        // The DA side keeps serving; only the endpoint is missing.
        const std::string reason = Listener_.ErrorText();
        line = "OPC UA endpoint cannot listen on " + where + (reason.empty() ? "" : ": " + reason);
        Endpoint_.reset();
        Backend_.reset();
    }
    // The PLC list loads before the session log starts: the line follows the start-up's.
    context.Loop->Post(Guarded(Alive_, [line](TOPCServer& s) { s.Core_.Log().Add(line, false); }));
#endif
}

void TOPCServer::Refresh() {
    TPLCCollection* plcs = Core_.Context().PLCs;
    if (plcs && Connections_) plcs->RefreshVariables(static_cast<int>(Connections_->Count()));
}

void TOPCServer::ShutdownClients() {
#ifdef DRAVON_WITH_UA
    // UA sessions end with the endpoint: their server objects log "Client ... disconnected".
    if (Endpoint_) Endpoint_->Stop(TServerCore::ShutdownReason);
    Endpoint_.reset();
    Backend_.reset();
#endif
    if (Connections_) Connections_->SendShutdownRequests(TServerCore::ShutdownReason);
}

void TOPCServer::Destroy() {
#ifdef DRAVON_WITH_UA
    Endpoint_.reset();
    Backend_.reset();
#endif
    Factory_ = nullptr;
    if (Connections_) Connections_->Stop();
    // Server objects still held by clients are disconnected from the list: their groups and
    // items release the locations before the PLC list is freed.
    Connections_.reset();
}

} // namespace dravon
