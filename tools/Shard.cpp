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
        std::string Target;
        if (const auto* Ping = dynamic_cast<const TPingMonitor*>(AEntry.Monitor.get()))
            Target = Ping->IP();
        else if (const auto* Web = dynamic_cast<const TWebMonitor*>(AEntry.Monitor.get()))
            Target = Web->URL();
        else if (const auto* Tcp = dynamic_cast<const TTcpMonitor*>(AEntry.Monitor.get()))
            Target = Tcp->Target();
        else if (const auto* Dns = dynamic_cast<const TDnsMonitor*>(AEntry.Monitor.get()))
            Target = Dns->Target();
        return MonitorShard(AEntry.Name, Target, AShards) != AShard - 1;
    });
}
