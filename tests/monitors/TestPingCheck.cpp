#include "monitors/Monitors.h"
#include "net/stack/NetStack.h"
#include "support/Icmp.h"
#include "support/MonitorCheck.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <iterator>
#include <thread>
#include <tuple>
#include <vector>

using namespace icmptest;
using testsupport::CheckNow;
using testsupport::StatusesText;

namespace {

constexpr TDateTime FixedNow = 45000.5;

class TFixedClock {
public:
    TFixedClock()
    {
        SetNowClock([] { return FixedNow; });
    }
    ~TFixedClock() { SetNowClock({}); }
};

struct TCheckRun {
    std::string Shown;
    size_t Requests = 0;
    double Milliseconds = 0;
};

// One check of AMonitor, with the requests AWitness saw on the wire (open it before any
// privilege is dropped).
TCheckRun RunCheck(TPingMonitor& AMonitor, TWitness& AWitness, bool AHandOff = false)
{
    const auto Start = std::chrono::steady_clock::now();
    TCheckRun Run;
    Run.Shown = StatusesText(CheckNow(AMonitor, AHandOff));
    Run.Milliseconds = nettest::MillisecondsSince(Start);
    Run.Requests = AWitness.Requests().size();
    return Run;
}

// How a check runs: on the client's socket kind, and offered a hand-off as the engine offers
// one (an exchange still waiting after its send is then finished on the parking thread).
struct TWay {
    TKind Kind;
    bool HandOff;
};

const TWay Ways[]
    = { { TKind::Raw, false }, { TKind::Datagram, false }, { TKind::Raw, true }, { TKind::Datagram, true } };

std::string WayName(const TWay& AWay)
{
    return std::string(KindName(AWay.Kind)) + (AWay.HandOff ? "HandedOff" : "");
}

class PingCheck : public ::testing::TestWithParam<TWay> { };

TEST_P(PingCheck, SilentHostGetsItsRetriesThenError)
{
    const TWay Way = GetParam();
    ICMP_RUN_ISOLATED([Way] {
        TWitness Witness;
        if (!IgnoreEchoRequests(true) || !UseKind(Way.Kind))
            return std::string("SKIP");
        TChecks Checks;
        TPingMonitor M;
        M.SetRetry(2);
        const auto Start = std::chrono::steady_clock::now();
        const std::string Shown = StatusesText(CheckNow(M, Way.HandOff));
        const double Took = nettest::MillisecondsSince(Start);
        Checks.Equal(Shown, std::string("1,3"), "statuses shown");
        Checks.True(Took >= 1900 && Took < 3500, "took " + std::to_string(Took) + " ms");
        Checks.Equal(M.LastError(), std::string("Request timed out."), "reason");
        Checks.Equal(M.LastActivity(), 0.0, "last activity");
        const std::vector<TBytes> Requests = Witness.Requests();
        Checks.Equal(Requests.size(), 2u, "requests on the wire");
        for (size_t I = 0; I < Requests.size(); ++I)
            Checks.Equal(Requests[I][26] | Requests[I][27] << 8, int(3489 + I), "sequence of request");
        Checks.True(GSocketStack == nullptr, "the client outlived the check");
        return Checks.Errors;
    });
}

TEST_P(PingCheck, IPv6LoopbackAnswersThenFallsSilent)
{
    const TWay Way = GetParam();
    ICMP_RUN_ISOLATED([Way] {
        if (!UseKind(Way.Kind))
            return std::string("SKIP");
        TChecks Checks;
        TPingMonitor M;
        M.SetIP("::1");
        M.SetRetry(2);
        CheckNow(M, Way.HandOff);
        Checks.Equal(int(M.Status()), int(msOK), "::1 answers: " + M.LastError());
        if (!WriteProcFile("/proc/sys/net/ipv6/icmp/echo_ignore_all", "1"))
            return std::string("SKIP");
        const auto Start = std::chrono::steady_clock::now();
        CheckNow(M, Way.HandOff);
        const double Took = nettest::MillisecondsSince(Start);
        Checks.Equal(int(M.Status()), int(msError), "silent ::1");
        Checks.Equal(M.LastError(), std::string("Request timed out."), "reason");
        Checks.True(Took >= 1900 && Took < 3500, "took " + std::to_string(Took) + " ms");
        return Checks.Errors;
    });
}

TEST_P(PingCheck, HostThatAnswersTheSecondRequest)
{
    const TWay Way = GetParam();
    ICMP_RUN_ISOLATED([Way] {
        TWitness Witness;
        if (!IgnoreEchoRequests(true) || !UseKind(Way.Kind))
            return std::string("SKIP");
        TChecks Checks;
        TFixedClock Clock;
        TPingMonitor M;
        M.SetRetry(3);
        M.SetLastError("from before");
        // The host wakes up halfway through the first attempt's wait.
        std::thread Wake([] {
            std::this_thread::sleep_for(std::chrono::milliseconds(500));
            IgnoreEchoRequests(false);
        });
        const auto Start = std::chrono::steady_clock::now();
        const std::string Shown = StatusesText(CheckNow(M, Way.HandOff));
        const double Took = nettest::MillisecondsSince(Start);
        Wake.join();
        Checks.Equal(Shown, std::string("1,2"), "statuses shown");
        Checks.Equal(Witness.Requests().size(), 2u, "requests on the wire");
        Checks.True(Took >= 950 && Took < 1900, "took " + std::to_string(Took) + " ms");
        Checks.Equal(M.LastActivity(), FixedNow, "last activity");
        Checks.Equal(M.LastError(), std::string(), "reason");
        return Checks.Errors;
    });
}

// An ICMP error from a router on the way is a failed attempt, not an error of the check:
// each one costs an attempt and its text is the reason.
TEST_P(PingCheck, RouterErrorsAreFailedAttempts)
{
    struct TCase {
        TAnswer Answer;
        int32_t Retry;
        const char* Reason;
    };
    for (const TCase& Case : { TCase { TAnswer::Unreachable, 3, "Destination unreachable." },
             TCase { TAnswer::TimeExceeded, 1, "TTL expired in transit." } }) {
        const TWay Way = GetParam();
        ICMP_RUN_ISOLATED([Way, Case] {
            TWitness Witness;
            if (!IgnoreEchoRequests(true))
                return std::string("SKIP");
            TInjector Router(Case.Answer);
            if (!Router.Ok() || !UseKind(Way.Kind))
                return std::string("SKIP");
            TChecks Checks;
            TPingMonitor M;
            M.SetRetry(Case.Retry);
            TCheckRun Run = RunCheck(M, Witness, Way.HandOff);
            Checks.Equal(Run.Shown, std::string("1,3"), "statuses shown");
            Checks.Equal(Run.Requests, size_t(Case.Retry), "requests on the wire");
            Checks.Equal(Router.Answered(), Case.Retry, "errors sent");
            Checks.True(Run.Milliseconds < 1000, "took " + std::to_string(Run.Milliseconds) + " ms");
            Checks.Equal(M.LastError(), std::string(Case.Reason), "reason");
            return Checks.Errors;
        });
    }
}

TEST_P(PingCheck, AnsweringHostIsOK)
{
    const TWay Way = GetParam();
    ICMP_RUN_ISOLATED([Way] {
        TWitness Witness;
        if (!UseKind(Way.Kind))
            return std::string("SKIP");
        TChecks Checks;
        TFixedClock Clock;
        TPingMonitor M;
        M.SetLastError("from before");
        TCheckRun Run = RunCheck(M, Witness, Way.HandOff);
        Checks.Equal(Run.Shown, std::string("1,2"), "statuses shown");
        Checks.Equal(Run.Requests, 1u, "requests on the wire");
        Checks.Equal(M.LastActivity(), FixedNow, "last activity");
        Checks.Equal(M.LastError(), std::string(), "reason");
        Checks.True(GSocketStack == nullptr, "the client outlived the check");
        return Checks.Errors;
    });
}

INSTANTIATE_TEST_SUITE_P(
    Ways, PingCheck, ::testing::ValuesIn(Ways), [](const auto& AInfo) { return WayName(AInfo.param); });

// ---------------------------------------------------------------------------------------
// Hosts behind a veth pair, with whatever else a real network carries

// One monitor of a list, checked in turn as a tick checks them, and its verdict.
struct TFarMonitor {
    const char* Host;
    TMonitorStatus Status;
    const char* Reason;
};

struct TFarCase {
    const char* Name;
    TFarHosts::TScript Script;
    std::vector<TFarMonitor> Monitors;
};

using TSends = std::vector<TFarHosts::TSend>;

// A message from AFrom to the near end.
TBytes ToNear(const uint8_t (&AFrom)[4], const TBytes& AIcmp)
{
    return IPPacket(AFrom, NearEnd, 64, AIcmp);
}

const TFarCase FarCases[] = {
    { "LateReplyForAnotherMonitor",
        [](const TBytes& ARequest) {
            // Host A answers after its monitor has given up; host B never answers.
            return SentTo(ARequest, FarHostA) ? TSends { { 1200, ReplyTo(ARequest) } } : TSends {};
        },
        { { "10.77.0.2", msError, "Request timed out." }, { "10.77.0.3", msError, "Request timed out." } } },
    { "UnreachableAboutAnotherRequest",
        [](const TBytes& ARequest) {
            // The router's report about A's request comes in during B's wait.
            if (SentTo(ARequest, FarHostA))
                return TSends { { 1200, ToNear(FarRouter, ErrorMessage(3, 1, ARequest)) } };
            return TSends { { 400, ReplyTo(ARequest) } };
        },
        { { "10.77.0.2", msError, "Request timed out." }, { "10.77.0.3", msOK, "" } } },
    { "UnrelatedRequestsDoNotShortenTheWait",
        [](const TBytes& ARequest) {
            // Twenty echo requests a second from B to this host, whose kernel answers them.
            TSends Sends { { 400, ReplyTo(ARequest) } };
            for (uint16_t I = 0; I < 20; ++I)
                Sends.push_back({ 50u * I, ToNear(FarHostB, EchoMessage(8, 0x7777, I)) });
            return Sends;
        },
        { { "10.77.0.2", msOK, "" } } },
    { "TimestampAndRedirectBeforeTheReply",
        [](const TBytes& ARequest) {
            TBytes Redirect = ErrorMessage(5, 1, ARequest);
            std::copy(FarHostB, FarHostB + 4, Redirect.begin() + 4); // the better gateway
            SetChecksum(Redirect);
            return TSends { { 50, ToNear(FarHostA, EchoMessage(13, 0x0101, 1, "")) },
                { 100, ToNear(FarRouter, Redirect) }, { 200, ReplyTo(ARequest) } };
        },
        { { "10.77.0.2", msOK, "" } } },
    { "CorruptChecksumIsNoReply",
        [](const TBytes& ARequest) {
            TBytes Reply = ReplyTo(ARequest);
            Reply[40] ^= 0x40; // one bit of the data; the checksum stays
            return TSends { { 100, Reply } };
        },
        { { "10.77.0.2", msError, "Request timed out." } } },
    { "NamedHostSaysWhichAddress", [](const TBytes&) { return TSends {}; },
        { { "far-b.vardex.test", msError, "Request timed out.\r\nAddress pinged: 10.77.0.3" },
            { "10.77.0.3", msError, "Request timed out." } } },
};

class PingFarHosts : public ::testing::TestWithParam<std::tuple<size_t, TWay>> { };

TEST_P(PingFarHosts, Verdicts)
{
    const TFarCase& Case = FarCases[std::get<0>(GetParam())];
    const TWay Way = std::get<1>(GetParam());
    ICMP_RUN_ISOLATED([&Case, Way] {
        if (!UseHostsFile("10.77.0.3 far-b.vardex.test\n"))
            return std::string("SKIP");
        TFarHosts Far(Case.Script);
        if (!Far.Ok() || !UseKind(Way.Kind))
            return std::string("SKIP");
        TChecks Checks;
        for (const TFarMonitor& Expected : Case.Monitors) {
            TPingMonitor M;
            M.SetIP(Expected.Host);
            M.SetRetry(1);
            CheckNow(M, Way.HandOff);
            const std::string Host = Expected.Host;
            Checks.Equal(int(M.Status()), int(Expected.Status), "status of " + Host);
            Checks.Equal(M.LastError(), std::string(Expected.Reason), "reason of " + Host);
        }
        Checks.Equal(Far.Requests(), int(Case.Monitors.size()), "requests that reached the far end");
        return Checks.Errors;
    });
}

INSTANTIATE_TEST_SUITE_P(Ways, PingFarHosts,
    ::testing::Combine(::testing::Range<size_t>(0, std::size(FarCases)), ::testing::ValuesIn(Ways)),
    [](const auto& AInfo) {
        return std::string(FarCases[std::get<0>(AInfo.param)].Name) + WayName(std::get<1>(AInfo.param));
    });

TEST(PingCheckOnce, NoRetriesSendNothing)
{
    ICMP_RUN_ISOLATED([] {
        TChecks Checks;
        TWitness Witness;
        for (int32_t Retry : { 0, -3 }) {
            TPingMonitor M;
            M.SetRetry(Retry);
            TCheckRun Run = RunCheck(M, Witness);
            const std::string R = std::to_string(Retry);
            Checks.Equal(Run.Shown, std::string("1,3"), "statuses shown with " + R);
            Checks.Equal(int(M.Status()), int(msError), "status with " + R);
            Checks.Equal(M.LastError(),
                "Retry is " + R + ": no echo request is sent; set Retry to 1 or more.", "reason with " + R);
            Checks.Equal(Run.Requests, 0u, "requests with " + R);
        }
        return Checks.Errors;
    });
}

TEST(PingCheckOnce, UnresolvableHostIsAnErrorAtOnce)
{
    // The name goes to the resolver, so only inside a namespace without a way out.
    ICMP_RUN_ISOLATED([] {
        TChecks Checks;
        TWitness Witness;
        TPingMonitor M;
        M.SetIP("nosuchhost.invalid");
        M.SetRetry(3);
        TCheckRun Run = RunCheck(M, Witness);
        Checks.Equal(Run.Shown, std::string("1,3"), "statuses shown");
        Checks.Equal(Run.Requests, 0u, "requests on the wire");
        Checks.Equal(M.LastError(), std::string("Socket Error # 11001\r\nHost not found."), "reason");
        Checks.True(GSocketStack == nullptr, "the client outlived the check");
        return Checks.Errors;
    });
}

TEST(PingCheckOnce, NoSocketIsAnError)
{
    ICMP_RUN_ISOLATED([] {
        TWitness Witness;
        if (!AllowDatagramPing(false) || !DropNetRaw())
            return std::string("SKIP");
        TChecks Checks;
        TPingMonitor M;
        M.SetRetry(3);
        TCheckRun Run = RunCheck(M, Witness);
        Checks.Equal(Run.Shown, std::string("1,3"), "statuses shown");
        Checks.Equal(M.LastError(), std::string("Cannot allocate socket."), "reason");
        Checks.True(GSocketStack == nullptr, "the client outlived the check");
        return Checks.Errors;
    });
}

// The machine's own loopback, as the program runs it.
TEST(PingCheckOnce, LoopbackOfThisMachine)
{
    const std::string Range = ReadProcFile("/proc/sys/net/ipv4/ping_group_range");
    const long Gid = static_cast<long>(getgid());
    long Low = 1;
    long High = 0;
    std::sscanf(Range.c_str(), "%ld %ld", &Low, &High);
    if (RawSocketRefusal() != 0 && !(Low <= Gid && Gid <= High))
        GTEST_SKIP() << "neither a raw ICMP socket (root or CAP_NET_RAW) nor the datagram socket "
                        "(net.ipv4.ping_group_range \""
                     << Range << "\" leaves out group " << Gid << ") may be opened here";
    TFixedClock Clock;
    TPingMonitor M;
    EXPECT_EQ(StatusesText(CheckNow(M)), "1,2");
    EXPECT_EQ(M.Status(), msOK);
    EXPECT_EQ(M.LastActivity(), FixedNow);
    EXPECT_EQ(GSocketStack, nullptr);
}

} // namespace
