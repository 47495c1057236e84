#include "ui/AddMonitorDialog.h"
#include "ui/AddressRun.h"

#include "app/ServerContext.h"
#include "opc/BrowseObject.h"
#include "opc/DA2.h"
#include "opc/OPCDAConnectionCollection.h"
#include "opc/OPCInterfaces.h"
#include "plc/HitachiLocation.h"
#include "plc/HitachiPLC.h"
#include "plc/ItemId.h"
#include "plc/MemoryTypes.h"
#include "plc/PLCCollection.h"
#include "ui/MainWindow.h"
#include "ui/MonitorList.h"
#include "ui/NumberEdit.h"

#include <QApplication>
#include <QCloseEvent>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QShowEvent>
#include <QStyle>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <algorithm>
#include <optional>
#include <vector>

namespace dravon {

namespace {

constexpr int RolePath = Qt::UserRole; // branch: its path; leaf: its item ID
constexpr int RoleIsBranch = Qt::UserRole + 1;

QString Q(const std::string& text) { return QString::fromStdString(text); }

std::vector<std::string> SplitPath(const std::string& path) {
    std::vector<std::string> names;
    std::string name;
    for (char c : path) {
        if (c == '/') {
            if (!name.empty()) names.push_back(name);
            name.clear();
        } else {
            name += c;
        }
    }
    if (!name.empty()) names.push_back(name);
    return names;
}

std::vector<std::string> BrowseNames(TBrowseObject& browser, std::uint32_t type) {
    std::vector<std::string> all;
    TComPtr<IEnumString> names;
    if (browser.BrowseOPCItemIDs(type, "", VT_EMPTY, 0, names) != S_OK || !names) return all;
    std::vector<std::string> chunk;
    std::uint32_t fetched = 0;
    while (true) {
        const HRESULT hr = names->Next(256, chunk, &fetched);
        all.insert(all.end(), chunk.begin(), chunk.end());
        if (hr != S_OK || chunk.empty()) break;
    }
    return all;
}

} // namespace

std::string BranchPathToAddress(const std::string& path) {
    const std::vector<std::string> names = SplitPath(path);
    if (names.empty()) return {};
    std::string text = names.front() + ".";
    if (names.size() < 2) return text;
    text += names.back();
    // Only digit levels (below a memory type) carry placeholders; a memory type named X
    // must keep its name.
    if (names.size() >= 3)
        while (text.size() >= 3 && (text.back() == 'X' || text.back() == 'x')) text.pop_back();
    return text;
}

TfrmAddMonitorVar::TfrmAddMonitorVar(TServerContext& context, TfrmMain& mainWindow, QWidget* parent)
    : QDialog(parent), Context_(context), Main_(mainWindow) {
    setObjectName("frmAddMonitorVar");
    setWindowTitle("Add to monitor list");
    setModal(true);
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    resize(379, 438);
    auto* layout = new QVBoxLayout(this);
    tvView_ = new QTreeWidget(this);
    tvView_->setObjectName("tvView");
    tvView_->setHeaderHidden(true);
    tvView_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    layout->addWidget(tvView_, 1);

    auto* grid = new QGridLayout;
    lbAddress_ = new QLabel("PLC address:", this);
    edEdit_ = new QLineEdit(this);
    edEdit_->setObjectName("edEdit");
    edEdit_->setToolTip("Multi add example: plc1.wr0/20");
    pbProgress_ = new QProgressBar(this);
    pbProgress_->setObjectName("pbProgress");
    pbProgress_->hide();
    auto* addressCell = new QHBoxLayout;
    addressCell->addWidget(edEdit_);
    addressCell->addWidget(pbProgress_);
    grid->addWidget(lbAddress_, 0, 0);
    grid->addLayout(addressCell, 0, 1);
    grid->addWidget(new QLabel("Count:", this), 1, 0);
    auto* amount = new TumNumberEdit(this);
    amount->setObjectName("edAmount");
    amount->setMaxLength(4);
    amount->SetMaxValue(MaxCount);
    amount->setMaximumWidth(60);
    edAmount_ = amount;
    grid->addWidget(edAmount_, 1, 1, Qt::AlignLeft);
    layout->addLayout(grid);

    auto* buttons = new QHBoxLayout;
    btOK_ = new QPushButton("OK", this);
    btClose_ = new QPushButton("Close", this);
    btAdd_ = new QPushButton("Add", this);
    btAdd_->setDefault(true);
    btAdd_->setAutoDefault(true);
    btOK_->setAutoDefault(false);
    btClose_->setAutoDefault(false);
    buttons->addStretch();
    buttons->addWidget(btOK_);
    buttons->addWidget(btClose_);
    buttons->addWidget(btAdd_);
    layout->addLayout(buttons);

    connect(btAdd_, &QPushButton::clicked, this, [this] {
        AddEnteredLocations();
        edEdit_->setFocus();
    });
    connect(btOK_, &QPushButton::clicked, this, [this] {
        if (AddEnteredLocations()) accept();
    });
    connect(btClose_, &QPushButton::clicked, this, [this] { reject(); });
    connect(tvView_, &QTreeWidget::itemExpanded, this, [this](QTreeWidgetItem* node) {
        if (node->childCount() < 2) PopulateBrowseNode(node);
    });
    connect(tvView_, &QTreeWidget::currentItemChanged, this, [this] { SelectionChanged(); });
    connect(tvView_, &QTreeWidget::itemDoubleClicked, this, [this](QTreeWidgetItem* node) {
        if (node->childCount() == 0 && !node->data(0, RoleIsBranch).toBool()) {
            AddEnteredLocations();
            edEdit_->setFocus();
        }
    });
    ShowErrorMessage = [this](const QString& text) {
        QMessageBox::critical(this, windowTitle(), text, QMessageBox::Ok);
    };
}

TfrmAddMonitorVar::~TfrmAddMonitorVar() {
    BrowseServer_.Reset();
    BrowseConnections_.reset();
}

void TfrmAddMonitorVar::Execute() {
    edEdit_->clear();
    // Centred on the screen, as the operator expects the dialog.
    if (QScreen* screen = QApplication::primaryScreen())
        move(screen->availableGeometry().center() - QPoint(width() / 2, height() / 2));
    exec();
}

void TfrmAddMonitorVar::EnsureBrowser() {
    if (!BrowseServer_) {
        BrowseContext_ = std::make_unique<TServerContext>(Context_);
        // Its server object is no client: nothing about it goes to the session log.
        BrowseContext_->Log = nullptr;
        BrowseConnections_ = std::make_unique<TOPCDAConnectionCollection>(*BrowseContext_);
        BrowseServer_ = MakeCom<TDA2>(*BrowseContext_, *BrowseConnections_);
    }
    // Browsing follows the current settings and PLC list.
    BrowseContext_->Settings = Context_.Settings;
    BrowseContext_->PLCs = Context_.PLCs;
    // The intensive-browsing guard counts a client's calls per window; the dialog's own
    // expansions are the operator's and must never close memory browsing.
    BrowseServer_->BrowseCallCounter = 0;
}

void TfrmAddMonitorVar::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    Busy_ = 0;
    edEdit_->setFocus();
    edAmount_->setText("1");
    EnsureBrowser();
    if (tvView_->topLevelItemCount() == 0) {
        auto* root = new QTreeWidgetItem(tvView_, QStringList{"Dravon"});
        root->setData(0, RolePath, QString("/"));
        root->setData(0, RoleIsBranch, true);
        root->setIcon(0, style()->standardIcon(QStyle::SP_ComputerIcon));
        PopulateBrowseNode(root);
        root->setExpanded(true);
    }
    SelectionChanged();
}

