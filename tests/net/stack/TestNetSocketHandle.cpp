#include "net/stack/NetSocketHandle.h"
#include "net/stack/NetStackLinux.h"
#include "net/tcp/NetAntiFreezeBase.h"
#include "net/tcp/NetComponent.h"
#include "support/Net.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <netinet/tcp.h>
#include <thread>
#include <vector>

using namespace nettest;

namespace {

// The real stack, noting the calls whose number and order the handle's rules fix.
class TRecordingStack : public TNetStackLinux {
public:
    int32_t BindSocket(int ASocket, int32_t AFamily, const std::string& AIP, int32_t APort) override
    {
        BindPorts.push_back(APort);
        return TNetStackLinux::BindSocket(ASocket, AFamily, AIP, APort);
    }
    int32_t ShutdownSocket(int ASocket, int32_t AHow) override
    {
        Shutdowns.push_back(ASocket);
        EXPECT_EQ(AHow, 1);
        return TNetStackLinux::ShutdownSocket(ASocket, AHow);
    }
    int32_t CloseSocketHandle(int ASocket) override
    {
        Closes.push_back(ASocket);
        return TNetStackLinux::CloseSocketHandle(ASocket);
    }
    std::vector<int32_t> BindPorts;
    std::vector<int> Shutdowns;
    std::vector<int> Closes;
};

class TInstallRecordingStack {
public:
    TInstallRecordingStack() { GSocketStackClass = &NetStackClassOf<TRecordingStack>; }
    ~TInstallRecordingStack() { GSocketStackClass = FOld; }

private:
    TNetStackClass FOld = GSocketStackClass;
};

class NetSocketHandleTest : public ::testing::Test {
protected:
    TInstallRecordingStack FInstall;
    TNetComponent FKeeper;
    TRecordingStack& S = dynamic_cast<TRecordingStack&>(*GSocketStack);
};

bool IsOpen(int AFd)
{
    return fcntl(AFd, F_GETFD) != -1;
}

// Three consecutive loopback ports, all held by the test.
struct TPortRange {
    int32_t Min = 0;
    TFd Held[3];
    bool Take()
    {
        for (int Attempt = 0; Attempt < 50; ++Attempt) {
            Held[0].Reset(BoundSocket(SOCK_STREAM, 0));
            Min = LocalPort(Held[0].Get());
            if (Min <= 0 || Min > 65533)
                continue;
            Held[1].Reset(BoundSocket(SOCK_STREAM, Min + 1));
            Held[2].Reset(BoundSocket(SOCK_STREAM, Min + 2));
            if (Held[1].Get() >= 0 && Held[2].Get() >= 0)
                return true;
        }
        return false;
    }
    int32_t Max() const { return Min + 2; }
};

} // namespace

TEST_F(NetSocketHandleTest, NewHandleIsClosedAndEmpty)
{
    TNetSocketHandle H;
    EXPECT_EQ(H.Handle, -1);
    EXPECT_FALSE(H.HasSocket);
    EXPECT_EQ(H.IP, "");
    EXPECT_EQ(H.Port, 0);
    EXPECT_EQ(H.PeerIP, "");
    EXPECT_EQ(H.PeerPort, 0);
    EXPECT_EQ(H.ClientPortMin, 0);
    EXPECT_EQ(H.ClientPortMax, 0);
    TNetSocketHandles Group;
    Group.DefaultPort = 8080;
    TNetSocketHandle InGroup(&Group);
    EXPECT_EQ(InGroup.Port, 8080);
}

TEST_F(NetSocketHandleTest, BindWithDefaultsTakesWhatTheSystemChooses)
{
    TNetSocketHandle H;
    H.AllocateHandle(SOCK_STREAM, 0);
    H.Bind();
    EXPECT_EQ(S.BindPorts, std::vector<int32_t> { 0 });
    EXPECT_EQ(H.IP, "0.0.0.0");
    EXPECT_GT(H.Port, 0);
    EXPECT_EQ(H.Port, LocalPort(H.Handle));

    TNetSocketHandle L;
    L.AllocateHandle(SOCK_DGRAM, 0);
    L.IP = "127.0.0.1";
    L.Bind();
    EXPECT_EQ(L.IP, "127.0.0.1");
    EXPECT_GT(L.Port, 0);
}

