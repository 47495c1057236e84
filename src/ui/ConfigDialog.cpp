#include "ui/ConfigDialog.h"

#include "app/KeyValueStore.h"
#include "app/ServerContext.h"
#include "app/SessionLog.h"
#include "app/Settings.h"
#include "comm/SerialDevicePath.h"
#include "plc/HitachiLocation.h"
#include "plc/HitachiPLC.h"
#include "plc/PLCCollection.h"
#include "ui/AddMonitorDialog.h"
#include "ui/MainWindow.h"
#include "ui/MonitorList.h"
#include "ui/MqttPage.h"
#include "ui/NumberEdit.h"
#include "ui/OpcUaPage.h"
#include "ui/PlcListFrame.h"
#include "ui/RegisterServerButtons.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QFrame>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QShowEvent>
#include <QTabWidget>
#include <QTreeWidgetItem>
#include <QVBoxLayout>

#include <algorithm>
#include <optional>

namespace dravon {

namespace {

enum TPage { PageGeneral = 0, PageBlockRead = 1, PageWaitTime = 2, PageAdvanced = 3 };

struct TCheckSetting {
    TPage Page;
    const char* Name;
    bool TSettings::*Setting;
    const char* Caption;
    bool Default; // what the page's Default button puts in
};

struct TNumberSetting {
    TPage Page;
    const char* Name;
    int TSettings::*Setting;
    const char* Caption;
    int Digits;
    int MaxValue;
    int Default;
    int FallBack; // stored when the field holds no number at OK
};

// In the order of the pages and, within a page, top to bottom.
const TCheckSetting CheckSettings[] = {
    {PageGeneral, "cbShowTrayIcon", &TSettings::ShowTrayIcon, "Show tray icon", true},
    {PageGeneral, "cbAllowBrowsingPLCVariables", &TSettings::AllowBrowsing, "Allow browsing PLC variables",
     true},
    {PageGeneral, "cbDetectIntensiveBrowsing", &TSettings::DetectIntensiveBrowsing,
     "Autodetect intensive browsing clients", true},
    {PageGeneral, "cbEnableUncertain", &TSettings::EnableUncertain, "Enable UNCERTAIN quality", true},
    {PageGeneral, "cbEnableBAD", &TSettings::EnableBAD, "Enable BAD quality", true},
    {PageAdvanced, "cbDisableBinaryMode", &TSettings::DisableBinaryMode, "Disable binary mode on serial",
     false},
    {PageAdvanced, "cbQualityIndependetSyncRead", &TSettings::QualityIndependentSyncRead,
     "Quality independent SyncRead (Wizcon)", false},
    {PageAdvanced, "cbForcedOnChange", &TSettings::ForcedOnChange, "Forced OnChange value updates (RSView)",
     false},
    {PageAdvanced, "cbOnChangeAlwaysTrueForStrings", &TSettings::OnChangeAlwaysTrueForStrings,
     "OnChange always TRUE for strings and arrays", false},
    {PageAdvanced, "cbDoSerialSpy", &TSettings::DoSerialSpy, "Show serial communication", false},
    {PageAdvanced, "cbLogEvents", &TSettings::LogEvents, "Create log file (Dravon.log)", false},
    {PageAdvanced, "cbSlowDownVisual", &TSettings::SlowDownVisual, "Slow down visual update rate", false},
    {PageAdvanced, "cbUDPPortSame", &TSettings::UDPPortSame, "Local UDP port same as PLC", false},
};

const TNumberSetting NumberSettings[] = {
    {PageGeneral, "edArrayElementCount", &TSettings::ArrayElementCount,
     "Default number of array elements:", 3, 120, 64, 64},
    {PageBlockRead, "edMinBlockSize", &TSettings::MinBlockSize, "Min. block size (bytes):", 2, 54, 10, 10},
    {PageBlockRead, "edMinBlockUsage", &TSettings::MinBlockUsage, "Min. block usage (%):", 3, 100, 50, 50},
    {PageWaitTime, "edMsgCountBeforeWait", &TSettings::MsgCountBeforeWait, "Messages before wait:", 4, 9999,
     5, 0},
    {PageWaitTime, "edWaitTime", &TSettings::WaitTime, "Wait time (ms):", 5, 99999, 0, 0},
    {PageWaitTime, "edBusyRetries", &TSettings::BusyRetries, "Retries on BUSY:", 5, 99999, 3, 0},
};

const std::pair<const char*, const char*> Hints[] = {
    {"cbShowTrayIcon", "Uncheck this to hide server tray icon"},
    {"cbAllowBrowsingPLCVariables", "Uncheck this if OPC client is not\n\rresponding when trying to "
                                    "browse\n\rDravonOPC server address space"},
    {"cbDetectIntensiveBrowsing", "Autodetect intensive browsing clients\n\rand disable further browsing"},
    {"cbEnableUncertain", "Enable UNCERTAIN (LAST_USEABLE) quality"},
    {"cbEnableBAD", "Enable BAD (COMM_FAILURE, CONFIG_ERROR) quality"},
    {"cbLogEvents", "Check this to start recording OPC actions"},
    {"edArrayElementCount", "Number of array elements to read if client doesn't specify"},
    {"edMinBlockSize",
     "Minimum number of bytes to create a new communication block.\n\rIncrease to get bigger blocks"},
    {"edMinBlockUsage", "Allowed percent of dummy read locations.\n\rDecrease to get fewer number of bigger "
                        "blocks,\n\rcompromising "
                        "increased dummy data throughput"},
    {"edMsgCountBeforeWait", "Number of communication cycles before applying wait time"},
    {"edWaitTime",
     "Duration of inactivity period.\n\rIncrease to allow more data throughput for other servers"},
    {"cbDisableBinaryMode", "Use ASCII protocol instead of binary (serial only)"},
    {"cbDoSerialSpy", "Show serial communication messages and record into log file (if enabled)"},
    {"cbQualityIndependetSyncRead", "OPC SyncRead reports always GOOD quality"},
    {"cbForcedOnChange", "Periodically call OnChange event for all values"},
    {"cbOnChangeAlwaysTrueForStrings",
     "OnChange will fire always for strings and arrays without checking (faster operation)"},
    {"edBusyRetries", "Count of retries on BUSY response"},
    {"cbSlowDownVisual", "Slow down visual update rate to minimize CPU usage on slow PCs"},
    {"cbUDPPortSame", "Local UDP port same as PLC, if unchecked will be automatically assigned"},
};

const char* const BaudRates[] = {"4800", "9600", "19200", "38400", "Autodetect"};
constexpr int AutodetectIndex = 4;
constexpr int MaxMinBlockSize = 54;
constexpr int MaxMinBlockUsage = 99;

QString DefaultDevice(int port) { return QString("/dev/ttyS%1").arg(port); }

class TBusyCursor {
public:
    TBusyCursor() { QApplication::setOverrideCursor(Qt::WaitCursor); }
    ~TBusyCursor() { QApplication::restoreOverrideCursor(); }
    TBusyCursor(const TBusyCursor&) = delete;
    TBusyCursor& operator=(const TBusyCursor&) = delete;
};

} // namespace

TfrmConfig::TfrmConfig(TServerContext& context, TfrmMain* mainWindow, QWidget* parent)
    : QDialog(parent), Context_(context), Main_(mainWindow) {
    setObjectName("frmConfig");
    setWindowTitle("Configuration");
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    setMinimumSize(450, 350);
    resize(706, 456);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(6, 6, 6, 6);
    auto* top = new QHBoxLayout;
    auto* gbSerialPorts = new QGroupBox("Serial ports", this);
    gbSerialPorts->setObjectName("gbSerialPorts");
    gbSerialPorts->setFixedSize(323, 193);
    BuildSerialPortsPanel(gbSerialPorts);
    top->addWidget(gbSerialPorts);
    pcSettings_ = new QTabWidget(this);
    pcSettings_->setObjectName("pcSettings");
    pcSettings_->setFixedSize(375, 190);
    BuildSettingsPages();
    top->addWidget(pcSettings_);
    top->addStretch(1);
    layout->addLayout(top);

    fPlcList_ = new TfPlcList(this);
    fPlcList_->IsMultiDrop = [this](int port) { return SerialPortPropsIsMultiDrop(port); };
    fPlcList_->IsTrnsProc2 = [this](int port) { return SerialPortPropsIsTrnsProc2(port); };
    fPlcList_->SetMultiDrop = [this](int port, bool on) {
        if (port >= 0 && port < TSerialPortTable::PortCount)
            Ports_[static_cast<std::size_t>(port)].cbMultiDrop->setChecked(on);
    };
    fPlcList_->PortsUsedChanged = [this](const std::array<bool, 8>& used) {
        for (std::size_t p = 0; p < Ports_.size(); ++p) Ports_[p].Lamp->setVisible(used[p]);
    };
    layout->addWidget(fPlcList_, 1);

    auto* bottom = new QHBoxLayout;
    bottom->addStretch(1);
    btOK_ = new QPushButton("OK", this);
    btOK_->setObjectName("btOK");
    btOK_->setDefault(true);
    btCancel_ = new QPushButton("Cancel", this);
    btCancel_->setObjectName("btCancel");
    bottom->addWidget(btOK_);
    bottom->addWidget(btCancel_);
    layout->addLayout(bottom);
    connect(btOK_, &QPushButton::clicked, this, [this] { btOKClick(); });
    if (Main_) ClearBrowseTree = [main = Main_] { main->AddMonitorDialog().ClearBrowseTree(); };
    RegistrationBox = RegistrationMessageBox(this);
    RegisterRequested = [this] {
        RegisterServerWithMessage(Context_.Store, QCoreApplication::applicationFilePath().toStdString(),
                                  RegistrationBox);
    };
    UnregisterRequested = [this] { UnregisterServerWithMessage(Context_.Store, RegistrationBox); };
    connect(btCancel_, &QPushButton::clicked, this, &QDialog::reject);

    if (QScreen* screen = QApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());
}

TfrmConfig::~TfrmConfig() = default;

void TfrmConfig::BuildSerialPortsPanel(QGroupBox* box) {
    auto* boxLayout = new QVBoxLayout(box);
    auto* scroll = new QScrollArea(box);
    scroll->setObjectName("sbSerialPorts");
    boxLayout->addWidget(scroll);
    auto* panel = new QWidget;
    auto* grid = new QGridLayout(panel);
    grid->setContentsMargins(2, 2, 2, 2);
    grid->setHorizontalSpacing(2);
    grid->setVerticalSpacing(1);
    // The device column is the Linux side of a COM port; it sits right of the four
    // columns every operator knows, so the rest of the panel stays where it was.
    const char* titles[] = {"Port", "Baud rate", "Control", "Multidrop", "Device"};
    for (int c = 0; c < 5; ++c) {
        auto* title = new QLabel(titles[c], panel);
        title->setFrameStyle(QFrame::Panel | QFrame::Raised);
        title->setAlignment(Qt::AlignCenter);
        grid->addWidget(title, 0, c);
    }
    for (int p = 0; p < TSerialPortTable::PortCount; ++p) {
        TSerialPortRow& row = Ports_[static_cast<std::size_t>(p)];
        auto* portPanel = new QWidget(panel);
        auto* portLayout = new QHBoxLayout(portPanel);
        portLayout->setContentsMargins(2, 0, 2, 0);
        row.pnPort = new QLabel(QString("Com %1").arg(p + 1), portPanel);
        row.Lamp = new QFrame(portPanel);
        row.Lamp->setFixedSize(8, 8);
        row.Lamp->setAutoFillBackground(true);
        QPalette lampPalette = row.Lamp->palette();
        lampPalette.setColor(QPalette::Window, QColor(0, 255, 0)); // lime
        row.Lamp->setPalette(lampPalette);
        row.Lamp->setToolTip("used");
        row.Lamp->hide();
        portLayout->addWidget(row.pnPort);
        portLayout->addWidget(row.Lamp);
        grid->addWidget(portPanel, p + 1, 0);
        row.cbBaudRate = new QComboBox(panel);
        for (const char* rate : BaudRates) row.cbBaudRate->addItem(rate);
        grid->addWidget(row.cbBaudRate, p + 1, 1);
        row.cbControl = new QComboBox(panel);
        row.cbControl->addItems({"Procedure 1", "Procedure 2"});
        grid->addWidget(row.cbControl, p + 1, 2);
        row.cbMultiDrop = new QCheckBox(panel);
        grid->addWidget(row.cbMultiDrop, p + 1, 3, Qt::AlignCenter);
        row.edDevice = new QLineEdit(panel);
        row.edDevice->setObjectName(QString("edDevice%1").arg(p));
        row.edDevice->setMinimumWidth(110);
        row.edDevice->setToolTip("Serial device this COM port opens");
        grid->addWidget(row.edDevice, p + 1, 4);
        connect(row.cbMultiDrop, &QCheckBox::toggled, this,
                [this, p](bool checked) { fPlcList_->MultiDropChanged(p, checked); });
        connect(row.cbControl, &QComboBox::currentIndexChanged, this,
                [this] { fPlcList_->UpdateAllSerialCells(); });
    }
    scroll->setWidget(panel);
}

QCheckBox* TfrmConfig::AddCheckBox(QWidget* page, const char* name, const char* caption) {
    auto* box = new QCheckBox(caption, page);
    box->setObjectName(name);
    CheckBoxes_[name] = box;
    return box;
}

TumNumberEdit* TfrmConfig::AddNumberField(QWidget* page, const char* name, const char* caption, int digits,
                                          int maxValue) {
    auto* label = new QLabel(caption, page);
    auto* edit = new TumNumberEdit(page);
    edit->setObjectName(name);
    edit->setMaxLength(digits);
    edit->SetMaxValue(maxValue);
    edit->setFixedWidth(60);
    label->setBuddy(edit);
    NumberFields_[name] = edit;
    Labels_[name] = label;
    return edit;
}

void TfrmConfig::BuildSettingsPages() {
    const char* pageNames[] = {"General", "Block read", "Wait time", "Advanced"};
    const char* headings[] = {nullptr, "Block read parameters", "Ethernet throughput reduce", nullptr};
    for (int page = 0; page < 4; ++page) {
        auto* widget = new QWidget;
        auto* layout = new QGridLayout(widget);
        layout->setVerticalSpacing(2);
        int row = 0;
        if (headings[page]) {
            auto* heading = new QLabel(headings[page], widget);
            QFont font = heading->font();
            font.setBold(true);
            heading->setFont(font);
            layout->addWidget(heading, row++, 0, 1, 2);
        }
        for (const TCheckSetting& s : CheckSettings)
            if (s.Page == page) layout->addWidget(AddCheckBox(widget, s.Name, s.Caption), row++, 0, 1, 2);
        for (const TNumberSetting& s : NumberSettings)
            if (s.Page == page) {
                TumNumberEdit* edit = AddNumberField(widget, s.Name, s.Caption, s.Digits, s.MaxValue);
                layout->addWidget(Labels_[s.Name], row, 0);
                layout->addWidget(edit, row++, 1, Qt::AlignLeft);
            }
        auto* buttons = new QHBoxLayout;
        if (page == PageGeneral) {
            btRegister_ = new QPushButton("&Register Server", widget);
            btRegister_->setObjectName("btRegister");
            btUnregister_ = new QPushButton("&Unregister Server", widget);
            btUnregister_->setObjectName("btUnregister");
            connect(btRegister_, &QPushButton::clicked, this, [this] { RegisterRequested(); });
            connect(btUnregister_, &QPushButton::clicked, this, [this] { UnregisterRequested(); });
            buttons->addWidget(btRegister_);
            buttons->addWidget(btUnregister_);
        }
        buttons->addStretch(1);
        auto* defaults = new QPushButton("Default", widget);
        defaults->setObjectName(QString("btDefault%1").arg(page));
        connect(defaults, &QPushButton::clicked, this, [this, page] { SetDefaults(page); });
        DefaultButtons_[static_cast<std::size_t>(page)] = defaults;
        buttons->addWidget(defaults);
        layout->setRowStretch(row++, 1);
        layout->addLayout(buttons, row, 0, 1, 2);
        pcSettings_->addTab(widget, pageNames[page]);
    }
    MqttPage_ = new TfMqttPage(pcSettings_);
    MqttPage_->SelectedItemIds = [this] {
        std::vector<std::string> ids;
        if (Main_)
            for (const THitachiLocation* location : Main_->SelectedLocations())
                ids.push_back(LocationCaption(*location, true));
        return ids;
    };
    pcSettings_->addTab(MqttPage_, "MQTT");
    UaPage_ = new TfOpcUaPage(UaPkiFolder(Context_.ApplicationDirectory), pcSettings_);
    pcSettings_->addTab(UaPage_, "OPC UA");
}

QCheckBox* TfrmConfig::CheckBox(const QString& name) const {
    auto it = CheckBoxes_.find(name);
    return it == CheckBoxes_.end() ? nullptr : it->second;
}

TumNumberEdit* TfrmConfig::NumberField(const QString& name) const {
    auto it = NumberFields_.find(name);
    return it == NumberFields_.end() ? nullptr : it->second;
}

QLabel* TfrmConfig::FieldLabel(const QString& name) const {
    auto it = Labels_.find(name);
    return it == Labels_.end() ? nullptr : it->second;
}

QPushButton* TfrmConfig::DefaultButton(int page) const {
    return page >= 0 && page < 4 ? DefaultButtons_[static_cast<std::size_t>(page)] : nullptr;
}

void TfrmConfig::SetDefaults(int page) {
    for (const TCheckSetting& s : CheckSettings)
        if (s.Page == page) CheckBoxes_[s.Name]->setChecked(s.Default);
    for (const TNumberSetting& s : NumberSettings)
        if (s.Page == page) NumberFields_[s.Name]->setText(QString::number(s.Default));
}

void TfrmConfig::SetHints() {
    for (const auto& [name, hint] : Hints) {
        if (QCheckBox* box = CheckBox(name)) box->setToolTip(hint);
        if (TumNumberEdit* edit = NumberField(name)) edit->setToolTip(hint);
        if (QLabel* label = FieldLabel(name)) label->setToolTip(hint);
    }
}

TSerialPortTable& TfrmConfig::PortTable() { return Context_.PLCs ? Context_.PLCs->SerialPorts : OwnPorts_; }

bool TfrmConfig::SerialPortPropsIsMultiDrop(int port) const {
    if (port < 0 || port >= TSerialPortTable::PortCount) return false;
    return Ports_[static_cast<std::size_t>(port)].cbMultiDrop->isChecked();
}

bool TfrmConfig::SerialPortPropsIsTrnsProc2(int port) const {
    if (port < 0 || port >= TSerialPortTable::PortCount) return false;
    return Ports_[static_cast<std::size_t>(port)].cbControl->currentIndex() == 1;
}

void TfrmConfig::LoadSettings() {
    const TSettings& settings = Context_.Settings;
    for (const TCheckSetting& s : CheckSettings) CheckBoxes_[s.Name]->setChecked(settings.*s.Setting);
    for (const TNumberSetting& s : NumberSettings) NumberFields_[s.Name]->SetValue(settings.*s.Setting);
}

void TfrmConfig::LoadPorts() {
    const TSerialPortTable& table = PortTable();
    for (int p = 0; p < TSerialPortTable::PortCount; ++p) {
        TSerialPortRow& row = Ports_[static_cast<std::size_t>(p)];
        const TSerialPortInfo& info = table.Ports[static_cast<std::size_t>(p)];
        row.cbMultiDrop->setChecked(info.MultiDrop);
        row.cbControl->setCurrentIndex(info.TrnsProc ? 1 : 0);
        int baud = 2; // "19200" for any value not in the list
        if (info.BaudRate == -1)
            baud = AutodetectIndex;
        else if (info.BaudRate == 4800)
            baud = 0;
        else if (info.BaudRate == 9600)
            baud = 1;
        else if (info.BaudRate == 38400)
            baud = 3;
        row.cbBaudRate->setCurrentIndex(baud);
        row.edDevice->setText(
            QString::fromStdString(SerialDevicePath(Context_.Store, "COM" + std::to_string(p + 1))));
    }
    fPlcList_->UpdateAllSerialCells();
}

void TfrmConfig::FormShow() {
    pcSettings_->setCurrentIndex(PageGeneral);
    SetHints();
    fPlcList_->BuildHeader();
    if (Context_.PLCs) fPlcList_->SyncWithList(*Context_.PLCs);
    LoadSettings();
    LoadPorts();
    if (Context_.Store) MqttPage_->Load(*Context_.Store);
    if (Context_.Store) UaPage_->Load(*Context_.Store);
}

void TfrmConfig::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    if (!event->spontaneous()) FormShow();
}

