#include "engine/CheckEngine.h"

#include <algorithm>

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

TProbeResult ProbeFailure(std::exception_ptr AError)
{
    try {
        std::rethrow_exception(AError);
    } catch (const std::exception& E) {
        if (std::string Short = ResourceShortage(E); !Short.empty())
            return TProbeResult::Short(std::move(Short));
        return { msError, E.what() };
    } catch (...) {
        return { msError, "Unknown error." };
    }
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
    std::lock_guard<std::mutex> Guard(FLock);
    FStartFailure.clear();
    if (FStopping || FInFlight >= FMaxWorkers)
        return false;
    // Every queued request has a worker of its own: an idle one, or one started for it.
    if (FIdle >= FQueue.size() + 1 || FWorkers.size() >= FMaxWorkers) {
        FQueue.push_back(std::move(ARequest));
        ++FInFlight;
        FWake.notify_one();
        return true;
    }
    // A worker needs a descriptor (its cancel token) and a thread; without either the request
    // is refused, not queued without a worker.
    try {
        auto Worker = std::make_unique<TWorker>();
        FWorkers.push_back(std::move(Worker));
        TWorker& Started = *FWorkers.back();
        try {
            Started.Thread = std::thread([this, &Started] { Run(Started); });
        } catch (...) {
            FWorkers.pop_back();
            throw;
        }
    } catch (const std::exception& E) {
        FStartFailure = ResourceShortage(E);
        if (FStartFailure.empty())
            throw;
        return false;
    }
    FQueue.push_back(std::move(ARequest));
    ++FInFlight;
    return true;
}

void TCheckEngine::Cancel(uint64_t AId)
{
    std::lock_guard<std::mutex> Guard(FLock);
    const auto Queued = std::find_if(
        FQueue.begin(), FQueue.end(), [AId](const TCheckRequest& ARequest) { return ARequest.Id == AId; });
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
    {
        std::lock_guard<std::mutex> Guard(FLock);
        FStopping = true;
        FInFlight -= FQueue.size();
        FQueue.clear();
        for (const std::unique_ptr<TWorker>& Worker : FWorkers)
            Worker->Token.Cancel();
        Workers.swap(FWorkers);
    }
    FWake.notify_all();
    for (const std::unique_ptr<TWorker>& Worker : Workers)
        if (Worker->Thread.joinable())
            Worker->Thread.join();
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
        ++FIdle;
        FWake.wait(Guard, [this] { return FStopping || !FQueue.empty(); });
        --FIdle;
        if (FStopping)
            return;
        TCheckRequest Request = std::move(FQueue.front());
        FQueue.pop_front();
        AWorker.Current = Request.Id;
        AWorker.Token.Reset();
        Guard.unlock();

        const int64_t Started = FClock.MonotonicMs();
        TProbeResult Result;
        try {
            Result = FProbe(Request);
        } catch (...) {
            Result = ProbeFailure(std::current_exception());
        }
        TCheckVerdict Verdict;
        Verdict.Id = Request.Id;
        Verdict.Monitor = std::move(Request.Monitor);
        Verdict.Status = Result.Status;
        Verdict.Reason = std::move(Result.Reason);
        Verdict.Certificate = Result.Certificate;
        Verdict.Start = Request.Start;
        Verdict.DurationMs = std::max<int64_t>(0, FClock.MonotonicMs() - Started);
        Verdict.Cancelled = AWorker.Token.Cancelled();
        Verdict.Shortage = Result.Shortage;

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
