#include "net/icmp/NetIcmpClient.h"

#include "net/icmp/IcmpWire.h"
#include "net/stack/NetStackLinux.h"
#include "net/stack/NetStrings.h"
#include "net/stack/NetTime.h"

#include <arpa/inet.h>
#include <bitset>
#include <cerrno>
#include <cstring>
#include <linux/errqueue.h>
#include <linux/filter.h>
#include <linux/icmp.h>
#include <mutex>
#include <netinet/icmp6.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using namespace icmpwire;
// Where the request's data begins: after the header, the originate time and eight zeros.
constexpr int32_t EchoDataOffset = 20;
constexpr int32_t EchoDataBytes = 32;
constexpr int32_t EchoRequestBytes = EchoDataOffset + EchoDataBytes;
// Odd, so that n -> n * stride runs through all 65536 values before one comes again; near
// 65536 divided by the golden ratio, so that neighbouring counts land far apart.
constexpr uint32_t IdentifierStride = 40503;

// The identifiers living clients hold (see TNetIcmpClient::AcquireIdentifier).
struct TIdentifierTable {
    std::mutex Lock;
    std::bitset<65536> Held;
    uint16_t Taken = 0; // how many were handed out, modulo 65536
};

TIdentifierTable& Identifiers()
{
    static TIdentifierTable Table;
    return Table;
}

uint16_t ReadLE16(const uint8_t* AAt)
{
    return static_cast<uint16_t>(AAt[0] | AAt[1] << 8);
}

void WriteLE16(uint8_t* AAt, uint16_t AValue)
{
    AAt[0] = static_cast<uint8_t>(AValue);
    AAt[1] = static_cast<uint8_t>(AValue >> 8);
}

void WriteLE32(uint8_t* AAt, uint32_t AValue)
{
    for (int I = 0; I < 4; ++I)
        AAt[I] = static_cast<uint8_t>(AValue >> (8 * I));
}

// The one's-complement sum is the same whichever byte order the words are read in, so the
// checksum is summed and stored least significant byte first like the other fields.
uint16_t InternetChecksum(const uint8_t* AData, int32_t ASize)
{
    uint32_t Sum = 0;
    int32_t I = 0;
    for (; I + 1 < ASize; I += 2)
        Sum += ReadLE16(AData + I);
    if (I < ASize)
        Sum += AData[I];
    while (Sum >> 16)
        Sum = (Sum & 0xFFFF) + (Sum >> 16);
    return static_cast<uint16_t>(~Sum);
}

void AssignIPv6(std::string& AText, const uint8_t* AAddress)
{
    char Text[INET6_ADDRSTRLEN];
    inet_ntop(AF_INET6, AAddress, Text, sizeof Text);
    AText.assign(Text);
}

template <class TCall> ssize_t Restarting(TCall ACall)
{
    for (;;) {
        ssize_t Result = ACall();
        if (Result != -1 || errno != EINTR)
            return Result;
    }
}

[[noreturn]] void ThrowReceiveError(int AErrno)
{
    const int32_t Code = TNetStackLinux::ErrnoToSocketError(AErrno);
    GSocketStack->LastError.store(Code);
    GSocketStack->ThrowSocketError(Code);
}

// Kernel filters of the raw sockets. Every raw ICMP socket of the host is handed a copy of
// every ICMP datagram that arrives, and each one wakes its reader; with many checks waiting at
// once that is every answer times every waiting check. Two filters keep that away, letting
// through only what the rules of DecodeReply can take for this client:
//   - by type (ICMP_FILTER, ICMP6_FILTER), from the start: only echo replies, destination-
//     unreachable and time-exceeded reports reach the socket;
//   - by identifier (a classic BPF program): only a reply carrying the client's identifier, or
//     a report whose quoted request carries it. It is attached when the socket opens, before
//     the request leaves: a socket without it queues every answer on the host, and with
//     many checks at once its own answer found that queue full and was dropped.
// These filters serve a client with a raw socket of its own (see SendShared); the shared
// socket sorts by identifier itself.
// Whatever else the rules look at (checksum, sender, quoted address, sequence) is still theirs
// to judge: a filter only spares the reads of datagrams they would pass over anyway.

constexpr uint32_t FilterPass = 0x40000; // more than any datagram: it is kept whole
constexpr uint32_t FilterDrop = 0;

// The identifier as a filter's 16-bit load reads it: the first byte most significant.
uint32_t FilterIdentifier(uint16_t AIdentifier)
{
    return static_cast<uint32_t>((AIdentifier & 0xFF) << 8 | AIdentifier >> 8);
}

