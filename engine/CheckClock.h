// The two clocks of the checks, handed to the engine and the schedule rather than read from
// the process: the wall clock for what is shown, a monotonic clock for intervals and
// durations, so that a clock step (a manual correction, the change to winter time) neither
// stops the checks nor fires them all at once. Tests hand in a clock they move themselves.
#pragma once

#include "net/stack/NetTime.h"

#include <cstdint>

class TCheckClock {
public:
    virtual ~TCheckClock() = default;
    // Local wall-clock time: the last activity, the stamps that vardex-check prints.
    virtual TDateTime WallNow() const = 0;
    // Milliseconds of a clock that never steps. Read from worker threads too.
    virtual int64_t MonotonicMs() const = 0;
};

// The system's clocks: local time, and CLOCK_MONOTONIC.
class TSystemCheckClock final : public TCheckClock {
public:
    TDateTime WallNow() const override;
    int64_t MonotonicMs() const override;
};
