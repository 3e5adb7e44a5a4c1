#include "net/stack/NetStack.h"
#include "net/stack/NetStackLinux.h"
#include "net/stack/NetStrings.h"
#include "net/tcp/NetComponent.h"
#include "support/Icmp.h"
#include "support/Net.h"
#include "support/ScriptedServer.h"

#include <gtest/gtest.h>

#include <arpa/nameser.h>
#include <atomic>
#include <csignal>
#include <fstream>
#include <mutex>
#include <netdb.h>
#include <netinet/tcp.h>
#include <resolv.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <thread>

using namespace nettest;

namespace {

// Keeps the stack alive for the test, as a networking component does in the program.
class NetStackTest : public ::testing::Test {
protected:
    TNetComponent FKeeper;
    TNetStack& S = *GSocketStack;
};

template <class E, class F> E Caught(F AFunc)
{
    try {
        AFunc();
    } catch (const E& Ex) {
        return Ex;
    }
    throw std::runtime_error("expected exception not raised");
}

// A list that claims any number of handles and counts how often it is read.
class TCountedList : public TNetSocketList {
public:
    explicit TCountedList(int32_t ACount)
        : FCount(ACount)
    {
    }
    int Item(int32_t) const override
    {
        ++Reads;
        return 0;
    }
    void Add(int) override { ++FCount; }
    void Remove(int) override { --FCount; }
    int32_t Count() const override { return FCount; }
    mutable int Reads = 0;

private:
    int32_t FCount;
};

} // namespace

TEST_F(NetStackTest, ErrorTextsFollowTheTable)
{
    struct Row {
        int32_t Code;
        const char* Text;
    };
    const Row Rows[] = {
        { 10004, "Socket Error # 10004\r\nInterrupted system call." },
        { 10035, "Socket Error # 10035\r\nOperation would block. " },
        { 10048, "Socket Error # 10048\r\nAddress already in use." },
        { 10061, "Socket Error # 10061\r\nConnection refused." },
        { 10066, "Socket Error # 10066\r\nDirectory not empty" },
        { 11001, "Socket Error # 11001\r\nHost not found." },
        // Outside the table: the code, CR LF and nothing after it.
        { 10093, "Socket Error # 10093\r\n" },
        { 0, "Socket Error # 0\r\n" },
        { 20002, "Socket Error # 20002\r\n" },
    };
    for (const Row& R : Rows)
        EXPECT_EQ(S.SocketErrorText(R.Code), R.Text) << R.Code;
    // "Host not found." belongs to the platform class, not to the shared table.
    EXPECT_EQ(S.TNetStack::SocketErrorText(11001), "Socket Error # 11001\r\n");
}

TEST(NetStackErrors, ErrnoValuesMapOntoTheTable)
{
    const std::pair<int, int32_t> Rows[] = {
        { ECONNREFUSED, 10061 },
        { ETIMEDOUT, 10060 },
        { EADDRINUSE, 10048 },
        { EMSGSIZE, 10040 },
        { ENOTSOCK, 10038 },
        { EBADF, 10009 },
        { EINTR, 10004 },
        { EACCES, 10013 },
        { EPERM, 10013 },
        { EFAULT, 10014 },
        { EINVAL, 10022 },
        { EMFILE, 10024 },
        { EAGAIN, 10035 },
        { EWOULDBLOCK, 10035 },
        { EINPROGRESS, 10036 },
        { EALREADY, 10037 },
        { EDESTADDRREQ, 10039 },
        { EPROTOTYPE, 10041 },
        { ENOPROTOOPT, 10042 },
        { EPROTONOSUPPORT, 10043 },
        { ESOCKTNOSUPPORT, 10044 },
        { EOPNOTSUPP, 10045 },
        { EPFNOSUPPORT, 10046 },
        { EAFNOSUPPORT, 10047 },
        { EADDRNOTAVAIL, 10049 },
        { ENETDOWN, 10050 },
        { ENETUNREACH, 10051 },
        { ENETRESET, 10052 },
        { ECONNABORTED, 10053 },
        { ECONNRESET, 10054 },
        { ENOBUFS, 10055 },
        { EISCONN, 10056 },
        { ENOTCONN, 10057 },
        { ESHUTDOWN, 10058 },
        { EPIPE, 10058 },
        { ETOOMANYREFS, 10059 },
        { ELOOP, 10062 },
        { ENAMETOOLONG, 10063 },
        { EHOSTDOWN, 10064 },
        { EHOSTUNREACH, 10065 },
        { ENOTEMPTY, 10066 },
        { ENOMEM, 10055 },
        { ENFILE, 10024 },
        { 0, 0 },
        // Unknown values stay clear of the table (ENOENT is 2, EIO 5, ENOSYS 38).
        { ENOENT, 20002 },
        { EIO, 20005 },
        { ENOSYS, 20038 },
    };
    for (auto [Errno, Code] : Rows)
        EXPECT_EQ(TNetStackLinux::ErrnoToSocketError(Errno), Code) << Errno;

    const std::pair<int, int32_t> Resolver[] = {
        { EAI_NONAME, 11001 },
        { EAI_AGAIN, 11001 },
        { EAI_FAIL, 11001 },
        { EAI_NODATA, 11001 },
        { EAI_MEMORY, 10055 },
        { EAI_FAMILY, 10047 },
        { EAI_SOCKTYPE, 10044 },
        { EAI_BADFLAGS, 10022 },
    };
    for (auto [Result, Code] : Resolver)
        EXPECT_EQ(TNetStackLinux::ResolverErrorToSocketError(Result, 0), Code) << Result;
    EXPECT_EQ(TNetStackLinux::ResolverErrorToSocketError(EAI_SYSTEM, EMFILE), 10024);
}

