// The process-wide socket stack. Every socket call of the networking layer goes through the one
// object GSocketStack, so the platform class can be swapped (GSocketStackClass) and the shared
// services (error texts, name resolution, address text, waiting on sockets) live in one place.
//
// Sockets are descriptor numbers (int); -1 is "no socket". Results of the raw operations are
// returned unchecked (-1 on failure); pass them to CheckSocketResult, which turns a failure into
// ENetSocketError with the code of the calling thread's last failed call (LastSocketError).
// Address families, socket types, protocol numbers, option levels and option names are this
// platform's own values (2 = IPv4, 10 = IPv6, 1 = stream, 2 = datagram, 3 = raw,
// IPPROTO_TCP/TCP_NODELAY, IPPROTO_IP/IP_TTL, SOL_SOCKET/...).
//
// Addresses are texts: dotted IPv4 ("192.0.2.1") or IPv6 in its usual form ("fd00::1"), with
// the zone of a link-local address after "%" ("fe80::1%eth0"). A text with a ":" is IPv6.
#pragma once

#include "net/stack/NetException.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

// Socket error codes. Failed calls report the codes of this table whatever the platform's own
// numbering is (the mapping lives in NetStackLinux.cpp), so callers and the texts of
// SocketErrorText agree on every system.
constexpr int32_t NetErrInterrupted = 10004;
constexpr int32_t NetErrBadHandle = 10009;
constexpr int32_t NetErrAccessDenied = 10013;
constexpr int32_t NetErrInvalidArgument = 10022;
constexpr int32_t NetErrWouldBlock = 10035;
constexpr int32_t NetErrInProgress = 10036;
constexpr int32_t NetErrNotSocket = 10038;
constexpr int32_t NetErrMessageTooLong = 10040;
constexpr int32_t NetErrAddressInUse = 10048;
constexpr int32_t NetErrAddressNotAvailable = 10049;
constexpr int32_t NetErrNetworkUnreachable = 10051;
constexpr int32_t NetErrConnectionAborted = 10053;
constexpr int32_t NetErrConnectionReset = 10054;
constexpr int32_t NetErrNotConnected = 10057;
constexpr int32_t NetErrShutdown = 10058;
constexpr int32_t NetErrTimedOut = 10060;
constexpr int32_t NetErrConnectionRefused = 10061;
constexpr int32_t NetErrHostUnreachable = 10065;
constexpr int32_t NetErrHostNotFound = 11001;

// Messages of the stack (resources a translation may replace).
inline constexpr const char* RSSocketError = "Socket Error # %d\r\n%s";
inline constexpr const char* RSHostNotFound = "Host not found.";
inline constexpr const char* RSCannotAllocateSocket = "Cannot allocate socket.";
inline constexpr const char* RSSetSizeExceeded = "Set Size Exceeded.";
inline constexpr const char* RSInvalidServiceName = "%s is not a valid service.";
inline constexpr const char* RSStackInitializationFailed = "Winsock Initialization Error.";
inline constexpr const char* RSLookupTimedOut = "Host name lookup timed out.";

// Address families, as this platform numbers them.
constexpr int32_t NetFamilyIPv4 = 2;
constexpr int32_t NetFamilyIPv6 = 10;

// One address of a resolved name.
struct TNetHostAddress {
    int32_t Family = NetFamilyIPv4;
    std::string IP;
    bool operator==(const TNetHostAddress&) const = default;
};

// The four bytes of an IPv4 address, first byte first (network order).
using TNetAddressBytes = std::array<uint8_t, 4>;

// A set of socket handles for SelectSockets. At most 64 handles take part in one wait.
class TNetSocketList {
public:
    static constexpr int32_t MaxHandles = 64;

    virtual ~TNetSocketList() = default;
    // Raises ENetStackSetSizeExceeded for an index outside 0..Count()-1.
    virtual int Item(int32_t AIndex) const = 0;
    // Raises ENetStackSetSizeExceeded when the list is full.
    virtual void Add(int AHandle) = 0;
    // Removes the first equal handle; nothing when absent.
    virtual void Remove(int AHandle) = 0;
    virtual int32_t Count() const = 0;

    void Clear();
    // A new, empty list of the class GSocketListClass names.
    static std::unique_ptr<TNetSocketList> CreateSocketList();
};

class TNetStack;

