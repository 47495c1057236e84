#include "ui/MainWindow.h"
#include "app/CommandLine.h"
#include "app/MemoryStore.h"
#include "app/TimeDate.h"
#include "comm/UdpDriver.h"
#include "plc/DriverPool.h"
#include "plc/HitachiLocation.h"
#include "plc/HitachiPLC.h"
#include "plc/MemoryTypes.h"
#include "plc/PLCCollection.h"
#include "server/ServerCore.h"
#include "support/FakeDriverPool.h"
#include "support/FakeHostResolver.h"
#include "support/FakeTransports.h"
#include "support/TestContext.h"

#include <QAbstractEventDispatcher>
#include <QAction>
#include <QApplication>
#include <QElapsedTimer>
#include <QFocusEvent>
#include <QHelpEvent>
#include <QLabel>
#include <QMenu>
#include <QSystemTrayIcon>
#include <QTest>
#include <QTreeWidget>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <memory>

namespace dravon {
namespace {

class MainWindowTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        static int argc = 1;
        static char name[] = "dravon-ui-test";
        static char* argv[] = {name, nullptr};
        if (!QApplication::instance()) App() = std::make_unique<QApplication>(argc, argv);
    }
    static void TearDownTestSuite() { App().reset(); }
    static std::unique_ptr<QApplication>& App() {
        static std::unique_ptr<QApplication> app;
        return app;
    }

    MainWindowTest() {
        T.Context.Resolver = &Resolver;
        T.Context.PLCs = &PLCs;
        PLCs.SetDriverPool(&Pool);
        Window = std::make_unique<TfrmMain>(T.Context, Positions);
        T.Log.AddView(Window.get());
    }
    ~MainWindowTest() override {
        T.Log.RemoveView(Window.get());
        Window.reset();
    }

    // A PLC on a loopback address, so its fake driver never points at the default host.
    THitachiPLC& AddPlc() {
        THitachiPLC& plc = PLCs.AddPLC();
        plc.SetHost("127.0.0.1");
        plc.SetConnection(2, ProtocolEthernet);
        return plc;
    }
    QStringList TopTexts() const {
        QStringList texts;
        for (int i = 0; i < Window->Tree()->topLevelItemCount(); ++i)
            texts << Window->Tree()->topLevelItem(i)->text(0);
        return texts;
    }
    QString Row(const QString& caption) const {
        for (const auto& [c, v] : Window->InfoRows())
            if (c == caption) return v;
        return "<missing>";
    }
    template <typename F> static bool SpinUntil(F condition, int boundMs = 2000) {
        QElapsedTimer timer;
        timer.start();
        while (!condition() && timer.elapsed() < boundMs)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        return condition();
    }

    test::TTestContext T;
    test::TFakeHostResolver Resolver;
    test::TFakeDriverPool Pool;
    TPLCCollection PLCs{T.Context};
    TPositions Positions;
    std::unique_ptr<TfrmMain> Window;
};

TEST_F(MainWindowTest, TreeFollowsThePlcList) {
    EXPECT_EQ(TopTexts(), (QStringList{"Dravon", "Local monitor"}));
    THitachiPLC& first = AddPlc();
    AddPlc();
    Window->Refresh();
    EXPECT_EQ(TopTexts(), (QStringList{"Dravon", "PLC1", "PLC2", "Local monitor"}));
    QTreeWidgetItem* node = Window->PlcNode(&first);
    ASSERT_NE(node, nullptr);
    ASSERT_EQ(node->childCount(), 26);
    EXPECT_EQ(node->child(0)->text(0), "X");
    EXPECT_EQ(node->child(1)->text(0), "WX");
    EXPECT_EQ(node->child(25)->text(0), "WEY");
    EXPECT_TRUE(Window->ServerNode()->isExpanded());

    first.Name = "Press";
    Window->Refresh();
    EXPECT_EQ(TopTexts(), (QStringList{"Dravon", "Press", "PLC2", "Local monitor"}));
    EXPECT_EQ(Window->PlcNode(&first), node); // renamed in place

    // The selected PLC disappears: the selection moves to the server node.
    Window->Tree()->setCurrentItem(node->child(3));
    EXPECT_EQ(Window->SelectedPLC(), &first);
    PLCs.DeletePLC(0);
    Window->Refresh();
    EXPECT_EQ(TopTexts(), (QStringList{"Dravon", "PLC2", "Local monitor"}));
    EXPECT_EQ(Window->SelectedPLC(), nullptr);
    EXPECT_EQ(Window->InfoCaption(), "Server info");
}

