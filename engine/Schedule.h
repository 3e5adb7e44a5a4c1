// The check timer's rules without a display, on the thread that owns the monitors: the due
// rule, one tick over a monitor list, the manual check, and verdicts applied to the monitors
// they belong to. The window runs it from its one-second timer and vardex-check from its own
// loop, so both check the same monitors at the same moments; the probes run on the engine.
//
// Everything here runs on the owner's thread only; the engine's workers never see this
// object. What keeps it sound:
// - A monitor is in flight from its submission until its verdict is applied or it is
//   forgotten. A tick or a manual check leaves a monitor in flight alone (its status,
//   msChecking, still counts for the alarm), so no monitor is ever checked twice at once.
// - Each submission has an id of its own. A verdict is applied only when its id is the one
//   in flight for that monitor and the monitor still exists, so a verdict that arrives after
//   its monitor was deleted (or after a later check began) changes nothing.
// - Monitors are found by address in hash tables, never by a search of the list: a tick costs
//   one pass over the list, a verdict a constant amount of work.
// - A check that could not run for want of descriptors, threads or memory (a worker that could
//   not start, a probe that got no socket) is no verdict on its service: the monitor is put
//   back as it was before the check (status, reason, both stamps), so it is due again at the
//   next tick, and the shortage is said once through OnShortage until a check runs again.
// - Free workers go to the due monitors whose last check was quick first, then to the slow
//   ones, each group in the order they fell due, never in list order: a monitor whose check
//   hangs is due again the moment it ends, and in list order it would take every worker that
//   comes free from the healthy monitors listed below it (see StartDue).
#pragma once

#include "engine/CheckEngine.h"
#include "monitors/MonitorList.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

// True when AMonitor's interval has run out at ANowTick (monotonic milliseconds): the
// monitor is checked at all (a positive interval, every value of its settings readable), and the monitor was
// never checked or more than Interval seconds have passed since the start of its last check.
bool IsMonitorDue(const TServiceMonitor& AMonitor, int64_t ANowTick);

// What AMonitor's checks reach, to tell monitors of one server from others: the scheme, host
// and port of a URL, a DNS monitor's server, a host or host:port; empty for a kind without a
// target.
std::string HostOfTarget(const TServiceMonitor& AMonitor);

class TCheckSchedule {
public:
    // AEngine runs the checks and AClock stamps them; both outlive the schedule.
    TCheckSchedule(TCheckEngine& AEngine, const TCheckClock& AClock);

    // One tick over AList: the monitors that are due and not in flight start, quick ones first
    // and each group in the order it fell due (see StartDue), as far as the engine takes them;
    // the others stay due. Returns
    // the alarm over the whole list: whether any listed monitor is in msError, or is being
    // checked again after its last check ended in msError (so a standing alarm does not drop,
    // and come back, with every new check of a failing monitor); a failure the operator
    // acknowledged does not count.
    bool Tick(const TMonitorList& AList);

    // After a tick (or a resumption) that left monitors due for want of workers, starts them as
    // far as workers are free, in the same order. The owner calls it when verdicts come in, so
    // a list with more due monitors than workers does not wait a whole second for each handful.
    void Resume(const TMonitorList& AList);

    // A due monitor that has waited this long for a worker is said (OnShortage) to wait: about
    // a web check's time-out, so a burst of quick checks says nothing, and checks that hang
    // until their time-out and hold every worker are named.
    static constexpr int64_t WaitNoticeMs = 10000;
    // A check that took this long or longer makes its monitor wait behind the quick ones when
    // the engine cannot take every due monitor.
    static constexpr int64_t SlowCheckMs = 1000;

    // Starts a check of AMonitor: stamps it on both clocks, sets msChecking and submits a
    // snapshot of its settings. False, with nothing changed, when it is in flight already or
    // the engine refuses the work.
    bool RunCheck(const std::shared_ptr<TServiceMonitor>& AMonitor);

    // Applies AVerdict to its monitor when that check is still the one in flight and the
    // monitor still exists: status, reason, and on success the end of the check as the last
    // activity. Returns the monitor it changed, or nullptr. A verdict of a shortage puts the
    // monitor back as it was before the check and returns nullptr: there is nothing to record.
    std::shared_ptr<TServiceMonitor> Apply(const TCheckVerdict& AVerdict);

