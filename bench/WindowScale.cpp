// The window under load: it reads default.cfg of the current directory (scripts/bench writes
// one of many monitors, some on a silent server), runs for SECONDS with its real engine and
// probes, and prints its resident memory, its CPU share over the last 60 s, the longest time
// its event loop went without running a 10 ms timer, and whether every monitor whose name
// does not begin with "silent" was checked on time: each start at most its interval plus 2 s
// after the one before, and at least two starts seen. Not a benchmark of its own: scripts/bench
// runs it.
//
//   window_scale SECONDS
#include "app/Application.h"
#include "app/Main.h"

#include <QElapsedTimer>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <sys/resource.h>
#include <unordered_map>
#include <vector>

namespace {

double CpuSeconds()
{
    rusage Usage {};
    getrusage(RUSAGE_SELF, &Usage);
    return double(Usage.ru_utime.tv_sec + Usage.ru_stime.tv_sec)
        + double(Usage.ru_utime.tv_usec + Usage.ru_stime.tv_usec) / 1e6;
}

long RssKiB()
{
    std::ifstream Status("/proc/self/status");
    std::string Line;
    while (std::getline(Status, Line))
        if (Line.rfind("VmRSS:", 0) == 0)
            return std::atol(Line.c_str() + 6);
    return 0;
}

const char* Verdict(bool AMet)
{
    return AMet ? "met" : "MISSED";
}

} // namespace

int main(int argc, char** argv)
{
    const int Seconds = argc > 1 ? std::max(61, std::atoi(argv[1])) : 90;
    TApplication Application(argc, argv);
    TfmMain Window;
    Window.show();

    QElapsedTimer Clock;
    Clock.start();
    // The event loop's beat; the stall is counted once the window is up (after 2 s).
    qint64 LastBeat = 0;
    qint64 Stall = 0;
    QTimer Beat;
    Beat.setInterval(10);
    QObject::connect(&Beat, &QTimer::timeout, [&] {
        const qint64 Now = Clock.elapsed();
        if (LastBeat >= 2000)
            Stall = std::max(Stall, Now - LastBeat);
        LastBeat = Now;
    });
    Beat.start();

    // The starts of every check, read from the monitors' stamps every 100 ms.
    std::unordered_map<const TServiceMonitor*, std::vector<int64_t>> Starts;
    QTimer Watch;
    Watch.setInterval(100);
    QObject::connect(&Watch, &QTimer::timeout, [&] {
        for (const TMonitorEntry& Entry : Window.Monitors()) {
            const std::optional<int64_t> Tick = Entry.Monitor->LastCheckTick();
            std::vector<int64_t>& Seen = Starts[Entry.Monitor.get()];
            if (Tick && (Seen.empty() || Seen.back() != *Tick))
                Seen.push_back(*Tick);
        }
    });
    Watch.start();

    double CpuStart = 0;
    QTimer::singleShot((Seconds - 65) * 1000, [&] { CpuStart = CpuSeconds(); });
    double Cpu = 0;
    long Rss = 0;
    QTimer::singleShot((Seconds - 5) * 1000, [&] {
        Cpu = CpuSeconds() - CpuStart;
        Rss = RssKiB();
    });
    QTimer::singleShot(Seconds * 1000, &Application, &QApplication::quit);
    Application.exec();

    int Healthy = 0;
    int OnTime = 0;
    int64_t LongestGap = 0;
    for (const TMonitorEntry& Entry : Window.Monitors()) {
        if (Entry.Name.rfind("silent", 0) == 0)
            continue;
        ++Healthy;
        const std::vector<int64_t>& Seen = Starts[Entry.Monitor.get()];
        bool Fine = Seen.size() >= 2;
        for (size_t I = 1; I < Seen.size(); ++I) {
            LongestGap = std::max(LongestGap, Seen[I] - Seen[I - 1]);
            Fine = Fine && Seen[I] - Seen[I - 1] <= int64_t(Entry.Monitor->Interval()) * 1000 + 2000;
        }
        OnTime += Fine;
    }
    const double Share = Cpu / 60 * 100;
    std::printf("window with %zu monitors, %d s\n", Window.Monitors().size(), Seconds);
    std::printf("  CPU %.2f s over 60 s, %.2f %% of one core (target under 2 %%: %s)\n", Cpu, Share,
        Verdict(Share < 2));
    std::printf(
        "  resident memory %.1f MiB (target under 80 MiB: %s)\n", Rss / 1024.0, Verdict(Rss < 80 * 1024));
    std::printf("  longest event-loop stall %lld ms\n", static_cast<long long>(Stall));
    std::printf("  healthy monitors checked on time: %d of %d, longest gap between checks %.1f s "
                "(target interval + 2 s: %s)\n",
        OnTime, Healthy, LongestGap / 1000.0, Verdict(OnTime == Healthy));
    return 0;
}
