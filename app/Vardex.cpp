#include "app/Application.h"
#include "app/CommandLine.h"
#include "app/Main.h"
#include "engine/Descriptors.h"

#include <QSocketNotifier>

#include <csignal>
#include <cstdio>
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

} // namespace

int main(int argc, char** argv)
{
    // The TLS library writes to its sockets without MSG_NOSIGNAL: a peer that closes in the
    // middle of a write must fail that write, not end the program.
    signal(SIGPIPE, SIG_IGN);
    // Before the application object, which needs a display.
    const TCommandLine Line = ParseCommandLine(argc, argv);
    if (!Line.Error.empty()) {
        std::fprintf(stderr, "vardex: %s\n", Line.Error.c_str());
        return 2;
    }
    if (Line.Help || Line.Version) {
        std::fputs(Line.Help ? CommandLineHelp : "vardex " VARDEX_VERSION "\n", stdout);
        return std::fflush(stdout) == 0 ? 0 : 2;
    }
    TApplication Application(argc, argv);
    TEngineOptions Engine;
    if (Line.Jobs > 0)
        Engine.Workers = static_cast<size_t>(Line.Jobs);
    // The pool fits the open-file limit, raised as far as it goes.
    std::string Lowered;
    Engine.Workers = FitJobsToDescriptors(Engine.Workers, Lowered);
    if (!Lowered.empty())
        std::fprintf(stderr, "vardex: %s\n", Lowered.c_str());
    TfmMain fmMain(nullptr, {}, std::move(Engine), Line.ListFile);

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
