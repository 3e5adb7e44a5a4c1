// The status page of vardex-check --serve with 1000 monitors, each with its 48 half-hour bars
// and their line of response times: how long one rendering takes (it happens on the serving
// thread for every request of the page) and how large the page is (target: under 100 ms).
#include "tools/StatusPage.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <vector>

int main()
{
    constexpr int Monitors = 1000;
    constexpr int64_t Half = 30 * 60 * 1000;
    const int64_t Now = 1796738400000;
    TMetricsSnapshot Snapshot;
    Snapshot.ListName = "/etc/vardex/services.cfg";
    Snapshot.Listed = Monitors;
    for (int I = 0; I < Monitors; ++I) {
        TMonitorSample Sample;
        Sample.Name = "Monitor " + std::to_string(I);
        Sample.Kind = "WebMonitor";
        Sample.Target = "https://service-" + std::to_string(I) + ".example/health";
        Sample.Up = I % 10 != 0;
        Sample.Reason = Sample.Up ? "" : "Socket Error # 10061 Connection refused.";
        Sample.StatusSince = static_cast<double>(Now) / 1000 - I;
        Sample.Uptime24h = 99.5;
        auto Cells = std::make_shared<THeartbeatCells>();
        for (int C = 0; C < 48; ++C)
            Cells->push_back(
                { Now - (47 - C) * Half, 180, static_cast<uint32_t>((I + C) % 17 == 0), 20 + (I * C) % 90 });
        Sample.Heartbeat = std::move(Cells);
        Snapshot.Monitors.push_back(std::move(Sample));
    }
    std::vector<double> Times;
    size_t Bytes = 0;
    for (int Run = 0; Run < 15; ++Run) {
        const auto Start = std::chrono::steady_clock::now();
        const std::string Page = StatusPage(Snapshot, static_cast<double>(Now) / 1000);
        Times.push_back(
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - Start).count());
        Bytes = Page.size();
    }
    std::sort(Times.begin(), Times.end());
    const double Median = Times[Times.size() / 2];
    std::printf(
        "status page of %d monitors with 48 bars each: %.1f ms median of %zu, %.1f MiB (target under 100 "
        "ms: %s)\n",
        Monitors, Median, Times.size(), static_cast<double>(Bytes) / (1 << 20),
        Median < 100 ? "met" : "MISSED");
    return Median < 100 ? 0 : 1;
}
