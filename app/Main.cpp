#include "app/Main.h"

#include "app/Application.h"
#include "app/HistoryChart.h"
#include "app/MonitorHistory.h"
#include "notify/DBusNotifier.h"
#include "tray/TrayIcons.h"

#include <QAction>
#include <QCoreApplication>
#include <QDate>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QHeaderView>
#include <QHelpEvent>
#include <QKeyEvent>
#include <QLineEdit>
#include <QLocale>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPainter>
#include <QRegularExpression>
#include <QScreen>
#include <QShowEvent>
#include <QSplitter>
#include <QStatusBar>
#include <QStyledItemDelegate>
#include <QTableWidget>
#include <QTextDocument>
#include <QTime>
#include <QTimer>
#include <QToolTip>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>
#include <limits>

// Outside any namespace, as the resource system requires.
static void InitImages()
{
    Q_INIT_RESOURCE(images);
}

namespace {

constexpr const char* DefaultConfigFileName = "default.cfg";

QString ToQString(const std::string& AText)
{
    return QString::fromStdString(AText);
}

// The edit box of a name or a value. The list file is line based: a line break typed or
// pasted into a value would end its line and start another, which the next load reads as a
// key of its own or as the start of another monitor. So control characters never get in:
// each run of them becomes one blank as it is entered. And no length limit: a line edit
// would cut a long URL at 32767 characters as soon as it is shown.
class TValueEdit : public QLineEdit {
public:
    explicit TValueEdit(QWidget* AParent = nullptr)
        : QLineEdit(AParent)
    {
        setMaxLength(std::numeric_limits<int>::max());
        // Connected first, so that whoever else listens to textEdited sees the clean text.
        connect(this, &QLineEdit::textEdited, this, &TValueEdit::RemoveControls);
    }

private:
    void RemoveControls()
    {
        const QString Text = text();
        const QString Clean = WithoutControls(Text);
        if (Clean == Text)
            return;
        const int Cursor = static_cast<int>(WithoutControls(Text.left(cursorPosition())).size());
        setText(Clean);
        setCursorPosition(Cursor);
    }
};

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

// The report list. Its only editable text is the caption: an edit started on any column of
// a row (a click on the selected row, F2) renames the row.
class TServListView : public QTreeWidget {
public:
    explicit TServListView(QWidget* AParent)
        : QTreeWidget(AParent)
    {
        setItemDelegate(new TCaptionDelegate(this));
    }

protected:
    bool edit(const QModelIndex& AIndex, EditTrigger ATrigger, QEvent* AEvent) override
    {
        return QTreeWidget::edit(AIndex.siblingAtColumn(0), ATrigger, AEvent);
    }

    // Tooltips carry what a server sent (a status line, an error text). A tooltip renders
    // any text that looks like HTML, so a server could draw tables and load local images in
    // it; the text is shown as plain text instead.
    bool viewportEvent(QEvent* AEvent) override
    {
        if (AEvent->type() != QEvent::ToolTip)
            return QTreeWidget::viewportEvent(AEvent);
        const auto* Help = static_cast<QHelpEvent*>(AEvent);
        const QModelIndex Index = indexAt(Help->pos());
        const QString Tip = Index.data(Qt::ToolTipRole).toString();
        if (Tip.isEmpty())
            QToolTip::hideText();
        else
            QToolTip::showText(Help->globalPos(), Qt::convertFromPlainText(Tip, Qt::WhiteSpaceNormal),
                viewport(), visualRect(Index));
        return true;
    }
};

// The locale's long time format without a time-zone part. Every row shows a time and is
// repainted at each start and end of its check, so the last answer is kept (on the window's
// thread) rather than worked out with a pattern each time.
QString LongTimeFormat(const QLocale& ALocale)
{
    static QString Given;
    static QString Shortened;
    const QString Format = ALocale.timeFormat(QLocale::LongFormat);
    if (Format != Given || Shortened.isNull()) {
        static const QRegularExpression Zone(QStringLiteral("\\s*t+"));
        Given = Format;
        Shortened = QString(Format).remove(Zone).trimmed();
    }
    return Shortened;
}

} // namespace

QString WithoutControls(const QString& AText)
{
    QString Result;
    Result.reserve(AText.size());
    bool InRun = false;
    for (const QChar C : AText) {
        const bool Control = C.category() == QChar::Other_Control;
        if (!Control)
            Result += C;
        else if (!InRun)
            Result += QLatin1Char(' ');
        InRun = Control;
    }
    return Result;
}