// Sets a filter's option; one the kernel refuses leaves the socket taking more than it needs,
// which the rules cope with, so a refusal is no failure.
void SetFilterOption(
    TNetSocketHandle& ASocket, int ALevel, int AOption, const void* AValue, socklen_t ALength)
{
    GSocketStack->SetSocketOption(ASocket.Handle, ALevel, AOption, AValue, static_cast<int32_t>(ALength));
}

template <size_t N> void AttachProgram(TNetSocketHandle& ASocket, sock_filter (&AProgram)[N])
{
    sock_fprog Program { static_cast<unsigned short>(N), AProgram };
    SetFilterOption(ASocket, SOL_SOCKET, SO_ATTACH_FILTER, &Program, sizeof Program);
}

void FilterTypesIPv4(TNetSocketHandle& ASocket)
{
    icmp_filter Types { ~(1u << IcmpEchoReply | 1u << IcmpUnreachable | 1u << IcmpTimeExceeded) };
    SetFilterOption(ASocket, SOL_RAW, ICMP_FILTER, &Types, sizeof Types);
}

// IPv4: the datagram as the raw socket gets it, IP header first.
void FilterIdentifierIPv4(TNetSocketHandle& ASocket, uint16_t AIdentifier)
{
    const uint32_t Id = FilterIdentifier(AIdentifier);
    sock_filter Program[] = {
        BPF_STMT(BPF_LDX | BPF_B | BPF_MSH, 0), // X: length of the IP header
        BPF_STMT(BPF_LD | BPF_B | BPF_IND, 0), // the ICMP type
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, IcmpEchoReply, 0, 2),
        BPF_STMT(BPF_LD | BPF_H | BPF_IND, 4), // a reply's identifier
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, Id, 9, 10),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, IcmpUnreachable, 1, 0),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, IcmpTimeExceeded, 0, 8),
        BPF_STMT(BPF_LD | BPF_B | BPF_IND, 8), // the quoted IP header's length, as DecodeReply finds it
        BPF_STMT(BPF_ALU | BPF_AND | BPF_K, 0x0F),
        BPF_STMT(BPF_ALU | BPF_LSH | BPF_K, 2),
        BPF_STMT(BPF_ALU | BPF_ADD | BPF_X, 0),
        BPF_STMT(BPF_MISC | BPF_TAX, 0), // X + 8: the quoted request
        BPF_STMT(BPF_LD | BPF_H | BPF_IND, 12), // its identifier
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, Id, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, FilterPass),
        BPF_STMT(BPF_RET | BPF_K, FilterDrop),
    };
    AttachProgram(ASocket, Program);
}

// ICMPv6: the raw socket gets the message alone; a report quotes a fixed IPv6 header (our
// requests carry no extension headers) and then the request.
void FilterIdentifierIPv6(TNetSocketHandle& ASocket, uint16_t AIdentifier)
{
    const uint32_t Id = FilterIdentifier(AIdentifier);
    sock_filter Program[] = {
        BPF_STMT(BPF_LD | BPF_B | BPF_ABS, 0),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, Icmp6EchoReply, 0, 2),
        BPF_STMT(BPF_LD | BPF_H | BPF_ABS, 4),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, Id, 4, 5),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, Icmp6Unreachable, 1, 0),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, Icmp6TimeExceeded, 0, 3),
        BPF_STMT(BPF_LD | BPF_H | BPF_ABS, IcmpHeaderBytes + IPv6HeaderBytes + 4),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, Id, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, FilterPass),
        BPF_STMT(BPF_RET | BPF_K, FilterDrop),
    };
    AttachProgram(ASocket, Program);
}

// Room for the ancillary data a receive asks for: the time-to-live (hop limit), and an
// extended error with the address of the host that reported it.
union TControlBuffer {
    cmsghdr Align;
    char Bytes[CMSG_SPACE(sizeof(int)) + CMSG_SPACE(sizeof(sock_extended_err) + sizeof(sockaddr_in6))];
};

} // namespace

TNetIcmpClient::TNetIcmpClient(TComponent* AOwner)
    : TNetRawClient(AOwner)
{
    Protocol = IPPROTO_ICMP;
    FSequence = FirstSequence;
    ReceiveTimeout = 5000;
    FIdentifier = AcquireIdentifier(FOwnsIdentifier);
    // ReplyData is refilled from the receive buffer; with its room taken now that never
    // allocates.
    FReplyData.reserve(BufferBytes);
}

TNetIcmpClient::~TNetIcmpClient()
{
    LeaveShared();
    if (FOwnsIdentifier)
        ReleaseIdentifier(FIdentifier);
}

