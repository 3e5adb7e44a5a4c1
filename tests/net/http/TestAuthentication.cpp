#include "net/http/NetAuthentication.h"
#include "net/http/NetAuthenticationManager.h"
#include "net/http/NetCoderMIME.h"

#include <gtest/gtest.h>

namespace {

class TTestScheme : public TNetAuthentication {
public:
    TNetAuthStep NextStep() override { return asFail; }
    std::string HeaderValue() override { return "Test"; }
};

} // namespace

TEST(Authentication, RegistryFindsSchemesInAnyCase)
{
    for (const char* Name : { "Basic", "basic", "BASIC" }) {
        TNetAuthenticationClass C = FindAuthScheme(Name);
        ASSERT_TRUE(C) << Name;
        EXPECT_EQ(C.ClassName, "TNetBasicAuthentication");
        std::unique_ptr<TNetAuthentication> A = C.Create();
        EXPECT_NE(dynamic_cast<TNetBasicAuthentication*>(A.get()), nullptr);
    }
    EXPECT_FALSE(FindAuthScheme("Digest"));
    EXPECT_FALSE(FindAuthScheme(""));

    try {
        RegisterAuthScheme("bASIC", NetAuthenticationClassOf<TTestScheme>("TTestScheme"));
        FAIL() << "no exception";
    } catch (const ENetAlreadyRegisteredAuthenticationMethod& E) {
        EXPECT_STREQ(E.what(),
            "This authentication method is already registered with class name "
            "TNetBasicAuthentication.");
    }
    RegisterAuthScheme("X-Test", NetAuthenticationClassOf<TTestScheme>("TTestScheme"));
    TNetAuthenticationClass T = FindAuthScheme("x-test");
    ASSERT_TRUE(T);
    EXPECT_EQ(T.Create()->HeaderValue(), "Test");
    EXPECT_THROW(RegisterAuthScheme("X-TEST", TNetBasicAuthentication::Class()),
        ENetAlreadyRegisteredAuthenticationMethod);
}

TEST(Authentication, BasicHeaderValue)
{
    struct Row {
        const char* User;
        const char* Password;
        const char* Expected;
    };
    const Row Rows[] = {
        { "Aladdin", "open sesame", "Basic QWxhZGRpbjpvcGVuIHNlc2FtZQ==" }, { "", "", "Basic Og==" },
        { "u", "", "Basic dTo=" }, { "", "p", "Basic OnA=" },
        { "\xD0\xBF\xD0\xB8", "x", "Basic 0L/QuDp4" }, // bytes as they are, no character-set conversion
    };
    for (const Row& R : Rows) {
        TNetBasicAuthentication A;
        A.SetUsername(R.User);
        A.SetPassword(R.Password);
        EXPECT_EQ(A.HeaderValue(), R.Expected) << R.User;
    }
}

TEST(Authentication, LongCredentialsStayWholeAndUnbroken)
{
    // Longer than the settings list's fold width, with blanks and commas where it would break,
    // and blanks at the ends.
    std::string User = " user, with a very long name that goes on and on past the fold width of the list ";
    std::string Password = "pass word,pass word,pass word,pass word,pass word,pass word,pass word,pass word ";
    TNetBasicAuthentication A;
    A.SetUsername(User);
    A.SetPassword(Password);
    EXPECT_EQ(A.Username(), User);
    EXPECT_EQ(A.Password(), Password);
    std::string Value = A.HeaderValue();
    ASSERT_GT(Value.size(), 76u + 6u);
    EXPECT_EQ(Value.find_first_of("\r\n"), std::string::npos);
    ASSERT_EQ(Value.rfind("Basic ", 0), 0u);
    EXPECT_EQ(TNetDecoderMIME::DecodeText(Value.substr(6)), User + ":" + Password);
}

TEST(Authentication, BasicSteps)
{
    TNetBasicAuthentication A;
    EXPECT_EQ(A.StepCount(), 1);
    EXPECT_FALSE(A.KeepsConnection());
    EXPECT_EQ(A.ChallengeLine("Basic"), ""); // never set
    EXPECT_EQ(A.Next(), asAskCaller); // no user name yet
    EXPECT_EQ(A.Realm, "");
    A.SetUsername("u");
    EXPECT_EQ(A.Next(), asSendRequest);
    A.SetStepIndex(1);
    EXPECT_EQ(A.Next(), asFail);
    A.SetStepIndex(2);
    EXPECT_EQ(A.Next(), asSendRequest);
    A.Reset();
    EXPECT_EQ(A.StepIndex(), 0);
    A.SetUsername("");
    EXPECT_EQ(A.Username(), "");
    EXPECT_EQ(A.Next(), asAskCaller);
}

TEST(Authentication, BasicReadsTheRealmOfItsChallenge)
{
    TNetBasicAuthentication A;
    A.SetChallenges(std::vector<std::string> {
        "Digest realm=\"d\", nonce=\"n\"", "Basic realm=\"WallyWorld\", charset=\"UTF-8\"" });
    EXPECT_EQ(A.ChallengeLine("Basic"), "Basic realm=\"WallyWorld\", charset=\"UTF-8\"");
    EXPECT_EQ(A.ChallengeLine("basic"), ""); // the scheme at the start, letter case as written
    A.SetUsername("u");
    EXPECT_EQ(A.Next(), asSendRequest);
    EXPECT_EQ(A.Realm, "WallyWorld");
    EXPECT_EQ(A.Settings().ValueOf("charset"), "\"UTF-8\"");
    size_t Lines = A.Settings().Count();
    A.Next(); // the parameters are appended again
    EXPECT_EQ(A.Settings().Count(), Lines + 2);
    EXPECT_EQ(A.Realm, "WallyWorld");

    TNetHeaderList Other;
    Other.Add("Negotiate");
    TNetBasicAuthentication B;
    B.SetChallenges(Other);
    B.Next();
    EXPECT_EQ(B.Realm, "");
    ASSERT_NE(B.Challenges(), nullptr);
    EXPECT_EQ(B.Challenges()->Lines(), Other.Lines());
}

TEST(Authentication, ManagerKeepsSettingsWithTheUrl)
{
    TNetBasicAuthentication A;
    A.SetUsername("u");
    A.SetPassword("p");
    TNetAuthenticationManager M;
    TNetURI U("http://u:p@h:81/dir/x.html?q#frag");
    const TNetAuthenticationItem& Item = M.AddAuthentication(A, U);
    EXPECT_EQ(M.Count(), 1u);
    EXPECT_EQ(Item.URI.Text, "http://h:81/dir/x.html?q");
    EXPECT_EQ(Item.URI.Username, "");
    EXPECT_EQ(Item.URI.Host, "h");
    EXPECT_EQ(Item.Params.Lines(), A.Settings().Lines());
    TNetURI Empty;
    EXPECT_THROW(M.AddAuthentication(A, Empty), ENetURIException);
    EXPECT_EQ(M.Count(), 1u);
}
