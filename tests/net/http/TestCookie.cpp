#include "HttpTestScopes.h"

#include "net/http/NetCookieManager.h"
#include "net/http/NetGlobal.h"
#include "net/stack/NetException.h"

#include <gtest/gtest.h>

namespace {

size_t StoredCount(TNetCookieManager& M)
{
    TNetCookies& C = M.CookieCollection();
    TNetReadGuard G(C.Lock());
    size_t N = 0;
    for (size_t D = 0; D < C.DomainCount(); ++D)
        N += C.CookieListAt(D).Count();
    return N;
}

} // namespace

TEST(Cookie, ParsesSetCookieValues)
{
    TZoneScope Zone("UTC0");
    TClockScope Clock(At(2024, 5, 1, 12, 0, 0));
    struct Row {
        const char* Name;
        const char* Text;
        const char* CookieName;
        const char* Value;
        const char* Path;
        const char* Domain;
        const char* Expires;
        bool Secure;
        int64_t MaxAge;
        int32_t Kind;
    };
    const Row Rows[] = {
        { "plain", "a=b", "a", "b", "", "", "", false, -1, 0 },
        { "attributes", "a=b; path=/x; domain=.h.org; secure", "a", "b", "/x", ".h.org", "", true, -1, 0 },
        { "letter case", "a=b; PaTh=/x; DOMAIN=d; Secure", "a", "b", "/x", "d", "", true, -1, 0 },
        { "quoted path", "a=b; path=\"/q/\"", "a", "b", "/q/", "", "", false, -1, 0 },
        { "value with =", "a=b=c; path=/", "a", "b=c", "/", "", "", false, -1, 0 },
        { "no = in first item", "ab; path=/", "", "", "/", "", "", false, -1, 0 },
        { "expires keeps kind", "a=b; expires=Thu, 02 May 2024 12:00:00 GMT", "a", "b", "", "",
            "Thu, 02 May 2024 12:00:00 GMT", false, -1, 1 }, // MAX-AGE (absent) wins over the date
        { "max-age sets expires", "a=b; max-age=60", "a", "b", "", "", "Wed, 1 May 2024 12:01:00 +0000",
            false, 60, 0 },
        { "bad max-age", "a=b; max-age=x", "a", "b", "", "", "", false, -1, 0 },
        { "blank items", " a=b ;; path=/ ; ", "a", "b", "/", "", "", false, -1, 0 },
        { "secure=1 is no flag", "a=b; secure=1", "a", "b", "", "", "", false, -1, 0 },
        { "blanks around =", "a=b; path = /x", "a", "b", "", "", "", false, -1, 0 },
        { "empty", "", "", "", "", "", "", false, -1, 1 }, // the text it started with: nothing to do
    };
    for (const Row& R : Rows) {
        SCOPED_TRACE(R.Name);
        TNetCookieRFC2109 C;
        C.ParseText(R.Text);
        EXPECT_EQ(C.SourceText(), R.Text);
        EXPECT_EQ(C.Name, R.CookieName);
        EXPECT_EQ(C.Value, R.Value);
        EXPECT_EQ(C.Path, R.Path);
        EXPECT_EQ(C.Domain, R.Domain);
        EXPECT_EQ(C.Expires(), R.Expires);
        EXPECT_EQ(C.Secure, R.Secure);
        EXPECT_EQ(C.MaxAge, R.MaxAge);
        EXPECT_EQ(C.Kind(), R.Kind);
    }
}

TEST(Cookie, ServerAndClientText)
{
    TZoneScope Zone("UTC0");
    TNetNetscapeCookie N;
    EXPECT_EQ(N.Kind(), 0);
    N.ParseText("a=b; path=/; domain=.h; expires=Thu, 02 May 2024 12:00:00 GMT; secure");
    EXPECT_EQ(N.ServerText(), "a=b; path=/; expires=Thu, 02 May 2024 12:00:00 GMT; domain=.h; secure");
    EXPECT_EQ(N.CookieText(), N.ServerText());
    EXPECT_EQ(N.ClientText(), "a=b");

    TNetCookieRFC2109 R;
    R.ParseText("a=b; path=/; expires=Thu, 02 May 2024 12:00:00 GMT; comment=c; version=1");
    EXPECT_EQ(R.Kind(), 1); // with Expires the kind stays, and ServerText leaves Expires out
    EXPECT_EQ(R.ServerText(), "a=b; path=/; comment=c; version=1");
    R.ParseText("a=b; max-age=-5");
    EXPECT_EQ(R.ServerText(), "a=b");
    R.MaxAge = 30;
    EXPECT_EQ(R.ServerText(), "a=b; max-age=30");
}

