// The monitors the operator deleted while the program runs, kept for Ctrl+Z with their
// settings, status and history, and put back where they stood.
#pragma once

#include "engine/Monitoring.h"

#include <cstddef>
#include <optional>
#include <vector>

class TMonitorHistory;

class TDeletedMonitors {
public:
    // Both outlive this object.
    TDeletedMonitors(TMonitoring& AMonitoring, TMonitorHistory& AHistory);

    // Takes the monitor AKey out of the list and keeps it: a check of it that runs is
    // cancelled (it works on a copy, and its verdict will find no monitor), and its
    // notifications held back are dropped. False when it is not listed.
    bool Delete(const TServiceMonitor* AKey);
    // Puts the monitor deleted last back where it stood (or at the end of a shorter list);
    // its list position, or nothing when none is kept.
    std::optional<size_t> Undo();
    bool Empty() const { return FDeleted.empty(); }

private:
    struct TDeleted {
        size_t Index;
        TMonitorEntry Entry;
    };
    TMonitoring& FMonitoring;
    TMonitorHistory& FHistory;
    // The last one deleted last.
    std::vector<TDeleted> FDeleted;
};
