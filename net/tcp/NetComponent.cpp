#include "net/tcp/NetComponent.h"

#include "net/stack/NetStack.h"

#include <mutex>

TNetComponent::TNetComponent(TComponent* AOwner)
    : TNetBaseComponent(AOwner)
{
    std::lock_guard<std::mutex> Guard(GSocketStackLock);
    if (GSocketStackUsers == 0)
        GSocketStack = TNetStack::MakeStack().release();
    ++GSocketStackUsers;
}

TNetComponent::~TNetComponent()
{
    // Owned components may be networking components that still use the stack.
    DestroyComponents();
    std::lock_guard<std::mutex> Guard(GSocketStackLock);
    if (--GSocketStackUsers == 0) {
        delete GSocketStack;
        GSocketStack = nullptr;
    }
}

void TNetComponent::ReportStatus(TNetStatus AStatus)
{
    ReportStatus(AStatus, {});
}

void TNetComponent::ReportStatus(TNetStatus AStatus, std::initializer_list<std::string_view> AArgs)
{
    if (!OnStatus)
        return;
    const std::string_view Format = StatusFormats[static_cast<size_t>(AStatus)];
    const std::string_view* Arg = AArgs.begin();
    std::string Text;
    for (size_t I = 0; I < Format.size(); ++I) {
        if (Format[I] == '%' && I + 1 < Format.size() && Format[I + 1] == 's') {
            if (Arg != AArgs.end())
                Text += *Arg++;
            ++I;
        } else if (Format[I] == '%' && I + 1 < Format.size() && Format[I + 1] == '%') {
            Text += '%';
            ++I;
        } else {
            Text += Format[I];
        }
    }
    OnStatus(this, AStatus, Text);
}

void TNetComponent::StartWork(TWorkMode AWorkMode, int32_t AWorkCountMax)
{
    TWorkInfo& W = Info(AWorkMode);
    if (++W.Level == 1) {
        W.CountMax = AWorkCountMax;
        W.Count = 0;
        if (OnWorkBegin)
            OnWorkBegin(this, AWorkMode, AWorkCountMax);
    }
}

void TNetComponent::StepWork(TWorkMode AWorkMode, int32_t ACount)
{
    TWorkInfo& W = Info(AWorkMode);
    if (W.Level < 1)
        return;
    // The count is 32 bits; past 2 GiB it wraps rather than overflowing.
    W.Count = static_cast<int32_t>(static_cast<uint32_t>(W.Count) + static_cast<uint32_t>(ACount));
    if (OnWork)
        OnWork(this, AWorkMode, W.Count);
}

void TNetComponent::FinishWork(TWorkMode AWorkMode)
{
    TWorkInfo& W = Info(AWorkMode);
    if (W.Level == 1 && OnWorkEnd)
        OnWorkEnd(this, AWorkMode);
    --W.Level;
}
