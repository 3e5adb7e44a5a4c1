#include "tools/CheckRun.h"

#include "tools/CheckOutput.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <deque>
#include <optional>
#include <poll.h>

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

void TCheckRun::Print(const TCheckReport& AReport)
{
    if (FOutputFailed)
        return;
    const std::string Line
        = FOptions.Json ? ReportJson(AReport, FOptions.Watch) : ReportLine(AReport, FOptions.Watch);
    if (!FWriter(Line + "\n"))
        FOutputFailed = true;
}

void TCheckRun::ApplyVerdicts(const std::function<void(size_t AIndex, TCheckReport AReport)>& AOnReport)
{
    FOnReport = AOnReport;
    FApplied = false;
    FCore.ApplyVerdicts();
    FOnReport = nullptr;
    if (FApplied) {
        FMetricsDirty = true;
        if (FServer != nullptr)
            FServer->Publish(Snapshot());
    }
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
    CountCheck(FMetrics[Index], AMonitor, AVerdict.DurationMs, Now, Report.Reason);
    FApplied = true;
    if (FOnReport)
        FOnReport(Index, std::move(Report));
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
    const bool Changed = !AMetrics.Checked || AMetrics.Up != Up;
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
    for (size_t I = 0; I < FList.size(); ++I) {
        const TMonitorMetrics& Metrics = FMetrics[I];
        if (!Metrics.Checked)
            continue;
        const TServiceMonitor& Monitor = *FList[I].Monitor;
        TMonitorSample Sample;
        Sample.Name = FList[I].Name;
        Sample.Kind = Monitor.TypeKey();
        Sample.Target = Monitor.Target(tfLabel);
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
    while (APass.NextPrint < FList.size() && APass.Done[APass.NextPrint]) {
        if (APass.Reports[APass.NextPrint])
            Print(*APass.Reports[APass.NextPrint]);
        APass.Reports[APass.NextPrint].reset();
        ++APass.NextPrint;
    }
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

int TCheckRun::RunWatch(const std::atomic<bool>& AStop, int AStopFd)
{
    // The status each monitor's last check gave; a monitor not here has not been checked.
    std::unordered_map<const TServiceMonitor*, TMonitorStatus> Previous;
    int64_t Next = FCore.Clock().MonotonicMs() + 1000;
    int64_t NextMinute = FCore.Clock().MonotonicMs();
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
                const auto Found = Previous.find(Monitor);
                if (Found == Previous.end() || Found->second != AReport.Status)
                    Print(AReport);
                Previous[Monitor] = AReport.Status;
            });
            FPutOff.clear();
            if (FOutputFailed)
                return CheckExitUsage;
            const int64_t Left = Next - FCore.Clock().MonotonicMs();
            if (Left <= 0)
                break;
            pollfd Wait[2] = { { AStopFd, POLLIN, 0 }, { FCore.VerdictFd(), POLLIN, 0 } };
            (void)::poll(Wait, 2, static_cast<int>(Left));
        }
        // The checks that ended since the last tick, in one write.
        if (FMetricsDirty)
            (void)WriteMetricsFile();
        FCore.Tick();
        Next = std::max(Next + 1000, FCore.Clock().MonotonicMs());
    }
}
