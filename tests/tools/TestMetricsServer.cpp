// The metrics server's request heads: the parser's table of heads taken and refused, and the
// bytes of a few connections through the real server on the loopback, where what matters is
// how many responses one connection gets.
#include "support/Net.h"
#include "tools/MetricsServer.h"
#include "tools/RequestHead.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>

namespace {

// The statuses of the responses the server sends to ARequest on one connection, until it
// closes the connection (5 s at most), e.g. "200 200".
std::string Statuses(int APort, const std::string& ARequest)
{
    nettest::TFd Fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const sockaddr_in Address = nettest::Loopback(APort);
    if (connect(Fd.Get(), reinterpret_cast<const sockaddr*>(&Address), sizeof Address) != 0
        || send(Fd.Get(), ARequest.data(), ARequest.size(), MSG_NOSIGNAL) != ssize_t(ARequest.size()))
        return "no connection";
    std::string Got;
    const auto Start = std::chrono::steady_clock::now();
    for (;;) {
        pollfd Wait { Fd.Get(), POLLIN, 0 };
        char Buffer[4096];
        if (nettest::MillisecondsSince(Start) > 5000 || poll(&Wait, 1, 100) < 0)
            return "not closed: " + Got.substr(0, 200);
        const ssize_t Read = Wait.revents != 0 ? recv(Fd.Get(), Buffer, sizeof Buffer, 0) : -2;
        if (Read == 0 || Read == -1)
            break;
        if (Read > 0)
            Got.append(Buffer, size_t(Read));
    }
    std::string Said;
    for (size_t At = Got.find("HTTP/1.1 "); At != std::string::npos; At = Got.find("HTTP/1.1 ", At + 1))
        Said += (Said.empty() ? "" : " ") + Got.substr(At + 9, 3);
    return Said;
}

} // namespace