TEST_F(NetSocketHandleTest, BindRangeTriesTheHighestPortFirst)
{
    TPortRange Range;
    ASSERT_TRUE(Range.Take());
    // Only the lowest port is free: the two above it are tried first.
    Range.Held[0].Reset();
    TNetSocketHandle H;
    H.AllocateHandle(SOCK_STREAM, 0);
    H.IP = "127.0.0.1";
    H.ClientPortMin = Range.Min;
    H.ClientPortMax = Range.Max();
    H.Bind();
    EXPECT_EQ(S.BindPorts, (std::vector<int32_t> { Range.Max(), Range.Min + 1, Range.Min }));
    EXPECT_EQ(H.Port, Range.Min);
    EXPECT_EQ(LocalPort(H.Handle), Range.Min);

    // Everything free: the highest port at once.
    H.ShutAndClose();
    Range.Held[1].Reset();
    Range.Held[2].Reset();
    S.BindPorts.clear();
    H.AllocateHandle(SOCK_STREAM, 0);
    H.Port = 0;
    H.Bind();
    EXPECT_EQ(S.BindPorts, std::vector<int32_t> { Range.Max() });
    EXPECT_EQ(H.Port, Range.Max());
}

TEST_F(NetSocketHandleTest, BindRangeAllTaken)
{
    TPortRange Range;
    ASSERT_TRUE(Range.Take());
    TNetSocketHandle H;
    H.AllocateHandle(SOCK_STREAM, 0);
    H.IP = "127.0.0.1";
    H.ClientPortMin = Range.Min;
    H.ClientPortMax = Range.Max();
    std::string Message = Raised<ENetCanNotBindPortInRange>([&] { H.Bind(); });
    EXPECT_EQ(Message,
        "Can not bind in port range (" + std::to_string(Range.Min) + " - " + std::to_string(Range.Max())
            + ")");
    EXPECT_EQ(S.BindPorts.size(), 3u);
    EXPECT_EQ(H.Port, Range.Min);
}

TEST_F(NetSocketHandleTest, InvalidRangeIsRefusedWithoutBinding)
{
    TNetSocketHandle H;
    H.AllocateHandle(SOCK_STREAM, 0);
    H.ClientPortMin = 10;
    H.ClientPortMax = 5;
    EXPECT_EQ(Raised<ENetInvalidPortRange>([&] { H.Bind(); }), "Invalid Port Range (10 - 5)");
    EXPECT_TRUE(S.BindPorts.empty());
    EXPECT_EQ(LocalPort(H.Handle), 0);
}

TEST_F(NetSocketHandleTest, FixedPortIgnoresTheRange)
{
    TFd Taken(BoundSocket(SOCK_STREAM, 0));
    const int32_t Port = LocalPort(Taken.Get());
    TNetSocketHandle H;
    H.AllocateHandle(SOCK_STREAM, 0);
    H.IP = "127.0.0.1";
    H.Port = Port;
    H.ClientPortMin = 5000;
    H.ClientPortMax = 5002;
    EXPECT_EQ(Raised<ENetCouldNotBindSocket>([&] { H.Bind(); }),
        "Could not bind socket. Address and port are already in use.");
    EXPECT_EQ(S.BindPorts, std::vector<int32_t> { Port });
    EXPECT_EQ(S.LastError.load(), 10048);

    Taken.Reset();
    S.BindPorts.clear();
    H.Bind();
    EXPECT_EQ(S.BindPorts, std::vector<int32_t> { Port });
    EXPECT_EQ(H.Port, Port);
}

TEST_F(NetSocketHandleTest, OtherBindErrorsRaiseTheSocketError)
{
    TNetSocketHandle H;
    H.AllocateHandle(SOCK_STREAM, 0);
    H.IP = "192.0.2.1"; // a documentation address: never one of ours
    try {
        H.Bind();
        FAIL() << "bound to a foreign address";
    } catch (const ENetSocketError& E) {
        EXPECT_EQ(E.ErrorCode, 10049);
        EXPECT_STREQ(E.what(), "Socket Error # 10049\r\nCannot assign requested address.");
    }
}

