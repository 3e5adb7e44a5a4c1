// What the chart costs the window's thread, offscreen: a verdict of the selected monitor adds
// one point and repaints. Measured with a full day of checks every 10 s (8640 points) and
// every 1 s (86,400), as the median and the longest of 100 such steps; and the chart's load
// when the selection changes, from a file with 30 days of checks every 10 s.
//
// Then the window's side under load, on its event loop: the verdicts of 1000 monitors at
// interval 10 (100 a second, one of them the selected monitor, its chart shown) go through
// the history object for VARDEX_BENCH_SECONDS seconds (default 60) each with the history on
// and off, interleaved in four runs; printed are the process's CPU share of each and the
// longest stall of the event loop (the largest gap between the ticks of a 1 ms timer, less
// the 1 ms).
#include "app/HistoryChart.h"
#include "app/MonitorHistory.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QImage>
#include <QPainter>
#include <QTimer>

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace {

using TClock = std::chrono::steady_clock;

double Ms(TClock::time_point AFrom)
{
    return std::chrono::duration<double, std::milli>(TClock::now() - AFrom).count();
}

double CpuSeconds()
{
    rusage U {};
    getrusage(RUSAGE_SELF, &U);
    return static_cast<double>(U.ru_utime.tv_sec + U.ru_stime.tv_sec)
        + static_cast<double>(U.ru_utime.tv_usec + U.ru_stime.tv_usec) / 1e6;
}

struct TNoNotifier : TDesktopNotifier {
    int Shown = 0;
    void Show(const TNotification&) override { ++Shown; }
};

struct TLoad {
    double CpuShare = 0;
    double LongestStallMs = 0;
};

// AMonitors' verdicts at 100 a second through a history object for ASeconds, monitor 0
// selected with its chart on screen.
TLoad RunLoad(const std::string& AFolder, bool AHistory, int ASeconds)
{
    constexpr int Count = 1000;
    std::vector<std::unique_ptr<TPingMonitor>> Monitors;
    for (int I = 0; I < Count; ++I)
        Monitors.push_back(std::make_unique<TPingMonitor>());
    TNoNotifier Notifier;
    THistoryChart Chart;
    Chart.resize(480, 320);
    Chart.show();
    TMonitorHistory::TOptions Options;
    Options.Settings.Enabled = AHistory;
    Options.Settings.FileName = AFolder + "/load.sqlite";
    TMonitorHistory History(&Chart, Notifier, Options);
    History.SetList(AFolder + "/default.cfg");
    History.Select(Monitors[0].get(), "monitor 0");

    QEventLoop Loop;
    QTimer Verdicts;
    int Next = 0;
    QObject::connect(&Verdicts, &QTimer::timeout, [&] {
        const int I = Next++ % Count;
        // Every 7th check of a monitor fails, so that its status changes now and then.
        const bool OK = (Next / Count) % 7 != 0 || I % 3 != 0;
        History.Finished(Monitors[static_cast<size_t>(I)].get(), "monitor " + std::to_string(I),
            OK ? msOK : msError, OK ? "" : "Socket Error # 10061 Connection refused.", Now(), 5 + I % 40);
    });
    QTimer Ticks;
    QElapsedTimer Since;
    double Longest = 0;
    QObject::connect(&Ticks, &QTimer::timeout, [&] {
        Longest = std::max(Longest, static_cast<double>(Since.nsecsElapsed()) / 1e6 - 1.0);
        Since.restart();
    });
    Ticks.setTimerType(Qt::PreciseTimer);
    Verdicts.setTimerType(Qt::PreciseTimer);
    const double Cpu = CpuSeconds();
    const auto Start = TClock::now();
    Verdicts.start(10);
    Ticks.start(1);
    Since.start();
    QTimer::singleShot(ASeconds * 1000, &Loop, &QEventLoop::quit);
    Loop.exec();
    const double Took = Ms(Start) / 1000.0;
    return { 100.0 * (CpuSeconds() - Cpu) / Took, Longest };
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

    int Seconds = 60;
    if (const char* Text = std::getenv("VARDEX_BENCH_SECONDS"))
        Seconds = std::max(4, std::atoi(Text));
    TLoad On, Off;
    for (int Round = 0; Round < 4; ++Round) {
        const TLoad One = RunLoad(Name, Round % 2 == 0, Seconds / 4);
        TLoad& Sum = Round % 2 == 0 ? On : Off;
        Sum.CpuShare += One.CpuShare / 2;
        Sum.LongestStallMs = std::max(Sum.LongestStallMs, One.LongestStallMs);
    }
    std::printf(
        "1000 monitors at interval 10, one selected with its chart shown, %d s each way: history on "
        "%.2f %% of one core, off %.2f %% (%.2fx); longest event-loop stall on %.1f ms, off %.1f ms\n",
        Seconds / 2, On.CpuShare, Off.CpuShare, Off.CpuShare > 0 ? On.CpuShare / Off.CpuShare : 0.0,
        On.LongestStallMs, Off.LongestStallMs);
    std::error_code Ignored;
    std::filesystem::remove_all(Name, Ignored);
    return 0;
}
