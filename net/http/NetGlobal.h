// Pieces the HTTP client shares: its exceptions and the internet date routines used for the
// Date, Expires, Last-Modified and If-Modified-Since headers and for cookie expiry.
#pragma once

#include "net/stack/NetException.h"
#include "net/stack/NetTime.h"

#include <cstdint>
#include <string>

// A URL scheme for which no default port is known (raised with an empty message).
VARDEX_NET_EXCEPTION(ENetUnknownProtocol, ENetException);
VARDEX_NET_EXCEPTION(ENetFailedToRetreiveTimeZoneInfo, ENetException);

// A refused HTTP status: the message is the status line as the server sent it, ErrorMessage
// the body that came with it.
class ENetHTTPProtocolException : public ENetProtocolReplyError {
public:
    ENetHTTPProtocolException(int32_t ACode, std::string AMessage, std::string AErrorMessage)
        : ENetProtocolReplyError(ACode, std::move(AMessage))
        , ErrorMessage(std::move(AErrorMessage))
    {
    }
    std::string ErrorMessage;
};

// 1 = Sunday ... 7 = Saturday for "SUN" .. "SAT" in any letter case; 0 for anything else.
int DayNameIndex(const std::string& AName);
// 1 .. 12 for "JAN" .. "DEC" in any letter case; 0 for anything else.
int MonthNameIndex(const std::string& AName);

// Reads an internet date (the RFC 1123 and RFC 850 forms, and the form with the time
// before the year) and leaves in AText what follows the time, normally the zone. Returns 0
// when the text holds no valid date.
TDateTime ParseInternetDate(std::string& AText);
// "+hhmm" or "-hhmm" at the start of the trimmed text as a time span; 0 for anything else.
TDateTime ParseGmtOffset(const std::string& AText);
// An internet date with its zone converted to local time. A text that holds no date gives
// 0 shifted by the local offset, as a date at the very start of the calendar would.
TDateTime InternetDateToLocal(const std::string& AText);
// InternetDateToLocal that also says whether AText held a date: false (and ADate as
// InternetDateToLocal gives it) when ParseInternetDate finds none.
bool TryInternetDateToLocal(const std::string& AText, TDateTime& ADate);
// The local zone's current offset from UTC as a time span (positive east of UTC).
// Raises ENetFailedToRetreiveTimeZoneInfo when the C library cannot say.
TDateTime LocalUtcOffset();
// "Sun, 6 Nov 1994 08:49:37 +0200": a local date-time with the local zone's offset.
// Values before year 1 or after year 9999 are written as the first or last second of
// the calendar, so the text always parses back.
std::string FormatInternetDate(TDateTime ADateTime, bool AIsGmt = false);
// " +hhmm" turned into "+hhmm"/"-hhmm"; "GMT" for an offset of 0 when AIsGmt.
std::string FormatGmtOffset(TDateTime AOffset, bool AIsGmt);
