// The communication engine of the running server: the PLC list, the communication
// manager with its driver pool, and the drivers over the transports the program hands
// in. Hooks itself into the server core's start-up and shut-down order:
//   load PLC list  -> list created, pool attached, stored PLCs loaded (drivers start)
//   300 ms refresh -> idle drivers marked, idle serial ports closed
//   destroy comm.  -> PLCs leave their drivers, manager (timer, drivers) freed
//   free PLC list  -> list freed
#pragma once

#include "comm/TransportDriverFactory.h"

#include <memory>

namespace dravon {

class IHostResolver;
class ITransportFactory;
class TCommManager;
class TPLCCollection;
class TServerCore;

class TCommunication {
public:
    // transports and resolver must outlive this object.
    TCommunication(TServerCore& core, ITransportFactory& transports, IHostResolver* resolver);
    ~TCommunication();
    TCommunication(const TCommunication&) = delete;
    TCommunication& operator=(const TCommunication&) = delete;

    TPLCCollection* PLCs() const { return PLCs_.get(); }
    TCommManager* Manager() const { return Manager_.get(); }

private:
    void Load();
    void Refresh();
    void Destroy();
    void Free();

    TServerCore& Core_;
    TTransportDriverFactory Factory_;
    std::unique_ptr<TPLCCollection> PLCs_;
    std::unique_ptr<TCommManager> Manager_;
    // The core's hook lists outlive nothing here: hooks that run after this object is gone
    // find the token expired.
    std::shared_ptr<TCommunication*> Alive_;
};

} // namespace dravon
