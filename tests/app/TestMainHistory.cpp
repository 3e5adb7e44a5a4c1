// The window's history: every verdict is recorded in a real SQLite file under the monitor's
// name and the list's path, a rename in place carries the history along, the chart follows
// the selected row, each change of status is announced once, the status cell tells how long
// the last check took, and a damaged history file is said once in the status bar while the
// checks go on.
#include "WindowFixture.h"
#include "app/HistoryChart.h"
#include "app/MonitorHistory.h"

#include <QStatusBar>

namespace {

constexpr TDateTime Second = 1.0 / 86400;

} // namespace

class TTestMainHistory : public QObject {
    Q_OBJECT

    static std::vector<THistoryPoint> Recorded(TWindowFixture& AFixture, const std::string& AName)
    {
        if (!AFixture.Window->History().Flush(10000))
            return {};
        THistoryReader Reader(AFixture.HistoryFile());
        return Reader.Points(HistoryListKey(AFixture.Path("default.cfg")), AName, 0);
    }

    static THistoryChart* Chart(TWindowFixture& AFixture)
    {
        return Part<THistoryChart>(*AFixture.Window, "HistoryChart");
    }

    static std::vector<std::string> Announced(const TWindowFixture& AFixture)
    {
        std::vector<std::string> Texts;
        for (const TNotification& Shown : AFixture.Notifications->Shown)
            Texts.push_back(Shown.Monitor + (Shown.OK ? " OK " : " ERROR ") + Shown.Reason + " x"
                + std::to_string(Shown.Changes));
        return Texts;
    }

private slots:
    void VerdictsAreRecordedAnnouncedAndShown()
    {
        TWindowFixture F(nullptr);
        auto A = F.Add("a", 1);
        A->Result = msError;
        A->Reason = "refused";
        A->TookMs = 250;
        F.Tick();
        QCOMPARE(
            F.List()->topLevelItem(0)->toolTip(2), QStringLiteral("refused\nПоследняя проверка: 250 мс"));
        F.Clock += 2 * Second;
        F.Tick();
        // A minute later it recovers: announced at once, as the error was.
        A->Result = msOK;
        A->TookMs = 40;
        F.Clock += 61 * Second;
        F.Tick();
        QCOMPARE(F.List()->topLevelItem(0)->toolTip(2), QStringLiteral("Последняя проверка: 40 мс"));
        QCOMPARE(Announced(F), (std::vector<std::string> { "a ERROR refused x1", "a OK  x1" }));

        const std::vector<THistoryPoint> Points = Recorded(F, "a");
        QCOMPARE(Points.size(), size_t(3));
        QCOMPARE(Points[0].OK, false);
        QCOMPARE(Points[0].Reason, std::string("refused"));
        QCOMPARE(Points[0].ResponseMs, int64_t(250));
        QCOMPARE(Points[2].OK, true);
        QCOMPARE(Points[2].ResponseMs, int64_t(40));
        // Each at the moment its check started, on the window's clock.
        QCOMPARE(Points[2].StartMs - Points[1].StartMs, int64_t(61000 + 250));

        // The chart shows the selected row's monitor, read back from the file, and follows new
        // verdicts from memory.
        QCOMPARE(Chart(F)->Message(), QStringLiteral("Выберите монитор"));
        F.List()->setCurrentItem(F.List()->topLevelItem(0));
        QCOMPARE(Chart(F)->Points().size(), size_t(3));
        F.Clock += 2 * Second;
        F.Tick();
        QCOMPARE(Chart(F)->Points().size(), size_t(4));
        F.List()->clearSelection();
        QVERIFY(Chart(F)->Points().empty());
    }

    // A rename in place carries the history along, and the chart goes on with it.
    void RenameCarriesTheHistory()
    {
        TWindowFixture F(nullptr);
        F.Add("old", 1);
        F.Tick();
        F.List()->setCurrentItem(F.List()->topLevelItem(0));
        QCOMPARE(Chart(F)->Points().size(), size_t(1));
        F.List()->topLevelItem(0)->setText(0, QStringLiteral("new"));
        QCOMPARE(F.Window->Monitors().front().Name, std::string("new"));
        QCOMPARE(Chart(F)->Points().size(), size_t(1));
        F.Clock += 2 * Second;
        F.Tick();
        QCOMPARE(Recorded(F, "new").size(), size_t(2));
        QVERIFY(Recorded(F, "old").empty());
        QCOMPARE(Chart(F)->Points().size(), size_t(2));
    }

    // A damaged history file turns the history off with one word in the status bar; the checks,
    // the rows and the notifications go on.
    void DamagedFileLeavesTheChecksRunning()
    {
        TWindowFixture F(nullptr, true, [](const std::string& AFolder) {
            QDir().mkpath(QString::fromStdString(AFolder + "/state"));
            std::ofstream(AFolder + "/state/history.sqlite", std::ios::binary) << std::string(8192, 'x');
        });
        auto A = F.Add("a", 1);
        A->Result = msError;
        F.Tick();
        QTRY_VERIFY_WITH_TIMEOUT(!F.Window->History().OffReason().isEmpty(), 10000);
        const QString Said = F.Window->statusBar()->currentMessage();
        QVERIFY2(Said.startsWith(QStringLiteral("История проверок выключена: ")), qPrintable(Said));
        F.Window->statusBar()->clearMessage();
        for (int I = 0; I < 3; ++I) {
            A->Result = I % 2 ? msError : msOK;
            F.Clock += 61 * Second;
            F.Tick();
        }
        QCOMPARE(F.List()->topLevelItem(0)->text(2), QStringLiteral("OK"));
        QCOMPARE(F.Notifications->Shown.size(), size_t(4));
        QCOMPARE(F.Window->statusBar()->currentMessage(), QString());
        // The file is left as it was, for the operator to look at.
        QCOMPARE(F.ReadFile("state/history.sqlite"), std::string(8192, 'x'));
    }
};

QTEST_MAIN(TTestMainHistory)
#include "TestMainHistory.moc"