TEST(Cookie, DomainMatching)
{
    struct Row {
        const char* Host;
        const char* Domain;
        bool Matches;
    };
    const Row Rows[] = {
        { "a.b.c", "a.b.c", true },
        { "a.b.c", ".b.c", true },
        { "a.b.c", "b.c", false },
        { "a.b.c", ".c", false },
        { "a.b.c", "A.B.C", false },
        { "a.b.c", ".B.C", false },
        { "h", "h", true },
        { "h", ".h", false },
        { "h", "other", false },
        { "10.0.0.1", "10.0.0.1", true },
        { "10.0.0.1", ".0.0.1", false },
        { "10.0.0.1.x", "10.0.0.1.x", true },
        { "a.b.c", "10.0.0.1", false },
        { "256.0.0.1", ".0.0.1", true },
        { ".b.c", ".B.C", true },
        { ".b.c", ".x", false },
        // A single label or a bare top-level domain would reach other people's servers.
        { "x.test", ".test", false },
        { "a.com", ".com", false },
        { "a.com", "com", false },
        { "localhost", "localhost", true },
    };
    for (const Row& R : Rows) {
        TNetNetscapeCookie C;
        C.Domain = R.Domain;
        EXPECT_EQ(C.MatchesServer(R.Host), R.Matches) << R.Host << " / " << R.Domain;
    }
}

TEST(Cookie, SetCookie2Ports)
{
    struct Row {
        const char* Text;
        std::vector<int32_t> Ports;
    };
    const Row Rows[] = {
        { "a=b", { 80 } }, { "a=b; port", { 80 } }, { "a=b; port=\"\"", { 80 } },
        { "a=b; port=\"8080\"", { 8080 } }, { "a=b; port=\"80, 8080,81\"", { 80, 8080, 81 } },
        { "a=b; port=8080", {} }, // without quotes the list stays as it was
    };
    for (const Row& R : Rows) {
        TNetCookieRFC2965 C;
        EXPECT_EQ(C.Kind(), 2);
        C.ParseText(R.Text);
        EXPECT_EQ(C.Ports, R.Ports) << R.Text;
    }
    TNetCookieRFC2965 C;
    C.ParseText("a=b; port=\"1,2,3\"; commenturl=http://c/; discard");
    EXPECT_EQ(C.CommentUrl, "http://c/");
    EXPECT_TRUE(C.Discard);
    C.ParseText("a=b; port=\"4\"");
    EXPECT_EQ(C.Ports, (std::vector<int32_t> { 4 }));
    // An unreadable list reads as none: the cookie is kept, for port 80.
    for (const char* Bad : { "a=b; port=\"80,x\"", "a=b; port=\"80,\"", "a=b; port=\"99999999999\"" }) {
        TNetCookieRFC2965 D;
        EXPECT_NO_THROW(D.ParseText(Bad)) << Bad;
        EXPECT_EQ(D.Ports, (std::vector<int32_t> { 80 })) << Bad;
    }
    try {
        C.SetPort(3, 1);
        FAIL() << "no exception";
    } catch (const ENetException& E) {
        EXPECT_STREQ(E.what(), "Index out of range.");
    }
    EXPECT_THROW(C.SetPort(-1, 1), ENetException);
    C.SetPort(1, 5);
    C.SetPort(0, 6);
    EXPECT_EQ(C.Ports, (std::vector<int32_t> { 6, 5 }));
}

TEST(CookieManager, CookieWithoutPathIsStoredButNeverSent)
{
    TNetCookieManager M;
    M.AddSetCookie("a=b", "h");
    TNetCookies& C = M.CookieCollection();
    ASSERT_EQ(C.DomainCount(), 1u);
    EXPECT_EQ(C.DomainAt(0), "h");
    ASSERT_EQ(C.CookieListAt(0).Count(), 1u);
    EXPECT_EQ(C.CookieListAt(0).CookieAt(0)->Path, "");
    EXPECT_EQ(M.CookieHeaderFor(TNetURI("http://h/"), false), "");
}

