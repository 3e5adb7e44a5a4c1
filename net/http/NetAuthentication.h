// HTTP authentication schemes, registered by name and created by the client for a scheme a
// server asks for; the Basic scheme is built in and registered at program start.
#pragma once

#include "net/http/NetHeaderList.h"
#include "net/stack/NetException.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

VARDEX_NET_EXCEPTION(ENetAlreadyRegisteredAuthenticationMethod, ENetException);

enum TNetAuthStep {
    asAskCaller = 0, // the caller must supply credentials
    asSendRequest = 1, // send the request with the current header value
    asFail = 2, // give up
};

class TNetAuthentication;

// What the registry keeps for a scheme: the class name (for messages) and how to make one.
struct TNetAuthenticationClass {
    std::string ClassName;
    std::function<std::unique_ptr<TNetAuthentication>()> Create;
    explicit operator bool() const { return static_cast<bool>(Create); }
};

template <class T> TNetAuthenticationClass NetAuthenticationClassOf(const char* AClassName)
{
    return { AClassName, [] { return std::unique_ptr<TNetAuthentication>(new T()); } };
}

// Adds a scheme; a name already registered (in any letter case) raises
// ENetAlreadyRegisteredAuthenticationMethod.
void RegisterAuthScheme(const std::string& AName, const TNetAuthenticationClass& AClass);
// The class registered under AName in any letter case; an empty class when there is none.
TNetAuthenticationClass FindAuthScheme(const std::string& AName);

// One authentication exchange. Settings holds "Username", "Password", "Authorization" and
// the parameters read from the challenge.
class TNetAuthentication {
public:
    TNetAuthentication();
    virtual ~TNetAuthentication() = default;
    TNetAuthentication(const TNetAuthentication&) = delete;
    TNetAuthentication& operator=(const TNetAuthentication&) = delete;

    TNetAuthStep Next() { return NextStep(); }
    virtual TNetAuthStep NextStep() = 0;
    virtual int32_t StepCount() const { return 0; }
    virtual void SetPassword(const std::string& AValue);
    virtual void SetUsername(const std::string& AValue);
    virtual void Reset() { }
    // The text for the Authorization (or Proxy-Authorization) header.
    virtual std::string HeaderValue() = 0;
    virtual bool KeepsConnection() const { return true; }

    // Exactly as they were set: the lines are written without folding and read without
    // trimming, so long credentials or ones with blanks at the ends pass unchanged.
    std::string Username() const { return SettingText("username"); }
    std::string Password() const { return SettingText("password"); }

    TNetHeaderList& Settings() { return FSettings; }
    const TNetHeaderList& Settings() const { return FSettings; }
    // The WWW-Authenticate (or Proxy-Authenticate) values of the response; none until set.
    const TNetHeaderList* Challenges() const { return FChallenges.get(); }
    void SetChallenges(const TNetHeaderList& AList);
    void SetChallenges(const std::vector<std::string>& AValues);
    // The first challenge that starts with ASchemeName exactly; empty when there is none.
    std::string ChallengeLine(const std::string& ASchemeName) const;

    int32_t StepIndex() const { return FStepIndex; }
    void SetStepIndex(int32_t AValue) { FStepIndex = AValue; }

protected:
    int32_t FStepIndex = 0;

private:
    std::string SettingText(const std::string& AName) const;

    TNetHeaderList FSettings;
    std::unique_ptr<TNetHeaderList> FChallenges;
};

// "Basic " + base64 of user name, ":" and password, taken byte for byte.
class TNetBasicAuthentication : public TNetAuthentication {
public:
    static TNetAuthenticationClass Class()
    {
        return NetAuthenticationClassOf<TNetBasicAuthentication>("TNetBasicAuthentication");
    }

    TNetAuthStep NextStep() override;
    int32_t StepCount() const override { return 1; }
    void Reset() override { FStepIndex = 0; }
    std::string HeaderValue() override;
    bool KeepsConnection() const override { return false; }

    // The realm of the last challenge read by NextStep, without its quotes.
    std::string Realm;
};
