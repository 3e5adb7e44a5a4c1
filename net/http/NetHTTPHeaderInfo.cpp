#include "net/http/NetHTTPHeaderInfo.h"

#include "net/http/NetGlobal.h"
#include "net/stack/NetStrings.h"

namespace {

void SetIfAny(TNetHeaderList& AList, const char* AName, const std::string& AValue)
{
    if (!AValue.empty())
        AList.SetValueOf(AName, AValue);
}

// A header that is not there, or that holds no date, is no date at all (0): none of these
// fields decides the verdict, so a server's odd way of writing one must not fail a page.
TDateTime DateValue(const std::string& AText)
{
    TDateTime Date;
    if (AText.empty() || !TryInternetDateToLocal(AText, Date))
        return 0;
    return Date;
}

// The value of a new Basic authentication object, which becomes the record's own.
std::string BasicHeaderValue(
    std::unique_ptr<TNetAuthentication>& AOwner, const std::string& AUsername, const std::string& APassword)
{
    auto Auth = std::make_unique<TNetBasicAuthentication>();
    Auth->SetUsername(AUsername);
    Auth->SetPassword(APassword);
    std::string Value = Auth->HeaderValue();
    AOwner = std::move(Auth);
    return Value;
}

} // namespace

TDateTime TNetEntityHeaderInfo::TLazyDate::Get() const
{
    if (FPending) {
        FValue = DateValue(FText);
        FText.clear();
        FPending = false;
    }
    return FValue;
}

int64_t HTTPDecimalLength(std::string_view AText)
{
    if (AText.empty() || AText.find_first_not_of("0123456789") != std::string_view::npos)
        return -1;
    const size_t First = AText.find_first_not_of('0');
    if (First == std::string_view::npos)
        return 0;
    AText.remove_prefix(First);
    if (AText.size() > 18)
        return -1;
    int64_t Value = 0;
    for (char C : AText)
        Value = Value * 10 + (C - '0');
    return Value;
}

// ---- entity ----

TNetEntityHeaderInfo::TNetEntityHeaderInfo()
{
    FRawHeaders.FoldWidth = 1024;
    ClearEntity();
}

void TNetEntityHeaderInfo::SetContentLength(int64_t AValue)
{
    FContentLength = AValue;
    FHasContentLength = AValue >= 0;
}

void TNetEntityHeaderInfo::Assign(const TNetEntityHeaderInfo& ASource)
{
    if (this == &ASource)
        return;
    FRawHeaders = ASource.FRawHeaders;
    FContentEncoding = ASource.FContentEncoding;
    FContentLanguage = ASource.FContentLanguage;
    SetContentLength(ASource.FContentLength);
    FContentRangeEnd = ASource.FContentRangeEnd;
    FContentRangeStart = ASource.FContentRangeStart;
    FContentType = ASource.FContentType;
    FContentVersion = ASource.FContentVersion;
    FDate = ASource.FDate;
    FExpires = ASource.FExpires;
    FLastModified = ASource.FLastModified;
}

void TNetEntityHeaderInfo::ClearEntity()
{
    FConnection.clear();
    FContentVersion.clear();
    FContentEncoding.clear();
    FContentLanguage.clear();
    FContentType = "text/html";
    FContentLength = -1; // HasContentLength keeps what the last assignment said
    FContentRangeStart = 0;
    FContentRangeEnd = 0;
    FDate.Set(0);
    FExpires.Set(0);
    FLastModified.Set(0);
    FRawHeaders.Clear();
}

void TNetEntityHeaderInfo::Clear()
{
    ClearEntity();
}

void TNetEntityHeaderInfo::ReadEntityFromRaw()
{
    const TNetHeaderList& H = FRawHeaders;
    FConnection = H.ValueOf("Connection");
    FContentVersion = H.ValueOf("Content-Version");
    FContentEncoding = H.ValueOf("Content-Encoding");
    FContentLanguage = H.ValueOf("Content-Language");
    FContentType = H.ValueOf("Content-Type");
    // Decimal digits only: a sign, a blank inside, hex or an exponent is no length (the
    // client refuses such a response before it reads a body by it).
    SetContentLength(HTTPDecimalLength(Trim(H.ValueOf("Content-Length"))));
    FDate.SetText(H.ValueOf("Date"));
    FLastModified.SetText(H.ValueOf("Last-Modified"));
    // An integer Expires counts seconds from now, a day or more as well; a negative count
    // says nothing and reads as absent.
    std::string Expires = H.ValueOf("Expires");
    int64_t Seconds;
    if (TryStrToInt64(Trim(Expires), Seconds))
        FExpires.Set(Seconds >= 0 ? Now() + static_cast<double>(Seconds) / SecsPerDay : 0);
    else
        FExpires.SetText(std::move(Expires));
    FPragma = H.ValueOf("Pragma");
}

