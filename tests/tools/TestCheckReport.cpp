// The output of vardex-check byte for byte, and the reading of its arguments.
#include "tools/CheckOptions.h"
#include "tools/CheckReport.h"
#include "tools/ToolTestSupport.h"

#include <gtest/gtest.h>

namespace {

struct TTextCase {
    const char* Name;
    std::string Input;
    std::string Expected;
};

TEST(CheckReport, JsonString)
{
    const TTextCase Cases[] = {
        { "empty", "", "\"\"" },
        { "plain", "Router 1", "\"Router 1\"" },
        { "quote and backslash", "a\"b\\c", "\"a\\\"b\\\\c\"" },
        { "slash stays", "http://x/", "\"http://x/\"" },
        { "short escapes", "\b\f\n\r\t", "\"\\b\\f\\n\\r\\t\"" },
        { "other controls", std::string("\x01\x1f\x00", 3), "\"\\u0001\\u001f\\u0000\"" },
        { "delete passes", "\x7f", "\"\x7f\"" },
        { "two-byte UTF-8", "Имя", "\"Имя\"" },
        { "three-byte UTF-8", "\xE2\x9C\x93", "\"\xE2\x9C\x93\"" },
        { "four-byte UTF-8", "\xF0\x9F\x99\x82", "\"\xF0\x9F\x99\x82\"" },
        { "lone continuation byte", "a\x80z", "\"a\xEF\xBF\xBDz\"" },
        { "Latin-1 byte", "caf\xE9", "\"caf\xEF\xBF\xBD\"" },
        { "cut sequence at the end", "ok\xE2\x9C", "\"ok\xEF\xBF\xBD\xEF\xBF\xBD\"" },
        { "overlong slash", "\xC0\xAF", "\"\xEF\xBF\xBD\xEF\xBF\xBD\"" },
        { "overlong three bytes", "\xE0\x80\xAF", "\"\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\"" },
        { "surrogate", "\xED\xA0\x80", "\"\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\"" },
        { "past U+10FFFF", "\xF4\x90\x80\x80", "\"\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\"" },
        { "largest code point", "\xF4\x8F\xBF\xBF", "\"\xF4\x8F\xBF\xBF\"" },
        { "byte FF", "\xFF", "\"\xEF\xBF\xBD\"" },
    };
    for (const TTextCase& Case : Cases) {
        const std::string Json = JsonString(Case.Input);
        EXPECT_EQ(Json, Case.Expected) << Case.Name;
        // What a JSON reader makes of it: valid, and the original text where that was valid.
        const tooltest::TJsonObject Object = tooltest::ParseJsonObject("{\"v\":" + Json + "}");
        EXPECT_EQ(Object.Error, "") << Case.Name;
    }
    EXPECT_EQ(
        tooltest::ParseJsonObject("{\"v\":" + JsonString("a\"\\\n\x01Имя") + "}")["v"], "a\"\\\n\x01Имя");
}

TEST(CheckReport, OneLine)
{
    const TTextCase Cases[] = {
        { "nothing to do", "Request timed out.", "Request timed out." },
        { "CR LF", "Socket Error # 10061\r\nConnection refused.",
            "Socket Error # 10061 Connection refused." },
        { "LF alone", "a\nb", "a b" },
        { "CR alone", "a\rb", "a b" },
        { "a run of breaks", "a\r\n\r\n\nb", "a b" },
        { "breaks at the ends", "\r\na\n", " a " },
        { "tabs", "a\tb\t\tc", "a b  c" },
        { "empty", "", "" },
    };
    for (const TTextCase& Case : Cases)
        EXPECT_EQ(OneLine(Case.Input), Case.Expected) << Case.Name;
}

TEST(CheckReport, TerminalText)
{
    const TTextCase Cases[] = {
        { "nothing to do", "HTTP/1.1 404 Not Found", "HTTP/1.1 404 Not Found" },
        { "title change", "\x1b]0;pwned\x07", "\\x1B]0;pwned\\x07" },
        { "screen clear and colour", "\x1b[2J\x1b[31mred", "\\x1B[2J\\x1B[31mred" },
        { "NUL and DEL", std::string("a\0b\x7f", 4), "a\\x00b\\x7F" },
        { "C1 CSI in UTF-8", "\xC2\x9B[2J", "\\u009B[2J" },
        { "raw C1 byte", "\x9B[2J", "\\x9B[2J" },
        { "UTF-8 text passes", "Имя \xE2\x9C\x93 \xC2\xA0", "Имя \xE2\x9C\x93 \xC2\xA0" },
    };
    for (const TTextCase& Case : Cases)
        EXPECT_EQ(TerminalText(Case.Input), Case.Expected) << Case.Name;
}

TEST(CheckReport, PasswordsInURLsAreMasked)
{
    const TTextCase Cases[] = {
        { "user and password", "http://user:secret@h/a", "http://user:***@h/a" },
        { "with a port", "https://u:p%40ss@h:8443/", "https://u:***@h:8443/" },
        { "at sign in the password", "http://u:a@b@h/", "http://u:***@h/" },
        { "user alone", "http://user@h/", "http://user@h/" },
        { "none", "http://h/a@b", "http://h/a@b" },
        { "at sign in the query only", "http://h?x=a:b@c", "http://h?x=a:b@c" },
        { "token in the query", "http://h/?access_token=secret&x=1", "http://h/?access_token=***&x=1" },
    };
    for (const TTextCase& Case : Cases) {
        TWebMonitor Web;
        Web.SetURL(Case.Input);
        Web.SetLastError("HTTP/1.1 401 \x1b[2JUnauthorized");
        Web.SetStatus(msError);
        const TCheckReport Report = MakeCheckReport("w", Web, 1);
        EXPECT_EQ(Report.Target, Case.Expected) << Case.Name;
        EXPECT_EQ(ReportLine(Report, false),
            "w\tWebMonitor\t" + Case.Expected + "\tERROR\t1\tHTTP/1.1 401 \\x1B[2JUnauthorized")
            << Case.Name;
        EXPECT_EQ(ReportJson(Report, false).find("secret"), std::string::npos) << Case.Name;
    }
}

TEST(CheckReport, StatusWordsAndStamps)
{
    EXPECT_STREQ(StatusWord(msOK), "OK");
    EXPECT_STREQ(StatusWord(msError), "ERROR");
    EXPECT_STREQ(StatusWord(msChecking), "UNKNOWN");
    EXPECT_STREQ(StatusWord(msNone), "UNKNOWN");
    EXPECT_EQ(StampText(0), "");
    EXPECT_EQ(StampText(EncodeDate(2024, 3, 1) + EncodeTime(9, 5, 7, 999)), "2024-03-01 09:05:07");
    EXPECT_EQ(StampText(EncodeDate(1999, 12, 31) + EncodeTime(23, 59, 59, 0)), "1999-12-31 23:59:59");
}

TEST(CheckReport, ReportOfMonitors)
{
    TPingMonitor Ping;
    Ping.SetIP("127.0.0.1");
    Ping.SetLastCheck(EncodeDate(2024, 3, 1) + EncodeTime(12, 0, 0, 0));
    Ping.SetLastError("Request timed out.");
    Ping.SetStatus(msError);
    const TCheckReport PingReport = MakeCheckReport("Router", Ping, 2003);
    EXPECT_EQ(
        ReportLine(PingReport, false), "Router\tPingMonitor\t127.0.0.1\tERROR\t2003\tRequest timed out.");
    EXPECT_EQ(ReportLine(PingReport, true),
        "2024-03-01 12:00:00\tRouter\tPingMonitor\t127.0.0.1\tERROR\t2003\tRequest timed out.");
    EXPECT_EQ(ReportJson(PingReport, false),
        "{\"name\":\"Router\",\"kind\":\"PingMonitor\",\"target\":\"127.0.0.1\",\"status\":\"ERROR\","
        "\"ms\":2003,\"reason\":\"Request timed out.\"}");
    EXPECT_EQ(ReportJson(PingReport, true),
        "{\"time\":\"2024-03-01 12:00:00\",\"name\":\"Router\",\"kind\":\"PingMonitor\",\"target\":"
        "\"127.0.0.1\",\"status\":\"ERROR\",\"ms\":2003,\"reason\":\"Request timed out.\"}");

    // A reason left from an earlier failure is not shown once the monitor is OK again (the
    // monitor clears it itself; the report does not rely on that).
    TWebMonitor Web;
    Web.SetURL("http://127.0.0.1:8080/a\tb");
    Web.SetStatus(msOK);
    Web.SetLastError("old");
    const TCheckReport WebReport = MakeCheckReport("Web\r\nsite", Web, 0);
    EXPECT_EQ(ReportLine(WebReport, false), "Web site\tWebMonitor\thttp://127.0.0.1:8080/a b\tOK\t0\t");
    EXPECT_EQ(ReportJson(WebReport, false),
        "{\"name\":\"Web site\",\"kind\":\"WebMonitor\",\"target\":\"http://127.0.0.1:8080/a b\","
        "\"status\":\"OK\",\"ms\":0,\"reason\":\"\"}");

    // A ping monitor that made no attempt has no verdict.
    TPingMonitor Idle;
    Idle.SetStatus(msChecking);
    EXPECT_EQ(ReportLine(MakeCheckReport("", Idle, 0), false), "\tPingMonitor\t127.0.0.1\tUNKNOWN\t0\t");

    // The other kinds: host:port (an IPv6 address in brackets), the query with its record type.
    TTcpMonitor Tcp;
    Tcp.SetHost("::1");
    Tcp.SetPort(5432);
    Tcp.SetStatus(msOK);
    EXPECT_EQ(ReportJson(MakeCheckReport("db", Tcp, 1), false),
        "{\"name\":\"db\",\"kind\":\"TcpMonitor\",\"target\":\"[::1]:5432\",\"status\":\"OK\",\"ms\":1,"
        "\"reason\":\"\"}");
    TDnsMonitor Dns;
    Dns.SetQuery("shop.test");
    Dns.SetRecord("MX");
    Dns.SetServer("127.0.0.1:5353");
    Dns.SetStatus(msOK);
    EXPECT_EQ(ReportLine(MakeCheckReport("mx", Dns, 2), false),
        "mx\tDnsMonitor\tshop.test MX @127.0.0.1:5353\tOK\t2\t");
}

struct TOptionsCase {
    const char* Name;
    std::vector<std::string> Args;
    std::string Error;
    bool Watch, Json, Help, Version;
    std::string FileName;
};

TEST(CheckOptions, Table)
{
    const TOptionsCase Cases[] = {
        { "nothing", {}, "", false, false, false, false, "default.cfg" },
        { "a file", { "list.cfg" }, "", false, false, false, false, "list.cfg" },
        { "watch", { "--watch" }, "", true, false, false, false, "default.cfg" },
        { "json and file in any order", { "a.cfg", "--json", "--watch" }, "", true, true, false, false,
            "a.cfg" },
        { "help", { "--help" }, "", false, false, true, false, "default.cfg" },
        { "short help", { "-h" }, "", false, false, true, false, "default.cfg" },
        { "version", { "--version" }, "", false, false, false, true, "default.cfg" },
        { "a lone dash is a file", { "-" }, "", false, false, false, false, "-" },
        { "after --", { "--", "--watch" }, "", false, false, false, false, "--watch" },
        { "unknown", { "--frob" }, "unknown option '--frob'", false, false, false, false, "default.cfg" },
        { "unknown short", { "-w" }, "unknown option '-w'", false, false, false, false, "default.cfg" },
        { "option with a value", { "--watch=1" }, "unknown option '--watch=1'", false, false, false, false,
            "default.cfg" },
        { "two files", { "a.cfg", "b.cfg" }, "one monitor list at most: 'a.cfg' and 'b.cfg' given", false,
            false, false, false, "a.cfg" },
    };
    for (const TOptionsCase& Case : Cases) {
        TCheckOptions Options;
        EXPECT_EQ(ParseCheckOptions(Case.Args, Options), Case.Error) << Case.Name;
        if (!Case.Error.empty())
            continue;
        EXPECT_EQ(Options.Watch, Case.Watch) << Case.Name;
        EXPECT_EQ(Options.Json, Case.Json) << Case.Name;
        EXPECT_EQ(Options.Help, Case.Help) << Case.Name;
        EXPECT_EQ(Options.Version, Case.Version) << Case.Name;
        EXPECT_EQ(Options.FileName, Case.FileName) << Case.Name;
    }
}

} // namespace