TEST(CookieManager, DomainCookieIsSentToItsHosts)
{
    TNetCookieManager M;
    M.AddSetCookie("a=b; path=/; domain=.b.c", "a.b.c");
    EXPECT_EQ(M.CookieHeaderFor(TNetURI("http://a.b.c/x/"), false), "a=b");
    EXPECT_EQ(M.CookieHeaderFor(TNetURI("http://A.B.C/"), false), "a=b");
    EXPECT_EQ(M.CookieHeaderFor(TNetURI("http://b.c/x/"), false), "a=b");
    EXPECT_EQ(M.CookieHeaderFor(TNetURI("http://x.y.b.c/"), false), "a=b");
    EXPECT_EQ(M.CookieHeaderFor(TNetURI("http://other.org/x/"), false), "");
    // A domain that the host may not set is dropped without error.
    M.AddSetCookie("z=1; path=/; domain=b.c", "a.b.c");
    EXPECT_EQ(StoredCount(M), 1u);
    EXPECT_EQ(M.CookieCollection().Count(), 1u);
}

TEST(CookieManager, CookiesGoOnlyToTheirOwnHosts)
{
    TNetCookieManager M;
    M.AddSetCookie("host=1; path=/", "h.org");
    M.AddSetCookie("dom=2; path=/; domain=.h.org", "www.h.org");
    M.AddSetCookie("ip=3; path=/", "10.0.0.1");
    struct Row {
        const char* Url;
        const char* Header;
    };
    const Row Rows[] = {
        // Equal paths go in the order the cookies came, whatever their domains.
        { "http://h.org/", "host=1; dom=2" },
        { "http://H.ORG/", "host=1; dom=2" },
        { "http://www.h.org/", "dom=2" },
        { "http://h.org.example.net/", "" }, // the domain inside another name is no match
        { "http://myh.org/", "" },
        { "http://h.org2/", "" },
        { "http://10.0.0.1/", "ip=3" },
        { "http://110.0.0.12/", "" },
    };
    for (const Row& R : Rows)
        EXPECT_EQ(M.CookieHeaderFor(TNetURI(R.Url), false), R.Header) << R.Url;
}

TEST(CookieManager, SecondValueReplacesTheFirst)
{
    TNetCookieManager M;
    M.AddSetCookie("a=b; path=/", "h");
    M.AddSetCookie("A=c; path=/", "H");
    EXPECT_EQ(StoredCount(M), 1u);
    EXPECT_EQ(M.CookieCollection().Count(), 1u);
    EXPECT_EQ(M.CookieHeaderFor(TNetURI("http://h/"), false), "A=c");
}

TEST(CookieManager, ReplacementKeepsTheNewExpiry)
{
    TZoneScope Zone("UTC0");
    TClockScope Clock(At(2024, 5, 1, 12, 0, 0));
    TNetCookieManager M;
    M.AddSetCookie("a=b; path=/", "h");
    M.AddSetCookie("a=c; path=/; expires=Wed, 01 May 2024 13:00:00 GMT", "h");
    EXPECT_EQ(M.CookieHeaderFor(TNetURI("http://h/"), false), "a=c");
    Clock.Set(At(2024, 5, 1, 13, 0, 1));
    EXPECT_EQ(M.CookieHeaderFor(TNetURI("http://h/"), false), "");
    EXPECT_EQ(M.CookieCollection().Count(), 0u);
}

TEST(CookieManager, SecureCookiesOnlyOverSecureConnections)
{
    TNetCookieManager M;
    M.AddSetCookie("s=1; path=/; secure", "h");
    M.AddSetCookie("p=2; path=/", "h");
    EXPECT_EQ(M.CookieHeaderFor(TNetURI("http://h/"), false), "p=2");
    std::string Secure = M.CookieHeaderFor(TNetURI("https://h/"), true);
    EXPECT_TRUE(Secure == "s=1; p=2" || Secure == "p=2; s=1") << Secure;
}

TEST(CookieManager, LongestPathFirst)
{
    TNetCookieManager M;
    M.AddSetCookie("root=1; path=/", "h");
    M.AddSetCookie("deep=3; path=/x/y/", "h");
    M.AddSetCookie("mid=2; path=/x/", "h");
    M.AddSetCookie("other=4; path=/z/", "h");
    M.AddSetCookie("empty=; path=/", "h");
    EXPECT_EQ(M.CookieHeaderFor(TNetURI("http://h/x/y/page.html"), false), "deep=3; mid=2; root=1");
    EXPECT_EQ(M.CookieHeaderFor(TNetURI("http://h/x/"), false), "mid=2; root=1");
    EXPECT_EQ(M.CookieHeaderFor(TNetURI("http://h/X/"), false), "root=1"); // paths compare in case
}

