// The check timer: the due rule, the order of a tick, the alarm and its effects, the manual
// check, and checks that run events (ticks, deletes, saves) while they work.
#include "TestMonitor.h"
#include "WindowFixture.h"

#include <QElapsedTimer>
#include <QMouseEvent>
#include <QThread>

#include <stdexcept>

namespace {

TDateTime At(int AHour, int AMin, int ASec, int AMSec)
{
    return EncodeDate(2024, 3, 1) + EncodeTime(AHour, AMin, ASec, AMSec);
}

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

} // namespace

class TTestMainCheck : public QObject {
    Q_OBJECT

    std::shared_ptr<TTestMonitor> Add(TWindowFixture& AFixture, const std::string& AName, int32_t AInterval)
    {
        auto Monitor = std::make_shared<TTestMonitor>();
        Monitor->SetInterval(AInterval);
        Monitor->Tag = AName;
        AFixture.Window->Monitors().push_back({ AName, Monitor });
        AFixture.Window->RefreshList();
        return Monitor;
    }

private slots:
    void DueRule_data()
    {
        QTest::addColumn<int>("Interval");
        QTest::addColumn<double>("LastCheck");
        QTest::addColumn<double>("Now");
        QTest::addColumn<bool>("Due");
        QTest::newRow("before the interval") << 5 << At(12, 0, 0, 200) << At(12, 0, 5, 199) << false;
        QTest::newRow("just after") << 5 << At(12, 0, 0, 200) << At(12, 0, 5, 201) << true;
        QTest::newRow("whole seconds, not yet") << 5 << At(12, 0, 0, 200) << At(12, 0, 5, 0) << false;
        QTest::newRow("whole seconds, due") << 5 << At(12, 0, 0, 200) << At(12, 0, 6, 0) << true;
        QTest::newRow("never checked") << 1 << 0.0 << At(0, 0, 0, 1) << true;
        QTest::newRow("interval 0") << 0 << 0.0 << At(12, 0, 0, 0) << false;
        QTest::newRow("negative") << -5 << 0.0 << At(12, 0, 0, 0) << false;
        QTest::newRow("a day") << 86400 << At(12, 0, 0, 0) << At(12, 0, 0, 1) + 1.0 << true;
        QTest::newRow("clock set back") << 5 << At(12, 0, 0, 0) << At(11, 0, 0, 0) << false;
    }
    void DueRule()
    {
        QFETCH(int, Interval);
        QFETCH(double, LastCheck);
        QFETCH(double, Now);
        QFETCH(bool, Due);
        TTestMonitor Monitor;
        Monitor.SetInterval(Interval);
        Monitor.SetLastCheck(LastCheck);
        QCOMPARE(IsMonitorDue(Monitor, Now), Due);
    }

    void FirstTickChecksEveryPositiveIntervalInListOrder()
    {
        TWindowFixture F(nullptr);
        std::vector<std::string> Order;
        for (auto [Name, Interval] :
            { std::pair { "a", 5 }, { "zero", 0 }, { "b", 1 }, { "negative", -1 }, { "c", 600 } }) {
            auto Monitor = Add(F, Name, Interval);
            Monitor->Order = &Order;
        }
        F.Window->tmrCheckTimer();
        QCOMPARE(Order, (std::vector<std::string> { "a", "b", "c" }));
        QCOMPARE(F.Window->Monitors()[1].Monitor->LastCheck(), 0.0);
        QCOMPARE(F.Window->Monitors()[1].Monitor->Status(), msNone);
        F.Window->tmrCheckTimer();
        QCOMPARE(Order.size(), size_t(3));
    }

