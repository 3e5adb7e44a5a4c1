// Runs the probes of due monitors on a bounded pool of worker threads and hands each verdict
// to one sink, so that no check ever blocks the thread that owns the monitors (the window's,
// or vardex-check's main loop).
//
// Threads and the rules that keep them safe:
// - The owner's thread owns the monitors. A worker never touches one: it gets a request with
//   a copy of the monitor's type and settings lines, taken when the check starts, and returns
//   a verdict by value. So editing, renaming or deleting a monitor during its check is safe,
//   and the edit is never overwritten by the check. The request's weak reference is only
//   carried back, for the owner to lock on its own thread.
// - The pool is bounded (Workers threads, started as work needs them: the first with the first
//   check, each further one when a check has waited GrowthDelay for a busy worker to come
//   free, so a burst of quick checks is served by the few threads it keeps busy, and a burst
//   of slow ones still gets every worker within a fraction of a second). Submit refuses work
//   when every worker is busy, or when a worker cannot be started (no descriptor for its
//   cancel token, no thread): the monitor stays due and is tried again at the next tick, so
//   a queue never grows behind hanging checks and a shortage never ends the process. Idle
//   workers are woken one at a time (FWaking): each one woken wakes the next while checks are
//   queued, so a burst wakes only the workers it keeps busy.
// - FLock guards the queue, the count of checks in flight, each worker's current check and
//   the stop flag. A worker takes a request, and clears its token, under FLock; Cancel finds
//   the worker running a check under FLock, so a cancel can never reach the next check that
//   worker takes.
// - Every wait of the networking layer on a worker watches that worker's cancel token
//   (TNetCancelScope), so Cancel and Shutdown wake a probe at once, whatever it waits on.
//   Shutdown cancels everything and joins every worker: no thread outlives the engine.
// - A probe may hand its check off (TProbeHandOff) and leave its worker: a ping whose answer
//   is not there at once waits on the shared socket's thread instead. The check stays in
//   flight (it counts against Workers like any other) until its finish is called; Cancel
//   passes on to it, and Shutdown cancels it and waits for that call.
// - The sink is called on worker threads (and, for a check handed off, on the thread that
//   finishes it) without FLock held, and never after Shutdown has returned.
#pragma once

#include "engine/CheckClock.h"
#include "monitors/Monitors.h"
#include "net/stack/NetCancel.h"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

// One check to run: what the probe needs, copied when the check starts.
struct TCheckRequest {
    // Given by the schedule; tells a verdict from the one of an earlier check of the monitor.
    uint64_t Id = 0;
    // Locked only on the owner's thread, when the verdict is applied.
    std::weak_ptr<TServiceMonitor> Monitor;
    // The type key and the settings lines of the monitor (the snapshot the probe runs on).
    std::string Type;
    TStringList Settings;
    // When the check started: wall clock (shown) and monotonic (intervals).
    TDateTime Start = 0;
    int64_t StartTick = 0;
};

// What a finished check found.
struct TCheckVerdict {
    uint64_t Id = 0;
    std::weak_ptr<TServiceMonitor> Monitor;
    TMonitorStatus Status = msError;
    // Why the check failed; empty after a success.
    std::string Reason;
    // When the server's certificates expire, for an https check that got that far.
    TCertificateExpiry Certificate;
    TDateTime Start = 0;
    int64_t DurationMs = 0;
    // The check was cancelled (its monitor deleted, the engine shutting down): not a finding.
    bool Cancelled = false;
    // The probe ran short of descriptors, threads or memory (Reason says which): not a finding
    // either; the monitor is checked again at the next tick.
    bool Shortage = false;
};

// Where finished checks go. Post runs on a worker thread and only hands the verdict over
// (a queued call to the window's thread, a queue that a loop drains).
class TVerdictSink {
public:
    virtual ~TVerdictSink() = default;
    virtual void Post(TCheckVerdict AVerdict) = 0;
};

// A probe: runs one check of a request on a worker thread and returns its outcome. It may
// raise; the engine turns that into an error verdict with the exception's text.
using TCheckProbe = std::function<TProbeResult(const TCheckRequest& ARequest)>;

// The real probe: rebuilds the monitor from the request's type and settings lines, with
// CreateMonitorFromSettings, and runs its Probe. An unknown type is an error verdict.
TProbeResult RunMonitorProbe(const TCheckRequest& ARequest);

