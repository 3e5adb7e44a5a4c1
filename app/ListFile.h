// The file the window's monitor list is loaded from and saved to.
#pragma once

#include "monitors/MonitorList.h"

#include <QString>

#include <functional>
#include <string>

class QStatusBar;
class QToolButton;
class TMonitorHistory;

// Its name, what it held besides the monitors, the list the history keeps the monitors
// under, and what the status bar says about loading and saving it.
class TListFile {
public:
    // The list read at start, from the working folder.
    static constexpr const char* DefaultName = "default.cfg";

    // AListChanged: called when the history was told of another list.
    TListFile(QStatusBar& AStatusBar, TMonitorHistory& AHistory, std::function<void()> AListChanged);

    // The file's name; empty while the list has none of its own, so that a save asks for it.
    const std::string& ConfigFileName() const { return FConfigFileName; }
    void SetConfigFileName(std::string AName) { FConfigFileName = std::move(AName); }
    // Where the list lives: the file it was started with, then the one it was last saved to.
    // A save that asks for a name offers this one.
    const std::string& ListPath() const { return FListPath; }
    // Sets both names, before the list is loaded.
    void SetListPath(std::string APath)
    {
        FListPath = APath;
        FConfigFileName = std::move(APath);
    }
    // What the file held besides the monitors, written back with them.
    const TMonitorListExtras& ListExtras() const { return FListExtras; }

    // Loads AMonitors from the file named FConfigFileName and says in the status bar what the load
    // found; throws as LoadMonitorList does.
    void Load(TMonitorList& AMonitors);
    // Saves AMonitors; without a name, asks for one through AAsk first (false: a cancel,
    // nothing saved), offering ListPath. True when saved; the status bar then names the file
    // and the number of monitors.
    bool Save(const TMonitorList& AMonitors, const std::function<bool(std::string& AFileName)>& AAsk);

    // The recovery file, beside the list: what a stop that could not ask (a signal) leaves
    // of a list with unsaved changes. Nothing else writes it; a save removes it.
    std::string RecoveryName() const { return FListPath + ".recovery"; }
    bool HasRecovery() const;
    void SaveRecovery(const TMonitorList& AMonitors) const;
    // Replaces AMonitors with the recovery file's list; throws as LoadMonitorList does.
    void LoadRecovery(TMonitorList& AMonitors);
    void RemoveRecovery() const;

private:
    std::string FConfigFileName = DefaultName;
    std::string FListPath = DefaultName;
    TMonitorListExtras FListExtras;
    QStatusBar& FStatusBar;
    TMonitorHistory& FHistory;
    std::function<void()> FListChanged;
    std::string FHistoryList;
    // The status bar's text of a start without a list file; it goes with the first save.
    QString FListHint;

    // Tells the history which list the monitors belong to, when that changed: the file the
    // list was loaded from or saved to.
    void SetHistoryList();
    // Says in the status bar, at a start without a list file, where the list is read from
    // (APath) and how monitors are added.
    void ShowListHint(const QString& APath);
    // The problems the reader found, behind a button in the status bar.
    QToolButton* FProblems = nullptr;
    void ShowProblems();
    // Says in the status bar which loaded monitors have values their keys cannot take, and
    // how many lines were read as Windows-1251.
    void ShowLoaded(const TMonitorList& AMonitors);
};
