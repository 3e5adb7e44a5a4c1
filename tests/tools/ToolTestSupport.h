// Helpers of the vardex-check tests: the program run as a child process with bounded waits
// and a strict reader of flat JSON objects.
#pragma once

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
using testsupport::ReadWholeFile;
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

// One flat JSON object read strictly: string and integer values only, keys in their order.
// Fails on anything else, on raw control characters or invalid UTF-8 inside a string, and
// on text after the object.
struct TJsonObject {
    std::vector<std::pair<std::string, std::string>> Fields; // numbers as their text
    std::string Error;

    std::vector<std::string> Keys() const
    {
        std::vector<std::string> Result;
        for (const auto& Field : Fields)
            Result.push_back(Field.first);
        return Result;
    }
    std::string operator[](const std::string& AKey) const
    {
        for (const auto& Field : Fields)
            if (Field.first == AKey)
                return Field.second;
        return "(missing)";
    }
};

namespace detail {

inline void AppendUtf8(std::string& AText, uint32_t ACode)
{
    if (ACode < 0x80) {
        AText.push_back(static_cast<char>(ACode));
    } else if (ACode < 0x800) {
        AText.push_back(static_cast<char>(0xC0 | ACode >> 6));
        AText.push_back(static_cast<char>(0x80 | (ACode & 0x3F)));
    } else if (ACode < 0x10000) {
        AText.push_back(static_cast<char>(0xE0 | ACode >> 12));
        AText.push_back(static_cast<char>(0x80 | (ACode >> 6 & 0x3F)));
        AText.push_back(static_cast<char>(0x80 | (ACode & 0x3F)));
    } else {
        AText.push_back(static_cast<char>(0xF0 | ACode >> 18));
        AText.push_back(static_cast<char>(0x80 | (ACode >> 12 & 0x3F)));
        AText.push_back(static_cast<char>(0x80 | (ACode >> 6 & 0x3F)));
        AText.push_back(static_cast<char>(0x80 | (ACode & 0x3F)));
    }
}

// Whether AText is valid UTF-8, decoded by hand rather than by the code under test.
inline bool ValidUtf8(const std::string& AText)
{
    size_t I = 0;
    while (I < AText.size()) {
        const auto C = static_cast<unsigned char>(AText[I]);
        size_t More = 0;
        uint32_t Code = 0;
        uint32_t Min = 0;
        if (C < 0x80) {
            ++I;
            continue;
        } else if ((C & 0xE0) == 0xC0) {
            More = 1, Code = C & 0x1F, Min = 0x80;
        } else if ((C & 0xF0) == 0xE0) {
            More = 2, Code = C & 0x0F, Min = 0x800;
        } else if ((C & 0xF8) == 0xF0) {
            More = 3, Code = C & 0x07, Min = 0x10000;
        } else {
            return false;
        }
        if (I + More >= AText.size())
            return false;
        for (size_t K = 1; K <= More; ++K) {
            const auto D = static_cast<unsigned char>(AText[I + K]);
            if ((D & 0xC0) != 0x80)
                return false;
            Code = Code << 6 | (D & 0x3F);
        }
        if (Code < Min || Code > 0x10FFFF || (Code >= 0xD800 && Code <= 0xDFFF))
            return false;
        I += More + 1;
    }
    return true;
}

} // namespace detail

inline TJsonObject ParseJsonObject(const std::string& AText)
{
    TJsonObject Object;
    size_t I = 0;
    const auto Fail = [&Object, &I](const std::string& AWhat) {
        Object.Error = AWhat + " at " + std::to_string(I);
        return Object;
    };
    const auto Blank = [&] {
        while (
            I < AText.size() && (AText[I] == ' ' || AText[I] == '\t' || AText[I] == '\n' || AText[I] == '\r'))
            ++I;
    };
    const auto Hex4 = [&](uint32_t& ACode) {
        if (I + 4 > AText.size())
            return false;
        ACode = 0;
        for (int K = 0; K < 4; ++K) {
            const char H = AText[I++];
            ACode <<= 4;
            if (H >= '0' && H <= '9')
                ACode |= static_cast<uint32_t>(H - '0');
            else if (H >= 'a' && H <= 'f')
                ACode |= static_cast<uint32_t>(H - 'a' + 10);
            else if (H >= 'A' && H <= 'F')
                ACode |= static_cast<uint32_t>(H - 'A' + 10);
            else
                return false;
        }
        return true;
    };
    const auto String = [&](std::string& AValue) {
        if (I >= AText.size() || AText[I] != '"')
            return false;
        ++I;
        std::string Raw; // the unescaped bytes, checked for UTF-8 as a whole
        for (;;) {
            if (I >= AText.size())
                return false;
            const auto C = static_cast<unsigned char>(AText[I]);
            if (C == '"') {
                ++I;
                break;
            }
            if (C < 0x20)
                return false;
            if (C != '\\') {
                Raw.push_back(static_cast<char>(C));
                AValue.push_back(static_cast<char>(C));
                ++I;
                continue;
            }
            if (++I >= AText.size())
                return false;
            const char E = AText[I++];
            switch (E) {
            case '"':
            case '\\':
            case '/':
                AValue.push_back(E);
                break;
            case 'b':
                AValue.push_back('\b');
                break;
            case 'f':
                AValue.push_back('\f');
                break;
            case 'n':
                AValue.push_back('\n');
                break;
            case 'r':
                AValue.push_back('\r');
                break;
            case 't':
                AValue.push_back('\t');
                break;
            case 'u': {
                uint32_t Code = 0;
                if (!Hex4(Code))
                    return false;
                if (Code >= 0xD800 && Code <= 0xDBFF) {
                    uint32_t Low = 0;
                    if (I + 2 > AText.size() || AText[I] != '\\' || AText[I + 1] != 'u')
                        return false;
                    I += 2;
                    if (!Hex4(Low) || Low < 0xDC00 || Low > 0xDFFF)
                        return false;
                    Code = 0x10000 + ((Code - 0xD800) << 10) + (Low - 0xDC00);
                } else if (Code >= 0xDC00 && Code <= 0xDFFF) {
                    return false;
                }
                detail::AppendUtf8(AValue, Code);
                break;
            }
            default:
                return false;
            }
        }
        return detail::ValidUtf8(Raw);
    };

    Blank();
    if (I >= AText.size() || AText[I] != '{')
        return Fail("no object");
    ++I;
    Blank();
    if (I < AText.size() && AText[I] == '}') {
        ++I;
    } else {
        for (;;) {
            Blank();
            std::string Key;
            if (!String(Key))
                return Fail("bad key");
            Blank();
            if (I >= AText.size() || AText[I] != ':')
                return Fail("no colon");
            ++I;
            Blank();
            std::string Value;
            if (I < AText.size() && AText[I] == '"') {
                if (!String(Value))
                    return Fail("bad string");
            } else {
                const size_t Start = I;
                if (I < AText.size() && AText[I] == '-')
                    ++I;
                while (I < AText.size() && AText[I] >= '0' && AText[I] <= '9')
                    ++I;
                Value = AText.substr(Start, I - Start);
                if (Value.empty() || Value == "-" || (Value.size() > 1 && Value[Value[0] == '-'] == '0'))
                    return Fail("bad value");
            }
            Object.Fields.emplace_back(std::move(Key), std::move(Value));
            Blank();
            if (I < AText.size() && AText[I] == ',') {
                ++I;
                continue;
            }
            if (I < AText.size() && AText[I] == '}') {
                ++I;
                break;
            }
            return Fail("no comma or end");
        }
    }
    Blank();
    if (I != AText.size())
        return Fail("text after the object");
    return Object;
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