TEST_F(MainWindowTest, SelectionSwitchesTheInfoBox) {
    THitachiPLC& plc = AddPlc();
    Window->Refresh();
    Window->Tree()->setCurrentItem(Window->LocalMonitorNode());
    EXPECT_EQ(Window->InfoCaption(), "Monitor");
    ASSERT_EQ(Window->InfoRows().size(), 1u);
    EXPECT_EQ(Window->InfoRows()[0].first, "Monitored addresses");

    Window->Tree()->setCurrentItem(Window->PlcNode(&plc));
    EXPECT_EQ(Window->InfoCaption(), "PLC info");
    EXPECT_EQ(Window->SelectedPLC(), &plc);
    ASSERT_EQ(Window->InfoRows().size(), 11u);
    EXPECT_EQ(Row("Name"), "PLC1");
    EXPECT_TRUE(Window->Action("acResetMaxTimes")->isEnabled());
    EXPECT_TRUE(Window->Action("acResetLastError")->isEnabled());

    Window->Tree()->setCurrentItem(Window->ServerNode());
    EXPECT_EQ(Window->InfoCaption(), "Server info");
    ASSERT_EQ(Window->InfoRows().size(), 4u);
    EXPECT_EQ(Window->InfoRows()[0].first, "Server started at");
    EXPECT_EQ(Window->InfoRows()[1].first, "Server uptime");
    EXPECT_EQ(Window->InfoRows()[2].first, "Total number of monitored PLC locations");
    EXPECT_EQ(Window->InfoRows()[3].first, "Clients connected");
    EXPECT_FALSE(Window->Action("acResetMaxTimes")->isEnabled());
    EXPECT_FALSE(Window->Action("acResetLastError")->isEnabled());
}

TEST_F(MainWindowTest, LampsLightForTheFramesOfTheSelectedPlcOnly) {
    THitachiPLC& one = AddPlc();
    THitachiPLC& two = PLCs.AddPLC();
    two.SetHost("127.0.0.2");
    two.SetConnection(2, ProtocolEthernet);
    Window->Refresh();
    Window->show();
    Window->Tree()->setCurrentItem(Window->PlcNode(&one));
    EXPECT_TRUE(Window->LampsVisible());
    EXPECT_EQ(Window->IndicationText(), "TCP:");

    // A real driver (the pool here is a stand-in) sends a read for a PLC and takes its answer.
    test::TFakeTransportFactory transports;
    T.Context.Transports = &transports;
    TDriverLink link;
    link.Kind = DriverUdp;
    link.Protocol = ProtocolEthernet;
    link.Address = "127.0.0.1";
    link.Port = 3004;
    TUdpDriver driver(T.Context, link);
    auto request = [&](THitachiPLC& plc) {
        THitachiLocation* location = PLCs.ResolveItemId(plc.Name + ".WR0010").Location;
        location->ReadRequested = true;
        driver.AddRead(*location);
        driver.SendRead(plc);
    };
    auto answer = [&](THitachiPLC& plc) {
        driver.CurrentPLC = &plc;
        const std::uint8_t sequence = static_cast<std::uint8_t>(driver.Sequence);
        driver.ProcessResponse(
            std::vector<std::uint8_t>{0x00, sequence, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0xA4, 0, 1});
    };
    request(two);
    answer(two);
    EXPECT_FALSE(Window->TxLit());
    EXPECT_FALSE(Window->RxLit());

    request(one);
    EXPECT_TRUE(Window->TxLit());
    EXPECT_FALSE(Window->RxLit());
    answer(one);
    EXPECT_TRUE(Window->RxLit());
    // The fall-back timers put both lamps out again.
    EXPECT_TRUE(SpinUntil([&] { return !Window->TxLit() && !Window->RxLit(); }));

    // A hidden window is not told of frames at all.
    Window->hide();
    EXPECT_EQ(T.Context.LampPLC, nullptr);
    request(one);
    EXPECT_FALSE(Window->TxLit());
    Window->show();
    EXPECT_EQ(T.Context.LampPLC, &one);

    Window->Tree()->setCurrentItem(Window->ServerNode());
    EXPECT_FALSE(Window->LampsVisible());
    EXPECT_EQ(Window->IndicationText(), "");
    answer(one);
    request(one);
    EXPECT_FALSE(Window->TxLit());
    EXPECT_FALSE(Window->RxLit());
    Window->hide();
}

