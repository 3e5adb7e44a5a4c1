// Helpers of the networking tests: peers on the loopback made with plain POSIX calls (so the
// code under test is not its own witness), and network namespaces of the test's own (a child
// process in one, or the whole test program moved into one) so that nothing leaves the machine.
#pragma once

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace nettest {

// Closes a descriptor when it goes.
class TFd {
public:
    explicit TFd(int AFd = -1)
        : FFd(AFd)
    {
    }
    ~TFd() { Reset(); }
    TFd(const TFd&) = delete;
    TFd& operator=(const TFd&) = delete;
    TFd(TFd&& AOther) noexcept
        : FFd(AOther.Release())
    {
    }
    int Get() const { return FFd; }
    int Release()
    {
        int Fd = FFd;
        FFd = -1;
        return Fd;
    }
    void Reset(int AFd = -1)
    {
        if (FFd >= 0)
            ::close(FFd);
        FFd = AFd;
    }

private:
    int FFd;
};

inline sockaddr_in Loopback(int APort, uint32_t AHost = INADDR_LOOPBACK)
{
    sockaddr_in A {};
    A.sin_family = AF_INET;
    A.sin_port = htons(static_cast<uint16_t>(APort));
    A.sin_addr.s_addr = htonl(AHost);
    return A;
}

inline int LocalPort(int AFd)
{
    sockaddr_in A {};
    socklen_t L = sizeof A;
    if (getsockname(AFd, reinterpret_cast<sockaddr*>(&A), &L) != 0)
        return -1;
    return ntohs(A.sin_port);
}

// A socket bound to 127.0.0.1:APort (0 = any port); -1 when the port is taken.
inline int BoundSocket(int AType, int APort)
{
    int Fd = socket(AF_INET, AType | SOCK_CLOEXEC, 0);
    sockaddr_in A = Loopback(APort);
    if (bind(Fd, reinterpret_cast<sockaddr*>(&A), sizeof A) != 0) {
        ::close(Fd);
        return -1;
    }
    return Fd;
}

// A loopback port nothing listens on (bound and released again at once).
inline int ClosedPort()
{
    TFd Fd(BoundSocket(SOCK_STREAM, 0));
    return LocalPort(Fd.Get());
}

// A listening TCP socket on 127.0.0.1.
inline TFd Listener()
{
    TFd Fd(BoundSocket(SOCK_STREAM, 0));
    listen(Fd.Get(), 16);
    return Fd;
}

// A listening TCP socket on the IPv6 address AIP (port 0: any); an invalid TFd when the
// address cannot be bound. ABacklog 0 with one connection waiting leaves every further
// connect unanswered: the kernel drops what does not fit the queue.
inline TFd Listener6(const char* AIP = "::1", int APort = 0, int ABacklog = 16)
{
    TFd Fd(socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in6 A {};
    A.sin6_family = AF_INET6;
    A.sin6_port = htons(static_cast<uint16_t>(APort));
    const int On = 1;
    setsockopt(Fd.Get(), SOL_SOCKET, SO_REUSEADDR, &On, sizeof On);
    if (inet_pton(AF_INET6, AIP, &A.sin6_addr) != 1
        || bind(Fd.Get(), reinterpret_cast<sockaddr*>(&A), sizeof A) != 0 || listen(Fd.Get(), ABacklog) != 0)
        return TFd();
    return Fd;
}

// A loopback port whose connects never complete: a listener with backlog 0 whose accept
// queue holds a connection of ours that is never accepted. The kernel drops every further SYN
// while the accept queue is full (tcp_syncookies does not change that: cookies only stand in
// for a full SYN queue), so a connect to it stays in SYN-SENT. The last filler is itself such
// a connect, which proves it on the running kernel.
struct TDeafListener {
    TDeafListener()
    {
        Listen.Reset(BoundSocket(SOCK_STREAM, 0));
        listen(Listen.Get(), 0);
        Port = LocalPort(Listen.Get());
        sockaddr_in A = Loopback(Port);
        for (int I = 0; I < 8 && !Ready; ++I) {
            TFd C(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
            connect(C.Get(), reinterpret_cast<sockaddr*>(&A), sizeof A);
            pollfd P { C.Get(), POLLOUT, 0 };
            Ready = poll(&P, 1, 300) == 0;
            Fillers.push_back(std::move(C));
        }
    }
    TFd Listen;
    std::vector<TFd> Fillers;
    int Port = 0;
    bool Ready = false;
};

// Both ends of one loopback TCP connection.
struct TTcpPair {
    TTcpPair()
    {
        TFd Listen = Listener();
        Client.Reset(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_in A = Loopback(LocalPort(Listen.Get()));
        if (connect(Client.Get(), reinterpret_cast<sockaddr*>(&A), sizeof A) == 0)
            Server.Reset(accept4(Listen.Get(), nullptr, nullptr, SOCK_CLOEXEC));
    }
    TFd Client;
    TFd Server;
};

inline double MillisecondsSince(std::chrono::steady_clock::time_point AStart)
{
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - AStart).count();
}

// Brings up the loopback of the calling thread's network namespace, which a new one has down.
inline bool LoopbackUp()
{
    TFd Fd(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    ifreq Req {};
    std::strcpy(Req.ifr_name, "lo");
    if (ioctl(Fd.Get(), SIOCGIFFLAGS, &Req) != 0)
        return false;
    Req.ifr_flags = static_cast<short>(Req.ifr_flags | IFF_UP);
    return ioctl(Fd.Get(), SIOCSIFFLAGS, &Req) == 0;
}

// The text of the E that AFunc raises.
template <class E, class F> std::string Raised(F AFunc)
{
    try {
        AFunc();
    } catch (const E& Ex) {
        return Ex.what();
    }
    return "(nothing raised)";
}

// The outcome of RunIsolated: Skipped when no namespace could be made, otherwise Error holds
// the child's complaint (empty when all its checks passed).
struct TIsolatedResult {
    bool Skipped = false;
    std::string Error;
};

// Runs ABody in a child process inside a new network namespace with only the loopback up:
// whatever it does, no packet reaches another machine. ABody returns an empty text when all
// is well, a description of what went wrong otherwise.
inline TIsolatedResult RunIsolated(const std::function<std::string()>& ABody)
{
    int Pipe[2];
    if (pipe2(Pipe, O_CLOEXEC) != 0)
        return { false, "pipe failed" };
    pid_t Child = fork();
    if (Child == 0) {
        ::close(Pipe[0]);
        std::string Out;
        if (unshare(CLONE_NEWNET) != 0) {
            // Without privileges a user namespace brings the right to make a network one.
            uid_t Uid = getuid();
            gid_t Gid = getgid();
            if (unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0) {
                Out = "SKIP";
            } else {
                auto WriteFile = [](const char* APath, const std::string& AText) {
                    int Fd = open(APath, O_WRONLY | O_CLOEXEC);
                    if (Fd >= 0) {
                        (void)!write(Fd, AText.data(), AText.size());
                        ::close(Fd);
                    }
                };
                WriteFile("/proc/self/setgroups", "deny");
                WriteFile("/proc/self/uid_map", "0 " + std::to_string(Uid) + " 1");
                WriteFile("/proc/self/gid_map", "0 " + std::to_string(Gid) + " 1");
            }
        }
        if (Out.empty()) {
            LoopbackUp();
            try {
                Out = ABody();
            } catch (const std::exception& E) {
                Out = std::string("unexpected exception: ") + E.what();
            }
        }
        (void)!write(Pipe[1], Out.data(), Out.size());
        _exit(0);
    }
    ::close(Pipe[1]);
    std::string Text;
    char Buffer[512];
    ssize_t N;
    while ((N = read(Pipe[0], Buffer, sizeof Buffer)) > 0 || (N < 0 && errno == EINTR)) {
        if (N > 0)
            Text.append(Buffer, static_cast<size_t>(N));
    }
    ::close(Pipe[0]);
    int Status = 0;
    while (waitpid(Child, &Status, 0) < 0 && errno == EINTR) { }
    if (!WIFEXITED(Status) || WEXITSTATUS(Status) != 0)
        return { false, "child failed: " + Text };
    if (Text == "SKIP")
        return { true, {} };
    return { false, Text };
}

// Moves this process into a network namespace of its own with only the loopback up, where
// the loopback holds 127.0.0.1 alone: other 127.x addresses have no route there, so a ping
// monitor can fail at once without any packet leaving, and the servers of these tests are
// out of other programs' reach. Needs privileges; false (nothing changed) without them.
// Must run before any thread starts: the namespace is the calling thread's, and threads
// made afterwards inherit it.
inline bool EnterPrivateNetwork()
{
    if (unshare(CLONE_NEWNET) != 0)
        return false;
    if (!LoopbackUp())
        return false;
    TFd Fd(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    ifreq Mask {};
    std::strcpy(Mask.ifr_name, "lo");
    auto* Address = reinterpret_cast<sockaddr_in*>(&Mask.ifr_netmask);
    Address->sin_family = AF_INET;
    Address->sin_addr.s_addr = htonl(0xFFFFFFFFu);
    return ioctl(Fd.Get(), SIOCSIFNETMASK, &Mask) == 0;
}

} // namespace nettest
