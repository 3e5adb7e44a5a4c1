#include "engine/CheckEngine.h"

#include <algorithm>
#include <system_error>

#include <sys/resource.h>
#include <unistd.h>

TProbeResult RunMonitorProbe(const TCheckRequest& ARequest)
{
    // The type line goes first and the key rule takes the first match, so a settings line
    // can never make the snapshot a monitor of another type.
    TStringList Lines { "Type=" + ARequest.Type };
    Lines.insert(Lines.end(), ARequest.Settings.begin(), ARequest.Settings.end());
    const std::unique_ptr<TServiceMonitor> Monitor = CreateMonitorFromSettings(Lines);
    if (!Monitor)
        return { msError, "Unknown monitor type \"" + ARequest.Type + "\"." };
    return Monitor->Probe();
}

TCheckEngine::TCheckEngine(
    TVerdictSink& ASink, const TCheckClock& AClock, size_t AWorkers, TCheckProbe AProbe)
    : FSink(ASink)
    , FClock(AClock)
    , FMaxWorkers(std::max<size_t>(1, AWorkers))
    , FProbe(std::move(AProbe))
{
}

TCheckEngine::~TCheckEngine()
{
    Shutdown();
}

bool TCheckEngine::Submit(TCheckRequest ARequest)
{
    // The wakes are given once the lock is free: a worker woken while it is held would only
    // wake to wait for it.
    bool WakeGrower = false;
    bool WakeWorker = false;
    {
        std::lock_guard<std::mutex> Guard(FLock);
        FStartFailure.clear();
        if (FStopping || FInFlight >= FMaxWorkers)
            return false;
        // The first check needs a worker now. It needs a descriptor (its cancel token) and a
        // thread; without either the request is refused, not queued without a worker.
        if (FWorkers.empty()) {
            try {
                StartWorkerLocked();
            } catch (const std::exception& E) {
                FStartFailure = ResourceShortage(E);
                if (FStartFailure.empty())
                    throw;
                return false;
            }
        }
        FQueue.push_back({ std::move(ARequest), std::chrono::steady_clock::now() });
        ++FInFlight;
        WakeWorker = WakeNeededLocked();
        if (WaitingLocked() > 0 && FWorkers.size() < FMaxWorkers) {
            if (!FGrower.joinable()) {
                // Without a grower the checks are taken by the workers there are, one after
                // another.
                try {
                    FGrower = std::thread([this] { Grow(); });
                } catch (const std::system_error&) {
                }
            }
            // A grower already waiting for a check to become due sees this one in its turn.
            WakeGrower = FGrowerIdle;
        }
    }
    if (WakeWorker)
        FWake.notify_one();
    if (WakeGrower)
        FGrowWake.notify_one();
    return true;
}

bool TCheckEngine::WakeNeededLocked()
{
    // One idle worker is woken at a time, and it wakes the next when it finds more queued.
    // Woken one per check, a burst woke as many workers as it had checks, and most of them
    // found the queue emptied by those that were running and went back to sleep: two context
    // switches each for nothing.
    if (FWaking || FIdle == 0 || FQueue.empty())
        return false;
    FWaking = true;
    return true;
}

void TCheckEngine::StartWorkerLocked()
{
    FWorkers.push_back(std::make_unique<TWorker>());
    TWorker& Started = *FWorkers.back();
    try {
        Started.Thread = std::thread([this, &Started] { Run(Started); });
    } catch (...) {
        FWorkers.pop_back();
        throw;
    }
    FLastStart = std::chrono::steady_clock::now();
}

void TCheckEngine::Grow()
{
    std::unique_lock<std::mutex> Guard(FLock);
    while (!FStopping) {
        if (WaitingLocked() == 0 || FWorkers.size() >= FMaxWorkers) {
            FGrowerIdle = true;
            FGrowWake.wait(Guard);
            FGrowerIdle = false;
            continue;
        }
        // The oldest waiting check is the last one no idle worker will take; each start gives
        // the workers another GrowthDelay to come free.
        const auto Due = std::max(FQueue[FIdle].Since, FLastStart) + GrowthDelay;
        if (std::chrono::steady_clock::now() < Due) {
            FGrowWake.wait_until(Guard, Due);
            continue;
        }
        try {
            StartWorkerLocked();
        } catch (const std::exception&) {
            // Short of threads or descriptors: the waiting checks go to the workers there are,
            // and another start is tried a second later.
            FLastStart = std::chrono::steady_clock::now() + std::chrono::seconds(1) - GrowthDelay;
        }
    }
}

