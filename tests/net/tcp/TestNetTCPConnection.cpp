#include "net/tcp/NetTCPConnection.h"

#include "net/stack/NetCancel.h"
#include "net/stack/NetStackLinux.h"
#include "net/tcp/NetIOHandlerSocket.h"
#include "net/tcp/NetTCPClient.h"
#include "support/ScriptedServer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <deque>
#include <vector>

using namespace nettest;

namespace {

// --- peers ---

// A client connected to a scripted server. The client goes first on destruction, so a script
// waiting for the close sees it.
struct TLink {
    explicit TLink(TScriptedServer::TScript AScript, int AConnections = 1)
        : Server(std::move(AScript), AConnections)
    {
        Client.SetHost("127.0.0.1");
        Client.SetPort(Server.Port());
        Client.Establish();
    }
    TScriptedServer Server;
    TNetTCPClient Client;
};

// Sends AText, then closes.
TScriptedServer::TScript Sends(std::string AText)
{
    return [AText](TScriptedServer& S, int Fd, int) { S.SendAll(Fd, AText); };
}

// Sends AText, then stays silent until the client closes.
TScriptedServer::TScript SendsAndWaits(std::string AText)
{
    return [AText](TScriptedServer& S, int Fd, int) {
        S.SendAll(Fd, AText);
        S.WaitForPeerClose(Fd);
    };
}

// Waits until the client's socket has something to read (data or the peer's close).
void WaitForArrival(TNetTCPConnection& AConnection)
{
    ASSERT_TRUE(AConnection.IOHandler()->CanRead(5000));
}

// Reads until AConnection has noticed that the peer closed, without raising.
void NoticeClose(TNetTCPConnection& AConnection)
{
    for (int I = 0; I < 500 && AConnection.IsConnected(); ++I)
        AConnection.PollClosed(false);
}

struct TStatusLog {
    std::vector<TNetStatus> Statuses;
    std::vector<std::string> Events;
    void Attach(TNetTCPConnection& AConnection)
    {
        AConnection.OnStatus = [this](TComponent*, TNetStatus AStatus, const std::string&) {
            Statuses.push_back(AStatus);
            Events.push_back("status " + std::to_string(static_cast<int>(AStatus)));
        };
        AConnection.OnDisconnected = [this](TComponent*) { Events.push_back("disconnected"); };
    }
};

// --- an in-memory transport for faults a real socket cannot produce on demand ---

// The real stack, able to set the calling thread's last socket error the way a failed call
// does.
class TFaultStack : public TNetStackLinux {
public:
    static void SetError(int32_t ACode) { SetLastSocketError(ACode); }
};

class TInstallFaultStack {
public:
    TInstallFaultStack() { GSocketStackClass = &NetStackClassOf<TFaultStack>; }
    ~TInstallFaultStack() { GSocketStackClass = FOld; }

private:
    TNetStackClass FOld = GSocketStackClass;
};

// Each read hands out the next scripted result: bytes, or a failure with a socket error code.
// Writes are collected, at most WriteLimit bytes per call.
class TFakeTransport : public TNetIOHandler {
public:
    struct TRead {
        std::string Bytes;
        int32_t Error = 0;
    };
    using TNetIOHandler::TNetIOHandler;

    void ConnectTo(
        const std::string&, int32_t, const std::string&, int32_t, int32_t, int32_t, int32_t) override
    {
        Open = true;
    }
    void CloseLink() override { Open = false; }
    bool LinkOpen() override { return Open; }
    bool CanRead(int32_t) override { return !Reads.empty(); }
    int32_t ReadSome(void* ABuffer, int32_t ALength) override
    {
        TRead R = Reads.front();
        Reads.pop_front();
        if (R.Error != 0) {
            TFaultStack::SetError(R.Error);
            return -1;
        }
        EXPECT_LE(static_cast<int32_t>(R.Bytes.size()), ALength);
        std::memcpy(ABuffer, R.Bytes.data(), R.Bytes.size());
        return static_cast<int32_t>(R.Bytes.size());
    }
    int32_t WriteSome(const void* ABuffer, int32_t ALength) override
    {
        ++Writes;
        if (WriteError != 0) {
            TFaultStack::SetError(WriteError);
            return -1;
        }
        const int32_t N = std::min(ALength, WriteLimit);
        Written.append(static_cast<const char*>(ABuffer), static_cast<size_t>(N));
        return N;
    }

