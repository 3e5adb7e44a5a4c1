#include "tools/Metrics.h"

#include "tools/CheckReport.h"

#include <algorithm>
#include <cstdio>
#include <dirent.h>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>
#include <sys/resource.h>
#include <tuple>
#include <unistd.h>

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

TProcessFigures ReadProcessFigures()
{
    TProcessFigures Figures;
    rusage Usage {};
    if (getrusage(RUSAGE_SELF, &Usage) == 0)
        Figures.CpuSeconds = double(Usage.ru_utime.tv_sec + Usage.ru_stime.tv_sec)
            + double(Usage.ru_utime.tv_usec + Usage.ru_stime.tv_usec) / 1e6;
    const long Page = sysconf(_SC_PAGESIZE);
    const long Ticks = sysconf(_SC_CLK_TCK);
    std::ifstream Statm("/proc/self/statm");
    double Size = 0;
    double Resident = 0;
    if (Statm >> Size >> Resident && Page > 0)
        Figures.ResidentBytes = Resident * double(Page);
    // The start, in ticks after the boot: the 22nd field, after the name in parentheses
    // (which may hold blanks and parentheses itself).
    std::ifstream StatFile("/proc/self/stat");
    const std::string Stat((std::istreambuf_iterator<char>(StatFile)), std::istreambuf_iterator<char>());
    std::ifstream System("/proc/stat");
    std::string Line;
    double Boot = -1;
    while (std::getline(System, Line))
        if (Line.rfind("btime ", 0) == 0)
            Boot = std::stod(Line.substr(6));
    if (const size_t Close = Stat.rfind(')'); Close != std::string::npos && Boot >= 0 && Ticks > 0) {
        std::istringstream Fields(Stat.substr(Close + 2));
        std::string Field;
        for (int I = 3; I <= 22 && Fields >> Field; ++I)
            if (I == 22)
                Figures.StartTime = Boot + std::stod(Field) / double(Ticks);
    }
    if (DIR* Fds = opendir("/proc/self/fd")) {
        double Count = 0;
        while (const dirent* Entry = readdir(Fds))
            Count += Entry->d_name[0] != '.';
        // Less the descriptor that reads the folder.
        Figures.OpenFds = Count - 1;
        closedir(Fds);
    }
    rlimit Limit {};
    if (getrlimit(RLIMIT_NOFILE, &Limit) == 0)
        Figures.MaxFds = Limit.rlim_cur == RLIM_INFINITY ? -1 : double(Limit.rlim_cur);
    return Figures;
}

bool ValidConstantLabel(const std::string& AName)
{
    if (AName.empty() || AName.rfind("__", 0) == 0 || AName == "monitor" || AName == "kind"
        || AName == "target" || AName == "version" || (AName[0] >= '0' && AName[0] <= '9'))
        return false;
    return AName.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_")
        == std::string::npos;
}

namespace {

// One family of one sample, with its HELP and TYPE lines, for the process's own figures.
void AddSingle(std::string& AText, const char* AName, const char* AType, const char* AHelp,
    const std::string& ALabels, double AValue)
{
    AText += std::string("# HELP ") + AName + ' ' + AHelp + "\n# TYPE " + AName + ' ' + AType + '\n' + AName
        + ALabels + ' ' + Value(AValue) + '\n';
}

void AddProcessFigures(std::string& AText, const std::string& ALabels, bool AOpen)
{
    const TProcessFigures Figures = ReadProcessFigures();
    // A counter's family is named without "_total" in OpenMetrics.
    if (Figures.CpuSeconds >= 0) {
        const char* Family = AOpen ? "process_cpu_seconds" : "process_cpu_seconds_total";
        AText += std::string("# HELP ") + Family
            + " Total user and system CPU time spent in seconds.\n# TYPE " + Family
            + " counter\nprocess_cpu_seconds_total" + ALabels + ' ' + Value(Figures.CpuSeconds) + '\n';
    }
    if (Figures.ResidentBytes >= 0)
        AddSingle(AText, "process_resident_memory_bytes", "gauge", "Resident memory size in bytes.", ALabels,
            Figures.ResidentBytes);
    if (Figures.OpenFds >= 0)
        AddSingle(
            AText, "process_open_fds", "gauge", "Number of open file descriptors.", ALabels, Figures.OpenFds);
    if (Figures.MaxFds >= 0)
        AddSingle(AText, "process_max_fds", "gauge", "Maximum number of open file descriptors.", ALabels,
            Figures.MaxFds);
    if (Figures.StartTime >= 0)
        AddSingle(AText, "process_start_time_seconds", "gauge",
            "Start time of the process since unix epoch in seconds.", ALabels, Figures.StartTime);
}

} // namespace

