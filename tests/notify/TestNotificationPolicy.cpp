// Which status changes become notifications: scripted verdicts against a clock the test sets.
#include "notify/Notifications.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

// GoogleTest finds it beside the type.
void PrintTo(const TNotification& A, std::ostream* AOut)
{
    *AOut << "{" << A.Monitor << ", " << (A.OK ? "OK" : "ERROR") << ", \"" << A.Reason << "\", " << A.Changes
          << ", down " << A.DownMs << "}";
}

namespace {

constexpr int64_t S = 1000;

struct TStep {
    int64_t At;
    char Kind; // 'V' a verdict of monitor Key, 'D' a call of Due, 'F' the monitor Key is forgotten
    int Key;
    bool OK;
    const char* Reason;
    std::vector<TNotification> Want;
};

struct TCase {
    const char* Name;
    std::vector<TStep> Steps;
};

const char* NameOf(int AKey)
{
    return AKey == 1 ? "web" : "ping";
}

TNotification Err(const char* AReason, int AChanges = 1, int AKey = 1)
{
    return { NameOf(AKey), false, AReason, AChanges };
}
TNotification Ok(int AChanges = 1, int AKey = 1)
{
    return { NameOf(AKey), true, "", AChanges };
}

TEST(TNotificationPolicy, Sequences)
{
    const TCase Cases[] = {
        { "a first OK says nothing", { { 0, 'V', 1, true, "", {} } } },
        { "a first ERROR is told", { { 0, 'V', 1, false, "refused", { Err("refused") } } } },
        { "a standing error is never told again",
            { { 0, 'V', 1, false, "refused", { Err("refused") } }, { 10 * S, 'V', 1, false, "refused", {} },
                { 70 * S, 'V', 1, false, "timed out", {} }, { 200 * S, 'D', 0, false, "", {} } } },
        { "back to OK after the minute is told at once",
            { { 0, 'V', 1, true, "", {} }, { 5 * S, 'V', 1, false, "refused", { Err("refused") } },
                { 90 * S, 'V', 1, true, "", { Ok() } }, { 95 * S, 'V', 1, true, "", {} } } },
        { "changes within the minute are folded into one at its end",
            { { 0, 'V', 1, false, "a", { Err("a") } }, { 10 * S, 'V', 1, true, "", {} },
                { 20 * S, 'V', 1, false, "b", {} }, { 30 * S, 'V', 1, true, "", {} },
                { 60 * S - 1, 'D', 0, false, "", {} }, { 60 * S, 'D', 0, false, "", { Ok(3) } },
                { 61 * S, 'D', 0, false, "", {} } } },
        { "a flap back to the told status is still summarised",
            { { 0, 'V', 1, false, "a", { Err("a") } }, { 10 * S, 'V', 1, true, "", {} },
                { 20 * S, 'V', 1, false, "b", {} }, { 60 * S, 'D', 0, false, "", { Err("b", 2) } } } },
        { "a change after a held minute goes at once with what it held",
            { { 0, 'V', 1, false, "a", { Err("a") } }, { 10 * S, 'V', 1, true, "", {} },
                { 75 * S, 'V', 1, false, "c", { Err("c", 2) } }, { 80 * S, 'V', 1, true, "", {} },
                { 135 * S, 'D', 0, false, "", { Ok() } } } },
        { "monitors are limited each on its own",
            { { 0, 'V', 1, false, "a", { Err("a") } }, { 1 * S, 'V', 2, false, "b", { Err("b", 1, 2) } },
                { 2 * S, 'V', 2, true, "", {} }, { 61 * S, 'D', 0, false, "", { Ok(1, 2) } } } },
        { "a forgotten monitor's held changes are dropped",
            { { 0, 'V', 1, false, "a", { Err("a") } }, { 10 * S, 'V', 1, true, "", {} },
                { 11 * S, 'F', 1, false, "", {} }, { 60 * S, 'D', 0, false, "", {} },
                { 61 * S, 'V', 1, true, "", {} } } },
    };
    for (const TCase& Case : Cases) {
        int64_t Now = 0;
        TNotificationPolicy Policy([&] { return Now; });
        // Distinct addresses stand for the monitors.
        const int Monitors[3] = {};
        for (const TStep& Step : Case.Steps) {
            Now = Step.At;
            std::vector<TNotification> Got;
            if (Step.Kind == 'V')
                Got = Policy.Verdict(&Monitors[Step.Key], NameOf(Step.Key), Step.OK, Step.Reason);
            else if (Step.Kind == 'D')
                Got = Policy.Due();
            else
                Policy.Forget(&Monitors[Step.Key]);
            EXPECT_EQ(Got, Step.Want) << Case.Name << ", at " << Step.At << " ms";
        }
    }
}

TEST(TNotificationPolicy, NextDueIsTheEndOfTheMinuteOfAHeldChange)
{
    int64_t Now = 5 * S;
    TNotificationPolicy Policy([&] { return Now; });
    const int Monitor = 0;
    EXPECT_EQ(Policy.NextDueMs(), -1);
    Policy.Verdict(&Monitor, "web", false, "a");
    EXPECT_EQ(Policy.NextDueMs(), -1);
    Now = 20 * S;
    Policy.Verdict(&Monitor, "web", true, "");
    EXPECT_EQ(Policy.NextDueMs(), 65 * S);
    Now = 65 * S;
    EXPECT_EQ(Policy.Due().size(), 1u);
    EXPECT_EQ(Policy.NextDueMs(), -1);
}

} // namespace

