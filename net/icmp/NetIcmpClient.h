// One ICMP echo request and the wait for its answer. Each Echo sends a 52-byte request,
// waits up to ReceiveTimeout ms for the datagram that answers it and leaves the outcome in
// ReplyStatus.
//
// The socket: a raw ICMP socket where the process may open one (root or CAP_NET_RAW), and
// otherwise the unprivileged ICMP datagram socket, which Linux grants to the groups in
// net.ipv4.ping_group_range. The raw socket is the process's shared one of the target's
// family (NetIcmpShared.h), which hands the client only datagrams carrying its identifier and
// sequence; an exchange with a Protocol or TTL of the caller's own opens a raw socket of its
// own instead, and so does each exchange on the datagram socket. The raw socket hands over whole IP
// datagrams; the datagram socket hands over the ICMP message alone and chooses the request's identifier
// itself. Both forms are decoded.
//
// IPv6. A target that is an IPv6 address (a literal, or a name whose first address in the
// resolver's order is one) is pinged with ICMPv6: echo request 128, reply 129, errors 1
// (destination unreachable) and 3 (time exceeded) quoting an IPv6 header. The same two socket
// kinds are tried in the same order (raw, then the datagram socket that
// net.ipv4.ping_group_range grants for both families). Both hand over the ICMPv6 message
// alone, the sender and hop limit beside it; the kernel sums every ICMPv6 message it sends
// and drops every one whose sum is wrong before any socket sees it, so the client neither
// sums nor checks. The raw socket is filtered to the three types that can answer.
//
// Which datagram answers a request. Every raw ICMP socket of the host receives a copy of
// every ICMP datagram that arrives, so the raw socket sees the answers to other checks, other
// programs' pings, requests, redirects and whatever else is about. A datagram ends the wait
// only when all of these hold:
//   - its ICMP checksum verifies (the kernel drops a bad one before a datagram socket or
//     any ICMPv6 socket sees it; the raw IPv4 socket gets it as it came);
//   - it is an echo reply from the address the request went to, or a destination-unreachable
//     or time-exceeded report, from anyone, quoting an echo request to that address;
//   - the reply, or the quoted request, carries this client's identifier and sequence.
// Everything else is skipped and the wait goes on to the same deadline: ReceiveTimeout ms
// after the send, however many datagrams are skipped on the way. What reaches the client was
// sorted before (on the shared socket by identifier and sequence; on a raw socket of its own
// by kernel filters by type and identifier, attached before the send), but never by anything
// these rules could take.
//
// Threads. Checks may run side by side on worker threads, each with a client of its own; one
// client is never used from two threads at once. A client's buffers, socket and numbers are
// its own. What clients share: GSocketStack (its own lock guards its life; what it keeps per
// call is per thread or atomic), and the table of identifiers (AcquireIdentifier), under its own lock. The
// identifier/sequence pair is what keeps concurrent checks apart on the raw socket, so every
// client holds an identifier no other living client of the process holds: taken in the
// constructor, given back by the destructor. On the datagram socket the kernel chooses the
// identifier per socket and hands each socket only the answers carrying its own.
#pragma once

#include "net/icmp/NetIcmpShared.h"
#include "net/icmp/NetRawClient.h"

#include <cstdint>
#include <functional>
#include <string>

// eoError only passes while a datagram is decoded; a completed exchange never leaves it.
enum TEchoOutcome : uint8_t { eoEchoReply, eoError, eoTimedOut, eoUnreachable, eoTTLExpired };

struct TReplyStatus {
    // Size of the answering datagram as received (0 on time-out). The raw socket counts the
    // IP header; the datagram socket never sees it, so there it is the ICMP message alone.
    int32_t ByteCount = 0;
    // Sender of the answer, dotted or IPv6 text; "0.0.0.0" on time-out ("::" for IPv6).
    std::string SourceIP;
    uint8_t IcmpType = 0;
    // The sequence found in the answer; the request's own on time-out.
    uint16_t SequenceNumber = 0;
    // From just before sending to the end of the wait.
    uint32_t RoundTripMs = 0;
    // Time-to-live (IPv6: hop limit) the answer arrived with; 0 on time-out.
    uint8_t ReplyTTL = 0;
    TEchoOutcome Outcome = eoEchoReply;
};

using TOnReplyEvent = std::function<void(TComponent* ASender, const TReplyStatus& AReplyStatus)>;

