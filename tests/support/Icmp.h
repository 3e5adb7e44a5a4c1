// Helpers of the ICMP tests: packets built by hand, a witness that counts the echo requests
// on the wire, an injector that answers them with whatever a test asks for, the settings of
// a network namespace that a test made (see nettest::RunIsolated), and far hosts behind a
// veth pair in a second namespace, with a scripted responder.
#pragma once

#include "support/Net.h"
#include "support/TempFolder.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <future>
#include <linux/capability.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/mount.h>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace icmptest {

using TBytes = std::vector<uint8_t>;

uint16_t Checksum(const TBytes& AData);

void SetChecksum(TBytes& AIcmp);

// An ICMP echo message; identifier and sequence as the two bytes a reader takes least
// significant first.
TBytes EchoMessage(uint8_t AType, uint16_t AId, uint16_t ASeq,
    const std::string& AData = "PingMonitor" + std::string(21, 'E'));

// An IPv4 header (with AOptions bytes of no-op options) in front of APayload.
TBytes IPPacket(const uint8_t (&ASource)[4], const uint8_t (&ADest)[4], uint8_t ATTL, const TBytes& APayload,
    int AOptions = 0, uint8_t AProtocol = IPPROTO_ICMP);

// An ICMP error message (3 unreachable, 11 time exceeded) quoting AQuoted.
TBytes ErrorMessage(uint8_t AType, uint8_t ACode, const TBytes& AQuoted);

std::string ReadProcFile(const std::string& APath);

bool WriteProcFile(const std::string& APath, const std::string& AText);

// What socket() says to a raw ICMP socket: 0 when it may be opened, the errno otherwise.
int RawSocketRefusal();

// Gives up CAP_NET_RAW for the calling thread, as an unprivileged user runs.
bool DropNetRaw();

// Lets the caller's own group open ICMP datagram sockets in this namespace, or nobody.
bool AllowDatagramPing(bool AAllow);

// In the calling thread's network namespace.
bool IgnoreEchoRequests(bool AIgnore);

// The socket kind a namespace test runs the client with: the raw one (where it may be
// opened), or the datagram one with the raw one out of reach of the calling thread and
// the threads it starts afterwards.
enum class TKind { Raw, Datagram };

bool UseKind(TKind AKind);

const char* KindName(TKind AKind);

// Runs a program with its arguments and waits for it; true when it exits with 0.
bool RunProgram(std::vector<std::string> AArgs);

// Gives this process (a RunIsolated child) a mount namespace of its own in which ALines
// stand in the system file APath. Nothing stays on disk.
bool UseSystemFile(const std::string& APath, const std::string& ALines);

// ALines stand in /etc/hosts, so that names resolve without a resolver.
bool UseHostsFile(const std::string& ALines);

// Adds the IPv6 addresses to the loopback device of this (isolated) namespace, and waits
// until each is in use: even without duplicate detection the kernel finishes an address's
// set-up (its local route among it) a moment after the command has returned, and until then
// the address cannot be bound to and traffic to it goes nowhere.
bool AddLoopbackAddresses6(const std::vector<std::string>& AAddresses);

// Collects what went wrong inside a child process, where test assertions cannot report.
struct TChecks {
    std::string Errors;
    template <class A, class B> void Equal(const A& AActual, const B& AExpected, const std::string& AWhat)
    {
        if (!(AActual == AExpected)) {
            std::ostringstream S;
            S << AWhat << ": got " << AActual << ", expected " << AExpected << "\n";
            Errors += S.str();
        }
    }
    void True(bool ACondition, const std::string& AWhat)
    {
        if (!ACondition)
            Errors += AWhat + "\n";
    }
};

// A raw ICMP socket opened before the code under test runs: every echo request sent on this
// namespace's loopback arrives here once.
class TWitness {
public:
    TWitness()
        : FFd(socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP))
    {
    }
    bool Ok() const { return FFd.Get() >= 0; }
    // The echo requests seen since the last call, whole IP datagrams.
    std::vector<TBytes> Requests()
    {
        std::vector<TBytes> Found;
        uint8_t Buffer[2048];
        for (;;) {
            ssize_t N = recv(FFd.Get(), Buffer, sizeof Buffer, MSG_DONTWAIT);
            if (N <= 0)
                break;
            const size_t Header = (Buffer[0] & 0x0F) * 4u;
            if (static_cast<size_t>(N) >= Header + 8 && Buffer[Header] == 8)
                Found.emplace_back(Buffer, Buffer + N);
        }
        return Found;
    }

private:
    nettest::TFd FFd;
};

enum class TAnswer { Unreachable, TimeExceeded, ForeignReply };

