// The check timer in the window: what a tick starts, verdicts applied on the window's thread,
// the alarm worked out as they arrive, the manual check, monitors deleted or edited while
// their check runs, and a window that stays responsive and exits at once while checks wait
// on silent servers.
#include "WindowFixture.h"
#include "support/Net.h"
#include "support/ScriptedServer.h"
#include "support/TestMonitor.h"

#include <QElapsedTimer>
#include <QLineEdit>
#include <QMouseEvent>
#include <QThread>

#include <chrono>

namespace {

using nettest::ThreadCount;

constexpr TDateTime Second = 1.0 / 86400;

// A double-click as the window system delivers it: press, release, double-click, release.
void DoubleClickRow(TWindowFixture& AFixture, int ARow)
{
    QWidget* Viewport = AFixture.List()->viewport();
    const QPoint Point = AFixture.RowRect(ARow).center();
    QTest::mouseClick(Viewport, Qt::LeftButton, {}, Point);
    QMouseEvent Double(
        QEvent::MouseButtonDblClick, Point, Viewport->mapToGlobal(Point), Qt::LeftButton, Qt::LeftButton, {});
    QApplication::sendEvent(Viewport, &Double);
    QTest::mouseRelease(Viewport, Qt::LeftButton, {}, Point);
}

// The longest time the event loop went without running a 5 ms timer, over AMilliseconds.
qint64 LongestStall(int AMilliseconds)
{
    QElapsedTimer Clock;
    Clock.start();
    qint64 Last = 0;
    qint64 Longest = 0;
    QTimer Beat;
    Beat.setInterval(5);
    QObject::connect(&Beat, &QTimer::timeout, [&] {
        const qint64 Now = Clock.elapsed();
        Longest = std::max(Longest, Now - Last);
        Last = Now;
    });
    Beat.start();
    QTest::qWait(AMilliseconds);
    return std::max(Longest, Clock.elapsed() - Last);
}

} // namespace

class TTestMainCheck : public QObject {
    Q_OBJECT

    // A web monitor of a loopback port that takes connections and never answers.
    std::shared_ptr<TWebMonitor> AddSilentWeb(TWindowFixture& AFixture, const std::string& AName, int APort)
    {
        auto Monitor = std::make_shared<TWebMonitor>();
        Monitor->SetInterval(1);
        Monitor->SetURL("http://127.0.0.1:" + std::to_string(APort) + "/");
        AFixture.Window->Monitors().push_back({ AName, Monitor });
        AFixture.Window->RefreshList();
        return Monitor;
    }

private slots:
    // With one worker a tick starts the first due monitor; the others, refused, stay due and
    // start in list order as the worker comes free.
    void EveryPositiveIntervalIsCheckedInListOrder()
    {
        TWindowFixture F(nullptr, true, {}, 1);
        for (auto [Name, Interval] :
            { std::pair { "a", 5 }, { "zero", 0 }, { "b", 1 }, { "negative", -1 }, { "c", 600 } })
            F.Add(Name, Interval);
        for (int Tick = 0; Tick < 3; ++Tick)
            F.Tick();
        QCOMPARE(F.Probes.Started(), (std::vector<std::string> { "a", "b", "c" }));
        QCOMPARE(F.Window->Monitors()[1].Monitor->LastCheck(), 0.0);
        QCOMPARE(F.Window->Monitors()[1].Monitor->Status(), msNone);
        F.Tick();
        QCOMPARE(F.Probes.Started().size(), size_t(3));
    }

    void IntervalFiveCountedFromTheStart()
    {
        TWindowFixture F(nullptr);
        auto Monitor = F.Add("a", 5);
        const TDateTime Start = F.Clock;
        F.Tick();
        QCOMPARE(F.ChecksOf("a"), 1);
        QCOMPARE(Monitor->LastCheck(), Start);
        F.Clock += 5 * Second;
        F.Tick();
        QCOMPARE(F.ChecksOf("a"), 1);
        F.Clock += Second / 1000;
        F.Tick();
        QCOMPARE(F.ChecksOf("a"), 2);
        QCOMPARE(Monitor->LastCheck(), Start + 5 * Second + Second / 1000);
    }

