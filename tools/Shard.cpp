#include "tools/Shard.h"

uint32_t MonitorShard(const std::string& AName, const std::string& ATarget, uint32_t AShards)
{
    // FNV-1a, 64 bits: fixed by its definition, unlike std::hash, so every machine agrees.
    uint64_t Hash = 14695981039346656037ull;
    const auto Add = [&](unsigned char AByte) {
        Hash ^= AByte;
        Hash *= 1099511628211ull;
    };
    for (const char C : AName)
        Add(static_cast<unsigned char>(C));
    Add(0);
    for (const char C : ATarget)
        Add(static_cast<unsigned char>(C));
    return static_cast<uint32_t>(Hash % AShards);
}

void KeepShard(TMonitorList& AList, uint32_t AShard, uint32_t AShards)
{
    if (AShards <= 1)
        return;
    std::erase_if(AList, [&](const TMonitorEntry& AEntry) {
        // An entry without a monitor (a block not understood) is sharded by its name alone.
        const std::string Target = AEntry.Monitor ? AEntry.Monitor->Target(tfFull) : std::string();
        return MonitorShard(AEntry.Name, Target, AShards) != AShard - 1;
    });
}
