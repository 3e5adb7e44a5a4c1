#include "app/MonitorHistory.h"

#include <QMetaObject>

#include <chrono>
#include <climits>
#include <cmath>

namespace {

int64_t SteadyMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

QString OffText(const QString& AReason)
{
    return TMonitorHistory::tr("История проверок выключена: %1").arg(AReason);
}

QString NoticeText(const QString& AFileName)
{
    return TMonitorHistory::tr("Файл истории %1 удалён или заменён: история продолжается в новом файле")
        .arg(AFileName);
}

} // namespace

QString StatusTipText(TMonitorStatus AStatus, const std::string& AReason, int64_t ALastMs)
{
    // The reason first, as it always was; the stack's messages break their lines with CR LF,
    // which a tooltip would show as a stray character before each break.
    QString Text;
    if (AStatus == msError) {
        Text = QString::fromStdString(AReason);
        Text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
        Text.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    }
    if (ALastMs >= 0 && (AStatus == msOK || AStatus == msError)) {
        if (!Text.isEmpty())
            Text += QLatin1Char('\n');
        Text += TMonitorHistory::tr("Последняя проверка: %1 мс").arg(ALastMs);
    }
    return Text;
}

namespace {

TCheckRecording::TOptions RecordingOptions(const TMonitorHistory::TOptions& AOptions,
    std::function<void(const std::string&)> AOnDisabled, std::function<void(const std::string&)> AOnNotice)
{
    TCheckRecording::TOptions Result;
    Result.Settings = AOptions.Settings;
    Result.WallMs = AOptions.WallMs;
    Result.BatchDelay = std::chrono::milliseconds(AOptions.BatchDelayMs);
    Result.OnDisabled = std::move(AOnDisabled);
    Result.OnNotice = std::move(AOnNotice);
    return Result;
}

} // namespace

TMonitorHistory::TOptions TMonitorHistory::OptionsFor(
    const TCheckClock& AClock, std::optional<THistorySettings> ASettings)
{
    TOptions Result;
    Result.WallMs = [&AClock] { return std::llround(LocalDateTimeToUnix(AClock.WallNow()) * 1000.0); };
    Result.MonotonicMs = [&AClock] { return AClock.MonotonicMs(); };
    Result.Settings = ASettings ? std::move(*ASettings) : HistorySettingsFromEnvironment();
    return Result;
}

TMonitorHistory::TMonitorHistory(
    THistoryChart* AChart, TDesktopNotifier& ANotifier, TOptions AOptions, QObject* AParent)
    : QObject(AParent)
    , FChart(AChart)
    , FNotifications(
          ANotifier, AOptions.MonotonicMs ? AOptions.MonotonicMs : std::function<int64_t()>(SteadyMs))
    , FRecording(
          RecordingOptions(
              AOptions,
              // Called on the recorder's thread, which the recording joins before this
              // object goes; the queued call is dropped by Qt if it comes too late.
              [this](const std::string& AReason) {
                  QMetaObject::invokeMethod(
                      this, [this, Reason = QString::fromStdString(AReason)] { TurnOff(Reason); },
                      Qt::QueuedConnection);
              },
              // The same way: the window hears that the file was made anew.
              [this, File = QString::fromStdString(AOptions.Settings.FileName)](const std::string&) {
                  QMetaObject::invokeMethod(
                      this, [this, File] { emit HistoryNotice(NoticeText(File)); }, Qt::QueuedConnection);
              }),
          &FNotifications)
{
    if (!AOptions.Settings.Enabled) {
        FOffReason = OffText(QStringLiteral("VARDEX_HISTORY=off"));
        if (FChart)
            FChart->SetMessage(FOffReason);
    }
}

TMonitorHistory::~TMonitorHistory() = default;

void TMonitorHistory::TurnOff(const QString& AReason)
{
    if (!FOffReason.isEmpty())
        return;
    FOffReason = OffText(AReason);
    if (FChart) {
        FChart->Clear();
        FChart->SetMessage(FOffReason);
    }
    emit HistoryOff(FOffReason);
}

