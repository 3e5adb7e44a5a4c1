#include "net/http/NetHTTP.h"

#include "net/stack/NetStrings.h"
#include "net/tls/NetSSLOpenSSL.h"

#include <algorithm>
#include <cctype>
#include <string_view>
#include <utility>
#include <vector>

namespace {

// Whether AText starts as an HTTP/2 server starts every connection, with which it also answers
// a request it cannot read: a SETTINGS frame (type 4) on stream 0, no flags, its length a
// multiple of 6.
bool StartsWithHTTP2Settings(std::string_view AText)
{
    if (AText.size() < 9)
        return false;
    const auto Byte = [&](size_t I) { return static_cast<uint8_t>(AText[I]); };
    const uint32_t Length = uint32_t(Byte(0)) << 16 | uint32_t(Byte(1)) << 8 | Byte(2);
    return Length % 6 == 0 && Byte(3) == 4 && Byte(4) == 0 && Byte(5) == 0 && Byte(6) == 0 && Byte(7) == 0
        && Byte(8) == 0;
}

// A line break in a URL (or a Location) would end the request line and start header lines of
// the sender's choosing; no other control character belongs in one either.
void CheckTargetText(const std::string& ATarget)
{
    for (const char C : ATarget)
        if (static_cast<unsigned char>(C) < 0x20 || C == 0x7F)
            throw ENetURIException(RSHTTPURLControlCharacter);
    if (const std::string Fault = URIUserInfoFault(ATarget); !Fault.empty())
        throw ENetURIException(Fault);
}

// How much of an error page is kept for ErrorMessage: the whole page is still read (so the
// connection stays usable), but a server that answers an error with an endless or huge body
// cannot make the client hold all of it.
constexpr size_t ErrorBodyKept = 65536;

// Counts everything written, as a stream that keeps nothing, but holds on to the first
// ALimit bytes.
class TNetBodyPrefixStream : public TNullStream {
public:
    explicit TNetBodyPrefixStream(size_t ALimit)
        : FLimit(ALimit)
    {
    }
    int64_t Write(const void* ABuffer, int64_t ACount) override
    {
        if (ACount > 0 && FKept.size() < FLimit) {
            const size_t Take = std::min(static_cast<size_t>(ACount), FLimit - FKept.size());
            FKept.append(static_cast<const char*>(ABuffer), Take);
        }
        return TNullStream::Write(ABuffer, ACount);
    }
    const std::string& Text() const { return FKept; }

private:
    size_t FLimit;
    std::string FKept;
};

TNetSSLIOHandlerSocket* AsTLSHandler(TNetIOHandler* AHandler)
{
    return dynamic_cast<TNetSSLIOHandlerSocket*>(AHandler);
}

// The first challenge whose scheme (the text before its first space) has a registered class.
TNetAuthenticationClass FindChallengeClass(const TNetHeaderList& AChallenges)
{
    for (const std::string& Line : AChallenges.Lines()) {
        std::string Rest = Line;
        TNetAuthenticationClass Class = FindAuthScheme(Fetch(Rest, " "));
        if (Class)
            return Class;
    }
    return {};
}

// Responses that never carry a body, whatever their headers say: reading one "until the
// close" would only wait for the read time-out on a connection the server keeps open.
bool ResponseHasBody(TNetHTTPMethod AMethod, int32_t ACode)
{
    if (AMethod == hmHead)
        return false;
    if (AMethod == hmConnect && ACode / 100 == 2)
        return false;
    return !(ACode / 100 == 1 || ACode == 204 || ACode == 304);
}

// Restores a client's read time-out and a response's body stream when it goes.
class TBodyReadScope {
public:
    TBodyReadScope(TNetCustomHTTP& AHTTP, TNetHTTPResponse& AResponse, int32_t AReadTimeout, TStream* AStream)
        : FHTTP(AHTTP)
        , FResponse(AResponse)
        , FReadTimeout(AHTTP.ReadTimeout)
        , FStream(AResponse.BodyStream)
    {
        AHTTP.ReadTimeout = AReadTimeout;
        AResponse.BodyStream = AStream;
    }
    ~TBodyReadScope()
    {
        FHTTP.ReadTimeout = FReadTimeout;
        FResponse.BodyStream = FStream;
    }
    TBodyReadScope(const TBodyReadScope&) = delete;
    TBodyReadScope& operator=(const TBodyReadScope&) = delete;

private:
    TNetCustomHTTP& FHTTP;
    TNetHTTPResponse& FResponse;
    int32_t FReadTimeout;
    TStream* FStream;
};

} // namespace

const char* HTTPMethodWord(TNetHTTPMethod AMethod)
{
    switch (AMethod) {
    case hmHead:
        return "HEAD ";
    case hmGet:
        return "GET ";
    case hmPost:
        return "POST ";
    case hmOptions:
        return "OPTIONS ";
    case hmTrace:
        return "TRACE ";
    case hmPut:
        return "PUT ";
    case hmDelete:
        return "DELETE ";
    case hmConnect:
        return "CONNECT ";
    }
    return "GET ";
}

