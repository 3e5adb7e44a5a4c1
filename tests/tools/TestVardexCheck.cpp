// vardex-check run as an operator runs it: a child process over monitor lists that point at
// servers on the loopback, read through its lines, its JSON, its messages and its exit status.
#include "support/Icmp.h"
#include "tools/ToolTestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <set>

using namespace tooltest;

namespace {

const std::string Program = VARDEX_CHECK_PATH;

// Set before main, while the program has one thread.
const bool GPrivateNetwork = EnterPrivateNetwork();

// Whether a ping monitor may open an ICMP socket here: the raw one (root or CAP_NET_RAW), or
// the datagram one for the caller's group.
bool PingPossible()
{
    const int Raw = socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
    if (Raw >= 0) {
        ::close(Raw);
        return true;
    }
    const int Datagram = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_ICMP);
    if (Datagram >= 0) {
        ::close(Datagram);
        return true;
    }
    return false;
}

#define NEED_PING()                                                                                          \
    do {                                                                                                     \
        if (!PingPossible())                                                                                 \
            GTEST_SKIP()                                                                                     \
                << "no ICMP socket may be opened here (neither root nor net.ipv4.ping_group_range)";         \
    } while (0)

std::string Block(const std::string& AName, const std::string& AType, const std::string& ATargetLine,
    int AInterval = 0, const std::string& AExtra = "")
{
    std::string Text = "Name=" + AName + "\r\nType=" + AType + "\r\nInterval=" + std::to_string(AInterval)
        + "\r\n" + ATargetLine + "\r\n";
    if (!AExtra.empty())
        Text += AExtra + "\r\n";
    return Text + "\r\n";
}

std::string PingBlock(const std::string& AName, const std::string& AHost, int ARetry, int AInterval = 0)
{
    return Block(AName, "PingMonitor", "IP=" + AHost, AInterval, "Retry=" + std::to_string(ARetry));
}

std::string WebBlock(const std::string& AName, const std::string& AURL, int AInterval = 0)
{
    return Block(AName, "WebMonitor", "URL=" + AURL, AInterval);
}

bool IsCount(const std::string& AText)
{
    return !AText.empty() && AText.size() < 8 && AText.find_first_not_of("0123456789") == std::string::npos;
}

const std::string Refused = "Socket Error # 10061 Connection refused.";

class VardexCheck : public ::testing::Test {
protected:
    TRun Run(const std::vector<std::string>& AArgs) const { return RunToEnd(Program, AArgs, Folder.Path()); }

    TTempFolder Folder;
};

