// Time as the whole program counts it: a date-time is a double whose whole part counts
// days since 1899-12-30 and whose fraction is the time of day, in local time; 0 = never.
// Now() reads one replaceable clock, so schedules and expiry are tested without waiting.
#pragma once

#include <cstdint>
#include <functional>

using TDateTime = double;

constexpr double MSecsPerDay = 86400000.0;
constexpr double SecsPerDay = 86400.0;

bool TryEncodeDate(int AYear, int AMonth, int ADay, TDateTime& AResult);
bool TryEncodeTime(int AHour, int AMin, int ASec, int AMSec, TDateTime& AResult);
// Both raise ENetConvertError on an invalid date or time.
TDateTime EncodeDate(int AYear, int AMonth, int ADay);
TDateTime EncodeTime(int AHour, int AMin, int ASec, int AMSec);
void DecodeDate(TDateTime ADate, int& AYear, int& AMonth, int& ADay);
void DecodeTime(TDateTime ATime, int& AHour, int& AMin, int& ASec, int& AMSec);
// 1 = Sunday ... 7 = Saturday.
int DayOfWeek(TDateTime ADate);

// Local wall-clock time, millisecond resolution, from the current clock.
TDateTime Now();
// The real local time, whatever clock is installed.
TDateTime SystemNow();
// Installs a clock (tests); an empty function restores the system clock.
void SetNowClock(std::function<TDateTime()> AClock);

// Conversions between Unix time (seconds, UTC) and local date-time values.
TDateTime UnixToLocalDateTime(double AUnixSeconds);
double LocalDateTimeToUnix(TDateTime ADateTime);

// Milliseconds from a monotonic clock, as a 32-bit count that wraps.
uint32_t GetTickCount();
