// The window's side of the history with a real SQLite file in a folder of the test's own:
// finished checks are recorded, notified and drawn for the selected monitor only; a rename
// carries the history; a damaged file or VARDEX_HISTORY=off switches the history off with one
// word while notifications and response times go on; a removed file is followed by a new one.
#include "app/MonitorHistory.h"
#include "support/RecordingNotifier.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <atomic>
#include <fstream>

class TestMonitorHistory : public QObject {
    Q_OBJECT

private:
    static constexpr int64_t Now = 1790000000000;

    using TRecorder = TRecordingNotifier;

    QTemporaryDir FFolder;
    std::atomic<int64_t> FWall { Now };
    int64_t FTick = 0;

    TMonitorHistory::TOptions Options(bool AEnabled = true)
    {
        TMonitorHistory::TOptions Result;
        Result.Settings.Enabled = AEnabled;
        Result.Settings.FileName = FileName();
        Result.WallMs = [this] { return FWall.load(); };
        Result.MonotonicMs = [this] { return FTick; };
        Result.BatchDelayMs = 5;
        return Result;
    }
    std::string FileName() const { return FFolder.filePath("state/vardex/history.sqlite").toStdString(); }
    static TDateTime At(int64_t AMs) { return UnixToLocalDateTime(static_cast<double>(AMs) / 1000.0); }

private slots:
    void init()
    {
        QDir(FFolder.path()).removeRecursively();
        QDir().mkpath(FFolder.path());
        FTick = 0;
    }

    void ChecksAreRecordedNotifiedAndDrawnForTheSelectedMonitor()
    {
        TRecorder Notifier;
        THistoryChart Chart;
        TMonitorHistory History(&Chart, Notifier, Options());
        TPingMonitor A, B;
        History.SetList(FFolder.filePath("default.cfg").toStdString());
        History.Select(&A, "a");
        QVERIFY(Chart.Points().empty());
        QCOMPARE(Chart.Message(), QString());

        History.Finished(&A, "a", msOK, "", At(Now - 2000), 12);
        FTick = 1000;
        History.Finished(&A, "a", msError, "refused", At(Now - 1000), 10000);
        History.Finished(&B, "b", msError, "no reply", At(Now - 500), 3000);
        History.Finished(&B, "b", msChecking, "", At(Now - 400), 0);
        QCOMPARE(Notifier.Shown.size(), size_t(2));
        QCOMPARE(Notifier.Shown[0], (TNotification { "a", false, "refused", 1 }));
        QCOMPARE(Notifier.Shown[1], (TNotification { "b", false, "no reply", 1 }));
        QCOMPARE(Chart.Points().size(), size_t(2));
        QVERIFY(Chart.UptimeText().contains(QLocale().toString(50.0, 'f', 2)));
        QCOMPARE(History.LastResponseMs(&A), int64_t(10000));
        QCOMPARE(History.LastResponseMs(&B), int64_t(3000));
        QCOMPARE(StatusTipText(msError, "refused\r\nsecond line", 10000),
            QStringLiteral("refused\nsecond line\nПоследняя проверка: 10000 мс"));
        QCOMPARE(StatusTipText(msOK, "", 12), QStringLiteral("Последняя проверка: 12 мс"));
        QCOMPARE(StatusTipText(msNone, "", -1), QString());

        History.Renamed(&A, "a", "renamed");
        QVERIFY(History.Flush(10000));
        History.Select(&B, "b");
        QCOMPARE(Chart.Points().size(), size_t(1));
        History.Select(&A, "renamed");
        QCOMPARE(Chart.Points().size(), size_t(2));
        QCOMPARE(Chart.Points()[1].Reason, std::string("refused"));

        History.Deleted(&A);
        QVERIFY(Chart.Points().empty());
        QVERIFY(!Chart.Message().isEmpty());
        QCOMPARE(History.LastResponseMs(&A), int64_t(-1));
        QVERIFY(History.Recording());
    }

    void ADamagedFileTurnsTheHistoryOffOnce()
    {
        QDir().mkpath(FFolder.filePath("state/vardex"));
        std::ofstream(FileName()) << std::string(4096, 'x');
        TRecorder Notifier;
        THistoryChart Chart;
        TMonitorHistory History(&Chart, Notifier, Options());
        QSignalSpy Off(&History, &TMonitorHistory::HistoryOff);
        TPingMonitor A;
        History.SetList("default.cfg");
        History.Select(&A, "a");
        History.Finished(&A, "a", msError, "refused", At(Now), 5);
        QTRY_COMPARE_WITH_TIMEOUT(Off.count(), 1, 10000);
        QVERIFY(Off[0][0].toString().contains(QStringLiteral("not a database")));
        QCOMPARE(Chart.Message(), Off[0][0].toString());
        QVERIFY(!History.Recording());
        // The checks' other effects go on.
        FTick = 61000;
        History.Finished(&A, "a", msOK, "", At(Now + 1000), 7);
        QCOMPARE(Notifier.Shown.size(), size_t(2));
        QCOMPARE(History.LastResponseMs(&A), int64_t(7));
        QTest::qWait(50);
        QCOMPARE(Off.count(), 1);
    }

    // The file removed under a running history: said once, and the history goes on in a new
    // file, which the chart then reads.
    void ARemovedFileIsSaidOnceAndTheHistoryGoesOn()
    {
        TRecorder Notifier;
        THistoryChart Chart;
        TMonitorHistory History(&Chart, Notifier, Options());
        QSignalSpy Said(&History, &TMonitorHistory::HistoryNotice);
        TPingMonitor A;
        History.SetList("default.cfg");
        History.Finished(&A, "a", msOK, "", At(Now), 5);
        QVERIFY(History.Flush(10000));
        QVERIFY(QDir(FFolder.filePath("state")).removeRecursively());
        History.Finished(&A, "a", msError, "refused", At(Now + 1000), 7);
        QVERIFY(History.Flush(10000));
        QTRY_COMPARE_WITH_TIMEOUT(Said.count(), 1, 10000);
        QVERIFY(Said[0][0].toString().contains(QString::fromStdString(FileName())));
        QVERIFY(History.Recording());
        History.Select(&A, "a");
        QCOMPARE(Chart.Points().size(), size_t(1));
    }

    void TurnedOffRecordsNothing()
    {
        TRecorder Notifier;
        THistoryChart Chart;
        TMonitorHistory History(&Chart, Notifier, Options(false));
        TPingMonitor A;
        History.Select(&A, "a");
        History.Finished(&A, "a", msError, "refused", At(Now), 5);
        QCOMPARE(Notifier.Shown.size(), size_t(1));
        QVERIFY(History.OffReason().contains(QStringLiteral("VARDEX_HISTORY=off")));
        QCOMPARE(Chart.Message(), History.OffReason());
        QVERIFY(!QFile::exists(QString::fromStdString(FileName())));
    }
};

QTEST_MAIN(TestMonitorHistory)
#include "TestMonitorHistory.moc"
