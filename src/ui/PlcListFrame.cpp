#include "ui/PlcListFrame.h"

#include "plc/DriverPool.h"
#include "plc/HitachiPLC.h"
#include "plc/PLCCollection.h"
#include "ui/NumberEdit.h"

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QEvent>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMouseEvent>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QVBoxLayout>

#include <algorithm>
#include <memory>

namespace dravon {

namespace {

constexpr int Percent[TPlcColumns::Count] = {2, 17, 22, 25, 26, 14, 13, 20, 14};
const char* const ColumnTitles[TPlcColumns::Count] = {
    "No", "Name", "Connection", "Protocol", "Host", "Port Num", "Station No", "LUMP", "Timeout [ms]"};

// The hourglass for as long as the scope lasts.
class TBusyCursor {
public:
    TBusyCursor() { QApplication::setOverrideCursor(Qt::WaitCursor); }
    ~TBusyCursor() { QApplication::restoreOverrideCursor(); }
    TBusyCursor(const TBusyCursor&) = delete;
    TBusyCursor& operator=(const TBusyCursor&) = delete;
};

TumNumberEdit* NumberField(QWidget* parent, int digits, int maxValue,
                           TNumberBase base = TNumberBase::Decimal) {
    auto* edit = new TumNumberEdit(parent);
    edit->SetBase(base);
    edit->setMaxLength(digits);
    edit->SetMaxValue(maxValue);
    return edit;
}

void Place(QWidget* widget, int column, int width = -1) {
    widget->setGeometry(TPlcColumns::Left(column), 0, width < 0 ? TPlcColumns::ColumnWidth(column) : width,
                        TfPlcList::RowHeight - 1);
}

int ProtocolIndexFor(const THitachiPLC& plc) {
    if (plc.ProtocolType >= ProtocolStandard && plc.ProtocolType <= ProtocolEthernet)
        return plc.ProtocolType - 1;
    const bool ethernet = plc.DrvType == DriverUdp || plc.DrvType == DriverTcp;
    return ethernet ? CellEthernetH : CellStandardH;
}

// Rows are freed by the Add/Delete buttons, the menu or the dialog, never from inside a
// signal of the row's own controls.
void FreeCell(TPLCCell* cell) { std::unique_ptr<TPLCCell> owned(cell); }

} // namespace

int TPlcColumns::ColumnWidth(int c) {
    if (c < 0 || c >= Count) return 0;
    return Width(Percent[c]) + (c == No ? 20 : 0);
}

int TPlcColumns::Left(int c) {
    int left = 0;
    for (int i = 0; i < c && i < Count; ++i) left += ColumnWidth(i);
    return left;
}

TPLCCell::TPLCCell(QWidget* parent, THitachiPLC* plc) : QWidget(parent), Plc(plc) {
    using C = TPlcColumns;
    resize(C::Left(C::Count), TfPlcList::RowHeight);
    edNo = new QLineEdit(this);
    edNo->setReadOnly(true);
    edNo->setEnabled(false);
    edNo->hide();
    pnNo = new QLabel(this);
    pnNo->setAlignment(Qt::AlignCenter);
    pnNo->setFrameStyle(QFrame::Panel | QFrame::Raised);
    pnNo->setAutoFillBackground(true);
    Place(pnNo, C::No);
    edName = new QLineEdit(this);
    edName->setMaxLength(30);
    Place(edName, C::Name);
    cbConnection = new QComboBox(this);
    cbConnection->addItems({"None", "Ethernet UDP", "Ethernet TCP", "Serial 232/485"});
    Place(cbConnection, C::Connection);
    cbProtocol = new QComboBox(this);
    cbProtocol->addItems({"Standard-H", "Station number-H ", "Ethernet-H"});
    Place(cbProtocol, C::Protocol);
    edHost = new QLineEdit(this);
    Place(edHost, C::Host);
    edPort = NumberField(this, 5, 65535);
    Place(edPort, C::PortNum);
    cbComPort = new QComboBox(this);
    for (int i = 1; i <= 8; ++i) cbComPort->addItem(QString("Com %1").arg(i));
    Place(cbComPort, C::PortNum);
    // Station numbers 0 to 31 are all a line can address.
    edStationNo = NumberField(this, 2, 31);
    Place(edStationNo, C::StationNo);
    const int lumpWidth = C::ColumnWidth(C::Lump) / 4;
    for (int i = 0; i < 4; ++i) {
        edLump[static_cast<std::size_t>(i)] = NumberField(this, 2, 0xFF, TNumberBase::Hexadecimal);
        edLump[static_cast<std::size_t>(i)]->setGeometry(C::Left(C::Lump) + i * lumpWidth, 0, lumpWidth,
                                                         TfPlcList::RowHeight - 1);
    }
    edTimeOut = NumberField(this, 5, 99999);
    Place(edTimeOut, C::TimeOut);
    for (auto& blank : pnBlank) {
        blank = new QFrame(this);
        blank->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        blank->setAutoFillBackground(true);
        blank->hide();
    }
    pnBlank[0]->setGeometry(C::Left(C::Protocol), 0, C::Left(C::TimeOut) - C::Left(C::Protocol),
                            TfPlcList::RowHeight - 1);
    Place(pnBlank[1], C::Host);
    Place(pnBlank[2], C::StationNo);
    Place(pnBlank[3], C::Lump);

    if (plc) {
        edName->setText(QString::fromStdString(plc->Name));
        cbConnection->setCurrentIndex(plc->DrvType <= DriverSerial ? int{plc->DrvType} : DriverNone);
        cbProtocol->setCurrentIndex(ProtocolIndexFor(*plc));
        edHost->setText(QString::fromStdString(plc->Host));
        // Stored numbers are shown as they are and kept unless the operator edits them: the
        // limits are for typing. A station outside 0-31 is shown as the 0 that is sent.
        edPort->ShowStoredValue(static_cast<std::uint32_t>(plc->TcpPort));
        cbComPort->setCurrentIndex(plc->SerialCom >= 1 && plc->SerialCom <= 8 ? plc->SerialCom - 1 : 0);
        const bool stationSent = plc->SerialStatNo >= 0 && plc->SerialStatNo <= 31;
        edStationNo->ShowStoredValue(stationSent ? static_cast<std::uint32_t>(plc->SerialStatNo) : 0u);
        for (int i = 0; i < 4; ++i)
            edLump[static_cast<std::size_t>(i)]->SetValue(
                static_cast<int>((plc->Lump >> (24 - 8 * i)) & 0xFF));
        edTimeOut->ShowStoredValue(static_cast<std::uint32_t>(plc->TimeOut));
    } else {
        cbConnection->setCurrentIndex(CellNone);
        cbProtocol->setCurrentIndex(-1);
        edHost->setText(DefaultPLCHost);
        edPort->SetValue(DefaultTcpPort);
        cbComPort->setCurrentIndex(0);
        edStationNo->SetValue(0);
        const int lump[4] = {0xFF, 0xFF, 0, 0};
        for (int i = 0; i < 4; ++i) edLump[static_cast<std::size_t>(i)]->SetValue(lump[i]);
        edTimeOut->SetValue(DefaultTimeOut);
    }
}

int TPLCCell::ComIndex() const { return std::max(cbComPort->currentIndex(), 0); }

void TPLCCell::SetNumber(int number) {
    edNo->setText(QString::number(number));
    pnNo->setText(QString::number(number));
}

TfPlcList::TfPlcList(QWidget* parent) : QGroupBox("PLC's", parent) {
    setObjectName("gbPlcList");
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(4, 4, 4, 4);
    sbPlcList_ = new QScrollArea(this);
    sbPlcList_->setObjectName("sbPlcList");
    sbPlcList_->setWidgetResizable(false);
    Content_ = new QWidget;
    Content_->installEventFilter(this);
    Bar_ = new QFrame(Content_);
    Bar_->setAutoFillBackground(true);
    QPalette barPalette = Bar_->palette();
    barPalette.setColor(QPalette::Window, barPalette.color(QPalette::Highlight));
    Bar_->setPalette(barPalette);
    Bar_->hide();
    sbPlcList_->setWidget(Content_);
    layout->addWidget(sbPlcList_, 1);

    auto* buttons = new QHBoxLayout;
    btAdd_ = new QPushButton("&Add", this);
    btAdd_->setObjectName("btAdd");
    btDelete_ = new QPushButton("&Delete", this);
    btDelete_->setObjectName("btDelete");
    btDelete_->setEnabled(false);
    buttons->addWidget(btAdd_);
    buttons->addWidget(btDelete_);
    buttons->addStretch(1);
    layout->addLayout(buttons);

    pmPlcList_ = new QMenu(this);
    QAction* add = pmPlcList_->addAction("&Add");
    QAction* del = pmPlcList_->addAction("&Delete");
    auto addRow = [this] {
        TBusyCursor busy;
        AddPlcCell(nullptr);
    };
    auto deleteRow = [this] {
        if (Selected_) DeletePlcCell(Selected_);
    };
    connect(btAdd_, &QPushButton::clicked, this, addRow);
    connect(add, &QAction::triggered, this, addRow);
    connect(btDelete_, &QPushButton::clicked, this, deleteRow);
    connect(del, &QAction::triggered, this, deleteRow);
    connect(pmPlcList_, &QMenu::aboutToShow, this, [this, del] { del->setEnabled(Selected_ != nullptr); });
    Content_->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(Content_, &QWidget::customContextMenuRequested, this,
            [this](const QPoint& at) { pmPlcList_->popup(Content_->mapToGlobal(at)); });
    UpdateContentSize();
}

void TfPlcList::BuildHeader() {
    if (HeaderBuilt_) return;
    Header_ = new QWidget(Content_);
    Header_->setGeometry(0, 0, TPlcColumns::Left(TPlcColumns::Count), HeaderHeight);
    for (int c = 0; c < TPlcColumns::Count; ++c) {
        auto* title = new QLabel(ColumnTitles[c], Header_);
        title->setFrameStyle(QFrame::Panel | QFrame::Raised);
        title->setAlignment(Qt::AlignCenter);
        title->setGeometry(TPlcColumns::Left(c), 0, TPlcColumns::ColumnWidth(c), HeaderHeight);
    }
    Header_->show();
    HeaderBuilt_ = true;
}

TPLCCell* TfPlcList::Cell(int index) const {
    return index >= 0 && index < CellCount() ? Cells_[static_cast<std::size_t>(index)] : nullptr;
}

int TfPlcList::IndexOf(const TPLCCell* cell) const {
    auto it = std::find(Cells_.begin(), Cells_.end(), cell);
    return it == Cells_.end() ? -1 : static_cast<int>(it - Cells_.begin());
}

void TfPlcList::UpdateContentSize() {
    Content_->resize(TPlcColumns::Left(TPlcColumns::Count) + 2, FirstRowTop + RowHeight * CellCount() + 4);
}

void TfPlcList::PlaceCell(TPLCCell& cell, int index) {
    cell.move(0, FirstRowTop + RowHeight * index);
    cell.SetNumber(index + 1);
}

void TfPlcList::WatchControls(TPLCCell& cell) {
    for (QWidget* child : cell.findChildren<QWidget*>()) child->installEventFilter(this);
    cell.installEventFilter(this);
    cell.pnNo->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(cell.pnNo, &QWidget::customContextMenuRequested, this, [this, &cell](const QPoint& at) {
        SelectPlcCell(&cell);
        pmPlcList_->popup(cell.pnNo->mapToGlobal(at));
    });
    connect(cell.cbConnection, &QComboBox::activated, this, [this, &cell] { OnConnectionChosen(cell); });
    connect(cell.cbProtocol, &QComboBox::activated, this, [this, &cell] { OnProtocolChosen(cell); });
    connect(cell.cbComPort, &QComboBox::currentIndexChanged, this, [this, &cell] { UpdateCellFields(cell); });
}

bool TfPlcList::eventFilter(QObject* watched, QEvent* event) {
    const bool press = event->type() == QEvent::MouseButtonPress;
    if (watched == Content_) {
        if (press) SelectAt(static_cast<QMouseEvent*>(event)->position().toPoint().y());
        return QGroupBox::eventFilter(watched, event);
    }
    if (press || event->type() == QEvent::FocusIn) {
        for (QObject* o = watched; o && o != Content_; o = o->parent())
            if (auto* cell = dynamic_cast<TPLCCell*>(o)) {
                if (IndexOf(cell) >= 0) SelectPlcCell(cell);
                break;
            }
    }
    return QGroupBox::eventFilter(watched, event);
}

TPLCCell& TfPlcList::AddPlcCell(THitachiPLC* plc) {
    sbPlcList_->verticalScrollBar()->setValue(0);
    auto* cell = new TPLCCell(Content_, plc);
    if (!plc) cell->edName->setText(NewPlcName());
    Cells_.push_back(cell);
    PlaceCell(*cell, CellCount() - 1);
    WatchControls(*cell);
    if (plc)
        DeleteMarks_.erase(std::remove(DeleteMarks_.begin(), DeleteMarks_.end(), plc), DeleteMarks_.end());
    UpdateContentSize();
    cell->show();
    UpdateCellFields(*cell);
    if (!plc) cell->edName->setFocus();
    return *cell;
}

void TfPlcList::DeletePlcCell(TPLCCell* cell) {
    const int index = IndexOf(cell);
    if (index < 0) return;
    const bool wasSelected = Selected_ == cell;
    if (cell->Plc && !MarkedForDeletion(cell->Plc)) DeleteMarks_.push_back(cell->Plc);
    Cells_.erase(Cells_.begin() + index);
    for (int i = index; i < CellCount(); ++i) PlaceCell(*Cells_[static_cast<std::size_t>(i)], i);
    if (wasSelected) Selected_ = nullptr;
    FreeCell(cell);
    UpdateContentSize();
    if (wasSelected)
        SelectPlcCell(Cell(index) ? Cell(index) : Cell(CellCount() - 1));
    else if (Selected_)
        SelectPlcCell(Selected_); // the bar follows the row that moved up
    UpdatePortUsedLamps();
}

void TfPlcList::SelectPlcCell(TPLCCell* cell) {
    if (cell && IndexOf(cell) < 0) cell = nullptr;
    if (Selected_ && Selected_ != cell) {
        QPalette p = Selected_->pnNo->palette();
        p.setColor(QPalette::Window, QApplication::palette().color(QPalette::Button));
        p.setColor(QPalette::WindowText, QApplication::palette().color(QPalette::WindowText));
        Selected_->pnNo->setPalette(p);
        Selected_->pnNo->setFrameStyle(QFrame::Panel | QFrame::Raised);
    }
    Selected_ = cell;
    if (cell) {
        QPalette p = cell->pnNo->palette();
        p.setColor(QPalette::Window, QApplication::palette().color(QPalette::Highlight));
        p.setColor(QPalette::WindowText, QApplication::palette().color(QPalette::HighlightedText));
        cell->pnNo->setPalette(p);
        cell->pnNo->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        Bar_->setGeometry(0, cell->y(), BarWidth, BarHeight);
        Bar_->show();
        Bar_->lower();
    } else {
        Bar_->hide();
    }
    btDelete_->setEnabled(cell != nullptr);
}

void TfPlcList::SelectAt(int y) {
    // Above the first row is the header: no row there.
    const int row = y < FirstRowTop ? -1 : (y - FirstRowTop) / RowHeight;
    SelectPlcCell(Cell(row));
}

void TfPlcList::UpdateCellFields(TPLCCell& cell) {
    const int connection = cell.cbConnection->currentIndex();
    const bool none = connection != CellUdp && connection != CellTcp && connection != CellSerial;
    const bool ethernet = connection == CellUdp || connection == CellTcp;
    const bool serial = connection == CellSerial;
    const int port = cell.ComIndex();
    const bool stationShown = serial && IsMultiDrop(port);
    const bool lumpShown = ethernet || (serial && !IsTrnsProc2(port));

    cell.cbProtocol->setVisible(!none);
    cell.cbComPort->setVisible(serial);
    cell.edHost->setVisible(ethernet);
    cell.edPort->setVisible(ethernet);
    cell.edStationNo->setVisible(stationShown);
    for (auto* lump : cell.edLump) lump->setVisible(lumpShown);
    cell.pnBlank[0]->setVisible(none);
    cell.pnBlank[1]->setVisible(serial);
    cell.pnBlank[2]->setVisible(!none && !stationShown);
    cell.pnBlank[3]->setVisible(!none && !lumpShown);
    UpdatePortUsedLamps();
}

void TfPlcList::UpdateAllSerialCells() {
    for (TPLCCell* cell : Cells_)
        if (cell->cbConnection->currentIndex() == CellSerial) UpdateCellFields(*cell);
    UpdatePortUsedLamps();
}

void TfPlcList::UpdatePortUsedLamps() {
    std::array<bool, 8> used{};
    for (const TPLCCell* cell : Cells_)
        if (cell->cbConnection->currentIndex() == CellSerial)
            used[static_cast<std::size_t>(cell->ComIndex() % 8)] = true;
    PortsUsedChanged(used);
}

void TfPlcList::OnConnectionChosen(TPLCCell& cell) {
    const int connection = cell.cbConnection->currentIndex();
    if (connection == CellUdp || connection == CellTcp)
        cell.cbProtocol->setCurrentIndex(CellEthernetH);
    else if (connection == CellSerial)
        cell.cbProtocol->setCurrentIndex(CellStandardH);
    UpdateCellFields(cell);
}

void TfPlcList::OnProtocolChosen(TPLCCell& cell) {
    if (cell.cbConnection->currentIndex() == CellSerial)
        SetMultiDrop(cell.ComIndex(), cell.cbProtocol->currentIndex() == CellStationNumberH);
    UpdateCellFields(cell);
}

void TfPlcList::MultiDropChanged(int port, bool checked) {
    for (TPLCCell* cell : Cells_) {
        if (cell->cbConnection->currentIndex() != CellSerial || cell->ComIndex() != port) continue;
        const bool station = cell->cbProtocol->currentIndex() == CellStationNumberH;
        if (!checked && station)
            cell->cbProtocol->setCurrentIndex(CellStandardH);
        else if (checked && !station)
            cell->cbProtocol->setCurrentIndex(CellStationNumberH);
    }
    UpdateAllSerialCells();
}

QString TfPlcList::NewPlcName() const {
    for (int n = 1;; ++n) {
        const QString name = QString("PLC%1").arg(n);
        const bool used = std::any_of(Cells_.begin(), Cells_.end(), [&](const TPLCCell* cell) {
            return cell->edName->text().compare(name, Qt::CaseInsensitive) == 0;
        });
        if (!used) return name;
    }
}

namespace {
// The name as it is stored: "/" and "." would split an item ID.
QString StoredName(QString name) { return name.replace('/', '_').replace('.', '_'); }
} // namespace

QString TfPlcList::ValidatePlcNames(const std::vector<QString>& takenNames) {
    // Names are compared as they will be stored: "a.b" and "a/b" would both become "a_b".
    for (TPLCCell* cell : Cells_) {
        const QString name = cell->edName->text();
        if (name.isEmpty()) return "Blank names not allowed";
        if (name.compare("Sys", Qt::CaseInsensitive) == 0) return "PLC name \"Sys\" not allowed";
        const QString stored = StoredName(name);
        for (const TPLCCell* other : Cells_)
            if (other != cell && StoredName(other->edName->text()).compare(stored, Qt::CaseInsensitive) == 0)
                return "Duplicated names not allowed";
        for (const QString& taken : takenNames)
            if (StoredName(taken).compare(stored, Qt::CaseInsensitive) == 0)
                return "Duplicated names not allowed";
    }
    for (TPLCCell* cell : Cells_)
        if (const QString stored = StoredName(cell->edName->text()); stored != cell->edName->text())
            cell->edName->setText(stored);
    return {};
}

void TfPlcList::ApplyCellToPlc(TPLCCell& cell, TPLCCollection& plcs,
                               const std::function<void(THitachiPLC&)>& renamed) {
    THitachiPLC* plc = cell.Plc && plcs.IndexOf(cell.Plc) >= 0 ? cell.Plc : nullptr;
    // A new PLC takes every field; an existing one keeps stored numbers nobody edited.
    const bool fresh = !plc;
    if (!plc) plc = &plcs.AddPLC();
    auto edited = [fresh](const TumNumberEdit* edit) { return fresh || edit->isModified(); };
    const std::string name = cell.edName->text().toStdString();
    const bool nameChanged = plc->Name != name;
    plc->Name = name;
    if (nameChanged) {
        plc->RenameRefresh = true;
        renamed(*plc);
    }
    // Setting the same host again would look a host name up anew and drop the PLC's
    // connection until the answer came.
    const std::string host = cell.edHost->text().toStdString();
    if (host != plc->Host || plc->ResolvedIP.empty()) plc->SetHost(host);
    if (edited(cell.edPort)) plc->TcpPort = cell.edPort->text().isEmpty() ? 0 : cell.edPort->Value();
    plc->SerialCom = cell.ComIndex() + 1;
    std::uint32_t lump = 0;
    for (auto* edit : cell.edLump) lump = (lump << 8) | static_cast<std::uint32_t>(edit->Value() & 0xFF);
    plc->Lump = lump;
    if (edited(cell.edTimeOut) && !cell.edTimeOut->text().isEmpty()) plc->TimeOut = cell.edTimeOut->Value();
    if (edited(cell.edStationNo) && !cell.edStationNo->text().isEmpty())
        plc->SerialStatNo = cell.edStationNo->Value();
    // The row is kept for the next opening: it shows the number the PLC kept, not the emptied field.
    for (auto [edit, kept] : {std::pair{cell.edTimeOut, plc->TimeOut}, {cell.edStationNo, plc->SerialStatNo}})
        if (edit->text().isEmpty()) edit->ShowStoredValue(static_cast<std::uint32_t>(kept));
    const int connection = std::clamp(cell.cbConnection->currentIndex(), 0, 3);
    const int protocolIndex = cell.cbProtocol->currentIndex();
    plc->SetConnection(connection,
                       protocolIndex >= 0 && protocolIndex <= 2 ? protocolIndex + 1 : ProtocolUndefined);
}

bool TfPlcList::MarkedForDeletion(const THitachiPLC* plc) const {
    return std::find(DeleteMarks_.begin(), DeleteMarks_.end(), plc) != DeleteMarks_.end();
}

void TfPlcList::ForgetDeleteMark(const THitachiPLC* plc) {
    DeleteMarks_.erase(std::remove(DeleteMarks_.begin(), DeleteMarks_.end(), plc), DeleteMarks_.end());
}

void TfPlcList::ClearCells() {
    SelectPlcCell(nullptr);
    for (TPLCCell* cell : Cells_) FreeCell(cell);
    Cells_.clear();
    UpdateContentSize();
}

void TfPlcList::RebuildRows(const TPLCCollection& plcs) {
    TBusyCursor busy;
    ClearCells();
    DeleteMarks_.clear();
    for (int i = 0; i < plcs.Count(); ++i) AddPlcCell(&plcs.PLCByIndex(i));
    UpdatePortUsedLamps();
}

void TfPlcList::SyncWithList(const TPLCCollection& plcs) {
    for (int i = CellCount() - 1; i >= 0; --i)
        if (!Cells_[static_cast<std::size_t>(i)]->Plc) DeletePlcCell(Cells_[static_cast<std::size_t>(i)]);
    bool rebuild = false;
    for (int i = 0; i < plcs.Count() && !rebuild; ++i) {
        const THitachiPLC* plc = &plcs.PLCByIndex(i);
        rebuild = std::none_of(Cells_.begin(), Cells_.end(),
                               [plc](const TPLCCell* cell) { return cell->Plc == plc; });
    }
    // A row of a PLC that left the list must not be applied to freed memory.
    for (const TPLCCell* cell : Cells_) rebuild = rebuild || plcs.IndexOf(cell->Plc) < 0;
    if (rebuild)
        RebuildRows(plcs);
    else
        UpdatePortUsedLamps();
}

} // namespace dravon