    // A monitor leaves the list: its check in flight, if any, is cancelled and its verdict
    // will be dropped; it no longer counts for the alarm.
    void Forget(const TServiceMonitor* AMonitor);

    // AMonitor's part in the alarm changed on the owner's side (acknowledged, or its status
    // set there): counted again now rather than at the next tick.
    void Reassess(const TServiceMonitor& AMonitor);

    // In msError, or being checked again after a check that ended in msError.
    bool Failing(const TServiceMonitor& AMonitor) const;

    bool IsChecking(const TServiceMonitor* AMonitor) const;

    // Called on the owner's thread when checks begin to fail for want of descriptors, threads
    // or memory, with a sentence that says so; not again until a check has run since. Also
    // when due monitors have waited WaitNoticeMs for a worker; not again until none waits.
    std::function<void(const std::string& AText)> OnShortage;
    // Called on the owner's thread when a check of a monitor has started (it shows msChecking).
    std::function<void(const TServiceMonitor& AMonitor)> OnStarted;
    // Checks put off for a shortage so far.
    uint64_t Shortages() const { return FShortages; }
    // Whether a monitor known to be listed counts for the alarm (see Tick), as of the last
    // tick and the verdicts applied since.
    bool Alarm() const { return !FInError.empty(); }
    size_t InFlight() const { return FInFlight.size(); }

private:
    struct TInFlight {
        uint64_t Id;
        std::weak_ptr<TServiceMonitor> Monitor;
        // Its status was msError when this check started.
        bool WasError;
        // What the check changed when it started, to put back after a shortage.
        TMonitorStatus Status;
        TDateTime LastCheck;
        std::optional<int64_t> LastCheckTick;
    };

    // A monitor due and not in flight: whether its last check was slow, since when it is due
    // (monotonic), and its place in the list.
    struct TDue {
        bool Slow;
        int64_t Since;
        size_t Order;
        const std::shared_ptr<TServiceMonitor>* Monitor;
        // A monitor never checked: how many of the list's monitors of its host come before it.
        size_t Turn = 0;
    };

    // In msError and not acknowledged, or checked again after such an error.
    bool CountsForAlarm(const TServiceMonitor& AMonitor) const;
    // A check could not run for want of AWhat: said once (OnShortage) while it lasts.
    void NoteShortage(const std::string& AWhat);
    // The monitors of AList that are due and not in flight, in list order; a tick (ATick) also
    // counts the alarm and forgets the first sightings of monitors no longer due.
    std::vector<TDue> CollectDue(const TMonitorList& AList, bool ATick);
    // Workers the engine has that no check holds.
    size_t FreeWorkers() const;
    // Orders ADue (Order) and starts them (StartPending).
    void StartDue(const TMonitorList& AList, std::vector<TDue> ADue);
    // Makes ADue, the quick before the slow and each in the order they fell due (list order
    // between equals), the monitors waiting to start (FPending).
    void Order(const TMonitorList& AList, std::vector<TDue> ADue);
    // Starts the waiting monitors in their order while the engine has free workers, collecting
    // the due ones of AList again when the order runs out first; notes a backlog, and says when
    // a monitor has waited WaitNoticeMs in it.
    void StartPending(const TMonitorList& AList);

    TCheckEngine& FEngine;
    const TCheckClock& FClock;
    uint64_t FLastId = 0;
    std::unordered_map<const TServiceMonitor*, TInFlight> FInFlight;
    std::unordered_set<const TServiceMonitor*> FInError;
    // The last tick (or resumption) found the engine full with monitors still due.
    bool FBacklog = false;
    // A monitor that was due at the last tick and waits for a worker, and since when.
    struct TPending {
        std::weak_ptr<TServiceMonitor> Monitor;
        int64_t Since;
    };
    // The due monitors of the last tick in the order they start; those before FNext have
    // started or were passed over.
    std::vector<TPending> FPending;
    size_t FNext = 0;
    // When monitors never checked were first found due; they wait in that order.
    std::unordered_map<const TServiceMonitor*, int64_t> FFirstDue;
    // Said that due monitors wait for workers, since none waited last.
    bool FWaited = false;
    // Monitors whose last check took SlowCheckMs or longer.
    std::unordered_set<const TServiceMonitor*> FSlow;
    bool FShort = false;
    uint64_t FShortages = 0;
};
