#include "tools/HistoryReport.h"

#include "tools/CheckOutput.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <sys/stat.h>
#include <vector>

bool ParseSpan(const std::string& AText, int64_t& AMs)
{
    if (AText.size() < 2)
        return false;
    int64_t Unit = 0;
    switch (AText.back()) {
    case 's':
        Unit = 1000;
        break;
    case 'm':
        Unit = 60000;
        break;
    case 'h':
        Unit = 3600000;
        break;
    case 'd':
        Unit = 86400000;
        break;
    default:
        return false;
    }
    int64_t Count = 0;
    for (size_t I = 0; I + 1 < AText.size(); ++I) {
        const char C = AText[I];
        if (C < '0' || C > '9')
            return false;
        if (Count > (std::numeric_limits<int64_t>::max() / Unit - (C - '0')) / 10)
            return false;
        Count = Count * 10 + (C - '0');
    }
    if (Count == 0)
        return false;
    AMs = Count * Unit;
    return true;
}

namespace {

std::string UptimeText(const THistorySummary& ASummary)
{
    char Text[32];
    std::snprintf(Text, sizeof Text, "%.2f", ASummary.Uptime());
    return Text;
}

std::string MsText(int64_t AValue, const char* ANone)
{
    return AValue < 0 ? ANone : std::to_string(AValue);
}

} // namespace

std::string SummaryLine(const THistorySummary& ASummary)
{
    return OneLine(ASummary.Monitor) + '\t' + std::to_string(ASummary.Checks) + '\t'
        + std::to_string(ASummary.Failures) + '\t' + UptimeText(ASummary) + '\t' + MsText(ASummary.P50, "")
        + '\t' + MsText(ASummary.P95, "");
}

std::string SummaryJson(const THistorySummary& ASummary)
{
    return "{\"name\":" + JsonString(ASummary.Monitor) + ",\"checks\":" + std::to_string(ASummary.Checks)
        + ",\"failures\":" + std::to_string(ASummary.Failures) + ",\"uptime\":" + UptimeText(ASummary)
        + ",\"p50\":" + MsText(ASummary.P50, "null") + ",\"p95\":" + MsText(ASummary.P95, "null") + "}";
}

int RunHistoryReport(const TCheckOptions& AOptions, const std::string& AListKey)
{
    // A report of a mistyped list, or of the wrong history, would print nothing and pass for
    // a list whose monitors were never checked: both are errors that say where they looked.
    struct stat Info { };
    if (::stat(AOptions.FileName.c_str(), &Info) != 0) {
        Complain("cannot open " + AOptions.FileName + ": " + std::strerror(errno));
        return CheckExitUsage;
    }
    const std::string HistoryFile = HistoryFileOf(AOptions);
    if (!HistoryFile.empty() && ::stat(HistoryFile.c_str(), &Info) != 0 && errno == ENOENT) {
        Complain("there is no check history yet (" + HistoryFile
            + " does not exist). Checks are recorded by the window, and by vardex-check with "
              "--history, for example: vardex-check --watch --history "
            + AOptions.FileName);
        return CheckExitUsage;
    }
    THistoryReader Reader(HistoryFile);
    const std::vector<THistorySummary> Summaries
        = Reader.Summaries(AListKey, HistoryNowMs() - AOptions.SinceMs);
    if (!Reader.Error().empty()) {
        Complain(Reader.Error());
        return CheckExitUsage;
    }
    if (Summaries.empty() && Reader.Latest(AListKey).empty() && Reader.Error().empty()) {
        Complain(HistoryFile + " holds no check of " + AListKey
            + " (the service keeps its history in /var/lib/vardex: --history-dir /var/lib/vardex)");
        return CheckExitUsage;
    }
    for (const THistorySummary& One : Summaries)
        if (!WriteOutput((AOptions.Json ? SummaryJson(One) : SummaryLine(One)) + "\n"))
            return CheckExitUsage;
    return CheckExitOK;
}