QString DateTimeText(TDateTime AValue)
{
    if (AValue == 0)
        return {};
    int Year, Month, Day, Hour, Min, Sec, MSec;
    DecodeDate(AValue, Year, Month, Day);
    DecodeTime(AValue, Hour, Min, Sec, MSec);
    const QLocale Locale;
    QString Text = Locale.toString(QDate(Year, Month, Day), QLocale::ShortFormat);
    if (Hour != 0 || Min != 0 || Sec != 0 || MSec != 0)
        Text += ' ' + Locale.toString(QTime(Hour, Min, Sec), LongTimeFormat(Locale));
    return Text;
}

TfmMain::TfmMain(QWidget* AParent, std::unique_ptr<TTrayShell> ATrayShell, TEngineOptions AEngine)
    : QMainWindow(AParent)
    , FClock(AEngine.Clock ? std::move(AEngine.Clock) : std::make_shared<TSystemCheckClock>())
{
    InitImages();
    FEngine = std::make_unique<TCheckEngine>(
        *this, *FClock, AEngine.Workers, AEngine.Probe ? std::move(AEngine.Probe) : RunMonitorProbe);
    FSchedule = std::make_unique<TCheckSchedule>(*FEngine, *FClock);
    CreateParts(std::move(ATrayShell));
    FSchedule->OnShortage
        = [this](const std::string& AText) { statusBar()->showMessage(QString::fromStdString(AText)); };
    FNotifier = AEngine.Notifier ? std::move(AEngine.Notifier) : std::make_shared<TDBusNotifier>();
    // The history keeps time by the checks' clocks, so its records, its retention and the
    // notifications' minute agree with the verdicts.
    TMonitorHistory::TOptions History;
    History.WallMs
        = [Clock = FClock] { return std::llround(LocalDateTimeToUnix(Clock->WallNow()) * 1000.0); };
    History.MonotonicMs = [Clock = FClock] { return Clock->MonotonicMs(); };
    History.Settings = AEngine.History ? std::move(*AEngine.History) : HistorySettingsFromEnvironment();
    const std::string Problem = History.Settings.Problem;
    FHistory = new TMonitorHistory(HistoryChart, *FNotifier, std::move(History), this);
    // Said once, in the status bar: the checks go on whatever happens to the history.
    connect(FHistory, &TMonitorHistory::HistoryOff, this,
        [this](const QString& AReason) { statusBar()->showMessage(AReason); });
    if (!Problem.empty())
        statusBar()->showMessage(QString::fromStdString(Problem));
    SetMonitorObserver(this);
    qApp->installEventFilter(this);
    try {
        FormCreate();
    } catch (...) {
        TApplication::HandleException();
    }
}

TfmMain::~TfmMain()
{
    // Checks waiting on silent servers are woken and their threads joined here, so the
    // process ends at once and no thread outlives the window; their verdicts are dropped.
    FEngine->Shutdown();
    tmrCheck->stop();
    // What was recorded is written before the program ends.
    delete FHistory;
    FHistory = nullptr;
    delete ApplicationEvents;
    ApplicationEvents = nullptr;
    // The list reports its rows going while the base class frees it, when this object is
    // no longer a window to report to.
    ServList->blockSignals(true);
    qApp->removeEventFilter(this);
    if (MonitorObserver() == this)
        SetMonitorObserver(nullptr);
    FormDestroy();
    // The icon leaves the notification area with the window, and no tray event can reach
    // this object once it is half destroyed.
    delete TrayIcon;
    TrayIcon = nullptr;
}

