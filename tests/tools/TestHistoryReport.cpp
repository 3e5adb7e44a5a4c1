// vardex-check and the check history: --report over a scripted history in a real SQLite file
// (uptime, p50, p95 per monitor, as lines and JSON), and --history recording what a pass and
// a watch check, all under a state folder of the test's own.
#include "tools/HistoryReport.h"
#include "tools/ToolTestSupport.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

using namespace tooltest;

namespace {

const std::string Program = VARDEX_CHECK_PATH;

// Set before main, while the program has one thread.
const bool GPrivateNetwork = EnterPrivateNetwork();

constexpr int64_t Minute = 60000;

TEST(HistoryReport, Spans)
{
    struct TCase {
        const char* Text;
        bool Good;
        int64_t Ms;
    };
    const TCase Cases[] = {
        { "90s", true, 90000 },
        { "30m", true, 30 * Minute },
        { "24h", true, 24 * 60 * Minute },
        { "7d", true, 7 * 1440 * Minute },
        { "0h", false, 0 },
        { "h", false, 0 },
        { "24", false, 0 },
        { "-1h", false, 0 },
        { "1.5h", false, 0 },
        { "24H", false, 0 },
        { " 24h", false, 0 },
        { "99999999999999999999d", false, 0 },
    };
    for (const TCase& Case : Cases) {
        int64_t Ms = -7;
        EXPECT_EQ(ParseSpan(Case.Text, Ms), Case.Good) << Case.Text;
        EXPECT_EQ(Ms, Case.Good ? Case.Ms : -7) << Case.Text;
    }
}

TEST(HistoryReport, LinesAndJson)
{
    THistorySummary Some { "web\tone", 40, 4, 190, 380 };
    EXPECT_EQ(SummaryLine(Some), "web one\t40\t4\t90.00\t190\t380");
    EXPECT_EQ(SummaryJson(Some),
        R"({"name":"web\tone","checks":40,"failures":4,"uptime":90.00,"p50":190,"p95":380})");
    THistorySummary Down { "down", 3, 3, -1, -1 };
    EXPECT_EQ(SummaryLine(Down), "down\t3\t3\t0.00\t\t");
    EXPECT_EQ(
        SummaryJson(Down), R"({"name":"down","checks":3,"failures":3,"uptime":0.00,"p50":null,"p95":null})");
}

class HistoryTool : public ::testing::Test {
protected:
    HistoryTool()
    {
        setenv("XDG_STATE_HOME", Folder.Path("state").c_str(), 1);
        Folder.Write("default.cfg", "");
    }
    ~HistoryTool() override { unsetenv("XDG_STATE_HOME"); }

    TRun Run(const std::vector<std::string>& AArgs) const { return RunToEnd(Program, AArgs, Folder.Path()); }
    std::string File() const { return Folder.Path("state/vardex/history.sqlite"); }

