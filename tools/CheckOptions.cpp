#include "tools/CheckOptions.h"

#include "tools/HistoryReport.h"
#include "tools/Metrics.h"

namespace {

constexpr size_t MaxJobs = 1024;

// A count of jobs: decimal digits only, 1 to MaxJobs.
bool ParseJobs(const std::string& AText, size_t& AJobs)
{
    if (AText.empty() || AText.size() > 4 || AText.find_first_not_of("0123456789") != std::string::npos)
        return false;
    const size_t Jobs = std::stoul(AText);
    if (Jobs < 1 || Jobs > MaxJobs)
        return false;
    AJobs = Jobs;
    return true;
}

constexpr uint32_t MaxShards = 1000;

// "K/N" with 1 <= K <= N <= MaxShards, digits only.
bool ParseShard(const std::string& AText, uint32_t& AShard, uint32_t& AShards)
{
    const size_t Slash = AText.find('/');
    if (Slash == std::string::npos || Slash == 0 || Slash > 4 || AText.size() - Slash - 1 > 4
        || Slash + 1 == AText.size() || AText.find_first_not_of("0123456789/") != std::string::npos
        || AText.find('/', Slash + 1) != std::string::npos)
        return false;
    const auto Shard = static_cast<uint32_t>(std::stoul(AText.substr(0, Slash)));
    const auto Shards = static_cast<uint32_t>(std::stoul(AText.substr(Slash + 1)));
    if (Shard < 1 || Shard > Shards || Shards > MaxShards)
        return false;
    AShard = Shard;
    AShards = Shards;
    return true;
}

// --serve, --prometheus, --shard and --history-dir with their value into AOptions; what is
// wrong with it, or empty.
std::string TakeMetricsOption(const std::string& AOption, const std::string& AValue, TCheckOptions& AOptions)
{
    if (AOption == "--shard") {
        if (!ParseShard(AValue, AOptions.Shard, AOptions.Shards))
            return "--shard needs K/N with K from 1 to N and N at most " + std::to_string(MaxShards)
                + ", such as 2/3, not '" + AValue + "'";
        return {};
    }
    if (AOption == "--label") {
        const size_t Eq = AValue.find('=');
        const std::string Name = AValue.substr(0, Eq);
        if (Eq == std::string::npos || !ValidConstantLabel(Name))
            return "--label needs NAME=VALUE with a label name of letters, digits and _ (not monitor, kind, "
                   "target or version), not '"
                + AValue + "'";
        for (const auto& Label : AOptions.Labels)
            if (Label.first == Name)
                return "--label " + Name + " is given twice";
        AOptions.Labels.emplace_back(Name, AValue.substr(Eq + 1));
        return {};
    }
    if (AOption == "--history-dir") {
        if (AValue.empty())
            return "--history-dir needs a folder";
        AOptions.HistoryDir = AValue;
        return {};
    }
    if (AOption == "--serve") {
        AOptions.Serve = true;
        AOptions.Watch = true;
        return ParseListenAddress(AValue, AOptions.ServeAddress);
    }
    if (AValue.empty())
        return "--prometheus needs a file name";
    AOptions.PrometheusFile = AValue;
    return {};
}

std::string JobsComplaint(const std::string& AValue)
{
    return "--jobs needs a number from 1 to " + std::to_string(MaxJobs) + ", not '" + AValue + "'";
}

std::string SinceComplaint(const std::string& AValue)
{
    return "--since needs a span such as 90s, 30m, 24h or 7d, not '" + AValue + "'";
}

// Where a reading of the arguments stands between two of them.
struct TParseState {
    // No "--" yet: what begins with "-" is an option.
    bool Options = true;
    bool HaveFile = false;
    bool ExpectJobs = false;
    bool ExpectSince = false;
    // --serve, --prometheus, --shard or --history-dir, whose value comes next.
    std::string ExpectValue;
};

// AArg as the value of the option before it, when that option waits for one (ATaken set then):
// what is wrong with it, or empty.
std::string TakeExpectedValue(
    const std::string& AArg, TParseState& AState, TCheckOptions& AOptions, bool& ATaken)
{
    ATaken = true;
    if (!AState.ExpectValue.empty()) {
        const std::string Wrong = TakeMetricsOption(AState.ExpectValue, AArg, AOptions);
        if (!Wrong.empty())
            return Wrong;
        AState.ExpectValue.clear();
        return {};
    }
    if (AState.ExpectJobs) {
        AState.ExpectJobs = false;
        if (!ParseJobs(AArg, AOptions.Jobs))
            return JobsComplaint(AArg);
        return {};
    }
    if (AState.ExpectSince) {
        AState.ExpectSince = false;
        if (!ParseSpan(AArg, AOptions.SinceMs))
            return SinceComplaint(AArg);
        return {};
    }
    ATaken = false;
    return {};
}

// One option, AArg, into AOptions, or into AState when its value comes next: what is wrong
// with it, or empty.
std::string TakeOption(const std::string& AArg, TParseState& AState, TCheckOptions& AOptions)
{
    if (AArg == "--watch")
        AOptions.Watch = true;
    else if (AArg == "--json")
        AOptions.Json = true;
    else if (AArg == "--help" || AArg == "-h")
        AOptions.Help = true;
    else if (AArg == "--version")
        AOptions.Version = true;
    else if (AArg == "--check-config")
        AOptions.CheckConfig = true;
    else if (AArg == "--jobs")
        AState.ExpectJobs = true;
    else if (AArg.rfind("--jobs=", 0) == 0) {
        if (!ParseJobs(AArg.substr(7), AOptions.Jobs))
            return JobsComplaint(AArg.substr(7));
    } else if (AArg == "--history")
        AOptions.History = true;
    else if (AArg == "--report")
        AOptions.Report = true;
    else if (AArg == "--since")
        AState.ExpectSince = AOptions.SinceGiven = true;
    else if (AArg.rfind("--since=", 0) == 0) {
        AOptions.SinceGiven = true;
        if (!ParseSpan(AArg.substr(8), AOptions.SinceMs))
            return SinceComplaint(AArg.substr(8));
    } else if (AArg == "--serve" || AArg == "--prometheus" || AArg == "--shard" || AArg == "--history-dir"
        || AArg == "--label")
        AState.ExpectValue = AArg;
    else if (AArg.rfind("--serve=", 0) == 0 || AArg.rfind("--prometheus=", 0) == 0
        || AArg.rfind("--shard=", 0) == 0 || AArg.rfind("--history-dir=", 0) == 0
        || AArg.rfind("--label=", 0) == 0) {
        const size_t Eq = AArg.find('=');
        return TakeMetricsOption(AArg.substr(0, Eq), AArg.substr(Eq + 1), AOptions);
    } else
        return "unknown option '" + AArg + "'";
    return {};
}

// What is wrong once every argument is read: a value missing at the end, or options that do
// not go together.
std::string FinalComplaint(const TParseState& AState, const TCheckOptions& AOptions)
{
    if (AState.ExpectJobs)
        return "--jobs needs a number from 1 to " + std::to_string(MaxJobs);
    if (AState.ExpectSince)
        return "--since needs a span such as 90s, 30m, 24h or 7d";
    if (AState.ExpectValue == "--serve")
        return "--serve needs [HOST:]PORT";
    if (AState.ExpectValue == "--prometheus")
        return "--prometheus needs a file name";
    if (AState.ExpectValue == "--shard")
        return "--shard needs K/N";
    if (AState.ExpectValue == "--history-dir")
        return "--history-dir needs a folder";
    if (AState.ExpectValue == "--label")
        return "--label needs NAME=VALUE";
    if (!AOptions.HistoryDir.empty() && !AOptions.History && !AOptions.Report)
        return "--history-dir goes with --history or --report";
    if (AOptions.Report && (AOptions.Watch || AOptions.History))
        return std::string("--report reads the history and checks nothing: not with ")
            + (AOptions.Watch ? "--watch" : "--history");
    if (AOptions.SinceGiven && !AOptions.Report)
        return "--since goes with --report";
    return {};
}

constexpr const char UsageText[]
    = R"(Usage: vardex-check [--watch] [--json] [--jobs N] [--history [--history-dir DIR]]
                    [--prometheus FILE] [--shard K/N] [FILE]
       vardex-check --serve [HOST:]PORT [--json] [--jobs N] [--history [--history-dir DIR]]
                    [--prometheus FILE] [--shard K/N] [--label NAME=VALUE]... [FILE]
       vardex-check --check-config [FILE]
       vardex-check --report [--history-dir DIR] [--since SPAN] [--json] [FILE]
vardex-check checks the monitors of a Vardex monitor list from a terminal or a script, with
the same code as the window. It reads FILE as the window reads its list, and default.cfg in
the current directory when no FILE is given. Up to N checks run side by side (--jobs).

Without --watch every monitor is checked once, whatever its interval, and one line is
printed per monitor, in list order, six fields separated by tabs:
  NAME  KIND  TARGET  STATUS  MS  REASON
KIND is PingMonitor, WebMonitor, TcpMonitor or DnsMonitor; TARGET the host, the URL,
host:port, or the query and its record type (with @server when one is set). STATUS is OK
or ERROR (a ping monitor whose Retry is 0 or less is an ERROR at once: it would send
nothing). MS is the time the check took in milliseconds. REASON tells why an ERROR check
failed and is empty otherwise. A TLS check that got the server's certificates adds a
seventh field, CERT_DAYS: the whole days until the earliest of them expires. A tab inside
a field is printed as a blank, and so is each run of line breaks.

Options:
  --watch    Check on the window's schedule until SIGINT or SIGTERM: a tick every second
             (the first one second after the start) checks, in list order, each monitor
             whose interval (seconds) has run out since the start of its previous check;
             a monitor whose interval is 0 or less is never checked. A line is printed
             when a check ends with another status than the monitor's previous check gave,
             and for each monitor's first check. Each line begins with the local time the
             check started, YYYY-MM-DD HH:MM:SS, and a tab. Lines come as the checks
             end; a check that hangs delays no other monitor. The first signal cancels the
             checks in flight and ends the program, a second one ends it at once. SIGHUP
             reads FILE again: unchanged monitors keep their state, new ones start,
             removed ones stop; a list with a problem keeps the running one.
  --json     Print each line as one JSON object instead, with the same facts:
               {"name":"...","kind":"...","target":"...","status":"OK","ms":12,"reason":""}
             The key "cert_days" comes last on lines that have CERT_DAYS; under --watch
             the key "time" comes first. Strings are UTF-8, and a byte that is not valid
             UTF-8 is given as U+FFFD.
  --jobs N   Run up to N checks at once (1 to 1024, default 64). --jobs 1 checks one
             monitor after another. Under --watch, a due monitor that finds every job
             busy is checked as soon as one is free, and monitors whose last check was
             quick go first.
  --history  Record every check into the check history, the file the window keeps too:
             $XDG_STATE_HOME/vardex/history.sqlite (~/.local/state/vardex/ when
             XDG_STATE_HOME is not set). Rows older than 30 days (or VARDEX_HISTORY_DAYS
             days, when that is set) are deleted, and VARDEX_HISTORY=off records
             nothing. A history file that cannot be written is reported once on stderr;
             the checks go on. Under --watch each monitor takes up where the history
             left it: its last success, and the start of an outage that outlived a
             restart.
  --history-dir DIR
             Keep (--history) or read (--report) the history in DIR/history.sqlite
             instead; the service's is /var/lib/vardex.
  --report   Check nothing, and print what the history says about the monitors of
             FILE: one line for each monitor with checks in the span, sorted by name,
             with six fields:
               NAME  CHECKS  FAILURES  UPTIME  P50  P95
             UPTIME is the share of successful checks in percent; P50 and P95 are the
             median and the 95th percentile (nearest rank) of the successful checks'
             times in ms, and are empty when none succeeded. With --json each line is
             one JSON object:
               {"name":"...","checks":10,"failures":1,"uptime":90.00,"p50":12,"p95":40}
             A list that does not exist, or that the history holds nothing of, is an
             error (exit status 2) that names the history file looked in.
  --since SPAN
             Set how far back --report looks: a whole number followed by s, m, h or d
             (the default is 24h).
  --serve [HOST:]PORT
             Watch as --watch does and serve the monitors' metrics for Prometheus at
             http://HOST:PORT/metrics (HOST 127.0.0.1 unless given; [::1] for IPv6;
             port 0 takes a free one), and a status page for a browser at
             http://HOST:PORT/. The address it listens on is printed on the
             standard error. A port in use by another program is refused (exit
             status 2).
  --prometheus FILE
             Write the same metrics to FILE after every pass (once, without --watch),
             by renaming a finished file over it, for node_exporter's textfile collector.
             A symbolic link is followed; anything but a regular file is refused.
  --shard K/N
             Check only the monitors of shard K of N (1 <= K <= N): a hash of each
             monitor's name and target, the same on every machine, puts it in one
             shard, so N processes given the same list check each monitor once.
  --label NAME=VALUE
             Add the label NAME="VALUE" to every series of the metrics (repeatable), so
             that the same list run from several sites can be told apart:
             --label site=fra1.
  --check-config
             Check nothing: print every problem of the list as FILE:LINE: reason
             (a block without Type, an unknown type, a key its kind does not have,
             a value its key cannot take) and exit 0 when there is none, 1 otherwise.
  -h, --help Print this help and exit.
  --version  Print the version and exit.
  --         Take what follows as FILE, even when it begins with "-".