TEST_F(NetStackTest, RefusedConnectRaisesWithTheTableText)
{
    int Socket = S.NewSocketHandle(SOCK_STREAM, 0);
    TFd Guard(Socket);
    EXPECT_EQ(S.ConnectSocket(Socket, NetFamilyIPv4, "127.0.0.1", ClosedPort()), -1);
    EXPECT_EQ(S.LastSocketError(), NetErrConnectionRefused);
    auto E = Caught<ENetSocketError>([&] { S.CheckSocketResult(-1); });
    EXPECT_EQ(E.ErrorCode, 10061);
    EXPECT_STREQ(E.what(), "Socket Error # 10061\r\nConnection refused.");
    EXPECT_EQ(S.LastError.load(), 10061);
}

TEST_F(NetStackTest, CheckSocketResultWithAndWithoutIgnoreList)
{
    TFd Taken(BoundSocket(SOCK_STREAM, 0));
    int Socket = S.NewSocketHandle(SOCK_STREAM, 0);
    TFd Guard(Socket);
    int32_t Result = S.BindSocket(Socket, NetFamilyIPv4, "127.0.0.1", LocalPort(Taken.Get()));
    ASSERT_EQ(Result, -1);

    S.LastError = 77;
    EXPECT_FALSE(S.CheckSocketResult(0));
    EXPECT_FALSE(S.CheckSocketResult(5));
    EXPECT_FALSE(S.CheckSocketResult(0, { 10048 }));
    EXPECT_EQ(S.LastError.load(), 77);

    EXPECT_TRUE(S.CheckSocketResult(Result, { 10048 }));
    EXPECT_EQ(S.LastError.load(), 10048);
    EXPECT_TRUE(S.CheckSocketResult(Result, { 10061, 10048, 10054 }));

    S.LastError = 0;
    auto E = Caught<ENetSocketError>([&] { S.CheckSocketResult(Result, { 10061 }); });
    EXPECT_EQ(E.ErrorCode, 10048);
    EXPECT_STREQ(E.what(), "Socket Error # 10048\r\nAddress already in use.");
    EXPECT_EQ(S.LastError.load(), 10048);
    EXPECT_THROW(S.CheckSocketResult(Result), ENetSocketError);

    auto T = Caught<ENetSocketError>([&] { S.ThrowSocketError(10060); });
    EXPECT_EQ(T.ErrorCode, 10060);
    EXPECT_STREQ(T.what(), "Socket Error # 10060\r\nConnection timed out.");
}

TEST_F(NetStackTest, LastSocketErrorIsPerThread)
{
    int Socket = S.NewSocketHandle(SOCK_STREAM, 0);
    TFd Guard(Socket);
    ASSERT_EQ(S.ConnectSocket(Socket, NetFamilyIPv4, "127.0.0.1", ClosedPort()), -1);
    int32_t Other = -1;
    std::thread([&] {
        TFd Taken(BoundSocket(SOCK_STREAM, 0));
        TFd Second(S.NewSocketHandle(SOCK_STREAM, 0));
        S.BindSocket(Second.Get(), NetFamilyIPv4, "127.0.0.1", LocalPort(Taken.Get()));
        Other = S.LastSocketError();
    }).join();
    EXPECT_EQ(Other, 10048);
    EXPECT_EQ(S.LastSocketError(), 10061);
}

TEST_F(NetStackTest, LookupHostShortcutsAndLiterals)
{
    for (const char* Name : { "LOCALHOST", "localhost", "LocalHost", "lOcAlHoSt" })
        EXPECT_EQ(S.LookupHost(Name), "127.0.0.1") << Name;
    for (const char* Literal : { "127.0.0.1", "127.1.2.3", "0x7F.0.0.1", "$7f.0.0.1" })
        EXPECT_EQ(S.LookupHost(Literal), Literal);
}

namespace {

std::atomic<int> GNameQueries { 0 };

// Answers every query with "no such name", on the loopback of the namespace it runs in.
int StartNameErrorServer(int& APort)
{
    int Fd = BoundSocket(SOCK_DGRAM, 0);
    APort = LocalPort(Fd);
    std::thread([Fd] {
        for (;;) {
            unsigned char Packet[512];
            sockaddr_in From {};
            socklen_t Length = sizeof From;
            ssize_t N = recvfrom(Fd, Packet, sizeof Packet, 0, reinterpret_cast<sockaddr*>(&From), &Length);
            if (N < 12)
                continue;
            ++GNameQueries;
            Packet[2] |= 0x80; // a response
            Packet[3] = static_cast<unsigned char>(0x80 | 3); // recursion available, NXDOMAIN
            sendto(Fd, Packet, static_cast<size_t>(N), 0, reinterpret_cast<sockaddr*>(&From), Length);
        }
    }).detach();
    return Fd;
}

std::string ExpectHostNotFound(TNetStack& AStack, const std::string& AName)
{
    try {
        AStack.LookupHost(AName);
        return AName + " resolved";
    } catch (const ENetSocketError& E) {
        if (E.ErrorCode != 11001 || std::string(E.what()) != "Socket Error # 11001\r\nHost not found.")
            return AName + ": " + E.what();
    }
    return {};
}

} // namespace

