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

    // A parsed date written out reads back as the same moment (two-digit years aside,
    // which the reader moves into 1980..2079).
    if (D >= EncodeDate(100, 1, 1)) {
        std::string Text = FormatInternetDate(D);
        TDateTime Back = InternetDateToLocal(Text);
        if (std::fabs(Back - D) > 1.0 / SecsPerDay / 2)
            std::abort();
    }
    return 0;
}
