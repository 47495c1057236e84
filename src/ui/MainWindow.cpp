#include "ui/MainWindow.h"

#include "app/TimeDate.h"
#include "plc/HitachiPLC.h"
#include "plc/MemoryTypes.h"
#include "plc/PLCCollection.h"
#include "plc/Variables.h"

#include <QAction>
#include <QCloseEvent>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QShowEvent>
#include <QSplitter>
#include <QStatusBar>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <cmath>

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
    while (list->topLevelItemCount() > static_cast<int>(rows.size())) delete list->takeTopLevelItem(list->topLevelItemCount() - 1);
    for (std::size_t i = 0; i < rows.size(); ++i) {
        QTreeWidgetItem* item = list->topLevelItem(static_cast<int>(i));
        if (!item) item = new QTreeWidgetItem(list);
        if (item->text(0) != Q(rows[i].Caption)) item->setText(0, Q(rows[i].Caption));
        if (item->text(1) != Q(rows[i].Value)) item->setText(1, Q(rows[i].Value));
    }
}

bool SameDay(TDateTime a, TDateTime b) { return std::floor(a) == std::floor(b); }

} // namespace

TfrmMain::TfrmMain(TServerContext& context, TPositions& positions, QWidget* parent)
    : QMainWindow(parent), Context_(context), Positions_(positions) {
    setWindowTitle("Dravon");
    BuildWidgets();
    BuildActions();
    if (Context_.Clock) {
        LastTick_ = Context_.Clock->TickCount();
        StartTime_ = Context_.Clock->Now();
    }
    FillServerInfo();
    ApplyPositions();
}

TfrmMain::~TfrmMain() = default;

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
    memLog_ = new QPlainTextEdit(splitter2);
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
    setCentralWidget(splitter1);

    // Status line: message label, then the activity indicator on the right.
    lbMsg_ = new QLabel(this);
    lbMsg_->setObjectName("lbMsg");
    auto* indication = new QWidget(this);
    indication->setObjectName("pnIndication");
    indication->setFixedWidth(89);
    indication->setToolTip("Communication activity indicator");
    auto* row = new QHBoxLayout(indication);
    row->setContentsMargins(0, 0, 0, 0);
    lbIndicationOf_ = new QLabel("Com 1:", indication);
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

    if (QSystemTrayIcon::isSystemTrayAvailable()) {
        Tray_ = new QSystemTrayIcon(this);
        Tray_->setToolTip(windowTitle().left(255));
        connect(Tray_, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
            if (reason == QSystemTrayIcon::DoubleClick) ShowRequested();
        });
        Tray_->setVisible(Context_.Settings.ShowTrayIcon);
    }
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
        if (ShutdownRequested) ShutdownRequested(); else close();
    });
    QAction* resetMax = add("acResetMaxTimes", "&Reset maximum times", QKeySequence("Ctrl+R"), [this] { ResetMaxTimes(); });
    QAction* resetErr = add("acResetLastError", "Reset last error response", QKeySequence("Ctrl+E"), [this] { ResetLastError(); });
    QAction* clearLog = add("ClearLogwindow1", "Clear Log window", QKeySequence(), [this] { ClearLogWindow(); });
    QAction* show = add("acShowServer", "Sho&w Server", QKeySequence(), [this] { ShowRequested(); });
    add("acMinimizeToTray", "&Minimize to tray", QKeySequence(), [this] { HideToTray(); });
    QAction* about = add("acAbout", "&About", QKeySequence(), [this] {
        QMessageBox::about(this, "About Dravon", "Dravon OPC server for Hitachi PLCs, version " DRAVON_VERSION);
    });

    QMenu* file = menuBar()->addMenu("&File");
    file->addAction(shutdown);
    QMenu* commands = menuBar()->addMenu("&Commands");
    commands->addAction(resetMax);
    commands->addAction(resetErr);
    commands->addAction(clearLog);
    commands->addSeparator();
    QMenu* help = menuBar()->addMenu("&Help");
    help->addAction(about);

    auto* pmPropsMenu = new QMenu(this);
    pmPropsMenu->addAction(resetMax);
    pmPropsMenu->addAction(resetErr);
    for (QTreeWidget* list : {lwServerProperties_, lwPlcInfo_, lwMonitorInfo_}) {
        list->setContextMenuPolicy(Qt::CustomContextMenu);
        connect(list, &QWidget::customContextMenuRequested, this,
                [pmPropsMenu, list](const QPoint& at) { pmPropsMenu->popup(list->viewport()->mapToGlobal(at)); });
    }
    if (Tray_) {
        auto* pmMainMenu = new QMenu(this);
        pmMainMenu->addAction(show);
        pmMainMenu->addAction(shutdown);
        Tray_->setContextMenu(pmMainMenu);
    }
    UpdateActionStates();
}

