// The check history's cost, in a temporary folder:
// - steady: 1000 monitors checked every 10 s, 100 outcomes a second as the window records
//   them, for VARDEX_BENCH_SECONDS seconds (default 60): the share of one core the process
//   uses, and its peak resident memory (first, before the bulk run's queue inflates it);
// - bulk: one hour of the same checks (360,000 outcomes) recorded as fast as the writer takes
//   them: outcomes a second, CPU time, and the file's size, which times 24 is the size a day
//   of such checks takes;
// - queries: the chart's reads for one monitor with 30 days of checks every 10 s (a day of
//   points, counts over 7 and 30 days) and the p50/p95 summary that --report makes.
#include "history/History.h"

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

namespace {

using TClock = std::chrono::steady_clock;

constexpr int Monitors = 1000;
constexpr int64_t IntervalMs = 10000;
constexpr int64_t DayMs = 86400000;

double CpuSeconds()
{
    rusage U {};
    getrusage(RUSAGE_SELF, &U);
    return static_cast<double>(U.ru_utime.tv_sec + U.ru_stime.tv_sec)
        + static_cast<double>(U.ru_utime.tv_usec + U.ru_stime.tv_usec) / 1e6;
}

double PeakMiB()
{
    rusage U {};
    getrusage(RUSAGE_SELF, &U);
    return static_cast<double>(U.ru_maxrss) / 1024.0;
}

double FileMiB(const std::string& AFile)
{
    double Total = 0;
    for (const char* Suffix : { "", "-wal" }) {
        struct stat Info { };
        if (::stat((AFile + Suffix).c_str(), &Info) == 0)
            Total += static_cast<double>(Info.st_size);
    }
    return Total / (1024.0 * 1024.0);
}

double Seconds(TClock::time_point AFrom)
{
    return std::chrono::duration<double>(TClock::now() - AFrom).count();
}

THistoryOutcome Outcome(int AMonitor, int64_t AStart, int ASeed)
{
    // Mostly fast answers, now and then a slow one or a failure, as a real list gives.
    const bool OK = ASeed % 97 != 0;
    return { "/home/operator/default.cfg", "monitor " + std::to_string(AMonitor), AStart, OK,
        OK ? 5 + ASeed % 40 + (ASeed % 50 == 0 ? 900 : 0) : 10000,
        OK ? "" : "Socket Error # 10061 Connection refused." };
}

} // namespace

int main()
{
    char Name[] = "/tmp/vardex-bench-history-XXXXXX";
    if (!mkdtemp(Name)) {
        std::perror("mkdtemp");
        return 1;
    }
    const std::string Folder = Name;
    const int64_t Now = HistoryNowMs();
    int Seconds60 = 60;
    if (const char* Text = std::getenv("VARDEX_BENCH_SECONDS"))
        Seconds60 = std::max(1, std::atoi(Text));

    {
        const std::string File = Folder + "/steady.sqlite";
        THistoryRecorder Recorder(File);
        Recorder.Start();
        Recorder.Flush(std::chrono::seconds(10));
        const double Cpu = CpuSeconds();
        const auto Start = TClock::now();
        int Seed = 0;
        // 100 outcomes a second, spread over each second in steps of 10 ms as verdicts arrive.
        for (int Tick = 0; Tick < Seconds60 * 100; ++Tick) {
            std::this_thread::sleep_until(Start + std::chrono::milliseconds(10 * Tick));
            Recorder.Record(Outcome(Tick % Monitors, HistoryNowMs(), ++Seed));
        }
        Recorder.Flush(std::chrono::seconds(30));
        const double Took = Seconds(Start);
        const double Used = CpuSeconds() - Cpu;
        Recorder.Stop();
        std::printf(
            "steady: 1000 monitors at interval 10, 100 outcomes/s for %d s: %.3f s CPU, %.2f %% of one core; "
            "peak RSS %.1f MiB\n",
            Seconds60, Used, 100.0 * Used / Took, PeakMiB());
    }

    {
        const std::string File = Folder + "/bulk.sqlite";
        THistoryRecorder Recorder(File);
        Recorder.SetQueueLimit(400000);
        Recorder.Start();
        Recorder.Flush(std::chrono::seconds(10));
        const double Cpu = CpuSeconds();
        const auto Start = TClock::now();
        int Seed = 0;
        const int64_t HourStart = Now - 3600000;
        for (int64_t At = HourStart; At < Now; At += IntervalMs)
            for (int M = 0; M < Monitors; ++M)
                Recorder.Record(Outcome(M, At + M * 10, ++Seed));
        Recorder.Flush(std::chrono::minutes(10));
        const double Took = Seconds(Start);
        Recorder.Stop();
        std::printf("bulk: %d outcomes (1000 monitors, one hour at interval 10) in %.2f s: %.0f outcomes/s, "
                    "%.2f s CPU; file %.1f MiB, so %.0f MiB a day\n",
            Seed, Took, Seed / Took, CpuSeconds() - Cpu, FileMiB(File), 24 * FileMiB(File));
    }

    {
        const std::string File = Folder + "/month.sqlite";
        {
            THistoryRecorder Recorder(File, [Now] { return Now; });
            Recorder.SetQueueLimit(300000);
            Recorder.Start();
            int Seed = 0;
            for (int64_t At = Now - 30 * DayMs; At < Now; At += IntervalMs)
                Recorder.Record(Outcome(0, At, ++Seed));
            Recorder.Flush(std::chrono::minutes(10));
        }
        THistoryReader Reader(File);
        const std::string List = "/home/operator/default.cfg";
        auto Time = [](auto AQuery) {
            std::vector<double> Ms;
            for (int I = 0; I < 7; ++I) {
                const auto Start = TClock::now();
                AQuery();
                Ms.push_back(1000.0 * Seconds(Start));
            }
            std::sort(Ms.begin(), Ms.end());
            return Ms[Ms.size() / 2];
        };
        size_t Points = 0;
        const double Day = Time([&] { Points = Reader.Points(List, "monitor 0", Now - DayMs).size(); });
        const double Week = Time([&] { (void)Reader.Counts(List, "monitor 0", Now - 7 * DayMs); });
        const double Month = Time([&] { (void)Reader.Counts(List, "monitor 0", Now - 30 * DayMs); });
        const double Report = Time([&] { (void)Reader.Summary(List, "monitor 0", Now - 30 * DayMs); });
        std::printf(
            "queries, one monitor with 30 days at interval 10 (median of 7): a day's %zu points %.1f ms, "
            "7-day count %.1f ms, 30-day count %.1f ms, 30-day p50/p95 %.1f ms\n",
            Points, Day, Week, Month, Report);
    }

    std::error_code Ignored;
    std::filesystem::remove_all(Folder, Ignored);
    return 0;
}
