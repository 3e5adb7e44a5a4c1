// The monitoring core as both front ends drive it: listeners hear of each check in their
// order, with the name the monitor is listed under now; the alarm is told as it begins and
// ends; and the recording puts every verdict into the history and the notifications.
#include "engine/CheckRecording.h"
#include "engine/Monitoring.h"
#include "support/RecordingNotifier.h"
#include "support/TempFolder.h"
#include "support/TestClock.h"
#include "support/TestMonitor.h"

#include <gtest/gtest.h>

namespace {

struct TLog : TMonitoringListener {
    TLog(std::vector<std::string>& AEvents, std::string ATag)
        : Events(AEvents)
        , Tag(std::move(ATag))
    {
    }
    void Finished(const TServiceMonitor& AMonitor, const std::string& AName, const TCheckVerdict&) override
    {
        Events.push_back(Tag + " " + AName + " " + StatusText(AMonitor.Status()));
    }
    void Changed(const TServiceMonitor&, bool AStarted) override
    {
        Events.push_back(Tag + (AStarted ? " started" : " put back"));
    }
    void AlarmChanged(bool AAlarm) override { Events.push_back(Tag + (AAlarm ? " alarm" : " calm")); }
    std::vector<std::string>& Events;
    std::string Tag;
};

// A feed that notes the verdicts it is handed.
struct TFeed : TNotificationFeed {
    void Verdict(
        const void*, const std::string& AName, bool AOK, const std::string& AReason, int64_t) override
    {
        Seen.push_back(AName + (AOK ? " OK" : " ERROR " + AReason));
    }
    void Restore(const void*, const std::string&, bool, int64_t) override { }
    void Acknowledge(const void*) override { }
    void Forget(const void*) override { }
    std::vector<std::string> Seen;
};

// One check of AMonitor through the core, applied.
void CheckOnce(TMonitoring& ACore, const std::shared_ptr<TTestMonitor>& AMonitor, TMonitorStatus AResult)
{
    AMonitor->Result = AResult;
    ASSERT_TRUE(ACore.RunCheck(AMonitor));
    ASSERT_TRUE(ACore.WaitForVerdicts(std::chrono::seconds(5)));
    EXPECT_FALSE(ACore.ApplyVerdicts());
}

} // namespace

TEST(Monitoring, ListenersHearEachCheckInOrderAndTheAlarmAsItChanges)
{
    auto Clock = std::make_shared<TTestCheckClock>();
    TScriptedProbes Probes;
    TMonitoring Core({ 2, Clock, Probes.Probe() });
    std::vector<std::string> Events;
    TLog First(Events, "1");
    TLog Second(Events, "2");
    Core.AddListener(First);
    Core.AddListener(Second);
    auto Monitor = std::make_shared<TTestMonitor>();
    Monitor->Result = msError;
    Monitor->Reason = "refused";
    Monitor->SetInterval(60);
    Core.List().push_back({ "old", Monitor });

    ASSERT_TRUE(Core.RunCheck(Monitor));
    // Renamed while its check runs: the verdict carries the name it has now.
    Core.List().insert(Core.List().begin(), { "other", nullptr });
    Core.List()[1].Name = "new";
    ASSERT_TRUE(Core.WaitForVerdicts(std::chrono::seconds(5)));
    EXPECT_FALSE(Core.ApplyVerdicts());
    EXPECT_EQ(Events,
        (std::vector<std::string> {
            "1 started", "2 started", "1 new ERROR", "2 new ERROR", "1 alarm", "2 alarm" }));
    EXPECT_TRUE(Core.Alarm());

    Events.clear();
    Core.RemoveListener(Second);
    CheckOnce(Core, Monitor, msOK);
    EXPECT_EQ(Events, (std::vector<std::string> { "1 started", "1 new OK", "1 calm" }));
    EXPECT_EQ(Core.Rename(*Monitor, "new"), std::nullopt);
    EXPECT_EQ(Core.Rename(*Monitor, "newer"), std::optional<std::string>("new"));
    EXPECT_EQ(Core.NameOf(*Monitor), "newer");

    // A monitor the timer no longer checks shows no verdict, and its failure no alarm.
    CheckOnce(Core, Monitor, msError);
    Events.clear();
    EXPECT_TRUE(Core.ApplySettings(*Monitor, { "Interval=0" }));
    EXPECT_EQ(Monitor->Status(), msNone);
    EXPECT_EQ(Events, (std::vector<std::string> { "1 calm" }));
    EXPECT_FALSE(Core.ApplySettings(*Monitor, { "Interval=-1" }));
}

TEST(Monitoring, TheRecordingKeepsAndNotifiesEveryVerdict)
{
    testsupport::TTempFolder Folder;
    auto Clock = std::make_shared<TTestCheckClock>();
    TScriptedProbes Probes;
    TMonitoring Core({ 1, Clock, Probes.Probe() });
    TFeed Feed;
    TCheckRecording::TOptions Options;
    Options.Settings.FileName = Folder.Path() + "/history.sqlite";
    Options.BatchDelay = std::chrono::milliseconds(1);
    TCheckRecording Recording(Options, &Feed);
    Recording.SetList(Folder.Path() + "/default.cfg");
    Core.AddListener(Recording);
    auto Monitor = std::make_shared<TTestMonitor>();
    Monitor->Reason = "no reply";
    Core.List().push_back({ "web", Monitor });
    CheckOnce(Core, Monitor, msError);
    Clock->Pass(1.0 / 86400);
    CheckOnce(Core, Monitor, msOK);
    EXPECT_EQ(Feed.Seen, (std::vector<std::string> { "web ERROR no reply", "web OK" }));
    ASSERT_TRUE(Recording.Flush(std::chrono::seconds(10)));
    const std::vector<THistoryPoint> Points = Recording.Reader()->Points(Recording.ListKey(), "web", 0);
    ASSERT_EQ(Points.size(), 2u);
    EXPECT_EQ(Points[0].Reason, "no reply");
    EXPECT_TRUE(Points[1].OK);
    EXPECT_GE(Recording.LastResponseMs(Monitor.get()), 0);
}