TEST_F(NetSocketHandleTest, ConnectAcceptSendReceive)
{
    TNetSocketHandle Server;
    Server.AllocateHandle(SOCK_STREAM, 0);
    Server.IP = "127.0.0.1";
    Server.Bind();
    ASSERT_EQ(S.ListenSocket(Server.Handle, 4), 0);

    TNetSocketHandle Client;
    Client.AllocateHandle(SOCK_STREAM, 0);
    Client.Bind();
    Client.SetPeerAddress("127.0.0.1", Server.Port);
    int One = 1;
    Client.SetOption(IPPROTO_TCP, TCP_NODELAY, &One, sizeof One);
    ASSERT_EQ(Client.Connect(), 0);
    EXPECT_EQ(Client.IP, "127.0.0.1"); // read back from the system after connecting
    EXPECT_EQ(Client.PeerIP, "127.0.0.1");
    EXPECT_EQ(Client.PeerPort, Server.Port);

    TNetSocketHandle Accepted;
    ASSERT_TRUE(Accepted.AcceptFrom(Server.Handle));
    EXPECT_TRUE(Accepted.HasSocket);
    EXPECT_EQ(Accepted.Port, Server.Port);
    EXPECT_EQ(Accepted.PeerPort, Client.Port);

    EXPECT_EQ(Client.Send("ping", 4), 4);
    ASSERT_TRUE(Accepted.WaitReadable(1000));
    char Buffer[8] = {};
    EXPECT_EQ(Accepted.Receive(Buffer, sizeof Buffer), 4);
    EXPECT_EQ(std::string(Buffer, 4), "ping");

    // The peer's close reads as readable, then as 0 bytes.
    Client.ShutAndClose();
    EXPECT_TRUE(Accepted.WaitReadable(1000));
    EXPECT_EQ(Accepted.Receive(Buffer, sizeof Buffer), 0);
}

TEST_F(NetSocketHandleTest, RefusedConnectReturnsTheFailure)
{
    TNetSocketHandle H;
    H.AllocateHandle(SOCK_STREAM, 0);
    H.SetPeerAddress("127.0.0.1", ClosedPort());
    int32_t Result = H.Connect();
    EXPECT_EQ(Result, -1);
    EXPECT_EQ(H.IP, ""); // nothing read back after a failure
    try {
        S.CheckSocketResult(Result);
        FAIL() << "no error";
    } catch (const ENetSocketError& E) {
        EXPECT_EQ(E.ErrorCode, 10061);
    }
}

TEST_F(NetSocketHandleTest, AcceptFromANonSocketGivesFalse)
{
    int Pipe[2];
    ASSERT_EQ(pipe(Pipe), 0);
    TFd Read(Pipe[0]), Write(Pipe[1]);
    TNetSocketHandle H;
    H.IP = "1.2.3.4";
    EXPECT_FALSE(H.AcceptFrom(Read.Get()));
    EXPECT_FALSE(H.HasSocket);
    EXPECT_EQ(H.IP, "");
    EXPECT_EQ(S.LastError.load(), 10038);
    // Other failures raise.
    TNetSocketHandle Unbound;
    Unbound.AllocateHandle(SOCK_STREAM, 0);
    EXPECT_THROW(H.AcceptFrom(Unbound.Handle), ENetSocketError);
}

