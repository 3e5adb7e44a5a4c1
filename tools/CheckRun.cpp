#include "tools/CheckRun.h"

#include "tools/CheckOutput.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <deque>
#include <optional>
#include <poll.h>
#include <unistd.h>

TCheckRun::TCheckRun(const TCheckOptions& AOptions, TMonitorList AList, TWriter AWriter)
    : FOptions(AOptions)
    , FWriter(std::move(AWriter))
    , FCore({ AOptions.Jobs, nullptr, nullptr })
    , FList(FCore.List())
    , FMetricsFile(AOptions.PrometheusFile)
{
    FCore.List() = std::move(AList);
    FCore.AddListener(*this);
    FMetrics.resize(FList.size());
}

void TCheckRun::AddListener(TMonitoringListener& AListener)
{
    FCore.AddListener(AListener);
}

void TCheckRun::Restore(TCheckRecording& AHistory)
{
    std::vector<size_t> All(FList.size());
    for (size_t I = 0; I < All.size(); ++I)
        All[I] = I;
    RestoreAt(AHistory, All);
}

void TCheckRun::RestoreAt(TCheckRecording& AHistory, const std::vector<size_t>& AIndexes)
{
    std::vector<std::pair<TServiceMonitor*, std::string>> Monitors;
    std::vector<size_t> Positions;
    for (const size_t Index : AIndexes)
        if (FList[Index].Monitor) {
            Monitors.emplace_back(FList[Index].Monitor.get(), FList[Index].Name);
            Positions.push_back(Index);
        }
    const std::vector<std::optional<THistoryLatest>> Latest = AHistory.Restore(Monitors);
    for (size_t I = 0; I < Latest.size(); ++I) {
        if (!Latest[I])
            continue;
        TMonitorMetrics& Metrics = FMetrics[Positions[I]];
        Metrics.Restored = true;
        Metrics.Up = Latest[I]->OK;
        if (Latest[I]->LastSuccessEndMs >= 0)
            Metrics.LastSuccess = double(Latest[I]->LastSuccessEndMs) / 1000;
        // The history knows when an outage began, not when the monitor came up: an up
        // monitor's "For" starts again with this run.
        if (!Latest[I]->OK && Latest[I]->DownSinceMs >= 0)
            Metrics.StatusSince = double(Latest[I]->DownSinceMs) / 1000;
    }
}

void TCheckRun::Print(const TCheckReport& AReport)
{
    std::string Line;
    AppendLine(Line, AReport);
    Write(Line);
}

void TCheckRun::AppendLine(std::string& AText, const TCheckReport& AReport) const
{
    AText += FOptions.Json ? ReportJson(AReport, FOptions.Watch) : ReportLine(AReport, FOptions.Watch);
    AText += '\n';
}

void TCheckRun::Write(const std::string& AText)
{
    if (!FOutputFailed && !AText.empty() && !FWriter(AText))
        FOutputFailed = true;
}

void TCheckRun::ApplyVerdicts(const std::function<void(size_t AIndex, TCheckReport AReport)>& AOnReport)
{
    FOnReport = AOnReport;
    FApplied = false;
    FFirstCheck = false;
    FCore.ApplyVerdicts();
    FOnReport = nullptr;
    if (FApplied) {
        FMetricsDirty = true;
        // A snapshot copies the sample of every monitor of the list. Made for each verdict, it
        // cost more than the checks themselves with a thousand monitors (its cost grew with
        // the square of the list); the tick publishes what changed once a second. A monitor's
        // first verdict is published at once, so that a scrape never misses a checked monitor.
        FPublishDue = true;
        if (FFirstCheck)
            PublishMetrics();
    }
}

void TCheckRun::PublishMetrics()
{
    if (FServer != nullptr && FPublishDue)
        FServer->Publish(Snapshot());
    FPublishDue = false;
}

