// The configuration dialog: serial ports, the nineteen settings on four pages and the PLC
// list. Nothing is applied before OK; OK validates, applies in a fixed order, stores and
// closes. Created once and reused: PLC rows keep their edits between openings.
#pragma once

#include "plc/SerialPortTable.h"
#include "ui/RegisterServerButtons.h"

#include <QDialog>
#include <QString>

#include <array>
#include <functional>
#include <map>

class QCheckBox;
class QComboBox;
class QFrame;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QTabWidget;

namespace dravon {

class THitachiPLC;
class TPLCCollection;
class TfPlcList;
class TfMqttPage;
class TfOpcUaPage;
class TfrmMain;
class TumNumberEdit;
struct TServerContext;

class TfrmConfig : public QDialog {
    Q_OBJECT
public:
    static constexpr const char* UnableToDeleteMessage = "Unable to delete PLC while client(s) connected";

    // mainWindow may be null (no window: tree, tray and indication are skipped).
    TfrmConfig(TServerContext& context, TfrmMain* mainWindow, QWidget* parent = nullptr);
    ~TfrmConfig() override;

    // Seams the program sets; tests replace them.
    std::function<void(const QString&)> ShowErrorMessage; // default: an error box
    std::function<void()> ClearBrowseTree = [] {};        // default: the add dialog's tree
    std::function<void()> RegisterRequested;              // "&Register Server", with its box
    std::function<void()> UnregisterRequested;            // "&Unregister Server", with its box
    TRegistrationBox RegistrationBox;                     // default: a box with an OK button

    // Shows the dialog modally (FormShow runs as it appears).
    int Execute();
    // What showing does: General page, hints, rows in step with the PLC list, controls
    // loaded from the settings and the port table.
    void FormShow();
    // OK: false while a name is refused (the dialog stays open).
    bool btOKClick();

    // Port 0 to 7; false outside.
    bool SerialPortPropsIsMultiDrop(int port) const;
    bool SerialPortPropsIsTrnsProc2(int port) const;

    // A location held by something other than the local monitor list (an OPC item).
    static bool PlcHasClientReferences(const THitachiPLC& plc);

    struct TSerialPortRow {
        QLabel* pnPort = nullptr;
        QFrame* Lamp = nullptr; // "used": a serial PLC row chose this port
        QComboBox* cbBaudRate = nullptr;
        QComboBox* cbControl = nullptr;
        QCheckBox* cbMultiDrop = nullptr;
        QLineEdit* edDevice = nullptr; // the device COMn opens
    };

    // --- what tests look at
    TfPlcList* PlcList() const { return fPlcList_; }
    QTabWidget* Pages() const { return pcSettings_; }
    const TSerialPortRow& PortRow(int port) const { return Ports_[static_cast<std::size_t>(port)]; }
    QCheckBox* CheckBox(const QString& name) const;
    TumNumberEdit* NumberField(const QString& name) const;
    QLabel* FieldLabel(const QString& name) const;
    QPushButton* DefaultButton(int page) const;
    QPushButton* OkButton() const { return btOK_; }
    QPushButton* CancelButton() const { return btCancel_; }
    QPushButton* RegisterButton() const { return btRegister_; }
    QPushButton* UnregisterButton() const { return btUnregister_; }
    TfMqttPage* MqttPage() const { return MqttPage_; }
    TfOpcUaPage* UaPage() const { return UaPage_; }

protected:
    void showEvent(QShowEvent* event) override;

private:
    void BuildSerialPortsPanel(QGroupBox* box);
    void BuildSettingsPages();
    QCheckBox* AddCheckBox(QWidget* page, const char* name, const char* caption);
    TumNumberEdit* AddNumberField(QWidget* page, const char* name, const char* caption, int digits,
                                  int maxValue);
    void SetHints();
    void LoadSettings();
    void LoadPorts();
    void StoreSettings();
    void StorePorts();
    void SetDefaults(int page);
    TSerialPortTable& PortTable();
    void ShowError(const QString& message);

    TServerContext& Context_;
    TfrmMain* Main_;
    QTabWidget* pcSettings_ = nullptr;
    TfPlcList* fPlcList_ = nullptr;
    TfMqttPage* MqttPage_ = nullptr;
    TfOpcUaPage* UaPage_ = nullptr;
    QPushButton* btOK_ = nullptr;
    QPushButton* btCancel_ = nullptr;
    QPushButton* btRegister_ = nullptr;
    QPushButton* btUnregister_ = nullptr;
    std::array<TSerialPortRow, TSerialPortTable::PortCount> Ports_{};
    std::array<QPushButton*, 4> DefaultButtons_{};
    std::map<QString, QCheckBox*> CheckBoxes_;
    std::map<QString, TumNumberEdit*> NumberFields_;
    std::map<QString, QLabel*> Labels_;
    // Used when the program has no PLC list yet.
    TSerialPortTable OwnPorts_;
};

} // namespace dravon
