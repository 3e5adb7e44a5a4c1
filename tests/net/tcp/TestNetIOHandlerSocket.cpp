#include "net/tcp/NetIOHandlerSocket.h"

#include "net/stack/NetCancel.h"
#include "net/stack/NetStack.h"
#include "net/tcp/NetAntiFreezeBase.h"
#include "support/Icmp.h"
#include "support/ScriptedServer.h"

#include <gtest/gtest.h>

#include <netinet/tcp.h>
#include <thread>
#include <vector>

using namespace nettest;

namespace {

struct TStatusLog {
    std::vector<TNetStatus> Statuses;
    std::vector<std::string> Texts;
    TNetStatusEvent Handler()
    {
        return [this](TComponent*, TNetStatus AStatus, const std::string& AText) {
            Statuses.push_back(AStatus);
            Texts.push_back(AText);
        };
    }
};

void Connect(TNetIOHandlerSocket& AHandler, const std::string& AHost, int APort, int32_t ATimeout)
{
    AHandler.PrepareLink();
    AHandler.ConnectTo(AHost, APort, "", 0, 0, 0, ATimeout);
}

// What a connect raised: its class and its message.
template <class F> std::string ConnectFailure(F AConnect)
{
    try {
        AConnect();
    } catch (const ENetConnectTimeout& E) {
        return std::string("timeout: ") + E.what();
    } catch (const ENetConnectException& E) {
        return std::string("connect: ") + E.what();
    } catch (const std::exception& E) {
        return std::string("other: ") + E.what();
    }
    return "connected";
}

class TCountingAntiFreeze : public TNetAntiFreezeBase {
public:
    void Pump() override { ++Pumps; }
    int Pumps = 0;
};

} // namespace

TEST(NetIOHandlerSocket, StatusesOfAConnectByLiteralAndByName)
{
    TScriptedServer Server([](TScriptedServer&, int, int) {}, 2);
    {
        TNetIOHandlerSocket H;
        TStatusLog Log;
        H.OnStatus = Log.Handler();
        Connect(H, "127.0.0.1", Server.Port(), -1);
        EXPECT_TRUE(H.LinkOpen());
        EXPECT_EQ(Log.Statuses, std::vector<TNetStatus> { TNetStatus::hsConnecting });
        EXPECT_EQ(Log.Texts, std::vector<std::string> { "Connecting to 127.0.0.1." });
    }
    {
        TNetIOHandlerSocket H;
        TStatusLog Log;
        H.OnStatus = Log.Handler();
        Connect(H, "LOCALHOST", Server.Port(), 2000);
        EXPECT_TRUE(H.LinkOpen());
        EXPECT_EQ(
            Log.Statuses, (std::vector<TNetStatus> { TNetStatus::hsResolving, TNetStatus::hsConnecting }));
        EXPECT_EQ(Log.Texts,
            (std::vector<std::string> { "Resolving hostname LOCALHOST.", "Connecting to 127.0.0.1." }));
        EXPECT_EQ(H.SocketHandle()->PeerPort, Server.Port());
        EXPECT_EQ(H.SocketHandle()->IP, "127.0.0.1");
    }
}

TEST(NetIOHandlerSocket, TimedConnectReturnsAsSoonAsConnectedWithABlockingSocket)
{
    TScriptedServer Server([](TScriptedServer& S, int Fd, int) { S.WaitForPeerClose(Fd); });
    TNetIOHandlerSocket H;
    H.UseNagle = false;
    const auto Start = std::chrono::steady_clock::now();
    Connect(H, "127.0.0.1", Server.Port(), 5000);
    // Far below the time-out: the wait ends with the connect, not at the limit.
    EXPECT_LT(MillisecondsSince(Start), 2500);
    ASSERT_TRUE(H.LinkOpen());
    const int Fd = H.SocketHandle()->Handle;
    EXPECT_EQ(fcntl(Fd, F_GETFL) & O_NONBLOCK, 0);
    int NoDelay = 0;
    socklen_t Length = sizeof NoDelay;
    getsockopt(Fd, IPPROTO_TCP, TCP_NODELAY, &NoDelay, &Length);
    EXPECT_NE(NoDelay, 0);
    EXPECT_EQ(H.SocketHandle()->PeerPort, Server.Port());
    EXPECT_NE(H.SocketHandle()->Port, 0);
    EXPECT_EQ(H.WriteSome("ping", 4), 4);
}