TEST(RequestHead, AcceptedAndRefused)
{
    // What a head reads as: "refused", "incomplete", or its path and " close" when the
    // connection ends after it.
    const std::string Host = "Host: 127.0.0.1:9100\r\n";
    const std::string Get = "GET / HTTP/1.1\r\n" + Host;
    const struct {
        const char* Name;
        std::string Bytes;
        const char* Reads;
    } Cases[] = {
        { "plain", "GET /metrics HTTP/1.1\r\n" + Host + "\r\n", "/metrics" },
        { "bare LF and a query", "GET /metrics?a=1 HTTP/1.1\nHost: x\n\n", "/metrics" },
        { "empty lines before", "\r\n\nHEAD / HTTP/1.1\r\n" + Host + "\r\n", "/" },
        { "absolute form", "GET http://127.0.0.1:9100/metrics HTTP/1.1\r\n" + Host + "\r\n", "/metrics" },
        { "absolute form, no path", "GET HTTP://h:1?x HTTP/1.1\r\n" + Host + "\r\n", "/" },
        { "HTTP/1.0 without Host", "GET / HTTP/1.0\r\n\r\n", "/ close" },
        { "HTTP/1.0 keep-alive", "GET / HTTP/1.0\r\nConnection: Keep-Alive\r\n\r\n", "/" },
        { "a later 1.x", "GET / HTTP/1.9\r\n" + Host + "\r\n", "/" },
        { "Connection as tokens", Get + "Connection: keep-alive, closed-loop\r\n\r\n", "/" },
        { "close among tokens", Get + "Connection: x,\tCLOSE \r\n\r\n", "/ close" },
        { "Content-Length 0 once", Get + "Content-Length: 0\r\n\r\n", "/" },
        { "unfinished", Get, "incomplete" },
        { "unfinished line", "GET /metr", "incomplete" },
        { "a CR at the end so far", "GET / HTTP/1.1\r", "incomplete" },
        { "duplicate Content-Length", Get + "Content-Length: 0\r\nContent-Length: 0\r\n\r\n", "refused" },
        { "conflicting Content-Length", Get + "Content-Length: 0\r\ncontent-length: 29\r\n\r\n", "refused" },
        { "Content-Length list", Get + "Content-Length: 0, 0\r\n\r\n", "refused" },
        { "a body", Get + "Content-Length: 29\r\n\r\n", "refused" },
        { "blank before the colon", Get + "Content-Length : 29\r\n\r\n", "refused" },
        { "obs-fold", Get + "X-A: 1\r\n Content-Length: 29\r\n\r\n", "refused" },
        { "Transfer-Encoding", Get + "Transfer-Encoding: chunked\r\n\r\n", "refused" },
        { "Transfer-Encoding, blank", Get + "Transfer-Encoding : chunked\r\n\r\n", "refused" },
        { "HTTP/1.1 without Host", "GET / HTTP/1.1\r\n\r\n", "refused" },
        { "Host twice", Get + Host + "\r\n", "refused" },
        { "version HTTP/1.1x", "GET / HTTP/1.1x\r\n" + Host + "\r\n", "refused" },
        { "version HTTP/2.0", "PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n", "refused" },
        { "two spaces", "GET  / HTTP/1.1\r\n" + Host + "\r\n", "refused" },
        { "a relative target", "GET metrics HTTP/1.1\r\n" + Host + "\r\n", "refused" },
        { "no version", "GET /\r\n\r\n", "refused" },
        { "a bare CR", "GET / HTTP/1.1\r\nHost: a\rX: b\r\n\r\n", "refused" },
        { "a control byte in a value", "GET / HTTP/1.1\r\nHost: a\x01\r\n\r\n", "refused" },
        { "no colon", Get + "Oops\r\n\r\n", "refused" },
        { "TLS hello, at its first byte", "\x16", "refused" },
        { "binary after a method", "GET \x80", "refused" },
    };
    for (const auto& Case : Cases) {
        const TRequestHead Head = ParseRequestHead(Case.Bytes);
        std::string Reads = Head.State == TRequestHead::rhRefused ? "refused" : "incomplete";
        if (Head.State == TRequestHead::rhComplete)
            Reads = Head.Path + (Head.Close ? " close" : "");
        EXPECT_EQ(Reads, Case.Reads) << Case.Name << ": " << Head.Refusal;
        EXPECT_EQ(Head.Refusal.empty(), Head.State != TRequestHead::rhRefused) << Case.Name;
        EXPECT_EQ(Head.Length, Head.State == TRequestHead::rhComplete ? Case.Bytes.size() : 0) << Case.Name;
    }
    const TRequestHead Accepts
        = ParseRequestHead("GET / HTTP/1.1\r\nHost: a\r\nAccept: a\r\nAccept:  b \r\n\r\n");
    EXPECT_EQ(Accepts.Accept, "a,b");
}

// One response for each request a connection holds, and none for what follows a refused head.
TEST(MetricsServer, AnswersWhatTheHeadsSay)
{
    TServerLimits Limits;
    // Long enough that an answer at the head's time-out cannot pass for one at once.
    Limits.HeaderTimeout = std::chrono::seconds(30);
    TMetricsServer Server(Limits);
    ASSERT_EQ(Server.Start({ "127.0.0.1", 0 }), "");
    const std::string Smuggled = "GET /smuggled HTTP/1.1\r\nHost: x\r\n\r\n";
    const std::string Length = std::to_string(Smuggled.size());
    const struct {
        const char* Name;
        std::string Bytes;
        const char* Statuses;
    } Cases[] = {
        { "two lengths",
            "POST / HTTP/1.1\r\nHost: x\r\nContent-Length: 0\r\nContent-Length: " + Length + "\r\n\r\n"
                + Smuggled,
            "400" },
        { "a folded length",
            "GET / HTTP/1.1\r\nHost: x\r\nX: 1\r\n Content-Length: " + Length + "\r\n\r\n" + Smuggled,
            "400" },
        { "tokens, then a pipelined request",
            "GET /metrics HTTP/1.1\r\nHost: x\r\nConnection: keep-alive, closed-loop\r\n\r\n"
            "GET http://127.0.0.1/metrics HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n",
            "200 200" },
        { "a TLS hello", std::string("\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03", 11), "400" },
    };
    for (const auto& Case : Cases)
        EXPECT_EQ(Statuses(Server.Port(), Case.Bytes), Case.Statuses) << Case.Name;
}
