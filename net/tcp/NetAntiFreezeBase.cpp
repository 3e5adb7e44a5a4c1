#include "net/tcp/NetAntiFreezeBase.h"

#include "net/stack/NetSocketHandle.h"

#include <atomic>
#include <thread>

namespace {

std::atomic<TNetAntiFreezeBase*> GCurrentAntiFreeze { nullptr };
// Static initialisation runs on the thread that starts the program, before main: that thread
// is the one that owns the application's messages.
const std::thread::id GMainThreadId = std::this_thread::get_id();

// The slice length of the socket handle's waits: the anti-freeze's IdleTimeOut where one is in
// force on this thread.
int32_t SliceLength()
{
    const TNetAntiFreezeBase* Current = TNetAntiFreezeBase::CurrentAntiFreeze();
    return TNetAntiFreezeBase::IsInForce() && Current ? Current->IdleTimeOut : 0;
}

} // namespace

TNetAntiFreezeBase::TNetAntiFreezeBase(TComponent* AOwner)
    : TNetBaseComponent(AOwner)
{
    SetNetWaitYield({ &SliceLength, &TNetAntiFreezeBase::YieldToApplication });
    GCurrentAntiFreeze.store(this);
}

TNetAntiFreezeBase::~TNetAntiFreezeBase()
{
    GCurrentAntiFreeze.store(nullptr);
}

TNetAntiFreezeBase* TNetAntiFreezeBase::CurrentAntiFreeze()
{
    return GCurrentAntiFreeze.load();
}

bool TNetAntiFreezeBase::IsInForce()
{
    // The thread test comes first: other threads never look at the anti-freeze's fields.
    if (std::this_thread::get_id() != GMainThreadId)
        return false;
    TNetAntiFreezeBase* Current = GCurrentAntiFreeze.load();
    return Current && Current->Active;
}

void TNetAntiFreezeBase::YieldToApplication(bool AIdle, bool AOverride)
{
    if (!IsInForce())
        return;
    TNetAntiFreezeBase* Current = GCurrentAntiFreeze.load();
    if ((AIdle || !Current->OnlyWhenIdle || AOverride) && Current->Active)
        Current->Pump();
}
