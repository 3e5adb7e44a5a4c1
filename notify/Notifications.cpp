#include "notify/Notifications.h"

#include <algorithm>
#include <limits>
#include <utility>

TNotificationPolicy::TNotificationPolicy(TClock AClock)
    : FClock(std::move(AClock))
{
}

TNotification TNotificationPolicy::Send(TState& AState, int64_t ANow)
{
    TNotification Result { AState.Name, AState.OK, AState.OK ? std::string() : AState.Reason, AState.Held,
        AState.OK ? AState.DownMs : -1 };
    AState.Held = 0;
    FHeld.erase(&AState);
    AState.LastSentMs = ANow;
    AState.Sent = true;
    return Result;
}

std::vector<TNotification> TNotificationPolicy::Verdict(
    const void* AKey, const std::string& AName, bool AOK, const std::string& AReason, int64_t AStartMs)
{
    const int64_t Now = FClock();
    auto [Found, New] = FStates.try_emplace(AKey);
    TState& State = Found->second;
    State.Name = AName;
    const bool Changed = New ? !AOK : State.OK != AOK;
    State.OK = AOK;
    State.Reason = AReason;
    if (!Changed)
        return {};
    if (!AOK) {
        State.DownSinceMs = AStartMs;
    } else {
        State.DownMs
            = State.DownSinceMs >= 0 && AStartMs >= State.DownSinceMs ? AStartMs - State.DownSinceMs : -1;
        State.DownSinceMs = -1;
    }
    ++State.Held;
    if (State.Sent && Now - State.LastSentMs < MinGapMs) {
        FHeld.insert(&State);
        return {};
    }
    return { Send(State, Now) };
}

std::vector<TNotification> TNotificationPolicy::Due()
{
    const int64_t Now = FClock();
    std::vector<TNotification> Result;
    std::vector<TState*> Over;
    for (TState* State : FHeld)
        if (Now - State->LastSentMs >= MinGapMs)
            Over.push_back(State);
    for (TState* State : Over)
        Result.push_back(Send(*State, Now));
    return Result;
}

int64_t TNotificationPolicy::NextDueMs() const
{
    int64_t Next = std::numeric_limits<int64_t>::max();
    for (const TState* State : FHeld)
        Next = std::min(Next, State->LastSentMs + MinGapMs);
    return Next == std::numeric_limits<int64_t>::max() ? -1 : Next;
}

void TNotificationPolicy::Restore(const void* AKey, const std::string& AName, bool AOK, int64_t ADownSinceMs)
{
    TState& State = FStates[AKey];
    State.Name = AName;
    State.OK = AOK;
    State.DownSinceMs = AOK ? -1 : ADownSinceMs;
}

void TNotificationPolicy::Acknowledge(const void* AKey)
{
    const auto Found = FStates.find(AKey);
    if (Found == FStates.end())
        return;
    FHeld.erase(&Found->second);
    Found->second.Held = 0;
}

void TNotificationPolicy::Forget(const void* AKey)
{
    const auto Found = FStates.find(AKey);
    if (Found == FStates.end())
        return;
    FHeld.erase(&Found->second);
    FStates.erase(Found);
}
