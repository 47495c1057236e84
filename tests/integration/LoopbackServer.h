// The server's communication side with the real Qt seams (clock, loop, timers, serial
// port, sockets) for tests and benchmarks against the PLC simulator on loopback.
#pragma once

#include "support/QtApplication.h"
#include "support/TestContext.h"

#include "app/MemoryStore.h"
#include "comm/CommManager.h"
#include "comm/TransportDriverFactory.h"
#include "platform/QtClock.h"
#include "platform/QtEventLoop.h"
#include "platform/QtTimerFactory.h"
#include "platform/QtTransportFactory.h"
#include "plc/HitachiLocation.h"
#include "plc/HitachiPLC.h"
#include "plc/PLCCollection.h"

#include <QCoreApplication>

#include <functional>
#include <memory>
#include <string>

namespace dravon::test {

struct TLoopbackServer {
    TLoopbackServer() {
        Context.Clock = &Clock;
        Context.Loop = &Loop;
        Context.Timers = &Timers;
        Context.Store = &Store;
        Context.Log = &Log;
        Context.Debug = &Debug;
        Context.Transports = &Transports;
        Context.ApplicationDirectory = "/nonexistent-dravon-test-dir/";
        Log.AddView(&Capture);
        // The list and the manager read the seams at construction, so they come last.
        PLCsOwned = std::make_unique<TPLCCollection>(Context);
        Manager = std::make_unique<TCommManager>(Context, PLCsOwned.get(), &Factory);
        Context.PLCs = PLCsOwned.get();
        PLCsOwned->SetDriverPool(Manager.get());
    }
    ~TLoopbackServer() {
        PLCsOwned->SetDriverPool(nullptr);
        Manager.reset();
        PLCsOwned.reset();
    }
    TLoopbackServer(const TLoopbackServer&) = delete;
    TLoopbackServer& operator=(const TLoopbackServer&) = delete;

    TPLCCollection& PLCs() { return *PLCsOwned; }

    // An Ethernet PLC; the loopback host is set before the driver is attached.
    THitachiPLC& AddEthernetPLC(int drvType, std::uint16_t port) {
        THitachiPLC& plc = PLCs().AddPLC();
        plc.SetHost("127.0.0.1");
        plc.TcpPort = port;
        plc.SetConnection(drvType, ProtocolEthernet);
        return plc;
    }

    // A location held as a client's item holds it (the caller releases it).
    THitachiLocation* Monitor(THitachiPLC& plc, const std::string& address) {
        THitachiLocation* location = PLCs().ResolveItemId(plc.Name + "." + address).Location;
        if (location) location->AddRef();
        return location;
    }

    TQtClock Clock;
    TQtEventLoop Loop;
    TQtTimerFactory Timers;
    TMemoryStore Store;
    TServerContext Context;
    TSessionLog Log{Context.Settings, Clock, "/nonexistent-dravon-test-dir/"};
    TLogger Debug{Clock, "/nonexistent-dravon-test-dir/DravonDebug.Log"};
    TLogCapture Capture;
    TQtTransportFactory Transports{Context};
    TTransportDriverFactory Factory;
    std::unique_ptr<TPLCCollection> PLCsOwned;
    std::unique_ptr<TCommManager> Manager;
};

// Components released with deleteLater go before the application object does.
inline void FlushDeferredDeletes() { QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete); }

} // namespace dravon::test