    void IntervalFiveFromNoon()
    {
        TWindowFixture F(nullptr);
        auto Monitor = Add(F, "a", 5);
        F.Clock = At(12, 0, 0, 200);
        F.Window->tmrCheckTimer();
        QCOMPARE(Monitor->Checks, 1);
        QCOMPARE(Monitor->LastCheck(), At(12, 0, 0, 200));
        for (int Sec = 1; Sec <= 5; ++Sec) {
            F.Clock = At(12, 0, Sec, 0);
            F.Window->tmrCheckTimer();
            QCOMPARE(Monitor->Checks, 1);
        }
        F.Clock = At(12, 0, 5, 199);
        F.Window->tmrCheckTimer();
        QCOMPARE(Monitor->Checks, 1);
        F.Clock = At(12, 0, 5, 201);
        F.Window->tmrCheckTimer();
        QCOMPARE(Monitor->Checks, 2);
        QCOMPARE(Monitor->LastCheck(), At(12, 0, 5, 201));
    }

    void TheStampIsTakenAtTheStartAfterTheDueTest()
    {
        TWindowFixture F(nullptr);
        auto Monitor = Add(F, "a", 1);
        Monitor->Result = msError;
        Monitor->Work = [&](TTestMonitor&) { F.Clock += 30 * Second; };
        // Every reading of the clock moves it on by a millisecond.
        const TDateTime Base = At(12, 0, 0, 0);
        int Reads = 0;
        SetNowClock([&] { return Base + (Reads++) * Second / 1000; });
        F.Window->tmrCheckTimer();
        QCOMPARE(Monitor->Checks, 1);
        // Reading 0 decides that the monitor is due, reading 1 stamps it.
        QCOMPARE(Monitor->LastCheck(), Base + Second / 1000);
    }

    void ManualCheckOfTheSelectedRow()
    {
        TWindowFixture F(nullptr);
        auto Zero = Add(F, "zero", 0);
        auto Other = Add(F, "other", -1);
        Zero->Result = msError;
        QVERIFY(F.ShowActive());
        F.Window->hide();
        // Nothing selected: nothing happens.
        F.Window->ServListDblClick();
        QCOMPARE(Zero->Checks + Other->Checks, 0);

        QVERIFY(F.ShowActive());
        F.Clock = At(9, 30, 0, 0);
        DoubleClickRow(F, 0);
        QCOMPARE(Zero->Checks, 1);
        QCOMPARE(Other->Checks, 0);
        QCOMPARE(Zero->LastCheck(), At(9, 30, 0, 0));
        QCOMPARE(F.List()->topLevelItem(0)->text(2), QStringLiteral("ERROR"));
        // The alarm waits for the next tick.
        QVERIFY(F.Animations.empty());
        F.Window->tmrCheckTimer();
        QCOMPARE(F.Animations, std::vector<bool> { true });
        QCOMPARE(Zero->Checks, 1);
    }

    void AlarmStartsStandsAndEnds()
    {
        TWindowFixture F(nullptr);
        TfmMain& W = *F.Window;
        auto Calm = Add(F, "calm", 1);
        auto Failing = Add(F, "failing", 1);
        Failing->Result = msError;
        QVERIFY(!W.isVisible());
        QVERIFY(!W.Alarm());

        W.tmrCheckTimer();
        QCOMPARE(F.Animations, std::vector<bool> { true });
        QVERIFY(W.Alarm());
        QVERIFY(W.isVisible());

        // The operator puts the window away; the standing alarm does not bring it back.
        W.hide();
        for (int Tick = 0; Tick < 10; ++Tick) {
            F.Clock += 1.5 * Second;
            W.tmrCheckTimer();
        }
        QCOMPARE(Failing->Checks, 11);
        QCOMPARE(F.Animations, std::vector<bool> { true });
        QVERIFY(!W.isVisible());

        // All well again: the animation stops and the window stays where it is.
        Failing->Result = msOK;
        F.Clock += 1.5 * Second;
        W.tmrCheckTimer();
        QCOMPARE(F.Animations, (std::vector<bool> { true, false }));
        QVERIFY(!W.Alarm());
        QVERIFY(!W.isVisible());

        // A new alarm shows the window again, and restores it from a minimise.
        QVERIFY(F.ShowActive());
        W.showMinimized();
        QVERIFY(W.isMinimized());
        Calm->Result = msError;
        F.Clock += 1.5 * Second;
        W.tmrCheckTimer();
        QCOMPARE(F.Animations, (std::vector<bool> { true, false, true }));
        QVERIFY(W.isVisible());
        QVERIFY(!W.isMinimized());
    }

