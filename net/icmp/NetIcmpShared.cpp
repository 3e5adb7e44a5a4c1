#include "net/icmp/NetIcmpShared.h"

#include "net/icmp/IcmpWire.h"
#include "net/stack/NetCancel.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <linux/icmp.h>
#include <memory>
#include <netinet/icmp6.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <system_error>
#include <thread>
#include <unistd.h>

namespace {

using namespace icmpwire;
// Room for a burst of answers while no waiting client is on a processor: a pass of a
// thousand checks at once queues a thousand of them.
constexpr int ReceiveBufferBytes = 4 << 20;
// Datagrams read with one call.
constexpr unsigned Batch = 32;

uint16_t ReadLE16(const uint8_t* AAt)
{
    return static_cast<uint16_t>(AAt[0] | AAt[1] << 8);
}

void Wake(int AFd)
{
    const uint64_t One = 1;
    (void)!::write(AFd, &One, sizeof One);
}

void Drain(int AFd)
{
    uint64_t Count;
    (void)!::read(AFd, &Count, sizeof Count);
}

// Closes the descriptor on the way out of the calling thread.
struct TThreadWake {
    int Fd = -1;
    ~TThreadWake()
    {
        if (Fd >= 0)
            ::close(Fd);
    }
};

thread_local TThreadWake GThreadWake;

int ThreadWakeFd()
{
    if (GThreadWake.Fd < 0) {
        GThreadWake.Fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (GThreadWake.Fd < 0)
            throw std::system_error(errno, std::generic_category(), "eventfd");
    }
    return GThreadWake.Fd;
}

} // namespace

int64_t TNetIcmpShared::NowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

int TNetIcmpShared::ProcessId()
{
    static std::atomic<int> Known { 0 };
    int Pid = Known.load(std::memory_order_relaxed);
    if (Pid == 0) {
        static const int Registered = ::pthread_atfork(nullptr, nullptr, [] { Known.store(0); });
        (void)Registered;
        Pid = ::getpid();
        Known.store(Pid, std::memory_order_relaxed);
    }
    return Pid;
}

TNetIcmpShared& TNetIcmpShared::Instance()
{
    // Never destroyed: a client on another thread may still leave while the process exits.
    static TNetIcmpShared* const Shared = new TNetIcmpShared;
    return *Shared;
}

void TNetIcmpShared::ForgetParentLocked()
{
    if (FOwner == ProcessId())
        return;
    // The descriptors are the parent's sockets, inherited: closing our copies leaves its.
    for (TFamily* F : { &FIPv4, &FIPv6 }) {
        if (F->Fd >= 0)
            ::close(F->Fd);
        *F = TFamily {};
    }
    FWaiters.clear();
    // The parking thread was not forked with us; what it held is the parent's.
    if (FParkFd >= 0)
        ::close(FParkFd);
    FParkFd = -1;
    FParked.clear();
    FReady.clear();
    FDeadlines.clear();
    FOwner = ProcessId();
}

int TNetIcmpShared::Register(TWaiter& AWaiter)
{
    AWaiter.WakeFd = ThreadWakeFd();
    AWaiter.Count = 0;
    AWaiter.First = 0;
    AWaiter.Waiting = false;
    AWaiter.Parked = nullptr;
    AWaiter.Ready = false;
    std::lock_guard<std::mutex> Guard(FLock);
    ForgetParentLocked();
    const int Fd = OpenLocked(AWaiter.IPv6);
    if (Fd < 0)
        return -1;
    ++FamilyOf(AWaiter).Users;
    FWaiters[Key(AWaiter.IPv6, AWaiter.Identifier)] = &AWaiter;
    return Fd;
}

void TNetIcmpShared::Unregister(TWaiter& AWaiter)
{
    std::lock_guard<std::mutex> Guard(FLock);
    StopWaitingLocked(AWaiter);
    const auto Found = FWaiters.find(Key(AWaiter.IPv6, AWaiter.Identifier));
    if (Found != FWaiters.end() && Found->second == &AWaiter)
        FWaiters.erase(Found);
    TFamily& F = FamilyOf(AWaiter);
    if (--F.Users == 0 && F.Fd >= 0) {
        ::close(F.Fd);
        F.Fd = -1;
    }
}

void TNetIcmpShared::StartWaitingLocked(TWaiter& AWaiter)
{
    TFamily& F = FamilyOf(AWaiter);
    if (!AWaiter.Waiting) {
        AWaiter.Waiting = true;
        AWaiter.Previous = nullptr;
        AWaiter.Next = F.Waiting;
        if (F.Waiting)
            F.Waiting->Previous = &AWaiter;
        F.Waiting = &AWaiter;
    }
    if (!F.Poller)
        F.Poller = &AWaiter;
}

