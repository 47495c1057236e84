// The configuration dialog as the operator drives it: typed keys, chosen list entries,
// clicked check boxes and buttons, and what OK leaves in the PLC list, the settings and
// the store.
#include "ui/ConfigDialog.h"
#include "app/FileStore.h"
#include "app/KeyValueStore.h"
#include "app/Settings.h"
#include "comm/SerialDevicePath.h"
#include "plc/HitachiLocation.h"
#include "plc/HitachiPLC.h"
#include "plc/PLCCollection.h"
#include "support/FakeDriverPool.h"
#include "support/FakeHostResolver.h"
#include "support/TestContext.h"
#include "ui/MainWindow.h"
#include "ui/MqttPage.h"
#include "ui/NumberEdit.h"
#include "ui/PlcListFrame.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QFrame>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPushButton>
#include <QSystemTrayIcon>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTreeWidgetItem>

#include <gtest/gtest.h>

#include <memory>

namespace dravon {
namespace {

class ConfigDialogTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        static int argc = 1;
        static char name[] = "dravon-config-test";
        static char* argv[] = {name, nullptr};
        if (!QApplication::instance()) App() = std::make_unique<QApplication>(argc, argv);
    }
    static void TearDownTestSuite() { App().reset(); }
    static std::unique_ptr<QApplication>& App() {
        static std::unique_ptr<QApplication> app;
        return app;
    }

    ConfigDialogTest() {
        T.Context.Resolver = &Resolver;
        T.Context.PLCs = &PLCs;
        PLCs.SetDriverPool(&Pool);
        Window = std::make_unique<TfrmMain>(T.Context, Positions);
        Dialog = &Window->ConfigDialog();
        Dialog->ShowErrorMessage = [this](const QString& text) { Errors << text; };
    }
    ~ConfigDialogTest() override {
        Dialog->hide();
        Window.reset();
    }

    // A PLC on loopback, so that no fake driver points at the default host either.
    THitachiPLC& AddPlc(const std::string& name, int drvType = DriverTcp) {
        THitachiPLC& plc = PLCs.AddPLC();
        plc.Name = name;
        plc.SetHost("127.0.0.1");
        plc.SetConnection(drvType, drvType == DriverSerial ? ProtocolStandard
                                   : drvType               ? ProtocolEthernet
                                                           : 0);
        return plc;
    }
    void Open() {
        Dialog->hide();
        Dialog->show();
    }
    TfPlcList& List() { return *Dialog->PlcList(); }
    TPLCCell& Cell(int index) {
        TPLCCell* cell = List().Cell(index);
        EXPECT_NE(cell, nullptr);
        return *cell;
    }
    static void Type(QWidget* widget, const QString& keys) {
        for (QChar c : keys) {
            QKeyEvent press(QEvent::KeyPress, 0, Qt::NoModifier, QString(c));
            QApplication::sendEvent(widget, &press);
        }
    }
    static void Backspace(QWidget* widget) {
        QKeyEvent press(QEvent::KeyPress, Qt::Key_Backspace, Qt::NoModifier, QString(QChar(8)));
        QApplication::sendEvent(widget, &press);
    }
    // Chosen by the operator (the couplings follow the operator, not the program).
    static void Choose(QComboBox* box, int index) {
        box->setCurrentIndex(index);
        emit box->activated(index);
    }
    // The field emptied and the keys typed into it.
    static void Retype(TumNumberEdit* edit, const QString& keys) {
        edit->clear();
        Type(edit, keys);
    }
    TSettings StoredSettings() {
        TSettings stored;
        LoadConfigurationFromRegistry(T.Store, stored);
        return stored;
    }

    test::TTestContext T;
    test::TFakeHostResolver Resolver;
    test::TFakeDriverPool Pool;
    TPLCCollection PLCs{T.Context};
    TPositions Positions;
    std::unique_ptr<TfrmMain> Window;
    TfrmConfig* Dialog = nullptr;
    QStringList Errors;
};

TEST_F(ConfigDialogTest, NumberFieldsTakeOnlyDigitsWithinTheirLimits) {
    Open();
    TumNumberEdit* usage = Dialog->NumberField("edMinBlockUsage");
    ASSERT_NE(usage, nullptr);
    Retype(usage, "1a0-1 x");
    EXPECT_EQ(usage->text(), "10"); // letters, sign, blank dropped; 101 refused
    EXPECT_EQ(usage->Value(), 10);
    Type(usage, "0");
    EXPECT_EQ(usage->text(), "100");
    EXPECT_EQ(usage->Value(), 100);
    Backspace(usage);
    EXPECT_EQ(usage->text(), "10");

    // Leading zeros may not make the text longer than the largest value.
    Retype(usage, "0100");
    EXPECT_EQ(usage->text(), "010");
    EXPECT_EQ(usage->Value(), 10);

    // Text that arrives without keys (pasted) is checked the same way and undone.
    usage->setText("5");
    usage->setText("7x");
    EXPECT_EQ(usage->text(), "5");
    EXPECT_EQ(usage->Value(), 5);
    usage->clear();
    EXPECT_EQ(usage->Value(), 0);

    // Setting Value clamps; lowering the maximum lowers the value.
    TumNumberEdit edit;
    edit.SetMaxValue(500);
    edit.SetValue(900);
    EXPECT_EQ(edit.text(), "500");
    edit.SetValue(-3);
    EXPECT_EQ(edit.text(), "0");
    edit.SetValue(321);
    edit.SetMaxValue(99);
    EXPECT_EQ(edit.Value(), 99);
    EXPECT_EQ(edit.text(), "99");

    // Hexadecimal fields (the LUMP bytes) take hex digits of either case.
    TumNumberEdit hex;
    hex.SetBase(TNumberBase::Hexadecimal);
    hex.SetMaxValue(0xFF);
    hex.clear();
    Type(&hex, "fgZ");
    EXPECT_EQ(hex.text(), "f");
    Type(&hex, "E");
    EXPECT_EQ(hex.Value(), 0xFE);
    Type(&hex, "0");
    EXPECT_EQ(hex.text(), "fE");

    // Disabled: the own background colour.
    edit.SetColorDisabled(QColor(10, 20, 30));
    edit.setEnabled(false);
    EXPECT_EQ(edit.palette().color(QPalette::Disabled, QPalette::Base), QColor(10, 20, 30));

    // Clicking a number field selects all of it.
    usage->setText("42");
    usage->deselect();
    QMouseEvent click(QEvent::MouseButtonPress, QPointF(3, 3), QPointF(3, 3), Qt::LeftButton, Qt::LeftButton,
                      Qt::NoModifier);
    QApplication::sendEvent(usage, &click);
    EXPECT_EQ(usage->selectedText(), "42");
}

