// The schedule on the owner's thread: the monotonic due rule across wall-clock steps, what a
// tick starts and in which order, monitors in flight, a full pool, and verdicts that find
// their monitor deleted or busy with a later check.
#include "engine/Schedule.h"
#include "engine/VerdictQueue.h"
#include "support/ScriptedServer.h"
#include "support/TestClock.h"
#include "support/TestMonitor.h"

#include <sys/resource.h>
#include <system_error>

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace {

constexpr TDateTime Second = 1.0 / 86400;

class CheckSchedule : public ::testing::Test {
protected:
    std::shared_ptr<TTestMonitor> Add(
        const std::string& ATag, int32_t AInterval, TMonitorStatus AResult = msOK)
    {
        auto Monitor = std::make_shared<TTestMonitor>();
        Monitor->Tag = ATag;
        Monitor->SetInterval(AInterval);
        Monitor->Result = AResult;
        List.push_back({ ATag, Monitor });
        return Monitor;
    }
    // Waits for ACount verdicts (5 s at most) and applies them; the alarm after the last.
    bool ApplyVerdicts(size_t ACount)
    {
        size_t Applied = 0;
        for (int Round = 0; Round < 100 && Applied < ACount; ++Round) {
            Queue.Wait(std::chrono::milliseconds(50));
            for (const TCheckVerdict& Verdict : Queue.Drain()) {
                Schedule.Apply(Verdict);
                ++Applied;
            }
        }
        EXPECT_EQ(Applied, ACount);
        return Schedule.Alarm();
    }

    TTestCheckClock Clock;
    TScriptedProbes Probes;
    TVerdictQueue Queue;
    TCheckEngine Engine { Queue, Clock, 1, Probes.Probe() };
    TCheckSchedule Schedule { Engine, Clock };
    TMonitorList List;
};

} // namespace

TEST(DueRule, CountsMillisecondsOfTheMonotonicClock)
{
    struct TCase {
        const char* Name;
        int32_t Interval;
        std::optional<int64_t> Last;
        int64_t Now;
        bool Due;
    };
    const TCase Cases[] = {
        { "never checked", 1, {}, 0, true },
        { "before the interval", 5, 1200, 6199, false },
        { "at the interval", 5, 1200, 6200, false },
        { "just after", 5, 1200, 6201, true },
        { "interval 0", 0, {}, 99999, false },
        { "negative", -5, {}, 99999, false },
        { "a day", 86400, 0, 86400001, true },
        { "the largest interval", INT32_MAX, 0, int64_t(INT32_MAX) * 1000, false },
    };
    for (const TCase& Case : Cases) {
        TTestMonitor Monitor;
        Monitor.SetInterval(Case.Interval);
        if (Case.Last)
            Monitor.SetLastCheckTick(*Case.Last);
        EXPECT_EQ(IsMonitorDue(Monitor, Case.Now), Case.Due) << Case.Name;
    }
}

TEST_F(CheckSchedule, DueMonitorsStartInListOrderStampedOnBothClocks)
{
    auto A = Add("a", 5);
    auto Never = Add("never", 0);
    auto B = Add("b", 1, msError);
    const TDateTime Start = Clock.WallNow();
    const int64_t StartTick = Clock.MonotonicMs();
    // One worker, held by a's check: the second check waits its turn, so the order of starts
    // is the list's.
    A->Hang = true;
    Schedule.Tick(List);
    EXPECT_EQ(A->Status(), msChecking);
    EXPECT_EQ(A->LastCheck(), Start);
    EXPECT_EQ(A->LastCheckTick(), StartTick);
    EXPECT_EQ(B->Status(), msNone) << "refused by the full pool, so left as it was";
    Probes.Release();
    EXPECT_FALSE(ApplyVerdicts(1));
    Schedule.Tick(List);
    EXPECT_EQ(B->Status(), msChecking) << "still due at the next tick";
    EXPECT_TRUE(ApplyVerdicts(1));
    EXPECT_EQ(Probes.Started(), (std::vector<std::string> { "a", "b" }));
    EXPECT_EQ(A->Status(), msOK);
    EXPECT_EQ(B->Status(), msError);
    EXPECT_EQ(B->LastError(), "Scripted failure.");
    EXPECT_EQ(Never->LastCheckTick(), std::nullopt);
}

