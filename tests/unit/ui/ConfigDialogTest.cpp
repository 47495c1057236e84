// The configuration dialog as the operator drives it: typed keys, chosen list entries,
// clicked check boxes and buttons, and what OK leaves in the PLC list, the settings and
// the store.
#include "ui/ConfigDialog.h"
#include "WidgetSuite.h"
#include "app/FileStore.h"
#include "app/KeyValueStore.h"
#include "app/Registration.h"
#include "app/Settings.h"
#include "comm/SerialDevicePath.h"
#include "plc/HitachiLocation.h"
#include "ui/MqttPage.h"
#include "ui/NumberEdit.h"
#include "ui/PlcListFrame.h"
#include "ui/RegisterServerButtons.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSystemTrayIcon>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeWidgetItem>

#include <array>
#include <tuple>
#include <utility>

namespace dravon {
namespace {

class ConfigDialogTest : public test::TWindowTest {
protected:
    ConfigDialogTest() {
        Dialog = &Window->ConfigDialog();
        Dialog->ShowErrorMessage = [this](const QString& text) { Errors << text; };
    }
    ~ConfigDialogTest() override { Dialog->hide(); }

    void Open() {
        Dialog->hide();
        Dialog->show();
    }
    // OK pressed; the error boxes it showed, emptied for the next press.
    QStringList Ok() {
        Errors.clear();
        Dialog->OkButton()->click();
        return std::exchange(Errors, {});
    }
    TfPlcList& List() { return *Dialog->PlcList(); }
    TPLCCell& Cell(int index) { return *List().Cell(index); }
    TumNumberEdit* Field(const char* name) { return Dialog->NumberField(name); }
    // The field emptied and the keys typed into it.
    static void Retype(TumNumberEdit* edit, const QString& keys) {
        edit->clear();
        QTest::keyClicks(edit, keys);
    }
    // Chosen by the operator (the couplings follow the operator, not the program).
    static void Choose(QComboBox* box, int index) {
        box->setCurrentIndex(index);
        emit box->activated(index);
    }
    // The protocol a row shows, its fields that show (in a fixed order) and the port lamps.
    QString Shown(const TPLCCell& c) const {
        const std::pair<const char*, QWidget*> fields[] = {
            {"name", c.edName},       {"protocol", c.cbProtocol}, {"host", c.edHost},
            {"port", c.edPort},       {"com", c.cbComPort},       {"station", c.edStationNo},
            {"lump", c.edLump[0]},    {"blank0", c.pnBlank[0]},   {"blank1", c.pnBlank[1]},
            {"blank2", c.pnBlank[2]}, {"blank3", c.pnBlank[3]},   {"timeout", c.edTimeOut}};
        QStringList shown;
        for (const auto& [name, widget] : fields)
            if (!widget->isHidden()) shown << name;
        return c.cbProtocol->currentText() + ": " + shown.join(' ') + " " + Lamps();
    }
    // What a row shows: number, name, connection, protocol, COM port, host, port, station, LUMP, time-out.
    static QString Texts(const TPLCCell& c) {
        QStringList texts{c.pnNo->text(), c.edName->text(), c.cbConnection->currentText(),
                          c.cbProtocol->currentText(), c.cbComPort->currentText()};
        for (const QLineEdit* edit :
             std::initializer_list<const QLineEdit*>{c.edHost, c.edPort, c.edStationNo, c.edLump[0],
                                                     c.edLump[1], c.edLump[2], c.edLump[3], c.edTimeOut})
            texts << edit->text();
        return texts.join('|');
    }
    QString Lamps() const {
        QString lamps;
        for (int p = 0; p < 8; ++p) lamps += Dialog->PortRow(p).Lamp->isHidden() ? '-' : QChar('1' + p);
        return lamps;
    }
    // What OK left in a PLC: name, driver/protocol, host:port, LUMP, time-out, COM port/station.
    static std::string Applied(const THitachiPLC& p) {
        return QString::asprintf("%s %d/%d %s:%d %08X %d COM%d/%d", p.Name.c_str(), p.DrvType, p.ProtocolType,
                                 p.Host.c_str(), p.TcpPort, p.Lump, p.TimeOut, p.SerialCom, p.SerialStatNo)
            .toStdString();
    }
    auto PlcListKey() { return T.Store.OpenKeyReadOnly(TRootKey::LocalMachine, PLCListKeyPath); }

