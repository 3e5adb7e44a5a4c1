// Header records: the typed properties of a request or response, written to and read from
// their raw header lines.
#pragma once

#include "net/http/NetAuthentication.h"
#include "net/http/NetHeaderList.h"
#include "net/stack/NetTime.h"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

// A Content-Length value written as plain decimal digits; -1 for anything else (a sign, a
// blank, hex, an exponent, a list) and for more than 18 digits after the leading zeros.
int64_t HTTPDecimalLength(std::string_view AText);

// The headers every HTTP message may carry.
class TNetEntityHeaderInfo {
public:
    TNetEntityHeaderInfo();
    virtual ~TNetEntityHeaderInfo() = default;
    TNetEntityHeaderInfo(const TNetEntityHeaderInfo&) = delete;
    TNetEntityHeaderInfo& operator=(const TNetEntityHeaderInfo&) = delete;

    // Copies RawHeaders and the content and date properties.
    virtual void Assign(const TNetEntityHeaderInfo& ASource);
    // Fills the properties from RawHeaders.
    virtual void ReadFromRaw();
    // Rebuilds RawHeaders from the properties.
    virtual void WriteToRaw();
    // Back to the defaults; CacheControl, Pragma and CustomHeaders are left alone.
    virtual void Clear();

    const std::string& CacheControl() const { return FCacheControl; }
    void SetCacheControl(const std::string& AValue) { FCacheControl = AValue; }
    const std::string& Connection() const { return FConnection; }
    void SetConnection(const std::string& AValue) { FConnection = AValue; }
    const std::string& ContentEncoding() const { return FContentEncoding; }
    void SetContentEncoding(const std::string& AValue) { FContentEncoding = AValue; }
    const std::string& ContentLanguage() const { return FContentLanguage; }
    void SetContentLanguage(const std::string& AValue) { FContentLanguage = AValue; }
    const std::string& ContentVersion() const { return FContentVersion; }
    void SetContentVersion(const std::string& AValue) { FContentVersion = AValue; }
    const std::string& ContentType() const { return FContentType; }
    void SetContentType(const std::string& AValue) { FContentType = AValue; }
    const std::string& Pragma() const { return FPragma; }
    void SetPragma(const std::string& AValue) { FPragma = AValue; }
    // -1 = none. Assigning also sets HasContentLength (true for 0 or more).
    int64_t ContentLength() const { return FContentLength; }
    void SetContentLength(int64_t AValue);
    bool HasContentLength() const { return FHasContentLength; }
    int32_t ContentRangeStart() const { return FContentRangeStart; }
    void SetContentRangeStart(int32_t AValue) { FContentRangeStart = AValue; }
    int32_t ContentRangeEnd() const { return FContentRangeEnd; }
    void SetContentRangeEnd(int32_t AValue) { FContentRangeEnd = AValue; }
    // Local date-times; 0 = none.
    TDateTime Date() const { return FDate.Get(); }
    void SetDate(TDateTime AValue) { FDate.Set(AValue); }
    TDateTime Expires() const { return FExpires.Get(); }
    void SetExpires(TDateTime AValue) { FExpires.Set(AValue); }
    TDateTime LastModified() const { return FLastModified.Get(); }
    void SetLastModified(TDateTime AValue) { FLastModified.Set(AValue); }

    // Extra lines sent as they are.
    TNetHeaderList& CustomHeaders() { return FCustomHeaders; }
    const TNetHeaderList& CustomHeaders() const { return FCustomHeaders; }
    // The lines as sent or received (folded at 1024 characters).
    TNetHeaderList& RawHeaders() { return FRawHeaders; }
    const TNetHeaderList& RawHeaders() const { return FRawHeaders; }

protected:
    void ClearEntity();
    void ReadEntityFromRaw();
    void WriteEntityToRaw();

    std::string FCacheControl, FConnection, FContentEncoding, FContentLanguage, FContentVersion, FContentType,
        FPragma;
    int64_t FContentLength = -1;
    bool FHasContentLength = false;
    int32_t FContentRangeStart = 0;
    int32_t FContentRangeEnd = 0;
    // A date of a received head is read from its text when first asked for: most answers
    // are read for their status and body alone, and reading a date costs more than the rest
    // of the head.
    class TLazyDate {
    public:
        TDateTime Get() const;
        void Set(TDateTime AValue)
        {
            FValue = AValue;
            FText.clear();
            FPending = false;
        }
        void SetText(std::string AText)
        {
            FText = std::move(AText);
            FPending = true;
        }

    private:
        mutable TDateTime FValue = 0;
        mutable std::string FText;
        mutable bool FPending = false;
    };
    TLazyDate FDate;
    TLazyDate FExpires;
    TLazyDate FLastModified;
    TNetHeaderList FCustomHeaders;
    TNetHeaderList FRawHeaders;
};

class TNetRequestHeaderInfo : public TNetEntityHeaderInfo {
public:
    TNetRequestHeaderInfo();
    ~TNetRequestHeaderInfo() override;

    // From another request record only the request's own settings (Accept..UserAgent,
    // credentials, BasicAuthentication) are copied; any other record is copied as an entity.
    void Assign(const TNetEntityHeaderInfo& ASource) override;
    void ReadFromRaw() override;
    // The entity lines, then Proxy-Connection, Host, Accept, Accept-Charset, Accept-Encoding,
    // Accept-Language, From, Referer, User-Agent, If-Modified-Since, Range, Authorization.
    void WriteToRaw() override;
    void Clear() override;

