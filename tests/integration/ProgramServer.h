// The program as src/main.cpp composes it (store, core, Qt transports, communication, the
// OPC server with its UA listener) on a memory store and a temporary home, for the tests
// and the soak that act as its clients: StorePLC writes the PLC list before Start, Connect
// gives a client's server object.
#pragma once

#include "support/TestContext.h"

#include "app/CommandLine.h"
#include "app/MemoryStore.h"
#include "opc/DA2ClassFactory.h"
#include "opc/OPCDAConnectionCollection.h"
#include "platform/QtClock.h"
#include "platform/QtEventLoop.h"
#include "platform/QtHostResolver.h"
#include "platform/QtTimerFactory.h"
#include "platform/QtTransportFactory.h"
#include "platform/UaTcpListener.h"
#include "plc/PLCCollection.h"
#include "server/Communication.h"
#include "server/OPCServer.h"
#include "server/ServerCore.h"

#include <QCoreApplication>
#include <QDir>
#include <QTemporaryDir>

#include <memory>
#include <string>

namespace dravon::test {

class TProgramServer {
public:
    TProgramServer() = default;
    ~TProgramServer() {
        Shutdown();
        Opc.reset();
        Communication.reset();
        Transports.reset();
        Core.reset();
        // Components released with deleteLater go before the application object does.
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    TProgramServer(const TProgramServer&) = delete;
    TProgramServer& operator=(const TProgramServer&) = delete;

    // One PLC of the stored list on 127.0.0.1: drvType 1 UDP or 2 TCP (port: the PLC's,
    // protocol Ethernet), 3 serial (port: the COM number, standard H-protocol).
    void StorePLC(const std::string& name, int drvType, std::uint16_t port, std::uint32_t timeOut = 300) {
        auto key = Store.OpenKey(TRootKey::LocalMachine, PLCListKeyPath);
        const std::string n = std::to_string(Count++);
        key->WriteDword("Count", Count);
        key->WriteString("PLCName" + n, name);
        key->WriteString("PLCIP" + n, "127.0.0.1");
        key->WriteDword((drvType == 3 ? "SerialCom" : "PLCTcpPort") + n, port);
        key->WriteDword("ProtocolType" + n, drvType == 3 ? 1 : 3);
        key->WriteDword("DrvType" + n, static_cast<std::uint32_t>(drvType));
        key->WriteDword("TimeOut" + n, timeOut);
    }
    // Composes and starts the program; its session log goes to view (none: Capture).
    void Start(ISessionLogView* view = nullptr) {
        Core = std::make_unique<TServerCore>(TServerSeams{&Clock, &Loop, &Timers, &Store, Dir},
                                             TCommandLine{}, "1.0.0.0");
        Transports = std::make_unique<TQtTransportFactory>(Core->Context());
        Communication = std::make_unique<TCommunication>(*Core, *Transports, &Resolver);
        Opc = std::make_unique<TOPCServer>(*Core, Listener);
        Core->Log().AddView(view ? view : &Capture);
        Core->Startup();
    }
    void Shutdown() {
        if (Core && !ShutDown) Core->Shutdown();
        ShutDown = true;
    }
    TComPtr<IOPCServer> Connect() {
        TComPtr<IUnknown> unknown;
        if (Opc && Opc->Factory()) Opc->Factory()->CreateInstance(nullptr, IOPCServer::Iid, unknown);
        return InterfaceOf<IOPCServer>(unknown);
    }
    TPLCCollection& PLCs() { return *Core->Context().PLCs; }

    QTemporaryDir Home;
    std::string Dir = QDir(Home.path()).absolutePath().toStdString() + "/";
    TQtClock Clock;
    TQtEventLoop Loop;
    TQtTimerFactory Timers;
    TMemoryStore Store;
    TQtHostResolver Resolver;
    TUaTcpListener Listener;
    TLogCapture Capture;
    std::unique_ptr<TServerCore> Core;
    std::unique_ptr<TQtTransportFactory> Transports;
    std::unique_ptr<TCommunication> Communication;
    std::unique_ptr<TOPCServer> Opc;
    std::uint32_t Count = 0;
    bool ShutDown = false;
};

} // namespace dravon::test