    bool Open = false;
    std::deque<TRead> Reads;
    std::string Written;
    int32_t WriteLimit = 1 << 30;
    int32_t WriteError = 0;
    int Writes = 0;
};

class FakeTransportTest : public ::testing::Test {
protected:
    FakeTransportTest()
    {
        Client.SetIOHandler(&Transport);
        Client.Establish();
    }
    TInstallFaultStack FInstall;
    TNetComponent FKeeper;
    TFakeTransport Transport;
    TNetTCPClient Client;
};

class TUpperCaseIntercept : public TNetConnectionIntercept {
public:
    TUpperCaseIntercept()
    {
        OnReceive = [](TNetConnectionIntercept*, TStream& S) { Rewrite(S, "<", ">"); };
        OnSend = [](TNetConnectionIntercept*, TStream& S) { Rewrite(S, "[", "]"); };
    }
    // Wraps the block in two marks, so the order of nested intercepts shows.
    static void Rewrite(TStream& S, const std::string& AOpen, const std::string& AClose)
    {
        std::string Text(static_cast<size_t>(S.Size()), '\0');
        S.SetPosition(0);
        S.ReadBuffer(Text.data(), S.Size());
        Text = AOpen + Text + AClose;
        S.SetPosition(0);
        S.SetSize(0);
        S.WriteString(Text);
    }
};

} // namespace

// --- buffers ---

TEST(NetManagedBuffer, ConsumesFromTheFrontAndCompactsAtTheThreshold)
{
    TNetManagedBuffer B;
    std::vector<int32_t> Consumed;
    B.OnConsumed = [&](TNetSimpleBuffer*, int32_t N) { Consumed.push_back(N); };
    std::string Data;
    for (int I = 0; I < 32768 + 100; ++I)
        Data += static_cast<char>('a' + I % 26);
    B.WriteString(Data);

    int Compactions = 0;
    for (int I = 0; I < 32768; ++I) {
        const int32_t Before = B.Consumed;
        B.Consume(1);
        if (B.Consumed < Before + 1)
            ++Compactions;
        ASSERT_EQ(B.Size(), static_cast<int64_t>(Data.size()) - I - 1);
        ASSERT_EQ(*B.UnreadStart(), static_cast<uint8_t>(Data[static_cast<size_t>(I) + 1]));
    }
    EXPECT_EQ(Compactions, 1);
    EXPECT_EQ(B.Consumed, 0);
    EXPECT_EQ(Consumed.size(), 32768u);
    EXPECT_EQ(B.TakeString(100), Data.substr(32768));
    EXPECT_EQ(B.Size(), 0);
}

TEST(NetManagedBuffer, SizesAndPositionsAreLogical)
{
    TNetManagedBuffer B;
    B.WriteString("0123456789");
    B.Consume(3);
    EXPECT_EQ(B.Consumed, 3);
    EXPECT_EQ(B.Size(), 7);
    EXPECT_EQ(B.Seek(0, TSeekOrigin::soBeginning), 0);
    EXPECT_EQ(B.Seek(0, TSeekOrigin::soEnd), 7);
    char C = 0;
    B.Seek(2, TSeekOrigin::soBeginning);
    B.Read(&C, 1);
    EXPECT_EQ(C, '5');
    B.Seek(0, TSeekOrigin::soEnd);
    B.WriteString("ab");
    EXPECT_EQ(B.TakeString(9), "3456789ab");
    // Consuming exactly what is held empties the buffer.
    EXPECT_EQ(B.Size(), 0);
    EXPECT_EQ(B.Consumed, 0);
    EXPECT_EQ(Raised<ENetNotEnoughDataInBuffer>([&] { B.Consume(1); }), "Not enough data in buffer.");
    B.WriteString("xy");
    EXPECT_EQ(Raised<ENetNotEnoughDataInBuffer>([&] { B.TakeString(3); }), "Not enough data in buffer.");
    EXPECT_EQ(B.TakeString(2), "xy");
}

TEST(NetSimpleBuffer, ConsumeMovesTheRestToTheFront)
{
    TNetSimpleBuffer B;
    int32_t Total = 0;
    B.OnConsumed = [&](TNetSimpleBuffer*, int32_t N) { Total += N; };
    B.WriteString("hello world");
    EXPECT_EQ(B.TakeString(6), "hello ");
    EXPECT_EQ(B.DataString(), "world");
    B.WriteString("!");
    EXPECT_EQ(B.DataString(), "world!");
    B.Consume(6);
    EXPECT_EQ(B.Size(), 0);
    EXPECT_EQ(Total, 12);
    EXPECT_EQ(Raised<ENetNotEnoughDataInBuffer>([&] { B.Consume(1); }), "Not enough data in buffer.");
}

// --- lines ---

TEST(NetTCPConnection, LineEnds)
{
    TLink L(SendsAndWaits("one\r\ntwo\nthree\r\n\na|b\r|c\r\n"));
    EXPECT_EQ(L.Client.ReceiveLine(), "one");
    EXPECT_EQ(L.Client.ReceiveLine(), "two");
    EXPECT_EQ(L.Client.ReceiveLine("\n"), "three");
    EXPECT_EQ(L.Client.ReceiveLine(""), "");
    EXPECT_EQ(L.Client.ReceiveLine("|"), "a");
    // Only LF takes a CR before it along.
    EXPECT_EQ(L.Client.ReceiveLine("|"), "b\r");
    EXPECT_EQ(L.Client.ReceiveLine("\r\n"), "c");
    EXPECT_FALSE(L.Client.LineSplit());
    EXPECT_FALSE(L.Client.LineCutShort());
}

