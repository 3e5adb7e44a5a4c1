// vardex-check's run over a loaded list: one pass, or the watch on the window's schedule.
#pragma once

#include "engine/CheckRecording.h"
#include "engine/Monitoring.h"
#include "tools/CheckOptions.h"
#include "tools/CheckReport.h"
#include "tools/Heartbeat.h"
#include "tools/Metrics.h"
#include "tools/MetricsFile.h"
#include "tools/MetricsServer.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

// What to grant when a ping monitor finds no ICMP socket it may open: said once on stderr.
std::string IcmpHint();

// One run of the program over a loaded list, on the monitoring core: up to Jobs checks run
// side by side on its workers while this thread starts them, applies their verdicts and
// prints. Output goes through the writer, one line (with its line end) per call; a writer
// that fails ends the run, cancelling the checks in flight. The run listens to the core for
// its lines and metrics; other listeners (the history) are added with AddListener.
class TCheckRun : private TMonitoringListener {
public:
    using TWriter = std::function<bool(const std::string& ALine)>;

    TCheckRun(const TCheckOptions& AOptions, TMonitorList AList, TWriter AWriter);

    // AListener hears of every check too, before this run prints it.
    void AddListener(TMonitoringListener& AListener);
    // Takes each listed monitor up where AHistory left it: its last success, and while it
    // was down the start of that outage, so a restart keeps the metrics' last-success time
    // and the status page's "For".
    void Restore(TCheckRecording& AHistory);

    // Checks every monitor once, whatever its interval, side by side, and prints one line per
    // monitor in list order, each as soon as it and every line before it are known.
    // CheckExitOK when every monitor ended OK (an empty list included), CheckExitError
    // otherwise, CheckExitUsage when the output failed.
    int RunOnce();

    // The window's schedule: a tick every second, the first one second after the start; a
    // line whenever a check ends with another status than the monitor's previous check gave
    // (its first check always prints), as the checks end. A monitor that hangs holds one
    // worker and delays no other. Returns CheckExitOK once AStopFd becomes readable (with
    // AStop set), after cancelling and joining the checks in flight; CheckExitUsage when the
    // output failed.
    // While AReloadFd (when not -1) is readable, OnReload is called between verdicts.
    int RunWatch(const std::atomic<bool>& AStop, int AStopFd, int AReloadFd = -1);
    // How long RunWatch gathers the verdicts that follow one it woke for.
    static constexpr int64_t VerdictGatherMs = 5;
    // Called by RunWatch when AReloadFd becomes readable; it drains it and may call Reload.
    std::function<void()> OnReload;

    // What a reload did.
    struct TReloaded {
        size_t Kept = 0;
        size_t Added = 0;
        size_t Removed = 0;
    };
    // Takes ANew as the list while watching. A monitor of the same name, kind and settings as
    // one listed keeps that one's object, with its status, schedule, check in flight and
    // metrics; the others start afresh (from AHistory, when given) and the monitors left over
    // are forgotten: their checks cancelled, their series gone from the next scrape.
    TReloaded Reload(TMonitorList ANew, TCheckRecording* AHistory);
    // The outcome of the last reading of the list, for the metrics: whether it was taken, and
    // when a reading last was (Unix seconds).
    void SetReloadState(bool ASuccessful, double ALastSuccess);

    bool OutputFailed() const { return FOutputFailed; }

