#include "ui/MainWindow.h"

#include "app/TimeDate.h"
#include "plc/HitachiPLC.h"
#include "plc/MemoryTypes.h"
#include "plc/PLCCollection.h"
#include "plc/Variables.h"
#include "ui/ConfigDialog.h"

#include "ui/AddMonitorDialog.h"
#include "ui/SetValueDialog.h"
#include "ui/ToolTipDelay.h"

#include <QAction>
#include <QCloseEvent>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QIcon>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPainter>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QShowEvent>
#include <QSplitter>
#include <QStackedWidget>
#include <QStatusBar>
#include <QSvgRenderer>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>
#include <set>

// Outside the namespace, as the resource initialiser must be.
static void InitUiResources() { Q_INIT_RESOURCE(dravon_ui); }

namespace dravon {

namespace {

constexpr int RoleKind = Qt::UserRole;
constexpr int RoleRow = Qt::UserRole + 1;
enum TNodeKind { NodeServer = 1, NodePlc = 2, NodeMemoryType = 3, NodeLocal = 4 };

QString Q(const std::string& text) { return QString::fromStdString(text); }

QTreeWidget* MakeInfoList(QWidget* parent) {
    auto* list = new QTreeWidget(parent);
    list->setColumnCount(2);
    list->setHeaderLabels({"Property", "Value"});
    list->setColumnWidth(0, 220);
    list->setColumnWidth(1, 200);
    list->setRootIsDecorated(false);
    list->setFocusPolicy(Qt::NoFocus);
    list->setEditTriggers(QAbstractItemView::NoEditTriggers);
    // Rows are read, never picked.
    list->setSelectionMode(QAbstractItemView::NoSelection);
    return list;
}

void SetRows(QTreeWidget* list, const std::vector<TInfoRow>& rows) {
    while (list->topLevelItemCount() > static_cast<int>(rows.size()))
        delete list->takeTopLevelItem(list->topLevelItemCount() - 1);
    for (std::size_t i = 0; i < rows.size(); ++i) {
        QTreeWidgetItem* item = list->topLevelItem(static_cast<int>(i));
        if (!item) item = new QTreeWidgetItem(list);
        if (item->text(0) != Q(rows[i].Caption)) item->setText(0, Q(rows[i].Caption));
        if (item->text(1) != Q(rows[i].Value)) item->setText(1, Q(rows[i].Value));
    }
}

bool SameDay(TDateTime a, TDateTime b) { return std::floor(a) == std::floor(b); }

} // namespace

QIcon TfrmMain::AppIcon() {
    // The library is static: its resources are registered by hand.
    InitUiResources();
    QSvgRenderer renderer(QStringLiteral(":/dravon.svg"));
    QIcon icon;
    if (!renderer.isValid()) return icon;
    for (int size : {16, 22, 24, 32, 48, 64, 128, 256}) {
        QPixmap pixmap(size, size);
        pixmap.fill(Qt::transparent);
        QPainter painter(&pixmap);
        renderer.render(&painter);
        painter.end();
        icon.addPixmap(pixmap);
    }
    return icon;
}

TfrmMain::TfrmMain(TServerContext& context, TPositions& positions, QWidget* parent)
    : QMainWindow(parent), Context_(context), Positions_(positions) {
    setWindowTitle("Dravon");
    setWindowIcon(AppIcon());
    new TToolTipDelay(ToolTipHideDelayMs, this);
    SystemTrayAvailable = [] { return QSystemTrayIcon::isSystemTrayAvailable(); };
    BuildWidgets();
    BuildActions();
    if (Context_.Clock) {
        LastTick_ = Context_.Clock->TickCount();
        StartTime_ = Context_.Clock->Now();
    }
    FillServerInfo();
    ApplyPositions();
    // The dialogs are the default handlers; a test may put its own in their place.
    AddLocationRequested = [this] { AddMonitorDialog().Execute(); };
    SetValueRequested = [this](THitachiLocation& location, const std::vector<THitachiLocation*>& targets) {
        SetValueDialog().ShowSetValueDialog(location, targets);
    };
    Context_.Lamps = this;
}

TfrmMain::~TfrmMain() {
    if (Context_.Lamps == this) {
        Context_.Lamps = nullptr;
        Context_.LampPLC = nullptr;
    }
}

void TfrmMain::BuildWidgets() {
    auto* splitter1 = new QSplitter(Qt::Horizontal, this);
    splitter1->setObjectName("Splitter1");
    splitter1->setHandleWidth(5);
    tvTreeView_ = new QTreeWidget(splitter1);
    tvTreeView_->setObjectName("tvTreeView");
    tvTreeView_->setHeaderHidden(true);
    tvTreeView_->setMinimumWidth(20);
    tvTreeView_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    ServerNode_ = new QTreeWidgetItem(tvTreeView_, QStringList{"Dravon"});
    ServerNode_->setData(0, RoleKind, NodeServer);
    LocalNode_ = new QTreeWidgetItem(tvTreeView_, QStringList{"Local monitor"});
    LocalNode_->setData(0, RoleKind, NodeLocal);
    connect(tvTreeView_, &QTreeWidget::currentItemChanged, this, [this] { OnSelectionChanged(); });

    auto* splitter2 = new QSplitter(Qt::Vertical, splitter1);
    splitter2->setObjectName("Splitter2");
    splitter2->setHandleWidth(6);
    pnReight_ = new QStackedWidget(splitter2);
    pnReight_->setObjectName("pnReight");
    memLog_ = new QPlainTextEdit(pnReight_);
    pnReight_->addWidget(memLog_);
    memLog_->setObjectName("memLog");
    memLog_->setReadOnly(true);
    memLog_->setLineWrapMode(QPlainTextEdit::NoWrap);
    gbInfo_ = new QGroupBox("Server info", splitter2);
    gbInfo_->setObjectName("gbInfo");
    gbInfo_->setMinimumHeight(40);
    auto* infoLayout = new QVBoxLayout(gbInfo_);
    lwServerProperties_ = MakeInfoList(gbInfo_);
    lwServerProperties_->setObjectName("lwServerProperties");
    lwPlcInfo_ = MakeInfoList(gbInfo_);
    lwMonitorInfo_ = MakeInfoList(gbInfo_);
    SetRows(lwMonitorInfo_, {{"Monitored addresses", "0"}});
    infoLayout->addWidget(lwServerProperties_);
    infoLayout->addWidget(lwPlcInfo_);
    infoLayout->addWidget(lwMonitorInfo_);
    lwPlcInfo_->hide();
    lwMonitorInfo_->hide();
    splitter1->setSizes({207, 637});
    LocalList_ = NewList(true);
    setCentralWidget(splitter1);

    // Status line: message label, then the activity indicator on the right.
    lbMsg_ = new QLabel(this);
    lbMsg_->setObjectName("lbMsg");
    // A long message must not push the activity indicator out of the status line.
    lbMsg_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    auto* indication = new QWidget(this);
    indication->setObjectName("pnIndication");
    // 89 pixels at the classic font; wider where the font needs it, so "TCP:" is never cut.
    indication->setMinimumWidth(89);
    indication->setToolTip("Communication activity indicator");
    auto* row = new QHBoxLayout(indication);
    row->setContentsMargins(0, 0, 0, 0);
    lbIndicationOf_ = new QLabel("Com 1:", indication);
    lbIndicationOf_->setMinimumWidth(lbIndicationOf_->fontMetrics().horizontalAdvance("Com 8:") + 2);
    lbTx_ = new QLabel("Tx", indication);
    pnTx_ = new QWidget(indication);
    lbRx_ = new QLabel("Rx", indication);
    pnRx_ = new QWidget(indication);
    for (QWidget* lamp : {pnTx_, pnRx_}) {
        lamp->setFixedSize(18, 6);
        lamp->setAutoFillBackground(true);
    }
    row->addWidget(lbIndicationOf_);
    row->addWidget(lbTx_);
    row->addWidget(pnTx_);
    row->addWidget(lbRx_);
    row->addWidget(pnRx_);
    SetLamp(pnTx_, false, true);
    SetLamp(pnRx_, false, false);
    statusBar()->addWidget(lbMsg_, 1);
    statusBar()->addPermanentWidget(indication);

    tmTx_ = new QTimer(this);
    tmRx_ = new QTimer(this);
    for (QTimer* timer : {tmTx_, tmRx_}) {
        timer->setInterval(LampMs);
        timer->setSingleShot(true);
    }
    connect(tmTx_, &QTimer::timeout, this, [this] { SetLamp(pnTx_, false, true); });
    connect(tmRx_, &QTimer::timeout, this, [this] { SetLamp(pnRx_, false, false); });
    ShowIndication();

    // Shown once the stored settings say so (SettingsLoaded), not with the defaults.
    Tray_ = new QSystemTrayIcon(windowIcon(), this);
    Tray_->setToolTip(QString(TrayHint).left(255));
    connect(Tray_, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        if (reason == QSystemTrayIcon::DoubleClick) ShowRequested();
    });
}

