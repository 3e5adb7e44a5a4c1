#include "net/http/NetAuthentication.h"

#include "net/http/NetCoderMIME.h"
#include "net/stack/NetStrings.h"

#include <mutex>
#include <utility>

namespace {

// Built on first use, with Basic already in it, so registrations and lookups from other
// files' static initialisers work whatever order those run in.
struct TAuthRegistry {
    TAuthRegistry() { Schemes.emplace_back("Basic", TNetBasicAuthentication::Class()); }
    std::mutex Lock;
    std::vector<std::pair<std::string, TNetAuthenticationClass>> Schemes;
};

TAuthRegistry& Registry()
{
    static TAuthRegistry R;
    return R;
}

// Basic is there from program start even when nothing looks a scheme up early.
const bool GBasicRegistered = (Registry(), true);

} // namespace

void RegisterAuthScheme(const std::string& AName, const TNetAuthenticationClass& AClass)
{
    TAuthRegistry& R = Registry();
    std::lock_guard<std::mutex> L(R.Lock);
    for (const auto& S : R.Schemes)
        if (SameText(S.first, AName))
            throw ENetAlreadyRegisteredAuthenticationMethod(
                FormatStr("This authentication method is already registered with class name %s.",
                    S.second.ClassName.c_str()));
    R.Schemes.emplace_back(AName, AClass);
}

TNetAuthenticationClass FindAuthScheme(const std::string& AName)
{
    (void)GBasicRegistered;
    TAuthRegistry& R = Registry();
    std::lock_guard<std::mutex> L(R.Lock);
    for (const auto& S : R.Schemes)
        if (SameText(S.first, AName))
            return S.second;
    return {};
}

TNetAuthentication::TNetAuthentication()
{
    FSettings.FoldOnWrite = false;
}

void TNetAuthentication::SetPassword(const std::string& AValue)
{
    FSettings.SetValueOf("Password", AValue);
}

void TNetAuthentication::SetUsername(const std::string& AValue)
{
    FSettings.SetValueOf("Username", AValue);
}

std::string TNetAuthentication::SettingText(const std::string& AName) const
{
    ptrdiff_t I = FSettings.IndexOfHeader(AName);
    if (I < 0)
        return {};
    const std::string& Line = FSettings[static_cast<size_t>(I)];
    size_t From = FSettings.NameAt(static_cast<size_t>(I)).size() + FSettings.ValueSeparator.size();
    return From < Line.size() ? Line.substr(From) : std::string();
}

void TNetAuthentication::SetChallenges(const TNetHeaderList& AList)
{
    if (!FChallenges)
        FChallenges = std::make_unique<TNetHeaderList>();
    *FChallenges = AList;
}

void TNetAuthentication::SetChallenges(const std::vector<std::string>& AValues)
{
    if (!FChallenges)
        FChallenges = std::make_unique<TNetHeaderList>();
    FChallenges->Clear();
    for (const std::string& V : AValues)
        FChallenges->Add(V);
}

std::string TNetAuthentication::ChallengeLine(const std::string& ASchemeName) const
{
    if (!FChallenges)
        return {};
    for (const std::string& L : FChallenges->Lines())
        if (L.compare(0, ASchemeName.size(), ASchemeName) == 0)
            return L;
    return {};
}

TNetAuthStep TNetBasicAuthentication::NextStep()
{
    std::string S = ChallengeLine("Basic");
    Fetch(S, " ");
    while (!S.empty()) {
        std::string Item = Fetch(S, ", ");
        size_t Eq = Item.find('=');
        if (Eq != std::string::npos)
            Item.replace(Eq, 1, Settings().ValueSeparator);
        Settings().Add(Item);
    }
    std::string R = Settings().ValueOf("realm");
    Realm = R.size() > 2 ? R.substr(1, R.size() - 2) : std::string();
    switch (FStepIndex) {
    case 0:
        return Username().empty() ? asAskCaller : asSendRequest;
    case 1:
        return asFail;
    default:
        return asSendRequest;
    }
}

std::string TNetBasicAuthentication::HeaderValue()
{
    return "Basic " + TNetEncoderMIME::EncodeText(Username() + ":" + Password());
}
