// One raw ICMP socket per address family for every echo client of the process, and the thread
// that reads them and hands each datagram to the client waiting for its identifier and
// sequence.
//
// Why shared. Every raw ICMP socket of the host is handed a copy of every ICMP datagram that
// arrives. With a socket per check, thousands of checks at once meant thousands of copies of
// every answer, and a check whose thread had not yet read its queue (2 cores, hundreds of
// runnable workers) found that queue full of other checks' answers and its own dropped: the
// kernel counted the drop and the check reported "Request timed out." for a host that had
// answered. One socket reads each answer once, and a check registers before its request
// leaves, so an answer that comes before its check waits is kept for it.
//
// Threads and the rules that keep them safe:
// - FLock guards the table of waiters, every waiter's mailbox and the state of the thread.
//   The reader thread takes it only to deliver; a waiter only to register, take a datagram
//   and leave. Nothing blocks while holding it.
// - A waiter is registered from before its request is sent until its wait is over
//   (TRegistration), and only datagrams carrying its identifier and sequence reach its
//   mailbox, so a check never takes, or crowds out, another's answer. What matches is still
//   judged by the client's own rules (sender, quoted address, checksum).
// - The reader wakes a waiter through the waiting thread's eventfd (one per thread, made at its
//   first wait and reused); a wait watches it beside the thread's cancel token.
// - The reader thread is started by the first registration and ends on its own when nobody
//   has registered for LingerMs (closing the sockets, which otherwise would take a copy of
//   every answer on the host); the process-wide object joins it at exit, and a later start
//   joins an ended one first. After fork() a child starts afresh: the thread is not its own.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>

class TNetIcmpShared {
public:
    static constexpr int32_t DatagramBytes = 1024;
    // Datagrams kept for one waiter: an answer and a few duplicates or reports.
    static constexpr int MailboxSize = 4;
    static constexpr int LingerMs = 2000;
    // The time-to-live (IPv6: hop limit) the shared sockets send with: the client's default.
    static constexpr int SocketTTL = 128;

    // Where a datagram came from. With an IP header (raw IPv4) the sender and time-to-live
    // are read from it; without one (ICMPv6, datagram sockets) the socket tells them.
    struct TOrigin {
        bool HasIPHeader = true;
        uint8_t Source[16] = {}; // the first four bytes for an IPv4 sender
        uint8_t TTL = 0;
    };

    // One datagram as the socket handed it over.
    struct TDatagram {
        int32_t Size = 0;
        TOrigin Origin;
        uint8_t Bytes[DatagramBytes];
    };

    // What one client waits for, and the datagrams already delivered to it.
    struct TWaiter {
        bool IPv6 = false;
        uint16_t Identifier = 0;
        uint16_t Sequence = 0;
        int WakeFd = -1;
        int Count = 0;
        int First = 0;
        TDatagram Mailbox[MailboxSize];
    };

    // The process's share.
    static TNetIcmpShared& Instance();

    // The socket of the family, opened (and the reader started) when it is not; -1 when it
    // cannot be opened, with errno saying why. AWaiter is registered when it is not -1.
    int Register(TWaiter& AWaiter);
    void Unregister(TWaiter& AWaiter);
    // Moves the next datagram delivered to AWaiter into ABuffer and AOrigin: its size, 0 when
    // none is there.
    int32_t Take(TWaiter& AWaiter, uint8_t (&ABuffer)[DatagramBytes], TOrigin& AOrigin);
    // Waits up to ATimeout ms for a delivery to the calling thread's waiter (or its cancel
    // token, raising ENetCancelled).
    static void WaitDelivery(int32_t ATimeout);
    // The calling thread's wake-up descriptor.
    static int ThreadWakeFd();

    // Hands ADatagram to the waiter whose identifier and sequence it carries (in a reply, or in
    // the request a report quotes); true when one took it.
    bool Deliver(bool AIPv6, const TDatagram& ADatagram);
    // Where the identifier and sequence of ADatagram stand; -1 when it is neither an echo
    // reply nor a report quoting an echo request.
    static int32_t EchoOffset(bool AIPv6, const TDatagram& ADatagram);

    // Delivered datagrams, for tests and benchmarks.
    uint64_t Delivered() const;

    ~TNetIcmpShared();

private:
    TNetIcmpShared() = default;
    void StartLocked();
    void Run();
    int OpenLocked(bool AIPv6);
    void CloseLocked();
    void ReadAll(bool AIPv6, int AFd);
    bool DeliverLocked(bool AIPv6, const TDatagram& ADatagram);
    static uint32_t Key(bool AIPv6, uint16_t AIdentifier) { return uint32_t(AIPv6) << 16 | AIdentifier; }

    mutable std::mutex FLock;
    std::unordered_map<uint32_t, TWaiter*> FWaiters;
    int FIPv4 = -1;
    int FIPv6 = -1;
    int FWakeFd = -1; // wakes the reader: to stop, or to watch a socket opened since
    bool FRunning = false;
    bool FStopping = false;
    int FOwner = 0; // the process that started the reader
    // Held through a pointer so that a forked child can let go of its parent's thread.
    std::unique_ptr<std::thread> FThread;
    std::chrono::steady_clock::time_point FLastUse;
    uint64_t FDelivered = 0;
};
