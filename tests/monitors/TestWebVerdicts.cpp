// The web check's verdict on answers that real servers give and on answers that only look
// like HTTP, each from a scripted server on the loopback: healthy pages that must be OK (odd
// optional headers, interim answers, a Location beside a success, codings in any letter case,
// URLs with a query or fragment right after the host) and answers that must be ERROR with a
// reason (status lines that are not HTTP, ambiguous body framing, broken chunk sizes).
//
// A server keeps the connection open after its answer until the check lets go of it, so a
// check that waited for more than the answer says would end only at its read time-out.
#include "monitors/Monitors.h"

#include "support/MonitorCheck.h"
#include "support/ScriptedServer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

using namespace nettest;

namespace {

struct TVerdict {
    TMonitorStatus Status = msNone;
    std::string Reason;
    std::string Request; // what the server received
    double Milliseconds = 0;
};

// Checks the URL that AURL makes of the server's port, against a server that answers with
// AAnswer and then waits for the check to close (or closes itself with ACloseAfter).
template <class F> TVerdict Check(const std::string& AAnswer, F AURL, bool ACloseAfter = false)
{
    TVerdict Result;
    {
        TScriptedServer Server([&](TScriptedServer& AServer, int AFd, int) {
            Result.Request = AServer.ReadRequest(AFd);
            TScriptedServer::SendAll(AFd, AAnswer);
            if (!ACloseAfter)
                AServer.WaitForPeerClose(AFd, 15000);
        });
        TWebMonitor Monitor;
        Monitor.SetURL(AURL(Server.Port()));
        const auto Start = std::chrono::steady_clock::now();
        testsupport::CheckNow(Monitor);
        Result.Milliseconds = MillisecondsSince(Start);
        Result.Status = Monitor.Status();
        Result.Reason = Monitor.LastError();
    }
    return Result;
}

std::string Root(int APort)
{
    return "http://127.0.0.1:" + std::to_string(APort) + "/";
}

std::string RequestLine(const std::string& ARequest)
{
    return ARequest.substr(0, ARequest.find("\r\n"));
}

} // namespace

TEST(WebVerdicts, HealthyPagesAreOK)
{
    struct Row {
        const char* Name;
        const char* Answer;
    };
    const Row Rows[] = {
        { "Expires in seconds", "HTTP/1.1 200 OK\r\nExpires: 86400\r\nContent-Length: 2\r\n\r\nok" },
        { "Expires negative", "HTTP/1.1 200 OK\r\nExpires: -5\r\nContent-Length: 2\r\n\r\nok" },
        { "Last-Modified unreadable",
            "HTTP/1.1 200 OK\r\nLast-Modified: yesterday\r\nContent-Length: 2\r\n\r\nok" },
        { "Date unreadable", "HTTP/1.1 200 OK\r\nDate: Mon, 99 Foo 2024\r\nContent-Length: 2\r\n\r\nok" },
        { "Content-Range unsatisfied",
            "HTTP/1.1 200 OK\r\nContent-Range: bytes */2\r\nContent-Length: 2\r\n\r\nok" },
        { "Set-Cookie2 odd ports",
            "HTTP/1.1 200 OK\r\nSet-Cookie2: a=b; Port=\"80,x\"\r\nContent-Length: 2\r\n\r\nok" },
        { "102 Processing first",
            "HTTP/1.1 102 Processing\r\n\r\nHTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok" },
        { "103 Early Hints first",
            "HTTP/1.1 103 Early Hints\r\nLink: </s.css>; rel=preload\r\n\r\n"
            "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok" },
        { "201 with Location", "HTTP/1.1 201 Created\r\nLocation: /things/1\r\nContent-Length: 0\r\n\r\n" },
        { "200 with Location", "HTTP/1.1 200 OK\r\nLocation: /else\r\nContent-Length: 2\r\n\r\nok" },
        { "Chunked in capitals",
            "HTTP/1.1 200 OK\r\nTransfer-Encoding: Chunked\r\n\r\n2\r\nok\r\n0\r\n\r\n" },
        { "chunked after gzip",
            "HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip, CHUNKED\r\n\r\n2\r\nok\r\n0\r\n\r\n" },
        { "chunk extension",
            "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n2 ;x=1\r\nok\r\n0\r\n\r\n" },
        { "chunked wins over a length",
            "HTTP/1.1 200 OK\r\nContent-Length: 99\r\nTransfer-Encoding: "
            "chunked\r\n\r\n2\r\nok\r\n0\r\n\r\n" },
        { "chunked beside an unreadable length",
            "HTTP/1.1 200 OK\r\nContent-Length: 1e3\r\nTransfer-Encoding: "
            "chunked\r\n\r\n2\r\nok\r\n0\r\n\r\n" },
        { "the same length twice", "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nContent-Length: 2\r\n\r\nok" },
        { "status without reason", "HTTP/1.1 204\r\n\r\n" },
    };
    for (const Row& R : Rows) {
        SCOPED_TRACE(R.Name);
        const TVerdict V = Check(R.Answer, Root);
        EXPECT_EQ(V.Status, msOK) << V.Reason;
        EXPECT_LT(V.Milliseconds, 5000);
    }
}

