// An alarm an operator can live with: attempts that ride out a passing failure, an
// acknowledged failure that no longer blinks, monitors the timer leaves alone shown as such,
// refused editor values, and a restart that takes up where the history left off.
#include "WindowFixture.h"
#include "support/ScriptedServer.h"

#include <QLineEdit>
#include <QSettings>
#include <QStatusBar>

#include <atomic>
#include <cmath>

namespace {

constexpr TDateTime Second = 1.0 / 86400;

// Answers its connections in turn with AAnswers' statuses.
std::unique_ptr<nettest::TScriptedServer> Answering(std::vector<int> AAnswers, std::atomic<int>& ARequests)
{
    const int Count = static_cast<int>(AAnswers.size());
    return std::make_unique<nettest::TScriptedServer>(
        [Answers = std::move(AAnswers), &ARequests](nettest::TScriptedServer& AServer, int AFd, int AIndex) {
            AServer.ReadRequest(AFd);
            ++ARequests;
            AServer.SendAll(AFd,
                "HTTP/1.1 " + std::to_string(Answers[size_t(AIndex)]) + " X\r\nContent-Length: 0\r\n\r\n");
        },
        Count);
}

std::string WebBlock(const char* AName, int APort, const char* AMore = "")
{
    return std::string("Name=") + AName
        + "\nType=WebMonitor\nInterval=1\nURL=http://127.0.0.1:" + std::to_string(APort) + "/\n" + AMore;
}

} // namespace

class TTestMainAlarm : public QObject {
    Q_OBJECT

private slots:
    void AttemptsRideOutAPassingFailure()
    {
        std::atomic<int> Requests = 0;
        const auto Server = Answering({ 502, 502, 200 }, Requests);
        TWindowFixture F(WebBlock("Shop", Server->Port(), "Retry=3\n").c_str());
        F.Window->RefreshList();
        Fire(*F.Window, "tmrCheck");
        QTRY_COMPARE_WITH_TIMEOUT(F.Window->Monitors()[0].Monitor->Status(), msOK, 8000);
        QCOMPARE(Requests.load(), 3);
        QVERIFY(F.Notifications->Shown.empty());
        QVERIFY(F.Animations.empty());
        QVERIFY(!F.Window->isVisible());
    }

    void AcknowledgedFailuresNoLongerBlink()
    {
        TWindowFixture F(nullptr);
        TfmMain& W = *F.Window;
        auto A = F.Add("a", 1);
        auto B = F.Add("b", 1);
        A->Result = msError;
        F.Tick();
        QCOMPARE(F.Animations, std::vector<bool> { true });
        // The tray's tooltip and the title say what is down, an acknowledged failure with a tick.
        const auto Tip = [&F] { return F.Tray->Calls.back().Tip; };
        QCOMPARE(Tip(), QStringLiteral("Vardex: в сбое 1 из 2: a"));
        QCOMPARE(W.windowTitle(), QStringLiteral("в сбое 1 из 2: a \u2014 default.cfg[*] - Vardex"));
        F.List()->setCurrentItem(F.List()->topLevelItem(0));
        QVERIFY(Part<QAction>(W, "acMonitorAcknowledge")->isEnabled());
        QCOMPARE(
            Part<QAction>(W, "acMonitorAcknowledge")->shortcut(), QKeySequence(QStringLiteral("Ctrl+K")));
        QTest::keyClick(F.List(), Qt::Key_K, Qt::ControlModifier);
        QCOMPARE(F.Animations, (std::vector<bool> { true, false }));
        QCOMPARE(Tip(), QStringLiteral("Vardex: в сбое 1 из 2: a \u2713"));
        QCOMPARE(F.List()->topLevelItem(0)->text(2), QStringLiteral("ERROR"));
        QVERIFY(F.List()->topLevelItem(0)->toolTip(2).contains(
            QStringLiteral("Сбой подтверждён: ") + DateTimeText(F.Clock.WallNow())));
        // Still failing, and still quiet; another monitor's failure is a new alarm.
        F.Clock += 2 * Second;
        F.Tick();
        QCOMPARE(F.Animations, (std::vector<bool> { true, false }));
        B->Result = msError;
        F.Clock += 2 * Second;
        F.Tick();
        QCOMPARE(F.Animations, (std::vector<bool> { true, false, true }));
        QCOMPARE(F.Notifications->Shown.size(), size_t(2));
        // Back to OK ends the acknowledgement: the next failure alarms again.
        B->Result = A->Result = msOK;
        F.Clock += 2 * Second;
        F.Tick();
        QCOMPARE(A->Acknowledged(), 0.0);
        QCOMPARE(Tip(), QStringLiteral("Vardex"));
        QCOMPARE(W.windowTitle(), QStringLiteral("default.cfg[*] - Vardex"));
        A->Result = msError;
        F.Clock += 2 * Second;
        F.Tick();
        QCOMPARE(F.Animations, (std::vector<bool> { true, false, true, false, true }));
    }

