// vardex-check's use of the check history: --report prints what the history says about each
// monitor of a list, --history records the checks the run makes.
#pragma once

#include "history/History.h"
#include "tools/CheckOptions.h"
#include "tools/CheckReport.h"

#include <cstdint>
#include <string>

// A span such as "90s", "30m", "24h" or "7d" (a positive whole number and one unit) in
// milliseconds; false for anything else.
bool ParseSpan(const std::string& AText, int64_t& AMs);

// One monitor's figures as a line: NAME, CHECKS, FAILURES, UPTIME (percent, two decimals),
// P50 and P95 (ms; empty without a successful check), separated by tabs; no line end.
std::string SummaryLine(const THistorySummary& ASummary);
// {"name":..,"checks":..,"failures":..,"uptime":..,"p50":..,"p95":..}, null for a missing
// percentile; no line end.
std::string SummaryJson(const THistorySummary& ASummary);

// --report: what the history says about the monitors of the list AListKey over the span
// AOptions give, a line (or JSON object) per monitor on standard output; the exit status.
int RunHistoryReport(const TCheckOptions& AOptions, const std::string& AListKey);