TEST(NetTCPConnection, TerminatorSplitAcrossReceives)
{
    TLink L([](TScriptedServer& S, int Fd, int) {
        S.SendAll(Fd, "abc\r");
        S.Pause(150);
        S.SendAll(Fd, "\ndef\r\n");
        S.WaitForPeerClose(Fd);
    });
    L.Client.ReadTimeout = 5000;
    EXPECT_EQ(L.Client.ReceiveLine("\r\n"), "abc");
    EXPECT_EQ(L.Client.ReceiveLine("\r\n"), "def");
}

TEST(NetTCPConnection, LineLengthLimit)
{
    const std::string Fits(16384, 'a');
    const std::string TooLong(16385, 'b');
    TLink L(SendsAndWaits(Fits + "\n" + TooLong + "\n" + TooLong + "\n"));
    L.Client.ReadTimeout = 5000;
    EXPECT_EQ(L.Client.ReceiveLine(), Fits);
    EXPECT_EQ(Raised<ENetReadLnMaxLineLengthExceeded>([&] { L.Client.ReceiveLine(); }),
        "Max line length exceeded.");
    // The line stays buffered; split, it comes in two pieces.
    L.Client.MaxLineAction = TNetMaxLineAction::maSplit;
    EXPECT_EQ(L.Client.ReceiveLine(), std::string(16384, 'b'));
    EXPECT_TRUE(L.Client.LineSplit());
    EXPECT_EQ(L.Client.ReceiveLine(), "b");
    EXPECT_FALSE(L.Client.LineSplit());
    // An explicit limit overrides the property; 0 is no limit.
    EXPECT_EQ(L.Client.ReceiveLine("\n", -1, 0), TooLong);
}

TEST(NetTCPConnection, OverlongLineWithoutTerminatorRaisesOnceTheLimitIsPassed)
{
    TLink L(SendsAndWaits(std::string(20000, 'x')));
    // A wait for more data would end in a read time-out instead.
    L.Client.ReadTimeout = 3000;
    const auto Start = std::chrono::steady_clock::now();
    EXPECT_EQ(Raised<ENetReadLnMaxLineLengthExceeded>([&] { L.Client.ReceiveLine(); }),
        "Max line length exceeded.");
    EXPECT_LT(MillisecondsSince(Start), 2500);
}

TEST(NetTCPConnection, ReadTimeoutWithASilentPeer)
{
    TLink L(SendsAndWaits("partial"));
    L.Client.ReadTimeout = 200;
    const auto Start = std::chrono::steady_clock::now();
    EXPECT_EQ(Raised<ENetReadTimeout>([&] { L.Client.ReceiveLine(); }), "Read Timeout");
    EXPECT_GE(MillisecondsSince(Start), 195);
    // The connection stays open and keeps what it has.
    EXPECT_TRUE(L.Client.IsConnected());
    EXPECT_EQ(L.Client.InputData().Size(), 7);
    EXPECT_EQ(L.Client.FillInput(false, 50, false), -1);
}

TEST(NetTCPConnection, ExplicitTimeoutOnlySetsTheLengthOfEachWait)
{
    TLink L([](TScriptedServer& S, int Fd, int) {
        S.Pause(300);
        S.SendAll(Fd, "late\n");
        S.WaitForPeerClose(Fd);
    });
    L.Client.ReadTimeout = 100;
    EXPECT_EQ(L.Client.ReceiveLine("\n", 30), "late");
}

TEST(NetTCPConnection, ReadTimeoutZeroWaitsWithoutLimit)
{
    TLink L([](TScriptedServer& S, int Fd, int) {
        S.Pause(400);
        S.SendAll(Fd, "late\n");
        S.WaitForPeerClose(Fd);
    });
    EXPECT_EQ(L.Client.ReadTimeout, 0);
    const auto Start = std::chrono::steady_clock::now();
    EXPECT_EQ(L.Client.ReceiveLine(), "late");
    EXPECT_GE(MillisecondsSince(Start), 350);
}

TEST(NetTCPConnection, PartialLineThenClose)
{
    TLink L(Sends("partial"));
    L.Client.ReadTimeout = 5000;
    EXPECT_EQ(
        Raised<ENetConnClosedGracefully>([&] { L.Client.ReceiveLine(); }), "Connection Closed Gracefully.");
    EXPECT_EQ(L.Client.InputData().Size(), 7);
    EXPECT_FALSE(L.Client.IsConnected());
    EXPECT_EQ(L.Client.TakeAvailable(), "partial");
}

TEST(NetTCPConnection, NonEmptyLine)
{
    TLink L(SendsAndWaits("\r\n \t\r\n  x y \n\n\nlast\n"));
    L.Client.ReadTimeout = 5000;
    EXPECT_EQ(L.Client.ReadNonEmptyLine(5), "x y");
    EXPECT_EQ(L.Client.ReadNonEmptyLine(2), "");
    EXPECT_EQ(L.Client.ReceiveLine(), "last");
}

