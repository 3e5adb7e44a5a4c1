// The DNS probe against a real dnsmasq that the test starts on a free loopback port with
// records of its own (no upstream server, so nothing leaves the machine), and against a UDP
// socket that never answers.
#include "monitors/Monitors.h"

#include "support/Net.h"
#include "support/TempFolder.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <pwd.h>
#include <string>
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
        TFd Probe(BoundSocket(SOCK_DGRAM, 0));
        Port = LocalPort(Probe.Get());
        Probe.Reset();
        const passwd* User = getpwuid(getuid());
        std::vector<std::string> Args { Program, "--no-daemon", "--conf-file=/dev/null",
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
            if (!Ready)
                std::this_thread::sleep_for(std::chrono::milliseconds(30));
        }
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
    testsupport::TTempFolder FFolder { "vardex-dns" };
    pid_t FPid = -1;
};

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