TEST_F(MainWindowTest, UptimeAndStartTexts) {
    const TDateTime start = T.Platform.Clock.Now();
    T.Platform.Clock.Step(3723000);
    Window->Refresh();
    EXPECT_EQ(Row("Server uptime"), "01:02:03");
    EXPECT_EQ(Row("Server started at"), QString::fromStdString(TimeText(start)));
    EXPECT_EQ(Row("Clients connected"), "0");

    // The next day the start text carries its date, without a restart.
    T.Platform.Clock.Step(86400000);
    Window->ClientsConnected = [] { return 3; };
    Window->Refresh();
    EXPECT_EQ(Row("Server started at"), QString::fromStdString(TimeText(start) + "  " + DateText(start)));
    EXPECT_EQ(Row("Server uptime"), "1 days, 01:02:03");
    EXPECT_EQ(Row("Clients connected"), "3");
}

TEST_F(MainWindowTest, StatusMessageStaysSeventeenTicksAndGoesWithTheEighteenth) {
    T.Log.Add("PLC1 is not responding", true);
    EXPECT_EQ(Window->StatusText(), "PLC1 is not responding");
    EXPECT_TRUE(Window->LogText().contains("PLC1 is not responding"));
    for (int i = 0; i < 16; ++i) Window->Refresh();
    EXPECT_EQ(Window->StatusText(), "PLC1 is not responding");
    // A second message restarts the countdown.
    Window->ShowStatusMessage("again");
    for (int i = 0; i < 17; ++i) Window->Refresh();
    EXPECT_EQ(Window->StatusText(), "again");
    Window->Refresh();
    EXPECT_EQ(Window->StatusText(), "");
}

TEST_F(MainWindowTest, SlowDownDrawsEveryFourthTick) {
    T.Context.Settings.SlowDownVisual = true;
    Window->Refresh(); // the first tick draws
    AddPlc();
    Window->ShowStatusMessage("slow");
    for (int i = 0; i < 3; ++i) Window->Refresh();
    EXPECT_EQ(TopTexts(), (QStringList{"Dravon", "Local monitor"}));
    Window->Refresh();
    EXPECT_EQ(TopTexts(), (QStringList{"Dravon", "PLC1", "Local monitor"}));
    // The message runs out after 17 ticks and is cleared by the next drawing tick (the 20th).
    for (int i = 0; i < 15; ++i) Window->Refresh();
    EXPECT_EQ(Window->StatusText(), "slow");
    Window->Refresh();
    EXPECT_EQ(Window->StatusText(), "");
    // Up-time still counts every millisecond.
    T.Platform.Clock.Step(1000);
    for (int i = 0; i < 4; ++i) Window->Refresh();
    T.Context.Settings.SlowDownVisual = false;
    EXPECT_EQ(Window->UpTimeMs(), 1000u);
}

TEST_F(MainWindowTest, MinimisedWindowOnlyCountsUptime) {
    Window->showMinimized();
    ASSERT_TRUE(Window->isMinimized());
    AddPlc();
    T.Platform.Clock.Step(600);
    Window->Refresh();
    EXPECT_EQ(TopTexts(), (QStringList{"Dravon", "Local monitor"}));
    EXPECT_EQ(Window->UpTimeMs(), 600u);
    Window->showNormal();
    Window->Refresh();
    EXPECT_EQ(TopTexts(), (QStringList{"Dravon", "PLC1", "Local monitor"}));
}

TEST_F(MainWindowTest, ClearLogWindowClearsBusyFlags) {
    THitachiPLC& plc = AddPlc();
    plc.BusyLogged = true;
    T.Log.Add("line one", false);
    ASSERT_FALSE(Window->LogText().isEmpty());
    Window->Action("ClearLogwindow1")->trigger();
    EXPECT_TRUE(Window->LogText().isEmpty());
    EXPECT_TRUE(T.Log.MemoLines().empty());
    EXPECT_FALSE(plc.BusyLogged);
}

