#include "engine/Monitoring.h"

#include <algorithm>
#include <utility>

TMonitoring::TMonitoring(TOptions AOptions)
    : FClock(AOptions.Clock ? std::move(AOptions.Clock) : std::make_shared<TSystemCheckClock>())
    , FEngine(
          FVerdicts, *FClock, AOptions.Workers, AOptions.Probe ? std::move(AOptions.Probe) : RunMonitorProbe)
    , FSchedule(FEngine, *FClock)
{
    FSchedule.OnShortage = [this](const std::string& AText) {
        for (TMonitoringListener* Listener : FListeners)
            Listener->Shortage(AText);
    };
    FSchedule.OnStarted = [this](const TServiceMonitor& AMonitor) {
        for (TMonitoringListener* Listener : FListeners)
            Listener->Changed(AMonitor, true);
    };
}

TMonitoring::~TMonitoring()
{
    Shutdown();
}

void TMonitoring::Shutdown()
{
    FEngine.Shutdown();
    FPending.clear();
    FNextPending = 0;
}

void TMonitoring::AddListener(TMonitoringListener& AListener)
{
    FListeners.push_back(&AListener);
}

void TMonitoring::RemoveListener(TMonitoringListener& AListener)
{
    std::erase(FListeners, &AListener);
}

size_t TMonitoring::IndexOf(const TServiceMonitor& AMonitor) const
{
    // Verdicts come for listed monitors, so a miss or a stale position means the owner changed
    // the list since the index was built: one pass over it puts that right.
    const auto Valid
        = [&](size_t AIndex) { return AIndex < FList.size() && FList[AIndex].Monitor.get() == &AMonitor; };
    if (const auto Found = FIndex.find(&AMonitor); Found != FIndex.end() && Valid(Found->second))
        return Found->second;
    FIndex.clear();
    FIndex.reserve(FList.size());
    for (size_t I = 0; I < FList.size(); ++I)
        if (FList[I].Monitor)
            FIndex.emplace(FList[I].Monitor.get(), I);
    const auto Found = FIndex.find(&AMonitor);
    return Found == FIndex.end() ? std::string::npos : Found->second;
}

std::string TMonitoring::NameOf(const TServiceMonitor& AMonitor) const
{
    const size_t Index = IndexOf(AMonitor);
    return Index == std::string::npos ? std::string() : FList[Index].Name;
}

void TMonitoring::Tick()
{
    FSchedule.Tick(FList);
    UpdateAlarm();
}

bool TMonitoring::RunCheck(const std::shared_ptr<TServiceMonitor>& AMonitor)
{
    const bool Started = FSchedule.RunCheck(AMonitor);
    UpdateAlarm();
    return Started;
}

bool TMonitoring::ApplyVerdicts(std::optional<std::chrono::milliseconds> ASlice)
{
    if (FNextPending == FPending.size()) {
        FPending.clear();
        FNextPending = 0;
        std::vector<TCheckVerdict> Arrived = FVerdicts.Drain();
        FPending.swap(Arrived);
    }
    const auto Start = std::chrono::steady_clock::now();
    bool First = true;
    while (FNextPending < FPending.size()
        && (First || !ASlice || std::chrono::steady_clock::now() - Start < *ASlice)) {
        First = false;
        const TCheckVerdict& Verdict = FPending[FNextPending++];
        if (const std::shared_ptr<TServiceMonitor> Monitor = FSchedule.Apply(Verdict)) {
            const std::string Name = NameOf(*Monitor);
            for (TMonitoringListener* Listener : FListeners)
                Listener->Finished(*Monitor, Name, Verdict);
        } else if (const auto Back = Verdict.Shortage ? Verdict.Monitor.lock() : nullptr) {
            for (TMonitoringListener* Listener : FListeners)
                Listener->Changed(*Back, false);
        }
        UpdateAlarm();
    }
    // Workers are free again: monitors that a full engine left due start now.
    FSchedule.Resume(FList);
    UpdateAlarm();
    return FNextPending < FPending.size();
}

bool TMonitoring::WaitForVerdicts(std::optional<std::chrono::milliseconds> ATimeout) const
{
    if (FNextPending < FPending.size())
        return true;
    return FVerdicts.Wait(ATimeout);
}

void TMonitoring::Forget(const TServiceMonitor& AMonitor)
{
    FSchedule.Forget(&AMonitor);
    FIndex.erase(&AMonitor);
    UpdateAlarm();
}

void TMonitoring::Reassess(const TServiceMonitor& AMonitor)
{
    FSchedule.Reassess(AMonitor);
    UpdateAlarm();
}

std::optional<std::string> TMonitoring::Rename(const TServiceMonitor& AMonitor, const std::string& ANewName)
{
    const size_t Index = IndexOf(AMonitor);
    if (Index == std::string::npos || FList[Index].Name == ANewName)
        return std::nullopt;
    return std::exchange(FList[Index].Name, ANewName);
}

bool TMonitoring::ApplySettings(TServiceMonitor& AMonitor, TStringList ALines)
{
    const bool WasChecked = !AMonitor.NotChecked();
    AMonitor.SetSettings(std::move(ALines));
    if (WasChecked && AMonitor.NotChecked() && !IsChecking(AMonitor) && AMonitor.Status() != msNone) {
        AMonitor.SetAcknowledged(0);
        AMonitor.SetStatus(msNone);
        Reassess(AMonitor);
        return true;
    }
    return WasChecked == AMonitor.NotChecked();
}

void TMonitoring::UpdateAlarm()
{
    if (FSchedule.Alarm() == FAlarm)
        return;
    FAlarm = FSchedule.Alarm();
    for (TMonitoringListener* Listener : FListeners)
        Listener->AlarmChanged(FAlarm);
}
