// The server core with its communication engine: the stored PLC list is loaded at
// start-up, the PLCs poll the simulator over loopback, and shut-down frees the drivers
// before the list.
#include "PlcSimulator.h"
#include "support/QtApplication.h"

#include "app/CommandLine.h"
#include "app/KeyValueStore.h"
#include "app/MemoryStore.h"
#include "comm/CommManager.h"
#include "comm/TcpDriver.h"
#include "comm/UdpDriver.h"
#include "platform/QtClock.h"
#include "platform/QtEventLoop.h"
#include "platform/QtHostResolver.h"
#include "platform/QtTimerFactory.h"
#include "platform/QtTransportFactory.h"
#include "plc/HitachiLocation.h"
#include "plc/HitachiPLC.h"
#include "plc/PLCCollection.h"
#include "server/Communication.h"
#include "server/ServerCore.h"
#include "support/TestContext.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <functional>
#include <memory>

namespace dravon {
namespace {

bool SpinUntil(const std::function<bool()>& condition, int boundMs = 5000) {
    QElapsedTimer timer;
    timer.start();
    while (!condition()) {
        if (timer.elapsed() > boundMs) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    return true;
}

class ServerCommunicationTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { test::TQtApplication::Create(); }
    static void TearDownTestSuite() {
        FlushDeferredDeletes();
        test::TQtApplication::Destroy();
    }

    // Components released with deleteLater go before the application object does.
    static void FlushDeferredDeletes() {
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

    void SetUp() override {
        ASSERT_TRUE(Home.isValid());
        TSimTransportConfig tcp;
        tcp.Kind = TSimTransportKind::Tcp;
        tcp.Port = 0;
        TSimTransportConfig udp = tcp;
        udp.Kind = TSimTransportKind::Udp;
        Sim = std::make_unique<TPlcSimulator>(std::vector<TSimTransportConfig>{tcp, udp});
        std::string error;
        ASSERT_TRUE(Sim->Start(&error)) << error;

        // Two stored PLCs on loopback, as the configuration window saves them.
        auto key = Store.OpenKey(TRootKey::LocalMachine, PLCListKeyPath);
        ASSERT_TRUE(key);
        key->WriteDword("Count", 2);
        key->WriteString("PLCName0", "Tcp1");
        key->WriteString("PLCIP0", "127.0.0.1");
        key->WriteDword("PLCTcpPort0", Sim->Port(0));
        key->WriteDword("ProtocolType0", 3);
        key->WriteDword("DrvType0", 2);
        key->WriteString("PLCName1", "Udp1");
        key->WriteString("PLCIP1", "127.0.0.1");
        key->WriteDword("PLCTcpPort1", Sim->Port(1));
        key->WriteDword("ProtocolType1", 3);
        key->WriteDword("DrvType1", 1);
    }

    QTemporaryDir Home;
    std::unique_ptr<TPlcSimulator> Sim;
    TQtClock Clock;
    TQtEventLoop Loop;
    TQtTimerFactory Timers;
    TMemoryStore Store;
};

TEST_F(ServerCommunicationTest, StartupLoadsThePlcListPollsAndShutdownFreesTheDrivers) {
    const std::string dir = QDir(Home.path()).absolutePath().toStdString() + "/";
    TServerCore core({&Clock, &Loop, &Timers, &Store, dir}, TCommandLine{}, "1.0.0.0");
    TQtTransportFactory transports(core.Context());
    TQtHostResolver resolver;
    auto communication = std::make_unique<TCommunication>(core, transports, &resolver);
    EXPECT_EQ(core.Context().Transports, &transports);

    core.Startup();
    TPLCCollection* plcs = core.Context().PLCs;
    ASSERT_NE(plcs, nullptr);
    ASSERT_EQ(plcs->Count(), 2);
    THitachiPLC& tcp = plcs->PLCByIndex(0);
    THitachiPLC& udp = plcs->PLCByIndex(1);
    ASSERT_NE(dynamic_cast<TTcpDriver*>(tcp.Driver), nullptr);
    ASSERT_NE(dynamic_cast<TUdpDriver*>(udp.Driver), nullptr);
    ASSERT_EQ(communication->Manager()->Drivers().size(), 2u);

    THitachiLocation* a = plcs->ResolveItemId("Tcp1.WR0005").Location;
    THitachiLocation* b = plcs->ResolveItemId("Udp1.WR0006").Location;
    ASSERT_TRUE(a && b);
    a->AddRef();
    b->AddRef();
    Sim->SetValue(0, static_cast<std::uint8_t>(a->Code), a->Address, 0x0A0A);
    Sim->SetValue(0, static_cast<std::uint8_t>(b->Code), b->Address, 0x0B0B);
    ASSERT_TRUE(SpinUntil([&] { return a->HasValue && b->HasValue; }));
    EXPECT_EQ(a->GetValue(), 0x0A0Au);
    EXPECT_EQ(b->GetValue(), 0x0B0Bu);

    // A write a client was told had succeeded, still pending at the shut-down, is named.
    test::TLogCapture capture;
    core.Log().AddView(&capture);
    a->WritePending = true;
    core.Shutdown();
    EXPECT_EQ(capture.CountStartingWith("1 writes to PLC Tcp1 were not sent"), 1);
    EXPECT_EQ(capture.CountStartingWith("1 writes to PLC Udp1"), 0);
    core.Log().RemoveView(&capture);
    EXPECT_EQ(core.Context().PLCs, nullptr);
    EXPECT_EQ(communication->Manager(), nullptr);
    EXPECT_EQ(communication->PLCs(), nullptr);
    communication.reset();
    EXPECT_EQ(core.Context().Transports, nullptr);
    FlushDeferredDeletes();
}

} // namespace
} // namespace dravon