TEST_F(MainWindowTest, ResetActionsClearStatistics) {
    THitachiPLC& plc = AddPlc();
    Window->Refresh();
    plc.MaxComCycle = 250;
    plc.MaxComCyclePercent = 80;
    plc.MaxResponseTime = 40;
    plc.LastErrorCode = 7;
    plc.LastErrorAt = T.Platform.Clock.Now();
    Window->Tree()->setCurrentItem(Window->PlcNode(&plc));
    Window->Action("acResetMaxTimes")->trigger();
    EXPECT_EQ(plc.MaxComCycle, 0);
    EXPECT_EQ(plc.MaxComCyclePercent, -1);
    EXPECT_EQ(plc.MaxResponseTime, 0);
    EXPECT_EQ(Row("Maximum communication cycle"), "0ms");
    Window->Action("acResetLastError")->trigger();
    EXPECT_EQ(plc.LastErrorCode, 0);
    EXPECT_EQ(plc.LastErrorAt, 0);
    EXPECT_EQ(Row("Last error response"), "-");
}

TEST_F(MainWindowTest, ClosingHidesToTheTrayAndOnlyTheShutDownCommandEnds) {
    struct TCase {
        const char* Name;
        bool TrayIcon, Tray, ShutDownCommand;
        int Clients;
        bool Answer, Ended;
        int Asked;
        bool Visible, Minimised;
    };
    const TCase cases[] = {
        {"close with the tray icon on", true, true, false, 1, true, false, 0, false, false},
        // Nothing to click in a tray that is not there: the window stays on the task bar.
        {"close, no tray on the desktop", true, false, false, 0, true, false, 0, true, true},
        {"close with the tray icon off", false, true, false, 0, true, true, 0, false, false},
        {"close with the tray icon off, client, No", false, true, false, 1, false, false, 1, true, false},
        {"shut-down command", true, true, true, 0, true, true, 0, false, false},
        {"shut-down command, client, No", true, true, true, 1, false, false, 1, true, false},
        {"shut-down command, client, Yes", true, true, true, 1, true, true, 1, false, false},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        T.Context.Settings.ShowTrayIcon = c.TrayIcon;
        TfrmMain window(T.Context, Positions);
        window.SystemTrayAvailable = [&c] { return c.Tray; };
        window.ClientsConnected = [&c] { return c.Clients; };
        int asked = 0;
        bool ended = false;
        window.AskExit = [&](const QString& text) {
            EXPECT_EQ(text, "Clients connected to OPC server. Do you want to exit?");
            ++asked;
            return c.Answer;
        };
        window.CloseAccepted = [&] { ended = true; };
        window.show();
        if (c.ShutDownCommand)
            window.Action("acServerShutDown")->trigger();
        else
            window.close(); // the window's close button
        EXPECT_EQ(ended, c.Ended);
        EXPECT_EQ(asked, c.Asked);
        EXPECT_EQ(window.isVisible(), c.Visible);
        EXPECT_EQ(window.isMinimized(), c.Minimised);
        if (c.Ended) continue;
        // Double-click on the tray icon (or a second start) brings it back.
        emit window.Tray()->activated(QSystemTrayIcon::DoubleClick);
        EXPECT_TRUE(window.isVisible());
        EXPECT_FALSE(window.isMinimized());
    }
}

TEST_F(MainWindowTest, StartUpAppliesTheStoredTrayIconAndWindowState) {
    struct TCase {
        const char* Name;
        bool StoredTrayIcon;
        int StoredState;
        bool StartedByClient;
        bool TrayShown, Visible, Minimised, ShownBySecondStart;
    };
    const TCase cases[] = {
        {"tray icon off, saved minimised", false, 1, false, false, true, true, true},
        {"tray icon on, saved normal", true, 0, false, true, true, false, true},
        // A client's server without tray icon stays invisible, also for a second start.
        {"client start, tray icon off", false, 0, true, false, false, false, false},
        {"client start, tray icon on", true, 0, true, true, false, false, true},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        TMemoryStore store;
        store.OpenKey(TRootKey::LocalMachine, SettingsKeyPath)
            ->WriteDword("Show tray icon", c.StoredTrayIcon);
        TPositions saved;
        saved.frmState = c.StoredState;
        ASSERT_TRUE(SavePositions(store, saved, false));
        TCommandLine commandLine;
        commandLine.StartedByClient = commandLine.StartInTray = c.StartedByClient;
        TServerCore core(
            {&T.Platform.Clock, &T.Platform, &T.Platform, &store, "/nonexistent-dravon-test-dir/"},
            commandLine, "1.0.0.0");
        TfrmMain window(core.Context(), core.Positions());
        window.SystemTrayAvailable = [] { return true; };
        core.AddView(&window);
        core.Startup();
        window.ShowAtStart(c.StartedByClient, c.StartedByClient);
        T.Platform.RunPosted();
        EXPECT_EQ(window.Tray()->isVisible(), c.TrayShown);
        EXPECT_EQ(window.isVisible(), c.Visible);
        EXPECT_EQ(window.isMinimized(), c.Minimised);
        core.ShowRequested();
        EXPECT_EQ(window.isVisible(), c.ShownBySecondStart);
        core.RemoveView(&window);
    }
}