// One line per monitor in list order, six tab-separated fields each.
TEST_F(VardexCheck, OnceReportsEveryMonitorInListOrder)
{
    NEED_PING();
    THttpTestServer Fine(200);
    THttpTestServer Failing(500);
    const int Closed = nettest::ClosedPort();
    std::string List = PingBlock("Loopback ping", "127.0.0.1", 2)
        + WebBlock("Web 200", Fine.Url("/health"), 30) + WebBlock("Web 500", Failing.Url())
        + WebBlock("Closed port", "http://localhost:" + std::to_string(Closed) + "/")
        + PingBlock("No attempt", "127.0.0.1", 0);
    if (GPrivateNetwork)
        List += PingBlock("Unroutable ping", "127.0.0.2", 3);
    Folder.Write("services.cfg", List);

    const TRun R = Run({ "services.cfg" });
    EXPECT_EQ(R.Status, 1);
    EXPECT_EQ(R.Err, "");
    const std::vector<std::string> Lines = tooltest::Lines(R.Out);
    ASSERT_EQ(Lines.size(), GPrivateNetwork ? 6u : 5u) << R.Out;
    ASSERT_EQ(R.Out.back(), '\n');

    struct TExpected {
        std::string Name, Kind, Target, Status, Reason;
    };
    std::vector<TExpected> Expected = {
        { "Loopback ping", "PingMonitor", "127.0.0.1", "OK", "" },
        { "Web 200", "WebMonitor", Fine.Url("/health"), "OK", "" },
        { "Web 500", "WebMonitor", Failing.Url(), "ERROR", "HTTP/1.1 500 Failed" },
        { "Closed port", "WebMonitor", "http://localhost:" + std::to_string(Closed) + "/", "ERROR", Refused },
        { "No attempt", "PingMonitor", "127.0.0.1", "ERROR",
            "Retry is 0: no echo request is sent; set Retry to 1 or more." },
    };
    if (GPrivateNetwork)
        Expected.push_back({ "Unroutable ping", "PingMonitor", "127.0.0.2", "ERROR",
            "Socket Error # 10051 Network is unreachable." });
    for (size_t I = 0; I < Lines.size(); ++I) {
        const std::vector<std::string> F = Fields(Lines[I]);
        ASSERT_EQ(F.size(), 6u) << Lines[I];
        EXPECT_EQ(F[0], Expected[I].Name);
        EXPECT_EQ(F[1], Expected[I].Kind);
        EXPECT_EQ(F[2], Expected[I].Target);
        EXPECT_EQ(F[3], Expected[I].Status) << Lines[I];
        EXPECT_TRUE(IsCount(F[4])) << Lines[I];
        EXPECT_EQ(F[5], Expected[I].Reason) << Lines[I];
    }
    // The web monitors really asked, once each, for their own path.
    EXPECT_EQ(Fine.Requests(), 1);
    EXPECT_EQ(Fine.LastRequestLine(), "GET /health HTTP/1.1");
    EXPECT_EQ(Failing.Requests(), 1);
}

// Without CAP_NET_RAW and outside net.ipv4.ping_group_range (this namespace's), every ping
// monitor fails with the stack's reason, and stderr says once what to grant.
TEST_F(VardexCheck, NoIcmpSocketSaysWhatToGrant)
{
    if (!GPrivateNetwork || geteuid() != 0)
        GTEST_SKIP() << "needs root in a network namespace of its own";
    ASSERT_TRUE(icmptest::AllowDatagramPing(false));
    Folder.Write("default.cfg", PingBlock("One", "127.0.0.1", 1) + PingBlock("Two", "127.0.0.1", 1));
    const TRun R = RunToEnd("/usr/bin/setpriv",
        { "--inh-caps=-net_raw", "--bounding-set=-net_raw", "--", Program, "default.cfg" }, Folder.Path());
    EXPECT_EQ(R.Status, 1) << R.Err;
    EXPECT_EQ(Lines(R.Out).size(), 2u);
    EXPECT_NE(R.Out.find("Cannot allocate socket."), std::string::npos) << R.Out;
    EXPECT_EQ(R.Err,
        "vardex-check: ping monitors cannot open an ICMP socket: this program has no CAP_NET_RAW and its "
        "group "
        "is outside net.ipv4.ping_group_range. Grant one of them: sudo setcap cap_net_raw+ep "
            + std::filesystem::canonical(Program).string()
            + ", or sudo sysctl -w net.ipv4.ping_group_range=\"0 2147483647\"\n");
}

TEST_F(VardexCheck, EveryMonitorOKExitsZero)
{
    NEED_PING();
    THttpTestServer Fine(204);
    Folder.Write("ok.cfg", WebBlock("Site", Fine.Url()) + PingBlock("Host", "localhost", 1));
    const TRun R = Run({ "ok.cfg" });
    EXPECT_EQ(R.Status, 0);
    EXPECT_EQ(R.Err, "");
    const std::vector<std::string> Lines = tooltest::Lines(R.Out);
    ASSERT_EQ(Lines.size(), 2u);
    EXPECT_EQ(Fields(Lines[0])[3], "OK");
    EXPECT_EQ(Fields(Lines[1])[2], "localhost");
    EXPECT_EQ(Fields(Lines[1])[3], "OK");
}

