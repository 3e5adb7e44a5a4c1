// One ICMP echo request and the wait for its answer. Each Echo opens its own socket, sends a
// 52-byte request, waits up to ReceiveTimeout ms for the datagram that answers it and leaves
// the outcome in ReplyStatus.
//
// The socket: a raw ICMP socket where the process may open one (root or CAP_NET_RAW), and
// otherwise the unprivileged ICMP datagram socket, which Linux grants to the groups in
// net.ipv4.ping_group_range. The raw socket hands over whole IP datagrams; the datagram
// socket hands over the ICMP message alone and chooses the request's identifier itself.
// Both forms are decoded.
#pragma once

#include "net/icmp/NetRawClient.h"

#include <cstdint>
#include <functional>
#include <string>

inline constexpr const char* RSIcmpNotEnoughBytes = "Not enough bytes received";
inline constexpr const char* RSIcmpNonEchoType = "Non-echo type response received";

// eoError only passes while a datagram is decoded; a completed exchange never leaves it.
enum TEchoOutcome : uint8_t { eoEchoReply, eoError, eoTimedOut, eoUnreachable, eoTTLExpired };

struct TReplyStatus {
    // Size of the answering datagram as received (0 on time-out). The raw socket counts the
    // IP header; the datagram socket never sees it, so there it is the ICMP message alone.
    int32_t ByteCount = 0;
    // Sender of the answer, dotted; "0.0.0.0" on time-out.
    std::string SourceIP;
    uint8_t IcmpType = 0;
    // The sequence found in the answer; the request's own on time-out.
    uint16_t SequenceNumber = 0;
    // From just before sending to the end of the wait.
    uint32_t RoundTripMs = 0;
    // Time-to-live the answer arrived with; 0 on time-out.
    uint8_t ReplyTTL = 0;
    TEchoOutcome Outcome = eoEchoReply;
};

using TOnReplyEvent = std::function<void(TComponent* ASender, const TReplyStatus& AReplyStatus)>;

class TNetIcmpClient : public TNetRawClient {
public:
    static constexpr int32_t BufferBytes = 1024;
    static constexpr uint16_t FirstSequence = 3489;

    // Protocol 1 (ICMP), ReceiveTimeout 5000 ms, Sequence 3489.
    explicit TNetIcmpClient(TComponent* AOwner = nullptr);

    // One exchange with Host. A non-zero ASequence replaces Sequence first. On success the
    // socket is closed, OnReply is called and Sequence advances by one (16-bit wrap). An
    // exception (host not found, no socket, send or receive error, a short or foreign ICMP
    // answer) leaves at once: ReplyStatus keeps the previous exchange, Sequence stays, and a
    // socket already open stays open for the next Echo.
    void Echo(const std::string& AText, uint16_t ASequence = 0);

    // Milliseconds from AOld to ANew on the wrapping 32-bit tick count.
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
    // significant first: the process id's low 16 bits on the raw socket, the kernel's
    // choice on the datagram socket.
    uint16_t Identifier() const { return FDatagramSocket ? FSocketIdentifier : FIdentifier; }

    TOnReplyEvent OnReply;

protected:
    // Where the datagram in RecvBuffer came from. With an IP header the decoder reads the
    // sender and the time-to-live from it; without one they are given here.
    struct TDatagramInfo {
        bool HasIPHeader = true;
        uint8_t Source[4] = {};
        uint8_t TTL = 0;
    };

    // Raw socket first; the datagram socket when the raw one is refused for want of privilege.
    void AllocateSocket(TNetSocketHandle& ASocket) override;

    // Fills RequestBuffer: type 8, code 0, identifier, sequence and tick count (least
    // significant byte first), 32 data bytes from AText padded with "E", checksum.
    void BuildEchoRequest(const std::string& AText);
    // Sends the request to Host:Port.
    virtual void SendEchoRequest();
    // Waits ReceiveTimeout ms for the answer and copies its record to ReplyStatus.
    void ReceiveEchoReply();
    // Receives until a datagram answers the request or the budget is spent. The budget
    // shrinks by the whole time since the start after every datagram that is not the
    // answer; when it runs out that way, the wait ends as a time-out.
    void WaitReply(int32_t ATimeout, TReplyStatus& AStatus);
    // True when the AByteCount bytes in RecvBuffer end the wait (AByteCount 0: time-out) and
    // AStatus then holds the outcome; false for a datagram that does not answer our request.
    // Raises ENetIcmpException for a datagram too short to decode or of a foreign type.
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
    int32_t FRequestSize = 0;
    bool FDatagramSocket = false;
    TReplyStatus FReplyStatus;
    std::string FReplyData;

private:
    int32_t ReceiveFromDatagramSocket(int32_t ATimeout);
    int32_t ReadErrorQueue(int ASocket);
    // Offset of the echo request quoted by an error message whose quote starts at AQuote;
    // -1 when the quote is not of an ICMP echo request or too short to hold its header.
    int32_t QuotedEchoOffset(int32_t AQuote, int32_t AByteCount) const;
};
