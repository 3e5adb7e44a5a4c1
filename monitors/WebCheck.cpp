#include "monitors/Monitors.h"

#include "net/http/NetGlobal.h"
#include "net/http/NetHTTP.h"
#include "net/http/NetURI.h"
#include "net/stack/NetCancel.h"
#include "net/stack/NetClasses.h"
#include "net/stack/NetSocketHandle.h"
#include "net/tls/NetSSLOpenSSL.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <memory>
#include <string>
#include <strings.h>
#include <utility>
#include <vector>

namespace {

// The probe's two objects, made without an owner and freed on every way out: the client
// first (it hangs up through the handler), then the handler.
struct TWebProbe {
    std::unique_ptr<TNetHTTP> Client = std::make_unique<TNetHTTP>();
    std::unique_ptr<TNetSSLIOHandlerSocket> Handler = std::make_unique<TNetSSLIOHandlerSocket>();
    ~TWebProbe()
    {
        Client.reset();
        Handler.reset();
    }
};

// A body sink that looks for a text in the first ALimit bytes as they pass, and drops them, so
// the body is never held in memory. It carries from byte to byte (and from one write to the
// next) how much of the needle the bytes so far end with, and on a mismatch falls back to the
// longest part of that which is still a start of the needle (Knuth, Morris and Pratt): each
// byte moves the match on once and back at most as far as it went, so the time is linear in
// the body whatever the needle. A search that restarts at every offset would take the body's
// length times the needle's, and a long needle would hold the check past its time-out.
class TExpectStream : public TNullStream {
public:
    TExpectStream(const std::string& ANeedle, int64_t ALimit)
        : FNeedle(ANeedle)
        , FLimit(ALimit)
    {
    }
    int64_t Write(const void* ABuffer, int64_t ACount) override
    {
        const int64_t Written = TNullStream::Write(ABuffer, ACount);
        if (FNeedle.empty() || FFound || FSearched >= FLimit || ACount <= 0)
            return Written;
        if (FBack.empty())
            Prepare();
        const char* Bytes = static_cast<const char*>(ABuffer);
        const size_t Take = static_cast<size_t>(std::min(ACount, FLimit - FSearched));
        size_t At = 0;
        while (At < Take) {
            // Nothing matched yet: the next place a match can begin is the needle's first byte.
            if (FMatched == 0) {
                const void* Next = std::memchr(Bytes + At, FNeedle[0], Take - At);
                if (Next == nullptr)
                    break;
                At = static_cast<size_t>(static_cast<const char*>(Next) - Bytes);
            }
            const char Byte = Bytes[At++];
            while (FMatched > 0 && FNeedle[FMatched] != Byte)
                FMatched = FBack[FMatched - 1];
            if (FNeedle[FMatched] == Byte && ++FMatched == FNeedle.size()) {
                FFound = true;
                FBack = {};
                break;
            }
        }
        FSearched += static_cast<int64_t>(FFound ? At : Take);
        return Written;
    }
    bool Found() const { return FFound; }
    // How many bytes of the body were searched: all of it up to the limit.
    int64_t Searched() const { return FSearched; }

private:
    // FBack[I]: the longest proper prefix of the needle that also ends its first I + 1 bytes.
    void Prepare()
    {
        FBack.assign(FNeedle.size(), 0);
        for (size_t I = 1, Length = 0; I < FNeedle.size(); ++I) {
            while (Length > 0 && FNeedle[I] != FNeedle[Length])
                Length = FBack[Length - 1];
            if (FNeedle[I] == FNeedle[Length])
                ++Length;
            FBack[I] = Length;
        }
    }

    const std::string& FNeedle;
    const int64_t FLimit;
    int64_t FSearched = 0;
    bool FFound = false;
    size_t FMatched = 0;
    std::vector<size_t> FBack;
};

// What to add to a missing Expect when the body came compressed: the check asks for no
// encoding and undoes none, so the text was looked for in compressed bytes.
std::string CompressedBody(const std::string& AContentEncoding)
{
    if (AContentEncoding.empty() || ::strcasecmp(AContentEncoding.c_str(), "identity") == 0)
        return {};
    // The server's words, so no more of them than a coding name needs.
    return " The server sent the body compressed (Content-Encoding: " + AContentEncoding.substr(0, 64)
        + ") without being asked, and the check looks for the text in the bytes as sent.";
}

} // namespace

