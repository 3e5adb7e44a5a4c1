// The window under load: it reads default.cfg of the current directory (scripts/bench writes
// one of many monitors, some on a silent server), runs for SECONDS with its real engine and
// probes, and prints its resident memory, its CPU share over the last 60 s, the longest time
// its event loop went without running a 10 ms timer, and whether every monitor whose name
// does not begin with "silent" was checked on time: each start at most its interval plus 2 s
// after the one before, and at least two starts seen. With VARDEX_BENCH_SELECT=N the N-th row
// is selected, so the history chart of its monitor is shown and redrawn at its verdicts; with
// the history on, the growth of the history file over the same 60 s is printed too (as the
// database's pages in use, so that a write-ahead log not yet folded in counts as well). The
// last line repeats the figures for the script. Not a benchmark of its own: scripts/bench runs
// it.
//
//   window_scale SECONDS [CPU_TARGET_PERCENT]   (0: no CPU target; 2 by default)
#include "app/Application.h"
#include "app/Main.h"
#include "app/MonitorHistory.h"

#include <QElapsedTimer>
#include <QTimer>
#include <QTreeWidget>

#include <sqlite3.h>

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

// The bytes of the history database in use (its pages less the free ones), as a reader sees
// it, write-ahead log included; -1 when it cannot be read.
int64_t HistoryBytes(const std::string& AFileName)
{
    sqlite3* Db = nullptr;
    int64_t Bytes = -1;
    if (sqlite3_open_v2(AFileName.c_str(), &Db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        int64_t Values[3] = { 0, 0, 0 };
        const char* Pragmas[3] = { "PRAGMA page_count", "PRAGMA freelist_count", "PRAGMA page_size" };
        bool Read = true;
        for (int I = 0; I < 3; ++I) {
            sqlite3_stmt* Statement = nullptr;
            Read = Read && sqlite3_prepare_v2(Db, Pragmas[I], -1, &Statement, nullptr) == SQLITE_OK
                && sqlite3_step(Statement) == SQLITE_ROW;
            if (Read)
                Values[I] = sqlite3_column_int64(Statement, 0);
            sqlite3_finalize(Statement);
        }
        if (Read)
            Bytes = (Values[0] - Values[1]) * Values[2];
    }
    sqlite3_close(Db);
    return Bytes;
}

const char* Verdict(bool AMet)
{
    return AMet ? "met" : "MISSED";
}

} // namespace

int main(int argc, char** argv)
{
    const int Seconds = argc > 1 ? std::max(66, std::atoi(argv[1])) : 90;
    const double CpuTarget = argc > 2 ? std::atof(argv[2]) : 2;
    TApplication Application(argc, argv);
    TfmMain Window;
    Window.show();
    if (const char* Select = std::getenv("VARDEX_BENCH_SELECT")) {
        auto* List = Window.findChild<QTreeWidget*>(QStringLiteral("ServList"));
        if (QTreeWidgetItem* Row = List->topLevelItem(std::atoi(Select)))
            List->setCurrentItem(Row);
    }
    const bool History = Window.History().Recording();
    const std::string HistoryFile = HistorySettingsFromEnvironment().FileName;

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
    int64_t BytesStart = 0;
    QTimer::singleShot((Seconds - 65) * 1000, [&] {
        CpuStart = CpuSeconds();
        BytesStart = History ? HistoryBytes(HistoryFile) : 0;
    });
    double Cpu = 0;
    long Rss = 0;
    int64_t Bytes = 0;
    QTimer::singleShot((Seconds - 5) * 1000, [&] {
        Cpu = CpuSeconds() - CpuStart;
        Rss = RssKiB();
        Bytes = History ? HistoryBytes(HistoryFile) - BytesStart : 0;
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
    std::printf("  history %s%s\n", History ? "on, " : "off", History ? HistoryFile.c_str() : "");
    if (CpuTarget > 0)
        std::printf("  CPU %.2f s over 60 s, %.2f %% of one core (target under %g %%: %s)\n", Cpu, Share,
            CpuTarget, Verdict(Share < CpuTarget));
    else
        std::printf("  CPU %.2f s over 60 s, %.2f %% of one core\n", Cpu, Share);
    if (History)
        std::printf("  history file grew %.1f KiB in 60 s: %.1f MiB a day at this rate\n", Bytes / 1024.0,
            double(Bytes) * 1440 / 1048576.0);
    std::printf(
        "  resident memory %.1f MiB (target under 80 MiB: %s)\n", Rss / 1024.0, Verdict(Rss < 80 * 1024));
    std::printf("  longest event-loop stall %lld ms\n", static_cast<long long>(Stall));
    std::printf("  healthy monitors checked on time: %d of %d, longest gap between checks %.1f s "
                "(target interval + 2 s: %s)\n",
        OnTime, Healthy, LongestGap / 1000.0, Verdict(OnTime == Healthy));
    std::printf("figures cpu=%.3f rss_kib=%ld stall_ms=%lld history_bytes=%lld\n", Share, Rss,
        static_cast<long long>(Stall), static_cast<long long>(Bytes));
    return 0;
}
