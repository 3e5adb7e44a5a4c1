// One socket with its local and remote endpoints, IPv4 or IPv6: open, bind (fixed port or a range of
// client ports), connect, send, receive, and wait for data with a time-out. Every platform
// call goes through GSocketStack, so a handle is used while a networking component exists.
#pragma once

#include "net/stack/NetStack.h"

#include <cstdint>
#include <string>

inline constexpr const char* RSCouldNotBindSocket
    = "Could not bind socket. Address and port are already in use.";
inline constexpr const char* RSInvalidPortRange = "Invalid Port Range (%d - %d)";
inline constexpr const char* RSCanNotBindInPortRange = "Can not bind in port range (%d - %d)";
inline constexpr const char* RSPackageSizeTooBig = "Package Size Too Big.";
inline constexpr const char* RSNotAllBytesSent = "Not all bytes sent.";
inline constexpr const char* RSConnectionClosedGracefully = "Connection Closed Gracefully.";

// How a long wait on the program's main thread lets the application run between slices of
// it. The connection layer's anti-freeze installs the two functions when the first one is
// made; until then no wait is sliced. A hook rather than a call, so that the socket handle
// does not depend on the layer above it.
struct TNetWaitYield {
    // Length in ms of one slice of a wait on the calling thread; 0 when waits there are not
    // sliced.
    int32_t (*SliceLength)() = nullptr;
    // Lets the application run; AIdle tells whether the slice ended without data.
    void (*Yield)(bool AIdle, bool AOverride) = nullptr;
};
// Installs AYield for every handle of the process; thread-safe.
void SetNetWaitYield(const TNetWaitYield& AYield);

// A group of handles (servers keep several bindings); handles made without one are the rule.
class TNetSocketHandles {
public:
    // Local port a new handle of the group starts with.
    int32_t DefaultPort = 0;
};

class TNetSocketHandle {
public:
    explicit TNetSocketHandle(TNetSocketHandles* ACollection = nullptr);
    // Closes an open socket.
    virtual ~TNetSocketHandle();
    TNetSocketHandle(const TNetSocketHandle&) = delete;
    TNetSocketHandle& operator=(const TNetSocketHandle&) = delete;

    // Closes the old socket, if any, and opens a socket of the family (NetFamilyIPv4 or
    // NetFamilyIPv6), type (1 stream, 2 datagram, 3 raw) and protocol; raises
    // ENetInvalidSocket. Address fields stay; Family becomes AFamily.
    void AllocateHandle(int32_t ASocketType, int32_t AProtocol, int32_t AFamily = NetFamilyIPv4);
    // Shutdown for sending, then close; nothing when no socket is open. Handle keeps its
    // number. AResetLocal has no effect.
    virtual void ShutAndClose(bool AResetLocal = true);
    // Connects to PeerIP:PeerPort and reads both endpoints back on success. Returns the
    // platform result unchecked (pass it to CheckSocketResult). AFamily 0 means Family.
    virtual int32_t Connect(int32_t AFamily = 0);
    // One datagram and its source; -1 unchecked on failure.
    virtual int32_t ReceiveFrom(
        void* ABuffer, int32_t ALength, int32_t AFlags, std::string& AIP, int32_t& APort);
    // Binds to IP:Port, or, when Port is 0 and both ends of the client port range are set,
    // to the highest free port of the range. Raises ENetCouldNotBindSocket,
    // ENetInvalidPortRange, ENetCanNotBindPortInRange or ENetSocketError.
    void Bind();
    void SetPeerAddress(const std::string& AIP, int32_t APort);
    // True when data (or the end of the stream, or an error) can be read within ATimeout ms
    // (-2 no limit, 0 poll); false on time-out and on a failed wait. Raises
    // ENetConnClosedGracefully when no socket is open.
    bool WaitReadable(int32_t ATimeout);
    // Byte count, 0 when the peer has closed, -1 unchecked on failure.
    int32_t Receive(void* ABuffer, int32_t ALength, int32_t AFlags = 0);
    int32_t Send(const void* ABuffer, int32_t ALength, int32_t AFlags = 0);
    // Sends one datagram; raises ENetPackageSizeTooBig, ENetSocketError or ENetNotAllBytesSent.
    void SendTo(const std::string& AIP, int32_t APort, const void* ABuffer, int32_t ALength);
    // setsockopt; raises ENetSocketError.
    void SetOption(int32_t ALevel, int32_t AOption, const void* AValue, int32_t ALength);
    // Accepts a connection of the listening socket into this handle. False, and nothing
    // taken, when the accept was interrupted or the listener is not a socket.
    bool AcceptFrom(int AListeningSocket);
    // Forgets the socket (without closing it) and the peer; the local address too when
    // AResetLocal is true.
    void ResetState(bool AResetLocal = true);
    // Read the endpoints back from the system; raise ENetSocketError.
    void RefreshLocalAddress();
    void RefreshPeerAddress();
    // Copies the four address fields and the family (not the socket, not the port range).
    void Assign(const TNetSocketHandle& ASource);

    int Handle = -1;
    bool HasSocket = false;
    // Family of the socket, and so of IP and PeerIP.
    int32_t Family = NetFamilyIPv4;
    std::string IP;
    std::string PeerIP;
    int32_t Port = 0;
    int32_t PeerPort = 0;
    int32_t ClientPortMin = 0;
    int32_t ClientPortMax = 0;

protected:
    // One bind to IP:Port: false when the address is in use, raises for other errors.
    bool TryBindOnce();
    // Tries the ports of the range from the highest down; false when all are in use.
    bool BindInPortRange();

private:
    enum class TWaitResult { wrReadable, wrTimedOut, wrFailed };
    TWaitResult WaitOnce(int32_t ATimeout);

    TNetSocketHandles* FCollection = nullptr;
};
