// The main window: the monitor list with its status, the settings editor of the selected
// monitor, the menu, the monitor-list file commands, the one-second check timer and the
// tray icon. The layout comes from Main.ui; the views (the list, the editor, the save
// dialog) live in files of their own, and the window wires them to the checks.
#pragma once

#include "app/ListFile.h"
#include "app/SaveConfigDialog.h"
#include "app/WindowTexts.h"
#include "engine/Monitoring.h"
#include "history/History.h"
#include "monitors/MonitorList.h"
#include "notify/Notifications.h"
#include "tray/TrayShell.h"

#include <QMainWindow>
#include <QMessageBox>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class QLineEdit;
class QSettings;
class QTreeWidgetItem;
class QSocketNotifier;
class TAlarmSoundNotifier;
class TSoundPlayer;
class TDeletedMonitors;
class TMainForm;
class TMainTray;
class TMonitorHistory;
class TShortcutFilter;

// How the window runs its checks and where their outcomes go besides the list.
struct TEngineOptions {
    // Worker threads, the most checks that run at once.
    size_t Workers = TCheckEngine::DefaultWorkers;
    // The clocks of the checks; the system's when empty (tests hand in their own).
    std::shared_ptr<const TCheckClock> Clock;
    // The probe; RunMonitorProbe when empty (tests hand in a stand-in).
    TCheckProbe Probe;
    // The history: kept or not, where, how long; from the environment when not given.
    std::optional<THistorySettings> History;
    // Where changes of status are announced; the desktop's notification service when empty.
    std::shared_ptr<TDesktopNotifier> Notifier;
    // What sounds the alarm; the sound theme through libcanberra when empty.
    std::shared_ptr<TSoundPlayer> Sound;
    // Where the window keeps what it remembers across starts ("Звук при сбое"); the user's
    // settings of the application when empty.
    std::shared_ptr<QSettings> Settings;
};

// The window runs its monitors on a monitoring core: their checks run on the core's workers,
// and each verdict comes back to the window's thread, where the core applies it once the
// queue's descriptor wakes the event loop. The history and the window listen to the core:
// the check is recorded and notified, its row repainted and the alarm worked out. No check
// ever runs on the window's thread.
class TfmMain : public QMainWindow, private TMonitoringListener {
    Q_OBJECT

public:
    // ATrayShell: the notification area the tray icon uses; Qt's by default. AListFile: the
    // list loaded at start and saved by Ctrl+S.
    explicit TfmMain(QWidget* AParent = nullptr, std::unique_ptr<TTrayShell> ATrayShell = {},
        TEngineOptions AEngine = {}, std::string AListFile = TListFile::DefaultName);
    // Cancels the checks in flight and joins the engine's workers before anything else goes.
    ~TfmMain() override;

    // Refreshes the rows that show AMonitor (found in constant time).
    void UpdateMonitorView(const TServiceMonitor* AMonitor);

    void RefreshList();
    void LoadConfig();
    // False when nothing was saved (the dialog cancelled).
    bool SaveConfig();

    // Whether the list has changes not yet saved (the title's mark).
    bool Modified() const { return isWindowModified(); }
    // A stop that cannot ask (SIGTERM): unsaved changes go to the list's recovery file, which
    // the next start offers, and the window closes.
    void CloseWithoutAsking();

    const TMonitorList& Monitors() const { return FMonitoring->List(); }
    TMonitorList& Monitors() { return FMonitoring->List(); }
    const std::string& ConfigFileName() const { return FListFile->ConfigFileName(); }
    // What the list file held besides the monitors, written back with them.
    const TMonitorListExtras& ListExtras() const { return FListFile->ListExtras(); }
    void SetConfigFileName(std::string AName) { FListFile->SetConfigFileName(std::move(AName)); }
    bool Alarm() const { return FMonitoring->Alarm(); }
    // True while AMonitor's check runs (a tick or a double-click leaves it alone).
    bool IsChecking(const TServiceMonitor* AMonitor) const;
    // Checks started and not yet applied.
    size_t ChecksInFlight() const { return FMonitoring->InFlight(); }
    TCheckEngine& Engine() { return FMonitoring->Engine(); }
    // The editor's content as Key=Value lines.
    TStringList EditorLines() const;
    // The value edit box of an editor row.
    QLineEdit* EditorValueBox(int ARow) const;
    // The history of the checks, the chart of the selected monitor and the notifications.
    TMonitorHistory& History() { return *FHistory; }

