#include "monitors/Monitors.h"

#include "net/tcp/NetTCPClient.h"
#include "net/tls/NetSSLOpenSSL.h"

#include <algorithm>
#include <exception>
#include <memory>
#include <utility>

TProbeResult TTcpMonitor::Probe() const
{
    // The transport first and the client after it, so the client is freed first and hangs up
    // through a transport that still exists. Made before the try: a probe that cannot even be
    // made is the caller's to hear of.
    TNetSSLIOHandlerSocket Handler;
    TNetTCPClient Client;
    Client.SetIOHandler(&Handler);
    // A plain connect needs neither the TLS library nor a context.
    Handler.SetBypassTLS(!FTLS);
    if (FTLS && FVerifyTLS) {
        // The chain against the system's trusted certificates, the name against Host.
        Handler.SSLOptions()->VerifyMode = { TNetSSLVerifyMode::sslvrfPeer };
        Handler.SSLOptions()->VerifyDepth = SSLDefaultVerifyDepth;
    }
    // "[2001:db8::1]" is how an address with its port is written elsewhere; the lookup
    // wants the address alone.
    std::string Host = FHost;
    if (Host.size() > 2 && Host.front() == '[' && Host.back() == ']')
        Host = Host.substr(1, Host.size() - 2);
    Client.SetHost(Host);
    Client.SetPort(FPort);
    TProbeResult Result { msOK, {} };
    try {
        // One deadline for the lookup, every address tried and the handshake. A day at most:
        // the milliseconds of a longer wait would not fit the transport's counters.
        Client.Establish(std::min(FTimeout, 86400) * 1000);
    } catch (const std::exception& E) {
        Result = { msError, E.what() };
    } catch (...) {
        Result = { msError, "Unknown error." };
    }
    try {
        Client.Hangup();
    } catch (const std::exception&) {
        // The verdict is made; a peer that went first changes nothing.
    }
    const TNetPeerCertificateExpiry& Peer = Handler.PeerExpiry();
    return WithCertificate(std::move(Result), { Peer.Leaf, Peer.Earliest }, FCertExpiryDays);
}
