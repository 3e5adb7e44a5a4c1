// The HTTP/1.x client: one request/response exchange at a time over a buffered TCP connection,
// directly, through TLS, through a proxy or through a proxy tunnel, with redirects, credentials
// and cookies. A connection is kept between exchanges while the server allows it.
#pragma once

#include "net/http/NetAuthentication.h"
#include "net/http/NetAuthenticationManager.h"
#include "net/http/NetCookieManager.h"
#include "net/http/NetGlobal.h"
#include "net/http/NetHTTPHeaderInfo.h"
#include "net/http/NetURI.h"
#include "net/stack/NetClasses.h"
#include "net/tcp/NetTCPClient.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>

inline constexpr const char* RSHTTPUnknownResponseCode = "Undefined situation";
inline constexpr const char* RSHTTPMethodRequiresVersion = "This request method is supported in HTTP 1.1";
inline constexpr const char* RSHTTPChunkStarted = "Chunk Started";
inline constexpr const char* RSHTTPUserAgent = "Mozilla/3.0 (compatible; Vardex)";
inline constexpr const char* RSHTTPHeadersTooLarge = "Response headers too large.";
inline constexpr const char* RSHTTPInvalidStatusLine = "Invalid HTTP status line:";
inline constexpr const char* RSHTTPOnlyHTTP2
    = "The server speaks HTTP/2 only: it answered with an HTTP/2 frame.";
inline constexpr const char* RSHTTPURLControlCharacter = "The URL contains a control character.";

// The header lines of one response together exceed HTTPHeaderSectionLimit bytes, or the
// interim answers (1xx) before it do.
VARDEX_NET_EXCEPTION(ENetHTTPHeadersTooLarge, ENetException);
// The response does not say unambiguously where its body ends: a Content-Length that is not
// plain decimal digits, two different ones, a chunk size that is not hexadecimal. Reading on
// would judge the page by bytes the server did not mean as its body.
VARDEX_NET_EXCEPTION(ENetHTTPInvalidFraming, ENetException);

// The most the header lines of one response may hold, counted with their line ends; the
// interim answers of one exchange together, status lines included, get as much again.
inline constexpr size_t HTTPHeaderSectionLimit = 65536;
// The most cookies one exchange hands to the cookie manager, redirects included; the rest
// are dropped. A server must not be able to fill the client's memory with them.
inline constexpr int32_t HTTPExchangeCookieLimit = 100;

enum TNetHTTPMethod { hmHead, hmGet, hmPost, hmOptions, hmTrace, hmPut, hmDelete, hmConnect };

// The word that starts a request line, with its trailing space.
const char* HTTPMethodWord(TNetHTTPMethod AMethod);

enum TNetHTTPOption { hoInProcessAuth, hoKeepOrigProtocol, hoForceEncodeParams };

class TNetHTTPOptions {
public:
    TNetHTTPOptions() = default;
    TNetHTTPOptions(std::initializer_list<TNetHTTPOption> AOptions)
    {
        for (TNetHTTPOption Option : AOptions)
            Include(Option);
    }
    void Include(TNetHTTPOption AOption) { FBits |= Bit(AOption); }
    void Exclude(TNetHTTPOption AOption) { FBits &= ~Bit(AOption); }
    bool Contains(TNetHTTPOption AOption) const { return (FBits & Bit(AOption)) != 0; }
    bool operator==(const TNetHTTPOptions&) const = default;

private:
    static uint32_t Bit(TNetHTTPOption AOption) { return 1u << static_cast<uint32_t>(AOption); }
    uint32_t FBits = 0;
};

enum TNetHTTPProtocolVersion { pv1_0, pv1_1 };

// What is done after a response.
enum TNetHTTPResponseDisposition {
    rdRedirect = 0, // send again, to the request's (new) target
    rdDone = 1, // finished
    rdUndefined = 2, // no decision could be taken
    rdReadAndRepeat = 3, // read the body, then send again (never decided)
    rdAuthRetry = 4, // send the same URL again, with credentials
};

enum TNetHTTPRoute { hrDirect = 0, hrTLS = 1, hrProxy = 2, hrTLSProxy = 3 };

class TNetCustomHTTP;

// Sender, the location to go to, the count of requests so far, whether to follow it, and the
// method of the next request; all but the count may be changed.
using TNetHTTPOnRedirectEvent = std::function<void(
    TComponent* Sender, std::string& ADest, int32_t& ANumRedirect, bool& AHandled, TNetHTTPMethod& AMethod)>;