    // The checks run on the engine's workers; what they find is applied here, and the row
    // shows "<->" until it is.
    void VerdictsAreAppliedOnTheWindowsThread()
    {
        TWindowFixture F(nullptr);
        auto Monitor = F.Add("a", 1);
        Monitor->Result = msError;
        Monitor->Reason = "Request timed out.";
        QThread* Applied = nullptr;
        F.Window->TrayAnimatedHook = [&](bool) { Applied = QThread::currentThread(); };
        Fire(*F.Window, "tmrCheck");
        QCOMPARE(F.List()->topLevelItem(0)->text(2), QStringLiteral("<->"));
        QCOMPARE(Monitor->Status(), msChecking);
        F.Settle();
        QCOMPARE(F.List()->topLevelItem(0)->text(2), QStringLiteral("ERROR"));
        QCOMPARE(F.List()->topLevelItem(0)->toolTip(2),
            QStringLiteral("Request timed out.\nПоследняя проверка: 0 мс"));
        QCOMPARE(Applied, QThread::currentThread());
        QVERIFY(F.Window->Alarm());
    }

    // The alarm comes with the first error, while other checks of the same tick still run.
    void AlarmStartsWithTheFirstError()
    {
        TWindowFixture F(nullptr);
        auto Slow = F.Add("slow", 1);
        Slow->Hang = true;
        auto Failing = F.Add("failing", 1);
        Failing->Result = msError;
        Fire(*F.Window, "tmrCheck");
        QTRY_VERIFY_WITH_TIMEOUT(F.Window->Alarm(), 5000);
        QCOMPARE(F.Animations, std::vector<bool> { true });
        QVERIFY(F.Window->isVisible());
        QCOMPARE(Slow->Status(), msChecking);
        F.Probes.Release();
        F.Settle();
        QCOMPARE(Slow->Status(), msOK);
    }

    void AlarmStandsAndEnds()
    {
        TWindowFixture F(nullptr);
        TfmMain& W = *F.Window;
        auto Failing = F.Add("failing", 1);
        Failing->Result = msError;
        F.Tick();
        QCOMPARE(F.Animations, std::vector<bool> { true });
        W.hide();
        for (int Tick = 0; Tick < 5; ++Tick) {
            F.Clock += 1.5 * Second;
            F.Tick();
        }
        QCOMPARE(F.ChecksOf("failing"), 6);
        QCOMPARE(F.Animations, std::vector<bool> { true });
        QVERIFY(!W.isVisible());
        Failing->Result = msOK;
        F.Clock += 1.5 * Second;
        F.Tick();
        QCOMPARE(F.Animations, (std::vector<bool> { true, false }));
        QVERIFY(!W.isVisible());
    }

    // Monitors not checked still count, with whatever status they have.
    void MonitorsNotCheckedStillCountForTheAlarm()
    {
        TWindowFixture F(nullptr);
        auto First = F.Add("first", 0);
        F.Add("second", 0);
        First->SetStatus(msError);
        for (int Tick = 0; Tick < 3; ++Tick)
            F.Tick();
        QCOMPARE(F.Animations, std::vector<bool> { true });
        QCOMPARE(F.Probes.Started().size(), size_t(0));
    }

    void ManualCheckOfTheSelectedRow()
    {
        TWindowFixture F(nullptr);
        auto Zero = F.Add("zero", 0);
        F.Add("other", -1);
        Zero->Result = msError;
        QVERIFY(F.ShowActive());
        emit F.List()->itemDoubleClicked(nullptr, 0);
        F.Settle();
        QCOMPARE(F.Probes.Started().size(), size_t(0));
        DoubleClickRow(F, 0);
        F.Settle();
        QCOMPARE(F.Probes.Started(), std::vector<std::string> { "zero" });
        QCOMPARE(F.List()->topLevelItem(0)->text(2), QStringLiteral("ERROR"));
        QCOMPARE(F.Animations, std::vector<bool> { true });
    }

