#include "app/MonitorListView.h"

#include "app/MonitorHistory.h"
#include "app/RowTips.h"
#include "app/ValueEdit.h"
#include "app/WindowTexts.h"

#include <QCoreApplication>
#include <QHeaderView>
#include <QHelpEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QSignalBlocker>
#include <QStyledItemDelegate>
#include <QTextDocument>
#include <QToolTip>

namespace {

// Renames in a TValueEdit, and hands over the clean text whatever the box holds.
class TCaptionDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    QWidget* createEditor(QWidget* AParent, const QStyleOptionViewItem&, const QModelIndex&) const override
    {
        return new TValueEdit(AParent);
    }
    void setModelData(QWidget* AEditor, QAbstractItemModel* AModel, const QModelIndex& AIndex) const override
    {
        if (auto* Box = qobject_cast<QLineEdit*>(AEditor))
            AModel->setData(AIndex, WithoutControls(Box->text()), Qt::EditRole);
    }
};

// What the rows are sorted by, besides their texts.
constexpr int ListOrderRole = Qt::UserRole + 1;
constexpr int StatusRankRole = Qt::UserRole + 2;
constexpr int ActivityRole = Qt::UserRole + 3;

} // namespace

// A row that sorts by its monitor's state rather than by the texts it shows; rows that tie
// keep the list's order.
class TMonitorRow : public QTreeWidgetItem {
public:
    using QTreeWidgetItem::QTreeWidgetItem;

    bool operator<(const QTreeWidgetItem& AOther) const override
    {
        const auto* View = static_cast<const TMonitorListView*>(treeWidget());
        const int Order = data(0, ListOrderRole).toInt() - AOther.data(0, ListOrderRole).toInt();
        int Compared = 0;
        switch (View ? View->FSortColumn : -1) {
        case 0:
            Compared = text(0).compare(AOther.text(0), Qt::CaseInsensitive);
            break;
        case 1: {
            const double Mine = data(0, ActivityRole).toDouble(),
                         Theirs = AOther.data(0, ActivityRole).toDouble();
            Compared = Mine < Theirs ? -1 : Mine > Theirs ? 1 : 0;
            break;
        }
        case 2:
            Compared = data(0, StatusRankRole).toInt() - AOther.data(0, StatusRankRole).toInt();
            break;
        default:
            break;
        }
        // Ties keep the list's order whichever way the column is sorted.
        if (Compared == 0)
            return View && View->FSortOrder == Qt::DescendingOrder ? Order > 0 : Order < 0;
        return Compared < 0;
    }
};

TMonitorListView::TMonitorListView(QWidget* AParent)
    : QTreeWidget(AParent)
{
    setItemDelegate(new TCaptionDelegate(this));
    PaintRowIcons();
    connect(this, &QTreeWidget::itemSelectionChanged, this, &TMonitorListView::SelectedRowChanged);
    // Only a caption edited in place (a rename, always of the selected row) is a change of the
    // list here: the rows' other cells and images change at every start and end of a check,
    // and the editor and the chart need nothing from those.
    connect(this, &QTreeWidget::itemChanged, this, [this](QTreeWidgetItem* ARow, int AColumn) {
        if (AColumn == 0 && ARow->isSelected())
            emit SelectedRowChanged();
    });
    setContextMenuPolicy(Qt::CustomContextMenu);
    connect(this, &QWidget::customContextMenuRequested, this, [this](const QPoint& APos) {
        // The menu acts on the selected row, so the row under the pointer is selected first.
        if (QTreeWidgetItem* Row = itemAt(APos))
            setCurrentItem(Row);
        if (SelectedRow())
            emit MenuRequested(viewport()->mapToGlobal(APos));
    });
    header()->setSectionsClickable(true);
    connect(header(), &QHeaderView::sectionClicked, this, &TMonitorListView::HeaderClicked);
}

void TMonitorListView::PaintRowIcons()
{
    const QPixmap States[] = { QPixmap(), QPixmap(QStringLiteral(":/images/checking.png")),
        QPixmap(QStringLiteral(":/images/ok.png")), QPixmap(QStringLiteral(":/images/error.png")) };
    const QPixmap Bulb(QStringLiteral(":/images/bulb.png"));
    for (int I = 0; I < 6; ++I) {
        QPixmap Image(24, 12);
        Image.fill(Qt::transparent);
        QPainter Painter(&Image);
        if (I < 4 && !States[I].isNull()) {
            Painter.drawPixmap(0, 0, States[I]);
        } else if (I == NotCheckedIcon) {
            // A hollow grey square: a state, but no verdict.
            Painter.setPen(QColor(128, 128, 128));
            Painter.drawRect(2, 2, 7, 7);
        } else if (I == AcknowledgedIcon) {
            // The red square faded, with a dark tick: still failing, and known to be.
            Painter.setOpacity(0.4);
            Painter.drawPixmap(0, 0, States[msError]);
            Painter.setOpacity(1);
            Painter.setPen(QPen(QColor(40, 40, 40), 1.5));
            Painter.setRenderHint(QPainter::Antialiasing);
            Painter.drawPolyline(QPolygonF({ QPointF(2, 6), QPointF(5, 9), QPointF(10, 2) }));
        }
        Painter.drawPixmap(12, 0, Bulb);
        Painter.end();
        FRowIcons[I] = QIcon(Image);
    }
}

