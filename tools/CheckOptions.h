// vardex-check's command line: its options, its help text and its exit statuses.
#pragma once

#include "engine/CheckEngine.h"
#include "tools/MetricsServer.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

struct TCheckOptions {
    bool Watch = false;
    bool Json = false;
    bool Help = false;
    bool Version = false;
    // --check-config: the list's problems, one line each; nothing is checked.
    bool CheckConfig = false;
    // The most checks that run at once.
    size_t Jobs = TCheckEngine::DefaultWorkers;
    // Record every check into the history file (DefaultHistoryFile).
    bool History = false;
    // Print what the history says about the list's monitors instead of checking them.
    bool Report = false;
    // --history-dir DIR: the history is DIR/history.sqlite rather than the user's.
    std::string HistoryDir;
    // How far back --report looks, in milliseconds; --since.
    int64_t SinceMs = 24 * 3600000;
    bool SinceGiven = false;
    std::string FileName = "default.cfg";
    // --serve [HOST:]PORT: serve /metrics there while watching (it implies --watch).
    bool Serve = false;
    TListenAddress ServeAddress;
    // --prometheus FILE: the metrics written to FILE after every pass; empty for none.
    std::string PrometheusFile;
    // --shard K/N: only the monitors in shard K (1 to N) of N; N 1 checks them all.
    uint32_t Shard = 1;
    uint32_t Shards = 1;
    // --label NAME=VALUE, repeatable: labels added to every series, in the order given.
    std::vector<std::pair<std::string, std::string>> Labels;
};

// Reads the arguments after the program name into AOptions. Returns an empty text when they
// are sound, otherwise what is wrong with them (one line, without the program's name).
std::string ParseCheckOptions(const std::vector<std::string>& AArgs, TCheckOptions& AOptions);

// The history file that --history and --report use: in --history-dir when given, else the
// environment's (DefaultHistoryFile).
std::string HistoryFileOf(const TCheckOptions& AOptions);

// The text of --help.
const std::string& CheckUsageText();

// Exit statuses.
constexpr int CheckExitOK = 0;
constexpr int CheckExitError = 1;
constexpr int CheckExitUsage = 2;