    void TheAlarmIsHeardWhenAskedFor()
    {
        TWindowFixture F(nullptr);
        TfmMain& W = *F.Window;
        auto A = F.Add("a", 1);
        auto B = F.Add("b", 1);
        A->Result = msError;
        F.Tick();
        // Off by default: the notification alone.
        QCOMPARE(F.Notifications->Shown.size(), size_t(1));
        QVERIFY(F.Sounds->Played.empty());
        Part<QAction>(W, "acSound")->trigger();
        QCOMPARE(QSettings(QString::fromStdString(F.Path("settings.ini")), QSettings::IniFormat)
                     .value(QStringLiteral("SoundOnFailure"))
                     .toBool(),
            true);
        B->Result = msError;
        F.Clock += 2 * Second;
        F.Tick();
        QCOMPARE(F.Sounds->Played, std::vector<TAlarmSound> { TAlarmSound::asFailure });
        // Acknowledged failures are silent; a recovery is heard once the gap is over.
        F.List()->setCurrentItem(F.List()->topLevelItem(1));
        Part<QAction>(W, "acMonitorAcknowledge")->trigger();
        F.Clock += 10 * Second;
        F.Tick();
        QCOMPARE(F.Sounds->Played.size(), size_t(1));
        B->Result = msOK;
        F.Clock += 60 * Second;
        F.Tick();
        QCOMPARE(
            F.Sounds->Played, (std::vector<TAlarmSound> { TAlarmSound::asFailure, TAlarmSound::asRecovery }));
    }

    void NotCheckedMonitorsAndRefusedValues()
    {
        // A comment in Windows-1251 ("Прим"), said beside the unreadable value.
        TWindowFixture F("# \xCF\xF0\xE8\xEC\nName=P\nType=PingMonitor\nInterval=10\nRetry=abc\n");
        TfmMain& W = *F.Window;
        QCOMPARE(W.statusBar()->currentMessage(),
            QStringLiteral("Не проверяются, пока значение не исправлено: «P»: Retry «abc» — не число; "
                           "Строк файла default.cfg, прочитанных как Windows-1251: 1"));
        auto T = F.Add("t", 60);
        F.Tick();
        QCOMPARE(F.ChecksOf("t"), 1);
        QVERIFY(!W.IsChecking(W.Monitors()[0].Monitor.get()));
        QCOMPARE(
            F.List()->topLevelItem(0)->toolTip(2), QStringLiteral("Не проверяется: Retry «abc» — не число"));
        // The editor shows what the list said, and a sound value mends the monitor.
        F.List()->setCurrentItem(F.List()->topLevelItem(0));
        QCOMPARE(W.EditorLines()[3], std::string("Retry=abc"));
        W.EditorValueBox(3)->selectAll();
        QTest::keyClicks(W.EditorValueBox(3), "1");
        QTest::keyClick(W.EditorValueBox(3), Qt::Key_Return);
        QVERIFY(!W.Monitors()[0].Monitor->NotChecked());
        // A value the key cannot take is refused, the old one kept; Interval 0 leaves no OK.
        F.List()->setCurrentItem(F.List()->topLevelItem(1));
        QLineEdit* Interval = W.EditorValueBox(1);
        Interval->selectAll();
        QTest::keyClicks(Interval, "abc");
        QTest::keyClick(Interval, Qt::Key_Return);
        QCOMPARE(T->Interval(), 60);
        QCOMPARE(Interval->text(), QStringLiteral("60"));
        QCOMPARE(W.statusBar()->currentMessage(),
            QStringLiteral("Значение не принято: Interval «abc» — не число; остаётся 60"));
        Interval->selectAll();
        QTest::keyClicks(Interval, "0");
        QTest::keyClick(Interval, Qt::Key_Return);
        QCOMPARE(T->Status(), msNone);
        QCOMPARE(F.List()->topLevelItem(1)->text(2), QString());
        QCOMPARE(F.List()->topLevelItem(1)->toolTip(2), QStringLiteral("Не проверяется: Interval равен 0"));
    }

    void ARestartTakesUpWhereTheHistoryLeftOff()
    {
        std::atomic<int> Requests = 0;
        const auto Server = Answering({ 503, 200 }, Requests);
        const TTestCheckClock Start;
        const int64_t Now = std::llround(LocalDateTimeToUnix(Start.WallNow()) * 1000.0);
        TWindowFixture F(WebBlock("Web", Server->Port()).c_str(), true, [&](const std::string& AFolder) {
            THistoryRecorder Recorder(AFolder + "/state/history.sqlite");
            Recorder.Start();
            const std::string List = HistoryListKey(AFolder + "/default.cfg");
            Recorder.Record({ List, "Web", Now - 300000, true, 40, {} });
            Recorder.Record({ List, "Web", Now - 120000, false, 5, "refused" });
            Recorder.Record({ List, "Web", Now - 60000, false, 5, "refused" });
            Recorder.Stop();
        });
        F.Window->RefreshList();
        QCOMPARE(F.List()->topLevelItem(0)->text(1),
            DateTimeText(UnixToLocalDateTime((Now - 300000 + 40) / 1000.0)));
        F.Tick();
        QCOMPARE(F.Window->Monitors()[0].Monitor->Status(), msError);
        QVERIFY(F.Notifications->Shown.empty());
        F.Clock += 2 * Second;
        F.Tick();
        QCOMPARE(F.Window->Monitors()[0].Monitor->Status(), msOK);
        QCOMPARE(F.Notifications->Shown.size(), size_t(1));
        QCOMPARE(F.Notifications->Shown[0].DownMs, 122000);
    }
};

QTEST_MAIN(TTestMainAlarm)
#include "TestMainAlarm.moc"