void TfmMain::CreateParts(std::unique_ptr<TTrayShell> ATrayShell)
{
    setWindowTitle(QStringLiteral("Vardex"));
    QFont Font = font();
    Font.setPointSize(8);
    setFont(Font);
    resize(696, 480);

    const QPixmap States[] = { QPixmap(), QPixmap(QStringLiteral(":/images/checking.png")),
        QPixmap(QStringLiteral(":/images/ok.png")), QPixmap(QStringLiteral(":/images/error.png")) };
    const QPixmap Bulb(QStringLiteral(":/images/bulb.png"));
    for (int I = 0; I < 4; ++I) {
        QPixmap Image(24, 12);
        Image.fill(Qt::transparent);
        QPainter Painter(&Image);
        if (!States[I].isNull())
            Painter.drawPixmap(0, 0, States[I]);
        Painter.drawPixmap(12, 0, Bulb);
        Painter.end();
        FRowIcons[I] = QIcon(Image);
    }

    CreateActions();

    menuBar()->setFixedHeight(25);
    menuBar()->setStyleSheet(QStringLiteral("QMenuBar { border-bottom: 1px solid #a0a0a0; }"
                                            "QMenuBar::item:selected { background: rgb(226, 225, 219); }"));
    QMenu* MonitorMenu = menuBar()->addMenu(QStringLiteral("Монитор"));
    MonitorMenu->addAction(acConfigLoad);
    MonitorMenu->addAction(acConfigSave);
    MonitorMenu->addAction(acConfigSaveAs);
    MonitorMenu->addSeparator();
    MonitorMenu->addAction(acMonitorExit);
    QMenu* ServicesMenu = menuBar()->addMenu(QStringLiteral("Сервисы"));
    QMenu* CreateMenu = ServicesMenu->addMenu(QStringLiteral("Создать"));
    CreateMenu->addAction(acCreatePing);
    CreateMenu->addAction(acCreateWeb);
    ServicesMenu->addAction(acMonitorDelete);

    statusBar()->setFixedHeight(19);

    Splitter1 = new QSplitter(Qt::Horizontal, this);
    Splitter1->setHandleWidth(3);
    Splitter1->setChildrenCollapsible(false);

    Panel1 = new QWidget(Splitter1);
    auto* PanelLayout = new QVBoxLayout(Panel1);
    PanelLayout->setContentsMargins(0, 0, 0, 0);
    Splitter2 = new QSplitter(Qt::Vertical, Panel1);
    Splitter2->setHandleWidth(3);
    Splitter2->setChildrenCollapsible(false);
    PanelLayout->addWidget(Splitter2);

    TreeView1 = new QTreeWidget(Splitter2);
    TreeView1->setHeaderHidden(true);
    TreeView1->setIndentation(19);
    TreeView1->setColumnCount(1);
    new QTreeWidgetItem(TreeView1, QStringList { QStringLiteral("Сервисы") });

    ServConfig = new QTableWidget(1, 2, Splitter2);
    ServConfig->setHorizontalHeaderLabels({ QStringLiteral("Key"), QStringLiteral("Value") });
    ServConfig->verticalHeader()->hide();
    ServConfig->verticalHeader()->setMinimumSectionSize(1);
    ServConfig->verticalHeader()->setDefaultSectionSize(16);
    ServConfig->setColumnWidth(0, 79);
    ServConfig->setColumnWidth(1, 100);
    ServConfig->setSelectionMode(QAbstractItemView::NoSelection);
    ServConfig->setEditTriggers(QAbstractItemView::NoEditTriggers);
    SetEditorLines({});

    // The list and, under it, the chart of the selected monitor's history, which can be
    // dragged shut; the left panel and the list keep their places.
    HistorySplitter = new QSplitter(Qt::Vertical, Splitter1);
    HistorySplitter->setHandleWidth(3);
    ServList = new TServListView(HistorySplitter);
    ServList->setColumnCount(3);
    ServList->setHeaderLabels(
        { QStringLiteral("Имя сервиса"), QStringLiteral("Посл. активность"), QStringLiteral("Статус") });
    ServList->header()->setStretchLastSection(false);
    ServList->setColumnWidth(0, 200);
    ServList->setColumnWidth(1, 150);
    ServList->setColumnWidth(2, 70);
    ServList->setRootIsDecorated(false);
    ServList->setItemsExpandable(false);
    ServList->setUniformRowHeights(true);
    ServList->setSelectionMode(QAbstractItemView::SingleSelection);
    ServList->setSelectionBehavior(QAbstractItemView::SelectRows);
    ServList->setEditTriggers(QAbstractItemView::SelectedClicked | QAbstractItemView::EditKeyPressed);
    ServList->setIconSize(QSize(24, 12));
    QPalette ListPalette = ServList->palette();
    ListPalette.setColor(QPalette::Base, QColor(0, 255, 255));
    ServList->setPalette(ListPalette);

    HistoryChart = new THistoryChart(HistorySplitter);
    HistorySplitter->setStretchFactor(0, 1);
    HistorySplitter->setCollapsible(0, false);
    HistorySplitter->setSizes({ 480 - 25 - 19 - 170 - 3, 170 });

    Splitter1->addWidget(Panel1);
    Splitter1->addWidget(HistorySplitter);
    Splitter1->setStretchFactor(1, 1);
    Splitter1->setSizes({ 185, 696 - 185 - 3 });
    Splitter2->setStretchFactor(1, 1);
    Splitter2->setSizes({ 185, 480 - 185 });
    setCentralWidget(Splitter1);

    connect(ServList, &QTreeWidget::itemSelectionChanged, this,
        [this] { Guarded([this] { ServListChange(); }); });
    // Only a caption edited in place (a rename, always of the selected row) is a change of the
    // list here: the rows' other cells and images change at every start and end of a check,
    // and the editor and the chart need nothing from those.
    connect(ServList, &QTreeWidget::itemChanged, this, [this](QTreeWidgetItem* ARow, int AColumn) {
        if (AColumn == 0 && ARow->isSelected())
            Guarded([this] { ServListChange(); });
    });
    connect(
        ServList, &QTreeWidget::itemDoubleClicked, this, [this] { Guarded([this] { ServListDblClick(); }); });

    // Ticks from the moment the window exists; QTimer never stacks missed ticks.
    tmrCheck = new QTimer(this);
    tmrCheck->setInterval(1000);
    connect(tmrCheck, &QTimer::timeout, this, [this] { Guarded([this] { tmrCheckTimer(); }); });
    tmrCheck->start();

    // Placed once, green and with its tooltip, before the window is first shown. The menu
    // is the way back, and the way out, on trays that offer no double-click.
    TrayIcon = new TTrayIcon(this, std::move(ATrayShell));
    TrayPopupMenu = new QMenu(this);
    TrayPopupMenu->addAction(acTrayShow);
    TrayPopupMenu->addAction(acMonitorExit);
    TrayIcon->SetPopupMenu(TrayPopupMenu);
    SetupMainWindowTray(*TrayIcon, [this](TTrayIcon*) { TrayIconDblClick(); });

    ApplicationEvents = new TApplicationEvents(this);
    ApplicationEvents->OnMinimize = [this] { ApplicationEventsMinimize(); };

    const std::pair<QObject*, const char*> Names[] = { { acMonitorExit, "acMonitorExit" },
        { ServList, "ServList" }, { Splitter1, "Splitter1" }, { Panel1, "Panel1" },
        { TreeView1, "TreeView1" }, { Splitter2, "Splitter2" }, { ServConfig, "ServConfig" },
        { tmrCheck, "tmrCheck" }, { acConfigLoad, "acConfigLoad" }, { acConfigSave, "acConfigSave" },
        { acConfigSaveAs, "acConfigSaveAs" }, { acCreatePing, "acCreatePing" },
        { acCreateWeb, "acCreateWeb" }, { acMonitorDelete, "acMonitorDelete" }, { TrayIcon, "TrayIcon" },
        { TrayPopupMenu, "TrayPopupMenu" }, { acTrayShow, "acTrayShow" },
        { ApplicationEvents, "ApplicationEvents" }, { HistorySplitter, "HistorySplitter" },
        { HistoryChart, "HistoryChart" } };
    for (const auto& [Part, Name] : Names)
        Part->setObjectName(QLatin1String(Name));
}