TEST(NetStackResolver, UnresolvableNameGivesHostNotFound)
{
    // In a namespace of its own: with no name server reachable (the usual case there) and
    // with a name server on the namespace's loopback that knows no such name.
    TIsolatedResult R = RunIsolated([]() -> std::string {
        TNetComponent Keeper;
        std::string Error = ExpectHostNotFound(*GSocketStack, "vardex-test.invalid");
        if (!Error.empty())
            return "unreachable name service: " + Error;
        int Port = 0;
        StartNameErrorServer(Port);
        res_init();
        sockaddr_in Server = Loopback(Port);
        _res.nscount = 1;
        _res.nsaddr_list[0] = Server;
        _res.retry = 1;
        Error = ExpectHostNotFound(*GSocketStack, "no-such-host.vardex-test.invalid");
        if (!Error.empty())
            return "name error: " + Error;
        if (GNameQueries.load() == 0)
            return "the name server was not asked";
        try {
            GSocketStack->HostByAddress("127.1.2.3");
            return "127.1.2.3 has a name";
        } catch (const ENetSocketError& E) {
            if (E.ErrorCode != 11001)
                return std::string("reverse lookup: ") + E.what();
        }
        // The name of the loopback comes from the hosts file, no server needed.
        if (GSocketStack->HostByName("localhost") != "127.0.0.1")
            return "localhost does not resolve to 127.0.0.1";
        return {};
    });
    if (R.Skipped)
        GTEST_SKIP() << "no network namespace available";
    EXPECT_EQ(R.Error, "");
}

TEST(NetStackResolver, LocalAddressesAreDottedOrRaise)
{
    TIsolatedResult R = RunIsolated([]() -> std::string {
        TNetComponent Keeper;
        TNetStack& S = *GSocketStack;
        if (S.HostName().empty())
            return "no host name";
        try {
            const std::vector<std::string>& List = S.LocalAddresses();
            for (const std::string& A : List) {
                if (!TNetStack::IsDottedQuad(A))
                    return "not an address: " + A;
            }
            if (S.LocalAddress() != (List.empty() ? std::string() : List.front()))
                return "LocalAddress is not the first entry";
            if (&S.LocalAddresses() != &List)
                return "a second list was made";
        } catch (const ENetSocketError& E) {
            if (E.ErrorCode != 11001)
                return E.what();
        }
        return {};
    });
    if (R.Skipped)
        GTEST_SKIP() << "no network namespace available";
    EXPECT_EQ(R.Error, "");
}

TEST(NetStackAddresses, IsDottedQuadTable)
{
    struct Row {
        const char* Text;
        bool Quad;
    };
    const Row Rows[] = {
        { "127.0.0.1", true },
        { "0.0.0.0", true },
        { "255.255.255.255", true },
        { "10.0.0.1", true },
        { "$7F.0.0.1", true },
        { "0x7f.x0.0X0.1", true },
        { " 1.2.3.4", true },
        { "1.2.3", false },
        { "1.2.3.4.5", false },
        { "256.1.1.1", false },
        { "1.1.1.256", false },
        { "-1.1.1.1", false },
        { "a.b.c.d", false },
        { "host.example", false },
        { "1.2.3.x", false },
        { "1..2.3", false },
        { "", false },
        { "1.2.3.4 ", false },
        { "localhost", false },
        { "0x100.0.0.1", false },
    };
    for (const Row& R : Rows)
        EXPECT_EQ(TNetStack::IsDottedQuad(R.Text), R.Quad) << '"' << R.Text << '"';
}

TEST(NetStackAddresses, IsIPv6AddressTable)
{
    struct Row {
        const char* Text;
        bool IPv6;
    };
    const Row Rows[] = {
        { "::1", true },
        { "fd00::1", true },
        { "::", true },
        { "fe80::1%eth0", true },
        { "fe80::1%2", true },
        { "::ffff:127.0.0.1", true },
        { "1:2:3:4:5:6:7:8", true },
        { "1:2:3:4:5:6:7:8:9", false },
        { ":::", false },
        { "[::1]", false },
        { "::1%", false },
        { "::1%a b", false },
        { "::1%a%b", false },
        { "::1%0123456789abcdef", false },
        { "127.0.0.1", false },
        { "localhost", false },
        { "", false },
        { "::g", false },
    };
    for (const Row& R : Rows) {
        EXPECT_EQ(TNetStack::IsIPv6Address(R.Text), R.IPv6) << '"' << R.Text << '"';
        EXPECT_EQ(TNetStack::AddressFamily(R.Text) == NetFamilyIPv6,
            std::string(R.Text).find(':') != std::string::npos);
    }
}