// May replace the class chosen for the server's challenges (AAuthInfo).
using TNetOnSelectAuthorization = std::function<void(
    TComponent* Sender, TNetAuthenticationClass& AAuthenticationClass, const TNetHeaderList& AAuthInfo)>;
// Supplies credentials through AAuthentication (Username, Password); AHandled true sends them.
using TNetOnAuthorization
    = std::function<void(TComponent* Sender, TNetAuthentication* AAuthentication, bool& AHandled)>;

// The request record of an exchange.
class TNetHTTPRequest : public TNetRequestHeaderInfo {
public:
    explicit TNetHTTPRequest(TNetCustomHTTP* AHTTP)
        : FHTTP(AHTTP)
    {
    }

    TNetCustomHTTP* HTTP() const { return FHTTP; }

    // The URL as given; after preparation the target written on the request line.
    std::string Target;
    TNetHTTPMethod Method = hmGet;
    // The body sent with hmPost and hmPut; not owned.
    TStream* SourceStream = nullptr;
    TNetHTTPRoute Route = hrDirect;

private:
    TNetCustomHTTP* FHTTP;
};

// The response record of an exchange.
class TNetHTTPResponse : public TNetResponseHeaderInfo {
public:
    // ARequest is the request this record answers (its method decides whether a body follows).
    TNetHTTPResponse(TNetCustomHTTP* AHTTP, TNetHTTPRequest* ARequest)
        : FHTTP(AHTTP)
        , FRequest(ARequest)
    {
    }

    // The code of a status line "HTTP/" digit "." digit, a blank and exactly three decimal
    // digits (then a blank and the reason, or the end); -1 for any other line.
    int32_t StatusCode();
    // Whether the connection may carry the next exchange: it must still be open and the
    // Connection (or Proxy-Connection) answer must allow it under the client's version.
    // Also takes the server's version from the status line into ResponseVersion.
    bool IsKeepAlive();

    TNetCustomHTTP* HTTP() const { return FHTTP; }
    TNetHTTPRequest* Request() const { return FRequest; }

    // The first line of the response as read.
    std::string StatusLine;
    // 0 for "1.0", 1 for "1.1"; informational.
    int32_t ResponseVersion = 0;
    // Receives the body; not owned, may be none.
    TStream* BodyStream = nullptr;
    // Set when the server closed the connection before the whole announced length of the
    // body had come; the bytes that did come are in the body stream all the same.
    bool BodyCutShort = false;

private:
    TNetCustomHTTP* FHTTP;
    TNetHTTPRequest* FRequest;
    int32_t FStatusCode = 0;
};

// One request and its response, with the steps that write the one and judge the other.
class TNetHTTPProtocol {
public:
    explicit TNetHTTPProtocol(TNetCustomHTTP* AHTTP);
    ~TNetHTTPProtocol();
    TNetHTTPProtocol(const TNetHTTPProtocol&) = delete;
    TNetHTTPProtocol& operator=(const TNetHTTPProtocol&) = delete;

    // Writes the request line and the header lines in one send; cookies for AURI are added
    // when it is given.
    void SendRequest(TNetURI* AURI);
    // Reads header lines up to the empty line into the response record and returns their
    // bytes, line ends counted. A peer that closes meanwhile ends the reading (and the
    // connection) without error. More than ALimit bytes of lines raise ENetHTTPHeadersTooLarge
    // and hang up.
    size_t ReadHeaders(size_t ALimit = HTTPHeaderSectionLimit);
    // Judges the response just read: reads or drains its body and says what comes next, or
    // raises ENetHTTPProtocolException for a refused status.
    TNetHTTPResponseDisposition DecideResponse();
    // Reads the error body (2000 ms per read at most) and raises ENetHTTPProtocolException
    // with the status code, the status line and the body.
    [[noreturn]] void RaiseProtocolError();
    // Reads the body and drops it (4000 ms per read at most), whatever goes wrong.
    void DrainBody();

    TNetCustomHTTP* HTTP() const { return FHTTP; }
    TNetHTTPRequest& Request() { return *FRequest; }
    TNetHTTPResponse& Response() { return *FResponse; }

private:
    TNetCustomHTTP* FHTTP;
    std::unique_ptr<TNetHTTPRequest> FRequest;
    std::unique_ptr<TNetHTTPResponse> FResponse;
};