void TfrmMain::BuildActions() {
    auto add = [this](const QString& name, const QString& caption, const QKeySequence& keys, auto handler) {
        auto* action = new QAction(caption, this);
        action->setObjectName(name);
        if (!keys.isEmpty()) action->setShortcut(keys);
        connect(action, &QAction::triggered, this, handler);
        Actions_[name] = action;
        return action;
    };
    QAction* shutdown = add("acServerShutDown", "Server S&hutdown", QKeySequence("Ctrl+Alt+F4"), [this] {
        ShutdownCommand_ = true;
        close();
    });
    QAction* resetMax =
        add("acResetMaxTimes", "&Reset maximum times", QKeySequence("Ctrl+R"), [this] { ResetMaxTimes(); });
    QAction* resetErr = add("acResetLastError", "Reset last error response", QKeySequence("Ctrl+E"),
                            [this] { ResetLastError(); });
    QAction* clearLog =
        add("ClearLogwindow1", "Clear Log window", QKeySequence(), [this] { ClearLogWindow(); });
    QAction* show = add("acShowServer", "Sho&w Server", QKeySequence(), [this] { ShowRequested(); });
    add("acMinimizeToTray", "&Minimize to tray", QKeySequence(), [this] { HideToTray(); });
    QAction* setValue = add("acSetValMonLocation", "&Set value", QKeySequence(Qt::Key_Return), [this] {
        const auto selected = SelectedLocations();
        if (!selected.empty() && SetValueRequested) SetValueRequested(*selected.front(), selected);
    });
    // The keypad's Enter is Enter too.
    setValue->setShortcuts({QKeySequence(Qt::Key_Return), QKeySequence(Qt::Key_Enter)});
    QAction* forceValue = add("acForceVal", "&Set value", QKeySequence(), [this] {
        const auto selected = SelectedLocations();
        if (SelectedPLC_ && !selected.empty() && SetValueRequested)
            SetValueRequested(*selected.front(), selected);
    });
    QAction* addLocation =
        add("acAddMonLocation", "Add to monitor list", QKeySequence(Qt::Key_Insert), [this] {
            if (AddLocationRequested) AddLocationRequested();
        });
    QAction* delLocation =
        add("acDelMonLocation", "Delete", QKeySequence(Qt::Key_Delete), [this] { DeleteSelectedLocal(); });
    QAction* configuration =
        add("acConfiguration", "&Configuration", QKeySequence(Qt::Key_F5), [this] { OpenConfiguration(); });
    QAction* selAll = add("acSelAll", "Select all", QKeySequence("Ctrl+A"), [this] { SelectAll(); });
    const std::pair<const char*, const char*> viewNames[] = {
        {"acViewAsDec", "View as Dec"},
        {"acViewAsSignedDec", "View as Signed Dec"},
        {"acViewAsHex", "View as Hex"},
        {"acViewAsFloatingPoint", "View as Floating point"},
        {"acViewAsFractional", "View as Fractional"}};
    for (int i = 0; i < 5; ++i) {
        QAction* view = add(viewNames[i].first, viewNames[i].second, QKeySequence(),
                            [this, i] { SetView(static_cast<TViewFormat>(i)); });
        view->setCheckable(true);
    }
    QAction* about = add("acAbout", "&About", QKeySequence(), [this] {
        QMessageBox::about(this, "About Dravon",
                           "Dravon OPC server for Hitachi PLCs, version " DRAVON_VERSION);
    });

    QMenu* file = menuBar()->addMenu("&File");
    file->addAction(shutdown);
    QMenu* commands = menuBar()->addMenu("&Commands");
    commands->addAction(setValue);
    commands->addSeparator();
    commands->addAction(resetMax);
    commands->addAction(resetErr);
    commands->addAction(clearLog);
    commands->addSeparator();
    commands->addAction(addLocation);
    commands->addSeparator();
    commands->addAction(configuration);
    auto addViews = [this](QMenu* menu) {
        for (const char* name : {"acViewAsDec", "acViewAsSignedDec", "acViewAsHex", "acViewAsFractional",
                                 "acViewAsFloatingPoint"})
            menu->addAction(Actions_[name]);
    };
    auto* pmLocationMenu = new QMenu(this);
    pmLocationMenu->addAction(forceValue);
    pmLocationMenu->addSeparator();
    addViews(pmLocationMenu);
    pmLocationMenu->addSeparator();
    pmLocationMenu->addAction(selAll);
    auto* pmMonitorMenu = new QMenu(this);
    // The list's own menu says "Add"; Ins stays the window's short-cut.
    auto* addItem = new QAction("Add", pmMonitorMenu);
    addItem->setObjectName("miAddMonLocation");
    addItem->setShortcut(QKeySequence(Qt::Key_Insert));
    addItem->setShortcutContext(Qt::WidgetShortcut);
    connect(addItem, &QAction::triggered, addLocation, &QAction::trigger);
    pmMonitorMenu->addAction(addItem);
    pmMonitorMenu->addAction(delLocation);
    pmMonitorMenu->addAction(setValue);
    pmMonitorMenu->addSeparator();
    addViews(pmMonitorMenu);
    pmMonitorMenu->addSeparator();
    pmMonitorMenu->addAction(selAll);
    // Short-cuts work wherever the focus is in the window.
    for (QAction* action : {setValue, addLocation, delLocation, selAll, configuration}) addAction(action);
    ListMenus_ = {pmLocationMenu, pmMonitorMenu};
    // Right click selects the node under the pointer; the local node offers the list menu.
    tvTreeView_->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(tvTreeView_, &QWidget::customContextMenuRequested, this, [this, pmMonitorMenu](const QPoint& at) {
        QTreeWidgetItem* node = tvTreeView_->itemAt(at);
        if (node)
            tvTreeView_->setCurrentItem(node);
        else
            tvTreeView_->clearSelection();
        if (node == LocalNode_) pmMonitorMenu->popup(tvTreeView_->viewport()->mapToGlobal(at));
    });
    QMenu* help = menuBar()->addMenu("&Help");
    help->addAction(about);

    auto* pmPropsMenu = new QMenu(this);
    pmPropsMenu->addAction(resetMax);
    pmPropsMenu->addAction(resetErr);
    for (QTreeWidget* list : {lwServerProperties_, lwPlcInfo_, lwMonitorInfo_}) {
        list->setContextMenuPolicy(Qt::CustomContextMenu);
        connect(list, &QWidget::customContextMenuRequested, this, [pmPropsMenu, list](const QPoint& at) {
            pmPropsMenu->popup(list->viewport()->mapToGlobal(at));
        });
    }
    auto* pmMainMenu = new QMenu(this);
    pmMainMenu->addAction(show);
    pmMainMenu->addAction(shutdown);
    pmMainMenu->setDefaultAction(show);
    Tray_->setContextMenu(pmMainMenu);
    Actions_["pmMonitorMenu.Add"] = addItem;
    UpdateActionStates();
}

