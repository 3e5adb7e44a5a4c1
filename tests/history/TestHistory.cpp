// The history against a real SQLite file in a folder of the test's own: outcomes recorded
// and read back, the figures of a scripted history, rename, retention, and a file that is
// damaged, read-only or locked, which must switch the recorder off with a reason and never
// raise or block.
#include "history/History.h"
#include "support/TempFolder.h"

#include <gtest/gtest.h>

#include <sqlite3.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using namespace std::chrono_literals;

constexpr int64_t Day = 86400000;
constexpr int64_t T0 = 1790000000000; // a fixed "now" for the clock of the recorder

using testsupport::TTempFolder;

THistoryOutcome Outcome(const std::string& AMonitor, int64_t AStart, bool AOK, int64_t AMs,
    std::string AReason = {}, const std::string& AList = "/lists/a.cfg")
{
    return { AList, AMonitor, AStart, AOK, AMs, std::move(AReason) };
}

struct THistoryTest : testing::Test {
    TTempFolder Folder;
    std::string File = Folder.Path("state/vardex/history.sqlite");
    std::atomic<int64_t> Now { T0 };
    std::atomic<int> DisabledCalls { 0 };
    std::string Reason; // written on the writer thread before Flush returns, read after

    std::unique_ptr<THistoryRecorder> MakeRecorder()
    {
        auto Recorder = std::make_unique<THistoryRecorder>(File, [this] { return Now.load(); });
        Recorder->SetBatchDelay(10ms);
        Recorder->SetBusyTimeout(200ms);
        Recorder->OnDisabled = [this](const std::string& AReason) {
            Reason = AReason;
            ++DisabledCalls;
        };
        return Recorder;
    }