TEST(NetIOHandlerSocket, NagleStaysOnByDefault)
{
    TScriptedServer Server([](TScriptedServer&, int, int) {});
    TNetIOHandlerSocket H;
    Connect(H, "127.0.0.1", Server.Port(), -1);
    int NoDelay = 1;
    socklen_t Length = sizeof NoDelay;
    getsockopt(H.SocketHandle()->Handle, IPPROTO_TCP, TCP_NODELAY, &NoDelay, &Length);
    EXPECT_EQ(NoDelay, 0);
}

TEST(NetIOHandlerSocket, RefusedConnects)
{
    const int Port = ClosedPort();
    TNetIOHandlerSocket H;
    const std::string Text = GSocketStack->SocketErrorText(NetErrConnectionRefused);
    ASSERT_NE(Text.find("10061"), std::string::npos);

    // A timed connect: the connect's own error text, raised as soon as it fails.
    const auto Start = std::chrono::steady_clock::now();
    EXPECT_EQ(Raised<ENetConnectException>([&] { Connect(H, "127.0.0.1", Port, 5000); }), Text);
    EXPECT_LT(MillisecondsSince(Start), 2500);

    // Without a time-out the blocking connect raises the socket error itself.
    try {
        Connect(H, "127.0.0.1", Port, -1);
        ADD_FAILURE() << "nothing raised";
    } catch (const ENetSocketError& E) {
        EXPECT_EQ(E.ErrorCode, NetErrConnectionRefused);
        EXPECT_EQ(std::string(E.what()), Text);
    }
    // 0 is no explicit time-out too.
    EXPECT_EQ(Raised<ENetSocketError>([&] { Connect(H, "127.0.0.1", Port, 0); }), Text);
}

TEST(NetIOHandlerSocket, ConnectThatNeverCompletesTimesOutAndLeavesNoThread)
{
    TDeafListener Deaf;
    if (!Deaf.Ready)
        GTEST_SKIP() << "this kernel completes connects to a full accept queue";
    const int Threads = ThreadCount();
    TNetIOHandlerSocket H;
    const auto Start = std::chrono::steady_clock::now();
    EXPECT_EQ(
        Raised<ENetConnectTimeout>([&] { Connect(H, "127.0.0.1", Deaf.Port, 400); }), "Connect timed out.");
    const double Elapsed = MillisecondsSince(Start);
    EXPECT_GE(Elapsed, 399);
    EXPECT_LT(Elapsed, 1400);
    EXPECT_FALSE(H.LinkOpen());
    EXPECT_EQ(ThreadCountSettled(Threads), Threads);
    // Closing again is harmless, and the handler connects anew afterwards.
    H.CloseLink();
    TScriptedServer Server([](TScriptedServer&, int, int) {});
    Connect(H, "127.0.0.1", Server.Port(), 2000);
    EXPECT_TRUE(H.LinkOpen());
}

// A cancel of the probe ends a timed connect at once, with the socket closed.
TEST(NetIOHandlerSocket, ACancelEndsATimedConnect)
{
    TDeafListener Deaf;
    if (!Deaf.Ready)
        GTEST_SKIP() << "this kernel completes connects to a full accept queue";
    TNetCancelToken Token;
    const TNetCancelScope Scope(&Token);
    std::thread Canceller([&Token] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        Token.Cancel();
    });
    TNetIOHandlerSocket H;
    const auto Start = std::chrono::steady_clock::now();
    EXPECT_EQ(Raised<ENetCancelled>([&] { Connect(H, "127.0.0.1", Deaf.Port, 5000); }), "Cancelled.");
    Canceller.join();
    EXPECT_LT(MillisecondsSince(Start), 2500);
    EXPECT_FALSE(H.LinkOpen());
}