bool TMonitorListView::edit(const QModelIndex& AIndex, EditTrigger ATrigger, QEvent* AEvent)
{
    return QTreeWidget::edit(AIndex.siblingAtColumn(0), ATrigger, AEvent);
}

// Tooltips carry what a server sent (a status line, an error text). A tooltip renders any
// text that looks like HTML, so a server could draw tables and load local images in it; the
// text is shown as plain text instead.
bool TMonitorListView::viewportEvent(QEvent* AEvent)
{
    // A click below the rows selects none, so the editor shows no monitor that typing would
    // not reach.
    if (AEvent->type() == QEvent::MouseButtonPress
        && !itemAt(static_cast<QMouseEvent*>(AEvent)->position().toPoint())) {
        clearSelection();
        setCurrentItem(nullptr, 0, QItemSelectionModel::NoUpdate);
    }
    if (AEvent->type() != QEvent::ToolTip)
        return QTreeWidget::viewportEvent(AEvent);
    const auto* Help = static_cast<QHelpEvent*>(AEvent);
    const QModelIndex Index = indexAt(Help->pos());
    const QString Tip = Index.data(Qt::ToolTipRole).toString();
    if (Tip.isEmpty())
        QToolTip::hideText();
    else
        QToolTip::showText(Help->globalPos(), Qt::convertFromPlainText(Tip, Qt::WhiteSpaceNormal), viewport(),
            visualRect(Index));
    return true;
}

void TMonitorListView::RefreshList(const TMonitorList& AMonitors)
{
    clear();
    FRows.clear();
    FRows.reserve(AMonitors.size());
    FShown = 0;
    int Place = 0;
    for (const TMonitorEntry& Entry : AMonitors) {
        auto* Row = new TMonitorRow(this);
        Row->setFlags(Row->flags() | Qt::ItemIsEditable);
        Row->setData(0, ListOrderRole, Place++);
        ++FShown;
        Row->setData(0, Qt::UserRole, QVariant::fromValue(reinterpret_cast<quintptr>(Entry.Monitor.get())));
        Row->setText(0, QString::fromStdString(Entry.Name));
        if (Entry.Monitor)
            FRows.emplace(Entry.Monitor.get(), TRowOf { Row, Entry.Monitor });
        UpdateListItem(Row);
    }
    Resort();
    clearSelection();
    setCurrentItem(nullptr, 0, QItemSelectionModel::NoUpdate);
    emit ShownChanged(FShown, topLevelItemCount());
}

void TMonitorListView::UpdateMonitorView(const TServiceMonitor* AMonitor)
{
    const auto [First, Last] = FRows.equal_range(AMonitor);
    for (auto Row = First; Row != Last; ++Row)
        UpdateListItem(Row->second.Row);
}

void TMonitorListView::UpdateListItem(QTreeWidgetItem* ARow)
{
    const std::shared_ptr<TServiceMonitor> Monitor = MonitorOfRow(ARow);
    if (!Monitor)
        return;
    const TMonitorStatus Status = Monitor->Status();
    ARow->setText(2, QString::fromLatin1(StatusText(Status)));
    // Why the last check failed, on the status cell, while the monitor is in error; the time
    // the last check took; and, after an https check, when the server's certificate expires.
    QString Tip = StatusTipText(Status, Monitor->LastError(), ResponseMs ? ResponseMs(Monitor.get()) : -1);
    const int64_t Now = UnixNow();
    const QString Expiry = QString::fromStdString(CertificateExpiryText(Monitor->Certificate(), Now));
    const auto AddLine
        = [&Tip](const QString& ALine) { Tip += (Tip.isEmpty() ? QString() : QStringLiteral("\n")) + ALine; };
    if (!Expiry.isEmpty() && Status != msChecking
        && !Tip.contains(Expiry.left(Expiry.indexOf(QLatin1Char(',')))))
        AddLine(CertificateTipText(Monitor->Certificate(), Now));
    const bool Acknowledged = Monitor->Acknowledged() != 0;
    if (Acknowledged)
        AddLine(QCoreApplication::translate("TfmMain", "Сбой подтверждён: %1")
                    .arg(DateTimeText(Monitor->Acknowledged())));
    // A monitor the timer leaves alone never shows a verdict as if it were current.
    const QString NotChecked = NotCheckedText(*Monitor);
    if (!NotChecked.isEmpty())
        AddLine(NotChecked);
    ARow->setToolTip(2, Tip);
    UpdateNameTip(ARow, *Monitor);
    int Icon = Status <= msError ? Status : msNone;
    if (Acknowledged && Status != msOK)
        Icon = AcknowledgedIcon;
    else if (Status == msNone && !NotChecked.isEmpty())
        Icon = NotCheckedIcon;
    ARow->setIcon(0, FRowIcons[Icon]);
    const QBrush Muted = Icon >= NotCheckedIcon ? QBrush(QColor(110, 110, 110)) : QBrush();
    for (int Column = 0; Column < 3; ++Column)
        ARow->setForeground(Column, Muted);
    ARow->setText(1, DateTimeText(Monitor->LastActivity()));
    ARow->setData(0, ActivityRole, Monitor->LastActivity());
    const bool Down = Failing ? Failing(*Monitor) : Status == msError;
    // A check that runs leaves the row where its last verdict put it.
    ARow->setData(0, StatusRankRole, Down ? 0 : !NotChecked.isEmpty() ? 1 : Status == msNone ? 2 : 3);
    if (Filter(ARow))
        emit ShownChanged(FShown, topLevelItemCount());
}

