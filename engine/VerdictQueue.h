// A verdict sink for an owner that runs its own loop (vardex-check, the engine's tests): the
// workers append, the owner drains. Fd becomes readable when verdicts wait, so the loop can
// wait on it beside its other descriptors.
#pragma once

#include "engine/CheckEngine.h"

#include <chrono>
#include <deque>
#include <mutex>
#include <optional>
#include <vector>

class TVerdictQueue final : public TVerdictSink {
public:
    TVerdictQueue();
    ~TVerdictQueue() override;
    TVerdictQueue(const TVerdictQueue&) = delete;
    TVerdictQueue& operator=(const TVerdictQueue&) = delete;

    // Any thread.
    void Post(TCheckVerdict AVerdict) override;
    // The owner: every verdict that has arrived, oldest first; clears the descriptor.
    std::vector<TCheckVerdict> Drain();
    // Waits up to ATimeout (without limit when empty) for a verdict; true when one waits.
    bool Wait(std::optional<std::chrono::milliseconds> ATimeout) const;
    int Fd() const { return FFd; }

private:
    int FFd = -1;
    // Guards FVerdicts; the eventfd's count only ever says "look".
    std::mutex FLock;
    std::deque<TCheckVerdict> FVerdicts;
};