TEST_F(NetStackTest, LiteralsChooseTheirFamily)
{
    EXPECT_EQ(S.LookupHost("::1"), "::1");
    EXPECT_EQ(S.LookupHost("fe80::1%lo"), "fe80::1%lo");
    const std::vector<TNetHostAddress> Six = { { NetFamilyIPv6, "::1" } };
    EXPECT_EQ(S.LookupHostAddresses("::1", 100), Six);
    const std::vector<TNetHostAddress> Four = { { NetFamilyIPv4, "127.0.0.1" } };
    EXPECT_EQ(S.LookupHostAddresses("LocalHost", 100), Four);
    EXPECT_EQ(S.LookupHostAddresses("127.0.0.1", 100), Four);
}

TEST_F(NetStackTest, IPv6EndpointsStreamAndDatagram)
{
    TFd Listen(S.NewSocketHandle(SOCK_STREAM, 0, NetFamilyIPv6));
    if (S.BindSocket(Listen.Get(), NetFamilyIPv6, "::1", 0) != 0)
        GTEST_SKIP() << "no IPv6 on the loopback";
    ASSERT_EQ(S.ListenSocket(Listen.Get(), 4), 0);
    int32_t Family = 0;
    std::string IP;
    int32_t Port = 0;
    S.SocketAddress(Listen.Get(), Family, IP, Port);
    EXPECT_EQ(Family, NetFamilyIPv6);
    EXPECT_EQ(IP, "::1");
    TFd Client(S.NewSocketHandle(SOCK_STREAM, 0, NetFamilyIPv6));
    ASSERT_EQ(S.ConnectSocket(Client.Get(), NetFamilyIPv6, "::1", Port), 0);
    std::string PeerIP;
    int32_t PeerPort = 0;
    TFd Accepted(S.AcceptConnection(Listen.Get(), PeerIP, PeerPort));
    EXPECT_EQ(PeerIP, "::1");
    EXPECT_EQ(PeerPort, LocalPort(Client.Get()));
    S.PeerAddress(Client.Get(), Family, IP, Port);
    EXPECT_EQ(Family, NetFamilyIPv6);
    EXPECT_EQ(IP, "::1");

    // A datagram names its family by its address text.
    TFd Receiver(S.NewSocketHandle(SOCK_DGRAM, 0, NetFamilyIPv6));
    ASSERT_EQ(S.BindSocket(Receiver.Get(), NetFamilyIPv6, "", 0), 0);
    S.SocketAddress(Receiver.Get(), Family, IP, Port);
    EXPECT_EQ(IP, "::");
    TFd Sender(S.NewSocketHandle(SOCK_DGRAM, 0, NetFamilyIPv6));
    EXPECT_EQ(S.SendDataTo(Sender.Get(), "six", 0, 3, "::1", Port), 3);
    char Buffer[8] = {};
    EXPECT_EQ(S.ReceiveDataFrom(Receiver.Get(), Buffer, sizeof Buffer, 0, IP, PeerPort), 3);
    EXPECT_EQ(IP, "::1");
    EXPECT_EQ(PeerPort, LocalPort(Sender.Get()));

    // No address, or one of the other family: refused with "Invalid argument", not cut short.
    for (const char* Bad : { "1.2.3.4", "no-address", "::1%no-such-device", ":::" }) {
        EXPECT_EQ(S.ConnectSocket(Sender.Get(), NetFamilyIPv6, Bad, 80), -1) << Bad;
        EXPECT_EQ(S.LastSocketError(), 10022) << Bad;
    }
    EXPECT_EQ(S.SendDataTo(Sender.Get(), "x", 0, 1, "::1", 70000), -1);
    EXPECT_EQ(S.LastSocketError(), 10022);
}

// Name servers that never answer, asked by several threads at once for one name: each waits
// to its own deadline, all share one lookup, and nobody waits for the abandoned lookup.
TEST(NetStackResolver, LookupsWithADeadlineShareOneLookupAndAreAbandonedSafely)
{
    TIsolatedResult R = RunIsolated([]() -> std::string {
        // The lookup threads read the system's settings, so these stand in the files.
        TFd Silent(BoundSocket(SOCK_DGRAM, 53));
        if (Silent.Get() < 0 || !icmptest::UseHostsFile("127.0.0.1 localhost\n")
            || !icmptest::UseSystemFile(
                "/etc/resolv.conf", "nameserver 127.0.0.1\noptions timeout:1 attempts:1\n")
            || !icmptest::UseSystemFile("/etc/nsswitch.conf", "hosts: files dns\n"))
            return "SKIP";
        TNetComponent Keeper;
        const int Before = ThreadCount();
        std::string Errors;
        std::mutex Lock;
        std::vector<std::thread> Threads;
        for (int I = 0; I < 4; ++I)
            Threads.emplace_back([&, I] {
                const int32_t Deadline = 100 + 50 * I;
                const auto Start = std::chrono::steady_clock::now();
                std::string Outcome = "resolved";
                try {
                    GSocketStack->HostAddresses("silent.vardex-test.invalid", Deadline);
                } catch (const ENetConnectTimeout& E) {
                    Outcome = E.what();
                } catch (const std::exception& E) {
                    Outcome = std::string("other: ") + E.what();
                }
                const double Took = MillisecondsSince(Start);
                std::lock_guard<std::mutex> Guard(Lock);
                if (Outcome != "Host name lookup timed out.")
                    Errors += Outcome + "\n";
                if (Took < Deadline - 10 || Took > Deadline + 400)
                    Errors += "waited " + std::to_string(Took) + " ms for " + std::to_string(Deadline) + "\n";
            });
        for (std::thread& T : Threads)
            T.join();
        // The one lookup still runs, on its own (the joined threads may linger a moment).
        if (const int After = ThreadCountSettled(Before + 1); After != Before + 1)
            Errors += "threads: " + std::to_string(After) + ", before " + std::to_string(Before) + "\n";
        return Errors;
    });
    if (R.Skipped)
        GTEST_SKIP() << "no network namespace available";
    EXPECT_EQ(R.Error, "");
}