void TfrmMain::ScheduleActionUpdate() {
    if (ActionUpdatePending_) return;
    ActionUpdatePending_ = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            ActionUpdatePending_ = false;
            UpdateActionStates();
        },
        Qt::QueuedConnection);
}

void TfrmMain::UpdateActionStates() {
    if (Actions_.empty()) return;
    const bool plc = SelectedPLC_ != nullptr;
    Actions_["acResetMaxTimes"]->setEnabled(plc);
    Actions_["acResetLastError"]->setEnabled(plc);
    const std::vector<THitachiLocation*> selected = SelectedLocations();
    THitachiLocation* first = selected.empty() ? nullptr : selected.front();
    // Variables are computed by the server: nothing to set.
    const bool settable = first && first->Name.empty();
    Actions_["acSetValMonLocation"]->setEnabled(settable);
    Actions_["acForceVal"]->setEnabled(settable);
    Actions_["acDelMonLocation"]->setEnabled(CurrentList_ == LocalList_ && first);
    Actions_["acSelAll"]->setEnabled(CurrentList_ && CurrentList_->RowCount() > 0);
    const bool integer = first && first->VarType != VarTypeBstr;
    const bool floating = first && first->IsDoubleWord;
    const char* views[] = {"acViewAsDec", "acViewAsSignedDec", "acViewAsHex", "acViewAsFloatingPoint",
                           "acViewAsFractional"};
    for (int i = 0; i < 5; ++i) {
        QAction* action = Actions_[views[i]];
        action->setEnabled(i < 3 ? integer : floating);
        action->setChecked(selected.size() == 1 && first->View == i);
    }
}