void TMonitorHistory::SetList(const std::string& AFileName)
{
    FRecording.SetList(AFileName);
    FSelected = nullptr;
    FSelectedName.clear();
    Reload();
}

void TMonitorHistory::Finished(
    const TServiceMonitor& AMonitor, const std::string& AName, const TCheckVerdict& AVerdict)
{
    Finished(&AMonitor, AName, AMonitor.Status(), AVerdict.Reason, AVerdict.Start, AVerdict.DurationMs);
}

void TMonitorHistory::Finished(const TServiceMonitor* AMonitor, const std::string& AName,
    TMonitorStatus AStatus, const std::string& AReason, TDateTime AStart, int64_t ADurationMs)
{
    const std::optional<THistoryPoint> Point
        = FRecording.Record(AMonitor, AName, AStatus, AReason, AStart, ADurationMs);
    if (!Point)
        return;
    if (Recording()) {
        // Kept until surely written, for a chart loaded from the file in the meantime.
        const int64_t Now = FRecording.WallMs();
        FRecent.push_back({ AMonitor, Now, *Point });
        while (FRecent.front().RecordedMs < Now - RecentMs)
            FRecent.pop_front();
    }
    if (AMonitor == FSelected)
        Show(*Point);
}

void TMonitorHistory::Show(const THistoryPoint& APoint)
{
    if (!FChart || !FOffReason.isEmpty())
        return;
    FChart->AddPoint(APoint, FRecording.WallMs());
    int64_t Failures = 0;
    for (const THistoryPoint& Point : FChart->Points())
        Failures += !Point.OK;
    const auto Checks = static_cast<int64_t>(FChart->Points().size());
    for (THistorySummary* Span : { &FWeek, &FMonth }) {
        ++Span->Checks;
        Span->Failures += !APoint.OK;
    }
    FChart->SetUptime(THistorySummary { {}, Checks, Failures }.Uptime(), FWeek.Uptime(), FMonth.Uptime());
}

void TMonitorHistory::Select(const TServiceMonitor* AMonitor, const std::string& AName)
{
    // The window asks again at every change of its list; the file is read only for a change.
    if (AMonitor == FSelected && AName == FSelectedName)
        return;
    FSelected = AMonitor;
    FSelectedName = AName;
    Reload();
}

void TMonitorHistory::Reload()
{
    if (!FChart || !FOffReason.isEmpty())
        return;
    if (!FSelected) {
        FChart->Clear();
        FChart->SetMessage(tr("Выберите монитор"));
        return;
    }
    const int64_t Now = FRecording.WallMs();
    FWeek = FMonth = THistorySummary {};
    // A file not made yet (the first checks are still on their way) is an empty history.
    if (!FRecording.Reader()
        || !FChart->Load(*FRecording.Reader(), FRecording.ListKey(), FSelectedName, Now, &FWeek, &FMonth)) {
        FChart->Clear();
        FChart->SetPoints({}, Now);
        FChart->SetMessage({});
    }
    // The checks still on their way to the file; a monitor's checks never overlap, so its
    // starts only grow.
    const int64_t Loaded = FChart->Points().empty() ? INT64_MIN : FChart->Points().back().StartMs;
    for (const TRecent& Recent : FRecent)
        if (Recent.Monitor == FSelected && Recent.Point.StartMs > Loaded)
            Show(Recent.Point);
}

void TMonitorHistory::Renamed(
    const TServiceMonitor* AMonitor, const std::string& AOldName, const std::string& ANewName)
{
    FRecording.Renamed(AOldName, ANewName);
    if (AMonitor == FSelected)
        FSelectedName = ANewName;
}

void TMonitorHistory::Deleted(const TServiceMonitor* AMonitor)
{
    FRecording.Deleted(AMonitor);
    std::erase_if(FRecent, [AMonitor](const TRecent& ARecent) { return ARecent.Monitor == AMonitor; });
    if (AMonitor == FSelected)
        Select(nullptr, {});
}

void TMonitorHistory::Restore(const std::vector<std::pair<TServiceMonitor*, std::string>>& AMonitors)
{
    if (FOffReason.isEmpty())
        FRecording.Restore(AMonitors);
}