// A thread with a raw socket bound to 127.0.0.2 that answers each echo request it sees
// with the message a test asks for. Its socket is opened in the constructor, so privileges
// the test drops afterwards do not concern it.
class TInjector {
public:
    explicit TInjector(TAnswer AAnswer)
        : FAnswer(AAnswer)
        , FListen(socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP))
        , FSend(socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP))
    {
        // A raw socket bound to an address hears only what is sent to it, so the one that
        // listens for requests stays unbound.
        sockaddr_in Self = nettest::Loopback(0, INADDR_LOOPBACK + 1);
        if (FListen.Get() < 0 || FSend.Get() < 0
            || bind(FSend.Get(), reinterpret_cast<sockaddr*>(&Self), sizeof Self) != 0)
            return;
        FThread = std::thread([this] { Run(); });
    }
    ~TInjector()
    {
        FStop = true;
        if (FThread.joinable())
            FThread.join();
    }
    bool Ok() const { return FThread.joinable(); }
    int Answered() const { return FAnswered; }

private:
    void Run()
    {
        uint8_t Buffer[2048];
        while (!FStop) {
            pollfd P { FListen.Get(), POLLIN, 0 };
            if (poll(&P, 1, 20) <= 0)
                continue;
            ssize_t N = recv(FListen.Get(), Buffer, sizeof Buffer, MSG_DONTWAIT);
            if (N <= 0)
                continue;
            const size_t Header = (Buffer[0] & 0x0F) * 4u;
            if (static_cast<size_t>(N) < Header + 8 || Buffer[Header] != 8)
                continue;
            TBytes Request(Buffer, Buffer + N);
            TBytes Answer;
            switch (FAnswer) {
            case TAnswer::Unreachable:
                Answer = ErrorMessage(3, 1, Request);
                break;
            case TAnswer::TimeExceeded:
                Answer = ErrorMessage(11, 0, Request);
                break;
            case TAnswer::ForeignReply: {
                // The same sequence, another identifier: another process's answer.
                Answer.assign(Request.begin() + static_cast<long>(Header), Request.end());
                Answer[0] = 0;
                Answer[4] = static_cast<uint8_t>(Answer[4] + 1);
                SetChecksum(Answer);
                break;
            }
            }
            sockaddr_in To = nettest::Loopback(0);
            // Counted before the send: the check may end on this answer, and its test read the
            // count, before sendto returns here.
            ++FAnswered;
            if (sendto(
                    FSend.Get(), Answer.data(), Answer.size(), 0, reinterpret_cast<sockaddr*>(&To), sizeof To)
                <= 0)
                --FAnswered;
        }
    }

    TAnswer FAnswer;
    nettest::TFd FListen;
    nettest::TFd FSend;
    std::atomic<bool> FStop { false };
    std::atomic<int> FAnswered { 0 };
    std::thread FThread;
};

// The addresses of TFarHosts: the near end in the caller's namespace, two hosts and a
// router at the far end.
inline const uint8_t NearEnd[4] = { 10, 77, 0, 1 };
inline const uint8_t FarHostA[4] = { 10, 77, 0, 2 };
inline const uint8_t FarHostB[4] = { 10, 77, 0, 3 };
inline const uint8_t FarRouter[4] = { 10, 77, 0, 4 };

bool SentTo(const TBytes& ADatagram, const uint8_t (&AAddress)[4]);

// The far host's echo reply to ARequest (a whole IP datagram), as its kernel would send it.
TBytes ReplyTo(const TBytes& ARequest);

// A second network namespace joined to the caller's by a veth pair. The caller must have a
// namespace of its own (nettest::RunIsolated); the second one is made by the responder's
// thread and goes when that thread ends. The near end is NearEnd/24; the far end holds
// FarHostA and FarHostB. The far kernel's echo is off: a responder on a raw socket there
// hands every echo request that arrives to the script, which says what to send back when.
class TFarHosts {
public:
    struct TSend {
        uint32_t AfterMs; // after the request arrived
        TBytes Datagram; // a whole IPv4 datagram; the kernel fills in the header checksum
    };
    // Called on the responder's thread with each request, a whole IP datagram.
    using TScript = std::function<std::vector<TSend>(const TBytes& ARequest)>;

