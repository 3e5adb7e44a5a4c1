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

void TPingMonitor::Check()
{
    // Created outside the handler: a client that cannot even be made is the caller's to hear
    // of. Freed on every way out.
    TNetIcmpClient Client;
    SetStatus(msChecking);
    Client.Host = FIP;
    Client.ReceiveTimeout = 1000;
    // A name may stand for several addresses and only the first is pinged: the operator
    // needs to know which one failed.
    const auto Fail = [&](std::string AReason) {
        if (!Client.TargetIP().empty() && Client.TargetIP() != FIP)
            AReason += "\r\nAddress pinged: " + Client.TargetIP();
        SetLastError(std::move(AReason));
        SetStatus(msError);
    };
    try {
        const int32_t Attempts = FRetry;
        for (int32_t Attempt = 1; Attempt <= Attempts; ++Attempt) {
            Client.Echo("PingMonitor", 0);
            if (Client.ReplyStatus().Outcome == eoEchoReply) {
                SetStatus(msOK);
                break;
            }
            if (Attempt == Attempts)
                Fail(OutcomeReason(Client.ReplyStatus().Outcome));
        }
    } catch (const std::exception& E) {
        Fail(E.what());
    } catch (...) {
        Fail("Unknown error.");
    }
}
