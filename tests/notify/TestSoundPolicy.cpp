// When the alarm is heard: one sound a gap at most, what comes within it held and played at its
// end, a failure before a recovery.
#include "notify/SoundPolicy.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// "F" a failure notified, "R" a recovery, "+N" N ms pass, "." Due asked; the result lists the
// sounds played as "f" and "r".
struct TCase {
    const char* Name;
    std::vector<std::string> Steps;
    std::string Played;
};

TEST(SoundPolicy, OneSoundAGap)
{
    const TCase Cases[] = {
        { "a failure at once", { "F" }, "f" },
        { "a burst of failures is one sound", { "F", "F", "+100", "F", "+6000", "." }, "f" },
        { "a recovery in the gap waits for its end", { "F", "+1000", "R", "+3999", ".", "+1", "." }, "fr" },
        { "a failure wins over a recovery held with it", { "R", "+10", "R", "F", "+5000", "." }, "rf" },
        { "after the gap the next sound is at once", { "F", "+5000", "R" }, "fr" },
        { "nothing held, nothing due", { ".", "+9000", "." }, "" },
    };
    for (const TCase& Case : Cases) {
        int64_t Now = 1000;
        TSoundPolicy Policy([&Now] { return Now; });
        std::string Played;
        const auto Note = [&](std::optional<TAlarmSound> ASound) {
            if (ASound)
                Played += *ASound == TAlarmSound::asFailure ? 'f' : 'r';
        };
        for (const std::string& Step : Case.Steps) {
            if (Step == "F" || Step == "R")
                Note(Policy.Notified(Step == "R"));
            else if (Step == ".")
                Note(Policy.Due());
            else
                Now += std::stoll(Step.substr(1));
        }
        EXPECT_EQ(Played, Case.Played) << Case.Name;
    }
}

TEST(SoundPolicy, NextDueIsTheEndOfTheGap)
{
    int64_t Now = 0;
    TSoundPolicy Policy([&Now] { return Now; });
    EXPECT_EQ(Policy.NextDueMs(), -1);
    EXPECT_TRUE(Policy.Notified(false));
    Now = 100;
    EXPECT_FALSE(Policy.Notified(true));
    EXPECT_EQ(Policy.NextDueMs(), TSoundPolicy::GapMs);
}

} // namespace
