// The main window: the monitor list with its status, the settings editor of the selected
// monitor, the menu, the monitor-list file commands, the one-second check timer and the
// tray icon.
#pragma once

#include "engine/CheckEngine.h"
#include "engine/Schedule.h"
#include "history/History.h"
#include "monitors/MonitorList.h"
#include "notify/Notifications.h"
#include "tray/TrayShell.h"

#include <QFileDialog>
#include <QIcon>
#include <QMainWindow>

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

class QAction;
class TApplicationEvents;
class THistoryChart;
class TMonitorHistory;
class QLineEdit;
class QMenu;
class QSplitter;
class QTableWidget;
class QTimer;
class QTreeWidget;
class QTreeWidgetItem;
class QWidget;

// A date-time in the locale's short date and long time format; the time is left out at
// exactly midnight, and 0 (never) gives an empty text.
QString DateTimeText(TDateTime AValue);

// What a value that its key cannot take is, for the status bar and the tooltip.
QString BadValueTip(const TBadValue& AValue);
// Why the timer leaves AMonitor alone ("Не проверяется: Interval равен 0"); empty while it
// is checked.
QString NotCheckedText(const TServiceMonitor& AMonitor);

// AText with every run of control characters (line breaks, tabs, ...) replaced by one blank:
// what a name or a value may hold, since the list file gives every Key=Value its own line.
QString WithoutControls(const QString& AText);

// The save dialog: "Сохранение конфигурации...", the list filters, "cfg" added to a name
// without a suffix, a question before an existing file is replaced, and no name accepted
// in a folder that does not exist.
class TSaveConfigDialog : public QFileDialog {
    Q_OBJECT

public:
    explicit TSaveConfigDialog(QWidget* AParent = nullptr);
    void accept() override;

    // Test hook: called with the folder instead of the message that it does not exist.
    std::function<void(const QString& AFolder)> FolderMissingHook;
};

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
};

// The window owns the monitors; their checks run on the check engine's workers, and each
// verdict comes back to the window's thread as a queued call (Post), where it is applied,
// its row repainted and the alarm worked out. No check ever runs on the window's thread.
// As the monitors' observer it repaints the rows of every status change made here.
class TfmMain : public QMainWindow, public TVerdictSink, public TMonitorObserver {
    Q_OBJECT

public:
    // ATrayShell: the notification area the tray icon uses; Qt's by default.
    explicit TfmMain(
        QWidget* AParent = nullptr, std::unique_ptr<TTrayShell> ATrayShell = {}, TEngineOptions AEngine = {});
    // Cancels the checks in flight and joins the engine's workers before anything else goes.
    ~TfmMain() override;

    // TVerdictSink, on a worker thread: queues the verdict for the window's thread.
    void Post(TCheckVerdict AVerdict) override;
    // TMonitorObserver: refreshes the rows that show AMonitor (found in constant time).
    void UpdateMonitorView(TServiceMonitor* AMonitor) override;
    // Nothing: no check runs on this thread, so there is nothing to keep alive during one.
    void ProcessMessages() override { }

    void RefreshList();
    void LoadConfig();
    void SaveConfig();

    const TMonitorList& Monitors() const { return FMonitors; }
    TMonitorList& Monitors() { return FMonitors; }
    const std::string& ConfigFileName() const { return FConfigFileName; }
    // What the list file held besides the monitors, written back with them.
    const TMonitorListExtras& ListExtras() const { return FListExtras; }
    void SetConfigFileName(std::string AName) { FConfigFileName = std::move(AName); }
    bool Alarm() const { return FAlarm; }
    // True while AMonitor's check runs (a tick or a double-click leaves it alone).
    bool IsChecking(const TServiceMonitor* AMonitor) const;
    // Checks started and not yet applied.
    size_t ChecksInFlight() const { return FSchedule->InFlight(); }
    TCheckEngine& Engine() { return *FEngine; }
    // The editor's content as Key=Value lines.
    TStringList EditorLines() const;
    // The value edit box of an editor row.
    QLineEdit* EditorValueBox(int ARow) const;
    // The history of the checks, the chart of the selected monitor and the notifications.
    TMonitorHistory& History() { return *FHistory; }

    // Test hooks. The save dialog: returns false for a cancel, else the chosen name.
    std::function<bool(std::string& AFileName)> SaveDialogHook;
    // Called with every switch of the tray animation, after the tray icon.
    std::function<void(bool AAnimated)> TrayAnimatedHook;

protected:
    void showEvent(QShowEvent* AEvent) override;
    bool eventFilter(QObject* AWatched, QEvent* AEvent) override;

private:
    // How long the window applies verdicts before it lets other events in.
    static constexpr qint64 ApplySliceMs = 8;
    // On the window's thread: applies the verdicts that Post queued, oldest first, for at
    // most ApplySliceMs at a time.
    Q_INVOKABLE void ApplyPosted();
    // On the window's thread: applies a verdict whose monitor is still listed, repaints its
    // row and works out the alarm.
    void ApplyVerdict(const TCheckVerdict& AVerdict);
    void UpdateListItem(QTreeWidgetItem* ARow);
    // The chart follows the selected row's monitor.
    void SelectHistory();
    // Tells the history which list the monitors belong to, when that changed: the file the
    // list was loaded from or saved to.
    void SetHistoryList();
    // Says in the status bar, at a start without a list file, where the list is read from
    // (APath) and how monitors are added.
    void ShowListHint(const QString& APath);