    // Test hooks. The save dialog: returns false for a cancel, else the chosen name.
    std::function<bool(std::string& AFileName)> SaveDialogHook;
    // Test hook: opens a monitor's address instead of the desktop's browser.
    std::function<void(const QUrl& AUrl)> OpenUrlHook;
    // Called with every switch of the tray animation, after the tray icon.
    std::function<void(bool AAnimated)> TrayAnimatedHook;
    // The questions of the window (unsaved changes, a recovery file): the answer instead of a
    // message box.
    std::function<QMessageBox::StandardButton(const QString& AText)> QuestionHook;

protected:
    void showEvent(QShowEvent* AEvent) override;
    // Closing ends the program: with unsaved changes it asks first.
    void closeEvent(QCloseEvent* AEvent) override;

private:
    // The parts (Main.ui and the few a form cannot hold) and the tray icon.
    std::unique_ptr<TMainForm> FForm;
    std::unique_ptr<TMainTray> FTray;
    // What is down, said first in the title; empty while nothing is.
    QString FDownTitle;
    QString FTrayHint = QStringLiteral("Vardex");
    // A verdict changed what is down: said once the slice of verdicts is applied.
    bool FSummaryDue = false;
    TShortcutFilter* FShortcuts = nullptr;
    // Connects the views, the commands and the timer to their handlers.
    void ConnectParts();

    // Event handlers; the widgets call them through Guarded.
    void FormCreate();
    void FormShow();
    void FormDestroy();
    void ServListChange();
    void ServListDblClick();
    // Commits what was typed into the editor to the monitor it shows (FEditedMonitor).
    void ServConfigStringsChange();
    // Takes ARow's caption as AMonitor's name.
    void TakeRename(QTreeWidgetItem& ARow, const std::shared_ptr<TServiceMonitor>& AMonitor);
    void tmrCheckTimer();
    void acConfigSaveExecute();
    void acConfigSaveAsExecute();
    void acMonitorExitExecute();
    void acMonitorDeleteExecute();
    void acMonitorUndoDeleteExecute();
    void acMonitorAcknowledgeExecute();
    void TrayIconDblClick();
    void acTrayShowExecute();
    void ApplicationEventsMinimize();
    void AddMonitor(std::string AName, std::shared_ptr<TServiceMonitor> AMonitor);

    // The list as a document: the title names its file and marks unsaved changes.
    std::string FStartList;
    bool FClosingUnasked = false;
    bool FRecoveryOffered = false;
    void SetModified(bool AModified);
    void UpdateTitle();
    // The list file's full path, for the questions.
    QString ListFileText() const;
    QMessageBox::StandardButton Ask(
        const QString& AText, QMessageBox::StandardButtons AButtons, QMessageBox::StandardButton ADefault);
    // Asks, with unsaved changes, whether to save them, drop them or stay; true to go on.
    bool AgreeToLeave();
    // At the first show: a recovery file beside the list is offered back.
    void OfferRecovery();

    // The acknowledge action follows the selected monitor.
    void UpdateAcknowledgeAction();
    // The chart follows the selected row's monitor.
    void SelectHistory();

    // The list file.
    std::unique_ptr<TListFile> FListFile;
    // The monitor the editor shows, which its typed values go to when committed.
    std::weak_ptr<TServiceMonitor> FEditedMonitor;

    // The checks: the list, the schedule, the engine's workers and their verdicts, applied
    // when the queue's descriptor wakes the event loop.
    std::unique_ptr<TMonitoring> FMonitoring;
    QSocketNotifier* FVerdictsWaiting = nullptr;
    // How long the window applies verdicts before it lets other events in.
    static constexpr std::chrono::milliseconds ApplySlice { 8 };
    // On the window's thread: applies the verdicts that have arrived, for at most ApplySlice
    // at a time.
    Q_INVOKABLE void ApplyPosted();
    // TMonitoringListener: the row of a check that began or ended is repainted; the alarm is
    // published when it changed (the tray animation, and the window shown when it begins);
    // a shortage is said in the status bar.
    void Finished(
        const TServiceMonitor& AMonitor, const std::string& AName, const TCheckVerdict& AVerdict) override;
    void Changed(const TServiceMonitor& AMonitor, bool AStarted) override;
    void AlarmChanged(bool AAlarm) override;
    void Shortage(const std::string& AText) override;

    // The alarm's effect on the tray icon: the red frames while it stands.
    void SetTrayAnimated(bool AAnimated);
    // What is down, in the tray's tooltip and the window's title.
    void UpdateDownSummary();

    // Made before the list is loaded, gone after the engine has stopped.
    std::shared_ptr<TDesktopNotifier> FNotifier;
    // The notifications as heard, in front of FNotifier.
    TAlarmSoundNotifier* FAlarmSound = nullptr;
    std::shared_ptr<QSettings> FSettings;
    TMonitorHistory* FHistory = nullptr;
    bool FCentred = false;
    // Deleted monitors that Ctrl+Z brings back.
    std::unique_ptr<TDeletedMonitors> FDeleted;
};