void TCheckRun::Finished(
    const TServiceMonitor& AMonitor, const std::string& AName, const TCheckVerdict& AVerdict)
{
    const double Now
        = std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    const size_t Index = FCore.IndexOf(AMonitor);
    if (Index == std::string::npos)
        return;
    TCheckReport Report = MakeCheckReport(AName, AMonitor, AVerdict.DurationMs);
    if (!FToldIcmp && AMonitor.TypeKey() == "PingMonitor"
        && Report.Reason.find("Cannot allocate socket.") != std::string::npos) {
        FToldIcmp = true;
        Complain(IcmpHint());
    }
    FFirstCheck = FFirstCheck || !FMetrics[Index].Checked;
    CountCheck(FMetrics[Index], AMonitor, AVerdict.DurationMs, Now, Report.Reason);
    FApplied = true;
    if (FOnReport)
        FOnReport(Index, std::move(Report));
}

std::string IcmpHint()
{
    char Self[4096] = {};
    const ssize_t Length = ::readlink("/proc/self/exe", Self, sizeof Self - 1);
    const std::string Program = Length > 0 ? std::string(Self, size_t(Length)) : "vardex-check";
    return "ping monitors cannot open an ICMP socket: this program has no CAP_NET_RAW and its group is "
           "outside net.ipv4.ping_group_range. Grant one of them: sudo setcap cap_net_raw+ep "
        + Program + ", or sudo sysctl -w net.ipv4.ping_group_range=\"0 2147483647\"";
}

void TCheckRun::Changed(const TServiceMonitor& AMonitor, bool AStarted)
{
    // Put off for a shortage: the monitor is back as it was, to be checked again.
    if (const size_t Index = FCore.IndexOf(AMonitor); !AStarted && Index != std::string::npos)
        FPutOff.push_back(Index);
}

void TCheckRun::Shortage(const std::string& AText)
{
    Complain(AText);
}

void TCheckRun::CountCheck(TMonitorMetrics& AMetrics, const TServiceMonitor& AMonitor, int64_t ADurationMs,
    double ANow, const std::string& AReason)
{
    // Unix time for the metrics: the verdict's own stamps are local time, which a change
    // to winter time makes ambiguous. The check ended a moment before it was applied.
    const bool Up = AMonitor.Status() == msOK;
    const bool Changed
        = !(AMetrics.Checked || AMetrics.Restored) || AMetrics.Up != Up || AMetrics.StatusSince == 0;
    AMetrics.Checked = true;
    AMetrics.Up = Up;
    AMetrics.DurationSeconds = double(ADurationMs) / 1000;
    AMetrics.LastCheck = std::round((ANow - AMetrics.DurationSeconds) * 1000) / 1000;
    if (Changed)
        AMetrics.StatusSince = AMetrics.LastCheck;
    if (AMetrics.Up)
        AMetrics.LastSuccess = std::round(ANow * 1000) / 1000;
    AMetrics.CertificateExpiry = AMonitor.Certificate().Earliest;
    ++AMetrics.Checks;
    AMetrics.Errors += AMetrics.Up ? 0 : 1;
    if (!Up)
        AMetrics.Reason = AReason;
}