TEST_F(ConfigDialogTest, PagesCaptionsHintsLimitsAndDefaults) {
    Open();
    QTabWidget* pages = Dialog->Pages();
    ASSERT_EQ(pages->count(), 5);
    EXPECT_EQ(pages->tabText(0), "General");
    EXPECT_EQ(pages->tabText(1), "Block read");
    EXPECT_EQ(pages->tabText(2), "Wait time");
    EXPECT_EQ(pages->tabText(3), "Advanced");
    EXPECT_EQ(pages->tabText(4), "MQTT");
    EXPECT_EQ(Dialog->windowTitle(), "Configuration");
    EXPECT_EQ(Dialog->CheckBox("cbQualityIndependetSyncRead")->text(),
              "Quality independent SyncRead (Wizcon)");
    EXPECT_EQ(Dialog->FieldLabel("edMinBlockUsage")->text(), "Min. block usage (%):");
    EXPECT_EQ(Dialog->NumberField("edWaitTime")->maxLength(), 5);
    EXPECT_EQ(Dialog->NumberField("edMinBlockSize")->MaxValue(), 54);
    EXPECT_EQ(Dialog->NumberField("edArrayElementCount")->MaxValue(), 120);
    EXPECT_EQ(Dialog->CheckBox("cbAllowBrowsingPLCVariables")->toolTip(),
              "Uncheck this if OPC client is not\n\rresponding when trying to browse\n\rDravonOPC server "
              "address space");
    EXPECT_EQ(Dialog->FieldLabel("edBusyRetries")->toolTip(), "Count of retries on BUSY response");
    EXPECT_EQ(Dialog->NumberField("edBusyRetries")->toolTip(), "Count of retries on BUSY response");

    // Loaded from the settings at every opening.
    T.Context.Settings.WaitTime = 250;
    T.Context.Settings.ShowTrayIcon = false;
    pages->setCurrentIndex(3);
    Open();
    EXPECT_EQ(pages->currentIndex(), 0);
    EXPECT_EQ(Dialog->NumberField("edWaitTime")->text(), "250");
    EXPECT_FALSE(Dialog->CheckBox("cbShowTrayIcon")->isChecked());

    // A Default button changes its own page only.
    Dialog->CheckBox("cbDoSerialSpy")->setChecked(true);
    Dialog->NumberField("edMinBlockSize")->setText("33");
    Dialog->DefaultButton(2)->click();
    EXPECT_EQ(Dialog->NumberField("edWaitTime")->text(), "0");
    EXPECT_EQ(Dialog->NumberField("edMsgCountBeforeWait")->text(), "5");
    EXPECT_EQ(Dialog->NumberField("edBusyRetries")->text(), "3");
    EXPECT_EQ(Dialog->NumberField("edMinBlockSize")->text(), "33");
    EXPECT_FALSE(Dialog->CheckBox("cbShowTrayIcon")->isChecked());
    Dialog->DefaultButton(0)->click();
    EXPECT_TRUE(Dialog->CheckBox("cbShowTrayIcon")->isChecked());
    EXPECT_EQ(Dialog->NumberField("edArrayElementCount")->text(), "64");
    EXPECT_TRUE(Dialog->CheckBox("cbDoSerialSpy")->isChecked());
    Dialog->DefaultButton(3)->click();
    EXPECT_FALSE(Dialog->CheckBox("cbDoSerialSpy")->isChecked());
    Dialog->DefaultButton(1)->click();
    EXPECT_EQ(Dialog->NumberField("edMinBlockSize")->text(), "10");
    EXPECT_EQ(Dialog->NumberField("edMinBlockUsage")->text(), "50");
}