TEST_F(NetSocketHandleTest, WaitReadableTimeOutsAndPolls)
{
    TTcpPair Pair;
    TNetSocketHandle H;
    EXPECT_EQ(Raised<ENetConnClosedGracefully>([&] { H.WaitReadable(0); }), "Connection Closed Gracefully.");
    H.Handle = Pair.Server.Release();
    H.HasSocket = true;

    auto Start = std::chrono::steady_clock::now();
    EXPECT_FALSE(H.WaitReadable(0));
    EXPECT_LT(MillisecondsSince(Start), 50.0);
    Start = std::chrono::steady_clock::now();
    EXPECT_FALSE(H.WaitReadable(100));
    EXPECT_GE(MillisecondsSince(Start), 100.0);

    ASSERT_EQ(write(Pair.Client.Get(), "x", 1), 1);
    EXPECT_TRUE(H.WaitReadable(0));
    EXPECT_TRUE(H.WaitReadable(-2));

    H.ShutAndClose();
    EXPECT_EQ(Raised<ENetConnClosedGracefully>([&] { H.WaitReadable(-2); }), "Connection Closed Gracefully.");
    // A descriptor closed behind the handle's back: the wait fails, quietly.
    TNetSocketHandle Stale;
    Stale.AllocateHandle(SOCK_STREAM, 0);
    ::close(Stale.Handle);
    EXPECT_FALSE(Stale.WaitReadable(1000));
    Stale.HasSocket = false;
}

TEST_F(NetSocketHandleTest, SendToAndReceiveFrom)
{
    TNetSocketHandle Receiver;
    Receiver.AllocateHandle(SOCK_DGRAM, 0);
    Receiver.IP = "127.0.0.1";
    Receiver.Bind();
    TNetSocketHandle Sender;
    Sender.AllocateHandle(SOCK_DGRAM, 0);
    Sender.IP = "127.0.0.1";
    Sender.Bind();

    Sender.SendTo("127.0.0.1", Receiver.Port, "datagram", 8);
    ASSERT_TRUE(Receiver.WaitReadable(1000));
    char Buffer[16] = {};
    std::string FromIP;
    int32_t FromPort = 0;
    EXPECT_EQ(Receiver.ReceiveFrom(Buffer, sizeof Buffer, 0, FromIP, FromPort), 8);
    EXPECT_EQ(std::string(Buffer, 8), "datagram");
    EXPECT_EQ(FromIP, "127.0.0.1");
    EXPECT_EQ(FromPort, Sender.Port);

    // Larger than any IPv4 datagram can be.
    std::vector<char> Huge(70000, 'x');
    const int32_t HugeSize = static_cast<int32_t>(Huge.size());
    auto SendHuge = [&] { Sender.SendTo("127.0.0.1", Receiver.Port, Huge.data(), HugeSize); };
    EXPECT_EQ(Raised<ENetPackageSizeTooBig>(SendHuge), "Package Size Too Big.");
    EXPECT_FALSE(Receiver.WaitReadable(0));

    // Other failures are socket errors: a stream socket that is not connected.
    TNetSocketHandle Stream;
    Stream.AllocateHandle(SOCK_STREAM, 0);
    try {
        Stream.SendTo("127.0.0.1", Receiver.Port, "x", 1);
        FAIL() << "sent on an unconnected stream";
    } catch (const ENetSocketError& E) {
        EXPECT_TRUE(E.ErrorCode == 10057 || E.ErrorCode == 10058) << E.ErrorCode;
    }
}