TProbeResult TWebMonitor::Probe() const
{
    if (FRetry <= 0)
        return { msError,
            "Retry is " + std::to_string(FRetry) + ": no request is sent; set Retry to 1 or more." };
    // A dropped connection or a proxy's 502 during a deploy is one failed attempt, not yet a
    // failed service: the check fails only when every attempt fails, and says how many did.
    for (int32_t Attempt = 1;; ++Attempt) {
        TProbeResult Result = this->Attempt();
        if (Result.Status == msOK || FRetry == 1)
            return Result;
        if (Attempt == FRetry) {
            Result.Reason
                += " (" + std::to_string(FRetry) + " of " + std::to_string(FRetry) + " attempts failed)";
            return Result;
        }
        try {
            CancellableSleep(RetryPauseMs);
        } catch (const ENetCancelled& E) {
            return { msError, E.what() };
        }
    }
}

TProbeResult TWebMonitor::Attempt() const
{
    // Made before the try: a probe that cannot even be made is the caller's to hear of.
    TWebProbe Probe;
    // A day at most: the milliseconds of any longer wait would not fit the client's counters.
    Probe.Client->ReadTimeout = std::min(FTimeout, 86400) * 1000;
    // Each read waits Timeout at most, but a server that sends a byte every few seconds, or a
    // body without end, would keep the check (and a worker of the engine) for ever. Three
    // read time-outs cover a slow connect, a slow answer and its body.
    Probe.Client->ExchangeTimeout = 3 * Probe.Client->ReadTimeout;
    Probe.Client->SetIOHandler(Probe.Handler.get());
    // A user name in the URL goes with the first request as Basic credentials, as curl sends
    // them, rather than after a 401: one request per check, and a server that asks for them
    // gets them. The client sends them to the URL's own origin only (scheme, host and port),
    // never to another one a request might go on to.
    const TNetURI Target(URL());
    if (!Target.Username.empty())
        Probe.Client->Request().SetBasicAuthentication(true);
    if (FVerifyTLS) {
        // The chain against the system's trusted certificates, the name against the URL's host.
        Probe.Handler->SSLOptions()->VerifyMode = { TNetSSLVerifyMode::sslvrfPeer };
        Probe.Handler->SSLOptions()->VerifyDepth = SSLDefaultVerifyDepth;
    }
    TProbeResult Result = Fetch(Probe.Client.get(), Target);
    // Whatever the answer, a handshake that happened tells when the server's certificates end.
    const TNetPeerCertificateExpiry& Peer = Probe.Handler->PeerExpiry();
    return WithCertificate(std::move(Result), { Peer.Leaf, Peer.Earliest }, FCertExpiryDays);
}

TProbeResult TWebMonitor::Fetch(TNetHTTP* AClient, const TNetURI& ATarget) const
{
    try {
        // The body is read as it arrives and dropped: only whether the answer was a success
        // counts, and a large download must not be held in memory.
        TExpectStream Body(FExpect, ExpectLimit);
        // The client takes a URL without a scheme as a path on the host it spoke to last, and
        // a monitor has none: "127.0.0.1:8080/x" or "javascript:..." would be looked up as a
        // host named "". It is no URL a check can follow, before any lookup.
        if (ATarget.Protocol.empty())
            throw ENetUnknownProtocol();
        AClient->GetToStream(URL(), Body);
        // A page that the server broke off is no success, whatever its status said.
        if (AClient->Response().BodyCutShort)
            throw ENetConnClosedGracefully(RSConnectionClosedGracefully);
        // A friendly error page with status 200 is still an error page.
        if (!FExpect.empty() && !Body.Found())
            return { msError,
                "Expected text \"" + FExpect + "\" not found in "
                    + (Body.Searched() < ExpectLimit ? "the " : "the first ")
                    + std::to_string(Body.Searched()) + " bytes of the body."
                    + CompressedBody(AClient->Response().ContentEncoding()) };
        return { msOK, {} };
    } catch (const ENetUnknownProtocol&) {
        // This exception carries no text of its own; the operator still needs a reason.
        return { msError, "Unknown protocol: the URL must start with http:// or https://." };
    } catch (...) {
        return ProbeFailure(std::current_exception());
    }
}
