#include "app/HistoryChart.h"

#include <QFontMetrics>
#include <QLocale>
#include <QPaintEvent>
#include <QPainter>

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

const QColor LineColour(0, 90, 200);
const QColor FailureColour(220, 0, 0);
const QColor GridColour(215, 215, 215);

constexpr int Margin = 6;

// The smallest of 1, 2, 5 times a power of ten that is at least AValue (10 at least).
int64_t RoundScale(int64_t AValue)
{
    int64_t Step = 10;
    for (;;) {
        for (const int64_t Factor : { 1, 2, 5 })
            if (Step * Factor >= AValue)
                return Step * Factor;
        if (Step > std::numeric_limits<int64_t>::max() / 100)
            return AValue;
        Step *= 10;
    }
}

QString PercentText(double AValue)
{
    if (AValue < 0)
        return QStringLiteral("—");
    return QLocale().toString(AValue, 'f', AValue >= 100 ? 0 : 2) + QStringLiteral(" %");
}

} // namespace

THistoryChart::THistoryChart(QWidget* AParent)
    : QWidget(AParent)
{
    setAutoFillBackground(true);
    QPalette Colours = palette();
    Colours.setColor(QPalette::Window, Qt::white);
    Colours.setColor(QPalette::WindowText, Qt::black);
    setPalette(Colours);
}

void THistoryChart::SetPoints(std::vector<THistoryPoint> APoints, int64_t ANowMs)
{
    FPoints = std::move(APoints);
    FNowMs = ANowMs;
    update();
}

void THistoryChart::AddPoint(const THistoryPoint& APoint, int64_t ANowMs)
{
    FNowMs = std::max(FNowMs, ANowMs);
    FPoints.push_back(APoint);
    // Kept in time order; a verdict of an earlier start may come after a later one.
    for (size_t I = FPoints.size() - 1; I > 0 && FPoints[I].StartMs < FPoints[I - 1].StartMs; --I)
        std::swap(FPoints[I], FPoints[I - 1]);
    const int64_t From = FNowMs - DayMs;
    const auto Old = std::find_if(
        FPoints.begin(), FPoints.end(), [&](const THistoryPoint& AOne) { return AOne.StartMs >= From; });
    FPoints.erase(FPoints.begin(), Old);
    update();
}

void THistoryChart::SetUptime(double ADay, double AWeek, double AMonth)
{
    FUptime[0] = ADay;
    FUptime[1] = AWeek;
    FUptime[2] = AMonth;
    update();
}

bool THistoryChart::Load(THistoryReader& AReader, const std::string& AListPath, const std::string& AMonitor,
    int64_t ANowMs, THistorySummary* AWeek, THistorySummary* AMonth)
{
    std::vector<THistoryPoint> Points = AReader.Points(AListPath, AMonitor, ANowMs - DayMs);
    THistorySummary Counts[3];
    const int64_t Spans[3] = { DayMs, 7 * DayMs, 30 * DayMs };
    for (int I = 0; I < 3 && AReader.Error().empty(); ++I)
        Counts[I] = AReader.Counts(AListPath, AMonitor, ANowMs - Spans[I]);
    if (!AReader.Error().empty()) {
        Clear();
        SetMessage(QString::fromStdString(AReader.Error()));
        return false;
    }
    SetMessage({});
    SetPoints(std::move(Points), ANowMs);
    SetUptime(Counts[0].Uptime(), Counts[1].Uptime(), Counts[2].Uptime());
    if (AWeek)
        *AWeek = Counts[1];
    if (AMonth)
        *AMonth = Counts[2];
    return true;
}

void THistoryChart::SetMessage(const QString& AText)
{
    FMessage = AText;
    update();
}

void THistoryChart::Clear()
{
    FPoints.clear();
    FUptime[0] = FUptime[1] = FUptime[2] = -1;
    update();
}

QString THistoryChart::UptimeText() const
{
    return tr("Доступность: 24 ч %1, 7 дн %2, 30 дн %3")
        .arg(PercentText(FUptime[0]), PercentText(FUptime[1]), PercentText(FUptime[2]));
}

QRect THistoryChart::PlotRect(int APlot) const
{
    const QFontMetrics Metrics(font());
    const int Line = Metrics.height();
    // The uptime line on top; then per plot a caption line, the plot, and its time labels.
    const int Top = Margin + Line + Margin;
    const int Each = (height() - Top - Margin) / 2;
    const int Left = Margin + Metrics.horizontalAdvance(tr("%1 мс").arg(QStringLiteral("00000"))) + 4;
    const int Right = width() - Margin - Metrics.horizontalAdvance(tr("сейчас")) / 2;
    const int PlotTop = Top + APlot * Each + Line;
    const int PlotHeight = std::max(1, Each - 2 * Line - 2);
    return QRect(Left, PlotTop, std::max(1, Right - Left), PlotHeight);
}

int THistoryChart::XOf(int APlot, int64_t AMs) const
{
    return ColumnOf(PlotRect(APlot), APlot, AMs);
}

int THistoryChart::ColumnOf(const QRect& APlot, int APlotIndex, int64_t AMs) const
{
    const int64_t Span = APlotIndex == 0 ? HourMs : DayMs;
    const int64_t From = FNowMs - Span;
    if (AMs < From || AMs > FNowMs)
        return -1;
    const int64_t Column = (AMs - From) * (APlot.width() - 1) / Span;
    return APlot.left() + static_cast<int>(Column);
}