std::shared_ptr<const TMetricsSnapshot> TCheckRun::Snapshot() const
{
    auto Snapshot = std::make_shared<TMetricsSnapshot>();
    Snapshot->ListName = FOptions.FileName;
    Snapshot->Listed = size_t(std::count_if(
        FList.begin(), FList.end(), [](const TMonitorEntry& AEntry) { return AEntry.Monitor != nullptr; }));
    Snapshot->Postponed = FCore.Shortages();
    Snapshot->ReloadSuccessful = FReloadSuccessful;
    Snapshot->ReloadSuccessTime = FReloadSuccessTime;
    Snapshot->ConstantLabels = FOptions.Labels;
    Snapshot->Version = VARDEX_VERSION;
    for (size_t I = 0; I < FList.size(); ++I) {
        const TMonitorMetrics& Metrics = FMetrics[I];
        const TServiceMonitor* Listed = FList[I].Monitor.get();
        const bool Misconfigured = Listed && !Listed->BadValues().empty();
        if (!Metrics.Checked && !Misconfigured)
            continue;
        const TServiceMonitor& Monitor = *Listed;
        TMonitorSample Sample;
        Sample.Name = FList[I].Name;
        Sample.Kind = Monitor.TypeKey();
        Sample.Target = Monitor.Target(tfLabel);
        if (Misconfigured) {
            Sample.Misconfigured = true;
            Sample.Reason = BadValueText(Monitor.BadValues().front());
            Snapshot->Monitors.push_back(std::move(Sample));
            continue;
        }
        Sample.Up = Metrics.Up;
        Sample.DurationSeconds = Metrics.DurationSeconds;
        Sample.LastCheck = Metrics.LastCheck;
        Sample.LastSuccess = Metrics.LastSuccess;
        Sample.CertificateExpiry = Metrics.CertificateExpiry;
        Sample.Checks = Metrics.Checks;
        Sample.Errors = Metrics.Errors;
        Sample.Reason = Metrics.Reason;
        Sample.StatusSince = Metrics.StatusSince;
        if (const auto Found = FUptimes.find(FList[I].Name); Found != FUptimes.end())
            Sample.Uptime24h = Found->second;
        if (FHeartbeat != nullptr)
            Sample.Heartbeat = FHeartbeat->Cells(Sample.Name);
        Snapshot->Monitors.push_back(std::move(Sample));
    }
    return Snapshot;
}

void TCheckRun::SetUptimes(std::unordered_map<std::string, double> AUptimes)
{
    FUptimes = std::move(AUptimes);
    if (FServer != nullptr)
        FServer->Publish(Snapshot());
}

bool TCheckRun::WriteMetricsFile()
{
    if (!FMetricsFile.Given())
        return true;
    FMetricsDirty = false;
    return FMetricsFile.Write(*Snapshot());
}

struct TCheckRun::TOncePass {
    // The line of each monitor, kept until every line before it is printed.
    std::vector<std::optional<TCheckReport>> Reports;
    std::vector<bool> Done;
    // The monitors still to start, in list order; one whose check was put off for a shortage
    // comes back to the front and starts again a tick (a second) after the shortage.
    std::deque<size_t> ToStart;
    std::vector<uint8_t> PutOff;
    uint64_t Shortages = 0;
    int64_t StartAfter = 0;
    // The first line not printed yet.
    size_t NextPrint = 0;
};

namespace {

// A run once must end: a shortage that outlasts ten ticks leaves the monitor unchecked, and
// says so, rather than holding the run for ever.
constexpr uint8_t MaxPutOff = 10;

} // namespace

void TCheckRun::WaitOutShortage(TOncePass& APass)
{
    if (FCore.Shortages() != APass.Shortages) {
        APass.Shortages = FCore.Shortages();
        APass.StartAfter = FCore.Clock().MonotonicMs() + 1000;
    }
}

void TCheckRun::NotChecked(TOncePass& APass, size_t AIndex)
{
    TCheckReport Report = MakeCheckReport(FList[AIndex].Name, *FList[AIndex].Monitor, 0);
    Report.Status = msError;
    Report.Reason = "Not checked: no file descriptor, thread or memory to check it with.";
    FCore.List()[AIndex].Monitor->ApplyResult({ msError, Report.Reason }, 0);
    APass.Reports[AIndex] = std::move(Report);
    APass.Done[AIndex] = true;
}

void TCheckRun::StartChecks(TOncePass& APass)
{
    // As many checks as the engine takes, in list order.
    while (!APass.ToStart.empty() && FCore.Clock().MonotonicMs() >= APass.StartAfter) {
        const size_t Index = APass.ToStart.front();
        const std::shared_ptr<TServiceMonitor>& Monitor = FList[Index].Monitor;
        if (Monitor && !FCore.RunCheck(Monitor)) {
            // No worker could start, and none runs whose end would free what it needs.
            if (FCore.Engine().StartFailure().empty() || FCore.InFlight() > 0
                || ++APass.PutOff[Index] < MaxPutOff)
                break;
            NotChecked(APass, Index);
        }
        APass.Done[Index] = APass.Done[Index] || !Monitor;
        APass.ToStart.pop_front();
    }
}

