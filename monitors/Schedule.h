// The check timer's rules without a display: the due rule and one tick over a monitor list.
// The window runs them from its one-second timer, vardex-check --watch from its own loop, so
// both check the same monitors at the same moments.
#pragma once

#include "monitors/MonitorList.h"

#include <functional>
#include <memory>
#include <vector>

// True when AMonitor's interval has run out at ANow: the interval is positive and ANow is
// strictly later than the last check plus the interval, summed in days as
// (LastCheck * 86400 + Interval) / 86400.
bool IsMonitorDue(const TServiceMonitor& AMonitor, TDateTime ANow);

// Checks run on the caller's thread, and a monitor's SetStatus may run pending events, so a
// tick, a manual check, a delete or a save can run nested inside any check. Three rules keep
// that sound:
// - A monitor whose check runs is marked as checking; nested ticks and manual checks leave it
//   alone (its status, msChecking, still counts for the alarm), so no monitor is ever checked
//   twice at once, however long its check takes.
// - The list holds its monitors by shared pointer and a running check holds one more. A
//   delete removes the entry at once; the monitor itself is freed when its check returns.
// - A tick goes through a snapshot of the list taken at its start (weak pointers, in list
//   order), never through indexes into the live list: deletes and creates in nested handlers
//   can neither shift it nor carry it past the end. An entry deleted before its turn is
//   skipped; one deleted during its own check no longer counts for the alarm.
class TCheckSchedule {
public:
    // One tick over AList, the live list that nested handlers may change: every listed
    // monitor that is due and not already being checked is stamped with the current time and
    // checked, one after another in list order. Returns the alarm: whether any monitor still
    // listed is in msError at the end. An exception escaping a check ends the tick there.
    bool Tick(const TMonitorList& AList);

    // Stamps AMonitor with the current time, then checks it. The caller makes sure that it is
    // not being checked already (IsChecking).
    void RunCheck(const std::shared_ptr<TServiceMonitor>& AMonitor);

    bool IsChecking(const TServiceMonitor* AMonitor) const;

    // Runs one check of a monitor that RunCheck has stamped; when empty, its Check is called.
    // A caller that wants to time checks or see their outcome wraps Check here.
    std::function<void(TServiceMonitor& AMonitor)> OnCheck;

private:
    // Monitors whose check is running, innermost last.
    std::vector<const TServiceMonitor*> FChecking;
};