uint16_t TNetIcmpClient::AcquireIdentifier(bool& AOwned)
{
    TIdentifierTable& Table = Identifiers();
    // Read at every call, not kept: a forked child starts from an identifier of its own.
    const uint32_t Base = static_cast<uint32_t>(TNetIcmpShared::ProcessId()) & 0xFFFF;
    std::lock_guard<std::mutex> Guard(Table.Lock);
    for (uint32_t Tries = 0; Tries < 65536; ++Tries) {
        const uint16_t Identifier = static_cast<uint16_t>(Base + Table.Taken++ * IdentifierStride);
        if (!Table.Held[Identifier]) {
            Table.Held[Identifier] = true;
            AOwned = true;
            return Identifier;
        }
    }
    AOwned = false;
    return static_cast<uint16_t>(Base + Table.Taken++ * IdentifierStride);
}

void TNetIcmpClient::ReleaseIdentifier(uint16_t AIdentifier)
{
    TIdentifierTable& Table = Identifiers();
    std::lock_guard<std::mutex> Guard(Table.Lock);
    Table.Held[AIdentifier] = false;
}

uint32_t TNetIcmpClient::TickDiff(uint32_t AOld, uint32_t ANew)
{
    // Unsigned subtraction is modulo 2^32, which is the counter's own wrap.
    return ANew - AOld;
}

uint32_t TNetIcmpClient::TickCount()
{
    return GetTickCount();
}

// Opening an ICMP socket on Linux, and what each errno of socket() means there:
//   raw socket (SOCK_RAW, IPPROTO_ICMP):
//     EPERM            the process lacks CAP_NET_RAW in the network namespace's user
//                      namespace (not root, no file capability): try the datagram socket;
//     EACCES           a security module refused it: try the datagram socket;
//     EPROTONOSUPPORT, ESOCKTNOSUPPORT, EAFNOSUPPORT
//                      the kernel has no raw IPv4 sockets: no socket at all;
//     EMFILE, ENFILE   the process's or the system's descriptor limit is reached;
//     ENOBUFS, ENOMEM  the kernel is out of memory for sockets.
//   datagram socket (SOCK_DGRAM, IPPROTO_ICMP):
//     EACCES           none of the process's groups lies in net.ipv4.ping_group_range
//                      (its default "1 0" admits nobody);
//     EPROTONOSUPPORT  the kernel has no ICMP datagram sockets;
//     EMFILE, ENFILE, ENOBUFS, ENOMEM as above.
// Only a refusal for want of privilege (EPERM and EACCES both read 10013) is worth the
// second try; anything else, and a refused second try, raise "Cannot allocate socket.".
// ICMPv6 sockets (IPPROTO_ICMPV6) meet the same errno values with the same meanings.
void TNetIcmpClient::AllocateSocket(TNetSocketHandle& ASocket)
{
    FDatagramSocket = false;
    const int32_t On = 1;
    try {
        if (!FTargetIPv6) {
            TNetRawClient::AllocateSocket(ASocket);
            if (Protocol == IPPROTO_ICMP) {
                FilterTypesIPv4(ASocket);
                FilterIdentifierIPv4(ASocket, FIdentifier);
            }
            return;
        }
        ASocket.AllocateHandle(3, IPPROTO_ICMPV6, NetFamilyIPv6);
        try {
            // Every ICMPv6 message of the host reaches a raw socket; only these three can
            // answer a request, so the kernel may drop the rest (neighbour discovery, router
            // advertisements, ...) before they are queued.
            icmp6_filter Filter;
            ICMP6_FILTER_SETBLOCKALL(&Filter);
            ICMP6_FILTER_SETPASS(Icmp6EchoReply, &Filter);
            ICMP6_FILTER_SETPASS(Icmp6Unreachable, &Filter);
            ICMP6_FILTER_SETPASS(Icmp6TimeExceeded, &Filter);
            ASocket.SetOption(IPPROTO_ICMPV6, ICMP6_FILTER, &Filter, sizeof Filter);
            ASocket.SetOption(IPPROTO_IPV6, IPV6_RECVHOPLIMIT, &On, sizeof On);
            FilterIdentifierIPv6(ASocket, FIdentifier);
        } catch (...) {
            ASocket.ShutAndClose(true);
            throw;
        }
        return;
    } catch (const ENetInvalidSocket&) {
        if ((!FTargetIPv6 && Protocol != IPPROTO_ICMP)
            || GSocketStack->LastSocketError() != NetErrAccessDenied)
            throw;
    }
    if (FTargetIPv6)
        ASocket.AllocateHandle(2, IPPROTO_ICMPV6, NetFamilyIPv6);
    else
        ASocket.AllocateHandle(2, Protocol);
    try {
        // The time-to-live of each answer arrives beside it; ICMP errors about our request
        // (unreachable, time exceeded) are queued on the socket instead of being dropped.
        if (FTargetIPv6) {
            ASocket.SetOption(IPPROTO_IPV6, IPV6_RECVHOPLIMIT, &On, sizeof On);
            ASocket.SetOption(IPPROTO_IPV6, IPV6_RECVERR, &On, sizeof On);
        } else {
            ASocket.SetOption(IPPROTO_IP, IP_RECVTTL, &On, sizeof On);
            ASocket.SetOption(IPPROTO_IP, IP_RECVERR, &On, sizeof On);
        }
        // Binding makes the kernel choose the identifier now; it is the socket's "port".
        ASocket.IP.clear();
        ASocket.Port = 0;
        ASocket.Bind();
    } catch (...) {
        // Half set up, the socket would be taken as ready by the next exchange.
        ASocket.ShutAndClose(true);
        throw;
    }
    const uint16_t Ident = static_cast<uint16_t>(ASocket.Port);
    // On the wire the identifier stands most significant byte first.
    FSocketIdentifier = static_cast<uint16_t>(Ident >> 8 | Ident << 8);
    FDatagramSocket = true;
}