TEST(NetIOHandlerSocket, NoLimitIsATimedConnectToo)
{
    TScriptedServer Server([](TScriptedServer&, int, int) {});
    TNetIOHandlerSocket H;
    Connect(H, "127.0.0.1", Server.Port(), -2);
    EXPECT_TRUE(H.LinkOpen());
    const int Port = ClosedPort();
    EXPECT_NE(Raised<ENetConnectException>([&] { Connect(H, "127.0.0.1", Port, -2); }), "(nothing raised)");
}

TEST(NetIOHandlerSocket, AntiFreezeIsPumpedWhileATimedConnectWaits)
{
    TDeafListener Deaf;
    if (!Deaf.Ready)
        GTEST_SKIP() << "this kernel completes connects to a full accept queue";
    TCountingAntiFreeze Freeze;
    Freeze.IdleTimeOut = 50;
    ASSERT_TRUE(TNetAntiFreezeBase::IsInForce());
    TNetIOHandlerSocket H;
    const auto Start = std::chrono::steady_clock::now();
    EXPECT_EQ(
        Raised<ENetConnectTimeout>([&] { Connect(H, "127.0.0.1", Deaf.Port, 400); }), "Connect timed out.");
    EXPECT_GE(MillisecondsSince(Start), 399);
    EXPECT_GE(Freeze.Pumps, 3);
    // With an anti-freeze in force even a connect without a time-out runs on the thread.
    const int Port = ClosedPort();
    EXPECT_EQ(Raised<ENetConnectException>([&] { Connect(H, "127.0.0.1", Port, -1); }),
        GSocketStack->SocketErrorText(NetErrConnectionRefused));
}

TEST(NetIOHandlerSocket, RawOperationsAfterCloseRaise)
{
    TScriptedServer Server([](TScriptedServer& S, int Fd, int) { S.SendAll(Fd, "x"); });
    TNetIOHandlerSocket H;
    char Buffer[4];
    EXPECT_EQ(Raised<ENetClosedSocket>([&] { H.ReadSome(Buffer, 4); }), "Disconnected.");
    EXPECT_EQ(Raised<ENetConnClosedGracefully>([&] { H.CanRead(0); }), "Connection Closed Gracefully.");
    Connect(H, "127.0.0.1", Server.Port(), -1);
    EXPECT_TRUE(H.CanRead(2000));
    EXPECT_EQ(H.ReadSome(Buffer, 4), 1);
    H.CloseLink();
    EXPECT_FALSE(H.LinkOpen());
    EXPECT_EQ(Raised<ENetClosedSocket>([&] { H.ReadSome(Buffer, 4); }), "Disconnected.");
    EXPECT_EQ(Raised<ENetClosedSocket>([&] { H.WriteSome(Buffer, 4); }), "Disconnected.");
    EXPECT_EQ(Raised<ENetConnClosedGracefully>([&] { H.CanRead(0); }), "Connection Closed Gracefully.");
}

TEST(NetIOHandlerSocket, PrepareLinkForgetsAnOpenSocketWithoutClosingIt)
{
    TScriptedServer Server([](TScriptedServer&, int, int) {});
    TNetIOHandlerSocket H;
    EXPECT_EQ(H.SocketHandle(), nullptr);
    Connect(H, "127.0.0.1", Server.Port(), -1);
    TFd Old(H.SocketHandle()->Handle);
    H.PrepareLink();
    EXPECT_FALSE(H.LinkOpen());
    EXPECT_NE(fcntl(Old.Get(), F_GETFD), -1);
}

