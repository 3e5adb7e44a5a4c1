#include "app/Main.h"

#include "app/AlarmSound.h"
#include "app/Application.h"
#include "app/DeletedMonitors.h"
#include "app/ListFilterBar.h"
#include "app/MainForm.h"
#include "app/MainTray.h"
#include "app/MonitorHistory.h"
#include "app/RowTips.h"
#include "app/ShortcutFilter.h"
#include "app/WindowTexts.h"
#include "notify/DBusNotifier.h"

#include <QClipboard>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QGuiApplication>
#include <QLineEdit>
#include <QMenu>
#include <QScreen>
#include <QSessionManager>
#include <QSettings>
#include <QShowEvent>
#include <QSocketNotifier>
#include <QStatusBar>
#include <QTimer>

#include <algorithm>
#include <cmath>

TfmMain::TfmMain(
    QWidget* AParent, std::unique_ptr<TTrayShell> ATrayShell, TEngineOptions AEngine, std::string AListFile)
    : QMainWindow(AParent)
    , FForm(std::make_unique<TMainForm>())
    , FMonitoring(std::make_unique<TMonitoring>(
          TMonitoring::TOptions { AEngine.Workers, std::move(AEngine.Clock), std::move(AEngine.Probe) }))
{
    FStartList = std::move(AListFile);
    FForm->Setup(this);
    ConnectParts();
    FTray = std::make_unique<TMainTray>(*this, std::move(ATrayShell), FForm->acTrayShow, FForm->acMonitorExit,
        [this] { TrayIconDblClick(); });
    FTray->OnMinimize = [this] { ApplicationEventsMinimize(); };
    FNotifier = AEngine.Notifier ? std::move(AEngine.Notifier) : std::make_shared<TDBusNotifier>();
    TMonitorHistory::TOptions History
        = TMonitorHistory::OptionsFor(FMonitoring->Clock(), std::move(AEngine.History));
    const std::string Problem = History.Settings.Problem;
    FSettings = AEngine.Settings ? std::move(AEngine.Settings) : std::make_shared<QSettings>();
    FAlarmSound = new TAlarmSoundNotifier(
        *FNotifier, AEngine.Sound ? std::move(AEngine.Sound) : std::make_shared<TCanberraPlayer>(),
        [this] { return FMonitoring->Clock().MonotonicMs(); }, this);
    FForm->acSound->setChecked(FSettings->value(QStringLiteral("SoundOnFailure"), false).toBool());
    FAlarmSound->SetEnabled(FForm->acSound->isChecked());
    FHistory = new TMonitorHistory(FForm->HistoryChart, *FAlarmSound, std::move(History), this);
    FForm->ServList->ResponseMs = [this](const TServiceMonitor* AMonitor) {
        return FHistory ? FHistory->LastResponseMs(AMonitor) : -1;
    };
    // Said once, in the status bar: the checks go on whatever happens to the history.
    connect(FHistory, &TMonitorHistory::HistoryOff, this,
        [this](const QString& AReason) { statusBar()->showMessage(AReason); });
    connect(FHistory, &TMonitorHistory::HistoryNotice, this,
        [this](const QString& AText) { statusBar()->showMessage(AText); });
    if (!Problem.empty())
        statusBar()->showMessage(QString::fromStdString(Problem));
    FListFile = std::make_unique<TListFile>(*statusBar(), *FHistory, [this] { SelectHistory(); });
    FDeleted = std::make_unique<TDeletedMonitors>(*FMonitoring, *FHistory);
    // The history hears of a check before the rows, which show the time it took.
    FMonitoring->AddListener(*FHistory);
    FMonitoring->AddListener(*this);
    FVerdictsWaiting = new QSocketNotifier(FMonitoring->VerdictFd(), QSocketNotifier::Read, this);
    connect(FVerdictsWaiting, &QSocketNotifier::activated, this, &TfmMain::ApplyPosted);
    FShortcuts = new TShortcutFilter(
        this, { FForm->acMonitorDelete, FForm->acMonitorUndoDelete, FForm->acMonitorAcknowledge });
    qApp->installEventFilter(FShortcuts);
    // A logout asks as Exit does; a list that cannot be asked about keeps its changes in the
    // recovery file.
    connect(qApp, &QGuiApplication::commitDataRequest, this, [this](QSessionManager& AManager) {
        if (!Modified())
            return;
        if (AManager.allowsInteraction()) {
            if (!AgreeToLeave())
                AManager.cancel();
            AManager.release();
        } else {
            Guarded([this] { FListFile->SaveRecovery(Monitors()); });
        }
    });
    Guarded([this] { FormCreate(); });
    UpdateTitle();
}