void TfrmMain::UpdateActionStates() {
    const bool plc = SelectedPLC_ != nullptr;
    Actions_["acResetMaxTimes"]->setEnabled(plc);
    Actions_["acResetLastError"]->setEnabled(plc);
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
    for (auto it = PlcNodes_.begin(); it != PlcNodes_.end();) {
        if (present.count(it->first)) { ++it; continue; }
        if (SelectedPLC_ == it->first) {
            SelectedPLC_ = nullptr;
            tvTreeView_->setCurrentItem(ServerNode_);
        }
        delete it->second;
        it = PlcNodes_.erase(it);
    }
    if (!Context_.PLCs) return;
    for (int i = 0; i < Context_.PLCs->Count(); ++i) {
        THitachiPLC& plc = Context_.PLCs->PLCByIndex(i);
        QTreeWidgetItem* node = PlcNode(&plc);
        if (!node) node = AddPlcNode(plc);
        else if (node->text(0) != Q(plc.Name)) node->setText(0, Q(plc.Name));
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
        break;
    case NodeServer:
        SelectedPLC_ = nullptr;
        InfoShown_ = TInfoShown::Server;
        break;
    case NodePlc:
        SelectedPLC_ = PlcOfNode(PlcNodes_, node);
        InfoShown_ = TInfoShown::Plc;
        break;
    case NodeMemoryType:
        SelectedPLC_ = PlcOfNode(PlcNodes_, node->parent());
        InfoShown_ = TInfoShown::Plc;
        break;
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
    const std::string started = SameDay(StartTime_, now) ? TimeText(StartTime_) : TimeText(StartTime_) + "  " + DateText(StartTime_);
    SetRows(lwServerProperties_, {{"Server started at", started},
                                  {"Server uptime", UpTimeText(UpTime_)},
                                  {"Total number of monitored PLC locations", std::to_string(total)},
                                  {"Clients connected", std::to_string(ClientsConnected ? ClientsConnected() : 0)}});
}

void TfrmMain::Refresh() {
    if (Context_.Clock) {
        const std::uint32_t tick = Context_.Clock->TickCount();
        UpTime_ += TickDiff(tick, LastTick_);
        LastTick_ = tick;
    }
    // The status message counts down with the refresh ticks; cleared once it runs out.
    if (StatusCountdown_ >= 1) StatusCountdown_ -= 300;
    if (StatusCountdown_ <= 0) {
        StatusCountdown_ = 0;
        lbMsg_->clear();
    }
    if (isMinimized()) return;
    SyncTree();
    FillPlcInfo();
    FillServerInfo();
    if (!RootExpanded_) {
        ServerNode_->setExpanded(true);
        RootExpanded_ = true;
    }
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
    const QColor colour = tx ? (lit ? QColor(0, 255, 0) : QColor(0, 128, 0)) : (lit ? QColor(255, 0, 0) : QColor(128, 0, 0));
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
bool TfrmMain::TrayAvailable() const { return Tray_ != nullptr; }

void TfrmMain::ShowIndication() {
    const bool shown = SelectedPLC_ && SelectedPLC_->Driver;
    lbIndicationOf_->setText(shown ? Q(SelectedPLC_->ConnectionText().Short) : QString());
    for (QWidget* w : {static_cast<QWidget*>(lbTx_), static_cast<QWidget*>(lbRx_), pnTx_, pnRx_}) w->setHidden(!shown);
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
    // Without a tray there is nothing to bring the window back from: minimise instead.
    if (Tray_ && Context_.Settings.ShowTrayIcon) {
        Tray_->setVisible(true);
        hide();
    } else {
        showMinimized();
    }
}

void TfrmMain::ShowRequested() {
    if (isMinimized()) showNormal(); else show();
    raise();
    activateWindow();
}

bool TfrmMain::ShowError(const std::string& message) {
    QMessageBox::critical(this, windowTitle(), Q(message), QMessageBox::Ok);
    return true;
}

void TfrmMain::closeEvent(QCloseEvent* event) {
    if (!ClosingAccepted_ && ClientsConnected && ClientsConnected() > 0) {
        const bool yes = AskExit ? AskExit(ExitQuery)
                                 : QMessageBox::question(this, windowTitle(), ExitQuery, QMessageBox::Yes | QMessageBox::No) ==
                                       QMessageBox::Yes;
        if (!yes) {
            event->ignore();
            return;
        }
    }
    ClosingAccepted_ = true;
    StorePositions();
    event->accept();
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
    if (auto* s1 = findChild<QSplitter*>("Splitter1"); s1 && !s1->sizes().isEmpty() && s1->sizes().first() > 0)
        Positions_.Splitter1W = s1->sizes().first();
    if (auto* s2 = findChild<QSplitter*>("Splitter2"); s2 && s2->sizes().size() > 1 && s2->sizes().at(1) > 0)
        Positions_.Splitter2H = s2->sizes().at(1);
}

void TfrmMain::ApplyPositions() {
    setGeometry(Positions_.frmL, Positions_.frmT, std::max(Positions_.frmW, 100), std::max(Positions_.frmH, 100));
    ApplySplitterPositions();
    if (Positions_.frmState == 2) setWindowState(windowState() | Qt::WindowMaximized);
}

void TfrmMain::ApplySplitterPositions() {
    // A splitter scales sizes given before it has its own size: use its real extent.
    if (auto* s1 = findChild<QSplitter*>("Splitter1"))
        s1->setSizes({Positions_.Splitter1W, std::max(s1->width() - Positions_.Splitter1W - s1->handleWidth(), 1)});
    if (auto* s2 = findChild<QSplitter*>("Splitter2"))
        s2->setSizes({std::max(s2->height() - Positions_.Splitter2H - s2->handleWidth(), 1), Positions_.Splitter2H});
}

void TfrmMain::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    if (!SplittersApplied_) {
        SplittersApplied_ = true;
        ApplySplitterPositions();
    }
}

} // namespace dravon
