// A networking component that owns one raw socket (IPv4, or IPv6 where a subclass opens
// one): it sends a buffer to a host and receives one datagram with a time-out. The socket is
// opened on first use and re-opened by the next use after it has been closed.
#pragma once

#include "net/stack/NetClasses.h"
#include "net/stack/NetSocketHandle.h"
#include "net/tcp/NetComponent.h"

#include <cstdint>
#include <memory>
#include <string>

class TNetRawBase : public TNetComponent {
public:
    explicit TNetRawBase(TComponent* AOwner = nullptr);
    // Closes the socket first, then drops the buffer stream, then the component base.
    ~TNetRawBase() override;

    // The socket, opened when it is not (raises ENetInvalidSocket when it cannot be), with TTL
    // on it, as the hop limit on an IPv6 socket (raises ENetSocketError when that is
    // refused): put there when the socket opens and whenever TTL has changed since.
    TNetSocketHandle& RawSocket();

    // Size of the buffer (8192 at creation). Kept for the component's interface; no exchange
    // of this program goes through a buffer of that size, so none is allocated: a ping check
    // would clear 8 KB it never reads.
    int32_t BufferSize() const { return FBufferSize; }
    void SetBufferSize(int32_t AValue) { FBufferSize = AValue < 0 ? 0 : AValue; }

    // One datagram into ABuffer within ATimeout ms (negative: ReceiveTimeout). Byte count,
    // 0 when nothing came (or ASize <= 0, or no buffer), -1 unchecked on a failed receive.
    int32_t ReceiveDatagram(void* ABuffer, int32_t ASize, int32_t ATimeout);
    // Resolves AHost and sends the buffer as one datagram; raises what resolving and
    // TNetSocketHandle::SendTo raise.
    void SendDatagram(const std::string& AHost, int32_t APort, const void* ABuffer, int32_t ASize);

    // Destination host name or dotted address.
    std::string Host;
    // Destination port given to the send (raw ICMP ignores it).
    int32_t Port = 0;
    // IP protocol number of the raw socket (255: raw IP).
    int32_t Protocol = 255;
    // IP time-to-live of what the socket sends.
    int32_t TTL = 128;

protected:
    // Opens ASocket as a raw socket of Protocol; a subclass may choose another kind.
    virtual void AllocateSocket(TNetSocketHandle& ASocket);

    // Time-out of a receive asked for with a negative one, in ms.
    int32_t ReceiveTimeout = 0;
    std::unique_ptr<TNetSocketHandle> FSocket;

private:
    int32_t FBufferSize = 8192;
    // The TTL the open socket carries; -1 before it has one.
    int32_t FSocketTTL = -1;
};