// --- response ---

int32_t TNetHTTPResponse::StatusCode()
{
    // Nothing looser: "ICY 200 OK", "HTTP/1.1 +200" or "HTTP/1.1 0xC8" read as a success
    // would report a page that no HTTP server gave as fine.
    const std::string& S = StatusLine;
    auto Digit = [&S](size_t AIndex) { return AIndex < S.size() && S[AIndex] >= '0' && S[AIndex] <= '9'; };
    if (S.compare(0, 5, "HTTP/") == 0 && Digit(5) && S.size() > 6 && S[6] == '.' && Digit(7) && S.size() > 8
        && S[8] == ' ' && Digit(9) && Digit(10) && Digit(11) && (S.size() == 12 || S[12] == ' '))
        FStatusCode = (S[9] - '0') * 100 + (S[10] - '0') * 10 + (S[11] - '0');
    else
        FStatusCode = -1;
    return FStatusCode;
}

bool TNetHTTPResponse::IsKeepAlive()
{
    if (StatusLine.size() >= 8) {
        const std::string Version = StatusLine.substr(5, 3);
        if (Version == "1.0")
            ResponseVersion = 0;
        else if (Version == "1.1")
            ResponseVersion = 1;
    }
    FHTTP->CheckClosed(false, false);
    if (!FHTTP->IsConnected())
        return false;
    const std::string Connection = Trim(FConnection);
    const std::string ProxyConnection = Trim(FProxyConnection);
    if (FHTTP->ProtocolVersion == pv1_0)
        return SameText(Connection, "KEEP-ALIVE") || SameText(ProxyConnection, "KEEP-ALIVE");
    return !(SameText(Connection, "CLOSE") || SameText(ProxyConnection, "CLOSE"));
}

// --- protocol ---

TNetHTTPProtocol::TNetHTTPProtocol(TNetCustomHTTP* AHTTP)
    : FHTTP(AHTTP)
    , FRequest(std::make_unique<TNetHTTPRequest>(AHTTP))
    , FResponse(std::make_unique<TNetHTTPResponse>(AHTTP, FRequest.get()))
{
}

TNetHTTPProtocol::~TNetHTTPProtocol() = default;

void TNetHTTPProtocol::SendRequest(TNetURI* AURI)
{
    TNetHTTPRequest& Request = *FRequest;
    Request.WriteToRaw();
    // Credentials go only where they belong: the user's to the origin they were given for,
    // never along a redirect to another scheme, host or port; the proxy's to the proxy, never
    // through a tunnel to the origin.
    if (Request.Method != hmConnect && FHTTP->Origin() != FHTTP->FCredentialOrigin)
        Request.RawHeaders().SetValueOf("Authorization", "");
    if (Request.Method == hmConnect || Request.Route == hrProxy)
        FHTTP->ProxyParams().WriteProxyAuthorization(Request.RawHeaders());
    if (AURI)
        FHTTP->AddRequestCookies(*AURI, Request);

    FHTTP->BeginBatch(-1);
    try {
        FHTTP->SendLine(std::string(HTTPMethodWord(Request.Method)) + Request.Target + " HTTP/"
            + (FHTTP->ProtocolVersion == pv1_0 ? "1.0" : "1.1"));
        for (const std::string& Line : Request.RawHeaders().Lines())
            if (!Line.empty())
                FHTTP->SendLine(Line);
        FHTTP->SendLine("");
    } catch (...) {
        // Half a request must not go out with the next one.
        FHTTP->DiscardBatch();
        FHTTP->EndBatch();
        throw;
    }
    FHTTP->EndBatch();
}

size_t TNetHTTPProtocol::ReadHeaders(size_t ALimit)
{
    TNetHTTPResponse& Response = *FResponse;
    Response.RawHeaders().Clear();
    // Each line is bounded by the connection's line limit, but a server that sends lines
    // without end would fill the memory for as long as the exchange is allowed to last.
    size_t Total = 0;
    try {
        for (;;) {
            std::string Line = FHTTP->ReceiveLine();
            if (Line.empty())
                break;
            Total += Line.size() + 2;
            if (Total > ALimit) {
                // The rest of the answer is still on its way: the connection is of no more use.
                FHTTP->Hangup();
                throw ENetHTTPHeadersTooLarge(RSHTTPHeadersTooLarge);
            }
            Response.RawHeaders().Add(Line);
        }
    } catch (const ENetConnClosedGracefully&) {
        FHTTP->Hangup();
    }
    Response.ReadFromRaw();
    return Total;
}