void TNetIcmpClient::Echo(const std::string& AText, uint16_t ASequence)
{
    // The shared socket is left on every way out, an exception's too.
    struct TLeave {
        TNetIcmpClient& Client;
        ~TLeave() { Client.LeaveShared(); }
    } Leave { *this };
    StartEcho(AText, ASequence);
    ReceiveEchoReply();
    FinishEcho();
}

bool TNetIcmpClient::StartEcho(const std::string& AText, uint16_t ASequence)
{
    if (ASequence != 0)
        FSequence = ASequence;
    BuildEchoRequest(AText);
    FEchoStart = TickCount();
    try {
        SendEchoRequest();
    } catch (...) {
        LeaveShared();
        throw;
    }
    return FSharedFd >= 0;
}

int TNetIcmpClient::EchoSocket() const
{
    return FSharedFd < 0 && FSocket->HasSocket ? FSocket->Handle : -1;
}

bool TNetIcmpClient::PollEcho()
{
    for (;;) {
        const int32_t Received = ReceiveIntoBuffer(0);
        if (Received == 0)
            return false;
        GSocketStack->CheckSocketResult(Received);
        TReplyStatus Status;
        if (DecodeReply(Received, Status)) {
            FReplyStatus = Status;
            return true;
        }
    }
}

void TNetIcmpClient::ExpireEcho()
{
    TReplyStatus Status;
    DecodeReply(0, Status);
    FReplyStatus = Status;
}

void TNetIcmpClient::FinishEcho()
{
    const uint32_t RoundTrip = TickDiff(FEchoStart, TickCount());
    LeaveShared();
    // Every exchange gets a fresh socket.
    FSocket->ShutAndClose(true);
    FReplyStatus.RoundTripMs = RoundTrip;
    if (OnReply)
        OnReply(this, FReplyStatus);
    ++FSequence;
}

void TNetIcmpClient::BuildEchoRequest(const std::string& AText)
{
    FRequestSize = EchoRequestBytes;
    std::memset(FRequestBuffer, 0, static_cast<size_t>(FRequestSize));
    FRequestBuffer[0] = IcmpEchoRequest;
    FRequestBuffer[1] = 0;
    WriteLE16(FRequestBuffer + 4, FIdentifier);
    WriteLE16(FRequestBuffer + 6, FSequence);
    WriteLE32(FRequestBuffer + 8, TickCount());
    for (int32_t I = 0; I < EchoDataBytes; ++I)
        FRequestBuffer[EchoDataOffset + I] = static_cast<size_t>(I) < AText.size()
            ? static_cast<uint8_t>(AText[static_cast<size_t>(I)])
            : 'E';
    WriteLE16(FRequestBuffer + 2, InternetChecksum(FRequestBuffer, FRequestSize));
}