TEST_F(NetStackTest, AddressTextAndBytes)
{
    EXPECT_EQ(S.AddressToString({ 10, 0, 0, 1 }), "10.0.0.1");
    EXPECT_EQ(S.AddressToString({ 255, 0, 128, 7 }), "255.0.128.7");
    EXPECT_EQ(S.AddressToString({ 100, 105, 99, 9 }), "100.105.99.9");
    EXPECT_EQ(S.StringToAddressBytes("192.168.1.20"), (TNetAddressBytes { 192, 168, 1, 20 }));
    // Low eight bits of each part; anything after the fourth part is ignored.
    EXPECT_EQ(S.StringToAddressBytes("300.1.2.3"), (TNetAddressBytes { 44, 1, 2, 3 }));
    EXPECT_EQ(S.StringToAddressBytes("1.2.3.4.5"), (TNetAddressBytes { 1, 2, 3, 4 }));
    EXPECT_EQ(S.StringToAddressBytes("$7f.0.0.x1"), (TNetAddressBytes { 127, 0, 0, 1 }));
    EXPECT_THROW(S.StringToAddressBytes("1.2.3"), ENetConvertError);
    EXPECT_THROW(S.StringToAddressBytes("localhost"), ENetConvertError);
    // Network order: the first byte lowest in memory.
    EXPECT_EQ(S.StringToAddress("127.0.0.1"), htonl(INADDR_LOOPBACK));
    EXPECT_EQ(S.HostToNetShort(0x1234), htons(0x1234));
    EXPECT_EQ(S.NetToHostShort(htons(80)), 80);
    EXPECT_EQ(S.HostToNetLong(0x01020304u), htonl(0x01020304u));
    EXPECT_EQ(S.NetToHostLong(htonl(7u)), 7u);
}

TEST_F(NetStackTest, ServicePortAndNames)
{
    EXPECT_EQ(S.ServicePort("8080"), 8080);
    EXPECT_EQ(S.ServicePort("$50"), 80);
    auto E = Caught<ENetInvalidServiceName>([&] { S.ServicePort("no-such-service-here"); });
    EXPECT_STREQ(E.what(), "no-such-service-here is not a valid service.");
    std::ifstream Services("/etc/services");
    std::string Line;
    bool HasHttp = false;
    while (std::getline(Services, Line))
        HasHttp = HasHttp || Line.rfind("http\t", 0) == 0 || Line.rfind("http ", 0) == 0;
    if (!HasHttp)
        GTEST_SKIP() << "no services database with http";
    EXPECT_EQ(S.ServicePort("http"), 80);
    std::vector<std::string> Names = S.ServiceNames(80);
    ASSERT_FALSE(Names.empty());
    EXPECT_EQ(Names.front(), "http");
    EXPECT_TRUE(S.ServiceNames(1).empty() || S.ServiceNames(1).front() != "http");
}