    TfrmConfig* Dialog = nullptr;
};

TEST_F(ConfigDialogTest, NumberFieldsTakeOnlyDigitsWithinTheirLimits) {
    Open();
    TumNumberEdit* usage = Field("edMinBlockUsage");
    TumNumberEdit hex;
    hex.SetBase(TNumberBase::Hexadecimal);
    hex.SetMaxValue(0xFF);
    // Keys typed one after another into a field (max 100, and hexadecimal max FF): the field,
    // whether it is emptied first, the keys, its text and value afterwards.
    const std::tuple<TumNumberEdit*, bool, const char*, const char*, int> cases[] = {
        {usage, true, "1a0-1 x", "10", 10}, // letters, sign, blank dropped; 101 refused
        {usage, false, "0", "100", 100},
        // Leading zeros may not make the text longer than the largest value.
        {usage, true, "0100", "010", 10},
        {&hex, true, "fgZ", "f", 0xF},
        {&hex, false, "E", "fE", 0xFE},
        {&hex, false, "0", "fE", 0xFE},
    };
    for (const auto& [edit, clear, keys, text, value] : cases) {
        SCOPED_TRACE(keys);
        if (clear) edit->clear();
        QTest::keyClicks(edit, keys);
        EXPECT_EQ(std::pair(edit->text(), edit->Value()), std::pair(QString(text), value));
    }
    QTest::keyClick(usage, Qt::Key_Backspace);
    EXPECT_EQ(usage->text(), "01");

    // Text that arrives without keys (pasted) is checked the same way and undone.
    auto paste = [&](const char* text) { return (usage->setText(text), usage->Value()); };
    EXPECT_EQ((std::vector{paste("5"), paste("7x"), paste("")}), (std::vector{5, 5, 0}));

    // Setting Value clamps; lowering the maximum lowers the value.
    TumNumberEdit edit;
    edit.SetMaxValue(500);
    auto set = [&](int value) { return (edit.SetValue(value), edit.text()); };
    EXPECT_EQ((QStringList{set(900), set(-3), set(321)}), (QStringList{"500", "0", "321"}));
    edit.SetMaxValue(99);
    EXPECT_EQ(std::pair(edit.Value(), edit.text()), std::pair(99, QString("99")));

    // Clicking a number field selects all of it.
    usage->setText("42");
    usage->deselect();
    QTest::mouseClick(usage, Qt::LeftButton);
    EXPECT_EQ(usage->selectedText(), "42");
}

TEST_F(ConfigDialogTest, PagesCaptionsHintsLimitsAndDefaults) {
    Open();
    QTabWidget* pages = Dialog->Pages();
    QStringList texts{Dialog->windowTitle(), Dialog->FieldLabel("edMinBlockUsage")->text(),
                      Dialog->CheckBox("cbAllowBrowsingPLCVariables")->toolTip(),
                      Dialog->FieldLabel("edBusyRetries")->toolTip(), Field("edBusyRetries")->toolTip()};
    for (int i = 0; i < pages->count(); ++i) texts << pages->tabText(i);
    EXPECT_EQ(texts, (QStringList{
                         "Configuration", "Min. block usage (%):",
                         "Uncheck this if OPC client is not\n\rresponding when trying to browse\n\rDravonOPC "
                         "server address space",
                         "Count of retries on BUSY response", "Count of retries on BUSY response", "General",
                         "Block read", "Wait time", "Advanced", "MQTT", "OPC UA"}));
    const char* const numbers[] = {"edWaitTime",     "edMsgCountBeforeWait", "edBusyRetries",
                                   "edMinBlockSize", "edMinBlockUsage",      "edArrayElementCount"};
    QString limits; // digits and largest value of each number field
    for (const char* name : numbers)
        limits += QString(" %1/%2").arg(Field(name)->maxLength()).arg(Field(name)->MaxValue());
    EXPECT_EQ(limits, " 5/99999 4/9999 5/99999 2/54 3/100 3/120");
    // The check boxes of the four pages, in order.
    QList<QCheckBox*> boxes;
    for (int page = 0; page < 4; ++page) boxes += pages->widget(page)->findChildren<QCheckBox*>();
    QStringList captions;
    for (QCheckBox* box : boxes) captions << box->text();
    EXPECT_EQ(captions.join('|').toStdString(),
              "Show tray icon|Allow browsing PLC variables|Autodetect intensive browsing clients|"
              "Enable UNCERTAIN quality|Enable BAD quality|Disable binary mode on serial|"
              "Quality independent SyncRead (Wizcon)|Forced OnChange value updates (RSView)|"
              "OnChange always TRUE for strings and arrays|Show serial communication|"
              "Create log file (Dravon.log)|Slow down visual update rate|Local UDP port same as PLC");

    // Loaded from the settings at every opening.
    T.Context.Settings.WaitTime = 250;
    T.Context.Settings.ShowTrayIcon = false;
    pages->setCurrentIndex(3);
    Open();
    EXPECT_EQ(pages->currentIndex(), 0);
    // Every check box; wait time, messages, retries, block size, usage, array elements.
    auto state = [&] {
        QString s;
        for (QCheckBox* box : boxes) s += QString::number(box->isChecked());
        for (const char* name : numbers) s += " " + Field(name)->text();
        return s;
    };
    EXPECT_EQ(state(), "0111100000000 250 5 3 10 50 64");
    Dialog->CheckBox("cbDoSerialSpy")->setChecked(true);
    for (const auto& [name, text] :
         {std::pair("edMsgCountBeforeWait", "9"), std::pair("edMinBlockSize", "33"),
          std::pair("edMinBlockUsage", "60"), std::pair("edArrayElementCount", "7")})
        Field(name)->setText(text);
    // A Default button changes its own page only.
    const std::pair<int, const char*> defaults[] = {{2, "0111100001000 0 5 3 33 60 7"},
                                                    {0, "1111100001000 0 5 3 33 60 64"},
                                                    {3, "1111100000000 0 5 3 33 60 64"},
                                                    {1, "1111100000000 0 5 3 10 50 64"}};
    for (const auto& [page, expected] : defaults) {
        Dialog->DefaultButton(page)->click();
        EXPECT_EQ(state(), expected) << page;
    }
}

TEST_F(ConfigDialogTest, SettingsAtOkWithFallBacksAndLimits) {
    Open();
    Retype(Field("edMinBlockUsage"), "100");
    Retype(Field("edMinBlockSize"), "54");
    for (const char* name : {"edArrayElementCount", "edMsgCountBeforeWait", "edBusyRetries"})
        Field(name)->clear();
    Retype(Field("edWaitTime"), "1500");
    Dialog->CheckBox("cbEnableBAD")->setChecked(false);
    Dialog->CheckBox("cbForcedOnChange")->setChecked(true);
    EXPECT_EQ(Ok(), QStringList{});
    EXPECT_FALSE(Dialog->isVisible());

    // Usage 99 though the field allows 100; emptied fields fall back to 64 and 0.
    const TSettings expected{.EnableBAD = false,
                             .ForcedOnChange = true,
                             .ArrayElementCount = 64,
                             .MinBlockSize = 54,
                             .MinBlockUsage = 99,
                             .MsgCountBeforeWait = 0,
                             .WaitTime = 1500,
                             .BusyRetries = 0};
    EXPECT_EQ(T.Context.Settings, expected);
    TSettings stored;
    LoadConfigurationFromRegistry(T.Store, stored);
    EXPECT_EQ(stored, expected);

    // Cancel applies nothing.
    Open();
    Retype(Field("edWaitTime"), "7");
    Dialog->CancelButton()->click();
    EXPECT_EQ(T.Context.Settings.WaitTime, 1500);
    Open();
    EXPECT_EQ(Field("edWaitTime")->text(), "1500");
    // Emptied, the block and wait fields fall back to 10, 50 and 0.
    for (const char* name : {"edMinBlockSize", "edMinBlockUsage", "edWaitTime"}) Field(name)->clear();
    Ok();
    const TSettings& s = T.Context.Settings;
    EXPECT_EQ(std::tuple(s.MinBlockSize, s.MinBlockUsage, s.WaitTime), std::tuple(10, 50, 0));

    // The log file is switched only when the setting changes (the test's application
    // directory does not exist: a switch tries to create the file).
    for (bool logEvents : {false, true, true}) {
        Open();
        Dialog->CheckBox("cbLogEvents")->setChecked(logEvents);
        Ok();
        EXPECT_EQ(T.Capture.CountStartingWith("Unable to create log file"), logEvents ? 1 : 0);
    }
}

TEST_F(ConfigDialogTest, NamesAreValidatedBeforeAnythingIsApplied) {
    AddPlc("plc1");
    AddPlc("Two");
    Open();
    ASSERT_EQ(List().CellCount(), 2);
    Retype(Field("edWaitTime"), "77");
    // Names are compared as they will be stored ("A.B/C" and "a/b.c" both become "a_b_c").
    const std::array<const char*, 3> refused[] = {
        {"plc1", "PLC1", "Duplicated names not allowed"},
        {"plc1", "sYS", "PLC name \"Sys\" not allowed"},
        {"plc1", "", "Blank names not allowed"},
        {"A.B/C", "a/b.c", "Duplicated names not allowed"},
    };
    for (const auto& [first, second, error] : refused) {
        SCOPED_TRACE(second);
        Cell(0).edName->setText(first);
        Cell(1).edName->setText(second);
        EXPECT_EQ(Ok(), QStringList{error});
        // Nothing applied, nothing rewritten.
        EXPECT_EQ(std::tuple(Dialog->isVisible(), Cell(0).edName->text(), PLCs.PLCByIndex(1).Name,
                             T.Context.Settings.WaitTime),
                  std::tuple(true, QString(first), std::string("Two"), 0));
    }
    Cell(0).edName->setText("plc1");
    EXPECT_EQ(Ok(), QStringList{});
    EXPECT_EQ(
        std::tuple(PLCs.PLCByIndex(1).Name, PLCs.PLCByIndex(0).RenameRefresh,
                   PLCs.PLCByIndex(1).RenameRefresh, Cell(1).edName->text(),
                   PlcListKey()->ReadString("PLCName1")),
        std::tuple(std::string("a_b_c"), false, true, QString("a_b_c"), std::optional<std::string>("a_b_c")));
}

TEST_F(ConfigDialogTest, RowsShowThePlcAndOkWritesThemBack) {
    THitachiPLC& plc = AddPlc("Press");
    std::tie(plc.TcpPort, plc.Lump, plc.TimeOut) = std::tuple(3010, 0x12AB0003, 750);
    Window->Refresh();
    Open();
    TPLCCell& cell = Cell(0);
    EXPECT_EQ(Texts(cell), "1|Press|Ethernet TCP|Ethernet-H|Com 1|127.0.0.1|3010|0|12|AB|0|3|750");

    cell.edName->setText("Oven");
    cell.edHost->setText("127.0.0.2");
    Retype(cell.edPort, "65535");
    Retype(cell.edLump[0], "FF");
    cell.edTimeOut->clear(); // no number: the PLC keeps its time-out
    Choose(cell.cbConnection, CellUdp);
    ASSERT_EQ(Ok(), QStringList{});
    EXPECT_EQ(Applied(plc), "Oven 1/3 127.0.0.2:65535 FFAB0003 750 COM1/0");
    EXPECT_EQ(Window->PlcNode(&plc)->text(0), "Oven");
    ASSERT_NE(plc.Driver, nullptr);
    EXPECT_EQ(
        std::pair(test::TFakeDriverPool::Of(plc.Driver).Address, test::TFakeDriverPool::Of(plc.Driver).Port),
        std::pair(std::string("127.0.0.2"), 65535));
    // The old TCP driver lost its only user.
    ASSERT_EQ(Pool.Drivers.size(), 1u);

    // The row shows the kept time-out. An emptied port number is 0. A host name still unresolved is
    // looked up again at the next OK.
    Open();
    EXPECT_EQ(Texts(Cell(0)).toStdString(),
              "1|Oven|Ethernet UDP|Ethernet-H|Com 1|127.0.0.2|65535|0|FF|AB|0|3|750");
    Cell(0).edPort->clear();
    Cell(0).edHost->setText("press.invalid");
    Ok();
    Open();
    Ok();
    EXPECT_EQ(std::pair(plc.TcpPort, Resolver.Requests.size()), std::pair(0, std::size_t{2}));
}

TEST_F(ConfigDialogTest, StoredNumbersBeyondTheTypingLimitsSurviveOk) {
    THitachiPLC& ethernet = AddPlc("Far", DriverTcp);
    std::tie(ethernet.TimeOut, ethernet.TcpPort) = std::pair(120000, 70000);
    THitachiPLC& serial = AddPlc("Drop", DriverSerial);
    serial.SerialStatNo = 40; // sent as station 0
    AddPlc("Last", DriverSerial).SerialStatNo = 31;
    PLCs.SerialPorts.Ports[0].MultiDrop = true;
    Open();
    EXPECT_EQ(Cell(0).edTimeOut->text() + " " + Cell(0).edPort->text() + " " + Cell(1).edStationNo->text() +
                  " " + Cell(2).edStationNo->text(),
              "120000 70000 0 31");
    ASSERT_EQ(Ok(), QStringList{});
    EXPECT_EQ(Applied(ethernet), "Far 2/3 127.0.0.1:70000 FFFF0000 120000 COM1/0");
    EXPECT_EQ(Applied(serial), "Drop 3/2 127.0.0.1:3004 FFFF0000 1000 COM1/40");
    EXPECT_EQ(PlcListKey()->ReadDword("TimeOut0"), 120000u);
    EXPECT_EQ(PlcListKey()->ReadDword("SerialStatNo1"), 40u);

    // What the operator types obeys the limits and is applied.
    Open();
    Retype(Cell(0).edTimeOut, "99999");
    Retype(Cell(1).edStationNo, "45");
    Ok();
    EXPECT_EQ(Applied(ethernet), "Far 2/3 127.0.0.1:70000 FFFF0000 99999 COM1/0");
    EXPECT_EQ(Applied(serial), "Drop 3/2 127.0.0.1:3004 FFFF0000 1000 COM1/4");
    // An emptied station number: the PLC keeps its own, and the row shows it again.
    Cell(1).edStationNo->clear();
    Ok();
    Open();
    EXPECT_EQ(Cell(1).edStationNo->text() + " " + QString::number(serial.SerialStatNo), "4 4");
}

TEST_F(ConfigDialogTest, ConnectionProtocolAndMultidropAreCoupled) {
    AddPlc("Line", DriverTcp);
    AddPlc("Other", DriverNone);
    Open();
    TPLCCell& cell = Cell(0);
    // Ethernet: protocol, host, port and LUMP; the station number is covered. None: name, connection and
    // time-out; one panel over the rest.
    EXPECT_EQ(Shown(cell), "Ethernet-H: name protocol host port lump blank2 timeout --------");
    EXPECT_EQ(Shown(Cell(1)), "Standard-H: name blank0 timeout --------");

    Choose(cell.cbConnection, CellSerial);
    EXPECT_EQ(Shown(cell), "Standard-H: name protocol com lump blank1 blank2 timeout 1-------");
    Dialog->PortRow(0).cbMultiDrop->click();
    EXPECT_EQ(Shown(cell), "Station number-H : name protocol com station lump blank1 timeout 1-------");
    Dialog->PortRow(0).cbMultiDrop->click();
    EXPECT_EQ(Shown(cell), "Standard-H: name protocol com lump blank1 blank2 timeout 1-------");

    // The operator's protocol choice sets the port's multidrop box.
    Choose(cell.cbProtocol, CellStationNumberH);
    EXPECT_TRUE(Dialog->SerialPortPropsIsMultiDrop(0));
    EXPECT_EQ(Shown(cell), "Station number-H : name protocol com station lump blank1 timeout 1-------");
    Choose(cell.cbProtocol, CellStandardH);
    EXPECT_FALSE(Dialog->SerialPortPropsIsMultiDrop(0));

    // Procedure 2 needs no LUMP.
    Dialog->PortRow(0).cbControl->setCurrentIndex(1);
    EXPECT_TRUE(Dialog->SerialPortPropsIsTrnsProc2(0));
    EXPECT_EQ(Shown(cell), "Standard-H: name protocol com blank1 blank2 blank3 timeout 1-------");
    Dialog->PortRow(0).cbControl->setCurrentIndex(0);
    EXPECT_EQ(Shown(cell), "Standard-H: name protocol com lump blank1 blank2 timeout 1-------");

    // Another port: the lamp moves with the row.
    cell.cbComPort->setCurrentIndex(2);
    EXPECT_EQ(Lamps(), "--3-----");
    Choose(cell.cbConnection, CellTcp);
    EXPECT_EQ(Shown(cell), "Ethernet-H: name protocol host port lump blank2 timeout --------");
    EXPECT_FALSE(Dialog->SerialPortPropsIsMultiDrop(-1) || Dialog->SerialPortPropsIsTrnsProc2(8));

    // The row without a connection goes serial on COM5 with multidrop: port and station applied.
    THitachiPLC& other = PLCs.PLCByIndex(1);
    Choose(Cell(1).cbConnection, CellSerial);
    Cell(1).cbComPort->setCurrentIndex(4);
    Dialog->PortRow(4).cbMultiDrop->click();
    Retype(Cell(1).edStationNo, "17");
    ASSERT_EQ(Ok(), QStringList{});
    EXPECT_EQ(Applied(other), "Other 3/2 127.0.0.1:3004 FFFF0000 1000 COM5/17");
    EXPECT_TRUE(PLCs.SerialPorts.Ports[4].MultiDrop);
    ASSERT_NE(other.Driver, nullptr);
    EXPECT_EQ(test::TFakeDriverPool::Of(other.Driver).ComNumber, 5);
}

TEST_F(ConfigDialogTest, AddDeleteRenumberAndSelect) {
    for (const char* name : {"plc1", "plc3", "Third"}) AddPlc(name);
    Open();
    ASSERT_EQ(List().CellCount(), 3);
    EXPECT_FALSE(List().DeleteButton()->isEnabled());
    QStringList titles; // the header's, then the rows' numbers
    for (const QLabel* label : List().findChildren<QLabel*>()) titles << label->text();
    EXPECT_EQ(titles.join('|'),
              "No|Name|Connection|Protocol|Host|Port Num|Station No|LUMP|Timeout [ms]|1|2|3");

    List().AddButton()->click();
    ASSERT_EQ(List().CellCount(), 4);
    TPLCCell& added = Cell(3);
    // No protocol chosen yet.
    EXPECT_EQ(Texts(added), "4|PLC2|None||Com 1|192.168.0.1|3004|0|FF|FF|0|0|1000");
    EXPECT_EQ(added.y(), TfPlcList::FirstRowTop + 3 * TfPlcList::RowHeight);
    added.edName->setText(QString(31, 'n'));
    EXPECT_EQ(added.edName->text(), QString(30, 'n')); // names of up to 30 characters

    // Clicking into a row selects it; the empty area below the rows and the header select nothing, the
    // first and the last pixel of the second row select it. The row selected, whether Delete is offered.
    QTest::mouseClick(Cell(1).edHost, Qt::LeftButton);
    EXPECT_EQ(std::tuple(List().Selected(), List().DeleteButton()->isEnabled(), List().HighlightBar()->y()),
              std::tuple(&Cell(1), true, Cell(1).y()));
    auto at = [&](int y) {
        List().SelectAt(TfPlcList::FirstRowTop + y);
        return std::pair(List().Selected(), List().DeleteButton()->isEnabled());
    };
    constexpr int H = TfPlcList::RowHeight;
    EXPECT_EQ((std::vector{at(4 * H + 3), at(5 - TfPlcList::FirstRowTop), at(H + 1), at(2 * H - 1)}),
              (std::vector<std::pair<TPLCCell*, bool>>{
                  {nullptr, false}, {nullptr, false}, {&Cell(1), true}, {&Cell(1), true}}));

    // Deleting row 2: the rows below move up and are renumbered, the next row is selected.
    TPLCCell* third = &Cell(2);
    List().DeleteButton()->click();
    ASSERT_EQ(List().CellCount(), 3);
    EXPECT_EQ(std::tuple(&Cell(1), third->pnNo->text(), third->y(), List().Selected(),
                         List().MarkedForDeletion(&PLCs.PLCByIndex(1))),
              std::tuple(third, QString("2"), TfPlcList::FirstRowTop + TfPlcList::RowHeight, third, true));
    // The last row deleted: the new last row is selected.
    List().SelectPlcCell(&Cell(2));
    List().DeleteButton()->click();
    EXPECT_EQ(List().Selected(), &Cell(1));

    const THitachiPLC* deleted = &PLCs.PLCByIndex(1);
    ASSERT_EQ(Ok(), QStringList{});
    ASSERT_EQ(PLCs.Count(), 2);
    EXPECT_EQ(PLCs.PLCByIndex(0).Name + PLCs.PLCByIndex(1).Name, "plc1Third");
    // A PLC made later at the freed address must not inherit the mark.
    EXPECT_FALSE(List().MarkedForDeletion(deleted));
}

TEST_F(ConfigDialogTest, RowsAreKeptOrRebuiltBetweenOpenings) {
    THitachiPLC& one = AddPlc("One");
    Open();
    // An added row becomes a PLC at OK.
    List().AddButton()->click();
    Cell(1).edName->setText("Mixer");
    Choose(Cell(1).cbConnection, CellTcp);
    Cell(1).edHost->setText("127.0.0.1");
    ASSERT_EQ(Ok(), QStringList{});
    ASSERT_EQ(PLCs.Count(), 2);
    THitachiPLC& mixer = PLCs.PLCByIndex(1);
    EXPECT_EQ(Applied(mixer), "Mixer 2/3 127.0.0.1:3004 FFFF0000 1000 COM1/0");
    Open();
    ASSERT_EQ(List().CellCount(), 2);
    EXPECT_EQ(Cell(1).Plc, &mixer);

    // Cancelled edits stay in the rows; rows added and cancelled are gone at the next opening.
    Cell(0).edName->setText("Edited");
    Dialog->CancelButton()->click();
    EXPECT_EQ(one.Name, "One");
    Open();
    EXPECT_EQ(Cell(0).edName->text(), "Edited");
    List().AddButton()->click();
    Dialog->CancelButton()->click();
    Open();
    EXPECT_EQ(List().CellCount(), 2);

    // Cancel after a delete rebuilds the rows from the list.
    List().SelectPlcCell(&Cell(1));
    List().DeleteButton()->click();
    Dialog->CancelButton()->click();
    EXPECT_EQ(PLCs.Count(), 2);
    Open();
    ASSERT_EQ(List().CellCount(), 2);
    EXPECT_EQ(Cell(0).edName->text() + Cell(1).edName->text(), "OneMixer");
    EXPECT_FALSE(List().MarkedForDeletion(&PLCs.PLCByIndex(1)));
    Ok();
    EXPECT_EQ(PLCs.Count(), 2);

    // A PLC added elsewhere rebuilds the rows too.
    Open();
    Cell(0).edName->setText("Edited");
    Dialog->CancelButton()->click();
    AddPlc("Two");
    Open();
    ASSERT_EQ(List().CellCount(), 3);
    EXPECT_EQ(Cell(0).edName->text(), "One");
    EXPECT_EQ(Cell(2).pnNo->text(), "3");
}

// A PLC an OPC item holds stays; one shown only in the local list goes, rows and all.
TEST_F(ConfigDialogTest, APlcUsedByAClientStaysAndItsRowComesBackWhileLocalRowsKeepNone) {
    AddPlc("Keep");
    THitachiPLC& used = AddPlc("Used");
    THitachiPLC& gone = AddPlc("Gone");
    THitachiLocation& item = Use("Used.WR0010");
    Window->Refresh();
    // A double word and a word in the local list; a location released by its client.
    for (const char* id : {"Gone.DR0020", "Gone.WR0001"})
        Window->AddToLocalMonitor(*PLCs.ResolveItemId(id).Location);
    ASSERT_NE(PLCs.ResolveItemId("Gone.WR0100").Location, nullptr);
    EXPECT_FALSE(TfrmConfig::PlcHasClientReferences(gone));
    // A status variable held by a client item points into the PLC as well.
    THitachiLocation& status = Use("Gone.ComStatus");
    EXPECT_TRUE(TfrmConfig::PlcHasClientReferences(gone));
    status.Release();
    Window->Tree()->setCurrentItem(Window->PlcNode(&gone)->child(2));
    ASSERT_EQ(Window->SelectedPLC(), &gone);

    Open();
    for (int row : {2, 1}) {
        List().SelectPlcCell(&Cell(row));
        List().DeleteButton()->click();
    }
    // A new row may not take the name of the PLC that stays.
    List().AddButton()->click();
    Cell(1).edName->setText("used");
    EXPECT_EQ(Ok(), QStringList{"Duplicated names not allowed"});
    Cell(1).edName->setText("Fresh");
    Retype(Field("edWaitTime"), "40");
    EXPECT_EQ(Ok(), QStringList{TfrmConfig::UnableToDeleteMessage});
    ASSERT_EQ(PLCs.Count(), 3);
    // It keeps running; the rest of OK went on; the deleted PLC's rows and selection are gone.
    EXPECT_EQ(std::tuple(&PLCs.PLCByIndex(1), used.Driver != nullptr, T.Context.Settings.WaitTime,
                         Window->LocalList()->RowCount(), Window->SelectedPLC(),
                         Window->PlcNode(&PLCs.PLCByIndex(0))->text(0)),
              std::tuple(&used, true, 40, 0, nullptr, QString("Keep")));
    Window->Refresh(); // nothing of the deleted PLC is drawn any more

    Open();
    ASSERT_EQ(List().CellCount(), 3);
    EXPECT_EQ(std::pair(Cell(1).Plc, Cell(1).edName->text()), std::pair(&used, QString("Used")));
    item.Release();
}

TEST_F(ConfigDialogTest, MqttPagePublishesTheSelectedMonitorRowsAtOk) {
    AddPlc("PLC1");
    for (const char* id : {"PLC1.WR0001", "PLC1.WR0002"})
        Window->AddToLocalMonitor(*PLCs.ResolveItemId(id).Location);
    Window->Tree()->setCurrentItem(Window->LocalMonitorNode());
    Open();
    TfMqttPage* page = Dialog->MqttPage();
    auto* enabled = page->findChild<QCheckBox*>("cbMqttEnabled");
    auto* broker = page->findChild<QLineEdit*>("edMqttBrokerUrl");
    EXPECT_EQ(std::pair(enabled->isChecked(), broker->text()),
              std::pair(false, QString("mqtt://127.0.0.1:1883")));
    Window->LocalList()->Row(1)->setSelected(true);
    page->PublishSelectedButton()->click();
    Window->LocalList()->Row(0)->setSelected(true);
    page->PublishSelectedButton()->click(); // WR0002 only once
    EXPECT_EQ(page->findChild<QLabel*>("lbMqttItems")->text(), "2 items published (from the next start)");
    enabled->click();
    broker->setText("mqtts://broker:8883");
    page->findChild<QLineEdit*>("edMqttGroupId")->setText(" Plant ");
    page->findChild<QLineEdit*>("edMqttEdgeNodeId")->setText("Press");
    EXPECT_EQ(Ok(), QStringList{});
    TMqttConfig stored;
    ASSERT_TRUE(LoadMqttConfig(T.Store, stored));
    std::string ids;
    for (const auto& item : stored.Items) ids += " " + item.ItemId;
    EXPECT_EQ(std::tuple(stored.Enabled, stored.AllowWrites,
                         stored.BrokerUrl + " " + stored.GroupId + "/" + stored.EdgeNodeId + ids),
              std::tuple(true, false, "mqtts://broker:8883 Plant/Press PLC1.WR0002 PLC1.WR0001"));
}

TEST_F(ConfigDialogTest, SerialPortsLoadAndStore) {
    PLCs.SerialPorts.Ports[0] = {false, -1, false};
    PLCs.SerialPorts.Ports[1] = {true, 9600, true};
    PLCs.SerialPorts.Ports[2] = {false, 12345, false};
    PLCs.SerialPorts.Ports[3] = {false, 4800, false};
    PLCs.SerialPorts.Ports[4] = {false, 38400, false};
    Open();
    auto row = [&](int p) { return Dialog->PortRow(p); };
    EXPECT_EQ(row(0).pnPort->text(), "Com 1");
    EXPECT_EQ((QStringList{row(0).cbBaudRate->currentText(), row(1).cbBaudRate->currentText(),
                           row(1).cbControl->currentText(), row(2).cbBaudRate->currentText(),
                           row(3).edDevice->text(), row(3).cbBaudRate->currentText(),
                           row(4).cbBaudRate->currentText()}),
              (QStringList{"Autodetect", "9600", "Procedure 2", "19200", "/dev/ttyS3", "4800", "38400"}));
    EXPECT_TRUE(row(1).cbMultiDrop->isChecked());

    row(0).cbBaudRate->setCurrentIndex(3);
    row(1).cbBaudRate->setCurrentIndex(4);
    row(1).cbControl->setCurrentIndex(0);
    row(2).cbMultiDrop->setChecked(true);
    row(3).edDevice->setText("/dev/pts/7");
    ASSERT_EQ(Ok(), QStringList{});
    // Baud rate, procedure 2 and multidrop of the first three ports, in memory and stored.
    auto ports = [](const TSerialPortTable& table) {
        std::string text;
        for (int p = 0; p < 3; ++p)
            text += std::to_string(table.Ports[p].BaudRate) + (table.Ports[p].TrnsProc ? "P" : "") +
                    (table.Ports[p].MultiDrop ? "M " : " ");
        return text;
    };
    EXPECT_EQ(ports(PLCs.SerialPorts), "38400 -1M 19200M ");
    TSerialPortTable stored;
    stored.Load(T.Store);
    EXPECT_EQ(ports(stored), "38400 -1M 19200M ");
    EXPECT_EQ(SerialDevicePath(&T.Store, "COM4") + SerialDevicePath(&T.Store, "COM1"),
              "/dev/pts/7/dev/ttyS0");

    // Back to the default device: the entry goes. A path outside /dev is refused.
    Open();
    EXPECT_EQ(row(3).edDevice->text(), "/dev/pts/7");
    row(3).edDevice->setText("/etc/passwd");
    EXPECT_EQ(Ok(), QStringList{"Com 4: the serial device must be a path under /dev/"});
    EXPECT_EQ(SerialDevicePath(&T.Store, "COM4"), "/dev/pts/7");
    row(3).edDevice->clear();
    EXPECT_EQ(Ok(), QStringList{});
    EXPECT_EQ(SerialDevicePath(&T.Store, "COM4"), "/dev/ttyS3");
}

TEST_F(ConfigDialogTest, ConfigurationActionAndTrayAfterOk) {
    bool cleared = false;
    Dialog->ClearBrowseTree = [&] { cleared = true; };
    Open();
    Ok();
    EXPECT_TRUE(cleared);

    // Started by a client with the tray icon switched off: the window hides again, it is
    // not left minimised on the task bar.
    Window->show();
    Window->StartedByClient = true;
    Open();
    Dialog->CheckBox("cbShowTrayIcon")->click();
    ASSERT_FALSE(Dialog->CheckBox("cbShowTrayIcon")->isChecked());
    Ok();
    QApplication::processEvents();
    EXPECT_FALSE(Window->isVisible() || Window->isMinimized() || Window->Tray()->isVisible());
}

TEST_F(ConfigDialogTest, AMachineStoreTheUserCannotWriteIsReportedOnceAtOk) {
    QTemporaryDir dir;
    const QString machine = dir.path() + "/machine.store";
    QFile file(machine);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly) && file.write("DRAVON-STORE 1\n") > 0);
    file.close();
    QFile::setPermissions(machine, QFile::ReadOwner | QFile::ReadOther);
    TFileStore store(machine.toStdString(), (dir.path() + "/user.store").toStdString());
    T.Context.Store = &store;
    AddPlc("Shared");
    Open();
    EXPECT_EQ(Ok(), QStringList{"Unable to modify system registry, please log on with administrator rights"});
    T.Context.Store = &T.Store;
}