class TCheckEngine::THandOff final : public TProbeHandOff {
public:
    THandOff(TCheckEngine& AEngine, TWorker& AWorker, const TCheckRequest& ARequest, int64_t AStarted)
        : FEngine(AEngine)
        , FWorker(AWorker)
        , FRequest(ARequest)
        , FStarted(AStarted)
    {
    }

    TFinish HandOff(std::function<void()> ACancel) override
    {
        // Taken only once the engine holds the check: a hand-off that raised leaves the check
        // to the probe's own result.
        TFinish Finish = FEngine.Detach(FWorker, FRequest, FStarted, std::move(ACancel));
        Taken = true;
        return Finish;
    }

    bool Taken = false;

private:
    TCheckEngine& FEngine;
    TWorker& FWorker;
    const TCheckRequest& FRequest;
    const int64_t FStarted;
};

TProbeHandOff::TFinish TCheckEngine::Detach(
    TWorker& AWorker, const TCheckRequest& ARequest, int64_t AStarted, std::function<void()> ACancel)
{
    // Everything that may raise comes before the check is entered: entered, it is finished.
    TDetached Detached { ARequest.Monitor, ARequest.Start, AStarted, ACancel, false };
    TProbeHandOff::TFinish Finish
        = [this, Id = ARequest.Id](TProbeResult AResult) { FinishDetached(Id, std::move(AResult)); };
    bool Cancelled;
    {
        std::lock_guard<std::mutex> Guard(FLock);
        // A cancel that reached the worker before the hand-off goes with the check.
        Cancelled = Detached.Cancelled = AWorker.Token.Cancelled();
        FDetached.emplace(ARequest.Id, std::move(Detached));
    }
    if (Cancelled)
        ACancel();
    return Finish;
}

TCheckVerdict TCheckEngine::MakeVerdict(uint64_t AId, std::weak_ptr<TServiceMonitor> AMonitor,
    TDateTime AStart, int64_t AStarted, TProbeResult AResult) const
{
    TCheckVerdict Verdict;
    Verdict.Id = AId;
    Verdict.Monitor = std::move(AMonitor);
    Verdict.Status = AResult.Status;
    Verdict.Reason = std::move(AResult.Reason);
    Verdict.Certificate = AResult.Certificate;
    Verdict.Start = AStart;
    Verdict.DurationMs = std::max<int64_t>(0, FClock.MonotonicMs() - AStarted);
    Verdict.Shortage = AResult.Shortage;
    return Verdict;
}

void TCheckEngine::FinishDetached(uint64_t AId, TProbeResult AResult)
{
    std::unique_lock<std::mutex> Guard(FLock);
    const auto Found = FDetached.find(AId);
    if (Found == FDetached.end())
        return;
    if (!FStopping) {
        const TDetached& Detached = Found->second;
        TCheckVerdict Verdict
            = MakeVerdict(AId, Detached.Monitor, Detached.Start, Detached.Started, std::move(AResult));
        Verdict.Cancelled = Detached.Cancelled;
        // Still counted as detached while it is posted: Shutdown waits for it.
        Guard.unlock();
        FSink.Post(std::move(Verdict));
        Guard.lock();
    }
    FDetached.erase(AId);
    --FInFlight;
    FDetachedGone.notify_all();
}