// --- counted reads ---

TEST(NetTCPConnection, ReadToStreamUntilCloseTakesTheBytesThatCameWithTheClose)
{
    std::string Body;
    for (int I = 0; I < 100000; ++I)
        Body += static_cast<char>(I * 7);
    TLink L(Sends(Body));
    L.Client.ReadTimeout = 5000;
    TMemoryStream S;
    L.Client.ReadToStream(S, -1, true);
    EXPECT_EQ(S.DataString(), Body);
    EXPECT_FALSE(L.Client.IsConnected());

    TLink Short(Sends("hello world"));
    Short.Client.ReadTimeout = 5000;
    TStringStream T;
    Short.Client.ReadToStream(T, -1, true);
    EXPECT_EQ(T.DataString(), "hello world");
}

TEST(NetTCPConnection, ReadToStreamOfMoreThanThePeerSends)
{
    const std::string Fifty(50, 'f');
    // The close comes while the read waits.
    {
        TLink L([&](TScriptedServer& S, int Fd, int) {
            S.Pause(100);
            S.SendAll(Fd, Fifty);
        });
        L.Client.ReadTimeout = 5000;
        TMemoryStream S;
        EXPECT_EQ(Raised<ENetConnClosedGracefully>([&] { L.Client.ReadToStream(S, 100, false); }),
            "Connection Closed Gracefully.");
        EXPECT_EQ(S.DataString(), Fifty);
    }
    // The bytes are buffered before the call, the close not yet noticed.
    {
        TLink L([&](TScriptedServer& S, int Fd, int) {
            S.SendAll(Fd, Fifty);
            // Read the go-ahead first: closing with unread input would reset the connection.
            char Go;
            if (S.WaitReadable(Fd, 5000))
                (void)recv(Fd, &Go, 1, 0);
        });
        L.Client.ReadTimeout = 5000;
        while (L.Client.InputData().Size() < 50)
            L.Client.FillInput(true);
        L.Client.SendText("x");
        TMemoryStream S;
        EXPECT_EQ(Raised<ENetConnClosedGracefully>([&] { L.Client.ReadToStream(S, 100, false); }),
            "Connection Closed Gracefully.");
        EXPECT_EQ(S.DataString(), Fifty);
    }
    // The close was noticed before the call: what is buffered is taken without an error.
    {
        TLink L(Sends(Fifty));
        L.Client.ReadTimeout = 5000;
        NoticeClose(L.Client);
        ASSERT_EQ(L.Client.InputData().Size(), 50);
        TMemoryStream S;
        L.Client.ReadToStream(S, 100, false);
        EXPECT_EQ(S.DataString(), Fifty);
        EXPECT_EQ(S.Size(), 50);
    }
}

TEST(NetTCPConnection, CountedReadsServedFromTheBuffer)
{
    uint32_t Prefix = htonl(5);
    TLink L(SendsAndWaits(
        "0123456789" + std::string(reinterpret_cast<char*>(&Prefix), 4) + "hello" + "\x01\x02\x03\x04"));
    L.Client.ReadTimeout = 5000;
    while (L.Client.InputData().Size() < 23)
        L.Client.FillInput(true);
    TMemoryStream S;
    L.Client.ReadToStream(S, 4);
    EXPECT_EQ(S.DataString(), "0123");
    EXPECT_EQ(L.Client.InputData().Size(), 19);
    char Rest[6];
    L.Client.ReadExact(Rest, 6);
    EXPECT_EQ(std::string(Rest, 6), "456789");
    // A 4-byte count in network order, then that many bytes; the stream keeps what it held.
    TStringStream T("pre:");
    T.Seek(0, TSeekOrigin::soEnd);
    L.Client.ReadToStream(T);
    EXPECT_EQ(T.DataString(), "pre:hello");
    EXPECT_EQ(L.Client.ReadInt32(), 0x01020304);
}

TEST(NetTCPConnection, ReadExactAfterTheCloseWithTooFewBytes)
{
    TLink L(Sends("abc"));
    L.Client.ReadTimeout = 5000;
    NoticeClose(L.Client);
    char Buffer[8];
    EXPECT_EQ(Raised<ENetNotConnected>([&] { L.Client.ReadExact(Buffer, 4); }), "Not Connected");
    L.Client.ReadExact(Buffer, 3);
    EXPECT_EQ(std::string(Buffer, 3), "abc");
    EXPECT_EQ(Raised<ENetConnClosedGracefully>([&] { L.Client.ReadExact(Buffer, 1); }),
        "Connection Closed Gracefully.");
}

TEST(NetTCPConnection, ResetByPeerRaisesTheSocketError)
{
    // The reset waits for the client's go-ahead: one that overtook the connect would make the
    // connect itself fail.
    TLink L([](TScriptedServer& S, int Fd, int) {
        char Go;
        if (S.WaitReadable(Fd, 5000))
            (void)recv(Fd, &Go, 1, 0);
        TScriptedServer::Abort(Fd);
    });
    L.Client.ReadTimeout = 5000;
    L.Client.SendText("x");
    try {
        L.Client.ReceiveLine();
        ADD_FAILURE() << "nothing raised";
    } catch (const ENetSocketError& E) {
        EXPECT_EQ(E.ErrorCode, NetErrConnectionReset);
    }
}

