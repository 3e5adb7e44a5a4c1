// What the chart costs the window's thread, offscreen: a verdict of the selected monitor adds
// one point and repaints. Measured with a full day of checks every 10 s (8640 points) and
// every 1 s (86,400), as the median and the longest of 100 such steps; and the chart's load
// when the selection changes, from a file with 30 days of checks every 10 s.
#include "app/HistoryChart.h"

#include <QApplication>
#include <QImage>
#include <QPainter>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <vector>

namespace {

using TClock = std::chrono::steady_clock;

double Ms(TClock::time_point AFrom)
{
    return std::chrono::duration<double, std::milli>(TClock::now() - AFrom).count();
}

void Report(const char* AWhat, std::vector<double> ATimes)
{
    std::sort(ATimes.begin(), ATimes.end());
    std::printf("%s: median %.2f ms, longest %.2f ms\n", AWhat, ATimes[ATimes.size() / 2], ATimes.back());
}

} // namespace

int main(int AArgc, char** AArgv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication App(AArgc, AArgv);
    const int64_t Now = HistoryNowMs();
    THistoryChart Chart;
    Chart.resize(480, 320);
    QImage Target(Chart.size(), QImage::Format_ARGB32_Premultiplied);

    for (const int64_t Interval : { int64_t(10000), int64_t(1000) }) {
        std::vector<THistoryPoint> Points;
        for (int64_t At = Now - THistoryChart::DayMs; At < Now; At += Interval)
            Points.push_back({ At, (At / Interval) % 97 != 0, 5 + (At / Interval) % 40, "" });
        Chart.SetPoints(std::move(Points), Now);
        std::vector<double> Times;
        int64_t At = Now;
        for (int I = 0; I < 100; ++I) {
            At += Interval;
            const auto Start = TClock::now();
            Chart.AddPoint({ At, I % 13 != 0, 20, "" }, At);
            Chart.render(&Target);
            Times.push_back(Ms(Start));
        }
        char What[128];
        std::snprintf(What, sizeof What, "a verdict drawn, a day at interval %lld s (%zu points)",
            static_cast<long long>(Interval / 1000), Chart.Points().size());
        Report(What, Times);
    }

    char Name[] = "/tmp/vardex-bench-chart-XXXXXX";
    if (!mkdtemp(Name))
        return 1;
    const std::string File = std::string(Name) + "/history.sqlite";
    {
        THistoryRecorder Recorder(File, [Now] { return Now; });
        Recorder.SetQueueLimit(300000);
        Recorder.Start();
        for (int64_t At = Now - 30 * THistoryChart::DayMs; At < Now; At += 10000)
            Recorder.Record({ "/l", "web", At, (At / 10000) % 97 != 0, 5 + (At / 10000) % 40, "" });
        Recorder.Flush(std::chrono::minutes(5));
    }
    THistoryReader Reader(File);
    std::vector<double> Times;
    for (int I = 0; I < 9; ++I) {
        const auto Start = TClock::now();
        Chart.Load(Reader, "/l", "web", Now);
        Chart.render(&Target);
        Times.push_back(Ms(Start));
    }
    Report("a selection loaded and drawn, 30 days at interval 10 s", Times);
    std::error_code Ignored;
    std::filesystem::remove_all(Name, Ignored);
    return 0;
}
