// The DNS probe against a real dnsmasq that the test starts on a free loopback port with
// records of its own (no upstream server, so nothing leaves the machine), against answers
// built byte by byte that no such server sends, and against a UDP socket that never answers.
#include "monitors/Monitors.h"

#include "support/Net.h"
#include "support/ScriptedServer.h"
#include "support/TempFolder.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <functional>
#include <memory>
#include <optional>
#include <pwd.h>
#include <string>
#include <sys/eventfd.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace nettest;

namespace {

// dnsmasq in the foreground on 127.0.0.1:Port, answering from its own hosts file and
// records; names under .test it does not know are NXDOMAIN, others REFUSED (it has no
// server to ask).
class TDnsmasq {
public:
    TDnsmasq()
    {
        // Debian's dnsmasq-base puts the program here.
        const std::string Program = "/usr/sbin/dnsmasq";
        if (access(Program.c_str(), X_OK) != 0 || FFolder.Path().empty())
            return;
        FFolder.Write(
            "hosts", "127.0.0.1 www.test\n127.0.0.2 www.test\n::1 www.test\n192.0.2.25 mail.test\n");
        // A port free for UDP may be taken for TCP (another test's connection has it as its
        // own end): dnsmasq then ends at once, and another port is tried.
        for (int Attempt = 0; Attempt < 5 && !Ready; ++Attempt)
            Start(Program);
    }
    ~TDnsmasq()
    {
        if (FPid > 0) {
            kill(FPid, SIGTERM);
            waitpid(FPid, nullptr, 0);
        }
    }
    TDnsmasq(const TDnsmasq&) = delete;
    TDnsmasq& operator=(const TDnsmasq&) = delete;

    bool Ready = false;
    int Port = 0;

private:
    void Start(const std::string& AProgram)
    {
        TFd Probe(BoundSocket(SOCK_DGRAM, 0));
        Port = LocalPort(Probe.Get());
        Probe.Reset();
        const passwd* User = getpwuid(getuid());
        std::vector<std::string> Args { AProgram, "--no-daemon", "--conf-file=/dev/null",
            "--port=" + std::to_string(Port), "--listen-address=127.0.0.1", "--bind-interfaces",
            "--no-resolv", "--no-hosts", "--addn-hosts=" + FFolder.Path("hosts"), "--local=/test/",
            "--pid-file=", "--user=" + std::string(User ? User->pw_name : "root"),
            "--cname=alias.test,www.test", "--mx-host=test,mail.test,10", "--txt-record=www.test,v=vardex1",
            "--log-facility=/dev/null" };
        FPid = fork();
        if (FPid == 0) {
            std::vector<char*> Argv;
            for (std::string& A : Args)
                Argv.push_back(A.data());
            Argv.push_back(nullptr);
            execv(Argv[0], Argv.data());
            _exit(127);
        }
        // Ready when it takes a TCP connection on its port.
        for (int I = 0; I < 100 && !Ready; ++I) {
            TFd C(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
            sockaddr_in A = Loopback(Port);
            Ready = connect(C.Get(), reinterpret_cast<sockaddr*>(&A), sizeof A) == 0;
            if (Ready)
                break;
            if (FPid > 0 && waitpid(FPid, nullptr, WNOHANG) == FPid) {
                FPid = -1;
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(30));
        }
    }

    testsupport::TTempFolder FFolder { "vardex-dns" };
    pid_t FPid = -1;
};

// A DNS server on 127.0.0.1 (UDP) that answers every question with what AAnswer makes of
// it, until it is destroyed.
class TScriptedDns {
public:
    using TAnswer = std::function<std::string(const std::string& AQuestion)>;
    explicit TScriptedDns(TAnswer AAnswer)
        : FAnswer(std::move(AAnswer))
    {
        FThread = std::thread([this] {
            for (;;) {
                pollfd Waits[] = { { FSocket.Get(), POLLIN, 0 }, { FStop.Get(), POLLIN, 0 } };
                if (poll(Waits, 2, 10000) <= 0 || Waits[1].revents)
                    return;
                char Buffer[512];
                sockaddr_in Peer {};
                socklen_t Length = sizeof Peer;
                const ssize_t Got = recvfrom(
                    FSocket.Get(), Buffer, sizeof Buffer, 0, reinterpret_cast<sockaddr*>(&Peer), &Length);
                if (Got < 12)
                    continue;
                const std::string Answer = FAnswer(std::string(Buffer, static_cast<size_t>(Got)));
                sendto(FSocket.Get(), Answer.data(), Answer.size(), 0, reinterpret_cast<sockaddr*>(&Peer),
                    Length);
            }
        });
    }
    ~TScriptedDns()
    {
        const uint64_t One = 1;
        (void)!write(FStop.Get(), &One, sizeof One);
        FThread.join();
    }
    TScriptedDns(const TScriptedDns&) = delete;
    TScriptedDns& operator=(const TScriptedDns&) = delete;

