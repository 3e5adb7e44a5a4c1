// When the alarm is heard: a sound with each notification of a failure or a recovery, never
// two within GapMs. Within the gap the sound just played is not played again, and another one
// is held and played at the gap's end, one for all of it, a failure before a recovery: ten
// monitors that fail together are one sound, and a recovery or a failure that follows the
// other closely is still heard. Acknowledged failures are silent
// because they are not notified. One thread only.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>

enum class TAlarmSound : uint8_t { asRecovery, asFailure };

class TSoundPolicy {
public:
    // Monotonic milliseconds.
    using TClock = std::function<int64_t()>;

    static constexpr int64_t GapMs = 5000;

    explicit TSoundPolicy(TClock AClock);

    // A notification was shown, of a recovery (AOK) or a failure: the sound to play now, if
    // any; otherwise it waits for Due.
    std::optional<TAlarmSound> Notified(bool AOK);
    // The held sound, once the gap is over.
    std::optional<TAlarmSound> Due();
    // The monotonic time at which Due has something; -1 when nothing is held.
    int64_t NextDueMs() const;

private:
    TClock FClock;
    std::optional<int64_t> FLastMs;
    TAlarmSound FLast = TAlarmSound::asRecovery;
    std::optional<TAlarmSound> FHeld;
};