TEST(WebVerdicts, QueryAndFragmentRightAfterTheHost)
{
    struct Row {
        const char* Suffix; // after "http://127.0.0.1:PORT"
        const char* Line; // the request line the server must see
    };
    const Row Rows[] = {
        { "?x=1", "GET /?x=1 HTTP/1.1" },
        { "#top", "GET / HTTP/1.1" },
        { "/a#sec/tion", "GET /a HTTP/1.1" },
        { "/a?q#f?g/h", "GET /a?q HTTP/1.1" },
        { "/a b", "GET /a%20b HTTP/1.1" },
    };
    for (const Row& R : Rows) {
        SCOPED_TRACE(R.Suffix);
        const TVerdict V = Check("HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n",
            [&](int APort) { return "http://127.0.0.1:" + std::to_string(APort) + R.Suffix; });
        EXPECT_EQ(V.Status, msOK) << V.Reason;
        EXPECT_EQ(RequestLine(V.Request), R.Line);
    }
}

TEST(WebVerdicts, CredentialsInTheURLGoAsBasicWithTheFirstRequest)
{
    const std::string OK = "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n";
    struct Row {
        const char* UserInfo;
        const char* Header; // the Authorization line sent, or none
    };
    const Row Rows[] = {
        { "admin:secret@", "Authorization: Basic YWRtaW46c2VjcmV0\r\n" },
        { "", nullptr },
    };
    for (const Row& R : Rows) {
        SCOPED_TRACE(R.UserInfo);
        const TVerdict V = Check(OK, [&](int APort) {
            return "http://" + std::string(R.UserInfo) + "127.0.0.1:" + std::to_string(APort) + "/";
        });
        EXPECT_EQ(V.Status, msOK) << V.Reason;
        if (R.Header)
            EXPECT_NE(V.Request.find(R.Header), std::string::npos) << V.Request;
        else
            EXPECT_EQ(V.Request.find("Authorization"), std::string::npos) << V.Request;
    }
}

TEST(WebVerdicts, URLsWithoutAKnownSchemeFailBeforeAnyLookup)
{
    for (const char* URL : { "127.0.0.1:8080/x", "javascript:alert(1)" }) {
        TWebMonitor Monitor;
        Monitor.SetURL(URL);
        testsupport::CheckNow(Monitor);
        EXPECT_EQ(Monitor.LastError(), "Unknown protocol: the URL must start with http:// or https://.")
            << URL;
    }
}