TNetHTTPResponseDisposition TNetHTTPProtocol::DecideResponse()
{
    TNetHTTPRequest& Request = *FRequest;
    TNetHTTPResponse& Response = *FResponse;
    TNetHTTPResponseDisposition Result = rdUndefined;
    const int32_t Code = Response.StatusCode();
    const int32_t Class = Code / 100;

    // Only a 3xx answer redirects: a 201 names what it created in Location, and many servers
    // send one with a 200.
    if (Class == 3 && Code != 304) {
        std::string Location = Response.Location();
        TNetHTTPMethod Method = Request.Method;
        if (FHTTP->HandleRedirects && FHTTP->FRedirectCount < FHTTP->RedirectMaximum) {
            if (!FHTTP->AskRedirect(Location, Method, FHTTP->FRedirectCount))
                RaiseProtocolError();
            Result = rdRedirect;
            Request.Target = Location;
            Request.Method = Method;
        } else {
            Result = rdDone;
            if (!FHTTP->AskRedirect(Location, Method, FHTTP->FRedirectCount))
                RaiseProtocolError();
            Response.SetLocation(Location);
        }
        if (FHTTP->IsConnected())
            DrainBody();
        return Result;
    }

    bool CredentialsReady = false;
    if (Class != 2) {
        Result = rdRedirect;
        if (Code == 401) {
            if (FHTTP->FAuthAttempts < FHTTP->AuthRetries && FHTTP->AskAuthorization(Request, Response)) {
                CredentialsReady = FHTTP->HTTPOptions.Contains(hoInProcessAuth);
            } else {
                if (Request.Authentication())
                    Request.Authentication()->Reset();
                RaiseProtocolError();
            }
        } else if (Code == 407) {
            TNetProxyConnectionInfo& Proxy = FHTTP->ProxyParams();
            if (FHTTP->FProxyAuthAttempts < FHTTP->AuthRetries
                && FHTTP->AskProxyAuthorization(Request, Response)) {
                CredentialsReady = FHTTP->HTTPOptions.Contains(hoInProcessAuth);
            } else {
                if (Proxy.Authentication())
                    Proxy.Authentication()->Reset();
                RaiseProtocolError();
            }
        } else {
            RaiseProtocolError();
        }
    }
    if (FHTTP->IsConnected()) {
        if (CredentialsReady) {
            DrainBody();
            Result = rdAuthRetry;
        } else {
            if (Code != 204)
                FHTTP->ReadBody(Response);
            Result = rdDone;
        }
    }
    return Result;
}

void TNetHTTPProtocol::RaiseProtocolError()
{
    TNetBodyPrefixStream Body(ErrorBodyKept);
    {
        TBodyReadScope Scope(*FHTTP, *FResponse, 2000, &Body);
        try {
            FHTTP->ReadBody(*FResponse);
        } catch (const ENetHTTPInvalidFraming&) {
            // The status has been judged already; it says more than the broken body.
        }
    }
    throw ENetHTTPProtocolException(FResponse->StatusCode(), FResponse->StatusLine, Body.Text());
}

void TNetHTTPProtocol::DrainBody()
{
    TNullStream Sink;
    TBodyReadScope Scope(*FHTTP, *FResponse, 4000, &Sink);
    try {
        FHTTP->ReadBody(*FResponse);
    } catch (...) {
        // Whatever stopped the draining, the answer has been judged already.
    }
}

// --- client ---

TNetCustomHTTP::TNetCustomHTTP(TComponent* AOwner)
    : TNetTCPClient(AOwner)
    , FURI(std::make_unique<TNetURI>())
    , FProtocol(std::make_unique<TNetHTTPProtocol>(this))
    , FProxyParams(std::make_unique<TNetProxyConnectionInfo>())
{
    SetPort(80);
}

TNetCustomHTTP::~TNetCustomHTTP()
{
    FProtocol.reset();
    FURI.reset();
    FProxyParams.reset();
}

void TNetCustomHTTP::SetHost(const std::string& AValue)
{
    TNetTCPClient::SetHost(AValue);
    FURI->Host = AValue;
}

void TNetCustomHTTP::SetPort(int32_t AValue)
{
    TNetTCPClient::SetPort(AValue);
    FURI->Port = IntToStr(AValue);
}

void TNetCustomHTTP::SetCookieManager(TNetCookieManager* AValue)
{
    if (AValue == FCookieManager)
        return;
    TNetCookieManager* Old = FCookieManager;
    const bool Owned = FOwnsCookieManager;
    FCookieManager = nullptr;
    FOwnsCookieManager = false;
    if (Old) {
        Old->RemoveFreeNotification(this);
        if (Owned)
            delete Old;
    }
    FCookieManager = AValue;
    if (AValue)
        AValue->FreeNotification(this);
}

void TNetCustomHTTP::SetAuthenticationManager(TNetAuthenticationManager* AValue)
{
    SetReference(FAuthenticationManager, AValue);
}

void TNetCustomHTTP::Notification(TComponent* AComponent, TOperation AOperation)
{
    TNetTCPClient::Notification(AComponent, AOperation);
    if (AOperation != TOperation::opRemove)
        return;
    if (AComponent == FCookieManager) {
        FCookieManager = nullptr;
        FOwnsCookieManager = false;
    }
    if (AComponent == FAuthenticationManager)
        FAuthenticationManager = nullptr;
}

