#include "tools/StatusPage.h"

#include "tools/CheckReport.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <vector>

namespace {

// Narrow screens get one monitor a block instead of a table row: a phone shows the whole page
// without sideways scrolling.
constexpr const char* Style = R"(
body{font-family:system-ui,sans-serif;margin:0;padding:1em;color:#1b1b1b;background:#fafafa}
h1{font-size:1.3em;margin:0 0 .3em}
p.summary{margin:0 0 1em;color:#555}
table{border-collapse:collapse;width:100%;background:#fff}
th,td{text-align:left;padding:.45em .6em;border-bottom:1px solid #ddd;vertical-align:top}
th{font-size:.85em;color:#555}
td.status{font-weight:bold;white-space:nowrap}
tr.down td.status{color:#fff;background:#c62828}
tr.up td.status{color:#fff;background:#2e7d32}
.target{display:block;color:#666;font-size:.85em;word-break:break-all}
.num{white-space:nowrap}
@media (max-width:640px){
 thead{display:none}
 table,tbody,tr,td{display:block;width:auto}
 tr{margin-bottom:.8em;border:1px solid #ddd}
 td{border:0;padding:.25em .6em}
 td[data-label]::before{content:attr(data-label) ": ";color:#666;font-size:.85em}
 td.reason:empty{display:none}
}
)";

std::string Milliseconds(double ASeconds)
{
    return std::to_string(std::llround(ASeconds * 1000)) + " ms";
}

std::string Percent(double AValue)
{
    char Text[32];
    std::snprintf(Text, sizeof Text, "%.2f %%", AValue);
    return Text;
}

} // namespace

std::string EscapeHtml(std::string_view AText)
{
    const std::string Valid = ValidUtf8(AText);
    std::string Result;
    Result.reserve(Valid.size());
    for (const char C : Valid) {
        switch (C) {
        case '&':
            Result += "&amp;";
            break;
        case '<':
            Result += "&lt;";
            break;
        case '>':
            Result += "&gt;";
            break;
        case '"':
            Result += "&quot;";
            break;
        case '\'':
            Result += "&#39;";
            break;
        default:
            Result.push_back(C);
        }
    }
    return Result;
}

std::string SpanText(double ASeconds)
{
    const int64_t S = std::max<int64_t>(0, static_cast<int64_t>(ASeconds));
    if (S < 60)
        return std::to_string(S) + " s";
    if (S < 3600)
        return std::to_string(S / 60) + " min";
    if (S < 86400)
        return std::to_string(S / 3600) + " h " + std::to_string(S % 3600 / 60) + " min";
    return std::to_string(S / 86400) + " d " + std::to_string(S % 86400 / 3600) + " h";
}

std::string StatusPage(const TMetricsSnapshot& ASnapshot, double ANow)
{
    std::vector<const TMonitorSample*> Order;
    Order.reserve(ASnapshot.Monitors.size());
    for (const TMonitorSample& Monitor : ASnapshot.Monitors)
        Order.push_back(&Monitor);
    std::stable_sort(Order.begin(), Order.end(),
        [](const TMonitorSample* A, const TMonitorSample* B) { return !A->Up && B->Up; });
    const size_t Down = static_cast<size_t>(
        std::count_if(Order.begin(), Order.end(), [](const TMonitorSample* A) { return !A->Up; }));

    std::string Page;
    Page.reserve(2048 + ASnapshot.Monitors.size() * 400);
    Page += "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">\n"
            "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
            "<meta http-equiv=\"refresh\" content=\""
        + std::to_string(StatusPageRefreshSeconds) + "\">\n<title>";
    Page += Down > 0 ? "(" + std::to_string(Down) + " down) " : std::string();
    Page += "Vardex: " + EscapeHtml(ASnapshot.ListName) + "</title>\n<style>" + Style
        + "</style></head>\n<body>\n";
    Page += "<h1>" + EscapeHtml(ASnapshot.ListName) + "</h1>\n<p class=\"summary\">";
    Page += std::to_string(Down) + " down, " + std::to_string(Order.size() - Down) + " up";
    if (Order.size() < ASnapshot.Listed)
        Page += ", " + std::to_string(ASnapshot.Listed - Order.size()) + " not checked yet";
    Page += ". This page reloads every " + std::to_string(StatusPageRefreshSeconds)
        + " s.</p>\n<table>\n<thead><tr><th>Status</th><th>Monitor</th><th>For</th><th>Last reason</th>"
          "<th>Response</th><th>Uptime 24 h</th></tr></thead>\n<tbody>\n";
    for (const TMonitorSample* Monitor : Order) {
        const char* Class = Monitor->Up ? "up" : "down";
        Page += std::string("<tr class=\"") + Class + "\"><td class=\"status\">"
            + (Monitor->Up ? "UP" : "DOWN") + "</td><td class=\"monitor\"><b>" + EscapeHtml(Monitor->Name)
            + "</b><span class=\"target\">" + EscapeHtml(Monitor->Kind) + " " + EscapeHtml(Monitor->Target)
            + "</span></td>";
        Page += "<td class=\"num\" data-label=\"For\">" + SpanText(ANow - Monitor->StatusSince) + "</td>";
        Page += "<td class=\"reason\" data-label=\"Last reason\">" + EscapeHtml(Monitor->Reason) + "</td>";
        Page += "<td class=\"num\" data-label=\"Response\">" + Milliseconds(Monitor->DurationSeconds)
            + "</td>";
        Page += "<td class=\"num\" data-label=\"Uptime 24 h\">"
            + (Monitor->Uptime24h >= 0 ? Percent(Monitor->Uptime24h) : std::string("&ndash;"))
            + "</td></tr>\n";
    }
    Page += "</tbody>\n</table>\n</body></html>\n";
    return Page;
}
