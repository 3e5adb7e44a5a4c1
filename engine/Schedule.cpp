#include "engine/Schedule.h"

#include "monitors/MonitorKind.h"

#include <algorithm>
#include <cstddef>
#include <tuple>
#include <vector>

std::string HostOfTarget(const TServiceMonitor& AMonitor)
{
    if (!AMonitor.Kind().Target)
        return {};
    std::string Target = AMonitor.Target(tfLabel);
    // A URL's scheme, host and port; a DNS question's server; a host or host:port as it is.
    if (const size_t Scheme = Target.find("://"); Scheme != std::string::npos)
        return Target.substr(0, Target.find('/', Scheme + 3));
    if (const size_t Server = Target.find(" @"); Server != std::string::npos)
        return Target.substr(Server + 2);
    return Target;
}

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
    StartDue(AList, CollectDue(AList, true));
    return Alarm();
}

void TCheckSchedule::Resume(const TMonitorList& AList)
{
    // During a shortage the monitors wait for the next tick: started again as each one fails,
    // they would spin.
    if (!FBacklog || FShort)
        return;
    StartPending(AList);
}

std::vector<TCheckSchedule::TDue> TCheckSchedule::CollectDue(const TMonitorList& AList, bool ATick)
{
    const int64_t Now = FClock.MonotonicMs();
    std::vector<TDue> Due;
    // A tick keeps the first sightings of the monitors listed and due now only, so one deleted
    // without Forget leaves nothing behind for a new monitor at its address.
    std::unordered_map<const TServiceMonitor*, int64_t> FirstDue;
    for (const TMonitorEntry& Entry : AList) {
        const std::shared_ptr<TServiceMonitor>& Monitor = Entry.Monitor;
        if (!Monitor)
            continue;
        if (!IsChecking(Monitor.get()) && IsMonitorDue(*Monitor, Now)) {
            // A monitor never checked became due when the schedule first found it so; one
            // checked became due when its interval ran out after its last start.
            int64_t Since = 0;
            if (const std::optional<int64_t> Last = Monitor->LastCheckTick()) {
                Since = *Last + int64_t(Monitor->Interval()) * 1000;
            } else {
                Since = FFirstDue.try_emplace(Monitor.get(), Now).first->second;
                FirstDue.emplace(Monitor.get(), Since);
            }
            Due.push_back({ FSlow.contains(Monitor.get()), Since, Due.size(), &Monitor });
        }
        if (ATick && CountsForAlarm(*Monitor))
            FInError.insert(Monitor.get());
    }
    if (ATick)
        FFirstDue.swap(FirstDue);
    return Due;
}

void TCheckSchedule::StartDue(const TMonitorList& AList, std::vector<TDue> ADue)
{
    Order(AList, std::move(ADue));
    StartPending(AList);
}

void TCheckSchedule::Order(const TMonitorList& AList, std::vector<TDue> ADue)
{
    // A monitor whose check hangs is due again the moment the check ends, long since: in list
    // order, or by how long it has waited, it would take every worker that comes free, and
    // with more such checks than workers the healthy monitors would miss their intervals. So
    // the monitors whose last check was quick (or who were never checked) go first, then the
    // slow ones; within each, in the order they fell due, wherever they are listed. Quick
    // checks take little of a worker's time, so the slow ones still get nearly all of it and
    // each waits about one time-out for every round of slow checks ahead of it.
    // Before their first check nothing tells a hanging monitor from a healthy one, and a list
    // that starts with a hundred monitors of one silent server would give them every worker
    // for rounds of time-outs. So, when not all can start, monitors never checked take turns
    // by host: a monitor's turn is how many of the list's monitors of its host come before it.
    const auto NeverChecked = [](const TDue& AOne) { return !(*AOne.Monitor)->LastCheckTick(); };
    if (ADue.size() > FreeWorkers() && std::any_of(ADue.begin(), ADue.end(), NeverChecked)) {
        std::unordered_map<const TServiceMonitor*, size_t> TurnOf;
        std::unordered_map<std::string, size_t> Before;
        for (const TMonitorEntry& Entry : AList)
            if (Entry.Monitor)
                TurnOf[Entry.Monitor.get()] = Before[HostOfTarget(*Entry.Monitor)]++;
        for (TDue& Due : ADue)
            if (NeverChecked(Due))
                Due.Turn = TurnOf[Due.Monitor->get()];
    }
    // The whole order is kept: what cannot start now starts from it as workers come free
    // (Resume), without the list being gone through again for every verdict.
    std::sort(ADue.begin(), ADue.end(), [](const TDue& A, const TDue& B) {
        return std::tie(A.Slow, A.Since, A.Turn, A.Order) < std::tie(B.Slow, B.Since, B.Turn, B.Order);
    });
    FPending.clear();
    FNext = 0;
    for (const TDue& Due : ADue)
        FPending.push_back({ *Due.Monitor, Due.Since });
}