TEST_F(ConfigDialogTest, SettingsAtOkWithFallBacksAndLimits) {
    Open();
    Retype(Dialog->NumberField("edMinBlockUsage"), "100");
    Retype(Dialog->NumberField("edMinBlockSize"), "54");
    Dialog->NumberField("edArrayElementCount")->clear();
    Dialog->NumberField("edMsgCountBeforeWait")->clear();
    Dialog->NumberField("edBusyRetries")->clear();
    Retype(Dialog->NumberField("edWaitTime"), "1500");
    Dialog->CheckBox("cbEnableBAD")->setChecked(false);
    Dialog->CheckBox("cbForcedOnChange")->setChecked(true);
    Dialog->OkButton()->click();
    EXPECT_TRUE(Errors.isEmpty()) << Errors.join("|").toStdString();
    EXPECT_FALSE(Dialog->isVisible());

    const TSettings& s = T.Context.Settings;
    EXPECT_EQ(s.MinBlockUsage, 99); // the field allows 100
    EXPECT_EQ(s.MinBlockSize, 54);
    EXPECT_EQ(s.ArrayElementCount, 64);
    EXPECT_EQ(s.MsgCountBeforeWait, 0);
    EXPECT_EQ(s.BusyRetries, 0);
    EXPECT_EQ(s.WaitTime, 1500);
    EXPECT_FALSE(s.EnableBAD);
    EXPECT_TRUE(s.ForcedOnChange);
    EXPECT_EQ(StoredSettings(), s);

    // Cancel applies nothing.
    Open();
    Retype(Dialog->NumberField("edWaitTime"), "7");
    Dialog->CancelButton()->click();
    EXPECT_EQ(T.Context.Settings.WaitTime, 1500);
    Open();
    EXPECT_EQ(Dialog->NumberField("edWaitTime")->text(), "1500");
}

TEST_F(ConfigDialogTest, LogFileIsSwitchedOnlyWhenTheSettingChanges) {
    Open();
    Dialog->OkButton()->click();
    EXPECT_EQ(T.Capture.CountStartingWith("Unable to create log file"), 0);
    Open();
    Dialog->CheckBox("cbLogEvents")->setChecked(true);
    Dialog->OkButton()->click();
    // The test's application directory does not exist: the switch tried to create the file.
    EXPECT_EQ(T.Capture.CountStartingWith("Unable to create log file"), 1);
    Open();
    Dialog->OkButton()->click();
    EXPECT_EQ(T.Capture.CountStartingWith("Unable to create log file"), 1);
}

TEST_F(ConfigDialogTest, NamesAreValidatedBeforeAnythingIsApplied) {
    AddPlc("plc1");
    AddPlc("Two");
    Open();
    ASSERT_EQ(List().CellCount(), 2);
    Cell(1).edName->setText("PLC1");
    Retype(Dialog->NumberField("edWaitTime"), "77");
    Dialog->OkButton()->click();
    EXPECT_EQ(Errors, QStringList{"Duplicated names not allowed"});
    EXPECT_TRUE(Dialog->isVisible());
    EXPECT_EQ(PLCs.PLCByIndex(1).Name, "Two");
    EXPECT_EQ(T.Context.Settings.WaitTime, 0);

    Errors.clear();
    Cell(1).edName->setText("sYS");
    Dialog->OkButton()->click();
    EXPECT_EQ(Errors, QStringList{"PLC name \"Sys\" not allowed"});
    Errors.clear();
    Cell(1).edName->clear();
    Dialog->OkButton()->click();
    EXPECT_EQ(Errors, QStringList{"Blank names not allowed"});
    EXPECT_EQ(PLCs.PLCByIndex(1).Name, "Two");

    // Names are compared as they will be stored: both would become "a_b_c".
    Errors.clear();
    Cell(0).edName->setText("A.B/C");
    Cell(1).edName->setText("a/b.c");
    Dialog->OkButton()->click();
    EXPECT_EQ(Errors, QStringList{"Duplicated names not allowed"});
    EXPECT_EQ(Cell(0).edName->text(), "A.B/C"); // nothing applied, nothing rewritten
    Cell(0).edName->setText("plc1");

    Errors.clear();
    Dialog->OkButton()->click();
    EXPECT_TRUE(Errors.isEmpty());
    EXPECT_EQ(PLCs.PLCByIndex(1).Name, "a_b_c");
    EXPECT_TRUE(PLCs.PLCByIndex(1).RenameRefresh);
    EXPECT_FALSE(PLCs.PLCByIndex(0).RenameRefresh);
    EXPECT_EQ(Cell(1).edName->text(), "a_b_c");
    auto key = T.Store.OpenKeyReadOnly(TRootKey::LocalMachine, PLCListKeyPath);
    ASSERT_TRUE(key);
    EXPECT_EQ(key->ReadString("PLCName1"), "a_b_c");
}