void TNetIcmpShared::StopWaitingLocked(TWaiter& AWaiter)
{
    if (!AWaiter.Waiting)
        return;
    TFamily& F = FamilyOf(AWaiter);
    AWaiter.Waiting = false;
    if (AWaiter.Previous)
        AWaiter.Previous->Next = AWaiter.Next;
    else
        F.Waiting = AWaiter.Next;
    if (AWaiter.Next)
        AWaiter.Next->Previous = AWaiter.Previous;
    if (F.Poller != &AWaiter)
        return;
    F.Poller = F.Waiting;
    if (F.Poller)
        Wake(F.Poller->WakeFd);
}

int32_t TNetIcmpShared::TakeLocked(TWaiter& AWaiter, uint8_t (&ABuffer)[DatagramBytes], TOrigin& AOrigin)
{
    if (AWaiter.Count == 0)
        return 0;
    const TDatagram& Next = AWaiter.Mailbox[AWaiter.First];
    AOrigin = Next.Origin;
    std::memcpy(ABuffer, Next.Bytes, static_cast<size_t>(Next.Size));
    AWaiter.First = (AWaiter.First + 1) % MailboxSize;
    --AWaiter.Count;
    StopWaitingLocked(AWaiter);
    return Next.Size;
}

int32_t TNetIcmpShared::Receive(
    TWaiter& AWaiter, uint8_t (&ABuffer)[DatagramBytes], TOrigin& AOrigin, int32_t ATimeout)
{
    const int64_t Deadline = NowMs() + ATimeout;
    const TNetCancelToken* const Token = CurrentCancelToken();
    for (;;) {
        int Fd;
        {
            std::lock_guard<std::mutex> Guard(FLock);
            if (const int32_t Size = TakeLocked(AWaiter, ABuffer, AOrigin))
                return Size;
            Fd = FamilyOf(AWaiter).Fd;
        }
        ReadAll(AWaiter.IPv6, Fd, &AWaiter);
        bool Poller;
        int32_t Remaining;
        {
            std::lock_guard<std::mutex> Guard(FLock);
            if (const int32_t Size = TakeLocked(AWaiter, ABuffer, AOrigin))
                return Size;
            Remaining = static_cast<int32_t>(Deadline - NowMs());
            if (Remaining <= 0) {
                StopWaitingLocked(AWaiter);
                return 0;
            }
            StartWaitingLocked(AWaiter);
            Poller = FamilyOf(AWaiter).Poller == &AWaiter;
        }
        pollfd Wait[3] = { { AWaiter.WakeFd, POLLIN, 0 }, { Token ? Token->Fd() : -1, POLLIN, 0 },
            { Poller ? Fd : -1, POLLIN, 0 } };
        // A negative descriptor is skipped.
        if (::poll(Wait, 3, Remaining) > 0 && (Wait[0].revents & POLLIN))
            Drain(AWaiter.WakeFd);
        if (Token && Token->Cancelled()) {
            {
                std::lock_guard<std::mutex> Guard(FLock);
                StopWaitingLocked(AWaiter);
            }
            CheckCancelled();
        }
    }
}

int32_t TNetIcmpShared::EchoOffset(bool AIPv6, const TDatagram& ADatagram)
{
    const uint8_t* const B = ADatagram.Bytes;
    const int32_t N = ADatagram.Size;
    if (AIPv6) {
        if (N < IcmpHeaderBytes)
            return -1;
        if (B[0] == Icmp6EchoReply)
            return 0;
        const int32_t Echo = IcmpHeaderBytes + IPv6HeaderBytes;
        if ((B[0] != Icmp6Unreachable && B[0] != Icmp6TimeExceeded) || Echo + IcmpHeaderBytes > N
            || B[Echo] != Icmp6EchoRequest)
            return -1;
        return Echo;
    }
    const bool HasIPHeader = ADatagram.Origin.HasIPHeader;
    const int32_t Header = HasIPHeader ? (B[0] & 0x0F) * 4 : 0;
    if ((HasIPHeader && Header < IPHeaderBytes) || Header + IcmpHeaderBytes > N)
        return -1;
    const uint8_t Type = B[Header];
    if (Type == IcmpEchoReply)
        return Header;
    const int32_t Quote = Header + IcmpHeaderBytes;
    if ((Type != IcmpUnreachable && Type != IcmpTimeExceeded) || Quote + IPHeaderBytes > N)
        return -1;
    const int32_t Echo = Quote + (B[Quote] & 0x0F) * 4;
    if ((B[Quote] & 0x0F) * 4 < IPHeaderBytes || Echo + IcmpHeaderBytes > N || B[Echo] != IcmpEchoRequest)
        return -1;
    return Echo;
}

