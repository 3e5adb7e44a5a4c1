#include "engine/Schedule.h"

#include <algorithm>
#include <climits>
#include <tuple>
#include <vector>

bool IsMonitorDue(const TServiceMonitor& AMonitor, int64_t ANowTick)
{
    if (AMonitor.NotChecked())
        return false;
    const std::optional<int64_t> Last = AMonitor.LastCheckTick();
    return !Last || ANowTick - *Last > int64_t(AMonitor.Interval()) * 1000;
}

TCheckSchedule::TCheckSchedule(TCheckEngine& AEngine, const TCheckClock& AClock)
    : FEngine(AEngine)
    , FClock(AClock)
{
}

bool TCheckSchedule::IsChecking(const TServiceMonitor* AMonitor) const
{
    // An entry whose monitor has gone (deleted without Forget) holds nothing: a new monitor
    // at the same address is not in flight.
    const auto Found = FInFlight.find(AMonitor);
    return Found != FInFlight.end() && !Found->second.Monitor.expired();
}

bool TCheckSchedule::RunCheck(const std::shared_ptr<TServiceMonitor>& AMonitor)
{
    if (!AMonitor || IsChecking(AMonitor.get()))
        return false;
    TCheckRequest Request;
    Request.Id = ++FLastId;
    Request.Monitor = AMonitor;
    Request.Type = AMonitor->TypeKey();
    Request.Settings = AMonitor->GetSettings();
    // The stamps mark the start of the check, so that a slow check does not stretch the
    // interval.
    Request.Start = FClock.WallNow();
    Request.StartTick = FClock.MonotonicMs();
    const TDateTime Start = Request.Start;
    const int64_t StartTick = Request.StartTick;
    if (!FEngine.Submit(std::move(Request))) {
        if (!FEngine.StartFailure().empty())
            NoteShortage(FEngine.StartFailure());
        return false;
    }
    FInFlight.insert_or_assign(AMonitor.get(),
        TInFlight { FLastId, AMonitor, AMonitor->Status() == msError, AMonitor->Status(),
            AMonitor->LastCheck(), AMonitor->LastCheckTick() });
    AMonitor->SetLastCheck(Start);
    AMonitor->SetLastCheckTick(StartTick);
    AMonitor->SetStatus(msChecking);
    if (OnStarted)
        OnStarted(*AMonitor);
    return true;
}

bool TCheckSchedule::Tick(const TMonitorList& AList)
{
    // The alarm is counted afresh over the list, which also drops monitors that left it.
    FInError.clear();
    std::erase_if(FInFlight, [](const auto& AEntry) { return AEntry.second.Monitor.expired(); });
    bool Full = false;
    for (const TMonitorEntry& Entry : AList) {
        const std::shared_ptr<TServiceMonitor>& Monitor = Entry.Monitor;
        if (!Monitor)
            continue;
        // Once the engine refuses, the rest of this tick would be refused too.
        if (!Full && !IsChecking(Monitor.get()) && IsMonitorDue(*Monitor, FClock.MonotonicMs()))
            Full = !RunCheck(Monitor);
        if (CountsForAlarm(*Monitor))
            FInError.insert(Monitor.get());
    }
    FBacklog = Full;
    return Alarm();
}

void TCheckSchedule::Resume(const TMonitorList& AList)
{
    // During a shortage the monitors wait for the next tick: started again as each one fails,
    // they would spin.
    if (!FBacklog || FShort)
        return;
    // A monitor whose checks hang is due again the moment its check ends, and in list order
    // it would take every worker that comes free from the monitors below it. So the monitors
    // whose last check was quick go first, then the slow ones; within each, the one that has
    // waited longest (never checked before all others, in list order). Quick checks take
    // little of a worker's time, so the slow ones still get nearly every worker.
    const int64_t Now = FClock.MonotonicMs();
    struct TDue {
        bool Slow;
        int64_t Since;
        const std::shared_ptr<TServiceMonitor>* Monitor;
    };
    std::vector<TDue> Due;
    for (const TMonitorEntry& Entry : AList) {
        const std::shared_ptr<TServiceMonitor>& Monitor = Entry.Monitor;
        if (Monitor && !IsChecking(Monitor.get()) && IsMonitorDue(*Monitor, Now)) {
            const std::optional<int64_t> Last = Monitor->LastCheckTick();
            Due.push_back({ FSlow.contains(Monitor.get()),
                Last ? *Last + int64_t(Monitor->Interval()) * 1000 : INT64_MIN, &Monitor });
        }
    }
    std::stable_sort(Due.begin(), Due.end(),
        [](const TDue& A, const TDue& B) { return std::tie(A.Slow, A.Since) < std::tie(B.Slow, B.Since); });
    bool Full = false;
    for (const TDue& One : Due)
        if (!RunCheck(*One.Monitor)) {
            Full = true;
            break;
        }
    FBacklog = Full;
}

std::shared_ptr<TServiceMonitor> TCheckSchedule::Apply(const TCheckVerdict& AVerdict)
{
    const std::shared_ptr<TServiceMonitor> Monitor = AVerdict.Monitor.lock();
    if (!Monitor)
        return nullptr;
    const auto Found = FInFlight.find(Monitor.get());
    if (Found == FInFlight.end() || Found->second.Id != AVerdict.Id)
        return nullptr;
    const TInFlight Before = Found->second;
    FInFlight.erase(Found);
    if (AVerdict.Shortage) {
        Monitor->SetLastCheck(Before.LastCheck);
        Monitor->SetLastCheckTick(Before.LastCheckTick);
        Monitor->ApplyResult(
            { Before.Status, Monitor->LastError(), Monitor->Certificate() }, Monitor->LastActivity());
        NoteShortage(AVerdict.Reason);
        return nullptr;
    }
    FShort = false;
    const TDateTime Finished = AVerdict.Start + double(AVerdict.DurationMs) / MSecsPerDay;
    Monitor->ApplyResult({ AVerdict.Status, AVerdict.Reason, AVerdict.Certificate }, Finished);
    if (AVerdict.DurationMs >= SlowCheckMs)
        FSlow.insert(Monitor.get());
    else
        FSlow.erase(Monitor.get());
    Reassess(*Monitor);
    return Monitor;
}

bool TCheckSchedule::CountsForAlarm(const TServiceMonitor& AMonitor) const
{
    return AMonitor.Acknowledged() == 0 && Failing(AMonitor);
}

bool TCheckSchedule::Failing(const TServiceMonitor& AMonitor) const
{
    if (AMonitor.Status() == msError)
        return true;
    if (AMonitor.Status() != msChecking)
        return false;
    const auto Found = FInFlight.find(&AMonitor);
    return Found != FInFlight.end() && Found->second.WasError;
}

void TCheckSchedule::Reassess(const TServiceMonitor& AMonitor)
{
    if (CountsForAlarm(AMonitor))
        FInError.insert(&AMonitor);
    else
        FInError.erase(&AMonitor);
}

void TCheckSchedule::Forget(const TServiceMonitor* AMonitor)
{
    const auto Found = FInFlight.find(AMonitor);
    if (Found != FInFlight.end()) {
        FEngine.Cancel(Found->second.Id);
        FInFlight.erase(Found);
    }
    FInError.erase(AMonitor);
    FSlow.erase(AMonitor);
}

void TCheckSchedule::NoteShortage(const std::string& AWhat)
{
    ++FShortages;
    if (FShort)
        return;
    FShort = true;
    if (OnShortage)
        OnShortage("Checks put off: " + AWhat + " They are tried again at the next tick.");
}