    TTempFolder Folder;
};

TEST_F(HistoryTool, ReportOfAScriptedHistory)
{
    const std::string List = Folder.Path("default.cfg");
    // Half a minute ahead, so that the spans the program reads a little later still hold
    // the same checks.
    const int64_t Now = HistoryNowMs() + 30000;
    {
        THistoryRecorder Recorder(File());
        Recorder.Start();
        // "web": 40 checks a minute apart in the last 40 minutes, 10..400 ms, every tenth a
        // time-out. "down": failures only. "old": only 2 days ago. Another list's monitor.
        for (int I = 1; I <= 40; ++I) {
            const bool OK = I % 10 != 0;
            Recorder.Record(
                { List, "web", Now - (41 - I) * Minute, OK, OK ? I * 10 : 10000, OK ? "" : "Timed out" });
        }
        Recorder.Record({ List, "down", Now - 5 * Minute, false, 3, "refused" });
        Recorder.Record({ List, "old", Now - 2 * 1440 * Minute, true, 5, "" });
        Recorder.Record({ Folder.Path("other.cfg"), "web", Now - Minute, true, 1, "" });
        ASSERT_TRUE(Recorder.Flush(std::chrono::seconds(10)));
    }

    TRun Lines = Run({ "--report" });
    EXPECT_EQ(Lines.Status, 0) << Lines.Err;
    EXPECT_EQ(Lines.Out, "down\t1\t1\t0.00\t\t\nweb\t40\t4\t90.00\t190\t380\n");

    // The list named by another path to the same file is the same list.
    std::filesystem::create_directory(Folder.Path("sub"));
    TRun Json = Run({ "--report", "--since", "10m", "--json", "./sub/../default.cfg" });
    EXPECT_EQ(Json.Status, 0) << Json.Err;
    const std::vector<std::string> Objects = tooltest::Lines(Json.Out);
    ASSERT_EQ(Objects.size(), 2u) << Json.Out;
    EXPECT_EQ(Objects[1], R"({"name":"web","checks":10,"failures":1,"uptime":90.00,"p50":350,"p95":390})");

    TRun Week = Run({ "--report", "--since=7d" });
    EXPECT_NE(Week.Out.find("old\t1\t0\t100.00\t5\t5\n"), std::string::npos) << Week.Out;

    // A list that is not there, and one the history holds nothing of, say where they looked.
    TRun Missing = Run({ "--report", "none.cfg" });
    EXPECT_EQ(Missing.Status, 2);
    EXPECT_EQ(Missing.Err, "vardex-check: cannot open none.cfg: No such file or directory\n");
    Folder.Write("new.cfg", "");
    TRun Unchecked = Run({ "--report", "new.cfg" });
    EXPECT_EQ(Unchecked.Status, 2);
    EXPECT_EQ(Unchecked.Out, "");
    EXPECT_EQ(
        Unchecked.Err.rfind("vardex-check: " + File() + " holds no check of " + Folder.Path("new.cfg"), 0),
        0u)
        << Unchecked.Err;
    TRun Elsewhere = Run({ "--report", "--history-dir", Folder.Path("elsewhere") });
    EXPECT_EQ(Elsewhere.Status, 2);
    EXPECT_NE(
        Elsewhere.Err.find(Folder.Path("elsewhere/history.sqlite") + " does not exist"), std::string::npos)
        << Elsewhere.Err;
}

TEST_F(HistoryTool, ReportWithoutAHistoryFileSaysWhy)
{
    TRun Missing = Run({ "--report" });
    EXPECT_EQ(Missing.Status, 2);
    EXPECT_EQ(Missing.Out, "");
    EXPECT_NE(Missing.Err.find("history.sqlite"), std::string::npos) << Missing.Err;
    EXPECT_NE(Missing.Err.find("vardex-check --watch --history default.cfg"), std::string::npos)
        << Missing.Err;
}

TEST_F(HistoryTool, WrongCombinations)
{
    const std::vector<std::vector<std::string>> Cases = {
        { "--report", "--watch" },
        { "--report", "--history" },
        { "--since", "24h" },
        { "--report", "--since" },
        { "--report", "--since", "soon" },
        { "--history-dir", "x" },
        { "--report", "--history-dir" },
    };
    for (const auto& Args : Cases) {
        TRun Wrong = Run(Args);
        EXPECT_EQ(Wrong.Status, 2) << Args.back();
        EXPECT_EQ(Wrong.Out, "");
        EXPECT_NE(Wrong.Err.find("vardex-check: "), std::string::npos) << Wrong.Err;
    }
}

TEST_F(HistoryTool, HistoryRecordsAPassAndAWatch)
{
    if (!GPrivateNetwork)
        GTEST_SKIP() << "needs a network namespace of its own";
    THttpTestServer Server(200);
    const std::string Up = "http://127.0.0.1:" + std::to_string(Server.Port()) + "/";
    const std::string Down = "http://127.0.0.1:" + std::to_string(nettest::ClosedPort()) + "/";
    Folder.Write("default.cfg",
        "Name=up\r\nType=WebMonitor\r\nInterval=1\r\nURL=" + Up
            + "\r\n\r\nName=down\r\nType=WebMonitor\r\nInterval=1\r\nURL=" + Down + "\r\n\r\n");

    TRun Pass = Run({ "--history" });
    EXPECT_EQ(Pass.Status, 1) << Pass.Err;
    TRun After = Run({ "--report" });
    EXPECT_EQ(After.Status, 0) << After.Err;
    const std::vector<std::string> Lines = tooltest::Lines(After.Out);
    ASSERT_EQ(Lines.size(), 2u) << After.Out;
    EXPECT_EQ(Fields(Lines[0]).at(0), "down");
    EXPECT_EQ(Fields(Lines[0]).at(1), "1");
    EXPECT_EQ(Fields(Lines[0]).at(2), "1");
    EXPECT_EQ(Fields(Lines[1]).at(0), "up");
    EXPECT_EQ(Fields(Lines[1]).at(3), "100.00");

    // A watch records every check, not only the changes it prints, and writes them all
    // before it ends on SIGTERM.
    TChildProcess Watch(Program, { "--watch", "--history" }, Folder.Path());
    std::string Line;
    ASSERT_TRUE(Watch.ReadLine(Line, 10000));
    ASSERT_TRUE(Watch.ReadLine(Line, 10000));
    EXPECT_TRUE(Watch.StillRunningAfter(4000));
    Watch.Signal(SIGTERM);
    EXPECT_EQ(Watch.Finish(10000), 0);
    TRun Watched = Run({ "--report" });
    const std::vector<std::string> Counted = tooltest::Lines(Watched.Out);
    ASSERT_EQ(Counted.size(), 2u) << Watched.Out;
    EXPECT_GE(std::stoi(Fields(Counted[1]).at(1)), 3) << Watched.Out;
    EXPECT_EQ(Watch.Err(), "");
}

TEST_F(HistoryTool, AnUnwritableHistoryIsSaidOnceAndTheChecksGoOn)
{
    Folder.Write("state", "a file where the folder should be");
    Folder.Write("default.cfg",
        "Name=down\r\nType=WebMonitor\r\nURL=http://127.0.0.1:" + std::to_string(nettest::ClosedPort())
            + "/\r\n\r\n");
    TRun Pass = Run({ "--history" });
    EXPECT_EQ(Pass.Status, 1);
    EXPECT_EQ(Fields(Pass.Out).at(0), "down");
    EXPECT_NE(Pass.Err.find("vardex-check: history is off: cannot make"), std::string::npos) << Pass.Err;
    EXPECT_EQ(Pass.Err.find("history is off"), Pass.Err.rfind("history is off"));

    setenv("VARDEX_HISTORY", "off", 1);
    std::remove(Folder.Path("state").c_str());
    TRun Off = Run({ "--history" });
    unsetenv("VARDEX_HISTORY");
    EXPECT_EQ(Off.Status, 1);
    EXPECT_EQ(Off.Err, "vardex-check: history is off: VARDEX_HISTORY=off\n");
    EXPECT_FALSE(std::filesystem::exists(File()));
}

} // namespace