TEST_F(NetStackTest, AcceptListenAndEndpoints)
{
    TFd Listen(S.NewSocketHandle(SOCK_STREAM, 0));
    ASSERT_EQ(S.BindSocket(Listen.Get(), NetFamilyIPv4, "127.0.0.1", 0), 0);
    ASSERT_EQ(S.ListenSocket(Listen.Get(), 4), 0);
    int32_t Family = 0;
    std::string IP;
    int32_t Port = 0;
    S.SocketAddress(Listen.Get(), Family, IP, Port);
    EXPECT_EQ(Family, AF_INET);
    EXPECT_EQ(IP, "127.0.0.1");
    ASSERT_GT(Port, 0);

    TFd Client(S.NewSocketHandle(SOCK_STREAM, 0));
    EXPECT_NE(fcntl(Client.Get(), F_GETFD) & FD_CLOEXEC, 0);
    ASSERT_EQ(S.ConnectSocket(Client.Get(), NetFamilyIPv4, "127.0.0.1", Port), 0);
    std::string PeerIP;
    int32_t PeerPort = 0;
    TFd Accepted(S.AcceptConnection(Listen.Get(), PeerIP, PeerPort));
    ASSERT_GE(Accepted.Get(), 0);
    EXPECT_NE(fcntl(Accepted.Get(), F_GETFD) & FD_CLOEXEC, 0);
    EXPECT_EQ(PeerIP, "127.0.0.1");
    EXPECT_EQ(PeerPort, LocalPort(Client.Get()));
    S.PeerAddress(Client.Get(), Family, IP, Port);
    EXPECT_EQ(IP, "127.0.0.1");

    const char Text[] = "hello";
    EXPECT_EQ(S.SendData(Client.Get(), Text, 0, 5), 5);
    char Buffer[16] = {};
    EXPECT_EQ(S.ReceiveData(Accepted.Get(), Buffer, 0, sizeof Buffer), 5);
    EXPECT_EQ(std::string(Buffer, 5), "hello");

    int One = 1;
    EXPECT_EQ(S.SetSocketOption(Client.Get(), IPPROTO_TCP, TCP_NODELAY, &One, sizeof One), 0);
    int Value = 0;
    int32_t Length = sizeof Value;
    EXPECT_EQ(S.GetSocketOption(Client.Get(), IPPROTO_TCP, TCP_NODELAY, &Value, Length), 0);
    EXPECT_EQ(Value, 1);
    EXPECT_EQ(Length, 4);

    // The peer of a socket that is not connected cannot be read back.
    auto E = Caught<ENetSocketError>([&] { S.PeerAddress(Listen.Get(), Family, IP, Port); });
    EXPECT_EQ(E.ErrorCode, 10057);
    EXPECT_EQ(S.ShutdownSocket(Client.Get(), SHUT_WR), 0);
    EXPECT_EQ(S.ReceiveData(Accepted.Get(), Buffer, 0, sizeof Buffer), 0);
    EXPECT_EQ(S.CloseSocketHandle(Client.Release()), 0);
}

TEST_F(NetStackTest, BadArgumentsFailInsteadOfWrapping)
{
    TFd Socket(S.NewSocketHandle(SOCK_DGRAM, 0));
    // A port of 65616 would otherwise become port 80.
    EXPECT_EQ(S.BindSocket(Socket.Get(), NetFamilyIPv4, "127.0.0.1", 65616), -1);
    EXPECT_EQ(S.LastSocketError(), 10022);
    EXPECT_EQ(S.LastSocketError(), 10022); // asking again gives the same code
    EXPECT_EQ(S.ConnectSocket(Socket.Get(), NetFamilyIPv4, "127.0.0.1", -1), -1);
    EXPECT_EQ(S.SendDataTo(Socket.Get(), "x", 0, 1, "127.0.0.1", 70000), -1);
    char Buffer[4];
    EXPECT_EQ(S.ReceiveData(Socket.Get(), Buffer, 0, -1), -1);
    EXPECT_EQ(S.LastSocketError(), 10022);
    EXPECT_EQ(S.CloseSocketHandle(-1), -1);
    EXPECT_EQ(S.LastSocketError(), 10009);
    EXPECT_THROW(S.NewSocketHandle(12345, 0), ENetInvalidSocket);
    auto E = Caught<ENetInvalidSocket>([&] { S.NewSocketHandle(SOCK_STREAM, 999); });
    EXPECT_STREQ(E.what(), "Cannot allocate socket.");
}

