// The monitor list of the window (ServList): a row per listed monitor with its state image,
// last activity, status and tooltips, and the index by which rows and monitors find each
// other.
#pragma once

#include "monitors/MonitorList.h"

#include <QIcon>
#include <QTreeWidget>

#include <cstdint>
#include <functional>
#include <memory>
#include <unordered_map>

// Its only editable text is the caption: an edit started on any column of a row (a click on
// the selected row, F2) renames the row. Rows carry their monitor's address only as a key
// that is looked up in the index, so nothing here touches a monitor once it is deleted.
class TMonitorListView : public QTreeWidget {
    Q_OBJECT

public:
    explicit TMonitorListView(QWidget* AParent = nullptr);

    // The time the monitor's last check took, for the status tooltip; -1 for none.
    std::function<int64_t(const TServiceMonitor* AMonitor)> ResponseMs;

    // Builds the rows of AMonitors anew, none selected.
    void RefreshList(const TMonitorList& AMonitors);
    // Repaints the rows that show AMonitor (found in constant time).
    void UpdateMonitorView(const TServiceMonitor* AMonitor);
    void UpdateListItem(QTreeWidgetItem* ARow);
    // The name cell's tooltip, which follows the name and the settings as they are typed. It
    // is no rename, so the list does not report it as a change of a row (which would refill
    // the editor in the middle of the operator's typing).
    void UpdateNameTip(QTreeWidgetItem* ARow, const TServiceMonitor& AMonitor);

    QTreeWidgetItem* SelectedRow() const;
    // The monitor a row stands for, as listed when the rows were built, so a row left from
    // a deleted monitor finds nothing.
    std::shared_ptr<TServiceMonitor> MonitorOfRow(const QTreeWidgetItem* ARow) const;
    // The selected row's monitor; none without a selected row.
    std::shared_ptr<TServiceMonitor> SelectedMonitor() const;
    // The first row that shows AMonitor; none when it is not listed.
    QTreeWidgetItem* RowOf(const TServiceMonitor* AMonitor) const;
    // The address of the monitor a row was built for: a key to compare, never to follow.
    static const TServiceMonitor* KeyOfRow(const QTreeWidgetItem* ARow);

    // Whether a monitor counts as failing (in error, or checked again after an error), for
    // the filter's "only failing" and the order by status.
    std::function<bool(const TServiceMonitor& AMonitor)> Failing;

    // Shows only the rows whose name, target or last reason holds AText (in any letter case),
    // and with AOnlyFailing only failing ones. Nothing else changes: the list, its order in
    // the file and the checks stay as they are.
    Q_SLOT void SetFilter(const QString& AText, bool AOnlyFailing);
    int ShownRows() const { return FShown; }
    // A click on a column's header sorts the rows by it (the status: failing first, then not
    // checked, then OK), a second click the other way, a third back to the list's order.
    // -1 while the rows are in the list's order.
    int SortColumn() const { return FSortColumn; }
    void SortBy(int AColumn, Qt::SortOrder AOrder);
    // Sorts again after statuses or times changed; nothing in the list's order.
    void Resort();

signals:
    // Another row was selected, or the selected row was renamed in place.
    void SelectedRowChanged();
    // The context menu is asked for at AGlobal, over the selected row.
    void MenuRequested(const QPoint& AGlobal);
    // The rows shown changed: AShown of AAll.
    void ShownChanged(int AShown, int AAll);

protected:
    bool edit(const QModelIndex& AIndex, EditTrigger ATrigger, QEvent* AEvent) override;
    bool viewportEvent(QEvent* AEvent) override;

private:
    // Row images by status: the state image (none for msNone) left of the light bulb; then
    // a monitor not checked, and an acknowledged failure.
    static constexpr int NotCheckedIcon = 4;
    static constexpr int AcknowledgedIcon = 5;
    QIcon FRowIcons[6];
    void PaintRowIcons();

    struct TRowOf {
        QTreeWidgetItem* Row;
        std::weak_ptr<TServiceMonitor> Monitor;
    };
    // Rebuilt with the rows.
    std::unordered_multimap<const TServiceMonitor*, TRowOf> FRows;

    // Hides or shows ARow as the filter says; true when that changed.
    bool Filter(QTreeWidgetItem* ARow);
    void HeaderClicked(int AColumn);
    QString FFilter;
    bool FOnlyFailing = false;
    int FShown = 0;
    int FSortColumn = -1;
    Qt::SortOrder FSortOrder = Qt::AscendingOrder;

    friend class TMonitorRow;
};