    const std::string& Accept() const { return FAccept; }
    void SetAccept(const std::string& AValue) { FAccept = AValue; }
    const std::string& AcceptCharSet() const { return FAcceptCharSet; }
    void SetAcceptCharSet(const std::string& AValue) { FAcceptCharSet = AValue; }
    const std::string& AcceptEncoding() const { return FAcceptEncoding; }
    void SetAcceptEncoding(const std::string& AValue) { FAcceptEncoding = AValue; }
    const std::string& AcceptLanguage() const { return FAcceptLanguage; }
    void SetAcceptLanguage(const std::string& AValue) { FAcceptLanguage = AValue; }
    const std::string& Host() const { return FHost; }
    void SetHost(const std::string& AValue) { FHost = AValue; }
    const std::string& From() const { return FFrom; }
    void SetFrom(const std::string& AValue) { FFrom = AValue; }
    const std::string& Referer() const { return FReferer; }
    void SetReferer(const std::string& AValue) { FReferer = AValue; }
    const std::string& UserAgent() const { return FUserAgent; }
    void SetUserAgent(const std::string& AValue) { FUserAgent = AValue; }
    const std::string& Username() const { return FUsername; }
    void SetUsername(const std::string& AValue) { FUsername = AValue; }
    const std::string& Password() const { return FPassword; }
    void SetPassword(const std::string& AValue) { FPassword = AValue; }
    const std::string& ProxyConnection() const { return FProxyConnection; }
    void SetProxyConnection(const std::string& AValue) { FProxyConnection = AValue; }
    bool BasicAuthentication() const { return FBasicAuthentication; }
    void SetBasicAuthentication(bool AValue) { FBasicAuthentication = AValue; }

    // The record owns its authentication object; setting one frees the previous one.
    TNetAuthentication* Authentication() const { return FAuthentication.get(); }
    void SetAuthentication(std::unique_ptr<TNetAuthentication> AValue)
    {
        FAuthentication = std::move(AValue);
    }

protected:
    std::string FAccept, FAcceptCharSet, FAcceptEncoding, FAcceptLanguage, FHost, FFrom, FReferer, FUserAgent,
        FUsername, FPassword, FProxyConnection;
    bool FBasicAuthentication = false;
    std::unique_ptr<TNetAuthentication> FAuthentication;
};

class TNetResponseHeaderInfo : public TNetEntityHeaderInfo {
public:
    TNetResponseHeaderInfo();

    // Raises ENetConvertError for a Content-Range number that does not convert and for an
    // integer Expires outside 0..86399 other than -1.
    void ReadFromRaw() override;
    void Clear() override;

    const std::string& Location() const { return FLocation; }
    void SetLocation(const std::string& AValue) { FLocation = AValue; }
    const std::string& Server() const { return FServer; }
    void SetServer(const std::string& AValue) { FServer = AValue; }
    const std::string& ProxyConnection() const { return FProxyConnection; }
    void SetProxyConnection(const std::string& AValue) { FProxyConnection = AValue; }
    TNetHeaderList& WWWAuthenticate() { return FWWWAuthenticate; }
    const TNetHeaderList& WWWAuthenticate() const { return FWWWAuthenticate; }
    void SetWWWAuthenticate(const TNetHeaderList& AValue) { FWWWAuthenticate = AValue; }
    TNetHeaderList& ProxyAuthenticate() { return FProxyAuthenticate; }
    const TNetHeaderList& ProxyAuthenticate() const { return FProxyAuthenticate; }
    void SetProxyAuthenticate(const TNetHeaderList& AValue) { FProxyAuthenticate = AValue; }

protected:
    std::string FLocation, FServer, FProxyConnection;
    TNetHeaderList FWWWAuthenticate;
    TNetHeaderList FProxyAuthenticate;
};

// The proxy settings of a client, with the proxy's authentication object.
class TNetProxyConnectionInfo {
public:
    TNetProxyConnectionInfo();
    ~TNetProxyConnectionInfo();
    TNetProxyConnectionInfo(const TNetProxyConnectionInfo&) = delete;
    TNetProxyConnectionInfo& operator=(const TNetProxyConnectionInfo&) = delete;

    void Assign(const TNetProxyConnectionInfo& ASource);
    void Clear();
    // Sets "Proxy-Authorization" in AHeaders from the authentication object, or from a new
    // Basic one when BasicAuthentication is on.
    void WriteProxyAuthorization(TNetHeaderList& AHeaders);

    const std::string& ProxyServer() const { return FProxyServer; }
    // Another server (in any letter case) or port drops the authentication object.
    void SetProxyServer(const std::string& AValue);
    int32_t ProxyPort() const { return FProxyPort; }
    void SetProxyPort(int32_t AValue);
    const std::string& ProxyUsername() const { return FProxyUsername; }
    void SetProxyUsername(const std::string& AValue) { FProxyUsername = AValue; }
    const std::string& ProxyPassword() const { return FProxyPassword; }
    void SetProxyPassword(const std::string& AValue) { FProxyPassword = AValue; }
    bool BasicAuthentication() const { return FBasicAuthentication; }
    void SetBasicAuthentication(bool AValue) { FBasicAuthentication = AValue; }

    TNetAuthentication* Authentication() const { return FAuthentication.get(); }
    void SetAuthentication(std::unique_ptr<TNetAuthentication> AValue)
    {
        FAuthentication = std::move(AValue);
    }

private:
    std::string FProxyServer;
    int32_t FProxyPort = 0;
    std::string FProxyUsername, FProxyPassword;
    bool FBasicAuthentication = false;
    std::unique_ptr<TNetAuthentication> FAuthentication;
};