// "Class" of the stack and of socket lists: a factory, replaceable before the first
// networking component exists (tests install their own stack class this way).
using TNetStackClass = std::unique_ptr<TNetStack> (*)();
using TNetSocketListClass = std::unique_ptr<TNetSocketList> (*)();

template <class T> std::unique_ptr<TNetStack> NetStackClassOf()
{
    return std::make_unique<T>();
}
template <class T> std::unique_ptr<TNetSocketList> NetSocketListClassOf()
{
    return std::make_unique<T>();
}

class TNetStack {
public:
    TNetStack() = default;
    virtual ~TNetStack();
    TNetStack(const TNetStack&) = delete;
    TNetStack& operator=(const TNetStack&) = delete;

    // Clears the local address list and fills it with the IPv4 addresses of HostName(), in
    // the order the resolver lists them. A failed lookup raises ENetSocketError.
    virtual void RefreshLocalAddresses() = 0;
    // First entry of LocalAddresses(); empty when there is none.
    virtual std::string LocalAddress() = 0;
    // Refreshed on every call; the list belongs to the stack. Not for concurrent use.
    virtual const std::vector<std::string>& LocalAddresses() = 0;
    // New socket or -1; the peer's address and host-order port go to AIP and APort.
    virtual int AcceptConnection(int ASocket, std::string& AIP, int32_t& APort) = 0;
    // An empty AIP binds to any local address. Ports outside 0..65535 fail with 10022.
    virtual int32_t BindSocket(int ASocket, int32_t AFamily, const std::string& AIP, int32_t APort) = 0;
    virtual int32_t CloseSocketHandle(int ASocket) = 0;
    // Blocks until connected or failed. Safe to call from another thread than the owner's.
    virtual int32_t ConnectSocket(int ASocket, int32_t AFamily, const std::string& AIP, int32_t APort) = 0;
    // First address of the name, IPv4 or IPv6, in the resolver's order; raises
    // ENetSocketError (11001 when the name does not resolve).
    virtual std::string HostByName(const std::string& AHostName) = 0;
    // Every address of the name, both families, in the resolver's order and each once. The
    // lookup runs on a thread of its own that the caller waits for at most ATimeout ms
    // (zero or negative: without limit) and abandons after that with ENetConnectTimeout
    // ("Host name lookup timed out."); the abandoned lookup ends by itself and frees what it
    // holds. Concurrent lookups of one name share one lookup. A name that does not resolve
    // raises ENetSocketError (11001); the calling thread's cancel token (NetCancel.h) ends
    // the wait with ENetCancelled.
    virtual std::vector<TNetHostAddress> HostAddresses(const std::string& AHostName, int32_t ATimeout) = 0;
    virtual std::string HostName() = 0;
    // The name registered for an address; raises ENetSocketError when there is none.
    virtual std::string HostByAddress(const std::string& AAddress) = 0;
    // Port of a service name, or the name read as an integer; raises ENetInvalidServiceName.
    virtual int32_t ServicePort(const std::string& AService) = 0;
    // Official name then aliases of the service on APort; empty when unknown.
    virtual std::vector<std::string> ServiceNames(int32_t APort) = 0;
    virtual uint16_t HostToNetShort(uint16_t AValue) = 0;
    virtual int32_t ListenSocket(int ASocket, int32_t ABacklog) = 0;
    virtual uint16_t NetToHostShort(uint16_t AValue) = 0;
    virtual uint32_t HostToNetLong(uint32_t AValue) = 0;
    virtual uint32_t NetToHostLong(uint32_t AValue) = 0;
    // Note the argument order: flags before length.
    virtual int32_t ReceiveData(int ASocket, void* ABuffer, int32_t AFlags, int32_t ALength) = 0;
    // Note the argument order: length before flags. The source lands in AIP and APort.
    virtual int32_t ReceiveDataFrom(
        int ASocket, void* ABuffer, int32_t ALength, int32_t AFlags, std::string& AIP, int32_t& APort)
        = 0;
    // Waits until a handle of a list is ready: readable (data, end of stream or an error),
    // writable, or with urgent data. ATimeout in ms: -2 (or any negative) waits without limit,
    // 0 polls. Result: the number of ready entries, 0 on time-out, -1 on error. Each non-nil
    // list is rewritten to hold exactly its ready handles, in list order. A list of more than
    // 64 handles raises ENetStackSetSizeExceeded before anything is waited for.
    virtual int32_t SelectSockets(
        TNetSocketList* ARead, TNetSocketList* AWrite, TNetSocketList* AError, int32_t ATimeout)
        = 0;
    // A peer that has gone gives an error (10058), never a signal.
    virtual int32_t SendData(int ASocket, const void* ABuffer, int32_t AFlags, int32_t ALength) = 0;
    virtual int32_t SendDataTo(int ASocket, const void* ABuffer, int32_t AFlags, int32_t ALength,
        const std::string& AIP, int32_t APort)
        = 0;
    virtual int32_t SetSocketOption(
        int ASocket, int32_t ALevel, int32_t AOption, const void* AValue, int32_t ALength)
        = 0;
    // New socket (never inherited by child processes) or -1.
    virtual int OpenSocket(int32_t AFamily, int32_t AType, int32_t AProtocol) = 0;
    virtual int32_t ShutdownSocket(int ASocket, int32_t AHow) = 0;
    // "Socket Error # <code>\r\n<text>"; a code outside the table leaves the text empty.
    virtual std::string SocketErrorText(int32_t ACode);
    // Code of the calling thread's last failed call through the stack.
    virtual int32_t LastSocketError() = 0;
    // Both raise ENetSocketError on failure.
    virtual void PeerAddress(int ASocket, int32_t& AFamily, std::string& AIP, int32_t& APort) = 0;
    virtual void SocketAddress(int ASocket, int32_t& AFamily, std::string& AIP, int32_t& APort) = 0;
    virtual int32_t GetSocketOption(
        int ASocket, int32_t ALevel, int32_t AOption, void* AValue, int32_t& ALength)
        = 0;
    virtual std::string AddressToString(const TNetAddressBytes& AAddress) = 0;
    // Four parts separated by "."; each must be an integer (ENetConvertError otherwise) and
    // gives its low eight bits. Anything after the fourth part is ignored.
    virtual TNetAddressBytes StringToAddressBytes(const std::string& AText) = 0;
    // The platform's one-time start-up; MakeStack calls it on the first stack of the process.
    // Non-zero means failure.
    virtual int32_t StartupSockets() = 0;