TEST_F(ConfigDialogTest, RowsShowThePlcAndOkWritesThemBack) {
    THitachiPLC& plc = AddPlc("Press");
    plc.TcpPort = 3010;
    plc.Lump = 0x12AB0003;
    plc.TimeOut = 750;
    Window->Refresh();
    Open();
    TPLCCell& cell = Cell(0);
    EXPECT_EQ(cell.pnNo->text(), "1");
    EXPECT_EQ(cell.edName->text(), "Press");
    EXPECT_EQ(cell.cbConnection->currentText(), "Ethernet TCP");
    EXPECT_EQ(cell.cbProtocol->currentText(), "Ethernet-H");
    EXPECT_EQ(cell.edHost->text(), "127.0.0.1");
    EXPECT_EQ(cell.edPort->text(), "3010");
    EXPECT_EQ(cell.edLump[0]->text(), "12");
    EXPECT_EQ(cell.edLump[1]->text(), "AB");
    EXPECT_EQ(cell.edLump[2]->text(), "0");
    EXPECT_EQ(cell.edLump[3]->text(), "3");
    EXPECT_EQ(cell.edTimeOut->text(), "750");

    cell.edName->setText("Oven");
    cell.edHost->setText("127.0.0.2");
    Retype(cell.edPort, "3020");
    Retype(cell.edLump[0], "FF");
    cell.edTimeOut->clear(); // no number: the PLC keeps its time-out
    Choose(cell.cbConnection, CellUdp);
    Dialog->OkButton()->click();
    ASSERT_TRUE(Errors.isEmpty()) << Errors.join("|").toStdString();
    EXPECT_EQ(plc.Name, "Oven");
    EXPECT_EQ(Window->PlcNode(&plc)->text(0), "Oven");
    EXPECT_EQ(plc.Host, "127.0.0.2");
    EXPECT_EQ(plc.TcpPort, 3020);
    EXPECT_EQ(plc.Lump, 0xFFAB0003u);
    EXPECT_EQ(plc.TimeOut, 750);
    EXPECT_EQ(plc.DrvType, DriverUdp);
    EXPECT_EQ(plc.ProtocolType, ProtocolEthernet);
    ASSERT_NE(plc.Driver, nullptr);
    EXPECT_EQ(test::TFakeDriverPool::Of(plc.Driver).Address, "127.0.0.2");
    EXPECT_EQ(test::TFakeDriverPool::Of(plc.Driver).Port, 3020);
    // The old TCP driver lost its only user.
    ASSERT_EQ(Pool.Drivers.size(), 1u);

    // An emptied port number is 0.
    Open();
    Cell(0).edPort->clear();
    Dialog->OkButton()->click();
    EXPECT_EQ(plc.TcpPort, 0);
}

TEST_F(ConfigDialogTest, StoredNumbersBeyondTheTypingLimitsSurviveOk) {
    THitachiPLC& ethernet = AddPlc("Far", DriverTcp);
    ethernet.TimeOut = 120000;
    ethernet.TcpPort = 70000;
    THitachiPLC& serial = AddPlc("Drop", DriverSerial);
    serial.SerialStatNo = 40; // sent as station 0
    PLCs.SerialPorts.Ports[0].MultiDrop = true;
    Open();
    EXPECT_EQ(Cell(0).edTimeOut->text(), "120000");
    EXPECT_EQ(Cell(0).edPort->text(), "70000");
    EXPECT_EQ(Cell(1).edStationNo->text(), "0");
    Dialog->OkButton()->click();
    ASSERT_TRUE(Errors.isEmpty()) << Errors.join("|").toStdString();
    EXPECT_EQ(ethernet.TimeOut, 120000);
    EXPECT_EQ(ethernet.TcpPort, 70000);
    EXPECT_EQ(serial.SerialStatNo, 40);
    auto key = T.Store.OpenKeyReadOnly(TRootKey::LocalMachine, PLCListKeyPath);
    ASSERT_TRUE(key);
    EXPECT_EQ(key->ReadDword("TimeOut0"), 120000u);
    EXPECT_EQ(key->ReadDword("SerialStatNo1"), 40u);

    // What the operator types obeys the limits and is applied.
    Open();
    Retype(Cell(0).edTimeOut, "7500");
    Retype(Cell(1).edStationNo, "45");
    Dialog->OkButton()->click();
    EXPECT_EQ(ethernet.TimeOut, 7500);
    EXPECT_EQ(ethernet.TcpPort, 70000);
    EXPECT_EQ(serial.SerialStatNo, 4);
}

