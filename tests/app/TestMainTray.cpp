// The main window with its tray icon, on a recording notification area: the icon at start
// and at exit, minimising to the tray, the double-click that brings the window back, the
// alarm's animation and its showing of the window, and errors of tray handlers.
#include "WindowFixture.h"
#include "support/TestMonitor.h"

#include <QWidget>

#include <stdexcept>

namespace {

const char* const TwoMonitors
    = "Name=Router\r\nType=PingMonitor\r\nInterval=0\r\nIP=127.0.0.1\r\nRetry=1\r\n\r\n"
      "Name=Site\r\nType=WebMonitor\r\nInterval=0\r\nURL=http://127.0.0.1:9/\r\n";

constexpr TDateTime Second = 1.0 / 86400;

// Runs what is posted now, once: a minimise is handled after the event that minimised.
void Settle()
{
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents();
}

void DoubleClickTray(TWindowFixture& AFixture)
{
    // What a double-click on the icon sends: the second press as a double-click, its release.
    AFixture.TrayShell->Send(TTrayMouseMessage::mmLeftDblClick);
    AFixture.TrayShell->Send(TTrayMouseMessage::mmLeftUp);
}

// Minimises the shown window and lets the minimise be handled.
void Minimise(TfmMain& AWindow)
{
    AWindow.showMinimized();
    Settle();
}

} // namespace

class TTestMainTray : public QObject {
    Q_OBJECT

private slots:
    void GreenIconWithItsTooltipBeforeTheWindowIsShown()
    {
        TWindowFixture F(TwoMonitors);
        TfmMain& W = *F.Window;
        QCOMPARE(F.Tray->Calls.size(), size_t(2));
        QCOMPARE(F.Tray->Calls[0].Kind, TTrayCall::ckRemove);
        const TTrayCall& Add = F.Tray->Calls[1];
        QCOMPARE(Add.Kind, TTrayCall::ckAdd);
        QCOMPARE(Add.Colour, KTrayGreen);
        QCOMPARE(Add.Tip, QStringLiteral("Vardex"));
        QVERIFY(!Add.WindowShown);
        QVERIFY(Part<TTrayIcon>(W, "TrayIcon")->InTray());
        QVERIFY(!Part<TTrayIcon>(W, "TrayIcon")->Animated());
        QCOMPARE(Part<TTrayIcon>(W, "TrayIcon")->Interval(), uint16_t(500));
        QCOMPARE(Part<TTrayIcon>(W, "TrayIcon")->Icons().Count(), 2);
        QCOMPARE(ColourOf(Part<TTrayIcon>(W, "TrayIcon")->Icons()[0]), KTrayRed);
        QCOMPARE(ColourOf(Part<TTrayIcon>(W, "TrayIcon")->Icons()[1]), KTrayDarkRed);
        QCOMPARE(Part<TTrayIcon>(W, "TrayIcon")->parent(), &W);

        QVERIFY(F.ShowActive());
        QCOMPARE(F.Captions(), (QStringList { "Router", "Site" }));
        QCOMPARE(F.Tray->Calls.size(), size_t(2));
    }

    void MinimiseHidesTheWindowToTheTray()
    {
        SHOWN_WINDOW(TwoMonitors);
        Minimise(W);
        QVERIFY(!W.isVisible());
        QVERIFY(Part<TTrayIcon>(W, "TrayIcon")->InTray());
        // It stays away: nothing but the tray or an alarm brings it back.
        F.Tick();
        QTest::qWait(20);
        QVERIFY(!W.isVisible());
    }

    void WithoutANotificationAreaMinimiseKeepsAnOrdinaryWindow()
    {
        TWindowFixture F(TwoMonitors, false);
        TfmMain& W = *F.Window;
        QVERIFY(!Part<TTrayIcon>(W, "TrayIcon")->InTray());
        QVERIFY(F.ShowActive());
        Minimise(W);
        QVERIFY(W.isVisible());
        QVERIFY(W.isMinimized());
        W.showNormal();

        // A tray host started later: the icon is placed when it is needed, then the window
        // goes to it.
        F.Tray->Available = true;
        QVERIFY(F.ShowActive());
        Minimise(W);
        QVERIFY(!W.isVisible());
        QVERIFY(Part<TTrayIcon>(W, "TrayIcon")->InTray());
        QCOMPARE(F.Tray->Calls.back().Kind, TTrayCall::ckAdd);
        QCOMPARE(F.Tray->Calls.back().Colour, KTrayGreen);
        QCOMPARE(F.Tray->Calls.back().Tip, QStringLiteral("Vardex"));

        // The tray host went away: the icon it held cannot bring the window back.
        DoubleClickTray(F);
        QVERIFY(W.isVisible());
        F.Tray->Available = false;
        Minimise(W);
        QVERIFY(W.isVisible());
        QVERIFY(W.isMinimized());
    }