// How long a check took is measured, not made up: a server that keeps the answer back for
// 300 ms shows at least that.
TEST_F(VardexCheck, TimeOfTheCheck)
{
    nettest::TFd Listen(nettest::Listener());
    const int Port = nettest::LocalPort(Listen.Get());
    std::thread Server([&Listen] {
        pollfd P { Listen.Get(), POLLIN, 0 };
        if (poll(&P, 1, 10000) != 1)
            return;
        TFd Conn(accept4(Listen.Get(), nullptr, nullptr, SOCK_CLOEXEC));
        char Buffer[4096];
        (void)!recv(Conn.Get(), Buffer, sizeof Buffer, 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        const std::string Answer = "HTTP/1.1 200 OK\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
        (void)!send(Conn.Get(), Answer.data(), Answer.size(), MSG_NOSIGNAL);
    });
    Folder.Write("slow.cfg", WebBlock("Slow", "http://127.0.0.1:" + std::to_string(Port) + "/"));
    const TRun R = Run({ "slow.cfg" });
    Server.join();
    EXPECT_EQ(R.Status, 0) << R.Out << R.Err;
    const std::vector<std::string> Lines = tooltest::Lines(R.Out);
    ASSERT_EQ(Lines.size(), 1u);
    const int Took = std::stoi(Fields(Lines[0])[4]);
    EXPECT_GE(Took, 290);
    EXPECT_LT(Took, 5000);
}

// An empty list is all well; a list with text and no monitor in it is not.
TEST_F(VardexCheck, ListsWithoutMonitors)
{
    Folder.Write("empty.cfg", " \r\n\r\n");
    // Blocks the window does not understand either: no type, an unknown type, a type in the
    // wrong case. They are counted on the error output.
    Folder.Write(
        "skipped.cfg", "Name=a\r\nIP=127.0.0.1\r\n\r\nName=b\r\nType=Ping\r\n\r\nType=webmonitor\r\n\r\n");
    Folder.Write("legacy.cfg", "; \xEF\xF3\xF2\xFC\r\n");
    const std::tuple<const char*, int, const char*> Cases[] = {
        { "empty.cfg", 0, "" },
        { "skipped.cfg", 2,
            "vardex-check: 3 blocks of skipped.cfg were not understood\n"
            "vardex-check: skipped.cfg holds no monitor\n" },
        // Comments alone are no block not understood.
        { "legacy.cfg", 0, "vardex-check: 1 line of legacy.cfg was read as Windows-1251\n" },
    };
    for (const auto& [Name, Status, Err] : Cases) {
        const TRun R = Run({ Name });
        EXPECT_EQ(R.Status, Status) << Name;
        EXPECT_EQ(R.Out, "") << Name;
        EXPECT_EQ(R.Err, Err) << Name;
    }
}

// The same lists through --check-config (their problems, nothing checked) and a single pass
// (a value its key cannot take is NOT CHECKED, never checked as its fallback, and exits 2).
TEST_F(VardexCheck, CheckConfigAndNotChecked)
{
    const std::string Port = std::to_string(nettest::ClosedPort());
    Folder.Write(
        "sound.cfg", "# services\r\n\r\n" + Block("T", "TcpMonitor", "Host=127.0.0.1", 0, "Port=" + Port));
    Folder.Write("port.cfg", Block("T", "TcpMonitor", "Host=127.0.0.1", 0, "Port=99999"));
    Folder.Write("typos.cfg",
        "# header\r\n\r\nName=P\r\nType=pingmonitor\r\n\r\n"
            + Block("W", "WebMonitor", "URL=http://127.0.0.1:" + Port + "/", 0, "Timout=5"));
    struct TCase {
        const char* File;
        int ConfigStatus;
        const char* Problems;
        int CheckStatus;
        const char* Status; // the status field of the first line
    };
    const TCase Cases[] = {
        { "sound.cfg", 0, "", 1, "ERROR" },
        { "port.cfg", 1,
            "port.cfg:5: block \"T\": Port \"99999\" is not between 1 and 65535. The monitor is not "
            "checked.\n",
            2, "NOT CHECKED" },
        { "typos.cfg", 1,
            "typos.cfg:4: block \"P\": Type \"pingmonitor\" is not a kind of monitor; did you mean "
            "PingMonitor?\n"
            "typos.cfg:10: block \"W\": Timout: a WebMonitor has no such key; did you mean Timeout?\n",
            1, "ERROR" },
    };
    for (const TCase& Case : Cases) {
        const TRun Config = Run({ "--check-config", Case.File });
        EXPECT_EQ(Config.Status, Case.ConfigStatus) << Case.File;
        EXPECT_EQ(Config.Out, Case.Problems) << Case.File;
        const TRun Check = Run({ Case.File });
        EXPECT_EQ(Check.Status, Case.CheckStatus) << Case.File << Check.Err;
        ASSERT_FALSE(Check.Out.empty()) << Case.File;
        EXPECT_EQ(Fields(tooltest::Lines(Check.Out)[0])[3], Case.Status) << Case.File;
    }
    const TRun Json = Run({ "--json", "port.cfg" });
    EXPECT_NE(Json.Out.find("\"status\":\"NOT CHECKED\""), std::string::npos) << Json.Out;
    EXPECT_EQ(Run({ "--check-config", "missing.cfg" }).Status, 1);
}

// The same reading rules as the window: the default file, keys in any case, LF line ends, a
// name missing, a last block without an empty line after it.
TEST_F(VardexCheck, ReadsTheListAsTheWindowDoes)
{
    const int Closed = nettest::ClosedPort();
    const std::string URL = "http://127.0.0.1:" + std::to_string(Closed) + "/";
    Folder.Write("default.cfg",
        "  name=First  \nTYPE=WebMonitor\nurl=" + URL + "\n\n\n   \nType=WebMonitor\nURL=" + URL);
    const TRun R = Run({});
    EXPECT_EQ(R.Status, 1);
    EXPECT_EQ(R.Err, "");
    const std::vector<std::string> Lines = tooltest::Lines(R.Out);
    ASSERT_EQ(Lines.size(), 2u) << R.Out;
    EXPECT_EQ(Fields(Lines[0])[0], "First");
    EXPECT_EQ(Fields(Lines[0])[2], URL);
    EXPECT_EQ(Fields(Lines[1])[0], "LoadedFromConfig");
    EXPECT_EQ(Fields(Lines[1])[5], Refused);
}

TEST_F(VardexCheck, ListsThatCannotBeRead)
{
    TRun R = Run({});
    EXPECT_EQ(R.Status, 2);
    EXPECT_EQ(R.Out, "");
    EXPECT_EQ(R.Err, "vardex-check: cannot open default.cfg: No such file or directory\n");

    R = Run({ "no/such/list.cfg" });
    EXPECT_EQ(R.Status, 2);
    EXPECT_EQ(R.Err, "vardex-check: cannot open no/such/list.cfg: No such file or directory\n");

    ASSERT_EQ(mkdir(Folder.Path("lists").c_str(), 0700), 0);
    R = Run({ "lists" });
    EXPECT_EQ(R.Status, 2);
    EXPECT_EQ(R.Err, "vardex-check: cannot open lists: Is a directory\n");

    // A FIFO would wait for a writer for ever.
    ASSERT_EQ(mkfifo(Folder.Path("pipe.cfg").c_str(), 0600), 0);
    R = Run({ "pipe.cfg" });
    EXPECT_EQ(R.Status, 2);
    EXPECT_EQ(
        R.Err, "vardex-check: cannot read pipe.cfg: File access denied: pipe.cfg is not a regular file\n");

    if (geteuid() != 0) {
        Folder.Write("secret.cfg", "");
        chmod(Folder.Path("secret.cfg").c_str(), 0);
        R = Run({ "secret.cfg" });
        EXPECT_EQ(R.Status, 2);
        EXPECT_EQ(R.Err, "vardex-check: cannot open secret.cfg: Permission denied\n");
    }
}

TEST_F(VardexCheck, WrongArguments)
{
    struct TCase {
        std::vector<std::string> Args;
        std::string Message;
    };
    const TCase Cases[] = {
        { { "--frobnicate" }, "vardex-check: unknown option '--frobnicate'\n" },
        { { "-x", "a.cfg" }, "vardex-check: unknown option '-x'\n" },
        { { "--json=yes" }, "vardex-check: unknown option '--json=yes'\n" },
        { { "a.cfg", "b.cfg" }, "vardex-check: one monitor list at most: 'a.cfg' and 'b.cfg' given\n" },
        { { "--jobs", "0" }, "vardex-check: --jobs needs a number from 1 to 1024, not '0'\n" },
        { { "--jobs=1025" }, "vardex-check: --jobs needs a number from 1 to 1024, not '1025'\n" },
        { { "--jobs", "+4" }, "vardex-check: --jobs needs a number from 1 to 1024, not '+4'\n" },
        { { "a.cfg", "--jobs" }, "vardex-check: --jobs needs a number from 1 to 1024\n" },
        { { "--serve", "localhost:http" },
            "vardex-check: --serve needs [HOST:]PORT with a port from 0 to 65535, not 'localhost:http'\n" },
        { { "--serve" }, "vardex-check: --serve needs [HOST:]PORT\n" },
        { { "--prometheus=" }, "vardex-check: --prometheus needs a file name\n" },
        { { "--shard", "4/3" },
            "vardex-check: --shard needs K/N with K from 1 to N and N at most 1000, such as 2/3, not "
            "'4/3'\n" },
        { { "--shard=0/3" },
            "vardex-check: --shard needs K/N with K from 1 to N and N at most 1000, such as 2/3, not "
            "'0/3'\n" },
        { { "--shard", "1/" },
            "vardex-check: --shard needs K/N with K from 1 to N and N at most 1000, such as 2/3, not "
            "'1/'\n" },
        { { "--shard" }, "vardex-check: --shard needs K/N\n" },
    };
    for (const TCase& Case : Cases) {
        const TRun R = Run(Case.Args);
        EXPECT_EQ(R.Status, 2) << Case.Message;
        EXPECT_EQ(R.Out, "");
        EXPECT_EQ(R.Err, Case.Message + "Try 'vardex-check --help' for more information.\n");
    }
    // After "--" a name that begins with a dash is a file.
    Folder.Write("-odd.cfg", "");
    const TRun R = Run({ "--", "-odd.cfg" });
    EXPECT_EQ(R.Status, 0);
    EXPECT_EQ(R.Err, "");
}

// The long options a text names: at the start of a line only (the option list), or anywhere.
std::set<std::string> LongOptions(const std::string& AText, bool AStartsOfLines)
{
    std::set<std::string> Found;
    const std::regex Option(AStartsOfLines ? "\n {2,}(?:-h, )?(--[a-z-]+)" : "(--[a-z-]+)");
    for (auto It = std::sregex_iterator(AText.begin(), AText.end(), Option); It != std::sregex_iterator();
         ++It)
        Found.insert((*It)[1]);
    return Found;
}

std::set<std::string> operator-(std::set<std::string> AAll, const std::set<std::string>& ALess)
{
    for (const std::string& One : ALess)
        AAll.erase(One);
    return AAll;
}

TEST_F(VardexCheck, HelpAndVersion)
{
    for (const char* Option : { "--help", "-h" }) {
        // Help wins over a list that does not exist.
        const TRun R = Run({ Option, "missing.cfg" });
        EXPECT_EQ(R.Status, 0);
        EXPECT_EQ(R.Err, "");
        EXPECT_EQ(R.Out.rfind("Usage: vardex-check [--watch] [--json] [--jobs N] [--history", 0), 0u)
            << R.Out;
        // The usage lines name every option the list below them describes, and no other.
        const size_t Described = R.Out.find("\nOptions:\n");
        ASSERT_NE(Described, std::string::npos);
        const std::string Usage = R.Out.substr(0, R.Out.find("\nvardex-check checks"));
        const std::set<std::string> Listed
            = LongOptions(R.Out.substr(Described, R.Out.find("\nExit status:") - Described), true);
        EXPECT_EQ(LongOptions(Usage, false), Listed - std::set<std::string>({ "--help", "--version" }))
            << Usage;
        // The manual page describes the same options.
        const char* Source = std::getenv("VARDEX_SOURCE_DIR");
        ASSERT_NE(Source, nullptr);
        std::string Page = ReadWholeFile(std::string(Source) + "/packaging/vardex-check.1");
        Page = std::regex_replace(Page, std::regex("\\\\-"), "-");
        const size_t Options = Page.find("\n.SH OPTIONS\n");
        ASSERT_NE(Options, std::string::npos);
        const std::string Section = Page.substr(Options, Page.find("\n.SH ", Options + 1) - Options);
        std::set<std::string> InPage;
        const std::regex Item("\n\\.TP\n\\.B[IR]? [^\n]*?(--[a-z-]+)");
        for (auto It = std::sregex_iterator(Section.begin(), Section.end(), Item);
             It != std::sregex_iterator(); ++It)
            InPage.insert((*It)[1]);
        EXPECT_EQ(InPage, Listed) << Section;
        for (const char* Part : { "default.cfg", "NAME  KIND  TARGET  STATUS  MS  REASON", "--watch",
                 "--json", "SIGINT", "--jobs N", "Exit status:", "  0  every monitor ended OK",
                 "  1  at least one", "  2  an option", "--history", "--report", "--since SPAN",
                 "--serve [HOST:]PORT", "--prometheus FILE", "CERT_DAYS" })
            EXPECT_NE(R.Out.find(Part), std::string::npos) << Part;
    }
    const TRun R = Run({ "--version" });
    EXPECT_EQ(R.Status, 0);
    EXPECT_TRUE(std::regex_match(R.Out, std::regex("vardex-check [0-9]+\\.[0-9]+\\.[0-9]+\n"))) << R.Out;
}

// Every line parses as one JSON object with the same facts in a fixed key order; names and
// reasons are escaped, UTF-8 passes through, a list that is not UTF-8 is read as Windows-1251.
TEST_F(VardexCheck, JsonLines)
{
    THttpTestServer Fine(200);
    THttpTestServer Failing(503);
    const int Closed = nettest::ClosedPort();
    const std::string ClosedURL = "http://127.0.0.1:" + std::to_string(Closed) + "/";
    Folder.Write("json.cfg",
        WebBlock("Quote \" and \\ back\tslash", Fine.Url()) + WebBlock("Сервер ✓", Failing.Url("/x?a=\"1\""))
            + WebBlock("Closed", ClosedURL));
    const TRun R = Run({ "--json", "json.cfg" });
    EXPECT_EQ(R.Status, 1);
    EXPECT_EQ(R.Err, "");
    const std::vector<std::string> Lines = tooltest::Lines(R.Out);
    ASSERT_EQ(Lines.size(), 3u) << R.Out;
    std::vector<TJsonObject> Objects;
    for (const std::string& Line : Lines) {
        Objects.push_back(ParseJsonObject(Line));
        EXPECT_EQ(Objects.back().Error, "") << Line;
        EXPECT_EQ(Objects.back().Keys(),
            (std::vector<std::string> { "name", "kind", "target", "status", "ms", "reason" }))
            << Line;
        EXPECT_TRUE(IsCount(Objects.back()["ms"])) << Line;
        EXPECT_EQ(Objects.back()["kind"], "WebMonitor");
    }
    // The tab is a blank on the line, as in the text output.
    EXPECT_EQ(Objects[0]["name"], "Quote \" and \\ back slash");
    EXPECT_EQ(Objects[0]["status"], "OK");
    EXPECT_EQ(Objects[0]["reason"], "");
    EXPECT_EQ(Objects[1]["name"], "Сервер ✓");
    EXPECT_NE(Lines[1].find("Сервер ✓"), std::string::npos) << "UTF-8 escaped: " << Lines[1];
    EXPECT_EQ(Objects[1]["target"], Failing.Url("/x?a=\"1\""));
    EXPECT_EQ(Objects[1]["status"], "ERROR");
    EXPECT_EQ(Objects[1]["reason"], "HTTP/1.1 503 Failed");
    EXPECT_EQ(Objects[2]["name"], "Closed");
    EXPECT_EQ(Objects[2]["target"], ClosedURL);
    EXPECT_EQ(Objects[2]["reason"], Refused);

    Folder.Write("legacy.cfg", WebBlock("\xD1\xE5\xF0\xE2\xE5\xF0 \xFF", ClosedURL));
    const TRun Legacy = Run({ "--json", "legacy.cfg" });
    ASSERT_EQ(tooltest::Lines(Legacy.Out).size(), 1u) << Legacy.Out;
    EXPECT_EQ(ParseJsonObject(tooltest::Lines(Legacy.Out)[0])["name"], "Сервер я");
}

// --watch: the first check of each monitor prints, a server that goes away prints the change
// within a tick or two, nothing else prints, monitors with interval 0 are never checked, and
// SIGINT ends the program cleanly.
TEST_F(VardexCheck, WatchPrintsChanges)
{
    NEED_PING();
    THttpTestServer Site(200);
    THttpTestServer Never(200);
    Folder.Write("watch.cfg",
        WebBlock("Site", Site.Url(), 1) + PingBlock("Host", "127.0.0.1", 1, 1)
            + WebBlock("Idle", Never.Url(), 0));
    TChildProcess Child(Program, { "--watch", "watch.cfg" }, Folder.Path());
    ASSERT_TRUE(Child.Started());
    const std::regex Stamp("[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}");

    // The first checks of both run side by side; their lines come as they end.
    std::string First, Second;
    ASSERT_TRUE(Child.ReadLine(First, 5000)) << Child.Err();
    ASSERT_TRUE(Child.ReadLine(Second, 5000)) << Child.Err();
    if (Fields(First).size() > 1 && Fields(First)[1] == "Host")
        std::swap(First, Second);
    std::vector<std::string> F = Fields(First);
    ASSERT_EQ(F.size(), 7u) << First;
    EXPECT_TRUE(std::regex_match(F[0], Stamp)) << First;
    EXPECT_EQ(F[1], "Site");
    EXPECT_EQ(F[4], "OK");
    F = Fields(Second);
    ASSERT_EQ(F.size(), 7u) << Second;
    EXPECT_EQ(F[1], "Host");
    EXPECT_EQ(F[4], "OK");
    // Libraries are loaded when a monitor or the history first needs them, not at the start.
    std::ifstream Maps("/proc/" + std::to_string(Child.Pid()) + "/maps");
    const std::string Mapped((std::istreambuf_iterator<char>(Maps)), std::istreambuf_iterator<char>());
    for (const char* Library : { "libsqlite3", "libcares", "libssl", "libcrypto" })
        EXPECT_EQ(Mapped.find(Library), std::string::npos) << Library;

    // Checked again every second or two with the same outcome: nothing printed.
    std::string Line;
    EXPECT_FALSE(Child.ReadLine(Line, 2500)) << Line;
    EXPECT_GE(Site.Requests(), 2);

    Site.Stop();
    ASSERT_TRUE(Child.ReadLine(Line, 5000)) << Child.Err();
    F = Fields(Line);
    ASSERT_EQ(F.size(), 7u) << Line;
    EXPECT_TRUE(std::regex_match(F[0], Stamp)) << Line;
    EXPECT_EQ(F[1], "Site");
    EXPECT_EQ(F[4], "ERROR");
    EXPECT_EQ(F[6], Refused);
    EXPECT_FALSE(Child.ReadLine(Line, 1500)) << Line;

    Child.Signal(SIGINT);
    EXPECT_EQ(Child.Finish(5000), 0);
    EXPECT_EQ(Child.Err(), "");
    EXPECT_EQ(Never.Requests(), 0);
}

TEST_F(VardexCheck, WatchJsonEndsOnSigterm)
{
    THttpTestServer Site(200);
    Folder.Write("default.cfg", WebBlock("Site", Site.Url(), 5));
    TChildProcess Child(Program, { "--json", "--watch" }, Folder.Path());
    std::string Line;
    ASSERT_TRUE(Child.ReadLine(Line, 5000)) << Child.Err();
    const TJsonObject Object = ParseJsonObject(Line);
    EXPECT_EQ(Object.Error, "");
    EXPECT_EQ(Object.Keys(),
        (std::vector<std::string> { "time", "name", "kind", "target", "status", "ms", "reason" }));
    EXPECT_EQ(Object["status"], "OK");
    Child.Signal(SIGTERM);
    EXPECT_EQ(Child.Finish(5000), 0);
    EXPECT_EQ(Child.Out(), Line + "\n");
}

// A stop request cancels the check waiting on a silent server: the program ends at once,
// cleanly, without a line for the cancelled check.
TEST_F(VardexCheck, StopCancelsTheChecksInFlight)
{
    THttpTestServer Silent(200, true);
    Folder.Write("default.cfg", WebBlock("Silent", Silent.Url(), 1));
    TChildProcess Child(Program, { "--watch" }, Folder.Path());
    // The check starts about a second after the program and then waits for an answer.
    for (int I = 0; I < 100 && Silent.Requests() == 0; ++I)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_EQ(Silent.Requests(), 1);
    Child.Signal(SIGINT);
    EXPECT_EQ(Child.Finish(1500), 0);
    EXPECT_EQ(Child.Out(), "");
    EXPECT_EQ(Child.Err(), "");
}

// A pass runs its checks side by side but prints in list order: a monitor whose server
// answers at once waits for the line of a silent one before it.
TEST_F(VardexCheck, PassPrintsInListOrderWhateverEndsFirst)
{
    THttpTestServer Silent(200, true);
    THttpTestServer Fine(200);
    Folder.Write("default.cfg",
        Block("Silent", "WebMonitor", "URL=" + Silent.Url(), 0, "Timeout=2") + WebBlock("Fine", Fine.Url()));
    TChildProcess Child(Program, { "--jobs", "2" }, Folder.Path());
    for (int I = 0; I < 100 && Fine.Requests() == 0; ++I)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(Fine.Requests(), 1) << "the second check ran beside the first";
    std::string Line;
    EXPECT_FALSE(Child.ReadLine(Line, 500)) << Line;
    EXPECT_EQ(Child.Finish(15000), 1);
    const std::vector<std::string> Lines = tooltest::Lines(Child.Out());
    ASSERT_EQ(Lines.size(), 2u) << Child.Out();
    EXPECT_EQ(Fields(Lines[0])[0], "Silent");
    EXPECT_EQ(Fields(Lines[0])[3], "ERROR");
    EXPECT_EQ(Fields(Lines[1])[0], "Fine");
    EXPECT_EQ(Fields(Lines[1])[3], "OK");
}

} // namespace

// Under a low open-file limit that cannot be raised, --jobs 1024 is lowered to what fits, with
// a word on the standard error, and every monitor is still checked.
TEST_F(VardexCheck, JobsFitTheOpenFileLimit)
{
    std::string List;
    const std::string Closed = "http://127.0.0.1:" + std::to_string(nettest::ClosedPort()) + "/";
    for (int I = 0; I < 200; ++I)
        List += WebBlock("Monitor " + std::to_string(I), Closed);
    Folder.Write("default.cfg", List);
    const TRun Result
        = RunToEnd("/bin/sh", { "-c", "ulimit -n 160 && exec \"$0\" --jobs 1024", Program }, Folder.Path());
    EXPECT_EQ(Result.Status, 1) << Result.Err;
    EXPECT_EQ(Lines(Result.Out).size(), 200u);
    EXPECT_TRUE(std::regex_search(Result.Err,
        std::regex("^vardex-check: --jobs 1024 needs about [0-9]+ open files, more than the limit of 160: "
                   "checking [0-9]+ at once\n$")))
        << Result.Err;
}