TEST(NetTCPConnection, ReadAllAndWorkEvents)
{
    TLink L([](TScriptedServer& S, int Fd, int) {
        S.SendAll(Fd, "abc");
        S.Pause(100);
        S.SendAll(Fd, "def");
    });
    L.Client.ReadTimeout = 5000;
    std::vector<std::string> Work;
    L.Client.OnWorkBegin = [&](TComponent*, TWorkMode M, int32_t Max) {
        Work.push_back("begin " + std::to_string(static_cast<int>(M)) + " " + std::to_string(Max));
    };
    L.Client.OnWork = [&](TComponent*, TWorkMode, int32_t N) { Work.push_back(std::to_string(N)); };
    L.Client.OnWorkEnd
        = [&](TComponent*, TWorkMode M) { Work.push_back("end " + std::to_string(static_cast<int>(M))); };
    EXPECT_EQ(L.Client.ReadAll(), "abcdef");
    ASSERT_GE(Work.size(), 3u);
    EXPECT_EQ(Work.front(), "begin 0 0");
    EXPECT_EQ(Work[Work.size() - 2], "6");
    EXPECT_EQ(Work.back(), "end 0");
}

// --- sends ---

TEST(NetTCPConnection, BatchLeavesInOneSendAtEndBatch)
{
    std::string Seen;
    int Reads = 0;
    {
        TLink L([&](TScriptedServer& S, int Fd, int) { Seen = S.ReadUntilClose(Fd, 5000, &Reads); });
        L.Client.BeginBatch(-1);
        L.Client.SendLine("GET / HTTP/1.1");
        L.Client.SendLine("Host: h");
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        L.Client.SendLine("");
        EXPECT_TRUE(L.Client.Batching());
        L.Client.EndBatch();
        EXPECT_FALSE(L.Client.Batching());
        // An empty batch sends nothing.
        L.Client.BeginBatch(-1);
        L.Client.EndBatch();
        // A discarded batch neither.
        L.Client.BeginBatch(-1);
        L.Client.SendText("dropped");
        L.Client.DiscardBatch();
        L.Client.EndBatch();
        L.Client.Hangup();
    }
    EXPECT_EQ(Seen, "GET / HTTP/1.1\r\nHost: h\r\n\r\n");
    EXPECT_EQ(Reads, 1);
}

TEST(NetTCPConnection, BatchThresholdSendsWhatReachesIt)
{
    std::string Rest;
    {
        TLink L([&](TScriptedServer& S, int Fd, int) {
            char Buffer[4];
            size_t Got = 0;
            while (Got < 4 && S.WaitReadable(Fd, 5000)) {
                ssize_t N = recv(Fd, Buffer + Got, 4 - Got, 0);
                if (N <= 0)
                    return;
                Got += static_cast<size_t>(N);
            }
            S.SendAll(Fd, "got " + std::string(Buffer, 4) + "\n");
            Rest = S.ReadUntilClose(Fd);
        });
        L.Client.ReadTimeout = 5000;
        L.Client.BeginBatch(4);
        L.Client.SendText("abcdef");
        EXPECT_EQ(L.Client.ReceiveLine(), "got abcd");
        L.Client.EndBatch();
        L.Client.Hangup();
    }
    EXPECT_EQ(Rest, "ef");
}

TEST(NetTCPConnection, SendsOfIntegersStreamsAndFiles)
{
    char Name[] = "/tmp/vardex-sendfile-XXXXXX";
    const int Fd = mkstemp(Name);
    ASSERT_GE(Fd, 0);
    std::string FileData;
    for (int I = 0; I < 70000; ++I)
        FileData += static_cast<char>(I % 251);
    ASSERT_EQ(write(Fd, FileData.data(), FileData.size()), static_cast<ssize_t>(FileData.size()));
    close(Fd);

    std::string Seen;
    {
        TLink L([&](TScriptedServer& S, int Conn, int) { Seen = S.ReadUntilClose(Conn); });
        L.Client.SendInt32(0x01020304);
        L.Client.SendInt32(0x01020304, false);
        TStringStream S("0123456789");
        S.SetPosition(8);
        L.Client.SendStream(S, true, true);
        S.SetPosition(2);
        L.Client.SendStream(S, false, false, 3);
        EXPECT_EQ(L.Client.SendFile(Name), 70000);
        EXPECT_EQ(Raised<ENetFileNotFound>([&] { L.Client.SendFile("/nonexistent/vardex.bin"); }),
            "File \"/nonexistent/vardex.bin\" not found");
        // A stream shorter than it claims.
        TStringStream Short("abc");
        EXPECT_EQ(Raised<ENetNoDataToRead>([&] { L.Client.SendStream(Short, true, false, 10); }),
            "No data to read.");
        L.Client.Hangup();
    }
    unlink(Name);
    uint32_t Native = 0x01020304;
    std::string Expected = std::string("\x01\x02\x03\x04", 4)
        + std::string(reinterpret_cast<char*>(&Native), 4) + std::string("\0\0\0\x0a", 4) + "0123456789"
        + "234" + FileData + "abc";
    ASSERT_EQ(Seen.size(), Expected.size());
    EXPECT_TRUE(Seen == Expected) << "first difference at "
                                  << std::mismatch(Seen.begin(), Seen.end(), Expected.begin()).first
            - Seen.begin();
}

