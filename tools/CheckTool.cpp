#include "tools/CheckTool.h"

#include "engine/Descriptors.h"
#include "net/http/NetURI.h"
#include "tools/HistoryReport.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstring>
#include <deque>
#include <exception>
#include <memory>
#include <optional>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#ifndef VARDEX_VERSION
#define VARDEX_VERSION "unknown"
#endif

namespace {

constexpr const char* ProgramName = "vardex-check";

bool WriteAll(int AFd, const std::string& AText)
{
    size_t Done = 0;
    while (Done < AText.size()) {
        const ssize_t Written = ::write(AFd, AText.data() + Done, AText.size() - Done);
        if (Written < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        Done += static_cast<size_t>(Written);
    }
    return true;
}

void Complain(const std::string& AText)
{
    (void)WriteAll(STDERR_FILENO, std::string(ProgramName) + ": " + AText + "\n");
}

// Standard output, line by line. A reader that went away (a closed pipe) ends the program
// quietly; any other failure is reported once.
bool WriteOutput(const std::string& ALine)
{
    if (WriteAll(STDOUT_FILENO, ALine))
        return true;
    const int Error = errno;
    if (Error != EPIPE)
        Complain(std::string("cannot write the output: ") + std::strerror(Error));
    return false;
}

// SIGINT and SIGTERM while --watch runs. They are blocked in every thread of the program
// (the mask is set before any other thread starts and threads inherit it) and read by one
// thread of their own, so no system call inside a check is ever interrupted. The first one
// asks the run to stop after the check in progress; a second one ends the program at once,
// as the signal's default action would, for a check that hangs on a slow peer.
class TStopSignals {
public:
    TStopSignals()
    {
        sigemptyset(&FSignals);
        sigaddset(&FSignals, SIGINT);
        sigaddset(&FSignals, SIGTERM);
        pthread_sigmask(SIG_BLOCK, &FSignals, &FOldMask);
        FSignalFd = signalfd(-1, &FSignals, SFD_CLOEXEC);
        FStopFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        FQuitFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        FThread = std::thread([this] { Watch(); });
    }

    ~TStopSignals()
    {
        Post(FQuitFd);
        FThread.join();
        ::close(FSignalFd);
        ::close(FStopFd);
        ::close(FQuitFd);
        pthread_sigmask(SIG_SETMASK, &FOldMask, nullptr);
    }

    TStopSignals(const TStopSignals&) = delete;
    TStopSignals& operator=(const TStopSignals&) = delete;

    // Set by the first signal.
    const std::atomic<bool>& Stop() const { return FStop; }
    // Readable once Stop is set.
    int StopFd() const { return FStopFd; }

private:
    static void Post(int AFd)
    {
        const uint64_t One = 1;
        (void)!::write(AFd, &One, sizeof One);
    }

    void Watch()
    {
        for (;;) {
            pollfd Wait[2] = { { FSignalFd, POLLIN, 0 }, { FQuitFd, POLLIN, 0 } };
            if (::poll(Wait, 2, -1) < 0) {
                if (errno == EINTR)
                    continue;
                return;
            }
            if (Wait[1].revents != 0)
                return;
            signalfd_siginfo Info {};
            if (::read(FSignalFd, &Info, sizeof Info) != static_cast<ssize_t>(sizeof Info))
                continue;
            const int Signal = static_cast<int>(Info.ssi_signo);
            if (!FStop.exchange(true)) {
                Post(FStopFd);
                continue;
            }
            std::signal(Signal, SIG_DFL);
            sigset_t One;
            sigemptyset(&One);
            sigaddset(&One, Signal);
            pthread_sigmask(SIG_UNBLOCK, &One, nullptr);
            std::raise(Signal);
            ::_exit(128 + Signal);
        }
    }

    sigset_t FSignals;
    sigset_t FOldMask;
    int FSignalFd = -1;
    int FStopFd = -1;
    int FQuitFd = -1;
    std::atomic<bool> FStop { false };
    std::thread FThread;
};

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

// --serve, --prometheus and --shard with their value into AOptions; what is wrong with it, or
// empty.
std::string TakeMetricsOption(const std::string& AOption, const std::string& AValue, TCheckOptions& AOptions)
{
    if (AOption == "--shard") {
        if (!ParseShard(AValue, AOptions.Shard, AOptions.Shards))
            return "--shard needs K/N with K from 1 to N and N at most " + std::to_string(MaxShards)
                + ", such as 2/3, not '" + AValue + "'";
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

// Why the list could not be opened, after LoadMonitorList refused it with AErrno.
std::string OpenFailure(const std::string& AFileName, int AErrno)
{
    struct stat Info { };
    if (::stat(AFileName.c_str(), &Info) == 0 && S_ISDIR(Info.st_mode))
        AErrno = EISDIR;
    if (AErrno == 0)
        return "cannot open " + AFileName;
    return "cannot open " + AFileName + ": " + std::strerror(AErrno);
}

} // namespace

std::string ParseCheckOptions(const std::vector<std::string>& AArgs, TCheckOptions& AOptions)
{
    bool Options = true;
    bool HaveFile = false;
    bool ExpectJobs = false;
    bool ExpectSince = false;
    // --serve or --prometheus, whose value comes next.
    std::string ExpectValue;
    for (const std::string& Arg : AArgs) {
        if (!ExpectValue.empty()) {
            const std::string Wrong = TakeMetricsOption(ExpectValue, Arg, AOptions);
            if (!Wrong.empty())
                return Wrong;
            ExpectValue.clear();
            continue;
        }
        if (ExpectJobs) {
            ExpectJobs = false;
            if (!ParseJobs(Arg, AOptions.Jobs))
                return JobsComplaint(Arg);
            continue;
        }
        if (ExpectSince) {
            ExpectSince = false;
            if (!ParseSpan(Arg, AOptions.SinceMs))
                return SinceComplaint(Arg);
            continue;
        }
        if (Options && Arg == "--") {
            Options = false;
            continue;
        }
        if (Options && Arg.size() > 1 && Arg[0] == '-') {
            if (Arg == "--watch")
                AOptions.Watch = true;
            else if (Arg == "--json")
                AOptions.Json = true;
            else if (Arg == "--help" || Arg == "-h")
                AOptions.Help = true;
            else if (Arg == "--version")
                AOptions.Version = true;
            else if (Arg == "--jobs")
                ExpectJobs = true;
            else if (Arg.rfind("--jobs=", 0) == 0) {
                if (!ParseJobs(Arg.substr(7), AOptions.Jobs))
                    return JobsComplaint(Arg.substr(7));
            } else if (Arg == "--history")
                AOptions.History = true;
            else if (Arg == "--report")
                AOptions.Report = true;
            else if (Arg == "--since")
                ExpectSince = AOptions.SinceGiven = true;
            else if (Arg.rfind("--since=", 0) == 0) {
                AOptions.SinceGiven = true;
                if (!ParseSpan(Arg.substr(8), AOptions.SinceMs))
                    return SinceComplaint(Arg.substr(8));
            } else if (Arg == "--serve" || Arg == "--prometheus" || Arg == "--shard")
                ExpectValue = Arg;
            else if (Arg.rfind("--serve=", 0) == 0 || Arg.rfind("--prometheus=", 0) == 0
                || Arg.rfind("--shard=", 0) == 0) {
                const size_t Eq = Arg.find('=');
                const std::string Wrong = TakeMetricsOption(Arg.substr(0, Eq), Arg.substr(Eq + 1), AOptions);
                if (!Wrong.empty())
                    return Wrong;
            } else
                return "unknown option '" + Arg + "'";
            continue;
        }
        if (HaveFile)
            return "one monitor list at most: '" + AOptions.FileName + "' and '" + Arg + "' given";
        AOptions.FileName = Arg;
        HaveFile = true;
    }
    if (ExpectJobs)
        return "--jobs needs a number from 1 to " + std::to_string(MaxJobs);
    if (ExpectSince)
        return "--since needs a span such as 90s, 30m, 24h or 7d";
    if (ExpectValue == "--serve")
        return "--serve needs [HOST:]PORT";
    if (ExpectValue == "--prometheus")
        return "--prometheus needs a file name";
    if (ExpectValue == "--shard")
        return "--shard needs K/N";
    if (AOptions.Report && (AOptions.Watch || AOptions.History))
        return std::string("--report reads the history and checks nothing: not with ")
            + (AOptions.Watch ? "--watch" : "--history");
    if (AOptions.SinceGiven && !AOptions.Report)
        return "--since goes with --report";
    return {};
}

const std::string& CheckUsageText()
{
    static const std::string Text
        = R"(Usage: vardex-check [--watch] [--json] [--jobs N] [--history] [--prometheus FILE] [FILE]
       vardex-check --serve [HOST:]PORT [--json] [--jobs N] [--history] [--prometheus FILE] [FILE]
       vardex-check --report [--since SPAN] [--json] [FILE]
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
             checks in flight and ends the program, a second one ends it at once.
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
             the checks go on.
  --report   Check nothing, and print what the history says about the monitors of
             FILE: one line for each monitor with checks in the span, sorted by name,
             with six fields:
               NAME  CHECKS  FAILURES  UPTIME  P50  P95
             UPTIME is the share of successful checks in percent; P50 and P95 are the
             median and the 95th percentile (nearest rank) of the successful checks'
             times in ms, and are empty when none succeeded. With --json each line is
             one JSON object:
               {"name":"...","checks":10,"failures":1,"uptime":90.00,"p50":12,"p95":40}
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
  -h, --help Print this help and exit.
  --version  Print the version and exit.
  --         Take what follows as FILE, even when it begins with "-".

Exit status:
  0  every monitor ended OK, or the list is empty; under --watch, a signal stopped it.
  1  at least one monitor ended ERROR.
  2  an option or argument was wrong, a list could not be opened or read, a list held
     text but no monitor, the history could not be read (--report), or the output could
     not be written.
)";
    return Text;
}

TCheckRun::TCheckRun(const TCheckOptions& AOptions, TMonitorList& AList, TWriter AWriter)
    : FOptions(AOptions)
    , FList(AList)
    , FWriter(std::move(AWriter))
    , FEngine(FVerdicts, FClock, AOptions.Jobs)
    , FSchedule(FEngine, FClock)
{
    FSchedule.OnShortage = Complain;
    FMetrics.resize(FList.size());
    FIndex.reserve(FList.size());
    for (size_t I = 0; I < FList.size(); ++I)
        if (FList[I].Monitor)
            FIndex.emplace(FList[I].Monitor.get(), I);
}

void TCheckRun::Print(const TCheckReport& AReport)
{
    if (FOutputFailed)
        return;
    const std::string Line
        = FOptions.Json ? ReportJson(AReport, FOptions.Watch) : ReportLine(AReport, FOptions.Watch);
    if (!FWriter(Line + "\n"))
        FOutputFailed = true;
}

void TCheckRun::ApplyVerdicts(const std::function<void(size_t AIndex, TCheckReport AReport)>& AOnReport)
{
    const std::vector<TCheckVerdict> Verdicts = FVerdicts.Drain();
    if (Verdicts.empty())
        return;
    const double Now
        = std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    bool Applied = false;
    for (const TCheckVerdict& Verdict : Verdicts) {
        const std::shared_ptr<TServiceMonitor> Monitor = FSchedule.Apply(Verdict);
        if (!Monitor) {
            // Put off for a shortage: the monitor is back as it was, to be checked again.
            const std::shared_ptr<TServiceMonitor> Back = Verdict.Shortage ? Verdict.Monitor.lock() : nullptr;
            if (const auto Found = Back ? FIndex.find(Back.get()) : FIndex.end(); Found != FIndex.end())
                FPutOff.push_back(Found->second);
            continue;
        }
        const size_t Index = FIndex.at(Monitor.get());
        // Unix time for the metrics: the verdict's own stamps are local time, which a change
        // to winter time makes ambiguous. The check ended a moment before it was applied.
        TMonitorMetrics& Metrics = FMetrics[Index];
        const bool Up = Monitor->Status() == msOK;
        const bool Changed = !Metrics.Checked || Metrics.Up != Up;
        Metrics.Checked = true;
        Metrics.Up = Up;
        Metrics.DurationSeconds = double(Verdict.DurationMs) / 1000;
        Metrics.LastCheck = std::round((Now - Metrics.DurationSeconds) * 1000) / 1000;
        if (Changed)
            Metrics.StatusSince = Metrics.LastCheck;
        if (Metrics.Up)
            Metrics.LastSuccess = std::round(Now * 1000) / 1000;
        Metrics.CertificateExpiry = Monitor->Certificate().Earliest;
        ++Metrics.Checks;
        Metrics.Errors += Metrics.Up ? 0 : 1;
        Applied = true;
        TCheckReport Report = MakeCheckReport(FList[Index].Name, *Monitor, Verdict.DurationMs);
        if (!Up)
            Metrics.Reason = Report.Reason;
        if (OnFinished)
            OnFinished(Report);
        AOnReport(Index, std::move(Report));
    }
    if (Applied) {
        FMetricsDirty = true;
        if (FServer != nullptr)
            FServer->Publish(Snapshot());
    }
}

std::shared_ptr<const TMetricsSnapshot> TCheckRun::Snapshot() const
{
    auto Snapshot = std::make_shared<TMetricsSnapshot>();
    Snapshot->ListName = FOptions.FileName;
    Snapshot->Listed = FIndex.size();
    Snapshot->Postponed = FSchedule.Shortages();
    for (size_t I = 0; I < FList.size(); ++I) {
        const TMonitorMetrics& Metrics = FMetrics[I];
        if (!Metrics.Checked)
            continue;
        const TServiceMonitor& Monitor = *FList[I].Monitor;
        TMonitorSample Sample;
        Sample.Name = FList[I].Name;
        Sample.Kind = Monitor.TypeKey();
        if (const auto* Ping = dynamic_cast<const TPingMonitor*>(&Monitor))
            Sample.Target = Ping->IP();
        else if (const auto* Web = dynamic_cast<const TWebMonitor*>(&Monitor))
            // A label is kept by the time-series database for good; a query there would also
            // make a new series of each of its changes.
            Sample.Target = MaskURL(Web->URL(), umLabel);
        else if (const auto* Tcp = dynamic_cast<const TTcpMonitor*>(&Monitor))
            Sample.Target = Tcp->Target();
        else if (const auto* Dns = dynamic_cast<const TDnsMonitor*>(&Monitor))
            Sample.Target = Dns->Target();
        Sample.Up = Metrics.Up;
        Sample.DurationSeconds = Metrics.DurationSeconds;
        Sample.LastCheck = Metrics.LastCheck;
        Sample.LastSuccess = Metrics.LastSuccess;
        Sample.CertificateExpiry = Metrics.CertificateExpiry;
        Sample.Checks = Metrics.Checks;
        Sample.Errors = Metrics.Errors;
        Sample.Reason = Metrics.Reason;
        Sample.StatusSince = Metrics.StatusSince;
        if (const auto Found = FUptimes.find(FList[I].Name); Found != FUptimes.end())
            Sample.Uptime24h = Found->second;
        Snapshot->Monitors.push_back(std::move(Sample));
    }
    return Snapshot;
}

void TCheckRun::SetUptimes(std::unordered_map<std::string, double> AUptimes)
{
    FUptimes = std::move(AUptimes);
    if (FServer != nullptr)
        FServer->Publish(Snapshot());
}

bool TCheckRun::WriteMetricsFile()
{
    if (FOptions.PrometheusFile.empty())
        return true;
    FMetricsDirty = false;
    const std::string Wrong = WriteFileAtomically(
        FOptions.PrometheusFile, MetricsText(*Snapshot(), TMetricsFormat::mfPrometheus));
    // Said once while it lasts, not at every pass of a watch.
    if (!Wrong.empty() && !FMetricsFileFailed)
        Complain(Wrong);
    FMetricsFileFailed = !Wrong.empty();
    return Wrong.empty();
}

uint32_t MonitorShard(const std::string& AName, const std::string& ATarget, uint32_t AShards)
{
    // FNV-1a, 64 bits: fixed by its definition, unlike std::hash, so every machine agrees.
    uint64_t Hash = 14695981039346656037ull;
    const auto Add = [&](unsigned char AByte) {
        Hash ^= AByte;
        Hash *= 1099511628211ull;
    };
    for (const char C : AName)
        Add(static_cast<unsigned char>(C));
    Add(0);
    for (const char C : ATarget)
        Add(static_cast<unsigned char>(C));
    return static_cast<uint32_t>(Hash % AShards);
}

void KeepShard(TMonitorList& AList, uint32_t AShard, uint32_t AShards)
{
    if (AShards <= 1)
        return;
    std::erase_if(AList, [&](const TMonitorEntry& AEntry) {
        std::string Target;
        if (const auto* Ping = dynamic_cast<const TPingMonitor*>(AEntry.Monitor.get()))
            Target = Ping->IP();
        else if (const auto* Web = dynamic_cast<const TWebMonitor*>(AEntry.Monitor.get()))
            Target = Web->URL();
        else if (const auto* Tcp = dynamic_cast<const TTcpMonitor*>(AEntry.Monitor.get()))
            Target = Tcp->Target();
        else if (const auto* Dns = dynamic_cast<const TDnsMonitor*>(AEntry.Monitor.get()))
            Target = Dns->Target();
        return MonitorShard(AEntry.Name, Target, AShards) != AShard - 1;
    });
}

std::string WriteFileAtomically(const std::string& AFileName, const std::string& AText)
{
    // A collector is often pointed at a link; replacing the link would leave its target, the
    // file read, stale for good. A device or a FIFO is no file of metrics to replace.
    std::string Target;
    try {
        Target = FollowLinks(AFileName);
    } catch (const EInOutError& E) {
        return "cannot write " + AFileName + ": " + E.what();
    }
    struct stat Info { };
    if (::lstat(Target.c_str(), &Info) == 0 && !S_ISREG(Info.st_mode))
        return "cannot write " + AFileName + ": not a regular file";
    // Beside the file, so that the rename stays on one file system; a name that does not end
    // in the file's own suffix, so a collector that reads "*.prom" passes it over.
    std::string Temporary = Target + ".XXXXXX";
    const int Fd = ::mkstemp(Temporary.data());
    if (Fd < 0)
        return "cannot write " + AFileName + ": " + std::strerror(errno);
    // mkstemp makes the file for its owner alone; the collector may run as another user.
    const mode_t Mask = ::umask(0);
    ::umask(Mask);
    bool Ok = ::fchmod(Fd, 0666 & ~Mask) == 0 && WriteAll(Fd, AText) && ::fsync(Fd) == 0;
    int Error = errno;
    if (::close(Fd) != 0 && Ok) {
        Ok = false;
        Error = errno;
    }
    if (Ok && ::rename(Temporary.c_str(), Target.c_str()) != 0) {
        Ok = false;
        Error = errno;
    }
    if (Ok)
        return {};
    ::unlink(Temporary.c_str());
    return "cannot write " + AFileName + ": " + std::strerror(Error);
}

int TCheckRun::RunOnce()
{
    // The line of each monitor, kept until every line before it is printed.
    std::vector<std::optional<TCheckReport>> Reports(FList.size());
    std::vector<bool> Done(FList.size(), false);
    // The monitors still to start, in list order; one whose check was put off for a shortage
    // comes back to the front and starts again a tick (a second) after the shortage.
    std::deque<size_t> ToStart;
    for (size_t I = 0; I < FList.size(); ++I)
        ToStart.push_back(I);
    constexpr uint8_t MaxPutOff = 10;
    std::vector<uint8_t> PutOff(FList.size(), 0);
    uint64_t Shortages = FSchedule.Shortages();
    int64_t StartAfter = 0;
    const auto WaitOutShortage = [&] {
        if (FSchedule.Shortages() != Shortages) {
            Shortages = FSchedule.Shortages();
            StartAfter = FClock.MonotonicMs() + 1000;
        }
    };
    // A run once must end: a shortage that outlasts ten ticks leaves the monitor unchecked,
    // and says so, rather than holding the run for ever.
    const auto NotChecked = [&](size_t AIndex) {
        TCheckReport Report = MakeCheckReport(FList[AIndex].Name, *FList[AIndex].Monitor, 0);
        Report.Status = msError;
        Report.Reason = "Not checked: no file descriptor, thread or memory to check it with.";
        FList[AIndex].Monitor->ApplyResult({ msError, Report.Reason }, 0);
        Reports[AIndex] = std::move(Report);
        Done[AIndex] = true;
    };
    size_t NextPrint = 0;
    for (;;) {
        WaitOutShortage();
        // As many checks as the engine takes, in list order.
        while (!ToStart.empty() && FClock.MonotonicMs() >= StartAfter) {
            const size_t Index = ToStart.front();
            const std::shared_ptr<TServiceMonitor>& Monitor = FList[Index].Monitor;
            if (Monitor && !FSchedule.RunCheck(Monitor)) {
                // No worker could start, and none runs whose end would free what it needs.
                if (FEngine.StartFailure().empty() || FSchedule.InFlight() > 0 || ++PutOff[Index] < MaxPutOff)
                    break;
                NotChecked(Index);
            }
            Done[Index] = Done[Index] || !Monitor;
            ToStart.pop_front();
        }
        while (NextPrint < FList.size() && Done[NextPrint]) {
            if (Reports[NextPrint])
                Print(*Reports[NextPrint]);
            Reports[NextPrint].reset();
            ++NextPrint;
        }
        if (FOutputFailed)
            return CheckExitUsage;
        if (NextPrint == FList.size())
            break;
        // With checks still to start, a verdict frees a worker; a shortage waits out its tick.
        WaitOutShortage();
        const int64_t Left = StartAfter - FClock.MonotonicMs();
        FVerdicts.Wait(ToStart.empty() ? -1 : Left > 0 ? static_cast<int>(Left) : 1000);
        ApplyVerdicts([&](size_t AIndex, TCheckReport AReport) {
            Reports[AIndex] = std::move(AReport);
            Done[AIndex] = true;
        });
        for (const size_t Index : FPutOff) {
            if (++PutOff[Index] < MaxPutOff)
                ToStart.push_front(Index);
            else
                NotChecked(Index);
        }
        FPutOff.clear();
    }
    if (!WriteMetricsFile())
        return CheckExitUsage;
    const bool AllOK = std::all_of(FList.begin(), FList.end(),
        [](const TMonitorEntry& AEntry) { return !AEntry.Monitor || AEntry.Monitor->Status() == msOK; });
    return AllOK ? CheckExitOK : CheckExitError;
}

int TCheckRun::RunWatch(const std::atomic<bool>& AStop, int AStopFd)
{
    // The status each monitor's last check gave; a monitor not here has not been checked.
    std::unordered_map<const TServiceMonitor*, TMonitorStatus> Previous;
    int64_t Next = FClock.MonotonicMs() + 1000;
    int64_t NextMinute = FClock.MonotonicMs();
    for (;;) {
        if (OnMinute && FClock.MonotonicMs() >= NextMinute) {
            OnMinute();
            NextMinute = FClock.MonotonicMs() + 60000;
        }
        // Wait for the tick, printing the verdicts that arrive meanwhile. Ticks missed are not
        // made up: when the next one is already due it runs at once, and the count starts
        // again from there.
        for (;;) {
            if (AStop.load()) {
                FEngine.Shutdown();
                return CheckExitOK;
            }
            ApplyVerdicts([&](size_t AIndex, TCheckReport AReport) {
                const TServiceMonitor* Monitor = FList[AIndex].Monitor.get();
                const auto Found = Previous.find(Monitor);
                if (Found == Previous.end() || Found->second != AReport.Status)
                    Print(AReport);
                Previous[Monitor] = AReport.Status;
            });
            FPutOff.clear();
            FSchedule.Resume(FList);
            if (FOutputFailed)
                return CheckExitUsage;
            const int64_t Left = Next - FClock.MonotonicMs();
            if (Left <= 0)
                break;
            pollfd Wait[2] = { { AStopFd, POLLIN, 0 }, { FVerdicts.Fd(), POLLIN, 0 } };
            (void)::poll(Wait, 2, static_cast<int>(Left));
        }
        // The checks that ended since the last tick, in one write.
        if (FMetricsDirty)
            (void)WriteMetricsFile();
        FSchedule.Tick(FList);
        Next = std::max(Next + 1000, FClock.MonotonicMs());
    }
}

int VardexCheckMain(int AArgc, char** AArgv)
{
    // The TLS library writes to its sockets without MSG_NOSIGNAL, and the output may be a pipe
    // whose reader has gone: a write there must fail, not end the program.
    std::signal(SIGPIPE, SIG_IGN);

    TCheckOptions Options;
    const std::string Wrong = ParseCheckOptions(std::vector<std::string>(AArgv + 1, AArgv + AArgc), Options);
    if (!Wrong.empty()) {
        Complain(Wrong);
        (void)WriteAll(
            STDERR_FILENO, std::string("Try '") + ProgramName + " --help' for more information.\n");
        return CheckExitUsage;
    }
    if (Options.Help)
        return WriteOutput(CheckUsageText()) ? CheckExitOK : CheckExitUsage;
    if (Options.Version)
        return WriteOutput(std::string(ProgramName) + " " + VARDEX_VERSION + "\n") ? CheckExitOK
                                                                                   : CheckExitUsage;

    const std::string ListKey = HistoryListKey(Options.FileName);
    if (Options.Report) {
        // The history outlives the list: a list that is gone still has its figures.
        const std::string HistoryFile = HistorySettingsFromEnvironment().FileName;
        struct stat Info { };
        if (!HistoryFile.empty() && ::stat(HistoryFile.c_str(), &Info) != 0 && errno == ENOENT) {
            Complain("there is no check history yet (" + HistoryFile
                + " does not exist). Checks are recorded by the window, and by vardex-check with "
                  "--history, for example: vardex-check --watch --history "
                + Options.FileName);
            return CheckExitUsage;
        }
        THistoryReader Reader(HistoryFile);
        const std::vector<THistorySummary> Summaries
            = Reader.Summaries(ListKey, HistoryNowMs() - Options.SinceMs);
        if (!Reader.Error().empty()) {
            Complain(Reader.Error());
            return CheckExitUsage;
        }
        for (const THistorySummary& One : Summaries)
            if (!WriteOutput((Options.Json ? SummaryJson(One) : SummaryLine(One)) + "\n"))
                return CheckExitUsage;
        return CheckExitOK;
    }

    // Checks that cannot get a descriptor are put off, so the pool is sized to the open-file
    // limit (raised as far as it goes) rather than left to meet it.
    std::string Lowered;
    Options.Jobs = FitJobsToDescriptors(Options.Jobs, Lowered);
    if (!Lowered.empty())
        Complain(Lowered);

    TMonitorList List;
    TMonitorListExtras Extras;
    try {
        errno = 0;
        if (!LoadMonitorList(Options.FileName, List, &Extras)) {
            Complain(OpenFailure(Options.FileName, errno));
            return CheckExitUsage;
        }
    } catch (const std::exception& E) {
        Complain("cannot read " + Options.FileName + ": " + E.what());
        return CheckExitUsage;
    }
    if (Extras.UnreadCount > 0)
        Complain(UnreadBlocksText(Options.FileName, Extras.UnreadCount));
    if (Extras.Windows1251Count > 0)
        Complain(Windows1251LinesText(Options.FileName, Extras.Windows1251Count));
    // A list with text but no monitor in it is not a list of services that are all well.
    if (List.empty() && Extras.UnreadCount > 0) {
        Complain(Options.FileName + " holds no monitor");
        return CheckExitUsage;
    }
    KeepShard(List, Options.Shard, Options.Shards);
    // Named once: --watch leaves such a monitor alone until the list is mended, while a
    // single pass still checks it with what the value falls back to, as it checks every
    // monitor whatever its interval.
    for (const TMonitorEntry& Entry : List)
        if (Entry.Monitor)
            for (const TBadValue& Bad : Entry.Monitor->BadValues())
                Complain(Options.FileName + ": " + Entry.Name + ": " + BadValueText(Bad)
                    + (Options.Watch ? " It is not checked." : ""));

    // The signals are blocked before the history's writer thread starts, which so inherits
    // the mask; the recorder stops before them, after the run: everything recorded is written
    // before the program ends.
    std::optional<TStopSignals> Signals;
    if (Options.Watch)
        Signals.emplace();
    std::unique_ptr<THistoryRecorder> History;
    if (Options.History) {
        const THistorySettings Settings = HistorySettingsFromEnvironment();
        if (!Settings.Problem.empty())
            Complain(Settings.Problem);
        if (!Settings.Enabled) {
            Complain("history is off: VARDEX_HISTORY=off");
        } else {
            History = std::make_unique<THistoryRecorder>(Settings.FileName);
            History->SetRetentionDays(Settings.RetentionDays);
            History->OnDisabled = [](const std::string& AReason) { Complain("history is off: " + AReason); };
            History->Start();
        }
    }
    // Started after the signals are blocked, so its threads inherit the mask; stopped and
    // joined before they are unblocked.
    TMetricsServer Server;
    TCheckRun Run(Options, List, WriteOutput);
    if (History)
        Run.OnFinished
            = [&](const TCheckReport& AReport) { History->Record(HistoryOutcome(ListKey, AReport)); };
    if (Options.Serve) {
        const std::string Refused = Server.Start(Options.ServeAddress);
        if (!Refused.empty()) {
            Complain(Refused);
            return CheckExitUsage;
        }
        const std::string& Host = Options.ServeAddress.Host;
        const std::string Shown = Host.find(':') != std::string::npos ? "[" + Host + "]" : Host;
        Complain("serving metrics at http://" + Shown + ":" + std::to_string(Server.Port()) + "/metrics");
        Run.SetMetricsServer(&Server);
        // The status page's 24-hour uptimes, read again once a minute.
        if (History)
            Run.OnMinute = [&] {
                THistoryReader Reader(HistorySettingsFromEnvironment().FileName);
                std::unordered_map<std::string, double> Uptimes;
                for (const THistorySummary& One :
                    Reader.Summaries(ListKey, HistoryNowMs() - int64_t(24) * 3600000))
                    Uptimes[One.Monitor] = One.Uptime();
                Run.SetUptimes(std::move(Uptimes));
            };
    }
    if (!Signals)
        return Run.RunOnce();
    const int Status = Run.RunWatch(Signals->Stop(), Signals->StopFd());
    Server.Stop();
    return Status;
}
