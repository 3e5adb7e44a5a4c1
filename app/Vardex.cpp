#include "app/Application.h"
#include "app/Main.h"
#include "engine/Descriptors.h"

#include <QSocketNotifier>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <string>
#include <unistd.h>

namespace {

// SIGTERM and SIGINT are answered like Exit, except that nobody can be asked about unsaved
// changes: they go to the list's recovery file. The handler only writes a byte, and the event
// loop closes the window, which cancels the checks in flight and joins their threads.
int GSignalPipe[2] = { -1, -1 };

void OnStopSignal(int)
{
    const char Byte = 1;
    (void)!::write(GSignalPipe[1], &Byte, 1);
}

// "--jobs N" (before Qt's own options): the most checks that run at once. 0 when absent,
// -1 when the value is not a number from 1 to 1024.
long JobsOption(int AArgc, char** AArgv)
{
    for (int I = 1; I < AArgc; ++I) {
        if (std::strcmp(AArgv[I], "--jobs") != 0)
            continue;
        if (I + 1 >= AArgc)
            return -1;
        char* End = nullptr;
        const long Jobs = std::strtol(AArgv[I + 1], &End, 10);
        return *AArgv[I + 1] != '\0' && *End == '\0' && Jobs >= 1 && Jobs <= 1024 ? Jobs : -1;
    }
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    // The TLS library writes to its sockets without MSG_NOSIGNAL: a peer that closes in the
    // middle of a write must fail that write, not end the program.
    signal(SIGPIPE, SIG_IGN);
    const long Jobs = JobsOption(argc, argv);
    if (Jobs < 0) {
        std::fputs("vardex: --jobs needs a number from 1 to 1024\n", stderr);
        return 2;
    }
    TApplication Application(argc, argv);
    TEngineOptions Engine;
    if (Jobs > 0)
        Engine.Workers = static_cast<size_t>(Jobs);
    // The pool fits the open-file limit, raised as far as it goes.
    std::string Lowered;
    Engine.Workers = FitJobsToDescriptors(Engine.Workers, Lowered);
    if (!Lowered.empty())
        std::fprintf(stderr, "vardex: %s\n", Lowered.c_str());
    TfmMain fmMain(nullptr, {}, std::move(Engine));

    // Without the pipe the signals keep their default action: the process ends at once.
    std::unique_ptr<QSocketNotifier> Stop;
    if (::pipe2(GSignalPipe, O_CLOEXEC | O_NONBLOCK) == 0) {
        Stop = std::make_unique<QSocketNotifier>(GSignalPipe[0], QSocketNotifier::Read);
        QObject::connect(Stop.get(), &QSocketNotifier::activated, &fmMain, [&fmMain] {
            fmMain.CloseWithoutAsking();
            QApplication::quit();
        });
        struct sigaction Action { };
        Action.sa_handler = OnStopSignal;
        Action.sa_flags = SA_RESTART;
        sigemptyset(&Action.sa_mask);
        sigaction(SIGTERM, &Action, nullptr);
        sigaction(SIGINT, &Action, nullptr);
    }

    fmMain.show();
    return Application.exec();
}
