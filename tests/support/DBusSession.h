// A private session bus for one test program: dbus-daemon with a configuration of its own
// (no service files, so nothing is started on demand) listening in a fresh temporary folder,
// ended and reaped with the object. Plain POSIX, for Qt Test and GoogleTest programs alike.
#pragma once

#include "support/TempFolder.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <string>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

class TPrivateSessionBus {
public:
    TPrivateSessionBus()
    {
        if (FTemp.Path().empty())
            return;
        FFolder = FTemp.Path();
        const std::string Config = FFolder + "/bus.conf";
        std::ofstream(Config)
            << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
               " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
               "<busconfig><type>session</type>"
               "<listen>unix:dir="
            << FFolder
            << "</listen><auth>EXTERNAL</auth>"
               "<policy context=\"default\"><allow send_destination=\"*\" eavesdrop=\"true\"/>"
               "<allow eavesdrop=\"true\"/><allow own=\"*\"/></policy></busconfig>\n";
        // Everything the child needs is made before the fork: a threaded parent may call only
        // async-signal-safe functions in the child.
        const std::string Program = FindProgram("dbus-daemon");
        const std::string ConfigArg = "--config-file=" + Config;
        const char* Argv[] = { Program.c_str(), ConfigArg.c_str(), "--nofork", "--print-address=3", nullptr };
        const pid_t Parent = getpid();
        int Pipe[2];
        if (Program.empty() || pipe2(Pipe, O_CLOEXEC) != 0)
            return;
        FPid = fork();
        if (FPid == 0) {
            // The bus ends with the test program even when that crashes or is killed.
            prctl(PR_SET_PDEATHSIG, SIGTERM);
            if (getppid() != Parent)
                _exit(1);
            // dup2 onto itself would leave the close-on-exec flag set.
            if (Pipe[1] == 3)
                fcntl(3, F_SETFD, 0);
            else
                dup2(Pipe[1], 3);
            execv(Argv[0], const_cast<char* const*>(Argv));
            _exit(127);
        }
        close(Pipe[1]);
        // The address comes as one line once the bus listens; five seconds at most.
        std::string Line;
        for (;;) {
            pollfd Wait { Pipe[0], POLLIN, 0 };
            if (poll(&Wait, 1, 5000) <= 0)
                break;
            char C;
            const ssize_t Got = read(Pipe[0], &C, 1);
            if (Got < 0 && errno == EINTR)
                continue;
            if (Got <= 0 || C == '\n')
                break;
            Line += C;
        }
        close(Pipe[0]);
        FAddress = Line;
    }

    ~TPrivateSessionBus()
    {
        if (FPid > 0) {
            kill(FPid, SIGTERM);
            waitpid(FPid, nullptr, 0);
        }
    }

    TPrivateSessionBus(const TPrivateSessionBus&) = delete;
    TPrivateSessionBus& operator=(const TPrivateSessionBus&) = delete;

    // The bus's address, as DBUS_SESSION_BUS_ADDRESS takes it; empty when it did not start.
    const std::string& Address() const { return FAddress; }
    // A folder of the test's own, removed with the bus.
    const std::string& Folder() const { return FFolder; }

private:
    // AName's full path in PATH; empty when it is not there.
    static std::string FindProgram(const std::string& AName)
    {
        const char* Path = std::getenv("PATH");
        std::string Dirs = Path ? Path : "/usr/bin:/bin";
        size_t Start = 0;
        for (;;) {
            const size_t End = Dirs.find(':', Start);
            const std::string Candidate = Dirs.substr(Start, End - Start) + "/" + AName;
            if (access(Candidate.c_str(), X_OK) == 0)
                return Candidate;
            if (End == std::string::npos)
                return {};
            Start = End + 1;
        }
    }

    testsupport::TTempFolder FTemp { "vardex-bus" };
    pid_t FPid = -1;
    std::string FFolder;
    std::string FAddress;
};
