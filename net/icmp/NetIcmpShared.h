// One raw ICMP socket per address family for every echo client of the process, read by the
// clients that wait on it, each datagram handed to the client whose identifier and sequence it
// carries.
//
// Why shared. Every raw ICMP socket of the host is handed a copy of every ICMP datagram that
// arrives. With a socket per check, a thousand checks at once meant a thousand copies of every
// answer, and a check whose thread had not yet read its queue (2 cores, hundreds of runnable
// workers) found that queue full of other checks' answers and its own dropped: the kernel
// counted the drop, and the check reported "Request timed out." for a host that had answered.
// One socket reads each answer once, and a check registers before its request leaves, so an
// answer that comes before its check waits is kept for it.
//
// Why no reader thread. On the loopback (and often on a near host) the answer is queued before
// the send returns; the waiting client reads it at once, with no thread hand-off at all.
//
// Threads and the rules that keep them safe:
// - FLock guards the table of waiters, every waiter's mailbox, the list of waiting clients and
//   each family's socket, count of users and poller. Nothing blocks while holding it; the
//   socket is read outside it.
// - A waiter is registered from before its request is sent until its exchange is over, and
//   only datagrams carrying its identifier and sequence reach its mailbox, so a check never
//   takes, or crowds out, another's answer. Whose datagram it really is stays the client's
//   own rules to judge (sender, quoted address, checksum).
// - Any registered waiter may read the socket without waiting and deliver what it finds. One
//   waiting client of each family, the poller, also waits on the socket; the others wait on
//   their thread's eventfd (one per thread, made at its first wait and reused), which a
//   delivery writes. A poller that is done hands the role to another waiting client and wakes
//   it, so while anyone waits someone watches the socket. Every wait also watches the thread's
//   cancel token.
// - A socket is opened by the first registration of its family and closed by the last
//   leave: while nobody waits, it would take a copy of every ICMP answer on the host. Only
//   registered waiters read it, so it is never closed under a reader.
// - An exchange may also be parked (Park): the share's own parking thread (started by the
//   first Park, ended once nothing is parked) then waits for it (or for the datagram socket
//   of its own that an exchange without the raw socket has),
//   watching the sockets of the families it has parked exchanges of, and resumes it when a
//   datagram is delivered to it, its deadline passes or it is cancelled. A parked waiter is
//   on no waiting list (no thread of its own waits), and while a family has parked exchanges
//   the parking thread holds a use of its socket, so that the socket stays open from one
//   request of an exchange to the next. Resume runs without FLock, and while it runs its
//   waiter is not marked parked: what comes meanwhile stays in the mailbox, and is seen
//   when it is parked again.
// - After fork() a child starts afresh: the parent's sockets and waiters are not its own.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <unordered_set>
#include <vector>

class TNetIcmpShared {
public:
    static constexpr int32_t DatagramBytes = 1024;
    // Datagrams kept for one waiter: an answer and a few duplicates or reports.
    static constexpr int MailboxSize = 4;
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

    class TParked;

    // What one client waits for, and the datagrams already delivered to it.
    struct TWaiter {
        bool IPv6 = false;
        uint16_t Identifier = 0;
        uint16_t Sequence = 0;
        int WakeFd = -1;
        int Count = 0;
        int First = 0;
        // In the list of waiting clients of its family.
        bool Waiting = false;
        TWaiter* Previous = nullptr;
        TWaiter* Next = nullptr;
        // The parked exchange this waiter belongs to, while it is parked; Ready once it is on
        // the list of those to resume.
        TParked* Parked = nullptr;
        bool Ready = false;
        TDatagram Mailbox[MailboxSize];
    };

    // An exchange that the parking thread waits for in place of a thread of the client's.
    class TParked {
    public:
        virtual ~TParked() = default;
        // The waiter of the exchange, registered with the share whenever Resume returns a
        // deadline, unless the exchange runs on a socket of its own (the datagram socket):
        // OwnSocket is then that socket, watched by the parking thread; -1 otherwise.
        virtual TWaiter& Waiter() = 0;
        virtual int OwnSocket() const { return -1; }
        // On the parking thread: a datagram was delivered to Waiter(), the deadline passed or
        // a cancel was asked for. Moves the exchange on and returns the steady-clock
        // millisecond to wait until next, or -1 when it is over: it is then deleted.
        virtual int64_t Resume() = 0;
        bool Cancelled() const { return FCancelled->load(std::memory_order_acquire); }
        // Asks for an early end from any thread, before or after the exchange is parked and
        // even after it was deleted: its next Resume comes soon and sees Cancelled.
        std::function<void()> Canceller() const;