void TNetIcmpClient::SendEchoRequest()
{
    // Resolved here rather than only inside SendDatagram: answers are matched against the
    // address, and a failed check names it. The dotted text passes SendDatagram's own
    // lookup unchanged.
    FTargetIP.clear();
    FTargetAddress.clear();
    const std::string Address = GSocketStack->LookupHost(Host);
    FTargetAddress = Address;
    if (TNetStack::AddressFamily(Address) == NetFamilyIPv6) {
        sockaddr_in6 Parsed {};
        // The zone stays in Address for the send; answers carry the address alone.
        if (inet_pton(AF_INET6, Address.substr(0, Address.find('%')).c_str(), &Parsed.sin6_addr) != 1)
            GSocketStack->ThrowSocketError(NetErrHostNotFound);
        uint8_t Bytes[16];
        std::memcpy(Bytes, &Parsed.sin6_addr, sizeof Bytes);
        SetTarget(Bytes);
        // The request was built in ICMP's form; ICMPv6 has a type of its own, and its sum
        // covers a pseudo-header that only the kernel knows in full, so the kernel writes it.
        FRequestBuffer[0] = Icmp6EchoRequest;
        FRequestBuffer[2] = FRequestBuffer[3] = 0;
    } else {
        const TNetAddressBytes Bytes = GSocketStack->StringToAddressBytes(Address);
        SetTarget({ Bytes[0], Bytes[1], Bytes[2], Bytes[3] });
    }
    // A socket left open by a failed exchange may be of the other family.
    if (FSocket->HasSocket && FSocket->Family != (FTargetIPv6 ? NetFamilyIPv6 : NetFamilyIPv4))
        FSocket->ShutAndClose(true);
    if (!SendShared(Address))
        SendDatagram(Address, Port, FRequestBuffer, FRequestSize);
}

bool TNetIcmpClient::SendShared(const std::string& AAddress)
{
    // A protocol or time-to-live of the caller's own needs a socket that carries it.
    if (Protocol != IPPROTO_ICMP || TTL != TNetIcmpShared::SocketTTL)
        return false;
    FWaiter.IPv6 = FTargetIPv6;
    FWaiter.Identifier = FIdentifier;
    FWaiter.Sequence = FSequence;
    // Without the privilege for a raw socket the exchange opens a datagram socket of its own.
    FSharedFd = TNetIcmpShared::Instance().Register(FWaiter);
    if (FSharedFd < 0)
        return false;
    const int32_t Sent = GSocketStack->SendDataTo(FSharedFd, FRequestBuffer, 0, FRequestSize, AAddress, Port);
    if (GSocketStack->CheckSocketResult(Sent, { NetErrMessageTooLong }))
        throw ENetPackageSizeTooBig(RSPackageSizeTooBig);
    if (Sent != FRequestSize)
        throw ENetNotAllBytesSent(RSNotAllBytesSent);
    return true;
}

void TNetIcmpClient::LeaveShared()
{
    if (FSharedFd < 0)
        return;
    TNetIcmpShared::Instance().Unregister(FWaiter);
    FSharedFd = -1;
}

int32_t TNetIcmpClient::ReceiveShared(int32_t ATimeout)
{
    static_assert(BufferBytes == TNetIcmpShared::DatagramBytes);
    FDatagram = TDatagramInfo {};
    return TNetIcmpShared::Instance().Receive(
        FWaiter, FRecvBuffer, FDatagram, ATimeout < 0 ? ReceiveTimeout : ATimeout);
}

void TNetIcmpClient::SetTarget(const uint8_t (&AAddress)[4])
{
    std::memset(FTarget, 0, sizeof FTarget);
    std::memcpy(FTarget, AAddress, sizeof AAddress);
    FTargetIPv6 = false;
    AssignDottedQuad(FTargetIP, FTarget);
}

void TNetIcmpClient::SetTarget(const uint8_t (&AAddress)[16])
{
    std::memcpy(FTarget, AAddress, sizeof FTarget);
    FTargetIPv6 = true;
    AssignIPv6(FTargetIP, FTarget);
}

void TNetIcmpClient::ReceiveEchoReply()
{
    TReplyStatus Status;
    WaitReply(ReceiveTimeout, Status);
    FReplyStatus = Status;
}

void TNetIcmpClient::WaitReply(int32_t ATimeout, TReplyStatus& AStatus)
{
    std::memset(FRecvBuffer, 0, sizeof FRecvBuffer);
    const uint32_t Start = TickCount();
    int32_t Remaining = ATimeout;
    do {
        const int32_t Received = ReceiveIntoBuffer(Remaining);
        GSocketStack->CheckSocketResult(Received);
        if (DecodeReply(Received, AStatus))
            return;
        // Not ours: wait on to the same deadline.
        Remaining = ATimeout - static_cast<int32_t>(TickDiff(Start, TickCount()));
    } while (Remaining > 0);
    // The deadline came right after a datagram that was not the answer: nothing answered in
    // time, whatever that datagram was.
    DecodeReply(0, AStatus);
}