    void MonitorsNotCheckedStillCountForTheAlarm()
    {
        TWindowFixture F(nullptr);
        auto First = Add(F, "first", 0);
        auto Second = Add(F, "second", 0);
        First->SetStatus(msError);
        for (int Tick = 0; Tick < 3; ++Tick)
            F.Window->tmrCheckTimer();
        QCOMPARE(F.Animations, std::vector<bool> { true });
        QVERIFY(F.Window->Alarm());
        QCOMPARE(First->Checks + Second->Checks, 0);
    }

    void AnExceptionEndsTheTick()
    {
        TWindowFixture F(nullptr);
        TfmMain& W = *F.Window;
        auto Broken = Add(F, "broken", 1);
        auto After = Add(F, "after", 1);
        auto InError = Add(F, "in error", 0);
        InError->SetStatus(msError);
        Broken->Work = [](TTestMonitor&) { throw std::runtime_error("Cannot create the client"); };
        F.Clock = At(8, 0, 0, 0);
        QVERIFY_THROWS_EXCEPTION(std::runtime_error, W.tmrCheckTimer());
        QCOMPARE(Broken->LastCheck(), At(8, 0, 0, 0));
        QVERIFY(!W.IsChecking(Broken.get()));
        QCOMPARE(After->Checks, 0);
        // The alarm was not worked out.
        QVERIFY(F.Animations.empty());

        // From the timer the error reaches the report, and the next tick goes on.
        Broken->Work = nullptr;
        After->Work = [](TTestMonitor&) { throw std::runtime_error("Second failure"); };
        F.Clock += 2 * Second;
        W.tmrCheck->setInterval(5);
        W.tmrCheck->start();
        QTRY_VERIFY(!F.Reports.empty());
        W.tmrCheck->stop();
        QCOMPARE(F.Reports[0].Text, QStringLiteral("Second failure."));
        QCOMPARE(F.Reports[0].Caption, QStringLiteral("Vardex"));
        QCOMPARE(Broken->Checks, 2);
    }

    void DeletingTheMonitorUnderCheck()
    {
        TWindowFixture F(nullptr);
        TfmMain& W = *F.Window;
        W.SetConfigFileName(F.Path("saved.cfg"));
        auto Doomed = Add(F, "doomed", 1);
        auto After = Add(F, "after", 1);
        std::weak_ptr<TServiceMonitor> Watch = Doomed;
        Doomed->Result = msError;
        Doomed->Work = [&](TTestMonitor& AMonitor) {
            // What the event loop would run inside the check: select the row, Del, Ctrl+S.
            W.ServList->setCurrentItem(W.ServList->topLevelItem(0));
            W.acMonitorDelete->trigger();
            QCOMPARE(W.Monitors().size(), size_t(1));
            QCOMPARE(F.Captions(), QStringList { "after" });
            W.acConfigSave->trigger();
            // A double-click on what is selected now must not check anything twice.
            W.ServListDblClick();
            QCOMPARE(AMonitor.Checks, 1);
        };
        Doomed.reset();
        W.tmrCheckTimer();
        // Freed when its check returned; its error no longer counts.
        QVERIFY(Watch.expired());
        QCOMPARE(After->Checks, 1);
        QVERIFY(F.Animations.empty());
        QCOMPARE(F.Captions(), QStringList { "after" });
        TMonitorList Saved;
        QVERIFY(LoadMonitorList(F.Path("saved.cfg"), Saved));
        QCOMPARE(Saved.size(), size_t(0)); // a test monitor has no type the file knows
        QVERIFY(F.ReadFile("saved.cfg").find("Name=after\r\nType=TestMonitor\r\n") == 0);
        QVERIFY(F.Reports.empty());
    }