TEST_F(NetSocketHandleTest, CloseCallsAndResets)
{
    auto* H = new TNetSocketHandle();
    H->AllocateHandle(SOCK_STREAM, 0);
    const int First = H->Handle;
    H->IP = "127.0.0.1";
    H->Port = 1;
    H->PeerIP = "127.0.0.2";
    H->PeerPort = 2;
    // Reopening closes the old socket first and keeps the address fields.
    H->AllocateHandle(SOCK_STREAM, 0);
    EXPECT_EQ(S.Closes, std::vector<int> { First });
    EXPECT_EQ(H->IP, "127.0.0.1");
    EXPECT_EQ(H->PeerPort, 2);
    const int Second = H->Handle;
    H->ShutAndClose();
    H->ShutAndClose();
    EXPECT_EQ(S.Shutdowns, (std::vector<int> { First, Second }));
    EXPECT_EQ(S.Closes, (std::vector<int> { First, Second }));
    EXPECT_EQ(H->Handle, Second);
    EXPECT_FALSE(H->HasSocket);
    delete H;
    EXPECT_EQ(S.Closes.size(), 2u);

    // Destroying an open handle closes its socket.
    H = new TNetSocketHandle();
    H->AllocateHandle(SOCK_DGRAM, 0);
    const int Third = H->Handle;
    delete H;
    EXPECT_EQ(S.Closes.back(), Third);

    // Resetting forgets without closing.
    TNetSocketHandle R;
    R.AllocateHandle(SOCK_STREAM, 0);
    const int Kept = R.Handle;
    R.IP = "127.0.0.1";
    R.Port = 5;
    R.PeerIP = "127.0.0.9";
    R.PeerPort = 6;
    R.ClientPortMin = 7;
    R.ResetState(false);
    EXPECT_EQ(R.Handle, -1);
    EXPECT_FALSE(R.HasSocket);
    EXPECT_EQ(R.IP, "127.0.0.1");
    EXPECT_EQ(R.Port, 5);
    EXPECT_EQ(R.PeerIP, "");
    EXPECT_EQ(R.PeerPort, 0);
    EXPECT_EQ(R.ClientPortMin, 7);
    EXPECT_TRUE(IsOpen(Kept));
    R.ResetState(true);
    EXPECT_EQ(R.IP, "");
    EXPECT_EQ(R.Port, 0);
    ::close(Kept);
}

TEST_F(NetSocketHandleTest, OptionsAndAssign)
{
    TNetSocketHandle H;
    H.AllocateHandle(SOCK_STREAM, 0);
    int Value = 1;
    try {
        H.SetOption(IPPROTO_TCP, 9999, &Value, sizeof Value);
        FAIL() << "unknown option accepted";
    } catch (const ENetSocketError& E) {
        EXPECT_EQ(E.ErrorCode, 10042);
        EXPECT_STREQ(E.what(), "Socket Error # 10042\r\nBad protocol option.");
    }
    TNetSocketHandle Source;
    Source.IP = "127.0.0.1";
    Source.Port = 1;
    Source.PeerIP = "127.0.0.2";
    Source.PeerPort = 2;
    Source.ClientPortMin = 3;
    Source.ClientPortMax = 4;
    H.Assign(Source);
    EXPECT_EQ(H.IP, "127.0.0.1");
    EXPECT_EQ(H.Port, 1);
    EXPECT_EQ(H.PeerIP, "127.0.0.2");
    EXPECT_EQ(H.PeerPort, 2);
    EXPECT_EQ(H.ClientPortMin, 0);
    EXPECT_EQ(H.ClientPortMax, 0);
    EXPECT_TRUE(H.HasSocket);
}

namespace {

// Counts pumps and may act on the n-th one.
class TTestAntiFreeze : public TNetAntiFreezeBase {
public:
    void Pump() override
    {
        ++Pumps;
        if (OnPump)
            OnPump(Pumps);
    }
    int Pumps = 0;
    std::function<void(int)> OnPump;
};

} // namespace

TEST_F(NetSocketHandleTest, AntiFreezeSlicesTheWait)
{
    TTcpPair Pair;
    TNetSocketHandle H;
    H.Handle = Pair.Server.Release();
    H.HasSocket = true;
    TTestAntiFreeze Freeze;
    Freeze.IdleTimeOut = 20;

    // 100 ms: five slices of 20, a pump after each idle one.
    auto Start = std::chrono::steady_clock::now();
    EXPECT_FALSE(H.WaitReadable(100));
    EXPECT_GE(MillisecondsSince(Start), 100.0);
    EXPECT_EQ(Freeze.Pumps, 5);

    // 30 ms: a first slice of 10, then one of 20.
    Freeze.Pumps = 0;
    Start = std::chrono::steady_clock::now();
    EXPECT_FALSE(H.WaitReadable(30));
    EXPECT_GE(MillisecondsSince(Start), 30.0);
    EXPECT_EQ(Freeze.Pumps, 2);

    // Not longer than a slice: one wait.
    Freeze.Pumps = 0;
    EXPECT_FALSE(H.WaitReadable(15));
    EXPECT_EQ(Freeze.Pumps, 1);

    // Without limit: slices until data comes (sent here by the third pump); a readable wait
    // does not pump when only idle pumping is wanted.
    Freeze.Pumps = 0;
    Freeze.OnPump = [&](int N) {
        if (N == 3)
            (void)!write(Pair.Client.Get(), "x", 1);
    };
    EXPECT_TRUE(H.WaitReadable(-2));
    EXPECT_EQ(Freeze.Pumps, 3);
    Freeze.OnlyWhenIdle = false;
    Freeze.Pumps = 0;
    EXPECT_TRUE(H.WaitReadable(-2));
    EXPECT_EQ(Freeze.Pumps, 1);
    char C;
    ASSERT_EQ(H.Receive(&C, 1), 1);

    // A pump that closes the handle ends a wait without limit.
    Freeze.OnPump = [&](int N) {
        if (N == 2)
            H.ShutAndClose();
    };
    Freeze.Pumps = 0;
    EXPECT_THROW(H.WaitReadable(-2), ENetConnClosedGracefully);
    EXPECT_EQ(Freeze.Pumps, 2);
}