TfmMain::~TfmMain()
{
    // Checks waiting on silent servers are woken and their threads joined here, so the
    // process ends at once and no thread outlives the window; their verdicts are dropped.
    FMonitoring->Shutdown();
    FForm->tmrCheck->stop();
    delete FVerdictsWaiting;
    FVerdictsWaiting = nullptr;
    FMonitoring->RemoveListener(*this);
    FMonitoring->RemoveListener(*FHistory);
    // What was recorded is written before the program ends.
    delete FHistory;
    FHistory = nullptr;
    // The list reports its rows going while the base class frees it, and an edit box that
    // has the focus finishes its edit as the window closes, when this object is no longer a
    // window to report to or to refill.
    FForm->ServList->blockSignals(true);
    FForm->ServConfig->blockSignals(true);
    qApp->removeEventFilter(FShortcuts);
    FormDestroy();
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
        const std::shared_ptr<TServiceMonitor> Monitor = FForm->ServList->SelectedMonitor();
        FForm->acOpenInBrowser->setVisible(Monitor && !BrowserUrl(*Monitor).isEmpty());
        FForm->ServListPopupMenu->popup(AGlobal);
    });
    // Typed values reach the monitor when committed: Enter, or the box left after typing;
    // selecting another row, a save, a double-click check and Exit commit them too.
    On(FForm->ServConfig, &TSettingsEditor::Committed, [this] { ServConfigStringsChange(); });

    // Loading another list while running is not offered: acConfigLoad is there, always disabled.
    On(FForm->acConfigSave, &QAction::triggered, [this] { acConfigSaveExecute(); });
    On(FForm->acConfigSaveAs, &QAction::triggered, [this] { acConfigSaveAsExecute(); });
    On(FForm->acMonitorExit, &QAction::triggered, [this] { acMonitorExitExecute(); });
    // Services > Create offers every kind, in the kinds' order: acCreatePing makes a
    // "New PingMonitor".
    for (const TMonitorKind* Kind : MonitorKinds()) {
        QAction* Create = FForm->CreateMenu->addAction(QString::fromUtf8(Kind->MenuText));
        const std::string TypeKey(Kind->TypeKey);
        Create->setObjectName(
            QStringLiteral("acCreate") + QString::fromStdString(TypeKey.substr(0, TypeKey.rfind("Monitor"))));
        On(Create, &QAction::triggered,
            [this, Kind, TypeKey] { AddMonitor("New " + TypeKey, Kind->Create()); });
    }
    On(FForm->acMonitorDelete, &QAction::triggered, [this] { acMonitorDeleteExecute(); });
    On(FForm->acMonitorUndoDelete, &QAction::triggered, [this] { acMonitorUndoDeleteExecute(); });
    On(FForm->acMonitorAcknowledge, &QAction::triggered, [this] { acMonitorAcknowledgeExecute(); });
    On(FForm->acTrayShow, &QAction::triggered, [this] { acTrayShowExecute(); });
    On(FForm->acOpenInBrowser, &QAction::triggered, [this] {
        if (const std::shared_ptr<TServiceMonitor> Monitor = FForm->ServList->SelectedMonitor())
            if (const QUrl Url = BrowserUrl(*Monitor); !Url.isEmpty())
                OpenUrlHook ? OpenUrlHook(Url) : void(QDesktopServices::openUrl(Url));
    });
    // The target as the tooltips show it: a password stays out of the clipboard.
    On(FForm->acCopyTarget, &QAction::triggered, [this] {
        if (const std::shared_ptr<TServiceMonitor> Monitor = FForm->ServList->SelectedMonitor())
            QGuiApplication::clipboard()->setText(QString::fromStdString(Monitor->Target(tfMasked)));
    });
    On(FForm->acFilter, &QAction::triggered, [this] { FForm->ListFilter->Open(); });
    // Remembered at once: an exit by a signal keeps it too.
    On(FForm->acSound, &QAction::toggled, [this] {
        FAlarmSound->SetEnabled(FForm->acSound->isChecked());
        FSettings->setValue(QStringLiteral("SoundOnFailure"), FForm->acSound->isChecked());
        FSettings->sync();
    });
    connect(FForm->ListFilter, &TListFilterBar::FilterChanged, List, &TMonitorListView::SetFilter);
    connect(List, &TMonitorListView::ShownChanged, FForm->ListFilter, &TListFilterBar::SetCount);
    FForm->ServList->Failing
        = [this](const TServiceMonitor& AMonitor) { return FMonitoring->Failing(AMonitor); };
    // Ticks from the moment the window exists; QTimer never stacks missed ticks.
    On(FForm->tmrCheck, &QTimer::timeout, [this] { tmrCheckTimer(); });
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
    Guarded([this] { FormShow(); });
    if (!FRecoveryOffered) {
        FRecoveryOffered = true;
        Guarded([this] { OfferRecovery(); });
    }
}