    // A monitor under check is left alone by ticks and double-clicks: one check at a time.
    void AMonitorUnderCheckIsNotStartedAgain()
    {
        TWindowFixture F(nullptr);
        auto Slow = F.Add("slow", 1);
        Slow->Hang = true;
        auto Quick = F.Add("quick", 1);
        QVERIFY(F.ShowActive());
        for (int Tick = 0; Tick < 4; ++Tick) {
            Fire(*F.Window, "tmrCheck");
            QTRY_COMPARE_WITH_TIMEOUT(F.Window->ChecksInFlight(), size_t(1), 5000);
            F.Clock += 1.5 * Second;
        }
        DoubleClickRow(F, 0);
        QVERIFY(F.Window->IsChecking(Slow.get()));
        QCOMPARE(F.ChecksOf("slow"), 1);
        QCOMPARE(F.ChecksOf("quick"), 4);
        F.Probes.Release();
        F.Settle();
    }

    // Deleted during its check: the check is cancelled, its verdict finds no monitor, and
    // nothing of it reaches the list, the alarm or the file.
    void DeletingTheMonitorUnderCheck()
    {
        TWindowFixture F(nullptr);
        TfmMain& W = *F.Window;
        W.SetConfigFileName(F.Path("saved.cfg"));
        auto Doomed = F.Add("doomed", 1);
        Doomed->Hang = true;
        Doomed->Result = msError;
        F.Add("after", 1);
        Doomed.reset();
        Fire(W, "tmrCheck");
        QTRY_COMPARE_WITH_TIMEOUT(F.Probes.Running(), 1, 5000);
        Part<QTreeWidget>(W, "ServList")->setCurrentItem(Part<QTreeWidget>(W, "ServList")->topLevelItem(0));
        Part<QAction>(W, "acMonitorDelete")->trigger();
        QCOMPARE(W.Monitors().size(), size_t(1));
        QCOMPARE(F.Captions(), QStringList { "after" });
        Part<QAction>(W, "acConfigSave")->trigger();
        F.Settle();
        QTRY_COMPARE_WITH_TIMEOUT(F.Probes.Cancelled(), 1, 2000);
        QTest::qWait(20);
        QVERIFY(F.Animations.empty());
        QCOMPARE(F.Captions(), QStringList { "after" });
        QVERIFY(F.ReadFile("saved.cfg").find("Name=after\r\nType=TestMonitor\r\n") == 0);
        QVERIFY(F.Reports.empty());
    }

    // Renamed and edited during its check: the verdict brings the status only, so neither
    // the name nor the edit is lost; the check itself ran on the settings it started with.
    void EditingTheMonitorUnderCheck()
    {
        TWindowFixture F(nullptr);
        TfmMain& W = *F.Window;
        auto Monitor = F.Add("before", 1);
        Monitor->Hang = true;
        Monitor->Result = msError;
        QVERIFY(F.ShowActive());
        Fire(W, "tmrCheck");
        QTRY_COMPARE_WITH_TIMEOUT(F.Probes.Running(), 1, 5000);
        Part<QTreeWidget>(W, "ServList")->setCurrentItem(Part<QTreeWidget>(W, "ServList")->topLevelItem(0));
        Part<QTreeWidget>(W, "ServList")->topLevelItem(0)->setText(0, QStringLiteral("after"));
        QLineEdit* Interval = W.EditorValueBox(1);
        QVERIFY(Interval);
        Interval->setFocus();
        Interval->selectAll();
        QTest::keyClicks(Interval, QStringLiteral("120"));
        QTest::keyClick(Interval, Qt::Key_Return);
        QCOMPARE(Monitor->Interval(), 120);
        // Only the edit of the monitor counts, not what the probe snapshot said.
        Monitor->Result = msOK;
        F.Probes.Release();
        F.Settle();
        QCOMPARE(Monitor->Status(), msError);
        QCOMPARE(Monitor->Interval(), 120);
        QCOMPARE(W.Monitors()[0].Name, std::string("after"));
        QCOMPARE(F.List()->topLevelItem(0)->text(2), QStringLiteral("ERROR"));
    }