QAction* TfmMain::NewAction(
    const QString& ACaption, const QKeySequence& AShortcut, void (TfmMain::*AHandler)())
{
    auto* Action = new QAction(ACaption, this);
    Action->setShortcut(AShortcut);
    Action->setShortcutContext(Qt::WindowShortcut);
    if (AHandler)
        connect(Action, &QAction::triggered, this,
            [this, AHandler] { Guarded([this, AHandler] { (this->*AHandler)(); }); });
    addAction(Action);
    return Action;
}

void TfmMain::CreateActions()
{
    acMonitorExit = NewAction(
        QStringLiteral("Выход"), QKeySequence(Qt::ALT | Qt::Key_X), &TfmMain::acMonitorExitExecute);
    // Loading another list while running is not offered: the item is there, always disabled.
    acConfigLoad = NewAction(QStringLiteral("Загрузить..."), QKeySequence(Qt::CTRL | Qt::Key_L), nullptr);
    acConfigLoad->setEnabled(false);
    acConfigSave = NewAction(
        QStringLiteral("Сохранить"), QKeySequence(Qt::CTRL | Qt::Key_S), &TfmMain::acConfigSaveExecute);
    acConfigSaveAs
        = NewAction(QStringLiteral("Сохранить как..."), QKeySequence(), &TfmMain::acConfigSaveAsExecute);
    acCreatePing = NewAction(QStringLiteral("&PingMonitor"), QKeySequence(), &TfmMain::acCreatePingExecute);
    acCreateWeb = NewAction(QStringLiteral("WebMonitor"), QKeySequence(), &TfmMain::acCreateWebExecute);
    acMonitorDelete = NewAction(
        QStringLiteral("Удалить"), QKeySequence(Qt::Key_Delete), &TfmMain::acMonitorDeleteExecute);
    acTrayShow = NewAction(QStringLiteral("Показать"), QKeySequence(), &TfmMain::acTrayShowExecute);
}