void TNetCustomHTTP::FireDisconnected()
{
    TNetTCPClient::FireDisconnected();
    TNetHTTPRequest& Req = Request();
    if (TNetAuthentication* Auth = Req.Authentication(); Auth && Auth->StepIndex() == Auth->StepCount()) {
        if (FAuthenticationManager)
            FAuthenticationManager->AddAuthentication(*Auth, *FURI);
        Req.SetAuthentication(nullptr);
    }
    if (TNetAuthentication* ProxyAuth = FProxyParams->Authentication())
        ProxyAuth->Reset();
}

std::string TNetCustomHTTP::GetText(const std::string& AURL)
{
    TMemoryStream Stream;
    GetToStream(AURL, Stream);
    return Stream.DataString();
}

void TNetCustomHTTP::GetToStream(const std::string& AURL, TStream& AStream)
{
    PerformRequest(hmGet, AURL, &AStream, nullptr);
}

void TNetCustomHTTP::PerformRequest(
    TNetHTTPMethod AMethod, const std::string& AURL, TStream* AResponseStream, TStream* ASourceStream)
{
    TNetHTTPRequest& Req = Request();
    TNetHTTPResponse& Resp = Response();
    const int64_t Start = AResponseStream ? AResponseStream->Position() : 0;
    FAuthAttempts = 0;
    FProxyAuthAttempts = 0;
    Req.Target = AURL;
    Req.Method = AMethod;
    Req.SourceStream = ASourceStream;
    Resp.BodyStream = AResponseStream;
    Resp.BodyCutShort = false;
    FExchangeCookies = 0;
    FCredentialOrigin.clear();
    SetReadDeadline(ExchangeTimeout);
    try {
        bool Done = false;
        while (!Done) {
            ++FRedirectCount;
            PrepareTarget(Req);
            OpenConnection(Req, Resp);
            ReadResponseHead(Req, Resp);
            Done = FollowResponse(AURL, AResponseStream, Start);
        }
    } catch (...) {
        EndExchange();
        throw;
    }
    EndExchange();
}

void TNetCustomHTTP::ReadResponseHead(TNetHTTPRequest& ARequest, TNetHTTPResponse& AResponse)
{
    // Interim answers (1xx but 101) come before the real one and are passed over; their bytes
    // together are bounded like one header section, and their cookies are not taken (the real
    // answer sets what it means to).
    size_t InterimBytes = 0;
    for (;;) {
        const int32_t Code = ReadStatusLine(AResponse);
        if (Code / 100 != 1 || Code == 101) {
            FProtocol->ReadHeaders();
            ApplyResponseCookies(ARequest, AResponse);
            return;
        }
        InterimBytes += AResponse.StatusLine.size() + 2;
        if (InterimBytes > HTTPHeaderSectionLimit) {
            Hangup();
            throw ENetHTTPHeadersTooLarge(RSHTTPHeadersTooLarge);
        }
        InterimBytes += FProtocol->ReadHeaders(HTTPHeaderSectionLimit - InterimBytes);
    }
}

int32_t TNetCustomHTTP::ReadStatusLine(TNetHTTPResponse& AResponse)
{
    try {
        AResponse.StatusLine = ReceiveLine();
    } catch (const ENetConnClosedGracefully&) {
        TNetManagedBuffer& Rest = InputData();
        if (StartsWithHTTP2Settings(std::string_view(
                reinterpret_cast<const char*>(Rest.UnreadStart()), static_cast<size_t>(Rest.Size()))))
            throw ENetHTTPProtocolException(-1, RSHTTPOnlyHTTP2, {});
        throw;
    }
    const int32_t Code = AResponse.StatusCode();
    if (Code < 0) {
        // Nothing after a line that is not HTTP can be trusted to be the answer.
        Hangup();
        if (StartsWithHTTP2Settings(AResponse.StatusLine))
            throw ENetHTTPProtocolException(-1, RSHTTPOnlyHTTP2, {});
        throw ENetHTTPProtocolException(
            -1, std::string(RSHTTPInvalidStatusLine) + " \"" + AResponse.StatusLine + "\"", {});
    }
    return Code;
}

bool TNetCustomHTTP::FollowResponse(const std::string& AURL, TStream* ABody, int64_t ABodyStart)
{
    switch (FProtocol->DecideResponse()) {
    case rdRedirect:
        RewindExchange(ABody, ABodyStart);
        break;
    case rdDone:
        return true;
    case rdUndefined:
        throw ENetException(RSHTTPUnknownResponseCode);
    case rdReadAndRepeat:
        ReadBody(Response());
        RewindExchange(ABody, ABodyStart);
        break;
    case rdAuthRetry:
        --FRedirectCount;
        Request().Target = AURL;
        break;
    }
    return false;
}

void TNetCustomHTTP::RewindExchange(TStream* ABody, int64_t ABodyStart)
{
    if (ABody) {
        ABody->SetPosition(ABodyStart);
        ABody->SetSize(ABodyStart);
    }
    FAuthAttempts = 0;
    FProxyAuthAttempts = 0;
}