class TCheckEngine {
public:
    // How much lower than the process's priority the workers run (a nice value added).
    static constexpr int WorkerNice = 10;
    // The pool size of the window and of vardex-check unless told otherwise.
    static constexpr size_t DefaultWorkers = 64;
    // How long a queued check waits for a busy worker to come free before another worker is
    // started for it; one more is started each such span while checks keep waiting.
    static constexpr std::chrono::milliseconds GrowthDelay { 2 };

    // AClock times the checks (read on the workers, and on the thread that finishes a check
    // handed off); it and ASink must outlive the engine.
    TCheckEngine(TVerdictSink& ASink, const TCheckClock& AClock, size_t AWorkers = DefaultWorkers,
        TCheckProbe AProbe = RunMonitorProbe);
    // Shutdown.
    ~TCheckEngine();
    TCheckEngine(const TCheckEngine&) = delete;
    TCheckEngine& operator=(const TCheckEngine&) = delete;

    // Queues ARequest for a free worker. False when every worker is busy, when no worker can be
    // started (StartFailure then says why), or after Shutdown.
    bool Submit(TCheckRequest ARequest);
    // Why the last refused Submit could not start a worker ("Too many open files."); empty
    // when it was refused for being busy. Cleared by the next Submit.
    const std::string& StartFailure() const { return FStartFailure; }
    // Cancels the check AId, queued or running; nothing when it has ended. A running one still
    // delivers a verdict, marked Cancelled; a queued one is dropped without one.
    void Cancel(uint64_t AId);
    // Cancels every check, waits for every worker to end, and delivers nothing more. Submit
    // refuses work from then on. Safe to call more than once.
    void Shutdown();

    size_t Workers() const { return FMaxWorkers; }
    // Checks queued or running.
    size_t InFlight() const;
    // Worker threads started so far (they are started as work needs them).
    size_t Threads() const;

private:
    struct TWorker {
        std::thread Thread;
        TNetCancelToken Token;
        // The check this worker runs; 0 when idle.
        uint64_t Current = 0;
    };

    struct TQueued {
        TCheckRequest Request;
        std::chrono::steady_clock::time_point Since;
    };

    // A check handed off by its probe, until it is finished.
    struct TDetached {
        std::weak_ptr<TServiceMonitor> Monitor;
        TDateTime Start = 0;
        int64_t Started = 0;
        std::function<void()> Cancel;
        bool Cancelled = false;
    };
    class THandOff;

    // Takes over the check AWorker runs; returns its finish.
    TProbeHandOff::TFinish Detach(
        TWorker& AWorker, const TCheckRequest& ARequest, int64_t AStarted, std::function<void()> ACancel);
    void FinishDetached(uint64_t AId, TProbeResult AResult);
    // The verdict of a check that started at AStart (wall) and AStarted (the clock's ms), and
    // ends now with AResult; Cancelled is left to the caller.
    TCheckVerdict MakeVerdict(uint64_t AId, std::weak_ptr<TServiceMonitor> AMonitor, TDateTime AStart,
        int64_t AStarted, TProbeResult AResult) const;

    void Run(TWorker& AWorker);
    // Starts one more worker; raises what starting its thread or its token raised.
    void StartWorkerLocked();
    // Marks an idle worker as being woken when one should be: checks are queued, a worker is
    // idle and none is on its way yet. The caller wakes it (FWake) once FLock is free.
    bool WakeNeededLocked();
    // Queued checks that no idle worker is about to take.
    size_t WaitingLocked() const { return FQueue.size() > FIdle ? FQueue.size() - FIdle : 0; }
    // The grower thread: starts a worker each GrowthDelay while checks wait.
    void Grow();

    TVerdictSink& FSink;
    const TCheckClock& FClock;
    const size_t FMaxWorkers;
    const TCheckProbe FProbe;

    mutable std::mutex FLock;
    std::condition_variable FWake;
    std::condition_variable FGrowWake;
    std::deque<TQueued> FQueue;
    std::thread FGrower;
    // The grower waits for checks to wait (not for one to become due).
    bool FGrowerIdle = false;
    std::chrono::steady_clock::time_point FLastStart;
    size_t FInFlight = 0;
    size_t FIdle = 0;
    // An idle worker has been woken and has not yet taken the lock: the next wake waits until
    // it has (see Run).
    bool FWaking = false;
    bool FStopping = false;
    std::vector<std::unique_ptr<TWorker>> FWorkers;
    std::unordered_map<uint64_t, TDetached> FDetached;
    // Signalled when a detached check is finished.
    std::condition_variable FDetachedGone;
    // Written and read on the owner's thread only.
    std::string FStartFailure;
};