class TNetIcmpClient : public TNetRawClient {
public:
    static constexpr int32_t BufferBytes = 1024;
    static constexpr uint16_t FirstSequence = 3489;

    // Protocol 1 (ICMP), ReceiveTimeout 5000 ms, Sequence 3489, an identifier of its own.
    explicit TNetIcmpClient(TComponent* AOwner = nullptr);
    ~TNetIcmpClient() override;

    // One exchange with Host. A non-zero ASequence replaces Sequence first. On success the
    // socket is closed, OnReply is called and Sequence advances by one (16-bit wrap). An
    // exception (host not found, no socket, send or receive error) leaves at once:
    // ReplyStatus keeps the previous exchange, Sequence stays, and a socket already open
    // stays open for the next Echo.
    void Echo(const std::string& AText, uint16_t ASequence = 0);

    // Echo in steps, for a caller that waits for the answer elsewhere (TNetIcmpShared::Park):
    // StartEcho builds and sends the request (raising as Echo does, with nothing left
    // registered) and says whether it went over the process's shared socket; otherwise
    // EchoSocket is the socket of its own that the answer comes to. PollEcho looks, without
    // waiting, at what has come for it: true when it answered, and ReplyStatus holds the
    // answer. ExpireEcho records a time-out instead. WaitEcho waits for the answer here, as
    // Echo does. FinishEcho ends the exchange as Echo does (round trip, socket, OnReply,
    // Sequence).
    bool StartEcho(const std::string& AText, uint16_t ASequence = 0);
    bool PollEcho();
    void WaitEcho() { ReceiveEchoReply(); }
    int EchoSocket() const;
    void ExpireEcho();
    void FinishEcho();
    // What the exchange waits for on the shared socket.
    TNetIcmpShared::TWaiter& SharedWaiter() { return FWaiter; }

    // Milliseconds from AOld to ANew on the wrapping 32-bit tick count (modulo 2^32).
    static uint32_t TickDiff(uint32_t AOld, uint32_t ANew);

    const TReplyStatus& ReplyStatus() const { return FReplyStatus; }
    // Data part of the last echo reply decoded: from its 20th ICMP byte to the end of the
    // receive buffer (the received bytes, then the zeros behind them).
    const std::string& ReplyData() const { return FReplyData; }
    uint16_t Sequence() const { return FSequence; }
    int32_t RequestSize() const { return FRequestSize; }
    const uint8_t* RequestBuffer() const { return FRequestBuffer; }
    // True while the open socket is the unprivileged datagram kind.
    bool DatagramSocket() const { return FDatagramSocket; }
    // The identifier answers must carry, as the two bytes at offsets 4-5 read least
    // significant first: the client's own on the raw socket (see AcquireIdentifier), the
    // kernel's choice on the datagram socket.
    uint16_t Identifier() const { return FDatagramSocket ? FSocketIdentifier : FIdentifier; }
    // The address the last Echo sent its request to (or failed sending it to), dotted or
    // IPv6 text; empty when Host did not resolve. Answers must come from it.
    const std::string& TargetIP() const { return FTargetIP; }
    // The address as the last Echo sent to it (a zone included): what a later request can be
    // sent to without looking Host up again. Empty when Host did not resolve.
    const std::string& TargetAddress() const { return FTargetAddress; }
    // True while the target is an IPv6 address.
    bool TargetIPv6() const { return FTargetIPv6; }

    // An identifier for the raw socket's requests that no other living client of the
    // process holds, and its release. The n-th one taken is the process id's low 16 bits
    // plus n times an odd stride, skipping those still held: so a process's first client
    // sends its process id, and two processes whose ids lie close together do not walk
    // through the same values one step apart. Only when all 65536 are held does a
    // client share one (AOwned false, and nothing is released).
    static uint16_t AcquireIdentifier(bool& AOwned);
    static void ReleaseIdentifier(uint16_t AIdentifier);

    TOnReplyEvent OnReply;

protected:
    // Where the datagram in RecvBuffer came from. With an IP header the decoder reads the
    // sender and the time-to-live from it; without one they are given here.
    using TDatagramInfo = TNetIcmpShared::TOrigin;

    // Raw socket first; the datagram socket when the raw one is refused for want of privilege.
    void AllocateSocket(TNetSocketHandle& ASocket) override;