    private:
        friend class TNetIcmpShared;
        std::shared_ptr<std::atomic<bool>> FCancelled = std::make_shared<std::atomic<bool>>(false);
        // Its place among the deadlines, while it has one; the shared socket it uses, if any.
        std::multimap<int64_t, TParked*>::iterator FDue;
        bool FScheduled = false;
        bool FShared = false;
        bool FIPv6 = false;
    };

    // The process's share.
    static TNetIcmpShared& Instance();

    // Registers AWaiter (its family, identifier and sequence set) and returns the socket of its
    // family, opened when it is not; -1, with errno saying why, when it cannot be opened.
    int Register(TWaiter& AWaiter);
    void Unregister(TWaiter& AWaiter);
    // Waits up to ATimeout ms for a datagram delivered to AWaiter and moves it into ABuffer
    // and AOrigin: its size, 0 when none came in time. Raises ENetCancelled when the thread's
    // cancel token is cancelled.
    int32_t Receive(TWaiter& AWaiter, uint8_t (&ABuffer)[DatagramBytes], TOrigin& AOrigin, int32_t ATimeout);

    // Hands AParked, whose waiter is registered, to the parking thread, which resumes it at
    // once and from then on as it says. Raises std::system_error when the parking thread
    // cannot be started; AParked then stays the caller's.
    void Park(std::unique_ptr<TParked>& AParked);
    // Milliseconds on the clock that parked exchanges' deadlines are read on.
    static int64_t NowMs();
    // getpid() without a system call each time: kept, and forgotten in a forked child.
    static int ProcessId();

    // Hands ADatagram to the waiter whose identifier and sequence it carries (in a reply, or in
    // the request a report quotes); true when one took it.
    bool Deliver(bool AIPv6, const TDatagram& ADatagram);
    // Where the identifier and sequence of ADatagram stand; -1 when it is neither an echo
    // reply nor a report quoting an echo request.
    static int32_t EchoOffset(bool AIPv6, const TDatagram& ADatagram);

private:
    struct TFamily {
        int Fd = -1;
        int Users = 0;
        // The waiting client that watches the socket; nullptr while nobody waits.
        TWaiter* Poller = nullptr;
        // The clients waiting now (a list through TWaiter::Previous and Next).
        TWaiter* Waiting = nullptr;
        // Parked exchanges of this family; while there are any, the parking thread is a user.
        int Parked = 0;
    };

    TNetIcmpShared() = default;
    TFamily& FamilyOf(const TWaiter& AWaiter) { return AWaiter.IPv6 ? FIPv6 : FIPv4; }
    int OpenLocked(bool AIPv6);
    void ForgetParentLocked();
    // Reads the socket until it is empty, without waiting, and delivers what it finds
    // (AParking: on the parking thread, which needs no wake for a parked waiter).
    void ReadAll(bool AIPv6, int AFd, const TWaiter* ASelf, bool AParking = false);
    bool DeliverLocked(bool AIPv6, const TDatagram& ADatagram, const TWaiter* ASelf, bool AParking);
    void RunParking(int AWakeFd);
    // Wakes the parking thread to look for cancelled exchanges.
    void WakeParking();
    // Marks AParked's waiter parked (again, after a Resume), with a use of the shared socket
    // it needs; ready at once when its mailbox holds a datagram.
    void ParkLocked(TParked& AParked);
    void UnparkLocked(TParked& AParked);
    void UseFamilyLocked(bool AIPv6);
    void LeaveFamilyLocked(bool AIPv6);
    int32_t TakeLocked(TWaiter& AWaiter, uint8_t (&ABuffer)[DatagramBytes], TOrigin& AOrigin);
    void StartWaitingLocked(TWaiter& AWaiter);
    // Takes AWaiter off the waiting list; a poller hands its role to the next waiting client.
    void StopWaitingLocked(TWaiter& AWaiter);
    static uint32_t Key(bool AIPv6, uint16_t AIdentifier) { return uint32_t(AIPv6) << 16 | AIdentifier; }

    std::mutex FLock;
    std::unordered_map<uint32_t, TWaiter*> FWaiters;
    TFamily FIPv4;
    TFamily FIPv6;
    int FOwner = 0; // the process whose sockets these are

    // The parking thread's: its wake (-1 until it is started in this process), the exchanges
    // it holds, those to resume, and whether a cancel was asked for.
    int FParkFd = -1;
    std::unordered_set<TParked*> FParked;
    std::vector<TParked*> FReady;
    std::multimap<int64_t, TParked*> FDeadlines;
    std::atomic<bool> FCancelAsked { false };
};