int32_t TNetIcmpClient::QuotedEchoOffset(int32_t AQuote, int32_t AByteCount) const
{
    if (AQuote + IPHeaderBytes > AByteCount)
        return -1;
    const uint8_t* Quote = FRecvBuffer + AQuote;
    // The quoted header has a length of its own, whatever the outer header's is (and the
    // datagram socket's messages have no outer header at all).
    const int32_t Length = (Quote[0] & 0x0F) * 4;
    if ((Quote[0] >> 4) != 4 || Length < IPHeaderBytes || Quote[9] != IPPROTO_ICMP
        || std::memcmp(Quote + 16, FTarget, 4) != 0)
        return -1;
    const int32_t Echo = AQuote + Length;
    if (Echo + IcmpHeaderBytes > AByteCount || FRecvBuffer[Echo] != IcmpEchoRequest)
        return -1;
    return Echo;
}

int32_t TNetIcmpClient::QuotedEchoOffsetIPv6(int32_t AQuote, int32_t AByteCount) const
{
    if (AQuote + IPv6HeaderBytes > AByteCount)
        return -1;
    const uint8_t* Quote = FRecvBuffer + AQuote;
    // Our requests carry no extension headers: the echo request follows the fixed header.
    if ((Quote[0] >> 4) != 6 || Quote[6] != IPPROTO_ICMPV6 || std::memcmp(Quote + 24, FTarget, 16) != 0)
        return -1;
    const int32_t Echo = AQuote + IPv6HeaderBytes;
    if (Echo + IcmpHeaderBytes > AByteCount || FRecvBuffer[Echo] != Icmp6EchoRequest)
        return -1;
    return Echo;
}

bool TNetIcmpClient::DecodeReply(int32_t AByteCount, TReplyStatus& AStatus)
{
    if (AByteCount == 0) {
        RecordTimeOut(AStatus);
        return true;
    }
    const int32_t Header = MessageOffset(AByteCount);
    if (Header < 0)
        return false;
    TEchoOutcome Outcome;
    const int32_t Echo = AnsweredEcho(Header, AByteCount, Outcome);
    if (Echo < 0)
        return false;
    // Both numbers: other checks of this process and other programs pinging the same host
    // count their sequences from the same start, and the raw socket sees their answers too.
    const uint16_t Sequence = ReadLE16(FRecvBuffer + Echo + 6);
    if (ReadLE16(FRecvBuffer + Echo + 4) != Identifier() || Sequence != FSequence)
        return false;
    RecordAnswer(Header, AByteCount, Outcome, Sequence, AStatus);
    return true;
}

void TNetIcmpClient::RecordTimeOut(TReplyStatus& AStatus) const
{
    AStatus.ByteCount = 0;
    AStatus.SourceIP.assign(FTargetIPv6 ? "::" : "0.0.0.0");
    AStatus.IcmpType = 0;
    AStatus.SequenceNumber = FSequence;
    AStatus.ReplyTTL = 0;
    AStatus.Outcome = eoTimedOut;
}

int32_t TNetIcmpClient::MessageOffset(int32_t AByteCount) const
{
    int32_t Header = 0;
    if (FDatagram.HasIPHeader && !FTargetIPv6) {
        Header = (FRecvBuffer[0] & 0x0F) * 4;
        if (Header < IPHeaderBytes)
            return -1;
    }
    // Too short to carry an identifier and a sequence, or damaged on the way: nobody's
    // answer. A datagram cut at the end of the buffer fails the checksum too.
    if (Header + IcmpHeaderBytes > AByteCount
        || (!FTargetIPv6 && InternetChecksum(FRecvBuffer + Header, AByteCount - Header) != 0))
        return -1;
    return Header;
}

const uint8_t* TNetIcmpClient::SenderOf(int32_t AHeader) const
{
    return AHeader > 0 ? FRecvBuffer + 12 : FDatagram.Source;
}