void TCheckRun::PrintDone(TOncePass& APass)
{
    // The lines known now go out in one write: as soon as they are known, without a system
    // call for each.
    std::string Lines;
    while (APass.NextPrint < FList.size() && APass.Done[APass.NextPrint]) {
        if (APass.Reports[APass.NextPrint])
            AppendLine(Lines, *APass.Reports[APass.NextPrint]);
        APass.Reports[APass.NextPrint].reset();
        ++APass.NextPrint;
    }
    Write(Lines);
}

void TCheckRun::RetryPutOff(TOncePass& APass)
{
    for (const size_t Index : FPutOff) {
        if (++APass.PutOff[Index] < MaxPutOff)
            APass.ToStart.push_front(Index);
        else
            NotChecked(APass, Index);
    }
    FPutOff.clear();
}

int TCheckRun::RunOnce()
{
    TOncePass Pass;
    Pass.Reports.resize(FList.size());
    Pass.Done.assign(FList.size(), false);
    bool Misconfigured = false;
    for (size_t I = 0; I < FList.size(); ++I) {
        // A value its key cannot take is never checked as what it fell back to.
        if (FList[I].Monitor && !FList[I].Monitor->BadValues().empty()) {
            Misconfigured = true;
            TCheckReport Report = MakeCheckReport(FList[I].Name, *FList[I].Monitor, 0);
            Report.NotChecked = true;
            Report.Reason = BadValueText(FList[I].Monitor->BadValues().front());
            Pass.Reports[I] = std::move(Report);
            Pass.Done[I] = true;
        } else {
            Pass.ToStart.push_back(I);
        }
    }
    Pass.PutOff.assign(FList.size(), 0);
    Pass.Shortages = FCore.Shortages();
    for (;;) {
        WaitOutShortage(Pass);
        StartChecks(Pass);
        PrintDone(Pass);
        if (FOutputFailed)
            return CheckExitUsage;
        if (Pass.NextPrint == FList.size())
            break;
        // With checks still to start, a verdict frees a worker; a shortage waits out its tick.
        WaitOutShortage(Pass);
        const int64_t Left = Pass.StartAfter - FCore.Clock().MonotonicMs();
        FCore.WaitForVerdicts(Pass.ToStart.empty()
                ? std::nullopt
                : std::optional(std::chrono::milliseconds(Left > 0 ? Left : 1000)));
        ApplyVerdicts([&](size_t AIndex, TCheckReport AReport) {
            Pass.Reports[AIndex] = std::move(AReport);
            Pass.Done[AIndex] = true;
        });
        RetryPutOff(Pass);
    }
    if (!WriteMetricsFile() || Misconfigured)
        return CheckExitUsage;
    const bool AllOK = std::all_of(FList.begin(), FList.end(),
        [](const TMonitorEntry& AEntry) { return !AEntry.Monitor || AEntry.Monitor->Status() == msOK; });
    return AllOK ? CheckExitOK : CheckExitError;
}

namespace {

// What makes two monitors the same one for a reload: name, kind and settings, in one text.
std::string Identity(const TMonitorEntry& AEntry)
{
    std::string Text = AEntry.Name + '\0' + AEntry.Monitor->TypeKey();
    for (const std::string& Line : AEntry.Monitor->GetSettings())
        Text += '\0' + Line;
    return Text;
}

} // namespace

