#include "support/MonitorCheck.h"

#include "net/stack/NetTime.h"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>

namespace testsupport {

namespace {

// Takes a check over as the engine does, and lets the test's thread wait for its finish.
class TWaitingHandOff final : public TProbeHandOff {
public:
    TFinish HandOff(std::function<void()>) override
    {
        Taken = true;
        return [State = FState](TProbeResult AResult) {
            std::lock_guard<std::mutex> Guard(State->Lock);
            State->Result = std::move(AResult);
            State->Done = true;
            State->Finished.notify_all();
        };
    }

    TProbeResult Wait() const
    {
        std::unique_lock<std::mutex> Guard(FState->Lock);
        if (!FState->Finished.wait_for(Guard, std::chrono::seconds(15), [this] { return FState->Done; }))
            return { msError, "The check handed off was never finished." };
        return FState->Result;
    }

    bool Taken = false;

private:
    struct TState {
        std::mutex Lock;
        std::condition_variable Finished;
        bool Done = false;
        TProbeResult Result;
    };
    // Shared with the finish, which may come after a wait that gave up.
    std::shared_ptr<TState> FState = std::make_shared<TState>();
};

TProbeResult Probe(const TServiceMonitor& AMonitor, bool AOfferHandOff)
{
    if (!AOfferHandOff)
        return AMonitor.Probe();
    TWaitingHandOff HandOff;
    TProbeResult Result;
    {
        const TProbeHandOffScope Offered(&HandOff);
        Result = AMonitor.Probe();
    }
    return HandOff.Taken ? HandOff.Wait() : Result;
}

} // namespace

std::vector<TMonitorStatus> CheckNow(TServiceMonitor& AMonitor, bool AOfferHandOff)
{
    std::vector<TMonitorStatus> Shown;
    AMonitor.SetStatus(msChecking);
    Shown.push_back(AMonitor.Status());
    const TProbeResult Result = Probe(AMonitor, AOfferHandOff);
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