TEST_F(MainWindowTest, IconTrayHintAndStatusLine) {
    EXPECT_FALSE(TfrmMain::AppIcon().isNull());
    EXPECT_FALSE(Window->windowIcon().isNull());
    EXPECT_FALSE(Window->Tray()->icon().isNull()); // no "No Icon set" when it shows
    EXPECT_EQ(Window->Tray()->toolTip(), "Dravon OPC Data Access Server");
    const QList<QAction*> trayMenu = Window->Tray()->contextMenu()->actions();
    ASSERT_EQ(trayMenu.size(), 2);
    EXPECT_EQ(trayMenu[0]->text(), "Sho&w Server");
    EXPECT_EQ(trayMenu[1]->text(), "Server S&hutdown");

    // The connection's short text is shown whole, also with a long message beside it.
    THitachiPLC& tcp = AddPlc();
    THitachiPLC& udp = PLCs.AddPLC();
    udp.SetHost("127.0.0.2");
    udp.SetConnection(1, ProtocolEthernet);
    Window->resize(400, 300);
    Window->show();
    Window->Refresh();
    Window->ShowStatusMessage(QString(200, 'm'));
    for (THitachiPLC* plc : {&tcp, &udp}) {
        Window->Tree()->setCurrentItem(Window->PlcNode(plc));
        QApplication::processEvents();
        auto* label = Window->IndicationPanel()->findChild<QLabel*>();
        ASSERT_NE(label, nullptr);
        EXPECT_EQ(label->text(), plc == &tcp ? "TCP:" : "UDP:");
        EXPECT_GE(label->width(), label->fontMetrics().horizontalAdvance(label->text()));
    }
}

TEST_F(MainWindowTest, ToolTipsStayTwentySeconds) {
    QWidget* panel = Window->IndicationPanel();
    Window->show();
    QHelpEvent help(QEvent::ToolTip, QPoint(2, 2), panel->mapToGlobal(QPoint(2, 2)));
    QApplication::sendEvent(panel, &help);
    QWidget* tip = nullptr;
    for (QWidget* w : QApplication::topLevelWidgets())
        if (w->objectName() == "qtooltip_label" && w->isVisible()) tip = w;
    ASSERT_NE(tip, nullptr);
    std::vector<int> intervals;
    for (const auto& timer : QAbstractEventDispatcher::instance()->registeredTimers(tip))
        intervals.push_back(timer.interval);
    EXPECT_NE(std::find(intervals.begin(), intervals.end(), 20000), intervals.end());
}

TEST_F(MainWindowTest, PositionsRoundTrip) {
    TPositions in;
    in.frmL = 40;
    in.frmT = 50;
    in.frmW = 700;
    in.frmH = 420;
    in.Splitter1W = 180;
    in.Splitter2H = 150;
    TfrmMain window(T.Context, in);
    window.show();
    window.StorePositions();
    EXPECT_EQ(in.frmW, 700);
    EXPECT_EQ(in.frmH, 420);
    EXPECT_EQ(in.frmState, 0);
    EXPECT_EQ(in.Splitter1W, 180);

    // Through the store and into a second window.
    TMemoryStore store;
    ASSERT_TRUE(SavePositions(store, in, false));
    TPositions loaded;
    EXPECT_EQ(LoadPositions(store, loaded), 7);
    EXPECT_FALSE(loaded.FirstStart);
    EXPECT_EQ(loaded.frmW, in.frmW);
    EXPECT_EQ(loaded.frmH, in.frmH);
    EXPECT_EQ(loaded.frmL, in.frmL);
    EXPECT_EQ(loaded.frmT, in.frmT);
    TfrmMain again(T.Context, loaded);
    again.show();
    TPositions out = loaded;
    again.StorePositions();
    EXPECT_EQ(loaded.frmW, out.frmW);
    EXPECT_EQ(loaded.frmH, out.frmH);

    // A maximised window keeps its normal bounds.
    again.showMaximized();
    SpinUntil([&] { return again.isMaximized(); }, 500);
    again.StorePositions();
    EXPECT_EQ(loaded.frmState, 2);
    EXPECT_EQ(loaded.frmW, out.frmW);
    EXPECT_EQ(loaded.frmH, out.frmH);
}

