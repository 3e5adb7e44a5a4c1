// Keeps the credentials that worked, with the URL they worked for.
#pragma once

#include "net/http/NetAuthentication.h"
#include "net/http/NetHeaderList.h"
#include "net/http/NetURI.h"
#include "net/stack/NetClasses.h"

#include <memory>
#include <vector>

class TNetAuthenticationItem {
public:
    TNetURI URI;
    TNetHeaderList Params; // a copy of the authentication object's Settings
};

class TNetAuthenticationManager : public TComponent {
public:
    explicit TNetAuthenticationManager(TComponent* AOwner = nullptr)
        : TComponent(AOwner)
    {
    }

    // Stores a finished authentication with the URL (its URIText, so without user
    // information or fragment). Raises ENetURIException when the URL has no protocol or host.
    TNetAuthenticationItem& AddAuthentication(const TNetAuthentication& AAuthentication, TNetURI& AURI);

    size_t Count() const { return FItems.size(); }
    const TNetAuthenticationItem& Item(size_t AIndex) const { return *FItems.at(AIndex); }

private:
    std::vector<std::unique_ptr<TNetAuthenticationItem>> FItems;
};
