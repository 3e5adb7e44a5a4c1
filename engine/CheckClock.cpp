#include "engine/CheckClock.h"

#include <chrono>

TDateTime TSystemCheckClock::WallNow() const
{
    return SystemNow();
}

int64_t TSystemCheckClock::MonotonicMs() const
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}