void TCheckEngine::Cancel(uint64_t AId)
{
    std::unique_lock<std::mutex> Guard(FLock);
    if (const auto Detached = FDetached.find(AId); Detached != FDetached.end()) {
        Detached->second.Cancelled = true;
        const std::function<void()> CancelIt = Detached->second.Cancel;
        Guard.unlock();
        CancelIt();
        return;
    }
    const auto Queued = std::find_if(
        FQueue.begin(), FQueue.end(), [AId](const TQueued& AQueued) { return AQueued.Request.Id == AId; });
    if (Queued != FQueue.end()) {
        FQueue.erase(Queued);
        --FInFlight;
        return;
    }
    for (const std::unique_ptr<TWorker>& Worker : FWorkers)
        if (Worker->Current == AId)
            Worker->Token.Cancel();
}

void TCheckEngine::Shutdown()
{
    std::vector<std::unique_ptr<TWorker>> Workers;
    std::vector<std::function<void()>> Cancels;
    {
        std::lock_guard<std::mutex> Guard(FLock);
        FStopping = true;
        FInFlight -= FQueue.size();
        FQueue.clear();
        for (const std::unique_ptr<TWorker>& Worker : FWorkers)
            Worker->Token.Cancel();
        for (auto& [Id, Detached] : FDetached) {
            Detached.Cancelled = true;
            Cancels.push_back(Detached.Cancel);
        }
        Workers.swap(FWorkers);
    }
    for (const std::function<void()>& CancelIt : Cancels)
        CancelIt();
    FWake.notify_all();
    FGrowWake.notify_all();
    if (FGrower.joinable())
        FGrower.join();
    // A worker still in a probe may hand its check off; its cancelled token goes with it.
    for (const std::unique_ptr<TWorker>& Worker : Workers)
        if (Worker->Thread.joinable())
            Worker->Thread.join();
    std::unique_lock<std::mutex> Guard(FLock);
    FDetachedGone.wait(Guard, [this] { return FDetached.empty(); });
}

size_t TCheckEngine::InFlight() const
{
    std::lock_guard<std::mutex> Guard(FLock);
    return FInFlight;
}

size_t TCheckEngine::Threads() const
{
    std::lock_guard<std::mutex> Guard(FLock);
    return FWorkers.size();
}

void TCheckEngine::Run(TWorker& AWorker)
{
    // A worker yields the processor to the thread that owns the monitors: when a tick starts
    // hundreds of checks at once, their work would otherwise hold up the window (or the
    // command line's output) until the burst is over. Raising one's own nice value needs no
    // privilege; where it fails the worker runs as it is.
    setpriority(
        PRIO_PROCESS, static_cast<id_t>(gettid()), std::min(getpriority(PRIO_PROCESS, 0) + WorkerNice, 19));
    const TNetCancelScope Scope(&AWorker.Token);
    std::unique_lock<std::mutex> Guard(FLock);
    for (;;) {
        if (FQueue.empty()) {
            ++FIdle;
            FWake.wait(Guard, [this] {
                // Whoever wakes, woken or not, takes the turn of the one that was.
                FWaking = false;
                return FStopping || !FQueue.empty();
            });
            --FIdle;
        }
        if (FStopping)
            return;
        TCheckRequest Request = std::move(FQueue.front().Request);
        FQueue.pop_front();
        AWorker.Current = Request.Id;
        AWorker.Token.Reset();
        const bool WakeNext = WakeNeededLocked();
        Guard.unlock();
        if (WakeNext)
            FWake.notify_one();

        const int64_t Started = FClock.MonotonicMs();
        TProbeResult Result;
        THandOff HandOff(*this, AWorker, Request, Started);
        try {
            const TProbeHandOffScope Offered(&HandOff);
            Result = FProbe(Request);
        } catch (...) {
            Result = ProbeFailure(std::current_exception());
        }
        if (HandOff.Taken) {
            // The check goes on elsewhere and is finished from there.
            Guard.lock();
            AWorker.Current = 0;
            if (FStopping)
                return;
            continue;
        }
        TCheckVerdict Verdict
            = MakeVerdict(Request.Id, std::move(Request.Monitor), Request.Start, Started, std::move(Result));
        Verdict.Cancelled = AWorker.Token.Cancelled();

        Guard.lock();
        AWorker.Current = 0;
        --FInFlight;
        if (FStopping)
            return;
        Guard.unlock();
        FSink.Post(std::move(Verdict));
        Guard.lock();
    }
}