int32_t TNetIcmpClient::AnsweredEcho(int32_t AHeader, int32_t AByteCount, TEchoOutcome& AOutcome) const
{
    const uint8_t Type = FRecvBuffer[AHeader];
    if (FTargetIPv6) {
        switch (Type) {
        case Icmp6EchoReply:
            AOutcome = eoEchoReply;
            return std::memcmp(SenderOf(AHeader), FTarget, 16) == 0 ? 0 : -1;
        case Icmp6Unreachable:
        case Icmp6TimeExceeded:
            AOutcome = Type == Icmp6Unreachable ? eoUnreachable : eoTTLExpired;
            return QuotedEchoOffsetIPv6(IcmpHeaderBytes, AByteCount);
        default:
            return -1;
        }
    }
    switch (Type) {
    case IcmpEchoReply:
        AOutcome = eoEchoReply;
        return std::memcmp(SenderOf(AHeader), FTarget, 4) == 0 ? AHeader : -1;
    case IcmpUnreachable:
    case IcmpTimeExceeded:
        // Any router on the way may report; what counts is whose request it quotes.
        AOutcome = Type == IcmpUnreachable ? eoUnreachable : eoTTLExpired;
        return QuotedEchoOffset(AHeader + IcmpHeaderBytes, AByteCount);
    default:
        // Requests (our own on the loopback, other hosts' pings), redirects, timestamps,
        // router advertisements, ...: nothing said about our request.
        return -1;
    }
}

void TNetIcmpClient::RecordAnswer(
    int32_t AHeader, int32_t AByteCount, TEchoOutcome AOutcome, uint16_t ASequence, TReplyStatus& AStatus)
{
    if (AOutcome == eoEchoReply)
        FReplyData.assign(reinterpret_cast<const char*>(FRecvBuffer) + AHeader + EchoDataOffset,
            static_cast<size_t>(BufferBytes - AHeader - EchoDataOffset));
    AStatus.Outcome = AOutcome;
    AStatus.ByteCount = AByteCount;
    if (FTargetIPv6)
        AssignIPv6(AStatus.SourceIP, SenderOf(AHeader));
    else
        AssignDottedQuad(AStatus.SourceIP, SenderOf(AHeader));
    AStatus.IcmpType = FRecvBuffer[AHeader];
    AStatus.SequenceNumber = ASequence;
    AStatus.ReplyTTL = AHeader > 0 ? FRecvBuffer[8] : FDatagram.TTL;
}

int32_t TNetIcmpClient::ReceiveIntoBuffer(int32_t ATimeout)
{
    if (FSharedFd >= 0)
        return ReceiveShared(ATimeout);
    if (FDatagramSocket || FTargetIPv6)
        return ReceiveMessage(ATimeout);
    FDatagram = TDatagramInfo {};
    return ReceiveDatagram(FRecvBuffer, BufferBytes, ATimeout);
}

int32_t TNetIcmpClient::ReceiveMessage(int32_t ATimeout)
{
    if (ATimeout < 0)
        ATimeout = ReceiveTimeout;
    const uint32_t Start = TickCount();
    int32_t Remaining = ATimeout;
    for (;;) {
        TNetSocketHandle& Socket = RawSocket();
        if (!Socket.WaitReadable(Remaining))
            return 0;
        sockaddr_storage From {};
        TControlBuffer Control;
        iovec Io { FRecvBuffer, sizeof FRecvBuffer };
        msghdr Message {};
        Message.msg_name = &From;
        Message.msg_namelen = sizeof From;
        Message.msg_iov = &Io;
        Message.msg_iovlen = 1;
        Message.msg_control = Control.Bytes;
        Message.msg_controllen = sizeof Control.Bytes;
        const ssize_t Received = Restarting([&] { return ::recvmsg(Socket.Handle, &Message, MSG_DONTWAIT); });
        if (Received >= 0) {
            FDatagram = TDatagramInfo {};
            FDatagram.HasIPHeader = false;
            if (From.ss_family == AF_INET6)
                std::memcpy(FDatagram.Source, &reinterpret_cast<const sockaddr_in6&>(From).sin6_addr, 16);
            else
                std::memcpy(FDatagram.Source, &reinterpret_cast<const sockaddr_in&>(From).sin_addr, 4);
            for (cmsghdr* C = CMSG_FIRSTHDR(&Message); C; C = CMSG_NXTHDR(&Message, C)) {
                if ((C->cmsg_level == IPPROTO_IP && C->cmsg_type == IP_TTL)
                    || (C->cmsg_level == IPPROTO_IPV6 && C->cmsg_type == IPV6_HOPLIMIT)) {
                    int Value = 0;
                    std::memcpy(&Value, CMSG_DATA(C), sizeof Value);
                    FDatagram.TTL = static_cast<uint8_t>(Value);
                }
            }
            return static_cast<int32_t>(Received);
        }
        const int Failed = errno;
        // An ICMP error about our request makes the receive fail with its errno once; the
        // message itself waits in the socket's error queue.
        const int32_t Queued = ReadErrorQueue(Socket.Handle);
        if (Queued > 0)
            return Queued;
        if (Failed != EAGAIN)
            ThrowReceiveError(Failed);
        // Woken without anything to read: wait on with what is left.
        Remaining = ATimeout - static_cast<int32_t>(TickDiff(Start, TickCount()));
        if (Remaining <= 0)
            return 0;
    }
}

