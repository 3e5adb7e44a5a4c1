#include "HttpTestScopes.h"

#include "net/http/NetGlobal.h"

#include <cmath>
#include <gtest/gtest.h>
#include <limits>

TEST(InternetDate, DayAndMonthNames)
{
    const char* Days[] = { "SUN", "mon", "Tue", "wED", "thu", "Fri", "sat" };
    for (int I = 0; I < 7; ++I)
        EXPECT_EQ(DayNameIndex(Days[I]), I + 1) << Days[I];
    const char* Months[]
        = { "jan", "FEB", "Mar", "apr", "May", "jun", "Jul", "aug", "SEP", "oct", "Nov", "dec" };
    for (int I = 0; I < 12; ++I)
        EXPECT_EQ(MonthNameIndex(Months[I]), I + 1) << Months[I];
    for (const char* Other : { "", "Sunday", "Su", "November", "Nov ", "xyz" }) {
        EXPECT_EQ(DayNameIndex(Other), 0) << Other;
        EXPECT_EQ(MonthNameIndex(Other), 0) << Other;
    }
}

TEST(InternetDate, ParsesTheThreeFormsAndTwoDigitYears)
{
    struct Row {
        const char* Name;
        const char* Text;
        TDateTime Expected;
        const char* Rest;
    };
    const Row Rows[] = {
        { "RFC 1123", "Sun, 06 Nov 1994 08:49:37 GMT", At(1994, 11, 6, 8, 49, 37), "GMT" },
        { "RFC 850", "Sunday, 06-Nov-94 08:49:37 GMT", At(1994, 11, 6, 8, 49, 37), "GMT" },
        { "time before year", "Sun Nov  6 08:49:37 1994", At(1994, 11, 6, 8, 49, 37), "" },
        { "numeric zone", "Thu, 01 Jan 1970 10:00:00 +0200", At(1970, 1, 1, 10, 0, 0), "+0200" },
        { "year 79", "06 Nov 79 10:00:00", At(2079, 11, 6, 10, 0, 0), "" },
        { "year 80", "06 Nov 80 10:00:00", At(1980, 11, 6, 10, 0, 0), "" },
        { "dashes year 79", "06-Nov-79", At(2079, 11, 6), "" },
        { "no time", "Sun, 06 Nov 1994", At(1994, 11, 6), "" },
        { "month first", "Nov 6 1994 01:02:03 GMT", At(1994, 11, 6, 1, 2, 3), "GMT" },
        { "surrounding blanks", "  Sun,  06 Nov 1994 08:49:37   GMT  ", At(1994, 11, 6, 8, 49, 37), "GMT" },
        { "hours only", "06 Nov 1994 08 GMT", At(1994, 11, 6), "08 GMT" },
        { "hours and minutes", "06 Nov 1994 08:49 GMT", At(1994, 11, 6, 8, 49, 0), "GMT" },
        { "day not a number", "xx Nov 1994", At(1994, 11, 1), "" },
        { "empty", "", 0, "" },
        { "blanks", "   ", 0, "" },
        { "garbage", "garbage", 0, "" },
        { "no month", "06 Xyz 1994 08:49:37 GMT", 0, "" },
        { "31 February", "Sun, 31 Feb 1994 08:49:37 GMT", 0, "" },
        { "hour 25", "Sun, 06 Nov 1994 25:00:00 GMT", 0, "" },
        { "second 60", "Sun, 06 Nov 1994 23:59:60 GMT", 0, "" },
        { "year 0 is 2000", "01 Jan 0", At(2000, 1, 1), "" },
        { "year 10000", "01 Jan 10000", 0, "" },
    };
    for (const Row& R : Rows) {
        std::string S = R.Text;
        TDateTime D = ParseInternetDate(S);
        EXPECT_TRUE(SameMoment(D, R.Expected)) << R.Name << ": " << D << " vs " << R.Expected;
        EXPECT_EQ(S, R.Rest) << R.Name;
    }
}

TEST(InternetDate, GmtOffsets)
{
    struct Row {
        const char* Text;
        TDateTime Expected;
    };
    const Row Rows[] = {
        { "+0200", 2.0 / 24 },
        { "-0130", -1.5 / 24 },
        { "  +0200 junk", 2.0 / 24 },
        { "+0000", 0 },
        { "GMT", 0 },
        { "+02", 0 },
        { "+2x00", 0 },
        { "+2400", 0 },
        { "", 0 },
        { "0200", 0 },
        { "-1260", 0 },
    };
    for (const Row& R : Rows)
        EXPECT_TRUE(SameMoment(ParseGmtOffset(R.Text), R.Expected)) << R.Text;
}

