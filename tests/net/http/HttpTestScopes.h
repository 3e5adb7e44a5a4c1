// Scopes that pin what the date routines depend on, so the tests give the same results on
// every machine: the local zone (TZ) and the clock behind Now().
#pragma once

#include "net/stack/NetTime.h"

#include <cstdlib>
#include <ctime>
#include <string>

class TZoneScope {
public:
    // AZone in the POSIX form: "XST-3" is three hours east of UTC, "XST+5" five hours west.
    explicit TZoneScope(const char* AZone)
    {
        const char* Old = std::getenv("TZ");
        FHadOld = Old != nullptr;
        if (Old)
            FOld = Old;
        setenv("TZ", AZone, 1);
        tzset();
    }
    ~TZoneScope()
    {
        if (FHadOld)
            setenv("TZ", FOld.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }
    TZoneScope(const TZoneScope&) = delete;
    TZoneScope& operator=(const TZoneScope&) = delete;

private:
    bool FHadOld = false;
    std::string FOld;
};

class TClockScope {
public:
    explicit TClockScope(TDateTime ANow)
        : FNow(ANow)
    {
        SetNowClock([this] { return FNow; });
    }
    ~TClockScope() { SetNowClock({}); }
    TClockScope(const TClockScope&) = delete;
    TClockScope& operator=(const TClockScope&) = delete;
    void Set(TDateTime ANow) { FNow = ANow; }

private:
    TDateTime FNow;
};

// Date and time in one value.
inline TDateTime At(int AYear, int AMonth, int ADay, int AHour = 0, int AMin = 0, int ASec = 0)
{
    return EncodeDate(AYear, AMonth, ADay) + EncodeTime(AHour, AMin, ASec, 0);
}

// Equal to well under a second (date-times are days as doubles).
inline bool SameMoment(TDateTime A, TDateTime B)
{
    double D = A - B;
    return D < 1e-7 && D > -1e-7;
}