TCheckRun::TReloaded TCheckRun::Reload(TMonitorList ANew, TCheckRecording* AHistory)
{
    TMonitorList& List = FCore.List();
    std::unordered_multimap<std::string, size_t> Old;
    for (size_t I = 0; I < List.size(); ++I)
        if (List[I].Monitor)
            Old.emplace(Identity(List[I]), I);
    TReloaded Result;
    std::vector<TMonitorMetrics> Metrics(ANew.size());
    std::vector<size_t> Fresh;
    for (size_t I = 0; I < ANew.size(); ++I) {
        if (!ANew[I].Monitor)
            continue;
        const auto Found = Old.find(Identity(ANew[I]));
        if (Found == Old.end()) {
            Fresh.push_back(I);
            continue;
        }
        ANew[I].Monitor = List[Found->second].Monitor;
        Metrics[I] = FMetrics[Found->second];
        Old.erase(Found);
        ++Result.Kept;
    }
    for (const auto& [Identity, Index] : Old) {
        const TServiceMonitor& Gone = *List[Index].Monitor;
        FCore.Forget(Gone);
        if (AHistory)
            AHistory->Deleted(&Gone);
        FPrevious.erase(&Gone);
        ++Result.Removed;
    }
    // The removed monitors live on in the core's verdict queue and the history's maps only as
    // addresses, which Forget and Deleted dropped; the list held the last owners.
    List = std::move(ANew);
    FMetrics = std::move(Metrics);
    Result.Added = Fresh.size();
    if (AHistory)
        RestoreAt(*AHistory, Fresh);
    FMetricsDirty = true;
    if (FServer != nullptr)
        FServer->Publish(Snapshot());
    return Result;
}

void TCheckRun::SetReloadState(bool ASuccessful, double ALastSuccess)
{
    FReloadSuccessful = ASuccessful;
    FReloadSuccessTime = ALastSuccess;
    if (FServer != nullptr)
        FServer->Publish(Snapshot());
}

int TCheckRun::RunWatch(const std::atomic<bool>& AStop, int AStopFd, int AReloadFd)
{
    int64_t Next = FCore.Clock().MonotonicMs() + 1000;
    int64_t NextMinute = FCore.Clock().MonotonicMs();
    // After a wake for verdicts, those that follow are gathered for VerdictGatherMs: a tick
    // that starts hundreds of checks would otherwise wake this thread for nearly every one.
    int64_t GatherUntil = 0;
    for (;;) {
        if (OnMinute && FCore.Clock().MonotonicMs() >= NextMinute) {
            OnMinute();
            NextMinute = FCore.Clock().MonotonicMs() + 60000;
        }
        // Wait for the tick, printing the verdicts that arrive meanwhile. Ticks missed are not
        // made up: when the next one is already due it runs at once, and the count starts
        // again from there.
        for (;;) {
            if (AStop.load()) {
                FCore.Shutdown();
                return CheckExitOK;
            }
            ApplyVerdicts([&](size_t AIndex, TCheckReport AReport) {
                const TServiceMonitor* Monitor = FList[AIndex].Monitor.get();
                const auto Found = FPrevious.find(Monitor);
                if (Found == FPrevious.end() || Found->second != AReport.Status)
                    Print(AReport);
                FPrevious[Monitor] = AReport.Status;
            });
            FPutOff.clear();
            if (FOutputFailed)
                return CheckExitUsage;
            const int64_t Now = FCore.Clock().MonotonicMs();
            const int64_t Left = Next - Now;
            if (Left <= 0)
                break;
            const bool Gathering = Now < GatherUntil;
            pollfd Wait[3] = { { AStopFd, POLLIN, 0 }, { Gathering ? -1 : FCore.VerdictFd(), POLLIN, 0 },
                { AReloadFd, POLLIN, 0 } };
            const int Ready = ::poll(Wait, AReloadFd >= 0 ? 3 : 2,
                static_cast<int>(Gathering ? std::min(Left, GatherUntil - Now) : Left));
            if (Ready > 0 && Wait[1].revents != 0)
                GatherUntil = FCore.Clock().MonotonicMs() + VerdictGatherMs;
            if (Ready > 0 && Wait[2].revents != 0 && OnReload)
                OnReload();
        }
        // The checks that ended since the last tick, in one write and one snapshot.
        if (FMetricsDirty)
            (void)WriteMetricsFile();
        PublishMetrics();
        FCore.Tick();
        Next = std::max(Next + 1000, FCore.Clock().MonotonicMs());
    }
}
