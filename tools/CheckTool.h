// vardex-check: checks the monitors of a monitor list from a terminal or a script, once or on
// the window's schedule, with the same monitor code as the window.
#pragma once

#include "engine/CheckEngine.h"
#include "engine/Schedule.h"
#include "engine/VerdictQueue.h"
#include "tools/CheckReport.h"
#include "tools/Metrics.h"
#include "tools/MetricsServer.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

struct TCheckOptions {
    bool Watch = false;
    bool Json = false;
    bool Help = false;
    bool Version = false;
    // The most checks that run at once.
    size_t Jobs = TCheckEngine::DefaultWorkers;
    // Record every check into the history file (DefaultHistoryFile).
    bool History = false;
    // Print what the history says about the list's monitors instead of checking them.
    bool Report = false;
    // How far back --report looks, in milliseconds; --since.
    int64_t SinceMs = 24 * 3600000;
    bool SinceGiven = false;
    std::string FileName = "default.cfg";
    // --serve [HOST:]PORT: serve /metrics there while watching (it implies --watch).
    bool Serve = false;
    TListenAddress ServeAddress;
    // --prometheus FILE: the metrics written to FILE after every pass; empty for none.
    std::string PrometheusFile;
    // --shard K/N: only the monitors in shard K (1 to N) of N; N 1 checks them all.
    uint32_t Shard = 1;
    uint32_t Shards = 1;
};

// The shard, 0 to AShards - 1, of a monitor with this name and target (the host, or the URL as
// written). A hash of both that is the same on every machine and every run, so N processes
// given one list and --shard 1/N ... N/N check every monitor exactly once between them.
uint32_t MonitorShard(const std::string& AName, const std::string& ATarget, uint32_t AShards);

// Keeps in AList only the monitors of shard AShard (1 to AShards).
void KeepShard(TMonitorList& AList, uint32_t AShard, uint32_t AShards);

// Reads the arguments after the program name into AOptions. Returns an empty text when they
// are sound, otherwise what is wrong with them (one line, without the program's name).
std::string ParseCheckOptions(const std::vector<std::string>& AArgs, TCheckOptions& AOptions);

// The text of --help.
const std::string& CheckUsageText();

// Exit statuses.
constexpr int CheckExitOK = 0;
constexpr int CheckExitError = 1;
constexpr int CheckExitUsage = 2;

// One run of the program over a loaded list, on the check engine: up to Jobs checks run
// side by side on its workers while this thread starts them, applies their verdicts and
// prints. Output goes through the writer, one line (with its line end) per call; a writer
// that fails ends the run, cancelling the checks in flight.
class TCheckRun {
public:
    using TWriter = std::function<bool(const std::string& ALine)>;

    TCheckRun(const TCheckOptions& AOptions, TMonitorList& AList, TWriter AWriter);

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
    int RunWatch(const std::atomic<bool>& AStop, int AStopFd);

    bool OutputFailed() const { return FOutputFailed; }

    // Called with the facts of every check that ends, printed or not (--history).
    std::function<void(const TCheckReport& AReport)> OnFinished;

    // Where the metrics go as they change, besides --prometheus; nullptr for nowhere.
    void SetMetricsServer(TMetricsServer* AServer) { FServer = AServer; }
    // The metrics as they stand: the monitors checked so far, in list order.
    std::shared_ptr<const TMetricsSnapshot> Snapshot() const;
    // The 24-hour uptime of the monitors by name, from the history, for the status page.
    void SetUptimes(std::unordered_map<std::string, double> AUptimes);
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
    };
    // The metrics to --prometheus's file, if given; false (said once) when it fails.
    bool WriteMetricsFile();

    // The verdicts that have arrived, applied; the report of each applied one goes to
    // AOnReport with its list position.
    void ApplyVerdicts(const std::function<void(size_t AIndex, TCheckReport AReport)>& AOnReport);
    void Print(const TCheckReport& AReport);

    TCheckOptions FOptions;
    TMonitorList& FList;
    TWriter FWriter;
    TSystemCheckClock FClock;
    TVerdictQueue FVerdicts;
    TCheckEngine FEngine;
    TCheckSchedule FSchedule;
    // List positions by monitor, for names and for the order of the lines.
    std::unordered_map<const TServiceMonitor*, size_t> FIndex;
    bool FOutputFailed = false;
    std::vector<TMonitorMetrics> FMetrics;
    std::unordered_map<std::string, double> FUptimes;
    TMetricsServer* FServer = nullptr;
    // The last write of --prometheus failed.
    bool FMetricsFileFailed = false;
    // Verdicts applied since the last write of the file.
    bool FMetricsDirty = false;
    // List positions of the monitors whose checks were put off for a shortage since the last
    // look (RunOnce starts them again; the watch's ticks do that by themselves).
    std::vector<size_t> FPutOff;
};

// Writes AText to AFileName atomically: into a new file beside it, flushed to disk, then
// renamed over it, so a reader (node_exporter's textfile collector) sees the old text or the
// new one, never a part. A symbolic link is followed (FollowLinks) and its target replaced;
// anything but a regular file is refused. An empty text on success, otherwise why not.
std::string WriteFileAtomically(const std::string& AFileName, const std::string& AText);

// The whole program: arguments, the list, the run, and the exit status.
int VardexCheckMain(int AArgc, char** AArgv);
