// The web probe end to end against a real nginx that the test starts on free loopback ports
// (plain and TLS, with a certificate from a test authority made when the tests run and trusted
// through SSL_CERT_FILE), against small TLS servers with good and bad certificates, and against
// loopback ports where nothing listens or nothing answers.
#include "monitors/Monitors.h"

#include "net/tls/NetSSLOpenSSLHeaders.h"
#include "support/Certificates.h"
#include "support/HttpsServer.h"
#include "support/Icmp.h"
#include "support/MonitorCheck.h"
#include "support/Net.h"
#include "support/ScriptedServer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace nettest;
using testsupport::CheckNow;

namespace {

std::string FindNginx()
{
    for (const char* Path : { "/usr/sbin/nginx", "/usr/bin/nginx", "/usr/local/sbin/nginx" })
        if (access(Path, X_OK) == 0)
            return Path;
    return {};
}

std::string CommandOutput(const std::string& ACommand)
{
    std::string Text;
    if (FILE* P = popen(ACommand.c_str(), "r")) {
        char Buffer[4096];
        size_t N;
        while ((N = fread(Buffer, 1, sizeof Buffer, P)) > 0)
            Text.append(Buffer, N);
        pclose(P);
    }
    return Text;
}

bool Answers(int APort)
{
    TFd Fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in A = Loopback(APort);
    return connect(Fd.Get(), reinterpret_cast<sockaddr*>(&A), sizeof A) == 0;
}

// One nginx child process with everything it writes inside the certificate's folder.
class TNginx {
public:
    explicit TNginx(const testsupport::TTestCertificate& ACertificate)
    {
        const std::string Binary = FindNginx();
        if (Binary.empty()) {
            Why = "nginx is not installed (scripts/test installs nginx-light)";
            return;
        }
        if (!ACertificate.Made) {
            Why = "the openssl tool could not make a test certificate";
            return;
        }
        const std::string& Dir = ACertificate.Dir;
        HTTPPort = ClosedPort();
        HTTPSPort = ClosedPort();
        // The same ports on ::1 where this machine has IPv6.
        IPv6 = Listener6().Get() >= 0;
        const std::string Six = IPv6 ? "        listen [::1]:" + std::to_string(HTTPPort) + ";\n" : "";
        const std::string SixSSL
            = IPv6 ? "        listen [::1]:" + std::to_string(HTTPSPort) + " ssl;\n" : "";
        // Temp paths only for the modules this build has (each would else default to a
        // system folder).
        const std::string Built = CommandOutput(Binary + " -V 2>&1");
        std::string TempPaths = "    client_body_temp_path " + Dir + "/body;\n";
        for (const char* Module : { "proxy", "fastcgi", "uwsgi", "scgi" })
            if (Built.find(std::string("--http-") + Module + "-temp-path") != std::string::npos)
                TempPaths += std::string("    ") + Module + "_temp_path " + Dir + "/" + Module + ";\n";
        std::ofstream(Dir + "/nginx.conf")
            << "daemon off;\nmaster_process off;\nworker_processes 1;\n"
            << "pid " << Dir << "/nginx.pid;\n"
            << "error_log " << Dir << "/error.log;\n"
            << "events { worker_connections 64; }\n"
            << "http {\n"
            << "    access_log " << Dir << "/access.log;\n"
            << TempPaths << "    server {\n"
            << "        listen 127.0.0.1:" << HTTPPort << ";\n"
            << Six << "        location = /ok { return 200 \"fine\\n\"; }\n"
            << "        location = /empty { return 204; }\n"
            << "        location = /moved { return 301 /ok; }\n"
            << "        location = /found { return 302 /ok; }\n"
            << "        location = /broken { return 500; }\n"
            << "    }\n"
            << "    server {\n"
            << "        listen 127.0.0.1:" << HTTPSPort << " ssl;\n"
            << SixSSL << "        ssl_certificate " << ACertificate.CertFile << ";\n"
            << "        ssl_certificate_key " << ACertificate.KeyFile << ";\n"
            << "        location = /ok { return 200 \"secure\\n\"; }\n"
            << "    }\n"
            << "}\n";
        FPid = fork();
        if (FPid == 0) {
            execl(Binary.c_str(), Binary.c_str(), "-p", Dir.c_str(), "-c", (Dir + "/nginx.conf").c_str(),
                "-e", (Dir + "/error.log").c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        for (int I = 0; I < 100; ++I) {
            if (Answers(HTTPPort) && Answers(HTTPSPort))
                return;
            int Status;
            if (waitpid(FPid, &Status, WNOHANG) == FPid) {
                FPid = -1;
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        std::ifstream Log(Dir + "/error.log");
        Why = "nginx did not start: " + std::string(std::istreambuf_iterator<char>(Log), {});
    }
    ~TNginx()
    {
        if (FPid > 0) {
            kill(FPid, SIGTERM);
            int Status;
            while (waitpid(FPid, &Status, 0) < 0 && errno == EINTR) { }
        }
    }
    TNginx(const TNginx&) = delete;
    TNginx& operator=(const TNginx&) = delete;

    bool Running() const { return Why.empty(); }
    std::string URL(const std::string& APath) const
    {
        return "http://127.0.0.1:" + std::to_string(HTTPPort) + APath;
    }
    std::string SecureURL(const std::string& APath) const
    {
        return "https://localhost:" + std::to_string(HTTPSPort) + APath;
    }

    std::string Why;
    bool IPv6 = false;
    int HTTPPort = 0;
    int HTTPSPort = 0;

private:
    pid_t FPid = -1;
};

class WebCheck : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        std::signal(SIGPIPE, SIG_IGN);
        Certificate = new testsupport::TTestCertificate();
        Trust = new testsupport::TTrustScope(Certificate->CAFile);
        Server = new TNginx(*Certificate);
    }
    static void TearDownTestSuite()
    {
        delete Server;
        delete Trust;
        delete Certificate;
    }
    void SetUp() override
    {
        if (!Server->Running())
            GTEST_SKIP() << Server->Why;
    }

    // Checks AURL with a fresh monitor; returns it for the outcome.
    TMonitorStatus CheckOnce(
        const std::string& AURL, std::string* ALastError = nullptr, bool AVerifyTLS = true)
    {
        TWebMonitor Monitor;
        Monitor.SetURL(AURL);
        Monitor.SetVerifyTLS(AVerifyTLS);
        Monitor.SetLastError("left from before");
        const std::vector<TMonitorStatus> Statuses = CheckNow(Monitor);
        EXPECT_EQ(Statuses.size(), 2u);
        if (!Statuses.empty()) {
            EXPECT_EQ(Statuses.front(), msChecking);
        }
        if (Monitor.Status() == msOK) {
            EXPECT_GT(Monitor.LastActivity(), 0);
            EXPECT_EQ(Monitor.LastError(), "");
        } else {
            EXPECT_EQ(Monitor.LastActivity(), 0);
        }
        if (ALastError)
            *ALastError = Monitor.LastError();
        return Monitor.Status();
    }

    static testsupport::TTestCertificate* Certificate;
    static testsupport::TTrustScope* Trust;
    static TNginx* Server;
};

testsupport::TTestCertificate* WebCheck::Certificate = nullptr;
testsupport::TTrustScope* WebCheck::Trust = nullptr;
TNginx* WebCheck::Server = nullptr;

} // namespace

TEST_F(WebCheck, StatusesOfAPlainServer)
{
    struct Row {
        const char* Path;
        TMonitorStatus Status;
        const char* LastError;
    };
    const Row Rows[] = {
        { "/ok", msOK, "" },
        { "/empty", msOK, "" },
        { "/moved", msError, "HTTP/1.1 301 Moved Permanently" },
        { "/found", msError, "HTTP/1.1 302 Moved Temporarily" },
        { "/missing", msError, "HTTP/1.1 404 Not Found" },
        { "/broken", msError, "HTTP/1.1 500 Internal Server Error" },
    };
    for (const Row& R : Rows) {
        SCOPED_TRACE(R.Path);
        std::string LastError;
        EXPECT_EQ(CheckOnce(Server->URL(R.Path), &LastError), R.Status);
        EXPECT_EQ(LastError, R.LastError);
    }
}

TEST_F(WebCheck, SecurePage)
{
    // Verified: the test authority is trusted, and the certificate names both.
    EXPECT_EQ(CheckOnce(Server->SecureURL("/ok")), msOK);
    EXPECT_EQ(CheckOnce("https://127.0.0.1:" + std::to_string(Server->HTTPSPort) + "/ok"), msOK);
    // Plain HTTP spoken to the TLS port is answered with an error page.
    std::string LastError;
    EXPECT_EQ(
        CheckOnce("http://127.0.0.1:" + std::to_string(Server->HTTPSPort) + "/ok", &LastError), msError);
    EXPECT_EQ(LastError, "HTTP/1.1 400 Bad Request");
}

TEST_F(WebCheck, NothingListensAndOtherSchemes)
{
    std::string LastError;
    EXPECT_EQ(CheckOnce("http://127.0.0.1:" + std::to_string(ClosedPort()) + "/", &LastError), msError);
    EXPECT_NE(LastError, "");
    EXPECT_EQ(CheckOnce("ftp://127.0.0.1:" + std::to_string(Server->HTTPPort) + "/ok", &LastError), msError);
    EXPECT_EQ(LastError, "Unknown protocol: the URL must start with http:// or https://.");
    // TLS spoken to the plain port: the handshake fails.
    EXPECT_EQ(
        CheckOnce("https://127.0.0.1:" + std::to_string(Server->HTTPPort) + "/ok", &LastError), msError);
    EXPECT_EQ(LastError.rfind("Error connecting with SSL. Library error: ", 0), 0u) << LastError;
}

TEST_F(WebCheck, IPv6LoopbackInBrackets)
{
    if (!Server->IPv6)
        GTEST_SKIP() << "no IPv6 on the loopback";
    EXPECT_EQ(CheckOnce("http://[::1]:" + std::to_string(Server->HTTPPort) + "/ok"), msOK);
    std::string LastError;
    EXPECT_EQ(
        CheckOnce("http://[::1]:" + std::to_string(Server->HTTPPort) + "/missing", &LastError), msError);
    EXPECT_EQ(LastError, "HTTP/1.1 404 Not Found");
    // Verified: the certificate names ::1 among its addresses.
    EXPECT_EQ(CheckOnce("https://[::1]:" + std::to_string(Server->HTTPSPort) + "/ok", &LastError), msOK)
        << LastError;
}

// Names of the test's own on ULA addresses in a namespace of its own: one whose first
// address refuses and whose second answers, and one with an IPv6 address only.
TEST(WebCheckNames, DeadFirstAddressAndIPv6Only)
{
    ICMP_RUN_ISOLATED([]() -> std::string {
        if (!icmptest::AddLoopbackAddresses6({ "fd00:19::1", "fd00:19::2" })
            || !icmptest::UseHostsFile(
                "fd00:19::1 multi.test\nfd00:19::2 multi.test\nfd00:19::2 six.test\nfd00:19::1 dead.test\n"))
            return "SKIP";
        TFd Live = Listener6("fd00:19::2");
        const int Port = LocalPort(Live.Get());
        TScriptedServer Server(
            std::move(Live),
            [](TScriptedServer& AServer, int AFd, int) {
                AServer.ReadRequest(AFd);
                TScriptedServer::SendAll(
                    AFd, "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\nok");
            },
            2);
        icmptest::TChecks Check;
        for (const char* Name : { "multi.test", "six.test", "dead.test" }) {
            TWebMonitor Monitor;
            Monitor.SetURL("http://" + std::string(Name) + ":" + std::to_string(Port) + "/");
            CheckNow(Monitor);
            Check.Equal(Monitor.LastError(),
                std::string(Name) == "dead.test" ? std::string("Socket Error # 10061\r\nConnection refused.")
                                                 : "",
                Name);
        }
        return Check.Errors;
    });
}

// Every kind of certificate against the verifying check and against its opt-out, with the
// reason the operator reads.
TEST(WebCheckTLS, CertificatesAreVerifiedUnlessTheMonitorSaysNot)
{
    using testsupport::TCertificateKind;
    struct Row {
        const char* Name;
        TCertificateKind Kind;
        const char* Host;
        bool TrustAuthority;
        const char* Reason; // with verification; empty for a success
    };
    const Row Rows[] = {
        { "good, by name", TCertificateKind::ckGood, "localhost", true, "" },
        { "good, by address", TCertificateKind::ckGood, "127.0.0.1", true, "" },
        { "good, by absolute name", TCertificateKind::ckGood, "localhost.", true, "" },
        { "Common Name without subjectAltName", TCertificateKind::ckCommonNameOnly, "localhost", true,
            "hostname mismatch" },
        { "expired", TCertificateKind::ckExpired, "localhost", true, "certificate has expired" },
        { "self-signed", TCertificateKind::ckSelfSigned, "localhost", true, "self-signed certificate" },
        { "other name", TCertificateKind::ckOtherName, "localhost", true, "hostname mismatch" },
        { "other address", TCertificateKind::ckOtherName, "127.0.0.1", true, "IP address mismatch" },
        { "unknown authority", TCertificateKind::ckGood, "localhost", false,
            "unable to get local issuer certificate" },
    };
    const std::string Answer = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok";
    for (const Row& R : Rows) {
        SCOPED_TRACE(R.Name);
        testsupport::TTestCertificate Certificate(R.Kind);
        ASSERT_TRUE(Certificate.Made);
        // An authority that issued nothing here stands for the system's own list.
        testsupport::TTestCertificate Stranger;
        testsupport::TTrustScope Trust(R.TrustAuthority ? Certificate.CAFile : Stranger.CAFile);
        for (const bool Verify : { true, false }) {
            testsupport::THTTPSServer Server(Certificate, Answer);
            TWebMonitor Monitor;
            Monitor.SetURL("https://" + std::string(R.Host) + ":" + std::to_string(Server.Port()) + "/");
            Monitor.SetVerifyTLS(Verify);
            CheckNow(Monitor);
            if (!Verify || R.Reason[0] == 0) {
                EXPECT_EQ(Monitor.Status(), msOK) << Verify << " " << Monitor.LastError();
                EXPECT_EQ(Server.Requests().size(), 1u);
                EXPECT_EQ(Server.ServerName(), R.Host[0] == 'l' ? "localhost" : "");
            } else {
                EXPECT_EQ(Monitor.Status(), msError);
                EXPECT_EQ(Monitor.LastError(),
                    std::string("Error connecting with SSL. Certificate verify failed: ") + R.Reason);
                // Nothing of the request reached a server that could not prove who it is.
                EXPECT_EQ(Server.Requests().size(), 0u);
            }
        }
    }
}

// Servers that will not talk to the check, each with the reason that names why.
TEST(WebCheckTLS, RefusalsSayWhatTheServerWants)
{
    const auto Client = [](SSL_CTX* C, int AMax) {
        SSL_CTX_set_max_proto_version(C, AMax);
        SSL_CTX_set_verify(C, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
    };
    const auto OnlyH2 = [](SSL*, const unsigned char** AOut, unsigned char* AOutLength,
                            const unsigned char* AIn, unsigned int AInLength, void*) {
        static const unsigned char H2[] = { 2, 'h', '2' };
        return SSL_select_next_proto(const_cast<unsigned char**>(AOut), AOutLength, H2, 3, AIn, AInLength)
                == OPENSSL_NPN_NEGOTIATED
            ? SSL_TLSEXT_ERR_OK
            : SSL_TLSEXT_ERR_ALERT_FATAL;
    };
    const std::string Certificate = "The server requires a client certificate, and none is configured.";
    const std::pair<std::function<void(SSL_CTX*)>, std::string> Rows[] = {
        { [&](SSL_CTX* C) { Client(C, TLS1_3_VERSION); }, Certificate },
        { [&](SSL_CTX* C) { Client(C, TLS1_2_VERSION); }, Certificate },
        { [&](SSL_CTX* C) { SSL_CTX_set_alpn_select_cb(C, OnlyH2, nullptr); },
            "The server speaks HTTP/2 only: it refused HTTP/1.1 in the handshake." },
        { [](SSL_CTX* C) {
             SSL_CTX_set_min_proto_version(C, TLS1_VERSION);
             SSL_CTX_set_max_proto_version(C, TLS1_VERSION);
             SSL_CTX_set_cipher_list(C, "DEFAULT:@SECLEVEL=0");
         },
            "The server speaks only TLS 1.0, a protocol version the TLS library refuses as unsafe." },
    };
    testsupport::TTestCertificate Authority;
    testsupport::TTrustScope Trust(Authority.CAFile);
    for (const auto& [SetUp, Reason] : Rows) {
        testsupport::THTTPSServer Server(Authority, "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n", 1, SetUp);
        TWebMonitor Monitor;
        Monitor.SetURL("https://localhost:" + std::to_string(Server.Port()) + "/");
        CheckNow(Monitor);
        EXPECT_EQ(Monitor.LastError(), "Error connecting with SSL. " + Reason);
    }
}

TEST_F(WebCheck, WithoutTheTLSLibrariesOnlyPlainURLsSucceed)
{
    struct TRestore {
        ~TRestore() { SetSSLLibraryFilesForTest({}); }
    } Restore;
    SetSSLLibraryFilesForTest({ { "/nonexistent/libssl.so.3", "/nonexistent/libcrypto.so.3" } });
    EXPECT_EQ(CheckOnce(Server->URL("/ok")), msOK);
    std::string LastError;
    EXPECT_EQ(CheckOnce(Server->SecureURL("/ok"), &LastError), msError);
    EXPECT_EQ(LastError, "Could not load SSL library.");
}

// A server that takes the connection and never answers: the check fails after the read
// time-out, the monitor's Timeout (10 s unless the list says otherwise; 1 s here).
TEST(WebCheckSilent, ServerThatNeverAnswersFailsAfterTheReadTimeOut)
{
    TFd Silent = Listener(); // the kernel completes the connect; nothing ever reads or writes
    TWebMonitor Monitor;
    EXPECT_EQ(Monitor.Timeout(), 10);
    Monitor.SetURL("http://127.0.0.1:" + std::to_string(LocalPort(Silent.Get())) + "/");
    Monitor.SetTimeout(1);
    auto Start = std::chrono::steady_clock::now();
    CheckNow(Monitor);
    double Elapsed = MillisecondsSince(Start);
    EXPECT_EQ(Monitor.Status(), msError);
    EXPECT_EQ(Monitor.LastError(), "Read Timeout");
    EXPECT_GE(Elapsed, 990.0);
    EXPECT_LT(Elapsed, 3000.0);
}

// Attempts: a check fails only when each of them fails, and then says how many did (the
// window's tests show one that succeeds after two failures).
TEST(WebCheckAttempts, EachFailsThenTheCheck)
{
    std::atomic<int> Requests = 0;
    nettest::TScriptedServer Server(
        [&Requests](nettest::TScriptedServer& AServer, int AFd, int) {
            AServer.ReadRequest(AFd);
            ++Requests;
            AServer.SendAll(AFd, "HTTP/1.1 502 Bad Gateway\r\nContent-Length: 0\r\n\r\n");
        },
        2);
    TWebMonitor Monitor;
    Monitor.SetURL("http://127.0.0.1:" + std::to_string(Server.Port()) + "/");
    Monitor.SetRetry(2);
    EXPECT_EQ(Monitor.Probe().Reason, "HTTP/1.1 502 Bad Gateway (2 of 2 attempts failed)");
    Monitor.SetRetry(0);
    EXPECT_EQ(Monitor.Probe().Reason, "Retry is 0: no request is sent; set Retry to 1 or more.");
    EXPECT_EQ(Requests, 2);
}

// The days left of certificates made now, with and without the warning, verified or not; and
// a chain whose authority ends before the server's certificate, which only a verifying check
// sees (the server sends its own certificate alone).
TEST(WebCheckTLS, CertificateExpiry)
{
    struct TExpect {
        int64_t Days; // days left as made; a second boundary passed since may take one off
        const char* Reason; // how the error begins; empty for a success
    };
    struct Row {
        const char* Name;
        int Days; // of the server's certificate
        int CADays; // of its authority; 0: a day longer
        int32_t WarnDays; // CertExpiryDays
        TExpect Verified, Unverified;
    };
    const char* Own = "Certificate expires in ";
    const char* Chain = "A certificate of its chain expires in ";
    const Row Rows[] = {
        { "5 days, no warning", 5, 0, 0, { 5, "" }, { 5, "" } },
        { "5 days, warned within 30", 5, 0, 30, { 5, Own }, { 5, Own } },
        { "5 days, warned within 6", 5, 0, 6, { 5, Own }, { 5, Own } },
        { "5 days, warned within 4", 5, 0, 4, { 5, "" }, { 5, "" } },
        { "400 days, no warning", 400, 0, 0, { 400, "" }, { 400, "" } },
        { "400 days, warned within 30", 400, 0, 30, { 400, "" }, { 400, "" } },
        { "authority ends first", 400, 10, 30, { 10, Chain }, { 400, "" } },
    };
    const std::string Answer = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok";
    const int64_t Day = 86400;
    for (const Row& R : Rows) {
        SCOPED_TRACE(R.Name);
        testsupport::TTestCertificate Certificate(testsupport::TCertificateKind::ckGood, R.Days, R.CADays);
        ASSERT_TRUE(Certificate.Made);
        testsupport::TTrustScope Trust(Certificate.CAFile);
        for (const bool Verify : { true, false }) {
            SCOPED_TRACE(Verify ? "verified" : "not verified");
            const TExpect& Expect = Verify ? R.Verified : R.Unverified;
            testsupport::THTTPSServer Server(Certificate, Answer);
            TWebMonitor Monitor;
            Monitor.SetURL("https://localhost:" + std::to_string(Server.Port()) + "/");
            Monitor.SetVerifyTLS(Verify);
            Monitor.SetCertExpiryDays(R.WarnDays);
            const int64_t Before = UnixNow();
            CheckNow(Monitor);
            const TCertificateExpiry& Expiry = Monitor.Certificate();
            EXPECT_NEAR(double(Expiry.Leaf), double(Before + R.Days * Day), 60.0);
            const int64_t Left = CertificateDaysLeft(Expiry.Earliest, UnixNow());
            EXPECT_TRUE(Left == Expect.Days || Left == Expect.Days - 1) << Left;
            if (Expect.Reason[0] == 0) {
                EXPECT_EQ(Monitor.Status(), msOK) << Monitor.LastError();
            } else {
                EXPECT_EQ(Monitor.Status(), msError);
                EXPECT_EQ(Monitor.LastError(),
                    CertificateExpiryText(Expiry, UnixNow()) + " CertExpiryDays is "
                        + std::to_string(R.WarnDays) + ".");
                EXPECT_EQ(Monitor.LastError().rfind(Expect.Reason, 0), 0u) << Monitor.LastError();
            }
        }
    }
    // A plain check reads no certificate, and forgets the one an earlier check read.
    testsupport::TTestCertificate Certificate;
    testsupport::TTrustScope Trust(Certificate.CAFile);
    testsupport::THTTPSServer Server(Certificate, Answer);
    TWebMonitor Monitor;
    Monitor.SetURL("https://localhost:" + std::to_string(Server.Port()) + "/");
    CheckNow(Monitor);
    EXPECT_NE(Monitor.Certificate().Leaf, 0);
    Monitor.SetURL("http://127.0.0.1:" + std::to_string(nettest::ClosedPort()) + "/");
    CheckNow(Monitor);
    EXPECT_EQ(Monitor.Certificate(), TCertificateExpiry {});
}

// Expect: found whole or across chunks at every offset, missing from a small page, past the
// first MiB of a large one, where it is not looked for, and a long needle against a long body
// (a search in time linear in the body, not the body times the needle); a compressed body is
// said to be one.
TEST(WebCheckExpect, TextThePageMustHold)
{
    const std::string Big(TWebMonitor::ExpectLimit, 'x');
    const auto Plain = [](const std::string& ABody) {
        return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(ABody.size()) + "\r\n\r\n" + ABody;
    };
    struct Row {
        const char* Name;
        std::string Answer;
        std::string Reason; // empty for a success
        std::string Expect = "Add to cart";
    };
    // 200 KB that the body matches up to its last byte at almost every offset.
    const std::string Long = std::string(200000, 'a') + "b";
    std::vector<Row> Rows = {
        { "present", Plain("<p>Add to cart</p>"), "" },
        { "absent", Plain("<p>Sorry, add to cart later</p>"),
            "Expected text \"Add to cart\" not found in the 31 bytes of the body." },
        { "just inside the first MiB", Plain(Big.substr(11) + "Add to cart" + Big), "" },
        { "beyond the first MiB", Plain(Big + "Add to cart"),
            "Expected text \"Add to cart\" not found in the first 1048576 bytes of the body." },
        { "across two chunks",
            "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n6\r\n<p>Add\r\n9\r\n to cart!\r\n0\r\n\r\n",
            "" },
        { "a long needle, found at the end", Plain(std::string(800000, 'a') + Long), "", Long },
        { "a long needle, absent", Plain(Big),
            "Expected text \"" + Long + "\" not found in the first 1048576 bytes of the body.", Long },
        { "compressed without being asked",
            "HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\nContent-Length: 4\r\n\r\n\x1f\x8b\x08\x08",
            "Expected text \"Add to cart\" not found in the 4 bytes of the body. The server sent the body "
            "compressed (Content-Encoding: gzip) without being asked, and the check looks for the text "
            "in the bytes as sent." },
    };
    const std::string Page = "<p>Add to cart</p>";
    for (size_t Size = 1; Size <= 11; ++Size) {
        std::string Chunked = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";
        for (size_t At = 0; At < Page.size(); At += Size) {
            const std::string Chunk = Page.substr(At, Size);
            char Length[8];
            std::snprintf(Length, sizeof Length, "%zx\r\n", Chunk.size());
            Chunked += Length + Chunk + "\r\n";
        }
        Rows.push_back({ "chunks of one size", Chunked + "0\r\n\r\n", "" });
    }
    for (const Row& R : Rows) {
        SCOPED_TRACE(R.Name + std::string(" ") + std::to_string(R.Answer.size()));
        nettest::TScriptedServer Server([&R](nettest::TScriptedServer& AServer, int AFd, int) {
            AServer.ReadRequest(AFd);
            AServer.SendAll(AFd, R.Answer);
        });
        TWebMonitor Monitor;
        Monitor.SetURL("http://127.0.0.1:" + std::to_string(Server.Port()) + "/");
        Monitor.SetExpect(R.Expect);
        // Three seconds for the whole exchange: a search that takes the body times the needle
        // does not end within it.
        Monitor.SetTimeout(1);
        const TProbeResult Result = Monitor.Probe();
        EXPECT_EQ(Result.Status, R.Reason.empty() ? msOK : msError);
        EXPECT_EQ(Result.Reason, R.Reason);
    }
}