// Rebuilds the ICMP error message the kernel reported, in the form without an outer IP
// header: type and code, four unused bytes, a quoted IP header addressed to the original
// destination, then the quoted request as the kernel kept it. The decoder then treats it as
// any error message. 0 when the queue holds no ICMP error.
int32_t TNetIcmpClient::ReadErrorQueue(int ASocket)
{
    const bool V6 = FTargetIPv6;
    const int32_t QuoteAt = IcmpHeaderBytes + (V6 ? IPv6HeaderBytes : IPHeaderBytes);
    uint8_t* const Quoted = FRecvBuffer + QuoteAt;
    sockaddr_storage Target {};
    TControlBuffer Control;
    iovec Io { Quoted, sizeof FRecvBuffer - static_cast<size_t>(QuoteAt) };
    msghdr Message {};
    Message.msg_name = &Target;
    Message.msg_namelen = sizeof Target;
    Message.msg_iov = &Io;
    Message.msg_iovlen = 1;
    Message.msg_control = Control.Bytes;
    Message.msg_controllen = sizeof Control.Bytes;
    const ssize_t Received
        = Restarting([&] { return ::recvmsg(ASocket, &Message, MSG_ERRQUEUE | MSG_DONTWAIT); });
    if (Received < 0)
        return 0;
    const int Level = V6 ? IPPROTO_IPV6 : IPPROTO_IP;
    bool FromIcmp = false;
    TDatagramInfo Info;
    Info.HasIPHeader = false;
    uint8_t Type = 0;
    uint8_t Code = 0;
    for (cmsghdr* C = CMSG_FIRSTHDR(&Message); C; C = CMSG_NXTHDR(&Message, C)) {
        if (C->cmsg_level != Level)
            continue;
        if (C->cmsg_type == (V6 ? IPV6_RECVERR : IP_RECVERR)) {
            sock_extended_err Error;
            std::memcpy(&Error, CMSG_DATA(C), sizeof Error);
            if (Error.ee_origin != (V6 ? SO_EE_ORIGIN_ICMP6 : SO_EE_ORIGIN_ICMP))
                continue;
            FromIcmp = true;
            Type = Error.ee_type;
            Code = Error.ee_code;
            if (V6) {
                sockaddr_in6 Offender;
                std::memcpy(&Offender, CMSG_DATA(C) + sizeof Error, sizeof Offender);
                std::memcpy(Info.Source, &Offender.sin6_addr, 16);
            } else {
                sockaddr_in Offender;
                std::memcpy(&Offender, CMSG_DATA(C) + sizeof Error, sizeof Offender);
                std::memcpy(Info.Source, &Offender.sin_addr, 4);
            }
        } else if (C->cmsg_type == (V6 ? IPV6_HOPLIMIT : IP_TTL)) {
            int Value = 0;
            std::memcpy(&Value, CMSG_DATA(C), sizeof Value);
            Info.TTL = static_cast<uint8_t>(Value);
        }
    }
    if (!FromIcmp)
        return 0;
    const int32_t Size = QuoteAt + static_cast<int32_t>(Received);
    std::memset(FRecvBuffer, 0, static_cast<size_t>(QuoteAt));
    FRecvBuffer[0] = Type;
    FRecvBuffer[1] = Code;
    uint8_t* const Header = FRecvBuffer + IcmpHeaderBytes;
    if (V6) {
        Header[0] = 0x60;
        Header[4] = static_cast<uint8_t>(Received >> 8);
        Header[5] = static_cast<uint8_t>(Received);
        Header[6] = IPPROTO_ICMPV6;
        std::memcpy(Header + 24, &reinterpret_cast<const sockaddr_in6&>(Target).sin6_addr, 16);
        // Nothing to sum: ICMPv6 messages are not checked here (the kernel did).
        FDatagram = Info;
        return Size;
    }
    Header[0] = 0x45;
    const int32_t Total = IPHeaderBytes + static_cast<int32_t>(Received);
    Header[2] = static_cast<uint8_t>(Total >> 8);
    Header[3] = static_cast<uint8_t>(Total);
    Header[9] = IPPROTO_ICMP;
    std::memcpy(Header + 16, &reinterpret_cast<const sockaddr_in&>(Target).sin_addr, 4);
    // The kernel checked the message it came in; the rebuilt one must pass the same test.
    WriteLE16(FRecvBuffer + 2, InternetChecksum(FRecvBuffer, Size));
    FDatagram = Info;
    return Size;
}
