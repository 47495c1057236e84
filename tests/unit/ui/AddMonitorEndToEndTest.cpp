// From the operator's dialogs to the PLC and back: a TCP PLC of the simulator on loopback,
// its WR0/5 added to the local monitor list, the simulator's values shown in the list, a
// value set in the dialog found in the simulator's memory.
#include "PlcSimulator.h"
#include "WidgetSuite.h"

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
#include "ui/AddMonitorDialog.h"
#include "ui/MainWindow.h"
#include "ui/MonitorList.h"
#include "ui/SetValueDialog.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>

#include <gtest/gtest.h>

#include <functional>
#include <memory>

namespace dravon {
namespace {

using test::SpinUntil;

class AddMonitorEndToEndTest : public test::TWidgetSuite {};

TEST_F(AddMonitorEndToEndTest, AddedWordsShowTheSimulatorsValuesAndASetValueReachesIt) {
    QTemporaryDir home;
    ASSERT_TRUE(home.isValid());
    TSimTransportConfig tcp;
    tcp.Kind = TSimTransportKind::Tcp;
    tcp.Port = 0;
    TPlcSimulator sim({tcp});
    std::string error;
    ASSERT_TRUE(sim.Start(&error)) << error;
    constexpr std::uint8_t WR = 10;
    for (std::uint32_t a = 0; a < 5; ++a) sim.SetValue(0, WR, a, static_cast<std::uint16_t>(0x1100 + a));

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
    TPLCCollection plcs(context);
    auto manager = std::make_unique<TCommManager>(context, &plcs, &factory);
    plcs.SetDriverPool(manager.get());
    context.PLCs = &plcs;

    // A TCP PLC on loopback; the host is set before the PLC joins a driver.
    THitachiPLC& plc = plcs.AddPLC();
    plc.Name = "Line";
    plc.SetHost("127.0.0.1");
    plc.TcpPort = sim.Port(0);
    plc.SetConnection(2, ProtocolEthernet);
    ASSERT_NE(dynamic_cast<TTcpDriver*>(plc.Driver), nullptr);

    TPositions positions;
    auto window = std::make_unique<TfrmMain>(context, positions);
    window->show();
    window->Refresh();
    window->Tree()->setCurrentItem(window->LocalMonitorNode());

    // "Add to monitor list" with the run in the address field and the count field at 0.
    TfrmAddMonitorVar& add = window->AddMonitorDialog();
    QStringList messages;
    add.ShowErrorMessage = [&](const QString& text) { messages << text; };
    QTimer::singleShot(0, &add, [&] {
        add.AddressEdit()->setText("line.wr0/5");
        add.CountEdit()->setText("0");
        add.OkButton()->click();
    });
    window->Action("acAddMonLocation")->trigger();
    EXPECT_TRUE(messages.isEmpty()) << messages.join("|").toStdString();
    TMonitorList* local = window->LocalList();
    ASSERT_EQ(local->RowCount(), 5);

    auto valuesShown = [&] {
        window->Refresh();
        for (int i = 0; i < 5; ++i)
            if (local->Row(i)->text(1) != QString::number(0x1100 + i)) return false;
        return true;
    };
    ASSERT_TRUE(SpinUntil(valuesShown)) << local->Row(0)->text(1).toStdString();
    EXPECT_EQ(local->Row(2)->text(0), "Line.WR0002");
    EXPECT_EQ(local->Row(2)->text(3), "GOOD");

    // "Set value" on the third row: H2A5A reaches the simulator's WR0002.
    local->clearSelection();
    local->Row(2)->setSelected(true);
    TfrmEnterVal& set = window->SetValueDialog();
    QStringList setMessages;
    set.ShowErrorMessage = [&](const QString& text) { setMessages << text; };
    QTimer::singleShot(0, &set, [&] {
        EXPECT_EQ(set.windowTitle(), "Set value for WR0002");
        set.ValueEdit()->setText("H2A5A");
        set.OkButton()->click();
    });
    window->Action("acSetValMonLocation")->trigger();
    EXPECT_TRUE(setMessages.isEmpty()) << setMessages.join("|").toStdString();
    EXPECT_FALSE(set.isVisible());
    ASSERT_TRUE(SpinUntil([&] { return sim.Value(0, WR, 2) == 0x2A5A; }));
    EXPECT_EQ(sim.Value(0, WR, 1), 0x1101);
    EXPECT_EQ(sim.Value(0, WR, 3), 0x1103);
    // The list keeps showing the written value once the PLC has confirmed it.
    ASSERT_TRUE(SpinUntil([&] {
        window->Refresh();
        return local->Row(2)->text(1) == QString::number(0x2A5A);
    }));

    window.reset();
    plcs.SetDriverPool(nullptr);
    manager.reset();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

} // namespace
} // namespace dravon
