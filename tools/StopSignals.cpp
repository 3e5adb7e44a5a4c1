#include "tools/StopSignals.h"

#include <cerrno>
#include <cstdint>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

TStopSignals::TStopSignals()
{
    sigemptyset(&FSignals);
    sigaddset(&FSignals, SIGINT);
    sigaddset(&FSignals, SIGTERM);
    sigaddset(&FSignals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &FSignals, &FOldMask);
    FSignalFd = signalfd(-1, &FSignals, SFD_CLOEXEC);
    FStopFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    FQuitFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    FReloadFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    FThread = std::thread([this] { Watch(); });
}

TStopSignals::~TStopSignals()
{
    Post(FQuitFd);
    FThread.join();
    ::close(FSignalFd);
    ::close(FStopFd);
    ::close(FQuitFd);
    ::close(FReloadFd);
    pthread_sigmask(SIG_SETMASK, &FOldMask, nullptr);
}

void TStopSignals::Post(int AFd)
{
    const uint64_t One = 1;
    (void)!::write(AFd, &One, sizeof One);
}

void TStopSignals::Watch()
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
        if (Signal == SIGHUP) {
            Post(FReloadFd);
            continue;
        }
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

bool TStopSignals::TakeReload()
{
    uint64_t Count = 0;
    return ::read(FReloadFd, &Count, sizeof Count) == static_cast<ssize_t>(sizeof Count) && Count > 0;
}