class TNetCustomHTTP : public TNetTCPClient {
public:
    explicit TNetCustomHTTP(TComponent* AOwner = nullptr);
    ~TNetCustomHTTP() override;

    // One GET; the body as a string.
    std::string GetText(const std::string& AURL);
    // One GET; the body goes to AStream as it arrives.
    void GetToStream(const std::string& AURL, TStream& AStream);

    // Asks for credentials after a 401; true when they are ready to be sent.
    virtual bool AskAuthorization(TNetHTTPRequest& ARequest, TNetHTTPResponse& AResponse);
    // Asks for proxy credentials after a 407; true when they are ready to be sent.
    virtual bool AskProxyAuthorization(TNetHTTPRequest& ARequest, TNetHTTPResponse& AResponse);
    // Whether to follow ALocation (HandleRedirects, then OnRedirect, decide).
    virtual bool AskRedirect(std::string& ALocation, TNetHTTPMethod& AMethod, int32_t ARedirectCount);
    // The exchange: sends AMethod for AURL and reads the answer, following redirects and
    // credential rounds as allowed. The body goes to AResponseStream (may be none); ASourceStream
    // is sent as the body of hmPost and hmPut.
    virtual void PerformRequest(
        TNetHTTPMethod AMethod, const std::string& AURL, TStream* AResponseStream, TStream* ASourceStream);

    // Copies the value into the client URI as well.
    void SetHost(const std::string& AValue) override;
    void SetPort(int32_t AValue) override;
    // Hands finished credentials to the authentication manager; resets the proxy's.
    void FireDisconnected() override;

    // Turns the request's Target (a URL) into the request-URI, merging it with the client
    // URI, and fills Host and ContentLength.
    void PrepareTarget(TNetHTTPRequest& ARequest);
    // Where the next request goes (and the TLS handler switched for it).
    TNetHTTPRoute ChooseRoute();
    // Connects when needed (through a tunnel for TLS behind a proxy) and sends the request.
    void OpenConnection(TNetHTTPRequest& ARequest, TNetHTTPResponse& AResponse);
    // Connects unless the connection may be kept and is still open.
    void EnsureConnected(TNetHTTPResponse& AResponse);
    void AddRequestCookies(TNetURI& AURI, TNetHTTPRequest& ARequest);
    void ApplyResponseCookies(TNetHTTPRequest& ARequest, TNetHTTPResponse& AResponse);
    // Reads the body into the response's BodyStream by the HTTP/1.1 rules: chunked when the
    // last transfer coding is chunked (whatever a Content-Length says), by a Content-Length
    // of plain decimal digits (64 bits), or until the close. A body whose end the headers do
    // not make clear raises ENetHTTPInvalidFraming and hangs up.
    void ReadBody(TNetHTTPResponse& AResponse);
    // The size on a chunk line: hexadecimal digits that fit 63 bits, then blanks and a chunk
    // extension after ";" at most. Anything else raises ENetHTTPInvalidFraming and hangs up.
    int64_t ReadChunkSize();

    TNetHTTPRequest& Request() { return FProtocol->Request(); }
    // Copies the request settings of ARequest into the client's own record.
    void SetRequest(const TNetRequestHeaderInfo& ARequest) { FProtocol->Request().Assign(ARequest); }
    TNetHTTPResponse& Response() { return FProtocol->Response(); }
    TNetHTTPProtocol& Protocol() { return *FProtocol; }
    TNetProxyConnectionInfo& ProxyParams() { return *FProxyParams; }
    // The URL of the current connection and request.
    TNetURI& URL() { return *FURI; }
    int32_t ResponseCode() { return Response().StatusCode(); }

    TNetCookieManager* CookieManager() const { return FCookieManager; }
    // Frees a manager the client made itself; AValue is referred to until it is destroyed.
    void SetCookieManager(TNetCookieManager* AValue);
    bool OwnsCookieManager() const { return FOwnsCookieManager; }
    TNetAuthenticationManager* AuthenticationManager() const { return FAuthenticationManager; }
    void SetAuthenticationManager(TNetAuthenticationManager* AValue);