QAction* TfrmMain::Action(const QString& name) const {
    auto it = Actions_.find(name);
    return it == Actions_.end() ? nullptr : it->second;
}

QTreeWidgetItem* TfrmMain::PlcNode(const THitachiPLC* plc) const {
    auto it = PlcNodes_.find(plc);
    return it == PlcNodes_.end() ? nullptr : it->second;
}

QTreeWidgetItem* TfrmMain::AddPlcNode(THitachiPLC& plc) {
    auto* node = new QTreeWidgetItem(QStringList{Q(plc.Name)});
    node->setData(0, RoleKind, NodePlc);
    for (int row = 0; row < MemoryTypeCount; ++row) {
        auto* child = new QTreeWidgetItem(node, QStringList{QString::fromLatin1(plc.MemoryTypes[row].Name)});
        child->setData(0, RoleKind, NodeMemoryType);
        child->setData(0, RoleRow, row);
    }
    // Before "Local monitor", so PLC nodes follow the list order.
    tvTreeView_->insertTopLevelItem(tvTreeView_->indexOfTopLevelItem(LocalNode_), node);
    PlcNodes_[&plc] = node;
    return node;
}

void TfrmMain::SyncTree() {
    // Nodes of PLCs that left the list go first, moving the selection away from them.
    std::map<const THitachiPLC*, bool> present;
    if (Context_.PLCs)
        for (int i = 0; i < Context_.PLCs->Count(); ++i) present[&Context_.PLCs->PLCByIndex(i)] = true;
    std::vector<const THitachiPLC*> gone;
    for (const auto& [plc, node] : PlcNodes_)
        if (!present.count(plc)) gone.push_back(plc);
    for (const auto& [plc, lists] : Lists_)
        if (!present.count(plc)) gone.push_back(plc);
    for (const THitachiPLC* plc : gone) RemovePlc(plc);
    if (!Context_.PLCs) return;
    for (int i = 0; i < Context_.PLCs->Count(); ++i) {
        THitachiPLC& plc = Context_.PLCs->PLCByIndex(i);
        QTreeWidgetItem* node = PlcNode(&plc);
        if (!node)
            node = AddPlcNode(plc);
        else if (node->text(0) != Q(plc.Name))
            node->setText(0, Q(plc.Name));
    }
}

namespace {
THitachiPLC* PlcOfNode(const std::map<const THitachiPLC*, QTreeWidgetItem*>& nodes, QTreeWidgetItem* node) {
    for (const auto& [plc, item] : nodes)
        if (item == node) return const_cast<THitachiPLC*>(plc);
    return nullptr;
}
} // namespace

void TfrmMain::OnSelectionChanged() {
    QTreeWidgetItem* node = tvTreeView_->currentItem();
    if (!node) return;
    const int kind = node->data(0, RoleKind).toInt();
    switch (kind) {
    case NodeLocal:
        SelectedPLC_ = nullptr;
        InfoShown_ = TInfoShown::Monitor;
        SetCurrentMonitorList(LocalList_);
        break;
    case NodeServer:
        SelectedPLC_ = nullptr;
        InfoShown_ = TInfoShown::Server;
        SetCurrentMonitorList(nullptr);
        break;
    case NodePlc: {
        THitachiPLC* plc = PlcOfNode(PlcNodes_, node);
        if (!plc) return;
        SelectedPLC_ = plc;
        InfoShown_ = TInfoShown::Plc;
        SetCurrentMonitorList(EnsureLists(*plc).Plc);
        break;
    }
    case NodeMemoryType: {
        THitachiPLC* plc = PlcOfNode(PlcNodes_, node->parent());
        const int row = node->data(0, RoleRow).toInt();
        if (!plc || row < 0 || row >= MemoryTypeCount) return;
        SelectedPLC_ = plc;
        InfoShown_ = TInfoShown::Plc;
        SetCurrentMonitorList(EnsureLists(*plc).Types[row]);
        break;
    }
    default: return;
    }
    lwServerProperties_->setVisible(InfoShown_ == TInfoShown::Server);
    lwPlcInfo_->setVisible(InfoShown_ == TInfoShown::Plc);
    lwMonitorInfo_->setVisible(InfoShown_ == TInfoShown::Monitor);
    gbInfo_->setTitle(InfoCaption());
    gbInfo_->setVisible(true);
    // A lamp lit for the previous PLC must not stay lit for the new one.
    tmTx_->stop();
    tmRx_->stop();
    SetLamp(pnTx_, false, true);
    SetLamp(pnRx_, false, false);
    FillPlcInfo();
    ShowIndication();
    UpdateActionStates();
}

QString TfrmMain::InfoCaption() const {
    switch (InfoShown_) {
    case TInfoShown::Plc: return "PLC info";
    case TInfoShown::Monitor: return "Monitor";
    default: return "Server info";
    }
}

std::vector<std::pair<QString, QString>> TfrmMain::InfoRows() const {
    QTreeWidget* list = InfoShown_ == TInfoShown::Plc       ? lwPlcInfo_
                        : InfoShown_ == TInfoShown::Monitor ? lwMonitorInfo_
                                                            : lwServerProperties_;
    std::vector<std::pair<QString, QString>> rows;
    for (int i = 0; i < list->topLevelItemCount(); ++i)
        rows.emplace_back(list->topLevelItem(i)->text(0), list->topLevelItem(i)->text(1));
    return rows;
}

