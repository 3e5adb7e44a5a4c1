#include "tools/CheckTool.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstring>
#include <exception>
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
    for (const std::string& Arg : AArgs) {
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
            else
                return "unknown option '" + Arg + "'";
            continue;
        }
        if (HaveFile)
            return "one monitor list at most: '" + AOptions.FileName + "' and '" + Arg + "' given";
        AOptions.FileName = Arg;
        HaveFile = true;
    }
    return {};
}

const std::string& CheckUsageText()
{
    static const std::string Text = R"(Usage: vardex-check [--watch] [--json] [FILE]
Checks the monitors of a Vardex monitor list from a terminal or a script, with the same
code as the window. FILE is read as the window reads its list; without it, default.cfg in
the current directory.

Without --watch every monitor is checked once, in list order, whatever its interval, and a
line is printed as each check ends, six fields separated by tabs:
  NAME  KIND  TARGET  STATUS  MS  REASON
KIND is PingMonitor or WebMonitor, TARGET the host or the URL. STATUS is OK or ERROR, or
UNKNOWN for a check that gave no verdict (a ping monitor whose Retry is 0 or less sends
nothing). MS is the time the check took in milliseconds. REASON tells why an ERROR check
failed and is empty otherwise. A tab inside a field is printed as a blank, and so is each
run of line breaks.

Options:
  --watch    Check on the window's schedule until SIGINT or SIGTERM: a tick every second
             (the first one second after the start) checks, in list order, each monitor
             whose interval (seconds) has run out since the start of its previous check;
             a monitor whose interval is 0 or less is never checked. A line is printed
             when a check ends with another status than the monitor's previous check gave,
             and for each monitor's first check. Each line begins with the local time the
             check started, YYYY-MM-DD HH:MM:SS, and a tab. The first signal stops the
             program after the check in progress, a second one at once.
  --json     Print each line as one JSON object instead, with the same facts:
               {"name":"...","kind":"...","target":"...","status":"OK","ms":12,"reason":""}
             under --watch with "time" first. Strings are UTF-8; a byte that is not valid
             UTF-8 is given as U+FFFD.
  -h, --help Print this help and exit.
  --version  Print the version and exit.
  --         Take what follows as FILE, even when it begins with "-".

Exit status:
  0  every monitor ended OK (an empty list too); under --watch, stopped by a signal
  1  at least one monitor ended ERROR or UNKNOWN
  2  a wrong option or argument, a list that cannot be opened or read, or output that
     cannot be written
)";
    return Text;
}

TCheckRun::TCheckRun(const TCheckOptions& AOptions, TMonitorList& AList, TWriter AWriter)
    : FOptions(AOptions)
    , FList(AList)
    , FWriter(std::move(AWriter))
{
    FSchedule.OnCheck = [this](TServiceMonitor& AMonitor) { CheckMonitor(AMonitor); };
}

const std::string& TCheckRun::NameOf(const TServiceMonitor& AMonitor) const
{
    static const std::string None;
    for (const TMonitorEntry& Entry : FList)
        if (Entry.Monitor.get() == &AMonitor)
            return Entry.Name;
    return None;
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

void TCheckRun::CheckMonitor(TServiceMonitor& AMonitor)
{
    // Stamped by the schedule but left alone: the run is ending.
    if (FOutputFailed || (FStop && FStop->load()))
        return;
    const TMonitorStatus Before = AMonitor.Status();
    const auto Start = std::chrono::steady_clock::now();
    try {
        AMonitor.Check();
    } catch (const std::exception& E) {
        // A probe that could not even start: there is no error report to show it in, so it
        // is this monitor's error.
        AMonitor.SetLastError(E.what());
        AMonitor.SetStatus(msError);
    } catch (...) {
        AMonitor.SetLastError("Unknown error.");
        AMonitor.SetStatus(msError);
    }
    const double Took
        = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - Start).count();
    if (!FOptions.Watch || AMonitor.Status() != Before)
        Print(MakeCheckReport(NameOf(AMonitor), AMonitor, std::llround(Took)));
}

int TCheckRun::RunOnce()
{
    // A copy: the list does not change here, but the run must not depend on that.
    const TMonitorList Pass = FList;
    for (const TMonitorEntry& Entry : Pass) {
        if (Entry.Monitor)
            FSchedule.RunCheck(Entry.Monitor);
        if (FOutputFailed)
            return CheckExitUsage;
    }
    const bool AllOK = std::all_of(Pass.begin(), Pass.end(),
        [](const TMonitorEntry& AEntry) { return !AEntry.Monitor || AEntry.Monitor->Status() == msOK; });
    return AllOK ? CheckExitOK : CheckExitError;
}

int TCheckRun::RunWatch(const std::atomic<bool>& AStop, int AStopFd)
{
    using TClock = std::chrono::steady_clock;
    FStop = &AStop;
    TClock::time_point Next = TClock::now() + std::chrono::seconds(1);
    for (;;) {
        // Wait for the tick. Ticks missed while checks ran are not made up: when the next one
        // is already due it runs at once, and the count starts again from there.
        for (;;) {
            if (AStop.load())
                return CheckExitOK;
            const TClock::time_point Now = TClock::now();
            if (Now >= Next)
                break;
            const auto Left = std::chrono::ceil<std::chrono::milliseconds>(Next - Now).count();
            pollfd Wait { AStopFd, POLLIN, 0 };
            (void)::poll(&Wait, 1, static_cast<int>(Left));
        }
        FSchedule.Tick(FList);
        if (FOutputFailed)
            return CheckExitUsage;
        Next += std::chrono::seconds(1);
        Next = std::max(Next, TClock::now());
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

    TCheckRun Run(Options, List, WriteOutput);
    if (!Options.Watch)
        return Run.RunOnce();
    TStopSignals Signals;
    return Run.RunWatch(Signals.Stop(), Signals.StopFd());
}
