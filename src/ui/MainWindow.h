// The operator's main window: tree of server, PLCs and memory types, the session log,
// the Info box, the status line with Tx/Rx lamps and the tray icon. It only draws: the
// 300 ms duty lives in the server core, which calls Refresh() on every tick.
#pragma once

#include "app/ServerContext.h"
#include "app/SessionLog.h"
#include "app/Settings.h"
#include "server/ServerCore.h"

#include "ui/MonitorList.h"
#include "ui/ValueFormat.h"

#include <QMainWindow>

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <string>

class QAction;
class QCloseEvent;
class QGroupBox;
class QIcon;
class QLabel;
class QMenu;
class QPlainTextEdit;
class QStackedWidget;
class QSystemTrayIcon;
class QTimer;
class QTreeWidget;
class QTreeWidgetItem;
class QWidget;

namespace dravon {

class THitachiPLC;
class TfrmConfig;

class TfrmAddMonitorVar;
class TfrmEnterVal;

class TfrmMain : public QMainWindow, public ISessionLogView, public IServerCoreView, public ICommLamps {
    Q_OBJECT
public:
    static constexpr int StatusMessageMs = 5000;
    static constexpr int LampMs = 100;
    static constexpr const char* ExitQuery = "Clients connected to OPC server. Do you want to exit?";
    static constexpr const char* TrayHint = "Dravon OPC Data Access Server";
    static constexpr int ToolTipHideDelayMs = 20000;

    // Dravon's own picture (application, window and tray), drawn from the SVG in the resources.
    static QIcon AppIcon();

    // context.PLCs may be null (no PLC list yet); positions are read at construction
    // and written back as the operator moves and sizes the window.
    TfrmMain(TServerContext& context, TPositions& positions, QWidget* parent = nullptr);
    ~TfrmMain() override;

    // Seams the program sets; tests replace them.
    std::function<int()> ClientsConnected = [] { return 0; };
    std::function<bool(const QString&)> AskExit; // default: a Yes/No box
    // The close was accepted (shut-down command, or closing without the tray icon): the
    // program ends its event loop here.
    std::function<void()> CloseAccepted;
    // Whether the desktop has a tray to hide into (tests replace it).
    std::function<bool()> SystemTrayAvailable;
    // Started by a client (/EMBEDDING): with the tray icon off the window stays invisible.
    bool StartedByClient = false;
    std::function<void()> AddLocationRequested; // "Add" (the add dialog)
    // "Set value": the row's location and every selected location as targets.
    std::function<void(THitachiLocation&, const std::vector<THitachiLocation*>&)> SetValueRequested;
    // The add and set-value dialogs behind those two by default; created at first use and
    // kept (the add dialog's browse tree lives on until the configuration's OK clears it).
    TfrmAddMonitorVar& AddMonitorDialog();
    TfrmEnterVal& SetValueDialog();

    static constexpr int MaxRowChangesPerRefresh = 100;

    void SetStartTime(TDateTime start) { StartTime_ = start; }
    // After the start-up: the window shows in the state it was saved in, unless it starts
    // hidden for a client (then the posted hide-to-tray decides).
    void ShowAtStart(bool startedByClient, bool startInTray);

    // --- ISessionLogView
    void MemoCleared() override;
    void MemoLineAdded(const std::string& line) override;
    void ShowMessage(const std::string& text, unsigned durationMs) override;
    // --- IServerCoreView
    void SettingsLoaded() override;
    void PositionsLoaded() override;
    void HideToTray() override;
    void ShowRequested() override;
    void Refresh() override;
    bool Minimized() const override { return isMinimized(); }
    bool ShowError(const std::string& message) override;
    // "&Configuration" (F5) and 1032: the configuration dialog, modally.
    void OpenConfiguration() override;
    // Created at first use and kept: its PLC rows persist between openings.
    TfrmConfig& ConfigDialog();
    void ApplyTrayIconVisibility();

    void ShowStatusMessage(const QString& text, int durationMs = StatusMessageMs);
    // --- ICommLamps: the drivers call these for frames of the PLC in the context's LampPLC.
    void ActivateTxLed(const THitachiPLC* plc) override;
    void ActivateRxLed(const THitachiPLC* plc) override;
    void ShowIndication();
    void ClearLogWindow();
    void ResetMaxTimes();
    void ResetLastError();

    // --- monitor lists
    // A row in the local monitor list holding one reference on the location.
    void AddToLocalMonitor(THitachiLocation& location);
    void DeleteSelectedLocal();
    void SelectAll();
    void SetView(TViewFormat view);
    // Drops the PLC's node and lists before the PLC is freed.
    void RemovePlc(const THitachiPLC* plc);
    TMonitorList* CurrentList() const { return CurrentList_; }
    TMonitorList* LocalList() const { return LocalList_; }
    TMonitorList* PlcList(const THitachiPLC* plc) const;
    TMonitorList* TypeList(const THitachiPLC* plc, int row) const;
    std::vector<THitachiLocation*> SelectedLocations() const;

