#include "ui/MonitorList.h"

#include "app/ServerContext.h"
#include "app/TimeDate.h"
#include "plc/HitachiLocation.h"
#include "plc/HitachiPLC.h"
#include "ui/ValueFormat.h"

#include <QFocusEvent>
#include <QHeaderView>

namespace dravon {

TMonitorRow::TMonitorRow(THitachiLocation& location, TRowSlot slot)
    : Location_(&location), PLC_(location.PLC), Slot_(slot) {}

TMonitorRow::~TMonitorRow() {
    // The location must not keep a reference to a row that is gone.
    if (Location_ && Location_->DisplayRows[Slot_] == this) Location_->DisplayRows[Slot_] = nullptr;
    // Leave the list while still a TMonitorRow: the removal emits selection signals whose
    // handlers look at the rows.
    if (QTreeWidget* list = treeWidget()) list->takeTopLevelItem(list->indexOfTopLevelItem(this));
}

bool TMonitorRow::operator<(const QTreeWidgetItem& other) const { return text(0) < other.text(0); }

TMonitorList::TMonitorList(QWidget* parent, bool isLocal) : QTreeWidget(parent), IsLocal_(isLocal) {
    setColumnCount(5);
    setHeaderLabels({"Address", "Value", "Type", "Quality", "Timestamp"});
    for (int i = 0; i < 5; ++i) setColumnWidth(i, DefaultWidths[i]);
    headerItem()->setTextAlignment(1, Qt::AlignRight | Qt::AlignVCenter);
    setRootIsDecorated(false);
    setUniformRowHeights(true);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setSelectionMode(QAbstractItemView::ExtendedSelection);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setSortingEnabled(true);
    sortByColumn(0, Qt::AscendingOrder);
    header()->setSortIndicatorShown(false);
    header()->setSectionsClickable(false);
    hide();
}

TMonitorRow* TMonitorList::AddLocation(THitachiLocation& location, TRowSlot slot) {
    auto* row = new TMonitorRow(location, slot);
    row->setText(0, QString::fromStdString(LocationCaption(location, slot == SlotLocal)));
    row->setText(2, QString::fromStdString(VarTypeText(location.VarType)));
    row->setTextAlignment(1, Qt::AlignRight | Qt::AlignVCenter);
    addTopLevelItem(row); // the list owns the row from here
    location.DisplayRows[slot] = row;
    return row;
}

void TMonitorList::focusInEvent(QFocusEvent* event) {
    QTreeWidget::focusInEvent(event);
    if (RowCount() > 0 && selectedItems().isEmpty()) {
        setCurrentItem(topLevelItem(0));
        topLevelItem(0)->setSelected(true);
    }
}

TMonitorRow* TMonitorList::Row(int index) const { return static_cast<TMonitorRow*>(topLevelItem(index)); }

std::string LocationCaption(const THitachiLocation& location, bool withPrefix) {
    if (!withPrefix) return location.LocationName();
    return (location.PLC ? location.PLC->Name : std::string("Sys")) + "." + location.LocationName();
}

void UpdateLocationRows(THitachiLocation& location) {
    const QString value = QString::fromStdString(FormatLocationValue(location, true));
    const TSettings* settings = location.PLC ? &location.PLC->Context().Settings : nullptr;
    const std::uint16_t quality = settings ? location.Quality(*settings) : location.Quality(true, true);
    const QString qualityText = QString::fromStdString(QualityToText(quality));
    const QString time =
        location.ValueTime != 0 ? QString::fromStdString(TimeText(location.ValueTime)) : QString();
    for (TMonitorRow* row : location.DisplayRows) {
        if (!row) continue;
        if (row->text(1) != value) row->setText(1, value);
        if (row->text(3) != qualityText) row->setText(3, qualityText);
        if (row->text(4) != time) row->setText(4, time);
    }
    if (location.RefreshCaption) {
        location.RefreshCaption = false;
        if (TMonitorRow* local = location.DisplayRows[SlotLocal])
            local->setText(0, QString::fromStdString(LocationCaption(location, true)));
    }
}

} // namespace dravon
