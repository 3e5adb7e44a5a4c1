// The transport under a TCP connection: the connection never touches a socket itself, it
// opens, reads, writes and closes through this interface, so a plain socket, a TLS session or
// an in-memory fake can carry the same connection.
#pragma once

#include "net/tcp/NetComponent.h"

#include <cstdint>
#include <string>

// What TryReadSome gives when nothing can be read without waiting.
inline constexpr int32_t NetNothingToRead = -2;
// What TryWriteSome gives when nothing can be sent without waiting.
inline constexpr int32_t NetNoRoomToWrite = -2;

class TNetIOHandler : public TNetComponent {
public:
    explicit TNetIOHandler(TComponent* AOwner = nullptr);
    // Closes the link. Only this class's CloseLink runs here (a base destructor cannot reach
    // an override), so every descendant closes its own link in its own destructor.
    ~TNetIOHandler() override;

    // Server-side hook after an accept.
    virtual void AcceptDone();
    virtual void CloseLink();
    // Opens the link to AHost:APort from ABoundIP:ABoundPort (or the highest free port of
    // ABoundPortMin..ABoundPortMax). ATimeout in ms: -1 and 0 no explicit limit, -2 no limit,
    // positive the limit.
    virtual void ConnectTo(const std::string& AHost, int32_t APort, const std::string& ABoundIP,
        int32_t ABoundPort, int32_t ABoundPortMin, int32_t ABoundPortMax, int32_t ATimeout);
    virtual bool LinkOpen() = 0;
    // Readies the transport for a new connection; called before ConnectTo.
    virtual void PrepareLink();
    // True when data, the end of the stream or an error can be read within ATimeout ms
    // (-2 no limit, 0 poll).
    virtual bool CanRead(int32_t ATimeout) = 0;
    // Raw results: a byte count, 0 when the peer has closed, negative on error with the
    // stack's last socket error telling which (the caller judges it with CheckSocketResult).
    virtual int32_t ReadSome(void* ABuffer, int32_t ALength) = 0;
    virtual int32_t WriteSome(const void* ABuffer, int32_t ALength) = 0;
    // ReadSome without waiting: NetNothingToRead when it would wait, otherwise its results. A
    // reader that finds data this way needs no wait before the read. This base has no such
    // look and always gives NetNothingToRead, so its readers wait with CanRead first.
    virtual int32_t TryReadSome(void* ABuffer, int32_t ALength);
    // WriteSome without waiting: NetNoRoomToWrite when it would wait, otherwise its results.
    // This base has no such look and always gives NetNoRoomToWrite, so its writers wait with
    // CanWrite first.
    virtual int32_t TryWriteSome(const void* ABuffer, int32_t ALength);
    // True when a write can take bytes within ATimeout ms (negative: no limit), and the next
    // WriteSome then waits no longer than that for room; it may then send only a part, or
    // fail with "would block" when the time ran out. A transport without waits can always write.
    virtual bool CanWrite(int32_t ATimeout);
};
