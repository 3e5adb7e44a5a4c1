// Helpers of the ICMP tests: packets built by hand, a witness that counts the echo requests
// on the wire, an injector that answers them with whatever a test asks for, and the
// settings of a network namespace that a test made (see nettest::RunIsolated).
#pragma once

#include "net/stack/NetTestSupport.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <fstream>
#include <linux/capability.h>
#include <netinet/in.h>
#include <poll.h>
#include <sstream>
#include <string>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace icmptest {

using TBytes = std::vector<uint8_t>;

inline uint16_t Checksum(const TBytes& AData)
{
    uint32_t Sum = 0;
    for (size_t I = 0; I + 1 < AData.size(); I += 2)
        Sum += static_cast<uint32_t>(AData[I] << 8 | AData[I + 1]);
    if (AData.size() % 2)
        Sum += static_cast<uint32_t>(AData.back() << 8);
    while (Sum >> 16)
        Sum = (Sum & 0xFFFF) + (Sum >> 16);
    return static_cast<uint16_t>(~Sum);
}

inline void SetChecksum(TBytes& AIcmp)
{
    AIcmp[2] = AIcmp[3] = 0;
    uint16_t Sum = Checksum(AIcmp);
    AIcmp[2] = static_cast<uint8_t>(Sum >> 8);
    AIcmp[3] = static_cast<uint8_t>(Sum);
}

// An ICMP echo message; identifier and sequence as the two bytes a reader takes least
// significant first.
inline TBytes EchoMessage(uint8_t AType, uint16_t AId, uint16_t ASeq,
    const std::string& AData = "PingMonitor" + std::string(21, 'E'))
{
    TBytes M(20 + AData.size(), 0);
    std::copy(AData.begin(), AData.end(), M.begin() + 20);
    M[0] = AType;
    M[4] = static_cast<uint8_t>(AId);
    M[5] = static_cast<uint8_t>(AId >> 8);
    M[6] = static_cast<uint8_t>(ASeq);
    M[7] = static_cast<uint8_t>(ASeq >> 8);
    SetChecksum(M);
    return M;
}

// An IPv4 header (with AOptions bytes of no-op options) in front of APayload.
inline TBytes IPPacket(const uint8_t (&ASource)[4], const uint8_t (&ADest)[4], uint8_t ATTL,
    const TBytes& APayload, int AOptions = 0, uint8_t AProtocol = IPPROTO_ICMP)
{
    const int Length = 20 + AOptions;
    const size_t Total = static_cast<size_t>(Length) + APayload.size();
    TBytes P(Total, 0);
    std::copy(APayload.begin(), APayload.end(), P.begin() + Length);
    P[0] = static_cast<uint8_t>(0x40 | Length / 4);
    P[2] = static_cast<uint8_t>(Total >> 8);
    P[3] = static_cast<uint8_t>(Total);
    P[8] = ATTL;
    P[9] = AProtocol;
    for (int I = 0; I < 4; ++I) {
        P[static_cast<size_t>(12 + I)] = ASource[I];
        P[static_cast<size_t>(16 + I)] = ADest[I];
    }
    for (int I = 20; I < Length; ++I)
        P[static_cast<size_t>(I)] = 1; // no operation
    return P;
}

// An ICMP error message (3 unreachable, 11 time exceeded) quoting AQuoted.
inline TBytes ErrorMessage(uint8_t AType, uint8_t ACode, const TBytes& AQuoted)
{
    TBytes M(8 + AQuoted.size(), 0);
    std::copy(AQuoted.begin(), AQuoted.end(), M.begin() + 8);
    M[0] = AType;
    M[1] = ACode;
    SetChecksum(M);
    return M;
}

inline std::string ReadProcFile(const std::string& APath)
{
    std::ifstream In(APath);
    std::stringstream S;
    S << In.rdbuf();
    std::string Text = S.str();
    while (!Text.empty() && (Text.back() == '\n' || Text.back() == ' '))
        Text.pop_back();
    return Text;
}

inline bool WriteProcFile(const std::string& APath, const std::string& AText)
{
    std::ofstream Out(APath);
    Out << AText << "\n";
    Out.close();
    return Out.good();
}

// What socket() says to a raw ICMP socket: 0 when it may be opened, the errno otherwise.
inline int RawSocketRefusal()
{
    int Fd = socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
    if (Fd < 0)
        return errno;
    ::close(Fd);
    return 0;
}

// Gives up CAP_NET_RAW for the calling thread, as an unprivileged user runs.
inline bool DropNetRaw()
{
    __user_cap_header_struct Header { _LINUX_CAPABILITY_VERSION_3, 0 };
    __user_cap_data_struct Data[2] = {};
    if (syscall(SYS_capget, &Header, Data) != 0)
        return false;
    const uint32_t Bit = 1u << CAP_NET_RAW;
    Data[0].effective &= ~Bit;
    Data[0].permitted &= ~Bit;
    Data[0].inheritable &= ~Bit;
    return syscall(SYS_capset, &Header, Data) == 0 && RawSocketRefusal() != 0;
}

// Lets the caller's own group open ICMP datagram sockets in this namespace, or nobody.
inline bool AllowDatagramPing(bool AAllow)
{
    const std::string Gid = std::to_string(getgid());
    return WriteProcFile("/proc/sys/net/ipv4/ping_group_range", AAllow ? Gid + " " + Gid : "1 0");
}

inline bool IgnoreEchoRequests(bool AIgnore)
{
    return WriteProcFile("/proc/sys/net/ipv4/icmp_echo_ignore_all", AIgnore ? "1" : "0");
}

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
            if (sendto(
                    FSend.Get(), Answer.data(), Answer.size(), 0, reinterpret_cast<sockaddr*>(&To), sizeof To)
                > 0)
                ++FAnswered;
        }
    }

    TAnswer FAnswer;
    nettest::TFd FListen;
    nettest::TFd FSend;
    std::atomic<bool> FStop { false };
    std::atomic<int> FAnswered { 0 };
    std::thread FThread;
};

} // namespace icmptest

// Runs ABody in a network namespace of its own; skips the test where none can be made or
// the body cannot set up what it needs (it returns "SKIP" then).
#define ICMP_RUN_ISOLATED(ABody)                                                                             \
    do {                                                                                                     \
        nettest::TIsolatedResult Result_ = nettest::RunIsolated(ABody);                                      \
        if (Result_.Skipped)                                                                                 \
            GTEST_SKIP() << "needs a network namespace of its own with the privileges to set it up";         \
        EXPECT_EQ(Result_.Error, "");                                                                        \
    } while (0)