    void DeletingAndCreatingOthersDuringACheck()
    {
        TWindowFixture F(nullptr);
        TfmMain& W = *F.Window;
        std::vector<std::string> Order;
        std::vector<std::shared_ptr<TTestMonitor>> All;
        for (const char* Name : { "a", "b", "c", "d" }) {
            All.push_back(Add(F, Name, 1));
            All.back()->Order = &Order;
        }
        std::weak_ptr<TServiceMonitor> B = All[1], D = All[3];
        All[1]->Result = msError;
        All[3]->Result = msError;
        All[0]->Work = [&](TTestMonitor&) {
            // Delete the last entry, then the second, while the first is checked.
            for (int Row : { 3, 1 }) {
                W.ServList->setCurrentItem(W.ServList->topLevelItem(Row));
                W.acMonitorDeleteExecute();
            }
            W.acCreatePingExecute();
        };
        All[1].reset();
        All[3].reset();
        W.tmrCheckTimer();
        QCOMPARE(Order, (std::vector<std::string> { "a", "c" }));
        QVERIFY(B.expired() && D.expired());
        QVERIFY(F.Animations.empty());
        QCOMPARE(F.Captions(), (QStringList { "a", "c", "New PingMonitor" }));
        // The new monitor has interval 0 and was not part of that tick anyway.
        QCOMPARE(W.Monitors()[2].Monitor->Status(), msNone);
    }

    void NestedTicksLeaveTheMonitorUnderCheckAlone()
    {
        TWindowFixture F(nullptr);
        TfmMain& W = *F.Window;
        auto Slow = Add(F, "slow", 1);
        auto Quick = Add(F, "quick", 1);
        Slow->Work = [&](TTestMonitor&) {
            for (int Step = 0; Step < 3; ++Step) {
                F.Clock += 1.5 * Second;
                QVERIFY(W.IsChecking(Slow.get()));
                W.tmrCheckTimer();
            }
        };
        W.tmrCheckTimer();
        QCOMPARE(Slow->Checks, 1);
        QCOMPARE(Slow->MaxDepth, 1);
        // Checked by each nested tick, and not again by the outer one after Slow.
        QCOMPARE(Quick->Checks, 3);
        QVERIFY(!W.IsChecking(Slow.get()));
    }

    void RealTicksDuringALongCheck()
    {
        TWindowFixture F(nullptr);
        TfmMain& W = *F.Window;
        auto Slow = Add(F, "slow", 1);
        auto Quick = Add(F, "quick", 1);
        QVERIFY(F.ShowActive());
        Slow->Work = [&](TTestMonitor& AMonitor) {
            // A probe that waits, running events as the real ones do in SetStatus, while
            // clock time passes faster than real time.
            W.tmrCheck->setInterval(5);
            W.tmrCheck->start();
            QElapsedTimer Elapsed;
            Elapsed.start();
            while (Quick->Checks < 5 && Elapsed.elapsed() < 5000) {
                F.Clock += 0.5 * Second;
                AMonitor.SetStatus(msChecking);
                QThread::msleep(2);
            }
            W.tmrCheck->stop();
            // A double-click on the row under check is ignored.
            W.ServList->setCurrentItem(W.ServList->topLevelItem(0));
            DoubleClickRow(F, 0);
        };
        W.tmrCheckTimer();
        QVERIFY(Quick->Checks >= 5);
        QCOMPARE(Slow->Checks, 1);
        QCOMPARE(Slow->MaxDepth, 1);
        QCOMPARE(Quick->MaxDepth, 1);
        QVERIFY(F.Reports.empty());
    }
};

int main(int argc, char** argv)
{
    TApplication Application(argc, argv);
    TTestMainCheck Test;
    return QTest::qExec(&Test, argc, argv);
}

#include "TestMainCheck.moc"
