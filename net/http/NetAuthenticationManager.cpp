#include "net/http/NetAuthenticationManager.h"

TNetAuthenticationItem& TNetAuthenticationManager::AddAuthentication(
    const TNetAuthentication& AAuthentication, TNetURI& AURI)
{
    auto Item = std::make_unique<TNetAuthenticationItem>();
    Item->URI.Parse(AURI.URIText());
    Item->Params = AAuthentication.Settings();
    FItems.push_back(std::move(Item));
    return *FItems.back();
}