void TNetEntityHeaderInfo::ReadFromRaw()
{
    ReadEntityFromRaw();
}

void TNetEntityHeaderInfo::WriteEntityToRaw()
{
    TNetHeaderList& H = FRawHeaders;
    H.Clear();
    SetIfAny(H, "Connection", FConnection);
    SetIfAny(H, "Content-Version", FContentVersion);
    SetIfAny(H, "Content-Encoding", FContentEncoding);
    SetIfAny(H, "Content-Language", FContentLanguage);
    SetIfAny(H, "Content-Type", FContentType);
    if (FContentLength >= 0)
        H.SetValueOf("Content-Length", std::to_string(FContentLength));
    SetIfAny(H, "Cache-control", FCacheControl);
    if (Date() > 0)
        H.SetValueOf("Date", FormatInternetDate(Date()));
    if (Expires() > 0)
        H.SetValueOf("Expires", FormatInternetDate(Expires()));
    SetIfAny(H, "Pragma", FPragma);
    for (const std::string& Line : FCustomHeaders.Lines())
        H.Add(Line);
}

void TNetEntityHeaderInfo::WriteToRaw()
{
    WriteEntityToRaw();
}

// ---- request ----

TNetRequestHeaderInfo::TNetRequestHeaderInfo()
{
    Clear();
}

TNetRequestHeaderInfo::~TNetRequestHeaderInfo() = default;

void TNetRequestHeaderInfo::Assign(const TNetEntityHeaderInfo& ASource)
{
    const auto* Source = dynamic_cast<const TNetRequestHeaderInfo*>(&ASource);
    if (!Source) {
        TNetEntityHeaderInfo::Assign(ASource);
        return;
    }
    if (Source == this)
        return;
    FAccept = Source->FAccept;
    FAcceptCharSet = Source->FAcceptCharSet;
    FAcceptEncoding = Source->FAcceptEncoding;
    FAcceptLanguage = Source->FAcceptLanguage;
    FFrom = Source->FFrom;
    FPassword = Source->FPassword;
    FReferer = Source->FReferer;
    FUserAgent = Source->FUserAgent;
    FUsername = Source->FUsername;
    FBasicAuthentication = Source->FBasicAuthentication;
}

void TNetRequestHeaderInfo::Clear()
{
    FAccept = "text/html, */*";
    FAcceptCharSet.clear();
    FUserAgent = "Mozilla/3.0 (compatible; Vardex)";
    FBasicAuthentication = false;
    ClearEntity();
}

void TNetRequestHeaderInfo::ReadFromRaw()
{
    const TNetHeaderList& H = FRawHeaders;
    FAccept = H.ValueOf("Accept");
    FAcceptCharSet = H.ValueOf("Accept-Charset");
    FAcceptEncoding = H.ValueOf("Accept-Encoding");
    FAcceptLanguage = H.ValueOf("Accept-Language");
    FHost = H.ValueOf("Host");
    FFrom = H.ValueOf("From");
    FReferer = H.ValueOf("Referer");
    FUserAgent = H.ValueOf("User-Agent");
    std::string Range = H.ValueOf("Range");
    Fetch(Range, "=");
    FContentRangeStart = StrToIntDef(Fetch(Range, "-"), 0);
    FContentRangeEnd = StrToIntDef(Fetch(Range, " "), 0);
    ReadEntityFromRaw();
}