TEST_F(NetStackTest, SendToAGonePeerFailsWithoutASignal)
{
    TTcpPair Pair;
    ASSERT_GE(Pair.Server.Get(), 0);
    Pair.Server.Reset();
    char Block[4096] = {};
    int32_t Result = 0;
    // The first sends may still be taken; the reset of the peer then fails the next one.
    for (int I = 0; I < 50 && Result != -1; ++I) {
        Result = S.SendData(Pair.Client.Get(), Block, 0, sizeof Block);
        if (Result != -1)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    ASSERT_EQ(Result, -1);
    int32_t Code = S.LastSocketError();
    EXPECT_TRUE(Code == 10058 || Code == 10054) << Code;
}

TEST(NetSocketList, SixtyFourHandlesAndNoMore)
{
    TNetSocketListLinux List;
    for (int I = 0; I < 64; ++I)
        List.Add(100 + I);
    EXPECT_EQ(List.Count(), 64);
    auto E = Caught<ENetStackSetSizeExceeded>([&] { List.Add(500); });
    EXPECT_STREQ(E.what(), "Set Size Exceeded.");
    EXPECT_EQ(List.Count(), 64);
    EXPECT_THROW(List.Item(64), ENetStackSetSizeExceeded);
    EXPECT_THROW(List.Item(-1), ENetStackSetSizeExceeded);
    // Removal moves the last handle into the gap.
    List.Remove(105);
    EXPECT_EQ(List.Count(), 63);
    EXPECT_EQ(List.Item(5), 163);
    List.Remove(9999);
    EXPECT_EQ(List.Count(), 63);
    List.Clear();
    EXPECT_EQ(List.Count(), 0);
    EXPECT_NE(dynamic_cast<TNetSocketListLinux*>(TNetSocketList::CreateSocketList().get()), nullptr);
}

TEST_F(NetStackTest, SelectRefusesSixtyFiveHandlesBeforeWaiting)
{
    TCountedList Big(65);
    auto E = Caught<ENetStackSetSizeExceeded>([&] { S.SelectSockets(nullptr, nullptr, &Big, -2); });
    EXPECT_STREQ(E.what(), "Set Size Exceeded.");
    EXPECT_EQ(Big.Reads, 0);
    TCountedList Fine(0);
    EXPECT_THROW(S.SelectSockets(&Fine, &Big, nullptr, 0), ENetStackSetSizeExceeded);
}

TEST_F(NetStackTest, SelectReportsAndRewritesReadyHandles)
{
    TTcpPair Quiet, Busy;
    ASSERT_GE(Busy.Server.Get(), 0);
    ASSERT_EQ(write(Busy.Client.Get(), "x", 1), 1);

    TNetSocketListLinux Read;
    Read.Add(Quiet.Server.Get());
    Read.Add(Busy.Server.Get());
    EXPECT_EQ(S.SelectSockets(&Read, nullptr, nullptr, 1000), 1);
    ASSERT_EQ(Read.Count(), 1);
    EXPECT_EQ(Read.Item(0), Busy.Server.Get());

    // One handle ready for reading and for writing counts in both lists.
    TNetSocketListLinux Read2, Write;
    Read2.Add(Busy.Server.Get());
    Write.Add(Busy.Server.Get());
    Write.Add(Quiet.Client.Get());
    EXPECT_EQ(S.SelectSockets(&Read2, &Write, nullptr, 0), 3);
    EXPECT_EQ(Write.Count(), 2);

    // A closed peer makes the reader ready (end of stream), as select does.
    Quiet.Client.Reset();
    TNetSocketListLinux Read3;
    Read3.Add(Quiet.Server.Get());
    EXPECT_EQ(S.SelectSockets(&Read3, nullptr, nullptr, 1000), 1);
}

TEST_F(NetStackTest, SelectTimesOutAndPolls)
{
    TTcpPair Pair;
    TNetSocketListLinux Read;
    Read.Add(Pair.Server.Get());
    auto Start = std::chrono::steady_clock::now();
    EXPECT_EQ(S.SelectSockets(&Read, nullptr, nullptr, 0), 0);
    EXPECT_LT(MillisecondsSince(Start), 50.0);
    EXPECT_EQ(Read.Count(), 0);

    Read.Add(Pair.Server.Get());
    Start = std::chrono::steady_clock::now();
    EXPECT_EQ(S.SelectSockets(&Read, nullptr, nullptr, 120), 0);
    EXPECT_GE(MillisecondsSince(Start), 120.0);
    EXPECT_EQ(Read.Count(), 0);

    // No lists at all: a plain wait.
    Start = std::chrono::steady_clock::now();
    EXPECT_EQ(S.SelectSockets(nullptr, nullptr, nullptr, 30), 0);
    EXPECT_GE(MillisecondsSince(Start), 30.0);
}

TEST_F(NetStackTest, SelectFailsOnAClosedDescriptorAndKeepsTheList)
{
    int Closed = S.NewSocketHandle(SOCK_STREAM, 0);
    ::close(Closed);
    TNetSocketListLinux Read;
    Read.Add(Closed);
    EXPECT_EQ(S.SelectSockets(&Read, nullptr, nullptr, 1000), -1);
    EXPECT_EQ(S.LastSocketError(), 10009);
    EXPECT_EQ(Read.Count(), 1);
    TNetSocketListLinux Negative;
    Negative.Add(-1);
    EXPECT_EQ(S.SelectSockets(nullptr, &Negative, nullptr, -2), -1);
}

TEST_F(NetStackTest, SelectWorksAboveDescriptor1024)
{
    const int High = 1500;
    rlimit Old {};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &Old), 0);
    rlimit New = Old;
    if (New.rlim_cur <= static_cast<rlim_t>(High)) {
        New.rlim_cur = static_cast<rlim_t>(High) + 100;
        if (New.rlim_max < New.rlim_cur)
            New.rlim_max = New.rlim_cur;
        if (setrlimit(RLIMIT_NOFILE, &New) != 0)
            GTEST_SKIP() << "cannot raise the descriptor limit";
    }
    struct TRestore {
        rlimit Limit;
        ~TRestore() { setrlimit(RLIMIT_NOFILE, &Limit); }
    };
    TTcpPair Pair;
    ASSERT_EQ(dup2(Pair.Server.Get(), High), High);
    TFd HighFd(High);
    TNetSocketListLinux Read;
    Read.Add(Pair.Client.Get());
    Read.Add(High);
    EXPECT_EQ(S.SelectSockets(&Read, nullptr, nullptr, 0), 0);
    ASSERT_EQ(write(Pair.Client.Get(), "x", 1), 1);
    Read.Add(Pair.Client.Get());
    Read.Add(High);
    EXPECT_EQ(S.SelectSockets(&Read, nullptr, nullptr, 1000), 1);
    ASSERT_EQ(Read.Count(), 1);
    EXPECT_EQ(Read.Item(0), High);
    char C = 0;
    EXPECT_EQ(S.ReceiveData(High, &C, 0, 1), 1);
    HighFd.Reset();
    TRestore Restore { Old };
}