// The window's shortcuts come before the focused control: a control that would take the key
// for itself is not asked, so the key runs the command and never reaches the control. Del
// is the exception: in an edit box (a value, a name being renamed) it deletes text, and only
// where no text is being edited does it delete the monitor.
bool TfmMain::eventFilter(QObject* AWatched, QEvent* AEvent)
{
    if (AEvent->type() == QEvent::ShortcutOverride) {
        auto* Widget = qobject_cast<QWidget*>(AWatched);
        if (Widget && Widget->window() == this) {
            auto* Key = static_cast<QKeyEvent*>(AEvent);
            const QKeySequence Sequence(
                QKeyCombination(Key->modifiers() & ~Qt::KeypadModifier, Qt::Key(Key->key())));
            if (Sequence == acMonitorDelete->shortcut() && qobject_cast<QLineEdit*>(Widget))
                return QMainWindow::eventFilter(AWatched, AEvent);
            for (QAction* Action : actions()) {
                if (Action->isEnabled() && !Action->shortcut().isEmpty() && Action->shortcut() == Sequence) {
                    AEvent->ignore();
                    return true;
                }
            }
        }
    }
    return QMainWindow::eventFilter(AWatched, AEvent);
}

void TfmMain::showEvent(QShowEvent* AEvent)
{
    QMainWindow::showEvent(AEvent);
    // Spontaneous show events come from the window system (a restore after a minimise);
    // only becoming visible counts as showing the window.
    if (AEvent->spontaneous())
        return;
    if (!FCentred) {
        FCentred = true;
        if (QScreen* Screen = screen())
            move(Screen->availableGeometry().center() - frameGeometry().center() + pos());
    }
    Guarded([this] { FormShow(); });
}

void TfmMain::FormCreate()
{
    FMonitors.clear();
    FAlarm = false;
    FConfigFileName = DefaultConfigFileName;
    LoadConfig();
}

void TfmMain::FormShow()
{
    RefreshList();
}

void TfmMain::FormDestroy()
{
    FMonitors.clear();
}

void TfmMain::UpdateMonitorView(TServiceMonitor* AMonitor)
{
    if (FHoldRows)
        return;
    const auto [First, Last] = FRows.equal_range(AMonitor);
    for (auto Row = First; Row != Last; ++Row)
        UpdateListItem(Row->second.Row);
}

void TfmMain::Post(TCheckVerdict AVerdict)
{
    // Runs on a worker. The verdict crosses under FPostedLock, a lock the thread sanitizer
    // sees, not inside a queued functor handed over by Qt's own locks, which it cannot see;
    // and one queued call serves every verdict that arrives before it runs. The call is
    // dropped with this object; the destructor joins the workers before the object goes, so
    // none can post to a window that has gone.
    bool First = false;
    {
        const std::lock_guard Lock(FPostedLock);
        First = FPosted.empty();
        FPosted.push_back(std::move(AVerdict));
    }
    if (First)
        QMetaObject::invokeMethod(this, "ApplyPosted", Qt::QueuedConnection);
}

void TfmMain::ApplyPosted()
{
    std::vector<TCheckVerdict> Batch;
    {
        const std::lock_guard Lock(FPostedLock);
        Batch.swap(FPosted);
    }
    // Monitors started together end together, hundreds at a time: a slice of the batch at a
    // time, and the rest after the events that came meanwhile (paints, timers, input).
    QElapsedTimer Spent;
    Spent.start();
    size_t Applied = 0;
    while (Applied < Batch.size() && (Applied == 0 || Spent.elapsed() < ApplySliceMs)) {
        Guarded([&] { ApplyVerdict(Batch[Applied]); });
        ++Applied;
    }
    if (Applied < Batch.size()) {
        {
            const std::lock_guard Lock(FPostedLock);
            FPosted.insert(FPosted.begin(), std::make_move_iterator(Batch.begin() + ptrdiff_t(Applied)),
                std::make_move_iterator(Batch.end()));
        }
        QMetaObject::invokeMethod(this, "ApplyPosted", Qt::QueuedConnection);
    }
    // Workers are free again: monitors that a full engine left due start now.
    Guarded([this] { FSchedule->Resume(FMonitors); });
}

void TfmMain::ApplyVerdict(const TCheckVerdict& AVerdict)
{
    // The rows are repainted once the history has the check's time too, which they show.
    FHoldRows = true;
    const std::shared_ptr<TServiceMonitor> Monitor = FSchedule->Apply(AVerdict);
    FHoldRows = false;
    if (Monitor) {
        const auto Row = FRows.find(Monitor.get());
        const std::string Name = Row == FRows.end() ? std::string() : Row->second.Row->text(0).toStdString();
        FHistory->Finished(
            Monitor.get(), Name, Monitor->Status(), AVerdict.Reason, AVerdict.Start, AVerdict.DurationMs);
        UpdateMonitorView(Monitor.get());
    } else if (const auto Restored = AVerdict.Shortage ? AVerdict.Monitor.lock() : nullptr) {
        UpdateMonitorView(Restored.get());
    }
    UpdateAlarm(FSchedule->Alarm());
}

