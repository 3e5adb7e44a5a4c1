#include "app/Main.h"

#include "app/Application.h"
#include "app/MainForm.h"
#include "app/MainTray.h"
#include "app/MonitorHistory.h"
#include "app/ShortcutFilter.h"
#include "notify/DBusNotifier.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QMenu>
#include <QScreen>
#include <QShowEvent>
#include <QTimer>

#include <algorithm>
#include <cmath>

TfmMain::TfmMain(QWidget* AParent, std::unique_ptr<TTrayShell> ATrayShell, TEngineOptions AEngine)
    : QMainWindow(AParent)
    , FForm(std::make_unique<TMainForm>())
    , FClock(AEngine.Clock ? std::move(AEngine.Clock) : std::make_shared<TSystemCheckClock>())
{
    FEngine = std::make_unique<TCheckEngine>(
        *this, *FClock, AEngine.Workers, AEngine.Probe ? std::move(AEngine.Probe) : RunMonitorProbe);
    FSchedule = std::make_unique<TCheckSchedule>(*FEngine, *FClock);
    FForm->Setup(this);
    ConnectParts();
    FTray = std::make_unique<TMainTray>(
        *this, std::move(ATrayShell), FForm->acTrayShow, FForm->acMonitorExit, [this] { ShowAndRestore(); });
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
    FHistory = new TMonitorHistory(FForm->HistoryChart, *FNotifier, std::move(History), this);
    FForm->ServList->ResponseMs = [this](const TServiceMonitor* AMonitor) {
        return FHistory ? FHistory->LastResponseMs(AMonitor) : -1;
    };
    // Said once, in the status bar: the checks go on whatever happens to the history.
    connect(FHistory, &TMonitorHistory::HistoryOff, this,
        [this](const QString& AReason) { statusBar()->showMessage(AReason); });
    if (!Problem.empty())
        statusBar()->showMessage(QString::fromStdString(Problem));
    FListFile = std::make_unique<TListFile>(*statusBar(), *FHistory, [this] { SelectHistory(); });
    SetMonitorObserver(this);
    FShortcuts = new TShortcutFilter(
        this, { FForm->acMonitorDelete, FForm->acMonitorUndoDelete, FForm->acMonitorAcknowledge });
    qApp->installEventFilter(FShortcuts);
    Guarded([this] { FormCreate(); });
}

TfmMain::~TfmMain()
{
    // Checks waiting on silent servers are woken and their threads joined here, so the
    // process ends at once and no thread outlives the window; their verdicts are dropped.
    FEngine->Shutdown();
    FForm->tmrCheck->stop();
    // What was recorded is written before the program ends.
    delete FHistory;
    FHistory = nullptr;
    // The list reports its rows going while the base class frees it, and an edit box that
    // has the focus finishes its edit as the window closes, when this object is no longer a
    // window to report to or to refill.
    FForm->ServList->blockSignals(true);
    FForm->ServConfig->blockSignals(true);
    qApp->removeEventFilter(FShortcuts);
    if (MonitorObserver() == this)
        SetMonitorObserver(nullptr);
    FMonitors.clear();
    // The icon leaves the notification area with the window, and no tray event can reach
    // this object once it is half destroyed.
    FTray.reset();
}

void TfmMain::ConnectParts()
{
    const auto On = [this](auto* ASender, auto ASignal, std::function<void()> AHandler) {
        connect(ASender, ASignal, this, [AHandler = std::move(AHandler)] { Guarded(AHandler); });
    };
    TMonitorListView* List = FForm->ServList;
    On(List, &TMonitorListView::SelectedRowChanged, [this] { ServListChange(); });
    On(List, &QTreeWidget::itemDoubleClicked, [this] { ServListDblClick(); });
    connect(List, &TMonitorListView::MenuRequested, this, [this](const QPoint& AGlobal) {
        UpdateAcknowledgeAction();
        FForm->ServListPopupMenu->popup(AGlobal);
    });
    On(FForm->ServConfig, &TSettingsEditor::Typed, [this] { ServConfigStringsChange(true); });
    // A refused value leaves the box when the operator moves on: it shows what the monitor kept.
    On(FForm->ServConfig, &TSettingsEditor::Finished, [this] {
        if (FForm->ServList->SelectedRow())
            ServListChange();
    });

    // Loading another list while running is not offered: acConfigLoad is there, always disabled.
    On(FForm->acConfigSave, &QAction::triggered, [this] { SaveConfig(); });
    On(FForm->acConfigSaveAs, &QAction::triggered, [this] {
        FListFile->Name.clear();
        SaveConfig();
    });
    On(FForm->acMonitorExit, &QAction::triggered, [this] { acMonitorExitExecute(); });
    On(FForm->acCreatePing, &QAction::triggered,
        [this] { AddMonitor("New PingMonitor", std::make_shared<TPingMonitor>()); });
    On(FForm->acCreateWeb, &QAction::triggered,
        [this] { AddMonitor("New WebMonitor", std::make_shared<TWebMonitor>()); });
    On(FForm->acCreateTcp, &QAction::triggered,
        [this] { AddMonitor("New TcpMonitor", std::make_shared<TTcpMonitor>()); });
    On(FForm->acCreateDns, &QAction::triggered,
        [this] { AddMonitor("New DnsMonitor", std::make_shared<TDnsMonitor>()); });
    On(FForm->acMonitorDelete, &QAction::triggered, [this] { acMonitorDeleteExecute(); });
    On(FForm->acMonitorUndoDelete, &QAction::triggered, [this] { acMonitorUndoDeleteExecute(); });
    On(FForm->acMonitorAcknowledge, &QAction::triggered, [this] { acMonitorAcknowledgeExecute(); });
    On(FForm->acTrayShow, &QAction::triggered, [this] { ShowAndRestore(); });
    // Ticks from the moment the window exists; QTimer never stacks missed ticks.
    On(FForm->tmrCheck, &QTimer::timeout, [this] { UpdateAlarm(FSchedule->Tick(FMonitors)); });
    FForm->tmrCheck->start();
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
    FListFile->Name = TListFile::DefaultName;
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
    FListFile->Load(FMonitors);
}

void TfmMain::SaveConfig()
{
    FListFile->Save(FMonitors, [this](std::string& AFileName) {
        return SaveDialogHook ? SaveDialogHook(AFileName) : TSaveConfigDialog::Ask(this, AFileName);
    });
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
    FTray->SetAnimated(AAnimated);
    if (TrayAnimatedHook)
        TrayAnimatedHook(AAnimated);
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