    // A new stack of GSocketStackClass; starts the sockets once per process (raises
    // ENetStackInitializationFailed when that fails).
    static std::unique_ptr<TNetStack> MakeStack();

    // False when AResult is not -1. Otherwise stores LastSocketError() in LastError and returns
    // true when that code is in AIgnore, or raises ENetSocketError.
    bool CheckSocketResult(int32_t AResult);
    bool CheckSocketResult(int32_t AResult, std::initializer_list<int32_t> AIgnore);
    [[noreturn]] void ThrowSocketError(int32_t ACode);
    // A socket of the family; raises ENetInvalidSocket when none can be opened.
    int NewSocketHandle(int32_t AType, int32_t AProtocol, int32_t AFamily = NetFamilyIPv4);
    // "localhost" in any case gives 127.0.0.1, a dotted quad or an IPv6 address is returned
    // as it is, anything else is resolved (HostByName).
    std::string LookupHost(const std::string& AHost);
    // The same for every address: a literal or "localhost" gives one, anything else is
    // resolved by HostAddresses within ATimeout ms.
    std::vector<TNetHostAddress> LookupHostAddresses(const std::string& AHost, int32_t ATimeout);
    // Four integers from 0 to 255 (decimal, or hexadecimal after "$", "x", "0x") joined by dots.
    static bool IsDottedQuad(const std::string& AText);
    // An IPv6 address in any of its text forms, optionally followed by "%" and a zone.
    static bool IsIPv6Address(const std::string& AText);
    // NetFamilyIPv6 for a text with a ":", NetFamilyIPv4 for any other.
    static int32_t AddressFamily(const std::string& AIP);
    // The four address bytes as one value, first byte lowest in memory.
    uint32_t StringToAddress(const std::string& AText);

    // The code of the last failure CheckSocketResult saw, from whichever thread.
    std::atomic<int32_t> LastError { 0 };

protected:
    std::unique_ptr<std::vector<std::string>> FLocalAddresses;
};

// The one stack; exists exactly while a networking component does (see TNetComponent).
extern TNetStack* GSocketStack;
extern TNetStackClass GSocketStackClass;
// Guards GSocketStackUsers and the creation and destruction of GSocketStack.
extern std::mutex GSocketStackLock;
extern int32_t GSocketStackUsers;
// Set by the first successful start-up; never reset.
extern std::atomic<bool> GSocketsStarted;
extern TNetSocketListClass GSocketListClass;