TEST(WebVerdicts, AnswersThatOnlyLookLikeSuccessAreErrors)
{
    struct Row {
        const char* Name;
        std::string Answer;
        const char* Reason;
        bool CloseAfter;
    };
    const Row Rows[] = {
        { "another protocol", "ICY 200 OK\r\n\r\n", "Invalid HTTP status line: \"ICY 200 OK\"", false },
        { "words around a code", "Hello 200 there\r\n\r\n", "Invalid HTTP status line: \"Hello 200 there\"",
            false },
        { "hexadecimal code", "HTTP/1.1 0xC8 OK\r\n\r\n", "Invalid HTTP status line: \"HTTP/1.1 0xC8 OK\"",
            false },
        { "signed code", "HTTP/1.1 +200 OK\r\n\r\n", "Invalid HTTP status line: \"HTTP/1.1 +200 OK\"",
            false },
        { "Pascal hex code", "HTTP/1.1 $C8 OK\r\n\r\n", "Invalid HTTP status line: \"HTTP/1.1 $C8 OK\"",
            false },
        { "four digits", "HTTP/1.1 2000 OK\r\n\r\n", "Invalid HTTP status line: \"HTTP/1.1 2000 OK\"",
            false },
        { "RTSP", "RTSP/1.0 200 OK\r\n\r\n", "Invalid HTTP status line: \"RTSP/1.0 200 OK\"", false },
        { "empty status line", "\r\n\r\n", "Invalid HTTP status line: \"\"", false },
        { "hex length", "HTTP/1.1 200 OK\r\nContent-Length: 0x2\r\n\r\nok", "Invalid Content-Length: \"0x2\"",
            false },
        { "signed length", "HTTP/1.1 200 OK\r\nContent-Length: +5\r\n\r\nok",
            "Invalid Content-Length: \"+5\"", false },
        { "word length", "HTTP/1.1 200 OK\r\nContent-Length: abc\r\n\r\nok",
            "Invalid Content-Length: \"abc\"", false },
        { "exponent length", "HTTP/1.1 200 OK\r\nContent-Length: 1e3\r\n\r\nok",
            "Invalid Content-Length: \"1e3\"", false },
        { "listed length", "HTTP/1.1 200 OK\r\nContent-Length: 1000, 1000\r\n\r\nok",
            "Invalid Content-Length: \"1000, 1000\"", false },
        { "negative length", "HTTP/1.1 200 OK\r\nContent-Length: -1\r\n\r\nok",
            "Invalid Content-Length: \"-1\"", false },
        { "two lengths", "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nContent-Length: 3\r\n\r\nok",
            "Conflicting Content-Length values: 2 and 3", false },
        { "3 GB announced, 5 bytes sent", "HTTP/1.1 200 OK\r\nContent-Length: 3000000000\r\n\r\nhello",
            "Connection Closed Gracefully.", true },
        { "chunk size not hex", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\nok\r\n0\r\n\r\n",
            "Invalid chunk size: \"zz\"", false },
        { "negative chunk size",
            "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n-5\r\nhello\r\n0\r\n\r\n",
            "Invalid chunk size: \"-5\"", false },
        { "chunk size past 64 bits",
            "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n10000000000000000\r\nok\r\n0\r\n\r\n",
            "Invalid chunk size: \"10000000000000000\"", false },
        { "chunk longer than its size",
            "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n1\r\nok\r\n0\r\n\r\n",
            "Chunk data longer than its size", false },
        { "protocol switch nobody asked for", "HTTP/1.1 101 Switching Protocols\r\n\r\n",
            "HTTP/1.1 101 Switching Protocols", false },
        { "redirect", "HTTP/1.1 302 Found\r\nLocation: /else\r\nContent-Length: 0\r\n\r\n",
            "HTTP/1.1 302 Found", false },
        // SETTINGS (one setting), then GOAWAY with a protocol error, as such a server ends.
        { "HTTP/2 only",
            std::string("\0\0\6\4\0\0\0\0\0\0\3\0\0\0\x64"
                        "\0\0\x08\7\0\0\0\0\0\0\0\0\0\0\0\0\1",
                32),
            "The server speaks HTTP/2 only: it answered with an HTTP/2 frame.", true },
    };
    for (const Row& R : Rows) {
        SCOPED_TRACE(R.Name);
        const TVerdict V = Check(R.Answer, Root, R.CloseAfter);
        EXPECT_EQ(V.Status, msError);
        EXPECT_EQ(V.Reason, R.Reason);
        // At once, not after a read time-out.
        EXPECT_LT(V.Milliseconds, 5000);
    }
}
