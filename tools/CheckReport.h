// What vardex-check prints about one finished check: a tab-separated line, or one JSON object
// on a line, for scripts.
#pragma once

#include "monitors/Monitors.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// The facts about one check, as printed.
struct TCheckReport {
    TDateTime Started = 0; // the stamp taken when the check started
    std::string Name;
    std::string Kind; // the type key: "PingMonitor" or "WebMonitor"
    std::string Target; // the host of a ping monitor, the URL of a web monitor (MaskURL)
    TMonitorStatus Status = msNone;
    int64_t Milliseconds = 0;
    std::string Reason; // why an ERROR check failed, or why the monitor was not checked
    // Not checked, for a value its key cannot take: "NOT CHECKED" stands for the status.
    bool NotChecked = false;
    // Whole days until the earliest certificate of an https server expires, when the check
    // read them (rounded down, negative once expired).
    std::optional<int64_t> CertDays;
};

// The facts of AMonitor after a check that took AMilliseconds.
TCheckReport MakeCheckReport(
    const std::string& AName, const TServiceMonitor& AMonitor, int64_t AMilliseconds);

// The status as the line and JSON say it: OK, ERROR or NOT CHECKED.
const char* ReportStatusWord(const TCheckReport& AReport);

// AText with each byte that is not part of valid UTF-8 replaced by U+FFFD.
std::string ValidUtf8(std::string_view AText);

// AText on one line: every run of CR and LF becomes one blank, every tab a blank, so that a
// field never breaks a line or shifts the columns after it.
std::string OneLine(std::string_view AText);

// AText safe for a terminal: every control character becomes "\xNN" (C1 controls written in
// UTF-8 "\u00NN"), and so does each byte that is not part of valid UTF-8, so that no text of
// a server (an ESC sequence in a status line) can retitle, clear or recolour the screen.
std::string TerminalText(std::string_view AText);

// "YYYY-MM-DD HH:MM:SS", local time; empty for 0.
std::string StampText(TDateTime AValue);

// AText as a JSON string literal, quotes included: '"', '\' and control characters escaped,
// valid UTF-8 passed through as it is, and each byte that is not part of a valid UTF-8
// sequence replaced by U+FFFD, so that the output is always valid JSON.
std::string JsonString(std::string_view AText);

// NAME, KIND, TARGET, STATUS, MS and REASON separated by tabs (REASON empty unless ERROR),
// then CERT_DAYS when known, after the start time and a tab when AWithTime is set; no line
// end.
std::string ReportLine(const TCheckReport& AReport, bool AWithTime);

// {"name":..,"kind":..,"target":..,"status":..,"ms":..,"reason":..}, with "time" first when
// AWithTime is set and "cert_days" last when known; no line end.
std::string ReportJson(const TCheckReport& AReport, bool AWithTime);
