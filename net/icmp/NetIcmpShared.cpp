#include "net/icmp/NetIcmpShared.h"

#include "net/stack/NetCancel.h"

#include <cerrno>
#include <cstring>
#include <linux/icmp.h>
#include <netinet/icmp6.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <system_error>
#include <unistd.h>

namespace {

constexpr uint8_t IcmpEchoReply = 0;
constexpr uint8_t IcmpUnreachable = 3;
constexpr uint8_t IcmpEchoRequest = 8;
constexpr uint8_t IcmpTimeExceeded = 11;
constexpr uint8_t Icmp6Unreachable = 1;
constexpr uint8_t Icmp6TimeExceeded = 3;
constexpr uint8_t Icmp6EchoRequest = 128;
constexpr uint8_t Icmp6EchoReply = 129;
constexpr int32_t IcmpHeaderBytes = 8;
constexpr int32_t IPHeaderBytes = 20;
constexpr int32_t IPv6HeaderBytes = 40;
// Room for a burst of answers while the reader is not on a processor: a pass of a thousand
// checks at once queues a thousand of them.
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

} // namespace

TNetIcmpShared& TNetIcmpShared::Instance()
{
    static TNetIcmpShared Shared;
    return Shared;
}

TNetIcmpShared::~TNetIcmpShared()
{
    std::unique_ptr<std::thread> Thread;
    {
        std::lock_guard<std::mutex> Guard(FLock);
        if (FOwner != ::getpid()) {
            (void)FThread.release();
            return;
        }
        FStopping = true;
        if (FWakeFd >= 0)
            Wake(FWakeFd);
        Thread = std::move(FThread);
    }
    if (Thread && Thread->joinable())
        Thread->join();
    std::lock_guard<std::mutex> Guard(FLock);
    CloseLocked();
    if (FWakeFd >= 0)
        ::close(FWakeFd);
}

int TNetIcmpShared::ThreadWakeFd()
{
    if (GThreadWake.Fd < 0) {
        GThreadWake.Fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (GThreadWake.Fd < 0)
            throw std::system_error(errno, std::generic_category(), "eventfd");
    }
    return GThreadWake.Fd;
}

int TNetIcmpShared::Register(TWaiter& AWaiter)
{
    AWaiter.WakeFd = ThreadWakeFd();
    AWaiter.Count = 0;
    AWaiter.First = 0;
    std::lock_guard<std::mutex> Guard(FLock);
    if (FOwner != ::getpid()) {
        // A forked child: the parent's reader is not running here, and its sockets are the
        // parent's business.
        (void)FThread.release();
        FWaiters.clear();
        CloseLocked();
        if (FWakeFd >= 0)
            ::close(FWakeFd);
        FWakeFd = -1;
        FRunning = false;
        FOwner = ::getpid();
    }
    const int Fd = OpenLocked(AWaiter.IPv6);
    if (Fd < 0)
        return -1;
    StartLocked();
    FWaiters[Key(AWaiter.IPv6, AWaiter.Identifier)] = &AWaiter;
    FLastUse = std::chrono::steady_clock::now();
    return Fd;
}

void TNetIcmpShared::Unregister(TWaiter& AWaiter)
{
    std::lock_guard<std::mutex> Guard(FLock);
    const auto Found = FWaiters.find(Key(AWaiter.IPv6, AWaiter.Identifier));
    if (Found != FWaiters.end() && Found->second == &AWaiter)
        FWaiters.erase(Found);
    FLastUse = std::chrono::steady_clock::now();
}

int32_t TNetIcmpShared::Take(TWaiter& AWaiter, uint8_t (&ABuffer)[DatagramBytes], TOrigin& AOrigin)
{
    std::lock_guard<std::mutex> Guard(FLock);
    if (AWaiter.Count == 0)
        return 0;
    const TDatagram& Next = AWaiter.Mailbox[AWaiter.First];
    AOrigin = Next.Origin;
    std::memcpy(ABuffer, Next.Bytes, static_cast<size_t>(Next.Size));
    AWaiter.First = (AWaiter.First + 1) % MailboxSize;
    --AWaiter.Count;
    return Next.Size;
}

void TNetIcmpShared::WaitDelivery(int32_t ATimeout)
{
    const TNetCancelToken* Token = CurrentCancelToken();
    pollfd Wait[2] = { { ThreadWakeFd(), POLLIN, 0 }, { Token ? Token->Fd() : -1, POLLIN, 0 } };
    int Result;
    do
        Result = ::poll(Wait, Token ? 2 : 1, ATimeout);
    while (Result < 0 && errno == EINTR);
    CheckCancelled();
    if (Result > 0 && (Wait[0].revents & POLLIN))
        Drain(Wait[0].fd);
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
    return DeliverLocked(AIPv6, ADatagram);
}

bool TNetIcmpShared::DeliverLocked(bool AIPv6, const TDatagram& ADatagram)
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
    ++FDelivered;
    Wake(W.WakeFd);
    return true;
}

uint64_t TNetIcmpShared::Delivered() const
{
    std::lock_guard<std::mutex> Guard(FLock);
    return FDelivered;
}

int TNetIcmpShared::OpenLocked(bool AIPv6)
{
    int& Fd = AIPv6 ? FIPv6 : FIPv4;
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
    if (FRunning)
        Wake(FWakeFd);
    return Fd;
}

void TNetIcmpShared::CloseLocked()
{
    for (int* Fd : { &FIPv4, &FIPv6 }) {
        if (*Fd >= 0)
            ::close(*Fd);
        *Fd = -1;
    }
}

void TNetIcmpShared::StartLocked()
{
    if (FRunning)
        return;
    // A reader that ended on its own has left the lock for good; joining it is quick.
    if (FThread && FThread->joinable())
        FThread->join();
    if (FWakeFd < 0) {
        FWakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (FWakeFd < 0)
            throw std::system_error(errno, std::generic_category(), "eventfd");
    }
    FThread = std::make_unique<std::thread>([this] { Run(); });
    FRunning = true;
}

void TNetIcmpShared::Run()
{
    for (;;) {
        pollfd Wait[3] = { { FWakeFd, POLLIN, 0 }, { -1, POLLIN, 0 }, { -1, POLLIN, 0 } };
        {
            std::lock_guard<std::mutex> Guard(FLock);
            if (FStopping)
                return;
            if (FWaiters.empty()
                && std::chrono::steady_clock::now() - FLastUse >= std::chrono::milliseconds(LingerMs)) {
                CloseLocked();
                FRunning = false;
                return;
            }
            Wait[1].fd = FIPv4;
            Wait[2].fd = FIPv6;
        }
        // A negative descriptor is skipped by poll.
        if (::poll(Wait, 3, LingerMs) <= 0)
            continue;
        if (Wait[0].revents & POLLIN)
            Drain(FWakeFd);
        if (Wait[1].revents & POLLIN)
            ReadAll(false, Wait[1].fd);
        if (Wait[2].revents & POLLIN)
            ReadAll(true, Wait[2].fd);
    }
}

void TNetIcmpShared::ReadAll(bool AIPv6, int AFd)
{
    union TControl {
        cmsghdr Align;
        char Bytes[CMSG_SPACE(sizeof(int))];
    };
    static thread_local TDatagram Datagrams[Batch];
    static thread_local sockaddr_in6 From[Batch];
    static thread_local TControl Control[Batch];
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
                DeliverLocked(AIPv6, Datagrams[I]);
        }
        if (Count < static_cast<int>(Batch))
            return;
    }
}