void TfrmMain::FillPlcInfo() {
    if (!SelectedPLC_) return;
    const TDateTime now = Context_.Clock ? Context_.Clock->Now() : 0;
    SetRows(lwPlcInfo_, SelectedPLC_->InfoRows(now));
}

void TfrmMain::FillServerInfo() {
    const TDateTime now = Context_.Clock ? Context_.Clock->Now() : 0;
    int total = 0;
    if (Context_.PLCs)
        for (int i = 0; i < Context_.PLCs->Count(); ++i)
            total += Context_.PLCs->PLCByIndex(i).Monitored.CountWithoutDoubleWords();
    const std::string started =
        SameDay(StartTime_, now) ? TimeText(StartTime_) : TimeText(StartTime_) + "  " + DateText(StartTime_);
    SetRows(lwServerProperties_,
            {{"Server started at", started},
             {"Server uptime", UpTimeText(UpTime_)},
             {"Total number of monitored PLC locations", std::to_string(total)},
             {"Clients connected", std::to_string(ClientsConnected ? ClientsConnected() : 0)}});
}

void TfrmMain::Refresh() {
    // The drawing may run on every fourth tick only; the status message counts down on
    // every tick, after the drawing, so a message stays for 17 ticks and goes with the 18th.
    --RefreshCountdown_;
    if (!Context_.Settings.SlowDownVisual || RefreshCountdown_ <= 0) {
        RefreshCountdown_ = 4;
        Draw();
    }
    if (StatusCountdown_ >= 1) {
        StatusCountdown_ -= 300;
        if (StatusCountdown_ == 0) lbMsg_->clear();
    }
}

void TfrmMain::Draw() {
    if (Context_.Clock) {
        const std::uint32_t tick = Context_.Clock->TickCount();
        UpTime_ += TickDiff(tick, LastTick_);
        LastTick_ = tick;
    }
    if (isMinimized()) return;
    SyncTree();
    if (Context_.PLCs)
        for (int i = 0; i < Context_.PLCs->Count(); ++i) {
            MaintainRows(Context_.PLCs->PLCByIndex(i));
            // Once per PLC, as the values of any PLC may show in the local list.
            if (CurrentList_ && CurrentList_->isVisible() && !isMinimized()) UpdateVisibleRows();
        }
    SetRows(lwMonitorInfo_, {{"Monitored addresses", std::to_string(LocalList_->RowCount())}});
    FillPlcInfo();
    FillServerInfo();
    if (!RootExpanded_) {
        ServerNode_->setExpanded(true);
        RootExpanded_ = true;
    }
    if (StatusCountdown_ <= 0) lbMsg_->clear();
}

TMonitorList* TfrmMain::NewList(bool isLocal) {
    auto* list = new TMonitorList(pnReight_, isLocal);
    pnReight_->addWidget(list);
    list->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(list, &QWidget::customContextMenuRequested, this, [this, list](const QPoint& at) {
        if (QMenu* menu = list->IsLocal() ? ListMenus_.second : ListMenus_.first)
            menu->popup(list->viewport()->mapToGlobal(at));
    });
    connect(list, &QTreeWidget::itemSelectionChanged, this, [this] { UpdateActionStates(); });
    // "Select all" follows the rows as they come and go, not only the selection.
    connect(list->model(), &QAbstractItemModel::rowsInserted, this, [this] { ScheduleActionUpdate(); });
    connect(list->model(), &QAbstractItemModel::rowsRemoved, this, [this] { ScheduleActionUpdate(); });
    connect(list, &QTreeWidget::itemDoubleClicked, this, [this] {
        const auto selected = SelectedLocations();
        if (!selected.empty() && selected.front()->Name.empty() && SetValueRequested)
            SetValueRequested(*selected.front(), selected);
    });
    return list;
}

TfrmMain::TPlcLists& TfrmMain::EnsureLists(THitachiPLC& plc) {
    TPlcLists& lists = Lists_[&plc];
    if (!lists.Plc) lists.Plc = NewList(false);
    for (auto& list : lists.Types)
        if (!list) list = NewList(false);
    return lists;
}

TMonitorList* TfrmMain::PlcList(const THitachiPLC* plc) const {
    auto it = Lists_.find(plc);
    return it == Lists_.end() ? nullptr : it->second.Plc;
}

TMonitorList* TfrmMain::TypeList(const THitachiPLC* plc, int row) const {
    auto it = Lists_.find(plc);
    if (it == Lists_.end() || row < 0 || row >= MemoryTypeCount) return nullptr;
    return it->second.Types[row];
}

void TfrmMain::RemovePlc(const THitachiPLC* plc) {
    if (Context_.LampPLC == plc) Context_.LampPLC = nullptr;
    if (SelectedPLC_ == plc) {
        SelectedPLC_ = nullptr;
        tvTreeView_->setCurrentItem(ServerNode_);
    }
    if (auto it = PlcNodes_.find(plc); it != PlcNodes_.end()) {
        delete it->second;
        PlcNodes_.erase(it);
    }
    // Its locations may already be freed: orphan the rows before deleting them.
    auto dropList = [this](TMonitorList* list) {
        if (!list) return;
        if (CurrentList_ == list) SetCurrentMonitorList(nullptr);
        for (int i = 0; i < list->RowCount(); ++i) list->Row(i)->Orphan();
        delete list;
    };
    if (auto it = Lists_.find(plc); it != Lists_.end()) {
        dropList(it->second.Plc);
        for (TMonitorList* list : it->second.Types) dropList(list);
        Lists_.erase(it);
    }
    for (int i = LocalList_->RowCount() - 1; i >= 0; --i) {
        TMonitorRow* row = LocalList_->Row(i);
        if (row->PLC() != plc) continue;
        row->Orphan();
        delete row;
    }
}

