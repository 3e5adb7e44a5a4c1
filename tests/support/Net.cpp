#include "support/Net.h"

namespace nettest {

sockaddr_in Loopback(int APort, uint32_t AHost)
{
    sockaddr_in A {};
    A.sin_family = AF_INET;
    A.sin_port = htons(static_cast<uint16_t>(APort));
    A.sin_addr.s_addr = htonl(AHost);
    return A;
}

int LocalPort(int AFd)
{
    sockaddr_in A {};
    socklen_t L = sizeof A;
    if (getsockname(AFd, reinterpret_cast<sockaddr*>(&A), &L) != 0)
        return -1;
    return ntohs(A.sin_port);
}

int BoundSocket(int AType, int APort)
{
    int Fd = socket(AF_INET, AType | SOCK_CLOEXEC, 0);
    sockaddr_in A = Loopback(APort);
    if (bind(Fd, reinterpret_cast<sockaddr*>(&A), sizeof A) != 0) {
        ::close(Fd);
        return -1;
    }
    return Fd;
}

int ClosedPort()
{
    TFd Fd(BoundSocket(SOCK_STREAM, 0));
    return LocalPort(Fd.Get());
}

TFd Listener()
{
    TFd Fd(BoundSocket(SOCK_STREAM, 0));
    listen(Fd.Get(), 16);
    return Fd;
}

TFd Listener6(const char* AIP, int APort, int ABacklog)
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

double MillisecondsSince(std::chrono::steady_clock::time_point AStart)
{
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - AStart).count();
}

bool LoopbackUp()
{
    TFd Fd(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    ifreq Req {};
    std::strcpy(Req.ifr_name, "lo");
    if (ioctl(Fd.Get(), SIOCGIFFLAGS, &Req) != 0)
        return false;
    Req.ifr_flags = static_cast<short>(Req.ifr_flags | IFF_UP);
    return ioctl(Fd.Get(), SIOCSIFFLAGS, &Req) == 0;
}

TIsolatedResult RunIsolated(const std::function<std::string()>& ABody)
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

bool EnterPrivateNetwork()
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

TDeafListener::TDeafListener()
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

TTcpPair::TTcpPair()
{
    TFd Listen = Listener();
    Client.Reset(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in A = Loopback(LocalPort(Listen.Get()));
    if (connect(Client.Get(), reinterpret_cast<sockaddr*>(&A), sizeof A) == 0)
        Server.Reset(accept4(Listen.Get(), nullptr, nullptr, SOCK_CLOEXEC));
}

} // namespace nettest