void TfrmAddMonitorVar::ClearBrowseTree() { tvView_->clear(); }

void TfrmAddMonitorVar::PopulateBrowseNode(QTreeWidgetItem* node) {
    if (!node || !node->data(0, RoleIsBranch).toBool()) return;
    EnsureBrowser();
    for (int i = node->childCount() - 1; i >= 0; --i)
        if (node->child(i)->text(0) == PlaceholderText && !node->child(i)->data(0, RoleIsBranch).toBool() &&
            node->child(i)->data(0, RolePath).isNull())
            delete node->takeChild(i);
    TBrowseObject& browser = BrowseServer_->Browse();
    while (browser.ChangeBrowsePosition(OPC_BROWSE_UP, "") == S_OK) {
    }
    const std::string path = node->data(0, RolePath).toString().toStdString();
    // A PLC deleted or renamed since the tree was built leaves its branch empty.
    for (const std::string& name : SplitPath(path))
        if (browser.ChangeBrowsePosition(OPC_BROWSE_DOWN, name) != S_OK) return;
    const QIcon branchIcon = style()->standardIcon(QStyle::SP_DirClosedIcon);
    const QIcon leafIcon = style()->standardIcon(QStyle::SP_FileIcon);
    for (const std::string& name : BrowseNames(browser, OPC_BRANCH)) {
        auto* child = new QTreeWidgetItem(node, QStringList{Q(name)});
        child->setData(0, RolePath, Q(path + name + "/"));
        child->setData(0, RoleIsBranch, true);
        child->setIcon(0, branchIcon);
        if (browser.ChangeBrowsePosition(OPC_BROWSE_DOWN, name) != S_OK) continue;
        if (!BrowseNames(browser, OPC_BRANCH).empty() || !BrowseNames(browser, OPC_LEAF).empty())
            new QTreeWidgetItem(child, QStringList{PlaceholderText});
        browser.ChangeBrowsePosition(OPC_BROWSE_UP, "");
    }
    for (const std::string& name : BrowseNames(browser, OPC_LEAF)) {
        std::string itemId;
        browser.GetItemID(name, itemId);
        auto* child = new QTreeWidgetItem(node, QStringList{Q(name)});
        child->setData(0, RolePath, Q(itemId));
        child->setData(0, RoleIsBranch, false);
        child->setIcon(0, leafIcon);
    }
}

