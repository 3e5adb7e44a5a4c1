// The main window: the monitor list with its status, the settings editor of the selected
// monitor, the menu, the monitor-list file commands, the one-second check timer and the
// tray icon.
#pragma once

#include "monitors/MonitorList.h"
#include "monitors/Schedule.h"
#include "tray/TrayShell.h"

#include <QFileDialog>
#include <QIcon>
#include <QMainWindow>

#include <functional>
#include <memory>
#include <string>
#include <vector>

class QAction;
class TApplicationEvents;
class QLineEdit;
class QMenu;
class QSplitter;
class QTableWidget;
class QTimer;
class QTreeWidget;
class QTreeWidgetItem;
class QWidget;

// "<->", "OK", "ERROR", or empty for msNone.
const char* StatusText(TMonitorStatus AStatus);

// A date-time in the locale's short date and long time format; the time is left out at
// exactly midnight, and 0 (never) gives an empty text.
QString DateTimeText(TDateTime AValue);

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

class TfmMain : public QMainWindow, public TMonitorObserver {
    Q_OBJECT

public:
    // ATrayShell: the notification area the tray icon uses; Qt's by default.
    explicit TfmMain(QWidget* AParent = nullptr, std::unique_ptr<TTrayShell> ATrayShell = {});
    ~TfmMain() override;

    // TMonitorObserver: what a monitor's SetStatus calls.
    void UpdateMonitorView(TServiceMonitor* AMonitor) override;
    void ProcessMessages() override;

    void RefreshList();
    void UpdateListItem(QTreeWidgetItem* ARow);
    void LoadConfig();
    void SaveConfig();

    // Event handlers; the widgets call them through Guarded, tests may call them directly.
    void FormCreate();
    void FormShow();
    void FormDestroy();
    void ServListChange();
    void ServListDblClick();
    void ServConfigStringsChange();
    void tmrCheckTimer();
    void acConfigSaveExecute();
    void acConfigSaveAsExecute();
    void acMonitorExitExecute();
    void acCreatePingExecute();
    void acCreateWebExecute();
    void acMonitorDeleteExecute();
    void TrayIconDblClick();
    void acTrayShowExecute();
    void ApplicationEventsMinimize();

    // The alarm's effect on the tray icon: the red frames while it stands.
    void SetTrayAnimated(bool AAnimated);
    // Makes the window visible, brings it to the front and undoes a minimise.
    void ShowAndRestore();

    const TMonitorList& Monitors() const { return FMonitors; }
    TMonitorList& Monitors() { return FMonitors; }
    const std::string& ConfigFileName() const { return FConfigFileName; }
    // What the list file held besides the monitors, written back with them.
    const TMonitorListExtras& ListExtras() const { return FListExtras; }
    void SetConfigFileName(std::string AName) { FConfigFileName = std::move(AName); }
    bool Alarm() const { return FAlarm; }
    // True while AMonitor's check runs (a nested tick or double-click leaves it alone).
    bool IsChecking(const TServiceMonitor* AMonitor) const;
    // The editor's content as Key=Value lines.
    TStringList EditorLines() const;
    // The value edit box of an editor row.
    QLineEdit* EditorValueBox(int ARow) const;

    // Test hooks. The save dialog: returns false for a cancel, else the chosen name.
    std::function<bool(std::string& AFileName)> SaveDialogHook;
    // Called with every switch of the tray animation, after the tray icon.
    std::function<void(bool AAnimated)> TrayAnimatedHook;

    // The window's parts, named as the form declares them.
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
    QAction* acMonitorDelete = nullptr;
    TTrayIcon* TrayIcon = nullptr;
    // The tray icon's menu: "Показать" (acTrayShow) and "Выход" (acMonitorExit).
    QMenu* TrayPopupMenu = nullptr;
    QAction* acTrayShow = nullptr;
    TApplicationEvents* ApplicationEvents = nullptr;

protected:
    void showEvent(QShowEvent* AEvent) override;
    bool eventFilter(QObject* AWatched, QEvent* AEvent) override;

private:
    void CreateParts(std::unique_ptr<TTrayShell> ATrayShell);
    void CreateActions();
    QAction* NewAction(const QString& ACaption, const QKeySequence& AShortcut, void (TfmMain::*AHandler)());
    bool ExecuteSaveDialog(std::string& AFileName);
    void SetEditorLines(const TStringList& ALines);
    QTreeWidgetItem* SelectedRow() const;
    // The monitor a row stands for, looked up in FMonitors, so a stale row finds nothing.
    std::shared_ptr<TServiceMonitor> MonitorOfRow(const QTreeWidgetItem* ARow) const;

    bool FAlarm = false;
    TMonitorList FMonitors;
    std::string FConfigFileName;
    TMonitorListExtras FListExtras;
    // The check timer's pass over FMonitors and the checks it is running.
    TCheckSchedule FSchedule;
    bool FCentred = false;
    // Row images by status: the state image (none for msNone) left of the light bulb.
    QIcon FRowIcons[4];
};
