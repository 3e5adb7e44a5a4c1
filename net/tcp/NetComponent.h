// The base of every networking component: a status event with fixed texts, byte counting
// with begin/progress/end events, and the shared socket stack, which exists exactly while at
// least one networking component does.
#pragma once

#include "net/stack/NetClasses.h"

#include <array>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>
#include <string_view>

// Adds nothing to TComponent; the common root of the networking components and the
// anti-freeze.
class TNetBaseComponent : public TComponent {
public:
    explicit TNetBaseComponent(TComponent* AOwner = nullptr)
        : TComponent(AOwner)
    {
    }
};

enum class TNetStatus {
    hsResolving,
    hsConnecting,
    hsConnected,
    hsDisconnecting,
    hsDisconnected,
    hsStatusText,
    ftpTransfer,
    ftpReady,
    ftpAborted,
};

// Message format of each status, indexed by TNetStatus (resources a translation may replace).
inline constexpr std::array<const char*, 9> StatusFormats = {
    "Resolving hostname %s.",
    "Connecting to %s.",
    "Connected.",
    "Disconnecting.",
    "Disconnected.",
    "%s",
    "%s",
    "%s",
    "%s",
};

enum class TWorkMode { wmRead, wmWrite };

// One phase of counted work per mode: bytes so far, the total announced when it opened
// (0 = not given), and how many phases are open (they nest).
struct TWorkInfo {
    int32_t Count = 0;
    int32_t CountMax = 0;
    int32_t Level = 0;
};

using TNetStatusEvent
    = std::function<void(TComponent* ASender, TNetStatus AStatus, const std::string& AStatusText)>;
using TWorkBeginEvent = std::function<void(TComponent* Sender, TWorkMode AWorkMode, int32_t AWorkCountMax)>;
using TWorkEvent = std::function<void(TComponent* Sender, TWorkMode AWorkMode, int32_t AWorkCount)>;
using TWorkEndEvent = std::function<void(TComponent* Sender, TWorkMode AWorkMode)>;

class TNetComponent : public TNetBaseComponent {
public:
    // The first networking component alive creates GSocketStack (raises what the stack's
    // start-up raises).
    explicit TNetComponent(TComponent* AOwner = nullptr);
    // Frees the owned components first, then the stack when this was the last component.
    ~TNetComponent() override;

    // Calls OnStatus, when assigned, with the status's format filled in: each "%s" takes the
    // next argument (none left: empty), "%%" is a percent sign, extra arguments are ignored.
    // Without arguments the one argument is the empty text. Costs nothing without a handler.
    void ReportStatus(TNetStatus AStatus);
    void ReportStatus(TNetStatus AStatus, std::initializer_list<std::string_view> AArgs);

    // Opens a phase (only the outermost one resets the count and raises OnWorkBegin).
    virtual void StartWork(TWorkMode AWorkMode, int32_t AWorkCountMax);
    // Adds to the count of the open phase and raises OnWork with the running total; ignored
    // when no phase is open.
    virtual void StepWork(TWorkMode AWorkMode, int32_t ACount);
    // Closes a phase; the outermost raises OnWorkEnd. Pair every StartWork with one call.
    virtual void FinishWork(TWorkMode AWorkMode);

    const TWorkInfo& WorkInfo(TWorkMode AWorkMode) const { return FWorkInfo[static_cast<size_t>(AWorkMode)]; }

    TNetStatusEvent OnStatus;
    TWorkEvent OnWork;
    TWorkBeginEvent OnWorkBegin;
    TWorkEndEvent OnWorkEnd;

private:
    TWorkInfo& Info(TWorkMode AWorkMode) { return FWorkInfo[static_cast<size_t>(AWorkMode)]; }

    std::array<TWorkInfo, 2> FWorkInfo {};
};