bool TNetIcmpShared::Deliver(bool AIPv6, const TDatagram& ADatagram)
{
    std::lock_guard<std::mutex> Guard(FLock);
    return DeliverLocked(AIPv6, ADatagram, nullptr, false);
}

bool TNetIcmpShared::DeliverLocked(
    bool AIPv6, const TDatagram& ADatagram, const TWaiter* ASelf, bool AParking)
{
    const int32_t Echo = EchoOffset(AIPv6, ADatagram);
    if (Echo < 0)
        return false;
    const auto Found = FWaiters.find(Key(AIPv6, ReadLE16(ADatagram.Bytes + Echo + 4)));
    if (Found == FWaiters.end())
        return false;
    TWaiter& W = *Found->second;
    // An older request's late answer is nobody's now; a full mailbox holds enough already.
    if (W.Sequence != ReadLE16(ADatagram.Bytes + Echo + 6) || W.Count == MailboxSize)
        return false;
    TDatagram& Slot = W.Mailbox[(W.First + W.Count) % MailboxSize];
    Slot.Size = ADatagram.Size;
    Slot.Origin = ADatagram.Origin;
    std::memcpy(Slot.Bytes, ADatagram.Bytes, static_cast<size_t>(ADatagram.Size));
    ++W.Count;
    if (W.Parked) {
        // One wake for any number of datagrams; none when the parking thread read them itself.
        if (!W.Ready) {
            W.Ready = true;
            FReady.push_back(W.Parked);
            if (!AParking)
                Wake(FParkFd);
        }
        return true;
    }
    // The reader looks into its own mailbox next; only another waiter needs waking.
    if (&W != ASelf)
        Wake(W.WakeFd);
    return true;
}

int TNetIcmpShared::OpenLocked(bool AIPv6)
{
    int& Fd = (AIPv6 ? FIPv6 : FIPv4).Fd;
    if (Fd >= 0)
        return Fd;
    const int Opened = ::socket(AIPv6 ? AF_INET6 : AF_INET, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK,
        AIPv6 ? IPPROTO_ICMPV6 : IPPROTO_ICMP);
    if (Opened < 0)
        return -1;
    // Only what can answer a request is queued (see the client's rules); the rest of the host's
    // ICMP traffic is dropped before it costs a read.
    const int On = 1;
    if (AIPv6) {
        icmp6_filter Types;
        ICMP6_FILTER_SETBLOCKALL(&Types);
        ICMP6_FILTER_SETPASS(Icmp6EchoReply, &Types);
        ICMP6_FILTER_SETPASS(Icmp6Unreachable, &Types);
        ICMP6_FILTER_SETPASS(Icmp6TimeExceeded, &Types);
        ::setsockopt(Opened, IPPROTO_ICMPV6, ICMP6_FILTER, &Types, sizeof Types);
        ::setsockopt(Opened, IPPROTO_IPV6, IPV6_RECVHOPLIMIT, &On, sizeof On);
        ::setsockopt(Opened, IPPROTO_IPV6, IPV6_UNICAST_HOPS, &SocketTTL, sizeof SocketTTL);
    } else {
        icmp_filter Types { ~(1u << IcmpEchoReply | 1u << IcmpUnreachable | 1u << IcmpTimeExceeded) };
        ::setsockopt(Opened, SOL_RAW, ICMP_FILTER, &Types, sizeof Types);
        ::setsockopt(Opened, IPPROTO_IP, IP_TTL, &SocketTTL, sizeof SocketTTL);
    }
    // Beyond net.core.rmem_max only with CAP_NET_ADMIN; without it the limit is what we get.
    if (::setsockopt(Opened, SOL_SOCKET, SO_RCVBUFFORCE, &ReceiveBufferBytes, sizeof ReceiveBufferBytes) != 0)
        ::setsockopt(Opened, SOL_SOCKET, SO_RCVBUF, &ReceiveBufferBytes, sizeof ReceiveBufferBytes);
    Fd = Opened;
    return Fd;
}

