// A check clock that tests move by hand: a wall clock and a monotonic one, read from the
// engine's workers too (hence the atomics).
#pragma once

#include "engine/CheckClock.h"

#include <atomic>
#include <cmath>
#include <cstdint>

class TTestCheckClock final : public TCheckClock {
public:
    explicit TTestCheckClock(TDateTime AWall = 45000.5)
        : FWall(AWall)
    {
    }

    TDateTime WallNow() const override { return FWall.load(); }
    int64_t MonotonicMs() const override { return FTick.load(); }

    // Time passes: both clocks move by ADays.
    void Pass(double ADays)
    {
        FWall.store(FWall.load() + ADays);
        FTick.fetch_add(std::llround(ADays * MSecsPerDay));
    }
    // The wall clock is set by ADays (either way); the monotonic clock does not notice.
    void StepWall(double ADays) { FWall.store(FWall.load() + ADays); }

    TTestCheckClock& operator+=(double ADays)
    {
        Pass(ADays);
        return *this;
    }
    // The wall clock set to AWall as if that much time had passed.
    TTestCheckClock& operator=(TDateTime AWall)
    {
        Pass(AWall - FWall.load());
        return *this;
    }
    operator TDateTime() const { return WallNow(); }

private:
    std::atomic<TDateTime> FWall;
    std::atomic<int64_t> FTick { 1000000 };
};
