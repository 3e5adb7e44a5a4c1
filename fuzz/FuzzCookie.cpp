// Set-Cookie and Set-Cookie2 values through a cookie manager, then the Cookie header.
// The first line is the host; every further line is one header value, a Set-Cookie2
// value when it starts with "2:", a Set-Cookie value otherwise.
#include "net/http/NetCookieManager.h"
#include "net/stack/NetException.h"

#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* AData, size_t ASize)
{
    std::string Input(reinterpret_cast<const char*>(AData), ASize);
    size_t Nl = Input.find('\n');
    std::string Host = Input.substr(0, Nl);
    TNetCookieManager M;
    size_t Start = Nl == std::string::npos ? Input.size() : Nl + 1;
    while (Start < Input.size()) {
        size_t End = Input.find('\n', Start);
        std::string Line = Input.substr(Start, End == std::string::npos ? std::string::npos : End - Start);
        Start = End == std::string::npos ? Input.size() : End + 1;
        try {
            if (Line.compare(0, 2, "2:") == 0)
                M.AddSetCookie2(Line.substr(2), Host);
            else
                M.AddSetCookie(Line, Host);
        } catch (const ENetConvertError&) {
            // A Set-Cookie2 port list with something that is not a number.
        }
    }
    TNetURI Uri("http://" + Host + "/a/b/");
    M.CookieHeaderFor(Uri, false);
    M.CookieHeaderFor(Uri, true);
    Uri.Path = "/";
    M.CookieHeaderFor(Uri, true);

    // A stored cookie taking over a parsed one, as a replacement does.
    TNetCookieRFC2965 A, B;
    try {
        A.ParseText(Input);
    } catch (const ENetConvertError&) {
    }
    B.Assign(A);
    B.ClientText();
    return 0;
}