void TNetCustomHTTP::EndExchange()
{
    // The request count belongs to one exchange: a failed exchange must not leave its count
    // for the next one, which would then follow fewer redirects.
    SetReadDeadline(0);
    FRedirectCount = 0;
    TNetHTTPResponse& Resp = Response();
    const bool KeepAlive = Resp.IsKeepAlive();
    // The streams are the caller's and may go once the exchange is over.
    Resp.BodyStream = nullptr;
    Request().SourceStream = nullptr;
    if (!KeepAlive)
        Hangup();
}

void TNetCustomHTTP::PrepareTarget(TNetHTTPRequest& ARequest)
{
    CheckTargetText(ARequest.Target);
    const TNetURI New(ARequest.Target);
    if (!New.Username.empty()) {
        // An authentication object made for other credentials would go on sending those.
        if (New.Username != ARequest.Username() || New.Password != ARequest.Password())
            ARequest.SetAuthentication(nullptr);
        ARequest.SetUsername(New.Username);
        ARequest.SetPassword(New.Password);
    }
    FURI->Username = ARequest.Username();
    FURI->Password = ARequest.Password();
    MergeIntoURI(New);
    // The credentials of the exchange belong to the origin of its own URL, or of a URL that
    // brings its own.
    if (FCredentialOrigin.empty() || !New.Username.empty())
        FCredentialOrigin = Origin();
    FillRequestHead(ARequest, New.Resource);
}

void TNetCustomHTTP::MergeIntoURI(const TNetURI& ANew)
{
    FURI->Path = TNetURI::MergePath(FURI->Path, ANew.Path, "/");
    FURI->Resource = ANew.Resource;
    FURI->Query = ANew.Query;
    if (!ANew.Host.empty())
        FURI->Host = ANew.Host;
    if (!ANew.Protocol.empty())
        FURI->Protocol = ANew.Protocol;
    else if (!ANew.Host.empty() || FURI->Protocol.empty())
        FURI->Protocol = "http";
    // A reference without scheme and host (a relative Location) stays on the scheme it came
    // from: an https page must not send its next request in the clear.

    if (!ANew.Port.empty()) {
        FURI->Port = ANew.Port;
    } else {
        // A URL that names its host without a port means the scheme's port: the port of the
        // host before it has nothing to do with the new one.
        const int32_t Current = ANew.Host.empty() ? StrToIntDef(FURI->Port, 0) : 0;
        if (Current == 0 || Current == 80 || Current == 443) {
            if (SameText(FURI->Protocol, "http"))
                FURI->Port = "80";
            else if (SameText(FURI->Protocol, "https"))
                FURI->Port = "443";
            else
                throw ENetUnknownProtocol();
        }
    }

    // Spoken directly, only these two schemes are HTTP: another scheme with a port of its own
    // would otherwise be asked in HTTP and could pass as a success. A proxy may serve others.
    if (FProxyParams->ProxyServer().empty() && !SameText(FURI->Protocol, "http")
        && !SameText(FURI->Protocol, "https"))
        throw ENetUnknownProtocol();
}

void TNetCustomHTTP::FillRequestHead(TNetHTTPRequest& ARequest, const std::string& AResource)
{
    // The one-character text is assigned by count: g++ 12 misreads the literal's copy at -O2.
    if (ARequest.Method == hmOptions && AResource == "*")
        ARequest.Target.assign(1, '*');
    else
        ARequest.Target = EncodeRequestTarget(FURI->Path + FURI->Resource + FURI->Query);

    if ((ARequest.Method == hmOptions || ARequest.Method == hmTrace || ARequest.Method == hmPut
            || ARequest.Method == hmDelete)
        && ProtocolVersion != pv1_1)
        throw ENetException(RSHTTPMethodRequiresVersion);

    if (ARequest.Method == hmPost || ARequest.Method == hmPut)
        ARequest.SetContentLength(
            ARequest.SourceStream ? static_cast<int32_t>(ARequest.SourceStream->Size()) : 0);
    else
        ARequest.SetContentLength(-1);

    if (FURI->Port == "80")
        ARequest.SetHost(URIHost(FURI->Host));
    else
        ARequest.SetHost(URIHost(FURI->Host) + ":" + FURI->Port);
}

void TNetCustomHTTP::SetHandlerBypass(bool ABypass)
{
    TNetSSLIOHandlerSocket* TLS = AsTLSHandler(FIOHandler);
    if (!TLS || TLS->BypassTLS() == ABypass)
        return;
    if (TLS->LinkOpen())
        Hangup();
    TLS->SetBypassTLS(ABypass);
}

std::string TNetCustomHTTP::Origin() const
{
    return LowerCase(FURI->Protocol) + "://" + LowerCase(FURI->Host) + ":" + FURI->Port;
}

