// Helpers of the vardex-check tests: the program run as a child process with bounded waits.
#pragma once

#include "support/Json.h"
#include "support/Net.h"
#include "support/ScriptedServer.h"
#include "support/TempFolder.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace tooltest {

using nettest::EnterPrivateNetwork;
using nettest::TFd;
using nettest::THttpTestServer;
using testsupport::ParseJsonObject;
using testsupport::ReadWholeFile;
using testsupport::TJsonObject;
using testsupport::TTempFolder;

// A program run with its standard output and error on pipes and its input on /dev/null.
class TChildProcess {
public:
    TChildProcess(
        const std::string& AProgram, const std::vector<std::string>& AArgs, const std::string& AFolder)
    {
        int Out[2];
        int Err[2];
        if (pipe2(Out, O_CLOEXEC) != 0 || pipe2(Err, O_CLOEXEC) != 0)
            return;
        // Everything the child needs is made before the fork: a threaded parent may call only
        // async-signal-safe functions in the child.
        std::vector<char*> Argv;
        Argv.push_back(const_cast<char*>(AProgram.c_str()));
        for (const std::string& Arg : AArgs)
            Argv.push_back(const_cast<char*>(Arg.c_str()));
        Argv.push_back(nullptr);
        FPid = fork();
        if (FPid == 0) {
            const int Null = open("/dev/null", O_RDONLY);
            dup2(Null, STDIN_FILENO);
            dup2(Out[1], STDOUT_FILENO);
            dup2(Err[1], STDERR_FILENO);
            if (chdir(AFolder.c_str()) != 0)
                _exit(125);
            execv(AProgram.c_str(), Argv.data());
            _exit(126);
        }
        ::close(Out[1]);
        ::close(Err[1]);
        FOut.Reset(Out[0]);
        FErr.Reset(Err[0]);
    }
    ~TChildProcess()
    {
        if (FPid > 0 && !FEnded) {
            kill(FPid, SIGKILL);
            int Status = 0;
            while (waitpid(FPid, &Status, 0) < 0 && errno == EINTR) { }
        }
    }
    TChildProcess(const TChildProcess&) = delete;
    TChildProcess& operator=(const TChildProcess&) = delete;

    bool Started() const { return FPid > 0; }
    pid_t Pid() const { return FPid; }
    void Signal(int ASignal) const { kill(FPid, ASignal); }

    // The next line of the standard output, without its line end; false when none comes
    // within AMilliseconds or the output ends first.
    bool ReadLine(std::string& ALine, int AMilliseconds)
    {
        const auto Deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(AMilliseconds);
        for (;;) {
            const size_t End = FOutText.find('\n', FLinePos);
            if (End != std::string::npos) {
                ALine = FOutText.substr(FLinePos, End - FLinePos);
                FLinePos = End + 1;
                return true;
            }
            const auto Left = std::chrono::duration_cast<std::chrono::milliseconds>(
                Deadline - std::chrono::steady_clock::now())
                                  .count();
            if (Left <= 0 || !Pump(static_cast<int>(Left)))
                return false;
        }
    }

    // True when the program is still running after AMilliseconds (its output is read meanwhile).
    bool StillRunningAfter(int AMilliseconds)
    {
        const auto Deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(AMilliseconds);
        while (std::chrono::steady_clock::now() < Deadline) {
            if (Reap(false))
                return false;
            Pump(20);
        }
        return !Reap(false);
    }

    // Waits up to AMilliseconds for the program to end, reading all its output. Its exit
    // status; 128 + the signal when a signal ended it; -1 when it did not end in time (it is
    // killed then).
    int Finish(int AMilliseconds)
    {
        const auto Deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(AMilliseconds);
        while (FOut.Get() >= 0 || FErr.Get() >= 0) {
            const auto Left = std::chrono::duration_cast<std::chrono::milliseconds>(
                Deadline - std::chrono::steady_clock::now())
                                  .count();
            if (Left <= 0)
                break;
            Pump(static_cast<int>(Left));
        }
        while (!Reap(false)) {
            if (std::chrono::steady_clock::now() >= Deadline) {
                kill(FPid, SIGKILL);
                Reap(true);
                return -1;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return FExit;
    }

    const std::string& Out() const { return FOutText; }
    const std::string& Err() const { return FErrText; }

private:
    // Reads what is there within AMilliseconds; false once neither pipe can give more.
    bool Pump(int AMilliseconds)
    {
        if (FOut.Get() < 0 && FErr.Get() < 0)
            return false;
        pollfd Wait[2] = { { FOut.Get(), POLLIN, 0 }, { FErr.Get(), POLLIN, 0 } };
        const int Ready = poll(Wait, 2, AMilliseconds);
        if (Ready < 0)
            return errno == EINTR;
        if (Ready == 0)
            return true;
        Drain(Wait[0], FOut, FOutText);
        Drain(Wait[1], FErr, FErrText);
        return true;
    }
    static void Drain(const pollfd& AWait, TFd& AFd, std::string& AText)
    {
        if (AFd.Get() < 0 || AWait.revents == 0)
            return;
        char Buffer[4096];
        const ssize_t N = read(AFd.Get(), Buffer, sizeof Buffer);
        if (N > 0)
            AText.append(Buffer, static_cast<size_t>(N));
        else if (N == 0 || errno != EINTR)
            AFd.Reset();
    }
    bool Reap(bool AWait)
    {
        if (FEnded)
            return true;
        int Status = 0;
        const pid_t R = waitpid(FPid, &Status, AWait ? 0 : WNOHANG);
        if (R != FPid)
            return false;
        FEnded = true;
        FExit = WIFEXITED(Status) ? WEXITSTATUS(Status) : 128 + WTERMSIG(Status);
        return true;
    }

    pid_t FPid = -1;
    TFd FOut;
    TFd FErr;
    std::string FOutText;
    std::string FErrText;
    size_t FLinePos = 0;
    bool FEnded = false;
    int FExit = -1;
};

struct TRun {
    int Status = -1;
    std::string Out;
    std::string Err;
};

// Runs the program to its end (at most AMilliseconds).
inline TRun RunToEnd(const std::string& AProgram, const std::vector<std::string>& AArgs,
    const std::string& AFolder, int AMilliseconds = 30000)
{
    TChildProcess Child(AProgram, AArgs, AFolder);
    TRun Run;
    Run.Status = Child.Finish(AMilliseconds);
    Run.Out = Child.Out();
    Run.Err = Child.Err();
    return Run;
}

// The lines of AText, each without its line end (a last line without one counts too).
inline std::vector<std::string> Lines(const std::string& AText)
{
    std::vector<std::string> Result;
    size_t Start = 0;
    while (Start < AText.size()) {
        size_t End = AText.find('\n', Start);
        if (End == std::string::npos)
            End = AText.size();
        Result.push_back(AText.substr(Start, End - Start));
        Start = End + 1;
    }
    return Result;
}

inline std::vector<std::string> Fields(const std::string& ALine)
{
    std::vector<std::string> Result;
    size_t Start = 0;
    for (;;) {
        const size_t Tab = ALine.find('\t', Start);
        Result.push_back(ALine.substr(Start, Tab == std::string::npos ? std::string::npos : Tab - Start));
        if (Tab == std::string::npos)
            return Result;
        Start = Tab + 1;
    }
}

} // namespace tooltest
