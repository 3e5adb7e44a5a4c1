#include "net/icmp/IcmpTestSupport.h"
#include "net/icmp/NetIcmpClient.h"
#include "net/stack/NetStack.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <deque>
#include <functional>
#include <unistd.h>

using namespace icmptest;

namespace {

const uint8_t Here[4] = { 127, 0, 0, 1 };
const uint8_t Reporter[4] = { 127, 0, 0, 2 };
const uint8_t Peer[4] = { 127, 0, 0, 9 };

uint16_t OwnIdentifier()
{
    return static_cast<uint16_t>(getpid() & 0xFFFF);
}

// The client with its socket replaced by a script of datagrams and its tick count by a
// clock that only the script moves.
class TScriptedClient : public TNetIcmpClient {
public:
    struct TDatagram {
        TBytes Bytes;
        bool HasIPHeader = true;
        uint32_t AfterMs = 0; // how long the wait took before it arrived
        uint8_t Source[4] = {};
        uint8_t TTL = 0;
        bool Fail = false; // the receive fails instead
    };

    using TNetIcmpClient::BuildEchoRequest;
    using TNetIcmpClient::DecodeReply;
    using TNetIcmpClient::WaitReply;

    void Add(const TBytes& ABytes, uint32_t AAfterMs = 0)
    {
        TDatagram D;
        D.Bytes = ABytes;
        D.AfterMs = AAfterMs;
        Script.push_back(D);
    }
    // The form without an IP header, with the sender and time-to-live the socket told.
    void AddBare(
        const TBytes& ABytes, uint32_t AAfterMs = 0, const uint8_t (&ASource)[4] = Peer, uint8_t ATTL = 0)
    {
        TDatagram D;
        D.Bytes = ABytes;
        D.HasIPHeader = false;
        D.AfterMs = AAfterMs;
        std::memcpy(D.Source, ASource, 4);
        D.TTL = ATTL;
        Script.push_back(D);
    }
    void UseDatagramSocket(uint16_t AKernelIdentifier)
    {
        FDatagramSocket = true;
        FSocketIdentifier = AKernelIdentifier;
    }
    // Loads one datagram into the receive buffer, as a receive would, for DecodeReply.
    int32_t Load(
        const TBytes& ABytes, bool AHasIPHeader = true, const uint8_t (&ASource)[4] = Peer, uint8_t ATTL = 0)
    {
        std::memset(FRecvBuffer, 0, sizeof FRecvBuffer);
        std::memcpy(FRecvBuffer, ABytes.data(), ABytes.size());
        FDatagram = TDatagramInfo {};
        FDatagram.HasIPHeader = AHasIPHeader;
        std::memcpy(FDatagram.Source, ASource, 4);
        FDatagram.TTL = ATTL;
        return static_cast<int32_t>(ABytes.size());
    }
    TBytes Request() const { return TBytes(RequestBuffer(), RequestBuffer() + RequestSize()); }

