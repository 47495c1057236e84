// What the server tells a service manager and an operator who asks: READY=1 once the store
// is read, the PLC list built and the OPC UA endpoint listening; a one-line STATUS= kept
// current by the 300 ms refresh; WATCHDOG=1 from a timer of the main loop, so only a loop
// that still runs keeps the service alive; STOPPING=1 when the shut-down starts. The
// longer status text answers `dravon --status`.
#pragma once

#include "app/ServiceManager.h"

#include <functional>
#include <memory>
#include <string>

namespace dravon {

class ITimer;
class TServerCore;

class TServiceHealth {
public:
    // manager must outlive this object; clientCount gives the connected OPC clients.
    TServiceHealth(TServerCore& core, IServiceManager& manager, std::function<int()> clientCount);
    ~TServiceHealth();
    TServiceHealth(const TServiceHealth&) = delete;
    TServiceHealth& operator=(const TServiceHealth&) = delete;

    // After the start-up: READY=1 with the first status, and the watchdog timer.
    void Ready();
    // "PLCs: 2 (connected 1, communication error 1, idle 0); clients: 1"
    std::string Summary() const;
    // Up time, one line per PLC with its state and connection, clients.
    std::string StatusText() const;

private:
    void Refresh();
    void Stopping();

    TServerCore& Core_;
    IServiceManager& Manager_;
    std::function<int()> ClientCount_;
    std::unique_ptr<ITimer> Watchdog_;
    std::string SentStatus_;
    bool Ready_ = false;
    std::shared_ptr<TServiceHealth*> Alive_;
};

} // namespace dravon
