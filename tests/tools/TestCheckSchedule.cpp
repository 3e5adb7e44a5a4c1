// The check tick without a display, as vardex-check --watch runs it: order, stamps, the alarm,
// the check hook, and checks that run further ticks or change the list while they work.
#include "app/TestMonitor.h"
#include "monitors/Schedule.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace {

constexpr TDateTime Second = 1.0 / 86400;

class CheckSchedule : public ::testing::Test {
protected:
    CheckSchedule()
    {
        SetNowClock([this] { return Clock; });
    }
    ~CheckSchedule() override { SetNowClock({}); }

    std::shared_ptr<TTestMonitor> Add(
        const std::string& ATag, int32_t AInterval, TMonitorStatus AResult = msOK)
    {
        auto Monitor = std::make_shared<TTestMonitor>();
        Monitor->Tag = ATag;
        Monitor->SetInterval(AInterval);
        Monitor->Result = AResult;
        Monitor->Order = &Order;
        List.push_back({ ATag, Monitor });
        return Monitor;
    }

    TDateTime Clock = EncodeDate(2024, 3, 1) + EncodeTime(12, 0, 0, 200);
    TMonitorList List;
    TCheckSchedule Schedule;
    std::vector<std::string> Order;
};

TEST_F(CheckSchedule, DueMonitorsInListOrderStampedAtTheStart)
{
    auto A = Add("a", 5);
    auto Never = Add("never", 0);
    auto B = Add("b", 1, msError);
    const TDateTime Start = Clock;
    // The clock moves while a check runs; the stamp is the time before it.
    A->Work = [this](TTestMonitor&) { Clock += 3 * Second; };
    EXPECT_TRUE(Schedule.Tick(List));
    EXPECT_EQ(Order, (std::vector<std::string> { "a", "b" }));
    EXPECT_EQ(A->LastCheck(), Start);
    EXPECT_EQ(B->LastCheck(), Start + 3 * Second);
    EXPECT_EQ(Never->Checks, 0);
    EXPECT_EQ(Never->LastCheck(), 0);

    // 5 s after a's start it is not due yet, b (1 s) is.
    Order.clear();
    Clock = Start + 5 * Second;
    B->Result = msOK;
    EXPECT_FALSE(Schedule.Tick(List));
    EXPECT_EQ(Order, (std::vector<std::string> { "b" }));
    Clock = Start + 5 * Second + Second / 100;
    Order.clear();
    Schedule.Tick(List);
    EXPECT_EQ(Order, (std::vector<std::string> { "a", "b" }));
}

TEST_F(CheckSchedule, AlarmCountsMonitorsNotCheckedInThisTick)
{
    auto Failed = Add("failed", 0);
    Failed->SetStatus(msError);
    Add("fine", 1);
    EXPECT_TRUE(Schedule.Tick(List));
    Failed->SetStatus(msOK);
    EXPECT_FALSE(Schedule.Tick(List));
    EXPECT_FALSE(Schedule.Tick({}));
}

TEST_F(CheckSchedule, HookRunsEachCheckAfterTheStamp)
{
    auto A = Add("a", 1);
    std::vector<TDateTime> Stamps;
    Schedule.OnCheck = [&](TServiceMonitor& AMonitor) {
        EXPECT_TRUE(Schedule.IsChecking(&AMonitor));
        Stamps.push_back(AMonitor.LastCheck());
        AMonitor.Check();
    };
    Schedule.Tick(List);
    EXPECT_EQ(Stamps, (std::vector<TDateTime> { Clock }));
    EXPECT_EQ(A->Checks, 1);
    EXPECT_FALSE(Schedule.IsChecking(A.get()));

    // A hook that leaves the check out: the monitor is stamped all the same.
    Schedule.OnCheck = [](TServiceMonitor&) {};
    Clock += 2 * Second;
    Schedule.Tick(List);
    EXPECT_EQ(A->Checks, 1);
    EXPECT_EQ(A->LastCheck(), Clock);
}

TEST_F(CheckSchedule, NestedTickLeavesTheRunningCheckAlone)
{
    auto Slow = Add("slow", 1);
    auto Other = Add("other", 1);
    int Nested = 0;
    Slow->Work = [&](TTestMonitor&) {
        // Ticks that come while the check runs, with every interval long past.
        for (int I = 0; I < 3; ++I) {
            Clock += 2 * Second;
            Schedule.Tick(List);
            ++Nested;
        }
    };
    Schedule.Tick(List);
    EXPECT_EQ(Nested, 3);
    EXPECT_EQ(Slow->Checks, 1);
    EXPECT_EQ(Slow->MaxDepth, 1);
    // Checked by each nested tick; the outer tick comes to it within its interval.
    EXPECT_EQ(Other->Checks, 3);
    EXPECT_FALSE(Schedule.IsChecking(Slow.get()));
}

TEST_F(CheckSchedule, DeletesDuringACheck)
{
    auto First = Add("first", 1);
    auto Second_ = Add("second", 1, msError);
    auto Third = Add("third", 1);
    bool Freed = false;
    Second_->OnFree = [&Freed] { Freed = true; };
    // The first check deletes the second monitor before its turn, the third deletes itself.
    First->Work = [this](TTestMonitor&) { List.erase(List.begin() + 1); };
    Third->Work = [this](TTestMonitor&) { List.pop_back(); };
    Third->Result = msError;
    Second_.reset();
    // Neither the deleted second nor the third, deleted during its own check, counts.
    EXPECT_FALSE(Schedule.Tick(List));
    EXPECT_TRUE(Freed);
    EXPECT_EQ(Order, (std::vector<std::string> { "first", "third" }));
    EXPECT_EQ(List.size(), 1u);
}

TEST_F(CheckSchedule, ExceptionEndsTheTick)
{
    auto Broken = Add("broken", 1);
    auto After = Add("after", 1);
    Broken->Work = [](TTestMonitor&) { throw std::runtime_error("cannot start"); };
    EXPECT_THROW(Schedule.Tick(List), std::runtime_error);
    EXPECT_EQ(After->Checks, 0);
    EXPECT_FALSE(Schedule.IsChecking(Broken.get()));
    EXPECT_GT(Broken->LastCheck(), 0);
}

} // namespace