    std::deque<TDatagram> Script;
    std::vector<int32_t> Timeouts; // the time-out of each receive
    std::vector<TBytes> Sent;
    uint32_t Clock = 1000;

protected:
    void SendEchoRequest() override { Sent.push_back(Request()); }
    uint32_t TickCount() override { return Clock; }
    int32_t ReceiveIntoBuffer(int32_t ATimeout) override
    {
        Timeouts.push_back(ATimeout);
        if (Script.empty()) {
            Clock += static_cast<uint32_t>(ATimeout);
            return 0;
        }
        TDatagram D = Script.front();
        Script.pop_front();
        Clock += D.AfterMs;
        if (D.Fail) // a real failed call, so the stack records a real error
            return GSocketStack->ReceiveData(-1, FRecvBuffer, 0, 1);
        std::memcpy(FRecvBuffer, D.Bytes.data(), D.Bytes.size());
        FDatagram = TDatagramInfo {};
        FDatagram.HasIPHeader = D.HasIPHeader;
        std::memcpy(FDatagram.Source, D.Source, 4);
        FDatagram.TTL = D.TTL;
        return static_cast<int32_t>(D.Bytes.size());
    }
};

// A reply to the client's current request, raw form (from 127.0.0.9 with time-to-live 61).
TBytes RawReply(const TScriptedClient& AClient, int AOptions = 0)
{
    return IPPacket(Peer, Here, 61, EchoMessage(0, AClient.Identifier(), AClient.Sequence()), AOptions);
}

// The client's request as it went out on the wire, for quoting in error messages (on the
// datagram socket the kernel has put its own identifier in).
TBytes SentRequest(const TScriptedClient& AClient)
{
    TBytes Request = AClient.Request();
    Request[4] = static_cast<uint8_t>(AClient.Identifier());
    Request[5] = static_cast<uint8_t>(AClient.Identifier() >> 8);
    return IPPacket(Here, Peer, 128, Request);
}

template <class E, class F> std::string Raised(F AFunc)
{
    try {
        AFunc();
    } catch (const E& Error) {
        return Error.what();
    }
    return "(nothing raised)";
}

// ---------------------------------------------------------------------------------------
// The request

TEST(IcmpRequest, BytesOfTheRequest)
{
    TScriptedClient C;
    C.Clock = 0x12345678;
    C.BuildEchoRequest("PingMonitor");
    const TBytes R = C.Request();
    ASSERT_EQ(R.size(), 52u);
    EXPECT_EQ(R[0], 8);
    EXPECT_EQ(R[1], 0);
    EXPECT_EQ(R[4], OwnIdentifier() & 0xFF);
    EXPECT_EQ(R[5], OwnIdentifier() >> 8);
    EXPECT_EQ(R[6], 3489 & 0xFF);
    EXPECT_EQ(R[7], 3489 >> 8);
    EXPECT_EQ(TBytes(R.begin() + 8, R.begin() + 12), (TBytes { 0x78, 0x56, 0x34, 0x12 }));
    EXPECT_EQ(TBytes(R.begin() + 12, R.begin() + 20), TBytes(8, 0));
    EXPECT_EQ(std::string(R.begin() + 20, R.end()), "PingMonitor" + std::string(21, 'E'));
    EXPECT_EQ(C.Identifier(), OwnIdentifier());
}

TEST(IcmpRequest, ChecksumVerifies)
{
    for (const std::string& Text : std::vector<std::string> {
             "PingMonitor", "", "x", std::string(40, '\xFF'), std::string("a\0b", 3) }) {
        TScriptedClient C;
        C.Clock = 0xFFFFFFFF;
        C.BuildEchoRequest(Text);
        const TBytes R = C.Request();
        // The one's-complement sum of the 26 words is all ones, in either byte order.
        uint32_t Little = 0;
        uint32_t Big = 0;
        for (size_t I = 0; I < R.size(); I += 2) {
            Little += static_cast<uint32_t>(R[I] | R[I + 1] << 8);
            Big += static_cast<uint32_t>(R[I] << 8 | R[I + 1]);
        }
        while (Little >> 16)
            Little = (Little & 0xFFFF) + (Little >> 16);
        while (Big >> 16)
            Big = (Big & 0xFFFF) + (Big >> 16);
        EXPECT_EQ(Little, 0xFFFFu) << Text;
        EXPECT_EQ(Big, 0xFFFFu) << Text;
    }
}

TEST(IcmpRequest, DataIsTheTextPaddedOrCutToThirtyTwoBytes)
{
    struct {
        const char* Name;
        std::string Text;
        std::string Data;
    } const Rows[] = {
        { "empty", "", std::string(32, 'E') },
        { "short", "PingMonitor", "PingMonitor" + std::string(21, 'E') },
        { "exactly 32", std::string(32, 'q'), std::string(32, 'q') },
        { "40 bytes", "0123456789abcdefghijklmnopqrstuvwxyzABCD", "0123456789abcdefghijklmnopqrstuv" },
        { "zero byte inside", std::string("a\0b", 3), std::string("a\0b", 3) + std::string(29, 'E') },
    };
    for (const auto& Row : Rows) {
        TScriptedClient C;
        C.BuildEchoRequest(Row.Text);
        const TBytes R = C.Request();
        EXPECT_EQ(std::string(R.begin() + 20, R.end()), Row.Data) << Row.Name;
        EXPECT_EQ(C.RequestSize(), 52) << Row.Name;
    }
}

TEST(IcmpRequest, SequenceRules)
{
    TScriptedClient C;
    EXPECT_EQ(C.Sequence(), 3489);
    C.Echo("x");
    C.Echo("x");
    C.Echo("x", 7);
    C.Echo("x");
    ASSERT_EQ(C.Sent.size(), 4u);
    const uint16_t Expected[] = { 3489, 3490, 7, 8 };
    for (size_t I = 0; I < 4; ++I)
        EXPECT_EQ(C.Sent[I][6] | C.Sent[I][7] << 8, Expected[I]) << I;
    EXPECT_EQ(C.Sequence(), 9);
    C.Echo("x", 65535);
    EXPECT_EQ(C.Sequence(), 0);
    EXPECT_EQ(C.ReplyStatus().SequenceNumber, 65535);
}

TEST(IcmpRequest, TickDiffWrapsAround)
{
    EXPECT_EQ(TNetIcmpClient::TickDiff(1, 5), 4u);
    EXPECT_EQ(TNetIcmpClient::TickDiff(5, 5), 0u);
    EXPECT_EQ(TNetIcmpClient::TickDiff(0, 0xFFFFFFFF), 0xFFFFFFFFu);
    EXPECT_EQ(TNetIcmpClient::TickDiff(0xFFFFFFF0u, 0x10), 0x1Fu);
    EXPECT_EQ(TNetIcmpClient::TickDiff(0xFFFFFFFFu, 0), 0u);
}

TEST(IcmpRequest, Defaults)
{
    TNetRawClient Raw;
    EXPECT_EQ(Raw.Protocol, 255);
    EXPECT_EQ(Raw.TTL, 128);
    EXPECT_EQ(Raw.ReceiveTimeout, 0);
    EXPECT_EQ(Raw.Port, 0);
    EXPECT_EQ(Raw.BufferSize(), 8192);
    Raw.SetBufferSize(100);
    EXPECT_EQ(Raw.BufferSize(), 100);
    char Byte;
    EXPECT_EQ(Raw.ReceiveDatagram(&Byte, 0, 10), 0);
    EXPECT_EQ(Raw.ReceiveDatagram(nullptr, 1, 10), 0);

    TNetIcmpClient C;
    EXPECT_EQ(C.Protocol, 1);
    EXPECT_EQ(C.ReceiveTimeout, 5000);
    EXPECT_EQ(C.Sequence(), 3489);
    EXPECT_EQ(C.TTL, 128);
    EXPECT_FALSE(C.DatagramSocket());
}

// ---------------------------------------------------------------------------------------
// Decoding

enum class TExpect { Reply, Skipped, Raises };

struct TDecodeRow {
    const char* Name;
    bool Bare; // the datagram socket's form, without an IP header
    std::function<TBytes(const TScriptedClient&)> Make;
    TExpect Expect;
    TEchoOutcome Outcome = eoEchoReply;
    uint8_t Type = 0;
    const char* Source = "";
    uint8_t TTL = 0;
    const char* Message = "";
};

constexpr uint16_t KernelIdentifier = 0x3412;

TEST(IcmpDecode, CraftedDatagrams)
{
    auto Quote = [](uint8_t AType, bool ABare, int AOuterOptions = 0) {
        return [=](const TScriptedClient& C) {
            TBytes Error = ErrorMessage(AType, 1, SentRequest(C));
            return ABare ? Error : IPPacket(Reporter, Here, 250, Error, AOuterOptions);
        };
    };
    const TDecodeRow Rows[] = {
        { "raw echo reply", false, [](const TScriptedClient& C) { return RawReply(C); }, TExpect::Reply,
            eoEchoReply, 0, "127.0.0.9", 61 },
        { "raw echo reply behind IP options", false, [](const TScriptedClient& C) { return RawReply(C, 8); },
            TExpect::Reply, eoEchoReply, 0, "127.0.0.9", 61 },
        { "bare echo reply", true,
            [](const TScriptedClient& C) { return EchoMessage(0, C.Identifier(), C.Sequence()); },
            TExpect::Reply, eoEchoReply, 0, "127.0.0.9", 47 },
        { "raw unreachable", false, Quote(3, false), TExpect::Reply, eoUnreachable, 3, "127.0.0.2", 250 },
        { "raw unreachable, outer header longer than quoted", false, Quote(3, false, 4), TExpect::Reply,
            eoUnreachable, 3, "127.0.0.2", 250 },
        { "bare unreachable", true, Quote(3, true), TExpect::Reply, eoUnreachable, 3, "127.0.0.9", 47 },
        { "raw time exceeded", false, Quote(11, false), TExpect::Reply, eoTTLExpired, 11, "127.0.0.2", 250 },
        { "bare time exceeded", true, Quote(11, true), TExpect::Reply, eoTTLExpired, 11, "127.0.0.9", 47 },
        { "raw 25 bytes", false,
            [](const TScriptedClient& C) {
                TBytes B = RawReply(C);
                B.resize(25);
                return B;
            },
            TExpect::Raises, eoEchoReply, 0, "", 0, "Not enough bytes received" },
        { "bare 7 bytes", true,
            [](const TScriptedClient& C) {
                TBytes B = EchoMessage(0, C.Identifier(), C.Sequence());
                B.resize(7);
                return B;
            },
            TExpect::Raises, eoEchoReply, 0, "", 0, "Not enough bytes received" },
        { "raw type 5", false,
            [](const TScriptedClient&) { return IPPacket(Peer, Here, 64, ErrorMessage(5, 1, {})); },
            TExpect::Raises, eoEchoReply, 0, "", 0, "Non-echo type response received" },
        { "bare type 5", true, [](const TScriptedClient&) { return ErrorMessage(5, 1, {}); }, TExpect::Raises,
            eoEchoReply, 0, "", 0, "Non-echo type response received" },
        { "raw older sequence", false,
            [](const TScriptedClient& C) {
                return IPPacket(
                    Peer, Here, 61, EchoMessage(0, C.Identifier(), static_cast<uint16_t>(C.Sequence() - 1)));
            },
            TExpect::Skipped },
        { "raw another identifier", false,
            [](const TScriptedClient& C) {
                return IPPacket(
                    Peer, Here, 61, EchoMessage(0, static_cast<uint16_t>(C.Identifier() + 1), C.Sequence()));
            },
            TExpect::Skipped },
        { "bare another identifier", true,
            [](const TScriptedClient& C) {
                return EchoMessage(0, static_cast<uint16_t>(C.Identifier() ^ 0x100), C.Sequence());
            },
            TExpect::Skipped },
        { "raw own request", false, [](const TScriptedClient& C) { return SentRequest(C); },
            TExpect::Skipped },
        { "raw unreachable about another process's request", false,
            [](const TScriptedClient& C) {
                TBytes Request = SentRequest(C);
                Request[24] ^= 0x01;
                return IPPacket(Reporter, Here, 250, ErrorMessage(3, 1, Request));
            },
            TExpect::Skipped },
        { "raw unreachable about a UDP datagram", false,
            [](const TScriptedClient& C) {
                return IPPacket(
                    Reporter, Here, 250, ErrorMessage(3, 3, IPPacket(Here, Peer, 64, C.Request(), 0, 17)));
            },
            TExpect::Skipped },
        { "raw unreachable with a cut quote", false,
            [](const TScriptedClient& C) {
                TBytes Request = SentRequest(C);
                Request.resize(24);
                return IPPacket(Reporter, Here, 250, ErrorMessage(3, 1, Request));
            },
            TExpect::Skipped },
    };
    for (const TDecodeRow& Row : Rows) {
        SCOPED_TRACE(Row.Name);
        TScriptedClient C;
        C.BuildEchoRequest("PingMonitor");
        if (Row.Bare)
            C.UseDatagramSocket(KernelIdentifier);
        const TBytes Datagram = Row.Make(C);
        const int32_t N = C.Load(Datagram, !Row.Bare, Peer, 47);
        TReplyStatus S;
        S.SourceIP = "untouched";
        S.ByteCount = -5;
        switch (Row.Expect) {
        case TExpect::Reply:
            ASSERT_TRUE(C.DecodeReply(N, S));
            EXPECT_EQ(S.Outcome, Row.Outcome);
            EXPECT_EQ(S.IcmpType, Row.Type);
            EXPECT_EQ(S.SourceIP, Row.Source);
            EXPECT_EQ(S.ReplyTTL, Row.TTL);
            EXPECT_EQ(S.ByteCount, N);
            EXPECT_EQ(S.SequenceNumber, 3489);
            break;
        case TExpect::Skipped:
            EXPECT_FALSE(C.DecodeReply(N, S));
            EXPECT_EQ(S.SourceIP, "untouched");
            EXPECT_EQ(S.ByteCount, -5);
            break;
        case TExpect::Raises:
            EXPECT_EQ(Raised<ENetIcmpException>([&] { C.DecodeReply(N, S); }), Row.Message);
            break;
        }
    }
}

TEST(IcmpDecode, NothingArrivedIsATimeOut)
{
    TScriptedClient C;
    C.Echo("PingMonitor", 4000);
    const TReplyStatus& S = C.ReplyStatus();
    EXPECT_EQ(S.Outcome, eoTimedOut);
    EXPECT_EQ(S.ByteCount, 0);
    EXPECT_EQ(S.SourceIP, "0.0.0.0");
    EXPECT_EQ(S.IcmpType, 0);
    EXPECT_EQ(S.ReplyTTL, 0);
    EXPECT_EQ(S.SequenceNumber, 4000);
    EXPECT_EQ(S.RoundTripMs, 5000u);
    EXPECT_EQ(C.Timeouts, (std::vector<int32_t> { 5000 }));
}

TEST(IcmpDecode, ReplyDataIsTheBufferFromTheDataOn)
{
    TScriptedClient C;
    C.BuildEchoRequest("PingMonitor");
    const int32_t N = C.Load(RawReply(C));
    TReplyStatus S;
    ASSERT_TRUE(C.DecodeReply(N, S));
    ASSERT_EQ(C.ReplyData().size(), 1024u - 40u);
    EXPECT_EQ(C.ReplyData().substr(0, 32), "PingMonitor" + std::string(21, 'E'));
    EXPECT_TRUE(C.ReplyData().find_first_not_of('\0', 32) == std::string::npos);
}

// ---------------------------------------------------------------------------------------
// Waiting

TEST(IcmpWait, LateRepliesAreSkippedAndTheBudgetShrinks)
{
    TScriptedClient C;
    C.ReceiveTimeout = 1000;
    C.BuildEchoRequest("PingMonitor");
    const uint16_t Seq = C.Sequence();
    C.Add(IPPacket(Peer, Here, 61, EchoMessage(0, C.Identifier(), static_cast<uint16_t>(Seq - 1))), 100);
    C.Add(IPPacket(Peer, Here, 61, EchoMessage(0, C.Identifier(), static_cast<uint16_t>(Seq - 2))), 200);
    C.Add(RawReply(C), 50);
    TReplyStatus S;
    C.WaitReply(1000, S);
    EXPECT_EQ(S.Outcome, eoEchoReply);
    EXPECT_EQ(S.SequenceNumber, Seq);
    // The whole time since the start comes off after each skipped datagram: 1000 - 100, then
    // 900 - 300.
    EXPECT_EQ(C.Timeouts, (std::vector<int32_t> { 1000, 900, 600 }));
}

TEST(IcmpWait, BudgetSpentRightAfterADatagramNotOursIsATimeOut)
{
    struct {
        const char* Name;
        std::function<TBytes(const TScriptedClient&)> Make;
    } const Rows[] = {
        { "another process's reply",
            [](const TScriptedClient& C) {
                return IPPacket(
                    Peer, Here, 61, EchoMessage(0, static_cast<uint16_t>(C.Identifier() + 7), C.Sequence()));
            } },
        { "our own request", [](const TScriptedClient& C) { return SentRequest(C); } },
        { "an older reply",
            [](const TScriptedClient& C) {
                return IPPacket(
                    Peer, Here, 61, EchoMessage(0, C.Identifier(), static_cast<uint16_t>(C.Sequence() - 1)));
            } },
    };
    for (const auto& Row : Rows) {
        SCOPED_TRACE(Row.Name);
        TScriptedClient C;
        C.ReceiveTimeout = 1000;
        C.BuildEchoRequest("PingMonitor");
        C.Add(Row.Make(C), 400);
        C.Add(Row.Make(C), 700);
        C.Add(RawReply(C), 1); // too late: never read
        C.Echo("PingMonitor");
        const TReplyStatus& S = C.ReplyStatus();
        EXPECT_EQ(S.Outcome, eoTimedOut);
        EXPECT_EQ(S.SourceIP, "0.0.0.0");
        EXPECT_EQ(S.ByteCount, 0);
        EXPECT_EQ(S.IcmpType, 0);
        EXPECT_EQ(S.SequenceNumber, 3489);
        EXPECT_EQ(C.Timeouts, (std::vector<int32_t> { 1000, 600 }));
        EXPECT_EQ(C.Script.size(), 1u);
    }
}

TEST(IcmpWait, OwnRequestOnTheLoopbackIsNotTheAnswer)
{
    TScriptedClient C;
    C.BuildEchoRequest("PingMonitor");
    C.Add(SentRequest(C), 0);
    C.Add(RawReply(C), 3);
    C.Echo("PingMonitor");
    EXPECT_EQ(C.ReplyStatus().Outcome, eoEchoReply);
    EXPECT_EQ(C.ReplyStatus().IcmpType, 0);
    EXPECT_EQ(C.ReplyStatus().RoundTripMs, 3u);
}

TEST(IcmpWait, AFailureKeepsThePreviousExchange)
{
    TScriptedClient C;
    int Replies = 0;
    C.OnReply = [&](TComponent* ASender, const TReplyStatus& AStatus) {
        EXPECT_EQ(ASender, &C);
        EXPECT_EQ(AStatus.SequenceNumber, 3489);
        ++Replies;
    };
    C.BuildEchoRequest("PingMonitor");
    C.Add(RawReply(C), 12);
    C.Echo("PingMonitor");
    ASSERT_EQ(C.ReplyStatus().Outcome, eoEchoReply);
    ASSERT_EQ(C.Sequence(), 3490);

    C.Add(IPPacket(Peer, Here, 61, ErrorMessage(5, 1, {})), 0);
    EXPECT_EQ(Raised<ENetIcmpException>([&] { C.Echo("PingMonitor"); }), "Non-echo type response received");
    TScriptedClient::TDatagram Failing;
    Failing.Fail = true;
    C.Script.push_back(Failing);
    EXPECT_EQ(Raised<ENetSocketError>([&] { C.Echo("PingMonitor"); }),
        std::string("Socket Error # 10009\r\nBad file number."));
    C.Add(TBytes(25, 0x45), 0);
    EXPECT_EQ(Raised<ENetIcmpException>([&] { C.Echo("PingMonitor"); }), "Not enough bytes received");

    const TReplyStatus& S = C.ReplyStatus();
    EXPECT_EQ(S.Outcome, eoEchoReply);
    EXPECT_EQ(S.SequenceNumber, 3489);
    EXPECT_EQ(S.SourceIP, "127.0.0.9");
    EXPECT_EQ(S.ReplyTTL, 61);
    EXPECT_EQ(S.ByteCount, 72);
    EXPECT_EQ(S.RoundTripMs, 12u);
    EXPECT_EQ(C.Sequence(), 3490);
    EXPECT_EQ(Replies, 1);
}

// ---------------------------------------------------------------------------------------
// Real exchanges on the loopback

// The client with its socket in view.
class TOpenClient : public TNetIcmpClient {
public:
    bool SocketOpen() const { return FSocket->HasSocket; }
};

std::string DefaultTTL()
{
    return ReadProcFile("/proc/sys/net/ipv4/ip_default_ttl");
}

// One echo of 127.0.0.1; the checks common to both socket kinds.
void CheckLoopbackEcho(TChecks& AChecks, TOpenClient& AClient, uint16_t ASequence, int32_t AByteCount)
{
    const std::string Seq = std::to_string(ASequence);
    AClient.Echo("PingMonitor");
    const TReplyStatus& S = AClient.ReplyStatus();
    AChecks.Equal(int(S.Outcome), int(eoEchoReply), "outcome of " + Seq);
    AChecks.Equal(int(S.IcmpType), 0, "type of " + Seq);
    AChecks.Equal(S.SourceIP, std::string("127.0.0.1"), "source of " + Seq);
    AChecks.Equal(S.SequenceNumber, ASequence, "sequence");
    AChecks.Equal(S.ByteCount, AByteCount, "byte count of " + Seq);
    AChecks.Equal(std::to_string(S.ReplyTTL), DefaultTTL(), "time-to-live of " + Seq);
    AChecks.True(S.RoundTripMs < 1000, "round trip of " + Seq + " took " + std::to_string(S.RoundTripMs));
    AChecks.Equal(AClient.ReplyData().substr(0, 32), "PingMonitor" + std::string(21, 'E'), "reply data");
    AChecks.True(!AClient.SocketOpen(), "socket left open after " + Seq);
}

TEST(IcmpLoopback, RawSocket)
{
    if (int Refusal = RawSocketRefusal())
        GTEST_SKIP() << "a raw ICMP socket needs root or CAP_NET_RAW (" << std::strerror(Refusal) << ")";
    ICMP_RUN_ISOLATED([] {
        TChecks Checks;
        TWitness Witness;
        TOpenClient C;
        C.Host = "127.0.0.1";
        C.ReceiveTimeout = 1000;
        CheckLoopbackEcho(Checks, C, 3489, 72);
        Checks.True(!C.DatagramSocket(), "took the datagram socket");
        C.Host = "localhost";
        CheckLoopbackEcho(Checks, C, 3490, 72);
        const std::vector<TBytes> Requests = Witness.Requests();
        Checks.Equal(Requests.size(), 2u, "requests on the wire");
        for (const TBytes& R : Requests) {
            // The socket's time-to-live went on the request; the identifier is ours.
            Checks.Equal(int(R[8]), 128, "request time-to-live");
            Checks.Equal(R[24] | R[25] << 8, int(OwnIdentifier()), "request identifier");
        }
        return Checks.Errors;
    });
}

TEST(IcmpLoopback, DatagramSocket)
{
    ICMP_RUN_ISOLATED([] {
        TWitness Witness;
        if (!AllowDatagramPing(true) || !DropNetRaw())
            return std::string("SKIP");
        TChecks Checks;
        TOpenClient C;
        C.Host = "127.0.0.1";
        C.ReceiveTimeout = 1000;
        CheckLoopbackEcho(Checks, C, 3489, 52);
        Checks.True(C.DatagramSocket(), "did not take the datagram socket");
        std::vector<int> Identifiers { C.Identifier() };
        C.Echo("PingMonitor", 7);
        Identifiers.push_back(C.Identifier());
        Checks.Equal(int(C.ReplyStatus().Outcome), int(eoEchoReply), "outcome of 7");
        Checks.Equal(C.ReplyStatus().SequenceNumber, 7, "sequence of 7");
        Checks.Equal(C.Sequence(), 8, "sequence after 7");
        const std::vector<TBytes> Requests = Witness.Requests();
        Checks.Equal(Requests.size(), 2u, "requests on the wire");
        for (size_t I = 0; I < Requests.size() && I < 2; ++I) {
            // Each socket had the kernel choose its identifier, and the client expected that one.
            const TBytes& R = Requests[I];
            Checks.Equal(R[24] | R[25] << 8, Identifiers[I], "request identifier");
            Checks.Equal(int(R[8]), 128, "request time-to-live");
        }
        return Checks.Errors;
    });
}

TEST(IcmpLoopback, NeitherSocketMayBeOpened)
{
    ICMP_RUN_ISOLATED([] {
        if (!AllowDatagramPing(false) || !DropNetRaw())
            return std::string("SKIP");
        TChecks Checks;
        TOpenClient C;
        C.Host = "127.0.0.1";
        Checks.Equal(Raised<ENetInvalidSocket>([&] { C.Echo("PingMonitor"); }),
            std::string("Cannot allocate socket."), "message");
        Checks.Equal(C.Sequence(), 3489, "sequence");
        Checks.Equal(C.ReplyStatus().SourceIP, std::string(), "reply status");
        return Checks.Errors;
    });
}

// A host that keeps quiet: the raw socket sees its own request come back and must not take
// it for the answer; another process's reply with our sequence is not ours either.
TEST(IcmpLoopback, SilentHostOnTheRawSocket)
{
    if (int Refusal = RawSocketRefusal())
        GTEST_SKIP() << "a raw ICMP socket needs root or CAP_NET_RAW (" << std::strerror(Refusal) << ")";
    ICMP_RUN_ISOLATED([] {
        TChecks Checks;
        if (!IgnoreEchoRequests(true))
            return std::string("SKIP");
        TInjector Foreign(TAnswer::ForeignReply);
        TWitness Witness;
        Checks.True(Foreign.Ok(), "injector");
        TOpenClient C;
        C.Host = "127.0.0.1";
        C.ReceiveTimeout = 300;
        const auto Start = std::chrono::steady_clock::now();
        C.Echo("PingMonitor");
        const double Took = nettest::MillisecondsSince(Start);
        Checks.Equal(int(C.ReplyStatus().Outcome), int(eoTimedOut), "outcome");
        Checks.Equal(C.ReplyStatus().SourceIP, std::string("0.0.0.0"), "source");
        Checks.True(Took >= 290 && Took < 1000, "took " + std::to_string(Took) + " ms");
        Checks.Equal(Witness.Requests().size(), 1u, "requests on the wire");
        Checks.Equal(Foreign.Answered(), 1, "foreign replies sent");
        return Checks.Errors;
    });
}

// Errors about the request, sent by a "router" at 127.0.0.2, on both socket kinds.
struct TErrorCase {
    const char* Name;
    bool Datagram;
    TAnswer Answer;
    TEchoOutcome Outcome;
    uint8_t Type;
};

class IcmpErrors : public ::testing::TestWithParam<TErrorCase> { };

TEST_P(IcmpErrors, ReportedByAnotherHost)
{
    const TErrorCase Case = GetParam();
    if (!Case.Datagram && RawSocketRefusal())
        GTEST_SKIP() << "a raw ICMP socket needs root or CAP_NET_RAW";
    ICMP_RUN_ISOLATED([Case] {
        TChecks Checks;
        if (!IgnoreEchoRequests(true))
            return std::string("SKIP");
        TInjector Router(Case.Answer);
        if (!Router.Ok())
            return std::string("SKIP");
        if (Case.Datagram && (!AllowDatagramPing(true) || !DropNetRaw()))
            return std::string("SKIP");
        TOpenClient C;
        C.Host = "127.0.0.1";
        C.ReceiveTimeout = 2000;
        C.Echo("PingMonitor");
        const TReplyStatus& S = C.ReplyStatus();
        Checks.Equal(C.DatagramSocket(), Case.Datagram, "datagram socket");
        Checks.Equal(int(S.Outcome), int(Case.Outcome), "outcome");
        Checks.Equal(int(S.IcmpType), int(Case.Type), "type");
        Checks.Equal(S.SourceIP, std::string("127.0.0.2"), "source");
        Checks.Equal(S.SequenceNumber, 3489, "sequence");
        Checks.Equal(std::to_string(S.ReplyTTL), DefaultTTL(), "time-to-live");
        Checks.True(S.RoundTripMs < 1000, "round trip " + std::to_string(S.RoundTripMs));
        // The next exchange on a fresh socket is not confused by the last one.
        C.Echo("PingMonitor");
        Checks.Equal(int(C.ReplyStatus().Outcome), int(Case.Outcome), "second outcome");
        Checks.Equal(C.ReplyStatus().SequenceNumber, 3490, "second sequence");
        return Checks.Errors;
    });
}

INSTANTIATE_TEST_SUITE_P(BothSockets, IcmpErrors,
    ::testing::Values(TErrorCase { "RawUnreachable", false, TAnswer::Unreachable, eoUnreachable, 3 },
        TErrorCase { "RawTimeExceeded", false, TAnswer::TimeExceeded, eoTTLExpired, 11 },
        TErrorCase { "DatagramUnreachable", true, TAnswer::Unreachable, eoUnreachable, 3 },
        TErrorCase { "DatagramTimeExceeded", true, TAnswer::TimeExceeded, eoTTLExpired, 11 }),
    [](const auto& AInfo) { return std::string(AInfo.param.Name); });

} // namespace
