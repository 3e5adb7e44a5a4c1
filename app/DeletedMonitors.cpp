#include "app/DeletedMonitors.h"

#include "app/MonitorHistory.h"

#include <algorithm>

TDeletedMonitors::TDeletedMonitors(TMonitoring& AMonitoring, TMonitorHistory& AHistory)
    : FMonitoring(AMonitoring)
    , FHistory(AHistory)
{
}

bool TDeletedMonitors::Delete(const TServiceMonitor* AKey)
{
    TMonitorList& List = FMonitoring.List();
    const auto Entry = std::find_if(List.begin(), List.end(),
        [AKey](const TMonitorEntry& AEntry) { return AEntry.Monitor.get() == AKey; });
    if (Entry == List.end() || !Entry->Monitor)
        return false;
    const std::shared_ptr<TServiceMonitor> Monitor = Entry->Monitor;
    FHistory.Deleted(Monitor.get());
    FDeleted.push_back({ size_t(Entry - List.begin()), *Entry });
    List.erase(Entry);
    FMonitoring.Forget(*Monitor);
    return true;
}

std::optional<size_t> TDeletedMonitors::Undo()
{
    if (FDeleted.empty())
        return std::nullopt;
    TDeleted Last = std::move(FDeleted.back());
    FDeleted.pop_back();
    const std::shared_ptr<TServiceMonitor> Monitor = Last.Entry.Monitor;
    // A check cut short by the delete left no verdict: the monitor is checked again at once.
    if (Monitor->Status() == msChecking) {
        Monitor->SetStatus(msNone);
        Monitor->ResetLastCheck();
    }
    TMonitorList& List = FMonitoring.List();
    const size_t Index = std::min(Last.Index, List.size());
    List.insert(List.begin() + ptrdiff_t(Index), Last.Entry);
    FHistory.Undeleted(Monitor.get(), Last.Entry.Name);
    FMonitoring.Reassess(*Monitor);
    return Index;
}