void THistoryChart::paintEvent(QPaintEvent* AEvent)
{
    QWidget::paintEvent(AEvent);
    QPainter Painter(this);
    const QFontMetrics Metrics(font());
    Painter.setPen(palette().color(QPalette::WindowText));
    if (!FMessage.isEmpty()) {
        Painter.drawText(
            rect().adjusted(Margin, Margin, -Margin, -Margin), Qt::AlignCenter | Qt::TextWordWrap, FMessage);
        return;
    }
    Painter.drawText(Margin, Margin + Metrics.ascent(), UptimeText());
    DrawPlot(Painter, 0);
    DrawPlot(Painter, 1);
}

void THistoryChart::DrawPlot(QPainter& APainter, int APlot)
{
    const QRect Plot = PlotRect(APlot);
    const QFontMetrics Metrics(font());
    APainter.setPen(palette().color(QPalette::WindowText));
    APainter.drawText(Plot.left(), Plot.top() - Metrics.descent() - 1,
        APlot == 0 ? tr("Последний час") : tr("Последние сутки"));

    const TColumns Columns = ColumnsOf(Plot, APlot);
    const int64_t Scale = RoundScale(Columns.Top);
    DrawFrame(APainter, Plot, APlot, Scale);
    DrawLine(APainter, Plot, Columns, Scale);
    // Failures last, the full height of the plot, so that no line hides one.
    APainter.setPen(QPen(FailureColour, 1));
    for (int I = 0; I < Plot.width(); ++I)
        if (Columns.Failed[static_cast<size_t>(I)])
            APainter.drawLine(Plot.left() + I, Plot.top() + 1, Plot.left() + I, Plot.bottom() - 1);
}

THistoryChart::TColumns THistoryChart::ColumnsOf(const QRect& APlot, int APlotIndex) const
{
    const int64_t From = FNowMs - (APlotIndex == 0 ? HourMs : DayMs);
    TColumns Result;
    Result.Slowest.assign(static_cast<size_t>(APlot.width()), -1);
    Result.Failed.assign(static_cast<size_t>(APlot.width()), false);
    const auto First = std::lower_bound(FPoints.begin(), FPoints.end(), From,
        [](const THistoryPoint& AOne, int64_t AMs) { return AOne.StartMs < AMs; });
    for (auto It = First; It != FPoints.end() && It->StartMs <= FNowMs; ++It) {
        const int X = ColumnOf(APlot, APlotIndex, It->StartMs);
        if (X < 0)
            continue;
        const size_t Column = static_cast<size_t>(X - APlot.left());
        if (!It->OK) {
            Result.Failed[Column] = true;
            continue;
        }
        Result.Slowest[Column] = std::max(Result.Slowest[Column], It->ResponseMs);
        Result.Top = std::max(Result.Top, It->ResponseMs);
    }
    return Result;
}

void THistoryChart::DrawFrame(QPainter& APainter, const QRect& APlot, int APlotIndex, int64_t AScale) const
{
    const QFontMetrics Metrics(font());
    APainter.setPen(GridColour);
    APainter.drawRect(APlot.adjusted(0, 0, -1, -1));
    APainter.drawLine(APlot.left(), APlot.center().y(), APlot.right(), APlot.center().y());

    APainter.setPen(palette().color(QPalette::WindowText));
    const QString ScaleText = tr("%1 мс").arg(AScale);
    APainter.drawText(QRect(Margin, APlot.top(), APlot.left() - Margin - 4, Metrics.height()),
        Qt::AlignRight | Qt::AlignTop, ScaleText);
    APainter.drawText(
        QRect(Margin, APlot.bottom() - Metrics.height(), APlot.left() - Margin - 4, Metrics.height()),
        Qt::AlignRight | Qt::AlignBottom, QStringLiteral("0"));
    const int LabelY = APlot.bottom() + 2 + Metrics.ascent();
    const QString Start = APlotIndex == 0 ? tr("−60 мин") : tr("−24 ч");
    const QString Middle = APlotIndex == 0 ? tr("−30 мин") : tr("−12 ч");
    APainter.drawText(APlot.left(), LabelY, Start);
    APainter.drawText(APlot.center().x() - Metrics.horizontalAdvance(Middle) / 2, LabelY, Middle);
    const QString Now = tr("сейчас");
    APainter.drawText(APlot.right() - Metrics.horizontalAdvance(Now) / 2, LabelY, Now);
}

void THistoryChart::DrawLine(QPainter& APainter, const QRect& APlot, const TColumns& AColumns, int64_t AScale)
{
    // The line joins successful checks; a failure between two of them breaks it.
    APainter.setRenderHint(QPainter::Antialiasing, false);
    APainter.setPen(QPen(LineColour, 1.5));
    QPolygon Line;
    const auto Draw = [&] {
        if (Line.size() == 1)
            APainter.drawPoint(Line[0]);
        else if (Line.size() > 1)
            APainter.drawPolyline(Line);
    };
    const auto YOf = [&](int64_t AMs) {
        return APlot.bottom() - 1
            - static_cast<int>(AMs * (APlot.height() - 2) / std::max<int64_t>(AScale, 1));
    };
    for (int I = 0; I < APlot.width(); ++I) {
        const size_t Column = static_cast<size_t>(I);
        if (AColumns.Failed[Column] && AColumns.Slowest[Column] < 0) {
            Draw();
            Line.clear();
            continue;
        }
        if (AColumns.Slowest[Column] >= 0)
            Line << QPoint(APlot.left() + I, YOf(AColumns.Slowest[Column]));
    }
    Draw();
}