size_t TCheckSchedule::FreeWorkers() const
{
    const size_t InFlight = FEngine.InFlight();
    return FEngine.Workers() > InFlight ? FEngine.Workers() - InFlight : 0;
}

void TCheckSchedule::StartPending(const TMonitorList& AList)
{
    size_t Free = FreeWorkers();
    const int64_t Now = FClock.MonotonicMs();
    bool Collected = false;
    bool Refused = false;
    for (;;) {
        for (; FNext < FPending.size() && Free > 0; ++FNext) {
            // Passed over when gone, forgotten, started since (a double-click) or no longer due.
            const std::shared_ptr<TServiceMonitor> Monitor = FPending[FNext].Monitor.lock();
            if (!Monitor || IsChecking(Monitor.get()) || !IsMonitorDue(*Monitor, Now))
                continue;
            if (!RunCheck(Monitor)) {
                Refused = true;
                break;
            }
            --Free;
        }
        // With the order gone through and workers still free, the monitors that fell due since
        // (checks that ended late) are collected once more: once a round, not once a verdict.
        if (FNext < FPending.size() || Free == 0 || Refused || Collected)
            break;
        Order(AList, CollectDue(AList, false));
        Collected = true;
    }
    // Workers full at the end of the order: monitors may have fallen due since; the next
    // resumption collects them.
    FBacklog = FNext < FPending.size() || (Free == 0 && !Collected);
    if (FNext == FPending.size()) {
        // None is known to wait.
        FPending.clear();
        FNext = 0;
        FWaited = false;
        return;
    }
    if (FWaited || !FEngine.StartFailure().empty())
        return;
    const auto Longest = std::min_element(FPending.begin() + std::ptrdiff_t(FNext), FPending.end(),
        [](const TPending& A, const TPending& B) { return A.Since < B.Since; });
    const int64_t Waited = Now - Longest->Since;
    if (Waited < WaitNoticeMs)
        return;
    // Said once while monitors keep waiting, as a shortage is: the checks are not failing,
    // but they are late, and the operator can give the engine more workers or the checks
    // shorter time-outs.
    FWaited = true;
    const size_t Waiting = FPending.size() - FNext;
    if (OnShortage)
        OnShortage("Checks wait for workers: "
            + (FEngine.Workers() == 1 ? std::string("the only worker is busy")
                                      : "all " + std::to_string(FEngine.Workers()) + " workers are busy")
            + ", and " + std::to_string(Waiting)
            + (Waiting == 1 ? " due monitor waits" : " due monitors wait") + ", the longest for "
            + std::to_string(Waited / 1000) + " s. They start as workers come free, quick checks first.");
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
    FFirstDue.erase(AMonitor);
    FSlow.erase(AMonitor);
    for (TPending& Pending : FPending)
        if (Pending.Monitor.lock().get() == AMonitor)
            Pending.Monitor.reset();
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
