// The PLC list of the configuration dialog: one row of controls per PLC (TPLCCell), a
// header, Add/Delete and the selection. Rows keep their edits between openings of the
// dialog; nothing reaches a PLC before ApplyCellToPlc.
#pragma once

#include <QGroupBox>
#include <QString>

#include <array>
#include <functional>
#include <vector>

class QComboBox;
class QFrame;
class QLabel;
class QLineEdit;
class QMenu;
class QPushButton;
class QScrollArea;
class QWidget;

namespace dravon {

class THitachiPLC;
class TPLCCollection;
class TumNumberEdit;

// Connection list indexes (= the PLC's driver type).
enum TCellConnection { CellNone = 0, CellUdp = 1, CellTcp = 2, CellSerial = 3 };
// Protocol list indexes (protocol type - 1; -1: none selected).
enum TCellProtocol { CellStandardH = 0, CellStationNumberH = 1, CellEthernetH = 2 };

class TPLCCell : public QWidget {
public:
    TPLCCell(QWidget* parent, THitachiPLC* plc);

    QLineEdit* edNo = nullptr; // holds the row number; never edited
    QLabel* pnNo = nullptr;    // shows the 1-based row number and the selection
    QLineEdit* edName = nullptr;
    QComboBox* cbConnection = nullptr;
    QComboBox* cbProtocol = nullptr;
    QComboBox* cbComPort = nullptr;
    QLineEdit* edHost = nullptr;
    TumNumberEdit* edPort = nullptr;
    std::array<TumNumberEdit*, 4> edLump{};
    // Cover what the connection does not use: protocol to LUMP, host, station, LUMP.
    std::array<QFrame*, 4> pnBlank{};
    TumNumberEdit* edTimeOut = nullptr;
    TumNumberEdit* edStationNo = nullptr;
    // The PLC the row shows; null for a row added in the dialog. Compared with the list
    // before it is used, as the PLC may be gone.
    THitachiPLC* Plc = nullptr;

    int ComIndex() const; // 0 for COM1
    void SetNumber(int number);
};

class TfPlcList : public QGroupBox {
    Q_OBJECT
public:
    static constexpr int RowHeight = 23;
    static constexpr int FirstRowTop = 20;
    static constexpr int HeaderHeight = 18;
    static constexpr int BarWidth = 691;
    static constexpr int BarHeight = 24;

    explicit TfPlcList(QWidget* parent = nullptr);

    // Port state of the dialog's serial ports panel (port 0 to 7).
    std::function<bool(int)> IsMultiDrop = [](int) { return false; };
    std::function<bool(int)> IsTrnsProc2 = [](int) { return false; };
    std::function<void(int, bool)> SetMultiDrop = [](int, bool) {};
    // Which ports a serial row has chosen, after every field update.
    std::function<void(const std::array<bool, 8>&)> PortsUsedChanged = [](const std::array<bool, 8>&) {};

    bool HeaderBuilt() const { return HeaderBuilt_; }
    void BuildHeader();

    // Step 3 of showing the dialog: rows added and not applied go; if a PLC of the list
    // has no row (or a row shows a PLC no longer listed) every row is built again.
    void SyncWithList(const TPLCCollection& plcs);
    void RebuildRows(const TPLCCollection& plcs);

    TPLCCell& AddPlcCell(THitachiPLC* plc);
    void DeletePlcCell(TPLCCell* cell);
    void SelectPlcCell(TPLCCell* cell);
    // A click on the scroll box's empty area at y (content coordinates).
    void SelectAt(int y);
    void UpdateCellFields(TPLCCell& cell);
    void UpdateAllSerialCells();
    void UpdatePortUsedLamps();
    // The port's multidrop box changed: serial rows on it follow.
    void MultiDropChanged(int port, bool checked);

    // "PLC" + the smallest number from 1 that no row uses (case ignored).
    QString NewPlcName() const;
    // Empty when every name is acceptable (then "/" and "." are replaced by "_"), else
    // the message of the first failure in display order. takenNames are names no row may
    // use (compared without regard to case).
    QString ValidatePlcNames(const std::vector<QString>& takenNames = {});
    // Writes the row into its PLC (a new PLC is added for a row without one).
    // renamed is called for a PLC whose name changed.
    void ApplyCellToPlc(TPLCCell& cell, TPLCCollection& plcs,
                        const std::function<void(THitachiPLC&)>& renamed);

    bool MarkedForDeletion(const THitachiPLC* plc) const;
    void ClearDeleteMarks() { DeleteMarks_.clear(); }
    // The PLC is being freed: its address must not stay marked for a PLC made later.
    void ForgetDeleteMark(const THitachiPLC* plc);

    const std::vector<TPLCCell*>& Cells() const { return Cells_; }
    int CellCount() const { return static_cast<int>(Cells_.size()); }
    TPLCCell* Cell(int index) const;
    TPLCCell* Selected() const { return Selected_; }
    int IndexOf(const TPLCCell* cell) const;
    QPushButton* AddButton() const { return btAdd_; }
    QPushButton* DeleteButton() const { return btDelete_; }
    QMenu* PopupMenu() const { return pmPlcList_; }
    QWidget* Content() const { return Content_; }
    QFrame* HighlightBar() const { return Bar_; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void PlaceCell(TPLCCell& cell, int index);
    void WatchControls(TPLCCell& cell);
    void OnConnectionChosen(TPLCCell& cell);
    void OnProtocolChosen(TPLCCell& cell);
    void ClearCells();
    void UpdateContentSize();

    QScrollArea* sbPlcList_ = nullptr;
    QWidget* Content_ = nullptr;
    QWidget* Header_ = nullptr;
    QFrame* Bar_ = nullptr;
    QPushButton* btAdd_ = nullptr;
    QPushButton* btDelete_ = nullptr;
    QMenu* pmPlcList_ = nullptr;
    std::vector<TPLCCell*> Cells_;
    TPLCCell* Selected_ = nullptr;
    std::vector<const THitachiPLC*> DeleteMarks_;
    bool HeaderBuilt_ = false;
};

// Column widths: a share of 440 pixels, rounded ("No" has 20 pixels more).
struct TPlcColumns {
    static int Width(int percent) { return (440 * percent + 50) / 100; }
    static constexpr int No = 0, Name = 1, Connection = 2, Protocol = 3, Host = 4, PortNum = 5, StationNo = 6,
                         Lump = 7, TimeOut = 8, Count = 9;
    // Left edge and width of column c.
    static int Left(int c);
    static int ColumnWidth(int c);
};

} // namespace dravon
