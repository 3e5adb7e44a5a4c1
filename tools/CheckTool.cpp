#include "tools/CheckTool.h"

#include "engine/CheckRecording.h"
#include "engine/Descriptors.h"
#include "tools/CheckOutput.h"
#include "tools/CheckRun.h"
#include "tools/HistoryReport.h"
#include "tools/Shard.h"
#include "tools/StopSignals.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <exception>
#include <memory>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

#ifndef VARDEX_VERSION
#define VARDEX_VERSION "unknown"
#endif

namespace {

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

// AFileName read into AList and AExtras: why it could not be, or empty.
std::string ReadList(const std::string& AFileName, TMonitorList& AList, TMonitorListExtras& AExtras)
{
    try {
        errno = 0;
        if (!LoadMonitorList(AFileName, AList, &AExtras))
            return OpenFailure(AFileName, errno);
    } catch (const std::exception& E) {
        return "cannot read " + AFileName + ": " + E.what();
    }
    return {};
}

// The list of AOptions into AList, with a word on stderr for what of it could not be read;
// false (said) when there is no list to check.
bool LoadCheckList(const TCheckOptions& AOptions, TMonitorList& AList)
{
    TMonitorListExtras Extras;
    if (const std::string Failure = ReadList(AOptions.FileName, AList, Extras); !Failure.empty()) {
        Complain(Failure);
        return false;
    }
    if (Extras.UnreadCount > 0)
        Complain(UnreadBlocksText(AOptions.FileName, Extras.UnreadCount));
    if (Extras.Windows1251Count > 0)
        Complain(Windows1251LinesText(AOptions.FileName, Extras.Windows1251Count));
    // A list with text but no monitor in it is not a list of services that are all well.
    if (AList.empty() && Extras.UnreadCount > 0) {
        Complain(AOptions.FileName + " holds no monitor");
        return false;
    }
    return true;
}

// Named once: neither --watch nor a single pass checks such a monitor until the list is
// mended (a single pass prints it NOT CHECKED and exits 2).
void ComplainBadValues(const TCheckOptions& AOptions, const TMonitorList& AList)
{
    for (const TMonitorEntry& Entry : AList)
        if (Entry.Monitor)
            for (const TBadValue& Bad : Entry.Monitor->BadValues())
                Complain(
                    AOptions.FileName + ": " + Entry.Name + ": " + BadValueText(Bad) + " It is not checked.");
}

// What stops a list read again from replacing the running one: empty when nothing does. A
// reload takes a list whole or not at all, so a block it does not understand or a value a
// key cannot take (which would leave that monitor unchecked) keeps the running list.
std::string ReloadProblems(
    const std::string& AFileName, const TMonitorList& AList, const TMonitorListExtras& AExtras)
{
    if (AExtras.UnreadCount > 0)
        return UnreadBlocksText(AFileName, AExtras.UnreadCount);
    for (const TMonitorEntry& Entry : AList)
        if (Entry.Monitor && !Entry.Monitor->BadValues().empty())
            return AFileName + ": " + Entry.Name + ": " + BadValueText(Entry.Monitor->BadValues().front());
    return {};
}

// The list of AOptions read again into AList, this process's shard of it: what stops it from
// replacing the running list, or empty.
std::string ReadListAgain(const TCheckOptions& AOptions, TMonitorList& AList)
{
    TMonitorListExtras Extras;
    if (std::string Failure = ReadList(AOptions.FileName, AList, Extras); !Failure.empty())
        return Failure;
    if (std::string Problem = ReloadProblems(AOptions.FileName, AList, Extras); !Problem.empty())
        return Problem;
    KeepShard(AList, AOptions.Shard, AOptions.Shards);
    return {};
}

double NowSeconds()
{
    return double(HistoryNowMs()) / 1000;
}

// SIGHUP while watching: the list read again and taken when it is sound; otherwise the
// running list stays, and stderr and the reload gauge say so.
void ReloadOnSignal(const TCheckOptions& AOptions, TStopSignals& ASignals, TCheckRun& ARun,
    TCheckRecording* AHistory, double& ALastSuccess)
{
    if (!ASignals.TakeReload())
        return;
    TMonitorList Fresh;
    if (const std::string Problem = ReadListAgain(AOptions, Fresh); !Problem.empty()) {
        Complain("reload refused, the running list stays: " + Problem);
        ARun.SetReloadState(false, ALastSuccess);
        return;
    }
    const TCheckRun::TReloaded Done = ARun.Reload(std::move(Fresh), AHistory);
    Complain("reloaded " + AOptions.FileName + ": " + std::to_string(Done.Kept) + " kept, "
        + std::to_string(Done.Added) + " new, " + std::to_string(Done.Removed) + " removed");
    ALastSuccess = NowSeconds();
    ARun.SetReloadState(true, ALastSuccess);
}

// --history: the recording of the list's checks, started; nullptr when the history is off
// (said).
std::unique_ptr<TCheckRecording> StartHistory(const TCheckOptions& AOptions)
{
    TCheckRecording::TOptions Recording;
    Recording.Settings = HistorySettingsFromEnvironment();
    Recording.Settings.FileName = HistoryFileOf(AOptions);
    if (!Recording.Settings.Problem.empty())
        Complain(Recording.Settings.Problem);
    if (!Recording.Settings.Enabled) {
        Complain("history is off: VARDEX_HISTORY=off");
        return nullptr;
    }
    Recording.OnDisabled = [](const std::string& AReason) { Complain("history is off: " + AReason); };
    Recording.OnNotice = [](const std::string& ANotice) { Complain(ANotice); };
    auto History = std::make_unique<TCheckRecording>(std::move(Recording));
    History->SetList(AOptions.FileName);
    return History;
}

// --serve: AServer listening, its address said, and ARun publishing to it; with AUptimes the
// status page's uptimes come from the history of the list AListKey. False (said) when the
// address is refused.
bool StartServing(const TCheckOptions& AOptions, const std::string& AListKey, bool AUptimes,
    TMetricsServer& AServer, TCheckRun& ARun)
{
    const std::string Refused = AServer.Start(AOptions.ServeAddress);
    if (!Refused.empty()) {
        Complain(Refused);
        return false;
    }
    const std::string& Host = AOptions.ServeAddress.Host;
    const std::string Shown = Host.find(':') != std::string::npos ? "[" + Host + "]" : Host;
    Complain("serving metrics at http://" + Shown + ":" + std::to_string(AServer.Port()) + "/metrics");
    ARun.SetMetricsServer(&AServer);
    // The status page's 24-hour uptimes, read again once a minute.
    if (AUptimes)
        ARun.OnMinute = [&ARun, &AListKey, File = HistoryFileOf(AOptions)] {
            THistoryReader Reader(File);
            std::unordered_map<std::string, double> Uptimes;
            for (const THistorySummary& One :
                Reader.Summaries(AListKey, HistoryNowMs() - int64_t(24) * 3600000))
                Uptimes[One.Monitor] = One.Uptime();
            ARun.SetUptimes(std::move(Uptimes));
        };
    return true;
}

// The checks of the list, once or watching: the exit status.
int RunChecks(TCheckOptions& AOptions)
{
    // The list's name in the history, for the status page's uptimes and bars.
    const std::string ListKey = AOptions.History ? HistoryListKey(AOptions.FileName) : std::string();
    // Checks that cannot get a descriptor are put off, so the pool is sized to the open-file
    // limit (raised as far as it goes) rather than left to meet it.
    std::string Lowered;
    AOptions.Jobs = FitJobsToDescriptors(AOptions.Jobs, Lowered);
    if (!Lowered.empty())
        Complain(Lowered);
    TMonitorList List;
    if (!LoadCheckList(AOptions, List))
        return CheckExitUsage;
    KeepShard(List, AOptions.Shard, AOptions.Shards);
    ComplainBadValues(AOptions, List);

    // The signals are blocked before the history's writer thread starts, which so inherits
    // the mask; the recorder stops before them, after the run: everything recorded is written
    // before the program ends.
    std::optional<TStopSignals> Signals;
    if (AOptions.Watch)
        Signals.emplace();
    std::unique_ptr<TCheckRecording> History;
    if (AOptions.History)
        History = StartHistory(AOptions);
    // Started after the signals are blocked, so its threads inherit the mask; stopped and
    // joined before they are unblocked.
    TMetricsServer Server;
    // The status page's bars: the last 24 hours from the history, when it is kept, and every
    // check from now on.
    THeartbeat Heartbeat(HistoryNowMs);
    if (AOptions.Serve && History) {
        std::vector<std::string> Names;
        for (const TMonitorEntry& Entry : List)
            Names.push_back(Entry.Name);
        THistoryReader Reader(HistoryFileOf(AOptions));
        Heartbeat.Load(Reader, ListKey, Names);
    }
    TCheckRun Run(AOptions, std::move(List), WriteOutput);
    if (History) {
        Run.AddListener(*History);
        if (Signals)
            Run.Restore(*History);
    }
    if (AOptions.Serve) {
        Run.AddListener(Heartbeat);
        Run.SetHeartbeat(&Heartbeat);
    }
    if (AOptions.Serve && !StartServing(AOptions, ListKey, History != nullptr, Server, Run))
        return CheckExitUsage;
    if (!Signals)
        return Run.RunOnce();
    double LastReload = NowSeconds();
    Run.SetReloadState(true, LastReload);
    Run.OnReload = [&] { ReloadOnSignal(AOptions, *Signals, Run, History.get(), LastReload); };
    const int Status = Run.RunWatch(Signals->Stop(), Signals->StopFd(), Signals->ReloadFd());
    Server.Stop();
    return Status;
}

// --check-config: every problem of the list, one line each; 0 for none, 1 otherwise.
int CheckConfig(const TCheckOptions& AOptions)
{
    TMonitorList List;
    TMonitorListExtras Extras;
    if (const std::string Failure = ReadList(AOptions.FileName, List, Extras); !Failure.empty()) {
        Complain(Failure);
        return CheckExitError;
    }
    std::string Text;
    for (const TListProblem& Problem : Extras.Problems)
        Text += ListProblemText(AOptions.FileName, Problem) + "\n";
    if (!WriteOutput(Text))
        return CheckExitUsage;
    return Extras.Problems.empty() ? CheckExitOK : CheckExitError;
}

} // namespace

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
    if (Options.CheckConfig)
        return CheckConfig(Options);
    if (Options.Report)
        return RunHistoryReport(Options, HistoryListKey(Options.FileName));
    return RunChecks(Options);
}