// --- monitor lists

class MonitorListTest : public MainWindowTest {
protected:
    MonitorListTest() {
        Plc = &AddPlc();
        Window->show();
        Window->Refresh();
    }
    // The location an OPC item would hold: resolved and referenced.
    THitachiLocation& Use(const std::string& itemId) {
        THitachiLocation* location = PLCs.ResolveItemId(itemId).Location;
        EXPECT_NE(location, nullptr) << itemId;
        location->AddRef();
        return *location;
    }
    static QStringList Captions(const TMonitorList* list) {
        QStringList captions;
        if (!list) return captions;
        for (int i = 0; i < list->RowCount(); ++i) captions << list->Row(i)->text(0);
        return captions;
    }
    static int WrRow() {
        for (int i = 0; i < MemoryTypeCount; ++i)
            if (std::string(MemoryTypes[i].Name) == "WR") return i;
        return -1;
    }
    THitachiPLC* Plc = nullptr;
};

TEST_F(MonitorListTest, HalfOfADoubleWordGetsARowOnlyWhenUsedDirectly) {
    THitachiLocation& dr = Use("PLC1.DR0010");
    // Nobody looked at the PLC yet: no lists, no rows.
    Window->Refresh();
    EXPECT_EQ(Window->PlcList(Plc), nullptr);

    Window->Tree()->setCurrentItem(Window->PlcNode(Plc));
    Window->Refresh();
    EXPECT_EQ(Captions(Window->PlcList(Plc)), (QStringList{"DR0010"}));
    EXPECT_EQ(Captions(Window->TypeList(Plc, WrRow())), QStringList{});
    EXPECT_EQ(Window->CurrentList(), Window->PlcList(Plc));

    THitachiLocation& wr = Use("PLC1.WR0010");
    EXPECT_EQ(wr.RefCount, 2);
    Window->Refresh();
    EXPECT_EQ(Captions(Window->PlcList(Plc)), (QStringList{"DR0010", "WR0010"}));
    EXPECT_EQ(Captions(Window->TypeList(Plc, WrRow())), (QStringList{"WR0010"}));
    EXPECT_EQ(Row("Number of monitored PLC locations"), "2");

    // Let go of the direct use: the row goes again, the double word stays.
    wr.Release();
    Window->Refresh();
    EXPECT_EQ(Captions(Window->PlcList(Plc)), (QStringList{"DR0010"}));
    EXPECT_EQ(dr.DisplayRows[SlotPlc], Window->PlcList(Plc)->Row(0));
}

TEST_F(MonitorListTest, AtMostOneHundredRowChangesPerRefresh) {
    Window->Tree()->setCurrentItem(Window->PlcNode(Plc));
    std::vector<THitachiLocation*> used;
    for (int i = 0; i < 250; ++i) {
        char id[32];
        std::snprintf(id, sizeof id, "PLC1.WR%04X", i);
        used.push_back(&Use(id));
    }
    Window->Refresh();
    EXPECT_EQ(Window->PlcList(Plc)->RowCount(), 100);
    Window->Refresh();
    EXPECT_EQ(Window->PlcList(Plc)->RowCount(), 200);
    Window->Refresh();
    EXPECT_EQ(Window->PlcList(Plc)->RowCount(), 250);
    EXPECT_EQ(Window->TypeList(Plc, WrRow())->RowCount(), 250);
    // Counting is not limited: every location counts at once.
    EXPECT_EQ(Row("Number of monitored PLC locations"), "250");

    for (THitachiLocation* location : used) location->Release();
    Window->Refresh();
    EXPECT_EQ(Window->PlcList(Plc)->RowCount(), 150);
    Window->Refresh();
    Window->Refresh();
    EXPECT_EQ(Window->PlcList(Plc)->RowCount(), 0);
    EXPECT_EQ(Window->TypeList(Plc, WrRow())->RowCount(), 0);
}