void TfmMain::FormCreate()
{
    Monitors().clear();
    FListFile->SetListPath(FStartList);
    LoadConfig();
}

void TfmMain::FormShow()
{
    RefreshList();
}

void TfmMain::FormDestroy()
{
    Monitors().clear();
}

// The rows and the editor.

void TfmMain::RefreshList()
{
    FForm->ServList->RefreshList(Monitors());
}

void TfmMain::UpdateMonitorView(const TServiceMonitor* AMonitor)
{
    FForm->ServList->UpdateMonitorView(AMonitor);
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
    // What was typed for the monitor shown so far goes to that monitor, not to the next.
    ServConfigStringsChange();
    QTreeWidgetItem* Row = FForm->ServList->SelectedRow();
    const std::shared_ptr<TServiceMonitor> Monitor = Row ? FForm->ServList->MonitorOfRow(Row) : nullptr;
    FEditedMonitor = Monitor;
    UpdateAcknowledgeAction();
    if (!Monitor) {
        // Nothing is shown that typing could not reach.
        FForm->ServConfig->Clear();
        SelectHistory();
        return;
    }
    // A rename is taken first, so that the chart goes on with the history it carried along.
    TakeRename(*Row, Monitor);
    FForm->ServConfig->ShowMonitor(Row->text(0), Monitor.get());
    SelectHistory();
}

void TfmMain::TakeRename(QTreeWidgetItem& ARow, const std::shared_ptr<TServiceMonitor>& AMonitor)
{
    // The name comes from the row's caption (renamed in place), never from the editor.
    const std::string Caption = ARow.text(0).toStdString();
    if (const std::optional<std::string> OldName = FMonitoring->Rename(*AMonitor, Caption)) {
        FHistory->Renamed(AMonitor.get(), *OldName, Caption);
        SetModified(true);
    }
    FForm->ServList->UpdateNameTip(&ARow, *AMonitor);
}

void TfmMain::ServConfigStringsChange()
{
    TSettingsEditor& Editor = *FForm->ServConfig;
    if (!Editor.Modified())
        return;
    Editor.SetModified(false);
    const std::shared_ptr<TServiceMonitor> Monitor = FEditedMonitor.lock();
    // A monitor deleted meanwhile takes nothing.
    if (!Monitor || !FForm->ServList->RowOf(Monitor.get()))
        return;
    QString Refused;
    TStringList Lines = Editor.AcceptedLines(*Monitor, Refused);
    Editor.ShowRefused(*statusBar(), Refused);
    const TStringList Before = Monitor->GetSettings();
    const bool Changed = FMonitoring->ApplySettings(*Monitor, std::move(Lines));
    if (Monitor->GetSettings() != Before)
        SetModified(true);
    QTreeWidgetItem* Row = FForm->ServList->SelectedRow();
    const bool Shown = Row && FForm->ServList->MonitorOfRow(Row) == Monitor;
    // A refused value goes back to what it was before the edit.
    if (!Refused.isEmpty() && Shown)
        Editor.ShowMonitor(Row->text(0), Monitor.get());
    if (QTreeWidgetItem* Listed = FForm->ServList->RowOf(Monitor.get()))
        FForm->ServList->UpdateNameTip(Listed, *Monitor);
    if (Changed)
        UpdateMonitorView(Monitor.get());
}

