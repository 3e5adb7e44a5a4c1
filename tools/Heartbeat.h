// The recent past of each monitor as the status page draws it: the last 24 hours in 48 cells
// of half an hour, each with its checks, failures and median response time.
//
// Fed on the owner's thread, from the history of earlier runs at the start and from each
// verdict after. A cell is summed up when it is over, so a monitor keeps the response times of
// its current half hour only: 1000 monitors checked every 10 s hold some 0.7 MB. What a
// snapshot takes is an immutable vector shared with it, rebuilt only for a monitor that had a
// check since (or when a new half hour began), so publishing a snapshot after every verdict
// copies no cells.
#pragma once

#include "engine/Monitoring.h"
#include "tools/Metrics.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

class THistoryReader;

class THeartbeat final : public TMonitoringListener {
public:
    static constexpr int CellCount = 48;
    static constexpr int64_t CellMs = 30 * 60 * 1000;

    // AWallMs gives Unix milliseconds now.
    explicit THeartbeat(std::function<int64_t()> AWallMs);

    // The checks of the last 24 hours that AReader holds for the monitors of AListPath named
    // in ANames.
    void Load(THistoryReader& AReader, const std::string& AListPath, const std::vector<std::string>& ANames);
    // A check of the monitor AName that started at AStartMs.
    void Add(const std::string& AName, int64_t AStartMs, bool AOK, int64_t AResponseMs);
    // The cells of AName up to the half hour that holds the present; null for a monitor with no
    // check in them.
    std::shared_ptr<const THeartbeatCells> Cells(const std::string& AName) const;

    // TMonitoringListener: each verdict applied.
    void Finished(
        const TServiceMonitor& AMonitor, const std::string& AName, const TCheckVerdict& AVerdict) override;

private:
    struct TMonitorBeats {
        // The cells that are over, by their index (start / CellMs), oldest first.
        std::vector<THeartbeatCell> Past;
        // The half hour that checks come in for now, and the response times of its successes.
        int64_t Current = INT64_MIN;
        THeartbeatCell Open;
        std::vector<int32_t> Times;
        // What Cells gave last, and for which half hour; dropped by every check.
        mutable std::shared_ptr<const THeartbeatCells> Shown;
        mutable int64_t ShownFor = INT64_MIN;
    };

    // Sums up AMonitor's open cell into its past, dropping cells older than the 24 hours.
    static void Close(TMonitorBeats& AMonitor, int64_t ANowCell);

    std::function<int64_t()> FWallMs;
    std::unordered_map<std::string, TMonitorBeats> FMonitors;
};