TEST(InternetDate, LocalOffsetFollowsTheZone)
{
    {
        TZoneScope Zone("UTC0");
        EXPECT_EQ(LocalUtcOffset(), 0.0);
    }
    {
        TZoneScope Zone("XST-3");
        EXPECT_TRUE(SameMoment(LocalUtcOffset(), 3.0 / 24));
    }
    {
        TZoneScope Zone("XST+5:30");
        EXPECT_TRUE(SameMoment(LocalUtcOffset(), -5.5 / 24));
    }
}

TEST(InternetDate, ToLocalAppliesZoneAndLocalOffset)
{
    TZoneScope Zone("XST-3");
    // GMT (and any remainder of four characters or fewer) means UTC.
    EXPECT_TRUE(
        SameMoment(InternetDateToLocal("Sun, 06 Nov 1994 08:49:37 GMT"), At(1994, 11, 6, 11, 49, 37)));
    EXPECT_TRUE(SameMoment(InternetDateToLocal("Sun, 06 Nov 1994 08:49:37"), At(1994, 11, 6, 11, 49, 37)));
    // +0200 goes two hours back to UTC, then three forward to local time.
    EXPECT_TRUE(
        SameMoment(InternetDateToLocal("Sun, 06 Nov 1994 10:49:37 +0200"), At(1994, 11, 6, 11, 49, 37)));
    EXPECT_TRUE(
        SameMoment(InternetDateToLocal("Sun, 06 Nov 1994 08:49:37 -0100"), At(1994, 11, 6, 12, 49, 37)));
    // A failed date is 0 shifted by the local offset, whatever zone it named.
    EXPECT_TRUE(SameMoment(InternetDateToLocal("Sun, 31 Feb 1994 08:49:37 +0200"), 3.0 / 24));
    EXPECT_TRUE(SameMoment(InternetDateToLocal("-1"), 3.0 / 24));
}

TEST(InternetDate, FormatsOffsetsAndDates)
{
    EXPECT_EQ(FormatGmtOffset(0, true), "GMT");
    EXPECT_EQ(FormatGmtOffset(0, false), "+0000");
    EXPECT_EQ(FormatGmtOffset(2.0 / 24, true), "+0200");
    EXPECT_EQ(FormatGmtOffset(-5.5 / 24, false), "-0530");
    EXPECT_EQ(FormatGmtOffset(std::numeric_limits<double>::quiet_NaN(), false), "+0000");

    {
        TZoneScope Zone("XST-3");
        TDateTime D = At(1994, 11, 6, 8, 49, 37);
        std::string Text = FormatInternetDate(D);
        EXPECT_EQ(Text, "Sun, 6 Nov 1994 08:49:37 +0300");
        EXPECT_TRUE(SameMoment(InternetDateToLocal(Text), D));
        EXPECT_EQ(FormatInternetDate(At(2024, 2, 29, 23, 5, 9)), "Thu, 29 Feb 2024 23:05:09 +0300");
    }
    {
        TZoneScope Zone("UTC0");
        EXPECT_EQ(FormatInternetDate(At(2000, 1, 1), true), "Sat, 1 Jan 2000 00:00:00 GMT");
        EXPECT_EQ(FormatInternetDate(At(2000, 1, 1), false), "Sat, 1 Jan 2000 00:00:00 +0000");
        // Dates outside the calendar are written as its first or last second.
        EXPECT_EQ(FormatInternetDate(1e12, true), "Fri, 31 Dec 9999 23:59:59 GMT");
        EXPECT_EQ(FormatInternetDate(-1e12, true), "Mon, 1 Jan 1 00:00:00 GMT");
        EXPECT_EQ(
            FormatInternetDate(std::numeric_limits<double>::quiet_NaN(), true), "Mon, 1 Jan 1 00:00:00 GMT");
        EXPECT_EQ(FormatInternetDate(std::numeric_limits<double>::infinity(), true),
            "Fri, 31 Dec 9999 23:59:59 GMT");
    }
}