void TNetIcmpShared::ReadAll(bool AIPv6, int AFd, const TWaiter* ASelf, bool AParking)
{
    union TControl {
        cmsghdr Align;
        char Bytes[CMSG_SPACE(sizeof(int))];
    };
    // Left as the allocator hands them over: recvmmsg fills what is read, and clearing 35 KB
    // would fault in every page of it at each thread's first read.
    struct TBuffers {
        TBuffers() { }
        union {
            TDatagram Datagrams[Batch];
        };
        sockaddr_in6 From[Batch];
        TControl Control[Batch];
    };
    // Per thread: any waiting client may read, and a batch does not fit on every stack. Made
    // at a thread's first read: as plain thread-local arrays they were 35 KB that every thread
    // of the process cleared at its start, pinging or not.
    static thread_local std::unique_ptr<TBuffers> Buffers;
    if (!Buffers)
        Buffers = std::make_unique_for_overwrite<TBuffers>();
    TDatagram* const Datagrams = Buffers->Datagrams;
    sockaddr_in6* const From = Buffers->From;
    TControl* const Control = Buffers->Control;
    iovec Io[Batch];
    mmsghdr Messages[Batch];
    for (;;) {
        for (unsigned I = 0; I < Batch; ++I) {
            Io[I] = { Datagrams[I].Bytes, sizeof Datagrams[I].Bytes };
            Messages[I] = {};
            Messages[I].msg_hdr.msg_iov = &Io[I];
            Messages[I].msg_hdr.msg_iovlen = 1;
            if (AIPv6) {
                Messages[I].msg_hdr.msg_name = &From[I];
                Messages[I].msg_hdr.msg_namelen = sizeof From[I];
                Messages[I].msg_hdr.msg_control = Control[I].Bytes;
                Messages[I].msg_hdr.msg_controllen = sizeof Control[I].Bytes;
            }
        }
        const int Count = ::recvmmsg(AFd, Messages, Batch, MSG_DONTWAIT, nullptr);
        if (Count <= 0)
            return;
        for (int I = 0; I < Count; ++I) {
            TDatagram& D = Datagrams[I];
            D.Size = static_cast<int32_t>(Messages[I].msg_len);
            D.Origin.HasIPHeader = !AIPv6;
            if (!AIPv6)
                continue;
            std::memcpy(D.Origin.Source, &From[I].sin6_addr, sizeof D.Origin.Source);
            D.Origin.TTL = 0;
            msghdr& Header = Messages[I].msg_hdr;
            for (cmsghdr* C = CMSG_FIRSTHDR(&Header); C; C = CMSG_NXTHDR(&Header, C))
                if (C->cmsg_level == IPPROTO_IPV6 && C->cmsg_type == IPV6_HOPLIMIT) {
                    int Value = 0;
                    std::memcpy(&Value, CMSG_DATA(C), sizeof Value);
                    D.Origin.TTL = static_cast<uint8_t>(Value);
                }
        }
        {
            std::lock_guard<std::mutex> Guard(FLock);
            for (int I = 0; I < Count; ++I)
                DeliverLocked(AIPv6, Datagrams[I], ASelf, AParking);
        }
        if (Count < static_cast<int>(Batch))
            return;
    }
}

std::function<void()> TNetIcmpShared::TParked::Canceller() const
{
    return [Flag = FCancelled] {
        Flag->store(true, std::memory_order_release);
        TNetIcmpShared::Instance().WakeParking();
    };
}

void TNetIcmpShared::WakeParking()
{
    FCancelAsked.store(true, std::memory_order_release);
    std::lock_guard<std::mutex> Guard(FLock);
    if (FParkFd >= 0 && FOwner == ProcessId())
        Wake(FParkFd);
}

void TNetIcmpShared::UseFamilyLocked(bool AIPv6)
{
    TFamily& F = AIPv6 ? FIPv6 : FIPv4;
    if (F.Parked++ == 0)
        ++F.Users;
}

void TNetIcmpShared::LeaveFamilyLocked(bool AIPv6)
{
    TFamily& F = AIPv6 ? FIPv6 : FIPv4;
    if (--F.Parked == 0 && --F.Users == 0 && F.Fd >= 0) {
        ::close(F.Fd);
        F.Fd = -1;
    }
}

void TNetIcmpShared::ParkLocked(TParked& AParked)
{
    TWaiter& W = AParked.Waiter();
    // An exchange may move between sockets from one request to the next: a name looked up
    // again may change family, and a shared socket that cannot be opened leaves a socket of
    // its own.
    const bool Shared = AParked.OwnSocket() < 0;
    if (Shared)
        UseFamilyLocked(W.IPv6);
    UnparkLocked(AParked);
    AParked.FShared = Shared;
    AParked.FIPv6 = W.IPv6;
    W.Parked = &AParked;
    if (W.Count > 0 && !W.Ready) {
        W.Ready = true;
        FReady.push_back(&AParked);
    }
}

void TNetIcmpShared::UnparkLocked(TParked& AParked)
{
    if (AParked.FShared)
        LeaveFamilyLocked(AParked.FIPv6);
    AParked.FShared = false;
}

