#include "monitors/Schedule.h"

#include <algorithm>

bool IsMonitorDue(const TServiceMonitor& AMonitor, TDateTime ANow)
{
    if (AMonitor.Interval() <= 0)
        return false;
    const double DueAt = (AMonitor.LastCheck() * SecsPerDay + AMonitor.Interval()) / SecsPerDay;
    return ANow > DueAt;
}

namespace {

bool IsListed(const TMonitorList& AList, const TServiceMonitor* AMonitor)
{
    return std::any_of(AList.begin(), AList.end(),
        [AMonitor](const TMonitorEntry& AEntry) { return AEntry.Monitor.get() == AMonitor; });
}

} // namespace

bool TCheckSchedule::IsChecking(const TServiceMonitor* AMonitor) const
{
    return std::find(FChecking.begin(), FChecking.end(), AMonitor) != FChecking.end();
}

void TCheckSchedule::RunCheck(const std::shared_ptr<TServiceMonitor>& AMonitor)
{
    FChecking.push_back(AMonitor.get());
    struct TDone {
        std::vector<const TServiceMonitor*>& Checking;
        const TServiceMonitor* Monitor;
        ~TDone() { Checking.erase(std::find(Checking.begin(), Checking.end(), Monitor)); }
    } Done { FChecking, AMonitor.get() };
    // The stamp marks the start of the check, so that a slow check does not stretch the
    // interval.
    AMonitor->SetLastCheck(Now());
    if (OnCheck)
        OnCheck(*AMonitor);
    else
        AMonitor->Check();
}

bool TCheckSchedule::Tick(const TMonitorList& AList)
{
    std::vector<std::weak_ptr<TServiceMonitor>> Pass;
    Pass.reserve(AList.size());
    for (const TMonitorEntry& Entry : AList)
        Pass.push_back(Entry.Monitor);

    bool Alarm = false;
    for (const std::weak_ptr<TServiceMonitor>& Item : Pass) {
        const std::shared_ptr<TServiceMonitor> Monitor = Item.lock();
        if (!Monitor || !IsListed(AList, Monitor.get()))
            continue;
        if (!IsChecking(Monitor.get()) && IsMonitorDue(*Monitor, Now()))
            RunCheck(Monitor);
        if (IsListed(AList, Monitor.get()) && Monitor->Status() == msError)
            Alarm = true;
    }
    return Alarm;
}
