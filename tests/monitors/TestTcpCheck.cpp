// The TCP probe against loopback ports: one that listens, one that is closed, one whose accept
// queue is full (the connect is never answered), and TLS servers with certificates the test
// makes.
#include "monitors/Monitors.h"

#include "support/Certificates.h"
#include "support/HttpsServer.h"
#include "support/Net.h"
#include "support/ScriptedServer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <string>
#include <vector>

using namespace nettest;

namespace {

TProbeResult ProbeTcp(const std::string& AHost, int APort, int ATimeout = 1, bool ATLS = false)
{
    TTcpMonitor Monitor;
    Monitor.SetHost(AHost);
    Monitor.SetPort(APort);
    Monitor.SetTimeout(ATimeout);
    Monitor.SetTLS(ATLS);
    return Monitor.Probe();
}

} // namespace

TEST(TcpCheck, ListeningClosedAndSilentPorts)
{
    TFd Open = Listener();
    EXPECT_EQ(ProbeTcp("127.0.0.1", LocalPort(Open.Get())).Status, msOK);
    EXPECT_EQ(ProbeTcp("[127.0.0.1]", LocalPort(Open.Get())).Status, msOK);
    TFd Open6 = Listener6();
    if (Open6.Get() >= 0) {
        EXPECT_EQ(ProbeTcp("::1", LocalPort(Open6.Get())).Status, msOK);
    }

    const TProbeResult Refused = ProbeTcp("127.0.0.1", ClosedPort());
    EXPECT_EQ(Refused.Status, msError);
    EXPECT_EQ(Refused.Reason, "Socket Error # 10061\r\nConnection refused.");

    TDeafListener Deaf;
    if (!Deaf.Ready)
        GTEST_SKIP() << "this kernel completes connects to a full accept queue";
    const auto Start = std::chrono::steady_clock::now();
    const TProbeResult Silent = ProbeTcp("127.0.0.1", Deaf.Port, 1);
    const double Elapsed = MillisecondsSince(Start);
    EXPECT_EQ(Silent.Reason, "Connect timed out.");
    EXPECT_GE(Elapsed, 990);
    EXPECT_LT(Elapsed, 3000);
}

// A handshake with a certificate the test authority made is a success, an expired one fails
// as a web check's does; CertExpiryDays and VerifyTLS=0 work as on web monitors.
TEST(TcpCheck, TLSHandshake)
{
    using testsupport::TCertificateKind;
    struct Row {
        const char* Name;
        TCertificateKind Kind;
        bool Verify;
        int32_t WarnDays;
        const char* Reason; // how it begins; empty for a success
    };
    const Row Rows[] = {
        { "good", TCertificateKind::ckGood, true, 0, "" },
        { "good, warned within 30 days", TCertificateKind::ckGood, true, 30, "Certificate expires in " },
        { "expired", TCertificateKind::ckExpired, true, 0,
            "Error connecting with SSL. Certificate verify failed: certificate has expired" },
        { "expired, not verified", TCertificateKind::ckExpired, false, 0, "" },
    };
    // The test server's close notice may meet a client that has already gone.
    std::signal(SIGPIPE, SIG_IGN);
    for (const Row& R : Rows) {
        SCOPED_TRACE(R.Name);
        testsupport::TTestCertificate Certificate(R.Kind);
        ASSERT_TRUE(Certificate.Made);
        testsupport::TTrustScope Trust(Certificate.CAFile);
        testsupport::THTTPSServer Server(Certificate, "");
        TTcpMonitor Monitor;
        Monitor.SetHost("localhost");
        Monitor.SetPort(Server.Port());
        Monitor.SetTimeout(2);
        Monitor.SetTLS(true);
        Monitor.SetVerifyTLS(R.Verify);
        Monitor.SetCertExpiryDays(R.WarnDays);
        const TProbeResult Result = Monitor.Probe();
        EXPECT_EQ(Result.Status, R.Reason[0] ? msError : msOK) << Result.Reason;
        EXPECT_EQ(Result.Reason.substr(0, std::string(R.Reason).size()), R.Reason);
        if (R.Kind == TCertificateKind::ckGood) {
            EXPECT_NE(Result.Certificate.Leaf, 0);
        }
    }
}
