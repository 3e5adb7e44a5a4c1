#include "app/Main.h"

#include "app/Application.h"
#include "app/MonitorHistory.h"
#include "notify/DBusNotifier.h"
#include "tray/TrayIcons.h"
#include "ui_Main.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMenu>
#include <QScreen>
#include <QShowEvent>
#include <QTimer>

#include <algorithm>
#include <cmath>

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

// The application's icon, as the desktop entry names it, for the window's title bar and task bar.
QIcon ApplicationIcon()
{
    QIcon Icon;
    Icon.addFile(QStringLiteral(":/images/vardex-48.png"), QSize(48, 48));
    Icon.addFile(QStringLiteral(":/images/vardex-256.png"), QSize(256, 256));
    return Icon;
}

} // namespace

TfmMain::TfmMain(QWidget* AParent, std::unique_ptr<TTrayShell> ATrayShell, TEngineOptions AEngine)
    : QMainWindow(AParent)
    , FForm(std::make_unique<Ui::TfmMain>())
    , FClock(AEngine.Clock ? std::move(AEngine.Clock) : std::make_shared<TSystemCheckClock>())
{
    InitImages();
    FEngine = std::make_unique<TCheckEngine>(
        *this, *FClock, AEngine.Workers, AEngine.Probe ? std::move(AEngine.Probe) : RunMonitorProbe);
    FSchedule = std::make_unique<TCheckSchedule>(*FEngine, *FClock);
    FForm->setupUi(this);
    SetupLayout();
    ConnectParts();
    CreateTray(std::move(ATrayShell));
    FSchedule->OnShortage = [this](const std::string& AText) { statusBar()->showMessage(ToQString(AText)); };
    FNotifier = AEngine.Notifier ? std::move(AEngine.Notifier) : std::make_shared<TDBusNotifier>();
    // The history keeps time by the checks' clocks, so its records, its retention and the
    // notifications' minute agree with the verdicts.
    TMonitorHistory::TOptions History;
    History.WallMs
        = [Clock = FClock] { return std::llround(LocalDateTimeToUnix(Clock->WallNow()) * 1000.0); };
    History.MonotonicMs = [Clock = FClock] { return Clock->MonotonicMs(); };
    History.Settings = AEngine.History ? std::move(*AEngine.History) : HistorySettingsFromEnvironment();
    const std::string Problem = History.Settings.Problem;
    FHistory = new TMonitorHistory(FForm->HistoryChart, *FNotifier, std::move(History), this);
    FForm->ServList->ResponseMs
        = [this](const TServiceMonitor* AMonitor) { return FHistory->LastResponseMs(AMonitor); };
    // Said once, in the status bar: the checks go on whatever happens to the history.
    connect(FHistory, &TMonitorHistory::HistoryOff, this,
        [this](const QString& AReason) { statusBar()->showMessage(AReason); });
    if (!Problem.empty())
        statusBar()->showMessage(ToQString(Problem));
    SetMonitorObserver(this);
    qApp->installEventFilter(this);
    Guarded([this] { FormCreate(); });
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
    FForm->ServList->ResponseMs = nullptr;
    delete ApplicationEvents;
    ApplicationEvents = nullptr;
    // The list reports its rows going while the base class frees it, and an edit box that
    // has the focus finishes its edit as the window closes, when this object is no longer a
    // window to report to or to refill.
    FForm->ServList->blockSignals(true);
    FForm->ServConfig->blockSignals(true);
    qApp->removeEventFilter(this);
    if (MonitorObserver() == this)
        SetMonitorObserver(nullptr);
    FMonitors.clear();
    // The icon leaves the notification area with the window, and no tray event can reach
    // this object once it is half destroyed.
    delete TrayIcon;
    TrayIcon = nullptr;
}

void TfmMain::SetupLayout()
{
    setWindowIcon(ApplicationIcon());
    FForm->ServConfig->setColumnWidth(0, 79);
    FForm->ServConfig->setColumnWidth(1, 100);
    FForm->ServConfig->SetLines({});
    FForm->ServList->setColumnWidth(0, 200);
    FForm->ServList->setColumnWidth(1, 150);
    FForm->ServList->setColumnWidth(2, 70);
    // The list and, under it, the chart of the selected monitor's history, which can be
    // dragged shut; the left panel and the list keep their places.
    FForm->HistorySplitter->setStretchFactor(0, 1);
    FForm->HistorySplitter->setCollapsible(0, false);
    FForm->HistorySplitter->setSizes({ 480 - 25 - 19 - 170 - 3, 170 });
    FForm->Splitter1->setStretchFactor(1, 1);
    FForm->Splitter1->setSizes({ 185, 696 - 185 - 3 });
    FForm->Splitter2->setStretchFactor(1, 1);
    FForm->Splitter2->setSizes({ 185, 480 - 185 });
}

