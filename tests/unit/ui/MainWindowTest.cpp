#include "ui/MainWindow.h"
#include "WidgetSuite.h"
#include "app/CommandLine.h"
#include "app/MemoryStore.h"
#include "app/TimeDate.h"
#include "comm/UdpDriver.h"
#include "plc/HitachiLocation.h"
#include "plc/MemoryTypes.h"
#include "server/ServerCore.h"
#include "support/FakeTransports.h"

#include <QAbstractEventDispatcher>
#include <QAction>
#include <QFocusEvent>
#include <QHelpEvent>
#include <QLabel>
#include <QMenu>
#include <QSystemTrayIcon>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>

#include <algorithm>
#include <tuple>

namespace dravon {
namespace {

using test::SpinUntil;

class MainWindowTest : public test::TWindowTest {
protected:
    QStringList TopTexts() const {
        QStringList texts;
        for (int i = 0; i < Window->Tree()->topLevelItemCount(); ++i)
            texts << Window->Tree()->topLevelItem(i)->text(0);
        return texts;
    }
    // The info box's caption and its rows' captions.
    QStringList InfoCaptions() const {
        QStringList captions{Window->InfoCaption()};
        for (const auto& [c, v] : Window->InfoRows()) captions << c;
        return captions;
    }
    QString Row(const QString& caption) const {
        for (const auto& [c, v] : Window->InfoRows())
            if (c == caption) return v;
        return "<missing>";
    }
    // The status line after n drawing ticks.
    QString Ticks(int n) {
        for (int i = 0; i < n; ++i) Window->Refresh();
        return Window->StatusText();
    }
    void Select(QTreeWidgetItem* node) { Window->Tree()->setCurrentItem(node); }
    bool Enabled(const char* action) const { return Window->Action(action)->isEnabled(); }
};

TEST_F(MainWindowTest, TreeFollowsThePlcListAndTheSelectionSwitchesTheInfoBox) {
    EXPECT_EQ(TopTexts(), (QStringList{"Dravon", "Local monitor"}));
    THitachiPLC& first = AddPlc();
    AddPlc();
    Window->Refresh();
    EXPECT_EQ(TopTexts(), (QStringList{"Dravon", "PLC1", "PLC2", "Local monitor"}));
    QTreeWidgetItem* node = Window->PlcNode(&first);
    ASSERT_EQ(node->childCount(), 26);
    EXPECT_EQ(node->child(0)->text(0) + node->child(1)->text(0) + node->child(25)->text(0), "XWXWEY");
    EXPECT_TRUE(Window->ServerNode()->isExpanded());

    Select(Window->LocalMonitorNode());
    EXPECT_EQ(InfoCaptions(), (QStringList{"Monitor", "Monitored addresses"}));
    EXPECT_TRUE(Window->findChild<QTreeWidget*>("lwServerProperties")->isHidden());
    Select(node);
    EXPECT_EQ(std::tuple(InfoCaptions().first(), InfoCaptions().size(), Row("Name"), Window->SelectedPLC()),
              std::tuple(QString("PLC info"), 12, QString("PLC1"), &first));
    EXPECT_TRUE(Enabled("acResetMaxTimes") && Enabled("acResetLastError"));
    Select(Window->ServerNode());
    EXPECT_EQ(InfoCaptions(), (QStringList{"Server info", "Server started at", "Server uptime",
                                           "Total number of monitored PLC locations", "Clients connected"}));
    EXPECT_FALSE(Enabled("acResetMaxTimes") || Enabled("acResetLastError") ||
                 Window->findChild<QTreeWidget*>("lwServerProperties")->isHidden());

    first.Name = "Press";
    Window->Refresh();
    EXPECT_EQ(TopTexts(), (QStringList{"Dravon", "Press", "PLC2", "Local monitor"}));
    EXPECT_EQ(Window->PlcNode(&first), node); // renamed in place

    // The selected PLC disappears: the selection moves to the server node.
    Select(node->child(3));
    EXPECT_EQ(Window->SelectedPLC(), &first);
    PLCs.DeletePLC(0);
    Window->Refresh();
    EXPECT_EQ(std::tuple(TopTexts(), Window->SelectedPLC(), Window->InfoCaption()),
              std::tuple(QStringList{"Dravon", "PLC2", "Local monitor"}, nullptr, QString("Server info")));
}

TEST_F(MainWindowTest, LampsLightForTheFramesOfTheSelectedPlcOnly) {
    THitachiPLC& one = AddPlc();
    THitachiPLC& two = AddPlc(nullptr, DriverTcp, "127.0.0.2");
    THitachiPLC& none = AddPlc(nullptr, DriverNone);
    Window->Refresh();
    Window->show();
    Select(Window->PlcNode(&one));
    EXPECT_EQ(std::pair(Window->LampsVisible(), Window->IndicationText()), std::pair(true, QString("TCP:")));

    // A real driver (the pool here is a stand-in) sends a read for a PLC and takes its answer.
    test::TFakeTransportFactory transports;
    T.Context.Transports = &transports;
    TUdpDriver driver(
        T.Context, {.Kind = DriverUdp, .Address = "127.0.0.1", .Port = 3004, .Protocol = ProtocolEthernet});
    auto request = [&](THitachiPLC& plc) {
        THitachiLocation* location = PLCs.ResolveItemId(plc.Name + ".WR0010").Location;
        location->ReadRequested = true;
        driver.AddRead(*location);
        driver.SendRead(plc);
    };
    auto answer = [&](THitachiPLC& plc) {
        driver.CurrentPLC = &plc;
        const auto sequence = static_cast<std::uint8_t>(driver.Sequence);
        driver.ProcessResponse(
            std::vector<std::uint8_t>{0x00, sequence, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0xA4, 0, 1});
    };
    auto lamps = [&] { return QString(Window->TxLit() ? "Tx" : "-") + (Window->RxLit() ? "Rx" : "-"); };
    request(two);
    answer(two);
    EXPECT_EQ(lamps(), "--");
    request(one);
    EXPECT_EQ(lamps(), "Tx-");
    answer(one);
    EXPECT_EQ(lamps(), "TxRx");
    // Each stays lit 100 ms.
    const auto timers = Window->findChildren<QTimer*>();
    EXPECT_EQ(
        std::count_if(timers.begin(), timers.end(),
                      [](QTimer* t) { return t->isActive() && t->isSingleShot() && t->interval() == 100; }),
        2);
    // The fall-back timers put both lamps out again.
    EXPECT_TRUE(SpinUntil([&] { return lamps() == "--"; }));
    // Lit for one PLC, put out at once when another is chosen.
    request(one);
    answer(one);
    Select(Window->PlcNode(&two));
    EXPECT_EQ(lamps(), "--");
    Select(Window->PlcNode(&one));

    // A hidden window is not told of frames at all.
    Window->hide();
    EXPECT_EQ(T.Context.LampPLC, nullptr);
    request(one);
    EXPECT_EQ(lamps(), "--");
    Window->show();
    EXPECT_EQ(T.Context.LampPLC, &one);

    // A PLC without a connection has neither lamps nor a connection text.
    Select(Window->PlcNode(&none));
    EXPECT_EQ(std::pair(Window->LampsVisible(), Window->IndicationText()), std::pair(false, QString()));
    answer(one);
    request(one);
    EXPECT_EQ(lamps(), "--");
    Window->hide();
}

TEST_F(MainWindowTest, UptimeAndStartTexts) {
    const TDateTime start = T.Platform.Clock.Now();
    AddPlc();
    Use("PLC1.DR0010"); // its two words count, the double word itself does not
    // The start, the up-time, the monitored locations and the clients.
    auto rows = [&] {
        return Row("Server started at") + "|" + Row("Server uptime") + "|" +
               Row("Total number of monitored PLC locations") + "|" + Row("Clients connected");
    };
    T.Platform.Clock.Step(3723000);
    Window->Refresh();
    EXPECT_EQ(rows(), QString::fromStdString(TimeText(start) + "|01:02:03|2|0"));

    // The next day the start text carries its date, without a restart.
    T.Platform.Clock.Step(86400000);
    Window->ClientsConnected = [] { return 3; };
    Window->Refresh();
    EXPECT_EQ(rows(),
              QString::fromStdString(TimeText(start) + "  " + DateText(start) + "|1 days, 01:02:03|2|3"));
}

TEST_F(MainWindowTest, SlowDownDrawsEveryFourthTickAndStatusMessagesStaySeventeenTicks) {
    // Slowed down, the drawing runs on every fourth tick.
    T.Context.Settings.SlowDownVisual = true;
    Window->Refresh(); // the first tick draws
    AddPlc();
    Window->ShowStatusMessage("slow");
    Ticks(3);
    EXPECT_EQ(TopTexts(), (QStringList{"Dravon", "Local monitor"}));
    Ticks(1);
    EXPECT_EQ(TopTexts(), (QStringList{"Dravon", "PLC1", "Local monitor"}));
    // The message runs out after 17 ticks and is cleared by the next drawing tick (the 20th).
    EXPECT_EQ((QStringList{Ticks(15), Ticks(1)}), (QStringList{"slow", ""}));
    T.Context.Settings.SlowDownVisual = false;

    Window->showMinimized();
    ASSERT_TRUE(Window->isMinimized());
    AddPlc();
    T.Platform.Clock.Step(600);
    Window->Refresh();
    EXPECT_EQ(TopTexts().size(), 3);
    EXPECT_EQ(Window->UpTimeMs(), 600u); // counted while minimised
    Window->showNormal();
    Window->Refresh();
    EXPECT_EQ(TopTexts(), (QStringList{"Dravon", "PLC1", "PLC2", "Local monitor"}));

    // Not slowed down: a status message stays 17 ticks and goes with the 18th.
    T.Log.Add("PLC1 is not responding", true);
    EXPECT_TRUE(Window->LogText().contains("PLC1 is not responding"));
    EXPECT_EQ((QStringList{Ticks(0), Ticks(16)}), QStringList(2, "PLC1 is not responding"));
    Window->ShowStatusMessage("again"); // restarts the countdown
    EXPECT_EQ((QStringList{Ticks(17), Ticks(1)}), (QStringList{"again", ""}));
}

TEST_F(MainWindowTest, ClearLogAndResetActions) {
    THitachiPLC& plc = AddPlc();
    plc.BusyLogged = true;
    T.Log.Add("line one", false);
    ASSERT_FALSE(Window->LogText().isEmpty());
    Window->Action("ClearLogwindow1")->trigger();
    EXPECT_EQ(std::tuple(Window->LogText(), T.Log.MemoLines().empty(), plc.BusyLogged),
              std::tuple(QString(), true, false));

    Window->Refresh();
    std::tie(plc.MaxComCycle, plc.MaxComCyclePercent, plc.MaxResponseTime, plc.LastErrorCode) =
        std::tuple(250, 80, 40, 7);
    plc.LastErrorAt = T.Platform.Clock.Now();
    Select(Window->PlcNode(&plc));
    Window->Action("acResetMaxTimes")->trigger();
    EXPECT_EQ(std::tuple(plc.MaxComCycle, plc.MaxComCyclePercent, plc.MaxResponseTime,
                         Row("Maximum communication cycle")),
              std::tuple(0, -1, 0, QString("0ms")));
    Window->Action("acResetLastError")->trigger();
    EXPECT_EQ(std::tuple(plc.LastErrorCode, plc.LastErrorAt, Row("Last error response")),
              std::tuple(0, TDateTime(0), QString("-")));
}

TEST_F(MainWindowTest, ClosingHidesToTheTrayAndOnlyTheShutDownCommandEnds) {
    // Tray icon setting, tray on the desktop, shut-down command, clients, the answer to the exit
    // question; whether the server ended, how often it asked, the window visible and minimised.
    const std::tuple<const char*, bool, bool, bool, int, bool, bool, int, bool, bool> cases[] = {
        {"close with the tray icon on", true, true, false, 1, true, false, 0, false, false},
        // Nothing to click in a tray that is not there: the window stays on the task bar.
        {"close, no tray on the desktop", true, false, false, 0, true, false, 0, true, true},
        {"close with the tray icon off", false, true, false, 0, true, true, 0, false, false},
        {"close with the tray icon off, client, No", false, true, false, 1, false, false, 1, true, false},
        {"shut-down command", true, true, true, 0, true, true, 0, false, false},
        {"shut-down command, client, No", true, true, true, 1, false, false, 1, true, false},
        {"shut-down command, client, Yes", true, true, true, 1, true, true, 1, false, false},
    };
    for (const auto& [name, trayIcon, tray, command, clients, answer, ends, asks, visible, minimised] :
         cases) {
        SCOPED_TRACE(name);
        T.Context.Settings.ShowTrayIcon = trayIcon;
        TfrmMain window(T.Context, Positions);
        window.SystemTrayAvailable = [&] { return tray; };
        window.ClientsConnected = [&] { return clients; };
        int asked = 0;
        bool ended = false;
        window.AskExit = [&](const QString& text) {
            EXPECT_EQ(text, "Clients connected to OPC server. Do you want to exit?");
            ++asked;
            return answer;
        };
        window.CloseAccepted = [&] { ended = true; };
        window.show();
        if (command)
            window.Action("acServerShutDown")->trigger();
        else
            window.close(); // the window's close button
        EXPECT_EQ(std::tuple(ended, asked, window.isVisible(), window.isMinimized()),
                  std::tuple(ends, asks, visible, minimised));
        if (ends) continue;
        // Double-click on the tray icon (or a second start) brings it back.
        emit window.Tray()->activated(QSystemTrayIcon::DoubleClick);
        EXPECT_TRUE(window.isVisible() && !window.isMinimized());
        // Closed again: a refused shut-down command is forgotten, only a window without tray icon asks.
        window.close();
        EXPECT_EQ(asked, asks + (trayIcon ? 0 : 1));
    }
}

TEST_F(MainWindowTest, StartUpAppliesTheStoredTrayIconAndWindowState) {
    // The stored tray icon switch and window state, started by a client; then whether the tray
    // icon and the window show, minimised or not, and whether a second start shows the window.
    const std::tuple<const char*, bool, int, bool, bool, bool, bool, bool> cases[] = {
        {"tray icon off, saved minimised", false, 1, false, false, true, true, true},
        {"tray icon on, saved normal", true, 0, false, true, true, false, true},
        // A client's server without tray icon stays invisible, also for a second start.
        {"client start, tray icon off", false, 0, true, false, false, false, false},
        {"client start, tray icon on", true, 0, true, true, false, false, true},
    };
    for (const auto& [name, storedTrayIcon, storedState, byClient, trayShown, visible, minimised,
                      shownAgain] : cases) {
        SCOPED_TRACE(name);
        TMemoryStore store;
        store.OpenKey(TRootKey::LocalMachine, SettingsKeyPath)->WriteDword("Show tray icon", storedTrayIcon);
        ASSERT_TRUE(SavePositions(store, {.frmState = storedState}, false));
        TCommandLine commandLine;
        commandLine.StartedByClient = commandLine.StartInTray = byClient;
        TServerCore core(
            {&T.Platform.Clock, &T.Platform, &T.Platform, &store, "/nonexistent-dravon-test-dir/"},
            commandLine, "1.0.0.0");
        TfrmMain window(core.Context(), core.Positions());
        window.SystemTrayAvailable = [] { return true; };
        core.AddView(&window);
        core.Startup();
        window.ShowAtStart(byClient, byClient);
        T.Platform.RunPosted();
        EXPECT_EQ(std::tuple(window.Tray()->isVisible(), window.isVisible(), window.isMinimized()),
                  std::tuple(trayShown, visible, minimised));
        core.ShowRequested();
        EXPECT_EQ(window.isVisible(), shownAgain);
        core.RemoveView(&window);
    }
}

TEST_F(MainWindowTest, IconTrayHintStatusLineAndToolTips) {
    // No "No Icon set" when the tray icon shows.
    EXPECT_FALSE(TfrmMain::AppIcon().isNull() || Window->windowIcon().isNull() ||
                 Window->Tray()->icon().isNull());
    QStringList tray{Window->Tray()->toolTip()}; // and its menu
    for (QAction* action : Window->Tray()->contextMenu()->actions()) tray << action->text();
    EXPECT_EQ(tray, (QStringList{"Dravon OPC Data Access Server", "Sho&w Server", "Server S&hutdown"}));
    // The short-cuts of the window's commands.
    QStringList keys{Window->Action("acConfiguration")->text()};
    for (const char* name : {"acServerShutDown", "acResetMaxTimes", "acResetLastError", "acAddMonLocation",
                             "acDelMonLocation", "acConfiguration", "acSelAll"})
        keys << Window->Action(name)->shortcut().toString();
    EXPECT_EQ(keys.join(' '), "&Configuration Ctrl+Alt+F4 Ctrl+R Ctrl+E Ins Del F5 Ctrl+A");

    // The connection's short text is shown whole, also with a long message beside it.
    THitachiPLC& tcp = AddPlc();
    THitachiPLC& udp = AddPlc(nullptr, DriverUdp, "127.0.0.2");
    Window->resize(400, 300);
    Window->show();
    Window->Refresh();
    Window->ShowStatusMessage(QString(200, 'm'));
    for (THitachiPLC* plc : {&tcp, &udp}) {
        Select(Window->PlcNode(plc));
        QApplication::processEvents();
        auto* label = Window->IndicationPanel()->findChild<QLabel*>();
        ASSERT_NE(label, nullptr);
        EXPECT_EQ(label->text(), plc == &tcp ? "TCP:" : "UDP:");
        EXPECT_GE(label->width(), label->fontMetrics().horizontalAdvance(label->text()));
    }

    // Tool tips stay 20 s.
    QWidget* panel = Window->IndicationPanel();
    QHelpEvent help(QEvent::ToolTip, QPoint(2, 2), panel->mapToGlobal(QPoint(2, 2)));
    QApplication::sendEvent(panel, &help);
    QWidget* tip = nullptr;
    for (QWidget* w : QApplication::topLevelWidgets())
        if (w->objectName() == "qtooltip_label" && w->isVisible()) tip = w;
    ASSERT_NE(tip, nullptr);
    const auto timers = QAbstractEventDispatcher::instance()->registeredTimers(tip);
    EXPECT_TRUE(std::any_of(timers.begin(), timers.end(), [](const auto& t) { return t.interval == 20000; }));
}

TEST_F(MainWindowTest, PositionsAreAppliedAndAMaximisedWindowKeepsItsNormalBounds) {
    Positions = {
        .Splitter1W = 180, .Splitter2H = 90, .frmState = 2, .frmW = 700, .frmH = 420, .frmT = 50, .frmL = 40};
    TfrmMain window(T.Context, Positions);
    // State, width, height and splitters as the window stores them.
    auto stored = [&] {
        window.StorePositions();
        return std::vector{Positions.frmState, Positions.frmW, Positions.frmH, Positions.Splitter1W,
                           Positions.Splitter2H};
    };
    window.show(); // maximised, as it was left
    SpinUntil([&] { return window.isMaximized(); }, 500);
    EXPECT_EQ(stored(), (std::vector{2, 700, 420, 180, 90}));
    window.showNormal();
    SpinUntil([&] { return !window.isMaximized(); }, 500);
    EXPECT_EQ(stored(), (std::vector{0, 700, 420, 180, 90}));
}

// --- monitor lists

class MonitorListTest : public MainWindowTest {
protected:
    MonitorListTest() {
        Plc = &AddPlc();
        Window->show();
        Window->Refresh();
    }
    static int WrRow() {
        for (int i = 0; i < MemoryTypeCount; ++i)
            if (std::string(MemoryTypes[i].Name) == "WR") return i;
        return -1;
    }
    // The captions of the PLC's list and of its WR list.
    QString Lists() const {
        return Captions(Window->PlcList(Plc)) + " / " + Captions(Window->TypeList(Plc, WrRow()));
    }
    THitachiPLC* Plc = nullptr;
};

TEST_F(MonitorListTest, HalfOfADoubleWordGetsARowOnlyWhenUsedDirectly) {
    THitachiLocation& dr = Use("PLC1.DR0010");
    Window->AddToLocalMonitor(dr);
    dr.ReadRequested = dr.HighLink->ReadRequested = dr.LowLink->ReadRequested = false; // read once
    // Nobody looked at the PLC yet: no lists, no rows. The local row has both halves read.
    Window->Refresh();
    EXPECT_EQ(Window->PlcList(Plc), nullptr);
    EXPECT_TRUE(dr.ReadRequested && dr.HighLink->ReadRequested && dr.LowLink->ReadRequested);

    Select(Window->PlcNode(Plc));
    EXPECT_FALSE(Enabled("acSelAll")); // an empty list
    Window->Refresh();
    EXPECT_EQ(Lists(), "DR0010 / ");
    EXPECT_EQ(Window->CurrentList(), Window->PlcList(Plc));

    // A client's item appears in the shown list: "Select all" is offered at once.
    THitachiLocation& wr = Use("PLC1.WR0010");
    EXPECT_EQ(wr.RefCount, 2);
    Window->Refresh();
    QApplication::processEvents();
    EXPECT_EQ(Lists(), "DR0010 WR0010 / WR0010");
    EXPECT_EQ(Row("Number of monitored PLC locations"), "2");
    ASSERT_TRUE(Enabled("acSelAll"));
    Window->Action("acSelAll")->trigger();
    EXPECT_EQ(Window->SelectedLocations().size(), 2u);

    // Let go of the direct use: the row goes again, the double word stays.
    wr.Release();
    Window->Refresh();
    EXPECT_EQ(Lists(), "DR0010 / ");
    EXPECT_EQ(dr.DisplayRows[SlotPlc], Window->PlcList(Plc)->Row(0));
}

TEST_F(MonitorListTest, AtMostOneHundredRowChangesPerRefresh) {
    Select(Window->PlcNode(Plc));
    std::vector<THitachiLocation*> used;
    for (int i = 0; i < 250; ++i) used.push_back(&Use(QString::asprintf("PLC1.WR%04X", i).toStdString()));
    auto rows = [&] {
        Window->Refresh();
        return Window->PlcList(Plc)->RowCount();
    };
    EXPECT_EQ((std::vector{rows(), rows(), rows()}), (std::vector{100, 200, 250}));
    EXPECT_EQ(Window->TypeList(Plc, WrRow())->RowCount(), 250);
    // Counting is not limited: every location counts at once.
    EXPECT_EQ(Row("Number of monitored PLC locations"), "250");
    for (THitachiLocation* location : used) location->Release();
    EXPECT_EQ((std::vector{rows(), rows(), rows()}), (std::vector{150, 50, 0}));
    EXPECT_EQ(Window->TypeList(Plc, WrRow())->RowCount(), 0);
}

TEST_F(MonitorListTest, VisibleRowsShowValuesInTheChosenView) {
    THitachiLocation& wr = Use("PLC1.WR0001");
    Select(Window->PlcNode(Plc));
    Window->Refresh();
    // Column widths the operator sets follow to the other lists.
    EXPECT_EQ(Window->CurrentList()->columnWidth(0), 140);
    QTreeWidgetItem* header = Window->CurrentList()->headerItem();
    EXPECT_EQ(
        (QStringList{header->text(0), header->text(1), header->text(2), header->text(3), header->text(4)}),
        (QStringList{"Address", "Value", "Type", "Quality", "Timestamp"}));
    Window->CurrentList()->setColumnWidth(0, 211);
    Window->CurrentList()->setColumnWidth(3, 97);
    wr.StoreReadValue(65535, T.Platform.Clock.Now());
    Window->Refresh();
    TMonitorRow* row = Window->PlcList(Plc)->Row(0);
    ASSERT_NE(row, nullptr);
    EXPECT_EQ(row->text(1) + " " + row->text(2), "65535 Integer");
    EXPECT_FALSE(row->text(4).isEmpty());

    row->setSelected(true);
    // A word in a PLC's list: hexadecimal but no floating point, no deleting; shown in Dec.
    EXPECT_EQ(std::tuple(Enabled("acViewAsHex"), Enabled("acViewAsFloatingPoint"),
                         Enabled("acDelMonLocation"), Window->Action("acViewAsDec")->isChecked()),
              std::tuple(true, false, false, true));
    const std::pair<const char*, const char*> views[] = {{"acViewAsSignedDec", "-1"},
                                                         {"acViewAsHex", "HFFFF"}};
    for (const auto& [action, text] : views) {
        Window->Action(action)->trigger();
        Window->Refresh();
        EXPECT_EQ(row->text(1), text);
        EXPECT_TRUE(Window->Action(action)->isChecked());
    }
    // The memory-type list shows the same location in the same view.
    Select(Window->PlcNode(Plc)->child(WrRow()));
    Window->Refresh();
    EXPECT_EQ(Window->TypeList(Plc, WrRow())->Row(0)->text(1), "HFFFF");
    Select(Window->LocalMonitorNode());
    EXPECT_EQ(std::pair(Window->LocalList()->columnWidth(0), Window->LocalList()->columnWidth(3)),
              std::pair(211, 97));
    Select(Window->ServerNode());
    EXPECT_EQ(Window->CurrentList(), nullptr);
}

TEST_F(MonitorListTest, LocalListCaptionsDeleteAndRename) {
    THitachiLocation &a = Use("PLC1.WR0001"), &b = Use("PLC1.WR0002"), &c = Use("PLC1.WR0003");
    for (THitachiLocation* location : {&c, &a, &b}) Window->AddToLocalMonitor(*location);
    Select(Window->LocalMonitorNode());
    EXPECT_EQ(Window->CurrentList(), Window->LocalList());
    EXPECT_EQ(std::tuple(Captions(Window->LocalList()), Row("Monitored addresses"), c.RefCount),
              std::tuple(QString("PLC1.WR0001 PLC1.WR0002 PLC1.WR0003"), QString("3"), 2));

    // Deleting the last row selects the new last row.
    Window->LocalList()->Row(2)->setSelected(true);
    EXPECT_TRUE(Enabled("acDelMonLocation"));
    Window->Action("acDelMonLocation")->trigger();
    EXPECT_EQ(std::tuple(Captions(Window->LocalList()), c.RefCount, c.DisplayRows[SlotLocal],
                         Window->SelectedLocations(), Row("Monitored addresses")),
              std::tuple(QString("PLC1.WR0001 PLC1.WR0002"), 1, nullptr, std::vector<THitachiLocation*>{&b},
                         QString("2")));

    // A renamed PLC shows its new name after the next refresh.
    Plc->Name = "Press";
    Plc->RenameRefresh = true;
    Window->Refresh();
    EXPECT_EQ(Captions(Window->LocalList()), "Press.WR0001 Press.WR0002");
    EXPECT_FALSE(Plc->RenameRefresh);

    // Deleting everything leaves nothing selected and releases only the row's reference.
    Window->Action("acSelAll")->trigger();
    Window->Action("acDelMonLocation")->trigger();
    EXPECT_EQ(Window->LocalList()->RowCount(), 0);
    EXPECT_EQ(a.RefCount + b.RefCount, 2);
    EXPECT_TRUE(Window->SelectedLocations().empty());
}

TEST_F(MonitorListTest, KeysFocusAndTheListMenus) {
    for (const char* id : {"PLC1.WR0005", "PLC1.WR0004", "PLC1.ComStatus"})
        Window->AddToLocalMonitor(Use(id));
    Select(Window->LocalMonitorNode());
    TMonitorList* list = Window->LocalList();
    EXPECT_FALSE(Enabled("acSetValMonLocation"));
    std::vector<std::size_t> opened;
    Window->SetValueRequested = [&](THitachiLocation&, const std::vector<THitachiLocation*>& all) {
        opened.push_back(all.size());
    };
    // Focus selects the first row: a variable, computed by the server, has no value to set.
    QFocusEvent focus(QEvent::FocusIn, Qt::TabFocusReason);
    QCoreApplication::sendEvent(list, &focus);
    ASSERT_EQ(Window->SelectedLocations().size(), 1u);
    EXPECT_EQ(Window->SelectedLocations()[0]->Name, "ComStatus");
    EXPECT_FALSE(Enabled("acSetValMonLocation"));
    emit list->itemDoubleClicked(list->Row(0), 0);
    list->Row(0)->setSelected(false);
    list->Row(1)->setSelected(true);
    EXPECT_TRUE(Enabled("acSetValMonLocation"));
    emit list->itemDoubleClicked(list->Row(1), 0);

    Window->activateWindow();
    list->setFocus();
    ASSERT_TRUE(QTest::qWaitForWindowActive(Window.get()));
    QTest::keyClick(list, Qt::Key_Return);
    QTest::keyClick(list, Qt::Key_Enter, Qt::KeypadModifier);
    list->Row(2)->setSelected(true);
    EXPECT_FALSE(Window->Action("acViewAsDec")->isChecked()); // two rows: no view is theirs
    Window->Action("acSetValMonLocation")->trigger();
    EXPECT_EQ(opened, (std::vector<std::size_t>{1, 1, 1, 2}));

    // The local list's menu says "Add" (Ins stays the window's); a PLC's list offers the value first.
    auto menu = [](TMonitorList* of) {
        emit of->customContextMenuRequested(QPoint(2, 2));
        QWidget* popup = QApplication::activePopupWidget();
        if (popup) popup->close();
        return popup && !popup->actions().isEmpty() ? popup->actions().first() : nullptr;
    };
    QAction* add = menu(list);
    ASSERT_NE(add, nullptr);
    EXPECT_EQ(add->text() + "|" + Window->Action("acAddMonLocation")->text(), "Add|Add to monitor list");
    int adds = 0;
    Window->AddLocationRequested = [&] { ++adds; };
    add->trigger();
    QTest::keyClick(list, Qt::Key_Insert);
    EXPECT_EQ(adds, 2); // Ins reaches the one action once
    Select(Window->PlcNode(Plc));
    QAction* set = menu(Window->PlcList(Plc));
    EXPECT_EQ(set ? set->text() : QString(), "&Set value");
}

TEST_F(MonitorListTest, FreedLocationsLeaveNoDanglingRows) {
    THitachiLocation& dr = Use("PLC1.DR0020");
    Window->AddToLocalMonitor(Use("PLC1.WR0030"));
    Select(Window->PlcNode(Plc));
    Window->Refresh();
    ASSERT_EQ(Window->PlcList(Plc)->RowCount(), 2);
    // A double word nobody uses any more is freed at the end of a read pass, row or not.
    dr.Release();
    EXPECT_EQ(Plc->Monitored.PurgeUnused(), 2); // the double word and its low half
    ASSERT_EQ(Plc->Monitored.Count(), 2);       // WR0021 waits for the next purge
    Window->Refresh();
    EXPECT_EQ(Captions(Window->PlcList(Plc)), "WR0030");

    // Deleting the PLC takes its lists and local rows along.
    Select(Window->LocalMonitorNode());
    PLCs.DeletePLC(0);
    Window->Refresh();
    EXPECT_EQ(Window->LocalList()->RowCount(), 0);
    EXPECT_EQ(Window->PlcList(Plc), nullptr);
}

} // namespace
} // namespace dravon
