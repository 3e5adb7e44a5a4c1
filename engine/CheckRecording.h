// What becomes of each finished check besides its status: a row in the check history and a
// verdict for the desktop notifications. The window and vardex-check --history both register
// one with their monitoring core, so a check is recorded and notified in this one place.
//
// It runs on the owner's thread and never blocks it: the recorder writes on a thread of its
// own. The notifications are optional (vardex-check has none).
#pragma once

#include "engine/Monitoring.h"
#include "history/History.h"
#include "notify/Notifications.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

class TCheckRecording final : public TMonitoringListener {
public:
    struct TOptions {
        THistorySettings Settings;
        // Unix milliseconds, for the records and the retention; the system's clock when empty.
        std::function<int64_t()> WallMs;
        // How long the recorder gathers a batch.
        std::chrono::milliseconds BatchDelay { 1000 };
        // Called once, on the recorder's thread, when the history switches itself off.
        std::function<void(const std::string& AReason)> OnDisabled;
        // Called on the recorder's thread when the history goes on in a new file (its file was
        // removed or replaced), with what happened.
        std::function<void(const std::string& ANotice)> OnNotice;
    };

    // ANotifications, when given, must outlive this object.
    explicit TCheckRecording(TOptions AOptions, TNotificationFeed* ANotifications = nullptr);
    // Writes what is recorded and ends the recorder's thread.
    ~TCheckRecording() override;
    TCheckRecording(const TCheckRecording&) = delete;
    TCheckRecording& operator=(const TCheckRecording&) = delete;

    // The list the monitors belong to (its file name, as given); their history is kept under
    // its absolute path.
    void SetList(const std::string& AFileName);
    const std::string& ListKey() const { return FListKey; }

    // TMonitoringListener: records the check and hands it to the notifications.
    void Finished(
        const TServiceMonitor& AMonitor, const std::string& AName, const TCheckVerdict& AVerdict) override;
    // A check of AMonitor, listed as AName, ended with AStatus after ADurationMs; it started
    // at AStart (local time). Returns the check as the history keeps it; statuses other than
    // OK and ERROR are not outcomes and give nothing.
    std::optional<THistoryPoint> Record(const TServiceMonitor* AMonitor, const std::string& AName,
        TMonitorStatus AStatus, const std::string& AReason, TDateTime AStart, int64_t ADurationMs);

    // The monitor listed as AOldName is now ANewName: its history goes along.
    void Renamed(const std::string& AOldName, const std::string& ANewName);
    // AMonitor left the list: its notifications held back are dropped; its history stays
    // until the retention takes it.
    void Deleted(const TServiceMonitor* AMonitor);
    // AMonitor, listed as AName, came back after a delete: the notifications go on from its
    // status as it stands.
    void Undeleted(const TServiceMonitor* AMonitor, const std::string& AName);
    // Takes up where the history of the list left off: each monitor that never succeeded in
    // this run gets its last success as its last activity, and the notifications start from
    // its last recorded status (a failure that outlived a restart is not announced again).
    // Returns where each of AMonitors stood, in their order: nothing for one without history
    // (or with the history off), so a front end can carry its own figures on (the metrics'
    // last success, the status page's outage start).
    std::vector<std::optional<THistoryLatest>> Restore(
        const std::vector<std::pair<TServiceMonitor*, std::string>>& AMonitors);
    // The operator acknowledged AMonitor's failure: no more notifications of it until it is
    // back.
    void Acknowledge(const TServiceMonitor* AMonitor);

    // The time the last check of AMonitor took, -1 before its first.
    int64_t LastResponseMs(const TServiceMonitor* AMonitor) const;
    // The history is kept: turned on, started, and not switched off since.
    bool Recording() const { return FRecorder && FRecorder->Enabled(); }
    // The history file's reader; null while the history is turned off.
    THistoryReader* Reader() const { return FReader.get(); }
    // Waits until what was recorded is written.
    bool Flush(std::chrono::milliseconds ATimeout);
    int64_t WallMs() const { return FOptions.WallMs(); }

private:
    TOptions FOptions;
    TNotificationFeed* FNotifications;
    std::unique_ptr<THistoryRecorder> FRecorder;
    std::unique_ptr<THistoryReader> FReader;
    std::string FListKey;
    std::unordered_map<const TServiceMonitor*, int64_t> FLastMs;
};