TEST_F(ConfigDialogTest, ConnectionProtocolAndMultidropAreCoupled) {
    AddPlc("Line", DriverTcp);
    AddPlc("Other", DriverNone);
    Open();
    TPLCCell& cell = Cell(0);
    // Ethernet: protocol, host, port and LUMP; the station number is covered.
    EXPECT_FALSE(cell.edHost->isHidden());
    EXPECT_FALSE(cell.edPort->isHidden());
    EXPECT_TRUE(cell.cbComPort->isHidden());
    EXPECT_TRUE(cell.edStationNo->isHidden());
    EXPECT_FALSE(cell.pnBlank[2]->isHidden());
    EXPECT_FALSE(cell.edLump[3]->isHidden());
    // None: name, connection and time-out; one panel over the rest.
    TPLCCell& none = Cell(1);
    EXPECT_TRUE(none.cbProtocol->isHidden());
    EXPECT_TRUE(none.edHost->isHidden());
    EXPECT_TRUE(none.edLump[0]->isHidden());
    EXPECT_FALSE(none.pnBlank[0]->isHidden());
    EXPECT_FALSE(none.edTimeOut->isHidden());
    EXPECT_FALSE(none.edName->isHidden());

    for (int p = 0; p < 8; ++p) EXPECT_TRUE(Dialog->PortRow(p).Lamp->isHidden());
    Choose(cell.cbConnection, CellSerial);
    EXPECT_EQ(cell.cbProtocol->currentText(), "Standard-H");
    EXPECT_FALSE(cell.cbComPort->isHidden());
    EXPECT_TRUE(cell.edHost->isHidden());
    EXPECT_FALSE(cell.pnBlank[1]->isHidden());
    EXPECT_TRUE(cell.edStationNo->isHidden());
    EXPECT_FALSE(Dialog->PortRow(0).Lamp->isHidden());

    Dialog->PortRow(0).cbMultiDrop->click();
    EXPECT_EQ(cell.cbProtocol->currentText(), "Station number-H ");
    EXPECT_FALSE(cell.edStationNo->isHidden());
    EXPECT_TRUE(cell.pnBlank[2]->isHidden());
    Dialog->PortRow(0).cbMultiDrop->click();
    EXPECT_EQ(cell.cbProtocol->currentText(), "Standard-H");
    EXPECT_TRUE(cell.edStationNo->isHidden());

    // The operator's protocol choice sets the port's multidrop box.
    Choose(cell.cbProtocol, CellStationNumberH);
    EXPECT_TRUE(Dialog->SerialPortPropsIsMultiDrop(0));
    EXPECT_FALSE(cell.edStationNo->isHidden());
    Choose(cell.cbProtocol, CellStandardH);
    EXPECT_FALSE(Dialog->SerialPortPropsIsMultiDrop(0));

    // Procedure 2 needs no LUMP.
    Dialog->PortRow(0).cbControl->setCurrentIndex(1);
    EXPECT_TRUE(Dialog->SerialPortPropsIsTrnsProc2(0));
    EXPECT_TRUE(cell.edLump[0]->isHidden());
    EXPECT_FALSE(cell.pnBlank[3]->isHidden());
    Dialog->PortRow(0).cbControl->setCurrentIndex(0);
    EXPECT_FALSE(cell.edLump[0]->isHidden());

    // Another port: the lamp moves with the row.
    cell.cbComPort->setCurrentIndex(2);
    EXPECT_TRUE(Dialog->PortRow(0).Lamp->isHidden());
    EXPECT_FALSE(Dialog->PortRow(2).Lamp->isHidden());
    Choose(cell.cbConnection, CellTcp);
    EXPECT_EQ(cell.cbProtocol->currentText(), "Ethernet-H");
    EXPECT_TRUE(Dialog->PortRow(2).Lamp->isHidden());

    EXPECT_FALSE(Dialog->SerialPortPropsIsMultiDrop(-1));
    EXPECT_FALSE(Dialog->SerialPortPropsIsTrnsProc2(8));
}

TEST_F(ConfigDialogTest, AddDeleteRenumberAndSelect) {
    AddPlc("PLC1");
    AddPlc("plc3");
    AddPlc("Third");
    Open();
    ASSERT_EQ(List().CellCount(), 3);
    EXPECT_FALSE(List().DeleteButton()->isEnabled());

    List().AddButton()->click();
    ASSERT_EQ(List().CellCount(), 4);
    TPLCCell& added = Cell(3);
    EXPECT_EQ(added.edName->text(), "PLC2");
    EXPECT_EQ(added.cbConnection->currentText(), "None");
    EXPECT_EQ(added.cbProtocol->currentIndex(), -1);
    EXPECT_EQ(added.edHost->text(), "192.168.0.1");
    EXPECT_EQ(added.edPort->text(), "3004");
    EXPECT_EQ(added.cbComPort->currentText(), "Com 1");
    EXPECT_EQ(added.edStationNo->text(), "0");
    EXPECT_EQ(added.edLump[0]->text() + added.edLump[1]->text() + added.edLump[2]->text() +
                  added.edLump[3]->text(),
              "FFFF00");
    EXPECT_EQ(added.edTimeOut->text(), "1000");
    EXPECT_EQ(added.pnNo->text(), "4");
    EXPECT_EQ(added.y(), TfPlcList::FirstRowTop + 3 * TfPlcList::RowHeight);

    // Clicking into a row selects it; the empty area below the rows selects nothing.
    QMouseEvent click(QEvent::MouseButtonPress, QPointF(2, 2), QPointF(2, 2), Qt::LeftButton, Qt::LeftButton,
                      Qt::NoModifier);
    QApplication::sendEvent(Cell(1).edHost, &click);
    EXPECT_EQ(List().Selected(), &Cell(1));
    EXPECT_TRUE(List().DeleteButton()->isEnabled());
    EXPECT_EQ(List().HighlightBar()->y(), Cell(1).y());
    List().SelectAt(TfPlcList::FirstRowTop + 4 * TfPlcList::RowHeight + 3);
    EXPECT_EQ(List().Selected(), nullptr);
    EXPECT_FALSE(List().DeleteButton()->isEnabled());
    List().SelectAt(5); // the header
    EXPECT_EQ(List().Selected(), nullptr);
    List().SelectAt(TfPlcList::FirstRowTop + TfPlcList::RowHeight + 1);
    EXPECT_EQ(List().Selected(), &Cell(1));

    // Deleting row 2: the rows below move up and are renumbered, the next row is selected.
    TPLCCell* third = &Cell(2);
    List().DeleteButton()->click();
    ASSERT_EQ(List().CellCount(), 3);
    EXPECT_EQ(&Cell(1), third);
    EXPECT_EQ(third->pnNo->text(), "2");
    EXPECT_EQ(third->y(), TfPlcList::FirstRowTop + TfPlcList::RowHeight);
    EXPECT_EQ(List().Selected(), third);
    EXPECT_TRUE(List().MarkedForDeletion(&PLCs.PLCByIndex(1)));
    // The last row deleted: the new last row is selected.
    List().SelectPlcCell(&Cell(2));
    List().DeleteButton()->click();
    EXPECT_EQ(List().Selected(), &Cell(1));

    const THitachiPLC* deleted = &PLCs.PLCByIndex(1);
    Dialog->OkButton()->click();
    ASSERT_TRUE(Errors.isEmpty()) << Errors.join("|").toStdString();
    ASSERT_EQ(PLCs.Count(), 2);
    EXPECT_EQ(PLCs.PLCByIndex(0).Name, "PLC1");
    EXPECT_EQ(PLCs.PLCByIndex(1).Name, "Third");
    // A PLC made later at the freed address must not inherit the mark.
    EXPECT_FALSE(List().MarkedForDeletion(deleted));
}

