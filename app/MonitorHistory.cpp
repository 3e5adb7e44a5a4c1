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

TMonitorHistory::TMonitorHistory(
    THistoryChart* AChart, TDesktopNotifier& ANotifier, TOptions AOptions, QObject* AParent)
    : QObject(AParent)
    , FChart(AChart)
    , FOptions(std::move(AOptions))
    , FNotifications(
          ANotifier, FOptions.MonotonicMs ? FOptions.MonotonicMs : std::function<int64_t()>(SteadyMs))
{
    if (!FOptions.WallMs)
        FOptions.WallMs = HistoryNowMs;
    if (!FOptions.Settings.Enabled) {
        FOffReason = OffText(QStringLiteral("VARDEX_HISTORY=off"));
        if (FChart)
            FChart->SetMessage(FOffReason);
        return;
    }
    FRecorder = std::make_unique<THistoryRecorder>(FOptions.Settings.FileName, FOptions.WallMs);
    FRecorder->SetRetentionDays(FOptions.Settings.RetentionDays);
    FRecorder->SetBatchDelay(std::chrono::milliseconds(FOptions.BatchDelayMs));
    // Called on the recorder's thread, which the destructor joins before this object goes;
    // the queued call is dropped by Qt if it comes too late.
    FRecorder->OnDisabled = [this](const std::string& AReason) {
        QMetaObject::invokeMethod(
            this, [this, Reason = QString::fromStdString(AReason)] { TurnOff(Reason); },
            Qt::QueuedConnection);
    };
    FRecorder->Start();
    FReader = std::make_unique<THistoryReader>(FOptions.Settings.FileName);
}

TMonitorHistory::~TMonitorHistory()
{
    if (FRecorder)
        FRecorder->Stop();
}

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
    FListKey = HistoryListKey(AFileName);
    FSelected = nullptr;
    FSelectedName.clear();
    Reload();
}

void TMonitorHistory::Finished(const TServiceMonitor* AMonitor, const std::string& AName,
    TMonitorStatus AStatus, const std::string& AReason, TDateTime AStart, int64_t ADurationMs)
{
    if (AStatus != msOK && AStatus != msError)
        return;
    const bool OK = AStatus == msOK;
    FLastMs[AMonitor] = ADurationMs;
    const THistoryPoint Point { std::llround(LocalDateTimeToUnix(AStart) * 1000.0), OK, ADurationMs,
        OK ? std::string() : AReason };
    FNotifications.Verdict(AMonitor, AName, OK, AReason, Point.StartMs);
    if (FRecorder && FOffReason.isEmpty()) {
        FRecorder->Record({ FListKey, AName, Point.StartMs, OK, ADurationMs, Point.Reason });
        // Kept until surely written, for a chart loaded from the file in the meantime.
        const int64_t Now = FOptions.WallMs();
        FRecent.push_back({ AMonitor, Now, Point });
        while (FRecent.front().RecordedMs < Now - RecentMs)
            FRecent.pop_front();
    }
    if (AMonitor == FSelected)
        Show(Point);
}

void TMonitorHistory::Show(const THistoryPoint& APoint)
{
    if (!FChart || !FOffReason.isEmpty())
        return;
    FChart->AddPoint(APoint, FOptions.WallMs());
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
    const int64_t Now = FOptions.WallMs();
    FWeek = FMonth = THistorySummary {};
    // A file not made yet (the first checks are still on their way) is an empty history.
    if (!FChart->Load(*FReader, FListKey, FSelectedName, Now, &FWeek, &FMonth)) {
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
    if (FRecorder)
        FRecorder->Rename(FListKey, AOldName, ANewName);
    if (AMonitor == FSelected)
        FSelectedName = ANewName;
}

void TMonitorHistory::Deleted(const TServiceMonitor* AMonitor)
{
    FNotifications.Forget(AMonitor);
    FLastMs.erase(AMonitor);
    std::erase_if(FRecent, [AMonitor](const TRecent& ARecent) { return ARecent.Monitor == AMonitor; });
    if (AMonitor == FSelected)
        Select(nullptr, {});
}

void TMonitorHistory::Undeleted(const TServiceMonitor* AMonitor, const std::string& AName)
{
    if (AMonitor->Status() == msOK || AMonitor->Status() == msError)
        FNotifications.Restore(AMonitor, AName, AMonitor->Status() == msOK, -1);
}

void TMonitorHistory::Restore(const std::vector<std::pair<TServiceMonitor*, std::string>>& AMonitors)
{
    if (!FReader || !FOffReason.isEmpty() || AMonitors.empty())
        return;
    std::unordered_map<std::string, THistoryLatest> Latest;
    for (THistoryLatest& One : FReader->Latest(FListKey))
        Latest.emplace(One.Monitor, std::move(One));
    for (const auto& [Monitor, Name] : AMonitors) {
        const auto Found = Latest.find(Name);
        if (Found == Latest.end())
            continue;
        const THistoryLatest& One = Found->second;
        if (Monitor->LastActivity() == 0 && One.LastSuccessEndMs >= 0)
            Monitor->SetLastActivity(UnixToLocalDateTime(double(One.LastSuccessEndMs) / 1000.0));
        FNotifications.Restore(Monitor, Name, One.OK, One.DownSinceMs);
    }
}

int64_t TMonitorHistory::LastResponseMs(const TServiceMonitor* AMonitor) const
{
    const auto Found = FLastMs.find(AMonitor);
    return Found == FLastMs.end() ? -1 : Found->second;
}

bool TMonitorHistory::Flush(int ATimeoutMs)
{
    return FRecorder && FRecorder->Flush(std::chrono::milliseconds(ATimeoutMs));
}