// Monitors that a full pool left due start as soon as a worker is free, in list order, without
// waiting for the next tick; once none is left, a monitor that becomes due waits for a tick.
TEST_F(CheckSchedule, MonitorsLeftDueStartWhenAWorkerIsFree)
{
    Add("a", 5)->Hang = true;
    Add("b", 5);
    Add("c", 5);
    Schedule.Tick(List);
    EXPECT_EQ(Schedule.InFlight(), 1u) << "b and c refused while a holds the one worker";
    Probes.Release();
    size_t Applied = 0;
    for (int Round = 0; Round < 100 && Applied < 3; ++Round) {
        Queue.Wait(std::chrono::milliseconds(50));
        for (const TCheckVerdict& Verdict : Queue.Drain()) {
            Schedule.Apply(Verdict);
            ++Applied;
        }
        Schedule.Resume(List);
    }
    EXPECT_EQ(Applied, 3u);
    EXPECT_EQ(Probes.Started(), (std::vector<std::string> { "a", "b", "c" }));
    Add("d", 5);
    Schedule.Resume(List);
    EXPECT_EQ(Schedule.InFlight(), 0u) << "nothing was left behind: d is the next tick's";
    Schedule.Tick(List);
    ApplyVerdicts(1);
    EXPECT_EQ(Probes.Started().back(), "d");
}

// A worker that comes free goes first to a monitor whose last check was quick, the longest
// waiting first, and only then to one whose last check was slow: a monitor whose check outlasts
// its interval is due again when it ends, but the others go first.
TEST_F(CheckSchedule, QuickChecksGoFirstThenTheLongestWaiting)
{
    // Every check holds the one worker until it is let go, so each start is the schedule's
    // choice alone.
    Add("slow", 1)->Hang = true;
    Add("quick", 1)->Hang = true;
    const auto LetGo = [this] {
        Probes.Release();
        ApplyVerdicts(1);
        Probes.Hold();
    };
    Schedule.Tick(List);
    // The check's time is measured from when its probe starts.
    for (int Wait = 0; Wait < 500 && Probes.Running() == 0; ++Wait)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    Clock += 3 * Second;
    LetGo();
    Schedule.Resume(List);
    LetGo();
    // Both due again; the slow one has waited longer, but its check took 3 s.
    Clock += 5 * Second;
    Schedule.Resume(List);
    LetGo();
    Schedule.Resume(List);
    LetGo();
    EXPECT_EQ(Probes.Started(), (std::vector<std::string> { "slow", "quick", "quick", "slow" }));
}

// Before any check, monitors take turns by host: a list that begins with monitors of one
// server leaves the worker to the first of them, then to the other servers' monitors.
TEST_F(CheckSchedule, FirstChecksTakeTurnsByHost)
{
    for (const char* Tag : { "silent 1", "silent 2" }) {
        auto Monitor = Add(Tag, 60);
        Monitor->Host = "http://silent.test:8080";
        Monitor->Hang = true;
    }
    Add("other", 60)->Host = "http://other.test";
    Schedule.Tick(List);
    for (size_t Round = 0; Round < 2; ++Round) {
        for (int Wait = 0; Wait < 500 && Probes.Started().size() <= Round; ++Wait)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        Probes.Release();
        ApplyVerdicts(1);
        Probes.Hold();
        Schedule.Resume(List);
    }
    for (int Wait = 0; Wait < 500 && Probes.Started().size() < 3; ++Wait)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(Probes.Started(), (std::vector<std::string> { "silent 1", "other", "silent 2" }));
    EXPECT_EQ(HostOfTarget(*List[0].Monitor), "http://silent.test:8080");
}