void TfrmMain::DropStaleRows(THitachiPLC& plc, TPlcLists& lists) {
    // A location freed behind our back (purged at the end of a read pass) must not be
    // touched through a row: rows whose location left the collection go.
    std::set<const THitachiLocation*> live;
    for (int i = 0; i < plc.Monitored.Count(); ++i) live.insert(&plc.Monitored.Item(i));
    for (int i = 0; i < plc.StatusVars.Count(); ++i) live.insert(&plc.StatusVars.Item(i));
    auto sweep = [&](TMonitorList* list, bool onlyThisPlc) {
        if (!list) return;
        for (int i = list->RowCount() - 1; i >= 0; --i) {
            TMonitorRow* row = list->Row(i);
            if (onlyThisPlc && row->PLC() != &plc) continue;
            THitachiLocation* location = row->Location();
            if (location && live.count(location) && location->DisplayRows[row->Slot()] == row) continue;
            row->Orphan();
            delete row;
        }
    };
    sweep(lists.Plc, false);
    for (TMonitorList* list : lists.Types) sweep(list, false);
    sweep(LocalList_, true);
}

int TfrmMain::MaintainRows(THitachiPLC& plc) {
    auto found = Lists_.find(&plc);
    TPlcLists* lists = found == Lists_.end() ? nullptr : &found->second;
    TPlcLists none;
    DropStaleRows(plc, lists ? *lists : none);
    int monitored = 0;
    int changes = 0;
    // The update bracket is closed however the walk ends (Item throws on a bad index).
    struct TBracket {
        TPlcLists* Lists = nullptr;
        void Set(bool enabled) {
            for (TMonitorList* list : Lists->Types)
                if (list) list->setUpdatesEnabled(enabled);
            if (Lists->Plc) Lists->Plc->setUpdatesEnabled(enabled);
        }
        ~TBracket() {
            if (Lists) Set(true);
        }
    } bracket;
    auto beginUpdate = [&] {
        if (bracket.Lists || !lists) return;
        bracket.Lists = lists;
        bracket.Set(false);
    };
    for (int i = 0; i < plc.Monitored.Count(); ++i) {
        THitachiLocation& location = plc.Monitored.Item(i);
        if (location.DisplayRows[SlotLocal]) {
            location.ReadRequested = true;
            if (location.IsDoubleWord) {
                if (location.HighLink) location.HighLink->ReadRequested = true;
                if (location.LowLink) location.LowLink->ReadRequested = true;
            }
            if (plc.RenameRefresh) location.RefreshCaption = true;
        }
        if (!location.IsDoubleWord) ++monitored;
        if (changes >= MaxRowChangesPerRefresh) continue;
        const int links = (location.HighLink ? 1 : 0) + (location.LowLink ? 1 : 0);
        const bool wanted = location.IsDoubleWord || location.RefCount > links;
        if (wanted && !location.DisplayRows[SlotPlc]) {
            if (!lists) continue; // nobody has looked at this PLC yet
            const int row = location.TypeRow;
            if (row < 0 || row >= MemoryTypeCount) continue;
            if (!lists->Plc) lists->Plc = NewList(false);
            if (!lists->Types[row]) lists->Types[row] = NewList(false);
            beginUpdate();
            ++changes;
            lists->Plc->AddLocation(location, SlotPlc);
            location.Changed = true;
            lists->Types[row]->AddLocation(location, SlotMemoryType);
        } else if (!wanted && location.DisplayRows[SlotPlc]) {
            beginUpdate();
            ++changes;
            delete location.DisplayRows[SlotPlc];
            delete location.DisplayRows[SlotMemoryType];
        } else if (!wanted && location.DisplayRows[SlotMemoryType]) {
            delete location.DisplayRows[SlotMemoryType];
        }
    }
    plc.RenameRefresh = false;
    return monitored;
}

void TfrmMain::UpdateVisibleRows() {
    TMonitorList* list = CurrentList_;
    if (!list || list->RowCount() == 0) return;
    // Start at the first row in view and stop below the last: far-away rows cost nothing.
    QTreeWidgetItem* item = list->itemAt(0, 0);
    if (!item) item = list->topLevelItem(0);
    const int height = list->viewport()->height();
    // Collected first: a new caption re-sorts the list under a walk by index.
    std::vector<THitachiLocation*> inView;
    for (int i = list->indexOfTopLevelItem(item); i >= 0 && i < list->RowCount(); ++i) {
        TMonitorRow* row = list->Row(i);
        const QRect rect = list->visualItemRect(row);
        if (rect.top() >= height) break;
        if (row->Location() && rect.top() >= 0) inView.push_back(row->Location());
    }
    for (THitachiLocation* location : inView)
        if (location->HasChangedForDisplay(Context_.Settings)) UpdateLocationRows(*location);
}

void TfrmMain::SetCurrentMonitorList(TMonitorList* list) {
    if (CurrentList_ == list) return;
    if (CurrentList_) {
        for (int i = 0; i < 5; ++i) SavedWidths_[i] = CurrentList_->columnWidth(i);
        CurrentList_->hide();
    }
    CurrentList_ = list;
    if (list) {
        if (SavedWidths_[0] > 0)
            for (int i = 0; i < 5; ++i) list->setColumnWidth(i, SavedWidths_[i]);
        pnReight_->setCurrentWidget(list);
        list->show();
        // Everything in view is drawn at once, not after the next value change.
        for (int i = 0; i < list->RowCount(); ++i)
            if (THitachiLocation* location = list->Row(i)->Location()) location->Changed = true;
    } else {
        pnReight_->setCurrentWidget(memLog_);
    }
    UpdateActionStates();
}

