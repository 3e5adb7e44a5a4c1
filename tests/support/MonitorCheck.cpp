#include "support/MonitorCheck.h"

#include "net/stack/NetTime.h"

namespace testsupport {

std::vector<TMonitorStatus> CheckNow(TServiceMonitor& AMonitor)
{
    std::vector<TMonitorStatus> Shown;
    AMonitor.SetStatus(msChecking);
    Shown.push_back(AMonitor.Status());
    const TProbeResult Result = AMonitor.Probe();
    AMonitor.ApplyResult(Result, Now());
    Shown.push_back(AMonitor.Status());
    return Shown;
}

std::string StatusesText(const std::vector<TMonitorStatus>& AStatuses)
{
    std::string Text;
    for (const TMonitorStatus Status : AStatuses)
        Text += (Text.empty() ? "" : ",") + std::to_string(int(Status));
    return Text;
}

} // namespace testsupport
