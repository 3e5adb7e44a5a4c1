// The HTTP client over real TLS on loopback: a direct https exchange through the TLS transport,
// one through a proxy's CONNECT tunnel, and plain and secure URLs when the TLS libraries cannot
// be loaded.
#include "net/http/NetHTTP.h"

#include "net/tls/NetSSLOpenSSL.h"
#include "net/tls/NetSSLOpenSSLHeaders.h"
#include "support/HttpsServer.h"
#include "support/ScriptedServer.h"

#include <gtest/gtest.h>

#include <csignal>
#include <memory>
#include <string>

using namespace nettest;
using namespace testsupport;

namespace {

std::string DefaultGet(const std::string& ATarget, const std::string& AHost)
{
    return "GET " + ATarget + " HTTP/1.1\r\nContent-Type: text/html\r\nHost: " + AHost
        + "\r\nAccept: text/html, */*\r\nUser-Agent: Mozilla/3.0 (compatible; Vardex)\r\n\r\n";
}

std::string ReadRequest(TScriptedServer& AServer, int AFd)
{
    return ReadHead([&](char& C) { return AServer.WaitReadable(AFd, 5000) && recv(AFd, &C, 1, 0) == 1; });
}

// Copies bytes both ways between two sockets until either side closes or 5 s pass in silence.
void Relay(TScriptedServer& AServer, int A, int B)
{
    char Buffer[16384];
    for (;;) {
        pollfd P[2] = { { A, POLLIN, 0 }, { B, POLLIN, 0 } };
        if (poll(P, 2, 5000) <= 0 || AServer.Stopped())
            return;
        for (int I = 0; I < 2; ++I) {
            if (P[I].revents == 0)
                continue;
            ssize_t N = recv(P[I].fd, Buffer, sizeof Buffer, 0);
            if (N <= 0)
                return;
            TScriptedServer::SendAll(I == 0 ? B : A, std::string_view(Buffer, static_cast<size_t>(N)));
        }
    }
}

// A client with the TLS transport; the transport goes after the client.
struct TSecureClient {
    TSecureClient()
    {
        HTTP.ReadTimeout = 10000;
        HTTP.SetIOHandler(&Handler);
    }
    ~TSecureClient() { HTTP.SetIOHandler(nullptr); }
    TNetSSLIOHandlerSocket Handler;
    TNetHTTP HTTP;
};

class HTTPS : public ::testing::Test {
protected:
    static void SetUpTestSuite() { std::signal(SIGPIPE, SIG_IGN); }
    void SetUp() override
    {
        if (!Certificate.Made)
            GTEST_SKIP() << "the openssl tool could not make a test certificate";
    }
    TTestCertificate Certificate;
};

const std::string Page = "HTTP/1.1 200 OK\r\nContent-Length: 6\r\n\r\nsecret";

} // namespace

TEST_F(HTTPS, DirectExchangeKeepsItsTLSConnection)
{
    THTTPSServer Server(Certificate, Page);
    const std::string Host = "localhost:" + std::to_string(Server.Port());
    {
        TSecureClient C;
        EXPECT_EQ(C.HTTP.GetText("https://" + Host + "/s?q=1"), "secret");
        EXPECT_EQ(C.HTTP.Request().Route, hrTLS);
        EXPECT_FALSE(C.Handler.BypassTLS());
        EXPECT_EQ(C.HTTP.GetText("https://" + Host + "/again"), "secret");
    }
    auto Seen = Server.Requests();
    ASSERT_EQ(Seen.size(), 2u);
    EXPECT_EQ(Seen[0], DefaultGet("/s?q=1", Host));
    EXPECT_EQ(Seen[1], DefaultGet("/again", Host));
    EXPECT_EQ(Server.Handshakes(), 1);
}