void TfrmMain::AddToLocalMonitor(THitachiLocation& location) {
    if (location.DisplayRows[SlotLocal]) return; // one local row per location
    location.AddRef();
    LocalList_->AddLocation(location, SlotLocal);
    location.Changed = true;
    SetRows(lwMonitorInfo_, {{"Monitored addresses", std::to_string(LocalList_->RowCount())}});
}

std::vector<THitachiLocation*> TfrmMain::SelectedLocations() const {
    std::vector<THitachiLocation*> locations;
    if (!CurrentList_) return locations;
    for (int i = 0; i < CurrentList_->RowCount(); ++i) {
        TMonitorRow* row = CurrentList_->Row(i);
        if (row->isSelected() && row->Location()) locations.push_back(row->Location());
    }
    return locations;
}

void TfrmMain::DeleteSelectedLocal() {
    if (CurrentList_ != LocalList_) return;
    int index = -1;
    for (int i = 0; i < LocalList_->RowCount() && index < 0; ++i)
        if (LocalList_->Row(i)->isSelected()) index = i;
    if (index < 0) return;
    LocalList_->setUpdatesEnabled(false);
    for (int i = LocalList_->RowCount() - 1; i >= 0; --i) {
        TMonitorRow* row = LocalList_->Row(i);
        THitachiLocation* location = row->Location();
        if (!row->isSelected() || !location || location->RefCount <= 0) continue;
        delete row; // the row held one reference, no more
        location->Release();
    }
    LocalList_->setUpdatesEnabled(true);
    LocalList_->clearSelection();
    if (LocalList_->RowCount() > 0) {
        TMonitorRow* next = LocalList_->Row(std::min(index, LocalList_->RowCount() - 1));
        LocalList_->setCurrentItem(next);
        next->setSelected(true);
    }
    SetRows(lwMonitorInfo_, {{"Monitored addresses", std::to_string(LocalList_->RowCount())}});
    UpdateActionStates();
}

void TfrmMain::SelectAll() {
    if (CurrentList_) CurrentList_->selectAll();
    UpdateActionStates();
}

void TfrmMain::SetView(TViewFormat view) {
    const bool floating = view == TViewFormat::FloatingPoint || view == TViewFormat::Fractional;
    for (THitachiLocation* location : SelectedLocations()) {
        if (location->RefCount <= 0) continue;
        if (floating && !location->IsDoubleWord) continue;
        location->View = static_cast<std::uint8_t>(view);
        location->Changed = true;
    }
    UpdateActionStates();
}

void TfrmMain::MemoCleared() { memLog_->clear(); }

void TfrmMain::MemoLineAdded(const std::string& line) { memLog_->appendPlainText(Q(line)); }

void TfrmMain::ShowMessage(const std::string& text, unsigned durationMs) {
    ShowStatusMessage(Q(text), static_cast<int>(durationMs));
}

void TfrmMain::ShowStatusMessage(const QString& text, int durationMs) {
    lbMsg_->setText(text);
    StatusCountdown_ = durationMs;
}

QString TfrmMain::StatusText() const { return lbMsg_->text(); }

void TfrmMain::SetLamp(QWidget* lamp, bool lit, bool tx) {
    const QColor colour =
        tx ? (lit ? QColor(0, 255, 0) : QColor(0, 128, 0)) : (lit ? QColor(255, 0, 0) : QColor(128, 0, 0));
    QPalette palette = lamp->palette();
    palette.setColor(QPalette::Window, colour);
    lamp->setPalette(palette);
}

void TfrmMain::ActivateTxLed(const THitachiPLC* plc) {
    if (!plc || plc != SelectedPLC_) return;
    SetLamp(pnTx_, true, true);
    // Not restarted while running: a busy line blinks instead of staying lit.
    if (!tmTx_->isActive()) tmTx_->start();
}

void TfrmMain::ActivateRxLed(const THitachiPLC* plc) {
    if (!plc || plc != SelectedPLC_) return;
    SetLamp(pnRx_, true, false);
    if (!tmRx_->isActive()) tmRx_->start();
}

bool TfrmMain::TxLit() const { return pnTx_->palette().color(QPalette::Window) == QColor(0, 255, 0); }
bool TfrmMain::RxLit() const { return pnRx_->palette().color(QPalette::Window) == QColor(255, 0, 0); }
bool TfrmMain::LampsVisible() const { return !pnTx_->isHidden() && !pnRx_->isHidden(); }
QString TfrmMain::IndicationText() const { return lbIndicationOf_->text(); }
QString TfrmMain::LogText() const { return memLog_->toPlainText(); }
bool TfrmMain::TrayAvailable() const { return SystemTrayAvailable && SystemTrayAvailable(); }
QWidget* TfrmMain::IndicationPanel() const { return lbIndicationOf_->parentWidget(); }

void TfrmMain::ShowIndication() {
    const bool shown = SelectedPLC_ && SelectedPLC_->Driver;
    lbIndicationOf_->setText(shown ? Q(SelectedPLC_->ConnectionText().Short) : QString());
    for (QWidget* w : {static_cast<QWidget*>(lbTx_), static_cast<QWidget*>(lbRx_), pnTx_, pnRx_})
        w->setHidden(!shown);
    WatchLamps();
}

void TfrmMain::WatchLamps() {
    const bool shown = isVisible() && SelectedPLC_ && SelectedPLC_->Driver;
    Context_.LampPLC = shown ? SelectedPLC_ : nullptr;
}

void TfrmMain::ClearLogWindow() {
    if (Context_.Log) Context_.Log->ClearMemo();
    memLog_->clear();
    // The next BUSY warning of each PLC is logged again.
    if (Context_.PLCs)
        for (int i = 0; i < Context_.PLCs->Count(); ++i) Context_.PLCs->PLCByIndex(i).BusyLogged = false;
}

