// The OPC side of the running program: the connection list of server objects (with its
// 25 ms server tick), the class factory clients create them through, and the OPC UA
// endpoint that maps UA sessions onto them. Hooks itself into the server core's order:
//   load PLC list  -> server tick started; endpoint listening (when enabled)
//   300 ms refresh -> server variables (up time, "Clients connected", ...) refreshed
//   shut down      -> endpoint closed (its sessions release their server objects), then
//                     the remaining clients are asked to shut down
//   destroy comm.  -> server objects and the tick freed, before the PLC list goes
// The Windows build has no endpoint (DRAVON_WITH_UA unset): clients come through COM.
#pragma once

#include "opc/ComPtr.h"
#include "ua/UaConfig.h"

#include <memory>
#include <string>

namespace dravon {

class IUaListener;
class TDA2ClassFactory;
class TOPCDAConnectionCollection;
class TServerCore;
class TUaDaBackend;
class TUaServer;

class TOPCServer {
public:
#ifdef DRAVON_WITH_UA
    // listener must outlive this object.
    TOPCServer(TServerCore& core, IUaListener& listener);
#else
    explicit TOPCServer(TServerCore& core);
#endif
    ~TOPCServer();
    TOPCServer(const TOPCServer&) = delete;
    TOPCServer& operator=(const TOPCServer&) = delete;

    TOPCDAConnectionCollection* Connections() const { return Connections_.get(); }
    TDA2ClassFactory* Factory() const { return Factory_.Get(); }
#ifdef DRAVON_WITH_UA
    TUaServer* Endpoint() const { return Endpoint_.get(); }
#endif
    // The settings read at start-up.
    const TUaConfig& UaConfig() const { return UaConfig_; }

private:
    void Start();
    void Refresh();
    void ShutdownClients();
    void Destroy();

    TServerCore& Core_;
    TUaConfig UaConfig_;
    std::unique_ptr<TOPCDAConnectionCollection> Connections_;
    TComPtr<TDA2ClassFactory> Factory_;
#ifdef DRAVON_WITH_UA
    IUaListener& Listener_;
    std::unique_ptr<TUaDaBackend> Backend_;
    std::unique_ptr<TUaServer> Endpoint_;
#endif
    std::shared_ptr<TOPCServer*> Alive_;
};

} // namespace dravon