TEST_F(MonitorListTest, VisibleRowsShowValuesInTheChosenView) {
    THitachiLocation& wr = Use("PLC1.WR0001");
    Window->Tree()->setCurrentItem(Window->PlcNode(Plc));
    Window->Refresh();
    wr.StoreReadValue(65535, T.Platform.Clock.Now());
    Window->Refresh();
    TMonitorRow* row = Window->PlcList(Plc)->Row(0);
    ASSERT_NE(row, nullptr);
    EXPECT_EQ(row->text(1), "65535");
    EXPECT_EQ(row->text(2), "Integer");
    EXPECT_FALSE(row->text(4).isEmpty());

    row->setSelected(true);
    EXPECT_TRUE(Window->Action("acViewAsHex")->isEnabled());
    EXPECT_FALSE(Window->Action("acViewAsFloatingPoint")->isEnabled()); // a word
    EXPECT_FALSE(Window->Action("acDelMonLocation")->isEnabled());      // not the local list
    EXPECT_TRUE(Window->Action("acViewAsDec")->isChecked());
    Window->Action("acViewAsSignedDec")->trigger();
    Window->Refresh();
    EXPECT_EQ(row->text(1), "-1");
    Window->Action("acViewAsHex")->trigger();
    Window->Refresh();
    EXPECT_EQ(row->text(1), "HFFFF");
    EXPECT_TRUE(Window->Action("acViewAsHex")->isChecked());
    // The memory-type list shows the same location in the same view.
    Window->Tree()->setCurrentItem(Window->PlcNode(Plc)->child(WrRow()));
    Window->Refresh();
    EXPECT_EQ(Window->TypeList(Plc, WrRow())->Row(0)->text(1), "HFFFF");
}

TEST_F(MonitorListTest, LocalListCaptionsDeleteAndRename) {
    THitachiLocation& a = Use("PLC1.WR0001");
    THitachiLocation& b = Use("PLC1.WR0002");
    THitachiLocation& c = Use("PLC1.WR0003");
    for (THitachiLocation* location : {&c, &a, &b}) Window->AddToLocalMonitor(*location);
    Window->Tree()->setCurrentItem(Window->LocalMonitorNode());
    EXPECT_EQ(Window->CurrentList(), Window->LocalList());
    EXPECT_EQ(Captions(Window->LocalList()), (QStringList{"PLC1.WR0001", "PLC1.WR0002", "PLC1.WR0003"}));
    EXPECT_EQ(Row("Monitored addresses"), "3");
    EXPECT_EQ(c.RefCount, 2);

    // Deleting the last row selects the new last row.
    Window->LocalList()->Row(2)->setSelected(true);
    EXPECT_TRUE(Window->Action("acDelMonLocation")->isEnabled());
    Window->Action("acDelMonLocation")->trigger();
    EXPECT_EQ(Captions(Window->LocalList()), (QStringList{"PLC1.WR0001", "PLC1.WR0002"}));
    EXPECT_EQ(c.RefCount, 1);
    EXPECT_EQ(c.DisplayRows[SlotLocal], nullptr);
    ASSERT_EQ(Window->SelectedLocations().size(), 1u);
    EXPECT_EQ(Window->SelectedLocations()[0], &b);
    EXPECT_EQ(Row("Monitored addresses"), "2");

    // A renamed PLC shows its new name after the next refresh.
    Plc->Name = "Press";
    Plc->RenameRefresh = true;
    Window->Refresh();
    EXPECT_EQ(Captions(Window->LocalList()), (QStringList{"Press.WR0001", "Press.WR0002"}));
    EXPECT_FALSE(Plc->RenameRefresh);

    // Deleting everything leaves nothing selected and releases only the row's reference.
    Window->Action("acSelAll")->trigger();
    Window->Action("acDelMonLocation")->trigger();
    EXPECT_EQ(Window->LocalList()->RowCount(), 0);
    EXPECT_EQ(a.RefCount, 1);
    EXPECT_EQ(b.RefCount, 1);
    EXPECT_TRUE(Window->SelectedLocations().empty());
}

TEST_F(MonitorListTest, SelectAllFollowsRowsAddedToTheShownList) {
    Window->Tree()->setCurrentItem(Window->PlcNode(Plc));
    EXPECT_FALSE(Window->Action("acSelAll")->isEnabled());
    // A client's items appear in the shown list: "Select all" is offered at once.
    Use("PLC1.WR0001");
    Use("PLC1.WR0002");
    Window->Refresh();
    QApplication::processEvents();
    EXPECT_TRUE(Window->Action("acSelAll")->isEnabled());
    Window->Action("acSelAll")->trigger();
    EXPECT_EQ(Window->SelectedLocations().size(), 2u);
}

