#include "monitors/Monitors.h"

#include "net/icmp/NetIcmpClient.h"
#include "net/stack/NetCancel.h"

#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <utility>

namespace {

// Why an exchange that completed did not count as an answer.
const char* OutcomeReason(TEchoOutcome AOutcome)
{
    switch (AOutcome) {
    case eoUnreachable:
        return "Destination unreachable.";
    case eoTTLExpired:
        return "TTL expired in transit.";
    default:
        return "Request timed out.";
    }
}

// The attempts of one check. They wait on the probe's thread, or, once the check is handed
// off, on the shared socket's parking thread (for the raw socket shared by all checks, or for
// the datagram socket of the check's own): a check that waits a second for a silent host then
// holds no thread of its own.
class TPingRun final : public TNetIcmpShared::TParked {
public:
    TPingRun(const std::string& AIP, int32_t AAttempts)
        : FIP(AIP)
        , FAttempts(AAttempts)
    {
        FClient.emplace();
        FClient->Host = AIP;
        FClient->ReceiveTimeout = 1000;
    }

    ~TPingRun() override
    {
        FClient.reset();
        if (FFinish && FResult)
            FFinish(std::move(*FResult));
    }

    TNetIcmpClient& Client() { return *FClient; }
    TNetIcmpShared::TWaiter& Waiter() override { return FClient->SharedWaiter(); }
    int OwnSocket() const override { return FShared ? -1 : FClient->EchoSocket(); }
    // The answer to the last request can be waited for elsewhere: on the shared socket, or on
    // the socket of its own.
    bool Parkable() const { return FShared || FClient->EchoSocket() >= 0; }

    // Sends the next request.
    void Send()
    {
        ++FAttempt;
        // A send that raised leaves nothing on the shared socket.
        FShared = false;
        FShared = FClient->StartEcho("PingMonitor", 0);
        FDeadline = TNetIcmpShared::NowMs() + FClient->ReceiveTimeout;
    }

    // Ends the exchange that was answered or timed out: the check's outcome, or nothing when
    // another attempt is due.
    std::optional<TProbeResult> Judge()
    {
        FClient->FinishEcho();
        if (FClient->ReplyStatus().Outcome == eoEchoReply)
            return TProbeResult { msOK, {} };
        if (FAttempt >= FAttempts)
            return Fail(OutcomeReason(FClient->ReplyStatus().Outcome));
        return std::nullopt;
    }

    // What an exception in an exchange means for the check.
    TProbeResult Failure(std::exception_ptr AError) const
    {
        TProbeResult Result = ProbeFailure(AError);
        return Result.Shortage ? Result : Fail(std::move(Result.Reason));
    }

    // Hands the check, whose request is out and unanswered, to the parking thread. Without
    // one the check ends short of it and is tried again later.
    // A hand-off that raised leaves ARun the caller's; once taken, ARun is empty.
    static void HandOver(std::unique_ptr<TPingRun>& ARun, TProbeHandOff& AHandOff)
    {
        const TProbeHandOff::TFinish Finish = AHandOff.HandOff(ARun->Canceller());
        ARun->FFinish = Finish;
        std::unique_ptr<TNetIcmpShared::TParked> Parked = std::move(ARun);
        try {
            TNetIcmpShared::Instance().Park(Parked);
        } catch (...) {
            const TProbeResult Result = static_cast<TPingRun&>(*Parked).Failure(std::current_exception());
            Parked.reset();
            Finish(Result);
        }
    }

    int64_t Resume() override
    {
        try {
            if (Cancelled())
                return Finish({ msError, RSCancelled });
            for (;;) {
                if (!Parkable())
                    FClient->WaitEcho();
                else if (!FClient->PollEcho()) {
                    if (TNetIcmpShared::NowMs() < FDeadline)
                        return FDeadline;
                    FClient->ExpireEcho();
                }
                if (std::optional<TProbeResult> Result = Judge())
                    return Finish(std::move(*Result));
                // The next request goes to the address the first one went to: a name looked
                // up here again would hold up every parked check for as long as its resolver
                // takes.
                FClient->Host = FClient->TargetAddress();
                Send();
            }
        } catch (...) {
            return Finish(Failure(std::current_exception()));
        }
    }

private:
    // A name may stand for several addresses and only the first is pinged: the operator
    // needs to know which one failed.
    TProbeResult Fail(std::string AReason) const
    {
        if (!FClient->TargetIP().empty() && FClient->TargetIP() != FIP)
            AReason += "\r\nAddress pinged: " + FClient->TargetIP();
        return { msError, std::move(AReason) };
    }

    // The result is handed on when the run is deleted, after its client: a check is not
    // over while its client still holds a share of the socket stack.
    int64_t Finish(TProbeResult AResult)
    {
        FResult = std::move(AResult);
        return -1;
    }

    std::optional<TNetIcmpClient> FClient;
    const std::string FIP;
    const int32_t FAttempts;
    int32_t FAttempt = 0;
    int64_t FDeadline = 0;
    bool FShared = false;
    TProbeHandOff::TFinish FFinish;
    std::optional<TProbeResult> FResult;
};

} // namespace

TProbeResult TPingMonitor::Probe() const
{
    const int32_t Attempts = Retry();
    // Without an attempt there is no answer to wait for: an error the operator can act on,
    // not a check that never ends.
    if (Attempts <= 0)
        return { msError,
            "Retry is " + std::to_string(Attempts) + ": no echo request is sent; set Retry to 1 or more." };
    // Created outside the handler: a client that cannot even be made is the caller's to hear
    // of.
    auto Run = std::make_unique<TPingRun>(IP(), Attempts);
    TProbeHandOff* const HandOff = CurrentProbeHandOff();
    try {
        for (;;) {
            Run->Send();
            // On the loopback, and often on a near host, the answer is there as the send
            // returns; only a check still waiting after that is handed off.
            if (!HandOff || !Run->Parkable())
                Run->Client().WaitEcho();
            else if (!Run->Client().PollEcho()) {
                TPingRun::HandOver(Run, *HandOff);
                return {};
            }
            if (std::optional<TProbeResult> Result = Run->Judge())
                return *Result;
        }
    } catch (...) {
        return Run->Failure(std::current_exception());
    }
}
