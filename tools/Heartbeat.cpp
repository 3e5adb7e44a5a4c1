#include "tools/Heartbeat.h"

#include "history/History.h"

#include <algorithm>
#include <climits>

namespace {

// The half hour that holds AMs, for times before 1970 too.
int64_t CellOf(int64_t AMs)
{
    return AMs >= 0 ? AMs / THeartbeat::CellMs : -((-AMs + THeartbeat::CellMs - 1) / THeartbeat::CellMs);
}

// The nearest-rank median of ATimes, which it reorders; -1 when empty.
int64_t Median(std::vector<int32_t>& ATimes)
{
    if (ATimes.empty())
        return -1;
    const auto Middle = ATimes.begin() + static_cast<std::ptrdiff_t>((ATimes.size() + 1) / 2 - 1);
    std::nth_element(ATimes.begin(), Middle, ATimes.end());
    return *Middle;
}

} // namespace

THeartbeat::THeartbeat(std::function<int64_t()> AWallMs)
    : FWallMs(std::move(AWallMs))
{
}

void THeartbeat::Load(
    THistoryReader& AReader, const std::string& AListPath, const std::vector<std::string>& ANames)
{
    const int64_t Since = (CellOf(FWallMs()) - CellCount + 1) * CellMs;
    for (const std::string& Name : ANames)
        for (const THistoryPoint& Point : AReader.Points(AListPath, Name, Since))
            Add(Name, Point.StartMs, Point.OK, Point.ResponseMs);
}

void THeartbeat::Close(TMonitorBeats& AMonitor, int64_t ANowCell)
{
    if (AMonitor.Open.Checks > 0) {
        AMonitor.Open.MedianMs = Median(AMonitor.Times);
        AMonitor.Past.push_back(AMonitor.Open);
    }
    AMonitor.Times.clear();
    const int64_t Oldest = (ANowCell - CellCount + 1) * CellMs;
    std::erase_if(AMonitor.Past, [Oldest](const THeartbeatCell& ACell) { return ACell.StartMs < Oldest; });
}

void THeartbeat::Add(const std::string& AName, int64_t AStartMs, bool AOK, int64_t AResponseMs)
{
    const int64_t Cell = CellOf(AStartMs);
    TMonitorBeats& Monitor = FMonitors[AName];
    Monitor.Shown.reset();
    if (Cell < Monitor.Current) {
        // A long check that began in a half hour already summed up: counted there, its time
        // left out of a median that is already taken.
        const auto Found = std::find_if(Monitor.Past.begin(), Monitor.Past.end(),
            [&](const THeartbeatCell& APast) { return APast.StartMs == Cell * CellMs; });
        if (Found != Monitor.Past.end()) {
            ++Found->Checks;
            Found->Failures += AOK ? 0 : 1;
        }
        return;
    }
    if (Cell > Monitor.Current) {
        Close(Monitor, Cell);
        Monitor.Current = Cell;
        Monitor.Open = THeartbeatCell { Cell * CellMs };
    }
    ++Monitor.Open.Checks;
    if (AOK)
        Monitor.Times.push_back(static_cast<int32_t>(std::clamp<int64_t>(AResponseMs, 0, INT32_MAX)));
    else
        ++Monitor.Open.Failures;
}

std::shared_ptr<const THeartbeatCells> THeartbeat::Cells(const std::string& AName) const
{
    const auto Found = FMonitors.find(AName);
    if (Found == FMonitors.end())
        return nullptr;
    const TMonitorBeats& Monitor = Found->second;
    const int64_t Now = CellOf(FWallMs());
    if (Monitor.Shown && Monitor.ShownFor == Now)
        return Monitor.Shown;
    auto Cells = std::make_shared<THeartbeatCells>(CellCount);
    const int64_t First = Now - CellCount + 1;
    for (int I = 0; I < CellCount; ++I)
        (*Cells)[static_cast<size_t>(I)].StartMs = (First + I) * CellMs;
    const auto Place = [&](const THeartbeatCell& ACell) {
        const int64_t Index = CellOf(ACell.StartMs) - First;
        if (Index >= 0 && Index < CellCount)
            (*Cells)[static_cast<size_t>(Index)] = ACell;
    };
    for (const THeartbeatCell& Past : Monitor.Past)
        Place(Past);
    if (Monitor.Open.Checks > 0) {
        THeartbeatCell Open = Monitor.Open;
        std::vector<int32_t> Times = Monitor.Times;
        Open.MedianMs = Median(Times);
        Place(Open);
    }
    Monitor.Shown = Cells;
    Monitor.ShownFor = Now;
    return Cells;
}

void THeartbeat::Finished(
    const TServiceMonitor& AMonitor, const std::string& AName, const TCheckVerdict& AVerdict)
{
    (void)AMonitor;
    if (AVerdict.Status == msOK || AVerdict.Status == msError)
        Add(AName, FWallMs() - AVerdict.DurationMs, AVerdict.Status == msOK, AVerdict.DurationMs);
}