// A tick hands free workers out in the same order, not in list order: a monitor whose check
// hangs to its time-out, listed first, is due again when the check ends, but the healthy ones
// that fell due meanwhile go first, and it gets the next worker. The wait is said once.
TEST_F(CheckSchedule, FreeWorkersGoInTheOrderMonitorsFellDue)
{
    Add("hangs", 1)->Hang = true;
    Add("a", 12);
    Add("b", 12);
    std::vector<std::string> Said;
    Schedule.OnShortage = [&](const std::string& AText) { Said.push_back(AText); };
    Schedule.Tick(List);
    EXPECT_EQ(Said.size(), 0u) << "a and b have only just fallen due";
    Clock += 10 * Second;
    Schedule.Tick(List);
    EXPECT_EQ(Said,
        std::vector<std::string> { "Checks wait for workers: the only worker is busy, and 2 due "
                                   "monitors wait, the longest for 10 s. They start as workers come "
                                   "free, quick checks first." });
    // The check that runs ends (a hanging one at its time-out), and a second later a tick
    // hands the worker on.
    const auto Finish = [this](size_t AStarted) {
        for (int Wait = 0; Wait < 500 && Probes.Started().size() < AStarted; ++Wait)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (Probes.Started().back() == "hangs") {
            Clock += 10 * Second;
            Probes.Release();
        }
        ApplyVerdicts(1);
        Probes.Hold();
    };
    for (size_t Round = 1; Round < 7; ++Round) {
        Finish(Round);
        Clock += Second;
        Schedule.Tick(List);
    }
    Finish(7);
    EXPECT_EQ(Probes.Started(), (std::vector<std::string> { "hangs", "a", "b", "hangs", "a", "b", "hangs" }));
    // Once for each stretch of waiting: none waited when the hanging monitor started again alone,
    // and it waited its ten seconds behind a.
    EXPECT_EQ(Said.size(), 2u);
}

// The wall clock set back an hour, or on by a day: the monotonic clock decides, so checks go
// on at their interval, neither stopping nor all firing at once.
TEST_F(CheckSchedule, WallClockStepsNeitherStopNorFloodTheChecks)
{
    auto A = Add("a", 5);
    std::vector<int> Starts;
    for (int Sec = 0; Sec < 30; ++Sec) {
        if (Sec == 7)
            Clock.StepWall(-3600 * Second);
        if (Sec == 17)
            Clock.StepWall(86400 * Second);
        Schedule.Tick(List);
        if (Schedule.InFlight() > 0) {
            ApplyVerdicts(1);
            Starts.push_back(Sec);
        }
        Clock.Pass(Second);
    }
    EXPECT_EQ(Starts, (std::vector<int> { 0, 6, 12, 18, 24 }));
    // What is shown still follows the wall clock.
    EXPECT_NEAR(A->LastCheck(), 45000.5 + (24 - 3600 + 86400) * Second, Second / 1000);
}

TEST_F(CheckSchedule, AMonitorInFlightIsNotStartedAgain)
{
    auto Slow = Add("slow", 1);
    Slow->Hang = true;
    EXPECT_TRUE(Schedule.RunCheck(Slow));
    Clock.Pass(5 * Second);
    Schedule.Tick(List);
    EXPECT_FALSE(Schedule.RunCheck(Slow));
    EXPECT_TRUE(Schedule.IsChecking(Slow.get()));
    Probes.Release();
    ApplyVerdicts(1);
    EXPECT_FALSE(Schedule.IsChecking(Slow.get()));
    EXPECT_EQ(Probes.ChecksOf("slow"), 1);
}