bool TMonitorListView::Filter(QTreeWidgetItem* ARow)
{
    bool Show = true;
    if (!FFilter.isEmpty() || FOnlyFailing) {
        const std::shared_ptr<TServiceMonitor> Monitor = MonitorOfRow(ARow);
        if (!Monitor) {
            Show = false;
        } else {
            if (FOnlyFailing)
                Show = Failing ? Failing(*Monitor) : Monitor->Status() == msError;
            // The name tooltip holds the name and the target (its password masked).
            if (Show && !FFilter.isEmpty())
                Show = ARow->toolTip(0).contains(FFilter, Qt::CaseInsensitive)
                    || QString::fromStdString(Monitor->LastError()).contains(FFilter, Qt::CaseInsensitive);
        }
    }
    if (Show == !ARow->isHidden())
        return false;
    ARow->setHidden(!Show);
    FShown += Show ? 1 : -1;
    return true;
}

void TMonitorListView::SetFilter(const QString& AText, bool AOnlyFailing)
{
    FFilter = AText;
    FOnlyFailing = AOnlyFailing;
    for (int I = 0; I < topLevelItemCount(); ++I)
        Filter(topLevelItem(I));
    emit ShownChanged(FShown, topLevelItemCount());
}

void TMonitorListView::HeaderClicked(int AColumn)
{
    if (AColumn != FSortColumn)
        SortBy(AColumn, Qt::AscendingOrder);
    else if (FSortOrder == Qt::AscendingOrder)
        SortBy(AColumn, Qt::DescendingOrder);
    else
        SortBy(-1, Qt::AscendingOrder);
}

void TMonitorListView::SortBy(int AColumn, Qt::SortOrder AOrder)
{
    FSortColumn = AColumn;
    FSortOrder = AOrder;
    header()->setSortIndicatorShown(AColumn >= 0);
    if (AColumn >= 0)
        header()->setSortIndicator(AColumn, AOrder);
    // Back to the list's order is a sort by the rows' places in it.
    sortItems(std::max(AColumn, 0), AColumn >= 0 ? AOrder : Qt::AscendingOrder);
}

void TMonitorListView::Resort()
{
    if (FSortColumn >= 0)
        sortItems(FSortColumn, FSortOrder);
}

void TMonitorListView::UpdateNameTip(QTreeWidgetItem* ARow, const TServiceMonitor& AMonitor)
{
    const QSignalBlocker Block(this);
    ARow->setToolTip(0, NameTipText(ARow->text(0), AMonitor));
}

QTreeWidgetItem* TMonitorListView::SelectedRow() const
{
    const QList<QTreeWidgetItem*> Rows = selectedItems();
    return Rows.isEmpty() ? nullptr : Rows.first();
}

std::shared_ptr<TServiceMonitor> TMonitorListView::MonitorOfRow(const QTreeWidgetItem* ARow) const
{
    const TServiceMonitor* Key = KeyOfRow(ARow);
    if (!Key)
        return nullptr;
    const auto [First, Last] = FRows.equal_range(Key);
    for (auto Found = First; Found != Last; ++Found)
        if (Found->second.Row == ARow)
            return Found->second.Monitor.lock();
    return nullptr;
}

std::shared_ptr<TServiceMonitor> TMonitorListView::SelectedMonitor() const
{
    const QTreeWidgetItem* Row = SelectedRow();
    return Row ? MonitorOfRow(Row) : nullptr;
}

QTreeWidgetItem* TMonitorListView::RowOf(const TServiceMonitor* AMonitor) const
{
    const auto Row = FRows.find(AMonitor);
    return Row == FRows.end() ? nullptr : Row->second.Row;
}

const TServiceMonitor* TMonitorListView::KeyOfRow(const QTreeWidgetItem* ARow)
{
    return reinterpret_cast<const TServiceMonitor*>(ARow->data(0, Qt::UserRole).value<quintptr>());
}
