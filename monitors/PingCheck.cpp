#include "monitors/Monitors.h"

#include "net/icmp/NetIcmpClient.h"

#include <exception>

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
    try {
        const int32_t Attempts = FRetry;
        for (int32_t Attempt = 1; Attempt <= Attempts; ++Attempt) {
            Client.Echo("PingMonitor", 0);
            if (Client.ReplyStatus().Outcome == eoEchoReply) {
                SetStatus(msOK);
                break;
            }
            if (Attempt == Attempts) {
                SetLastError(OutcomeReason(Client.ReplyStatus().Outcome));
                SetStatus(msError);
            }
        }
    } catch (const std::exception& E) {
        SetLastError(E.what());
        SetStatus(msError);
    } catch (...) {
        SetLastError("Unknown error.");
        SetStatus(msError);
    }
}