void TfmMain::SelectHistory()
{
    QTreeWidgetItem* Row = FForm->ServList->SelectedRow();
    const std::shared_ptr<TServiceMonitor> Monitor = Row ? FForm->ServList->MonitorOfRow(Row) : nullptr;
    FHistory->Select(Monitor.get(), Monitor ? Row->text(0).toStdString() : std::string());
}

// The commands.

void TfmMain::acConfigSaveExecute()
{
    ServConfigStringsChange();
    SaveConfig();
}

void TfmMain::acConfigSaveAsExecute()
{
    ServConfigStringsChange();
    FListFile->SetConfigFileName({});
    SaveConfig();
}

void TfmMain::acMonitorExitExecute()
{
    ServConfigStringsChange();
    // Closing a window that is hidden in the tray does not end Qt's event loop (only the
    // last visible window's closing does), and the tray menu offers this command exactly
    // then; so the program is ended here once the window has agreed to close.
    if (close())
        QCoreApplication::quit();
}

void TfmMain::AddMonitor(std::string AName, std::shared_ptr<TServiceMonitor> AMonitor)
{
    ServConfigStringsChange();
    Monitors().push_back({ std::move(AName), std::move(AMonitor) });
    SetModified(true);
    RefreshList();
    // The new row is selected, and the cursor waits in the value its kind cannot guess.
    FForm->ServList->setCurrentItem(FForm->ServList->topLevelItem(int(Monitors().size()) - 1));
    if (QLineEdit* Box = FForm->ServConfig->FirstValueBoxOf({ QStringLiteral("IP"), QStringLiteral("URL"),
            QStringLiteral("Host"), QStringLiteral("Query") })) {
        Box->setFocus();
        Box->selectAll();
    }
}

void TfmMain::acMonitorDeleteExecute()
{
    QTreeWidgetItem* Row = FForm->ServList->SelectedRow();
    if (!Row)
        return;
    // The rows are rebuilt at once, so no row ever points at a monitor that is not listed.
    if (FDeleted->Delete(TMonitorListView::KeyOfRow(Row))) {
        FForm->acMonitorUndoDelete->setEnabled(true);
        SetModified(true);
    }
    FEditedMonitor.reset();
    RefreshList();
    // The editor shows nothing of a monitor that has gone.
    FForm->ServConfig->Clear();
    UpdateAcknowledgeAction();
}

void TfmMain::acMonitorUndoDeleteExecute()
{
    const std::optional<size_t> Index = FDeleted->Undo();
    FForm->acMonitorUndoDelete->setEnabled(!FDeleted->Empty());
    if (!Index)
        return;
    SetModified(true);
    RefreshList();
    FForm->ServList->setCurrentItem(FForm->ServList->RowOf(Monitors()[*Index].Monitor.get()));
}

// The tray.

void TfmMain::SetTrayAnimated(bool AAnimated)
{
    FTray->SetAnimated(AAnimated);
    if (TrayAnimatedHook)
        TrayAnimatedHook(AAnimated);
}

void TfmMain::UpdateDownSummary()
{
    FSummaryDue = false;
    std::vector<TDownMonitor> Down;
    int Checked = 0;
    for (const TMonitorEntry& Entry : FMonitoring->List()) {
        if (!Entry.Monitor || Entry.Monitor->NotChecked())
            continue;
        ++Checked;
        if (FMonitoring->Failing(*Entry.Monitor))
            Down.push_back({ QString::fromStdString(Entry.Name), Entry.Monitor->Acknowledged() != 0 });
    }
    // The tray's tooltip holds 63 characters, "Vardex: " among them.
    const QString Tip = DownSummaryText(Down, Checked, 63 - 8);
    const QString Hint = Tip.isEmpty() ? QStringLiteral("Vardex") : QStringLiteral("Vardex: ") + Tip;
    // Each change reaches the tray host; an unchanged one is not sent again every second.
    if (Hint != FTrayHint) {
        FTrayHint = Hint;
        FTray->SetHint(Hint);
    }
    if (const QString Title = DownSummaryText(Down, Checked, 120); Title != FDownTitle) {
        FDownTitle = Title;
        UpdateTitle();
    }
}