void TfmMain::RefreshList()
{
    ServList->clear();
    FRows.clear();
    FRows.reserve(FMonitors.size());
    for (const TMonitorEntry& Entry : FMonitors) {
        auto* Row = new QTreeWidgetItem(ServList);
        Row->setFlags(Row->flags() | Qt::ItemIsEditable);
        Row->setData(0, Qt::UserRole, QVariant::fromValue(reinterpret_cast<quintptr>(Entry.Monitor.get())));
        Row->setText(0, ToQString(Entry.Name));
        if (Entry.Monitor)
            FRows.emplace(Entry.Monitor.get(), TRowOf { Row, Entry.Monitor });
        UpdateListItem(Row);
    }
    ServList->clearSelection();
    ServList->setCurrentItem(nullptr, 0, QItemSelectionModel::NoUpdate);
}

void TfmMain::UpdateListItem(QTreeWidgetItem* ARow)
{
    const std::shared_ptr<TServiceMonitor> Monitor = MonitorOfRow(ARow);
    if (!Monitor)
        return;
    const TMonitorStatus Status = Monitor->Status();
    ARow->setText(2, QString::fromLatin1(StatusText(Status)));
    // Why the last check failed, on the status cell, while the monitor is in error; the time
    // the last check took; and, after an https check, when the server's certificate expires.
    QString Tip = StatusTipText(
        Status, Monitor->LastError(), FHistory ? FHistory->LastResponseMs(Monitor.get()) : -1);
    const QString Expiry = QString::fromStdString(CertificateExpiryText(Monitor->Certificate(), UnixNow()));
    if (!Expiry.isEmpty() && Status != msChecking
        && !Tip.contains(Expiry.left(Expiry.indexOf(QLatin1Char(',')))))
        Tip += (Tip.isEmpty() ? QString() : QStringLiteral("\n")) + Expiry;
    ARow->setToolTip(2, Tip);
    ARow->setIcon(0, FRowIcons[Status <= msError ? Status : msNone]);
    ARow->setText(1, DateTimeText(Monitor->LastActivity()));
}

void TfmMain::SelectHistory()
{
    QTreeWidgetItem* Row = SelectedRow();
    const std::shared_ptr<TServiceMonitor> Monitor = Row ? MonitorOfRow(Row) : nullptr;
    FHistory->Select(Monitor.get(), Monitor ? Row->text(0).toStdString() : std::string());
}

void TfmMain::SetHistoryList()
{
    // A list not loaded (no file yet, or one refused) is kept under the name it started from
    // until it is saved under a name of its own.
    const std::string Name = FConfigFileName.empty() ? std::string(DefaultConfigFileName) : FConfigFileName;
    if (Name == FHistoryList)
        return;
    FHistoryList = Name;
    FHistory->SetList(Name);
    SelectHistory();
}

QTreeWidgetItem* TfmMain::SelectedRow() const
{
    const QList<QTreeWidgetItem*> Rows = ServList->selectedItems();
    return Rows.isEmpty() ? nullptr : Rows.first();
}

std::shared_ptr<TServiceMonitor> TfmMain::MonitorOfRow(const QTreeWidgetItem* ARow) const
{
    const quintptr Key = ARow->data(0, Qt::UserRole).value<quintptr>();
    if (Key == 0)
        return nullptr;
    const auto [First, Last] = FRows.equal_range(reinterpret_cast<const TServiceMonitor*>(Key));
    for (auto Found = First; Found != Last; ++Found)
        if (Found->second.Row == ARow)
            return Found->second.Monitor.lock();
    return nullptr;
}

bool TfmMain::IsChecking(const TServiceMonitor* AMonitor) const
{
    return FSchedule->IsChecking(AMonitor);
}

QLineEdit* TfmMain::EditorValueBox(int ARow) const
{
    return qobject_cast<QLineEdit*>(ServConfig->cellWidget(ARow, 1));
}