TEST_F(HTTPS, SameTransportServesPlainAfterSecure)
{
    THTTPSServer Secure(Certificate, Page);
    TScriptedServer Plain([](TScriptedServer& S, int Fd, int) {
        ReadRequest(S, Fd);
        S.SendAll(Fd, "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nplain");
        S.WaitForPeerClose(Fd);
    });
    TSecureClient C;
    EXPECT_EQ(C.HTTP.GetText("https://127.0.0.1:" + std::to_string(Secure.Port()) + "/"), "secret");
    EXPECT_EQ(C.HTTP.GetText("http://127.0.0.1:" + std::to_string(Plain.Port()) + "/"), "plain");
    EXPECT_TRUE(C.Handler.BypassTLS());
}

TEST_F(HTTPS, TunnelThroughAProxy)
{
    THTTPSServer Server(Certificate, Page);
    std::string ConnectHead;
    auto Proxy = std::make_unique<TScriptedServer>([&](TScriptedServer& S, int Fd, int) {
        ConnectHead = ReadRequest(S, Fd);
        TFd Up(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_in A = Loopback(Server.Port());
        if (connect(Up.Get(), reinterpret_cast<sockaddr*>(&A), sizeof A) != 0)
            return;
        S.SendAll(Fd, "HTTP/1.1 200 Connection established\r\n\r\n");
        Relay(S, Fd, Up.Get());
    });
    const std::string Host = "localhost:" + std::to_string(Server.Port());
    {
        TSecureClient C;
        C.HTTP.ProxyParams().SetProxyServer("127.0.0.1");
        C.HTTP.ProxyParams().SetProxyPort(Proxy->Port());
        // The proxy's credentials are for the proxy: the origin behind the tunnel never sees them.
        C.HTTP.ProxyParams().SetProxyUsername("pu");
        C.HTTP.ProxyParams().SetProxyPassword("pp");
        C.HTTP.ProxyParams().SetBasicAuthentication(true);
        EXPECT_EQ(C.HTTP.GetText("https://" + Host + "/t"), "secret");
        EXPECT_EQ(C.HTTP.Request().Route, hrTLSProxy);
        EXPECT_FALSE(C.Handler.BypassTLS());
    }
    Proxy.reset();
    EXPECT_EQ(ConnectHead,
        "CONNECT " + Host
            + " HTTP/1.1\r\nContent-Type: text/html\r\nPragma: no-cache\r\n"
              "Proxy-Connection: keep-alive\r\nHost: "
            + Host
            + "\r\nAccept: text/html, */*\r\nUser-Agent: Mozilla/3.0 (compatible; Vardex)\r\n"
              "Proxy-Authorization: Basic cHU6cHA=\r\n\r\n");
    auto Seen = Server.Requests();
    ASSERT_EQ(Seen.size(), 1u);
    EXPECT_EQ(Seen[0], DefaultGet("/t", Host));
}

TEST_F(HTTPS, WithoutTheLibrariesOnlyPlainURLsWork)
{
    struct TRestore {
        ~TRestore() { SetSSLLibraryFilesForTest({}); }
    } Restore;
    SetSSLLibraryFilesForTest({ { "/nonexistent/libssl.so.3", "/nonexistent/libcrypto.so.3" } });
    THTTPSServer Secure(Certificate, Page);
    TScriptedServer Plain([](TScriptedServer& S, int Fd, int) {
        ReadRequest(S, Fd);
        S.SendAll(Fd, "HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Length: 2\r\n\r\nok");
    });
    TSecureClient C;
    EXPECT_EQ(C.HTTP.GetText("http://127.0.0.1:" + std::to_string(Plain.Port()) + "/"), "ok");
    EXPECT_EQ(Raised<ENetOSSLCouldNotLoadSSLLibrary>(
                  [&] { C.HTTP.GetText("https://127.0.0.1:" + std::to_string(Secure.Port()) + "/"); }),
        "Could not load SSL library.");
    EXPECT_FALSE(C.HTTP.IsConnected());
}