void TfmMain::ConnectParts()
{
    const auto On = [this](auto* ASender, auto ASignal, auto AHandler) {
        connect(
            ASender, ASignal, this, [this, AHandler] { Guarded([this, AHandler] { (this->*AHandler)(); }); });
    };
    const auto OnAction = [&On](QAction* AAction, void (TfmMain::*AHandler)()) {
        On(AAction, &QAction::triggered, AHandler);
    };
    TMonitorListView* List = FForm->ServList;
    On(List, &TMonitorListView::SelectedRowChanged, &TfmMain::ServListChange);
    On(List, &QTreeWidget::itemDoubleClicked, &TfmMain::ServListDblClick);
    ServListPopupMenu = new QMenu(this);
    ServListPopupMenu->setObjectName(QStringLiteral("ServListPopupMenu"));
    ServListPopupMenu->addAction(FForm->acMonitorAcknowledge);
    ServListPopupMenu->addAction(FForm->acMonitorDelete);
    connect(List, &TMonitorListView::MenuRequested, this, [this](const QPoint& AGlobal) {
        UpdateAcknowledgeAction();
        ServListPopupMenu->popup(AGlobal);
    });
    connect(FForm->ServConfig, &TSettingsEditor::Typed, this,
        [this] { Guarded([this] { ServConfigStringsChange(true); }); });
    // A refused value leaves the box when the operator moves on: it shows what the monitor kept.
    connect(FForm->ServConfig, &TSettingsEditor::Finished, this, [this] {
        Guarded([this] {
            if (FForm->ServList->SelectedRow())
                ServListChange();
        });
    });

    OnAction(FForm->acMonitorExit, &TfmMain::acMonitorExitExecute);
    // Loading another list while running is not offered: the item is there, always disabled.
    OnAction(FForm->acConfigSave, &TfmMain::SaveConfig);
    connect(FForm->acConfigSaveAs, &QAction::triggered, this, [this] {
        Guarded([this] {
            FConfigFileName.clear();
            SaveConfig();
        });
    });
    const auto OnCreate = [this](QAction* AAction, std::string AName, auto AMake) {
        connect(AAction, &QAction::triggered, this,
            [this, AName, AMake] { Guarded([&] { AddMonitor(AName, AMake()); }); });
    };
    OnCreate(FForm->acCreatePing, "New PingMonitor", [] { return std::make_shared<TPingMonitor>(); });
    OnCreate(FForm->acCreateWeb, "New WebMonitor", [] { return std::make_shared<TWebMonitor>(); });
    OnCreate(FForm->acCreateTcp, "New TcpMonitor", [] { return std::make_shared<TTcpMonitor>(); });
    OnCreate(FForm->acCreateDns, "New DnsMonitor", [] { return std::make_shared<TDnsMonitor>(); });
    OnAction(FForm->acMonitorDelete, &TfmMain::acMonitorDeleteExecute);
    OnAction(FForm->acMonitorUndoDelete, &TfmMain::acMonitorUndoDeleteExecute);
    OnAction(FForm->acMonitorAcknowledge, &TfmMain::acMonitorAcknowledgeExecute);
    OnAction(FForm->acTrayShow, &TfmMain::ShowAndRestore);

    // Ticks from the moment the window exists; QTimer never stacks missed ticks.
    tmrCheck = new QTimer(this);
    tmrCheck->setObjectName(QStringLiteral("tmrCheck"));
    tmrCheck->setInterval(1000);
    connect(tmrCheck, &QTimer::timeout, this,
        [this] { Guarded([this] { UpdateAlarm(FSchedule->Tick(FMonitors)); }); });
    tmrCheck->start();
}

void TfmMain::CreateTray(std::unique_ptr<TTrayShell> ATrayShell)
{
    // Placed once, green and with its tooltip, before the window is first shown. The menu
    // is the way back, and the way out, on trays that offer no double-click.
    TrayIcon = new TTrayIcon(this, std::move(ATrayShell));
    TrayIcon->setObjectName(QStringLiteral("TrayIcon"));
    TrayPopupMenu = new QMenu(this);
    TrayPopupMenu->setObjectName(QStringLiteral("TrayPopupMenu"));
    TrayPopupMenu->addAction(FForm->acTrayShow);
    TrayPopupMenu->addAction(FForm->acMonitorExit);
    TrayIcon->SetPopupMenu(TrayPopupMenu);
    SetupMainWindowTray(*TrayIcon, [this](TTrayIcon*) { ShowAndRestore(); });

    ApplicationEvents = new TApplicationEvents(this);
    ApplicationEvents->setObjectName(QStringLiteral("ApplicationEvents"));
    ApplicationEvents->OnMinimize = [this] { ApplicationEventsMinimize(); };
}