void TfrmMain::ResetMaxTimes() {
    if (!SelectedPLC_) return;
    SelectedPLC_->ResetMaxima();
    FillPlcInfo();
}

void TfrmMain::ResetLastError() {
    if (!SelectedPLC_) return;
    SelectedPLC_->LastErrorCode = 0;
    SelectedPLC_->LastErrorAt = 0;
    FillPlcInfo();
}

void TfrmMain::HideToTray() {
    ApplyTrayIconVisibility();
    if (Context_.Settings.ShowTrayIcon ? TrayAvailable() : StartedByClient) {
        // Into the tray; a server of a client without tray icon stays invisible.
        hide();
    } else {
        // No tray to bring the window back from: it stays on the task bar.
        showMinimized();
    }
}

void TfrmMain::SettingsLoaded() { ApplyTrayIconVisibility(); }

void TfrmMain::ShowAtStart(bool startedByClient, bool startInTray) {
    StartedByClient = startedByClient;
    if (!startInTray) show();
}

void TfrmMain::PositionsLoaded() { ApplyPositions(); }

TfrmConfig& TfrmMain::ConfigDialog() {
    if (!Config_) Config_ = new TfrmConfig(Context_, this, this);
    return *Config_;
}

void TfrmMain::OpenConfiguration() { ConfigDialog().Execute(); }

void TfrmMain::ApplyTrayIconVisibility() { Tray_->setVisible(Context_.Settings.ShowTrayIcon); }

void TfrmMain::ShowRequested() {
    // The server of a client without tray icon cannot be brought to the front.
    if (StartedByClient && !Context_.Settings.ShowTrayIcon && !isVisible()) return;
    if (isMinimized())
        showNormal();
    else
        show();
    raise();
    activateWindow();
}

bool TfrmMain::ShowError(const std::string& message) {
    QMessageBox::critical(this, windowTitle(), Q(message), QMessageBox::Ok);
    return true;
}

void TfrmMain::closeEvent(QCloseEvent* event) {
    if (ClosingAccepted_) {
        event->accept();
        return;
    }
    // With the tray icon on, closing the window hides it; only the shut-down command ends.
    if (!ShutdownCommand_ && Context_.Settings.ShowTrayIcon) {
        event->ignore();
        HideToTray();
        return;
    }
    if (ClientsConnected && ClientsConnected() > 0) {
        const bool yes = AskExit
                             ? AskExit(ExitQuery)
                             : QMessageBox::question(this, windowTitle(), ExitQuery,
                                                     QMessageBox::Yes | QMessageBox::No) == QMessageBox::Yes;
        if (!yes) {
            ShutdownCommand_ = false;
            event->ignore();
            return;
        }
    }
    ClosingAccepted_ = true;
    StorePositions();
    event->accept();
    if (CloseAccepted) CloseAccepted();
}

void TfrmMain::StorePositions() {
    Positions_.frmState = isMinimized() ? 1 : isMaximized() ? 2 : 0;
    // A maximised or minimised window keeps its normal bounds for the next start.
    const QRect normal = (isMaximized() || isMinimized()) ? normalGeometry() : geometry();
    if (normal.isValid()) {
        Positions_.frmL = normal.x();
        Positions_.frmT = normal.y();
        Positions_.frmW = normal.width();
        Positions_.frmH = normal.height();
    }
    if (auto* s1 = findChild<QSplitter*>("Splitter1");
        s1 && !s1->sizes().isEmpty() && s1->sizes().first() > 0)
        Positions_.Splitter1W = s1->sizes().first();
    if (auto* s2 = findChild<QSplitter*>("Splitter2"); s2 && s2->sizes().size() > 1 && s2->sizes().at(1) > 0)
        Positions_.Splitter2H = s2->sizes().at(1);
}

void TfrmMain::ApplyPositions() {
    setGeometry(Positions_.frmL, Positions_.frmT, std::max(Positions_.frmW, 100),
                std::max(Positions_.frmH, 100));
    ApplySplitterPositions();
    if (Positions_.frmState == 2)
        setWindowState((windowState() & ~Qt::WindowMinimized) | Qt::WindowMaximized);
    if (Positions_.frmState == 1)
        setWindowState((windowState() & ~Qt::WindowMaximized) | Qt::WindowMinimized);
}

void TfrmMain::ApplySplitterPositions() {
    // A splitter scales sizes given before it has its own size: use its real extent.
    if (auto* s1 = findChild<QSplitter*>("Splitter1"))
        s1->setSizes(
            {Positions_.Splitter1W, std::max(s1->width() - Positions_.Splitter1W - s1->handleWidth(), 1)});
    if (auto* s2 = findChild<QSplitter*>("Splitter2"))
        s2->setSizes(
            {std::max(s2->height() - Positions_.Splitter2H - s2->handleWidth(), 1), Positions_.Splitter2H});
}

void TfrmMain::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    if (!SplittersApplied_) {
        SplittersApplied_ = true;
        ApplySplitterPositions();
    }
    WatchLamps();
}

void TfrmMain::hideEvent(QHideEvent* event) {
    QMainWindow::hideEvent(event);
    Context_.LampPLC = nullptr;
}

TfrmAddMonitorVar& TfrmMain::AddMonitorDialog() {
    if (!AddDialog_) AddDialog_ = new TfrmAddMonitorVar(Context_, *this, this);
    return *AddDialog_;
}

TfrmEnterVal& TfrmMain::SetValueDialog() {
    if (!EnterValDialog_) EnterValDialog_ = new TfrmEnterVal(Context_.Clock, this);
    return *EnterValDialog_;
}

} // namespace dravon
