// The operator configures a TCP PLC on loopback in the dialog; after OK the server polls
// the simulator through it, and the stored PLC list holds what was typed.
#include "PlcSimulator.h"
#include "WidgetSuite.h"

#include "app/KeyValueStore.h"
#include "app/Logger.h"
#include "app/MemoryStore.h"
#include "app/ServerContext.h"
#include "app/SessionLog.h"
#include "comm/CommManager.h"
#include "comm/TcpDriver.h"
#include "comm/TransportDriverFactory.h"
#include "platform/QtClock.h"
#include "platform/QtEventLoop.h"
#include "platform/QtHostResolver.h"
#include "platform/QtTimerFactory.h"
#include "platform/QtTransportFactory.h"
#include "plc/HitachiLocation.h"
#include "plc/HitachiPLC.h"
#include "plc/PLCCollection.h"
#include "ui/ConfigDialog.h"
#include "ui/MainWindow.h"
#include "ui/NumberEdit.h"
#include "ui/PlcListFrame.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <functional>
#include <memory>

namespace dravon {
namespace {

using test::SpinUntil;

class ConfigEndToEndTest : public test::TWidgetSuite {};

TEST_F(ConfigEndToEndTest, ATcpPlcConfiguredInTheDialogIsPolled) {
    QTemporaryDir home;
    TPositions positions;
    ASSERT_TRUE(home.isValid());
    TSimTransportConfig tcp;
    tcp.Kind = TSimTransportKind::Tcp;
    tcp.Port = 0;
    TPlcSimulator sim({tcp});
    std::string error;
    ASSERT_TRUE(sim.Start(&error)) << error;

    // The server's PLC list and communication manager over the Qt seams.
    const std::string dir = QDir(home.path()).absolutePath().toStdString() + "/";
    TQtClock clock;
    TQtEventLoop loop;
    TQtTimerFactory timers;
    TMemoryStore store;
    TServerContext context;
    TSessionLog log{context.Settings, clock, dir};
    TLogger debug{clock, dir + "DravonDebug.Log"};
    context.Clock = &clock;
    context.Loop = &loop;
    context.Timers = &timers;
    context.Store = &store;
    context.Log = &log;
    context.Debug = &debug;
    context.ApplicationDirectory = dir;
    TQtTransportFactory transports(context);
    TQtHostResolver resolver;
    context.Transports = &transports;
    context.Resolver = &resolver;
    TTransportDriverFactory factory;
    TPLCCollection plcsList(context);
    auto manager = std::make_unique<TCommManager>(context, &plcsList, &factory);
    plcsList.SetDriverPool(manager.get());
    context.PLCs = &plcsList;
    TPLCCollection* plcs = &plcsList;

    auto window = std::make_unique<TfrmMain>(context, positions);
    TfrmConfig& dialog = window->ConfigDialog();
    QStringList errors;
    dialog.ShowErrorMessage = [&](const QString& text) { errors << text; };
    dialog.show();
    TfPlcList& list = *dialog.PlcList();
    list.AddButton()->click();
    ASSERT_EQ(list.CellCount(), 1);
    TPLCCell& cell = *list.Cell(0);
    cell.edName->setText("Press");
    cell.cbConnection->setCurrentIndex(CellTcp);
    emit cell.cbConnection->activated(CellTcp);
    // Loopback before OK: the default host must never reach a live driver.
    cell.edHost->setText("127.0.0.1");
    cell.edPort->SetValue(sim.Port(0));
    dialog.OkButton()->click();
    ASSERT_TRUE(errors.isEmpty()) << errors.join("|").toStdString();

    ASSERT_EQ(plcs->Count(), 1);
    THitachiPLC& plc = plcs->PLCByIndex(0);
    EXPECT_EQ(plc.Name, "Press");
    EXPECT_EQ(plc.ProtocolType, ProtocolEthernet);
    ASSERT_NE(dynamic_cast<TTcpDriver*>(plc.Driver), nullptr);

    TResolveResult resolved = plcs->ResolveItemId("Press.WR0005");
    ASSERT_NE(resolved.Location, nullptr);
    THitachiLocation& location = *resolved.Location;
    location.AddRef();
    sim.SetValue(0, static_cast<std::uint8_t>(location.Code), location.Address, 0x1234);
    ASSERT_TRUE(SpinUntil([&] { return location.HasValue && location.GetValue() == 0x1234u; }));
    // A group's next update period asks for the location again.
    sim.SetValue(0, static_cast<std::uint8_t>(location.Code), location.Address, 0x0042);
    location.ReadRequested = true;
    ASSERT_TRUE(SpinUntil([&] { return location.GetValue() == 0x0042u; }));

    // What the next start loads.
    auto key = store.OpenKeyReadOnly(TRootKey::LocalMachine, PLCListKeyPath);
    ASSERT_TRUE(key);
    EXPECT_EQ(key->ReadDword("Count"), 1u);
    EXPECT_EQ(key->ReadString("PLCName0"), "Press");
    EXPECT_EQ(key->ReadString("PLCIP0"), "127.0.0.1");
    EXPECT_EQ(key->ReadDword("PLCTcpPort0"), sim.Port(0));
    EXPECT_EQ(key->ReadDword("DrvType0"), 2u);
    EXPECT_EQ(key->ReadDword("ProtocolType0"), 3u);

    location.Release();
    dialog.hide();
    window.reset();
    plcsList.SetDriverPool(nullptr);
    manager.reset();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

} // namespace
} // namespace dravon