    int32_t RedirectCount() const { return FRedirectCount; }
    int32_t AuthAttempts() const { return FAuthAttempts; }
    int32_t ProxyAuthAttempts() const { return FProxyAuthAttempts; }

    // Most 401 rounds, and separately most 407 rounds, in one exchange.
    int32_t AuthRetries = 3;
    // Make a cookie manager on the first response when none is assigned.
    bool AllowCookies = true;
    // Follow a Location without asking.
    bool HandleRedirects = false;
    TNetHTTPProtocolVersion ProtocolVersion = pv1_1;
    // Requests that may be sent in one exchange while redirects are followed.
    int32_t RedirectMaximum = 15;
    // Milliseconds a whole exchange may take, its connects, every response and every body
    // included, however the server paces its bytes; 0 = no limit beyond the time-out of each
    // read. Past it the next read raises ENetReadTimeout.
    int32_t ExchangeTimeout = 0;
    TNetHTTPOptions HTTPOptions { hoForceEncodeParams };

    TNetHTTPOnRedirectEvent OnRedirect;
    TNetOnSelectAuthorization OnSelectAuthorization;
    TNetOnSelectAuthorization OnSelectProxyAuthorization;
    TNetOnAuthorization OnAuthorization;
    TNetOnAuthorization OnProxyAuthorization;

protected:
    void Notification(TComponent* AComponent, TOperation AOperation) override;

private:
    friend class TNetHTTPProtocol;

    // The route's TLS setting on a TLS handler; an open link carried the other way is closed
    // first, so a connection is never switched between plain and TLS under way.
    void SetHandlerBypass(bool ABypass);
    void OpenTunnel(TNetHTTPRequest& ARequest);
    // Asks AAuthentication for its next step until it can send or gives up.
    bool RunAuthentication(TNetAuthentication& AAuthentication, const std::string& AUsername,
        const std::string& APassword, const TNetHeaderList& AChallenges, const TNetOnAuthorization& AAsk,
        std::string& AOutUsername, std::string& AOutPassword, bool& AOutHandled);

    // Scheme, host and port of the client URI, in one text for comparing.
    std::string Origin() const;
    // Reads exactly ACount bytes of body into AStream, in pieces the connection can take.
    void ReadBodyBytes(TStream& AStream, int64_t ACount);

    // The phases of PerformRequest. The status line, interim answers and headers of the answer
    // to the request just sent, its cookies taken.
    void ReadResponseHead(TNetHTTPRequest& ARequest, TNetHTTPResponse& AResponse);
    // One status line; its code, or a protocol exception for what is not HTTP/1.
    int32_t ReadStatusLine(TNetHTTPResponse& AResponse);
    // After a response head, the redirect or credential decision: true when the exchange is
    // over; otherwise the request goes again, what came into ABody from ABodyStart on undone.
    bool FollowResponse(const std::string& AURL, TStream* ABody, int64_t ABodyStart);
    void RewindExchange(TStream* ABody, int64_t ABodyStart);
    // Ends the exchange's bound and its request count, forgets the caller's streams and
    // hangs up unless the connection may be kept.
    void EndExchange();
    // The phases of PrepareTarget: the new target merged into the client URI (its scheme
    // checked), then the request's target, length and Host from it.
    void MergeIntoURI(const TNetURI& ANew);
    void FillRequestHead(TNetHTTPRequest& ARequest, const std::string& AResource);

    // The URL of the current request, merged from the ones before it.
    std::unique_ptr<TNetURI> FURI;
    // Where the request's credentials belong: the origin of the exchange's own URL, or of a
    // later URL that brought user information of its own. Authorization goes nowhere else.
    std::string FCredentialOrigin;
    // Cookies handed to the manager in the current exchange.
    int32_t FExchangeCookies = 0;
    std::unique_ptr<TNetHTTPProtocol> FProtocol;
    std::unique_ptr<TNetProxyConnectionInfo> FProxyParams;
    int32_t FRedirectCount = 0;
    int32_t FAuthAttempts = 0;
    int32_t FProxyAuthAttempts = 0;
    TNetCookieManager* FCookieManager = nullptr;
    bool FOwnsCookieManager = false;
    TNetAuthenticationManager* FAuthenticationManager = nullptr;
};

class TNetHTTP : public TNetCustomHTTP {
public:
    explicit TNetHTTP(TComponent* AOwner = nullptr)
        : TNetCustomHTTP(AOwner)
    {
    }
};
