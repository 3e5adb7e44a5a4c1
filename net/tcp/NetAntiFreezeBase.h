// An optional object that keeps the application responsive while the main thread waits on
// the network: blocking waits cut themselves into slices and let it pump pending messages.
#pragma once

#include "net/tcp/NetComponent.h"

#include <cstdint>

class TNetAntiFreezeBase : public TNetBaseComponent {
public:
    // Becomes the anti-freeze in force (a later one replaces an earlier one).
    explicit TNetAntiFreezeBase(TComponent* AOwner = nullptr);
    // Leaves no anti-freeze in force, whichever one is destroyed.
    ~TNetAntiFreezeBase() override;

    // The anti-freeze in force, or nullptr.
    static TNetAntiFreezeBase* CurrentAntiFreeze();
    // True only on the main thread, with an anti-freeze in force and Active.
    static bool IsInForce();
    // Pumps when in force and (AIdle, or not OnlyWhenIdle, or AOverride).
    static void YieldToApplication(bool AIdle = true, bool AOverride = false);

    // Processes pending application messages.
    virtual void Pump() = 0;

    bool Active = true;
    bool ApplicationHasPriority = true;
    // Length of one slice of a wait, in milliseconds.
    int32_t IdleTimeOut = 250;
    bool OnlyWhenIdle = true;
};