int TfrmConfig::Execute() { return exec(); }

void TfrmConfig::ShowError(const QString& message) {
    if (ShowErrorMessage)
        ShowErrorMessage(message);
    else
        QMessageBox::critical(this, "Error", message, QMessageBox::Ok);
}

bool TfrmConfig::PlcHasClientReferences(const THitachiPLC& plc) {
    // References the local monitor list and double words (on their halves) hold are ours;
    // a location nobody holds any more is waiting for its purge, not used by a client.
    auto held = [](const THitachiLocation& location) {
        int own = location.DisplayRows[SlotLocal] ? 1 : 0;
        if (!location.IsDoubleWord) own += (location.HighLink ? 1 : 0) + (location.LowLink ? 1 : 0);
        return location.RefCount > own;
    };
    for (int i = 0; i < plc.Monitored.Count(); ++i)
        if (held(plc.Monitored.Item(i))) return true;
    // A client's item on a status variable points into the PLC just the same.
    for (int i = 0; i < plc.StatusVars.Count(); ++i)
        if (held(plc.StatusVars.Item(i))) return true;
    return false;
}

bool TfrmConfig::btOKClick() {
    TPLCCollection* plcs = Context_.PLCs;
    // 1. Names. A PLC that will stay although its row was deleted keeps its name taken.
    std::vector<QString> taken;
    if (plcs)
        for (int i = 0; i < plcs->Count(); ++i) {
            const THitachiPLC& plc = plcs->PLCByIndex(i);
            if (fPlcList_->MarkedForDeletion(&plc) && PlcHasClientReferences(plc))
                taken.push_back(QString::fromStdString(plc.Name));
        }
    if (const QString failure = fPlcList_->ValidatePlcNames(taken); !failure.isEmpty()) {
        ShowError(failure);
        return false;
    }
    for (int p = 0; p < TSerialPortTable::PortCount; ++p) {
        const QString device = Ports_[static_cast<std::size_t>(p)].edDevice->text().trimmed();
        if (!device.isEmpty() && !device.startsWith("/dev/")) {
            ShowError(QString("Com %1: the serial device must be a path under /dev/").arg(p + 1));
            return false;
        }
    }

    TSettings& settings = Context_.Settings;
    // 2. Drivers made while the rows are applied take the local UDP port rule from here.
    settings.UDPPortSame = CheckBox("cbUDPPortSame")->isChecked();

    if (plcs) {
        {
            // 3. Rows, in display order.
            TBusyCursor busy;
            for (TPLCCell* cell : fPlcList_->Cells())
                fPlcList_->ApplyCellToPlc(*cell, *plcs, [this](THitachiPLC& plc) {
                    if (!Main_) return;
                    if (QTreeWidgetItem* node = Main_->PlcNode(&plc))
                        node->setText(0, QString::fromStdString(plc.Name));
                });
            // 4. Deletions, last to first.
            for (int i = plcs->Count() - 1; i >= 0; --i) {
                THitachiPLC& plc = plcs->PLCByIndex(i);
                if (!fPlcList_->MarkedForDeletion(&plc)) continue;
                if (PlcHasClientReferences(plc)) {
                    ShowError(UnableToDeleteMessage);
                    continue;
                }
                // The window's rows hold references into the PLC: they go first.
                if (Main_) Main_->RemovePlc(&plc);
                fPlcList_->ForgetDeleteMark(&plc);
                plcs->DeletePLC(i);
            }
        }
    }

    // 5.-6. Settings.
    const bool logEventsBefore = settings.LogEvents;
    for (const TCheckSetting& s : CheckSettings) settings.*s.Setting = CheckBoxes_[s.Name]->isChecked();
    if (Main_) Main_->ApplyTrayIconVisibility();
    for (const TNumberSetting& s : NumberSettings) {
        const TumNumberEdit* edit = NumberFields_[s.Name];
        settings.*s.Setting = edit->text().isEmpty() ? s.FallBack : edit->Value();
    }
    settings.MinBlockSize = std::min(settings.MinBlockSize, MaxMinBlockSize);
    settings.MinBlockUsage = std::min(settings.MinBlockUsage, MaxMinBlockUsage);

    // 7. Log file.
    if (settings.LogEvents != logEventsBefore && Context_.Log) Context_.Log->PrepareLogFile();

    // 8. Ports.
    TSerialPortTable& table = PortTable();
    for (int p = 0; p < TSerialPortTable::PortCount; ++p) {
        const TSerialPortRow& row = Ports_[static_cast<std::size_t>(p)];
        TSerialPortInfo& info = table.Ports[static_cast<std::size_t>(p)];
        info.BaudRate =
            row.cbBaudRate->currentIndex() == AutodetectIndex ? -1 : row.cbBaudRate->currentText().toInt();
        info.TrnsProc = row.cbControl->currentIndex() == 1;
        info.MultiDrop = row.cbMultiDrop->isChecked();
    }

    // 9. The add dialog shows the new PLC list when next opened.
    ClearBrowseTree();

    // 10. Store.
    // A store the user may not write fails for the PLC list and the settings alike: one box.
    QString shown;
    auto showMessage = [this, &shown](const std::string& text) {
        if (shown == QString::fromStdString(text)) return;
        shown = QString::fromStdString(text);
        ShowError(shown);
    };
    // The PLC list, the devices and the settings reach the store file in one write.
    std::optional<TStoreUpdate> update;
    if (Context_.Store) update.emplace(*Context_.Store);
    bool stored = true;
    if (plcs) stored = plcs->SavePLCList(showMessage);
    if (stored && Context_.Store) {
        // The device each COM port opens; the default needs no entry.
        if (auto key = Context_.Store->OpenKey(TRootKey::LocalMachine, SerialPortsKeyPath)) {
            for (int p = 0; p < TSerialPortTable::PortCount && stored; ++p) {
                const QString device = Ports_[static_cast<std::size_t>(p)].edDevice->text().trimmed();
                const std::string name = "Device" + std::to_string(p);
                if (device.isEmpty() || device == DefaultDevice(p)) {
                    if (key->ValueExists(name)) stored = key->DeleteValue(name);
                } else {
                    stored = key->WriteString(name, device.toStdString());
                }
            }
            if (!stored) showMessage(RegistryWriteFailedMessage);
        }
    }
    if (Context_.Store) SaveConfigurationToRegistry(*Context_.Store, settings, showMessage);
    if (Context_.Store && !MqttPage_->Save(*Context_.Store)) showMessage(RegistryWriteFailedMessage);
    if (Context_.Store && !UaPage_->Save(*Context_.Store)) showMessage(RegistryWriteFailedMessage);
    if (update && !update->Commit()) showMessage(RegistryWriteFailedMessage);

    // 11.-12.
    if (Main_) {
        Main_->ShowIndication();
        if (Main_->StartedByClient && !settings.ShowTrayIcon)
            QMetaObject::invokeMethod(
                Main_, [main = Main_] { main->HideToTray(); }, Qt::QueuedConnection);
    }
    accept();
    return true;
}

} // namespace dravon
