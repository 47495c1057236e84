// From the operator's dialogs to the PLC and back, over the Qt seams: a TCP PLC configured in
// the dialog on a loopback simulator is polled; its WR0/5 added to the local
// monitor list show the simulator's values; a value set in the dialog reaches its memory.
#include "PlcSimulator.h"
#include "WidgetSuite.h"
#include "integration/LoopbackServer.h"

#include "comm/TcpDriver.h"
#include "platform/QtHostResolver.h"
#include "plc/HitachiLocation.h"
#include "ui/AddMonitorDialog.h"
#include "ui/ConfigDialog.h"
#include "ui/MonitorList.h"
#include "ui/NumberEdit.h"
#include "ui/PlcListFrame.h"
#include "ui/SetValueDialog.h"

#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>

namespace dravon {
namespace {

using test::SpinUntil;

class EndToEndTest : public test::TWidgetSuite {};

TEST_F(EndToEndTest, ConfiguredMonitoredAndSetThroughTheDialogs) {
    TSimTransportConfig tcp; // TCP
    tcp.Port = 0;
    TPlcSimulator sim({tcp});
    std::string error;
    ASSERT_TRUE(sim.Start(&error)) << error;
    constexpr std::uint8_t WR = 10;
    for (std::uint32_t a = 0; a < 5; ++a) sim.SetValue(0, WR, a, static_cast<std::uint16_t>(0x1100 + a));

    // The server's PLC list and communication manager over the Qt seams.
    auto server = std::make_unique<test::TLoopbackServer>();
    TQtHostResolver resolver;
    server->Context.Resolver = &resolver;
    TPLCCollection& plcs = server->PLCs();
    TPositions positions;
    auto window = std::make_unique<TfrmMain>(server->Context, positions);
    QStringList errors;

    // "Configuration": a row added, TCP chosen, loopback typed before OK (the default host
    // must never reach a live driver).
    TfrmConfig& config = window->ConfigDialog();
    config.ShowErrorMessage = [&](const QString& text) { errors << text; };
    config.show();
    config.PlcList()->AddButton()->click();
    ASSERT_EQ(config.PlcList()->CellCount(), 1);
    TPLCCell& cell = *config.PlcList()->Cell(0);
    cell.edName->setText("Line");
    cell.cbConnection->setCurrentIndex(CellTcp);
    emit cell.cbConnection->activated(CellTcp);
    cell.edHost->setText("127.0.0.1");
    cell.edPort->SetValue(sim.Port(0));
    config.OkButton()->click();
    ASSERT_EQ(errors, QStringList{});
    ASSERT_EQ(plcs.Count(), 1);
    THitachiPLC& plc = plcs.PLCByIndex(0);
    EXPECT_EQ(std::pair(plc.Name, int(plc.ProtocolType)),
              std::pair(std::string("Line"), int(ProtocolEthernet)));
    ASSERT_NE(dynamic_cast<TTcpDriver*>(plc.Driver), nullptr);

    // "Add to monitor list" with the run in the address field and the count field at 0.
    window->show();
    window->Refresh();
    window->Tree()->setCurrentItem(window->LocalMonitorNode());
    TfrmAddMonitorVar& add = window->AddMonitorDialog();
    add.ShowErrorMessage = [&](const QString& text) { errors << text; };
    add.AddressEdit()->setText("line.wr9"); // the dialog opens with an empty address
    QTimer::singleShot(0, &add, [&] {
        EXPECT_EQ(add.AddressEdit()->text() + "|" + add.CountEdit()->text(), "|1");
        add.AddressEdit()->setText("line.wr0/5");
        add.CountEdit()->setText("0");
        add.OkButton()->click();
    });
    window->Action("acAddMonLocation")->trigger();
    EXPECT_EQ(std::pair(add.isVisible(), errors), std::pair(false, QStringList{}));
    TMonitorList* local = window->LocalList();
    ASSERT_EQ(local->RowCount(), 5);
    auto valuesShown = [&] {
        window->Refresh();
        for (int i = 0; i < 5; ++i)
            if (local->Row(i)->text(1) != QString::number(0x1100 + i)) return false;
        return true;
    };
    ASSERT_TRUE(SpinUntil(valuesShown)) << local->Row(0)->text(1).toStdString();
    EXPECT_EQ(local->Row(2)->text(0) + " " + local->Row(2)->text(3), "Line.WR0002 GOOD");
    // A group's next update period asks for a location again.
    THitachiLocation& wr4 = *local->Row(4)->Location();
    sim.SetValue(0, WR, 4, 0x0042);
    wr4.ReadRequested = true;
    ASSERT_TRUE(SpinUntil([&] { return wr4.GetValue() == 0x0042u; }));

    // "Set value" on the third row: H2A5A reaches the simulator's WR0002.
    local->clearSelection();
    local->Row(2)->setSelected(true);
    TfrmEnterVal& set = window->SetValueDialog();
    set.ShowErrorMessage = [&](const QString& text) { errors << text; };
    QTimer::singleShot(0, &set, [&] {
        EXPECT_EQ(set.windowTitle(), "Set value for WR0002");
        set.ValueEdit()->setText("H2A5A");
        set.OkButton()->click();
    });
    window->Action("acSetValMonLocation")->trigger();
    EXPECT_EQ(std::pair(set.isVisible(), errors), std::pair(false, QStringList{}));
    ASSERT_TRUE(SpinUntil([&] { return sim.Value(0, WR, 2) == 0x2A5A; }));
    EXPECT_EQ(sim.Value(0, WR, 1) + (sim.Value(0, WR, 3) << 16), 0x11031101);
    // The list keeps showing the written value once the PLC has confirmed it.
    ASSERT_TRUE(SpinUntil([&] {
        window->Refresh();
        return local->Row(2)->text(1) == QString::number(0x2A5A);
    }));

    config.hide();
    window.reset();
    server.reset();
    test::FlushDeferredDeletes();
}

} // namespace
} // namespace dravon