TEST(NetTCPConnection, SendsOnAClosedConnection)
{
    TLink L(Sends(""));
    L.Client.ReadTimeout = 5000;
    NoticeClose(L.Client);
    // Nothing to send is no error, closed or not.
    L.Client.SendBytes("x", 0);
    L.Client.SendText("");
    EXPECT_EQ(
        Raised<ENetConnClosedGracefully>([&] { L.Client.SendText("x"); }), "Connection Closed Gracefully.");
    // Without a transport the connection is simply not connected.
    L.Client.Hangup();
    EXPECT_EQ(Raised<ENetNotConnected>([&] { L.Client.SendText("x"); }), "Not Connected");
    L.Client.SendText("");
}

// A send is tried before any wait, yet a probe cancelled before it sends nothing, as a wait
// for room would have seen the cancel first.
TEST(NetTCPConnection, ACancelledProbeSendsNothing)
{
    std::string Got;
    {
        TLink L([&Got](TScriptedServer& S, int Fd, int) { Got = S.ReadUntilClose(Fd); });
        TNetCancelToken Token;
        const TNetCancelScope Scope(&Token);
        L.Client.SendText("first");
        Token.Cancel();
        EXPECT_EQ(Raised<ENetCancelled>([&] { L.Client.SendText("second"); }), "Cancelled.");
    }
    EXPECT_EQ(Got, "first");
}

// --- link state ---

TEST(NetTCPConnection, PeerCloseIsNoticedWithStatusAndEvent)
{
    TLink L(Sends(""));
    TStatusLog Log;
    Log.Attach(L.Client);
    WaitForArrival(L.Client);
    EXPECT_TRUE(L.Client.IsConnected());
    L.Client.PollClosed(false);
    EXPECT_FALSE(L.Client.IsConnected());
    EXPECT_TRUE(L.Client.PeerClosed());
    EXPECT_FALSE(L.Client.IOHandler()->LinkOpen());
    EXPECT_EQ(Log.Events, (std::vector<std::string> { "status 4", "disconnected" }));
    // Noticed once.
    EXPECT_FALSE(L.Client.IsConnected());
    L.Client.CheckClosed(false, false);
    EXPECT_EQ(Log.Events.size(), 2u);
    EXPECT_EQ(Raised<ENetConnClosedGracefully>([&] { L.Client.CheckClosed(true, false); }),
        "Connection Closed Gracefully.");
    L.Client.ClearInput();
    EXPECT_FALSE(L.Client.PeerClosed());
}

TEST(NetTCPConnection, HangupFreesOnlyATransportItCreated)
{
    TScriptedServer Server([](TScriptedServer& S, int Fd, int) { S.WaitForPeerClose(Fd); }, 3);
    TNetTCPClient Client;
    Client.SetHost("127.0.0.1");
    Client.SetPort(Server.Port());
    TStatusLog Log;
    Log.Attach(Client);

    // Its own transport goes with the hang-up.
    Client.Establish();
    ASSERT_TRUE(Client.OwnsIOHandler());
    ASSERT_NE(Client.SocketHandler(), nullptr);
    TComponent* Own = Client.IOHandler();
    EXPECT_EQ(Own->Owner(), &Client);
    Client.Hangup();
    EXPECT_EQ(Client.IOHandler(), nullptr);
    EXPECT_EQ(Client.SocketHandler(), nullptr);
    EXPECT_FALSE(Client.OwnsIOHandler());
    EXPECT_TRUE(Client.Components().empty());
    EXPECT_EQ(Log.Events,
        (std::vector<std::string> { "status 1", "status 2", "status 3", "disconnected", "status 4" }));

    // A transport from outside survives it and connects again.
    TNetIOHandlerSocket Outside;
    Client.SetIOHandler(&Outside);
    EXPECT_EQ(Client.SocketHandler(), &Outside);
    Client.Establish();
    EXPECT_FALSE(Client.OwnsIOHandler());
    Client.Hangup();
    EXPECT_EQ(Client.IOHandler(), &Outside);
    EXPECT_FALSE(Outside.LinkOpen());
    Client.Establish();
    EXPECT_TRUE(Client.IsConnected());
    Client.Hangup();
}

