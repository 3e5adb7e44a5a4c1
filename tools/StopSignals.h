// The signals that stop vardex-check's watch.
#pragma once

#include <atomic>
#include <csignal>
#include <thread>

// SIGINT and SIGTERM while --watch runs. They are blocked in every thread of the program
// (the mask is set before any other thread starts and threads inherit it) and read by one
// thread of their own, so no system call inside a check is ever interrupted. The first one
// asks the run to stop after the check in progress; a second one ends the program at once,
// as the signal's default action would, for a check that hangs on a slow peer. SIGHUP, read
// the same way, asks for the list to be read again (Prometheus's exporters do so); it never
// ends the program.
class TStopSignals {
public:
    TStopSignals();
    ~TStopSignals();

    TStopSignals(const TStopSignals&) = delete;
    TStopSignals& operator=(const TStopSignals&) = delete;

    // Set by the first signal.
    const std::atomic<bool>& Stop() const { return FStop; }
    // Readable once Stop is set.
    int StopFd() const { return FStopFd; }
    // Readable after a SIGHUP until TakeReload.
    int ReloadFd() const { return FReloadFd; }
    // Whether a SIGHUP came since the last call; makes ReloadFd quiet again.
    bool TakeReload();

private:
    static void Post(int AFd);
    void Watch();

    sigset_t FSignals;
    sigset_t FOldMask;
    int FSignalFd = -1;
    int FStopFd = -1;
    int FQuitFd = -1;
    int FReloadFd = -1;
    std::atomic<bool> FStop { false };
    std::thread FThread;
};