    explicit TFarHosts(TScript AScript)
        : FScript(std::move(AScript))
    {
        std::future<std::string> Namespace = FNamespace.get_future();
        FThread = std::thread([this] { Run(); });
        const std::string Path = Namespace.get();
        if (Path.empty())
            return;
        const std::string Enter = "--net=" + Path;
        // In two fresh namespaces both ends would get index 2. A device whose peer has its
        // own index counts as a plain one, whose carrier the kernel takes notice of up to a
        // second late, and nothing passes it before: hence the near end's index 7.
        FOk = RunProgram({ "ip", "link", "add", "vnear", "index", "7", "type", "veth", "peer", "name", "vfar",
                  "netns", Path })
            && RunProgram({ "ip", "addr", "add", "10.77.0.1/24", "dev", "vnear" })
            && RunProgram({ "ip", "link", "set", "vnear", "up" })
            && RunProgram({ "nsenter", Enter, "ip", "addr", "add", "10.77.0.2/24", "dev", "vfar" })
            && RunProgram({ "nsenter", Enter, "ip", "addr", "add", "10.77.0.3/24", "dev", "vfar" })
            && RunProgram({ "nsenter", Enter, "ip", "link", "set", "vfar", "up" }) && LinkRunning();
    }
    ~TFarHosts()
    {
        FStop = true;
        if (FThread.joinable())
            FThread.join();
    }
    bool Ok() const { return FOk; }
    // Echo requests that reached the far end.
    int Requests() const { return FRequests; }

private:
    // A device passes traffic only once the kernel has noticed its carrier, a moment after
    // both ends are up.
    bool LinkRunning()
    {
        nettest::TFd Near(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        for (int Try = 0; Try < 300; ++Try) {
            if (Running(Near.Get(), "vnear") && Running(FFarQuery.Get(), "vfar"))
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }
    static bool Running(int ASocket, const char* AName)
    {
        ifreq Req {};
        std::strcpy(Req.ifr_name, AName);
        return ioctl(ASocket, SIOCGIFFLAGS, &Req) == 0 && (Req.ifr_flags & IFF_RUNNING);
    }

    void Run()
    {
        // Everything the far end needs is made here, in its namespace.
        if (unshare(CLONE_NEWNET) != 0 || !IgnoreEchoRequests(true)) {
            FNamespace.set_value({});
            return;
        }
        nettest::TFd Listen(socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP));
        // IPPROTO_RAW: the datagram carries its own header, sender included.
        nettest::TFd Send(socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_RAW));
        FFarQuery.Reset(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        if (Listen.Get() < 0 || Send.Get() < 0 || FFarQuery.Get() < 0) {
            FNamespace.set_value({});
            return;
        }
        FNamespace.set_value(
            "/proc/" + std::to_string(getpid()) + "/task/" + std::to_string(gettid()) + "/ns/net");
        using TClock = std::chrono::steady_clock;
        std::vector<std::pair<TClock::time_point, TBytes>> Pending;
        uint8_t Buffer[2048];
        while (!FStop) {
            const auto Now = TClock::now();
            int Wait = 20;
            for (auto Item = Pending.begin(); Item != Pending.end();) {
                if (Item->first <= Now) {
                    sockaddr_in To {};
                    To.sin_family = AF_INET;
                    std::memcpy(&To.sin_addr, Item->second.data() + 16, 4);
                    (void)!sendto(Send.Get(), Item->second.data(), Item->second.size(), 0,
                        reinterpret_cast<sockaddr*>(&To), sizeof To);
                    Item = Pending.erase(Item);
                    continue;
                }
                const auto Left = std::chrono::duration_cast<std::chrono::milliseconds>(Item->first - Now);
                Wait = std::min(Wait, static_cast<int>(Left.count()) + 1);
                ++Item;
            }
            pollfd P { Listen.Get(), POLLIN, 0 };
            if (poll(&P, 1, Wait) <= 0)
                continue;
            const ssize_t N = recv(Listen.Get(), Buffer, sizeof Buffer, MSG_DONTWAIT);
            if (N <= 0)
                continue;
            const size_t Header = (Buffer[0] & 0x0F) * 4u;
            if (static_cast<size_t>(N) < Header + 8 || Buffer[Header] != 8)
                continue;
            ++FRequests;
            const auto Arrived = TClock::now();
            for (TSend& S : FScript(TBytes(Buffer, Buffer + N)))
                Pending.emplace_back(Arrived + std::chrono::milliseconds(S.AfterMs), std::move(S.Datagram));
        }
    }

    TScript FScript;
    std::promise<std::string> FNamespace;
    nettest::TFd FFarQuery; // asks the far namespace about its devices
    std::atomic<bool> FStop { false };
    std::atomic<int> FRequests { 0 };
    bool FOk = false;
    std::thread FThread;
};

} // namespace icmptest

// Runs ABody in a network namespace of its own; skips the test where none can be made or
// the body cannot set up what it needs (it returns "SKIP" then).
// (Variadic, so that a lambda capturing more than one name passes as one argument.)
#define ICMP_RUN_ISOLATED(...)                                                                               \
    do {                                                                                                     \
        nettest::TIsolatedResult Result_ = nettest::RunIsolated(__VA_ARGS__);                                \
        if (Result_.Skipped)                                                                                 \
            GTEST_SKIP() << "needs a network namespace of its own with the privileges to set it up";         \
        EXPECT_EQ(Result_.Error, "");                                                                        \
    } while (0)
