// Header lines as a server sends them: lookup, unfolding, folding and the response record.
// The first byte picks a fold width; the rest are the lines (LF or CR LF).
#include "net/http/NetHTTPHeaderInfo.h"
#include "net/http/NetHeaderList.h"
#include "net/stack/NetException.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* AData, size_t ASize)
{
    if (ASize == 0)
        return 0;
    size_t Width = AData[0] % 100;
    std::string Input(reinterpret_cast<const char*>(AData + 1), ASize - 1);

    TNetHeaderList L;
    size_t Start = 0;
    while (Start <= Input.size()) {
        size_t Nl = Input.find('\n', Start);
        std::string Line = Input.substr(Start, Nl == std::string::npos ? std::string::npos : Nl - Start);
        if (!Line.empty() && Line.back() == '\r')
            Line.pop_back();
        L.Add(Line);
        if (Nl == std::string::npos)
            break;
        Start = Nl + 1;
    }
    for (size_t I = 0; I < L.Count(); ++I) {
        L.NameAt(I);
        L.ValueAt(I);
    }
    std::vector<std::string> Cookies;
    L.CollectValues("Set-Cookie", &Cookies);
    L.ValueOf("Content-Length");

    // Folding at a width from 0 up, then unfolding and deleting again.
    TNetHeaderList Folded = L;
    Folded.FoldWidth = Width;
    std::string Value = Input.substr(0, Input.find_first_of("\r\n"));
    Folded.SetValueOf("X-Fuzz", Value);
    Folded.ValueOf("X-Fuzz");
    if (L.Count() > 0) {
        std::string Name = L.NameAt(0);
        Folded.SetValueOf(Name, Value);
        Folded.SetValueOf(Name, "");
    }
    WrapText(Input, "\r\n ", "\t ,", Width);

    TNetResponseHeaderInfo Response;
    Response.RawHeaders() = L;
    try {
        Response.ReadFromRaw();
    } catch (const ENetConvertError&) {
    }
    Response.WriteToRaw();

    TNetRequestHeaderInfo Request;
    Request.RawHeaders() = L;
    try {
        Request.ReadFromRaw();
    } catch (const ENetConvertError&) {
    }
    Request.SetBasicAuthentication(true);
    Request.SetUsername(Value);
    Request.WriteToRaw();
    return 0;
}