TEST(CookieManager, ExpiredCookiesGoBeforeTheNextHeader)
{
    TZoneScope Zone("XST-3");
    TClockScope Clock(At(2024, 5, 1, 12, 0, 0)); // 09:00 GMT
    TNetCookieManager M;
    M.AddSetCookie("past=1; path=/; expires=Wed, 01 May 2024 08:59:59 GMT", "h");
    M.AddSetCookie("future=2; path=/; expires=Wed, 01 May 2024 09:00:01 GMT", "h");
    M.AddSetCookie("aged=3; path=/; max-age=10", "h");
    M.AddSetCookie("bad=4; path=/; expires=not a date", "h");
    M.AddSetCookie("session=5; path=/", "h");
    // A cookie that is over when it comes is not kept at all.
    EXPECT_EQ(M.CookieCollection().Count(), 3u);
    // Equal paths keep the order in which the cookies came.
    EXPECT_EQ(M.CookieHeaderFor(TNetURI("http://h/"), false), "future=2; aged=3; session=5");
    EXPECT_EQ(M.CookieCollection().Count(), 3u);
    Clock.Set(At(2024, 5, 1, 12, 0, 5));
    EXPECT_EQ(M.CookieHeaderFor(TNetURI("http://h/"), false), "aged=3; session=5");
    Clock.Set(At(2024, 5, 1, 12, 0, 11));
    M.RemoveExpired();
    EXPECT_EQ(M.CookieCollection().Count(), 1u);
    EXPECT_EQ(M.CookieHeaderFor(TNetURI("http://h/"), false), "session=5");
}

TEST(CookieManager, BadPortListReadsAsNone)
{
    TNetCookieManager M;
    EXPECT_NO_THROW(M.AddSetCookie2("a=b; path=/; port=\"80,x\"", "h"));
    EXPECT_EQ(StoredCount(M), 1u);
    M.AddSetCookie2("c=d; path=/; port=\"80,81\"", "h");
    EXPECT_EQ(M.CookieHeaderFor(TNetURI("http://h/"), false), "a=b; c=d");
    TNetCookies& C = M.CookieCollection();
    auto* Stored = dynamic_cast<TNetCookieRFC2965*>(C.FindCookieList("H")->CookieAt(1));
    ASSERT_NE(Stored, nullptr);
    EXPECT_EQ(Stored->Ports, (std::vector<int32_t> { 80, 81 }));
}

TEST(CookieManager, Events)
{
    std::vector<std::string> Seen;
    TNetCookies* Created = nullptr;
    {
        TNetCookieManager M(nullptr, [&](TNetCookieManager*, TNetCookies* C) {
            Created = C;
            Seen.push_back("create");
        });
        EXPECT_EQ(Created, &M.CookieCollection());
        M.OnNewCookie = [&](TNetCookieManager*, TNetCookieRFC2109* C, bool& Accept) {
            Seen.push_back("new " + C->Name);
            Accept = C->Name != "refused";
        };
        M.OnDestroy = [&](TNetCookieManager* S, TNetCookies* C) {
            EXPECT_EQ(C, &S->CookieCollection());
            EXPECT_EQ(C->Count(), 1u);
            Seen.push_back("destroy");
        };
        M.AddSetCookie("kept=1; path=/", "h");
        M.AddSetCookie("refused=1; path=/", "h");
        M.AddSetCookie("foreign=1; path=/; domain=x.org", "h"); // fails the domain check: not asked
        EXPECT_EQ(M.CookieCollection().Count(), 1u);
        EXPECT_EQ(M.CookieHeaderFor(TNetURI("http://h/"), false), "kept=1");

        M.OnNewCookie = [](TNetCookieManager*, TNetCookieRFC2109*, bool&) { throw ENetException("handler"); };
        EXPECT_THROW(M.AddSetCookie("thrown=1; path=/", "h"), ENetException);
        EXPECT_EQ(M.CookieCollection().Count(), 1u);
    }
    EXPECT_EQ(Seen, (std::vector<std::string> { "create", "new kept", "new refused", "destroy" }));
}

TEST(CookieManager, GoesWithItsOwner)
{
    TComponent Owner;
    auto* M = new TNetCookieManager(&Owner);
    M->AddSetCookie("a=b; path=/", "h");
    EXPECT_EQ(Owner.Components().size(), 1u);
    // The owner frees it (LeakSanitizer would report otherwise).
}
