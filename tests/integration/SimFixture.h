// The fixture of the tests against dravon-plcsim: the Qt application of the suite, the
// simulator started on loopback links or a pseudo-terminal, the loop spun with a bound
// (LoopbackServer.h), and the program's own composition (store, core, drivers, OPC server)
// for the tests that act as its clients.
#pragma once

#include "LoopbackServer.h"
#include "PlcSimulator.h"
#include "support/QtApplication.h"

#include "app/CommandLine.h"
#include "app/KeyValueStore.h"
#include "opc/DA2ClassFactory.h"
#include "opc/OPCDAConnectionCollection.h"
#include "platform/QtHostResolver.h"
#include "platform/UaTcpListener.h"
#include "server/Communication.h"
#include "server/OPCServer.h"
#include "server/ServerCore.h"

#include <QDir>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace dravon::test {

class TSimFixture : public TQtSuite<> {
protected:
    // A simulator on these links, started; null (and a failure) when it cannot start.
    static std::unique_ptr<TPlcSimulator> StartSim(std::vector<TSimTransportConfig> links) {
        auto sim = std::make_unique<TPlcSimulator>(std::move(links));
        std::string error;
        if (sim->Start(&error)) return sim;
        ADD_FAILURE() << error;
        return nullptr;
    }
    static TSimTransportConfig Ethernet(TSimTransportKind kind) {
        TSimTransportConfig link;
        link.Kind = kind;
        link.Port = 0;
        return link;
    }
};

// The program as src/main.cpp composes it, on a memory store and a temporary home:
// StorePLC writes the PLC list before Start, Connect gives a client's server object.
class TProgramServer {
public:
    TProgramServer() {
        EXPECT_TRUE(Home.isValid());
        Dir = QDir(Home.path()).absolutePath().toStdString() + "/";
    }
    ~TProgramServer() {
        Shutdown();
        Opc.reset();
        Communication.reset();
        Transports.reset();
        Core.reset();
        FlushDeferredDeletes();
    }
    TProgramServer(const TProgramServer&) = delete;
    TProgramServer& operator=(const TProgramServer&) = delete;

    // One Ethernet PLC (drvType 1 UDP, 2 TCP) of the stored list, on a loopback port.
    void StorePLC(const std::string& name, int drvType, std::uint16_t port, std::uint32_t timeOut = 300) {
        auto key = Store.OpenKey(TRootKey::LocalMachine, PLCListKeyPath);
        ASSERT_TRUE(key);
        const std::string n = std::to_string(Count++);
        key->WriteDword("Count", Count);
        key->WriteString("PLCName" + n, name);
        key->WriteString("PLCIP" + n, "127.0.0.1");
        key->WriteDword("PLCTcpPort" + n, port);
        key->WriteDword("ProtocolType" + n, 3);
        key->WriteDword("DrvType" + n, static_cast<std::uint32_t>(drvType));
        key->WriteDword("TimeOut" + n, timeOut);
    }
    void Start() {
        Core = std::make_unique<TServerCore>(TServerSeams{&Clock, &Loop, &Timers, &Store, Dir},
                                             TCommandLine{}, "1.0.0.0");
        Transports = std::make_unique<TQtTransportFactory>(Core->Context());
        Communication = std::make_unique<TCommunication>(*Core, *Transports, &Resolver);
        Opc = std::make_unique<TOPCServer>(*Core, Listener);
        Core->Log().AddView(&Capture);
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
    std::string Dir;
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