TEST_F(MonitorListTest, KeypadEnterOpensSetValueAndTheListMenuSaysAdd) {
    Window->AddToLocalMonitor(Use("PLC1.WR0005"));
    Window->Tree()->setCurrentItem(Window->LocalMonitorNode());
    Window->LocalList()->Row(0)->setSelected(true);
    Window->activateWindow();
    Window->LocalList()->setFocus();
    ASSERT_TRUE(QTest::qWaitForWindowActive(Window.get()));
    int opened = 0;
    Window->SetValueRequested = [&](THitachiLocation&, const std::vector<THitachiLocation*>&) { ++opened; };
    QTest::keyClick(Window->LocalList(), Qt::Key_Return);
    QTest::keyClick(Window->LocalList(), Qt::Key_Enter, Qt::KeypadModifier);
    EXPECT_EQ(opened, 2);

    QAction* add = Window->Action("pmMonitorMenu.Add");
    EXPECT_EQ(add->text(), "Add");
    EXPECT_EQ(Window->Action("acAddMonLocation")->text(), "Add to monitor list");
    int adds = 0;
    Window->AddLocationRequested = [&] { ++adds; };
    add->trigger();
    QTest::keyClick(Window->LocalList(), Qt::Key_Insert);
    EXPECT_EQ(adds, 2); // Ins reaches the one action once
}

TEST_F(MonitorListTest, FocusSelectsTheFirstRow) {
    Window->AddToLocalMonitor(Use("PLC1.WR0005"));
    Window->AddToLocalMonitor(Use("PLC1.WR0004"));
    Window->Tree()->setCurrentItem(Window->LocalMonitorNode());
    EXPECT_FALSE(Window->Action("acSetValMonLocation")->isEnabled());
    QFocusEvent focus(QEvent::FocusIn, Qt::TabFocusReason);
    QCoreApplication::sendEvent(Window->LocalList(), &focus);
    ASSERT_EQ(Window->SelectedLocations().size(), 1u);
    EXPECT_EQ(Window->SelectedLocations()[0]->LocationName(), "WR0004");
    EXPECT_TRUE(Window->Action("acSetValMonLocation")->isEnabled());

    std::vector<THitachiLocation*> targets;
    Window->SetValueRequested = [&](THitachiLocation&, const std::vector<THitachiLocation*>& all) {
        targets = all;
    };
    Window->Action("acSelAll")->trigger();
    Window->Action("acSetValMonLocation")->trigger();
    EXPECT_EQ(targets.size(), 2u);
}

TEST_F(MonitorListTest, ColumnWidthsFollowTheOperator) {
    Window->Tree()->setCurrentItem(Window->PlcNode(Plc));
    EXPECT_EQ(Window->CurrentList()->columnWidth(0), 140);
    Window->CurrentList()->setColumnWidth(0, 211);
    Window->CurrentList()->setColumnWidth(3, 97);
    Window->Tree()->setCurrentItem(Window->LocalMonitorNode());
    EXPECT_EQ(Window->LocalList()->columnWidth(0), 211);
    EXPECT_EQ(Window->LocalList()->columnWidth(3), 97);
    Window->Tree()->setCurrentItem(Window->ServerNode());
    EXPECT_EQ(Window->CurrentList(), nullptr);
}

TEST_F(MonitorListTest, FreedLocationsLeaveNoDanglingRows) {
    THitachiLocation& dr = Use("PLC1.DR0020");
    Window->AddToLocalMonitor(Use("PLC1.WR0030"));
    Window->Tree()->setCurrentItem(Window->PlcNode(Plc));
    Window->Refresh();
    ASSERT_EQ(Window->PlcList(Plc)->RowCount(), 2);
    // A double word nobody uses any more is freed at the end of a read pass, row or not.
    dr.Release();
    EXPECT_EQ(Plc->Monitored.PurgeUnused(), 2); // the double word and its low half
    ASSERT_EQ(Plc->Monitored.Count(), 2);       // WR0021 waits for the next purge
    Window->Refresh();
    EXPECT_EQ(Captions(Window->PlcList(Plc)), (QStringList{"WR0030"}));

    // Deleting the PLC takes its lists and local rows along.
    Window->Tree()->setCurrentItem(Window->LocalMonitorNode());
    PLCs.DeletePLC(0);
    Window->Refresh();
    EXPECT_EQ(Window->LocalList()->RowCount(), 0);
    EXPECT_EQ(Window->PlcList(Plc), nullptr);
}

} // namespace
} // namespace dravon