// A verdict counts only for the check in flight of a monitor that still exists.
TEST_F(CheckSchedule, VerdictsOfForgottenOrDeletedMonitorsChangeNothing)
{
    auto Forgotten = Add("forgotten", 1, msError);
    Forgotten->Hang = true;
    ASSERT_TRUE(Schedule.RunCheck(Forgotten));
    // Running, not only queued (a queued check is dropped without a verdict).
    for (int Wait = 0; Wait < 500 && Probes.Running() == 0; ++Wait)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    Schedule.Forget(Forgotten.get());
    EXPECT_FALSE(Schedule.IsChecking(Forgotten.get()));
    ApplyVerdicts(1);
    EXPECT_EQ(Probes.Cancelled(), 1);
    EXPECT_EQ(Forgotten->Status(), msChecking);
    EXPECT_FALSE(Schedule.Alarm());

    Probes.Release();
    List.clear();
    auto Deleted = Add("deleted", 1, msError);
    std::weak_ptr<TServiceMonitor> Watch = Deleted;
    ASSERT_TRUE(Schedule.RunCheck(Deleted));
    List.clear();
    Deleted.reset();
    EXPECT_TRUE(Watch.expired());
    EXPECT_FALSE(ApplyVerdicts(1));
}

// A check that gets no descriptor finds nothing about its service: the monitor stays as it
// was, the shortage is said once, and the next check, with descriptors free again, runs.
TEST(CheckShortage, PutsTheMonitorBackAndSaysItOnce)
{
    const nettest::TIsolatedResult Result = nettest::RunIsolated([]() -> std::string {
        nettest::THttpTestServer Server(200);
        TVerdictQueue Queue;
        TSystemCheckClock Clock;
        TCheckEngine Engine(Queue, Clock, 1);
        TCheckSchedule Schedule(Engine, Clock);
        std::vector<std::string> Said;
        Schedule.OnShortage = [&](const std::string& AText) { Said.push_back(AText); };
        const std::shared_ptr<TServiceMonitor> Monitor
            = CreateMonitorFromSettings({ "Type=WebMonitor", "URL=" + Server.Url() });
        const auto Check = [&] {
            if (Schedule.RunCheck(Monitor))
                while (Schedule.InFlight() > 0 && Queue.Wait(std::chrono::milliseconds(5000)))
                    for (const TCheckVerdict& Verdict : Queue.Drain())
                        Schedule.Apply(Verdict);
            return std::to_string(Monitor->Status()) + " " + std::to_string(Said.size());
        };
        if (Check() != "2 0")
            return "first check: " + Monitor->LastError();
        const std::optional<int64_t> Stamp = Monitor->LastCheckTick();
        // The sanitizer checks a type the first time it meets it, with a descriptor of its own.
        (void)ResourceShortage(ENetOutOfResources({}, {}));
        (void)ResourceShortage(std::system_error(EMFILE, std::generic_category()));
        // Every descriptor taken; the worker, started already, waits idle.
        rlimit Limit {};
        getrlimit(RLIMIT_NOFILE, &Limit);
        Limit.rlim_cur = 256;
        setrlimit(RLIMIT_NOFILE, &Limit);
        std::vector<nettest::TFd> Taken;
        for (int Fd; Taken.size() < 256 && (Fd = dup(0)) >= 0;)
            Taken.emplace_back(Fd);
        if (Check() != "2 1" || Check() != "2 1" || Monitor->LastCheckTick() != Stamp
            || Schedule.Shortages() != 2
            || Said[0] != "Checks put off: Too many open files. They are tried again at the next tick.")
            return "short of descriptors: " + Said.at(0);
        // No new worker can start either: refused, not raised.
        TCheckEngine Fresh(Queue, Clock, 1);
        if (Fresh.Submit({}) || Fresh.StartFailure() != "Too many open files.")
            return "a worker without a descriptor: " + Fresh.StartFailure();
        Taken.clear();
        Monitor->SetStatus(msError);
        return Check() == "2 1" ? "" : "after: " + Monitor->LastError();
    });
    if (Result.Skipped)
        GTEST_SKIP() << "no network namespace";
    EXPECT_EQ(Result.Error, "");
}