TEST(NetTCPConnection, TransportDestroyedElsewhereIsForgotten)
{
    TNetTCPConnection Connection;
    auto* Outside = new TNetIOHandlerSocket();
    Connection.SetIOHandler(Outside);
    EXPECT_EQ(Connection.SocketHandler(), Outside);
    delete Outside;
    EXPECT_EQ(Connection.IOHandler(), nullptr);
    EXPECT_EQ(Connection.SocketHandler(), nullptr);
    EXPECT_FALSE(Connection.IsConnected());
    EXPECT_EQ(Raised<ENetNotConnected>([&] { Connection.FillInput(true); }), "Not Connected");

    // Replacing a transport of its own frees it.
    TNetTCPClient Client;
    TScriptedServer Server([](TScriptedServer&, int, int) {});
    Client.SetHost("127.0.0.1");
    Client.SetPort(Server.Port());
    Client.Establish();
    TNetIOHandlerSocket Other;
    Client.SetIOHandler(&Other);
    EXPECT_TRUE(Client.Components().empty());
    EXPECT_FALSE(Client.OwnsIOHandler());
}

// --- client ---

TEST(NetTCPClient, EstablishStatusesAndRefusals)
{
    TScriptedServer Server([](TScriptedServer& S, int Fd, int) { S.WaitForPeerClose(Fd); }, 2);
    TNetTCPClient Client;
    std::vector<std::string> Texts;
    Client.OnStatus = [&](TComponent*, TNetStatus, const std::string& AText) { Texts.push_back(AText); };
    int Connected = 0;
    Client.OnConnected = [&](TComponent* ASender) {
        EXPECT_EQ(ASender, &Client);
        ++Connected;
    };
    Client.SetHost("LOCALHOST");
    Client.SetPort(Server.Port());
    Client.Establish(2000);
    EXPECT_EQ(Texts,
        (std::vector<std::string> {
            "Resolving hostname LOCALHOST.", "Connecting to 127.0.0.1.", "Connected." }));
    EXPECT_EQ(Connected, 1);
    EXPECT_EQ(Raised<ENetAlreadyConnected>([&] { Client.Establish(); }), "Already connected.");
    Client.Hangup();

    // A refused connect leaves the link closed.
    Client.SetHost("127.0.0.1");
    Client.SetPort(ClosedPort());
    EXPECT_NE(Raised<ENetSocketError>([&] { Client.Establish(); }), "(nothing raised)");
    EXPECT_FALSE(Client.IsConnected());
    EXPECT_NE(Raised<ENetConnectException>([&] { Client.Establish(1000); }), "(nothing raised)");
    EXPECT_FALSE(Client.IOHandler()->LinkOpen());
    EXPECT_EQ(Connected, 1);
    // The same object connects again, from the local address it is given.
    Client.SetPort(Server.Port());
    Client.BoundIP = "127.0.0.1";
    const int Bound = ClosedPort();
    Client.BoundPort = Bound;
    Client.Establish();
    EXPECT_TRUE(Client.IsConnected());
    EXPECT_EQ(Client.SocketHandler()->SocketHandle()->IP, "127.0.0.1");
    EXPECT_EQ(Client.SocketHandler()->SocketHandle()->Port, Bound);
}

TEST(NetTCPClient, FetchAllReadsUntilCloseAndHangsUp)
{
    TScriptedServer Server(Sends("everything\r\nthere is"));
    TNetTCPClient Client;
    Client.SetHost("127.0.0.1");
    Client.SetPort(Server.Port());
    Client.ReadTimeout = 5000;
    EXPECT_EQ(Client.FetchAll(), "everything\r\nthere is");
    EXPECT_EQ(Client.IOHandler(), nullptr);
}

// --- faults through the in-memory transport ---

TEST_F(FakeTransportTest, IgnoredReceiveErrorKeepsTheBufferedBytesReadable)
{
    Transport.Reads = { { "abc", 0 }, { "", NetErrConnectionAborted } };
    char Buffer[6];
    EXPECT_EQ(Raised<ENetConnClosedGracefully>([&] { Client.ReadExact(Buffer, 6); }),
        "Connection Closed Gracefully.");
    EXPECT_FALSE(Transport.Open);
    Client.ReadExact(Buffer, 3);
    EXPECT_EQ(std::string(Buffer, 3), "abc");
}

TEST_F(FakeTransportTest, ReceiveErrorsWithNothingBuffered)
{
    Transport.Reads = { { "", NetErrShutdown } };
    try {
        Client.ReceiveLine();
        ADD_FAILURE() << "nothing raised";
    } catch (const ENetSocketError& E) {
        EXPECT_EQ(E.ErrorCode, NetErrShutdown);
    }
    EXPECT_FALSE(Transport.Open);

    Transport.Open = true;
    Client.ClearInput();
    Transport.Reads = { { "ab", 0 }, { "", NetErrConnectionReset } };
    EXPECT_EQ(Raised<ENetSocketError>([&] { Client.ReceiveLine(); }),
        GSocketStack->SocketErrorText(NetErrConnectionReset));
}