TEST(NetIOHandlerSocket, SocksSettings)
{
    TScriptedServer Server([](TScriptedServer&, int, int) {}, 2);
    TNetIOHandlerSocket H;
    TNetSocksInfo* Info = H.SocksInfo();
    ASSERT_NE(Info, nullptr);
    EXPECT_EQ(Info->Owner(), nullptr);
    EXPECT_EQ(Info->Version, TSocksVersion::svNoSocks);
    EXPECT_EQ(Info->Authentication, TSocksAuthentication::saNoAuthentication);
    EXPECT_EQ(Info->Port, 1080);
    EXPECT_TRUE(Info->Host.empty() && Info->Username.empty() && Info->Password.empty());
    EXPECT_EQ(H.SocksInfo(), Info);

    // An owned settings object destroyed elsewhere is forgotten.
    TNetComponent Owner;
    auto* Owned = new TNetSocksInfo(&Owner);
    Owned->Port = 9999;
    H.SetSocksInfo(Owned);
    EXPECT_EQ(H.SocksInfo(), Owned);
    delete Owned;
    // A new default in its place (the allocator may well hand out the same address).
    EXPECT_EQ(H.SocksInfo()->Owner(), nullptr);
    EXPECT_EQ(H.SocksInfo()->Port, 1080);

    // A SOCKS server is connected to in place of the target, and then refused.
    H.SocksInfo()->Version = TSocksVersion::svSocks5;
    H.SocksInfo()->Host = "127.0.0.1";
    H.SocksInfo()->Port = Server.Port();
    EXPECT_EQ(
        Raised<ENetSocksError>([&] { Connect(H, "127.0.0.9", 80, -1); }), "SOCKS version is not supported.");
    EXPECT_EQ(H.SocketHandle()->PeerPort, Server.Port());
}

TEST(NetIOHandlerSocket, ConnectsToTheIPv6Loopback)
{
    TFd Listen = Listener6();
    if (Listen.Get() < 0)
        GTEST_SKIP() << "no IPv6 on the loopback";
    TScriptedServer Server(
        std::move(Listen), [](TScriptedServer&, int, int) {}, 2);
    for (const int32_t Timeout : { -1, 2000 }) {
        SCOPED_TRACE(Timeout);
        TNetIOHandlerSocket H;
        TStatusLog Log;
        H.OnStatus = Log.Handler();
        Connect(H, "::1", Server.Port(), Timeout);
        EXPECT_TRUE(H.LinkOpen());
        EXPECT_EQ(H.SocketHandle()->Family, NetFamilyIPv6);
        EXPECT_EQ(H.SocketHandle()->PeerIP, "::1");
        EXPECT_EQ(H.SocketHandle()->IP, "::1");
        EXPECT_EQ(Log.Texts, std::vector<std::string> { "Connecting to ::1." });
    }
    TNetIOHandlerSocket H;
    EXPECT_EQ(ConnectFailure([&] { Connect(H, "::1", ClosedPort(), 2000); }),
        "connect: Socket Error # 10061\r\nConnection refused.");
}