    // Where the metrics go as they change, besides --prometheus; nullptr for nowhere.
    void SetMetricsServer(TMetricsServer* AServer) { FServer = AServer; }
    // The metrics as they stand: the monitors checked so far, in list order.
    std::shared_ptr<const TMetricsSnapshot> Snapshot() const;
    // The 24-hour uptime of the monitors by name, from the history, for the status page.
    void SetUptimes(std::unordered_map<std::string, double> AUptimes);
    // Where the status page's bars come from; nullptr for none. It must outlive the run.
    void SetHeartbeat(const THeartbeat* AHeartbeat) { FHeartbeat = AHeartbeat; }
    // Called about once a minute while watching, and at the start.
    std::function<void()> OnMinute;

private:
    // What the metrics keep of each listed monitor.
    struct TMonitorMetrics {
        bool Checked = false;
        bool Up = false;
        double DurationSeconds = 0;
        double LastCheck = 0;
        double LastSuccess = 0;
        int64_t CertificateExpiry = 0;
        uint64_t Checks = 0;
        uint64_t Errors = 0;
        std::string Reason;
        double StatusSince = 0;
        // Up and StatusSince come from the history of an earlier run, until the first check.
        bool Restored = false;
    };
    // Where RunOnce stands: the lines waiting for those before them, the monitors to start.
    struct TOncePass;

    // TMonitoringListener: a check applied by the core is counted into the metrics and its
    // report handed to FOnReport; one put off for a shortage is noted in FPutOff.
    void Finished(
        const TServiceMonitor& AMonitor, const std::string& AName, const TCheckVerdict& AVerdict) override;
    void Changed(const TServiceMonitor& AMonitor, bool AStarted) override;
    void Shortage(const std::string& AText) override;
    // The verdicts that have arrived, applied; the report of each applied one goes to
    // AOnReport with its list position.
    void ApplyVerdicts(const std::function<void(size_t AIndex, TCheckReport AReport)>& AOnReport);
    // Hands the metrics server a snapshot when verdicts came since the last one.
    void PublishMetrics();
    // A check of AMonitor that ended ANow (Unix time) after ADurationMs, counted into AMetrics;
    // AReason is its report's.
    static void CountCheck(TMonitorMetrics& AMetrics, const TServiceMonitor& AMonitor, int64_t ADurationMs,
        double ANow, const std::string& AReason);
    void Print(const TCheckReport& AReport);
    // A report's line (text or JSON), ended, added to AText; AText written out unless empty.
    void AppendLine(std::string& AText, const TCheckReport& AReport) const;
    void Write(const std::string& AText);
    // The metrics to --prometheus's file, if given; false (said once) when it fails.
    bool WriteMetricsFile();

    // RunOnce's steps.
    void WaitOutShortage(TOncePass& APass);
    void NotChecked(TOncePass& APass, size_t AIndex);
    void StartChecks(TOncePass& APass);
    void PrintDone(TOncePass& APass);
    void RetryPutOff(TOncePass& APass);
    // Restore for the list positions AIndexes.
    void RestoreAt(TCheckRecording& AHistory, const std::vector<size_t>& AIndexes);

    TCheckOptions FOptions;
    TWriter FWriter;
    TMonitoring FCore;
    // The core's list, which a run never changes.
    const TMonitorList& FList;
    // Where the report of each check applied goes, while verdicts are applied.
    std::function<void(size_t AIndex, TCheckReport AReport)> FOnReport;
    bool FApplied = false;
    // A verdict applied was a monitor's first; verdicts wait to be published to the server.
    bool FFirstCheck = false;
    bool FPublishDue = false;
    bool FOutputFailed = false;
    std::vector<TMonitorMetrics> FMetrics;
    std::unordered_map<std::string, double> FUptimes;
    TMetricsServer* FServer = nullptr;
    const THeartbeat* FHeartbeat = nullptr;
    TMetricsFile FMetricsFile;
    // Verdicts applied since the last write of the file.
    bool FMetricsDirty = false;
    // The status each monitor's last check gave while watching; a monitor not here has not
    // been checked.
    std::unordered_map<const TServiceMonitor*, TMonitorStatus> FPrevious;
    // The hint for ping monitors without an ICMP socket has been given.
    bool FToldIcmp = false;
    bool FReloadSuccessful = true;
    double FReloadSuccessTime = 0;
    // List positions of the monitors whose checks were put off for a shortage since the last
    // look (RunOnce starts them again; the watch's ticks do that by themselves).
    std::vector<size_t> FPutOff;
};