TNetHTTPRoute TNetCustomHTTP::ChooseRoute()
{
    const bool Secure = SameText(FURI->Protocol, "HTTPS");
    if (FProxyParams->ProxyServer().empty()) {
        const int32_t URIPort = StrToInt(FURI->Port);
        if (!SameText(FHost, FURI->Host) || FPort != URIPort) {
            if (IsConnected())
                Hangup();
            SetHost(FURI->Host);
            SetPort(URIPort);
        }
        if (Secure) {
            if (!AsTLSHandler(FIOHandler))
                throw ENetIOHandlerPropInvalid(RSIOHandlerPropInvalid);
            SetHandlerBypass(false);
            return hrTLS;
        }
        SetHandlerBypass(true);
        return hrDirect;
    }

    if (!SameText(FHost, FProxyParams->ProxyServer()) || FPort != FProxyParams->ProxyPort()) {
        if (IsConnected())
            Hangup();
    }
    // Not through the setters: the client URI keeps the target's host and port.
    FHost = FProxyParams->ProxyServer();
    FPort = FProxyParams->ProxyPort();
    if (Secure) {
        if (FIOHandler && !AsTLSHandler(FIOHandler))
            throw ENetIOHandlerPropInvalid(RSIOHandlerPropInvalid);
        // The tunnel is asked for in the clear.
        SetHandlerBypass(true);
        return hrTLSProxy;
    }
    SetHandlerBypass(true);
    return hrProxy;
}

void TNetCustomHTTP::OpenConnection(TNetHTTPRequest& ARequest, TNetHTTPResponse& AResponse)
{
    ARequest.Route = ChooseRoute();
    if (ARequest.Route == hrProxy)
        ARequest.Target = FURI->URIText();

    switch (ARequest.Route) {
    case hrDirect:
        if (ProtocolVersion == pv1_0 && ARequest.Connection().empty())
            ARequest.SetConnection("keep-alive");
        break;
    case hrProxy:
        if (ProtocolVersion == pv1_0 && ARequest.Connection().empty())
            ARequest.SetProxyConnection("keep-alive");
        break;
    case hrTLS:
    case hrTLSProxy:
        ARequest.SetConnection("");
        break;
    }

    if (ARequest.Route == hrTLSProxy)
        OpenTunnel(ARequest);
    else
        EnsureConnected(AResponse);

    FProtocol->SendRequest(FURI.get());
    if ((ARequest.Method == hmPost || ARequest.Method == hmPut) && ARequest.SourceStream)
        SendStream(*ARequest.SourceStream);
}

void TNetCustomHTTP::OpenTunnel(TNetHTTPRequest& ARequest)
{
    // A tunnel that is already open cannot take another CONNECT: it carries TLS to the last
    // target. ChooseRoute has closed it when it switched the handler to plain; a connection
    // still open here is a plain one to the proxy and can carry the CONNECT.
    TNetHTTPProtocol Tunnel(this);
    TNetBodyPrefixStream Body(ErrorBodyKept);
    TNetHTTPRequest& Req = Tunnel.Request();
    TNetHTTPResponse& Resp = Tunnel.Response();
    Req.SetUserAgent(ARequest.UserAgent());
    Req.SetHost(ARequest.Host());
    Req.SetContentLength(ARequest.ContentLength());
    Req.SetPragma("no-cache");
    Req.Target = URIHost(FURI->Host) + ":" + FURI->Port;
    Req.Method = hmConnect;
    Req.SetProxyConnection("keep-alive");
    Resp.BodyStream = &Body;

    for (;;) {
        EnsureConnected(Resp);
        Tunnel.SendRequest(nullptr);
        Resp.StatusLine = ReceiveLine();
        if (Resp.StatusLine.empty()) {
            Resp.StatusLine = "HTTP/1.0 200 OK";
            Resp.SetConnection("close");
        } else {
            Tunnel.ReadHeaders();
            ApplyResponseCookies(Req, Resp);
        }
        const int32_t Code = Resp.StatusCode();
        if (Code == 200) {
            if (TNetSSLIOHandlerSocket* TLS = AsTLSHandler(FIOHandler))
                TLS->SetBypassTLS(false);
            return;
        }
        Tunnel.DecideResponse();
        // Only a proxy's request for credentials that were then supplied is worth another
        // CONNECT (and those rounds are counted); any other answer that was not refused
        // outright still opened no tunnel and would otherwise be asked again for ever.
        if (Code != 407)
            throw ENetHTTPProtocolException(Code, Resp.StatusLine, Body.Text());
    }
}

void TNetCustomHTTP::EnsureConnected(TNetHTTPResponse& AResponse)
{
    if (!AResponse.IsKeepAlive())
        Hangup();
    PollClosed(false);
    if (!IsConnected()) {
        // A connect late in an exchange gets no more than what is left of it.
        int32_t Timeout = ReadTimeout;
        const int32_t Left = ReadDeadlineLeft();
        if (Left >= 0 && (Timeout <= 0 || Left < Timeout))
            Timeout = std::max<int32_t>(Left, 1);
        try {
            Establish(Timeout);
        } catch (const ENetSSLProtocolReplyError&) {
            Hangup();
            throw;
        }
    }
}

void TNetCustomHTTP::AddRequestCookies(TNetURI& AURI, TNetHTTPRequest& ARequest)
{
    if (!FCookieManager)
        return;
    // A Secure cookie is for https only: a TLS handler may well carry plain http.
    const std::string Cookies = FCookieManager->CookieHeaderFor(
        AURI, SameText(AURI.Protocol, "https") && AsTLSHandler(FIOHandler) != nullptr);
    if (!Cookies.empty())
        ARequest.RawHeaders().SetValueOf("Cookie", Cookies);
}

