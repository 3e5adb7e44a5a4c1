// The status page of vardex-check --serve: one HTML page, rendered on the server, for a person
// with a browser (a phone included). It needs no script: it asks the browser to load it again
// every RefreshSeconds.
#pragma once

#include "tools/Metrics.h"

#include <string>
#include <string_view>

constexpr int StatusPageRefreshSeconds = 10;

// The page for ASnapshot at ANow (Unix seconds): the monitors that are down first, then those
// that are up, each group in list order, with how long each has been so, the reason of its
// last failure, its last response time, when known its uptime over 24 hours, and where kept
// its last 24 hours as 48 bars of half an hour (green: every check OK, red: any failed, grey:
// none), each with a tooltip, and a line of their median response times. Every text from the
// list or a server is escaped.
std::string StatusPage(const TMetricsSnapshot& ASnapshot, double ANow);

// AText for HTML text and attribute values: & < > " ' as character references, and each byte
// that is not valid UTF-8 as U+FFFD.
std::string EscapeHtml(std::string_view AText);

// "2026-12-08 14:00–14:30: 180 checks, 2 failed, median 41 ms" in local time, or "...: no
// check": the tooltip of a cell of the status page's bars.
std::string HeartbeatCellText(const THeartbeatCell& ACell);

// A span of seconds for a person: "45 s", "12 min", "3 h 5 min", "2 d 4 h".
std::string SpanText(double ASeconds);