namespace {

volatile sig_atomic_t GAlarms = 0;
volatile int GAlarmWriteFd = -1;
volatile int GAlarmAcceptFd = -1;
volatile int GAlarmCloseFds[8] = { -1, -1, -1, -1, -1, -1, -1, -1 };

void OnAlarm(int)
{
    const int SavedErrno = errno;
    GAlarms = GAlarms + 1;
    if (GAlarmWriteFd >= 0)
        (void)!write(GAlarmWriteFd, "!", 1);
    // Makes room in a full listen queue and keeps it free (accept and close are safe in a
    // signal handler).
    for (volatile int& Fd : GAlarmCloseFds) {
        if (Fd >= 0)
            ::close(Fd);
        Fd = -1;
    }
    if (GAlarmAcceptFd >= 0) {
        int Fd;
        while ((Fd = accept4(GAlarmAcceptFd, nullptr, nullptr, SOCK_NONBLOCK)) >= 0)
            ::close(Fd);
    }
    errno = SavedErrno;
}

// SIGALRM without SA_RESTART while it exists, so waits see EINTR.
class TAlarm {
public:
    explicit TAlarm(int AMilliseconds, int AWriteFd = -1)
    {
        GAlarms = 0;
        GAlarmWriteFd = AWriteFd;
        struct sigaction Action { };
        Action.sa_handler = OnAlarm;
        sigemptyset(&Action.sa_mask);
        Action.sa_flags = 0;
        sigaction(SIGALRM, &Action, &FOld);
        itimerval Timer {};
        Timer.it_value.tv_usec = AMilliseconds * 1000;
        setitimer(ITIMER_REAL, &Timer, nullptr);
    }
    ~TAlarm()
    {
        itimerval Off {};
        setitimer(ITIMER_REAL, &Off, nullptr);
        sigaction(SIGALRM, &FOld, nullptr);
        GAlarmWriteFd = -1;
        GAlarmAcceptFd = -1;
    }

private:
    struct sigaction FOld { };
};

} // namespace

TEST_F(NetStackTest, InterruptedSelectWaitsTheRemainingTime)
{
    TTcpPair Pair;
    TNetSocketListLinux Read;
    Read.Add(Pair.Server.Get());
    auto Start = std::chrono::steady_clock::now();
    int32_t Result;
    {
        TAlarm Alarm(30);
        Result = S.SelectSockets(&Read, nullptr, nullptr, 150);
    }
    double Elapsed = MillisecondsSince(Start);
    EXPECT_EQ(GAlarms, 1);
    EXPECT_EQ(Result, 0);
    EXPECT_GE(Elapsed, 150.0);
    EXPECT_LT(Elapsed, 1000.0);
}

TEST_F(NetStackTest, SelectWithoutLimitWaitsForData)
{
    TTcpPair Pair;
    TNetSocketListLinux Read;
    Read.Add(Pair.Server.Get());
    auto Start = std::chrono::steady_clock::now();
    int32_t Result;
    {
        // The alarm's handler writes to the peer: the wait is interrupted, then finds data.
        TAlarm Alarm(60, Pair.Client.Get());
        Result = S.SelectSockets(&Read, nullptr, nullptr, -2);
    }
    EXPECT_EQ(Result, 1);
    EXPECT_GE(MillisecondsSince(Start), 60.0);
    EXPECT_EQ(Read.Count(), 1);
}

TEST_F(NetStackTest, InterruptedConnectCarriesOn)
{
    // A listener whose queue is full leaves a blocking connect waiting; the alarm interrupts
    // it and empties the queue, and the connect must then finish instead of failing with
    // "Interrupted system call.".
    TFd Listen(BoundSocket(SOCK_STREAM, 0));
    ASSERT_EQ(listen(Listen.Get(), 0), 0);
    ASSERT_EQ(fcntl(Listen.Get(), F_SETFL, O_NONBLOCK), 0);
    const int Port = LocalPort(Listen.Get());
    for (volatile int& Fd : GAlarmCloseFds) {
        Fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        sockaddr_in A = Loopback(Port);
        connect(Fd, reinterpret_cast<sockaddr*>(&A), sizeof A);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    TFd Socket(S.NewSocketHandle(SOCK_STREAM, 0));
    // Bounds the wait should the connect never be let in.
    timeval Limit { 5, 0 };
    ASSERT_EQ(setsockopt(Socket.Get(), SOL_SOCKET, SO_SNDTIMEO, &Limit, sizeof Limit), 0);
    int32_t Result;
    {
        GAlarmAcceptFd = Listen.Get();
        TAlarm Alarm(100);
        Result = S.ConnectSocket(Socket.Get(), NetFamilyIPv4, "127.0.0.1", Port);
    }
    for (volatile int& Fd : GAlarmCloseFds) {
        if (Fd >= 0)
            ::close(Fd);
        Fd = -1;
    }
    if (GAlarms == 0)
        GTEST_SKIP() << "the connect did not wait";
    ASSERT_EQ(Result, 0) << S.SocketErrorText(S.LastSocketError());
    int32_t Family = 0;
    std::string IP;
    int32_t PeerPort = 0;
    S.PeerAddress(Socket.Get(), Family, IP, PeerPort);
    EXPECT_EQ(PeerPort, Port);
}
