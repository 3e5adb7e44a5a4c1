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

sockaddr_in Loopback(int APort, uint32_t AHost = INADDR_LOOPBACK);

int LocalPort(int AFd);

// A socket bound to 127.0.0.1:APort (0 = any port); -1 when the port is taken.
int BoundSocket(int AType, int APort);

// A loopback port nothing listens on (bound and released again at once).
int ClosedPort();

// A listening TCP socket on 127.0.0.1.
TFd Listener();

// A listening TCP socket on the IPv6 address AIP (port 0: any); an invalid TFd when the
// address cannot be bound. ABacklog 0 with one connection waiting leaves every further
// connect unanswered: the kernel drops what does not fit the queue.
TFd Listener6(const char* AIP = "::1", int APort = 0, int ABacklog = 16);

// A loopback port whose connects never complete: a listener with backlog 0 whose accept
// queue holds a connection of ours that is never accepted. The kernel drops every further SYN
// while the accept queue is full (tcp_syncookies does not change that: cookies only stand in
// for a full SYN queue), so a connect to it stays in SYN-SENT. The last filler is itself such
// a connect, which proves it on the running kernel.
struct TDeafListener {
    TDeafListener();
    TFd Listen;
    std::vector<TFd> Fillers;
    int Port = 0;
    bool Ready = false;
};

// Both ends of one loopback TCP connection.
struct TTcpPair {
    TTcpPair();
    TFd Client;
    TFd Server;
};

double MillisecondsSince(std::chrono::steady_clock::time_point AStart);

// Brings up the loopback of the calling thread's network namespace, which a new one has down.
bool LoopbackUp();

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
TIsolatedResult RunIsolated(const std::function<std::string()>& ABody);

// Moves this process into a network namespace of its own with only the loopback up, where
// the loopback holds 127.0.0.1 alone: other 127.x addresses have no route there, so a ping
// monitor can fail at once without any packet leaving, and the servers of these tests are
// out of other programs' reach. Needs privileges; false (nothing changed) without them.
// Must run before any thread starts: the namespace is the calling thread's, and threads
// made afterwards inherit it.
bool EnterPrivateNetwork();

} // namespace nettest