    void AMinimiseUndoneAtOnceHidesNothing()
    {
        SHOWN_WINDOW(TwoMonitors);
        W.showMinimized();
        W.showNormal();
        Settle();
        QVERIFY(W.isVisible());
        QVERIFY(!W.isMinimized());
    }

    void TrayDoubleClickBringsTheHiddenWindowBack()
    {
        SHOWN_WINDOW(TwoMonitors);
        F.ClickRow(1);
        QCOMPARE(F.List()->selectedItems().size(), 1);
        Minimise(W);
        QVERIFY(!W.isVisible());

        // A click or a right click on the icon does nothing.
        for (TTrayMouseMessage Message : { TTrayMouseMessage::mmLeftDown, TTrayMouseMessage::mmLeftUp,
                 TTrayMouseMessage::mmRightDown, TTrayMouseMessage::mmRightUp })
            F.TrayShell->Send(Message);
        Settle();
        QVERIFY(!W.isVisible());

        W.Monitors()[0].Name = "Renamed while hidden";
        DoubleClickTray(F);
        QVERIFY(W.isVisible());
        QVERIFY(!W.isMinimized());
        QVERIFY(QTest::qWaitForWindowActive(&W));
        // Shown again: the rows are rebuilt and none is selected.
        QCOMPARE(F.Captions(), (QStringList { "Renamed while hidden", "Site" }));
        QVERIFY(F.List()->selectedItems().isEmpty());
    }

