// --shard: which of N processes given one list checks which monitor.
#pragma once

#include "monitors/MonitorList.h"

#include <cstdint>
#include <string>

// The shard, 0 to AShards - 1, of a monitor with this name and target (the host, or the URL as
// written). A hash of both that is the same on every machine and every run, so N processes
// given one list and --shard 1/N ... N/N check every monitor exactly once between them.
uint32_t MonitorShard(const std::string& AName, const std::string& ATarget, uint32_t AShards);

// Keeps in AList only the monitors of shard AShard (1 to AShards).
void KeepShard(TMonitorList& AList, uint32_t AShard, uint32_t AShards);
