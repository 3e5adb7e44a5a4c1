#include "net/http/NetCookieManager.h"

#include "net/http/NetGlobal.h"
#include "net/stack/NetStrings.h"
#include "net/stack/NetTime.h"

#include <algorithm>
#include <vector>

namespace {

bool PathLess(const TNetCookieRFC2109* A, const TNetCookieRFC2109* B)
{
    return std::lexicographical_compare(
        A->Path.begin(), A->Path.end(), B->Path.begin(), B->Path.end(), [](char X, char Y) {
            unsigned char U = static_cast<unsigned char>(X);
            unsigned char V = static_cast<unsigned char>(Y);
            if (U >= 'A' && U <= 'Z')
                U = static_cast<unsigned char>(U + 32);
            if (V >= 'A' && V <= 'Z')
                V = static_cast<unsigned char>(V + 32);
            return U < V;
        });
}

// Whether cookies stored under ADomain go to AHost (both upper-cased): the host itself, or
// for a domain that starts with "." every host that ends in it and the domain's own host.
// A domain that merely occurs inside the host name ("h.org" in "h.org.example.net" or in
// "myh.org") does not match: its cookies would go to somebody else's server.
bool DomainMatchesHost(const std::string& ADomain, const std::string& AHost)
{
    if (ADomain.empty())
        return false;
    if (ADomain == AHost)
        return true;
    if (ADomain[0] != '.')
        return false;
    if (AHost.size() >= ADomain.size()
        && AHost.compare(AHost.size() - ADomain.size(), ADomain.size(), ADomain) == 0)
        return true;
    return AHost.compare(0, std::string::npos, ADomain, 1, std::string::npos) == 0;
}

// Frees a cookie that has not reached the store when an exception passes.
struct TCookieGuard {
    TNetCookieRFC2109* Cookie;
    ~TCookieGuard() { delete Cookie; }
};

} // namespace

TNetCookieManager::TNetCookieManager(TComponent* AOwner, TOnManagerEvent AOnCreate)
    : TComponent(AOwner)
    , OnCreate(std::move(AOnCreate))
    , FCookieCollection(std::make_unique<TNetCookies>())
{
    if (OnCreate)
        OnCreate(this, FCookieCollection.get());
}

TNetCookieManager::~TNetCookieManager()
{
    // A destructor cannot report: a failing zone query or handler just ends the clean-up.
    try {
        RemoveExpired();
    } catch (...) {
    }
    try {
        if (OnDestroy)
            OnDestroy(this, FCookieCollection.get());
    } catch (...) {
    }
    FCookieCollection.reset();
}

void TNetCookieManager::AddSetCookie(const std::string& AText, const std::string& AHost)
{
    StoreCookie(new TNetCookieRFC2109(FCookieCollection.get()), AText, AHost);
}

void TNetCookieManager::AddSetCookie2(const std::string& AText, const std::string& AHost)
{
    StoreCookie(new TNetCookieRFC2965(FCookieCollection.get()), AText, AHost);
}

void TNetCookieManager::StoreCookie(
    TNetCookieRFC2109* ACookie, const std::string& AText, const std::string& AHost)
{
    TCookieGuard Guard { ACookie };
    ACookie->ParseText(AText);
    if (ACookie->Domain.empty())
        ACookie->Domain = AHost;
    if (!ACookie->MatchesServer(AHost))
        return;
    bool Accept = true;
    if (OnNewCookie)
        OnNewCookie(this, ACookie, Accept);
    if (Accept) {
        Guard.Cookie = nullptr;
        KeepCookie(ACookie);
    }
}

void TNetCookieManager::KeepCookie(TNetCookieRFC2109* ACookie)
{
    FCookieCollection->AddCookie(ACookie);
}

std::string TNetCookieManager::CookieHeaderFor(const TNetURI& AURI, bool ASecureConnection)
{
    RemoveExpired();
    TNetCookies& C = *FCookieCollection;
    TNetReadGuard G(C.Lock());
    if (C.DomainCount() == 0)
        return {};
    std::vector<TNetCookieRFC2109*> Candidates;
    std::string Host = UpperCase(AURI.Host);
    for (size_t D = 0; D < C.DomainCount(); ++D) {
        if (!DomainMatchesHost(UpperCase(C.DomainAt(D)), Host))
            continue;
        const TNetCookieList& List = C.CookieListAt(D);
        for (size_t I = List.Count(); I-- > 0;) {
            TNetCookieRFC2109* Cookie = List.CookieAt(I);
            if (!Cookie->Path.empty() && AURI.Path.compare(0, Cookie->Path.size(), Cookie->Path) == 0
                && (!Cookie->Secure || ASecureConnection) && !Cookie->Value.empty())
                Candidates.push_back(Cookie);
        }
    }
    // Equal paths latest stored first, so that the walk below gives them in the order they came.
    std::sort(
        Candidates.begin(), Candidates.end(), [](const TNetCookieRFC2109* A, const TNetCookieRFC2109* B) {
            if (PathLess(A, B))
                return true;
            return !PathLess(B, A) && A->Sequence() > B->Sequence();
        });
    // Longest (highest-sorting) paths first.
    std::string Result;
    for (size_t I = Candidates.size(); I-- > 0;) {
        if (!Result.empty())
            Result += "; ";
        Result += Candidates[I]->ClientText();
    }
    return Result;
}

void TNetCookieManager::RemoveExpired()
{
    TNetCookies& C = *FCookieCollection;
    TNetWriteGuard G(C.Lock());
    TDateTime Current = Now();
    for (size_t D = 0; D < C.DomainCount(); ++D) {
        TNetCookieList& List = C.CookieListAt(D);
        for (size_t I = List.Count(); I-- > 0;) {
            TNetCookieRFC2109* Cookie = List.CookieAt(I);
            // A text that does not parse gives a date at the start of the calendar.
            if (!Cookie->Expires().empty() && InternetDateToLocal(Cookie->Expires()) < Current)
                delete Cookie; // takes itself out of List
        }
    }
}