    // Fills RequestBuffer: type 8, code 0, identifier, sequence and tick count (least
    // significant byte first), 32 data bytes from AText padded with "E", checksum.
    void BuildEchoRequest(const std::string& AText);
    // Resolves Host, notes the address as the target, and sends the request to it.
    virtual void SendEchoRequest();
    // The address answers must come from (tests that script the socket set it here).
    void SetTarget(const uint8_t (&AAddress)[4]);
    void SetTarget(const uint8_t (&AAddress)[16]);
    // Waits ReceiveTimeout ms for the answer and copies its record to ReplyStatus.
    void ReceiveEchoReply();
    // Receives until a datagram answers the request or ATimeout ms have passed since the
    // call (one deadline: each receive waits what is left of it); a wait that reaches the
    // deadline without the answer ends as a time-out.
    void WaitReply(int32_t ATimeout, TReplyStatus& AStatus);
    // True when the AByteCount bytes in RecvBuffer end the wait (AByteCount 0: time-out) and
    // AStatus then holds the outcome; false, with AStatus's fields untouched, for any
    // datagram that does not answer our request (see the rules at the top).
    bool DecodeReply(int32_t AByteCount, TReplyStatus& AStatus);

    // One datagram into RecvBuffer within ATimeout ms, described in FDatagram: its size, 0
    // when none came, -1 (unchecked, the error recorded) when receiving failed.
    virtual int32_t ReceiveIntoBuffer(int32_t ATimeout);
    // The millisecond tick count every timing of the client reads.
    virtual uint32_t TickCount();

    uint8_t FRecvBuffer[BufferBytes] = {};
    uint8_t FRequestBuffer[BufferBytes] = {};
    TDatagramInfo FDatagram;
    uint16_t FSequence = FirstSequence;
    // Written into the request; replaced on the wire by FSocketIdentifier on a datagram socket.
    uint16_t FIdentifier = 0;
    uint16_t FSocketIdentifier = 0;
    uint8_t FTarget[16] = {}; // the first four bytes for an IPv4 target
    bool FTargetIPv6 = false;
    std::string FTargetIP;
    std::string FTargetAddress;
    int32_t FRequestSize = 0;
    bool FDatagramSocket = false;
    TReplyStatus FReplyStatus;
    std::string FReplyData;

private:
    bool FOwnsIdentifier = false;
    // While an exchange runs over the process's shared raw socket: that socket, and what this
    // client waits for on it (see NetIcmpShared.h). -1 when the exchange has a socket of its own.
    int FSharedFd = -1;
    TNetIcmpShared::TWaiter FWaiter;
    // The tick count just before the request went out.
    uint32_t FEchoStart = 0;

    // The shared raw socket when it serves this exchange (registered, so that nothing sent to
    // us is lost before we wait); false when the exchange needs a socket of its own.
    bool SendShared(const std::string& AAddress);
    void LeaveShared();
    int32_t ReceiveShared(int32_t ATimeout);

    // Every socket that hands over the message alone: the datagram sockets, the raw ICMPv6 one.
    int32_t ReceiveMessage(int32_t ATimeout);
    int32_t ReadErrorQueue(int ASocket);
    // Offset of the echo request quoted by an error message whose quote starts at AQuote;
    // -1 when the quote is not of an ICMP echo request to the target or too short to hold
    // its header.
    int32_t QuotedEchoOffset(int32_t AQuote, int32_t AByteCount) const;
    int32_t QuotedEchoOffsetIPv6(int32_t AQuote, int32_t AByteCount) const;

    // The phases of DecodeReply. What a wait that ran out leaves in AStatus.
    void RecordTimeOut(TReplyStatus& AStatus) const;
    // Where the ICMP message in RecvBuffer starts; -1 when it is too short or damaged.
    int32_t MessageOffset(int32_t AByteCount) const;
    // The sender of the datagram: from its IP header, or as the socket told it.
    const uint8_t* SenderOf(int32_t AHeader) const;
    // Where the echo message the datagram answers stands (the reply itself, or the request a
    // report quotes), with the outcome the datagram means; -1 when it says nothing about a
    // request of ours to the target.
    int32_t AnsweredEcho(int32_t AHeader, int32_t AByteCount, TEchoOutcome& AOutcome) const;
    // The answer's record, and the reply data of an echo reply.
    void RecordAnswer(int32_t AHeader, int32_t AByteCount, TEchoOutcome AOutcome, uint16_t ASequence,
        TReplyStatus& AStatus);
};
