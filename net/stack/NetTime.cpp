#include "net/stack/NetTime.h"

#include "net/stack/NetException.h"

#include <chrono>
#include <cmath>
#include <ctime>
#include <mutex>

namespace {

bool IsLeapYear(int Y)
{
    return (Y % 4 == 0) && (Y % 100 != 0 || Y % 400 == 0);
}

int DaysInMonth(int Y, int M)
{
    static const int Days[12] = { 31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31 };
    return M == 2 && IsLeapYear(Y) ? 29 : Days[M - 1];
}

// Days from 0001-01-01 to 1899-12-30.
constexpr int DateDelta = 693594;

std::mutex GClockLock;
std::function<TDateTime()> GClock;

} // namespace

bool TryEncodeDate(int AYear, int AMonth, int ADay, TDateTime& AResult)
{
    if (AYear < 1 || AYear > 9999 || AMonth < 1 || AMonth > 12 || ADay < 1
        || ADay > DaysInMonth(AYear, AMonth))
        return false;
    int D = ADay;
    for (int M = 1; M < AMonth; ++M)
        D += DaysInMonth(AYear, M);
    int Y = AYear - 1;
    long Days = static_cast<long>(Y) * 365 + Y / 4 - Y / 100 + Y / 400 + D;
    AResult = static_cast<double>(Days - DateDelta);
    return true;
}

bool TryEncodeTime(int AHour, int AMin, int ASec, int AMSec, TDateTime& AResult)
{
    if (AHour < 0 || AHour > 23 || AMin < 0 || AMin > 59 || ASec < 0 || ASec > 59 || AMSec < 0 || AMSec > 999)
        return false;
    AResult = (AHour * 3600000.0 + AMin * 60000.0 + ASec * 1000.0 + AMSec) / MSecsPerDay;
    return true;
}

TDateTime EncodeDate(int AYear, int AMonth, int ADay)
{
    TDateTime R;
    if (!TryEncodeDate(AYear, AMonth, ADay, R))
        throw ENetConvertError("Invalid argument to date encode");
    return R;
}

TDateTime EncodeTime(int AHour, int AMin, int ASec, int AMSec)
{
    TDateTime R;
    if (!TryEncodeTime(AHour, AMin, ASec, AMSec, R))
        throw ENetConvertError("Invalid argument to time encode");
    return R;
}

void DecodeDate(TDateTime ADate, int& AYear, int& AMonth, int& ADay)
{
    long T = static_cast<long>(std::floor(ADate)) + DateDelta; // days since 0001-01-01, day 1 = Jan 1
    if (T <= 0) {
        AYear = AMonth = ADay = 0;
        return;
    }
    --T;
    long Y = 1;
    const long D400 = 146097, D100 = 36524, D4 = 1461;
    Y += (T / D400) * 400;
    T %= D400;
    long C = T / D100;
    if (C == 4)
        C = 3;
    Y += C * 100;
    T -= C * D100;
    Y += (T / D4) * 4;
    T %= D4;
    long I = T / 365;
    if (I == 4)
        I = 3;
    Y += I;
    T -= I * 365;
    int M = 1;
    while (T >= DaysInMonth(static_cast<int>(Y), M)) {
        T -= DaysInMonth(static_cast<int>(Y), M);
        ++M;
    }
    AYear = static_cast<int>(Y);
    AMonth = M;
    ADay = static_cast<int>(T) + 1;
}

void DecodeTime(TDateTime ATime, int& AHour, int& AMin, int& ASec, int& AMSec)
{
    double Frac = ATime - std::floor(ATime);
    long long Ms = std::llround(Frac * MSecsPerDay);
    if (Ms >= 86400000)
        Ms = 86399999;
    AHour = static_cast<int>(Ms / 3600000);
    AMin = static_cast<int>(Ms / 60000 % 60);
    ASec = static_cast<int>(Ms / 1000 % 60);
    AMSec = static_cast<int>(Ms % 1000);
}

int DayOfWeek(TDateTime ADate)
{
    // 1899-12-30 was a Saturday.
    long D = static_cast<long>(std::floor(ADate));
    long R = ((D - 1) % 7 + 7) % 7; // 0 = Sunday
    return static_cast<int>(R) + 1;
}

TDateTime UnixToLocalDateTime(double AUnixSeconds)
{
    time_t Whole = static_cast<time_t>(std::floor(AUnixSeconds));
    double Frac = AUnixSeconds - static_cast<double>(Whole);
    struct tm Tm { };
    localtime_r(&Whole, &Tm);
    TDateTime D = 0, T = 0;
    if (!TryEncodeDate(Tm.tm_year + 1900, Tm.tm_mon + 1, Tm.tm_mday, D))
        return 0;
    TryEncodeTime(Tm.tm_hour, Tm.tm_min, Tm.tm_sec > 59 ? 59 : Tm.tm_sec, 0, T);
    return D + T + Frac / SecsPerDay;
}

double LocalDateTimeToUnix(TDateTime ADateTime)
{
    int Y, Mo, D, H, Mi, S, Ms;
    DecodeDate(ADateTime, Y, Mo, D);
    DecodeTime(ADateTime, H, Mi, S, Ms);
    struct tm Tm { };
    Tm.tm_year = Y - 1900;
    Tm.tm_mon = Mo - 1;
    Tm.tm_mday = D;
    Tm.tm_hour = H;
    Tm.tm_min = Mi;
    Tm.tm_sec = S;
    // The fields read as UTC, less the zone's offset at that moment, which localtime_r tells
    // (asked twice, for a moment near a change of the offset). Not mktime: it reads the zone
    // file again at every call, and the window converts the start of every check.
    const time_t AsUtc = timegm(&Tm);
    time_t Result = AsUtc;
    for (int Round = 0; Round < 2; ++Round) {
        struct tm Local { };
        localtime_r(&Result, &Local);
        Result = AsUtc - Local.tm_gmtoff;
    }
    return static_cast<double>(Result) + Ms / 1000.0;
}

TDateTime SystemNow()
{
    using namespace std::chrono;
    auto Ms = duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
    return UnixToLocalDateTime(static_cast<double>(Ms) / 1000.0);
}

TDateTime Now()
{
    std::function<TDateTime()> Clock;
    {
        std::lock_guard<std::mutex> L(GClockLock);
        Clock = GClock;
    }
    return Clock ? Clock() : SystemNow();
}

void SetNowClock(std::function<TDateTime()> AClock)
{
    std::lock_guard<std::mutex> L(GClockLock);
    GClock = std::move(AClock);
}

uint32_t GetTickCount()
{
    using namespace std::chrono;
    auto Ms = duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
    return static_cast<uint32_t>(Ms);
}
