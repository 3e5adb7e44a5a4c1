// Internet dates as servers write them (Date, Expires, Last-Modified, cookie expiry).
#include "net/http/NetGlobal.h"

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* AData, size_t ASize)
{
    const std::string Input(reinterpret_cast<const char*>(AData), ASize);
    std::string S = Input;
    TDateTime D = ParseInternetDate(S);
    if (S.size() > Input.size())
        std::abort();
    InternetDateToLocal(Input);
    ParseGmtOffset(Input);
    ParseGmtOffset(S);

    // A parsed date written out reads back as the same moment. Years below 100 move into
    // 1980..2079 when read, and a year 1900 is taken as a sign that the time came first.
    int Year, Month, Day;
    DecodeDate(D, Year, Month, Day);
    if (D != 0 && Year >= 100 && Year != 1900) {
        std::string Text = FormatInternetDate(D);
        TDateTime Back = InternetDateToLocal(Text);
        if (std::fabs(Back - D) > 1.0 / SecsPerDay / 2)
            std::abort();
    }
    return 0;
}