// A name with a refusing, a silent and a live address, in this order, on the loopback of a
// namespace of the test's own.
TEST(NetIOHandlerSocket, NameWithSeveralAddressesIsTriedAddressByAddress)
{
    ICMP_RUN_ISOLATED([]() -> std::string {
        // Silent: fd00:20::9 lies behind a veth end whose peer is down, so neighbour
        // discovery asks into the void for 3 s before the connect fails.
        if (!icmptest::RunProgram({ "ip", "link", "add", "vs0", "type", "veth", "peer", "name", "vs1" })
            || !icmptest::RunProgram({ "ip", "link", "set", "vs0", "up" })
            || !icmptest::RunProgram({ "ip", "-6", "addr", "add", "fd00:20::1/64", "dev", "vs0", "nodad" })
            || !icmptest::AddLoopbackAddresses6({ "fd00:19::2", "fd00:19::3" })
            || !icmptest::UseHostsFile("fd00:19::3 multi.test\nfd00:20::9 multi.test\nfd00:19::2 multi.test\n"
                                       "fd00:19::3 dead.test\nfd00:20::9 dead.test\nfd00:19::2 six.test\n")
            // The resolver would put the silent address last (its source address matches it
            // less closely than the local ones match themselves); precedences keep the order.
            || !icmptest::UseSystemFile("/etc/gai.conf",
                "precedence fd00:19::3/128 60\nprecedence fd00:20::9/128 50\nprecedence fd00:19::2/128 40\n"
                "precedence ::/0 10\n"))
            return "SKIP";
        TFd Live = Listener6("fd00:19::2");
        const int Port = LocalPort(Live.Get());
        if (Live.Get() < 0)
            return "the listener could not be made";
        TScriptedServer Server(
            std::move(Live), [](TScriptedServer&, int, int) {}, 2);
        icmptest::TChecks Check;
        TNetIOHandlerSocket H;
        const std::vector<TNetHostAddress> Expected = { { NetFamilyIPv6, "fd00:19::3" },
            { NetFamilyIPv6, "fd00:20::9" }, { NetFamilyIPv6, "fd00:19::2" } };
        Check.True(GSocketStack->HostAddresses("multi.test", 2000) == Expected, "resolver's order");

        auto Start = std::chrono::steady_clock::now();
        Check.Equal(ConnectFailure([&] { Connect(H, "multi.test", Port, 3000); }), std::string("connected"),
            "multi.test");
        Check.Equal(H.SocketHandle()->PeerIP, std::string("fd00:19::2"), "address that answered");
        // Refused at once, then the silent one gets half of what is left.
        const double Elapsed = MillisecondsSince(Start);
        Check.True(Elapsed > 1300 && Elapsed < 2500, "silent address's share: " + std::to_string(Elapsed));

        Start = std::chrono::steady_clock::now();
        Check.Equal(ConnectFailure([&] { Connect(H, "dead.test", Port, 1000); }),
            std::string("timeout: Connect timed out.\r\nAddresses tried: fd00:19::3 (Connection refused.), "
                        "fd00:20::9 (Connect timed out.)"),
            "dead.test");
        Check.True(MillisecondsSince(Start) < 1500, "one time-out for all addresses");

        Check.Equal(ConnectFailure([&] { Connect(H, "six.test", Port, 1000); }), std::string("connected"),
            "six.test");
        return Check.Errors;
    });
}

// Name servers that never answer: the lookup is given up at the connect's deadline.
TEST(NetIOHandlerSocket, LookupKeepsToTheConnectTimeOut)
{
    ICMP_RUN_ISOLATED([]() -> std::string {
        TFd Server(BoundSocket(SOCK_DGRAM, 53)); // takes every question, answers none
        if (Server.Get() < 0 || !icmptest::UseHostsFile("127.0.0.1 localhost\n")
            || !icmptest::UseSystemFile(
                "/etc/resolv.conf", "nameserver 127.0.0.1\noptions timeout:2 attempts:1\n")
            || !icmptest::UseSystemFile("/etc/nsswitch.conf", "hosts: files dns\n"))
            return "SKIP";
        icmptest::TChecks Check;
        TNetIOHandlerSocket H;
        for (int Try = 0; Try < 2; ++Try) {
            const auto Start = std::chrono::steady_clock::now();
            Check.Equal(ConnectFailure([&] { Connect(H, "nowhere.test", 80, 300); }),
                std::string("timeout: Host name lookup timed out."), "lookup");
            const double Elapsed = MillisecondsSince(Start);
            Check.True(Elapsed >= 290 && Elapsed < 1000, "deadline kept: " + std::to_string(Elapsed));
        }
        // A probe cancelled from another thread leaves its lookup at once.
        TNetCancelToken Token;
        std::string Outcome;
        const auto Start = std::chrono::steady_clock::now();
        std::thread Probe([&] {
            const TNetCancelScope Scope(&Token);
            TNetIOHandlerSocket Handler;
            Outcome = ConnectFailure([&] { Connect(Handler, "elsewhere.test", 80, 5000); });
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        Token.Cancel();
        Probe.join();
        Check.Equal(Outcome, std::string("other: Cancelled."), "cancelled lookup");
        Check.True(MillisecondsSince(Start) < 1000, "cancel ends the wait");
        // The abandoned lookups still run; the process leaves without waiting for them.
        return Check.Errors;
    });
}
