// The monitoring core that the window and vardex-check share: the monitor list, the schedule
// that decides what is due, the check engine that runs the probes and the queue that brings
// their verdicts back. A front end drives it from its own loop (the window's timer and event
// loop, vardex-check's poll) and registers listeners for what it does with a verdict: the
// history and the notifications (TCheckRecording), the metrics, the rows of the window. So
// what happens after a verdict is written once, whatever shows it.
//
// Threads: everything here runs on the owner's thread, the one that made the object, except
// the engine's workers, which only ever see a snapshot of a monitor and post a verdict to the
// queue (see CheckEngine.h). Verdicts are applied, and listeners called, on the owner's thread
// only, in the order the listeners were added.
#pragma once

#include "engine/CheckEngine.h"
#include "engine/Schedule.h"
#include "engine/VerdictQueue.h"
#include "monitors/MonitorList.h"

#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

// What a front end hears of the checks. Every call comes on the owner's thread.
class TMonitoringListener {
public:
    virtual ~TMonitoringListener() = default;
    // A check of AMonitor, listed as AName, ended and AVerdict is applied: the monitor shows it.
    virtual void Finished(
        const TServiceMonitor& AMonitor, const std::string& AName, const TCheckVerdict& AVerdict)
    {
        (void)AMonitor, (void)AName, (void)AVerdict;
    }
    // A check of AMonitor began (it shows msChecking), or one that could not run for want of
    // descriptors, threads or memory left it as it was before (AStarted false).
    virtual void Changed(const TServiceMonitor& AMonitor, bool AStarted) { (void)AMonitor, (void)AStarted; }
    // The alarm began or ended: a listed monitor counts for it (see TCheckSchedule::Tick).
    virtual void AlarmChanged(bool AAlarm) { (void)AAlarm; }
    // Checks began to fail for want of descriptors, threads or memory, or due monitors have
    // waited long for a worker: AText says so, once while it lasts.
    virtual void Shortage(const std::string& AText) { (void)AText; }
};

class TMonitoring {
public:
    struct TOptions {
        // Worker threads, the most checks that run at once.
        size_t Workers = TCheckEngine::DefaultWorkers;
        // The clocks of the checks; the system's when empty.
        std::shared_ptr<const TCheckClock> Clock;
        // The probe; RunMonitorProbe when empty.
        TCheckProbe Probe;
    };

    explicit TMonitoring(TOptions AOptions);
    // Shutdown.
    ~TMonitoring();
    TMonitoring(const TMonitoring&) = delete;
    TMonitoring& operator=(const TMonitoring&) = delete;

    // The monitors. The owner may add, remove and reorder entries between calls; one that
    // removes a monitor calls Forget for it.
    TMonitorList& List() { return FList; }
    const TMonitorList& List() const { return FList; }
    // The name AMonitor is listed under; empty when it is not listed.
    std::string NameOf(const TServiceMonitor& AMonitor) const;
    // AMonitor's position in the list, or std::string::npos when it is not listed. Found by
    // address; the index is rebuilt when the owner changed the list.
    size_t IndexOf(const TServiceMonitor& AMonitor) const;

    // AListener hears of the checks from now on, after those added before it; it must
    // outlive this object or be removed first.
    void AddListener(TMonitoringListener& AListener);
    void RemoveListener(TMonitoringListener& AListener);

    // One tick of the schedule over the list: every monitor that is due starts.
    void Tick();
    // Starts AMonitor's check now (a double-click, a pass of vardex-check). False when it
    // runs already or the engine refuses the work (every worker busy, or none can start).
    bool RunCheck(const std::shared_ptr<TServiceMonitor>& AMonitor);
    // Applies the verdicts that have arrived, oldest first, each to its monitor, and tells
    // the listeners; at most for ASlice when given, so a window can let other events in
    // between. Then starts what a full engine left due. True while verdicts wait still.
    bool ApplyVerdicts(std::optional<std::chrono::milliseconds> ASlice = std::nullopt);
    // Readable while verdicts wait to be applied (the queue's eventfd).
    int VerdictFd() const { return FVerdicts.Fd(); }
    // Waits up to ATimeout (without limit when empty) for a verdict; true when one waits.
    bool WaitForVerdicts(std::optional<std::chrono::milliseconds> ATimeout) const;

    // AMonitor leaves the list: its check in flight is cancelled and its verdict dropped.
    void Forget(const TServiceMonitor& AMonitor);
    // AMonitor's part in the alarm changed on the owner's side (acknowledged, its status set
    // there): counted again now.
    void Reassess(const TServiceMonitor& AMonitor);
    // AMonitor is listed as ANewName from now on. Its old name when that changed (its history
    // goes along), otherwise nothing.
    std::optional<std::string> Rename(const TServiceMonitor& AMonitor, const std::string& ANewName);
    // AMonitor takes ALines as its settings. One that the timer no longer checks shows no
    // verdict as if it were current: its status (and an acknowledgement) is cleared unless
    // its check runs. True when what it shows changed: checked or not, or its status.
    bool ApplySettings(TServiceMonitor& AMonitor, TStringList ALines);

    bool Alarm() const { return FAlarm; }
    bool Failing(const TServiceMonitor& AMonitor) const { return FSchedule.Failing(AMonitor); }
    bool IsChecking(const TServiceMonitor& AMonitor) const { return FSchedule.IsChecking(&AMonitor); }
    size_t InFlight() const { return FSchedule.InFlight(); }
    // Checks put off for a shortage so far.
    uint64_t Shortages() const { return FSchedule.Shortages(); }
    const TCheckClock& Clock() const { return *FClock; }
    TCheckEngine& Engine() { return FEngine; }

    // Cancels every check and joins the workers; nothing is applied from then on.
    void Shutdown();

private:
    // Tells the listeners when the alarm changed.
    void UpdateAlarm();

    TMonitorList FList;
    std::shared_ptr<const TCheckClock> FClock;
    TVerdictQueue FVerdicts;
    TCheckEngine FEngine;
    TCheckSchedule FSchedule;
    std::vector<TMonitoringListener*> FListeners;
    // Verdicts drained from the queue and not yet applied (a slice ran out).
    std::vector<TCheckVerdict> FPending;
    size_t FNextPending = 0;
    bool FAlarm = false;
    mutable std::unordered_map<const TServiceMonitor*, size_t> FIndex;
};