// The window's shortcuts come before the focused control: a control that would take the key
// for itself is not asked, so the key runs the command and never reaches the control. Del,
// Ctrl+Z and Ctrl+K are the exceptions: in an edit box (a value, a name being renamed) they
// delete text, undo typing and cut to the line's end, and only where no text is being edited
// do they delete a monitor, bring it back and acknowledge its failure.
bool TfmMain::eventFilter(QObject* AWatched, QEvent* AEvent)
{
    if (AEvent->type() == QEvent::ShortcutOverride) {
        auto* Widget = qobject_cast<QWidget*>(AWatched);
        if (Widget && Widget->window() == this) {
            auto* Key = static_cast<QKeyEvent*>(AEvent);
            const QKeySequence Sequence(
                QKeyCombination(Key->modifiers() & ~Qt::KeypadModifier, Qt::Key(Key->key())));
            if (qobject_cast<QLineEdit*>(Widget)
                && (Sequence == FForm->acMonitorDelete->shortcut()
                    || Sequence == FForm->acMonitorUndoDelete->shortcut()
                    || Sequence == FForm->acMonitorAcknowledge->shortcut()))
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
    Guarded([this] { RefreshList(); });
}

void TfmMain::FormCreate()
{
    FMonitors.clear();
    FAlarm = false;
    FConfigFileName = DefaultConfigFileName;
    LoadConfig();
}

// The rows and the editor.

void TfmMain::RefreshList()
{
    FForm->ServList->Refresh(FMonitors);
}

void TfmMain::UpdateMonitorView(TServiceMonitor* AMonitor)
{
    if (!FHoldRows)
        FForm->ServList->UpdateMonitor(AMonitor);
}

TStringList TfmMain::EditorLines() const
{
    return FForm->ServConfig->Lines();
}

QLineEdit* TfmMain::EditorValueBox(int ARow) const
{
    return FForm->ServConfig->ValueBox(ARow);
}

void TfmMain::ServListChange()
{
    QTreeWidgetItem* Row = FForm->ServList->SelectedRow();
    if (!Row) {
        SelectHistory();
        return;
    }
    FForm->ServConfig->ShowMonitor(Row->text(0), FForm->ServList->MonitorOfRow(Row).get());
    UpdateAcknowledgeAction();
    // A rename is taken first, so that the chart goes on with the history it carried along.
    ServConfigStringsChange();
    SelectHistory();
}

void TfmMain::ServConfigStringsChange(bool ATyped)
{
    QTreeWidgetItem* Row = FForm->ServList->SelectedRow();
    const std::shared_ptr<TServiceMonitor> Monitor = Row ? FForm->ServList->MonitorOfRow(Row) : nullptr;
    if (!Monitor)
        return;
    // The name comes from the row's caption (renamed in place), never from the editor.
    const std::string Caption = Row->text(0).toStdString();
    for (TMonitorEntry& Entry : FMonitors)
        if (Entry.Monitor == Monitor && Entry.Name != Caption) {
            FHistory->Renamed(Monitor.get(), Entry.Name, Caption);
            Entry.Name = Caption;
        }
    const bool WasChecked = !Monitor->NotChecked();
    QString Refused;
    TStringList Lines = FForm->ServConfig->AcceptedLines(*Monitor, Refused);
    if (ATyped)
        ShowRefused(Refused);
    Monitor->SetSettings(std::move(Lines));
    FForm->ServList->UpdateNameTip(Row, *Monitor);
    // A monitor the timer no longer checks shows no verdict as if it were current.
    if (WasChecked && Monitor->NotChecked() && !IsChecking(Monitor.get()) && Monitor->Status() != msNone) {
        Monitor->SetAcknowledged(0);
        Monitor->SetStatus(msNone);
        FSchedule->Reassess(*Monitor);
        UpdateAlarm(FSchedule->Alarm());
    } else if (WasChecked != !Monitor->NotChecked()) {
        UpdateMonitorView(Monitor.get());
    }
}

void TfmMain::ShowRefused(const QString& ARefused)
{
    if (!ARefused.isEmpty()) {
        FRefusedMessage = ARefused;
        statusBar()->showMessage(FRefusedMessage);
    } else if (!FRefusedMessage.isEmpty() && statusBar()->currentMessage() == FRefusedMessage) {
        statusBar()->clearMessage();
    }
}

void TfmMain::SelectHistory()
{
    QTreeWidgetItem* Row = FForm->ServList->SelectedRow();
    const std::shared_ptr<TServiceMonitor> Monitor = Row ? FForm->ServList->MonitorOfRow(Row) : nullptr;
    FHistory->Select(Monitor.get(), Monitor ? Row->text(0).toStdString() : std::string());
}

// The list file.

void TfmMain::LoadConfig()
{
    FListExtras = {};
    try {
        if (!LoadMonitorList(FConfigFileName, FMonitors, &FListExtras)) {
            if (!QFileInfo::exists(ToQString(FConfigFileName)))
                ShowListHint(QFileInfo(ToQString(FConfigFileName)).absoluteFilePath());
            FConfigFileName.clear();
        }
    } catch (...) {
        // A list that was refused or not read to its end must not be replaced by what the
        // window holds at the next Ctrl+S: the save asks for a name instead.
        FConfigFileName.clear();
        SetHistoryList();
        throw;
    }
    SetHistoryList();
    std::vector<std::pair<TServiceMonitor*, std::string>> Restored;
    for (const TMonitorEntry& Entry : FMonitors)
        if (Entry.Monitor)
            Restored.emplace_back(Entry.Monitor.get(), Entry.Name);
    FHistory->Restore(Restored);
    ShowBadValues();
    if (FListExtras.Windows1251Count > 0) {
        // Said beside what else the load found, not over it.
        const QString Lines
            = tr("Строк файла %1, прочитанных как Windows-1251: %n", nullptr, FListExtras.Windows1251Count)
                  .arg(ToQString(FConfigFileName));
        const QString Shown = statusBar()->currentMessage();
        statusBar()->showMessage(Shown.isEmpty() ? Lines : Shown + QStringLiteral("; ") + Lines);
    }
    if (FListExtras.UnreadCount > 0)
        TApplication::ShowWarning(
            tr("В файле %1 не понято блоков: %n; они сохраняются и записываются вместе со списком", nullptr,
                FListExtras.UnreadCount)
                .arg(ToQString(FConfigFileName))
                .toStdString());
}

void TfmMain::ShowBadValues()
{
    QStringList Named;
    for (const TMonitorEntry& Entry : FMonitors)
        if (Entry.Monitor && !Entry.Monitor->BadValues().empty())
            Named << QStringLiteral("«%1»: %2")
                         .arg(ToQString(Entry.Name), BadValueTip(Entry.Monitor->BadValues().front()));
    if (Named.isEmpty())
        return;
    QString Text = tr("Не проверяются, пока значение не исправлено: %1").arg(Named.first());
    if (Named.size() > 1)
        Text += tr(" и ещё %1").arg(Named.size() - 1);
    statusBar()->showMessage(Text);
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
    if (!FListHint.isEmpty() && statusBar()->currentMessage() == FListHint)
        statusBar()->clearMessage();
}

bool TfmMain::ExecuteSaveDialog(std::string& AFileName)
{
    return SaveDialogHook ? SaveDialogHook(AFileName) : TSaveConfigDialog::Ask(this, AFileName);
}

void TfmMain::ShowListHint(const QString& APath)
{
    // A first start: the operator learns where the list lives and how it is filled. Whatever
    // the status bar already says (a history that could not start) stays.
    if (!statusBar()->currentMessage().isEmpty())
        return;
    FListHint = tr("Файла %1 нет, список пуст. Монитор добавляется через Сервисы › Создать; "
                   "Ctrl+S спросит имя файла, а при запуске читается %1.")
                    .arg(APath);
    statusBar()->showMessage(FListHint);
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

// The commands on the list.

void TfmMain::acMonitorExitExecute()
{
    // Closing a window that is hidden in the tray does not end Qt's event loop (only the
    // last visible window's closing does), and the tray menu offers this command exactly
    // then; so the program is ended here once the window has agreed to close.
    if (close())
        QCoreApplication::quit();
}

void TfmMain::AddMonitor(std::string AName, std::shared_ptr<TServiceMonitor> AMonitor)
{
    FMonitors.push_back({ std::move(AName), std::move(AMonitor) });
    RefreshList();
}

void TfmMain::acMonitorDeleteExecute()
{
    QTreeWidgetItem* Row = FForm->ServList->SelectedRow();
    if (!Row)
        return;
    const TServiceMonitor* Key = TMonitorListView::KeyOfRow(Row);
    const auto Entry = std::find_if(FMonitors.begin(), FMonitors.end(),
        [Key](const TMonitorEntry& AEntry) { return AEntry.Monitor.get() == Key; });
    // Held until the rows are rebuilt, so no row ever points at a freed monitor. A check of
    // it that runs is cancelled; it works on a copy, and its verdict will find no monitor.
    std::shared_ptr<TServiceMonitor> Deleted;
    if (Entry != FMonitors.end()) {
        Deleted = Entry->Monitor;
        FSchedule->Forget(Deleted.get());
        FHistory->Deleted(Deleted.get());
        // Kept, settings, status and all, for Ctrl+Z while the program runs.
        FDeleted.push_back({ size_t(Entry - FMonitors.begin()), *Entry });
        FMonitors.erase(Entry);
        FForm->acMonitorUndoDelete->setEnabled(true);
        UpdateAlarm(FSchedule->Alarm());
    }
    RefreshList();
    // The editor shows nothing of a monitor that has gone.
    FForm->ServConfig->SetLines({});
    UpdateAcknowledgeAction();
}

void TfmMain::acMonitorUndoDeleteExecute()
{
    if (FDeleted.empty())
        return;
    TDeleted Last = std::move(FDeleted.back());
    FDeleted.pop_back();
    FForm->acMonitorUndoDelete->setEnabled(!FDeleted.empty());
    const std::shared_ptr<TServiceMonitor> Monitor = Last.Entry.Monitor;
    // A check cut short by the delete left no verdict: the monitor is checked again at once.
    if (Monitor->Status() == msChecking) {
        Monitor->SetStatus(msNone);
        Monitor->ResetLastCheck();
    }
    const size_t Index = std::min(Last.Index, FMonitors.size());
    FMonitors.insert(FMonitors.begin() + ptrdiff_t(Index), Last.Entry);
    FHistory->Undeleted(Monitor.get(), Last.Entry.Name);
    RefreshList();
    FForm->ServList->setCurrentItem(FForm->ServList->topLevelItem(int(Index)));
    FSchedule->Reassess(*Monitor);
    UpdateAlarm(FSchedule->Alarm());
}

void TfmMain::acMonitorAcknowledgeExecute()
{
    const std::shared_ptr<TServiceMonitor> Monitor = FForm->ServList->SelectedMonitor();
    if (!Monitor)
        return;
    if (Monitor->Acknowledged() != 0) {
        Monitor->SetAcknowledged(0);
    } else if (FSchedule->Failing(*Monitor)) {
        Monitor->SetAcknowledged(FClock->WallNow());
        FHistory->Acknowledge(Monitor.get());
    }
    FSchedule->Reassess(*Monitor);
    UpdateMonitorView(Monitor.get());
    UpdateAcknowledgeAction();
    UpdateAlarm(FSchedule->Alarm());
}

void TfmMain::UpdateAcknowledgeAction()
{
    const std::shared_ptr<TServiceMonitor> Monitor = FForm->ServList->SelectedMonitor();
    const bool Acknowledged = Monitor && Monitor->Acknowledged() != 0;
    FForm->acMonitorAcknowledge->setEnabled(Monitor && (Acknowledged || FSchedule->Failing(*Monitor)));
    FForm->acMonitorAcknowledge->setChecked(Acknowledged);
}

void TfmMain::ServListDblClick()
{
    // A monitor whose check runs is left alone; with every worker busy the click is lost.
    if (QTreeWidgetItem* Row = FForm->ServList->SelectedRow())
        FSchedule->RunCheck(FForm->ServList->MonitorOfRow(Row));
}

// The checks: TCheckSchedule decides what is due and starts it on the engine; the verdicts
// come back through Post and are applied here, on the window's thread.

bool TfmMain::IsChecking(const TServiceMonitor* AMonitor) const
{
    return FSchedule->IsChecking(AMonitor);
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
        const QTreeWidgetItem* Row = FForm->ServList->RowOf(Monitor.get());
        const std::string Name = Row ? Row->text(0).toStdString() : std::string();
        FHistory->Finished(
            Monitor.get(), Name, Monitor->Status(), AVerdict.Reason, AVerdict.Start, AVerdict.DurationMs);
        UpdateMonitorView(Monitor.get());
        if (Row && Row->isSelected())
            UpdateAcknowledgeAction();
    } else if (const auto Restored = AVerdict.Shortage ? AVerdict.Monitor.lock() : nullptr) {
        UpdateMonitorView(Restored.get());
    }
    UpdateAlarm(FSchedule->Alarm());
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

// The tray.

void TfmMain::SetTrayAnimated(bool AAnimated)
{
    TrayIcon->SetAnimated(AAnimated);
    if (TrayAnimatedHook)
        TrayAnimatedHook(AAnimated);
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