std::string MetricsText(const TMetricsSnapshot& ASnapshot, TMetricsFormat AFormat, bool AProcess)
{
    // The constant labels, first in every label set.
    std::string Constant;
    for (const auto& Label : ASnapshot.ConstantLabels)
        Constant += Label.first + "=\"" + EscapeLabelValue(ValidUtf8(Label.second)) + "\",";
    // The label set of a series that belongs to no monitor.
    const std::string Plain = Constant.empty() ? "" : "{" + Constant.substr(0, Constant.size() - 1) + "}";
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
        Labels.push_back("{" + Constant + "monitor=\"" + EscapeLabelValue(Name) + "\",kind=\""
            + EscapeLabelValue(Kind) + "\",target=\"" + EscapeLabelValue(Target) + "\"}");
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
            if (!ASnapshot.Monitors[I].Misconfigured && Family.Sample(ASnapshot.Monitors[I], Sample))
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
        Text += "vardex_checks_postponed_total" + Plain + ' ' + std::to_string(ASnapshot.Postponed) + '\n';
    }
    // Only where the list has such a monitor: a sound list's metrics are as they always were.
    if (std::any_of(ASnapshot.Monitors.begin(), ASnapshot.Monitors.end(),
            [](const TMonitorSample& AMonitor) { return AMonitor.Misconfigured; })) {
        Text += "# HELP vardex_monitor_misconfigured A value of the monitor's settings is one its key cannot "
                "take: it is not checked until the list is mended.\n"
                "# TYPE vardex_monitor_misconfigured gauge\n";
        for (size_t I = 0; I < ASnapshot.Monitors.size(); ++I)
            if (ASnapshot.Monitors[I].Misconfigured)
                Text += "vardex_monitor_misconfigured" + Labels[I] + " 1\n";
    }
    if (ASnapshot.ReloadSuccessTime > 0) {
        Text += "# HELP vardex_config_last_reload_successful Whether the last reading of the monitor list "
                "was taken (1) or refused, keeping the list before it (0).\n"
                "# TYPE vardex_config_last_reload_successful gauge\n"
                "vardex_config_last_reload_successful"
            + Plain + (ASnapshot.ReloadSuccessful ? " 1" : " 0")
            + "\n# HELP vardex_config_last_reload_success_timestamp_seconds When the monitor list was last "
              "read and taken.\n"
              "# TYPE vardex_config_last_reload_success_timestamp_seconds gauge\n"
              "vardex_config_last_reload_success_timestamp_seconds"
            + Plain + ' ' + Value(ASnapshot.ReloadSuccessTime) + '\n';
    }
    if (!ASnapshot.Version.empty())
        Text += "# HELP vardex_build_info The version of vardex-check; the value is always 1.\n"
                "# TYPE vardex_build_info gauge\n"
                "vardex_build_info{"
            + Constant + "version=\"" + EscapeLabelValue(ASnapshot.Version) + "\"} 1\n";
    if (AProcess)
        AddProcessFigures(Text, Plain, Open);
    if (Open)
        Text += "# EOF\n";
    return Text;
}
