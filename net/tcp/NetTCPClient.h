// A TCP connection with its target: host, port and the local address to connect from.
#pragma once

#include "net/tcp/NetTCPConnection.h"

#include <cstdint>
#include <string>

class TNetTCPClient : public TNetTCPConnection {
public:
    explicit TNetTCPClient(TComponent* AOwner = nullptr);

    const std::string& Host() const { return FHost; }
    virtual void SetHost(const std::string& AValue);
    int32_t Port() const { return FPort; }
    virtual void SetPort(int32_t AValue);

    // Raises OnConnected when assigned.
    virtual void FireConnected();
    // Connects to Host:Port, through a socket transport of its own when none is assigned.
    // ATimeout goes to ConnectTo (-1 and 0: no explicit time-out, -2: no limit, positive:
    // milliseconds). Raises ENetAlreadyConnected while the transport is open; a failure
    // leaves the link closed.
    virtual void Establish(int32_t ATimeout = -1);
    // Connects, reads everything until the peer closes and hangs up.
    virtual std::string FetchAll();

    std::string BoundIP;
    int32_t BoundPort = 0;
    int32_t BoundPortHigh = 0;
    int32_t BoundPortLow = 0;
    TNetNotifyEvent OnConnected;

protected:
    std::string FHost;
    int32_t FPort = 0;
};