TEST_F(ConfigDialogTest, RegisterButtonsShowTheirResultEachTime) {
    QStringList shown;
    Dialog->RegistrationBox = [&](bool isError, const QString& text, const QString& detail) {
        shown << QString(isError ? "error: " : "info: ") + text + (detail.isEmpty() ? "" : " (detail)");
    };
    Open();
    EXPECT_EQ(Dialog->RegisterButton()->text() + Dialog->UnregisterButton()->text(),
              "&Register Server&Unregister Server");
    for (QPushButton* button :
         {Dialog->RegisterButton(), Dialog->RegisterButton(), Dialog->UnregisterButton()})
        button->click();
    auto server = T.Store.OpenKeyReadOnly(TRootKey::ClassesRoot,
                                          std::string("CLSID\\") + ServerClassID + "\\LocalServer32");
    ASSERT_TRUE(server);
    EXPECT_EQ(server->ReadString(""), QCoreApplication::applicationFilePath().toStdString());
    // A store that refuses writes, and none at all; unregistration reports as information either way.
    TMemoryStore failing;
    failing.WritesFail = true;
    for (IKeyValueStore* store : std::initializer_list<IKeyValueStore*>{&failing, nullptr}) {
        T.Context.Store = store;
        Dialog->RegisterButton()->click();
    }
    Dialog->UnregisterButton()->click();
    T.Context.Store = &T.Store;
    EXPECT_EQ(shown.join("\n").toStdString(),
              "info: Dravon OPC Data Access Server successfully registered.\n"
              "info: Dravon OPC Data Access Server successfully registered.\n"
              "info: Dravon OPC Data Access Server succesfully unregistered.\n"
              "error: Dravon OPC Data Access Server registration failed. (detail)\n"
              "error: Dravon OPC Data Access Server registration failed. (detail)\n"
              "info: Dravon OPC Data Access Server unregistration failed. (detail)");
}

} // namespace
} // namespace dravon
