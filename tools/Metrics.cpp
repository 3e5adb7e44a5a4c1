#include "tools/Metrics.h"

#include "tools/CheckReport.h"

#include <cstdio>
#include <set>
#include <tuple>

namespace {

// A sample value: integers as such, other values with millisecond precision (what the clocks
// behind them give).
std::string Value(double AValue)
{
    char Text[64];
    if (AValue == static_cast<double>(static_cast<int64_t>(AValue)))
        std::snprintf(Text, sizeof Text, "%lld", static_cast<long long>(AValue));
    else
        std::snprintf(Text, sizeof Text, "%.3f", AValue);
    return Text;
}

struct TFamily {
    const char* Name;
    // "gauge" or "counter"; a counter's name ends in "_total".
    const char* Type;
    const char* Help;
    // The value of a monitor's sample; false when it has none.
    bool (*Sample)(const TMonitorSample& AMonitor, double& AValue);
};

const TFamily Families[] = {
    { "vardex_up", "gauge", "Whether the monitor's last check succeeded (1) or failed (0).",
        [](const TMonitorSample& A, double& V) { return V = A.Up ? 1 : 0, true; } },
    { "vardex_check_duration_seconds", "gauge", "How long the monitor's last check took.",
        [](const TMonitorSample& A, double& V) { return V = A.DurationSeconds, true; } },
    { "vardex_last_check_timestamp_seconds", "gauge", "When the monitor's last finished check started.",
        [](const TMonitorSample& A, double& V) { return V = A.LastCheck, true; } },
    { "vardex_last_success_timestamp_seconds", "gauge",
        "When the monitor's last successful check ended; 0 when none has succeeded since the start.",
        [](const TMonitorSample& A, double& V) { return V = A.LastSuccess, true; } },
    { "vardex_certificate_expiry_timestamp_seconds", "gauge",
        "When the earliest certificate of the https server's verified chain expires, as its last check saw "
        "it.",
        [](const TMonitorSample& A, double& V) {
            return V = static_cast<double>(A.CertificateExpiry), A.CertificateExpiry != 0;
        } },
    { "vardex_checks_total", "counter", "Checks of the monitor this process has finished.",
        [](const TMonitorSample& A, double& V) { return V = static_cast<double>(A.Checks), true; } },
    { "vardex_check_errors_total", "counter",
        "Checks of the monitor this process has finished with an error.",
        [](const TMonitorSample& A, double& V) { return V = static_cast<double>(A.Errors), true; } },
};

} // namespace

const char* MetricsContentType(TMetricsFormat AFormat)
{
    return AFormat == TMetricsFormat::mfOpenMetrics
        ? "application/openmetrics-text; version=1.0.0; charset=utf-8"
        : "text/plain; version=0.0.4; charset=utf-8";
}

TMetricsFormat MetricsFormatFor(std::string_view AAccept)
{
    return AAccept.find("application/openmetrics-text") != std::string_view::npos
        ? TMetricsFormat::mfOpenMetrics
        : TMetricsFormat::mfPrometheus;
}

std::string EscapeLabelValue(std::string_view AText)
{
    std::string Result;
    Result.reserve(AText.size());
    for (const char C : AText) {
        if (C == '\\')
            Result += "\\\\";
        else if (C == '"')
            Result += "\\\"";
        else if (C == '\n')
            Result += "\\n";
        else
            Result.push_back(C);
    }
    return Result;
}

std::string MetricsText(const TMetricsSnapshot& ASnapshot, TMetricsFormat AFormat)
{
    // The label set of each monitor, made once; duplicates numbered in list order.
    std::vector<std::string> Labels;
    Labels.reserve(ASnapshot.Monitors.size());
    std::set<std::tuple<std::string, std::string, std::string>> Seen;
    for (const TMonitorSample& Monitor : ASnapshot.Monitors) {
        const std::string Kind = ValidUtf8(Monitor.Kind);
        const std::string Target = ValidUtf8(Monitor.Target);
        std::string Name = ValidUtf8(Monitor.Name);
        for (int Copy = 2; !Seen.emplace(Name, Kind, Target).second; ++Copy)
            Name = ValidUtf8(Monitor.Name) + " #" + std::to_string(Copy);
        Labels.push_back("{monitor=\"" + EscapeLabelValue(Name) + "\",kind=\"" + EscapeLabelValue(Kind)
            + "\",target=\"" + EscapeLabelValue(Target) + "\"}");
    }

    std::string Text;
    Text.reserve(ASnapshot.Monitors.size() * 700 + 1024);
    // A counter's family is named without "_total" in OpenMetrics, with it in the older format.
    const bool Open = AFormat == TMetricsFormat::mfOpenMetrics;
    for (const TFamily& Family : Families) {
        std::string Name = Family.Name;
        if (Open && std::string_view(Family.Type) == "counter")
            Name.resize(Name.size() - 6);
        Text += "# HELP " + Name + ' ' + Family.Help + '\n';
        Text += "# TYPE " + Name + ' ' + Family.Type + '\n';
        for (size_t I = 0; I < ASnapshot.Monitors.size(); ++I) {
            double Sample = 0;
            if (Family.Sample(ASnapshot.Monitors[I], Sample))
                Text += Family.Name + Labels[I] + ' ' + Value(Sample) + '\n';
        }
        // After the checks, the one count of the process itself: checks put off for a shortage
        // of the checker's own, which belong to no monitor's verdict.
        if (std::string_view(Family.Name) != "vardex_checks_total")
            continue;
        Text += "# HELP vardex_checks_postponed" + std::string(Open ? "" : "_total")
            + " Checks put off for want of file descriptors, threads or memory, each tried again at the next "
              "tick.\n";
        Text += "# TYPE vardex_checks_postponed" + std::string(Open ? "" : "_total") + " counter\n";
        Text += "vardex_checks_postponed_total " + std::to_string(ASnapshot.Postponed) + '\n';
    }
    if (ASnapshot.ReloadSuccessTime > 0) {
        Text += "# HELP vardex_config_last_reload_successful Whether the last reading of the monitor list "
                "was taken (1) or refused, keeping the list before it (0).\n"
                "# TYPE vardex_config_last_reload_successful gauge\n"
                "vardex_config_last_reload_successful "
            + std::string(ASnapshot.ReloadSuccessful ? "1" : "0")
            + "\n# HELP vardex_config_last_reload_success_timestamp_seconds When the monitor list was last "
              "read and taken.\n"
              "# TYPE vardex_config_last_reload_success_timestamp_seconds gauge\n"
              "vardex_config_last_reload_success_timestamp_seconds "
            + Value(ASnapshot.ReloadSuccessTime) + '\n';
    }
    if (Open)
        Text += "# EOF\n";
    return Text;
}
