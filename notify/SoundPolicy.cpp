#include "notify/SoundPolicy.h"

#include <algorithm>
#include <utility>

TSoundPolicy::TSoundPolicy(TClock AClock)
    : FClock(std::move(AClock))
{
}

std::optional<TAlarmSound> TSoundPolicy::Notified(bool AOK)
{
    const TAlarmSound Sound = AOK ? TAlarmSound::asRecovery : TAlarmSound::asFailure;
    // The same sound again within the gap adds nothing to what was just heard.
    if (!FHeld && FLastMs && FClock() - *FLastMs < GapMs && Sound == FLast)
        return std::nullopt;
    FHeld = FHeld ? std::max(*FHeld, Sound) : Sound;
    return Due();
}

std::optional<TAlarmSound> TSoundPolicy::Due()
{
    if (!FHeld)
        return std::nullopt;
    const int64_t Now = FClock();
    if (FLastMs && Now - *FLastMs < GapMs)
        return std::nullopt;
    FLastMs = Now;
    FLast = *FHeld;
    return std::exchange(FHeld, std::nullopt);
}

int64_t TSoundPolicy::NextDueMs() const
{
    if (!FHeld)
        return -1;
    return FLastMs ? *FLastMs + GapMs : FClock();
}