void TfmMain::SetEditorLines(const TStringList& ALines)
{
    const int Rows = std::max<int>(1, static_cast<int>(ALines.size()));
    const int OldRows = ServConfig->rowCount();
    ServConfig->setRowCount(Rows);
    for (int Row = 0; Row < Rows; ++Row) {
        if (Row >= OldRows || !ServConfig->item(Row, 0)) {
            auto* Key = new QTableWidgetItem;
            Key->setFlags(Qt::ItemIsEnabled);
            ServConfig->setItem(Row, 0, Key);
        }
        if (!EditorValueBox(Row)) {
            auto* Box = new TValueEdit;
            Box->setFrame(false);
            connect(Box, &QLineEdit::textEdited, this,
                [this] { Guarded([this] { ServConfigStringsChange(); }); });
            ServConfig->setCellWidget(Row, 1, Box);
        }
        QString Key, Value;
        if (Row < static_cast<int>(ALines.size())) {
            const std::string& Line = ALines[static_cast<size_t>(Row)];
            const size_t Eq = Line.find('=');
            Key = ToQString(Line.substr(0, Eq));
            if (Eq != std::string::npos)
                Value = ToQString(Line.substr(Eq + 1));
        }
        ServConfig->item(Row, 0)->setText(Key);
        // An edit box that already shows the value is left alone, so that a refill while the
        // operator types keeps the cursor where it is.
        QLineEdit* Box = EditorValueBox(Row);
        if (Box->text() != Value)
            Box->setText(Value);
    }
}

TStringList TfmMain::EditorLines() const
{
    TStringList Lines;
    for (int Row = 0; Row < ServConfig->rowCount(); ++Row) {
        const QTableWidgetItem* KeyItem = ServConfig->item(Row, 0);
        const QString Key = KeyItem ? KeyItem->text() : QString();
        const QLineEdit* Box = EditorValueBox(Row);
        const QString Value = Box ? Box->text() : QString();
        if (Key.isEmpty() && Value.isEmpty())
            continue;
        Lines.push_back(Key.toStdString() + "=" + Value.toStdString());
    }
    return Lines;
}

void TfmMain::ServListChange()
{
    QTreeWidgetItem* Row = SelectedRow();
    if (!Row) {
        SelectHistory();
        return;
    }
    TStringList Lines { "Name=" + Row->text(0).toStdString() };
    if (const std::shared_ptr<TServiceMonitor> Monitor = MonitorOfRow(Row)) {
        const TStringList Settings = Monitor->EditorSettings();
        Lines.insert(Lines.end(), Settings.begin(), Settings.end());
    }
    SetEditorLines(Lines);
    // A rename is taken first, so that the chart goes on with the history it carried along.
    ServConfigStringsChange();
    SelectHistory();
}

void TfmMain::ServConfigStringsChange()
{
    QTreeWidgetItem* Row = SelectedRow();
    if (!Row)
        return;
    const std::shared_ptr<TServiceMonitor> Monitor = MonitorOfRow(Row);
    if (!Monitor)
        return;
    // The name comes from the row's caption (renamed in place), never from the editor.
    const std::string Caption = Row->text(0).toStdString();
    for (TMonitorEntry& Entry : FMonitors)
        if (Entry.Monitor == Monitor && Entry.Name != Caption) {
            FHistory->Renamed(Monitor.get(), Entry.Name, Caption);
            Entry.Name = Caption;
        }
    Monitor->SetSettings(EditorLines());
}

void TfmMain::LoadConfig()
{
    FListExtras = {};
    try {
        if (!LoadMonitorList(FConfigFileName, FMonitors, &FListExtras))
            FConfigFileName.clear();
    } catch (...) {
        // A list that was refused or not read to its end must not be replaced by what the
        // window holds at the next Ctrl+S: the save asks for a name instead.
        FConfigFileName.clear();
        SetHistoryList();
        throw;
    }
    SetHistoryList();
    if (FListExtras.UnreadCount > 0)
        TApplication::ShowWarning(UnreadBlocksText(FConfigFileName, FListExtras.UnreadCount)
            + "; they are kept and saved with the list");
}

void TfmMain::SaveConfig()
{
    if (FConfigFileName.empty()) {
        std::string FileName;
        if (!ExecuteSaveDialog(FileName))
            return;
        FConfigFileName = FileName;
    }
    SaveMonitorList(FConfigFileName, FMonitors, &FListExtras);
    SetHistoryList();
}

TSaveConfigDialog::TSaveConfigDialog(QWidget* AParent)
    : QFileDialog(AParent, QStringLiteral("Сохранение конфигурации..."))
{
    setAcceptMode(QFileDialog::AcceptSave);
    setFileMode(QFileDialog::AnyFile);
    setNameFilters({ QStringLiteral("Service List Files (*.cfg)"), QStringLiteral("All Files (*)") });
    setDefaultSuffix(QStringLiteral("cfg"));
    setOption(QFileDialog::DontConfirmOverwrite, false);
}