    // Rebuilds the tree's PLC nodes from the list (names, order, removals).
    void SyncTree();

    // Geometry into the positions record (normal bounds of a maximised window kept).
    void StorePositions();
    void ApplyPositions();

    // --- what tests look at
    QTreeWidget* Tree() const { return tvTreeView_; }
    QTreeWidgetItem* ServerNode() const { return ServerNode_; }
    QTreeWidgetItem* LocalMonitorNode() const { return LocalNode_; }
    QTreeWidgetItem* PlcNode(const THitachiPLC* plc) const;
    THitachiPLC* SelectedPLC() const { return SelectedPLC_; }
    QString InfoCaption() const;
    // Property/value rows of the info list that shows.
    std::vector<std::pair<QString, QString>> InfoRows() const;
    QString StatusText() const;
    int StatusCountdown() const { return StatusCountdown_; }
    bool TxLit() const;
    bool RxLit() const;
    bool LampsVisible() const;
    QString IndicationText() const;
    QString LogText() const;
    QAction* Action(const QString& name) const;
    bool TrayAvailable() const;
    QSystemTrayIcon* Tray() const { return Tray_; }
    QWidget* IndicationPanel() const;
    std::uint64_t UpTimeMs() const { return UpTime_; }

protected:
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    // The drivers light the lamps only for the selected PLC of a shown window.
    void WatchLamps();

private:
    enum class TInfoShown { Server, Plc, Monitor };
    void BuildWidgets();
    void BuildActions();
    void OnSelectionChanged();
    void Draw();
    void FillServerInfo();
    void FillPlcInfo();
    void SetLamp(QWidget* lamp, bool lit, bool tx);
    QTreeWidgetItem* AddPlcNode(THitachiPLC& plc);
    void UpdateActionStates();
    // Action states follow the shown list's rows once the current event is done.
    void ScheduleActionUpdate();
    void ApplySplitterPositions();
    struct TPlcLists {
        TMonitorList* Plc = nullptr;
        std::array<TMonitorList*, 26> Types{};
    };
    TPlcLists& EnsureLists(THitachiPLC& plc);
    TMonitorList* NewList(bool isLocal);
    void DropStaleRows(THitachiPLC& plc, TPlcLists& lists);
    int MaintainRows(THitachiPLC& plc);
    void UpdateVisibleRows();
    void SetCurrentMonitorList(TMonitorList* list);

    TServerContext& Context_;
    TPositions& Positions_;
    QTreeWidget* tvTreeView_ = nullptr;
    QPlainTextEdit* memLog_ = nullptr;
    QGroupBox* gbInfo_ = nullptr;
    QStackedWidget* pnReight_ = nullptr;
    QTreeWidget* lwServerProperties_ = nullptr;
    QTreeWidget* lwPlcInfo_ = nullptr;
    QTreeWidget* lwMonitorInfo_ = nullptr;
    QLabel* lbMsg_ = nullptr;
    QLabel* lbIndicationOf_ = nullptr;
    QLabel* lbTx_ = nullptr;
    QLabel* lbRx_ = nullptr;
    QWidget* pnTx_ = nullptr;
    QWidget* pnRx_ = nullptr;
    QTimer* tmTx_ = nullptr;
    QTimer* tmRx_ = nullptr;
    QSystemTrayIcon* Tray_ = nullptr;
    QTreeWidgetItem* ServerNode_ = nullptr;
    QTreeWidgetItem* LocalNode_ = nullptr;
    std::map<const THitachiPLC*, QTreeWidgetItem*> PlcNodes_;
    THitachiPLC* SelectedPLC_ = nullptr;
    std::map<const THitachiPLC*, TPlcLists> Lists_;
    TMonitorList* LocalList_ = nullptr;
    TMonitorList* CurrentList_ = nullptr;
    std::array<int, 5> SavedWidths_{};
    std::pair<QMenu*, QMenu*> ListMenus_{}; // PLC lists, local list
    TInfoShown InfoShown_ = TInfoShown::Server;
    TfrmAddMonitorVar* AddDialog_ = nullptr;
    TfrmEnterVal* EnterValDialog_ = nullptr;
    std::map<QString, QAction*> Actions_;
    int StatusCountdown_ = 0;
    int RefreshCountdown_ = 0;
    std::uint32_t LastTick_ = 0;
    std::uint64_t UpTime_ = 0;
    TDateTime StartTime_ = 0;
    bool RootExpanded_ = false;
    bool ClosingAccepted_ = false;
    bool ShutdownCommand_ = false;
    bool ActionUpdatePending_ = false;
    bool SplittersApplied_ = false;
    TfrmConfig* Config_ = nullptr;
};

} // namespace dravon
