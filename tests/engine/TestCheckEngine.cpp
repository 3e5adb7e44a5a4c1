// The engine's pool: a bounded number of checks at once, verdicts with their facts, the one
// failure policy, and cancels that wake real probes waiting on silent loopback servers.
#include "engine/CheckEngine.h"
#include "engine/VerdictQueue.h"
#include "support/Icmp.h"
#include "support/Net.h"
#include "support/ScriptedServer.h"
#include "support/TestClock.h"
#include "support/TestMonitor.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <stdexcept>
#include <thread>

#include <sys/resource.h>
#include <unistd.h>

namespace {

TCheckRequest Request(uint64_t AId, const TServiceMonitor& AMonitor)
{
    TCheckRequest Result;
    Result.Id = AId;
    Result.Type = AMonitor.TypeKey();
    Result.Settings = AMonitor.GetSettings();
    Result.Start = 45000.25;
    return Result;
}

// Every verdict the queue gets within 5 s, until ACount have come.
std::vector<TCheckVerdict> Collect(TVerdictQueue& AQueue, size_t ACount)
{
    std::vector<TCheckVerdict> All;
    const auto Deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (All.size() < ACount && std::chrono::steady_clock::now() < Deadline) {
        AQueue.Wait(std::chrono::milliseconds(50));
        for (TCheckVerdict& Verdict : AQueue.Drain())
            All.push_back(std::move(Verdict));
    }
    return All;
}

// A web monitor of a loopback port that takes connections and never answers.
std::unique_ptr<TWebMonitor> SilentWeb(const nettest::TFd& AListener)
{
    auto Monitor = std::make_unique<TWebMonitor>();
    Monitor->SetURL("http://127.0.0.1:" + std::to_string(nettest::LocalPort(AListener.Get())) + "/");
    return Monitor;
}

} // namespace

TEST(CheckEngine, RefusesWorkWhenEveryWorkerIsBusy)
{
    TVerdictQueue Queue;
    TTestCheckClock Clock;
    TScriptedProbes Probes;
    TCheckEngine Engine(Queue, Clock, 2, Probes.Probe());
    TTestMonitor Hanging;
    Hanging.Hang = true;
    EXPECT_TRUE(Engine.Submit(Request(1, Hanging)));
    EXPECT_TRUE(Engine.Submit(Request(2, Hanging)));
    EXPECT_FALSE(Engine.Submit(Request(3, Hanging)));
    EXPECT_EQ(Engine.InFlight(), 2u);
    Probes.Release();
    EXPECT_EQ(Collect(Queue, 2).size(), 2u);
    EXPECT_EQ(Engine.InFlight(), 0u);
    EXPECT_TRUE(Engine.Submit(Request(4, Hanging)));
    EXPECT_EQ(Collect(Queue, 1).size(), 1u);
    EXPECT_LE(Engine.Threads(), 2u);
}

// A check behind busy workers gets a worker of its own once it has waited the growth delay,
// one start per delay: a burst of quick checks stays on the few threads it keeps busy, and
// checks behind hanging ones still run side by side.
TEST(CheckEngine, WaitingChecksGetWorkersOneGrowthDelayApart)
{
    TVerdictQueue Queue;
    TTestCheckClock Clock;
    TScriptedProbes Probes;
    TCheckEngine Engine(Queue, Clock, 4, Probes.Probe());
    TTestMonitor Hanging;
    Hanging.Hang = true;
    const auto Start = std::chrono::steady_clock::now();
    for (uint64_t Id = 1; Id <= 4; ++Id)
        ASSERT_TRUE(Engine.Submit(Request(Id, Hanging)));
    while (Probes.Running() < 4 && nettest::MillisecondsSince(Start) < 5000)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_EQ(Probes.Running(), 4);
    EXPECT_GE(std::chrono::steady_clock::now() - Start, 3 * TCheckEngine::GrowthDelay);
    EXPECT_EQ(Engine.Threads(), 4u);
    for (uint64_t Id = 1; Id <= 4; ++Id)
        Engine.Cancel(Id);
    EXPECT_EQ(Collect(Queue, 4).size(), 4u);
    // The next burst finds every worker idle, and comes faster than a woken thread gets to run:
    // the one woken wakes the next, and all four run.
    std::vector<TCheckRequest> Burst;
    for (uint64_t Id = 5; Id <= 8; ++Id)
        Burst.push_back(Request(Id, Hanging));
    for (TCheckRequest& Next : Burst)
        ASSERT_TRUE(Engine.Submit(std::move(Next)));
    const auto Again = std::chrono::steady_clock::now();
    while (Probes.Running() < 4 && nettest::MillisecondsSince(Again) < 5000)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_EQ(Probes.Running(), 4);
    EXPECT_EQ(Engine.Threads(), 4u);
    Probes.Release();
    EXPECT_EQ(Collect(Queue, 4).size(), 4u);
}

