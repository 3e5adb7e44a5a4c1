// The chart drawn offscreen from a scripted history written to a real SQLite file: the red
// marks stand exactly in the columns of the failed checks of each plot and nowhere else, the
// line is drawn where the checks succeeded, and the uptimes are those of the history.
#include "app/HistoryChart.h"

#include <QImage>
#include <QLocale>
#include <QTemporaryDir>
#include <QTest>

#include <cstdlib>
#include <set>

class TestHistoryChart : public QObject {
    Q_OBJECT

private:
    static constexpr int64_t Now = 1790000000000;
    static constexpr int64_t Minute = 60000;

    static bool IsRed(QRgb APixel) { return qRed(APixel) > 180 && qGreen(APixel) < 80 && qBlue(APixel) < 80; }
    static bool IsBlue(QRgb APixel) { return qBlue(APixel) > 150 && qRed(APixel) < 80; }

    // How many pixels of the column AX inside APlot have the colour.
    static int Count(const QImage& AImage, const QRect& APlot, int AX, bool (*AIs)(QRgb))
    {
        int Result = 0;
        for (int Y = APlot.top(); Y <= APlot.bottom(); ++Y)
            Result += AIs(AImage.pixel(AX, Y));
        return Result;
    }

private slots:
    void FailuresAreMarkedRedWhereTheyHappened()
    {
        QTemporaryDir Folder;
        QVERIFY(Folder.isValid());
        const std::string File = Folder.filePath("vardex/history.sqlite").toStdString();
        const std::string List = "/lists/default.cfg";
        // A check a minute over the last day, and a few checks three days ago.
        const std::set<int64_t> Failures = { Now - 30 * Minute, Now - 300 * Minute, Now - 1200 * Minute };
        {
            THistoryRecorder Recorder(File, [] { return Now; });
            Recorder.Start();
            for (int64_t At = Now - 1440 * Minute; At <= Now; At += Minute) {
                const bool OK = Failures.count(At) == 0;
                Recorder.Record(
                    { List, "web", At, OK, OK ? 20 + (At / Minute % 7) * 10 : 10000, OK ? "" : "refused" });
            }
            for (int I = 0; I < 4; ++I)
                Recorder.Record({ List, "web", Now - 3 * 1440 * Minute + I * Minute, I != 0, 30, "" });
            // Another monitor of the list must not show here.
            Recorder.Record({ List, "other", Now - 10 * Minute, false, 1, "x" });
            QVERIFY(Recorder.Flush(std::chrono::seconds(10)));
        }

        THistoryChart Chart;
        Chart.resize(420, 320);
        THistoryReader Reader(File);
        QVERIFY(Chart.Load(Reader, List, "web", Now));
        QCOMPARE(Chart.Points().size(), size_t(1441));
        const QLocale Locale;
        const QString Want = QStringLiteral("Доступность: 24 ч %1 %, 7 дн %2 %, 30 дн %2 %")
                                 .arg(Locale.toString(100.0 * 1438 / 1441, 'f', 2),
                                     Locale.toString(100.0 * 1441 / 1445, 'f', 2));
        QCOMPARE(Chart.UptimeText(), Want);

        const QImage Image = Chart.grab().toImage();
        if (qEnvironmentVariableIsSet("VARDEX_CHART_PNG"))
            Image.save(qEnvironmentVariable("VARDEX_CHART_PNG"));
        for (int Plot = 0; Plot < 2; ++Plot) {
            const QRect Rect = Chart.PlotRect(Plot);
            QVERIFY(Rect.width() > 200 && Rect.height() > 60);
            std::set<int> RedColumns;
            for (const int64_t At : Failures)
                if (const int X = Chart.XOf(Plot, At); X >= 0)
                    RedColumns.insert(X);
            // Time runs left to right over the plot's width: half an hour ago is the hour's
            // middle, twenty hours ago a sixth of the day.
            const int64_t Mark = Plot == 0 ? Now - 30 * Minute : Now - 1200 * Minute;
            const int WantX = Rect.left() + (Plot == 0 ? Rect.width() / 2 : Rect.width() / 6);
            QVERIFY(std::abs(Chart.XOf(Plot, Mark) - WantX) <= 1);
            // The hour shows one failure, the day all three.
            QCOMPARE(RedColumns.size(), size_t(Plot == 0 ? 1 : 3));
            for (int X = Rect.left(); X <= Rect.right(); ++X) {
                const int Red = Count(Image, Rect, X, IsRed);
                if (RedColumns.count(X))
                    QVERIFY2(Red >= Rect.height() * 3 / 4,
                        qPrintable(QStringLiteral("plot %1 x %2: %3 red").arg(Plot).arg(X).arg(Red)));
                else
                    QVERIFY2(Red == 0,
                        qPrintable(QStringLiteral("plot %1 x %2: %3 red").arg(Plot).arg(X).arg(Red)));
            }
            // The line: every column of a successful check in the hour, away from the failure,
            // has some of it.
            if (Plot == 0)
                for (int64_t At = Now - 59 * Minute; At < Now; At += Minute)
                    if (std::abs(Chart.XOf(0, At) - Chart.XOf(0, Now - 30 * Minute)) > 6)
                        QVERIFY2(Count(Image, Rect, Chart.XOf(0, At), IsBlue) > 0,
                            qPrintable(QString::number(At)));
        }
    }

    void AnUnreadableHistoryIsSaidInsteadOfDrawn()
    {
        QTemporaryDir Folder;
        THistoryChart Chart;
        THistoryReader Reader(Folder.filePath("missing.sqlite").toStdString());
        QVERIFY(!Chart.Load(Reader, "/l", "web", Now));
        QVERIFY(Chart.Message().contains(QStringLiteral("missing.sqlite")));
        QVERIFY(Chart.Points().empty());
    }

    void NewVerdictsMoveTheDayOn()
    {
        THistoryChart Chart;
        Chart.SetPoints({ { Now - 1440 * Minute, true, 5, "" }, { Now - 60 * Minute, true, 5, "" } }, Now);
        Chart.AddPoint({ Now + 2 * Minute, false, 100, "x" }, Now + 2 * Minute);
        // One that started earlier but ended later goes in its place.
        Chart.AddPoint({ Now + Minute, true, 7, "" }, Now + 2 * Minute);
        QCOMPARE(Chart.Points().size(), size_t(3));
        QCOMPARE(Chart.Points()[0].StartMs, Now - 60 * Minute);
        QCOMPARE(Chart.Points()[1].StartMs, Now + Minute);
        QCOMPARE(Chart.Points()[2].StartMs, Now + 2 * Minute);
    }
};

QTEST_MAIN(TestHistoryChart)
#include "TestHistoryChart.moc"
