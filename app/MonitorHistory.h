// What the window does with each finished check besides showing its status: records it in
// the history and hands it to the desktop notifications (TCheckRecording, as vardex-check
// does), and keeps the chart of the selected monitor current. It listens to the window's
// monitoring core, on the window's thread; it never blocks: the recorder writes on its own
// thread, and the chart reads the file only when the selection changes (a new check is added
// to the chart from memory).
#pragma once

#include "app/HistoryChart.h"
#include "engine/CheckRecording.h"
#include "history/History.h"
#include "monitors/Monitors.h"
#include "notify/DBusNotifier.h"

#include <QObject>
#include <QString>

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

class TMonitorHistory : public QObject, public TMonitoringListener {
    Q_OBJECT

public:
    struct TOptions {
        THistorySettings Settings;
        // Unix milliseconds (what is recorded) and monotonic milliseconds (the notifications'
        // minute); the system's clocks when empty.
        std::function<int64_t()> WallMs;
        std::function<int64_t()> MonotonicMs;
        // How long the recorder gathers a batch; a second unless a test wants it sooner.
        int BatchDelayMs = 1000;
    };
    // The options of a history that keeps time by the checks' clocks AClock (which must
    // outlive it), so that its records, its retention and the notifications' minute agree
    // with the verdicts; ASettings, or the environment's.
    static TOptions OptionsFor(const TCheckClock& AClock, std::optional<THistorySettings> ASettings);

    // AChart shows the selected monitor (it may be null); ANotifier shows the notifications
    // and must outlive this object.
    TMonitorHistory(
        THistoryChart* AChart, TDesktopNotifier& ANotifier, TOptions AOptions, QObject* AParent = nullptr);
    // Writes what is recorded and ends the recorder's thread.
    ~TMonitorHistory() override;

    // The list the monitors belong to (its file name, as given); their history is kept under
    // its absolute path. The chart is emptied.
    void SetList(const std::string& AFileName);
    // TMonitoringListener: a check applied by the monitoring core.
    void Finished(
        const TServiceMonitor& AMonitor, const std::string& AName, const TCheckVerdict& AVerdict) override;
    // A check of AMonitor, listed as AName, ended with AStatus after ADurationMs; it started
    // at AStart (local time): recorded and notified (TCheckRecording), and drawn when AMonitor
    // is selected. Statuses other than OK and ERROR are not outcomes and are left out.
    void Finished(const TServiceMonitor* AMonitor, const std::string& AName, TMonitorStatus AStatus,
        const std::string& AReason, TDateTime AStart, int64_t ADurationMs);
    // The chart shows AName's history from now on; an empty name (or no monitor) empties it.
    void Select(const TServiceMonitor* AMonitor, const std::string& AName);
    // The monitor listed as AOldName is now ANewName: its history goes along.
    void Renamed(const TServiceMonitor* AMonitor, const std::string& AOldName, const std::string& ANewName);
    // AMonitor left the list, or came back (see TCheckRecording).
    void Deleted(const TServiceMonitor* AMonitor);
    void Undeleted(const TServiceMonitor* AMonitor, const std::string& AName)
    {
        FRecording.Undeleted(AMonitor, AName);
    }
    // Takes up where the history of the list left off (see TCheckRecording::Restore).
    void Restore(const std::vector<std::pair<TServiceMonitor*, std::string>>& AMonitors);
    void Acknowledge(const TServiceMonitor* AMonitor) { FRecording.Acknowledge(AMonitor); }

    // The time the last check of AMonitor took, -1 before its first.
    int64_t LastResponseMs(const TServiceMonitor* AMonitor) const
    {
        return FRecording.LastResponseMs(AMonitor);
    }

    // As the window last heard: the recorder tells of its end through a queued call.
    bool Recording() const { return FRecording.Recording() && FOffReason.isEmpty(); }
    // Why the history is off; empty while it is kept.
    const QString& OffReason() const { return FOffReason; }
    // Waits until what was recorded is written (tests, and the window's exit).
    bool Flush(int ATimeoutMs) { return FRecording.Flush(std::chrono::milliseconds(ATimeoutMs)); }

signals:
    // The history was switched off (or could not start), once, with the reason; on the
    // window's thread.
    void HistoryOff(const QString& AReason);
    // The history's file was removed or replaced and the history goes on in a new one; on the
    // window's thread.
    void HistoryNotice(const QString& AText);

private:
    // How long a recorded check is kept in memory as well: longer than a batch can take to
    // be written, even after waiting for another program's lock.
    static constexpr int64_t RecentMs = 30000;
    struct TRecent {
        const TServiceMonitor* Monitor;
        int64_t RecordedMs;
        THistoryPoint Point;
    };

    void TurnOff(const QString& AReason);
    void Reload();
    // Adds a check of the selected monitor to the chart and its uptimes.
    void Show(const THistoryPoint& APoint);

    THistoryChart* FChart;
    TDesktopNotifications FNotifications;
    TCheckRecording FRecording;
    const TServiceMonitor* FSelected = nullptr;
    std::string FSelectedName;
    QString FOffReason;
    std::deque<TRecent> FRecent;
    // Checks and failures of the selected monitor over 7 and 30 days, as loaded and counted
    // on since, so that a new check moves the uptime without a query.
    THistorySummary FWeek;
    THistorySummary FMonth;
};

// The status cell's tooltip: the time the last check took (when known), and for an error
// its reason, line ends as they are.
QString StatusTipText(TMonitorStatus AStatus, const std::string& AReason, int64_t ALastMs);