void TNetCustomHTTP::ApplyResponseCookies(TNetHTTPRequest& ARequest, TNetHTTPResponse& AResponse)
{
    (void)ARequest;
    if (!FCookieManager && AllowCookies) {
        SetCookieManager(new TNetCookieManager(this));
        FOwnsCookieManager = true;
    }
    if (!FCookieManager)
        return;
    std::vector<std::string> Cookies, Cookies2;
    AResponse.RawHeaders().CollectValues("Set-cookie", &Cookies);
    AResponse.RawHeaders().CollectValues("Set-cookie2", &Cookies2);
    for (const std::string& Text : Cookies)
        if (FExchangeCookies++ < HTTPExchangeCookieLimit)
            FCookieManager->AddSetCookie(Text, FURI->Host);
    for (const std::string& Text : Cookies2)
        if (FExchangeCookies++ < HTTPExchangeCookieLimit)
            FCookieManager->AddSetCookie2(Text, FURI->Host);
}

void TNetCustomHTTP::ReadBodyBytes(TStream& AStream, int64_t ACount)
{
    while (ACount > 0) {
        const int32_t Piece = static_cast<int32_t>(std::min<int64_t>(ACount, 1 << 30));
        ReadToStream(AStream, Piece, false);
        ACount -= Piece;
    }
}

void TNetCustomHTTP::ReadBody(TNetHTTPResponse& AResponse)
{
    if (!AResponse.BodyStream)
        return;
    const TNetHTTPMethod Method = AResponse.Request() ? AResponse.Request()->Method : hmGet;
    if (!ResponseHasBody(Method, AResponse.StatusCode()))
        return;
    TStream& Stream = *AResponse.BodyStream;
    const TNetHeaderList& Headers = AResponse.RawHeaders();
    auto Refuse = [this](const std::string& AMessage) {
        // The rest of the answer is of unknown length: the connection is of no more use.
        Hangup();
        throw ENetHTTPInvalidFraming(AMessage);
    };

    // The transfer codings of all Transfer-Encoding lines, in order; chunked must be the last.
    std::vector<std::string> Codings;
    std::vector<std::string> Values;
    Headers.CollectValues("Transfer-Encoding", &Values);
    for (const std::string& Value : Values)
        for (std::string Rest = Value; !Rest.empty();)
            if (std::string Coding = Trim(Fetch(Rest, ",")); !Coding.empty())
                Codings.push_back(std::move(Coding));
    const bool Chunked = !Codings.empty() && SameText(Codings.back(), "chunked");

    // Every Content-Length line must hold plain decimal digits, and all the same number; beside
    // a transfer coding none counts.
    int64_t Length = -1;
    Values.clear();
    Headers.CollectValues("Content-Length", &Values);
    const bool LengthGiven = !Values.empty();
    if (!Codings.empty())
        Values.clear();
    for (const std::string& Value : Values) {
        const int64_t This = HTTPDecimalLength(Trim(Value));
        if (This < 0)
            Refuse("Invalid Content-Length: \"" + Value + "\"");
        if (Length >= 0 && This != Length)
            Refuse("Conflicting Content-Length values: " + std::to_string(Length) + " and "
                + std::to_string(This));
        Length = This;
    }

    if (Chunked) {
        ReportStatus(TNetStatus::hsStatusText, { RSHTTPChunkStarted });
        for (int64_t Size = ReadChunkSize(); Size > 0; Size = ReadChunkSize()) {
            ReadBodyBytes(Stream, Size);
            if (const std::string End = ReceiveLine(); !End.empty())
                Refuse("Chunk data longer than its size");
        }
        // The trailer section ends with an empty line; each trailer line is read and dropped so
        // that nothing of this body is left for the next response on the connection.
        while (!ReceiveLine().empty()) { }
        // A length beside the chunks is a framing a party on the way may have read otherwise:
        // the connection is not used again.
        if (LengthGiven)
            Hangup();
    } else if (!Codings.empty()) {
        // A coding the client cannot undo ends only with the connection.
        ReadToStream(Stream, -1, true);
    } else if (Length > 0) {
        try {
            ReadBodyBytes(Stream, Length);
        } catch (const ENetConnClosedGracefully&) {
            // What arrived before the close stays in the stream; whoever needs the whole
            // body learns that it is not.
            AResponse.BodyCutShort = true;
        }
    } else if (Length < 0) {
        ReadToStream(Stream, -1, true);
    }
}