    int Port() const { return LocalPort(FSocket.Get()); }

private:
    TFd FSocket { BoundSocket(SOCK_DGRAM, 0) };
    TFd FStop { eventfd(0, EFD_CLOEXEC) };
    TAnswer FAnswer;
    std::thread FThread;
};

std::string Bytes16(int AValue)
{
    return { static_cast<char>(AValue >> 8 & 0xFF), static_cast<char>(AValue & 0xFF) };
}

// The answer to AQuestion with the header flags AFlags and ACount A records: 10.0.0.0,
// 10.0.0.1 and on, each for the name asked or, given AOwner, for that name.
std::string AnswerOf(const std::string& AQuestion, int AFlags, int ACount, const std::string& AOwner = {})
{
    std::string Owner = "\xC0\x0C"; // the question's name
    if (!AOwner.empty())
        Owner = static_cast<char>(AOwner.size()) + AOwner + '\0';
    std::string Answer = AQuestion.substr(0, 2) + Bytes16(AFlags) + Bytes16(1) + Bytes16(ACount) + Bytes16(0)
        + Bytes16(0) + AQuestion.substr(12);
    for (int I = 0; I < ACount; ++I)
        Answer += Owner + Bytes16(1) + Bytes16(1) + Bytes16(0) + Bytes16(60) + Bytes16(4) + "\x0A" + '\0'
            + static_cast<char>(I / 256) + static_cast<char>(I % 256);
    return Answer;
}

} // namespace

TEST(DnsCheck, AnswersOfARealServer)
{
    TDnsmasq Server;
    ASSERT_TRUE(Server.Ready) << "dnsmasq did not start";
    const std::string Address = "127.0.0.1:" + std::to_string(Server.Port);
    const std::string At = " (asked " + Address + ").";
    struct Row {
        const char* Query;
        const char* Record;
        const char* Expect;
        std::string Reason; // empty for a success
    };
    const Row Rows[] = {
        { "www.test", "A", "", "" },
        { "www.test", "a", "127.0.0.2", "" },
        { "www.test", "AAAA", "0:0::1", "" },
        { "alias.test", "CNAME", "WWW.test.", "" },
        { "test", "MX", "mail.test", "" },
        { "www.test", "TXT", "v=vardex1", "" },
        { "www.test", "A", "192.0.2.9", "www.test A: expected 192.0.2.9, got 127.0.0.1, 127.0.0.2." },
        { "mail.test", "AAAA", "", "No AAAA record for mail.test" + At },
        { "missing.test", "A", "", "NXDOMAIN: missing.test does not exist" + At },
        { "www.example", "A", "", "REFUSED: " + Address + " refused to answer for www.example A." },
    };
    for (const Row& R : Rows) {
        SCOPED_TRACE(std::string(R.Query) + " " + R.Record);
        TDnsMonitor Monitor;
        Monitor.SetQuery(R.Query);
        Monitor.SetRecord(R.Record);
        Monitor.SetExpect(R.Expect);
        Monitor.SetServer(Address);
        Monitor.SetTimeout(2);
        const TProbeResult Result = Monitor.Probe();
        EXPECT_EQ(Result.Status, R.Reason.empty() ? msOK : msError);
        EXPECT_EQ(Result.Reason, R.Reason);
    }
}

TEST(DnsCheck, SilentServerTimesOut)
{
    TFd Silent(BoundSocket(SOCK_DGRAM, 0));
    TDnsMonitor Monitor;
    Monitor.SetQuery("www.test");
    Monitor.SetServer("127.0.0.1:" + std::to_string(LocalPort(Silent.Get())));
    Monitor.SetTimeout(1);
    const auto Start = std::chrono::steady_clock::now();
    const TProbeResult Result = Monitor.Probe();
    const double Elapsed = MillisecondsSince(Start);
    EXPECT_EQ(Result.Reason, "Timed out: no answer for www.test A from " + Monitor.Server() + " within 1 s.");
    EXPECT_GE(Elapsed, 990);
    EXPECT_LT(Elapsed, 3000);
}

// Answers no server of ours sends: more records than a small buffer holds (too many for UDP,
// so they come over TCP after a truncated answer), records of another name only, and a
// truncated answer whose retry over TCP fails.
TEST(DnsCheck, AnswersOfAScriptedServer)
{
    enum TTcp { tcpNone, tcpAnswer, tcpClose, tcpReset, tcpSilent };
    struct Row {
        const char* Name;
        int Flags; // 0x8180: an answer, recursion asked and available; 0x0200: truncated
        int Records; // in the answer over UDP unless it is truncated, else over TCP
        const char* Owner;
        const char* Expect;
        TTcp Tcp; // what a TCP connection to the port meets
        std::string Reason; // "@" for the server; empty for a success
    };
    const std::string Truncated
        = "The answer for www.test A from @ was truncated, and the TCP retry failed: ";
    const Row Rows[] = {
        { "every one of 200 records", 0x8380, 200, "", "10.0.0.199", tcpAnswer, "" },
        { "records of another name only", 0x8180, 2, "other", "", tcpNone,
            "The answer from @ holds records, but no A record for www.test." },
        { "truncated, nothing on TCP", 0x8380, 0, "", "", tcpNone, Truncated + "Connection refused." },
        { "truncated, TCP closed", 0x8380, 0, "", "", tcpClose,
            Truncated + "the server closed the connection." },
        { "truncated, TCP reset", 0x8380, 0, "", "", tcpReset, Truncated + "Connection reset by peer." },
        { "truncated, TCP silent", 0x8380, 0, "", "", tcpSilent,
            "The answer for www.test A from @ was truncated, and the TCP retry got no answer within 1 s." },
    };
    for (const Row& R : Rows) {
        SCOPED_TRACE(R.Name);
        // The server's port is free for UDP, but another test's connection may hold it as its
        // local end: then the TCP side takes the next server's port.
        std::optional<TScriptedDns> Server;
        TFd Listen;
        for (int Try = 0; Try < 5 && !Server; ++Try) {
            Server.emplace([&R](const std::string& AQuestion) {
                return AnswerOf(AQuestion, R.Flags, R.Flags & 0x0200 ? 0 : R.Records, R.Owner);
            });
            if (R.Tcp == tcpNone)
                break;
            Listen.Reset(BoundSocket(SOCK_STREAM, Server->Port()));
            if (Listen.Get() < 0)
                Server.reset();
        }
        ASSERT_TRUE(Server);
        std::unique_ptr<TScriptedServer> Tcp;
        if (R.Tcp != tcpNone) {
            ASSERT_EQ(listen(Listen.Get(), 4), 0);
            Tcp = std::make_unique<TScriptedServer>(
                std::move(Listen), [&R](TScriptedServer& AServer, int AFd, int) {
                    // The question read (after its length), so that a close is a close and
                    // not a reset.
                    char Question[514];
                    ssize_t Got = 0;
                    if (AServer.WaitReadable(AFd, 2000))
                        Got = recv(AFd, Question, sizeof Question, 0);
                    if (R.Tcp == tcpAnswer && Got > 14) {
                        const std::string Answer
                            = AnswerOf(std::string(Question + 2, static_cast<size_t>(Got - 2)), 0x8180,
                                R.Records, R.Owner);
                        TScriptedServer::SendAll(AFd, Bytes16(static_cast<int>(Answer.size())) + Answer);
                    }
                    if (R.Tcp == tcpSilent)
                        AServer.Pause(3000);
                    if (R.Tcp == tcpReset)
                        TScriptedServer::Abort(AFd);
                });
        }
        const std::string Address = "127.0.0.1:" + std::to_string(Server->Port());
        TDnsMonitor Monitor;
        Monitor.SetQuery("www.test");
        Monitor.SetExpect(R.Expect);
        Monitor.SetServer(Address);
        Monitor.SetTimeout(R.Tcp == tcpSilent ? 1 : 2);
        const TProbeResult Result = Monitor.Probe();
        std::string Reason = R.Reason;
        if (const size_t At = Reason.find('@'); At != std::string::npos)
            Reason.replace(At, 1, Address);
        EXPECT_EQ(Result.Reason, Reason);
        EXPECT_EQ(Result.Status, Reason.empty() ? msOK : msError);
    }
}
