// Where the COM binding (src/com) plugs into dravon.exe. Kept in its own file because the
// binding's headers must come before windows.h in a translation unit of their own.
#pragma once

#include <functional>
#include <memory>

namespace dravon {

class ICategoryRegistrar;
class TOPCServer;

class IComSide {
public:
    virtual ~IComSide() = default;
    // The component categories manager, for /REGISTER and /UNREGISTER.
    virtual ICategoryRegistrar* Categories() = 0;
    // After the start-up, when the OPC objects exist: clients can connect from now on.
    // lastClientGone runs when the last object and lock of the clients are released.
    virtual bool Start(TOPCServer& opc, std::function<void()> lastClientGone) = 0;
    // Before the OPC objects go: no new clients, the connected ones disconnected.
    virtual void Stop() = 0;
};

// Initialises COM on the calling thread (apartment-threaded: calls arrive through the
// thread's message loop) for the lifetime of the returned object.
std::unique_ptr<IComSide> CreateComSide();

} // namespace dravon
