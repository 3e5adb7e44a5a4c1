// vardex-check: checks the monitors of a monitor list from a terminal or a script, once or on
// the window's schedule, with the same monitor code as the window.
#pragma once

#include "monitors/Schedule.h"
#include "tools/CheckReport.h"

#include <atomic>
#include <functional>
#include <string>
#include <vector>

struct TCheckOptions {
    bool Watch = false;
    bool Json = false;
    bool Help = false;
    bool Version = false;
    std::string FileName = "default.cfg";
};

// Reads the arguments after the program name into AOptions. Returns an empty text when they
// are sound, otherwise what is wrong with them (one line, without the program's name).
std::string ParseCheckOptions(const std::vector<std::string>& AArgs, TCheckOptions& AOptions);

// The text of --help.
const std::string& CheckUsageText();

// Exit statuses.
constexpr int CheckExitOK = 0;
constexpr int CheckExitError = 1;
constexpr int CheckExitUsage = 2;

// One run of the program over a loaded list. Output goes through the writer, one line (with
// its line end) per call; a writer that fails ends the run.
class TCheckRun {
public:
    using TWriter = std::function<bool(const std::string& ALine)>;

    TCheckRun(const TCheckOptions& AOptions, TMonitorList& AList, TWriter AWriter);

    // Checks every monitor once in list order, whatever its interval, and prints a line as
    // each check ends. CheckExitOK when every monitor ended OK (an empty list included),
    // CheckExitError otherwise, CheckExitUsage when the output failed.
    int RunOnce();

    // The window's schedule: a tick every second, the first one second after the start; a
    // line whenever a check ends with another status than the monitor's previous check gave
    // (its first check always prints). Returns CheckExitOK once AStop is set (checked between
    // checks) or AStopFd becomes readable (while waiting for the next tick); CheckExitUsage
    // when the output failed.
    int RunWatch(const std::atomic<bool>& AStop, int AStopFd);

    bool OutputFailed() const { return FOutputFailed; }

private:
    void CheckMonitor(TServiceMonitor& AMonitor);
    const std::string& NameOf(const TServiceMonitor& AMonitor) const;
    void Print(const TCheckReport& AReport);

    TCheckOptions FOptions;
    TMonitorList& FList;
    TWriter FWriter;
    TCheckSchedule FSchedule;
    const std::atomic<bool>* FStop = nullptr;
    bool FOutputFailed = false;
};

// The whole program: arguments, the list, the run, and the exit status.
int VardexCheckMain(int AArgc, char** AArgv);
