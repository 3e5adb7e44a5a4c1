// A picture of one monitor's history: its last hour and its last day, response times as a
// line and failed checks as red marks, with the uptime of the last 24 hours, 7 and 30 days.
//
// Drawn with QPainter rather than Qt Charts: two fixed time axes and one line need no scene
// of graphics items, and the points are first reduced to one column per pixel, so a day of
// checks every few seconds draws as a few hundred lines and redrawing at each verdict costs
// the same whatever the interval. It also keeps the mapping from time to pixel in one
// function, which the tests use to find the marks.
#pragma once

#include "history/History.h"

#include <QString>
#include <QWidget>

#include <cstdint>
#include <vector>

class THistoryChart : public QWidget {
    Q_OBJECT

public:
    static constexpr int64_t HourMs = 3600000;
    static constexpr int64_t DayMs = 24 * HourMs;

    explicit THistoryChart(QWidget* AParent = nullptr);

    // The checks of the last day, oldest first, as of ANowMs (Unix milliseconds).
    void SetPoints(std::vector<THistoryPoint> APoints, int64_t ANowMs);
    // Adds one check that just ended and moves the time on to ANowMs.
    void AddPoint(const THistoryPoint& APoint, int64_t ANowMs);
    // Uptime in percent for 24 h, 7 days and 30 days; -1 where there were no checks.
    void SetUptime(double ADay, double AWeek, double AMonth);
    // Reads the monitor AMonitor of AListPath from AReader: the points of the last day and the
    // three uptimes, whose counts over 7 and 30 days go to AWeek and AMonth when given. False
    // when the history could not be read (the chart then says why).
    bool Load(THistoryReader& AReader, const std::string& AListPath, const std::string& AMonitor,
        int64_t ANowMs, THistorySummary* AWeek = nullptr, THistorySummary* AMonth = nullptr);
    // A text shown instead of the plots (no monitor selected, history off); empty for none.
    void SetMessage(const QString& AText);
    // Empties the chart.
    void Clear();

    const std::vector<THistoryPoint>& Points() const { return FPoints; }
    const QString& Message() const { return FMessage; }
    // The line of the uptimes as shown.
    QString UptimeText() const;

    // The plot of the last hour (0) or of the last day (1), in widget coordinates.
    QRect PlotRect(int APlot) const;
    // The pixel column of the plot APlot where a check at AMs is drawn; -1 outside its span.
    int XOf(int APlot, int64_t AMs) const;

    QSize sizeHint() const override { return { 360, 260 }; }
    QSize minimumSizeHint() const override { return { 200, 160 }; }

protected:
    void paintEvent(QPaintEvent* AEvent) override;

private:
    // The checks of a plot, one column per pixel: the slowest successful check (-1: none) and
    // whether any check failed; Top is the slowest of all.
    struct TColumns {
        std::vector<int64_t> Slowest;
        std::vector<bool> Failed;
        int64_t Top = 0;
    };

    // A plot's caption, its frame and labels, its line and its failures.
    void DrawPlot(QPainter& APainter, int APlot);
    TColumns ColumnsOf(const QRect& APlot, int APlotIndex) const;
    // The grid, the scale of AScale ms and the time labels.
    void DrawFrame(QPainter& APainter, const QRect& APlot, int APlotIndex, int64_t AScale) const;
    static void DrawLine(QPainter& APainter, const QRect& APlot, const TColumns& AColumns, int64_t AScale);
    // XOf for the plot APlotIndex, whose rectangle APlot is: measuring the fonts for the
    // rectangle once a point would cost more than all the rest of a repaint.
    int ColumnOf(const QRect& APlot, int APlotIndex, int64_t AMs) const;

    std::vector<THistoryPoint> FPoints;
    int64_t FNowMs = 0;
    double FUptime[3] = { -1, -1, -1 };
    QString FMessage;
};
