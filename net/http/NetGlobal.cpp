#include "net/http/NetGlobal.h"

#include "net/stack/NetStrings.h"

#include <cmath>
#include <ctime>

namespace {

const char* const GDayNames[7] = { "Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat" };
const char* const GMonthNames[12]
    = { "Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec" };

int NameIndex(const std::string& AName, const char* const* ANames, int ACount)
{
    for (int I = 0; I < ACount; ++I)
        if (SameText(AName, ANames[I]))
            return I + 1;
    return 0;
}

} // namespace

int DayNameIndex(const std::string& AName)
{
    return NameIndex(AName, GDayNames, 7);
}

int MonthNameIndex(const std::string& AName)
{
    return NameIndex(AName, GMonthNames, 12);
}

TDateTime ParseInternetDate(std::string& AText)
{
    std::string& S = AText;
    S = Trim(S);
    if (S.empty())
        return 0;
    if (DayNameIndex(S.substr(0, 3)) > 0) {
        Fetch(S, " ");
        S = TrimLeft(S);
    }
    // "06-Nov-94" separates its fields with dashes, every other form with blanks.
    std::string Delim = " ";
    size_t Dash = S.find('-');
    size_t Blank = S.find(' ');
    if (Dash != std::string::npos && Dash >= 1 && (Blank == std::string::npos || Dash < Blank))
        Delim = "-";

    int Day, Month;
    if (MonthNameIndex(Fetch(S, Delim, false)) > 0) {
        Month = MonthNameIndex(Fetch(S, Delim));
        S = TrimLeft(S);
        Day = StrToIntDef(Fetch(S, Delim), 1);
        S = TrimLeft(S);
    } else {
        Day = StrToIntDef(Fetch(S, Delim), 1);
        S = TrimLeft(S);
        Month = MonthNameIndex(Fetch(S, Delim));
        S = TrimLeft(S);
    }

    // The asctime form puts the time before the year: then the year is what follows.
    std::string Word = Fetch(S, " ");
    int Year;
    if (!TryStrToInt(Word, Year) || Year == 1900) {
        Year = StrToIntDef(S, 1900);
        S = Word;
    }
    if (Year < 80)
        Year += 2000;
    else if (Year < 100)
        Year += 1900;

    TDateTime Result;
    if (!TryEncodeDate(Year, Month, Day, Result)) {
        // Nothing usable is left either, so the caller applies no zone to the failed date.
        S.clear();
        return 0;
    }
    if (S.find(':') != std::string::npos) {
        std::string Time = Fetch(S, " ");
        int Hour = StrToIntDef(Fetch(Time, ":"), 0);
        int Min = StrToIntDef(Fetch(Time, ":"), 0);
        int Sec = StrToIntDef(Fetch(Time, ":"), 0);
        TDateTime T;
        if (!TryEncodeTime(Hour, Min, Sec, 0, T)) {
            S.clear();
            return 0;
        }
        Result += T;
    }
    S = TrimLeft(S);
    return Result;
}

TDateTime ParseGmtOffset(const std::string& AText)
{
    std::string S = Trim(AText).substr(0, 5);
    if (S.empty() || (S[0] != '+' && S[0] != '-'))
        return 0;
    int Hours, Mins;
    TDateTime Result;
    if (S.size() < 5 || !TryStrToInt(S.substr(1, 2), Hours) || !TryStrToInt(S.substr(3, 2), Mins)
        || !TryEncodeTime(Hours, Mins, 0, 0, Result))
        return 0;
    return S[0] == '-' ? -Result : Result;
}

TDateTime InternetDateToLocal(const std::string& AText)
{
    TDateTime Result;
    TryInternetDateToLocal(AText, Result);
    return Result;
}

bool TryInternetDateToLocal(const std::string& AText, TDateTime& ADate)
{
    std::string S = AText;
    TDateTime Result = ParseInternetDate(S);
    // Short remainders ("GMT", "UT", "Z") all mean UTC.
    TDateTime Offset = S.size() > 4 ? ParseGmtOffset(S) : 0;
    ADate = Result - Offset + LocalUtcOffset();
    return Result != 0;
}

TDateTime LocalUtcOffset()
{
    time_t T = time(nullptr);
    struct tm Tm { };
    if (T == static_cast<time_t>(-1) || !localtime_r(&T, &Tm))
        throw ENetFailedToRetreiveTimeZoneInfo("Failed attempting to retrieve time zone information.");
    return static_cast<double>(Tm.tm_gmtoff) / SecsPerDay;
}

std::string FormatGmtOffset(TDateTime AOffset, bool AIsGmt)
{
    if (!std::isfinite(AOffset))
        AOffset = 0;
    if (AOffset == 0 && AIsGmt)
        return "GMT";
    int Hour, Min, Sec, MSec;
    DecodeTime(std::fabs(AOffset), Hour, Min, Sec, MSec);
    std::string Result = FormatStr(" %.2d%.2d", Hour, Min);
    Result[0] = AOffset >= 0 ? '+' : '-';
    return Result;
}

std::string FormatInternetDate(TDateTime ADateTime, bool AIsGmt)
{
    // 0001-01-01 00:00:00 and 9999-12-31 23:59:59.
    constexpr TDateTime First = -693593.0;
    constexpr TDateTime Last = 2958465.0 + 86399.0 / SecsPerDay;
    if (!(ADateTime >= First))
        ADateTime = First;
    else if (ADateTime > Last)
        ADateTime = Last;
    int Year, Month, Day, Hour, Min, Sec, MSec;
    DecodeDate(ADateTime, Year, Month, Day);
    DecodeTime(ADateTime, Hour, Min, Sec, MSec);
    return FormatStr("%s, %d %s %d %02d:%02d:%02d %s", GDayNames[DayOfWeek(ADateTime) - 1], Day,
        GMonthNames[Month - 1], Year, Hour, Min, Sec, FormatGmtOffset(LocalUtcOffset(), AIsGmt).c_str());
}
