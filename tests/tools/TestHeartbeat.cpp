// The status page's bars: which half hour a check lands in, what a cell sums up, what comes
// from an earlier run's history, and how the page draws them.
#include "history/History.h"
#include "support/TempFolder.h"
#include "tools/Heartbeat.h"
#include "tools/StatusPage.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace {

constexpr int64_t Half = THeartbeat::CellMs;
// A whole half hour, so the cells of a case are easy to name.
constexpr int64_t Base = 1'000'000 * Half;

struct TCheck {
    int64_t StartMs;
    bool OK;
    int64_t Ms;
};

struct TCase {
    const char* Name;
    std::vector<TCheck> Checks;
    int64_t NowMs;
    // The last cells, newest last: checks, failures, median.
    std::vector<THeartbeatCell> Last;
    // The checks in all cells.
    uint32_t Total;
};

TEST(Heartbeat, CellsOfTheLastDay)
{
    const TCase Cases[] = {
        { "one check", { { Base + 5, true, 40 } }, Base + 10, { { Base, 1, 0, 40 } }, 1 },
        { "median is the nearest rank, failures left out",
            { { Base, true, 30 }, { Base + 1, true, 10 }, { Base + 2, false, 9000 }, { Base + 3, true, 20 },
                { Base + 4, true, 40 } },
            Base + 10, { { Base, 5, 1, 20 } }, 5 },
        { "only failures have no median", { { Base, false, 5 } }, Base, { { Base, 1, 1, -1 } }, 1 },
        { "a new half hour closes the last", { { Base, true, 10 }, { Base + Half, false, 3 } }, Base + Half,
            { { Base, 1, 0, 10 }, { Base + Half, 1, 1, -1 } }, 2 },
        { "a half hour without checks is empty", { { Base, true, 10 } }, Base + 2 * Half,
            { { Base, 1, 0, 10 }, { Base + Half, 0, 0, -1 }, { Base + 2 * Half, 0, 0, -1 } }, 1 },
        { "a late verdict of a long check counts where it began",
            { { Base, true, 10 }, { Base + Half, true, 10 }, { Base + Half - 1, false, 20000 } }, Base + Half,
            { { Base, 2, 1, 10 }, { Base + Half, 1, 0, 10 } }, 3 },
        { "the day holds 48 half hours", { { Base, false, 10 } }, Base + 47 * Half,
            { { Base + 47 * Half, 0, 0, -1 } }, 1 },
        { "a day later the cell is gone", { { Base, false, 10 } }, Base + 48 * Half,
            { { Base + 48 * Half, 0, 0, -1 } }, 0 },
    };
    for (const TCase& Case : Cases) {
        int64_t Now = 0;
        THeartbeat Beats([&] { return Now; });
        for (const TCheck& Check : Case.Checks) {
            Now = Check.StartMs;
            Beats.Add("m", Check.StartMs, Check.OK, Check.Ms);
        }
        Now = Case.NowMs;
        const auto Cells = Beats.Cells("m");
        ASSERT_TRUE(Cells) << Case.Name;
        ASSERT_EQ(Cells->size(), size_t(THeartbeat::CellCount)) << Case.Name;
        EXPECT_EQ(Cells->back().StartMs, Case.NowMs / Half * Half) << Case.Name;
        const THeartbeatCells Last(
            Cells->end() - static_cast<std::ptrdiff_t>(Case.Last.size()), Cells->end());
        EXPECT_EQ(Last, Case.Last) << Case.Name;
        uint32_t Total = 0;
        for (const THeartbeatCell& Cell : *Cells)
            Total += Cell.Checks;
        EXPECT_EQ(Total, Case.Total) << Case.Name;
    }
}

TEST(Heartbeat, CellsAreSharedUntilTheNextCheck)
{
    int64_t Now = Base;
    THeartbeat Beats([&] { return Now; });
    EXPECT_EQ(Beats.Cells("m"), nullptr);
    Beats.Add("m", Base, true, 10);
    const auto First = Beats.Cells("m");
    EXPECT_EQ(Beats.Cells("m"), First);
    Beats.Add("m", Base + 1, false, 10);
    const auto Second = Beats.Cells("m");
    EXPECT_NE(Second, First);
    EXPECT_EQ(Second->back().Failures, 1u);
    Now += Half;
    EXPECT_NE(Beats.Cells("m"), Second);
}

TEST(Heartbeat, EarlierRunsComeFromTheHistory)
{
    testsupport::TTempFolder Folder;
    const std::string File = Folder.Path("history.sqlite");
    const int64_t Now = HistoryNowMs();
    {
        THistoryRecorder Recorder(File);
        Recorder.Start();
        Recorder.Record({ "/l.cfg", "web", Now - 60000, true, 12, "" });
        Recorder.Record({ "/l.cfg", "web", Now - 2 * Half, false, 3, "refused" });
        Recorder.Record({ "/l.cfg", "web", Now - 49 * Half, true, 5, "" });
        Recorder.Record({ "/other.cfg", "web", Now - 60000, false, 1, "x" });
        Recorder.Stop();
    }
    THistoryReader Reader(File);
    THeartbeat Beats(HistoryNowMs);
    Beats.Load(Reader, "/l.cfg", { "web", "never" });
    const auto Cells = Beats.Cells("web");
    ASSERT_TRUE(Cells);
    uint32_t Checks = 0, Failures = 0;
    for (const THeartbeatCell& Cell : *Cells)
        Checks += Cell.Checks, Failures += Cell.Failures;
    EXPECT_EQ(Checks, 2u);
    EXPECT_EQ(Failures, 1u);
    EXPECT_EQ(Beats.Cells("never"), nullptr);
}

TEST(Heartbeat, ThePageDrawsACellWithItsTooltip)
{
    setenv("TZ", "UTC", 1);
    tzset();
    // 2026-12-08 14:00 UTC.
    const int64_t Start = 1796738400000;
    EXPECT_EQ(HeartbeatCellText({ Start, 180, 2, 41 }),
        "2026-12-08 14:00\u201314:30: 180 checks, 2 failed, median 41 ms");
    EXPECT_EQ(HeartbeatCellText({ Start, 1, 1, -1 }), "2026-12-08 14:00\u201314:30: 1 check, 1 failed");
    EXPECT_EQ(HeartbeatCellText({ Start, 0, 0, -1 }), "2026-12-08 14:00\u201314:30: no check");

    TMetricsSnapshot Snapshot;
    TMonitorSample Sample;
    Sample.Name = "web";
    Sample.Heartbeat = std::make_shared<THeartbeatCells>(
        THeartbeatCells { { Start, 0, 0, -1 }, { Start + Half, 3, 0, 20 }, { Start + 2 * Half, 3, 1, 40 } });
    Snapshot.Monitors.push_back(Sample);
    const std::string Page = StatusPage(Snapshot, 0);
    EXPECT_NE(
        Page.find(
            "<i class=\"none\" title=\"2026-12-08 14:00\u201314:30: no check\"></i>"
            "<i class=\"ok\" title=\"2026-12-08 14:30\u201315:00: 3 checks, 0 failed, median 20 ms\"></i>"
            "<i class=\"fail\" title=\"2026-12-08 15:00\u201315:30: 3 checks, 1 failed, median 40 ms\"></i>"),
        std::string::npos)
        << Page;
    EXPECT_NE(Page.find("<polyline points=\"1,8.0 2,1.0\"/>"), std::string::npos) << Page;
}

} // namespace