    // Another program's connection to a file with one check in it, holding its exclusive
    // lock; the caller rolls back and closes it.
    sqlite3* LockedByAnother()
    {
        {
            auto First = MakeRecorder();
            First->Start();
            First->Record(Outcome("web", T0, true, 1));
            EXPECT_TRUE(First->Flush(5s));
        }
        sqlite3* Other = nullptr;
        EXPECT_EQ(sqlite3_open(File.c_str(), &Other), SQLITE_OK);
        EXPECT_EQ(sqlite3_exec(Other, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
        return Other;
    }
};

TEST_F(THistoryTest, OutcomesAreReadBackPerListAndMonitor)
{
    auto Recorder = MakeRecorder();
    Recorder->Start();
    ASSERT_TRUE(Recorder->Record(Outcome("web", T0 - 2000, true, 12)));
    ASSERT_TRUE(Recorder->Record(Outcome("web", T0 - 1000, false, 10000, "Connection refused")));
    ASSERT_TRUE(Recorder->Record(Outcome("ping", T0 - 1500, true, 3)));
    // The same name in another list is another monitor.
    ASSERT_TRUE(Recorder->Record(Outcome("web", T0 - 1200, true, 99, {}, "/lists/b.cfg")));
    // A long reason is cut before a UTF-8 character, never inside one.
    std::string Long = "x";
    for (int I = 0; I < 2000; ++I)
        Long += "\xC3\xA9";
    ASSERT_TRUE(Recorder->Record(Outcome("long", T0, false, 1, Long)));
    ASSERT_TRUE(Recorder->Flush(5s));
    EXPECT_TRUE(std::filesystem::exists(File));
    struct stat Info { };
    ASSERT_EQ(::stat(Folder.Path("state/vardex").c_str(), &Info), 0);
    EXPECT_EQ(Info.st_mode & 0777, 0700u);

    THistoryReader Reader(File);
    const std::vector<THistoryPoint> Want
        = { { T0 - 2000, true, 12, "" }, { T0 - 1000, false, 10000, "Connection refused" } };
    EXPECT_EQ(Reader.Points("/lists/a.cfg", "web", 0), Want);
    EXPECT_EQ(Reader.Points("/lists/a.cfg", "web", T0 - 1000).size(), 1u);
    EXPECT_EQ(Reader.Points("/lists/b.cfg", "web", 0).size(), 1u);
    EXPECT_TRUE(Reader.Points("/lists/a.cfg", "nothing", 0).empty());
    EXPECT_EQ(Reader.Error(), "");
    EXPECT_EQ(Reader.Points("/lists/a.cfg", "long", 0).at(0).Reason, Long.substr(0, 1023));
    EXPECT_EQ(DisabledCalls.load(), 0);
}

TEST_F(THistoryTest, StopWritesWhatIsQueuedAndAFullQueueDrops)
{
    {
        auto Recorder = MakeRecorder();
        Recorder->SetQueueLimit(3);
        Recorder->SetBatchDelay(60s);
        Recorder->Start();
        int Taken = 0;
        for (int I = 0; I < 5; ++I)
            Taken += Recorder->Record(Outcome("web", T0 + I, true, I));
        // The writer may have taken the first outcome before the others came.
        EXPECT_GE(Taken, 3);
        EXPECT_EQ(Recorder->Dropped(), static_cast<uint64_t>(5 - Taken));
    }
    // Committed to the WAL and left there: copying it into the file would sync the disk
    // twice on the way out. The next writer and every reader take it up.
    EXPECT_GT(std::filesystem::file_size(File + "-wal"), 0u);
    THistoryReader Reader(File);
    EXPECT_GE(Reader.Points("/lists/a.cfg", "web", 0).size(), 3u);
    auto Next = MakeRecorder();
    Next->Start();
    ASSERT_TRUE(Next->Record(Outcome("web", T0 + 10, false, 1, "down")));
    ASSERT_TRUE(Next->Flush(5s));
    EXPECT_EQ(Reader.Points("/lists/a.cfg", "web", T0 + 10).size(), 1u);
    EXPECT_EQ(Reader.Latest("/lists/a.cfg").at(0).DownSinceMs, T0 + 10);
}

TEST(THistoryFigures, NearestRank)
{
    struct TCase {
        const char* Name;
        std::vector<int64_t> Sorted;
        int Percent;
        int64_t Want;
    };
    const TCase Cases[] = {
        { "empty", {}, 50, -1 },
        { "one", { 7 }, 95, 7 },
        { "median of four is the second", { 1, 2, 3, 4 }, 50, 2 },
        { "median of five", { 1, 2, 3, 4, 5 }, 50, 3 },
        { "p95 of twenty is the nineteenth",
            { 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20 }, 95, 19 },
        { "p100 is the largest", { 1, 5, 9 }, 100, 9 },
    };
    for (const TCase& Case : Cases)
        EXPECT_EQ(NearestRank(Case.Sorted, Case.Percent), Case.Want) << Case.Name;
}

TEST_F(THistoryTest, SummaryOfAScriptedHistory)
{
    auto Recorder = MakeRecorder();
    Recorder->Start();
    // 40 checks a minute apart: response times 10, 20, ..., 400 ms; every tenth fails with a
    // time-out of 10 s, which must count against the uptime but not the percentiles.
    for (int I = 1; I <= 40; ++I) {
        const bool OK = I % 10 != 0;
        Recorder->Record(
            Outcome("web", T0 - (41 - I) * 60000, OK, OK ? I * 10 : 10000, OK ? "" : "Timed out"));
    }
    Recorder->Record(Outcome("ping", T0 - 1000, true, 1));
    ASSERT_TRUE(Recorder->Flush(5s));

    THistoryReader Reader(File);
    const THistorySummary All = Reader.Summary("/lists/a.cfg", "web", 0);
    EXPECT_EQ(All.Checks, 40);
    EXPECT_EQ(All.Failures, 4);
    EXPECT_DOUBLE_EQ(All.Uptime(), 90.0);
    // 36 successful times: 10..390 without 100, 200, 300; rank 18 and rank 35.
    EXPECT_EQ(All.P50, 190);
    EXPECT_EQ(All.P95, 380);
    // The last 10 minutes: checks 31..40, one failure.
    const THistorySummary Recent = Reader.Summary("/lists/a.cfg", "web", T0 - 10 * 60000);
    EXPECT_EQ(Recent.Checks, 10);
    EXPECT_EQ(Recent.Failures, 1);
    EXPECT_EQ(Recent.P50, 350);

    const THistorySummary Counted = Reader.Counts("/lists/a.cfg", "web", 0);
    EXPECT_EQ(Counted.Checks, 40);
    EXPECT_EQ(Counted.Failures, 4);
    EXPECT_EQ(Counted.P50, -1);

    const std::vector<THistorySummary> Each = Reader.Summaries("/lists/a.cfg", T0 - 10 * 60000);
    ASSERT_EQ(Each.size(), 2u);
    EXPECT_EQ(Each[0].Monitor, "ping");
    EXPECT_EQ(Each[1].Monitor, "web");
    EXPECT_EQ(Reader.Summary("/lists/a.cfg", "none", 0).Uptime(), -1);
}

// Counts adds whole days from their daily rows and the rest check by check: it must agree
// with a count of every row for spans that begin anywhere, also after a merging rename.
TEST_F(THistoryTest, CountsAgreeWithTheRowsForEverySpan)
{
    auto Recorder = MakeRecorder();
    Recorder->Start();
    int I = 0;
    for (int64_t At = T0 - 3 * Day; At <= T0; At += 17 * 60000, ++I) {
        Recorder->Record(Outcome("a", At, I % 5 != 0, 10));
        if (I % 3 == 0)
            Recorder->Record(Outcome("b", At + 1, I % 2 == 0, 10));
    }
    Recorder->Rename("/lists/a.cfg", "b", "a");
    ASSERT_TRUE(Recorder->Flush(5s));
    THistoryReader Reader(File);
    const int64_t Midnight = T0 / Day * Day;
    for (const int64_t Since : { T0 - 4 * Day, T0 - 3 * Day, T0 - 5 * Day / 2, Midnight - Day, Midnight,
             Midnight + 1, Midnight - 1, T0 - 3600000, T0 + 1 }) {
        const THistorySummary Rows = Reader.Summary("/lists/a.cfg", "a", Since);
        const THistorySummary Counted = Reader.Counts("/lists/a.cfg", "a", Since);
        EXPECT_EQ(Counted.Checks, Rows.Checks) << Since - T0;
        EXPECT_EQ(Counted.Failures, Rows.Failures) << Since - T0;
    }
    EXPECT_GT(Reader.Summary("/lists/a.cfg", "a", 0).Checks, 300);
}

TEST_F(THistoryTest, RenameCarriesTheHistoryAndMergesIntoAnExistingName)
{
    auto Recorder = MakeRecorder();
    Recorder->Start();
    Recorder->Record(Outcome("old", T0 - 3000, true, 1));
    Recorder->Record(Outcome("other", T0 - 2500, true, 2));
    Recorder->Rename("/lists/a.cfg", "old", "new");
    Recorder->Record(Outcome("new", T0 - 2000, false, 3, "x"));
    Recorder->Rename("/lists/a.cfg", "other", "new");
    // A rename in another list touches nothing here.
    Recorder->Rename("/lists/b.cfg", "new", "elsewhere");
    ASSERT_TRUE(Recorder->Flush(5s));

    THistoryReader Reader(File);
    const std::vector<THistoryPoint> Want
        = { { T0 - 3000, true, 1, "" }, { T0 - 2500, true, 2, "" }, { T0 - 2000, false, 3, "x" } };
    EXPECT_EQ(Reader.Points("/lists/a.cfg", "new", 0), Want);
    EXPECT_TRUE(Reader.Points("/lists/a.cfg", "old", 0).empty());
    EXPECT_TRUE(Reader.Points("/lists/a.cfg", "other", 0).empty());
    EXPECT_EQ(Reader.Summaries("/lists/a.cfg", 0).size(), 1u);
}

// The retention (3 days here) against the clock seam: one row a day for "kept", each on a day
// of its own, and a row of "gone", a monitor no longer in its list; then a prune at a time
// the case gives, with a row recorded under a clock run ahead first where it says so.
TEST_F(THistoryTest, RetentionFollowsTheRecordsNotOnlyTheClock)
{
    struct TCase {
        const char* Name;
        double AheadDays; // a row of "kept" recorded at T0 plus this, 0 for none
        double NowDays; // the clock at the prune, from T0
        std::vector<double> Kept; // the days of "kept" left, from T0
    };
    const TCase Cases[] = {
        { "three days back from the newest row", 0, 0, { -3.2, -2.2, -1.2, -0.2 } },
        { "a clock 40 days ahead deletes no more", 0, 40, { -3.2, -2.2, -1.2, -0.2 } },
        { "rows of a clock ahead keep the last three recorded days", 40, 40, { -1.2, -0.2, 40 } },
    };
    int Row = 0;
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(Case.Name);
        File = Folder.Path("retention" + std::to_string(Row++) + ".sqlite");
        Now = T0;
        auto Recorder = MakeRecorder();
        Recorder->SetRetentionDays(3);
        Recorder->Start();
        const auto At = [](double ADays) { return T0 + static_cast<int64_t>(ADays * double(Day)); };
        for (const double Days : { -5.2, -4.2, -3.2, -2.2, -1.2, -0.2 })
            Recorder->Record(Outcome("kept", At(Days), true, 1));
        Recorder->Record(Outcome("gone", At(-4.2), true, 1));
        if (Case.AheadDays != 0) {
            Now = At(Case.AheadDays);
            Recorder->Record(Outcome("kept", At(Case.AheadDays), true, 1));
        }
        ASSERT_TRUE(Recorder->Flush(5s));
        Now = At(Case.NowDays);
        Recorder->Prune();
        ASSERT_TRUE(Recorder->Flush(5s));
        std::vector<THistoryPoint> Want;
        for (const double Days : Case.Kept)
            Want.push_back({ At(Days), true, 1, "" });
        THistoryReader Reader(File);
        EXPECT_EQ(Reader.Points("/lists/a.cfg", "kept", 0), Want);
        EXPECT_EQ(Reader.Summaries("/lists/a.cfg", 0).size(), 1u);
    }
}

// Whether this process holds a descriptor of a file that was removed and whose name was AName.
bool HoldsRemoved(const std::string& AName)
{
    for (const auto& Entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code Failed;
        const std::string Target = std::filesystem::read_symlink(Entry.path(), Failed).string();
        if (!Failed && Target.rfind(AName, 0) == 0 && Target.find(" (deleted)") != std::string::npos)
            return true;
    }
    return false;
}

// The folder of the history removed while the recorder runs: noticed before the next batch,
// or by an idle writer within its watch interval, said once, and the history goes on in a new
// file at the same path; nothing more goes into the file that is gone.
TEST_F(THistoryTest, ARemovedFileIsFollowedByANewOne)
{
    struct TCase {
        const char* Name;
        bool Idle; // noticed by the writer's watch before anything more is recorded
    };
    for (const TCase& Case :
        { TCase { "removed, then a check", false }, TCase { "removed while idle", true } }) {
        SCOPED_TRACE(Case.Name);
        const std::string Top = Folder.Path(Case.Idle ? "idle" : "busy");
        File = Top + "/vardex/history.sqlite";
        std::atomic<int> Notices { 0 };
        std::string Notice; // written on the writer thread before Flush returns, read after
        auto Recorder = MakeRecorder();
        if (Case.Idle)
            Recorder->SetWatchInterval(20ms);
        Recorder->OnNotice = [&](const std::string& ANotice) {
            Notice = ANotice;
            ++Notices;
        };
        Recorder->Start();
        Recorder->Record(Outcome("web", T0, true, 1));
        ASSERT_TRUE(Recorder->Flush(5s));
        THistoryReader Reader(File);
        ASSERT_EQ(Reader.Points("/lists/a.cfg", "web", 0).size(), 1u);

        std::filesystem::remove_all(Top);
        for (int I = 0; Case.Idle && I < 500 && Notices.load() == 0; ++I)
            std::this_thread::sleep_for(10ms);
        EXPECT_EQ(std::filesystem::exists(File), Case.Idle);
        Recorder->Record(Outcome("web", T0 + 1000, false, 2, "x"));
        ASSERT_TRUE(Recorder->Flush(5s));
        EXPECT_EQ(Notices.load(), 1);
        EXPECT_EQ(
            Notice, "history file " + File + " was removed or replaced; recording goes on in a new one");
        const std::vector<THistoryPoint> Want = { { T0 + 1000, false, 2, "x" } };
        EXPECT_EQ(Reader.Points("/lists/a.cfg", "web", 0), Want);
        EXPECT_FALSE(HoldsRemoved(File));
        EXPECT_EQ(DisabledCalls.load(), 0);
        Recorder->Stop();
    }
}

TEST_F(THistoryTest, ADamagedFileSwitchesTheRecorderOffOnce)
{
    std::filesystem::create_directories(Folder.Path("state/vardex"));
    {
        std::ofstream Out(File, std::ios::binary);
        for (int I = 0; I < 400; ++I)
            Out << "not a database at all ";
    }
    auto Recorder = MakeRecorder();
    Recorder->Start();
    EXPECT_FALSE(Recorder->Flush(5s));
    EXPECT_FALSE(Recorder->Enabled());
    EXPECT_FALSE(Recorder->Record(Outcome("web", T0, true, 1)));
    Recorder->Rename("/lists/a.cfg", "web", "x");
    Recorder->Stop();
    EXPECT_EQ(DisabledCalls.load(), 1);
    EXPECT_NE(Reason.find("not a database"), std::string::npos) << Reason;
    EXPECT_EQ(Recorder->DisabledReason(), Reason);

    THistoryReader Reader(File);
    EXPECT_TRUE(Reader.Points("/lists/a.cfg", "web", 0).empty());
    EXPECT_NE(Reader.Error().find("not a database"), std::string::npos) << Reader.Error();
}

// A file of a newer schema is refused and left byte for byte as it was; an unversioned file
// with a column more (say, added by hand) still takes the checks.
TEST_F(THistoryTest, TheSchemaVersionIsHonoured)
{
    struct TCase {
        const char* Name;
        const char* Version;
        bool Taken;
    };
    const TCase Cases[]
        = { { "newer, with a column more", "2", false }, { "unversioned, with a column more", "0", true } };
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(Case.Name);
        File = Folder.Path(std::string("v") + Case.Version + ".sqlite");
        {
            auto First = MakeRecorder();
            First->Start();
            First->Record(Outcome("web", T0 - 1, true, 1));
            ASSERT_TRUE(First->Flush(5s));
        }
        sqlite3* Db = nullptr;
        ASSERT_EQ(sqlite3_open(File.c_str(), &Db), SQLITE_OK);
        const std::string Sql
            = std::string("ALTER TABLE outcome ADD COLUMN extra TEXT DEFAULT ''; PRAGMA user_version = ")
            + Case.Version;
        ASSERT_EQ(sqlite3_exec(Db, Sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
        sqlite3_close(Db);
        const auto Bytes = [this] {
            std::ifstream In(File, std::ios::binary);
            return std::string(std::istreambuf_iterator<char>(In), {});
        };
        const std::string Before = Bytes();
        Reason.clear();
        auto Recorder = MakeRecorder();
        Recorder->Start();
        Recorder->Record(Outcome("web", T0, true, 1));
        EXPECT_EQ(Recorder->Flush(5s), Case.Taken);
        Recorder->Stop();
        THistoryReader Reader(File);
        EXPECT_EQ(Reader.Points("/lists/a.cfg", "web", 0).size(), Case.Taken ? 2u : 0u);
        if (Case.Taken)
            continue;
        const std::string Said = File
            + " is of history version 2, newer than version 1 that this program "
              "reads; it is left as it is";
        EXPECT_EQ(Reason, Said);
        EXPECT_EQ(Reader.Error(), Said);
        EXPECT_TRUE(Bytes() == Before) << "the file was changed";
    }
}

TEST_F(THistoryTest, AFolderThatCannotBeMadeSwitchesTheRecorderOff)
{
    std::ofstream(Folder.Path("state")) << "a file where the folder should be";
    auto Recorder = MakeRecorder();
    Recorder->Start();
    EXPECT_FALSE(Recorder->Flush(5s));
    EXPECT_EQ(DisabledCalls.load(), 1);
    EXPECT_NE(Reason.find("cannot make"), std::string::npos) << Reason;
}

TEST_F(THistoryTest, ALockedFileSwitchesTheRecorderOffWithoutBlockingTheCaller)
{
    sqlite3* Other = LockedByAnother();
    ASSERT_FALSE(HasFailure());

    auto Recorder = MakeRecorder();
    Recorder->Start();
    for (int I = 1; I <= 100; ++I)
        Recorder->Record(Outcome("web", T0 + I, true, 1));
    EXPECT_FALSE(Recorder->Flush(10s));
    EXPECT_FALSE(Recorder->Enabled());
    EXPECT_NE(Reason.find("locked"), std::string::npos) << Reason;
    // The reader waits a moment at most, then says why it has nothing.
    THistoryReader Reader(File);
    (void)Reader.Points("/lists/a.cfg", "web", 0);
    sqlite3_exec(Other, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(Other);
    EXPECT_EQ(DisabledCalls.load(), 1);
}

// The program's exit must not wait on another program's lock, however long the busy time-out.
TEST_F(THistoryTest, StopDoesNotWaitForALock)
{
    sqlite3* Other = LockedByAnother();
    ASSERT_FALSE(HasFailure());
    auto Recorder = MakeRecorder();
    Recorder->SetBusyTimeout(600s);
    Recorder->SetBatchDelay(0ms);
    Recorder->Start();
    Recorder->Record(Outcome("web", T0 + 1, true, 1));
    const auto Start = std::chrono::steady_clock::now();
    Recorder->Stop();
    EXPECT_LT(std::chrono::steady_clock::now() - Start, 60s);
    EXPECT_FALSE(Recorder->Enabled());
    sqlite3_exec(Other, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(Other);
}

// A read-only file: root may write any file, so the recorder runs as another user in a
// child process when the test runs as root.
TEST_F(THistoryTest, AReadOnlyFileSwitchesTheRecorderOff)
{
    {
        auto First = MakeRecorder();
        First->Start();
        First->Record(Outcome("web", T0, true, 1));
        ASSERT_TRUE(First->Flush(5s));
    }
    const std::string Top = Folder.Path();
    // Let the other user into the folder; the file itself is read-only for everyone.
    for (const auto& Entry : std::filesystem::recursive_directory_iterator(Top))
        ::chmod(Entry.path().c_str(), Entry.is_directory() ? 0777 : 0444);
    ::chmod(Top.c_str(), 0777);
    ::chmod(File.c_str(), 0444);

    const pid_t Child = fork();
    ASSERT_GE(Child, 0);
    if (Child == 0) {
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0))
            _exit(3);
        THistoryRecorder Recorder(File);
        std::string Said;
        Recorder.OnDisabled = [&](const std::string& AReason) { Said = AReason; };
        Recorder.Start();
        const bool Written = Recorder.Flush(5s);
        Recorder.Stop();
        _exit(!Written && !Recorder.Enabled() && Said.find("read-only") != std::string::npos ? 0 : 1);
    }
    int Status = 0;
    ASSERT_EQ(waitpid(Child, &Status, 0), Child);
    ASSERT_TRUE(WIFEXITED(Status));
    EXPECT_EQ(WEXITSTATUS(Status), 0);
}

TEST(THistoryFile, SettingsFromTheEnvironment)
{
    struct TCase {
        const char* Switch; // nullptr: unset
        const char* Days;
        bool Enabled;
        int RetentionDays;
        bool Problem;
    };
    const TCase Cases[] = {
        { nullptr, nullptr, true, 30, false },
        { "off", nullptr, false, 30, false },
        { "0", "7", false, 7, false },
        { "on", "3650", true, 3650, false },
        { "maybe", nullptr, true, 30, true },
        { nullptr, "0", true, 30, true },
        { nullptr, "3651", true, 30, true },
        { nullptr, "7d", true, 30, true },
    };
    for (const TCase& Case : Cases) {
        Case.Switch ? setenv("VARDEX_HISTORY", Case.Switch, 1) : unsetenv("VARDEX_HISTORY");
        Case.Days ? setenv("VARDEX_HISTORY_DAYS", Case.Days, 1) : unsetenv("VARDEX_HISTORY_DAYS");
        const THistorySettings Got = HistorySettingsFromEnvironment();
        const std::string Name
            = std::string(Case.Switch ? Case.Switch : "-") + "/" + (Case.Days ? Case.Days : "-");
        EXPECT_EQ(Got.Enabled, Case.Enabled) << Name;
        EXPECT_EQ(Got.RetentionDays, Case.RetentionDays) << Name;
        EXPECT_EQ(!Got.Problem.empty(), Case.Problem) << Name;
    }
    unsetenv("VARDEX_HISTORY");
    unsetenv("VARDEX_HISTORY_DAYS");
}

TEST(THistoryFile, DefaultFileFollowsTheBaseDirectoryRule)
{
    struct TCase {
        const char* Name;
        const char* State; // nullptr: unset
        const char* Home;
        std::string Want;
    };
    const TCase Cases[] = {
        { "state home", "/s", "/h", "/s/vardex/history.sqlite" },
        { "unset", nullptr, "/h", "/h/.local/state/vardex/history.sqlite" },
        { "empty", "", "/h", "/h/.local/state/vardex/history.sqlite" },
        { "relative is ignored", "rel", "/h", "/h/.local/state/vardex/history.sqlite" },
        { "nothing", nullptr, nullptr, "" },
    };
    const std::string OldState = std::getenv("XDG_STATE_HOME") ? std::getenv("XDG_STATE_HOME") : "";
    const std::string OldHome = std::getenv("HOME") ? std::getenv("HOME") : "";
    for (const TCase& Case : Cases) {
        Case.State ? setenv("XDG_STATE_HOME", Case.State, 1) : unsetenv("XDG_STATE_HOME");
        Case.Home ? setenv("HOME", Case.Home, 1) : unsetenv("HOME");
        EXPECT_EQ(DefaultHistoryFile(), Case.Want) << Case.Name;
    }
    OldState.empty() ? unsetenv("XDG_STATE_HOME") : setenv("XDG_STATE_HOME", OldState.c_str(), 1);
    setenv("HOME", OldHome.c_str(), 1);
}

} // namespace