TEST_F(ConfigDialogTest, AddedRowBecomesAPlcAndRowsAreRebuiltAtTheNextOpening) {
    AddPlc("PLC1");
    Open();
    List().AddButton()->click();
    Cell(1).edName->setText("Mixer");
    Choose(Cell(1).cbConnection, CellTcp);
    Cell(1).edHost->setText("127.0.0.1");
    Dialog->OkButton()->click();
    ASSERT_EQ(PLCs.Count(), 2);
    THitachiPLC& mixer = PLCs.PLCByIndex(1);
    EXPECT_EQ(mixer.Name, "Mixer");
    EXPECT_EQ(mixer.DrvType, DriverTcp);
    EXPECT_EQ(mixer.ProtocolType, ProtocolEthernet);

    Open();
    ASSERT_EQ(List().CellCount(), 2);
    EXPECT_EQ(Cell(1).Plc, &mixer);
    EXPECT_EQ(Cell(1).edName->text(), "Mixer");

    // Rows added and cancelled are gone at the next opening.
    List().AddButton()->click();
    Dialog->CancelButton()->click();
    Open();
    EXPECT_EQ(List().CellCount(), 2);
}

TEST_F(ConfigDialogTest, CancelledEditsStayInTheRowsButCancelAfterDeleteRebuilds) {
    THitachiPLC& one = AddPlc("One");
    AddPlc("Two");
    Open();
    Cell(0).edName->setText("Edited");
    Dialog->CancelButton()->click();
    EXPECT_EQ(one.Name, "One");
    Open();
    EXPECT_EQ(Cell(0).edName->text(), "Edited"); // rows persist between openings

    List().SelectPlcCell(&Cell(1));
    List().DeleteButton()->click();
    Dialog->CancelButton()->click();
    EXPECT_EQ(PLCs.Count(), 2);
    Open();
    ASSERT_EQ(List().CellCount(), 2);
    EXPECT_EQ(Cell(0).edName->text(), "One"); // rebuilt from the list
    EXPECT_EQ(Cell(1).edName->text(), "Two");
    EXPECT_FALSE(List().MarkedForDeletion(&PLCs.PLCByIndex(1)));
    Dialog->OkButton()->click();
    EXPECT_EQ(PLCs.Count(), 2);
}

TEST_F(ConfigDialogTest, APlcAddedElsewhereRebuildsTheRows) {
    AddPlc("One");
    Open();
    Cell(0).edName->setText("Edited");
    Dialog->CancelButton()->click();
    AddPlc("Two");
    Open();
    ASSERT_EQ(List().CellCount(), 2);
    EXPECT_EQ(Cell(0).edName->text(), "One");
    EXPECT_EQ(Cell(1).edName->text(), "Two");
    EXPECT_EQ(Cell(1).pnNo->text(), "2");
}

TEST_F(ConfigDialogTest, APlcUsedByAClientIsNotDeletedAndItsRowComesBack) {
    AddPlc("Keep");
    THitachiPLC& used = AddPlc("Used");
    THitachiLocation* item = PLCs.ResolveItemId("Used.WR0010").Location;
    ASSERT_NE(item, nullptr);
    item->AddRef(); // an OPC item holds it
    Open();
    List().SelectPlcCell(&Cell(1));
    List().DeleteButton()->click();
    // A new row may not take the name of the PLC that stays.
    List().AddButton()->click();
    Cell(1).edName->setText("used");
    Dialog->OkButton()->click();
    EXPECT_EQ(Errors, QStringList{"Duplicated names not allowed"});
    Errors.clear();
    Cell(1).edName->setText("Fresh");
    Retype(Dialog->NumberField("edWaitTime"), "40");
    Dialog->OkButton()->click();
    EXPECT_EQ(Errors, QStringList{TfrmConfig::UnableToDeleteMessage});
    ASSERT_EQ(PLCs.Count(), 3);
    EXPECT_EQ(&PLCs.PLCByIndex(1), &used);
    EXPECT_NE(used.Driver, nullptr);            // keeps running
    EXPECT_EQ(T.Context.Settings.WaitTime, 40); // the rest of OK went on

    Open();
    ASSERT_EQ(List().CellCount(), 3);
    EXPECT_EQ(Cell(1).Plc, &used);
    EXPECT_EQ(Cell(1).edName->text(), "Used");
    item->Release();
}