    // Checks waiting on silent servers leave the event loop free, and closing the window
    // cancels them and joins their threads at once.
    void SilentServersNeitherStallNorHoldTheExit()
    {
        const int Before = ThreadCount();
        nettest::TFd Silent = nettest::Listener();
        const int Port = nettest::LocalPort(Silent.Get());
        auto F = std::make_unique<TWindowFixture>(nullptr);
        for (int I = 0; I < 6; ++I)
            AddSilentWeb(*F, "silent " + std::to_string(I), Port);
        QVERIFY(F->ShowActive());
        Fire(*F->Window, "tmrCheck");
        QCOMPARE(F->Window->ChecksInFlight(), size_t(4));
        const qint64 Stall = LongestStall(1500);
        qInfo("longest stall of the event loop: %lld ms", static_cast<long long>(Stall));
        // About 20 ms idle; a check run on this thread would hold it for the whole 1.5 s.
        QVERIFY2(Stall < 500, qPrintable(QString::number(Stall)));
        QCOMPARE(F->Window->ChecksInFlight(), size_t(4));
        QVERIFY(ThreadCount() > Before);

        const auto Start = std::chrono::steady_clock::now();
        Part<QAction>(*F->Window, "acMonitorExit")->trigger();
        F.reset();
        const double Took = nettest::MillisecondsSince(Start);
        qInfo("exit with 4 checks waiting: %.0f ms", Took);
        QVERIFY2(Took < 1000, qPrintable(QString::number(Took)));
        QTRY_COMPARE_WITH_TIMEOUT(ThreadCount(), Before, 2000);
    }

    // The tray blinks at its own pace while checks wait.
    void TrayFramesAlternateDuringLongChecks()
    {
        nettest::TFd Silent = nettest::Listener();
        TWindowFixture F(nullptr);
        auto Failing = F.Add("failing", 0);
        Failing->SetStatus(msError);
        AddSilentWeb(F, "silent", nettest::LocalPort(Silent.Get()));
        Fire(*F.Window, "tmrCheck");
        QVERIFY(F.Window->Alarm());
        const size_t Start = F.Tray->Calls.size();
        QTest::qWait(1300);
        QCOMPARE(F.Window->ChecksInFlight(), size_t(1));
        QCOMPARE(F.Tray->ModifiedColours(Start), (std::vector<QRgb> { KTrayDarkRed, KTrayRed }));
    }

    // Hundreds of checks that end together are applied a slice at a time; none is lost or
    // applied twice, and every monitor gets its own verdict.
    void ManyVerdictsAtOnceAreAllApplied()
    {
        TWindowFixture F(nullptr, true, {}, 64);
        std::vector<std::shared_ptr<TTestMonitor>> All;
        for (int I = 0; I < 400; ++I) {
            auto Monitor = std::make_shared<TTestMonitor>();
            Monitor->SetInterval(60);
            Monitor->Tag = std::to_string(I);
            Monitor->Result = I % 3 ? msOK : msError;
            Monitor->Reason = "failed " + std::to_string(I);
            F.Window->Monitors().push_back({ Monitor->Tag, Monitor });
            All.push_back(Monitor);
        }
        F.Window->RefreshList();
        F.Tick();
        for (int I = 0; I < 400; ++I) {
            QCOMPARE(All[I]->Status(), I % 3 ? msOK : msError);
            QCOMPARE(F.List()->topLevelItem(I)->text(2), QString::fromLatin1(I % 3 ? "OK" : "ERROR"));
            if (I % 3 == 0)
                QCOMPARE(All[I]->LastError(), "failed " + std::to_string(I));
        }
        QCOMPARE(F.Probes.Started().size(), size_t(400));
        QVERIFY(F.Window->Alarm());
    }

    // A ping monitor that may make no attempt is an error with its reason, at once.
    void RetryZeroIsAnErrorAtOnce()
    {
        TWindowFixture F(nullptr);
        auto Ping = std::make_shared<TPingMonitor>();
        Ping->SetInterval(1);
        Ping->SetRetry(0);
        F.Window->Monitors().push_back({ "No attempt", Ping });
        F.Window->RefreshList();
        F.Tick();
        QCOMPARE(Ping->Status(), msError);
        QCOMPARE(F.List()->topLevelItem(0)->toolTip(2),
            QStringLiteral("Retry is 0: no echo request is sent; set Retry to 1 or more.\n"
                           "Последняя проверка: 0 мс"));
        QCOMPARE(F.Animations, std::vector<bool> { true });
    }
};

int main(int argc, char** argv)
{
    TApplication Application(argc, argv);
    TTestMainCheck Test;
    return QTest::qExec(&Test, argc, argv);
}

#include "TestMainCheck.moc"