void TfmMain::TrayIconDblClick()
{
    FTray->ShowWindow();
}

void TfmMain::acTrayShowExecute()
{
    FTray->ShowWindow();
}

void TfmMain::ApplicationEventsMinimize()
{
    FTray->HideWindow();
}

// The checks: the timer and the double-click start them on the monitoring core, which
// decides what is due and runs it on its engine; the verdicts are applied here, on the
// window's thread, and the core tells the window and the history.

bool TfmMain::IsChecking(const TServiceMonitor* AMonitor) const
{
    return AMonitor && FMonitoring->IsChecking(*AMonitor);
}

void TfmMain::tmrCheckTimer()
{
    FMonitoring->Tick();
    UpdateDownSummary();
}

void TfmMain::ServListDblClick()
{
    // A monitor whose check runs is left alone; with every worker busy the click is lost.
    ServConfigStringsChange();
    if (QTreeWidgetItem* Row = FForm->ServList->SelectedRow())
        FMonitoring->RunCheck(FForm->ServList->MonitorOfRow(Row));
}

// A failure the operator acknowledged no longer counts for the alarm.

void TfmMain::acMonitorAcknowledgeExecute()
{
    const std::shared_ptr<TServiceMonitor> Monitor = FForm->ServList->SelectedMonitor();
    if (!Monitor)
        return;
    if (Monitor->Acknowledged() != 0) {
        Monitor->SetAcknowledged(0);
    } else if (FMonitoring->Failing(*Monitor)) {
        Monitor->SetAcknowledged(FMonitoring->Clock().WallNow());
        FHistory->Acknowledge(Monitor.get());
    }
    UpdateMonitorView(Monitor.get());
    UpdateAcknowledgeAction();
    FMonitoring->Reassess(*Monitor);
    UpdateDownSummary();
}

void TfmMain::UpdateAcknowledgeAction()
{
    const std::shared_ptr<TServiceMonitor> Monitor = FForm->ServList->SelectedMonitor();
    const bool Acknowledged = Monitor && Monitor->Acknowledged() != 0;
    FForm->acMonitorAcknowledge->setEnabled(Monitor && (Acknowledged || FMonitoring->Failing(*Monitor)));
    FForm->acMonitorAcknowledge->setChecked(Acknowledged);
}

void TfmMain::ApplyPosted()
{
    // Monitors started together end together, hundreds at a time: a slice of them at a time,
    // and the rest after the events that came meanwhile (paints, timers, input).
    Guarded([this] { FMonitoring->ApplyVerdicts(ApplySlice); });
    // Once for the slice, not for each verdict in it.
    if (FSummaryDue) {
        UpdateDownSummary();
        FForm->ServList->Resort();
    }
    if (FMonitoring->WaitForVerdicts(std::chrono::milliseconds(0)))
        QMetaObject::invokeMethod(this, "ApplyPosted", Qt::QueuedConnection);
}

void TfmMain::Finished(const TServiceMonitor& AMonitor, const std::string&, const TCheckVerdict&)
{
    // The history heard of the check first, so the row shows the time it took.
    UpdateMonitorView(&AMonitor);
    if (const QTreeWidgetItem* Row = FForm->ServList->RowOf(&AMonitor); Row && Row->isSelected())
        UpdateAcknowledgeAction();
    FSummaryDue = true;
}

void TfmMain::Changed(const TServiceMonitor& AMonitor, bool)
{
    UpdateMonitorView(&AMonitor);
}

void TfmMain::AlarmChanged(bool AAlarm)
{
    SetTrayAnimated(AAlarm);
    if (AAlarm)
        FTray->ShowWindow();
}

void TfmMain::Shortage(const std::string& AText)
{
    statusBar()->showMessage(QString::fromStdString(AText));
}
