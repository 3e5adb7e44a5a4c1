#include "engine/CheckRecording.h"

#include <cmath>

TCheckRecording::TCheckRecording(TOptions AOptions, TNotificationFeed* ANotifications)
    : FOptions(std::move(AOptions))
    , FNotifications(ANotifications)
{
    if (!FOptions.WallMs)
        FOptions.WallMs = HistoryNowMs;
    if (!FOptions.Settings.Enabled)
        return;
    FRecorder = std::make_unique<THistoryRecorder>(FOptions.Settings.FileName, FOptions.WallMs);
    FRecorder->SetRetentionDays(FOptions.Settings.RetentionDays);
    FRecorder->SetBatchDelay(FOptions.BatchDelay);
    FRecorder->OnDisabled = FOptions.OnDisabled;
    FRecorder->OnNotice = FOptions.OnNotice;
    FRecorder->Start();
    FReader = std::make_unique<THistoryReader>(FOptions.Settings.FileName);
}

TCheckRecording::~TCheckRecording()
{
    if (FRecorder)
        FRecorder->Stop();
}

void TCheckRecording::SetList(const std::string& AFileName)
{
    FListKey = HistoryListKey(AFileName);
}

void TCheckRecording::Finished(
    const TServiceMonitor& AMonitor, const std::string& AName, const TCheckVerdict& AVerdict)
{
    Record(&AMonitor, AName, AMonitor.Status(), AVerdict.Reason, AVerdict.Start, AVerdict.DurationMs);
}

std::optional<THistoryPoint> TCheckRecording::Record(const TServiceMonitor* AMonitor,
    const std::string& AName, TMonitorStatus AStatus, const std::string& AReason, TDateTime AStart,
    int64_t ADurationMs)
{
    if (AStatus != msOK && AStatus != msError)
        return std::nullopt;
    const bool OK = AStatus == msOK;
    FLastMs[AMonitor] = ADurationMs;
    THistoryPoint Point { std::llround(LocalDateTimeToUnix(AStart) * 1000.0), OK, ADurationMs,
        OK ? std::string() : AReason };
    if (FNotifications)
        FNotifications->Verdict(AMonitor, AName, OK, AReason, Point.StartMs);
    if (Recording())
        FRecorder->Record({ FListKey, AName, Point.StartMs, OK, ADurationMs, Point.Reason });
    return Point;
}

void TCheckRecording::Renamed(const std::string& AOldName, const std::string& ANewName)
{
    if (FRecorder)
        FRecorder->Rename(FListKey, AOldName, ANewName);
}

void TCheckRecording::Deleted(const TServiceMonitor* AMonitor)
{
    if (FNotifications)
        FNotifications->Forget(AMonitor);
    FLastMs.erase(AMonitor);
}

void TCheckRecording::Undeleted(const TServiceMonitor* AMonitor, const std::string& AName)
{
    if (FNotifications && (AMonitor->Status() == msOK || AMonitor->Status() == msError))
        FNotifications->Restore(AMonitor, AName, AMonitor->Status() == msOK, -1);
}

std::vector<std::optional<THistoryLatest>> TCheckRecording::Restore(
    const std::vector<std::pair<TServiceMonitor*, std::string>>& AMonitors)
{
    std::vector<std::optional<THistoryLatest>> Result(AMonitors.size());
    if (!FReader || !Recording() || AMonitors.empty())
        return Result;
    std::unordered_map<std::string, THistoryLatest> Latest;
    for (THistoryLatest& One : FReader->Latest(FListKey))
        Latest.emplace(One.Monitor, std::move(One));
    for (size_t I = 0; I < AMonitors.size(); ++I) {
        const auto& [Monitor, Name] = AMonitors[I];
        const auto Found = Latest.find(Name);
        if (Found == Latest.end())
            continue;
        const THistoryLatest& One = Found->second;
        if (Monitor->LastActivity() == 0 && One.LastSuccessEndMs >= 0)
            Monitor->SetLastActivity(UnixToLocalDateTime(double(One.LastSuccessEndMs) / 1000.0));
        if (FNotifications)
            FNotifications->Restore(Monitor, Name, One.OK, One.DownSinceMs);
        Result[I] = One;
    }
    return Result;
}

void TCheckRecording::Acknowledge(const TServiceMonitor* AMonitor)
{
    if (FNotifications)
        FNotifications->Acknowledge(AMonitor);
}

int64_t TCheckRecording::LastResponseMs(const TServiceMonitor* AMonitor) const
{
    const auto Found = FLastMs.find(AMonitor);
    return Found == FLastMs.end() ? -1 : Found->second;
}

bool TCheckRecording::Flush(std::chrono::milliseconds ATimeout)
{
    return FRecorder && FRecorder->Flush(ATimeout);
}