TEST_F(ConfigDialogTest, LocalMonitorRowsDoNotKeepAPlcAlive) {
    AddPlc("Keep");
    AddPlc("Gone");
    Window->Refresh();
    // A double word and a word in the local list; a location released by its client.
    THitachiLocation* dw = PLCs.ResolveItemId("Gone.DR0020").Location;
    THitachiLocation* word = PLCs.ResolveItemId("Gone.WR0001").Location;
    THitachiLocation* released = PLCs.ResolveItemId("Gone.WR0100").Location;
    ASSERT_TRUE(dw && word && released);
    Window->AddToLocalMonitor(*dw);
    Window->AddToLocalMonitor(*word);
    EXPECT_FALSE(TfrmConfig::PlcHasClientReferences(PLCs.PLCByIndex(1)));
    // A status variable held by a client item points into the PLC as well.
    THitachiLocation* status = PLCs.ResolveItemId("Gone.ComStatus").Location;
    ASSERT_NE(status, nullptr);
    status->AddRef();
    EXPECT_TRUE(TfrmConfig::PlcHasClientReferences(PLCs.PLCByIndex(1)));
    status->Release();

    Window->Tree()->setCurrentItem(Window->PlcNode(&PLCs.PLCByIndex(1))->child(2));
    ASSERT_EQ(Window->SelectedPLC(), &PLCs.PLCByIndex(1));
    Open();
    List().SelectPlcCell(&Cell(1));
    List().DeleteButton()->click();
    Dialog->OkButton()->click();
    EXPECT_TRUE(Errors.isEmpty()) << Errors.join("|").toStdString();
    ASSERT_EQ(PLCs.Count(), 1);
    EXPECT_EQ(Window->LocalList()->RowCount(), 0);
    EXPECT_EQ(Window->SelectedPLC(), nullptr);
    EXPECT_EQ(Window->PlcNode(&PLCs.PLCByIndex(0))->text(0), "Keep");
    Window->Refresh(); // nothing of the PLC is drawn any more
}

TEST_F(ConfigDialogTest, MqttPagePublishesTheSelectedMonitorRowsAtOk) {
    AddPlc("PLC1");
    THitachiLocation* a = PLCs.ResolveItemId("PLC1.WR0001").Location;
    THitachiLocation* b = PLCs.ResolveItemId("PLC1.WR0002").Location;
    ASSERT_TRUE(a && b);
    Window->AddToLocalMonitor(*a);
    Window->AddToLocalMonitor(*b);
    Window->Tree()->setCurrentItem(Window->LocalMonitorNode());
    Open();
    TfMqttPage* page = Dialog->MqttPage();
    auto* enabled = page->findChild<QCheckBox*>("cbMqttEnabled");
    auto* broker = page->findChild<QLineEdit*>("edMqttBrokerUrl");
    ASSERT_TRUE(enabled && broker);
    EXPECT_FALSE(enabled->isChecked());
    EXPECT_EQ(broker->text(), "mqtt://127.0.0.1:1883");
    Window->LocalList()->Row(1)->setSelected(true);
    page->PublishSelectedButton()->click();
    Window->LocalList()->Row(0)->setSelected(true);
    page->PublishSelectedButton()->click(); // WR0002 only once
    enabled->click();
    broker->setText("mqtts://broker:8883");
    Dialog->OkButton()->click();
    EXPECT_TRUE(Errors.isEmpty()) << Errors.join("|").toStdString();
    TMqttConfig stored;
    ASSERT_TRUE(LoadMqttConfig(T.Store, stored));
    EXPECT_TRUE(stored.Enabled);
    EXPECT_FALSE(stored.AllowWrites);
    EXPECT_EQ(stored.BrokerUrl, "mqtts://broker:8883");
    ASSERT_EQ(stored.Items.size(), 2u);
    EXPECT_EQ(stored.Items[0].ItemId, "PLC1.WR0002");
    EXPECT_EQ(stored.Items[1].ItemId, "PLC1.WR0001");
}

TEST_F(ConfigDialogTest, SerialPortsLoadAndStore) {
    PLCs.SerialPorts.Ports[0] = {false, -1, false};
    PLCs.SerialPorts.Ports[1] = {true, 9600, true};
    PLCs.SerialPorts.Ports[2] = {false, 12345, false};
    Open();
    EXPECT_EQ(Dialog->PortRow(0).pnPort->text(), "Com 1");
    EXPECT_EQ(Dialog->PortRow(0).cbBaudRate->currentText(), "Autodetect");
    EXPECT_EQ(Dialog->PortRow(1).cbBaudRate->currentText(), "9600");
    EXPECT_EQ(Dialog->PortRow(1).cbControl->currentText(), "Procedure 2");
    EXPECT_TRUE(Dialog->PortRow(1).cbMultiDrop->isChecked());
    EXPECT_EQ(Dialog->PortRow(2).cbBaudRate->currentText(), "19200");
    EXPECT_EQ(Dialog->PortRow(3).edDevice->text(), "/dev/ttyS3");

    Dialog->PortRow(0).cbBaudRate->setCurrentIndex(3);
    Dialog->PortRow(1).cbBaudRate->setCurrentIndex(4);
    Dialog->PortRow(1).cbControl->setCurrentIndex(0);
    Dialog->PortRow(2).cbMultiDrop->setChecked(true);
    Dialog->PortRow(3).edDevice->setText("/dev/pts/7");
    Dialog->OkButton()->click();
    ASSERT_TRUE(Errors.isEmpty()) << Errors.join("|").toStdString();
    EXPECT_EQ(PLCs.SerialPorts.Ports[0].BaudRate, 38400);
    EXPECT_EQ(PLCs.SerialPorts.Ports[1].BaudRate, -1);
    EXPECT_FALSE(PLCs.SerialPorts.Ports[1].TrnsProc);
    EXPECT_EQ(PLCs.SerialPorts.Ports[2].BaudRate, 19200);
    EXPECT_TRUE(PLCs.SerialPorts.Ports[2].MultiDrop);
    EXPECT_EQ(SerialDevicePath(&T.Store, "COM4"), "/dev/pts/7");
    EXPECT_EQ(SerialDevicePath(&T.Store, "COM1"), "/dev/ttyS0");
    TSerialPortTable stored;
    stored.Load(T.Store);
    EXPECT_EQ(stored.Ports[0].BaudRate, 38400);
    EXPECT_EQ(stored.Ports[1].BaudRate, -1);

    // Back to the default device: the entry goes. A path outside /dev is refused.
    Open();
    EXPECT_EQ(Dialog->PortRow(3).edDevice->text(), "/dev/pts/7");
    Dialog->PortRow(3).edDevice->setText("/etc/passwd");
    Dialog->OkButton()->click();
    EXPECT_EQ(Errors.size(), 1);
    EXPECT_EQ(SerialDevicePath(&T.Store, "COM4"), "/dev/pts/7");
    Errors.clear();
    Dialog->PortRow(3).edDevice->clear();
    Dialog->OkButton()->click();
    EXPECT_TRUE(Errors.isEmpty());
    EXPECT_EQ(SerialDevicePath(&T.Store, "COM4"), "/dev/ttyS3");
}