int64_t TNetCustomHTTP::ReadChunkSize()
{
    const std::string Line = ReceiveLine();
    // Hexadecimal digits, then optional blanks before a chunk extension after ";".
    size_t End = 0;
    while (End < Line.size() && std::isxdigit(static_cast<unsigned char>(Line[End])))
        ++End;
    size_t Rest = End;
    while (Rest < Line.size() && (Line[Rest] == ' ' || Line[Rest] == '\t'))
        ++Rest;
    std::string_view Digits(Line.data(), End);
    const size_t First = Digits.find_first_not_of('0');
    const size_t Significant = First == std::string_view::npos ? 0 : Digits.size() - First;
    const bool Fits = Significant < 16 || (Significant == 16 && Line[End - 16] <= '7');
    if (End == 0 || (Rest < Line.size() && Line[Rest] != ';') || !Fits) {
        Hangup();
        throw ENetHTTPInvalidFraming("Invalid chunk size: \"" + Line + "\"");
    }
    int64_t Size = 0;
    for (size_t I = End - Significant; I < End; ++I) {
        const char C = static_cast<char>(std::tolower(static_cast<unsigned char>(Line[I])));
        Size = Size * 16 + (C <= '9' ? C - '0' : C - 'a' + 10);
    }
    return Size;
}

bool TNetCustomHTTP::AskRedirect(std::string& ALocation, TNetHTTPMethod& AMethod, int32_t ARedirectCount)
{
    bool Handled = HandleRedirects;
    if (OnRedirect) {
        int32_t Count = ARedirectCount;
        OnRedirect(this, ALocation, Count, Handled, AMethod);
    }
    return Handled;
}

bool TNetCustomHTTP::RunAuthentication(TNetAuthentication& AAuthentication, const std::string& AUsername,
    const std::string& APassword, const TNetHeaderList& AChallenges, const TNetOnAuthorization& AAsk,
    std::string& AOutUsername, std::string& AOutPassword, bool& AOutHandled)
{
    AOutHandled = false;
    AAuthentication.SetUsername(AUsername);
    AAuthentication.SetPassword(APassword);
    AAuthentication.Settings().SetValueOf("Authorization", AAuthentication.HeaderValue());
    AAuthentication.SetChallenges(AChallenges);
    std::string Username = AUsername;
    std::string Password = APassword;
    for (;;) {
        switch (AAuthentication.Next()) {
        case asSendRequest:
            return true;
        case asFail:
            return false;
        case asAskCaller: {
            AAuthentication.SetUsername(Username);
            AAuthentication.SetPassword(Password);
            bool Handled = false;
            AAsk(this, &AAuthentication, Handled);
            if (!Handled)
                return false;
            const std::string NewUsername = AAuthentication.Username();
            const std::string NewPassword = AAuthentication.Password();
            // A handler that agrees but supplies nothing new would be asked again for ever.
            if (NewUsername == Username && NewPassword == Password)
                return false;
            Username = NewUsername;
            Password = NewPassword;
            AOutHandled = true;
            AOutUsername = Username;
            AOutPassword = Password;
            break;
        }
        }
    }
}

bool TNetCustomHTTP::AskAuthorization(TNetHTTPRequest& ARequest, TNetHTTPResponse& AResponse)
{
    ++FAuthAttempts;
    if (!ARequest.Authentication()) {
        TNetAuthenticationClass Class = FindChallengeClass(AResponse.WWWAuthenticate());
        if (!Class)
            return false;
        if (OnSelectAuthorization)
            OnSelectAuthorization(this, Class, AResponse.WWWAuthenticate());
        if (!Class)
            return false;
        ARequest.SetAuthentication(Class.Create());
    }
    if (!OnAuthorization)
        return false;
    std::string Username, Password;
    bool Asked = false;
    auto Copy = [&] {
        if (Asked) {
            ARequest.SetBasicAuthentication(true);
            ARequest.SetUsername(Username);
            ARequest.SetPassword(Password);
        }
    };
    const bool Result = RunAuthentication(*ARequest.Authentication(), ARequest.Username(),
        ARequest.Password(), AResponse.WWWAuthenticate(), OnAuthorization, Username, Password, Asked);
    Copy();
    return Result;
}

bool TNetCustomHTTP::AskProxyAuthorization(TNetHTTPRequest& ARequest, TNetHTTPResponse& AResponse)
{
    (void)ARequest;
    ++FProxyAuthAttempts;
    TNetProxyConnectionInfo& Proxy = *FProxyParams;
    if (!Proxy.Authentication()) {
        TNetAuthenticationClass Class = FindChallengeClass(AResponse.ProxyAuthenticate());
        if (!Class)
            return false;
        if (OnSelectProxyAuthorization)
            OnSelectProxyAuthorization(this, Class, AResponse.ProxyAuthenticate());
        if (!Class)
            return false;
        Proxy.SetAuthentication(Class.Create());
    }
    if (!OnProxyAuthorization)
        return false;
    Proxy.SetProxyPassword("");
    Proxy.Authentication()->Reset();
    std::string Username, Password;
    bool Asked = false;
    const bool Result
        = RunAuthentication(*Proxy.Authentication(), Proxy.ProxyUsername(), Proxy.ProxyPassword(),
            AResponse.ProxyAuthenticate(), OnProxyAuthorization, Username, Password, Asked);
    if (Asked) {
        Proxy.SetBasicAuthentication(true);
        Proxy.SetProxyUsername(Username);
        Proxy.SetProxyPassword(Password);
    }
    return Result;
}