Exit status:
  0  every monitor ended OK, or the list is empty; under --watch, a signal stopped it.
  1  at least one monitor ended ERROR.
  2  an option or argument was wrong, a list could not be opened or read, a list held
     text but no monitor, a monitor was NOT CHECKED for a value its key cannot take, the history could not be read (--report), or the output could
     not be written.
)";

} // namespace

std::string ParseCheckOptions(const std::vector<std::string>& AArgs, TCheckOptions& AOptions)
{
    TParseState State;
    for (const std::string& Arg : AArgs) {
        bool Taken = false;
        if (const std::string Wrong = TakeExpectedValue(Arg, State, AOptions, Taken); !Wrong.empty())
            return Wrong;
        if (Taken)
            continue;
        if (State.Options && Arg == "--") {
            State.Options = false;
            continue;
        }
        if (State.Options && Arg.size() > 1 && Arg[0] == '-') {
            if (const std::string Wrong = TakeOption(Arg, State, AOptions); !Wrong.empty())
                return Wrong;
            continue;
        }
        if (State.HaveFile)
            return "one monitor list at most: '" + AOptions.FileName + "' and '" + Arg + "' given";
        AOptions.FileName = Arg;
        State.HaveFile = true;
    }
    return FinalComplaint(State, AOptions);
}

std::string HistoryFileOf(const TCheckOptions& AOptions)
{
    if (AOptions.HistoryDir.empty())
        return HistorySettingsFromEnvironment().FileName;
    return AOptions.HistoryDir + (AOptions.HistoryDir.back() == '/' ? "" : "/") + "history.sqlite";
}

const std::string& CheckUsageText()
{
    static const std::string Text = UsageText;
    return Text;
}