TEST_F(NetSocketHandleTest, AntiFreezeWithoutSlices)
{
    TTcpPair Pair;
    TNetSocketHandle H;
    H.Handle = Pair.Server.Release();
    H.HasSocket = true;
    TTestAntiFreeze Freeze;
    Freeze.IdleTimeOut = 20;

    // Inactive: not in force, one plain wait.
    Freeze.Active = false;
    EXPECT_FALSE(H.WaitReadable(60));
    EXPECT_EQ(Freeze.Pumps, 0);

    // A slice of 0 would never finish a long wait: the wait is taken whole.
    Freeze.Active = true;
    Freeze.IdleTimeOut = 0;
    auto Start = std::chrono::steady_clock::now();
    EXPECT_FALSE(H.WaitReadable(60));
    EXPECT_GE(MillisecondsSince(Start), 60.0);
    EXPECT_EQ(Freeze.Pumps, 1);

    // A wait that fails outright does not spin in slices.
    Freeze.IdleTimeOut = 20;
    Freeze.Pumps = 0;
    TNetSocketHandle Stale;
    Stale.AllocateHandle(SOCK_STREAM, 0);
    ::close(Stale.Handle);
    EXPECT_FALSE(Stale.WaitReadable(-2));
    EXPECT_EQ(Freeze.Pumps, 1);
    Stale.HasSocket = false;
}

TEST_F(NetSocketHandleTest, ShutAndCloseEndsAConnectWaitingOnAnotherThread)
{
    // The connect waits on another thread behind a full listen queue; closing the handle, as
    // a timed connect does when its time is up, makes it return.
    TFd Listen(BoundSocket(SOCK_STREAM, 0));
    ASSERT_EQ(listen(Listen.Get(), 0), 0);
    const int Port = LocalPort(Listen.Get());
    std::vector<TFd> Fillers;
    for (int I = 0; I < 8; ++I) {
        Fillers.emplace_back(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
        sockaddr_in A = Loopback(Port);
        connect(Fillers.back().Get(), reinterpret_cast<sockaddr*>(&A), sizeof A);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    TNetSocketHandle H;
    H.AllocateHandle(SOCK_STREAM, 0);
    timeval Limit { 5, 0 }; // should the close not end the wait
    ASSERT_EQ(setsockopt(H.Handle, SOL_SOCKET, SO_SNDTIMEO, &Limit, sizeof Limit), 0);
    H.SetPeerAddress("127.0.0.1", Port);
    std::atomic<bool> Done { false };
    int32_t Result = 0;
    int32_t Code = 0;
    std::thread Connector([&] {
        Result = H.Connect();
        Code = S.LastSocketError();
        Done = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    const bool WasWaiting = !Done;
    auto Start = std::chrono::steady_clock::now();
    H.ShutAndClose();
    Connector.join();
    if (!WasWaiting)
        GTEST_SKIP() << "the connect did not wait";
    EXPECT_LT(MillisecondsSince(Start), 1000.0);
    EXPECT_EQ(Result, -1);
    EXPECT_EQ(Code, 10054);
}