TEST_F(ConfigDialogTest, SerialRowAppliesPortAndStation) {
    THitachiPLC& plc = AddPlc("Ser", DriverNone);
    Open();
    TPLCCell& cell = Cell(0);
    Choose(cell.cbConnection, CellSerial);
    cell.cbComPort->setCurrentIndex(4);
    Dialog->PortRow(4).cbMultiDrop->click();
    Retype(cell.edStationNo, "45"); // 0 to 31 only
    EXPECT_EQ(cell.edStationNo->text(), "4");
    Retype(cell.edStationNo, "17");
    Dialog->OkButton()->click();
    ASSERT_TRUE(Errors.isEmpty()) << Errors.join("|").toStdString();
    EXPECT_EQ(plc.DrvType, DriverSerial);
    EXPECT_EQ(plc.ProtocolType, ProtocolStationNumber);
    EXPECT_EQ(plc.SerialCom, 5);
    EXPECT_EQ(plc.SerialStatNo, 17);
    EXPECT_TRUE(PLCs.SerialPorts.Ports[4].MultiDrop);
    ASSERT_NE(plc.Driver, nullptr);
    EXPECT_EQ(test::TFakeDriverPool::Of(plc.Driver).ComNumber, 5);
}

TEST_F(ConfigDialogTest, ConfigurationActionAndTrayAfterOk) {
    QAction* action = Window->Action("acConfiguration");
    ASSERT_NE(action, nullptr);
    EXPECT_EQ(action->text(), "&Configuration");
    EXPECT_EQ(action->shortcut(), QKeySequence(Qt::Key_F5));

    bool cleared = false;
    Dialog->ClearBrowseTree = [&] { cleared = true; };
    Open();
    Dialog->OkButton()->click();
    EXPECT_TRUE(cleared);

    // Started by a client with the tray icon switched off: the window hides again, it is
    // not left minimised on the task bar.
    Window->show();
    Window->StartedByClient = true;
    Open();
    Dialog->CheckBox("cbShowTrayIcon")->click();
    ASSERT_FALSE(Dialog->CheckBox("cbShowTrayIcon")->isChecked());
    Dialog->OkButton()->click();
    QApplication::processEvents();
    EXPECT_FALSE(Window->isVisible());
    EXPECT_FALSE(Window->isMinimized());
    EXPECT_FALSE(Window->Tray()->isVisible());
}

TEST_F(ConfigDialogTest, AMachineStoreTheUserCannotWriteIsReportedOnceAtOk) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString machine = dir.path() + "/machine.store";
    {
        QFile file(machine);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("DRAVON-STORE 1\n");
    }
    QFile::setPermissions(machine, QFile::ReadOwner | QFile::ReadOther);
    TFileStore store(machine.toStdString(), (dir.path() + "/user.store").toStdString());
    T.Context.Store = &store;
    AddPlc("Shared");
    Open();
    Dialog->OkButton()->click();
    EXPECT_EQ(Errors,
              QStringList{"Unable to modify system registry, please log on with administrator rights"});
    T.Context.Store = &T.Store;
}

TEST_F(ConfigDialogTest, RegisterButtonsShowTheirResultEachTime) {
    QStringList shown;
    Dialog->RegistrationBox = [&](bool isError, const QString& text, const QString&) {
        shown << QString(isError ? "error: " : "info: ") + text;
    };
    Open();
    EXPECT_EQ(Dialog->RegisterButton()->text(), "&Register Server");
    EXPECT_EQ(Dialog->UnregisterButton()->text(), "&Unregister Server");
    Dialog->RegisterButton()->click();
    Dialog->RegisterButton()->click();
    Dialog->UnregisterButton()->click();
    EXPECT_EQ(shown, (QStringList{"info: Dravon OPC Data Access Server successfully registered.",
                                  "info: Dravon OPC Data Access Server successfully registered.",
                                  "info: Dravon OPC Data Access Server succesfully unregistered."}));
    EXPECT_TRUE(T.Store.KeyExists(TRootKey::ClassesRoot, "DravonOPC.DA2\\OPC"));
}

} // namespace
} // namespace dravon