// A probe that hands its check off leaves its worker free at once; the check stays in flight
// until it is finished from elsewhere, a cancel is passed on to it, and Shutdown cancels it and
// waits for its finish.
TEST(CheckEngine, HandedOffChecksFreeTheirWorker)
{
    std::mutex Lock;
    std::map<uint64_t, TProbeHandOff::TFinish> Finishes;
    std::vector<uint64_t> Cancels;
    // Joined on every way out, after the engine that waits for them.
    std::vector<std::jthread> Finishers;
    const auto Probe = [&](const TCheckRequest& ARequest) -> TProbeResult {
        std::string Tag;
        FindSettingsValue(ARequest.Settings, "Tag", Tag);
        if (Tag != "off")
            return { msOK, {} };
        const uint64_t Id = ARequest.Id;
        const TProbeHandOff::TFinish Finish = CurrentProbeHandOff()->HandOff([&, Id] {
            std::lock_guard<std::mutex> Guard(Lock);
            Cancels.push_back(Id);
            // Finished as a parked ping is: soon, on another thread.
            Finishers.emplace_back([Finish = Finishes[Id]] {
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
                Finish({ msError, "Cancelled." });
            });
        });
        std::lock_guard<std::mutex> Guard(Lock);
        Finishes[Id] = Finish;
        return { msOK, "what the probe returns after a hand-off is ignored" };
    };
    // Until the probe has the finish of AId.
    const auto HandedOff = [&](uint64_t AId) {
        for (int I = 0; I < 500; ++I) {
            {
                std::lock_guard<std::mutex> Guard(Lock);
                if (Finishes.count(AId))
                    return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return false;
    };
    TVerdictQueue Queue;
    TTestCheckClock Clock;
    auto Engine = std::make_unique<TCheckEngine>(Queue, Clock, 2, Probe);
    TTestMonitor Off, Quick;
    Off.Tag = "off";
    ASSERT_TRUE(Engine->Submit(Request(1, Off)));
    ASSERT_TRUE(HandedOff(1));
    ASSERT_TRUE(Engine->Submit(Request(2, Quick)));
    std::vector<TCheckVerdict> Got = Collect(Queue, 1);
    ASSERT_EQ(Got.size(), 1u);
    EXPECT_EQ(Got[0].Id, 2u);
    // The second check ran on the first one's worker.
    EXPECT_EQ(Engine->Threads(), 1u);
    EXPECT_EQ(Engine->InFlight(), 1u);

    Clock.Pass(1500.0 / MSecsPerDay);
    std::thread([&] { Finishes.at(1)({ msError, "Request timed out." }); }).join();
    Got = Collect(Queue, 1);
    ASSERT_EQ(Got.size(), 1u);
    EXPECT_EQ(Got[0].Id, 1u);
    EXPECT_EQ(Got[0].Status, msError);
    EXPECT_EQ(Got[0].Reason, "Request timed out.");
    EXPECT_EQ(Got[0].Start, 45000.25);
    EXPECT_EQ(Got[0].DurationMs, 1500);
    EXPECT_FALSE(Got[0].Cancelled);
    EXPECT_EQ(Engine->InFlight(), 0u);

    ASSERT_TRUE(Engine->Submit(Request(3, Off)));
    ASSERT_TRUE(HandedOff(3));
    Engine->Cancel(3);
    Got = Collect(Queue, 1);
    ASSERT_EQ(Got.size(), 1u);
    EXPECT_EQ(Got[0].Id, 3u);
    EXPECT_TRUE(Got[0].Cancelled);

    ASSERT_TRUE(Engine->Submit(Request(4, Off)));
    ASSERT_TRUE(HandedOff(4));
    Engine->Shutdown();
    EXPECT_EQ(Engine->InFlight(), 0u);
    EXPECT_FALSE(Queue.Wait(std::chrono::milliseconds(0)));
    Engine.reset();
    Finishers.clear();
    EXPECT_EQ(Cancels, (std::vector<uint64_t> { 3, 4 }));
}

// Real pings, on either socket kind: a check whose host is silent hands its waiting off and
// frees its worker, so checks started one after another wait side by side on one worker; a
// cancel ends one at once.
class CheckEnginePing : public ::testing::TestWithParam<icmptest::TKind> { };

TEST_P(CheckEnginePing, SilentChecksLeaveTheirWorker)
{
    const icmptest::TKind Kind = GetParam();
    ICMP_RUN_ISOLATED([Kind] {
        icmptest::TWitness Witness;
        if (!Witness.Ok() || !icmptest::IgnoreEchoRequests(true) || !icmptest::UseKind(Kind))
            return std::string("SKIP");
        icmptest::TChecks Checks;
        TVerdictQueue Queue;
        TSystemCheckClock Clock;
        TCheckEngine Engine(Queue, Clock, 4);
        TPingMonitor Ping;
        Ping.SetRetry(2);
        const auto Start = std::chrono::steady_clock::now();
        size_t Sent = 0;
        for (uint64_t Id = 1; Id <= 3; ++Id) {
            Checks.True(Engine.Submit(Request(Id, Ping)), "check taken");
            // Its request on the wire, the check is handed off a moment later, and the next
            // one finds the worker idle.
            for (int I = 0; I < 1000 && Sent < Id; ++I) {
                Sent += Witness.Requests().size();
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
        }
        // Without the hand-off each silent check would hold a worker of its own.
        Checks.True(Engine.Threads() < 3, "workers started: " + std::to_string(Engine.Threads()));
        Checks.Equal(Engine.InFlight(), 3u, "checks in flight");
        Engine.Cancel(3);
        const std::vector<TCheckVerdict> Got = Collect(Queue, 3);
        std::string Ids;
        for (const TCheckVerdict& Verdict : Got)
            Ids += " " + std::to_string(Verdict.Id) + (Verdict.Cancelled ? " (cancelled)" : "");
        Checks.Equal(Got.size(), 3u, "verdicts, got" + Ids);
        if (Got.size() != 3)
            return Checks.Errors;
        Checks.True(Got[0].Id == 3 && Got[0].Cancelled, "the cancelled check ends first");
        for (size_t I = 1; I < 3; ++I) {
            Checks.Equal(Got[I].Reason, std::string("Request timed out."), "reason");
            Checks.True(Got[I].DurationMs >= 1950 && Got[I].DurationMs < 2500,
                "took " + std::to_string(Got[I].DurationMs) + " ms");
        }
        Checks.True(nettest::MillisecondsSince(Start) < 2700, "all took longer than their retries");
        return Checks.Errors;
    });
}

INSTANTIATE_TEST_SUITE_P(BothSockets, CheckEnginePing,
    ::testing::Values(icmptest::TKind::Raw, icmptest::TKind::Datagram),
    [](const auto& AInfo) { return icmptest::KindName(AInfo.param); });

// Workers run below the thread that owns the monitors, so a burst of checks cannot hold up the
// window.
TEST(CheckEngine, WorkersRunAtALowerPriority)
{
    TVerdictQueue Queue;
    TTestCheckClock Clock;
    std::atomic<int> WorkerNice { -100 };
    TCheckEngine Engine(Queue, Clock, 1, [&](const TCheckRequest&) {
        WorkerNice = getpriority(PRIO_PROCESS, static_cast<id_t>(gettid()));
        return TProbeResult { msOK, {} };
    });
    TTestMonitor Monitor;
    ASSERT_TRUE(Engine.Submit(Request(1, Monitor)));
    ASSERT_EQ(Collect(Queue, 1).size(), 1u);
    EXPECT_EQ(WorkerNice.load(), std::min(getpriority(PRIO_PROCESS, 0) + TCheckEngine::WorkerNice, 19));
}

TEST(CheckEngine, VerdictCarriesStatusReasonStartAndDuration)
{
    TVerdictQueue Queue;
    TTestCheckClock Clock;
    TCheckEngine Engine(Queue, Clock, 4, [&Clock](const TCheckRequest& ARequest) -> TProbeResult {
        Clock.Pass(1.5 / 86400);
        if (ARequest.Id == 2)
            throw std::runtime_error("Cannot create the client");
        if (ARequest.Id == 3)
            throw 42;
        return { msOK, {} };
    });
    TTestMonitor Monitor;
    for (uint64_t Id = 1; Id <= 3; ++Id) {
        ASSERT_TRUE(Engine.Submit(Request(Id, Monitor)));
        const std::vector<TCheckVerdict> Got = Collect(Queue, 1);
        ASSERT_EQ(Got.size(), 1u);
        EXPECT_EQ(Got[0].Id, Id);
        EXPECT_EQ(Got[0].Start, 45000.25);
        EXPECT_EQ(Got[0].DurationMs, 1500);
        EXPECT_FALSE(Got[0].Cancelled);
        // A probe that could not even start is an error with its text: the one policy.
        const std::pair<TMonitorStatus, std::string> Expected[]
            = { { msOK, "" }, { msError, "Cannot create the client" }, { msError, "Unknown error." } };
        EXPECT_EQ(Got[0].Status, Expected[Id - 1].first);
        EXPECT_EQ(Got[0].Reason, Expected[Id - 1].second);
    }
}

// The real probe rebuilds the monitor from the snapshot; its type line comes first.
TEST(CheckEngine, RealProbeRunsOnTheSnapshot)
{
    TPingMonitor Ping;
    Ping.SetRetry(-2);
    TCheckRequest Ask = Request(1, Ping);
    Ask.Settings.push_back("Type=WebMonitor");
    const TProbeResult Result = RunMonitorProbe(Ask);
    EXPECT_EQ(Result.Status, msError);
    EXPECT_EQ(Result.Reason, "Retry is -2: no echo request is sent; set Retry to 1 or more.");
    Ask.Type = "TestMonitor";
    EXPECT_EQ(RunMonitorProbe(Ask).Reason, "Unknown monitor type \"TestMonitor\".");
}

// A cancel wakes a real web check that waits for an answer, and Shutdown joins the others,
// well within their 10 s read time-out.
TEST(CheckEngine, CancelAndShutdownWakeWaitingProbes)
{
    nettest::TFd Silent = nettest::Listener();
    TVerdictQueue Queue;
    TSystemCheckClock Clock;
    TCheckEngine Engine(Queue, Clock, 4);
    const std::unique_ptr<TWebMonitor> Web = SilentWeb(Silent);
    ASSERT_TRUE(Engine.Submit(Request(1, *Web)));
    ASSERT_TRUE(Engine.Submit(Request(2, *Web)));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_FALSE(Queue.Wait(std::chrono::milliseconds(0)));

    auto Start = std::chrono::steady_clock::now();
    Engine.Cancel(1);
    const std::vector<TCheckVerdict> Got = Collect(Queue, 1);
    EXPECT_LT(nettest::MillisecondsSince(Start), 1000);
    ASSERT_EQ(Got.size(), 1u);
    EXPECT_EQ(Got[0].Id, 1u);
    EXPECT_TRUE(Got[0].Cancelled);
    EXPECT_EQ(Engine.InFlight(), 1u);

    Start = std::chrono::steady_clock::now();
    Engine.Shutdown();
    EXPECT_LT(nettest::MillisecondsSince(Start), 1000);
    EXPECT_EQ(Engine.Threads(), 0u);
    EXPECT_EQ(Engine.InFlight(), 0u);
    EXPECT_FALSE(Engine.Submit(Request(3, *Web)));
    // Nothing is delivered once the engine is shut down.
    EXPECT_FALSE(Queue.Wait(std::chrono::milliseconds(0)));
}

// Real checks side by side: each has its own client, connection and socket stack use, and
// none disturbs another (the ThreadSanitizer run watches the shared parts).
TEST(CheckEngine, RealWebChecksSideBySide)
{
    nettest::THttpTestServer Fine(200);
    nettest::THttpTestServer Failing(503);
    TVerdictQueue Queue;
    TSystemCheckClock Clock;
    TCheckEngine Engine(Queue, Clock, 8);
    TWebMonitor Good;
    Good.SetURL(Fine.Url("/a"));
    TWebMonitor Bad;
    Bad.SetURL(Failing.Url("/b"));
    for (uint64_t Id = 1; Id <= 8; ++Id)
        ASSERT_TRUE(Engine.Submit(Request(Id, Id % 2 ? Good : Bad)));
    const std::vector<TCheckVerdict> Got = Collect(Queue, 8);
    ASSERT_EQ(Got.size(), 8u);
    for (const TCheckVerdict& Verdict : Got) {
        EXPECT_EQ(Verdict.Status, Verdict.Id % 2 ? msOK : msError) << Verdict.Id;
        EXPECT_EQ(Verdict.Reason, Verdict.Id % 2 ? "" : "HTTP/1.1 503 Failed") << Verdict.Id;
    }
    EXPECT_EQ(Fine.Requests(), 4);
    EXPECT_EQ(Failing.Requests(), 4);
}