void TfrmAddMonitorVar::SelectionChanged() {
    QTreeWidgetItem* node = tvView_->currentItem();
    if (!node) return;
    const QString data = node->data(0, RolePath).toString();
    if (node->childCount() > 0 || node->data(0, RoleIsBranch).toBool())
        edEdit_->setText(Q(BranchPathToAddress(data.toStdString())));
    else if (!data.isEmpty())
        edEdit_->setText(data);
}

void TfrmAddMonitorVar::SetBusy(int count) {
    Busy_ = 1;
    lbAddress_->setText("Progress:");
    pbProgress_->setRange(0, count);
    pbProgress_->setValue(0);
    edEdit_->hide();
    pbProgress_->show();
    for (QPushButton* button : {btOK_, btClose_, btAdd_}) button->setEnabled(false);
}

void TfrmAddMonitorVar::ClearBusy() {
    Busy_ = 0;
    lbAddress_->setText("PLC address:");
    pbProgress_->hide();
    edEdit_->show();
    for (QPushButton* button : {btOK_, btClose_, btAdd_}) button->setEnabled(true);
}

bool TfrmAddMonitorVar::AddEnteredLocations() {
    TPLCCollection* plcs = Context_.PLCs;
    const TAddressRun run =
        ParseAddressRun(edEdit_->text().toStdString(), edAmount_->text().toStdString(), MaxCount);
    long long count = run.Count;
    THitachiLocation* location = plcs ? plcs->ResolveItemId(run.ItemId).Location : nullptr;
    if (!location && run.Counted) {
        if (ShowErrorMessage) ShowErrorMessage(UnexistingAddress);
        return false;
    }
    std::optional<TRunNumbering> numbering;
    if (location && count > 1) numbering = RunNumbering(*location);
    if (!numbering) count = 1; // a variable, or an address without a number, is added once
    std::uint32_t number = numbering ? numbering->First : 0;

    // Cleared however the run ends, also when a lookup throws.
    struct TRunGuard {
        TfrmAddMonitorVar* Dialog;
        TMonitorList* List;
        bool WasBusy;
        ~TRunGuard() {
            if (List) List->setUpdatesEnabled(true);
            if (WasBusy) Dialog->ClearBusy();
        }
    } guard{this, Main_.LocalList(), count > ProgressAbove};
    if (guard.WasBusy) SetBusy(static_cast<int>(count));
    if (guard.List) guard.List->setUpdatesEnabled(false);

    bool addedOrFound = false;
    long long handled = 0;
    while (handled < count) {
        if (guard.WasBusy) {
            pbProgress_->setValue(static_cast<int>(handled));
            if (ProgressObserver) ProgressObserver(static_cast<int>(handled));
        }
        if (location) {
            ++handled;
            if (TMonitorRow* existing = location->DisplayRows[SlotLocal]) {
                Main_.LocalList()->clearSelection();
                existing->setSelected(true);
                Main_.LocalList()->setCurrentItem(existing);
            } else {
                Main_.AddToLocalMonitor(*location);
            }
            addedOrFound = true;
        } else if (count == 1) {
            ++handled;
            if (ShowErrorMessage) ShowErrorMessage(UnexistingAddress);
        }
        if (count > 1 && handled < count) {
            ++number;
            if (number > numbering->Last) break;
            location = plcs->ResolveItemId(RunItemId(*numbering, number)).Location;
        }
    }
    return addedOrFound;
}

void TfrmAddMonitorVar::reject() {
    if (Busy_) return; // a long add is running
    QDialog::reject();
}

void TfrmAddMonitorVar::closeEvent(QCloseEvent* event) {
    if (Busy_) {
        event->ignore();
        return;
    }
    QDialog::closeEvent(event);
}

} // namespace dravon
