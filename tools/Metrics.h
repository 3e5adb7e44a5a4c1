// The state of the monitors as metrics in the text formats that Prometheus scrapes: its own
// text exposition format (version 0.0.4) and OpenMetrics 1.0, which it asks for first.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// One half hour of one monitor's checks (THeartbeat keeps them).
struct THeartbeatCell {
    int64_t StartMs = 0; // Unix milliseconds
    uint32_t Checks = 0;
    uint32_t Failures = 0;
    // The nearest-rank median of the successful checks' response times; -1 with none.
    int64_t MedianMs = -1;

    bool operator==(const THeartbeatCell&) const = default;
};

// A monitor's cells, oldest first, the last one the half hour that is running.
using THeartbeatCells = std::vector<THeartbeatCell>;

// One checked monitor. Times are Unix seconds.
struct TMonitorSample {
    std::string Name;
    std::string Kind; // "PingMonitor" or "WebMonitor"
    std::string Target; // the host, or the URL with its password masked
    bool Up = false;
    double DurationSeconds = 0;
    double LastCheck = 0; // the start of the last finished check
    double LastSuccess = 0; // the end of the last successful one; 0 for never
    int64_t CertificateExpiry = 0; // the earliest notAfter of an https server; 0 when unknown
    uint64_t Checks = 0; // the checks of it this process has finished
    uint64_t Errors = 0; // of them, the ones that ended in an error
    std::string Reason; // why the last check failed; empty after a success
    double StatusSince = 0; // the start of the first check of the run of its present status
    double Uptime24h = -1; // the share of successful checks over 24 hours in percent; -1: unknown
    // Not checked at all: a value of its settings is one its key cannot take (Reason says
    // which). It has no vardex_up and no other figure, only vardex_monitor_misconfigured 1.
    bool Misconfigured = false;
    // Its last 24 hours in half hours, for the status page; null where nobody keeps them.
    std::shared_ptr<const THeartbeatCells> Heartbeat;
};

// What a scrape shows: the monitors checked so far, in list order; for the status page, how
// many the list holds in all.
struct TMetricsSnapshot {
    std::vector<TMonitorSample> Monitors;
    size_t Listed = 0;
    std::string ListName;
    // Checks put off for want of descriptors, threads or memory (tried again at the next tick).
    uint64_t Postponed = 0;
    // While watching: whether the last reading of the list (at the start, or at a SIGHUP) was
    // taken, and when one last was, Unix seconds; 0 for a single pass, which shows neither.
    bool ReloadSuccessful = true;
    double ReloadSuccessTime = 0;
    // Labels given to every series (--label NAME=VALUE), in the order given; names checked.
    std::vector<std::pair<std::string, std::string>> ConstantLabels;
    // The program's version, for vardex_build_info; empty for none.
    std::string Version;
};

enum class TMetricsFormat { mfPrometheus, mfOpenMetrics };

// The media types of the two formats, as sent in Content-Type.
const char* MetricsContentType(TMetricsFormat AFormat);

// The format a scraper asks for in its Accept header: OpenMetrics when it names it, the
// Prometheus text format otherwise.
TMetricsFormat MetricsFormatFor(std::string_view AAccept);

// The exposition. Every family comes with its HELP and TYPE lines; label values are valid
// UTF-8 with '\', '"' and line feeds escaped. Monitors that would give the same labels (names
// need not be unique) get " #2", " #3", ... after the name, so a scrape never holds a series
// twice, which would make Prometheus refuse all of it.
// With AProcess, the process_* figures of this process come too, read as the text is made:
// what every exporter serves, but not what a file for another exporter's collector may hold.
std::string MetricsText(const TMetricsSnapshot& ASnapshot, TMetricsFormat AFormat, bool AProcess = false);

// This process's figures as Prometheus's clients name them, all from /proc and getrlimit; each
// -1 when it cannot be read.
struct TProcessFigures {
    double CpuSeconds = -1; // user and system time
    double ResidentBytes = -1;
    double OpenFds = -1;
    double MaxFds = -1; // the soft limit
    double StartTime = -1; // Unix seconds
};
TProcessFigures ReadProcessFigures();

// Whether ANAME may be a constant label: a Prometheus label name, not reserved ("__..."), and
// none of the labels the monitors' series carry.
bool ValidConstantLabel(const std::string& AName);

// AText in a label value: '\' as "\\", '"' as "\"", a line feed as "\n".
std::string EscapeLabelValue(std::string_view AText);
