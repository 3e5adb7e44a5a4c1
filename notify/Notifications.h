// Desktop notifications of status changes: which change is worth a notification (the
// policy, no GUI), and the seam to the desktop that shows it.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

// One notification to show.
struct TNotification {
    std::string Monitor; // the monitor's name
    bool OK = false; // the new status: OK, or ERROR
    std::string Reason; // why it failed; empty for OK
    // The status changes this notification stands for: 1, or more when a flapping monitor's
    // changes were folded into one.
    int Changes = 1;
    // For a change back to OK: how long the monitor was down, from the start of its first
    // failed check to the start of the check that succeeded; -1 when that is not known.
    int64_t DownMs = -1;

    bool operator==(const TNotification&) const = default;
};

// Decides, from the verdicts of the checks, what to tell the operator:
// - a change to ERROR (also the first verdict of a monitor, when it is ERROR), and a change
//   back to OK; nothing while a status stands, and nothing for a first verdict of OK;
// - at most one notification per monitor per minute: changes within the minute after a
//   notification are held and folded into one at the minute's end, carrying the number of
//   changes and the status and reason at that moment. So a flapping monitor gives one
//   notification a minute, and one that flapped back to where it was still says so.
// Monitors are told apart by a key of the owner's (the monitor's address), so that two
// monitors of one name are two monitors. One thread only.
class TNotificationPolicy {
public:
    // Monotonic milliseconds.
    using TClock = std::function<int64_t()>;

    static constexpr int64_t MinGapMs = 60000;

    explicit TNotificationPolicy(TClock AClock);
    TNotificationPolicy(const TNotificationPolicy&) = delete;
    TNotificationPolicy& operator=(const TNotificationPolicy&) = delete;

    // A check of the monitor AKey, named AName, that started at AStartMs (Unix milliseconds)
    // ended OK or not. Returns what to show now.
    std::vector<TNotification> Verdict(const void* AKey, const std::string& AName, bool AOK,
        const std::string& AReason, int64_t AStartMs = -1);
    // What an earlier run last told of the monitor AKey: it was OK or not, and down since
    // ADownSinceMs (Unix milliseconds; -1 when not known). Its next verdict is a change only
    // against that, so a failure that outlived a restart is not announced again.
    void Restore(const void* AKey, const std::string& AName, bool AOK, int64_t ADownSinceMs);
    // The operator acknowledged the failure of AKey: what it held back is dropped. Its return
    // to OK is still announced.
    void Acknowledge(const void* AKey);
    // The held notifications whose minute is over.
    std::vector<TNotification> Due();
    // The monotonic time at which Due has something next; -1 when nothing is held.
    int64_t NextDueMs() const;
    // The monitor AKey is gone: what it held is dropped, and the key may be used again.
    void Forget(const void* AKey);

private:
    struct TState {
        std::string Name;
        bool OK = true;
        std::string Reason;
        int64_t LastSentMs = 0;
        bool Sent = false;
        int Held = 0; // changes since the last notification
        int64_t DownSinceMs = -1; // the start of the first failed check of this outage
        int64_t DownMs = -1; // how long the last outage lasted, once it is over
    };

    TNotification Send(TState& AState, int64_t ANow);

    TClock FClock;
    // Elements of an unordered_map keep their addresses, so the states that hold changes are
    // found without a look at every monitor's: a window applies a verdict at every check.
    std::unordered_map<const void*, TState> FStates;
    std::unordered_set<TState*> FHeld;
};

// Where the verdicts of the checks go to become notifications: the policy with something that
// shows what it decides (TDesktopNotifications on the window's thread). Calls come on the
// thread that applies the verdicts.
class TNotificationFeed {
public:
    virtual ~TNotificationFeed() = default;
    // As TNotificationPolicy's operations of the same names.
    virtual void Verdict(
        const void* AKey, const std::string& AName, bool AOK, const std::string& AReason, int64_t AStartMs)
        = 0;
    virtual void Restore(const void* AKey, const std::string& AName, bool AOK, int64_t ADownSinceMs) = 0;
    virtual void Acknowledge(const void* AKey) = 0;
    virtual void Forget(const void* AKey) = 0;
};

// The desktop's notifications. Show never blocks and never raises, whether a notification
// service runs or not; TDBusNotifier is the real one, tests use a recording stand-in.
class TDesktopNotifier {
public:
    virtual ~TDesktopNotifier() = default;
    virtual void Show(const TNotification& ANotification) = 0;
};