void TSaveConfigDialog::accept()
{
    // A name in a folder that does not exist is refused here, where it can still be
    // corrected; a save into it could only fail.
    const QStringList Files = selectedFiles();
    if (!Files.isEmpty() && !QFileInfo(Files.first()).dir().exists()) {
        const QString Folder = QDir::toNativeSeparators(QFileInfo(Files.first()).path());
        if (FolderMissingHook) {
            FolderMissingHook(Folder);
        } else {
            QMessageBox Box(QMessageBox::Warning, windowTitle(),
                QStringLiteral("Папка не существует:\n%1").arg(Folder), QMessageBox::Ok, this);
            Box.setTextFormat(Qt::PlainText);
            Box.exec();
        }
        return;
    }
    QFileDialog::accept();
}

bool TfmMain::ExecuteSaveDialog(std::string& AFileName)
{
    if (SaveDialogHook)
        return SaveDialogHook(AFileName);
    TSaveConfigDialog SaveConfigDialog(this);
    if (SaveConfigDialog.exec() != QDialog::Accepted || SaveConfigDialog.selectedFiles().isEmpty())
        return false;
    AFileName = QFile::encodeName(SaveConfigDialog.selectedFiles().first()).toStdString();
    return !AFileName.empty();
}

void TfmMain::acConfigSaveExecute()
{
    SaveConfig();
}

void TfmMain::acConfigSaveAsExecute()
{
    FConfigFileName.clear();
    SaveConfig();
}

void TfmMain::acMonitorExitExecute()
{
    // Closing a window that is hidden in the tray does not end Qt's event loop (only the
    // last visible window's closing does), and the tray menu offers this command exactly
    // then; so the program is ended here once the window has agreed to close.
    if (close())
        QCoreApplication::quit();
}

void TfmMain::acCreatePingExecute()
{
    FMonitors.push_back({ "New PingMonitor", std::make_shared<TPingMonitor>() });
    RefreshList();
}

void TfmMain::acCreateWebExecute()
{
    FMonitors.push_back({ "New WebMonitor", std::make_shared<TWebMonitor>() });
    RefreshList();
}

void TfmMain::acMonitorDeleteExecute()
{
    QTreeWidgetItem* Row = SelectedRow();
    if (!Row)
        return;
    const quintptr Key = Row->data(0, Qt::UserRole).value<quintptr>();
    const auto Entry = std::find_if(FMonitors.begin(), FMonitors.end(), [Key](const TMonitorEntry& AEntry) {
        return reinterpret_cast<quintptr>(AEntry.Monitor.get()) == Key;
    });
    // Held until the rows are rebuilt, so no row ever points at a freed monitor. A check of
    // it that runs is cancelled; it works on a copy, and its verdict will find no monitor.
    std::shared_ptr<TServiceMonitor> Deleted;
    if (Entry != FMonitors.end()) {
        Deleted = Entry->Monitor;
        FSchedule->Forget(Deleted.get());
        FHistory->Deleted(Deleted.get());
        FMonitors.erase(Entry);
    }
    RefreshList();
}

// Check scheduling: TCheckSchedule decides what is due and starts it on the engine; the
// verdicts come back through Post. Rows carry their monitor's address only as a key that is
// looked up in FRows, so nothing here touches a monitor once it is deleted.

void TfmMain::tmrCheckTimer()
{
    UpdateAlarm(FSchedule->Tick(FMonitors));
}

void TfmMain::UpdateAlarm(bool AAlarm)
{
    if (AAlarm == FAlarm)
        return;
    FAlarm = AAlarm;
    SetTrayAnimated(AAlarm);
    if (AAlarm)
        ShowAndRestore();
}

void TfmMain::ServListDblClick()
{
    QTreeWidgetItem* Row = SelectedRow();
    if (!Row)
        return;
    // A monitor whose check runs is left alone; with every worker busy the click is lost.
    FSchedule->RunCheck(MonitorOfRow(Row));
}

void TfmMain::SetTrayAnimated(bool AAnimated)
{
    TrayIcon->SetAnimated(AAnimated);
    if (TrayAnimatedHook)
        TrayAnimatedHook(AAnimated);
}

void TfmMain::TrayIconDblClick()
{
    ShowAndRestore();
}

void TfmMain::acTrayShowExecute()
{
    ShowAndRestore();
}

// A window hidden to the tray comes back only through the tray icon (or an alarm). Where
// there is no notification area, or the icon could not be placed in it, minimising leaves
// an ordinary minimised window that the desktop can restore.
void TfmMain::ApplicationEventsMinimize()
{
    if (!TrayIcon->IsTrayAvailable())
        return;
    // A tray host that appeared after start has not got the icon yet.
    if (!TrayIcon->InTray() && TrayIcon->Active())
        TrayIcon->AddToTray();
    if (TrayIcon->InTray())
        hide();
}

void TfmMain::ShowAndRestore()
{
    if (isMinimized())
        showNormal();
    else
        show();
    raise();
    activateWindow();
}