    // Event handlers; the widgets call them through Guarded.
    void FormCreate();
    void FormShow();
    void FormDestroy();
    void ServListChange();
    void ServListDblClick();
    // ATyped: the operator changed a value (rather than the editor being refilled).
    void ServConfigStringsChange(bool ATyped = false);
    void tmrCheckTimer();
    void acConfigSaveExecute();
    void acConfigSaveAsExecute();
    void acMonitorExitExecute();
    void acCreatePingExecute();
    void acCreateWebExecute();
    void acCreateTcpExecute();
    void acCreateDnsExecute();
    void acMonitorDeleteExecute();
    void acMonitorUndoDeleteExecute();
    void acMonitorAcknowledgeExecute();
    void TrayIconDblClick();
    void acTrayShowExecute();
    void ApplicationEventsMinimize();

    // Publishes the alarm when it changed: the tray animation, and the window shown when it
    // begins.
    void UpdateAlarm(bool AAlarm);
    // The alarm's effect on the tray icon: the red frames while it stands.
    void SetTrayAnimated(bool AAnimated);
    // Makes the window visible, brings it to the front and undoes a minimise.
    void ShowAndRestore();

    // The window's parts, named as the form declares them; each carries its name as its
    // object name, by which tests find it (findChild).
    QAction* acMonitorExit = nullptr;
    QTreeWidget* ServList = nullptr;
    QSplitter* Splitter1 = nullptr;
    QWidget* Panel1 = nullptr;
    QTreeWidget* TreeView1 = nullptr;
    QSplitter* Splitter2 = nullptr;
    QTableWidget* ServConfig = nullptr;
    QTimer* tmrCheck = nullptr;
    QAction* acConfigLoad = nullptr;
    QAction* acConfigSave = nullptr;
    QAction* acConfigSaveAs = nullptr;
    QAction* acCreatePing = nullptr;
    QAction* acCreateWeb = nullptr;
    QAction* acCreateTcp = nullptr;
    QAction* acCreateDns = nullptr;
    QAction* acMonitorDelete = nullptr;
    // Brings back the monitor deleted last, in its place (Ctrl+Z).
    QAction* acMonitorUndoDelete = nullptr;
    // Acknowledges the selected monitor's failure, or takes that back (checked while it
    // stands).
    QAction* acMonitorAcknowledge = nullptr;
    // The list's context menu: acknowledge and delete.
    QMenu* ServListPopupMenu = nullptr;
    TTrayIcon* TrayIcon = nullptr;
    // The tray icon's menu: "Показать" (acTrayShow) and "Выход" (acMonitorExit).
    QMenu* TrayPopupMenu = nullptr;
    QAction* acTrayShow = nullptr;
    TApplicationEvents* ApplicationEvents = nullptr;
    // The list above the chart of the selected monitor's history.
    QSplitter* HistorySplitter = nullptr;
    THistoryChart* HistoryChart = nullptr;

    void CreateParts(std::unique_ptr<TTrayShell> ATrayShell);
    void CreateActions();
    QAction* NewAction(const QString& ACaption, const QKeySequence& AShortcut, void (TfmMain::*AHandler)());
    bool ExecuteSaveDialog(std::string& AFileName);
    void SetEditorLines(const TStringList& ALines);
    // The editor's lines that the selected monitor can take; a refused value is said in the
    // status bar (when ATyped) and left out, so the monitor keeps its old value.
    TStringList AcceptedEditorLines(const TServiceMonitor& AMonitor, bool ATyped);
    // The acknowledge action follows the selected monitor.
    void UpdateAcknowledgeAction();
    // Says in the status bar which loaded monitors have values their keys cannot take.
    void ShowBadValues();
    QTreeWidgetItem* SelectedRow() const;
    // The monitor a row stands for, as listed when the rows were built, so a row left from
    // a deleted monitor finds nothing.
    std::shared_ptr<TServiceMonitor> MonitorOfRow(const QTreeWidgetItem* ARow) const;

    bool FAlarm = false;
    TMonitorList FMonitors;
    std::string FConfigFileName;
    TMonitorListExtras FListExtras;
    // The checks: the clocks, the engine's workers and the schedule that feeds them.
    std::shared_ptr<const TCheckClock> FClock;
    std::unique_ptr<TCheckEngine> FEngine;
    std::unique_ptr<TCheckSchedule> FSchedule;
    // Verdicts posted by the workers and not yet applied; guarded by FPostedLock.
    std::mutex FPostedLock;
    std::vector<TCheckVerdict> FPosted;
    // Rows and monitors find each other through this index, rebuilt with the rows.
    struct TRowOf {
        QTreeWidgetItem* Row;
        std::weak_ptr<TServiceMonitor> Monitor;
    };
    std::unordered_multimap<const TServiceMonitor*, TRowOf> FRows;
    // While a verdict is applied, its rows wait to be repainted once, after the history.
    bool FHoldRows = false;
    // Made before the parts and the list, gone after the engine has stopped.
    std::shared_ptr<TDesktopNotifier> FNotifier;
    TMonitorHistory* FHistory = nullptr;
    std::string FHistoryList;
    bool FCentred = false;
    // The status bar's text of a start without a list file; it goes with the first save.
    QString FListHint;
    // The status bar's text of the last refused editor value, cleared once a value is taken.
    QString FRefusedMessage;
    // Row images by status: the state image (none for msNone) left of the light bulb; then
    // a monitor not checked, and an acknowledged failure.
    static constexpr int NotCheckedIcon = 4;
    static constexpr int AcknowledgedIcon = 5;
    QIcon FRowIcons[6];
    // Deleted monitors that Ctrl+Z brings back, the last one last: where each stood.
    struct TDeleted {
        size_t Index;
        TMonitorEntry Entry;
    };
    std::vector<TDeleted> FDeleted;
};