TEST_F(FakeTransportTest, PartialWritesAreCompletedAndSendErrorsCloseTheLink)
{
    Transport.WriteLimit = 3;
    Client.SendText("0123456789");
    EXPECT_EQ(Transport.Written, "0123456789");
    EXPECT_EQ(Transport.Writes, 4);

    Transport.WriteError = NetErrShutdown;
    try {
        Client.SendText("x");
        ADD_FAILURE() << "nothing raised";
    } catch (const ENetSocketError& E) {
        EXPECT_EQ(E.ErrorCode, NetErrShutdown);
    }
    EXPECT_FALSE(Transport.Open);
}

TEST_F(FakeTransportTest, ASCIIFilterAndInterceptsRewriteTheData)
{
    Client.ASCIIFilter = true;
    Transport.Reads = { { "\xC1\xE2\n", 0 } };
    EXPECT_EQ(Client.ReceiveLine(), "Ab");
    Client.ASCIIFilter = false;

    TUpperCaseIntercept Outer;
    TNetConnectionIntercept Inner;
    std::string Order;
    Inner.OnReceive = [&](TNetConnectionIntercept*, TStream&) { Order += "inner-receive "; };
    Inner.OnSend = [&](TNetConnectionIntercept*, TStream& S) {
        Order += "inner-send ";
        TUpperCaseIntercept::Rewrite(S, "(", ")");
    };
    Outer.SetIntercept(&Inner);
    Client.SetIntercept(&Outer);
    Transport.Reads = { { "x\n", 0 } };
    // The received chunk "x\n" becomes "<x\n>": the line is "<x", and ">" waits.
    EXPECT_EQ(Client.ReceiveLine(), "<x");
    Client.SendText("y");
    EXPECT_EQ(Transport.Written, "([y])");
    EXPECT_EQ(Order, "inner-receive inner-send ");
    Client.Hangup();
    EXPECT_EQ(Inner.Connection(), nullptr);
}

// A long count: what is buffered, then one large read straight for the stream, then the last
// bytes through the buffer, which keeps what came behind them.
TEST_F(FakeTransportTest, LongCountedReadTakesBufferedThenLargeReadsThenTheRest)
{
    std::vector<std::string> Work;
    Client.OnWork = [&](TComponent*, TWorkMode, int32_t N) { Work.push_back(std::to_string(N)); };
    Client.ASCIIFilter = true;
    const std::string Large(40000, '\xC1');
    const std::string Small(30000, 'b');
    Transport.Reads = { { "line\nAB", 0 }, { Large, 0 }, { Small, 0 }, { "xyztail", 0 } };
    EXPECT_EQ(Client.ReceiveLine(), "line");
    TMemoryStream S;
    Client.ReadToStream(S, 70005);
    EXPECT_EQ(S.DataString(), "AB" + std::string(40000, 'A') + Small + "xyz");
    EXPECT_EQ(Client.InputData().TakeString(4), "tail");
    EXPECT_EQ(Work, (std::vector<std::string> { "2", "40002", "70005" }));
}

TEST_F(FakeTransportTest, NumericReplies)
{
    Transport.Reads = { { "250-first\r\n250-second\r\n250 last\r\n", 0 }, { "550 no\r\n", 0 } };
    EXPECT_EQ(Client.SendCommand("NOOP", { 250 }), 250);
    EXPECT_EQ(Client.LastReply().Text, (std::vector<std::string> { "first", "second", "last" }));
    EXPECT_EQ(Transport.Written, "NOOP\r\n");
    try {
        Client.SendCommand("DELE", { 250 });
        ADD_FAILURE() << "nothing raised";
    } catch (const ENetProtocolReplyError& E) {
        EXPECT_EQ(E.ReplyErrorCode, 550);
        EXPECT_STREQ(E.what(), "no");
    }
}

TEST_F(FakeTransportTest, WorkEventsCountConsumedAndSentBytes)
{
    std::vector<std::string> Work;
    Client.OnWorkBegin = [&](TComponent*, TWorkMode M, int32_t Max) {
        Work.push_back((M == TWorkMode::wmRead ? "read " : "write ") + std::to_string(Max));
    };
    Client.OnWork = [&](TComponent*, TWorkMode, int32_t N) { Work.push_back(std::to_string(N)); };
    Client.OnWorkEnd = [&](TComponent*, TWorkMode) { Work.push_back("end"); };

    // Read work is counted as bytes leave the buffer, not as they arrive.
    Transport.Reads = { { "0123", 0 }, { "456789xy", 0 } };
    TMemoryStream S;
    Client.ReadToStream(S, 10);
    EXPECT_EQ(S.DataString(), "0123456789");
    EXPECT_EQ(Client.InputData().Size(), 2);
    EXPECT_EQ(Work, (std::vector<std::string> { "read 10", "10", "end" }));

    Work.clear();
    Transport.WriteLimit = 4;
    TStringStream Out("abcdefghij");
    Client.SendStream(Out);
    EXPECT_EQ(Transport.Written, "abcdefghij");
    EXPECT_EQ(Work, (std::vector<std::string> { "write 10", "4", "8", "10", "end" }));
}