void TNetIcmpShared::Park(std::unique_ptr<TParked>& AParked)
{
    std::lock_guard<std::mutex> Guard(FLock);
    ForgetParentLocked();
    if (FParkFd < 0) {
        const int Fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (Fd < 0)
            throw std::system_error(errno, std::generic_category(), "eventfd");
        try {
            // It ends on its own once nothing is parked: nobody waits for it.
            std::thread([this, Fd] { RunParking(Fd); }).detach();
        } catch (...) {
            ::close(Fd);
            throw;
        }
        FParkFd = Fd;
    }
    TParked* const P = AParked.get();
    FParked.insert(P);
    AParked.release();
    ParkLocked(*P);
    if (!P->Waiter().Ready) {
        P->Waiter().Ready = true;
        FReady.push_back(P);
    }
    Wake(FParkFd);
}

void TNetIcmpShared::RunParking(int AWakeFd)
{
    std::vector<TParked*> Due;
    // The wake, the two shared sockets, then the sockets of exchanges that have their own
    // (whose exchanges stand in Owners at the same places).
    std::vector<pollfd> Wait;
    std::vector<TParked*> Owners;
    for (;;) {
        Wait.assign({ { AWakeFd, POLLIN, 0 }, { -1, POLLIN, 0 }, { -1, POLLIN, 0 } });
        Owners.assign(3, nullptr);
        int Timeout = -1;
        {
            std::lock_guard<std::mutex> Guard(FLock);
            if (FOwner != ProcessId())
                return;
            // Nothing left to wait for: the thread ends, and the next Park starts another.
            if (FParked.empty()) {
                ::close(AWakeFd);
                FParkFd = -1;
                return;
            }
            const auto Take = [&Due, this](TParked* P) {
                TWaiter& W = P->Waiter();
                if (!W.Parked)
                    return;
                W.Parked = nullptr;
                W.Ready = false;
                if (P->FScheduled) {
                    FDeadlines.erase(P->FDue);
                    P->FScheduled = false;
                }
                Due.push_back(P);
            };
            for (TParked* P : FReady)
                Take(P);
            FReady.clear();
            if (FCancelAsked.exchange(false, std::memory_order_acq_rel))
                for (TParked* P : FParked)
                    if (P->Cancelled())
                        Take(P);
            const int64_t Now = NowMs();
            while (!FDeadlines.empty() && FDeadlines.begin()->first <= Now) {
                TParked* const P = FDeadlines.begin()->second;
                FDeadlines.erase(FDeadlines.begin());
                P->FScheduled = false;
                Take(P);
            }
            if (Due.empty()) {
                if (!FDeadlines.empty())
                    Timeout = static_cast<int>(std::min<int64_t>(FDeadlines.begin()->first - Now, 60000));
                if (FIPv4.Parked > 0)
                    Wait[1].fd = FIPv4.Fd;
                if (FIPv6.Parked > 0)
                    Wait[2].fd = FIPv6.Fd;
                for (TParked* P : FParked)
                    if (!P->FShared && P->OwnSocket() >= 0) {
                        Wait.push_back({ P->OwnSocket(), POLLIN, 0 });
                        Owners.push_back(P);
                    }
            }
        }
        if (!Due.empty()) {
            for (TParked* P : Due) {
                // Resume answers for itself, failures included.
                const int64_t Next = P->Resume();
                std::unique_lock<std::mutex> Guard(FLock);
                if (Next >= 0) {
                    P->FDue = FDeadlines.emplace(Next, P);
                    P->FScheduled = true;
                    ParkLocked(*P);
                    continue;
                }
                FParked.erase(P);
                UnparkLocked(*P);
                Guard.unlock();
                delete P;
            }
            Due.clear();
            continue;
        }
        // Only this thread ends parked exchanges, so the sockets polled stay open meanwhile.
        if (::poll(Wait.data(), Wait.size(), Timeout) <= 0)
            continue;
        if (Wait[0].revents & POLLIN)
            Drain(AWakeFd);
        if (Wait[1].revents)
            ReadAll(false, Wait[1].fd, nullptr, true);
        if (Wait[2].revents)
            ReadAll(true, Wait[2].fd, nullptr, true);
        std::lock_guard<std::mutex> Guard(FLock);
        for (size_t I = 3; I < Wait.size(); ++I) {
            TWaiter& W = Owners[I]->Waiter();
            if (Wait[I].revents && W.Parked && !W.Ready) {
                W.Ready = true;
                FReady.push_back(Owners[I]);
            }
        }
    }
}
