// The client's cookie store: takes the Set-Cookie and Set-Cookie2 values of responses and
// gives the Cookie header for a request.
#pragma once

#include "net/http/NetCookie.h"
#include "net/http/NetURI.h"
#include "net/stack/NetClasses.h"

#include <functional>
#include <memory>
#include <string>

class TNetCookieManager;

using TOnManagerEvent = std::function<void(TNetCookieManager* ASender, TNetCookies* ACookieCollection)>;
using TOnNewCookieEvent
    = std::function<void(TNetCookieManager* ASender, TNetCookieRFC2109* ACookie, bool& VAccept)>;

class TNetCookieManager : public TComponent {
public:
    // AOnCreate is called once the collection exists (an event assigned later would be too late).
    explicit TNetCookieManager(TComponent* AOwner = nullptr, TOnManagerEvent AOnCreate = {});
    // Drops the expired cookies and calls OnDestroy; errors in either are not passed on.
    ~TNetCookieManager() override;

    // A Set-Cookie value from AHost. Raises what parsing raises; the cookie is then dropped.
    void AddSetCookie(const std::string& AText, const std::string& AHost);
    // A Set-Cookie2 value from AHost; a port list with a non-number raises ENetConvertError.
    void AddSetCookie2(const std::string& AText, const std::string& AHost);
    // Parses ACookie (created in this manager's collection) from AText and keeps it when its
    // domain matches AHost and OnNewCookie accepts it; frees it otherwise.
    void StoreCookie(TNetCookieRFC2109* ACookie, const std::string& AText, const std::string& AHost);
    // The Cookie header value for a request to AURI; "" when no cookie matches. Secure
    // cookies go only over a secure connection.
    std::string CookieHeaderFor(const TNetURI& AURI, bool ASecureConnection);
    // Frees every cookie whose Expires lies in the past or does not parse.
    void RemoveExpired();

    TNetCookies& CookieCollection() { return *FCookieCollection; }

    TOnManagerEvent OnCreate;
    TOnManagerEvent OnDestroy;
    TOnNewCookieEvent OnNewCookie;

protected:
    virtual void KeepCookie(TNetCookieRFC2109* ACookie);

private:
    std::unique_ptr<TNetCookies> FCookieCollection;
};
