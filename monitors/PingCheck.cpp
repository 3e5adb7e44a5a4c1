#include "monitors/Monitors.h"

#include "net/icmp/NetIcmpClient.h"

#include <exception>
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
    // of. Freed on every way out.
    TNetIcmpClient Client;
    Client.Host = IP();
    Client.ReceiveTimeout = 1000;
    // A name may stand for several addresses and only the first is pinged: the operator
    // needs to know which one failed.
    const auto Fail = [&](std::string AReason) -> TProbeResult {
        if (!Client.TargetIP().empty() && Client.TargetIP() != IP())
            AReason += "\r\nAddress pinged: " + Client.TargetIP();
        return { msError, std::move(AReason) };
    };
    try {
        for (int32_t Attempt = 1; Attempt <= Attempts; ++Attempt) {
            Client.Echo("PingMonitor", 0);
            if (Client.ReplyStatus().Outcome == eoEchoReply)
                return { msOK, {} };
            if (Attempt == Attempts)
                return Fail(OutcomeReason(Client.ReplyStatus().Outcome));
        }
    } catch (const std::exception& E) {
        if (std::string Short = ResourceShortage(E); !Short.empty())
            return TProbeResult::Short(std::move(Short));
        return Fail(E.what());
    } catch (...) {
        return Fail("Unknown error.");
    }
    return { msError, {} };
}