    void TrayDoubleClickOnAVisibleWindowBringsItToTheFront()
    {
        SHOWN_WINDOW(TwoMonitors);
        F.ClickRow(0);
        QWidget Other;
        Other.resize(200, 100);
        Other.show();
        Other.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&Other));
        QVERIFY(!W.isActiveWindow());

        DoubleClickTray(F);
        QVERIFY(QTest::qWaitForWindowActive(&W));
        QVERIFY(W.isVisible());
        // It never went away, so it was not shown again: the selection stays.
        QCOMPARE(F.List()->selectedItems().size(), 1);
    }

    void TrayDoubleClickRestoresAMinimisedWindow()
    {
        // Without a notification area the window minimises as it is; the icon can still be
        // double-clicked if a tray host took it meanwhile.
        SHOWN_WINDOW(TwoMonitors, false);
        Minimise(W);
        QVERIFY(W.isMinimized());
        DoubleClickTray(F);
        QVERIFY(W.isVisible());
        QVERIFY(!W.isMinimized());
    }

    void AlarmAnimatesTheIconAndShowsTheWindowOnce()
    {
        TWindowFixture F(nullptr);
        TfmMain& W = *F.Window;
        auto Failing = F.Add("failing", 1);
        QVERIFY(F.ShowActive());
        Minimise(W);
        QVERIFY(!W.isVisible());

        F.Tick();
        QCOMPARE(F.ChecksOf("failing"), 1);
        QVERIFY(!Part<TTrayIcon>(W, "TrayIcon")->Animated());
        QVERIFY(F.Tray->ModifiedColours().empty());

        // The alarm starts: the first frame at once, the window back on screen.
        Failing->Result = msError;
        W.Monitors()[0].Name = "renamed";
        F.Clock += 1.5 * Second;
        const size_t Start = F.Tray->Calls.size();
        F.Tick();
        QVERIFY(Part<TTrayIcon>(W, "TrayIcon")->Animated());
        QVERIFY(Part<TTrayIcon>(W, "TrayIcon")->IsAnimationRunning());
        QCOMPARE(F.Tray->ModifiedColours(Start), std::vector<QRgb> { KTrayRed });
        QVERIFY(W.isVisible());
        QVERIFY(!W.isMinimized());
        QCOMPARE(F.Captions(), QStringList { "renamed" });

        // Then the frames alternate every 500 ms.
        QTRY_VERIFY_WITH_TIMEOUT(F.Tray->ModifiedColours(Start).size() >= 3, 3000);
        QCOMPARE(F.Tray->ModifiedColours(Start), (std::vector<QRgb> { KTrayRed, KTrayDarkRed, KTrayRed }));

        // Hidden to the tray again while the alarm stands, it stays hidden.
        Minimise(W);
        QVERIFY(!W.isVisible());
        for (int Tick = 0; Tick < 10; ++Tick) {
            F.Clock += 1.5 * Second;
            F.Tick();
            Settle();
        }
        QCOMPARE(F.ChecksOf("failing"), 12);
        QVERIFY(!W.isVisible());
        QVERIFY(Part<TTrayIcon>(W, "TrayIcon")->Animated());
        QCOMPARE(F.Animations, std::vector<bool> { true });

        // The alarm ends: green at once, the window left hidden.
        Failing->Result = msOK;
        F.Clock += 1.5 * Second;
        F.Tick();
        QVERIFY(!Part<TTrayIcon>(W, "TrayIcon")->Animated());
        QVERIFY(!Part<TTrayIcon>(W, "TrayIcon")->IsAnimationRunning());
        QCOMPARE(F.Tray->Shown(), KTrayGreen);
        QCOMPARE(F.Tray->Calls.back().Kind, TTrayCall::ckModify);
        QVERIFY(!W.isVisible());
        const size_t Ended = F.Tray->Calls.size();
        QTest::qWait(700);
        QCOMPARE(F.Tray->Calls.size(), Ended);

        // A new alarm brings it back.
        Failing->Result = msError;
        F.Clock += 1.5 * Second;
        F.Tick();
        QVERIFY(W.isVisible());
        QCOMPARE(F.Tray->Shown(), KTrayRed);
        QCOMPARE(F.Animations, (std::vector<bool> { true, false, true }));
    }

    void AlarmOnVisibleWindowLeavesItAsItIsWhenItEnds()
    {
        TWindowFixture F(nullptr);
        TfmMain& W = *F.Window;
        auto Failing = F.Add("failing", 0);
        QVERIFY(F.ShowActive());
        Failing->SetStatus(msError);
        F.Tick();
        QVERIFY(Part<TTrayIcon>(W, "TrayIcon")->Animated());
        QVERIFY(W.isVisible());
        Failing->SetStatus(msOK);
        F.Tick();
        QVERIFY(!Part<TTrayIcon>(W, "TrayIcon")->Animated());
        QVERIFY(W.isVisible());
        QCOMPARE(F.Tray->Shown(), KTrayGreen);
    }

    void AlarmTogglingFastLeavesNoAnimationRunning()
    {
        TWindowFixture F(nullptr);
        TfmMain& W = *F.Window;
        auto Flapping = F.Add("flapping", 1);
        const size_t Start = F.Tray->Calls.size();
        std::vector<QRgb> Expected;
        for (int Round = 0; Round < 50; ++Round) {
            Flapping->Result = Round % 2 == 0 ? msError : msOK;
            F.Clock += 1.5 * Second;
            F.Tick();
            QCOMPARE(Part<TTrayIcon>(W, "TrayIcon")->Animated(), Round % 2 == 0);
            QCOMPARE(Part<TTrayIcon>(W, "TrayIcon")->IsAnimationRunning(), Round % 2 == 0);
            Expected.push_back(Round % 2 == 0 ? KTrayRed : KTrayGreen);
        }
        QCOMPARE(F.Tray->ModifiedColours(Start), Expected);
        QVERIFY(!Part<TTrayIcon>(W, "TrayIcon")->IsAnimationRunning());
        QCOMPARE(F.Tray->CountOf(TTrayCall::ckAdd), 1);
    }

    void AtExitTheIconLeavesAfterTheMonitors()
    {
        TWindowFixture F(nullptr);
        auto Failing = F.Add("failing", 0);
        Failing->OnFree = [Log = F.Tray] { Log->Note(QStringLiteral("monitor freed")); };
        Failing->SetStatus(msError);
        QVERIFY(F.ShowActive());
        F.Tick();
        QVERIFY(Part<TTrayIcon>(*F.Window, "TrayIcon")->Animated());
        Failing.reset();

        F.Window.reset();
        std::vector<TTrayCall>& Calls = F.Tray->Calls;
        QVERIFY(Calls.size() >= 2);
        QCOMPARE(Calls[Calls.size() - 2].Kind, TTrayCall::ckNote);
        // Gone at once, without going back to green first.
        QCOMPARE(Calls.back().Kind, TTrayCall::ckRemove);
    }

    void TrayHandlerErrorsGoToTheErrorReport()
    {
        TWindowFixture F(nullptr);
        Part<TTrayIcon>(*F.Window, "TrayIcon")->OnClick
            = [](TTrayIcon*) { throw std::runtime_error("Tray handler failed"); };
        F.TrayShell->Send(TTrayMouseMessage::mmLeftDown);
        F.TrayShell->Send(TTrayMouseMessage::mmLeftUp);
        QCOMPARE(F.Reports.size(), size_t(1));
        QCOMPARE(F.Reports[0].Caption, QStringLiteral("Vardex"));
        QCOMPARE(F.Reports[0].Text, QStringLiteral("Tray handler failed."));
    }
};

int main(int argc, char** argv)
{
    TApplication Application(argc, argv);
    TTestMainTray Test;
    return QTest::qExec(&Test, argc, argv);
}

#include "TestMainTray.moc"
