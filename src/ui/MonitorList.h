// A monitor list: five columns of PLC locations, rows kept sorted by caption. Each row
// refers to its location and the location refers back to its rows (DisplayRows), so a
// value change redraws every row of the location.
#pragma once

#include <QTreeWidget>

#include <array>
#include <string>

namespace dravon {

class THitachiLocation;
class THitachiPLC;
struct TSettings;

// Which of the location's DisplayRows a row is.
enum TRowSlot { SlotPlc = 0, SlotMemoryType = 1, SlotLocal = 2 };

class TMonitorRow : public QTreeWidgetItem {
public:
    TMonitorRow(THitachiLocation& location, TRowSlot slot);
    ~TMonitorRow() override;
    TMonitorRow(const TMonitorRow&) = delete;
    TMonitorRow& operator=(const TMonitorRow&) = delete;

    THitachiLocation* Location() const { return Location_; }
    THitachiPLC* PLC() const { return PLC_; }
    TRowSlot Slot() const { return Slot_; }
    // The location is gone without telling us: forget it, touch nothing.
    void Orphan() { Location_ = nullptr; }
    // Rows sort by caption text; equal captions keep insertion order.
    bool operator<(const QTreeWidgetItem& other) const override;

private:
    THitachiLocation* Location_;
    THitachiPLC* PLC_;
    TRowSlot Slot_;
};

class TMonitorList : public QTreeWidget {
public:
    static constexpr std::array<int, 5> DefaultWidths{140, 80, 80, 120, 80};
    TMonitorList(QWidget* parent, bool isLocal);
    bool IsLocal() const { return IsLocal_; }
    // The row added (and stored in the location's DisplayRows) for the slot.
    TMonitorRow* AddLocation(THitachiLocation& location, TRowSlot slot);
    TMonitorRow* Row(int index) const;
    int RowCount() const { return topLevelItemCount(); }

protected:
    // Arriving at a list without a selection selects its first row, so Enter acts on it.
    void focusInEvent(QFocusEvent* event) override;

private:
    bool IsLocal_;
};

// Caption of a row: the address, or "<PLC>." / "Sys." before it in the local list.
std::string LocationCaption(const THitachiLocation& location, bool withPrefix);
// Value, quality and time cells of every row of the location; rebuilds the local caption
// when the PLC was renamed.
void UpdateLocationRows(THitachiLocation& location);

} // namespace dravon
