#include "tools/StatusPage.h"

#include "tools/CheckReport.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
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
tr.off td.status{color:#fff;background:#757575}
.target{display:block;color:#666;font-size:.85em;word-break:break-all}
.num{white-space:nowrap}
.bar{display:flex;gap:1px;min-width:12em;height:1.5em}
.bar i{flex:1;background:#cfcfcf;border-radius:1px}
.bar i.ok{background:#2e7d32}
.bar i.fail{background:#c62828}
svg.spark{display:block;width:100%;height:1.2em;margin-top:.2em}
svg.spark polyline{fill:none;stroke:#1565c0;stroke-width:1.5;vector-effect:non-scaling-stroke}
@media (max-width:640px){
 thead{display:none}
 table,tbody,tr,td{display:block;width:auto}
 tr{margin-bottom:.8em;border:1px solid #ddd}
 td{border:0;padding:.25em .6em}
 td[data-label]::before{content:attr(data-label) ": ";color:#666;font-size:.85em}
 td.reason:empty{display:none}
 .bar{min-width:0}
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

// The cells as a row of bars, each with its tooltip, and a line of their median response
// times under it when two or more have one.
std::string HeartbeatHtml(const THeartbeatCells& ACells)
{
    std::string Html = "<span class=\"bar\">";
    int64_t Slowest = 0;
    for (const THeartbeatCell& Cell : ACells) {
        const char* Class = Cell.Checks == 0 ? "none" : Cell.Failures > 0 ? "fail" : "ok";
        Html += std::string("<i class=\"") + Class + "\" title=\"" + EscapeHtml(HeartbeatCellText(Cell))
            + "\"></i>";
        Slowest = std::max(Slowest, Cell.MedianMs);
    }
    Html += "</span>";
    std::string Points;
    int Count = 0;
    for (size_t I = 0; I < ACells.size(); ++I) {
        if (ACells[I].MedianMs < 0)
            continue;
        const double Y = Slowest > 0 ? 15.0 - 14.0 * static_cast<double>(ACells[I].MedianMs) / Slowest : 15;
        char Point[48];
        std::snprintf(Point, sizeof Point, "%s%zu,%.1f", Count > 0 ? " " : "", I, Y);
        Points += Point;
        ++Count;
    }
    if (Count >= 2)
        Html += "<svg class=\"spark\" viewBox=\"0 0 " + std::to_string(ACells.size() - 1)
            + " 16\" preserveAspectRatio=\"none\"><title>Median response time, up to "
            + std::to_string(Slowest) + " ms</title><polyline points=\"" + Points + "\"/></svg>";
    return Html;
}

} // namespace

std::string HeartbeatCellText(const THeartbeatCell& ACell)
{
    const auto Local = [](int64_t AMs, const char* AFormat) {
        const time_t When = static_cast<time_t>(AMs / 1000);
        struct tm Parts { };
        localtime_r(&When, &Parts);
        char Text[32];
        std::strftime(Text, sizeof Text, AFormat, &Parts);
        return std::string(Text);
    };
    std::string Text = Local(ACell.StartMs, "%Y-%m-%d %H:%M") + "\u2013"
        + Local(ACell.StartMs + 30 * 60 * 1000, "%H:%M") + ": ";
    if (ACell.Checks == 0)
        return Text + "no check";
    Text += std::to_string(ACell.Checks) + (ACell.Checks == 1 ? " check, " : " checks, ")
        + std::to_string(ACell.Failures) + " failed";
    if (ACell.MedianMs >= 0)
        Text += ", median " + std::to_string(ACell.MedianMs) + " ms";
    return Text;
}

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
    // Down first, then the monitors not checked for a value their keys cannot take, then up.
    const auto Rank = [](const TMonitorSample* A) { return A->Misconfigured ? 1 : A->Up ? 2 : 0; };
    std::stable_sort(Order.begin(), Order.end(),
        [&Rank](const TMonitorSample* A, const TMonitorSample* B) { return Rank(A) < Rank(B); });
    const auto Count = [&Order, &Rank](int ARank) {
        return static_cast<size_t>(std::count_if(
            Order.begin(), Order.end(), [&](const TMonitorSample* A) { return Rank(A) == ARank; }));
    };
    const size_t Down = Count(0), Misconfigured = Count(1), Up = Count(2);

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
    Page += std::to_string(Down) + " down, " + std::to_string(Up) + " up";
    if (Misconfigured > 0)
        Page += ", " + std::to_string(Misconfigured) + " not checked for a value their keys cannot take";
    if (Order.size() < ASnapshot.Listed)
        Page += ", " + std::to_string(ASnapshot.Listed - Order.size()) + " not checked yet";
    Page += ". This page reloads every " + std::to_string(StatusPageRefreshSeconds)
        + " s.</p>\n<table>\n<thead><tr><th>Status</th><th>Monitor</th><th>For</th><th>Last reason</th>"
          "<th>Response</th><th>Uptime 24 h</th><th>Last 24 h</th></tr></thead>\n<tbody>\n";
    for (const TMonitorSample* Monitor : Order) {
        const char* Class = Monitor->Misconfigured ? "off" : Monitor->Up ? "up" : "down";
        Page += std::string("<tr class=\"") + Class + "\"><td class=\"status\">"
            + (Monitor->Misconfigured ? "NOT CHECKED"
                    : Monitor->Up     ? "UP"
                                      : "DOWN")
            + "</td><td class=\"monitor\"><b>" + EscapeHtml(Monitor->Name) + "</b><span class=\"target\">"
            + EscapeHtml(Monitor->Kind) + " " + EscapeHtml(Monitor->Target) + "</span></td>";
        if (Monitor->Misconfigured) {
            Page += "<td class=\"num\" data-label=\"For\">&ndash;</td><td class=\"reason\" data-label=\"Last "
                    "reason\">"
                + EscapeHtml(Monitor->Reason) + "</td><td></td><td></td><td></td></tr>\n";
            continue;
        }
        Page += "<td class=\"num\" data-label=\"For\">" + SpanText(ANow - Monitor->StatusSince) + "</td>";
        Page += "<td class=\"reason\" data-label=\"Last reason\">" + EscapeHtml(Monitor->Reason) + "</td>";
        Page += "<td class=\"num\" data-label=\"Response\">" + Milliseconds(Monitor->DurationSeconds)
            + "</td>";
        Page += "<td class=\"num\" data-label=\"Uptime 24 h\">"
            + (Monitor->Uptime24h >= 0 ? Percent(Monitor->Uptime24h) : std::string("&ndash;")) + "</td>";
        Page += "<td class=\"beats\" data-label=\"Last 24 h\">"
            + (Monitor->Heartbeat ? HeartbeatHtml(*Monitor->Heartbeat) : std::string("&ndash;"))
            + "</td></tr>\n";
    }
    Page += "</tbody>\n</table>\n</body></html>\n";
    return Page;
}