void TNetRequestHeaderInfo::WriteToRaw()
{
    WriteEntityToRaw();
    TNetHeaderList& H = FRawHeaders;
    SetIfAny(H, "Proxy-Connection", FProxyConnection);
    SetIfAny(H, "Host", FHost);
    SetIfAny(H, "Accept", FAccept);
    SetIfAny(H, "Accept-Charset", FAcceptCharSet);
    SetIfAny(H, "Accept-Encoding", FAcceptEncoding);
    SetIfAny(H, "Accept-Language", FAcceptLanguage);
    SetIfAny(H, "From", FFrom);
    SetIfAny(H, "Referer", FReferer);
    SetIfAny(H, "User-Agent", FUserAgent);
    if (LastModified() > 0)
        H.SetValueOf("If-Modified-Since", FormatInternetDate(LastModified()));
    if (FContentRangeStart != 0 || FContentRangeEnd != 0) {
        std::string Range = "bytes=" + IntToStr(FContentRangeStart) + "-";
        if (FContentRangeEnd != 0)
            Range += IntToStr(FContentRangeEnd);
        H.SetValueOf("Range", Range);
    }
    std::string Authorization;
    if (FAuthentication)
        Authorization = FAuthentication->HeaderValue();
    else if (FBasicAuthentication)
        Authorization = BasicHeaderValue(FAuthentication, FUsername, FPassword);
    SetIfAny(H, "Authorization", Authorization);
}

// ---- response ----

TNetResponseHeaderInfo::TNetResponseHeaderInfo()
{
    Clear();
}

void TNetResponseHeaderInfo::Clear()
{
    ClearEntity();
    FLocation.clear();
    FServer.clear();
    FWWWAuthenticate.Clear();
    FProxyAuthenticate.Clear();
}

void TNetResponseHeaderInfo::ReadFromRaw()
{
    const TNetHeaderList& H = FRawHeaders;
    FLocation = H.ValueOf("Location");
    FServer = H.ValueOf("Server");
    FProxyConnection = H.ValueOf("Proxy-Connection");
    // A range the record cannot hold ("bytes */2" of an unsatisfied range, say) reads as
    // absent: the client does not ask for ranges and judges no answer by one.
    std::string Range = H.ValueOf("Content-Range");
    if (!Range.empty()) {
        Fetch(Range, " ");
        int32_t Start, End;
        if (TryStrToInt(Fetch(Range, "-"), Start) && TryStrToInt(Fetch(Range, "/"), End)) {
            FContentRangeStart = Start;
            FContentRangeEnd = End;
        }
    }
    FWWWAuthenticate.Clear();
    H.CollectValues("WWW-Authenticate", &FWWWAuthenticate);
    FProxyAuthenticate.Clear();
    H.CollectValues("Proxy-Authenticate", &FProxyAuthenticate);
    ReadEntityFromRaw();
}

// ---- proxy ----

TNetProxyConnectionInfo::TNetProxyConnectionInfo()
{
    Clear();
}

TNetProxyConnectionInfo::~TNetProxyConnectionInfo() = default;

void TNetProxyConnectionInfo::SetProxyServer(const std::string& AValue)
{
    if (!SameText(AValue, FProxyServer))
        FAuthentication.reset();
    FProxyServer = AValue;
}

void TNetProxyConnectionInfo::SetProxyPort(int32_t AValue)
{
    if (AValue != FProxyPort)
        FAuthentication.reset();
    FProxyPort = AValue;
}

void TNetProxyConnectionInfo::Assign(const TNetProxyConnectionInfo& ASource)
{
    if (this == &ASource)
        return;
    FProxyPassword = ASource.FProxyPassword;
    SetProxyPort(ASource.FProxyPort);
    SetProxyServer(ASource.FProxyServer);
    FProxyUsername = ASource.FProxyUsername;
    FBasicAuthentication = ASource.FBasicAuthentication;
}

void TNetProxyConnectionInfo::Clear()
{
    SetProxyServer({});
    FProxyUsername.clear();
    FProxyPassword.clear();
    SetProxyPort(0);
}

void TNetProxyConnectionInfo::WriteProxyAuthorization(TNetHeaderList& AHeaders)
{
    std::string Value;
    if (FAuthentication)
        Value = FAuthentication->HeaderValue();
    else if (FBasicAuthentication)
        Value = BasicHeaderValue(FAuthentication, FProxyUsername, FProxyPassword);
    SetIfAny(AHeaders, "Proxy-Authorization", Value);
}