namespace {

// An outage's length on the recovery; a status restored from an earlier run; an acknowledged
// failure. The check's start (Unix ms) is the step's time here.
TEST(TNotificationPolicy, DowntimeRestoreAndAcknowledge)
{
    struct TRow {
        const char* Name;
        char Restored; // 'E' an earlier run ended in ERROR, down since 0 s; 'O' in OK; '-' none
        std::vector<TStep> Steps; // 'A': the failure of Key is acknowledged
    };
    const auto Recovered = [](int64_t ADownMs) {
        TNotification One = Ok();
        One.DownMs = ADownMs;
        return One;
    };
    const TRow Rows[] = {
        { "a recovery says how long the monitor was down", '-',
            { { 0, 'V', 1, false, "a", { Err("a") } }, { 30 * S, 'V', 1, false, "b", {} },
                { 90 * S, 'V', 1, true, "", { Recovered(90 * S) } } } },
        { "a failure that outlived a restart is not told again", 'E',
            { { 100 * S, 'V', 1, false, "a", {} }, { 170 * S, 'V', 1, true, "", { Recovered(170 * S) } } } },
        { "a failure after a restart that found it OK is told", 'O',
            { { 0, 'V', 1, true, "", {} }, { 10 * S, 'V', 1, false, "a", { Err("a") } } } },
        { "an acknowledged failure drops what it held; its recovery is told", '-',
            { { 0, 'V', 1, false, "a", { Err("a") } }, { 10 * S, 'V', 1, true, "", {} },
                { 20 * S, 'V', 1, false, "b", {} }, { 30 * S, 'A', 1, false, "", {} },
                { 60 * S, 'D', 0, false, "", {} }, { 100 * S, 'V', 1, true, "", { Recovered(80 * S) } } } },
    };
    for (const TRow& Row : Rows) {
        int64_t Now = 0;
        TNotificationPolicy Policy([&] { return Now; });
        const int Monitors[2] = {};
        if (Row.Restored != '-')
            Policy.Restore(&Monitors[1], NameOf(1), Row.Restored == 'O', Row.Restored == 'O' ? -1 : 0);
        for (const TStep& Step : Row.Steps) {
            Now = Step.At;
            std::vector<TNotification> Got;
            if (Step.Kind == 'V')
                Got = Policy.Verdict(&Monitors[Step.Key], NameOf(Step.Key), Step.OK, Step.Reason, Step.At);
            else if (Step.Kind == 'D')
                Got = Policy.Due();
            else
                Policy.Acknowledge(&Monitors[Step.Key]);
            EXPECT_EQ(Got, Step.Want) << Row.Name << ", at " << Step.At << " ms";
        }
    }
}

} // namespace
